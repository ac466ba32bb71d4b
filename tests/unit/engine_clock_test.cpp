// Clock commands against a scripted link: plain binary date fields, the two
// weekday conventions, the daylight-saving year byte, and reading the clock.
#include "common/Errors.h"
#include "tests/support/FakeLink.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <ctime>

using norvik::ScopedSleeper;
using norvik::test::FakeLink;
using norvik::test::Hex;
using Bytes = FakeLink::Bytes;
using Calls = std::vector<std::string>;

namespace {

QDateTime At(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

// The request's data bytes (after the 4-byte header, without the checksum).
std::string DataOf(const Bytes &frame)
{
    return Hex(Bytes(frame.begin() + 4, frame.end() - 1));
}

Bytes ClockReply(std::uint8_t y, std::uint8_t mo, std::uint8_t d, std::uint8_t h, std::uint8_t mi, std::uint8_t s)
{
    return FakeLink::Frame(1, 0x43, {0x43, y, mo, d, h, mi, s});
}

} // namespace

TEST(EngineClock, SendTimeDropsMillisecondsAndCountsWeekdaysFromSunday)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(FakeLink::Ack(1, 0x01, 0));
    EXPECT_EQ(link.SendTime(At(2005, 3, 9, 14, 5, 30, 999)), 1); // a Wednesday
    EXPECT_EQ(Hex(link.sent.at(0)), "33 01 01 07 05 03 09 0E 05 1E 03 81");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));

    link.QueueReply(FakeLink::Ack(1, 0x01, 0));
    link.SendTime(At(2005, 3, 13, 0, 0)); // Sunday
    EXPECT_EQ(DataOf(link.sent.back()), "05 03 0D 00 00 00 00");
    link.QueueReply(FakeLink::Ack(1, 0x01, 0));
    link.SendTime(At(2005, 3, 12, 23, 59, 59)); // Saturday
    EXPECT_EQ(DataOf(link.sent.back()), "05 03 0C 17 3B 3B 06");
    link.QueueReply(FakeLink::Ack(1, 0x01, 0));
    link.SendTime(At(2005, 3, 7, 8, 0)); // Monday
    EXPECT_EQ(DataOf(link.sent.back()), "05 03 07 08 00 00 01");
}

TEST(EngineClock, SendTimeResults)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(FakeLink::Ack(1, 0x01, 1));
    EXPECT_EQ(link.SendTime(At(2005, 3, 9, 14, 5)), 0);
    link.QueueSilence();
    EXPECT_EQ(link.SendTime(At(2005, 3, 9, 14, 5)), -1);
    link.QueueReplyCount(6, FakeLink::Ack(1, 0x01, 0));
    EXPECT_EQ(link.SendTime(At(2005, 3, 9, 14, 5)), -1);

    // Years outside 2000..2255 go out as the low byte of year - 2000.
    link.QueueSilence();
    link.SendTime(At(1999, 12, 31, 23, 0));
    EXPECT_EQ(DataOf(link.sent.back()).substr(0, 2), "FF");

    // A null date-time is refused without touching the link.
    link.calls.clear();
    EXPECT_EQ(link.SendTime(QDateTime()), -1);
    EXPECT_TRUE(link.calls.empty());
}

TEST(EngineClock, SendPCTimeSendsTheCurrentLocalTime)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(FakeLink::Ack(1, 0x01, 0));
    const QDateTime before = QDateTime::currentDateTime();
    EXPECT_EQ(link.SendPCTime(), 1);
    const QDateTime after = QDateTime::currentDateTime();
    const Bytes &frame = link.sent.at(0);
    ASSERT_EQ(frame.size(), 12u);
    EXPECT_EQ(frame[2], 0x01);
    const QDateTime sent(QDate(frame[4] + 2000, frame[5], frame[6]), QTime(frame[7], frame[8], frame[9]));
    const QDateTime floorBefore = before.addMSecs(-before.time().msec());
    EXPECT_GE(sent, floorBefore);
    EXPECT_LE(sent, after);
    EXPECT_EQ(frame[10], sent.date().dayOfWeek() % 7);
}

TEST(EngineClock, DaylightSavingSendsBothMomentsAndWaitsByRuleB)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    const QDateTime time1 = At(2006, 3, 26, 2, 0, 45); // seconds are not sent
    const QDateTime time2 = At(2006, 10, 29, 3, 0);    // a Sunday: 7, not 0
    link.QueueReply(FakeLink::Ack(1, 0x39, 0));
    EXPECT_EQ(link.SendSetSummerTime(time1, time2), 1);
    EXPECT_EQ(Hex(link.sent.back()).substr(0, 12), "33 01 39 0C ");
    EXPECT_EQ(DataOf(link.sent.back()), "01 06 03 1A 02 00 D6 0A 1D 07 03 00");
    link.QueueReply(FakeLink::Ack(1, 0x39, 0));
    EXPECT_EQ(link.SendSetWinterTime(time1, time2), 1);
    // SendAfterSleep 0: no pause for either (unlike the transaction reads' 50 ms).
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame", "SendFrame", "ReceiveFrame"}));

    link.calls.clear();
    link.SetSendAfterSleep(80);
    link.QueueReply(FakeLink::Ack(1, 0x39, 2));
    EXPECT_EQ(link.SendSetWinterTime(time1, time2), 0);
    EXPECT_EQ(DataOf(link.sent.back()), "00 06 03 1A 02 00 D6 0A 1D 07 03 00");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "Sleep 80", "ReceiveFrame"}));

    link.calls.clear();
    link.SetSendAfterSleep(-1);
    EXPECT_EQ(link.SendSetSummerTime(time1, At(2007, 1, 1, 0, 0)), -1); // silence
    EXPECT_EQ(DataOf(link.sent.back()), "01 06 03 1A 02 00 D7 01 01 01 00 00");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));

    link.calls.clear();
    EXPECT_EQ(link.SendSetWinterTime(QDateTime(), time2), -1);
    EXPECT_EQ(link.SendSetSummerTime(time1, QDateTime()), -1);
    EXPECT_TRUE(link.calls.empty());
}

TEST(EngineClock, ReadingTheClock)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(ClockReply(0x05, 0x0C, 0x1F, 0x17, 0x3B, 0x3B));
    EXPECT_EQ(link.GetControllerDateTime(), At(2005, 12, 31, 23, 59, 59));
    EXPECT_EQ(Hex(link.sent.at(0)), "33 01 43 00 77");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));

    // Any other count gives the fixed fallback moment.
    const QDateTime fallback = At(2001, 1, 1, 0, 0);
    link.QueueReply(FakeLink::Ack(1, 0x43, 0));
    EXPECT_EQ(link.GetControllerDateTime(), fallback);
    link.QueueSilence();
    EXPECT_EQ(link.GetControllerDateTime(), fallback);
    link.QueueReplyCount(13, ClockReply(0x05, 0x0C, 0x1F, 0x17, 0x3B, 0x3B));
    EXPECT_EQ(link.GetControllerDateTime(), fallback);
}

TEST(EngineClock, AnImpossibleClockRaisesADateError)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    struct Row {
        Bytes reply;
        const char *message;
    };
    const Row rows[] = {
        {ClockReply(5, 13, 1, 10, 0, 0), "Invalid date: 2005-13-01 10:00:00"},
        {ClockReply(5, 4, 31, 10, 0, 0), "Invalid date: 2005-04-31 10:00:00"},
        {ClockReply(5, 2, 29, 10, 0, 0), "Invalid date: 2005-02-29 10:00:00"},
        {ClockReply(5, 0, 1, 10, 0, 0), "Invalid date: 2005-00-01 10:00:00"},
        {ClockReply(5, 1, 1, 24, 0, 0), "Invalid date: 2005-01-01 24:00:00"},
        {ClockReply(5, 1, 1, 0, 60, 0), "Invalid date: 2005-01-01 00:60:00"},
        {ClockReply(5, 1, 1, 0, 0, 60), "Invalid date: 2005-01-01 00:00:60"},
    };
    for (const Row &row : rows) {
        link.QueueReply(row.reply);
        try {
            const QDateTime value = link.GetControllerDateTime();
            ADD_FAILURE() << "returned " << value.toString().toStdString() << " for " << row.message;
        } catch (const norvik::EDateError &e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
    // A leap day is a real date.
    link.QueueReply(ClockReply(8, 2, 29, 0, 0, 0));
    EXPECT_EQ(link.GetControllerDateTime(), At(2008, 2, 29, 0, 0));
}

// The host's zone is process-wide: switched for one test, then restored.
class ZoneGuard {
public:
    explicit ZoneGuard(const char *zone) : m_old(qgetenv("TZ")), m_had(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneGuard()
    {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray m_old;
    bool m_had;
};

// The hour that the local time skips in spring (Berlin 2006-03-26, 02:00 -> 03:00):
// a controller reading inside it keeps its fields and is a valid time, and
// moments inside it are still sent as their own wall-clock values.
TEST(EngineClock, TheSkippedHourOfTheLocalZone)
{
    ZoneGuard zone("Europe/Berlin");
    if (QDateTime(QDate(2006, 3, 26), QTime(2, 30)).isValid())
        GTEST_SKIP() << "no time-zone data for Europe/Berlin on this host";
    FakeLink link;
    link.QueueReply(ClockReply(6, 3, 26, 2, 30, 0));
    link.QueueReply(ClockReply(6, 3, 26, 1, 59, 59));
    const QDateTime inGap = link.GetControllerDateTime();
    const QDateTime beforeGap = link.GetControllerDateTime();
    ASSERT_TRUE(inGap.isValid());
    EXPECT_EQ(inGap.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), QStringLiteral("2006-03-26 02:30:00"));
    EXPECT_EQ(beforeGap.time(), QTime(1, 59, 59));
    EXPECT_EQ(beforeGap.secsTo(inGap), 30 * 60 + 1);

    // The summer switch itself falls in the skipped hour.
    const QDateTime time1(QDate(2006, 3, 26), QTime(2, 0));
    const QDateTime time2(QDate(2006, 10, 29), QTime(3, 0));
    link.QueueReply(FakeLink::Ack(1, 0x39, 0));
    ASSERT_EQ(link.SendSetSummerTime(time1, time2), 1);
    EXPECT_EQ(DataOf(link.sent.back()), "01 06 03 1A 02 00 D6 0A 1D 07 03 00");
    link.QueueReply(FakeLink::Ack(1, 0x01, 0));
    ASSERT_EQ(link.SendTime(QDateTime(QDate(2006, 3, 26), QTime(2, 30, 15))), 1);
    EXPECT_EQ(DataOf(link.sent.back()), "06 03 1A 02 1E 0F 00");
}
