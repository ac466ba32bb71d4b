// The network link against a scripted controller: a real UDP socket on 127.0.0.1.
#include "component/TCPIP.h"
#include "services/IdUDPClient.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/UdpPeer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <algorithm>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

using norvik::test::Datagram;
using norvik::test::SendLater;
using norvik::test::SocketErrorOf;
using norvik::test::UdpPeer;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kRequest{0x33, 0x01, 0x10, 0x00, 0x44};
const Bytes kReply7{0x33, 0x01, 0x10, 0x02, 0x00, 0x00, 0x46};

// A link aimed at the peer that has sent one request, so the peer knows where to answer.
struct Exchange {
    UdpPeer controller;
    TTCPIP link;
    quint16 linkPort = 0;

    explicit Exchange(int readTimeOut = 200)
    {
        link.SetHostPort(controller.Port());
        link.SetReadTimeOut(readTimeOut);
        link.Connect();
        std::memcpy(link.RequestBuffer, kRequest.data(), kRequest.size());
        link.SendFrame(static_cast<int>(kRequest.size()));
        if (auto d = controller.Receive())
            linkPort = d->senderPort;
    }

    Bytes reply(int count) const { return Bytes(link.ReplyBuffer, link.ReplyBuffer + count); }
};

} // namespace

TEST(TcpipLink, ConstructionAndConnectState)
{
    TTCPIP link;
    EXPECT_EQ(link.Host(), "127.0.0.1");
    EXPECT_EQ(link.HostPort(), 1001);
    EXPECT_EQ(link.ReadTimeOut(), 10);
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.UdpClient().Active());

    EXPECT_TRUE(link.Connect());
    const int port = link.UdpClient().LocalPort();
    EXPECT_NE(port, 0);
    EXPECT_TRUE(link.Connect());
    EXPECT_EQ(link.UdpClient().LocalPort(), port) << "a second Connect made a new socket";
    EXPECT_TRUE(link.Connected());

    link.Disconnect();
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.UdpClient().Active());
    link.Disconnect();
    EXPECT_FALSE(link.Connected());
}

TEST(TcpipLink, SendFrameIsOneDatagramOfExactlyCountBytes)
{
    Exchange x;
    ASSERT_NE(x.linkPort, 0);
    std::fill(std::begin(x.link.RequestBuffer), std::end(x.link.RequestBuffer), 0x77);
    std::memcpy(x.link.RequestBuffer, kReply7.data(), kReply7.size());
    x.link.SendFrame(7);
    auto d = x.controller.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, kReply7);
    EXPECT_EQ(d->senderPort, x.linkPort);

    // A count beyond the buffer sends the buffer, never what lies behind it.
    x.link.SendFrame(1000);
    d = x.controller.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes.size(), 256u);
}

TEST(TcpipLink, WholeReplyWithinReadTimeOut)
{
    Exchange x(300);
    std::fill(std::begin(x.link.ReplyBuffer), std::end(x.link.ReplyBuffer), 0xEE);
    std::thread later = SendLater(120, x.linkPort, kReply7);
    EXPECT_EQ(x.link.ReceiveFrame(), 7);
    later.join();
    EXPECT_EQ(x.reply(7), kReply7);
    // The rest of the buffer is cleared, not left from before.
    EXPECT_TRUE(std::all_of(x.link.ReplyBuffer + 7, x.link.ReplyBuffer + 256, [](std::uint8_t b) { return b == 0; }));

    // A bare 5-byte frame (no data) is complete too.
    x.controller.SendTo(x.linkPort, {0x33, 0x01, 0x10, 0x00, 0x44});
    EXPECT_EQ(x.link.ReceiveFrame(), 5);
}

TEST(TcpipLink, ReplyIsNeverAssembledFromSeveralDatagrams)
{
    Exchange x;
    x.controller.SendTo(x.linkPort, Bytes(kReply7.begin(), kReply7.begin() + 4));
    x.controller.SendTo(x.linkPort, Bytes(kReply7.begin() + 4, kReply7.end()));
    EXPECT_EQ(x.link.ReceiveFrame(), 0);
    // The second part stays queued for the next receive.
    std::uint8_t buffer[255] = {};
    EXPECT_EQ(x.link.DirectReceive(buffer), 3);
    EXPECT_EQ(Bytes(buffer, buffer + 3), Bytes(kReply7.begin() + 4, kReply7.end()));

    // Longer than byte 3 announces: refused as well.
    Bytes tooLong = kReply7;
    tooLong.push_back(0x00);
    tooLong.push_back(0x00);
    x.controller.SendTo(x.linkPort, tooLong);
    EXPECT_EQ(x.link.ReceiveFrame(), 0);
}

// Datagrams that came after their command gave up are still queued when the
// next command starts: they are thrown away (each traced), never taken as the
// answer to the new request.
TEST(TcpipLink, LateRepliesQueuedBeforeARequestAreNotTakenForItsAnswer)
{
    const Bytes accepted{0x33, 0x01, 0x02, 0x02, 0x02, 0x00, 0x3A}, refused{0x33, 0x01, 0x02, 0x02, 0x02, 0x01, 0x3B};
    const struct {
        std::vector<Bytes> stale;
        Bytes answer;
        int result;
    } rows[] = {
        {{accepted}, refused, 0},
        {{accepted}, {}, -1},
        {{accepted, Bytes{0x33}}, accepted, 1},
    };
    for (const auto &row : rows) {
        norvik::test::TraceCapture trace;
        TTCPIP link;
        link.SetReadTimeOut(300);
        link.Connect();
        UdpPeer late;
        for (const Bytes &stale : row.stale)
            late.SendTo(static_cast<quint16>(link.UdpClient().LocalPort()), stale);
        // The controller, on a thread of its own, answers only once the request has come.
        std::promise<quint16> port;
        std::thread controller([&] {
            UdpPeer peer;
            port.set_value(peer.Port());
            const auto request = peer.Receive();
            ASSERT_TRUE(request);
            EXPECT_EQ(request->bytes, (Bytes{0x33, 0x01, 0x02, 0x00, 0x36}));
            if (!row.answer.empty())
                peer.SendTo(request->senderPort, row.answer);
        });
        link.SetHostPort(port.get_future().get());
        EXPECT_EQ(link.ResetController(), row.result);
        controller.join();
        EXPECT_EQ(trace.Lines(QStringLiteral(" DROP udp ")).size(), static_cast<qsizetype>(row.stale.size()));
    }
}

TEST(TcpipLink, ReplyFromAnotherSenderIsAccepted)
{
    Exchange x;
    UdpPeer elsewhere;
    elsewhere.SendTo(x.linkPort, kReply7);
    EXPECT_EQ(x.link.ReceiveFrame(), 7);
}

TEST(TcpipLink, MissingReplyCostsTheSettlePauseAndReadTimeOut)
{
    Exchange x(100);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(x.link.ReceiveFrame(), 0);
    EXPECT_GE(t.elapsed(), 145);
    EXPECT_LT(t.elapsed(), 450);

    // RetryTime belongs to the serial read loop; this link ignores it.
    x.link.RetryTime = 0;
    x.controller.SendTo(x.linkPort, kReply7);
    EXPECT_EQ(x.link.ReceiveFrame(), 7);
}

TEST(TcpipLink, ReadTimeOutZeroTakesOnlyWhatIsWaitingAfterThePause)
{
    Exchange x(0);
    std::thread early = SendLater(10, x.linkPort, kReply7);
    EXPECT_EQ(x.link.ReceiveFrame(), 7);
    early.join();

    std::thread late = SendLater(250, x.linkPort, kReply7);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(x.link.ReceiveFrame(), 0);
    EXPECT_LT(t.elapsed(), 200);
    late.join();
}

TEST(TcpipLink, ReadTimeOutMinusTwoNeverBlocksWithoutLimit)
{
    Exchange x(-2);
    // Late datagrams end the waits should they have no limit, so a fault fails instead of hanging.
    std::thread valve1 = SendLater(600, x.linkPort, kReply7);
    std::thread valve2 = SendLater(650, x.linkPort, kReply7);
    QElapsedTimer t;
    t.start();
    const int frame = x.link.ReceiveFrame();
    std::uint8_t buffer[255];
    const int direct = x.link.DirectReceive(buffer);
    const qint64 elapsed = t.elapsed();
    valve1.join();
    valve2.join();
    EXPECT_EQ(frame, 0);
    EXPECT_EQ(direct, 0);
    EXPECT_LT(elapsed, 500);
    EXPECT_EQ(x.link.ReadTimeOut(), -2);
    x.link.SetReadTimeOut(0);
    while (x.link.DirectReceive(buffer) > 0) {
    }

    // Other negative values keep the client's meaning: nothing is taken.
    x.link.SetReadTimeOut(-5);
    x.controller.SendTo(x.linkPort, kReply7);
    EXPECT_EQ(x.link.ReceiveFrame(), 0);
    x.link.SetReadTimeOut(0);
    EXPECT_EQ(x.link.ReceiveFrame(), 7);
}

TEST(TcpipLink, ReceiveFramePausesFiftyMillisecondsThroughTheSleeper)
{
    Exchange x(0);
    norvik::test::RecordingSleeper sleeper;
    x.link.ReceiveFrame();
    EXPECT_EQ(sleeper.pauses, std::vector<int>{50});
}

TEST(TcpipLink, DirectTransfersAreRawAndBounded)
{
    Exchange x;
    const char text[] = ":1000000002;";
    EXPECT_EQ(x.link.DirectSend(text, 12), 12);
    auto d = x.controller.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(std::string(d->bytes.begin(), d->bytes.end()), ":1000000002;");

    std::uint8_t buffer[256];
    std::fill(std::begin(buffer), std::end(buffer), 0x5A);
    x.controller.SendTo(x.linkPort, {'K'});
    EXPECT_EQ(x.link.DirectReceive(buffer), 1);
    EXPECT_EQ(buffer[0], 'K');
    EXPECT_EQ(buffer[1], 0x5A) << "the caller's buffer is not cleared";

    x.controller.SendTo(x.linkPort, Bytes(255, 'Z'));
    EXPECT_EQ(x.link.DirectReceive(buffer), 255);
    x.controller.SendTo(x.linkPort, Bytes(256, 'Z'));
    EXPECT_THROW(x.link.DirectReceive(buffer), EIdSocketError);
    EXPECT_EQ(buffer[255], 0x5A);
}

TEST(TcpipLink, SettingsChangeWhileConnectedAndSocketErrorsReachTheCaller)
{
    Exchange x;
    UdpPeer other;
    x.link.SetHost("LOCALHOST");
    x.link.SetHostPort(other.Port());
    x.link.SendFrame(5);
    auto d = other.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->bytes, kRequest);

    x.link.SetHost("bad..name");
    EXPECT_EQ(SocketErrorOf([&] { x.link.SendFrame(5); }).second, "Socket Error # 10065\r\nNo route to host.");
    EXPECT_TRUE(x.link.Connected());
}

TEST(TcpipLink, SendWhileDisconnectedCreatesTheSocketWithoutConnecting)
{
    UdpPeer controller;
    TTCPIP link;
    link.SetHostPort(controller.Port());
    std::memcpy(link.RequestBuffer, kRequest.data(), kRequest.size());
    link.SendFrame(5);
    ASSERT_TRUE(controller.Receive());
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(link.UdpClient().Active());
    link.Disconnect();
    EXPECT_FALSE(link.UdpClient().Active());
}
