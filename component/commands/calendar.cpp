// Calendar commands: time zones (a day map of five-minute slots), time tables,
// holidays, the PIN-disable time table and the automatic door tables.
#include "component/BasicCom.h"

#include "component/commands/Arguments.h"

#include <algorithm>
#include <array>

namespace {

using namespace norvik::args;

constexpr std::uint8_t kCodeTimeTable = 0x0D;
constexpr std::uint8_t kCodeTimeZone = 0x0E;
constexpr std::uint8_t kCodeHoliday = 0x10;
constexpr std::uint8_t kCodeAutoOpenDoor = 0x14;
constexpr std::uint8_t kCodePinDisable = 0x15;
constexpr std::uint8_t kCodeAutoForceCloseDoor = 0x45;

constexpr int kLastMinute = 24 * 60 - 1;
constexpr int kSlotMinutes = 5;
constexpr std::size_t kDayMapBytes = 24 * 60 / kSlotMinutes / 8; // 288 slots, one bit each
constexpr std::size_t kZoneParts = 3;                              // the map goes out in three frames
constexpr std::size_t kPartBytes = kDayMapBytes / kZoneParts;
constexpr std::size_t kTimeTableRecord = 11;
constexpr std::size_t kTableBytes = 16;

using DayMap = std::array<std::uint8_t, kDayMapBytes>;

// Slot k is bit 0x80 >> (k % 8) of byte k / 8. The slot holding the end minute
// belongs to the zone, so 08:00-17:00 still admits at 17:04.
void SetSlots(DayMap &map, int start, int end)
{
    if (start == end)
        return;
    const int first = start / kSlotMinutes;
    const int last = end / kSlotMinutes;
    for (int slot = first; slot <= last; ++slot)
        map[static_cast<std::size_t>(slot / 8)] |= static_cast<std::uint8_t>(0x80 >> (slot % 8));
}

} // namespace

int TBasicCom::SendTimeZone(std::uint8_t zone, int count, const std::vector<int> &intervals)
{
    InRange(count, 0, static_cast<long long>(intervals.size() / 2), "Count");
    for (std::size_t i = 0; i < 2 * static_cast<std::size_t>(count); ++i)
        InRange(intervals[i], 0, kLastMinute, "Intervals", "minute");

    DayMap map{};
    for (std::size_t pair = 0; pair < static_cast<std::size_t>(count); ++pair)
        SetSlots(map, intervals[2 * pair], intervals[2 * pair + 1]);

    int result = 1;
    for (std::size_t part = 0; part < kZoneParts && result == 1; ++part) {
        std::uint8_t data[2 + kPartBytes] = {zone, static_cast<std::uint8_t>(part)};
        std::copy_n(map.begin() + static_cast<std::ptrdiff_t>(part * kPartBytes), kPartBytes, data + 2);
        result = TriStateStatus(Exchange(kCodeTimeZone, data, sizeof data, PauseRuleB()));
    }
    return result;
}

int TBasicCom::SendTimeTable(std::uint8_t index, const std::vector<std::uint8_t> &record)
{
    Exactly(record.size(), kTimeTableRecord, "Record");
    std::uint8_t data[1 + kTimeTableRecord] = {index};
    std::copy(record.begin(), record.end(), data + 1);
    return TriStateStatus(Exchange(kCodeTimeTable, data, sizeof data, PauseRuleB()));
}

int TBasicCom::SendHoliday(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t byte3, std::uint8_t byte4)
{
    const std::uint8_t data[4] = {byte1, byte2, byte3, byte4};
    return TriStateStatus(Exchange(kCodeHoliday, data, 4));
}

int TBasicCom::SendPinDisableTimeTable(const std::vector<std::uint8_t> &table)
{
    Exactly(table.size(), kTableBytes, "Table");
    return TriStateStatus(Exchange(kCodePinDisable, table.data(), static_cast<int>(kTableBytes)));
}

bool TBasicCom::SendAutoOpenDoorTimeTable(const std::vector<int> &byteList)
{
    const std::vector<std::uint8_t> data = ByteEntries(byteList, kTableBytes, "ByteList");
    return BoolStatus(Exchange(kCodeAutoOpenDoor, data.data(), static_cast<int>(data.size())));
}

bool TBasicCom::SendAutoForceCloseDoorTimeTable(const std::vector<int> &byteList)
{
    const std::vector<std::uint8_t> data = ByteEntries(byteList, kTableBytes, "ByteList");
    return BoolStatus(Exchange(kCodeAutoForceCloseDoor, data.data(), static_cast<int>(data.size())));
}
