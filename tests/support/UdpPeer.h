#pragma once
// A real UDP socket on 127.0.0.1 that plays the controller's side of the
// network link in tests: it reads what the link sent and answers it.
#include "services/IdUDPClient.h"

#include <QHostAddress>
#include <QUdpSocket>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace norvik::test {

struct Datagram {
    std::vector<std::uint8_t> bytes;
    quint16 senderPort = 0;
};

class UdpPeer {
public:
    UdpPeer() { m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }

    quint16 Port() const { return m_socket.localPort(); }

    // The next datagram, or nothing when none comes within the time.
    std::optional<Datagram> Receive(int timeoutMs = 1000)
    {
        if (!m_socket.hasPendingDatagrams() && !m_socket.waitForReadyRead(timeoutMs))
            return std::nullopt;
        if (!m_socket.hasPendingDatagrams())
            return std::nullopt;
        Datagram d;
        d.bytes.resize(static_cast<std::size_t>(m_socket.pendingDatagramSize()));
        QHostAddress sender;
        m_socket.readDatagram(reinterpret_cast<char *>(d.bytes.data()), static_cast<qint64>(d.bytes.size()),
                              &sender, &d.senderPort);
        return d;
    }

    void SendTo(quint16 port, const std::vector<std::uint8_t> &bytes)
    {
        m_socket.writeDatagram(reinterpret_cast<const char *>(bytes.data()), static_cast<qint64>(bytes.size()),
                               QHostAddress(QHostAddress::LocalHost), port);
    }

private:
    QUdpSocket m_socket;
};

// Sends one datagram from a socket of its own thread after a delay, for
// receives that block the test's thread while they wait. Join before the end.
inline std::thread SendLater(int delayMs, quint16 port, std::vector<std::uint8_t> bytes)
{
    return std::thread([delayMs, port, bytes = std::move(bytes)] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        QUdpSocket socket;
        socket.writeDatagram(reinterpret_cast<const char *>(bytes.data()), static_cast<qint64>(bytes.size()),
                             QHostAddress(QHostAddress::LocalHost), port);
    });
}

// The socket error a call raises: its number and message; {0, ""} when it
// raises none.
template <typename Call>
std::pair<int, std::string> SocketErrorOf(Call &&call)
{
    try {
        call();
    } catch (const EIdSocketError &e) {
        return {e.LastError(), e.what()};
    }
    return {0, ""};
}

} // namespace norvik::test
