#pragma once
// TMODEM: the serial link through a dial-up modem. It dials with an AT
// command, follows the modem's result texts once a second, and hangs up on
// Disconnect; once connected, frames travel exactly as on the serial link.
#include "component/Norvik_Include.h"
#include "component/UART.h"

#include <string>

class QTimer;

class TMODEM : public TUART {
    Q_OBJECT
public:
    explicit TMODEM(QObject *owner = nullptr);
    ~TMODEM() override;

    // Escape, hang up, then close the port; always at least 4 s of pauses.
    void Disconnect() override;

    // Sends "ATDT" + number + LF CR unless a dial is in progress or up; the
    // outcome arrives through DialupStatus(). The port must be open.
    void Dial(const std::string &phoneNumber);

    TDialupStatus DialupStatus() const { return m_dialupStatus; }
    unsigned DialElapsed() const { return m_dialElapsed; }
    unsigned DialTimeOut() const { return m_dialTimeOut; }
    void SetDialTimeOut(unsigned value) { m_dialTimeOut = value; }

    // 1000 ms; runs PollModemReply on each tick while a dial is in progress.
    QTimer &DialTimer() { return *m_dialTimer; }

    // One look at the modem's answer (normally called by DialTimer).
    void PollModemReply();

private:
    void writeModemText(const std::string &text); // traced, one WriteText

    TDialupStatus m_dialupStatus = usOK;
    unsigned m_dialElapsed = 0;
    unsigned m_dialTimeOut = 60000;
    QTimer *m_dialTimer = nullptr;
};
