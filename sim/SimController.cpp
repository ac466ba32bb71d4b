#include "sim/SimController.h"

#include <QDate>
#include <QJsonArray>
#include <QTime>

namespace nsim {

namespace {

// Where the firmware keeps its identity: what the info reply reports after a download.
constexpr std::uint32_t kTypeCodeAddress = 0x77BA; // big-endian, two bytes
constexpr std::uint32_t kVersionAddress = 0x77BC;  // major, then minor
// The controller's flash ends well below this; a record beyond it is refused.
constexpr std::uint32_t kAddressLimit = 0x1000000;
constexpr int kMaxLineChars = 600;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray be16(std::uint16_t v)
{
    QByteArray out(2, '\0');
    out[0] = static_cast<char>(v >> 8);
    out[1] = static_cast<char>(v & 0xFF);
    return out;
}

std::uint8_t at(const QByteArray &bytes, int i)
{
    return static_cast<std::uint8_t>(bytes[i]);
}

} // namespace

std::uint8_t checksum(const QByteArray &bytes, int count)
{
    unsigned sum = 0;
    for (int i = 0; i < count && i < bytes.size(); ++i)
        sum += static_cast<std::uint8_t>(bytes[i]);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

QByteArray buildFrame(std::uint8_t address, std::uint8_t code, const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size() + 5);
    out.append(static_cast<char>(kStartByte));
    out.append(static_cast<char>(address));
    out.append(static_cast<char>(code));
    out.append(static_cast<char>(data.size()));
    out.append(data);
    out.append(static_cast<char>(checksum(out, static_cast<int>(out.size()))));
    return out;
}

SimController::SimController(const ControllerConfig &config)
    : m_id(config.id), m_sn(config.sn), m_typeCode(config.typeCode), m_version(config.version),
      m_cardMax(config.cardMax), m_recordMax(config.recordMax), m_sortCardCount(config.sortCardCount),
      m_unsortCardCount(config.unsortCardCount), m_recordCount(config.recordCount),
      m_restartOnEnd(config.restartOnEnd), m_access(config.cardBytes, config.recordMax, config.cardMax)
{
    if (config.transactions >= 0)
        m_access.fill(config.transactions, clock());
}

bool SimController::addEvent()
{
    return m_access.addRecord(clock());
}

SimController::Outcome SimController::outcome(const Reply &reply) const
{
    Outcome out;
    out.note = reply.note;
    if (reply.kind == Reply::Framed)
        out.reply = frame(reply.code, reply.data);
    else if (reply.kind == Reply::Raw)
        out.reply = reply.data;
    out.raw = reply.kind == Reply::Raw;
    return out;
}

// An injected failure changes nothing. Commands the controller never answers
// (the SN-addressed ID write, the record confirmation) stay unanswered: an
// answer nobody reads would be taken for the reply to the next request.
SimController::Outcome SimController::failed(std::uint8_t code, const QByteArray &data, const FaultConfig &faults) const
{
    Outcome out;
    const bool unanswered = code == 0x03 || (code == 0xFF && !data.isEmpty() && static_cast<std::uint8_t>(data[0]) == 0x22);
    if (!faults.failSilent && !unanswered)
        out.reply = ack(code, stUnknownCommand);
    out.note = QStringLiteral("frame %1 of code %2 fails (fault): %3")
                   .arg(m_framesReceived.at(code))
                   .arg(code, 2, 16, QLatin1Char('0'))
                   .arg(out.reply ? QStringLiteral("refused") : QStringLiteral("not answered"));
    return out;
}

QDateTime SimController::clock() const
{
    return QDateTime::currentDateTime().addMSecs(m_clockOffsetMs);
}

QByteArray SimController::ack(std::uint8_t code, std::uint8_t status) const
{
    QByteArray data(2, '\0');
    data[0] = static_cast<char>(code);
    data[1] = static_cast<char>(status);
    return frame(code, data);
}

SimController::Outcome SimController::handleFrame(std::uint8_t code, const QByteArray &data,
                                                  const std::function<bool(std::uint8_t)> &idTaken,
                                                  const FaultConfig &faults)
{
    if (m_boot == Boot::Written) {
        Outcome quiet;
        quiet.note = QStringLiteral("download ended: waits for its power to be switched off and on, not answered");
        return quiet;
    }
    const int received = ++m_framesReceived[code];
    if (faults.failFrames.count({code, received})) {
        ++m_framesFailed;
        if (!faults.failAnswerLost)
            return failed(code, data, faults);
        // The frame does its work; only its answer goes missing on the way back.
        Outcome out = act(code, data, idTaken);
        out.reply.reset();
        out.note += QStringLiteral(" (answer lost: fault)");
        return out;
    }
    return act(code, data, idTaken);
}

SimController::Outcome SimController::act(std::uint8_t code, const QByteArray &data,
                                          const std::function<bool(std::uint8_t)> &idTaken)
{
    if (auto reply = m_access.handle(code, data))
        return outcome(*reply);
    if (auto reply = m_doors.handle(code, data))
        return outcome(*reply);
    if (auto reply = m_calendar.handle(code, data))
        return outcome(*reply);

    Outcome out;
    const int n = static_cast<int>(data.size());
    auto refuse = [&](std::uint8_t status, const QString &why) {
        out.reply = ack(code, status);
        out.note = why;
        return out;
    };
    auto echo = [&](const QByteArray &rest) {
        QByteArray d;
        d.append(static_cast<char>(code));
        d.append(rest);
        return frame(code, d);
    };

    switch (code) {
    case 0x01: { // set clock: year-2000, month, day, hour, minute, second, day of week 0..6
        if (n != 7)
            return refuse(stBadData, QStringLiteral("clock: wrong length"));
        const QDate date(2000 + at(data, 0), at(data, 1), at(data, 2));
        const QTime time(at(data, 3), at(data, 4), at(data, 5));
        if (!date.isValid() || !time.isValid() || at(data, 6) > 6)
            return refuse(stBadData, QStringLiteral("clock: impossible date or time"));
        m_clockOffsetMs = QDateTime::currentDateTime().msecsTo(QDateTime(date, time));
        out.reply = ack(code, stOK);
        out.note = QStringLiteral("clock set to %1").arg(QDateTime(date, time).toString(Qt::ISODate));
        return out;
    }
    case 0x02:
        if (n != 0)
            return refuse(stBadData, QStringLiteral("reset: wrong length"));
        out.reply = ack(code, stOK);
        out.note = QStringLiteral("reset");
        return out;
    case 0x03:   // new ID by SN, not answered
    case 0x27: { // new ID by SN, answered
        if (n != 9)
            return code == 0x27 ? refuse(stBadData, QStringLiteral("SN + ID: wrong length")) : out;
        const std::uint8_t newId = at(data, 0);
        // ID 0 is the address of the SN-selected commands; an ID another controller
        // answers to would make both answer every request.
        if (newId == 0 || (newId != m_id && idTaken(newId))) {
            if (code == 0x03) {
                out.note = QStringLiteral("ID %1 refused").arg(newId);
                return out;
            }
            return refuse(newId == 0 ? stBadData : stIdInUse, QStringLiteral("ID %1 refused").arg(newId));
        }
        m_id = newId;
        out.note = QStringLiteral("ID set to %1").arg(newId);
        if (code == 0x27)
            out.reply = ack(code, stOK);
        return out;
    }
    case 0x28:
        if (n != 0)
            return refuse(stBadData, QStringLiteral("SN: wrong length"));
        out.reply = echo(m_sn);
        return out;
    case 0x29:
        if (n != 8)
            return refuse(stBadData, QStringLiteral("read ID: wrong length"));
        out.reply = echo(m_sn);
        return out;
    case 0x42: {
        if (n != 0)
            return refuse(stBadData, QStringLiteral("info: wrong length"));
        QByteArray d;
        d += be16(m_typeCode);
        d += be16(m_version);
        d += be16(m_cardMax);
        d += be16(m_recordMax);
        // The configured counts until the lists and records are used; then the real ones.
        const bool cards = m_access.cardsInUse();
        d += be16(static_cast<std::uint16_t>(cards ? m_access.sortedCount() : m_sortCardCount));
        d += be16(static_cast<std::uint16_t>(cards ? m_access.unsortedCount() : m_unsortCardCount));
        d += be16(static_cast<std::uint16_t>(m_access.recordsInUse() ? m_access.recordsWaiting() : m_recordCount));
        out.reply = echo(d);
        return out;
    }
    case 0x43: {
        if (n != 0)
            return refuse(stBadData, QStringLiteral("date/time: wrong length"));
        const QDateTime now = clock();
        const int year = now.date().year() - 2000;
        if (year < 0 || year > 255)
            return refuse(stBadData, QStringLiteral("clock outside 2000..2255"));
        QByteArray d;
        d.append(static_cast<char>(year));
        d.append(static_cast<char>(now.date().month()));
        d.append(static_cast<char>(now.date().day()));
        d.append(static_cast<char>(now.time().hour()));
        d.append(static_cast<char>(now.time().minute()));
        d.append(static_cast<char>(now.time().second()));
        out.reply = echo(d);
        return out;
    }
    case 0x26: // device ID: selector, value, 8 characters
        if (n != 10)
            return refuse(stBadData, QStringLiteral("device ID: wrong length"));
        m_deviceIds[at(data, 0)] = {at(data, 1), data.mid(2, 8)};
        out.reply = ack(code, stOK);
        return out;
    case 0x35: { // read device ID: selector, 8 characters
        if (n != 9)
            return refuse(stBadData, QStringLiteral("read device ID: wrong length"));
        const std::uint8_t selector = at(data, 0);
        const auto found = m_deviceIds.find(selector);
        QByteArray d;
        d.append(static_cast<char>(found == m_deviceIds.end() ? stBadData : stOK));
        d.append(static_cast<char>(selector));
        d.append(static_cast<char>(found == m_deviceIds.end() ? 0 : found->second.first));
        out.reply = echo(d);
        if (found == m_deviceIds.end())
            out.note = QStringLiteral("device ID selector %1 never set").arg(selector);
        return out;
    }
    case 0x36:
    case 0x37:
        if (n != 0)
            return refuse(stBadData, QStringLiteral("device ID session: wrong length"));
        out.reply = ack(code, stOK);
        return out;
    case 0x39:
        if (n != 12 || at(data, 0) > 1)
            return refuse(stBadData, QStringLiteral("daylight saving: wrong length or kind"));
        (at(data, 0) == 1 ? m_summerTime : m_winterTime) = data.mid(1);
        out.reply = ack(code, stOK);
        return out;
    case 0xE0: {
        bool good = n == 16;
        for (int i = 0; good && i < 16; ++i)
            good = at(data, i) == i * 0x11;
        if (!good)
            return refuse(stBadData, QStringLiteral("boot loader: wrong key bytes"));
        out.reply = ack(code, stOK);
        out.enteredBootLoader = true;
        m_boot = Boot::Reading;
        m_bootSince.start();
        m_pending.clear();
        m_addressBase = 0;
        m_linesReceived = m_linesAccepted = m_linesRejected = 0;
        out.note = QStringLiteral("boot loader entered");
        return out;
    }
    default:
        return refuse(stUnknownCommand, QStringLiteral("unknown command"));
    }
}

namespace {

// Checks a record line ("LLAAAATT...CC" after the ':'); fills the decoded
// bytes (count, address, type, data, checksum) when it is sound.
bool decodeRecord(const QByteArray &line, QByteArray *bytes)
{
    if (line.size() < 11 || line.size() > kMaxLineChars || line[0] != ':' || (line.size() - 1) % 2 != 0)
        return false;
    QByteArray decoded;
    for (int i = 1; i < line.size(); i += 2) {
        const int hi = hexValue(line[i]);
        const int lo = hexValue(line[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        decoded.append(static_cast<char>(hi << 4 | lo));
    }
    if (at(decoded, 0) + 5 != decoded.size())
        return false;
    if (checksum(decoded, static_cast<int>(decoded.size())) != 0)
        return false;
    *bytes = decoded;
    return true;
}

} // namespace

SimController::LineOutcome SimController::handleLine(const QByteArray &line, const FaultConfig &faults)
{
    LineOutcome out;
    if (m_boot == Boot::Written) {
        out.note = QStringLiteral("download ended: waits for its power to be switched off and on, not answered");
        return out;
    }
    const int number = ++m_linesReceived;
    auto refuse = [&](const QString &why) {
        ++m_linesRejected;
        out.note = QStringLiteral("line %1: %2").arg(QString::number(number), why);
        out.letters = "N";
        return out;
    };
    if (faults.blSilentAfter >= 0 && number > faults.blSilentAfter) {
        out.note = QStringLiteral("line %1: silent (fault)").arg(number);
        return out;
    }
    if (faults.blDropEvery > 0 && number % faults.blDropEvery == 0) {
        out.note = QStringLiteral("line %1: dropped (fault)").arg(number);
        return out;
    }
    if (faults.blNakAll || (faults.blNakEvery > 0 && number % faults.blNakEvery == 0))
        return refuse(QStringLiteral("refused (fault)"));

    QByteArray rec;
    if (!decodeRecord(line, &rec))
        return refuse(QStringLiteral("not a sound record"));
    const int count = at(rec, 0);
    const std::uint32_t offset = static_cast<std::uint32_t>(at(rec, 1) << 8 | at(rec, 2));
    const int type = at(rec, 3);
    const QByteArray payload = rec.mid(4, count);

    switch (type) {
    case 0x00: {
        const std::uint32_t address = m_addressBase + offset;
        if (address + static_cast<std::uint32_t>(count) > kAddressLimit)
            return refuse(QStringLiteral("address beyond the flash"));
        for (int i = 0; i < count; ++i)
            m_pending[address + static_cast<std::uint32_t>(i)] = at(payload, i);
        break;
    }
    case 0x01:
        if (count != 0)
            return refuse(QStringLiteral("end record with data"));
        ++m_linesAccepted;
        ++m_downloads;
        out.ended = true;
        out.letters = faults.blEndReply;
        if (m_restartOnEnd) {
            restartWithNewImage();
            out.note = QStringLiteral("line %1: end of file, restarted with type code %2, version %3")
                           .arg(number)
                           .arg(m_typeCode)
                           .arg(versionText());
        } else {
            m_boot = Boot::Written;
            out.note = QStringLiteral("line %1: end of file, new image written; waits for its power to be "
                                      "switched off and on")
                           .arg(number);
        }
        return out;
    case 0x02: // extended segment address: base = value * 16
    case 0x04: // extended linear address: base = value * 65536
        if (count != 2)
            return refuse(QStringLiteral("extended address of wrong length"));
        m_addressBase = static_cast<std::uint32_t>(at(payload, 0) << 8 | at(payload, 1)) << (type == 0x02 ? 4 : 16);
        break;
    case 0x03: // start addresses: nothing to store in the flash
    case 0x05:
        if (count != 4)
            return refuse(QStringLiteral("start address of wrong length"));
        break;
    default:
        return refuse(QStringLiteral("unknown record type %1").arg(type));
    }
    ++m_linesAccepted;
    out.note = QStringLiteral("line %1: accepted").arg(number);
    out.letters = faults.blAckDouble ? "KK" : (faults.blAckLower ? "k" : "K");
    return out;
}

QString SimController::versionText() const
{
    return QStringLiteral("%1.%2").arg(m_version >> 8).arg(m_version & 0xFF);
}

void SimController::restartWithNewImage()
{
    m_image = m_pending;
    m_pending.clear();
    m_boot = Boot::Off;
    // Bytes the download did not write read as erased flash (0xFF): a file without
    // the identity record shows as type code 65535, version 255.255.
    auto byteAt = [&](std::uint32_t address) -> std::uint16_t {
        const auto it = m_image.find(address);
        return it == m_image.end() ? 0xFF : it->second;
    };
    m_typeCode = static_cast<std::uint16_t>(byteAt(kTypeCodeAddress) << 8 | byteAt(kTypeCodeAddress + 1));
    m_version = static_cast<std::uint16_t>(byteAt(kVersionAddress) << 8 | byteAt(kVersionAddress + 1));
}

bool SimController::powerCycle()
{
    if (m_boot == Boot::Off)
        return false;
    ++m_powerCycles;
    if (m_boot == Boot::Written) {
        restartWithNewImage();
        return true;
    }
    m_boot = Boot::Off;
    m_pending.clear();
    return false;
}

bool SimController::expireBootLoader(int afterMs, bool *newImage)
{
    if (m_boot == Boot::Off || afterMs <= 0 || m_bootSince.elapsed() < afterMs)
        return false;
    *newImage = powerCycle();
    return true;
}

QJsonObject SimController::state() const
{
    QJsonObject o;
    o[QStringLiteral("id")] = m_id;
    o[QStringLiteral("sn")] = QString::fromLatin1(m_sn);
    o[QStringLiteral("type_code")] = m_typeCode;
    o[QStringLiteral("version")] = versionText();
    o[QStringLiteral("card_max")] = m_cardMax;
    o[QStringLiteral("record_max")] = m_recordMax;
    o[QStringLiteral("clock")] = clock().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    o[QStringLiteral("image_size")] = static_cast<qint64>(m_image.size());
    if (!m_image.empty()) {
        o[QStringLiteral("image_first")] = static_cast<qint64>(m_image.begin()->first);
        o[QStringLiteral("image_last")] = static_cast<qint64>(m_image.rbegin()->first);
    }
    // "written": the download ended, the new image runs after a power cycle.
    o[QStringLiteral("bootloader")] = m_boot == Boot::Off       ? QStringLiteral("off")
                                      : m_boot == Boot::Reading ? QStringLiteral("active")
                                                                : QStringLiteral("written");
    o[QStringLiteral("lines_received")] = m_linesReceived;
    o[QStringLiteral("lines_accepted")] = m_linesAccepted;
    o[QStringLiteral("lines_rejected")] = m_linesRejected;
    o[QStringLiteral("downloads")] = m_downloads;
    o[QStringLiteral("power_cycles")] = m_powerCycles;
    QJsonArray devices;
    for (const auto &[selector, entry] : m_deviceIds) {
        QJsonObject d;
        d[QStringLiteral("selector")] = selector;
        d[QStringLiteral("value")] = entry.first;
        d[QStringLiteral("text")] = QString::fromLatin1(entry.second);
        devices.append(d);
    }
    o[QStringLiteral("device_ids")] = devices;
    o[QStringLiteral("frames_failed")] = m_framesFailed;
    m_access.addState(o);
    m_doors.addState(o);
    m_calendar.addState(o);
    return o;
}

} // namespace nsim
