#include "sim/SimAccess.h"

#include <QJsonArray>

#include <algorithm>

namespace nsim {

namespace {

constexpr std::uint8_t kDelivered = 1;

// First date earlier than the second (year, month, day; one byte each).
bool dateBefore(const QByteArray &a, const QByteArray &b)
{
    for (int i = 0; i < 3; ++i)
        if (u8(a, i) != u8(b, i))
            return u8(a, i) < u8(b, i);
    return false;
}

// "yymmdd", the way the host writes card dates.
QString dateText(const QByteArray &d)
{
    return QStringLiteral("%1%2%3")
        .arg(u8(d, 0), 2, 10, QLatin1Char('0'))
        .arg(u8(d, 1), 2, 10, QLatin1Char('0'))
        .arg(u8(d, 2), 2, 10, QLatin1Char('0'));
}

QString timeText(const QByteArray &t, int from = 0)
{
    return QStringLiteral("%1:%2:%3")
        .arg(u8(t, from), 2, 10, QLatin1Char('0'))
        .arg(u8(t, from + 1), 2, 10, QLatin1Char('0'))
        .arg(u8(t, from + 2), 2, 10, QLatin1Char('0'));
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

Reply wrongLength(std::uint8_t code, const char *what)
{
    return ackReply(code, stBadData, QStringLiteral("%1: wrong length").arg(QLatin1String(what)));
}

} // namespace

SimAccess::SimAccess(int cardBytes, std::uint16_t recordMax, std::uint16_t cardMax)
    : m_cardBytes(cardBytes), m_recordMax(recordMax), m_cardMax(cardMax)
{
}

std::optional<Reply> SimAccess::handle(std::uint8_t code, const QByteArray &data)
{
    switch (code) {
    case 0x22:
        m_recordsInUse = true;
        if (!data.isEmpty())
            return wrongLength(code, "transaction read");
        return readTransaction();
    case 0x40:
        m_recordsInUse = true;
        return readByIndex(data);
    case 0xFF:
        if (data.isEmpty() || u8(data, 0) != 0x22)
            return std::nullopt;
        m_recordsInUse = true;
        return confirmTransaction(data);
    case 0x24:
    case 0x34:
    case 0x25:
    case 0x31:
    case 0x32:
    case 0x52:
    case 0x53:
        m_cardsInUse = true;
        return storeCard(code, data);
    case 0x41:
    case 0x4D:
    case 0x4F:
    case 0x57:
        return specialCard(code, data);
    default:
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- transactions

void SimAccess::fill(int count, const QDateTime &now)
{
    m_recordsInUse = true;
    for (int k = 0; k < count; ++k)
        addRecord(now.addSecs(k - (count - 1)));
}

bool SimAccess::addRecord(const QDateTime &when)
{
    m_recordsInUse = true;
    if (m_history.size() >= static_cast<std::size_t>(kHistoryLimit) || m_waiting.size() >= m_recordMax)
        return false;
    const std::size_t k = m_history.size();
    // Deterministic, so that a test knows what record k holds: card 2000000 + k,
    // and in the wider layouts leading bytes C0, C1, ... that show a host that
    // cuts the card number at the wrong place.
    Record r;
    for (int i = 0; i < m_cardBytes - 4; ++i)
        r.card.append(static_cast<char>(0xC0 + i));
    const auto number = static_cast<std::uint32_t>(2000000 + k);
    for (int shift = 24; shift >= 0; shift -= 8)
        r.card.append(static_cast<char>((number >> shift) & 0xFF));
    const int year = std::clamp(when.date().year() - 2000, 0, 255);
    for (int field : {year, when.date().month(), when.date().day(), when.time().hour(), when.time().minute(),
                      when.time().second()})
        r.stamp.append(static_cast<char>(field));
    r.event = static_cast<std::uint8_t>(1 + k % 8);
    m_history.push_back(r);
    m_waiting.insert(k);
    return true;
}

// Card (the last cardWidth bytes), date, time, delivery byte, event byte and the
// record tag: the record's position + 1, high byte first.
QByteArray SimAccess::recordBytes(std::size_t index, int cardWidth, std::uint8_t delivery) const
{
    const Record &r = m_history[index];
    QByteArray out = r.card.right(cardWidth) + r.stamp;
    out.append(static_cast<char>(delivery));
    out.append(static_cast<char>(r.event));
    const std::size_t tag = index + 1;
    out.append(static_cast<char>(tag >> 8));
    out.append(static_cast<char>(tag & 0xFF));
    return out;
}

Reply SimAccess::readTransaction()
{
    if (m_waiting.empty())
        return echoReply(0x22, QByteArray(m_cardBytes + 10, '\0'), QStringLiteral("no record waiting"));
    const std::size_t index = *m_waiting.begin();
    // The record stays waiting until the host confirms it: a reply lost on the
    // way brings the same record again.
    return echoReply(0x22, recordBytes(index, m_cardBytes, kDelivered),
                     QStringLiteral("record %1 sent, waiting for its confirmation").arg(index));
}

Reply SimAccess::confirmTransaction(const QByteArray &data)
{
    if (data.size() != 3)
        return noReply(QStringLiteral("record confirmation of wrong length, ignored"));
    const std::uint16_t tag = be16At(data, 1);
    const auto found = m_waiting.find(static_cast<std::size_t>(tag) - 1);
    if (tag == 0 || found == m_waiting.end())
        return noReply(QStringLiteral("confirmation of tag %1: no such record waiting").arg(tag, 4, 16, QLatin1Char('0')));
    m_waiting.erase(found);
    return noReply(QStringLiteral("record %1 confirmed and taken off the queue").arg(tag - 1));
}

Reply SimAccess::readByIndex(const QByteArray &data)
{
    if (data.size() != 2)
        return wrongLength(0x40, "record by index");
    const std::uint16_t index = be16At(data, 0);
    if (index >= m_history.size())
        return ackReply(0x40, stNotFound, QStringLiteral("no record %1").arg(index));
    // Always the 4-byte card layout, whatever width the readers deliver.
    return echoReply(0x40, recordBytes(index, 4, kDelivered));
}

// ---------------------------------------------------------------- card lists

Reply SimAccess::storeCard(std::uint8_t code, const QByteArray &data)
{
    const auto n = data.size();
    Card c;
    switch (code) {
    case 0x24:
    case 0x34:
        if (n != 19 && n != 21 && n != 24 && n != 29)
            return wrongLength(code, "sorted card");
        return storeRecordCard(code, data, true);
    case 0x25:
        if (n != 17 && n != 19 && n != 22 && n != 27)
            return wrongLength(code, "unsorted card");
        return storeRecordCard(code, data, false);
    case 0x31: // index, 16 bytes
    case 0x52: // index, 16 or 26 characters
        if (code == 0x31 ? n != 18 : (n != 18 && n != 28))
            return wrongLength(code, "sorted card");
        c.form = code == 0x31 ? 'B' : 'C';
        c.extra = data.mid(2);
        return store(code, be16At(data, 0), c, false);
    case 0x32: // card (5), 16 bytes
    case 0x53: // card (5), 16 or 26 characters
        if (code == 0x32 ? n != 21 : (n != 21 && n != 31))
            return wrongLength(code, "unsorted card");
        c.form = code == 0x32 ? 'B' : 'C';
        c.card = data.left(5);
        c.extra = data.mid(5);
        return store(code, std::nullopt, c, false);
    default:
        return ackReply(code, stUnknownCommand);
    }
}

// The 17-byte card record (after the index of a sorted frame), then the D, E or
// F/H extra bytes: told apart by their count (0, 2, 5 or 10).
Reply SimAccess::storeRecordCard(std::uint8_t code, const QByteArray &data, bool sorted)
{
    const int off = sorted ? 2 : 0;
    const QByteArray rec = data.mid(off, 17);
    Card c;
    c.extra = data.mid(off + 17);
    c.form = c.extra.isEmpty() ? 'A' : c.extra.size() == 2 ? 'E' : c.extra.size() == 5 ? 'D' : 'F';
    c.flagged = code == 0x34;
    c.hasRecord = true;
    c.code = be16At(rec, 9);
    c.end = rec.mid(14, 3);
    if (c.form != 'A' || m_cardBytes == 4) {
        c.card = rec.left(5);
        c.zones = rec.mid(5, 4);
        c.start = rec.mid(11, 3);
    } else {
        // Wide card numbers spread over the record: the start-date field carries
        // bytes 5 to 7 of the 12-byte number, the top byte byte 4 (8 and 12 bytes),
        // the zone field bytes 0 to 3 (12 bytes).
        c.card = rec.mid(11, 3) + rec.mid(1, 4);
        if (m_cardBytes >= 8)
            c.card.prepend(rec[0]);
        if (m_cardBytes == 12)
            c.card.prepend(rec.mid(5, 4));
        else
            c.zones = rec.mid(5, 4);
    }
    // A card written back with an end date before its start date is taken out.
    // Where the start-date field carries card bytes, the host's deletion still
    // sends the end date 2000-01-01: an end date before 2000-01-02 counts there.
    static const QByteArray deletionStart("\x00\x01\x02", 3);
    const bool remove = dateBefore(c.end, c.start.isEmpty() ? deletionStart : c.start);
    return store(code, sorted ? std::optional<std::uint16_t>(be16At(data, 0)) : std::nullopt, c, remove);
}

Reply SimAccess::store(std::uint8_t code, std::optional<std::uint16_t> index, Card card, bool remove)
{
    const QString name = index ? QStringLiteral("sorted card %1").arg(*index)
                               : QStringLiteral("card %1").arg(hexText(card.card));
    const bool known = index ? m_sorted.count(*index) > 0 : m_unsorted.count(card.card) > 0;
    if (remove) {
        if (index)
            m_sorted.erase(*index);
        else
            m_unsorted.erase(card.card);
        return ackReply(code, stOK, name + (known ? QStringLiteral(" deleted") : QStringLiteral(" was not in the list")));
    }
    if (!known && m_sorted.size() + m_unsorted.size() >= m_cardMax)
        return ackReply(code, stFull, QStringLiteral("%1 refused: the lists hold %2 cards").arg(name).arg(m_cardMax));
    if (index)
        m_sorted[*index] = std::move(card);
    else
        m_unsorted[card.card] = std::move(card);
    return ackReply(code, stOK, name + (known ? QStringLiteral(" replaced") : QStringLiteral(" stored")));
}

// ---------------------------------------------------------------- special cards

Reply SimAccess::specialCard(std::uint8_t code, const QByteArray &data)
{
    const auto n = data.size();
    switch (code) {
    case 0x57: {
        if (n != 18)
            return wrongLength(code, "individual card");
        m_individual[be16At(data, 0)] = {data.mid(2, 4), be16At(data, 6), u8(data, 8), data.mid(9, 3),
                                         data.mid(12, 3), data.mid(15, 3)};
        return ackReply(code);
    }
    case 0x4D: {
        if (n != 10)
            return wrongLength(code, "emergency card");
        const std::uint8_t slot = u8(data, 0);
        const char letter = data[1];
        const QByteArray digits = data.mid(2, 8);
        if (letter == 'C') {
            m_emergency.erase(slot);
            return ackReply(code, stOK, QStringLiteral("emergency slot %1 cleared").arg(slot));
        }
        if ((letter != 'L' && letter != 'A') || !std::all_of(digits.begin(), digits.end(), isHexDigit))
            return ackReply(code, stBadData, QStringLiteral("emergency card: neither L, A nor C, or not hexadecimal"));
        m_emergency[slot] = {digits.toUpper(), letter == 'L'};
        return ackReply(code);
    }
    case 0x4F:
        if (n != 6 || u8(data, 0) != 0)
            return ackReply(code, stBadData, QStringLiteral("card ID mask: wrong length or lead byte"));
        m_mask = std::make_pair(data.mid(1, 4), u8(data, 5));
        return ackReply(code);
    case 0x41:
        if (n != 5)
            return wrongLength(code, "card option");
        if (u8(data, 0) == 1 && u8(data, 4) <= 1) {
            m_allowAnyCard = u8(data, 4) == 1;
            return ackReply(code);
        }
        if (u8(data, 0) == 2) {
            m_presentCardDelay = static_cast<std::uint16_t>(u8(data, 1) | u8(data, 2) << 8); // low byte first
            return ackReply(code);
        }
        return ackReply(code, stBadData, QStringLiteral("card option %1 unknown or out of range").arg(u8(data, 0)));
    default:
        return ackReply(code, stUnknownCommand);
    }
}

// ---------------------------------------------------------------- state

void SimAccess::addState(QJsonObject &o) const
{
    o[QStringLiteral("card_bytes")] = m_cardBytes;

    QJsonArray waiting, delivered;
    for (std::size_t i = 0; i < m_history.size(); ++i) {
        const Record &r = m_history[i];
        QJsonObject j;
        j[QStringLiteral("index")] = static_cast<qint64>(i);
        j[QStringLiteral("tag")] = QStringLiteral("%1").arg(i + 1, 4, 16, QLatin1Char('0')).toUpper();
        j[QStringLiteral("card")] = hexText(r.card);
        j[QStringLiteral("date")] = QStringLiteral("%1-%2-%3")
                                        .arg(2000 + u8(r.stamp, 0))
                                        .arg(u8(r.stamp, 1), 2, 10, QLatin1Char('0'))
                                        .arg(u8(r.stamp, 2), 2, 10, QLatin1Char('0'));
        j[QStringLiteral("time")] = timeText(r.stamp, 3);
        j[QStringLiteral("event")] = r.event;
        (m_waiting.count(i) ? waiting : delivered).append(j);
    }
    QJsonObject transactions;
    transactions[QStringLiteral("waiting")] = waiting;
    transactions[QStringLiteral("delivered")] = delivered;
    o[QStringLiteral("transactions")] = transactions;

    auto cardJson = [](const Card &c) {
        QJsonObject j;
        j[QStringLiteral("form")] = QString(QLatin1Char(c.form));
        if (!c.card.isEmpty())
            j[QStringLiteral("card")] = hexText(c.card);
        if (c.card.size() == 5) { // top byte and 32-bit number: the decimal card number of the 4-byte layout
            qint64 number = 0;
            for (int i = 0; i < 5; ++i)
                number = number << 8 | u8(c.card, i);
            j[QStringLiteral("number")] = number;
        }
        if (c.hasRecord) {
            j[QStringLiteral("flagged")] = c.flagged;
            if (!c.zones.isEmpty())
                j[QStringLiteral("zones")] = hexText(c.zones);
            j[QStringLiteral("code")] = c.code;
            if (!c.start.isEmpty())
                j[QStringLiteral("start")] = dateText(c.start);
            j[QStringLiteral("end")] = dateText(c.end);
        }
        if (!c.extra.isEmpty())
            j[QStringLiteral("extra")] = hexText(c.extra);
        return j;
    };
    QJsonArray sorted, unsorted;
    for (const auto &[index, card] : m_sorted) {
        QJsonObject j = cardJson(card);
        j[QStringLiteral("index")] = index;
        sorted.append(j);
    }
    for (const auto &entry : m_unsorted)
        unsorted.append(cardJson(entry.second));
    o[QStringLiteral("sorted_cards")] = sorted;
    o[QStringLiteral("unsorted_cards")] = unsorted;

    QJsonArray individual;
    for (const auto &[index, ind] : m_individual) {
        QJsonObject j;
        j[QStringLiteral("index")] = index;
        j[QStringLiteral("card")] = hexText(ind.card);
        j[QStringLiteral("all_cards")] = ind.card == QByteArray(4, '\xFF');
        j[QStringLiteral("number")] = ind.number;
        j[QStringLiteral("value")] = ind.value;
        j[QStringLiteral("date")] = dateText(ind.date);
        j[QStringLiteral("first")] = timeText(ind.first);
        j[QStringLiteral("second")] = timeText(ind.second);
        individual.append(j);
    }
    o[QStringLiteral("individual_cards")] = individual;

    QJsonArray emergency;
    for (const auto &[slot, e] : m_emergency) {
        QJsonObject j;
        j[QStringLiteral("slot")] = slot;
        j[QStringLiteral("card")] = QString::fromLatin1(e.card);
        j[QStringLiteral("lock")] = e.lock;
        emergency.append(j);
    }
    o[QStringLiteral("emergency_cards")] = emergency;

    if (m_mask) {
        QJsonObject j;
        j[QStringLiteral("mask")] = hexText(m_mask->first);
        j[QStringLiteral("value")] = m_mask->second;
        o[QStringLiteral("card_mask")] = j;
    } else {
        o[QStringLiteral("card_mask")] = QJsonValue::Null;
    }
    QJsonObject options;
    options[QStringLiteral("allow_any_card")] = m_allowAnyCard;
    options[QStringLiteral("present_card_delay")] = m_presentCardDelay;
    o[QStringLiteral("card_options")] = options;
}

} // namespace nsim
