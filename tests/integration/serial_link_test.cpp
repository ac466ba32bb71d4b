// The serial link on a pseudo-terminal: how replies are assembled from reads,
// what is kept or discarded between reads and before a request, and the
// link's open/close rules.
#include "component/UART.h"
#include "services/ComPort.h"
#include "tests/support/FakeLink.h"
#include "tests/support/Pty.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/TraceCapture.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <unistd.h>

using norvik::test::FakeLink;
using norvik::test::Pty;

namespace {

// A reply frame from controller 1, as the bytes written to the line.
std::string frame(std::uint8_t code, const std::string &data)
{
    const FakeLink::Bytes bytes = FakeLink::Frame(0x01, code, FakeLink::Bytes(data.begin(), data.end()));
    return std::string(bytes.begin(), bytes.end());
}

std::string reply(const TUART &link, int count)
{
    return std::string(reinterpret_cast<const char *>(link.ReplyBuffer), static_cast<std::size_t>(count));
}

struct SerialLink : ::testing::Test {
    Pty pty;
    TUART link;
    void SetUp() override
    {
        link.SetCOM(pty.DevicePath());
        ASSERT_TRUE(link.Connect()) << link.LastError();
    }
};

} // namespace

TEST_F(SerialLink, ReplyArrivingInPiecesIsAssembledWhole)
{
    link.RetrySleep = 10;
    const std::string whole = frame(0x10, "ABCDEFGH"); // 13 bytes
    // Gaps longer than the 20 ms interval split it across three reads.
    pty.Play({{0, whole.substr(0, 2)}, {70, whole.substr(2, 6)}, {70, whole.substr(8)}});
    EXPECT_EQ(link.ReceiveFrame(), 13);
    EXPECT_EQ(reply(link, 13), whole);
    EXPECT_EQ(link.ReplyBuffer[13], 0);
    pty.Wait();

    // The shortest frame, n = 0, is complete at 5 bytes.
    pty.Write(frame(0x20, ""));
    EXPECT_EQ(link.ReceiveFrame(), 5);
}

TEST_F(SerialLink, ExtraBytesInTheSameReadGiveZeroAndStay)
{
    link.RetryTime = 1;
    link.RetrySleep = 0;
    pty.Write(frame(0x10, "xy") + "!!");
    EXPECT_EQ(link.ReceiveFrame(), 0);

    // An over-long read is not followed by a purge: bytes beyond the 255
    // read stay queued.
    pty.Write(frame(0x10, std::string(248, 'd')) + std::string(12, 'z'));
    EXPECT_EQ(link.ReceiveFrame(), 0);
    char buffer[255];
    EXPECT_EQ(link.DirectReceive(buffer), 10);
    EXPECT_EQ(std::string(buffer, 10), std::string(10, 'z'));
}

TEST_F(SerialLink, QueuedBytesAtCompletionAreDiscardedLaterOnesKept)
{
    // A 255-byte frame fills the read; 10 stray bytes are left queued.
    const std::string longFrame = frame(0x10, std::string(250, 'd'));
    ASSERT_EQ(longFrame.size(), 255u);
    pty.Write(longFrame + std::string(10, 'z'));
    EXPECT_EQ(link.ReceiveFrame(), 255);
    EXPECT_EQ(reply(link, 255), longFrame);

    // The strays are gone; what arrives afterwards is the next reply.
    const std::string next = frame(0x11, "ok");
    pty.Write(next);
    EXPECT_EQ(link.ReceiveFrame(), 7);
    EXPECT_EQ(reply(link, 7), next);
}

// A reply that came after its command gave up is still on the line when the
// next command starts: it is thrown away (and traced), never taken as the
// answer to the new request.
TEST_F(SerialLink, ALateReplyLeftOnTheLineIsNotTakenForTheNextAnswer)
{
    link.RetryTime = 3;
    link.RetrySleep = 20;
    const std::string accepted = frame(0x02, std::string("\x02\x00", 2));
    const std::string refused = frame(0x02, "\x02\x01");
    const struct {
        std::string stale, answer;
        int result;
    } rows[] = {
        {accepted, refused, 0},
        {accepted, "", -1},
        {"\x33\x01", accepted, 1},
    };
    for (const auto &row : rows) {
        norvik::test::TraceCapture trace;
        pty.Write(row.stale);
        for (int i = 0; i < 100 && pty.PendingForCode() < static_cast<int>(row.stale.size()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // The controller answers only once the request is on the line.
        std::thread controller([&] {
            EXPECT_EQ(pty.Read(5), frame(0x02, "")); // 33 01 02 00 36, the reset
            if (!row.answer.empty())
                pty.Write(row.answer);
        });
        EXPECT_EQ(link.ResetController(), row.result);
        controller.join();
        const QStringList dropped = trace.Lines(QStringLiteral(" DROP serial "));
        ASSERT_EQ(dropped.size(), 1) << trace.Lines(QStringLiteral("serial")).join('\n').toStdString();
        EXPECT_TRUE(dropped[0].contains(QStringLiteral("%1 bytes").arg(row.stale.size()))) << dropped[0].toStdString();
    }
}

TEST_F(SerialLink, AttemptsPausesAndTheirBounds)
{
    {
        // No attempt at all: buffer cleared, nothing read.
        norvik::test::RecordingSleeper sleeper;
        link.RetryTime = 0;
        std::memset(link.ReplyBuffer, 0xEE, sizeof link.ReplyBuffer);
        pty.Write("abc");
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(link.ReceiveFrame(), 0);
        EXPECT_LT(clock.elapsed(), 30); // one read attempt alone would wait 20 ms for more
        for (std::uint8_t b : link.ReplyBuffer)
            ASSERT_EQ(b, 0);
        EXPECT_TRUE(sleeper.pauses.empty());
        char buffer[255];
        EXPECT_EQ(link.DirectReceive(buffer), 3);
    }
    {
        // A pause follows every attempt, the last one included; a short
        // count is what remains.
        norvik::test::RecordingSleeper sleeper;
        link.RetryTime = 3;
        link.RetrySleep = 100;
        pty.Write(frame(0x10, "abcdef").substr(0, 6));
        EXPECT_EQ(link.ReceiveFrame(), 6);
        EXPECT_EQ(sleeper.pauses, (std::vector<int>{100, 100, 100}));
    }
    {
        // Byte 3 announcing 251 data bytes can never complete: 255 bytes are
        // read in all, and the rest stays queued.
        norvik::test::RecordingSleeper sleeper;
        link.RetryTime = 3;
        std::string overlong = frame(0x10, std::string(251, 'q')) + "tail";
        pty.Write(overlong);
        EXPECT_EQ(link.ReceiveFrame(), 255);
        EXPECT_EQ(link.ReplyBuffer[255], 0);
        char buffer[255];
        EXPECT_EQ(link.DirectReceive(buffer), static_cast<int>(overlong.size()) - 255);
    }
    // With the defaults and real pauses, a missing reply costs 5 x (50 + 100) ms.
    link.RetryTime = 5;
    link.RetrySleep = 100;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(link.ReceiveFrame(), 0);
    const qint64 ms = clock.elapsed();
    std::printf("[measured] missing reply with the defaults: %lld ms\n", static_cast<long long>(ms));
    EXPECT_GE(ms, 740);
    EXPECT_LE(ms, 850);
}

TEST_F(SerialLink, SendsAndReceivesRawBytes)
{
    for (int i = 0; i < 8; ++i)
        link.RequestBuffer[i] = static_cast<std::uint8_t>(0x30 + i);
    link.SendFrame(5);
    EXPECT_EQ(pty.Read(5), "01234");
    EXPECT_EQ(pty.ReadUntilQuiet(20, 100), "");

    EXPECT_EQ(link.DirectSend(":00000001FF;", 12), 12);
    EXPECT_EQ(pty.Read(12), ":00000001FF;");

    // One receive never places more than 254 bytes.
    pty.Write(std::string(300, 'k'));
    char buffer[300];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(link.DirectReceive(buffer), 254);
    EXPECT_EQ(buffer[253], 'k');
    EXPECT_EQ(buffer[254], '#');
}

TEST_F(SerialLink, ConnectDisconnectAndComChanges)
{
    // Connected already: the port is not touched (a second link cannot have it).
    EXPECT_TRUE(link.Connect());
    TUART other;
    other.SetCOM(pty.DevicePath());
    EXPECT_FALSE(other.Connect());
    EXPECT_FALSE(other.Connected());
    EXPECT_NE(other.LastError().find(pty.DevicePath()), std::string::npos) << other.LastError();

    // Changing COM while open moves the open link, flag unchanged.
    Pty second;
    link.SetCOM(second.DevicePath());
    EXPECT_EQ(link.COM(), second.DevicePath());
    EXPECT_TRUE(link.Connected());
    EXPECT_EQ(link.DirectSend("hop", 3), 3);
    EXPECT_EQ(second.Read(3), "hop");
    EXPECT_TRUE(other.Connect()); // the first line was released

    // A move to a device that cannot be opened leaves the link disconnected,
    // so the next Connect reports it.
    link.SetCOM("/dev/norvik-no-such-line");
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.Connect());
    EXPECT_NE(link.LastError().find("/dev/norvik-no-such-line"), std::string::npos) << link.LastError();
    EXPECT_NE(link.LastError().find("No such file or directory"), std::string::npos) << link.LastError();

    link.Disconnect();
    link.Disconnect();
    EXPECT_FALSE(link.Connected());
    char buffer[255];
    EXPECT_EQ(link.DirectReceive(buffer), 0);
}

TEST(SerialLinkSetup, PortSettingsOfTheControllersLine)
{
    TUART link;
    const TComPort &port = link.SerialPort();
    EXPECT_EQ(link.COM(), "COM1");
    EXPECT_EQ(port.BaudRate(), br19200);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_FALSE(port.Parity().Check());
    EXPECT_EQ(port.SyncMethod(), smNone);
    EXPECT_EQ(port.Buffer().InputSize(), 100);
    EXPECT_EQ(port.Buffer().OutputSize(), 100);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrDisable);
    EXPECT_FALSE(port.FlowControl().OutDSRFlow());
    // One read: 20 ms after a byte, 50 ms in all; one write: 100 ms a byte + 1 s.
    EXPECT_EQ(port.Timeouts().ReadInterval(), 20);
    EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 0);
    EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 50);
    EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_FALSE(link.Connected());

    Pty pty;
    link.SetCOM(pty.DevicePath());
    ASSERT_TRUE(link.Connect());
    const termios line = pty.LineSettings();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_FALSE(line.c_cflag & CRTSCTS);
    EXPECT_FALSE(line.c_iflag & (IXON | IXOFF));
}

// A device unplugged mid-session, found gone by a read or by a write: the
// link counts as disconnected, Connect reports the device missing until it is
// back under the same name (a symlink moved to a new pseudo-terminal), then
// opens it anew.
TEST(SerialLinkLoss, UnpluggedDeviceDisconnectsAndConnectReopens)
{
    const std::pair<const char *, std::function<void(TUART &)>> transfers[] = {
        {"read", [](TUART &link) { char buffer[255]; link.DirectReceive(buffer); }},
        {"write", [](TUART &link) { link.DirectSend("x", 1); }},
    };
    const std::string name = "/tmp/norvik-unplug-" + std::to_string(::getpid());
    for (const auto &[what, transfer] : transfers) {
        SCOPED_TRACE(what);
        auto device = std::make_unique<Pty>();
        ::unlink(name.c_str());
        ASSERT_EQ(::symlink(device->DevicePath().c_str(), name.c_str()), 0);
        TUART link;
        link.SetCOM(name);
        ASSERT_TRUE(link.Connect()) << link.LastError();

        device.reset();
        transfer(link);
        EXPECT_FALSE(link.Connected());
        EXPECT_NE(link.LastError().find("Serial port " + name), std::string::npos) << link.LastError();
        EXPECT_NE(link.LastError().find("was lost"), std::string::npos) << link.LastError();
        EXPECT_FALSE(link.Connect());
        EXPECT_NE(link.LastError().find("not found"), std::string::npos) << link.LastError();

        Pty back;
        ::unlink(name.c_str());
        ASSERT_EQ(::symlink(back.DevicePath().c_str(), name.c_str()), 0);
        ASSERT_TRUE(link.Connect()) << link.LastError();
        EXPECT_EQ(link.DirectSend("hi", 2), 2);
        EXPECT_EQ(back.Read(2), "hi");
    }
    ::unlink(name.c_str());
}
