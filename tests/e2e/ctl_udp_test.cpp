// norvik-ctl against norvik-sim over UDP loopback: every command, its text and
// JSON output, and the exit code of each way a controller can let it down.
#include "tests/support/CtlProcess.h"
#include "tests/support/SimProcess.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

class CtlUdp : public CtlAgainstUdpSim {
protected:
    CtlUdp()
        : CtlAgainstUdpSim(QStringLiteral(NORVIK_CTL_PATH), QStringLiteral(NORVIK_SIM_PATH),
                        QStringLiteral(NORVIK_HEXGEN_PATH))
    {
    }

    // A --json download stopped with Ctrl-C once a few lines went through; its exit code.
    int InterruptedDownload(const QString &firmware, QByteArray *out, QByteArray *err)
    {
        QProcess ctl;
        ctl.setStandardInputFile(QProcess::nullDevice());
        ctl.start(m_ctl, CtlLink() + QStringList{QStringLiteral("--json"), QStringLiteral("download"), firmware,
                                                 QStringLiteral("--yes")});
        EXPECT_TRUE(ctl.waitForStarted(10000));
        QElapsedTimer clock;
        clock.start();
        while (out->count('\n') < 5 && clock.elapsed() < 15000) {
            ctl.waitForReadyRead(200);
            *out += ctl.readAllStandardOutput();
        }
        EXPECT_GE(out->count('\n'), 5) << out->toStdString();
        ::kill(static_cast<pid_t>(ctl.processId()), SIGINT);
        EXPECT_TRUE(ctl.waitForFinished(5000));
        *out += ctl.readAllStandardOutput();
        *err = ctl.readAllStandardError();
        EXPECT_EQ(ctl.exitStatus(), QProcess::NormalExit);
        return ctl.exitCode();
    }

    static QJsonObject OnlyObject(const CtlResult &r)
    {
        bool ok = false;
        const QJsonObject object = r.onlyObject(&ok);
        EXPECT_TRUE(ok) << r.describe().toStdString();
        return object;
    }
};

TEST_F(CtlUdp, InfoAsTextAndAsJson)
{
    StartSim({QStringLiteral("--id"), QStringLiteral("3"), QStringLiteral("--sn"), QStringLiteral("20240517"),
              QStringLiteral("--type-code"), QStringLiteral("0x0105"), QStringLiteral("--version"),
              QStringLiteral("2.10"), QStringLiteral("--card-max"), QStringLiteral("2000"),
              QStringLiteral("--record-count"), QStringLiteral("12")});

    const CtlResult text = Ctl({QStringLiteral("--id"), QStringLiteral("3"), QStringLiteral("info")});
    ASSERT_EQ(text.exitCode, 0) << text.describe().toStdString();
    EXPECT_EQ(text.outText(), QStringLiteral("Info:\n"
                                             "   Version: 2.10\n"
                                             "   Type code: 261\n"
                                             "   CardMax: 2000\n"
                                             "   SortCardCount: 10\n"
                                             "   UnsortCardCount: 5\n"
                                             "   RecordMax: 4000\n"
                                             "   RecordCount: 12\n"
                                             "   SN: 20240517\n"));

    const CtlResult json = Ctl({QStringLiteral("--id"), QStringLiteral("3"), QStringLiteral("--json"), QStringLiteral("info")});
    ASSERT_EQ(json.exitCode, 0) << json.describe().toStdString();
    const QJsonObject o = OnlyObject(json);
    EXPECT_EQ(o.value(QStringLiteral("version")).toString(), QStringLiteral("2.10"));
    EXPECT_EQ(o.value(QStringLiteral("type_code")).toInt(), 261);
    EXPECT_EQ(o.value(QStringLiteral("card_max")).toInt(), 2000);
    EXPECT_EQ(o.value(QStringLiteral("record_max")).toInt(), 4000);
    EXPECT_EQ(o.value(QStringLiteral("sort_card_count")).toInt(), 10);
    EXPECT_EQ(o.value(QStringLiteral("unsort_card_count")).toInt(), 5);
    EXPECT_EQ(o.value(QStringLiteral("record_count")).toInt(), 12);
    EXPECT_EQ(o.value(QStringLiteral("sn")).toString(), QStringLiteral("20240517"));

    // The frame trace goes to stderr and leaves the JSON on stdout intact.
    const CtlResult traced = Ctl({QStringLiteral("--id"), QStringLiteral("3"), QStringLiteral("--json"),
                                  QStringLiteral("--trace"), QStringLiteral("info")});
    EXPECT_EQ(OnlyObject(traced).value(QStringLiteral("sn")).toString(), QStringLiteral("20240517"));
    // Each line: time, direction, link, count, hex and text.
    static const QRegularExpression sent(QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} TX .*33 03 42 00 78 \\|3\\.B\\.x\\|"));
    static const QRegularExpression answer(QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} RX .*33 03 42 0F 42 01 05 02 0A"));
    EXPECT_TRUE(sent.match(traced.errText()).hasMatch()) << traced.describe().toStdString();
    EXPECT_TRUE(answer.match(traced.errText()).hasMatch()) << traced.describe().toStdString();
}

TEST_F(CtlUdp, WriteSnReadsTheIdBackAndReportsARefusal)
{
    StartSim({QStringLiteral("--ids"), QStringLiteral("1,2"), QStringLiteral("--sn"), QStringLiteral("11111111"),
              QStringLiteral("--sn"), QStringLiteral("22222222")});

    const CtlResult ok = Ctl({QStringLiteral("--id"), QStringLiteral("7"), QStringLiteral("--json"),
                              QStringLiteral("write-sn"), QStringLiteral("11111111")});
    EXPECT_EQ(ok.exitCode, 0) << ok.describe().toStdString();
    const QJsonObject o = OnlyObject(ok);
    EXPECT_EQ(o.value(QStringLiteral("message")).toString(), QStringLiteral("OK: Set SN=11111111 ID=7"));
    EXPECT_EQ(o.value(QStringLiteral("read_back_id")).toInt(), 7);
    const CtlResult moved = Ctl({QStringLiteral("--id"), QStringLiteral("7"), QStringLiteral("info")});
    EXPECT_EQ(moved.exitCode, 0) << moved.describe().toStdString();
    EXPECT_TRUE(moved.outText().contains(QStringLiteral("SN: 11111111"))) << moved.describe().toStdString();

    // ID 2 belongs to the other controller: refused, and the read-back shows the ID kept.
    const CtlResult refused = Ctl({QStringLiteral("--id"), QStringLiteral("2"), QStringLiteral("write-sn"),
                                   QStringLiteral("11111111")});
    EXPECT_EQ(refused.exitCode, 1) << refused.describe().toStdString();
    EXPECT_EQ(refused.outText(), QStringLiteral("FAIL: Set SN=11111111 ID=2\n"));
    EXPECT_TRUE(refused.errText().contains(QStringLiteral("reports ID 7"))) << refused.describe().toStdString();

    // An SN nobody holds: no answer to the read-back.
    const CtlResult nobody = Ctl({QStringLiteral("write-sn"), QStringLiteral("99999999")});
    EXPECT_EQ(nobody.exitCode, 1) << nobody.describe().toStdString();
    EXPECT_EQ(nobody.outText(), QStringLiteral("FAIL: Set SN=99999999 ID=1\n"));
}

TEST_F(CtlUdp, ClockSetReadAndReset)
{
    StartSim();
    const CtlResult set =
        Ctl({QStringLiteral("set-clock"), QStringLiteral("--time"), QStringLiteral("2024-02-29 23:59:58")});
    EXPECT_EQ(set.exitCode, 0) << set.describe().toStdString();
    EXPECT_EQ(set.outText(), QStringLiteral("OK - Set Clock on ID: 1\n"));

    const CtlResult get = Ctl({QStringLiteral("--json"), QStringLiteral("get-clock")});
    EXPECT_EQ(get.exitCode, 0) << get.describe().toStdString();
    const QDateTime read =
        QDateTime::fromString(OnlyObject(get).value(QStringLiteral("time")).toString(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QDateTime sent(QDate(2024, 2, 29), QTime(23, 59, 58));
    ASSERT_TRUE(read.isValid()) << get.describe().toStdString();
    // The simulated clock runs on from the moment it was set.
    EXPECT_GE(read, sent);
    EXPECT_LE(read, sent.addSecs(5));

    // Without --time the PC's clock is sent.
    EXPECT_EQ(Ctl({QStringLiteral("set-clock")}).exitCode, 0);
    const CtlResult now = Ctl({QStringLiteral("get-clock")});
    const QDateTime pc = QDateTime::fromString(now.outText().trimmed(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    EXPECT_LE(qAbs(pc.secsTo(QDateTime::currentDateTime())), 5) << now.describe().toStdString();

    const CtlResult reset = Ctl({QStringLiteral("reset")});
    EXPECT_EQ(reset.exitCode, 0) << reset.describe().toStdString();
    EXPECT_EQ(reset.outText(), QStringLiteral("OK - Reset on ID: 1\n"));
}

TEST_F(CtlUdp, ScanFindsTheAnsweringIds)
{
    StartSim({QStringLiteral("--ids"), QStringLiteral("2,4")});
    const CtlResult r = Ctl({QStringLiteral("--timeout"), QStringLiteral("50"), QStringLiteral("--json"),
                             QStringLiteral("scan"), QStringLiteral("--ids"), QStringLiteral("1-5")});
    EXPECT_EQ(r.exitCode, 0) << r.describe().toStdString();
    QList<int> ids;
    for (const QJsonValue &entry : OnlyObject(r).value(QStringLiteral("found")).toArray())
        ids << entry.toObject().value(QStringLiteral("id")).toInt();
    EXPECT_EQ(ids, (QList<int>{2, 4}));

    const CtlResult none = Ctl({QStringLiteral("--timeout"), QStringLiteral("50"), QStringLiteral("scan"),
                                QStringLiteral("--ids"), QStringLiteral("5-6")});
    EXPECT_EQ(none.exitCode, 1) << none.describe().toStdString();
}

TEST_F(CtlUdp, ScanCountsAnIdOnlyByAReplyThatCarriesIt)
{
    // ID 2 answers 300 ms late: after its own 200 ms wait, inside ID 3's.
    StartSim({QStringLiteral("--ids"), QStringLiteral("2"), QStringLiteral("--reply-delay"), QStringLiteral("300")});
    const CtlResult r = Ctl({QStringLiteral("--timeout"), QStringLiteral("50"), QStringLiteral("scan"),
                             QStringLiteral("--ids"), QStringLiteral("2-3")});
    EXPECT_FALSE(r.outText().contains(QStringLiteral("ID 3"))) << r.describe().toStdString();
}

TEST_F(CtlUdp, SilentControllerFailsEveryCommandWithinItsBound)
{
    StartSim({QStringLiteral("--silent")});
    // get-clock matters most: the component's no-answer value is a real-looking date.
    for (const QString &command : {QStringLiteral("info"), QStringLiteral("get-clock"), QStringLiteral("reset"),
                                   QStringLiteral("set-clock")}) {
        const CtlResult r = Ctl({command});
        EXPECT_EQ(r.exitCode, 1) << command.toStdString() << "\n" << r.describe().toStdString();
        EXPECT_FALSE(r.outText().contains(QStringLiteral("2001-01-01"))) << r.describe().toStdString();
        // One exchange: 50 ms + the 200 ms reply wait (+ 300 ms after set-clock), and the process start.
        EXPECT_LT(r.elapsedMs, 2500) << command.toStdString();
    }
    const CtlResult download = Ctl({QStringLiteral("download"), Firmware(), QStringLiteral("--yes")});
    EXPECT_EQ(download.exitCode, 1) << download.describe().toStdString();
    EXPECT_TRUE(download.errText().contains(QStringLiteral("no answer from controller ID 1"))) << download.describe().toStdString();
}

TEST_F(CtlUdp, DownloadReportsProgressAsJsonAndTheControllerRunsTheNewImage)
{
    StartSim({QStringLiteral("--type-code"), QStringLiteral("261"), QStringLiteral("--restart-on-end")});
    const QString firmware = Firmware();
    const CtlResult before = Ctl({QStringLiteral("verify"), firmware});
    EXPECT_EQ(before.exitCode, 1) << before.describe().toStdString();
    EXPECT_TRUE(before.outText().endsWith(QStringLiteral("Mismatch\n"))) << before.describe().toStdString();

    const CtlResult r = Ctl({QStringLiteral("--json"), QStringLiteral("download"), firmware, QStringLiteral("--yes")});
    ASSERT_EQ(r.exitCode, 0) << r.describe().toStdString();
    bool ok = false;
    const QList<QJsonObject> objects = r.jsonLines(&ok);
    ASSERT_TRUE(ok && objects.size() >= 2) << r.describe().toStdString();
    const QJsonObject result = objects.last();
    EXPECT_EQ(result.value(QStringLiteral("result")).toString(), QStringLiteral("success"));
    const int total = result.value(QStringLiteral("total")).toInt();
    EXPECT_EQ(total, 32); // 0x7000..0x77C0 in 64-byte records, the last one replaced by the end record
    int last = -1;
    for (int i = 0; i + 1 < objects.size(); ++i) {
        const QJsonObject &p = objects.at(i);
        EXPECT_EQ(p.value(QStringLiteral("total")).toInt(), total);
        EXPECT_EQ(p.value(QStringLiteral("resends")).toInt(), 0);
        EXPECT_EQ(p.value(QStringLiteral("position")).toInt(), last + 1) << "one line per acknowledgement";
        last = p.value(QStringLiteral("position")).toInt();
    }
    EXPECT_EQ(last, total - 1); // the end record goes out after the last "K"

    const CtlResult after = Ctl({QStringLiteral("verify"), firmware});
    EXPECT_EQ(after.exitCode, 0) << after.describe().toStdString();
    const CtlResult info = Ctl({QStringLiteral("info")});
    EXPECT_TRUE(info.outText().contains(QStringLiteral("   Version: 2.10\n"))) << info.describe().toStdString();
}

TEST_F(CtlUdp, DownloadStallEndsInFailureWithTheBootLoaderWarning)
{
    StartSim({QStringLiteral("--bl-silent-after"), QStringLiteral("3")});
    const CtlResult r = Ctl({QStringLiteral("--timeout"), QStringLiteral("20"), QStringLiteral("download"), Firmware(),
                             QStringLiteral("--yes")});
    EXPECT_EQ(r.exitCode, 1) << r.describe().toStdString();
    EXPECT_TRUE(r.outText().contains(QStringLiteral("Download Failure.\n"))) << r.describe().toStdString();
    EXPECT_TRUE(r.errText().contains(QStringLiteral("boot loader"))) << r.describe().toStdString();
    // Line 4 went out once and again on the 4th, 8th, 12th, 16th and 20th silent tick.
    const QByteArray trace = m_sim.stderrText();
    EXPECT_EQ(trace.count("(line "), 9) << trace.toStdString();
}

TEST_F(CtlUdp, CtrlCStopsTheDownloadAndClosesTheLink)
{
    StartSim({QStringLiteral("--restart-on-end")});
    QByteArray out, err;
    EXPECT_EQ(InterruptedDownload(Firmware(QStringLiteral("0x4000")), &out, &err), 130) << err.toStdString();
    EXPECT_TRUE(err.contains("may remain in its boot loader")) << err.toStdString();
    const QList<QByteArray> lines = out.trimmed().split('\n');
    const QJsonObject result = QJsonDocument::fromJson(lines.last()).object();
    EXPECT_EQ(result.value(QStringLiteral("result")).toString(), QStringLiteral("aborted")) << out.toStdString();
    EXPECT_LT(result.value(QStringLiteral("position")).toInt(), result.value(QStringLiteral("total")).toInt());

    // The result accounts for every line that reached the controller.
    EXPECT_EQ(m_sim.stderrText().count("(line "), result.value(QStringLiteral("lines_sent")).toInt());

    // As the advice says: the boot loader ignores a new download until the power is switched off and on.
    const QString firmware = Firmware();
    const CtlResult again = Ctl({QStringLiteral("download"), firmware, QStringLiteral("--yes")});
    EXPECT_EQ(again.exitCode, 1) << again.describe().toStdString();
    EXPECT_TRUE(again.errText().contains(QStringLiteral("no answer from controller ID 1"))) << again.describe().toStdString();
    m_sim.powerCycle();
    const CtlResult recovered = Ctl({QStringLiteral("download"), firmware, QStringLiteral("--yes")});
    EXPECT_EQ(recovered.exitCode, 0) << recovered.describe().toStdString();
    EXPECT_TRUE(err.contains("power off and on")) << err.toStdString();
}

// A download stopped half way leaves the controller in its boot loader, deaf
// to the jump command: --in-bootloader sends the lines straight away.
TEST_F(CtlUdp, AControllerLeftInItsBootLoaderIsRecoveredWithInBootloader)
{
    StartSim({QStringLiteral("--restart-on-end")});
    const QString firmware = Firmware();
    QByteArray out, err;
    ASSERT_EQ(InterruptedDownload(firmware, &out, &err), 130);
    EXPECT_TRUE(err.contains("--in-bootloader")) << err.toStdString();

    const CtlResult deaf = Ctl({QStringLiteral("download"), firmware, QStringLiteral("--yes")});
    EXPECT_EQ(deaf.exitCode, 1) << deaf.describe().toStdString();
    EXPECT_TRUE(deaf.errText().contains(QStringLiteral("no answer from controller ID 1"))) << deaf.describe().toStdString();
    EXPECT_TRUE(deaf.errText().contains(QStringLiteral("--in-bootloader"))) << deaf.describe().toStdString();

    const CtlResult recovered = Ctl({QStringLiteral("--trace"), QStringLiteral("download"), firmware,
                                     QStringLiteral("--yes"), QStringLiteral("--in-bootloader")});
    EXPECT_EQ(recovered.exitCode, 0) << recovered.describe().toStdString();
    EXPECT_TRUE(recovered.outText().contains(QStringLiteral("Download Successful"))) << recovered.describe().toStdString();
    EXPECT_FALSE(recovered.errText().contains(QStringLiteral("33 01 E0 10"))) << "no jump command";
    const CtlResult info = Ctl({QStringLiteral("info")});
    EXPECT_TRUE(info.outText().contains(QStringLiteral("   Version: 2.10\n"))) << info.describe().toStdString();

    // Each attempt is in the history with its ending.
    const CtlResult history = Ctl({QStringLiteral("--json"), QStringLiteral("history")});
    QStringList outcomes;
    for (const QJsonValue &row : OnlyObject(history)[QStringLiteral("records")].toArray())
        outcomes << row[QStringLiteral("outcome")].toString();
    EXPECT_EQ(outcomes.mid(outcomes.size() - 3), QStringList({"interrupted", "failure", "success"}));
}

// Whatever tells a download or a fleet run to stop (a service manager, the
// terminal closed, the reader of its output gone) stops it as Ctrl-C does:
// an "interrupted" row, the boot-loader advice while stderr is open, and
// 128 + the signal's number. SIGPIPE: stdout into "head -n 1".
TEST_F(CtlUdp, EveryWayOfStoppingARunIsRecorded)
{
    StartSim();
    const QString firmware = Firmware(QStringLiteral("0x4000"));
    const QString fleetTarget = QStringLiteral("127.0.0.1:%1").arg(m_sim.udpPort());
    struct Case {
        int signal;
        bool fleet;
    };
    const Case cases[] = {{SIGTERM, false}, {SIGHUP, false}, {SIGPIPE, false},
                          {SIGTERM, true},  {SIGHUP, true},  {SIGPIPE, true}};
    int rows = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(QStringLiteral("signal %1, %2").arg(c.signal).arg(c.fleet ? "fleet" : "download").toStdString());
        m_sim.powerCycle(); // out of the boot loader the last run left it in
        ASSERT_EQ(Ctl({QStringLiteral("info")}).exitCode, 0);
        QProcess ctl, head;
        ctl.setStandardInputFile(QProcess::nullDevice());
        if (c.signal == SIGPIPE) {
            ctl.setStandardOutputProcess(&head);
            head.start(QStringLiteral("head"), {QStringLiteral("-n"), QStringLiteral("1")});
        }
        ctl.start(m_ctl, c.fleet ? QStringList{"fleet", "download", firmware, "--yes", "--target", fleetTarget}
                                 : CtlLink() + QStringList{"download", firmware, "--yes"});
        ASSERT_TRUE(ctl.waitForStarted(10000));
        if (c.signal != SIGPIPE) {
            QByteArray out;
            QElapsedTimer clock;
            clock.start();
            while (!out.contains(c.fleet ? "downloading" : "Start Downloading") && clock.elapsed() < 15000) {
                ctl.waitForReadyRead(100);
                out += ctl.readAllStandardOutput();
            }
            ::kill(static_cast<pid_t>(ctl.processId()), c.signal);
        }
        ASSERT_TRUE(ctl.waitForFinished(15000));
        head.waitForFinished(5000);
        const QByteArray err = ctl.readAllStandardError();
        EXPECT_EQ(ctl.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(ctl.exitCode(), 128 + c.signal) << err.toStdString();
        if (c.signal != SIGPIPE) { // a broken pipe may stop a fleet target before its jump
            EXPECT_TRUE(err.contains("may remain in")) << err.toStdString();
        }
        const QJsonArray records = OnlyObject(Ctl({QStringLiteral("--json"), QStringLiteral("history")}))
                                       [QStringLiteral("records")].toArray();
        ASSERT_EQ(records.size(), ++rows);
        EXPECT_EQ(records.last()[QStringLiteral("outcome")].toString(), QStringLiteral("interrupted"));
    }
}

#endif

} // namespace
