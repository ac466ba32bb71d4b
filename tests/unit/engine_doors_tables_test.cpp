// Door, calendar, group and memory commands against a scripted link: the
// frames, pauses and results of each command (the time-zone day map and where
// multi-frame writes stop among them), the door state table, and what raises
// before anything is sent.
#include "common/Errors.h"
#include "component/Controller.h"
#include "tests/support/FakeLink.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <functional>

using norvik::EArgumentError;
using norvik::EConvertError;
using norvik::ScopedSleeper;
using norvik::test::FakeLink;
using norvik::test::Hex;
using Bytes = FakeLink::Bytes;
using Call = std::function<int(FakeLink &)>;

// One engine operation as a table cell; its result as an integer.
#define OP(expr) [&](FakeLink &l) { return static_cast<int>(l.expr); }

namespace {

template <class T = std::uint8_t> std::vector<T> Seq(int first, int count)
{
    std::vector<T> list;
    for (int i = 0; i < count; ++i)
        list.push_back(static_cast<T>(first + i));
    return list;
}

std::string Rep(const std::string &hexByte, int count)
{
    std::string text = hexByte;
    for (int i = 1; i < count; ++i)
        text += " " + hexByte;
    return text;
}

// Zone 6 written in frames of twelve map bytes, each after its pause; a
// write that stops early shows only its first parts.
std::string ZoneTrace(const std::string &map, int parts = 3)
{
    std::string trace;
    for (int part = 0; part < parts; ++part)
        trace += (part ? " 0E(06 0" : "0E(06 0") + std::to_string(part) + " " + map.substr(36 * part, 35) + ") ~30 <";
    return trace;
}

// What call raises: the kind of error and its message.
std::string Raised(const std::function<void()> &call)
{
    try {
        call();
    } catch (const EArgumentError &e) {
        return std::string("argument: ") + e.what();
    } catch (const EConvertError &e) {
        return std::string("convert: ") + e.what();
    }
    return "nothing raised";
}

const std::string kText = "ABCDEFGHIJKLMNOPQ"; // the 17th character is not sent
const std::string kTextHex = Hex(Seq('A', 16));
const Bytes kMembers = Seq(0, 16);

} // namespace

TEST(EngineDoorsTables, FramesPausesAndResults)
{
    struct Row {
        Call call;
        int result;
        std::string trace;                                         // "..." first: only its end is compared
        std::vector<Bytes> replies = {FakeLink::Ack(1, 0x38, 0)}; // a single one answers every frame
        int direct = 0;                                            // bytes DirectReceive delivers
    };
    const Bytes ok = FakeLink::Ack(1, 0, 0), refused = FakeLink::Ack(1, 0, 1), none;
    const Bytes shortReply = {0x33, 0x01, 0x00, 0x01, 0x00, 0x34};
    std::uint8_t block[255];
    std::uint16_t io = 0;
    const std::string group = "0F(01 05 12 08 09 0A 0B 0C 0D 0E 0F)", group0 = "0F(00 05 34 00 01 02 03 04 05 06 07)";
    const std::string zero = Rep("00", 36), workday = Rep("00", 12) + " " + Rep("FF", 13) + " F8 " + Rep("00", 10);
    const std::vector<Row> rows = {
        {OP(OpenDoorNow(3, 1, 2)), 1, "09(06 01 02) <"},
        {OP(OpenDoorNow(200, 0, 0)), 1, "09(90 00 00) <"},
        {OP(SetDoorOpenTime(1, 5, 9)), 1, "04(01 09 05) ~30 <"},
        {OP(SendSetDoorPIN(2, 3, 0x12345678)), 1, "48(02 03 00 00 78 56 34 12 00) <"},
        {OP(SendSetPanicPIN(true, std::string("12"))), 1, "49(01 00 12 00) <"},
        {OP(SendSetPanicPIN(false, std::string(" 12345 "))), 1, "49(00 00 34 12) <"},
        {OP(SendSetPanicPIN(true, 0x12345)), 1, "49(01 00 45 23) <"},
        {OP(SendSetLCDText(kText)), 1, "38(00 " + kTextHex + ") <"},
        {OP(SendSetLCDText(kText)), 0, "38(00 " + kTextHex + ") <", {FakeLink::Ack(1, 0x37, 0)}},
        {OP(SendSetDoorLCDText(kText, 1, false)), 1, "54(00 " + kTextHex + " 01) <"},
        {OP(SendSetDoorLCDText(kText, 1, true)), 1, "54(00 " + kTextHex + " 02) <", {FakeLink::Ack(1, 0x54, 5)}},
        {OP(SendTimeZone(6, 1, {0, 4})), 1, ZoneTrace("80 " + Rep("00", 35))},
        {OP(SendTimeZone(6, 1, {0, 5})), 1, ZoneTrace("C0 " + Rep("00", 35))},
        {OP(SendTimeZone(6, 2, {10, 10, 20, 10})), 1, ZoneTrace(zero)},
        {OP(SendTimeZone(6, 1, {0, 1439})), 1, ZoneTrace(Rep("FF", 36))},
        {OP(SendTimeZone(6, 1, {480, 1020})), 1, ZoneTrace(workday)},
        {OP(SendTimeZone(6, 3, {0, 4, 40, 49, 0, 5, 0, 1439})), 1, ZoneTrace("C0 C0 " + Rep("00", 34))},
        {OP(SendTimeZone(6, 0, {})), 0, ZoneTrace(zero, 2), {ok, refused, ok}},
        {OP(SendTimeZone(6, 0, {})), -1, ZoneTrace(zero, 1), {none, ok, ok}},
        {OP(SendHoliday(1, 2, 3, 4)), 1, "10(01 02 03 04) <"},
        {OP(SendAutoOpenDoorTimeTable(Seq<int>(0, 17))), 1, "14(" + Hex(Seq(0, 16)) + ") <"},
        {OP(SendAutoForceCloseDoorTimeTable(Seq<int>(0, 17))), 1, "45(" + Hex(Seq(0, 16)) + ") <"},
        {OP(SendAntiPassBack(258, 3, 4)), 0, "30(01 02 03 04) <", {refused}},
        {OP(SendGroup(5, 0x1234, kMembers)), 1, group + " ~30 < " + group0 + " ~30 <", {FakeLink::Ack(1, 0x0F, 5)}},
        {OP(SendGroup(5, 0x1234, kMembers)), -1, group + " ~30 <", {none, ok}},
        {OP(SendCarParkGroup(5, 0x1234, kMembers, 3, 4)), 1, group + " < ~10 " + group0 + " < ~10 44(05 03 04) <"},
        {OP(SendCarParkGroup(5, 0x1234, kMembers, 3, 4)), 0, group + " < ~10 " + group0 + " <", {ok, shortReply, ok}},
        {OP(SendCarParkGroupE(258, 3, 4)), 1, "~10 44(01 02 03 04) <", {FakeLink::Ack(1, 0x44, 9)}},
        {OP(SendSetLiftOpenTime(1, Seq<int>(0, 40))), 1, "...< 51(01 03 " + Hex(Seq(30, 10)) + ") ~50 <", {refused}},
        {OP(SendSetLiftOpenTime(1, Seq<int>(0, 40))), 0, "...< 51(01 02 " + Hex(Seq(20, 10)) + ") ~50 <",
         {ok, ok, none, ok}},
        {OP(SendSet80FloorOpenSecond(9, Seq<int>(0, 80))), 1, "...< 51(09 07 " + Hex(Seq(70, 10)) + ") ~50 <"},
        {OP(DirectWriteByteXRAM(74565, 126)), 1, "4A(45 23 01 00 7E) <"},
        {OP(DirectReadBlockXRAM(256, block, 0)), 1, "4C(00 01 00 00) ~100 D", {}, 64},
        {OP(DirectReadBlockXRAM(256, block, 0)), 0, "4C(00 01 00 00) ~100 D", {}, 63},
        {OP(TurnOnIORelay(1, 2, 30)), 1, "09(01 20 1E) <"},
        {OP(TurnOnIORelay(1, 2, 5000)), 1, "09(01 23 88) <"},
        {[&](FakeLink &l) { return l.GetIORealTimeStatus(3, io) ? io : -1; }, 0xF1, "4E(03) ~200 <",
         {FakeLink::Frame(1, 0x4E, {0x4E, 0x00, '0', '0', 'F', '1'})}},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const Row &row = rows[i];
        FakeLink link;
        ScopedSleeper sleeper(link.SleepRecorder());
        link.SendAfterSleep = 30;
        for (std::size_t k = 0; k < (row.replies.size() == 1 ? 8 : row.replies.size()); ++k)
            link.QueueReply(row.replies[row.replies.size() == 1 ? 0 : k]);
        link.QueueDirect(Bytes(static_cast<std::size_t>(row.direct), 0xA5));
        EXPECT_EQ(row.call(link), row.result);
        if (row.trace.starts_with("..."))
            EXPECT_TRUE(link.Trace().ends_with(row.trace.substr(3))) << link.Trace();
        else
            EXPECT_EQ(link.Trace(), row.trace);
    }
}

TEST(EngineDoorsTables, DoorStatusTranslatesTheRawStateOfTheAskedDoorOnly)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    const std::pair<int, int> reported[] = {{0, 0}, {1, 3}, {2, 2}, {3, 1},  {4, 3},  {5, 2},
                                            {6, 2}, {7, 1}, {8, 4}, {9, 5}, {10, 2}, {255, 2}};
    for (const auto &[raw, state] : reported) {
        link.QueueReply(FakeLink::Frame(1, 0x20, {0x20, 2, static_cast<std::uint8_t>(raw)}));
        std::uint8_t got = 0x77;
        EXPECT_TRUE(link.GetDoorStatus(2, got));
        EXPECT_EQ(got, state) << "raw " << raw;
    }
    EXPECT_TRUE(link.Trace().starts_with("20(02) ~100 <"));

    std::uint8_t state = 0x77;
    link.QueueReply(FakeLink::Frame(1, 0x20, {0x20, 1, 7})); // door 1 answered
    EXPECT_FALSE(link.GetDoorStatus(2, state));
    link.QueueReply(FakeLink::Ack(1, 0x20, 2));
    EXPECT_FALSE(link.GetDoorStatus(2, state));
    EXPECT_EQ(state, 0x77);
}

// Arguments the controller cannot carry, and PIN texts that are no number,
// raise before a frame goes out; a state reply that is no number is not stored.
TEST(EngineDoorsTables, ErrorsRaiseBeforeSendingOrStoring)
{
    TController controller; // the PIN as a variant
    std::uint16_t state = 7;
    const Bytes badIO = FakeLink::Frame(1, 0x4E, {0x4E, 0x00, '0', '0', 'G', '1'});
    const std::vector<std::tuple<std::function<void(FakeLink &)>, std::string, std::string>> rows = {
        {OP(SendTimeZone(1, 1, {0, 1440})), "argument: Intervals: minute 1440 is outside 0 to 1439", ""},
        {OP(SendTimeZone(1, 2, {0, 10, 20})), "argument: Count: 2 is outside 0 to 1", ""},
        {OP(SendCarParkGroup(1, 2, Seq(0, 15), 3, 4)), "argument: Members: needs exactly 16 bytes, got 15", ""},
        {OP(SendSetLiftOpenTime(1, std::vector<int>(40, 256))),
         "argument: Floors: entry 0 value 256 is outside 0 to 255", ""},
        {OP(SendSetPanicPIN(true, std::string("12 4"))), "convert: PIN: '$ 4' is not a valid integer value", ""},
        {OP(SendSetPanicPIN(true, std::string("G1"))), "convert: PIN: '$G1' is not a valid integer value", ""},
        {[&](FakeLink &) { controller.SendSetPanicPIN(true, QVariant(QString("1x"))); },
         "convert: '1x' is not a valid integer value", ""},
        {[&](FakeLink &) { controller.SendSetPanicPIN(true, QVariant(2.5)); },
         "convert: '2.5' is not a valid integer value", ""},
        {[&](FakeLink &l) { l.QueueReply(badIO); l.GetIORealTimeStatus(1, state); },
         "convert: '$00G1' is not a valid integer value", "4E(01) ~200 <"},
    };
    for (const auto &[call, message, trace] : rows) {
        FakeLink link;
        ScopedSleeper sleeper(link.SleepRecorder());
        EXPECT_EQ(Raised([&] { call(link); }), message);
        EXPECT_EQ(link.Trace(), trace) << message;
    }
    EXPECT_EQ(state, 7);
}
