// Identity, info and boot-loader commands against a scripted link: exact
// request bytes, the pause each takes, and how each answer is judged.
#include "tests/support/FakeLink.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

using norvik::ScopedSleeper;
using norvik::test::FakeLink;
using Bytes = FakeLink::Bytes;
using norvik::test::Hex;

namespace {

using Calls = std::vector<std::string>;

const std::string kSN = "12345678";
const Bytes kSNBytes{'1', '2', '3', '4', '5', '6', '7', '8'};

Bytes InfoReply()
{
    return FakeLink::Frame(1, 0x42, {0x00, 0x00, 0x01, 0x02, 0x05, 0x03, 0xE8, 0x0F, 0xA0, 0x00, 0x0A, 0x00, 0x05,
                                     0x01, 0xF4});
}

// Reply to a read of the controller ID: address = owner's ID, data = 0x29 + SN echo.
Bytes ReadIDReply(std::uint8_t id, const Bytes &sn)
{
    Bytes data(1, 0x29);
    data.reserve(1 + sn.size());
    for (std::uint8_t b : sn) // element-wise: GCC 12 misreads a range insert here (-Warray-bounds)
        data.push_back(b);
    return FakeLink::Frame(id, 0x29, data);
}

} // namespace

TEST(EngineIdentity, ResetAndJumpFramesAndPauses)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(FakeLink::Ack(1, 0x02, 0));
    EXPECT_EQ(link.ResetController(), 1);
    EXPECT_EQ(Hex(link.sent.at(0)), "33 01 02 00 36");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));

    link.calls.clear();
    link.QueueReply(FakeLink::Ack(1, 0xE0, 0));
    EXPECT_TRUE(link.SendJumpBootloader());
    EXPECT_EQ(Hex(link.sent.at(1)), "33 01 E0 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 1C");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "Sleep 50", "ReceiveFrame"}));

    link.QueueReply(FakeLink::Ack(1, 0xE0, 3));
    EXPECT_FALSE(link.SendJumpBootloader());
    link.QueueSilence();
    EXPECT_FALSE(link.SendJumpBootloader());
    // The address byte follows ControllerID.
    link.ControllerID = 0x80;
    link.QueueSilence();
    link.ResetController();
    EXPECT_EQ(Hex(link.sent.back()), "33 80 02 00 B5");
}

TEST(EngineIdentity, InfoDecodesTheRecordAfter100ms)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(InfoReply());
    TControllerInfo info;
    ASSERT_TRUE(link.GetControllerInfo(info));
    EXPECT_EQ(Hex(link.sent.at(0)), "33 01 42 00 76");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "Sleep 100", "ReceiveFrame"}));
    EXPECT_EQ(info.Version, 0x0205);
    EXPECT_EQ(info.TypeCode, 1);
    EXPECT_EQ(info.CardMax, 1000);
    EXPECT_EQ(info.RecordMax, 4000);
    EXPECT_EQ(info.SortCardCount, 10);
    EXPECT_EQ(info.UnsortCardCount, 5);
    EXPECT_EQ(info.RecordCount, 500);
}

TEST(EngineIdentity, InfoOfAnyOtherLengthLeavesTheRecordAlone)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    Bytes shorter = InfoReply();
    shorter.pop_back();                                    // 19 bytes
    Bytes longer = InfoReply();
    longer.push_back(0x00);                                // 21 bytes
    link.QueueReply(shorter);
    link.QueueReply(longer);
    link.QueueReplyCount(21, longer);                      // a link that reports 21 as read
    link.QueueReply(FakeLink::Ack(1, 0x42, 0));            // 7 bytes, status 0
    link.QueueSilence();
    TControllerInfo info;
    info.Version = 0x0909;
    info.RecordCount = 77;
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(link.GetControllerInfo(info)) << "reply " << i;
        EXPECT_EQ(info.Version, 0x0909);
        EXPECT_EQ(info.RecordCount, 77);
        EXPECT_EQ(info.TypeCode, 0);
    }
}

TEST(EngineIdentity, SerialNumberReadCopiesEightBytesOnlyFromA14ByteAnswer)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    const Bytes data{0x28, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    link.QueueReply(FakeLink::Frame(1, 0x28, data));
    std::uint8_t sn[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0x5A};
    ASSERT_TRUE(link.GetControllerSN(sn));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(sn), 8), "ABCDEFGH");
    EXPECT_EQ(sn[8], 0x5A);
    EXPECT_EQ(Hex(link.sent.at(0)), "33 01 28 00 5C");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));

    std::uint8_t untouched[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    link.QueueReply(FakeLink::Ack(1, 0x28, 0));
    EXPECT_FALSE(link.GetControllerSN(untouched));
    EXPECT_EQ(untouched[0], 9);
}

TEST(EngineIdentity, WritingSNAndIDGoesToAddressZero)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.ControllerID = 5;
    link.QueueReply(FakeLink::Ack(0, 0x27, 0));
    EXPECT_TRUE(link.SendSetControllerSN(kSN, 0x107)); // only the low 8 bits go out
    EXPECT_EQ(Hex(link.sent.at(0)), "33 00 27 09 07 31 32 33 34 35 36 37 38 0E");
    link.QueueReply(FakeLink::Ack(0, 0x27, 1));
    EXPECT_FALSE(link.SendSetControllerSN(kSN, 7));

    // The ID write has no answer: nothing is read, nothing waited for.
    link.calls.clear();
    link.SendSetControllerID(3, kSN);
    EXPECT_EQ(Hex(link.sent.back()), "33 00 03 09 03 31 32 33 34 35 36 37 38 E6");
    EXPECT_EQ(link.calls, (Calls{"SendFrame"}));
}

TEST(EngineIdentity, ReadControllerIDChecksEchoAndChecksum)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.ControllerID = 9;
    link.QueueReply(ReadIDReply(42, kSNBytes));
    EXPECT_EQ(link.SendReadControllerID(kSN), 42);
    EXPECT_EQ(Hex(link.sent.at(0)), "33 00 29 08 31 32 33 34 35 36 37 38 08");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));

    Bytes otherSN = kSNBytes;
    otherSN[7] = '9';
    link.QueueReply(ReadIDReply(42, otherSN));
    EXPECT_EQ(link.SendReadControllerID(kSN), 0);
    otherSN = kSNBytes;
    otherSN[0] = '0';
    link.QueueReply(ReadIDReply(42, otherSN));
    EXPECT_EQ(link.SendReadControllerID(kSN), 0);

    for (int delta : {+1, -1}) {
        Bytes bad = ReadIDReply(42, kSNBytes);
        bad.back() = static_cast<std::uint8_t>(bad.back() + delta);
        link.QueueReply(bad);
        EXPECT_EQ(link.SendReadControllerID(kSN), 0) << "checksum off by " << delta;
    }

    link.QueueSilence();
    EXPECT_EQ(link.SendReadControllerID(kSN), -1);
    // Neither 0 nor 14: never taken for a confirmation of any ID.
    link.QueueReply(FakeLink::Ack(42, 0x29, 0));
    EXPECT_EQ(link.SendReadControllerID(kSN), 0);
    link.QueueReplyCount(13, ReadIDReply(42, kSNBytes));
    EXPECT_EQ(link.SendReadControllerID(kSN), 0);
}

TEST(EngineIdentity, TextsOtherThanEightCharactersAreNeverSent)
{
    for (const std::string &bad : {std::string(), std::string("1234567"), std::string("123456789")}) {
        SCOPED_TRACE("'" + bad + "'");
        FakeLink link;
        ScopedSleeper sleeper(link.SleepRecorder());
        link.QueueReply(FakeLink::Ack(0, 0x27, 0)); // would confirm, if it were read
        EXPECT_FALSE(link.SendSetControllerSN(bad, 1));
        link.SendSetControllerID(1, bad);
        EXPECT_EQ(link.SendReadControllerID(bad), -1);
        EXPECT_EQ(link.SendSetDeviceID(1, 1, bad), -1);
        EXPECT_EQ(link.SendReadDeviceID(1, bad), -1);
        EXPECT_TRUE(link.sent.empty());
        EXPECT_TRUE(link.calls.empty());
        EXPECT_EQ(link.PendingReplies(), 1u);
    }
    // An SN with a NUL byte inside is still 8 bytes and goes out as it is.
    FakeLink link;
    link.SendSetControllerID(2, std::string("1234\0" "678", 8));
    EXPECT_EQ(Hex(link.sent.back()), "33 00 03 09 02 31 32 33 34 00 36 37 38 B0");
}

TEST(EngineDeviceID, BeginAndEndNeedTheirOwnEcho)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(FakeLink::Ack(1, 0x37, 0));
    EXPECT_TRUE(link.BeginSetDeviceID());
    EXPECT_EQ(Hex(link.sent.back()), "33 01 37 00 6B");
    link.QueueReply(FakeLink::Ack(1, 0x36, 0)); // status 0 but the echo of End
    EXPECT_FALSE(link.BeginSetDeviceID());
    link.QueueReply(FakeLink::Ack(1, 0x37, 1));
    EXPECT_FALSE(link.BeginSetDeviceID());

    link.QueueReply(FakeLink::Ack(1, 0x36, 0));
    EXPECT_TRUE(link.EndSetDeviceID());
    EXPECT_EQ(Hex(link.sent.back()), "33 01 36 00 6A");
    link.QueueReply(FakeLink::Ack(1, 0x37, 0));
    EXPECT_FALSE(link.EndSetDeviceID());
    link.QueueSilence();
    EXPECT_FALSE(link.EndSetDeviceID());
    for (const auto &call : link.calls)
        EXPECT_EQ(call.rfind("Sleep", 0), std::string::npos) << "no pause expected";
}

TEST(EngineDeviceID, SetSendsSelectorValueAndText)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(FakeLink::Ack(1, 0x26, 0));
    EXPECT_EQ(link.SendSetDeviceID(0x141, 0x202, "ABCDEFGH"), 1);
    EXPECT_EQ(Hex(link.sent.back()), "33 01 26 0A 02 41 41 42 43 44 45 46 47 48 CB");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));
    link.QueueReply(FakeLink::Ack(1, 0x26, 2));
    EXPECT_EQ(link.SendSetDeviceID(1, 2, "ABCDEFGH"), 0);
    link.QueueSilence();
    EXPECT_EQ(link.SendSetDeviceID(1, 2, "ABCDEFGH"), -1);
}

TEST(EngineDeviceID, ReadConvertsDigitsAndCapitalsOnly)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    const auto reply = [](std::uint8_t status, std::uint8_t selector, std::uint8_t value) {
        return FakeLink::Frame(1, 0x35, {0x35, status, selector, value});
    };
    link.QueueReply(reply(0, 4, 'A'));
    EXPECT_EQ(link.SendReadDeviceID(4, "ABCDEFGH"), 10);
    EXPECT_EQ(Hex(link.sent.back()), "33 01 35 09 04 41 42 43 44 45 46 47 48 9A");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "Sleep 100", "ReceiveFrame"}));

    struct Row {
        std::uint8_t value;
        int result;
    };
    for (const Row row : {Row{'a', 97}, Row{0x05, 5}, Row{'0', 0}, Row{'9', 9}, Row{'Z', 35}, Row{'@', '@'},
                          Row{'[', '['}, Row{0xFF, 255}}) {
        link.QueueReply(reply(0, 4, row.value));
        EXPECT_EQ(link.SendReadDeviceID(4, "ABCDEFGH"), row.result) << "value byte " << int(row.value);
    }

    link.QueueReply(reply(1, 4, 'A'));
    EXPECT_EQ(link.SendReadDeviceID(4, "ABCDEFGH"), 0);
    link.QueueReply(reply(0, 5, 'A')); // another selector answered
    EXPECT_EQ(link.SendReadDeviceID(4, "ABCDEFGH"), -1);
    link.QueueReply(FakeLink::Ack(1, 0x35, 0));
    EXPECT_EQ(link.SendReadDeviceID(4, "ABCDEFGH"), -1);
    // Only the low 8 bits of the selector go out, but the echo must equal the
    // selector asked for: 0x104 answered as 4 is not confirmed.
    link.QueueReply(reply(0, 0x04, '7'));
    EXPECT_EQ(link.SendReadDeviceID(0x104, "ABCDEFGH"), -1);
    EXPECT_EQ(Hex(link.sent.back()).substr(0, 15), "33 01 35 09 04 ");
}

TEST(EngineIdentity, BookmarkFrontSharesTheInfoRequestButWantsSixBytes)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.QueueReply(Bytes{0x33, 0x01, 0x42, 0x01, 0x00, 0x77});
    EXPECT_TRUE(link.BookmarkFront());
    EXPECT_EQ(Hex(link.sent.back()), "33 01 42 00 76");
    EXPECT_EQ(link.calls, (Calls{"SendFrame", "ReceiveFrame"}));
    link.QueueReply(Bytes{0x33, 0x01, 0x42, 0x01, 0x05, 0x7C}); // status not looked at
    EXPECT_TRUE(link.BookmarkFront());
    link.QueueReply(InfoReply());
    EXPECT_FALSE(link.BookmarkFront());
    link.QueueSilence();
    EXPECT_FALSE(link.BookmarkFront());
}
