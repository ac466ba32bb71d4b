#pragma once
// One run's link to the controller: the settings applied to TController, the
// link opened (and on the modem link the number dialled and the connection
// awaited, as the window's dial-up window does), and closed again at the end
// on success and failure alike, which hangs up a modem.
#include "cli/Options.h"

#include <QString>

class TController;

namespace ctl {

class Output;

// Copies the link options into the component (no connect). The fleet uses it
// on its own threads, where a session's shared lost-port note must not be written.
void ApplySettings(TController &controller, const Options &options);

class LinkSession {
public:
    LinkSession(TController &controller, const Options &options, const Output &out);
    ~LinkSession();
    LinkSession(const LinkSession &) = delete;
    LinkSession &operator=(const LinkSession &) = delete;

    // Applies the settings, connects and dials when the modem is chosen.
    // Returns ExitOk, or the exit code of the failure after saying why on stderr.
    // Socket errors of the network link are raised (norvik::NorvikError).
    int Open();
    // Disconnect, once; harmless when not open.
    void Close();
    // The link was closed by someone else (the download sequence does it at its end).
    void MarkClosed();

    // Why the serial port of a session of this run was lost while it was
    // open; empty when none was. A command that fails then failed for that.
    static const QString &LostPort();

private:
    int WaitForDialup();
    void NoteLostPort();
    QString SerialFailureReason() const;

    TController &m_controller;
    const Options &m_options;
    const Output &m_out;
    bool m_open = false;
    bool m_linked = false; // Connect succeeded: a later fault is a lost port
};

} // namespace ctl
