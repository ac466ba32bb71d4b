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

    // Why the last Connect (or reopen) failed: the device and the system's
    // reason; empty after a success.
    const std::string &LastError() const { return m_lastError; }

    TComPort &SerialPort() { return *m_serialPort; }
    const TComPort &SerialPort() const { return *m_serialPort; }

protected:
    // Name of the link in the frame trace.
    const char *m_traceLink = "serial";

private:
    TComPort *m_serialPort = nullptr;
    std::string m_lastError;
};
