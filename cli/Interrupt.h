#pragma once
// Ctrl-C for a tool that may be half-way through a firmware download or a
// modem call: the signal only raises a flag and wakes the event loop, so the
// running step can finish, the link be closed (the modem hung up) and the user
// told what state the controller was left in.
//
// A download or a fleet run ends the same way when it is told to stop in any
// other way: SIGTERM (a service manager, kill), SIGHUP (the terminal closed)
// or SIGPIPE (whoever read stdout went away, as `| head -1` does). With SIGPIPE
// caught, a write to the closed stdout fails instead of ending the program,
// and the remaining output goes nowhere.
#include <QObject>

namespace ctl {

class Interrupt : public QObject {
    Q_OBJECT
public:
    // Installs the SIGINT handler; call once, after the QCoreApplication exists.
    static Interrupt &Install();
    // Also stops on SIGTERM, SIGHUP and SIGPIPE as on SIGINT (after Install()).
    static void CatchEveryEnding();
    // True once one of the caught signals arrived.
    static bool Requested();
    // The exit code of a run it stopped: 128 + the first signal's number
    // (130 for SIGINT, and when none arrived).
    static int ExitCode();
    // What stopped the run, for messages: "Ctrl-C", "SIGTERM", "SIGHUP" or
    // "SIGPIPE" ("Ctrl-C" while none arrived).
    static QString What();

    // While a question waits for the user's answer nothing is open yet, and a
    // blocked read would not see the flag: the signals then end the program at once.
    class DefaultAction {
    public:
        DefaultAction();
        ~DefaultAction();
        DefaultAction(const DefaultAction &) = delete;
        DefaultAction &operator=(const DefaultAction &) = delete;
    };

Q_SIGNALS:
    // Emitted in the event loop after a caught signal (signals that arrive
    // close together may give one; SIGPIPE is caught once).
    void requested();

private:
    Interrupt();
    void onWake();
};

} // namespace ctl
