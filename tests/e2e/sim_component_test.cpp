// The controller component against norvik-sim running as its own process, once
// per link: serial over a pseudo-terminal, UDP on the loopback, and the modem
// dialogue over a pseudo-terminal. Each reads the info record, writes SN + ID
// and reads the ID back, and sets and reads the clock.
#include "component/Controller.h"
#include "tests/support/SimProcess.h"

#include <QDate>
#include <QDateTime>
#include <QTest>
#include <QThread>
#include <QTime>

#include <gtest/gtest.h>

#include <string>

using norvik::test::SimProcess;

namespace {

const QStringList kIdentity = {"--id", "3", "--sn", "20240517", "--type-code", "0x0105", "--version", "3.7",
                               "--card-max", "2000", "--record-count", "12"};

void exerciseIdentityAndClock(TController &c)
{
    c.SetControllerID(3);
    TControllerInfo info;
    ASSERT_TRUE(c.GetControllerInfo(info));
    EXPECT_EQ(info.Version, 0x0307);
    EXPECT_EQ(info.TypeCode, 0x0105);
    EXPECT_EQ(info.CardMax, 2000);
    EXPECT_EQ(info.RecordCount, 12);

    std::uint8_t sn[8] = {};
    ASSERT_TRUE(c.GetControllerSN(sn));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(sn), 8), "20240517");

    // The burner's order: write SN + ID, wait 300 ms, read the ID back by SN.
    ASSERT_TRUE(c.SendSetControllerSN("20240517", 42));
    QThread::msleep(300);
    EXPECT_EQ(c.SendReadControllerID("20240517"), 42);
    EXPECT_FALSE(c.GetControllerInfo(info)) << "nobody answers to the old ID any more";
    c.SetControllerID(42);
    EXPECT_TRUE(c.GetControllerInfo(info));

    const QDateTime set(QDate(2005, 3, 9), QTime(14, 5, 30, 999));
    EXPECT_EQ(c.SendTime(set), 1);
    const QDateTime back = c.GetControllerDateTime();
    const qint64 drift = QDateTime(set.date(), QTime(14, 5, 30)).secsTo(back);
    EXPECT_GE(drift, 0) << back.toString(Qt::ISODate).toStdString();
    EXPECT_LE(drift, 2) << back.toString(Qt::ISODate).toStdString();
}

} // namespace

TEST(SimComponent, SerialLinkOverPty)
{
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    const QString path = sim.uniquePtyPath();
    ASSERT_TRUE(sim.start(QStringList{"--pty", path} + kIdentity)) << sim.errorText().toStdString();
    TController c;
    c.SetCOM(path.toStdString());
    c.SetConnectMethod(cmSerial);
    ASSERT_TRUE(c.Connect());
    exerciseIdentityAndClock(c);
    c.Disconnect();
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimComponent, NetworkLinkOverLoopback)
{
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    ASSERT_TRUE(sim.start(QStringList{"--udp", "127.0.0.1:0"} + kIdentity)) << sim.errorText().toStdString();
    TController c;
    c.SetHost("127.0.0.1");
    c.SetHostPort(sim.udpPort());
    c.SetReadTimeOut(200);
    c.SetConnectMethod(cmTCPIP);
    ASSERT_TRUE(c.Connect());
    exerciseIdentityAndClock(c);
    c.Disconnect();
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimComponent, ModemLinkOverPty)
{
    SimProcess sim(QStringLiteral(NORVIK_SIM_PATH));
    const QString path = sim.uniquePtyPath();
    ASSERT_TRUE(sim.start(QStringList{"--pty", path, "--modem", "--modem-delay", "300", "--trace"} + kIdentity))
        << sim.errorText().toStdString();
    TController c;
    c.SetCOM(path.toStdString());
    c.SetConnectMethod(cmModem);
    ASSERT_TRUE(c.Connect());
    c.Dial("5551234");
    EXPECT_TRUE(QTest::qWaitFor([&] { return c.DialupStatus() != usConnecting; }, 10000));
    ASSERT_EQ(c.DialupStatus(), usConnected);
    exerciseIdentityAndClock(c);
    c.Disconnect();
    EXPECT_EQ(c.DialupStatus(), usOK);
    EXPECT_EQ(sim.stop(), 0);
    const QByteArray trace = sim.stderrText();
    EXPECT_TRUE(trace.contains("modem RX \"ATDT5551234\"")) << trace.toStdString();
    EXPECT_TRUE(trace.contains("hung up")) << trace.toStdString();
}
