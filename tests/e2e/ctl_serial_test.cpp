// norvik-ctl against norvik-sim on a pseudo-terminal: the serial link, and the
// modem link (dial, the commands through the call, hang-up) on the same kind of port.
#include "tests/support/CtlProcess.h"
#include "tests/support/Pty.h"
#include "tests/support/SimProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTime>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

class CtlSerial : public CtlAgainstSim {
protected:
    CtlSerial()
        : CtlAgainstSim(QStringLiteral(NORVIK_CTL_PATH), QStringLiteral(NORVIK_SIM_PATH),
                        QStringLiteral(NORVIK_HEXGEN_PATH))
    {
    }
    QStringList SimLink() override
    {
        m_port = m_sim.uniquePtyPath();
        return {QStringLiteral("--pty"), m_port};
    }
    QStringList CtlLink() const override { return {QStringLiteral("--port"), m_port}; }

    QString m_port;
};

TEST_F(CtlSerial, EveryCommandOverThePty)
{
    StartSim({QStringLiteral("--type-code"), QStringLiteral("261"), QStringLiteral("--sn"), QStringLiteral("30303030"),
              QStringLiteral("--restart-on-end")});

    const CtlResult info = Ctl({QStringLiteral("info")});
    EXPECT_EQ(info.exitCode, 0) << info.describe().toStdString();
    EXPECT_TRUE(info.outText().contains(QStringLiteral("   Version: 2.5\n   Type code: 261\n"))) << info.describe().toStdString();
    EXPECT_TRUE(info.outText().endsWith(QStringLiteral("   SN: 30303030\n"))) << info.describe().toStdString();

    const CtlResult sn = Ctl({QStringLiteral("--id"), QStringLiteral("12"), QStringLiteral("write-sn"), QStringLiteral("30303030")});
    EXPECT_EQ(sn.exitCode, 0) << sn.describe().toStdString();
    EXPECT_EQ(sn.outText(), QStringLiteral("OK: Set SN=30303030 ID=12\n"));

    const QStringList id12{QStringLiteral("--id"), QStringLiteral("12")};
    const CtlResult set = Ctl(id12 + QStringList{QStringLiteral("set-clock"), QStringLiteral("--time"),
                                                 QStringLiteral("2031-07-04 08:09:10")});
    EXPECT_EQ(set.exitCode, 0) << set.describe().toStdString();
    EXPECT_EQ(set.outText(), QStringLiteral("OK - Set Clock on ID: 12\n"));
    const CtlResult get = Ctl(id12 + QStringList{QStringLiteral("get-clock")});
    EXPECT_EQ(get.exitCode, 0) << get.describe().toStdString();
    EXPECT_TRUE(get.outText().startsWith(QStringLiteral("2031-07-04 08:09:1"))) << get.describe().toStdString();

    const CtlResult reset = Ctl(id12 + QStringList{QStringLiteral("reset")});
    EXPECT_EQ(reset.exitCode, 0) << reset.describe().toStdString();

    const CtlResult scan = Ctl({QStringLiteral("--retry"), QStringLiteral("2"), QStringLiteral("--retry-sleep"),
                                QStringLiteral("10"), QStringLiteral("scan"), QStringLiteral("--ids"), QStringLiteral("11-13")});
    EXPECT_EQ(scan.exitCode, 0) << scan.describe().toStdString();
    EXPECT_TRUE(scan.outText().startsWith(QStringLiteral("ID 12: version 2.5, type code 261, SN 30303030\n")))
        << scan.describe().toStdString();

    const QString firmware = Firmware(QStringLiteral("0x7400"));
    EXPECT_EQ(Ctl(id12 + QStringList{QStringLiteral("verify"), firmware}).exitCode, 1);
    const CtlResult download = Ctl(id12 + QStringList{QStringLiteral("download"), firmware, QStringLiteral("--yes")});
    EXPECT_EQ(download.exitCode, 0) << download.describe().toStdString();
    EXPECT_TRUE(download.outText().contains(QStringLiteral("Download Successful, Please reboot controller and then reset.\n")))
        << download.describe().toStdString();
    const CtlResult verify = Ctl(id12 + QStringList{QStringLiteral("verify"), firmware});
    EXPECT_EQ(verify.exitCode, 0) << verify.describe().toStdString();
}

TEST_F(CtlSerial, RetryOptionsBoundTheWaitForASilentController)
{
    StartSim({QStringLiteral("--silent")});
    // The defaults: 20 read attempts of at most 50 ms, 20 ms apart.
    const CtlResult slow = Ctl({QStringLiteral("info")});
    EXPECT_EQ(slow.exitCode, 1) << slow.describe().toStdString();
    EXPECT_GE(slow.elapsedMs, 20 * 70);
    EXPECT_LT(slow.elapsedMs, 20 * 70 + 1500);
    // --retry and --retry-sleep reach the serial link on the very first command.
    const CtlResult quick = Ctl({QStringLiteral("--retry"), QStringLiteral("2"), QStringLiteral("--retry-sleep"),
                                 QStringLiteral("10"), QStringLiteral("info")});
    EXPECT_EQ(quick.exitCode, 1) << quick.describe().toStdString();
    EXPECT_LT(quick.elapsedMs, 1000);
}

TEST_F(CtlSerial, APortInUseIsRefusedWithTheReason)
{
    StartSim();
    QProcess busy;
    busy.setStandardInputFile(QProcess::nullDevice());
    busy.start(m_ctl, {QStringLiteral("--port"), m_port, QStringLiteral("download"), Firmware(QStringLiteral("0x6000")),
                      QStringLiteral("--yes")});
    ASSERT_TRUE(busy.waitForStarted(10000));
    // Wait until the download holds the port.
    QElapsedTimer clock;
    clock.start();
    while (!busy.readAllStandardOutput().contains("Start Downloading") && clock.elapsed() < 10000)
        busy.waitForReadyRead(100);

    const CtlResult second = Ctl({QStringLiteral("info")});
    EXPECT_EQ(second.exitCode, 3) << second.describe().toStdString();
    EXPECT_TRUE(second.errText().contains(m_port)) << second.describe().toStdString();
    busy.kill();
    busy.waitForFinished(5000);
}

class CtlModem : public CtlSerial {};

TEST_F(CtlModem, DownloadThroughACallThatIsHungUpAfterwards)
{
    StartSim({QStringLiteral("--modem"), QStringLiteral("--modem-delay"), QStringLiteral("300"),
              QStringLiteral("--type-code"), QStringLiteral("261"), QStringLiteral("--restart-on-end")});
    const QString firmware = Firmware(QStringLiteral("0x7400"));
    const CtlResult r = Ctl({QStringLiteral("--phone"), QStringLiteral("5551234"), QStringLiteral("download"), firmware,
                             QStringLiteral("--yes")});
    EXPECT_EQ(r.exitCode, 0) << r.describe().toStdString();
    EXPECT_TRUE(r.outText().contains(QStringLiteral("Download Successful, Please reboot controller and then reset.\n")))
        << r.describe().toStdString();
    const QByteArray trace = m_sim.stderrText();
    EXPECT_TRUE(trace.contains("RX \"ATDT5551234\"")) << trace.toStdString();
    EXPECT_TRUE(trace.contains("hung up")) << trace.toStdString();

    // A second call finds the new image.
    const CtlResult verify = Ctl({QStringLiteral("--phone"), QStringLiteral("5551234"), QStringLiteral("verify"), firmware});
    EXPECT_EQ(verify.exitCode, 0) << verify.describe().toStdString();
}

// Time of day in ms of the first trace line containing the text; -1 if none.
qint64 TraceTime(const QByteArray &trace, const QByteArray &text)
{
    for (const QByteArray &line : trace.split('\n')) {
        if (!line.contains(text) || line.size() < 12)
            continue;
        const QTime time = QTime::fromString(QString::fromLatin1(line.left(12)), QStringLiteral("HH:mm:ss.zzz"));
        if (time.isValid())
            return time.msecsSinceStartOfDay();
    }
    return -1;
}

TEST_F(CtlModem, RetryOptionsReachTheModemLinkOnTheFirstCommand)
{
    // The modem link keeps its own 5 attempts, 100 ms apart, unless the retry
    // settings are written while it is the current link.
    StartSim({QStringLiteral("--modem"), QStringLiteral("--modem-delay"), QStringLiteral("100"), QStringLiteral("--silent")});
    const CtlResult r = Ctl({QStringLiteral("--phone"), QStringLiteral("1"), QStringLiteral("--retry"), QStringLiteral("2"),
                             QStringLiteral("--retry-sleep"), QStringLiteral("10"), QStringLiteral("info")});
    EXPECT_EQ(r.exitCode, 1) << r.describe().toStdString();
    const QByteArray trace = m_sim.stderrText();
    const qint64 request = TraceTime(trace, "RX 33 01 42 00 76");
    const qint64 escape = TraceTime(trace, "\"+++\"");
    ASSERT_TRUE(request >= 0 && escape >= 0) << trace.toStdString();
    // 100 ms before the read, 2 x (50 + 10) ms of reading, then the hang-up's
    // 1000 ms before "+++"; with 5 x (50 + 100) ms it would be 1850 ms.
    EXPECT_LT(escape - request, 1550) << trace.toStdString();
    EXPECT_GE(escape - request, 1100) << trace.toStdString();
}

TEST_F(CtlModem, ABusyLineFailsTheDialAndStillHangsUp)
{
    StartSim({QStringLiteral("--modem"), QStringLiteral("--modem-delay"), QStringLiteral("200"),
              QStringLiteral("--modem-result"), QStringLiteral("BUSY")});
    const CtlResult r = Ctl({QStringLiteral("--phone"), QStringLiteral("777"), QStringLiteral("info")});
    EXPECT_EQ(r.exitCode, 1) << r.describe().toStdString();
    EXPECT_TRUE(r.errText().contains(QStringLiteral("Dialup fail. (BUSY"))) << r.describe().toStdString();
    EXPECT_TRUE(r.outText().isEmpty()) << r.describe().toStdString();
    EXPECT_TRUE(m_sim.stderrText().contains("RX \"ATH0\"")) << m_sim.stderrText().toStdString();
}

// Why a port did not open, as norvik-ctl reports it: exit 3 and a reason the
// user can act on. The busy line is held the way a terminal program holds it:
// exclusive mode and a uucp-style lock file with its PID.
TEST(CtlSerialPort, PortThatDoesNotOpenSaysWhyAndExits3)
{
    Pty held;
    const int holder = ::open(held.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    const QString lockFile = QStringLiteral("/var/lock/LCK..") + QString::fromStdString(held.DevicePath().substr(5)).replace(QLatin1Char('/'), QLatin1Char('_'));
    QFile lock(lockFile);
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly)) << lockFile.toStdString();
    lock.write(QStringLiteral("%1\n").arg(::getpid(), 10).toLatin1());
    lock.close();

    // A node that even root may not open for writing stands for a device
    // without permission, where the system has one.
    const char *forbidden = "/sys/kernel/notes";
    const int probe = ::open(forbidden, O_RDWR);
    const bool haveForbidden = probe < 0 && errno == EACCES;
    if (probe >= 0)
        ::close(probe);

    const struct {
        QString port;
        QString reason;
        bool run;
    } cases[] = {
        {QStringLiteral("/dev/norvik-no-such-line"), QStringLiteral("not found"), true},
        {QString::fromLatin1(forbidden), QStringLiteral("permission denied (Permission denied). Add your user to the dialout group (sudo usermod -aG dialout $USER), then log in again."), haveForbidden},
        {QString::fromStdString(held.DevicePath()), QStringLiteral("busy, in use by process %1").arg(::getpid()), true},
    };
    for (const auto &c : cases) {
        if (!c.run)
            continue;
        SCOPED_TRACE(c.port.toStdString());
        const CtlResult r = RunCtl(QStringLiteral(NORVIK_CTL_PATH), {QStringLiteral("--port"), c.port, QStringLiteral("info")});
        EXPECT_EQ(r.exitCode, 3) << r.describe().toStdString();
        EXPECT_TRUE(r.errText().contains(QStringLiteral("Cannot open serial port ") + c.port)) << r.describe().toStdString();
        EXPECT_TRUE(r.errText().contains(c.reason)) << r.describe().toStdString();
    }
    QFile::remove(lockFile);
    ::close(holder);
}

#endif


} // namespace
