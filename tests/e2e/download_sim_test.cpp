// Firmware download against the simulator running as a separate process, on
// each of the three links, with a small generated firmware file.
#include "component/Controller.h"
#include "firmware/DownloadSequence.h"
#include "tests/support/SimProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

using namespace norvik;

namespace {

#if defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

// Records: 0x7600..0x7780 go out, 0x77C0 is replaced by the end record.
constexpr int kLinesSent = 8;

struct TimedSink : DownloadSink {
    QStringList statuses;
    QList<std::pair<DownloadOutcome, QString>> results;
    QStringList errors;
    QList<int> sent;
    QList<qint64> sentAtMs;
    QElapsedTimer clock;

    TimedSink() { clock.start(); }
    void SetStatus(const QString &text) override { statuses.append(text); }
    void SetProgressRange(int, int) override {}
    void SetProgress(int) override {}
    void ShowResult(DownloadOutcome outcome, const QString &text) override { results.append({outcome, text}); }
    void ShowError(const QString &message) override { errors.append(message); }
    void SetInputEnabled(bool) override {}
    void LineSent(int index, bool) override
    {
        sent.append(index);
        sentAtMs.append(clock.elapsed());
    }

    // Mean time between two lines going out.
    double Pace() const
    {
        return sentAtMs.size() < 2 ? 0.0
                                   : double(sentAtMs.last() - sentAtMs.first()) / double(sentAtMs.size() - 1);
    }
};

class DownloadSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_hexPath = m_dir.filePath("fw.hex");
        const int status = QProcess::execute(NORVIK_HEXGEN_PATH, {"--start", "0x7600", "--version", "3.7",
                                                                  "--type-code", "261", m_hexPath});
        ASSERT_EQ(status, 0);
        m_statePath = m_dir.filePath("state.json");
    }

    bool StartSim(QStringList args)
    {
        args << "--state" << m_statePath << "--trace";
        const bool ok = m_sim.start(args);
        EXPECT_TRUE(ok) << m_sim.errorText().toStdString();
        return ok;
    }

    void UseNetwork()
    {
        m_controller.SetConnectMethod(cmTCPIP);
        m_controller.SetHost("127.0.0.1");
        m_controller.SetHostPort(m_sim.udpPort());
        m_controller.Connect();
    }

    void UseSerial(TConnectMethod method)
    {
        m_controller.SetConnectMethod(method);
        m_controller.SetCOM(m_sim.ptyPath().toStdString());
        m_controller.Connect();
    }

    std::optional<DownloadOutcome> Download(int boundMs = 20000)
    {
        DownloadSequence sequence(&m_controller, &m_sink);
        sequence.SetWorkFile(m_dir.filePath("temp.hex"));
        std::optional<DownloadOutcome> outcome;
        QObject::connect(&sequence, &DownloadSequence::finished, &sequence,
                         [&outcome](DownloadOutcome o) { outcome = o; });
        sequence.Start(m_hexPath);
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, boundMs)) << "no ending within the bound";
        return outcome;
    }

    // The simulated controller's state, written when the simulator stops.
    QJsonObject StoppedState()
    {
        EXPECT_EQ(m_sim.stop(), 0);
        QFile file(m_statePath);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(file.readAll()).object()["controllers"].toArray().at(0).toObject();
    }

    void ExpectNewFirmware(const char *link)
    {
        EXPECT_EQ(m_sink.statuses.value(1), "Download Successful, Please reboot controller and then reset.");
        EXPECT_EQ(m_sink.sent.size(), kLinesSent);
        std::printf("pace on %s: %.1f ms per line\n", link, m_sink.Pace());
        const QJsonObject state = StoppedState();
        EXPECT_EQ(state["version"].toString(), "3.7");
        EXPECT_EQ(state["type_code"].toInt(), 261);
        EXPECT_EQ(state["lines_received"].toInt(), kLinesSent);
        EXPECT_EQ(state["downloads"].toInt(), 1);
    }

    QTemporaryDir m_dir;
    QString m_hexPath;
    QString m_statePath;
    test::SimProcess m_sim{NORVIK_SIM_PATH};
    TController m_controller;
    TimedSink m_sink;
};

TEST_F(DownloadSimTest, NetworkLinkInstallsTheFirmware)
{
    ASSERT_TRUE(StartSim({"--udp", "127.0.0.1:0"}));
    UseNetwork();

    EXPECT_EQ(Download(), DownloadOutcome::Success);

    // Once its power is switched off and on, the controller answers with the
    // new identity (the signal reaches the simulator in its own time).
    m_sim.powerCycle();
    m_controller.Connect();
    TControllerInfo info;
    bool answered = false;
    for (int i = 0; i < 10 && !answered; ++i)
        answered = m_controller.GetControllerInfo(info);
    ASSERT_TRUE(answered);
    EXPECT_EQ(info.Version, 0x0307);
    EXPECT_EQ(info.TypeCode, 261);
    m_controller.Disconnect();

    // One line per 100 ms tick.
    EXPECT_GE(m_sink.Pace(), 99.0);
    EXPECT_LE(m_sink.Pace(), 110.0);
    ExpectNewFirmware("UDP loopback");
}

TEST_F(DownloadSimTest, SerialLinkInstallsTheFirmware)
{
    ASSERT_TRUE(StartSim({"--pty", m_sim.uniquePtyPath(), "--restart-on-end"}));
    UseSerial(cmSerial);

    EXPECT_EQ(Download(), DownloadOutcome::Success);

    // The tick plus the port's 20 ms quiet interval after the letter.
    EXPECT_GE(m_sink.Pace(), 99.0);
    EXPECT_LE(m_sink.Pace(), 130.0);
    ExpectNewFirmware("pty serial");
}

TEST_F(DownloadSimTest, ModemLinkInstallsTheFirmware)
{
    ASSERT_TRUE(StartSim({"--pty", m_sim.uniquePtyPath(), "--modem", "--modem-delay", "200", "--restart-on-end"}));
    UseSerial(cmModem);
    m_controller.Dial("5551234");
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_controller.DialupStatus() == usConnected; }, 10000))
        << "dial status " << int(m_controller.DialupStatus());

    // Hanging up at the end takes the modem's escape and hang-up pauses.
    EXPECT_EQ(Download(30000), DownloadOutcome::Success);

    EXPECT_GE(m_sink.Pace(), 99.0);
    EXPECT_LE(m_sink.Pace(), 130.0);
    ExpectNewFirmware("modem over pty");
}

TEST_F(DownloadSimTest, SilentControllerIsNotFound)
{
    ASSERT_TRUE(StartSim({"--udp", "127.0.0.1:0", "--silent"}));
    UseNetwork();

    EXPECT_EQ(Download(), DownloadOutcome::ControllerNotFound);

    EXPECT_EQ(m_sink.results, (QList<std::pair<DownloadOutcome, QString>>{
                                  {DownloadOutcome::ControllerNotFound, "Controller not found."}}));
    EXPECT_TRUE(m_sink.sent.isEmpty());
    EXPECT_EQ(StoppedState()["lines_received"].toInt(), 0);
}

TEST_F(DownloadSimTest, SilenceAfterALineEndsInFailureAfterFiveResends)
{
    ASSERT_TRUE(StartSim({"--udp", "127.0.0.1:0", "--bl-silent-after", "3"}));
    UseNetwork();

    EXPECT_EQ(Download(), DownloadOutcome::Failure);

    EXPECT_EQ(m_sink.statuses.last(), "Download Failure.");
    EXPECT_EQ(m_sink.sent, QList<int>({0, 1, 2, 3, 3, 3, 3, 3, 3}));
    // Resends four ticks apart; the failure comes with the fifth.
    for (qsizetype i = 4; i < m_sink.sentAtMs.size(); ++i) {
        const qint64 gap = m_sink.sentAtMs[i] - m_sink.sentAtMs[i - 1];
        EXPECT_GE(gap, 390) << "resend " << i - 3;
        EXPECT_LE(gap, 900) << "resend " << i - 3;
    }
    const QJsonObject state = StoppedState();
    EXPECT_EQ(state["lines_received"].toInt(), 9);
    EXPECT_EQ(state["bootloader"].toString(), "active");
    EXPECT_EQ(state["version"].toString(), "2.5");
}

#else

TEST(DownloadSimTest, NeedsTheSimulator)
{
    GTEST_SKIP() << "norvik-sim or norvik-hexgen is not part of this build";
}

#endif

} // namespace
