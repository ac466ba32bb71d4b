#include "sim/SimCalendar.h"

#include <QJsonArray>
#include <QStringList>

#include <algorithm>

namespace nsim {

namespace {

Reply wrongLength(std::uint8_t code, const char *what)
{
    return ackReply(code, stBadData, QStringLiteral("%1: wrong length").arg(QLatin1String(what)));
}

bool slotSet(const QByteArray &map, int slot)
{
    return (u8(map, slot / 8) & (0x80 >> (slot % 8))) != 0;
}

QString minuteText(int minute)
{
    return QStringLiteral("%1:%2").arg(minute / 60, 2, 10, QLatin1Char('0')).arg(minute % 60, 2, 10, QLatin1Char('0'));
}

QJsonObject pairJson(const char *key, int number, std::pair<std::uint8_t, std::uint8_t> ab)
{
    QJsonObject j;
    j[QLatin1String(key)] = number;
    j[QStringLiteral("a")] = ab.first;
    j[QStringLiteral("b")] = ab.second;
    return j;
}

} // namespace

std::optional<Reply> SimCalendar::handle(std::uint8_t code, const QByteArray &data)
{
    const auto n = data.size();
    switch (code) {
    case 0x0E: { // zone, part 0..2, 12 bytes of the day map
        if (n != 14)
            return wrongLength(code, "time zone");
        const int part = u8(data, 1);
        if (part > 2)
            return ackReply(code, stBadData, QStringLiteral("time zone part %1 (0 to 2)").arg(part));
        QByteArray &map = m_zones[u8(data, 0)];
        if (map.isEmpty())
            map = QByteArray(kMapBytes, '\0');
        map.replace(12 * part, 12, data.mid(2, 12));
        return ackReply(code, stOK, QStringLiteral("time zone %1 part %2").arg(u8(data, 0)).arg(part));
    }
    case 0x0D:
        if (n != 12)
            return wrongLength(code, "time table");
        m_timeTables[u8(data, 0)] = data.mid(1);
        return ackReply(code);
    case 0x10: {
        if (n != 4)
            return wrongLength(code, "holiday");
        if (std::find(m_holidays.begin(), m_holidays.end(), data) != m_holidays.end())
            return ackReply(code, stOK, QStringLiteral("holiday already known"));
        if (static_cast<int>(m_holidays.size()) >= kHolidayMax)
            return ackReply(code, stFull, QStringLiteral("holiday list full"));
        m_holidays.push_back(data);
        return ackReply(code);
    }
    case 0x14:
    case 0x15:
    case 0x45:
        if (n != 16)
            return wrongLength(code, "door or PIN table");
        (code == 0x15 ? m_pinDisable : code == 0x14 ? m_autoOpen : m_autoForceClose) = data;
        return ackReply(code);
    case 0x30: // number (2), byte A, byte B
        if (n != 4)
            return wrongLength(code, "anti-passback");
        m_antiPassBack[be16At(data, 0)] = {u8(data, 2), u8(data, 3)};
        return ackReply(code);
    case 0x0F: { // part flag, group, one byte of the value, 8 members
        if (n != 11)
            return wrongLength(code, "group");
        const int part = u8(data, 0);
        if (part > 1)
            return ackReply(code, stBadData, QStringLiteral("group part %1 (0 or 1)").arg(part));
        // Part 1 carries the value's high byte and members 8 to 15, part 0 the low byte and members 0 to 7.
        Group &g = m_groups[u8(data, 1)];
        g.value = part == 1 ? static_cast<std::uint16_t>(u8(data, 2) << 8 | (g.value & 0xFF))
                            : static_cast<std::uint16_t>((g.value & 0xFF00) | u8(data, 2));
        g.members.replace(part == 1 ? 8 : 0, 8, data.mid(3, 8));
        return ackReply(code, stOK, QStringLiteral("group %1 part %2").arg(u8(data, 1)).arg(part));
    }
    case 0x44: // group, A, B; or number (2), A, B
        if (n == 3)
            m_carParkGroups[u8(data, 0)] = {u8(data, 1), u8(data, 2)};
        else if (n == 4)
            m_carParkNumbers[be16At(data, 0)] = {u8(data, 2), u8(data, 3)};
        else
            return wrongLength(code, "car park");
        return ackReply(code);
    case 0x51: { // unit, part, ten floor open seconds
        if (n != 12)
            return wrongLength(code, "lift");
        const int part = u8(data, 1);
        if (part >= kFloors / 10)
            return ackReply(code, stBadData, QStringLiteral("lift part %1 (0 to 7)").arg(part));
        auto &[floors, written] = m_lifts[u8(data, 0)];
        if (floors.isEmpty())
            floors = QByteArray(kFloors, '\0');
        floors.replace(10 * part, 10, data.mid(2, 10));
        written = std::max(written, 10 * (part + 1));
        return ackReply(code, stOK, QStringLiteral("lift %1 floors %2 to %3").arg(u8(data, 0)).arg(10 * part + 1).arg(10 * part + 10));
    }
    default:
        return std::nullopt;
    }
}

QStringList SimCalendar::intervals(const QByteArray &map)
{
    QStringList out;
    const int slotCount = 8 * static_cast<int>(map.size());
    for (int s = 0; s < slotCount;) {
        if (!slotSet(map, s)) {
            ++s;
            continue;
        }
        const int first = s;
        while (s < slotCount && slotSet(map, s))
            ++s;
        out << minuteText(5 * first) + QLatin1Char('-') + minuteText(5 * s - 1);
    }
    return out;
}

void SimCalendar::addState(QJsonObject &o) const
{
    QJsonArray zones;
    for (const auto &[zone, map] : m_zones) {
        QJsonObject j;
        j[QStringLiteral("zone")] = zone;
        j[QStringLiteral("map")] = hexText(map);
        j[QStringLiteral("intervals")] = QJsonArray::fromStringList(intervals(map));
        zones.append(j);
    }
    o[QStringLiteral("time_zones")] = zones;

    QJsonArray tables;
    for (const auto &[index, bytes] : m_timeTables) {
        QJsonObject j;
        j[QStringLiteral("index")] = index;
        j[QStringLiteral("data")] = hexText(bytes);
        tables.append(j);
    }
    o[QStringLiteral("time_tables")] = tables;

    QJsonArray holidays;
    for (const QByteArray &h : m_holidays)
        holidays.append(hexText(h));
    o[QStringLiteral("holidays")] = holidays;

    auto table = [](const QByteArray &bytes) { return bytes.isEmpty() ? QJsonValue() : QJsonValue(hexText(bytes)); };
    o[QStringLiteral("pin_disable_table")] = table(m_pinDisable);
    o[QStringLiteral("auto_open_table")] = table(m_autoOpen);
    o[QStringLiteral("auto_force_close_table")] = table(m_autoForceClose);

    QJsonArray antiPassBack;
    for (const auto &[number, ab] : m_antiPassBack)
        antiPassBack.append(pairJson("number", number, ab));
    o[QStringLiteral("anti_passback")] = antiPassBack;

    QJsonArray groups;
    for (const auto &[group, g] : m_groups) {
        QJsonObject j;
        j[QStringLiteral("group")] = group;
        j[QStringLiteral("value")] = g.value;
        j[QStringLiteral("members")] = hexText(g.members);
        groups.append(j);
    }
    o[QStringLiteral("groups")] = groups;

    QJsonArray parkGroups, parkNumbers;
    for (const auto &[group, ab] : m_carParkGroups)
        parkGroups.append(pairJson("group", group, ab));
    for (const auto &[number, ab] : m_carParkNumbers)
        parkNumbers.append(pairJson("number", number, ab));
    QJsonObject carPark;
    carPark[QStringLiteral("groups")] = parkGroups;
    carPark[QStringLiteral("numbers")] = parkNumbers;
    o[QStringLiteral("car_park")] = carPark;

    QJsonArray lifts;
    for (const auto &[unit, entry] : m_lifts) {
        QJsonObject j;
        j[QStringLiteral("unit")] = unit;
        j[QStringLiteral("floors")] = hexText(entry.first.left(entry.second));
        lifts.append(j);
    }
    o[QStringLiteral("lift")] = lifts;
}

} // namespace nsim
