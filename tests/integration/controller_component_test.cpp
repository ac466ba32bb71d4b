// The component: link selection, routing of its settings, and forwarding to
// the current link, against real sockets and pseudo-terminals.
#include "component/Controller.h"
#include "component/MODEM.h"
#include "component/TCPIP.h"
#include "component/UART.h"
#include "services/ComPort.h"
#include "services/IdUDPClient.h"
#include "tests/support/FakeLink.h"
#include "tests/support/Pty.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

using norvik::test::FakeLink;
using norvik::test::Hex;
using norvik::test::RecordingSleeper;
using norvik::test::UdpPeer;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Plays the controller on a thread of its own: answers each request datagram
// with the next scripted reply, and keeps the requests for inspection.
class UdpController {
public:
    explicit UdpController(std::vector<Bytes> replies)
    {
        std::promise<quint16> bound;
        auto port = bound.get_future();
        m_thread = std::thread([this, replies = std::move(replies), bound = std::move(bound)]() mutable {
            UdpPeer peer; // made on this thread: the socket belongs to the thread that uses it
            bound.set_value(peer.Port());
            for (const Bytes &reply : replies) {
                const auto request = peer.Receive(3000);
                if (!request)
                    return;
                m_requests.push_back(request->bytes);
                peer.SendTo(request->senderPort, reply);
            }
        });
        m_port = port.get();
    }
    ~UdpController() { Join(); }

    quint16 Port() const { return m_port; }
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    // Valid after Join().
    const std::vector<Bytes> &Requests() const { return m_requests; }

private:
    std::thread m_thread;
    quint16 m_port = 0;
    std::vector<Bytes> m_requests;
};

} // namespace

TEST(ControllerComponent, ConstructionValues)
{
    TController c;
    EXPECT_EQ(c.ConnectMethod(), cmSerial);
    EXPECT_EQ(c.Current(), static_cast<TBasicCom *>(c.SerialLink()));
    EXPECT_EQ(c.DialupStatus(), usOK);
    EXPECT_EQ(c.DialTimeOut(), 60000u);
    EXPECT_EQ(c.ControllerID(), 1);
    EXPECT_EQ(c.Host(), "127.0.0.1");
    EXPECT_EQ(c.HostPort(), 1001);
    EXPECT_EQ(c.COM(), "COM1");
    EXPECT_EQ(c.ReadTimeOut(), 10);
    EXPECT_EQ(c.RetrySleep(), 100);
    EXPECT_EQ(c.SendAfterSleep(), 0);
    EXPECT_EQ(c.RetryTime(), 5);
    EXPECT_FALSE(c.DebugMode());
    EXPECT_EQ(c.DebugPath(), "");
    EXPECT_EQ(c.Version(), "1.84");
    EXPECT_EQ(c.CardBytes(), cbNormal);
    EXPECT_EQ(c.SerialLink()->SerialPort().FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(c.ModemLink()->SerialPort().FlowControl().FlowControl(), fcHardware);
}

TEST(ControllerComponent, LinksAreCreatedSerialNetworkModemAndFreedInTheSameOrder)
{
    std::vector<QObject *> freed;
    std::vector<QObject *> links;
    {
        TController c;
        links = {c.SerialLink(), c.NetworkLink(), c.ModemLink()};
        EXPECT_EQ(std::vector<QObject *>(c.children().begin(), c.children().end()), links);
        for (QObject *link : links)
            QObject::connect(link, &QObject::destroyed, [&freed](QObject *gone) { freed.push_back(gone); });
    }
    EXPECT_EQ(freed, links);
}

// Each command method reaches the same-named operation of the current link with
// its arguments in their places, and hands back that operation's result.
TEST(ControllerComponent, EveryCommandForwardsArgumentsAndResult)
{
    const std::string sn = "12345678";
    FakeLink::Bytes snEcho(1, 0x29);
    for (char c : sn) // element-wise: GCC 12 misreads a range insert here (-Warray-bounds)
        snEcho.push_back(static_cast<std::uint8_t>(c));
    const std::vector<Bytes> replies = {
        FakeLink::Ack(9, 0x02, 0),                                           // ResetController
        FakeLink::Ack(9, 0xE0, 0),                                           // SendJumpBootloader
        FakeLink::Frame(9, 0x42, {0x00, 0x00, 0x01, 0x02, 0x05, 0x03, 0xE8, 0x0F, 0xA0, 0x00, 0x0A, 0x00, 0x05,
                                  0x01, 0xF4}),                              // GetControllerInfo
        FakeLink::Frame(9, 0x28, {0x28, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}), // GetControllerSN
        FakeLink::Ack(0, 0x27, 0),                                           // SendSetControllerSN
        FakeLink::Frame(42, 0x29, snEcho),                                   // SendReadControllerID
        FakeLink::Ack(9, 0x37, 0),                                           // BeginSetDeviceID
        FakeLink::Ack(9, 0x26, 1),                                           // SendSetDeviceID: refused
        FakeLink::Frame(9, 0x35, {0x35, 0x00, 0x04, 'C'}),                   // SendReadDeviceID
        FakeLink::Ack(9, 0x36, 0),                                           // EndSetDeviceID
        FakeLink::Frame(9, 0x42, {0x00}),                                    // BookmarkFront
        FakeLink::Ack(9, 0x01, 0),                                           // SendTime
        FakeLink::Ack(9, 0x01, 1),                                           // SendPCTime: refused
        FakeLink::Frame(9, 0x43, {0x43, 0x05, 0x0C, 0x1F, 0x17, 0x3B, 0x3A}), // GetControllerDateTime
        FakeLink::Ack(9, 0x39, 0),                                           // SendSetSummerTime
        FakeLink::Ack(9, 0x39, 2),                                           // SendSetWinterTime: refused
        FakeLink::Ack(0, 0x03, 0),                                           // SendSetControllerID: never read
    };
    UdpController controller(replies);
    RecordingSleeper sleeper;
    TController c;
    c.SetControllerID(9);
    c.SetHost("127.0.0.1");
    c.SetHostPort(controller.Port());
    c.SetReadTimeOut(2000);
    c.SetConnectMethod(cmTCPIP);
    ASSERT_TRUE(c.Connect());

    const std::uint8_t header[] = {0x33, 0x01, 0x02, 0x00};
    EXPECT_EQ(c.CalCheckSum(header, 4), 0x36);
    EXPECT_EQ(c.ResetController(), 1);
    EXPECT_TRUE(c.SendJumpBootloader());
    TControllerInfo info;
    EXPECT_TRUE(c.GetControllerInfo(info));
    EXPECT_EQ(info.Version, 0x0205);
    EXPECT_EQ(info.RecordCount, 500);
    std::uint8_t readSN[8] = {};
    EXPECT_TRUE(c.GetControllerSN(readSN));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(readSN), 8), "ABCDEFGH");
    EXPECT_TRUE(c.SendSetControllerSN(sn, 0x2Au));
    EXPECT_EQ(c.SendReadControllerID(sn), 42);
    EXPECT_TRUE(c.BeginSetDeviceID());
    EXPECT_EQ(c.SendSetDeviceID(3, 4, std::string("ABCDEFGH")), 0);
    EXPECT_EQ(c.SendReadDeviceID(4, std::string("ABCDEFGH")), 12);
    EXPECT_TRUE(c.EndSetDeviceID());
    EXPECT_TRUE(c.BookmarkFront());
    EXPECT_EQ(c.SendTime(QDateTime(QDate(2005, 3, 9), QTime(14, 5, 30))), 1);
    EXPECT_EQ(c.SendPCTime(), 0);
    EXPECT_EQ(c.GetControllerDateTime(), QDateTime(QDate(2005, 12, 31), QTime(23, 59, 58)));
    const QDateTime time1(QDate(2006, 3, 26), QTime(1, 0));
    const QDateTime time2(QDate(2006, 10, 29), QTime(3, 0));
    EXPECT_EQ(c.SendSetSummerTime(time1, time2), 1);
    EXPECT_EQ(c.SendSetWinterTime(time1, time2), 0);
    c.SendSetControllerID(0x2B, sn);

    controller.Join();
    const std::vector<Bytes> &sent = controller.Requests();
    ASSERT_EQ(sent.size(), replies.size());
    EXPECT_EQ(Hex(sent[0]), "33 09 02 00 3E");
    EXPECT_EQ(Hex(sent[2]), "33 09 42 00 7E");
    EXPECT_EQ(Hex(sent[4]), "33 00 27 09 2A 31 32 33 34 35 36 37 38 31");
    EXPECT_EQ(Hex(sent[5]), "33 00 29 08 31 32 33 34 35 36 37 38 08");
    EXPECT_EQ(Hex(sent[7]), "33 09 26 0A 04 03 41 42 43 44 45 46 47 48 97");
    EXPECT_EQ(Hex(sent[8]), "33 09 35 09 04 41 42 43 44 45 46 47 48 A2");
    EXPECT_EQ(Hex(sent[11]), "33 09 01 07 05 03 09 0E 05 1E 03 89");
    EXPECT_EQ(Hex(sent[14]), "33 09 39 0C 01 06 03 1A 01 00 D6 0A 1D 07 03 00 AD");
    EXPECT_EQ(sent[15][4], 0x00);
    EXPECT_EQ(Hex(sent[16]), "33 00 03 09 2B 31 32 33 34 35 36 37 38 0E");
    std::string codes;
    for (const Bytes &request : sent)
        codes += Hex(&request[2], 1) + " ";
    EXPECT_EQ(codes, "02 E0 42 28 27 29 37 26 35 36 42 01 01 43 39 39 03 ");
}

// The read follows the component's card width: 8-byte cards come in the
// 22-byte form whatever size the caller passes.
TEST(ControllerComponent, ReadTransactionFollowsTheCardWidth)
{
    UdpController controller({FakeLink::Frame(1, 0x22, {0, 1, 2, 3, 4, 5, 6, 7, 8, 5, 3, 9, 14, 5, 30, 0, 2, 0, 7})});
    RecordingSleeper sleeper;
    TController c;
    c.SetHostPort(controller.Port());
    c.SetReadTimeOut(2000);
    c.SetConnectMethod(cmTCPIP);
    c.SetCardBytes(cbCard8Bytes);
    ASSERT_TRUE(c.Connect());
    std::uint8_t buffer[22] = {};
    EXPECT_EQ(c.ReadTransaction(buffer, 22), 1);
    EXPECT_EQ(Hex(buffer, 22), "00 00 00 00 01 02 03 04 05 06 07 08 05 03 09 0E 05 1E 00 02 00 07");
}

TEST(ControllerComponent, SameMethodKeepsTheLinkOpenAndASwitchClosesIt)
{
    RecordingSleeper sleeper;
    TController c;
    c.SetConnectMethod(cmTCPIP);
    ASSERT_TRUE(c.Connect());
    const int port = c.NetworkLink()->UdpClient().LocalPort();
    c.SetConnectMethod(cmTCPIP);
    EXPECT_TRUE(c.NetworkLink()->Connected());
    EXPECT_EQ(c.NetworkLink()->UdpClient().LocalPort(), port);

    c.SetConnectMethod(cmModem);
    EXPECT_FALSE(c.NetworkLink()->Connected());
    EXPECT_FALSE(c.NetworkLink()->UdpClient().Active());
    EXPECT_EQ(c.Current(), static_cast<TBasicCom *>(c.ModemLink()));

    // Leaving the modem hangs up: its escape and hang-up pauses are taken.
    sleeper.pauses.clear();
    c.SetConnectMethod(cmSerial);
    EXPECT_EQ(sleeper.pauses, (std::vector<int>{1000, 2000, 1000}));
    EXPECT_EQ(c.Current(), static_cast<TBasicCom *>(c.SerialLink()));
}

TEST(ControllerComponent, RetrySettingsStayWithTheirLinkAcrossSwitches)
{
    TController c;
    c.SetRetryTime(2);
    c.SetRetrySleep(30);
    c.SetConnectMethod(cmTCPIP);
    EXPECT_EQ(c.RetryTime(), 5);
    EXPECT_EQ(c.RetrySleep(), 100);
    c.SetRetryTime(7);
    c.SetConnectMethod(cmSerial);
    EXPECT_EQ(c.RetryTime(), 2);
    EXPECT_EQ(c.RetrySleep(), 30);
    EXPECT_EQ(c.NetworkLink()->RetryTime, 7);
    EXPECT_EQ(c.ModemLink()->RetryTime, 5);
}

TEST(ControllerComponent, ControllerIdAndComReachEveryLinkThatHoldsThem)
{
    RecordingSleeper sleeper;
    TController c;
    c.SetConnectMethod(cmTCPIP);
    c.SetControllerID(77);
    EXPECT_EQ(c.SerialLink()->ControllerID, 77);
    EXPECT_EQ(c.NetworkLink()->ControllerID, 77);
    EXPECT_EQ(c.ModemLink()->ControllerID, 77);

    // COM reads empty on the network link, yet writing it still renames both serial ports.
    c.SetCOM("COM4");
    EXPECT_EQ(c.COM(), "");
    EXPECT_EQ(c.SerialLink()->COM(), "COM4");
    EXPECT_EQ(c.ModemLink()->COM(), "COM4");

    c.SetConnectMethod(cmModem);
    EXPECT_EQ(c.ControllerID(), 77);
    EXPECT_EQ(c.COM(), "COM4");
    c.ModemLink()->SetCOM("COM9");
    EXPECT_EQ(c.COM(), "COM9");
    c.SetConnectMethod(cmSerial);
    EXPECT_EQ(c.ControllerID(), 77);
    EXPECT_EQ(c.COM(), "COM4");

    // Host, port and time-out live in the network link whatever the method.
    c.SetHost("10.0.0.9");
    c.SetHostPort(4001);
    c.SetReadTimeOut(250);
    EXPECT_EQ(c.NetworkLink()->Host(), "10.0.0.9");
    EXPECT_EQ(c.NetworkLink()->HostPort(), 4001);
    EXPECT_EQ(c.NetworkLink()->ReadTimeOut(), 250);
    EXPECT_EQ(c.Host(), "10.0.0.9");
}

TEST(ControllerComponent, SwitchHandsTheFourCopiesToTheNewLink)
{
    RecordingSleeper sleeper;
    // Set under each link in turn, then carried by each switch: the values must
    // be in whatever engine is current, before and after the switch.
    const TConnectMethod methods[] = {cmSerial, cmTCPIP, cmModem};
    for (const int from : {0, 1, 2}) {
        for (const int to : {0, 1, 2}) {
            if (from == to)
                continue;
            SCOPED_TRACE("from " + std::to_string(from) + " to " + std::to_string(to));
            TController c;
            TBasicCom *const links[] = {c.SerialLink(), c.NetworkLink(), c.ModemLink()};
            c.SetConnectMethod(methods[from]);
            c.SetDebugMode(true);
            c.SetDebugPath("/tmp/norvik-log");
            c.SetSendAfterSleep(40);
            c.SetCardBytes(cbCard8Bytes);
            for (const int step : {from, to}) {
                c.SetConnectMethod(methods[step]);
                const TBasicCom *link = c.Current();
                ASSERT_EQ(link, links[step]);
                EXPECT_TRUE(link->DebugMode);
                EXPECT_EQ(link->DebugPath, "/tmp/norvik-log");
                EXPECT_EQ(link->SendAfterSleep, 40);
                EXPECT_EQ(link->CardBytes, cbCard8Bytes);
            }
        }
    }

    TController c;
    c.SetDebugMode(true);
    c.SetDebugPath("/tmp/norvik-log");
    c.SetSendAfterSleep(40);
    c.SetCardBytes(cbCard8Bytes);
    // Written to the current link only, so far.
    EXPECT_FALSE(c.NetworkLink()->DebugMode);
    EXPECT_EQ(c.NetworkLink()->SendAfterSleep, 0);
    c.SetConnectMethod(cmTCPIP);
    TTCPIP *net = c.NetworkLink();
    EXPECT_EQ(c.SendAfterSleep(), 40);

    // A value written to the link behind the component's back is read from the link
    // (SendAfterSleep) or from the copy (the other three), and the copy wins on the next switch.
    net->SendAfterSleep = 5;
    net->DebugMode = false;
    EXPECT_EQ(c.SendAfterSleep(), 5);
    EXPECT_TRUE(c.DebugMode());
    c.SetConnectMethod(cmModem);
    EXPECT_EQ(c.ModemLink()->SendAfterSleep, 40);
    EXPECT_TRUE(c.ModemLink()->DebugMode);
    EXPECT_EQ(c.ModemLink()->CardBytes, cbCard8Bytes);
}

TEST(ControllerComponent, SerialFlowControlIsResetWhileTheModemKeepsItsHandshake)
{
    RecordingSleeper sleeper;
    TController c;
    c.SerialLink()->SerialPort().FlowControl().SetFlowControl(fcHardware);
    c.SetConnectMethod(cmSerial); // same method: nothing happens
    EXPECT_EQ(c.SerialLink()->SerialPort().FlowControl().FlowControl(), fcHardware);
    c.SetConnectMethod(cmModem);
    c.SetConnectMethod(cmSerial);
    EXPECT_EQ(c.SerialLink()->SerialPort().FlowControl().FlowControl(), fcNone);
    c.SetConnectMethod(cmModem);
    EXPECT_EQ(c.ModemLink()->SerialPort().FlowControl().FlowControl(), fcHardware);
}

TEST(ControllerComponent, UnknownConnectMethodIsRefusedAndChangesNothing)
{
    TController c;
    c.SetConnectMethod(cmTCPIP);
    ASSERT_TRUE(c.Connect());
    EXPECT_THROW(c.SetConnectMethod(static_cast<TConnectMethod>(7)), norvik::NorvikError);
    EXPECT_EQ(c.ConnectMethod(), cmTCPIP);
    EXPECT_TRUE(c.NetworkLink()->Connected());
}

TEST(ControllerComponent, DialAndDialStatusAlwaysUseTheModemLink)
{
    norvik::test::Pty modem;
    RecordingSleeper sleeper;
    TController c;
    c.SetCOM(modem.DevicePath());
    ASSERT_TRUE(c.ModemLink()->Connect());

    c.SetDialTimeOut(3000);
    EXPECT_EQ(c.ModemLink()->DialTimeOut(), 3000u);
    c.Dial("5551234");
    EXPECT_EQ(modem.Read(13, 1000), "ATDT5551234\x0A\x0D");
    EXPECT_EQ(c.DialupStatus(), usConnecting);
    EXPECT_EQ(c.ModemLink()->DialupStatus(), usConnecting);
    EXPECT_FALSE(c.SerialLink()->SerialPort().Connected());

    c.SetConnectMethod(cmTCPIP); // leaves serial: nothing to hang up there
    EXPECT_EQ(c.DialupStatus(), usConnecting);
    modem.Write(std::string("\r\nCONNECT 19200\r\n"));
    c.ModemLink()->PollModemReply();
    EXPECT_EQ(c.DialupStatus(), usConnected);
    c.ModemLink()->Disconnect();
    EXPECT_EQ(c.DialupStatus(), usOK);
}

TEST(ControllerComponent, NetworkCommandsAndDirectTransfersGoThroughTheCurrentLink)
{
    // Jump-to-boot-loader answered with status 0, then one raw boot-loader letter.
    UdpController controller({{0x33, 0x09, 0xE0, 0x02, 0xE0, 0x00, 0xFE}, {'K'}});
    RecordingSleeper sleeper;
    TController c;
    c.SetControllerID(9);
    c.SetHost("localhost");
    c.SetHostPort(controller.Port());
    c.SetReadTimeOut(2000);
    c.SetConnectMethod(cmTCPIP);
    ASSERT_TRUE(c.Connect());

    EXPECT_TRUE(c.SendJumpBootloader());
    const char line[] = ":00000001FF;";
    c.DirectSend(line, 12);
    std::uint8_t buffer[255] = {};
    EXPECT_EQ(c.DirectReceive(buffer), 1);
    EXPECT_EQ(buffer[0], 'K');
    c.Disconnect();
    EXPECT_FALSE(c.NetworkLink()->Connected());

    controller.Join();
    ASSERT_EQ(controller.Requests().size(), 2u);
    const Bytes &jump = controller.Requests()[0];
    ASSERT_EQ(jump.size(), 21u);
    EXPECT_EQ(jump[1], 9) << "the request is not addressed to the component's ControllerID";
    EXPECT_EQ(jump[2], 0xE0);
    EXPECT_EQ(std::string(controller.Requests()[1].begin(), controller.Requests()[1].end()), ":00000001FF;");
}

TEST(ControllerComponent, AboutGoesThroughTheInstalledHook)
{
    std::string caption;
    std::string text;
    auto previous = TController::SetAboutHook([&](const std::string &c, const std::string &t) {
        caption = c;
        text = t;
    });
    TController c;
    c.About();
    TController::SetAboutHook(previous);
    EXPECT_EQ(caption, "Norvik");
    ASSERT_GT(text.size(), 38u);
    EXPECT_EQ(text.substr(0, 38), "Norvik Controller Component ver 1.84\r\n");
    EXPECT_EQ(text.find("\r\n", 38), std::string::npos);
}
