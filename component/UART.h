#pragma once
// TUART: the serial link. Frames travel as plain bytes over one serial port
// at 19200 bit/s, 8N1, no flow control; a reply is assembled from as many
// bounded reads as it takes, up to RetryTime reads.
#include "component/BasicCom.h"

#include <string>

class TComPort;

class TUART : public TBasicCom {
    Q_OBJECT
public:
    explicit TUART(QObject *owner = nullptr);
    ~TUART() override; // closes the port

    bool Connect() override;
    void Disconnect() override;
    int ReceiveFrame() override;
    void SendFrame(int count) override;
    int DirectSend(const void *buffer, int count) override;
    int DirectReceive(void *buffer) override; // reads at most 254 bytes

    // Port name; a different name while open reopens the port under it. When
    // the new device cannot be opened the link is left disconnected, so that
    // the next Connect reports it.
    std::string COM() const;
    void SetCOM(const std::string &value);

    // Why the link is not usable: the last Connect (or reopen) failed, or the
    // port was lost since (a read or write found the device gone, which also
    // clears the connected flag so that the next Connect opens it anew).
    // Names the port and the system's reason; empty after a successful Connect.
    const std::string &LastError() const { return m_lastError; }

    TComPort &SerialPort() { return *m_serialPort; }
    const TComPort &SerialPort() const { return *m_serialPort; }

protected:
    // After a transfer: a port that closed itself because the device went
    // away leaves the link disconnected, with the reason in LastError.
    void followPort();

    // Name of the link in the frame trace.
    const char *m_traceLink = "serial";

private:
    TComPort *m_serialPort = nullptr;
    std::string m_lastError;
};
