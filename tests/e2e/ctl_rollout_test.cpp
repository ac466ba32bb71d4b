// Rollouts against norvik-sim: which controllers get the file at all, what
// each download's outcome is once the restart is (or is not) seen, how a fleet
// run's exit code ranks them, and what happens when the jump command or its
// answer is lost on the way.
#include "tests/support/CtlProcess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

class CtlRollout : public CtlAgainstUdpSim {
protected:
    CtlRollout()
        : CtlAgainstUdpSim(QStringLiteral(NORVIK_CTL_PATH), QStringLiteral(NORVIK_SIM_PATH),
                           QStringLiteral(NORVIK_HEXGEN_PATH))
    {
    }

    // "HOST:PORT/1" for every endpoint on a simulator's ready line.
    static QStringList Specs(const SimProcess &sim)
    {
        QStringList specs;
        static const QRegularExpression endpoint(QStringLiteral("udp=(\\S+)"));
        for (const QRegularExpressionMatch &m : endpoint.globalMatch(sim.readyLine()))
            specs << m.captured(1) + QStringLiteral("/1");
        return specs;
    }
    static QStringList TargetArgs(const QStringList &specs)
    {
        QStringList args;
        for (const QString &spec : specs)
            args << QStringLiteral("--target") << spec;
        return args;
    }
    // The last JSON object of `r` whose "target" is `spec` and "event" is `event`.
    static QJsonObject Event(const CtlResult &r, const QString &spec, const QString &event)
    {
        QJsonObject found;
        for (const QJsonObject &o : r.jsonLines())
            if (o.value(QStringLiteral("target")).toString() == spec && o.value(QStringLiteral("event")).toString() == event)
                found = o;
        return found;
    }
    // norvik-ctl as a shell runs the line (for the printed recovery command).
    static CtlResult Shell(const QString &line) { return RunCtl(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), line}); }
};

// One fleet run per row, each target its own simulator; the outcome names its
// kind. The exit code ranks them: Ctrl-C, failure, refused, downloaded, else 0.
TEST_F(CtlRollout, FleetOutcomesAndTheirExitCodes)
{
    const QMap<QString, QStringList> simOf = {
        {QStringLiteral("success"), {QStringLiteral("--restart-on-end")}},
        {QStringLiteral("current"), {QStringLiteral("--version"), QStringLiteral("2.10")}},
        {QStringLiteral("refused"), {QStringLiteral("--type-code"), QStringLiteral("1")}},
        {QStringLiteral("downloaded"), {}}, // waits for its power to be switched
        {QStringLiteral("failure"), {QStringLiteral("--silent")}},
        {QStringLiteral("interrupted"), {QStringLiteral("--restart-on-end")}},
    };
    struct Row {
        QStringList outcomes;
        int exitCode;
    };
    const Row rows[] = {
        {{"success", "current"}, 0},
        {{"current", "downloaded", "success"}, 5},
        {{"downloaded", "refused", "success"}, 4},
        {{"refused", "failure", "downloaded"}, 1},
        {{"current", "interrupted", "failure"}, 130},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.outcomes.join(QLatin1Char(' ')).toStdString());
        std::vector<std::unique_ptr<SimProcess>> sims;
        QStringList specs;
        for (const QString &outcome : row.outcomes) {
            sims.push_back(std::make_unique<SimProcess>(QStringLiteral(NORVIK_SIM_PATH)));
            ASSERT_TRUE(sims.back()->start(QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"),
                                                       QStringLiteral("--type-code"), QStringLiteral("261")} +
                                           simOf.value(outcome)));
            specs << Specs(*sims.back());
        }
        const bool ctrlC = row.outcomes.contains(QStringLiteral("interrupted"));
        // Long enough to be stopped half way; short enough to finish at once.
        const QString firmware = Firmware(ctrlC ? QStringLiteral("0x4000") : QStringLiteral("0x7700"));
        const QStringList args = QStringList{QStringLiteral("--json"), QStringLiteral("fleet"), QStringLiteral("download"),
                                             firmware, QStringLiteral("--yes"), QStringLiteral("--restart-wait"),
                                             QStringLiteral("1000")} +
                                 TargetArgs(specs);
        CtlResult r;
        if (ctrlC) {
            QProcess ctl;
            ctl.setStandardInputFile(QProcess::nullDevice());
            ctl.start(m_ctl, args);
            ASSERT_TRUE(ctl.waitForStarted(10000));
            const QByteArray downloading =
                QStringLiteral("\"state\":\"downloading\",\"target\":\"%1\"").arg(specs[1]).toUtf8();
            for (int i = 0; i < 100 && !r.out.contains(downloading) && ctl.state() == QProcess::Running; ++i) {
                ctl.waitForReadyRead(100);
                r.out += ctl.readAllStandardOutput();
            }
            ::kill(static_cast<pid_t>(ctl.processId()), SIGINT);
            EXPECT_TRUE(ctl.waitForFinished(10000));
            r.out += ctl.readAllStandardOutput();
            r.err = ctl.readAllStandardError();
            r.exitCode = ctl.exitCode();
        } else {
            r = RunCtl(m_ctl, args);
        }
        EXPECT_EQ(r.exitCode, row.exitCode) << r.describe().toStdString();
        const QJsonObject summary = r.jsonLines().value(r.jsonLines().size() - 1);
        for (const QString &outcome : simOf.keys())
            EXPECT_EQ(summary.value(outcome).toInt(), row.outcomes.count(outcome)) << outcome.toStdString();
        for (int i = 0; i < specs.size(); ++i) {
            const QJsonObject result = Event(r, specs[i], QStringLiteral("result"));
            EXPECT_EQ(result.value(QStringLiteral("outcome")).toString(), row.outcomes[i]) << r.describe().toStdString();
            EXPECT_EQ(result.value(QStringLiteral("version_after")).toString(),
                      row.outcomes[i] == QLatin1String("success") ? QStringLiteral("2.10") : QString());
        }
    }
}

// Nothing but reads reaches a controller the file does not belong on.
TEST_F(CtlRollout, DownloadRefusesAnotherTypeAndAnOlderVersionAfterReadingOnly)
{
    struct Row {
        QStringList sim;
        int exitCode;
        QStringList said;
    };
    const Row rows[] = {
        {{QStringLiteral("--type-code"), QStringLiteral("1")}, 4, {"type code 261", "type code 1", "--allow-other-type"}},
        {{QStringLiteral("--version"), QStringLiteral("3.0")}, 4, {"2.10", "3.0", "--allow-older"}},
        {{QStringLiteral("--version"), QStringLiteral("2.10")}, 0, {"nothing to do", "--allow-reinstall"}},
    };
    const QString firmware = Firmware();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.sim.join(QLatin1Char(' ')).toStdString());
        m_sim.stop();
        StartSim(row.sim);
        const CtlResult r = Ctl({QStringLiteral("--trace"), QStringLiteral("download"), firmware, QStringLiteral("--yes")});
        EXPECT_EQ(r.exitCode, row.exitCode) << r.describe().toStdString();
        for (const QString &part : row.said)
            EXPECT_TRUE((r.outText() + r.errText()).contains(part)) << part.toStdString() << "\n" << r.describe().toStdString();
        EXPECT_TRUE(r.errText().contains(QStringLiteral("33 01 42 00"))) << "the info was read";
        EXPECT_FALSE(r.errText().contains(QStringLiteral("33 01 E0"))) << "no jump command";
        EXPECT_FALSE(m_sim.stderrText().contains("(line ")) << "no record line";
    }
}

// The file says 2.10, but the image it sends ends before that record: the
// controller restarts with 2.5, which must never count as done.
TEST_F(CtlRollout, AControllerBackWithItsOldVersionIsAFailure)
{
    StartSim();
    QString error;
    const QString oldPath = m_dir.filePath(QStringLiteral("old.hex"));
    ASSERT_TRUE(MakeFirmware(m_hexgen, oldPath, {QStringLiteral("--type-code"), QStringLiteral("261"),
                                                 QStringLiteral("--version"), QStringLiteral("2.5"),
                                                 QStringLiteral("--start"), QStringLiteral("0x7700")}, &error))
        << error.toStdString();
    QFile oldFile(oldPath), newFile(Firmware(QStringLiteral("0x7700")));
    ASSERT_TRUE(oldFile.open(QIODevice::ReadOnly) && newFile.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = oldFile.readAll().split('\n');
    QByteArray claim;
    for (const QByteArray &line : newFile.readAll().split('\n'))
        if (line.toLower().startsWith(":407780"))
            claim = line;
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
        lines.removeLast();
    lines.insert(lines.size() - 1, claim);
    QFile spliced(m_dir.filePath(QStringLiteral("claims-2.10.hex")));
    ASSERT_TRUE(spliced.open(QIODevice::WriteOnly));
    spliced.write(lines.join('\n') + '\n');
    spliced.close();

    const CtlResult r = Ctl({QStringLiteral("--json"), QStringLiteral("download"), spliced.fileName(), QStringLiteral("--yes")});
    EXPECT_EQ(r.exitCode, 1) << r.describe().toStdString();
    const QJsonObject result = r.jsonLines().value(r.jsonLines().size() - 1);
    EXPECT_EQ(result.value(QStringLiteral("outcome")).toString(), QStringLiteral("failure")) << r.describe().toStdString();
    EXPECT_TRUE(r.errText().contains(QStringLiteral("came back with type code 261, version 2.5")))
        << r.describe().toStdString();
}

// A technician switches the controllers on one by one; the run ticks each
// off when it comes back, and the one never switched stays unverified.
TEST_F(CtlRollout, FleetVerifyWaitsForEachControllersPowerSwitch)
{
    StartSim({QStringLiteral("--udp-count"), QStringLiteral("3"), QStringLiteral("--power-cycle-at"),
              QStringLiteral("1:300"), QStringLiteral("--power-cycle-at"), QStringLiteral("2:3000")},
             /*awaitPower=*/true);
    const QStringList specs = Specs(m_sim);
    ASSERT_EQ(specs.size(), 3);
    const QString firmware = Firmware(QStringLiteral("0x7700"));
    const CtlResult download = RunCtl(m_ctl, QStringList{QStringLiteral("fleet"), QStringLiteral("download"), firmware,
                                                         QStringLiteral("--yes"), QStringLiteral("--restart-wait"),
                                                         QStringLiteral("0")} + TargetArgs(specs));
    EXPECT_EQ(download.exitCode, 5) << download.describe().toStdString();
    EXPECT_TRUE(download.errText().contains(QStringLiteral("fleet verify"))) << download.describe().toStdString();

    const CtlResult verify = RunCtl(m_ctl, QStringList{QStringLiteral("--json"), QStringLiteral("fleet"), QStringLiteral("verify"),
                                                       firmware, QStringLiteral("--wait"), QStringLiteral("6000")} +
                                               TargetArgs(specs));
    EXPECT_EQ(verify.exitCode, 1) << verify.describe().toStdString();
    QStringList order;
    for (const QJsonObject &o : verify.jsonLines())
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("result"))
            order << o.value(QStringLiteral("target")).toString() + QLatin1Char(' ') + o.value(QStringLiteral("outcome")).toString();
    EXPECT_EQ(order, QStringList({specs[0] + " verified", specs[1] + " verified", specs[2] + " failure"}))
        << verify.describe().toStdString();
    const double first = Event(verify, specs[0], QStringLiteral("result")).value(QStringLiteral("seconds")).toDouble();
    const double second = Event(verify, specs[1], QStringLiteral("result")).value(QStringLiteral("seconds")).toDouble();
    EXPECT_GE(second - first, 1.0) << verify.describe().toStdString();

    m_sim.powerCycle();
    const CtlResult all = RunCtl(m_ctl, QStringList{QStringLiteral("fleet"), QStringLiteral("verify"), firmware} + TargetArgs(specs));
    EXPECT_EQ(all.exitCode, 0) << all.describe().toStdString();
}

// The jump's request lost: the controller still answers a read, so the jump
// goes once more. Its answer lost: the controller is in its boot loader, no
// line goes out, and the printed line recovers it.
TEST_F(CtlRollout, ALostJumpIsToldApartBeforeAnythingElseIsSent)
{
    struct Row {
        const char *mode;
        const char *outcome;
        int jumps;
    };
    const Row rows[] = {{"silent", "success", 2}, {"answer-lost", "failure", 1}};
    const QString firmware = Firmware(QStringLiteral("0x7700"));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.mode);
        m_sim.stop();
        StartSim({QStringLiteral("--fail-frame"), QStringLiteral("0xE0:1"), QStringLiteral("--fail-mode"),
                  QLatin1String(row.mode)});
        const QString spec = Specs(m_sim).value(0);
        const CtlResult r = RunCtl(m_ctl, {QStringLiteral("--json"), QStringLiteral("--trace"), QStringLiteral("fleet"),
                                           QStringLiteral("download"), firmware, QStringLiteral("--yes"),
                                           QStringLiteral("--target"), spec});
        const QJsonObject result = Event(r, spec, QStringLiteral("result"));
        EXPECT_EQ(result.value(QStringLiteral("outcome")).toString(), QLatin1String(row.outcome)) << r.describe().toStdString();
        EXPECT_EQ(r.errText().count(QStringLiteral("33 01 E0 10")), row.jumps) << r.describe().toStdString();
        const QString recovery = r.jsonLines().value(r.jsonLines().size() - 1).value(QStringLiteral("recovery_command")).toString();
        if (row.jumps == 2) {
            EXPECT_TRUE(recovery.isEmpty()) << recovery.toStdString();
            continue;
        }
        EXPECT_TRUE(result.value(QStringLiteral("may_remain_in_boot_loader")).toBool());
        EXPECT_FALSE(m_sim.stderrText().contains("(line ")) << "no line without an acknowledged jump";
        ASSERT_TRUE(recovery.contains(QStringLiteral("--in-bootloader"))) << r.describe().toStdString();
        const CtlResult recovered = Shell(recovery);
        EXPECT_EQ(recovered.exitCode, 0) << recovered.describe().toStdString();
        EXPECT_EQ(Event(recovered, spec, QStringLiteral("result")).value(QStringLiteral("version_after")).toString(),
                  QStringLiteral("2.10"));
    }
}

// The end letters lost on the way: a read of the version tells a complete
// download from one left in the boot loader, in download and fleet alike.
TEST_F(CtlRollout, ALostEndLetterIsToldApartByAReadOfTheVersion)
{
    const QString firmware = Firmware(QStringLiteral("0x7700"));
    for (const bool awaitPower : {false, true}) {
        for (const bool fleet : {false, true}) {
            SCOPED_TRACE(std::string(fleet ? "fleet" : "download") + (awaitPower ? ", awaiting power" : ", restarting"));
            m_sim.stop();
            StartSim({QStringLiteral("--bl-end-reply"), QString()}, awaitPower);
            const QStringList run{QStringLiteral("download"), firmware, QStringLiteral("--yes"),
                                  QStringLiteral("--restart-wait"), QStringLiteral("600")};
            const QStringList args = QStringList{QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("50")} +
                                     (fleet ? QStringList{QStringLiteral("fleet")} + run +
                                                  QStringList{QStringLiteral("--target"), Specs(m_sim).value(0)}
                                            : CtlLink() + run);
            const CtlResult r = RunCtl(m_ctl, args);
            const QJsonObject last = r.jsonLines().value(r.jsonLines().size() - 1);
            const QJsonObject result = fleet ? Event(r, Specs(m_sim).value(0), QStringLiteral("result")) : last;
            EXPECT_EQ(r.exitCode == 0, !awaitPower) << r.describe().toStdString();
            EXPECT_EQ(result.value(QStringLiteral("outcome")).toString(), awaitPower ? "failure" : "success");
            EXPECT_TRUE(result.value(QStringLiteral("message"))
                            .toString()
                            .contains(awaitPower ? QStringLiteral("the end-of-file line got no answer")
                                                 : QStringLiteral("(the answer to the end-of-file line was lost)")))
                << r.describe().toStdString();
            EXPECT_EQ(last.value(QStringLiteral("recovery_command")).toString().contains(QStringLiteral("--in-bootloader")),
                      awaitPower)
                << r.describe().toStdString();
        }
    }
}

// A lost reply to a read is asked again, as often as --tries allows.
TEST_F(CtlRollout, ReadsAreAskedAgainUpToTries)
{
    for (const auto &[tries, exitCode] : {std::pair{"1", 1}, std::pair{"2", 0}}) {
        SCOPED_TRACE(tries);
        m_sim.stop();
        StartSim({QStringLiteral("--fail-frame"), QStringLiteral("0x42:1"), QStringLiteral("--fail-mode"),
                  QStringLiteral("silent")});
        EXPECT_EQ(Ctl({QStringLiteral("--tries"), QLatin1String(tries), QStringLiteral("info")}).exitCode, exitCode);
    }
}

// With --jobs 1 the next target starts only once the previous one has ended.
TEST_F(CtlRollout, OneJobAtATime)
{
    StartSim({QStringLiteral("--udp-count"), QStringLiteral("3")});
    const QStringList specs = Specs(m_sim);
    const CtlResult r = RunCtl(m_ctl, QStringList{QStringLiteral("--json"), QStringLiteral("fleet"), QStringLiteral("info"),
                                                  QStringLiteral("--jobs"), QStringLiteral("1")} + TargetArgs(specs));
    ASSERT_EQ(r.exitCode, 0) << r.describe().toStdString();
    QStringList events;
    for (const QJsonObject &o : r.jsonLines())
        if (o.contains(QStringLiteral("target")))
            events << o.value(QStringLiteral("target")).toString() + QLatin1Char(' ') + o.value(QStringLiteral("event")).toString();
    QStringList expected;
    for (const QString &spec : specs)
        expected << spec + " progress" << spec + " result";
    EXPECT_EQ(events, expected) << r.describe().toStdString();
}

#endif

} // namespace
