// The serial-port service on real pseudo-terminals: read time-outs, exclusive
// open, settings reaching the device, purging, and the port-name mapping.
#include "services/ComPort.h"
#include "services/SerialPortName.h"
#include "tests/support/Pty.h"

#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using norvik::test::Pty;

namespace {

// The serial link's read time-outs: 20 ms between bytes, 50 ms in all.
void useLinkTimeouts(TComPort &port)
{
    port.Timeouts().SetReadInterval(20);
    port.Timeouts().SetReadTotalConstant(50);
}

// Until the terminal holds `count` bytes for the port (bounded).
void waitPending(const Pty &pty, int count)
{
    QElapsedTimer clock;
    clock.start();
    while (pty.PendingForCode() < count && clock.elapsed() < 500)
        QThread::msleep(1);
}

struct TimedRead {
    int count;
    qint64 ms;
};

TimedRead timedRead(TComPort &port, char *buffer, int count)
{
    QElapsedTimer clock;
    clock.start();
    const int got = port.ReadBytes(buffer, count);
    return {got, clock.elapsed()};
}

} // namespace

TEST(SerialPortRead, TimeOutsEndReadsAsTheLinkNeeds)
{
    Pty pty;
    TComPort port;
    port.SetPort(pty.DevicePath());
    useLinkTimeouts(port);
    port.OpenPort();
    char buffer[256];

    // A silent line: nothing, after the 50 ms total.
    TimedRead silent = timedRead(port, buffer, 255);
    EXPECT_EQ(silent.count, 0);
    EXPECT_GE(silent.ms, 49);
    EXPECT_LE(silent.ms, 75);
    std::printf("[measured] silent read of 255: %lld ms\n", static_cast<long long>(silent.ms));

    // Three bytes at 5 ms, then silence: 20 ms after the third byte.
    pty.Play({{5, "abc"}});
    TimedRead three = timedRead(port, buffer, 255);
    pty.Wait();
    EXPECT_EQ(three.count, 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_GE(three.ms, 24);
    EXPECT_LE(three.ms, 45);
    std::printf("[measured] 3 bytes at 5 ms then silence: %lld ms\n", static_cast<long long>(three.ms));

    // Bytes every 12 ms never leave a 20 ms gap: the 50 ms total ends it.
    pty.Play({{0, "1"}, {12, "2"}, {12, "3"}, {12, "4"}, {12, "5"}, {12, "6"}, {12, "7"}});
    TimedRead trickle = timedRead(port, buffer, 255);
    pty.Wait();
    EXPECT_GE(trickle.ms, 49);
    EXPECT_LE(trickle.ms, 75);
    EXPECT_GE(trickle.count, 4);
    EXPECT_LE(trickle.count, 5);
    std::printf("[measured] trickle every 12 ms: %d bytes in %lld ms\n", trickle.count,
                static_cast<long long>(trickle.ms));
    port.PurgeBuffers(true, false);
    pty.ReadUntilQuiet(30, 200);

    // A complete count returns at once, without waiting out the interval.
    pty.Play({{5, "wxyz"}});
    TimedRead whole = timedRead(port, buffer, 4);
    pty.Wait();
    EXPECT_EQ(whole.count, 4);
    EXPECT_LE(whole.ms, 22); // waiting out the 20 ms interval would take 25
    std::printf("[measured] read of 4 with 4 bytes at 5 ms: %lld ms\n", static_cast<long long>(whole.ms));

    // More queued than asked for: the rest stays for the next read.
    pty.Write("123456");
    EXPECT_EQ(port.ReadBytes(buffer, 2), 2);
    EXPECT_EQ(port.ReadBytes(buffer, 255), 4);
    EXPECT_EQ(std::string(buffer, 4), "3456");
}

TEST(SerialPortRead, DefaultTimeoutsReturnWhatIsQueuedAtOnce)
{
    Pty pty;
    TComPort port; // interval -1, totals 0
    port.SetPort(pty.DevicePath());
    port.OpenPort();
    char buffer[64];
    // "At once" leaves room for a loaded machine, and stays well below the
    // 40 ms after which the next chunk arrives.
    TimedRead empty = timedRead(port, buffer, 64);
    EXPECT_EQ(empty.count, 0);
    EXPECT_LT(empty.ms, 30);
    pty.Write("hi");
    waitPending(pty, 2);
    pty.Play({{40, "later"}});
    // The two queued bytes come back alone, without waiting for more.
    TimedRead queued = timedRead(port, buffer, 64);
    EXPECT_EQ(queued.count, 2);
    EXPECT_LT(queued.ms, 30);
    pty.Wait();
}

TEST(SerialPortTransfer, TextAndBytesCrossTheLineUnchanged)
{
    Pty pty;
    TComPort port;
    port.SetPort(pty.DevicePath());
    useLinkTimeouts(port);
    port.OpenPort();

    // Every byte value, CR and LF included, passes untranslated.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(port.WriteBytes(all.data(), 256), 256);
    EXPECT_EQ(pty.Read(256), all);

    EXPECT_EQ(port.WriteText(""), 0);
    EXPECT_EQ(port.WriteText("ATDT1\n\r"), 7);
    EXPECT_EQ(pty.Read(7), "ATDT1\n\r");

    pty.Write(std::string("\r\nOK\0\r\n", 7));
    std::string text = "stale";
    EXPECT_EQ(port.ReadText(text, 20), 7);
    EXPECT_EQ(text, std::string("\r\nOK\0\r\n", 7));
    EXPECT_EQ(port.ReadText(text, 20), 0);
    EXPECT_EQ(text, "");

    // A closed port moves nothing and does not wait.
    port.ClosePort();
    char buffer[8];
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(port.WriteBytes("x", 1), 0);
    EXPECT_EQ(port.ReadBytes(buffer, 8), 0);
    EXPECT_LT(clock.elapsed(), 40); // a read that waited would take its 50 ms
}

TEST(SerialPortTransfer, WriteEndsByItsTimeOutAndCountsWhatWentOut)
{
    Pty pty;
    TComPort port;
    port.SetPort(pty.DevicePath());
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(100);
    port.OpenPort();

    // Nobody reads the device side, so the terminal fills up and takes no more.
    const std::string big(300000, 'w');
    QElapsedTimer clock;
    clock.start();
    const int written = port.WriteBytes(big.data(), static_cast<int>(big.size()));
    const qint64 ms = clock.elapsed();
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(big.size()));
    EXPECT_GE(ms, 95);
    EXPECT_LE(ms, 250);

    // The limit grows with the count: multiplier x count + constant.
    port.Timeouts().SetWriteTotalMultiplier(40);
    port.Timeouts().SetWriteTotalConstant(30);
    clock.start();
    EXPECT_EQ(port.WriteBytes("abc", 3), 0);
    const qint64 perByteMs = clock.elapsed();
    EXPECT_GE(perByteMs, 145);
    EXPECT_LE(perByteMs, 300);
    std::printf("[measured] write of 3 to a full line, 40 x 3 + 30: %lld ms\n", static_cast<long long>(perByteMs));

    // Exactly the counted bytes reach the device; nothing is sent later.
    const std::string arrived = pty.ReadUntilQuiet(100, 5000);
    EXPECT_EQ(static_cast<int>(arrived.size()), written);

    // Bytes written right before closing are not thrown away by the close.
    EXPECT_EQ(port.WriteText("ATH0\r"), 5);
    port.ClosePort();
    EXPECT_EQ(pty.Read(5), "ATH0\r");
}

TEST(SerialPortOpen, ExclusiveAndIdempotent)
{
    Pty pty;
    TComPort first;
    first.SetPort(pty.DevicePath());
    first.OpenPort();
    first.OpenPort(); // already open: nothing happens
    EXPECT_TRUE(first.Connected());

    TComPort second;
    second.SetPort(pty.DevicePath());
    try {
        second.OpenPort();
        FAIL() << "a second open of the same line succeeded";
    } catch (const EComPort &error) {
        EXPECT_EQ(error.Code(), EComPort::ceOpenFailed);
        EXPECT_EQ(error.SystemError(), EBUSY);
        EXPECT_NE(std::string(error.what()).find(pty.DevicePath()), std::string::npos) << error.what();
        // The holder, from the line's lock file: this very process.
        const std::string holder = "busy, in use by process " + std::to_string(::getpid()) + " (";
        EXPECT_NE(std::string(error.what()).find(holder), std::string::npos) << error.what();
    }
    EXPECT_FALSE(second.Connected());
    // Programs that honour no lock file meet the line's exclusive mode.
    int exclusive = 0;
    const int probe = ::open(pty.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    EXPECT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    first.ClosePort();
    first.ClosePort(); // already closed: nothing happens
    EXPECT_FALSE(first.Connected());
    EXPECT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the exclusive mode outlived the port";
    ::close(probe);
    second.OpenPort(); // released: now it is free
    EXPECT_TRUE(second.Connected());
}

TEST(SerialPortOpen, MissingDeviceRaisesWithDeviceAndReason)
{
    TComPort port;
    port.SetPort("/dev/norvik-no-such-line");
    try {
        port.OpenPort();
        FAIL() << "opening a missing device reported success";
    } catch (const EComPort &error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("/dev/norvik-no-such-line"), std::string::npos) << message;
        EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
        EXPECT_EQ(error.Code(), EComPort::ceOpenFailed);
        EXPECT_EQ(error.SystemError(), ENOENT);
    }
    EXPECT_FALSE(port.Connected());
}

TEST(SerialPortOpen, ChangingPortWhileOpenMovesToTheNewDevice)
{
    Pty oldLine;
    Pty newLine;
    TComPort port;
    port.SetPort(oldLine.DevicePath());
    port.OpenPort();
    port.SetPort(newLine.DevicePath());
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(port.Port(), newLine.DevicePath());
    EXPECT_EQ(port.WriteText("moved"), 5);
    EXPECT_EQ(newLine.Read(5), "moved");
    EXPECT_EQ(oldLine.ReadUntilQuiet(20, 100), "");

    // The old device was released: another port may take it now.
    TComPort other;
    other.SetPort(oldLine.DevicePath());
    EXPECT_NO_THROW(other.OpenPort());

    // While closed, a new name is only stored.
    port.ClosePort();
    port.SetPort(oldLine.DevicePath());
    EXPECT_FALSE(port.Connected());
}

TEST(SerialPortSettings, LineStateReachesTheDeviceOnOpenAndAtOnceWhileOpen)
{
    Pty pty;
    TComPort port;
    port.SetPort(pty.DevicePath());
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prEven);
    port.Parity().SetCheck(true);
    port.SetStopBits(sbTwoStopBits);
    port.OpenPort();

    // A pseudo-terminal always keeps 8 data bits without parity (the kernel
    // forces them), so those two cannot be seen here; the rest can.
    termios line = pty.LineSettings();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_TRUE(line.c_iflag & INPCK);
    EXPECT_TRUE(line.c_cflag & CSTOPB);
    EXPECT_FALSE(line.c_lflag & ICANON); // raw
    EXPECT_FALSE(line.c_cflag & CRTSCTS);

    port.SetBaudRate(br9600);
    port.SetDataBits(dbEight);
    port.Parity().SetBits(prNone);
    port.Parity().SetCheck(false);
    port.FlowControl().SetFlowControl(fcHardware);
    port.SetStopBits(sbOneStopBit);
    line = pty.LineSettings();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_FALSE(line.c_iflag & INPCK);
    EXPECT_FALSE(line.c_cflag & CSTOPB);
    EXPECT_TRUE(line.c_cflag & CRTSCTS);

    port.FlowControl().SetFlowControl(fcSoftware);
    line = pty.LineSettings();
    EXPECT_FALSE(line.c_cflag & CRTSCTS);
    EXPECT_TRUE(line.c_iflag & IXON);
    EXPECT_TRUE(line.c_iflag & IXOFF);
    EXPECT_EQ(line.c_cc[VSTART], 17);
    EXPECT_EQ(line.c_cc[VSTOP], 19);

    // A terminal has no DTR/RTS lines: the request is refused quietly.
    EXPECT_NO_THROW(port.FlowControl().SetControlDTR(dtrEnable));
    EXPECT_NO_THROW(port.FlowControl().SetControlRTS(rtsEnable));
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrEnable);

    // Events are not delivered here, but the mode may not change under an open
    // port; restating the current mode is no change.
    EXPECT_NO_THROW(port.SetSyncMethod(smThreadSync));
    try {
        port.SetSyncMethod(smNone);
        FAIL() << "SyncMethod changed while open";
    } catch (const EComPort &error) {
        EXPECT_STREQ(error.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    port.ClosePort();
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST(SerialPortSettings, FlowControlShorthandAndQueueSizes)
{
    TComPort port;
    TComFlowControl &flow = port.FlowControl();
    flow.SetControlDTR(dtrEnable);
    flow.SetOutDSRFlow(true);

    flow.SetFlowControl(fcHardware);
    EXPECT_EQ(flow.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(flow.OutCTSFlow());
    EXPECT_FALSE(flow.XonXoffOut() || flow.XonXoffIn());
    EXPECT_EQ(flow.FlowControl(), fcHardware);

    flow.SetFlowControl(fcSoftware);
    EXPECT_NE(flow.ControlRTS(), rtsHandshake);
    EXPECT_FALSE(flow.OutCTSFlow());
    EXPECT_TRUE(flow.XonXoffOut() && flow.XonXoffIn());
    EXPECT_EQ(flow.FlowControl(), fcSoftware);

    flow.SetFlowControl(fcCustom); // changes nothing
    EXPECT_EQ(flow.FlowControl(), fcSoftware);

    flow.SetFlowControl(fcNone);
    EXPECT_EQ(flow.ControlRTS(), rtsDisable);
    EXPECT_EQ(flow.FlowControl(), fcNone);
    // DTR and DSR flow are not part of the shorthand.
    EXPECT_EQ(flow.ControlDTR(), dtrEnable);
    EXPECT_TRUE(flow.OutDSRFlow());

    // Any other mix reads back as custom.
    flow.SetOutCTSFlow(true);
    EXPECT_EQ(flow.FlowControl(), fcCustom);
    flow.SetOutCTSFlow(false);
    flow.SetXonXoffIn(true);
    EXPECT_EQ(flow.FlowControl(), fcCustom);

    port.Buffer().SetInputSize(101);
    port.Buffer().SetOutputSize(33);
    EXPECT_EQ(port.Buffer().InputSize(), 100);
    EXPECT_EQ(port.Buffer().OutputSize(), 32);
    // One lower holds for a negative odd size as well.
    port.Buffer().SetInputSize(-3);
    EXPECT_EQ(port.Buffer().InputSize(), -4);
}

TEST(SerialPortPurge, DiscardsQueuedInputAndRefusesOnAClosedPort)
{
    Pty pty;
    TComPort port;
    port.SetPort(pty.DevicePath());
    useLinkTimeouts(port);
    port.OpenPort();
    char buffer[64];

    // Bytes the port already holds and bytes still in the terminal both go.
    pty.Write("held");
    EXPECT_EQ(port.ReadBytes(buffer, 1), 1); // the port has now taken the rest too
    pty.Write("queued");
    waitPending(pty, 6);
    port.PurgeBuffers(true, false);
    EXPECT_EQ(port.ReadBytes(buffer, 64), 0);
    // What arrives afterwards is kept.
    pty.Write("next");
    EXPECT_EQ(port.ReadBytes(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");

    port.ClosePort();
    try {
        port.PurgeBuffers(true, false);
        FAIL() << "purge on a closed port reported success";
    } catch (const EComPort &error) {
        EXPECT_STREQ(error.what(), "PurgeComm function failed (win error code: 9)");
        EXPECT_EQ(error.Code(), 5);
        EXPECT_EQ(error.SystemError(), EBADF);
    }
}

TEST(SerialPortName, NamesMapToLinuxDevices)
{
    EXPECT_EQ(norvik::SerialDevicePath("/dev/pts/7"), "/dev/pts/7");
    ::unsetenv("NORVIK_COM3");
    EXPECT_EQ(norvik::SerialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(norvik::SerialDevicePath("COM10"), "/dev/ttyS9");
    EXPECT_EQ(norvik::SerialDevicePath("com3"), "/dev/ttyS2");
    ::setenv("NORVIK_COM3", "/dev/ttyUSB0", 1);
    EXPECT_EQ(norvik::SerialDevicePath("COM3"), "/dev/ttyUSB0");
    ::unsetenv("NORVIK_COM3");
    EXPECT_EQ(norvik::SerialDevicePath("COM0"), "/dev/COM0");
    EXPECT_EQ(norvik::SerialDevicePath("COMx"), "/dev/COMx");
    EXPECT_EQ(norvik::SerialDevicePath("ttyACM0"), "/dev/ttyACM0");

    // The port opens the mapped device.
    Pty pty;
    ::setenv("NORVIK_COM7", pty.DevicePath().c_str(), 1);
    TComPort port;
    port.SetPort("COM7");
    EXPECT_EQ(port.DevicePath(), pty.DevicePath());
    port.OpenPort();
    EXPECT_EQ(port.WriteText("x"), 1);
    EXPECT_EQ(pty.Read(1), "x");
    ::unsetenv("NORVIK_COM7");
}
