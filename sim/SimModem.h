#pragma once
// A dial-up modem in front of the serial session. Before a connection the
// bytes are AT commands; after "CONNECT" they pass to the controllers
// unchanged until "+++" returns the modem to its commands, where "ATH0" hangs
// up and "ATO" goes back on line. The modem does not echo commands: the host
// compares the whole text it reads with the result texts.
#include "sim/SimBus.h"

#include <QByteArray>
#include <QElapsedTimer>

namespace nsim {

class SimModem {
public:
    enum State { Command, Online, Escaped };

    SimModem(SimBus &bus, SimSession &session, const ModemConfig &config);

    std::vector<Write> receive(const QByteArray &bytes);
    // The host closed the port: DTR drops and the modem hangs up.
    void portClosed();
    State state() const { return m_state; }

private:
    void commandLine(const QByteArray &line, std::vector<Write> &out);
    Write result(const QByteArray &text, int delayMs);

    SimBus &m_bus;
    SimSession &m_session;
    ModemConfig m_config;
    State m_state = Command;
    QByteArray m_line;
    int m_plus = 0;              // "+" bytes held back as a possible escape
    QElapsedTimer m_connecting;  // bytes before the CONNECT text is out are lost
    long long m_onlineBytes = 0; // bytes passed to the controllers in this call
};

} // namespace nsim
