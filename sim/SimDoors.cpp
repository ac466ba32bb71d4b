#include "sim/SimDoors.h"

#include <QJsonArray>

namespace nsim {

namespace {

bool validDoor(int door)
{
    return door >= 1 && door <= SimDoors::kDoors;
}

Reply wrongLength(std::uint8_t code, const char *what)
{
    return ackReply(code, stBadData, QStringLiteral("%1: wrong length").arg(QLatin1String(what)));
}

Reply noSuchDoor(std::uint8_t code, int door)
{
    return ackReply(code, stNotFound, QStringLiteral("no door %1 (doors 1 to %2)").arg(door).arg(SimDoors::kDoors));
}

} // namespace

SimDoors::SimDoors() : m_xram(kXramSize, 0), m_xramWritten(kXramSize, false) {}

std::optional<Reply> SimDoors::handle(std::uint8_t code, const QByteArray &data)
{
    const auto n = data.size();
    const int door = n > 0 ? u8(data, 0) : 0;
    switch (code) {
    case 0x09:
        return output(data);
    case 0x0A:
    case 0x0B:
    case 0x0C: {
        if (n != 1)
            return wrongLength(code, "door mode");
        if (!validDoor(door))
            return noSuchDoor(code, door);
        Door &d = m_doors[door - 1];
        d.mode = code == 0x0A ? Mode::ForcedOpen : code == 0x0B ? Mode::ForcedClosed : Mode::Normal;
        d.openUntil = {};
        static const char *const names[] = {"held open", "held closed", "back to normal"};
        return ackReply(code, stOK, QStringLiteral("door %1 %2").arg(door).arg(QLatin1String(names[code - 0x0A])));
    }
    case 0x04: // door, then the open time in seconds, high byte first
        if (n != 3)
            return wrongLength(code, "door open time");
        if (!validDoor(door))
            return noSuchDoor(code, door);
        m_doors[door - 1].openTimeS = be16At(data, 1);
        return ackReply(code);
    case 0x20: {
        if (n != 1)
            return wrongLength(code, "door status");
        if (!validDoor(door))
            return noSuchDoor(code, door);
        QByteArray rest;
        rest.append(static_cast<char>(door));
        rest.append(static_cast<char>(doorStatus(door)));
        return echoReply(code, rest);
    }
    case 0x48: // door, slot, 0, 0, PIN (4 bytes, least significant first), 0
        if (n != 9)
            return wrongLength(code, "door PIN");
        if (!validDoor(door))
            return noSuchDoor(code, door);
        m_doors[door - 1].pins[u8(data, 1)] = static_cast<std::uint32_t>(u8(data, 4)) | u8(data, 5) << 8 |
                                              u8(data, 6) << 16 | static_cast<std::uint32_t>(u8(data, 7)) << 24;
        return ackReply(code);
    case 0x49: // enable, 0, PIN low byte, high byte
        if (n != 4)
            return wrongLength(code, "panic PIN");
        m_panic = std::make_pair(u8(data, 0) != 0, static_cast<std::uint16_t>(u8(data, 2) | u8(data, 3) << 8));
        return ackReply(code);
    case 0x38: // 0, 16 characters
        if (n != 17)
            return wrongLength(code, "display text");
        m_lcdText = data.mid(1, 16);
        return ackReply(code);
    case 0x54: { // 0, 16 characters, display number (two displays a door)
        if (n != 18)
            return wrongLength(code, "door display text");
        const int display = u8(data, 17);
        if (display < 1 || display > 2 * kDoors)
            return ackReply(code, stNotFound, QStringLiteral("no door display %1").arg(display));
        m_doorLcd[static_cast<std::uint8_t>(display)] = data.mid(1, 16);
        return ackReply(code);
    }
    case 0xFF: // confirm frame: 0x54, 0 reads the door display texts back
        if (n < 1 || u8(data, 0) != 0x54)
            return std::nullopt;
        if (n != 2)
            return wrongLength(0x54, "door display read");
        ++m_doorLcdReads;
        return ackReply(0x54);
    case 0x4A:
    case 0x4B:
    case 0x4C:
    case 0x4E:
        return memory(code, data);
    default:
        return std::nullopt;
    }
}

// Output 2d opens door d; output 2r - 1 pulses relay r. The two bytes after it
// are the timing: mode in the top four bits, seconds in the low twelve. A door
// opened with time 0 stays unlocked for its own open time.
Reply SimDoors::output(const QByteArray &data)
{
    if (data.size() != 3)
        return wrongLength(0x09, "output");
    const int out = u8(data, 0);
    const std::uint16_t timing = be16At(data, 1);
    const int seconds = timing & 0x0FFF;
    const auto now = Clock::now();
    if (out % 2 == 0) {
        const int door = out / 2;
        if (!validDoor(door))
            return noSuchDoor(0x09, door);
        Door &d = m_doors[door - 1];
        if (d.mode != Mode::Normal)
            return ackReply(0x09, stForced, QStringLiteral("door %1 is held open or closed").arg(door));
        const int open = seconds > 0 ? seconds : d.openTimeS;
        d.openUntil = now + std::chrono::seconds(open);
        ++d.opens;
        return ackReply(0x09, stOK, QStringLiteral("door %1 opened for %2 s").arg(door).arg(open));
    }
    const int relay = (out + 1) / 2;
    if (relay > kRelays)
        return ackReply(0x09, stNotFound, QStringLiteral("no relay %1 (relays 1 to %2)").arg(relay).arg(kRelays));
    Relay &r = m_relays[relay - 1];
    r.mode = static_cast<std::uint8_t>(timing >> 12);
    r.timeS = static_cast<std::uint16_t>(seconds);
    r.onUntil = now + std::chrono::seconds(seconds);
    ++r.pulses;
    return ackReply(0x09, stOK, QStringLiteral("relay %1 on for %2 s, mode %3").arg(relay).arg(seconds).arg(r.mode));
}

std::optional<std::uint32_t> SimDoors::address(const QByteArray &data)
{
    if (data.size() < 4)
        return std::nullopt;
    return static_cast<std::uint32_t>(u8(data, 0)) | u8(data, 1) << 8 | u8(data, 2) << 16 |
           static_cast<std::uint32_t>(u8(data, 3)) << 24;
}

Reply SimDoors::memory(std::uint8_t code, const QByteArray &data)
{
    const auto n = data.size();
    if (code == 0x4E) { // unit -> the unit and the I/O state as four hexadecimal digits
        if (n != 1)
            return wrongLength(code, "I/O status");
        QByteArray rest(1, data[0]);
        rest += QByteArray::number(ioState(), 16).toUpper().rightJustified(4, '0');
        return echoReply(code, rest);
    }
    if (n != (code == 0x4A ? 5 : 4))
        return wrongLength(code, "memory");
    const std::uint32_t at = *address(data);
    const std::uint32_t span = code == 0x4C ? kBlockSize : 1;
    if (at >= kXramSize || span > kXramSize - at)
        return ackReply(code, stNotFound, QStringLiteral("address %1 beyond the 64 KiB XRAM").arg(at, 0, 16));
    switch (code) {
    case 0x4A:
        m_xram[at] = u8(data, 4);
        m_xramWritten[at] = true;
        return ackReply(code);
    case 0x4B:
        return echoReply(code, QByteArray(1, static_cast<char>(m_xram[at])));
    default: // 0x4C: the block goes out raw, without a frame around it
        return rawReply(QByteArray(reinterpret_cast<const char *>(m_xram.data() + at), kBlockSize),
                        QStringLiteral("64 bytes from %1, unframed").arg(at, 4, 16, QLatin1Char('0')));
    }
}

std::uint8_t SimDoors::doorStatus(int door) const
{
    const Door &d = m_doors[door - 1];
    if (d.mode == Mode::ForcedOpen)
        return kForcedOpen;
    if (d.mode == Mode::ForcedClosed)
        return kForcedClosed;
    return Clock::now() < d.openUntil ? kOpened : kNormal;
}

std::uint16_t SimDoors::ioState() const
{
    const auto now = Clock::now();
    unsigned state = 0;
    for (int r = 0; r < kRelays; ++r)
        if (now < m_relays[r].onUntil)
            state |= 1u << r;
    for (int d = 1; d <= kDoors; ++d)
        if (doorStatus(d) == kOpened || doorStatus(d) == kForcedOpen)
            state |= 1u << (8 + d - 1);
    return static_cast<std::uint16_t>(state);
}

void SimDoors::addState(QJsonObject &o) const
{
    QJsonArray doors;
    for (int d = 1; d <= kDoors; ++d) {
        const Door &door = m_doors[d - 1];
        const std::uint8_t status = doorStatus(d);
        QJsonObject j;
        j[QStringLiteral("door")] = d;
        j[QStringLiteral("state")] = status == kForcedOpen     ? QStringLiteral("forced_open")
                                     : status == kForcedClosed ? QStringLiteral("forced_closed")
                                     : status == kOpened       ? QStringLiteral("opened")
                                                               : QStringLiteral("normal");
        j[QStringLiteral("status_code")] = status;
        j[QStringLiteral("open_time")] = door.openTimeS;
        j[QStringLiteral("opens")] = door.opens;
        QJsonArray pins;
        for (const auto &[slot, pin] : door.pins) {
            QJsonObject p;
            p[QStringLiteral("slot")] = slot;
            p[QStringLiteral("pin")] = static_cast<qint64>(pin);
            pins.append(p);
        }
        j[QStringLiteral("pins")] = pins;
        doors.append(j);
    }
    o[QStringLiteral("doors")] = doors;

    const auto now = Clock::now();
    QJsonArray relays;
    for (int r = 1; r <= kRelays; ++r) {
        const Relay &relay = m_relays[r - 1];
        QJsonObject j;
        j[QStringLiteral("relay")] = r;
        j[QStringLiteral("on")] = now < relay.onUntil;
        j[QStringLiteral("mode")] = relay.mode;
        j[QStringLiteral("time")] = relay.timeS;
        j[QStringLiteral("pulses")] = relay.pulses;
        relays.append(j);
    }
    o[QStringLiteral("relays")] = relays;
    o[QStringLiteral("io_state")] = QString::fromLatin1(QByteArray::number(ioState(), 16).toUpper().rightJustified(4, '0'));

    if (m_panic) {
        QJsonObject j;
        j[QStringLiteral("enabled")] = m_panic->first;
        // Four hexadecimal digits, high byte first: a PIN given as digit text reads as its digits.
        j[QStringLiteral("pin")] = QStringLiteral("%1").arg(m_panic->second, 4, 16, QLatin1Char('0')).toUpper();
        o[QStringLiteral("panic_pin")] = j;
    } else {
        o[QStringLiteral("panic_pin")] = QJsonValue::Null;
    }
    o[QStringLiteral("lcd_text")] = m_lcdText.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString::fromLatin1(m_lcdText));
    QJsonArray displays;
    for (const auto &[display, text] : m_doorLcd) {
        QJsonObject j;
        j[QStringLiteral("display")] = display;
        j[QStringLiteral("text")] = QString::fromLatin1(text);
        displays.append(j);
    }
    o[QStringLiteral("door_lcd_texts")] = displays;
    o[QStringLiteral("door_lcd_reads")] = m_doorLcdReads;

    // Only the bytes ever written, as runs of consecutive addresses: the rest is zero.
    QJsonArray xram;
    for (int a = 0; a < kXramSize;) {
        if (!m_xramWritten[static_cast<std::size_t>(a)]) {
            ++a;
            continue;
        }
        const int first = a;
        while (a < kXramSize && m_xramWritten[static_cast<std::size_t>(a)])
            ++a;
        QJsonObject j;
        j[QStringLiteral("address")] = first;
        j[QStringLiteral("bytes")] = hexText(QByteArray(reinterpret_cast<const char *>(m_xram.data() + first), a - first));
        xram.append(j);
    }
    o[QStringLiteral("xram")] = xram;
}

} // namespace nsim
