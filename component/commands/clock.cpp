// Clock commands: setting and reading the controller's real-time clock and
// sending it the two daylight-saving switch moments. The controller keeps one
// plain binary byte per field (not BCD) and counts years from 2000.
#include "component/BasicCom.h"

#include "common/Errors.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

constexpr std::uint8_t kCodeSetTime = 0x01;
constexpr std::uint8_t kCodeDaylightSaving = 0x39;
constexpr std::uint8_t kCodeGetTime = 0x43;

std::uint8_t Low8(int value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

// The clock of the controller counts the weekday 0 = Sunday .. 6 = Saturday.
std::uint8_t SundayBasedWeekday(const QDate &date)
{
    return static_cast<std::uint8_t>(date.dayOfWeek() % 7); // Qt: 1 = Monday .. 7 = Sunday
}

// The daylight-saving table counts it 1 = Monday .. 7 = Sunday.
std::uint8_t MondayBasedWeekday(const QDate &date)
{
    return static_cast<std::uint8_t>(date.dayOfWeek());
}

// Data of the daylight-saving command: byte 0 selects summer (1) or winter (0).
void DaylightSavingData(std::uint8_t (&data)[12], bool summer, const QDateTime &time1, const QDateTime &time2)
{
    const QDate d1 = time1.date();
    const QTime t1 = time1.time();
    const QDate d2 = time2.date();
    const QTime t2 = time2.time();
    // Seconds are not part of a switch moment. The second date carries the low
    // byte of the full year, unlike every other date of the protocol.
    const std::uint8_t bytes[12] = {
        static_cast<std::uint8_t>(summer ? 1 : 0),
        Low8(d1.year() - 2000), Low8(d1.month()), Low8(d1.day()), Low8(t1.hour()), Low8(t1.minute()),
        Low8(d2.year()), Low8(d2.month()), Low8(d2.day()), MondayBasedWeekday(d2), Low8(t2.hour()),
        Low8(t2.minute()),
    };
    std::copy(std::begin(bytes), std::end(bytes), std::begin(data));
}

// Only the wall-clock fields go to the controller, so a moment that the host's
// local time skips (02:00-02:59 on the night daylight saving starts, exactly
// when the summer switch is set) is still sent; only a missing date or time
// is refused.
bool HasFields(const QDateTime &value)
{
    return value.date().isValid() && value.time().isValid();
}

} // namespace

int TBasicCom::SendTime(const QDateTime &dateTime)
{
    if (!HasFields(dateTime))
        return -1;
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    // Milliseconds are dropped, not rounded: 30.999 s goes out as 30.
    const std::uint8_t data[7] = {
        Low8(date.year() - 2000), Low8(date.month()), Low8(date.day()), Low8(time.hour()),
        Low8(time.minute()),      Low8(time.second()), SundayBasedWeekday(date),
    };
    return TriStateStatus(Exchange(kCodeSetTime, data, 7));
}

int TBasicCom::SendPCTime()
{
    return SendTime(QDateTime::currentDateTime());
}

QDateTime TBasicCom::GetControllerDateTime()
{
    if (Exchange(kCodeGetTime, nullptr, 0) != 12) {
        // The fallback for a missing answer; a caller cannot tell it from a
        // controller whose clock really shows this moment.
        return QDateTime(QDate(2001, 1, 1), QTime(0, 0, 0, 0));
    }
    const int year = ReplyBuffer[5] + 2000;
    const int month = ReplyBuffer[6];
    const int day = ReplyBuffer[7];
    const int hour = ReplyBuffer[8];
    const int minute = ReplyBuffer[9];
    const int second = ReplyBuffer[10];
    const QDate date(year, month, day);
    const QTime time(hour, minute, second, 0);
    if (!date.isValid() || !time.isValid()) {
        char text[64];
        std::snprintf(text, sizeof text, "Invalid date: %04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                      minute, second);
        throw norvik::EDateError(text);
    }
    const QDateTime local(date, time);
    if (local.isValid())
        return local;
    // A real reading that the host's local time skips (the hour lost when
    // daylight saving starts): the controller's clock need not have switched.
    // Its fields are what the controller shows and must come back unchanged
    // (02:30 stays 02:30), so the value carries the offset in force before
    // the switch instead of the host's zone, which has no 02:30 that night.
    const int offsetBefore = QDateTime(date.addDays(-1), time).offsetFromUtc();
    return QDateTime(date, time, Qt::OffsetFromUTC, offsetBefore);
}

int TBasicCom::SendDaylightSaving(bool summer, const QDateTime &time1, const QDateTime &time2)
{
    if (!HasFields(time1) || !HasFields(time2))
        return -1;
    std::uint8_t data[12];
    DaylightSavingData(data, summer, time1, time2);
    return TriStateStatus(Exchange(kCodeDaylightSaving, data, 12, PauseRuleB()));
}

int TBasicCom::SendSetSummerTime(const QDateTime &time1, const QDateTime &time2)
{
    return SendDaylightSaving(true, time1, time2);
}

int TBasicCom::SendSetWinterTime(const QDateTime &time1, const QDateTime &time2)
{
    return SendDaylightSaving(false, time1, time2);
}
