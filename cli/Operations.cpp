#include "cli/Operations.h"

#include "cli/Options.h"
#include "common/Errors.h"
#include "common/IntConv.h"
#include "component/Controller.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace ctl {

namespace {

const QString kDateTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

QString TypeName(const ArgSpec &spec)
{
    switch (spec.type) {
    case ArgType::Byte:
        return QStringLiteral("byte");
    case ArgType::Word:
        return QStringLiteral("word");
    case ArgType::Integer:
        return QStringLiteral("integer");
    case ArgType::Cardinal:
        return QStringLiteral("cardinal");
    case ArgType::Boolean:
        return QStringLiteral("boolean");
    case ArgType::Text:
        return spec.size > 0 ? QStringLiteral("text[%1]").arg(spec.size) : QStringLiteral("text");
    case ArgType::List:
        return QStringLiteral("list");
    case ArgType::Bytes:
        return QStringLiteral("bytes[%1]").arg(spec.size);
    case ArgType::DateTime:
        return QStringLiteral("datetime");
    }
    return {};
}

[[noreturn]] void Refuse(const ArgSpec &spec, const QString &text, const QString &why)
{
    throw UsageError(QStringLiteral("%1: '%2' %3").arg(QLatin1String(spec.name), text, why));
}

long long Number(const ArgSpec &spec, const QString &text, long long low, long long high)
{
    const std::optional<long long> value = norvik::TryStrToInt64(text.trimmed().toStdString());
    if (!value)
        Refuse(spec, text, QStringLiteral("is not a valid integer value"));
    if (*value < low || *value > high)
        Refuse(spec, text, QStringLiteral("is outside %1 to %2").arg(low).arg(high));
    return *value;
}

std::vector<int> IntegerList(const ArgSpec &spec, const QString &text)
{
    std::vector<int> list;
    if (text.trimmed().isEmpty())
        return list;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const std::optional<long long> value = norvik::TryStrToInt64(item.trimmed().toStdString());
        if (!value || *value < std::numeric_limits<int>::min() || *value > 0xFFFFFFFFLL)
            Refuse(spec, text, QStringLiteral("is not a list of integers like 1,2,3 ('%1')").arg(item));
        list.push_back(static_cast<int>(static_cast<std::uint32_t>(*value)));
    }
    return list;
}

std::vector<std::uint8_t> ByteBlock(const ArgSpec &spec, const QString &text)
{
    std::vector<std::uint8_t> bytes;
    const QString trimmed = text.trimmed();
    if (trimmed.contains(QLatin1Char(','))) {
        for (const QString &item : trimmed.split(QLatin1Char(','))) {
            const std::optional<long long> value = norvik::TryStrToInt64(item.trimmed().toStdString());
            if (!value || *value < 0 || *value > 255)
                Refuse(spec, text, QStringLiteral("holds '%1', not a byte from 0 to 255").arg(item));
            bytes.push_back(static_cast<std::uint8_t>(*value));
        }
    } else {
        static const QRegularExpression hexPairs(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
        if (!hexPairs.match(trimmed).hasMatch())
            Refuse(spec, text, QStringLiteral("is neither bytes like 1,2,3 nor hex like 0A0B0C"));
        for (int i = 0; i < trimmed.size(); i += 2)
            bytes.push_back(static_cast<std::uint8_t>(trimmed.mid(i, 2).toUInt(nullptr, 16)));
    }
    if (static_cast<int>(bytes.size()) != spec.size)
        Refuse(spec, text, QStringLiteral("has %1 bytes; %2 are needed").arg(bytes.size()).arg(spec.size));
    return bytes;
}

std::string EightBit(const ArgSpec &spec, const QString &text)
{
    const bool latin1 = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    if (!latin1)
        Refuse(spec, text, QStringLiteral("holds characters the controller cannot store (8-bit text only)"));
    if (spec.size > 0 && text.size() != spec.size)
        Refuse(spec, text, QStringLiteral("must be exactly %1 characters").arg(spec.size));
    return text.toLatin1().toStdString();
}

QString HexText(const std::uint8_t *bytes, int count, const QString &separator)
{
    QStringList pairs;
    for (int i = 0; i < count; ++i)
        pairs << QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    return pairs.join(separator);
}

// --- results by convention ------------------------------------------------------------

CallOutcome BoolResult(bool result)
{
    CallOutcome outcome;
    outcome.result = result;
    outcome.success = result;
    return outcome;
}

// 1 accepted; 0 refused or wrong answer; -1 no answer.
CallOutcome TriResult(int result)
{
    CallOutcome outcome;
    outcome.result = result;
    outcome.success = result == 1;
    return outcome;
}

CallOutcome &WithBytes(CallOutcome &outcome, const char *name, const std::uint8_t *bytes, int count)
{
    if (outcome.success)
        outcome.outs.push_back({QLatin1String(name), HexText(bytes, count, QString()), HexText(bytes, count, QStringLiteral(" "))});
    return outcome;
}

CallOutcome &WithNumber(CallOutcome &outcome, const char *name, long long value)
{
    if (outcome.success)
        outcome.outs.push_back({QLatin1String(name), static_cast<qint64>(value), QString::number(value)});
    return outcome;
}

CallOutcome InfoResult(TController &c)
{
    TControllerInfo info;
    CallOutcome outcome = BoolResult(c.GetControllerInfo(info));
    if (!outcome.success)
        return outcome;
    const std::pair<const char *, int> fields[] = {
        {"Version", info.Version},         {"TypeCode", info.TypeCode},
        {"CardMax", info.CardMax},         {"RecordMax", info.RecordMax},
        {"SortCardCount", info.SortCardCount}, {"UnsortCardCount", info.UnsortCardCount},
        {"RecordCount", info.RecordCount},
    };
    QJsonObject json;
    QStringList text;
    for (const auto &[name, value] : fields) {
        json.insert(QLatin1String(name), value);
        text << QStringLiteral("%1=%2").arg(QLatin1String(name)).arg(value);
    }
    outcome.outs.push_back({QStringLiteral("Info"), json, text.join(QLatin1Char(' '))});
    return outcome;
}

CallOutcome ClockResult(TController &c)
{
    const QDateTime time = c.GetControllerDateTime();
    CallOutcome outcome;
    outcome.result = time.toString(kDateTimeFormat);
    // The fallback 2001-01-01 00:00:00 stands for "no answer" unless a whole
    // reply really carried it.
    outcome.success = time != QDateTime(QDate(2001, 1, 1), QTime(0, 0)) || ReplyCarriedFallbackClock(c);
    return outcome;
}

CallOutcome DeviceIdResult(TController &c, int result)
{
    CallOutcome outcome;
    outcome.result = result;
    // 0 is both the refusal and the value "0": the status byte tells them apart.
    outcome.success = result >= 0 && c.Current()->ReplyBuffer[5] == 0;
    return outcome;
}

// --- the table -----------------------------------------------------------------------------

ArgSpec B(const char *name) { return {name, ArgType::Byte}; }
ArgSpec W(const char *name) { return {name, ArgType::Word}; }
ArgSpec I(const char *name) { return {name, ArgType::Integer}; }
ArgSpec C(const char *name) { return {name, ArgType::Cardinal}; }
ArgSpec F(const char *name) { return {name, ArgType::Boolean}; }
ArgSpec T(const char *name, int length = 0) { return {name, ArgType::Text, length}; }
ArgSpec L(const char *name) { return {name, ArgType::List}; }
ArgSpec Y(const char *name, int size) { return {name, ArgType::Bytes, size}; }
ArgSpec D(const char *name) { return {name, ArgType::DateTime}; }

using A = const Arguments &;
using Ctl = TController &;

int TransactionSize(Ctl c, int size)
{
    return c.CardBytes() == cbNormal && size == 14 ? 14 : 22;
}

std::vector<Operation> MakeOperations()
{
    // The card-list arguments that every A, D, E, F and H form shares.
    const std::vector<ArgSpec> cardRecord = {T("CardNo"), L("ZoneList"), F("UseDates"), W("Code")};
    auto join = [](std::initializer_list<std::vector<ArgSpec>> parts) {
        std::vector<ArgSpec> all;
        for (const auto &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const std::vector<ArgSpec> dates = {T("StartDate"), T("EndDate")};

    return {
        // identity, info and boot loader
        {"ResetController", {}, {}, [](Ctl c, A) { return TriResult(c.ResetController()); }},
        {"SendJumpBootloader", {}, {}, [](Ctl c, A) { return BoolResult(c.SendJumpBootloader()); }},
        {"GetControllerInfo", {}, {QStringLiteral("Info: record")}, [](Ctl c, A) { return InfoResult(c); }},
        {"GetControllerSN", {}, {QStringLiteral("Buffer: bytes[8]")},
         [](Ctl c, A) {
             std::uint8_t sn[8] = {};
             CallOutcome outcome = BoolResult(c.GetControllerSN(sn));
             return WithBytes(outcome, "Buffer", sn, 8);
         }},
        {"SendSetControllerSN", {T("SN", 8), B("ID")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendSetControllerSN(a.Text(0), a.Byte(1))); }},
        {"SendSetControllerID", {B("ID"), T("SN", 8)}, {},
         [](Ctl c, A a) {
             c.SendSetControllerID(a.Byte(0), a.Text(1));
             CallOutcome outcome; // the controller does not answer this one
             outcome.success = true;
             return outcome;
         }},
        {"SendReadControllerID", {T("SN", 8)}, {},
         [](Ctl c, A a) {
             CallOutcome outcome;
             const int id = c.SendReadControllerID(a.Text(0));
             outcome.result = id;
             outcome.success = id > 0;
             return outcome;
         }},
        {"BeginSetDeviceID", {}, {}, [](Ctl c, A) { return BoolResult(c.BeginSetDeviceID()); }},
        {"SendSetDeviceID", {B("Value"), B("Selector"), T("Text", 8)}, {},
         [](Ctl c, A a) { return TriResult(c.SendSetDeviceID(a.Byte(0), a.Byte(1), a.Text(2))); }},
        {"SendReadDeviceID", {B("Selector"), T("Text", 8)}, {},
         [](Ctl c, A a) { return DeviceIdResult(c, c.SendReadDeviceID(a.Byte(0), a.Text(1))); }},
        {"EndSetDeviceID", {}, {}, [](Ctl c, A) { return BoolResult(c.EndSetDeviceID()); }},
        {"BookmarkFront", {}, {}, [](Ctl c, A) { return BoolResult(c.BookmarkFront()); }},

        // clock
        {"SendTime", {D("DateTime")}, {}, [](Ctl c, A a) { return TriResult(c.SendTime(a.Time(0))); }},
        {"SendPCTime", {}, {}, [](Ctl c, A) { return TriResult(c.SendPCTime()); }},
        {"GetControllerDateTime", {}, {}, [](Ctl c, A) { return ClockResult(c); }},
        {"SendSetSummerTime", {D("Time1"), D("Time2")}, {},
         [](Ctl c, A a) { return TriResult(c.SendSetSummerTime(a.Time(0), a.Time(1))); }},
        {"SendSetWinterTime", {D("Time1"), D("Time2")}, {},
         [](Ctl c, A a) { return TriResult(c.SendSetWinterTime(a.Time(0), a.Time(1))); }},

        // transactions
        {"ReadTransaction", {I("Size")}, {QStringLiteral("Buffer: bytes[14 or 22]")},
         [](Ctl c, A a) {
             std::uint8_t buffer[22] = {};
             CallOutcome outcome = TriResult(c.ReadTransaction(buffer, a.Int(0)));
             return WithBytes(outcome, "Buffer", buffer, TransactionSize(c, a.Int(0)));
         }},
        {"ReadRemovedTransaction", {W("Index"), I("Size")}, {QStringLiteral("Buffer: bytes[14 or 22]")},
         [](Ctl c, A a) {
             std::uint8_t buffer[22] = {};
             CallOutcome outcome = TriResult(c.ReadRemovedTransaction(a.Word(0), buffer, a.Int(1)));
             return WithBytes(outcome, "Buffer", buffer, a.Int(1) == 14 ? 14 : 22);
         }},

        // card lists
        {"AddSortedCardA", join({{W("Index")}, cardRecord, dates, {F("Flag")}}), {},
         [](Ctl c, A a) {
             return TriResult(c.AddSortedCardA(a.Word(0), a.Text(1), a.List(2), a.Bool(3), a.Word(4), a.Text(5),
                                               a.Text(6), a.Bool(7)));
         }},
        {"AddUnSortedCardA", join({cardRecord, dates}), {},
         [](Ctl c, A a) {
             return TriResult(c.AddUnSortedCardA(a.Text(0), a.List(1), a.Bool(2), a.Word(3), a.Text(4), a.Text(5)));
         }},
        {"AddSortedCardB", {W("Index"), L("ByteList")}, {},
         [](Ctl c, A a) { return TriResult(c.AddSortedCardB(a.Word(0), a.List(1))); }},
        {"AddUnSortedCardB", {T("CardNo"), L("ByteList")}, {},
         [](Ctl c, A a) { return TriResult(c.AddUnSortedCardB(a.Text(0), a.List(1))); }},
        {"AddSortedCardC", {W("Index"), T("RawText"), F("IsLong")}, {},
         [](Ctl c, A a) { return TriResult(c.AddSortedCardC(a.Word(0), a.Text(1), a.Bool(2))); }},
        {"AddUnSortedCardC", {T("CardNo"), T("RawText"), F("IsLong")}, {},
         [](Ctl c, A a) { return TriResult(c.AddUnSortedCardC(a.Text(0), a.Text(1), a.Bool(2))); }},
        {"AddSortedCardD", join({{W("Index")}, cardRecord, dates, {F("Flag"), L("ExtraList")}}), {},
         [](Ctl c, A a) {
             return TriResult(c.AddSortedCardD(a.Word(0), a.Text(1), a.List(2), a.Bool(3), a.Word(4), a.Text(5),
                                               a.Text(6), a.Bool(7), a.List(8)));
         }},
        {"AddUnSortedCardD", join({cardRecord, dates, {L("ExtraList")}}), {},
         [](Ctl c, A a) {
             return TriResult(
                 c.AddUnSortedCardD(a.Text(0), a.List(1), a.Bool(2), a.Word(3), a.Text(4), a.Text(5), a.List(6)));
         }},
        {"AddSortedCardE", join({{W("Index")}, cardRecord, {W("ExtraValue")}, dates, {F("Flag")}}), {},
         [](Ctl c, A a) {
             return TriResult(c.AddSortedCardE(a.Word(0), a.Text(1), a.List(2), a.Bool(3), a.Word(4), a.Word(5),
                                               a.Text(6), a.Text(7), a.Bool(8)));
         }},
        {"AddUnSortedCardE", join({cardRecord, {W("ExtraValue")}, dates}), {},
         [](Ctl c, A a) {
             return TriResult(
                 c.AddUnSortedCardE(a.Text(0), a.List(1), a.Bool(2), a.Word(3), a.Word(4), a.Text(5), a.Text(6)));
         }},
        {"AddSortedCardF", join({{W("Index")}, cardRecord, dates, {F("Flag"), L("ExtraList")}}), {},
         [](Ctl c, A a) {
             return TriResult(c.AddSortedCardF(a.Word(0), a.Text(1), a.List(2), a.Bool(3), a.Word(4), a.Text(5),
                                               a.Text(6), a.Bool(7), a.List(8)));
         }},
        {"AddUnSortedCardF", join({cardRecord, dates, {L("ExtraList")}}), {},
         [](Ctl c, A a) {
             return TriResult(
                 c.AddUnSortedCardF(a.Text(0), a.List(1), a.Bool(2), a.Word(3), a.Text(4), a.Text(5), a.List(6)));
         }},
        {"AddSortedCardH", join({{W("Index")}, cardRecord, dates, {F("Flag"), L("ExtraList")}}), {},
         [](Ctl c, A a) {
             return TriResult(c.AddSortedCardH(a.Word(0), a.Text(1), a.List(2), a.Bool(3), a.Word(4), a.Text(5),
                                               a.Text(6), a.Bool(7), a.List(8)));
         }},
        {"AddUnSortedCardH", join({cardRecord, dates, {L("ExtraList")}}), {},
         [](Ctl c, A a) {
             return TriResult(
                 c.AddUnSortedCardH(a.Text(0), a.List(1), a.Bool(2), a.Word(3), a.Text(4), a.Text(5), a.List(6)));
         }},
        {"SendDelOneCard", {T("CardNo")}, {}, [](Ctl c, A a) { return BoolResult(c.SendDelOneCard(a.Text(0))); }},

        // special cards and card options
        {"SendSetIndividualCard",
         {W("Index"), B("Value"), T("CardNo"), W("Number"), T("Date"), D("Time1"), D("Time2"), F("AllCards")}, {},
         [](Ctl c, A a) {
             return TriResult(c.SendSetIndividualCard(a.Word(0), a.Byte(1), a.Text(2), a.Word(3), a.Text(4), a.Time(5),
                                                      a.Time(6), a.Bool(7)));
         }},
        {"SendSetEmergencyCard", {B("Slot"), T("CardNo"), F("Lock")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendSetEmergencyCard(a.Byte(0), a.Text(1), a.Bool(2))); }},
        {"SendClearEmergencyCard", {B("Slot")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendClearEmergencyCard(a.Byte(0))); }},
        {"SetCardIDMask", {B("Value"), T("Mask")}, {},
         [](Ctl c, A a) { return BoolResult(c.SetCardIDMask(a.Byte(0), a.Text(1))); }},
        {"SetAllowAnyCard", {F("Allow")}, {}, [](Ctl c, A a) { return BoolResult(c.SetAllowAnyCard(a.Bool(0))); }},
        {"SetPresentCardDelay", {W("Delay")}, {},
         [](Ctl c, A a) { return BoolResult(c.SetPresentCardDelay(a.Word(0))); }},

        // doors
        {"OpenDoorNow", {B("Door"), B("Value1"), B("Value2")}, {},
         [](Ctl c, A a) { return BoolResult(c.OpenDoorNow(a.Byte(0), a.Byte(1), a.Byte(2))); }},
        {"ForceOpenDoorNow", {B("Door")}, {}, [](Ctl c, A a) { return BoolResult(c.ForceOpenDoorNow(a.Byte(0))); }},
        {"ForceCloseDoorNow", {B("Door")}, {}, [](Ctl c, A a) { return BoolResult(c.ForceCloseDoorNow(a.Byte(0))); }},
        {"ResumeDoorNormalNow", {B("Door")}, {},
         [](Ctl c, A a) { return BoolResult(c.ResumeDoorNormalNow(a.Byte(0))); }},
        {"SetDoorOpenTime", {B("Door"), B("Value1"), B("Value2")}, {},
         [](Ctl c, A a) { return TriResult(c.SetDoorOpenTime(a.Byte(0), a.Byte(1), a.Byte(2))); }},
        {"GetDoorStatus", {B("Door")}, {QStringLiteral("State: byte")},
         [](Ctl c, A a) {
             std::uint8_t state = 0;
             CallOutcome outcome = BoolResult(c.GetDoorStatus(a.Byte(0), state));
             return WithNumber(outcome, "State", state);
         }},
        {"SendSetDoorPIN", {B("Door"), B("Slot"), I("PIN")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendSetDoorPIN(a.Byte(0), a.Byte(1), a.Int(2))); }},
        // Typed digits are the PIN's digits: the text form carries them two per byte.
        {"SendSetPanicPIN", {F("Enable"), T("PIN")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendSetPanicPIN(a.Bool(0), a.Text(1))); }},
        {"SendSetLCDText", {T("Text")}, {}, [](Ctl c, A a) { return TriResult(c.SendSetLCDText(a.Text(0))); }},
        {"SendSetDoorLCDText", {T("Text"), B("Door"), F("Flag")}, {},
         [](Ctl c, A a) { return TriResult(c.SendSetDoorLCDText(a.Text(0), a.Byte(1), a.Bool(2))); }},
        {"SendReadDoorLCDText", {}, {}, [](Ctl c, A) { return TriResult(c.SendReadDoorLCDText()); }},

        // time zones, time tables and holidays
        {"SendTimeZone", {B("Zone"), I("Count"), L("Intervals")}, {},
         [](Ctl c, A a) { return TriResult(c.SendTimeZone(a.Byte(0), a.Int(1), a.List(2))); }},
        {"SendTimeTable", {B("Index"), Y("Record", 11)}, {},
         [](Ctl c, A a) { return TriResult(c.SendTimeTable(a.Byte(0), a.Bytes(1))); }},
        {"SendHoliday", {B("Byte1"), B("Byte2"), B("Byte3"), B("Byte4")}, {},
         [](Ctl c, A a) { return TriResult(c.SendHoliday(a.Byte(0), a.Byte(1), a.Byte(2), a.Byte(3))); }},
        {"SendPinDisableTimeTable", {Y("Table", 16)}, {},
         [](Ctl c, A a) { return TriResult(c.SendPinDisableTimeTable(a.Bytes(0))); }},
        {"SendAutoOpenDoorTimeTable", {L("ByteList")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendAutoOpenDoorTimeTable(a.List(0))); }},
        {"SendAutoForceCloseDoorTimeTable", {L("ByteList")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendAutoForceCloseDoorTimeTable(a.List(0))); }},

        // groups, anti-passback, car park and lift
        {"SendAntiPassBack", {W("Number"), B("ByteA"), B("ByteB")}, {},
         [](Ctl c, A a) { return TriResult(c.SendAntiPassBack(a.Word(0), a.Byte(1), a.Byte(2))); }},
        {"SendGroup", {B("Group"), W("GroupValue"), Y("Members", 16)}, {},
         [](Ctl c, A a) { return TriResult(c.SendGroup(a.Byte(0), a.Word(1), a.Bytes(2))); }},
        {"SendCarParkGroup", {B("Group"), W("GroupValue"), Y("Members", 16), B("ByteA"), B("ByteB")}, {},
         [](Ctl c, A a) {
             return TriResult(c.SendCarParkGroup(a.Byte(0), a.Word(1), a.Bytes(2), a.Byte(3), a.Byte(4)));
         }},
        {"SendCarParkGroupE", {W("Number"), B("ByteA"), B("ByteB")}, {},
         [](Ctl c, A a) { return TriResult(c.SendCarParkGroupE(a.Word(0), a.Byte(1), a.Byte(2))); }},
        {"SendSetLiftOpenTime", {B("Unit"), L("Floors")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendSetLiftOpenTime(a.Byte(0), a.List(1))); }},
        {"SendSet80FloorOpenSecond", {B("Unit"), L("Floors")}, {},
         [](Ctl c, A a) { return BoolResult(c.SendSet80FloorOpenSecond(a.Byte(0), a.List(1))); }},

        // memory and I/O
        {"DirectReadBlockXRAM", {C("Address"), {"Unused", ArgType::Integer, 0, "0"}}, {QStringLiteral("Buffer: bytes[64]")},
         [](Ctl c, A a) {
             std::uint8_t buffer[256] = {};
             CallOutcome outcome = BoolResult(c.DirectReadBlockXRAM(a.Cardinal(0), buffer, a.Int(1)));
             return WithBytes(outcome, "Buffer", buffer, 64);
         }},
        {"DirectReadByteXRAM", {C("Address")}, {QStringLiteral("Value: byte")},
         [](Ctl c, A a) {
             std::uint8_t value = 0;
             CallOutcome outcome = BoolResult(c.DirectReadByteXRAM(a.Cardinal(0), value));
             return WithNumber(outcome, "Value", value);
         }},
        {"DirectWriteByteXRAM", {C("Address"), B("Value")}, {},
         [](Ctl c, A a) { return BoolResult(c.DirectWriteByteXRAM(a.Cardinal(0), a.Byte(1))); }},
        {"TurnOnIORelay", {B("Relay"), B("Mode"), W("Time")}, {},
         [](Ctl c, A a) { return BoolResult(c.TurnOnIORelay(a.Byte(0), a.Byte(1), a.Word(2))); }},
        {"GetIORealTimeStatus", {B("Unit")}, {QStringLiteral("State: word")},
         [](Ctl c, A a) {
             std::uint16_t state = 0;
             CallOutcome outcome;
             try {
                 outcome = BoolResult(c.GetIORealTimeStatus(a.Byte(0), state));
             } catch (const norvik::EConvertError &e) {
                 // Raised by the controller's answer, not by an argument: a controller fault.
                 throw std::runtime_error(std::string("the controller's I/O state is not hexadecimal: ") + e.what());
             }
             return WithNumber(outcome, "State", state);
         }},
    };
}

} // namespace

QDateTime ParseDateTimeText(const QString &text)
{
    QString normalized = text.trimmed();
    if (normalized.size() > 10 && normalized.at(10) == QLatin1Char('T'))
        normalized[10] = QLatin1Char(' ');
    return QDateTime::fromString(normalized, kDateTimeFormat);
}

bool ReplyCarriedFallbackClock(TController &controller)
{
    const std::uint8_t *reply = controller.Current()->ReplyBuffer;
    static const std::uint8_t kFallbackFields[6] = {1, 1, 1, 0, 0, 0};
    return reply[3] == 7 && std::memcmp(reply + 5, kFallbackFields, 6) == 0 &&
           TBasicCom::CalCheckSum(reply, 11) == reply[11];
}

Arguments Arguments::Parse(const QString &operation, const std::vector<ArgSpec> &specs, const QStringList &texts)
{
    const auto required = std::count_if(specs.begin(), specs.end(), [](const ArgSpec &s) { return !s.defaultValue; });
    if (texts.size() < required || texts.size() > static_cast<qsizetype>(specs.size())) {
        QStringList names;
        for (const ArgSpec &spec : specs)
            names << QLatin1String(spec.name);
        const QString expected = required == static_cast<qsizetype>(specs.size())
                                     ? QString::number(required)
                                     : QStringLiteral("%1 to %2").arg(required).arg(specs.size());
        throw UsageError(QStringLiteral("%1 takes %2 argument(s)%3, got %4")
                             .arg(operation, expected,
                                  names.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(names.join(QLatin1Char(' '))))
                             .arg(texts.size()));
    }
    Arguments parsed;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const ArgSpec &spec = specs[i];
        const QString text = static_cast<qsizetype>(i) < texts.size() ? texts.at(static_cast<qsizetype>(i))
                                                                       : QLatin1String(spec.defaultValue);
        Slot slot;
        switch (spec.type) {
        case ArgType::Byte:
            slot.number = Number(spec, text, 0, 255);
            break;
        case ArgType::Word:
            slot.number = Number(spec, text, 0, 65535);
            break;
        case ArgType::Integer:
            slot.number = Number(spec, text, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
            break;
        case ArgType::Cardinal:
            slot.number = Number(spec, text, 0, 0xFFFFFFFFLL);
            break;
        case ArgType::Boolean: {
            const QString word = text.trimmed().toLower();
            if (word == QLatin1String("true") || word == QLatin1String("1"))
                slot.number = 1;
            else if (word == QLatin1String("false") || word == QLatin1String("0"))
                slot.number = 0;
            else
                Refuse(spec, text, QStringLiteral("is not a boolean (true, false, 1, 0)"));
            break;
        }
        case ArgType::Text:
            slot.text = EightBit(spec, text);
            break;
        case ArgType::List:
            slot.list = IntegerList(spec, text);
            break;
        case ArgType::Bytes:
            slot.bytes = ByteBlock(spec, text);
            break;
        case ArgType::DateTime: {
            slot.time = ParseDateTimeText(text);
            if (!slot.time.date().isValid() || !slot.time.time().isValid())
                Refuse(spec, text, QStringLiteral("is not a date and time like \"2026-01-31 13:45:00\""));
            break;
        }
        }
        parsed.m_slots.push_back(std::move(slot));
    }
    return parsed;
}

const std::vector<Operation> &Operations()
{
    static const std::vector<Operation> operations = MakeOperations();
    return operations;
}

const Operation *FindOperation(const QString &name)
{
    for (const Operation &operation : Operations()) {
        if (name.compare(QLatin1String(operation.name), Qt::CaseInsensitive) == 0)
            return &operation;
    }
    return nullptr;
}

QString ListingLine(const Operation &operation)
{
    QStringList args;
    for (const ArgSpec &spec : operation.args) {
        const QString arg = QStringLiteral("%1: %2").arg(QLatin1String(spec.name), TypeName(spec));
        args << (spec.defaultValue ? QStringLiteral("[%1 = %2]").arg(arg, QLatin1String(spec.defaultValue)) : arg);
    }
    QString line = QLatin1String(operation.name);
    if (!args.isEmpty())
        line += QLatin1Char(' ') + args.join(QStringLiteral(", "));
    if (!operation.outs.isEmpty())
        line += QStringLiteral(" -> ") + operation.outs.join(QStringLiteral(", "));
    return line;
}

} // namespace ctl
