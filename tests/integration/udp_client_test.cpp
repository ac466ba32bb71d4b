// The datagram client against real sockets on 127.0.0.1.
#include "services/IdUDPClient.h"
#include "tests/support/UdpPeer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <cstdint>
#include <string>
#include <vector>

using norvik::test::SendLater;
using norvik::test::SocketErrorOf;
using norvik::test::UdpPeer;

namespace {

using Bytes = std::vector<std::uint8_t>;
using SocketError = std::pair<int, std::string>;

// A client aimed at the peer; one send makes the peer learn the client's port.
struct Pair {
    UdpPeer peer;
    TIdUDPClient client;
    quint16 clientPort = 0;

    Pair()
    {
        client.Host = "127.0.0.1";
        client.Port = peer.Port();
        const std::uint8_t hello = 0x55;
        client.SendDatagram(&hello, 1);
        auto d = peer.Receive();
        if (d)
            clientPort = d->senderPort;
    }
};

std::string messageOf(int number)
{
    return EIdSocketError(number).what();
}

} // namespace

TEST(UdpClient, ErrorMessagesKeepTheSocketLayerTextsByteForByte)
{
    EXPECT_EQ(messageOf(10040), "Socket Error # 10040\r\nMessage too long.");
    EXPECT_EQ(messageOf(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(messageOf(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(messageOf(10054), "Socket Error # 10054\r\nConnection reset by peer.");
    EXPECT_EQ(messageOf(11001), "Socket Error # 11001\r\n");
    EXPECT_EQ(EIdSocketError(10065).LastError(), 10065);
    EXPECT_STREQ(EIdPackageSizeTooBig().what(), "Package Size Too Big.");
    EXPECT_STREQ(EIdNotAllBytesSent().what(), "Not all bytes sent.");
}

TEST(UdpClient, HostNamesThatNeedNoLookup)
{
    EXPECT_EQ(TIdUDPClient::ResolveHost("localhost"), "127.0.0.1");
    EXPECT_EQ(TIdUDPClient::ResolveHost("LocalHost"), "127.0.0.1");
    // Leading zeros are decimal, never octal: 010 is ten, 0377 is not a part at all.
    EXPECT_EQ(TIdUDPClient::ResolveHost("127.000.000.001"), "127.0.0.1");
    EXPECT_EQ(TIdUDPClient::ResolveHost("010.008.009.255"), "10.8.9.255");
    EXPECT_EQ(TIdUDPClient::ResolveHost("0.0.0.0"), "0.0.0.0");

    UdpPeer peer;
    TIdUDPClient client;
    client.Host = "127.000.000.001";
    client.Port = peer.Port();
    const std::uint8_t frame[] = {0x33, 0x01, 0x02, 0x00, 0x36};
    client.SendDatagram(frame, 5);
    client.SendDatagram(frame, 3);
    auto first = peer.Receive();
    auto second = peer.Receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes, Bytes(frame, frame + 5));
    EXPECT_EQ(second->bytes, Bytes(frame, frame + 3));
}

TEST(UdpClient, SendFailuresRaiseAndTheClientStaysUsable)
{
    UdpPeer peer;
    TIdUDPClient client;
    client.Port = peer.Port();
    const std::uint8_t byte = 0x33;

    // No destination at all.
    const auto send = [&] { client.SendDatagram(&byte, 1); };
    EXPECT_EQ(SocketErrorOf(send), SocketError(10039, "Socket Error # 10039\r\nDestination address required."));

    // A name that cannot be resolved (an empty label is refused before any query leaves the machine).
    client.Host = "no..such.host";
    EXPECT_EQ(SocketErrorOf(send), SocketError(10065, "Socket Error # 10065\r\nNo route to host."));

    client.Host = "LOCALHOST";
    // More than one IPv4 datagram can carry: refused as too large, nothing sent.
    const Bytes huge(70000, 0x33);
    EXPECT_THROW(client.SendDatagram(huge.data(), static_cast<int>(huge.size())), EIdPackageSizeTooBig);
    EXPECT_FALSE(peer.Receive(100));

    client.SendDatagram(&byte, 1);
    auto d = peer.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, Bytes{0x33});
}

TEST(UdpClient, ReceivesQueuedDatagramsOneEachFromAnySender)
{
    Pair p;
    ASSERT_NE(p.clientPort, 0);
    UdpPeer stranger;
    p.peer.SendTo(p.clientPort, {1, 2, 3});
    stranger.SendTo(p.clientPort, {4, 5});

    std::uint8_t buffer[255] = {};
    ASSERT_EQ(p.client.ReceiveDatagram(buffer, 255, 500), 3);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
    ASSERT_EQ(p.client.ReceiveDatagram(buffer, 255, 500), 2);
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{4, 5}));
    EXPECT_EQ(p.client.ReceiveDatagram(buffer, 255, 0), 0);
}

TEST(UdpClient, OversizedDatagramFailsWith10040IsConsumedAndTheNextReceiveWorks)
{
    Pair p;
    p.peer.SendTo(p.clientPort, Bytes(300, 0xAA));
    p.peer.SendTo(p.clientPort, {7, 7});

    std::uint8_t buffer[256];
    std::fill(std::begin(buffer), std::end(buffer), 0x11);
    EXPECT_EQ(SocketErrorOf([&] { p.client.ReceiveDatagram(buffer, 255, 500); }),
              SocketError(10040, "Socket Error # 10040\r\nMessage too long."));
    EXPECT_EQ(buffer[255], 0x11) << "wrote past the room it was given";
    ASSERT_EQ(p.client.ReceiveDatagram(buffer, 255, 500), 2);
    EXPECT_EQ(buffer[0], 7);
    // A datagram that exactly fills the room is fine.
    p.peer.SendTo(p.clientPort, Bytes(255, 0x42));
    EXPECT_EQ(p.client.ReceiveDatagram(buffer, 255, 500), 255);
}

TEST(UdpClient, WaitSemantics)
{
    Pair p;
    std::uint8_t buffer[255];
    QElapsedTimer t;

    // 0 only polls.
    t.start();
    EXPECT_EQ(p.client.ReceiveDatagram(buffer, 255, 0), 0);
    EXPECT_LT(t.elapsed(), 40);

    // -1 stands for ReceiveTimeout.
    p.client.ReceiveTimeout = 150;
    t.start();
    EXPECT_EQ(p.client.ReceiveDatagram(buffer, 255, -1), 0);
    EXPECT_GE(t.elapsed(), 140);
    EXPECT_LT(t.elapsed(), 1000);

    // Other negatives count as nothing ready, even with a datagram queued; it stays queued.
    p.peer.SendTo(p.clientPort, {9});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.start();
    EXPECT_EQ(p.client.ReceiveDatagram(buffer, 255, -3), 0);
    EXPECT_LT(t.elapsed(), 40);
    EXPECT_EQ(p.client.ReceiveDatagram(buffer, 255, 0), 1);

    // A datagram arriving during a wait ends it early; -2 waits as long as it takes.
    std::thread later = SendLater(150, p.clientPort, {5, 6});
    t.start();
    const int n = p.client.ReceiveDatagram(buffer, 255, -2);
    const qint64 waited = t.elapsed();
    later.join();
    EXPECT_EQ(n, 2);
    EXPECT_GE(waited, 100);

    later = SendLater(50, p.clientPort, {8});
    t.start();
    EXPECT_EQ(p.client.ReceiveDatagram(buffer, 255, 2000), 1);
    EXPECT_LT(t.elapsed(), 1000);
    later.join();
}

TEST(UdpClient, ReceiveOnANeverActivatedClientCreatesTheSocket)
{
    TIdUDPClient client;
    std::uint8_t buffer[255];
    EXPECT_EQ(client.ReceiveDatagram(buffer, 255, 20), 0);
    EXPECT_TRUE(client.Active());
    EXPECT_NE(client.LocalPort(), 0);
}

TEST(UdpClient, DatagramRefusedByItsDestinationDoesNotBreakTheClient)
{
    quint16 closedPort;
    {
        UdpPeer gone;
        closedPort = gone.Port();
    }
    UdpPeer peer;
    TIdUDPClient client;
    client.Host = "127.0.0.1";
    client.Port = closedPort;
    const std::uint8_t b = 1;
    client.SendDatagram(&b, 1);
    std::uint8_t buffer[255];
    try {
        EXPECT_EQ(client.ReceiveDatagram(buffer, 255, 50), 0);
    } catch (const EIdSocketError &e) {
        EXPECT_EQ(e.LastError(), 10054);
    }
    client.Port = peer.Port();
    client.SendDatagram(&b, 1);
    auto d = peer.Receive();
    ASSERT_TRUE(d);
    peer.SendTo(d->senderPort, {6});
    EXPECT_EQ(client.ReceiveDatagram(buffer, 255, 500), 1);
}
