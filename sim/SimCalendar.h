#pragma once
// A controller's calendar and group settings: time zones (a day map of 288
// five-minute slots, loaded in three frames), time tables, holidays, the
// PIN-disable and automatic door tables, anti-passback entries, groups (loaded
// in two halves), car-park entries and the lifts' floor open times.
#include "sim/SimReply.h"

#include <QJsonObject>
#include <QStringList>

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace nsim {

class SimCalendar {
public:
    static constexpr int kMapBytes = 36;  // 288 slots of five minutes
    static constexpr int kFloors = 80;    // the larger lift
    static constexpr int kHolidayMax = 256;

    // The reply to a request of the calendar and group codes; nothing for other codes.
    std::optional<Reply> handle(std::uint8_t code, const QByteArray &data);

    void addState(QJsonObject &o) const;

    // The runs of set slots of a day map, as "HH:MM-HH:MM" with the last minute
    // of the last slot: slots 96 to 204 read "08:00-17:04".
    static QStringList intervals(const QByteArray &map);

private:
    struct Group {
        std::uint16_t value = 0;
        QByteArray members = QByteArray(16, '\0');
    };
    using Pair = std::pair<std::uint8_t, std::uint8_t>; // byte A, byte B

    std::map<std::uint8_t, QByteArray> m_zones;      // zone -> day map
    std::map<std::uint8_t, QByteArray> m_timeTables; // index -> 11 bytes
    std::vector<QByteArray> m_holidays;              // 4 bytes each, in the order received
    QByteArray m_pinDisable, m_autoOpen, m_autoForceClose; // 16 bytes each
    std::map<std::uint16_t, Pair> m_antiPassBack;
    std::map<std::uint8_t, Group> m_groups;
    std::map<std::uint8_t, Pair> m_carParkGroups;
    std::map<std::uint16_t, Pair> m_carParkNumbers;
    std::map<std::uint8_t, std::pair<QByteArray, int>> m_lifts; // unit -> floor seconds, floors written
};

} // namespace nsim
