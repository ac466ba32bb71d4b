// norvik-ctl fleet against one norvik-sim serving five controllers at five UDP
// endpoints: one silent, one whose boot loader refuses every line. The others
// must be upgraded and checked all the same, and the run must say which failed,
// why, and which may be left in the boot loader.
#include "tests/support/CtlProcess.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

class CtlFleet : public CtlAgainstUdpSim {
protected:
    CtlFleet()
        : CtlAgainstUdpSim(QStringLiteral(NORVIK_CTL_PATH), QStringLiteral(NORVIK_SIM_PATH),
                           QStringLiteral(NORVIK_HEXGEN_PATH))
    {
    }

    // --target for every endpoint on the simulator's ready line, in order.
    QStringList Targets(QStringList *specs) const
    {
        QStringList args;
        static const QRegularExpression endpoint(QStringLiteral("udp=(\\S+)"));
        for (const QRegularExpressionMatch &m : endpoint.globalMatch(m_sim.readyLine())) {
            *specs << m.captured(1) + QStringLiteral("/1");
            args << QStringLiteral("--target") << specs->last();
        }
        return args;
    }
};

struct Expected {
    const char *outcome;
    const char *message; // part of the message
    bool bootLoader;     // listed as possibly left in its boot loader
};

TEST_F(CtlFleet, FiveTargetsOneSilentOneRefusingTextAndJson)
{
    StartSim({QStringLiteral("--udp-count"), QStringLiteral("5"), QStringLiteral("--silent-endpoints"),
              QStringLiteral("2"), QStringLiteral("--refusing-endpoints"), QStringLiteral("4"), QStringLiteral("--restart-on-end")});
    QStringList specs;
    const QStringList targets = Targets(&specs);
    ASSERT_EQ(specs.size(), 5) << m_sim.readyLine().toStdString();
    const QString firmware = Firmware(QStringLiteral("0x7700"));
    const Expected expected[] = {
        {"success", "version 2.10 running", false},  {"failure", "no answer from controller ID", false},
        {"success", "version 2.10 running", false},  {"failure", "Download Failure.", true},
        {"success", "version 2.10 running", false},
    };

    const CtlResult json = Ctl(QStringList{QStringLiteral("--json"), QStringLiteral("fleet"), QStringLiteral("download"),
                                           firmware, QStringLiteral("--yes"), QStringLiteral("--restart-wait"),
                                           QStringLiteral("100")} + targets);
    EXPECT_EQ(json.exitCode, 1) << json.describe().toStdString();
    bool parsed = false;
    const QList<QJsonObject> objects = json.jsonLines(&parsed);
    ASSERT_TRUE(parsed) << json.describe().toStdString();
    QStringList sns;
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(specs[i].toStdString());
        QJsonObject result;
        int progress = 0;
        for (const QJsonObject &o : objects) {
            if (o.value(QStringLiteral("target")).toString() != specs[i])
                continue;
            if (o.value(QStringLiteral("event")).toString() == QLatin1String("result"))
                result = o;
            else
                progress += o.value(QStringLiteral("event")).toString() == QLatin1String("progress");
        }
        EXPECT_EQ(result.value(QStringLiteral("outcome")).toString(), QLatin1String(expected[i].outcome));
        EXPECT_TRUE(result.value(QStringLiteral("message")).toString().contains(QLatin1String(expected[i].message)))
            << json.describe().toStdString();
        EXPECT_EQ(result.value(QStringLiteral("may_remain_in_boot_loader")).toBool(), expected[i].bootLoader);
        EXPECT_GT(progress, 0);
        if (QLatin1String(expected[i].outcome) == QLatin1String("success")) {
            EXPECT_EQ(result.value(QStringLiteral("version_before")).toString(), QStringLiteral("2.5"));
            EXPECT_EQ(result.value(QStringLiteral("version_after")).toString(), QStringLiteral("2.10"));
            EXPECT_EQ(result.value(QStringLiteral("resends")).toInt(), 0);
            sns << result.value(QStringLiteral("sn")).toString();
        }
    }
    EXPECT_EQ(QSet<QString>(sns.begin(), sns.end()).size(), 3) << "each endpoint its own controller";
    ASSERT_FALSE(objects.isEmpty());
    const QJsonObject summary = objects.last();
    EXPECT_EQ(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    EXPECT_EQ(summary.value(QStringLiteral("succeeded")).toInt(), 3);
    EXPECT_EQ(summary.value(QStringLiteral("failed")).toInt(), 2);
    EXPECT_EQ(summary.value(QStringLiteral("may_remain_in_boot_loader")).toArray().size(), 1);

    // Every controller the fleet tried has its row in the history, with what
    // it read of it before and after.
    const CtlResult history = Ctl({QStringLiteral("--json"), QStringLiteral("history")});
    QStringList rows;
    for (const QJsonValue &row : history.onlyObject(&parsed).value(QStringLiteral("records")).toArray()) {
        const QJsonObject r = row.toObject();
        rows << QStringList{r.value(QStringLiteral("address")).toString(), r.value(QStringLiteral("outcome")).toString(),
                            r.value(QStringLiteral("version_before")).toString(),
                            r.value(QStringLiteral("version_after")).toString(),
                            QString::number(r.value(QStringLiteral("sn")).toString().size())}
                    .join(QLatin1Char(' '));
    }
    rows.sort();
    QStringList expectedRows;
    for (int i : {0, 2, 4})
        expectedRows << specs[i].section(QLatin1Char('/'), 0, 0) + QStringLiteral(" success 2.5 2.10 8");
    expectedRows << specs[1].section(QLatin1Char('/'), 0, 0) + QStringLiteral(" failure   0")
                 << specs[3].section(QLatin1Char('/'), 0, 0) + QStringLiteral(" failure 2.5  8");
    expectedRows.sort();
    EXPECT_EQ(rows.join(QLatin1Char('\n')).toStdString(), expectedRows.join(QLatin1Char('\n')).toStdString());

    // Again as text, the refusing controller restarted first: the three
    // upgraded ones already run the file's version and are left alone.
    m_sim.powerCycle();
    const CtlResult text = Ctl(QStringList{QStringLiteral("fleet"), QStringLiteral("download"), firmware,
                                           QStringLiteral("--yes"), QStringLiteral("--restart-wait"),
                                           QStringLiteral("100")} + targets);
    EXPECT_EQ(text.exitCode, 1) << text.describe().toStdString();
    for (int i = 0; i < 5; ++i) {
        const bool ok = QLatin1String(expected[i].outcome) == QLatin1String("success");
        const QString row = ok ? QStringLiteral("\n%1 +\\d{8} +2\\.10 +- +current +\\d+\\.\\d s\n")
                               : QStringLiteral("\n%1 +\\S+ +\\S+ +- +failure +\\d+\\.\\d s\n");
        EXPECT_TRUE(QRegularExpression(row.arg(QRegularExpression::escape(specs[i]))).match(text.outText()).hasMatch())
            << text.describe().toStdString();
    }
    EXPECT_TRUE(text.outText().contains(QStringLiteral("0 of 5 succeeded, 2 failed, 0 interrupted.")));
    EXPECT_TRUE(text.outText().contains(QStringLiteral("Outcomes: 0 success, 3 current, 0 refused, 0 downloaded, 2 failure")));
    EXPECT_TRUE(text.errText().contains(QStringLiteral("may remain in their boot loader")));
    EXPECT_TRUE(text.errText().contains(specs[3])) << text.describe().toStdString();
}

#endif

} // namespace
