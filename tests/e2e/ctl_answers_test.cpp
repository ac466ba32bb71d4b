// What norvik-ctl answers people and scripts against norvik-sim over UDP
// loopback: a refusal reads as one, silence and bad hosts name what was
// tried, and every run with --json ends with one result object.
#include "tests/support/CtlProcess.h"
#include "tests/support/Pty.h"
#include "tests/support/SimProcess.h"

#include <gtest/gtest.h>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

class CtlAnswers : public CtlAgainstUdpSim {
protected:
    CtlAnswers()
        : CtlAgainstUdpSim(QStringLiteral(NORVIK_CTL_PATH), QStringLiteral(NORVIK_SIM_PATH),
                           QStringLiteral(NORVIK_HEXGEN_PATH))
    {
    }
    void SetUp() override
    {
        CtlAgainstUdpSim::SetUp();
        m_oldDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toLocal8Bit());
    }
    void TearDown() override { qputenv("XDG_DATA_HOME", m_oldDataHome); }

    // The objects with "command" and "ok": a run's result objects.
    static QList<QJsonObject> Results(const QList<QJsonObject> &objects)
    {
        QList<QJsonObject> results;
        for (const QJsonObject &o : objects) {
            if (o.contains(QStringLiteral("command")) && o.value(QStringLiteral("ok")).isBool())
                results << o;
        }
        return results;
    }

    QByteArray m_oldDataHome;
};

TEST_F(CtlAnswers, ARefusedCommandIsReportedAsRefusedWithItsStatus)
{
    // The first card write is refused (status 01); doors above 4 and record 999 do not exist (status 05).
    StartSim({QStringLiteral("--fail-frame"), QStringLiteral("0x25:1"), QStringLiteral("--fail-mode"),
              QStringLiteral("refuse")});
    const struct {
        QStringList args;
        const char *status;
        QJsonValue result; // call's printed result, the component's own value
    } rows[] = {
        {{QStringLiteral("door"), QStringLiteral("7"), QStringLiteral("open")}, "05", {}},
        {{QStringLiteral("door"), QStringLiteral("5"), QStringLiteral("status")}, "05", {}},
        {{QStringLiteral("transactions"), QStringLiteral("--removed"), QStringLiteral("999")}, "05", {}},
        {{QStringLiteral("call"), QStringLiteral("ForceOpenDoorNow"), QStringLiteral("7")}, "05", true},
        {{QStringLiteral("call"), QStringLiteral("AddUnSortedCardA"), QStringLiteral("12345678"), QStringLiteral("1,2,3,4"),
          QStringLiteral("true"), QStringLiteral("0"), QStringLiteral("240101"), QStringLiteral("251231")},
         "01", 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(QLatin1Char(' ')).toStdString());
        const CtlResult r = Ctl(QStringList{QStringLiteral("--json")} + row.args);
        EXPECT_EQ(r.exitCode, 1) << r.describe().toStdString();
        EXPECT_TRUE(r.errText().contains(QStringLiteral("refused by the controller (status %1)").arg(QLatin1String(row.status))))
            << r.describe().toStdString();
        EXPECT_FALSE(r.errText().contains(QStringLiteral("not found"), Qt::CaseInsensitive)) << r.describe().toStdString();
        bool parsed = false;
        const QList<QJsonObject> objects = r.jsonLines(&parsed);
        ASSERT_TRUE(parsed && !objects.isEmpty()) << r.describe().toStdString();
        EXPECT_FALSE(objects.last().value(QStringLiteral("ok")).toBool(true));
        EXPECT_EQ(objects.last().value(QStringLiteral("status")).toInt(), QString::fromLatin1(row.status).toInt(nullptr, 16));
        if (!row.result.isNull()) {
            EXPECT_EQ(objects.last().value(QStringLiteral("result")), row.result);
        }
    }
}

TEST_F(CtlAnswers, NoAnswerAndBadHostsSayWhatWasTriedAndWhatToDo)
{
    StartSim();
    Pty silentLine;
    const QString port = QString::number(m_sim.udpPort());
    const struct {
        QStringList args;
        int exitCode;
        QStringList said; // each on stderr
    } rows[] = {
        {{QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--udp-port"), port, QStringLiteral("--id"),
          QStringLiteral("9"), QStringLiteral("--timeout"), QStringLiteral("50"), QStringLiteral("info")},
         1,
         {QStringLiteral("info: no answer from controller ID 9 on the network link to 127.0.0.1:%1 within 50 ms").arg(port),
          QStringLiteral("'norvik-ctl scan'"), QStringLiteral("--in-bootloader")}},
        {{QStringLiteral("--port"), QString::fromStdString(silentLine.DevicePath()), QStringLiteral("--retry"),
          QStringLiteral("2"), QStringLiteral("door"), QStringLiteral("1"), QStringLiteral("open")},
         1,
         {QStringLiteral("Open door 1: no answer from controller ID 1 on serial port %1 within 2 reads 20 ms apart")
              .arg(QString::fromStdString(silentLine.DevicePath())),
          QStringLiteral("'--port auto'"), QStringLiteral("--in-bootloader")}},
        {{QStringLiteral("--host"), QStringLiteral("host.invalid"), QStringLiteral("info")},
         3,
         {QStringLiteral("the host name 'host.invalid' does not resolve")}},
        {{QStringLiteral("--host"), QStringLiteral("300.1.1.1"), QStringLiteral("info")},
         2,
         {QStringLiteral("--host: '300.1.1.1' is not an IPv4 address")}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(QLatin1Char(' ')).toStdString());
        const CtlResult r = RunCtl(m_ctl, row.args);
        EXPECT_EQ(r.exitCode, row.exitCode) << r.describe().toStdString();
        for (const QString &text : row.said)
            EXPECT_TRUE(r.errText().contains(text)) << text.toStdString() << "\n" << r.describe().toStdString();
        EXPECT_FALSE(r.errText().contains(QStringLiteral("Socket Error"))) << r.describe().toStdString();
    }
}

TEST_F(CtlAnswers, EveryCommandEndsWithOneResultObjectAndOneFileCountsTheSameLinesEverywhere)
{
    StartSim({QStringLiteral("--ids"), QStringLiteral("1,2")});
    const QString firmware = Firmware();
    const QString fleetTarget = QStringLiteral("127.0.0.1:%1/2").arg(m_sim.udpPort());
    const QStringList runs[] = {
        {QStringLiteral("info")},
        {QStringLiteral("get-clock")},
        {QStringLiteral("set-clock")},
        {QStringLiteral("verify"), firmware},
        {QStringLiteral("scan"), QStringLiteral("--ids"), QStringLiteral("1-3")},
        {QStringLiteral("ports")},
        {QStringLiteral("hex-info"), firmware},
        {QStringLiteral("call"), QStringLiteral("GetControllerInfo")},
        {QStringLiteral("call"), QStringLiteral("--list")},
        {QStringLiteral("transactions")},
        {QStringLiteral("door"), QStringLiteral("1"), QStringLiteral("status")},
        {QStringLiteral("door"), QStringLiteral("1"), QStringLiteral("open")},
        {QStringLiteral("inof")},
        {QStringLiteral("door"), QStringLiteral("x"), QStringLiteral("open")},
        {QStringLiteral("download"), firmware, QStringLiteral("--yes")},
        {QStringLiteral("fleet"), QStringLiteral("download"), firmware, QStringLiteral("--yes"), QStringLiteral("--target"),
         fleetTarget, QStringLiteral("--restart-wait"), QStringLiteral("100")},
        {QStringLiteral("history")},
    };
    int downloadLines = -1;
    int fleetLines = -2;
    for (const QStringList &args : runs) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const CtlResult r = Ctl(QStringList{QStringLiteral("--json")} + args);
        bool parsed = false;
        const QList<QJsonObject> objects = r.jsonLines(&parsed);
        ASSERT_TRUE(parsed && !objects.isEmpty()) << r.describe().toStdString();
        const QList<QJsonObject> results = Results(objects);
        ASSERT_EQ(results.size(), 1) << r.describe().toStdString();
        EXPECT_EQ(results.first(), objects.last()) << r.describe().toStdString();
        EXPECT_EQ(results.first().value(QStringLiteral("command")).toString(), args.first());
        EXPECT_EQ(results.first().value(QStringLiteral("ok")).toBool(), r.exitCode == 0) << r.describe().toStdString();
        if (r.exitCode == 2) {
            EXPECT_TRUE(r.errText().contains(results.first().value(QStringLiteral("error")).toString()));
        }
        for (const QJsonObject &o : objects) {
            if (o.contains(QStringLiteral("position")) && o != objects.last()) {
                EXPECT_EQ(o.value(QStringLiteral("event")).toString(), QStringLiteral("progress"));
            }
            if (args.first() == QLatin1String("fleet") && o.value(QStringLiteral("event")) == QStringLiteral("result"))
                fleetLines = o.value(QStringLiteral("lines")).toInt();
        }
        if (args.first() == QLatin1String("download")) {
            EXPECT_EQ(objects.last().value(QStringLiteral("outcome")).toString(), QStringLiteral("success"));
            downloadLines = objects.last().value(QStringLiteral("position")).toInt();
            EXPECT_EQ(downloadLines, objects.last().value(QStringLiteral("total")).toInt());
        }
    }
    EXPECT_EQ(downloadLines, fleetLines);
}

#endif

} // namespace
