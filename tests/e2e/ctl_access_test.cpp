// norvik-ctl's access-control commands against norvik-sim over UDP loopback:
// cards through `call`, transaction records read, confirmed and logged, doors,
// a time zone's slot map, and the controller's memory.
#include "tests/support/CtlProcess.h"
#include "tests/support/SimProcess.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <csignal>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_HEXGEN_PATH)

class CtlAccess : public CtlAgainstUdpSim {
protected:
    CtlAccess()
        : CtlAgainstUdpSim(QStringLiteral(NORVIK_CTL_PATH), QStringLiteral(NORVIK_SIM_PATH),
                        QStringLiteral(NORVIK_HEXGEN_PATH))
    {
    }

    CtlResult Call(const QStringList &operationAndArgs)
    {
        return Ctl(QStringList{QStringLiteral("call")} + operationAndArgs);
    }

    // The first simulated controller's state, written by the simulator as it stops.
    QJsonObject StateAfterStop()
    {
        EXPECT_EQ(m_sim.stop(), 0);
        QFile file(m_dir.filePath(QStringLiteral("state.json")));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(file.readAll())
            .object()
            .value(QStringLiteral("controllers"))
            .toArray()
            .at(0)
            .toObject();
    }
    QStringList WithState(QStringList extra = {}) const
    {
        return extra << QStringLiteral("--state") << m_dir.filePath(QStringLiteral("state.json"));
    }
};

TEST_F(CtlAccess, CardsAddedThenTransactionsReadConfirmedAndLogged)
{
    StartSim(WithState({QStringLiteral("--transactions"), QStringLiteral("2")}));

    const CtlResult added = Call({QStringLiteral("AddUnSortedCardA"), QStringLiteral("12345678"),
                                  QStringLiteral("1,2,3,4"), QStringLiteral("true"), QStringLiteral("0x1234"),
                                  QStringLiteral("240101"), QStringLiteral("251231")});
    ASSERT_EQ(added.exitCode, 0) << added.describe().toStdString();
    EXPECT_EQ(added.outText(), QStringLiteral("result: 1\n"));

    // An event at the door adds a third record.
    ::kill(static_cast<pid_t>(m_sim.pid()), SIGUSR2);
    const QString logDir = m_dir.filePath(QStringLiteral("log"));
    const CtlResult read = Ctl({QStringLiteral("--json"), QStringLiteral("transactions"), QStringLiteral("--debug-log"), logDir});
    ASSERT_EQ(read.exitCode, 0) << read.describe().toStdString();
    bool ok = false;
    QList<QJsonObject> records = read.jsonLines(&ok);
    ASSERT_TRUE(ok && !records.isEmpty()) << read.describe().toStdString();
    EXPECT_EQ(records.takeLast().value(QStringLiteral("records")).toInt(), 3); // the run's result object
    ASSERT_EQ(records.size(), 3) << read.describe().toStdString();
    EXPECT_EQ(records.at(0).value(QStringLiteral("delivery")).toInt(), 1);

    // Confirmed records are gone: a second read finds none.
    const CtlResult again = Ctl({QStringLiteral("transactions")});
    EXPECT_EQ(again.exitCode, 0) << again.describe().toStdString();
    EXPECT_TRUE(again.outText().endsWith(QStringLiteral("0 record(s) read.\n"))) << again.describe().toStdString();

    QFile log(QDir(logDir).filePath(QStringLiteral("RX%1.txt").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")))));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly)) << log.fileName().toStdString();
    EXPECT_EQ(log.readAll().count("\r\n"), 3);

    const QJsonObject state = StateAfterStop();
    const QJsonArray cards = state.value(QStringLiteral("unsorted_cards")).toArray();
    ASSERT_EQ(cards.size(), 1);
    EXPECT_TRUE(cards.at(0).toObject().value(QStringLiteral("card")).toString().endsWith(QStringLiteral("BC614E")));
}

TEST_F(CtlAccess, CallRefusesBadArgumentsBeforeSendingAndReportsByConvention)
{
    StartSim();
    const QList<QStringList> refused = {
        {QStringLiteral("NoSuchOperation")},
        {QStringLiteral("ResetController"), QStringLiteral("1")},
        {QStringLiteral("OpenDoorNow"), QStringLiteral("256"), QStringLiteral("0"), QStringLiteral("0")},
        {QStringLiteral("AddUnSortedCardA"), QStringLiteral("4294967296"), QStringLiteral("1,2,3,4"),
         QStringLiteral("false"), QStringLiteral("0"), QStringLiteral("240101"), QStringLiteral("251231")},
        {QStringLiteral("AddUnSortedCardA"), QStringLiteral("1"), QStringLiteral("1,2"), QStringLiteral("false"),
         QStringLiteral("0"), QStringLiteral("240101"), QStringLiteral("251231")},
        {QStringLiteral("SendTimeZone"), QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("0,1440")},
        {QStringLiteral("SendGroup"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("0A0B")},
    };
    const QStringList named = {QStringLiteral("NoSuchOperation"), QStringLiteral("ResetController"),
                               QStringLiteral("Door"), QStringLiteral("CardNo"), QStringLiteral("ZoneList"),
                               QStringLiteral("Intervals"), QStringLiteral("Members")};
    for (int i = 0; i < refused.size(); ++i) {
        const CtlResult r = Call(refused.at(i));
        EXPECT_EQ(r.exitCode, 2) << r.describe().toStdString();
        EXPECT_TRUE(r.errText().contains(named.at(i))) << r.describe().toStdString();
    }
    EXPECT_FALSE(m_sim.stderrText().contains(" RX ")) << "something reached the controller";

    // The name matches in any case; JSON carries the operation's own spelling.
    const CtlResult reset = Ctl({QStringLiteral("--json"), QStringLiteral("call"), QStringLiteral("resetcontroller")});
    ASSERT_EQ(reset.exitCode, 0) << reset.describe().toStdString();
    bool ok = false;
    EXPECT_EQ(reset.onlyObject(&ok), (QJsonObject{{QStringLiteral("command"), QStringLiteral("call")},
                                                  {QStringLiteral("ok"), true},
                                                  {QStringLiteral("operation"), QStringLiteral("ResetController")},
                                                  {QStringLiteral("result"), 1},
                                                  {QStringLiteral("status"), 0},
                                                  {QStringLiteral("out"), QJsonObject{}}}));

    const CtlResult list = Call({QStringLiteral("--list")});
    ASSERT_EQ(list.exitCode, 0) << list.describe().toStdString();
    EXPECT_EQ(list.outText().count(QLatin1Char('\n')), 68); // every operation of the component, one line each
    EXPECT_TRUE(list.outText().contains(QStringLiteral("\nSendTimeZone Zone: byte, Count: integer, Intervals: list\n")));
}

TEST_F(CtlAccess, DoorOpenedAndForcedShowsInItsStatus)
{
    StartSim();
    for (const auto &[action, state] : {std::pair{"open", 1}, std::pair{"force-close", 5}, std::pair{"resume", 0}}) {
        const CtlResult acted = Ctl({QStringLiteral("door"), QStringLiteral("2"), QLatin1String(action)});
        ASSERT_EQ(acted.exitCode, 0) << acted.describe().toStdString();
        const CtlResult status = Ctl({QStringLiteral("door"), QStringLiteral("2"), QStringLiteral("status")});
        ASSERT_EQ(status.exitCode, 0) << status.describe().toStdString();
        EXPECT_EQ(status.outText(), QStringLiteral("Door 2 state: %1\n").arg(state)) << action;
    }
}

TEST_F(CtlAccess, TimeZoneReachesTheSlotMapAndAFailedFrameStopsIt)
{
    StartSim(WithState({QStringLiteral("--fail-frame"), QStringLiteral("0x0E:5")}));
    // 08:00 to 17:00 covers the slots 96 to 204.
    const CtlResult zone = Call({QStringLiteral("SendTimeZone"), QStringLiteral("3"), QStringLiteral("1"),
                                 QStringLiteral("480,1020")});
    ASSERT_EQ(zone.exitCode, 0) << zone.describe().toStdString();
    // The second zone's second frame is refused: its third is never sent.
    const CtlResult failed = Call({QStringLiteral("SendTimeZone"), QStringLiteral("4"), QStringLiteral("1"),
                                   QStringLiteral("0,1439")});
    EXPECT_EQ(failed.exitCode, 1) << failed.describe().toStdString();
    EXPECT_EQ(failed.outText(), QStringLiteral("result: 0\n"));

    const QString expected = QString(24, QLatin1Char('0')) + QString(26, QLatin1Char('F')) + QStringLiteral("F8") +
                             QString(20, QLatin1Char('0'));
    const QJsonArray zones = StateAfterStop().value(QStringLiteral("time_zones")).toArray();
    ASSERT_FALSE(zones.isEmpty());
    EXPECT_EQ(zones.at(0).toObject().value(QStringLiteral("zone")).toInt(), 3);
    EXPECT_EQ(zones.at(0).toObject().value(QStringLiteral("map")).toString(), expected);
    EXPECT_EQ(m_sim.stderrText().count("RX 33 01 0E 0E 04 02"), 0) << "frame part 2 of zone 4 was sent";
}

TEST_F(CtlAccess, MemoryWrittenIsReadBackByteAndBlock)
{
    StartSim();
    const CtlResult written = Call({QStringLiteral("DirectWriteByteXRAM"), QStringLiteral("0x1234"), QStringLiteral("126")});
    ASSERT_EQ(written.exitCode, 0) << written.describe().toStdString();
    const CtlResult byte = Call({QStringLiteral("DirectReadByteXRAM"), QStringLiteral("0x1234")});
    ASSERT_EQ(byte.exitCode, 0) << byte.describe().toStdString();
    EXPECT_EQ(byte.outText(), QStringLiteral("result: true\nValue: 126\n"));

    const CtlResult block = Ctl({QStringLiteral("--json"), QStringLiteral("call"), QStringLiteral("DirectReadBlockXRAM"),
                                 QStringLiteral("0x1200")});
    ASSERT_EQ(block.exitCode, 0) << block.describe().toStdString();
    bool ok = false;
    const QString bytes = block.onlyObject(&ok).value(QStringLiteral("out")).toObject().value(QStringLiteral("Buffer")).toString();
    ASSERT_EQ(bytes.size(), 128) << block.describe().toStdString();
    EXPECT_EQ(bytes.mid(0x34 * 2, 2), QStringLiteral("7E"));
}

#endif

} // namespace
