#pragma once
// TTCPIP: the network link. Despite the name every frame travels as one UDP
// datagram to the controller's address and port, and the reply is expected
// as one datagram.
#include "component/BasicCom.h"

#include <cstdint>
#include <memory>
#include <string>

class TIdUDPClient;

class TTCPIP : public TBasicCom {
    Q_OBJECT
public:
    explicit TTCPIP(QObject *owner = nullptr);
    ~TTCPIP() override; // closes the socket

    bool Connect() override; // always true; socket errors are raised
    void Disconnect() override;
    int ReceiveFrame() override;
    void SendFrame(int count) override;
    int DirectSend(const void *buffer, int count) override;
    int DirectReceive(void *buffer) override; // one datagram of at most 255 bytes

    // Straight through to the UDP client; allowed while connected.
    std::string Host() const;
    void SetHost(const std::string &value);
    std::uint16_t HostPort() const;
    void SetHostPort(std::uint16_t value);
    int ReadTimeOut() const;
    void SetReadTimeOut(int value);

    TIdUDPClient &UdpClient() { return *m_udpClient; }

private:
    int receiveWait() const;

    std::unique_ptr<TIdUDPClient> m_udpClient;
};
