// Card list, special card and card option commands against a scripted link:
// the frame each call sends, its pause, how its answer is judged, and the
// arguments refused before anything goes out.
#include "common/Errors.h"
#include "tests/support/FakeLink.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <functional>

using norvik::ScopedSleeper;
using norvik::test::FakeLink;
using norvik::test::Hex;
using Bytes = FakeLink::Bytes;
using L = FakeLink &;

namespace {

const std::vector<int> kZones{1, 2, 3, 4};

std::vector<int> Counting(int count)
{
    std::vector<int> list(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        list[static_cast<std::size_t>(i)] = i;
    return list;
}

QDateTime At(int h, int m, int s)
{
    return QDateTime(QDate(1999, 9, 9), QTime(h, m, s)); // the date part is never sent
}

} // namespace

TEST(EngineCards, FramesPausesAndResults)
{
    const Bytes ack = FakeLink::Ack(1, 0x25, 0), refused = FakeLink::Ack(1, 0x25, 5), none;
    const Bytes eight = FakeLink::Frame(1, 0x25, {0x25, 0, 0});
    const struct {
        TCardBytes width;
        std::function<int(L)> call;
        Bytes reply;
        std::uint8_t code;
        const char *data;
        int pause, result;
    } rows[] = {
        {cbNormal, [](L l) { return l.AddUnSortedCardA("12345678", kZones, false, 0x1234, "x", "y"); }, ack, 0x25,
         "00 00 BC 61 4E 04 03 02 01 12 34 00 01 01 3F 0C 1F", 0, 1},
        {cbNormal, [](L l) { return l.AddUnSortedCardA(" 12345678 ", kZones, true, 0x1234, "240101", "251231"); },
         refused, 0x25, "00 00 BC 61 4E 04 03 02 01 12 34 18 01 01 19 0C 1F", 0, 1},
        {cbCard8Bytes, [](L l) { return l.AddUnSortedCardA("0102030405060708", kZones, false, 0, "", ""); }, none,
         0x25, "01 05 06 07 08 04 03 02 01 00 00 02 03 04 3F 0C 1F", 0, -1},
        {cbCard7Bytes, [](L l) { return l.AddUnSortedCardA("0102030405060708", kZones, false, 0, "", ""); }, eight,
         0x25, "00 05 06 07 08 04 03 02 01 00 00 02 03 04 3F 0C 1F", 0, 0},
        {cbCard12Bytes, [](L l) { return l.AddSortedCardA(0x51234, "0A0B0C0D0102030405060708FF", {}, true, 7, "?",
                                                          "251231", true); },
         ack, 0x34, "12 34 01 05 06 07 08 0A 0B 0C 0D 00 07 02 03 04 19 0C 1F", 0, 1},
        {cbCard7Bytes, [](L l) { return l.AddSortedCardD(0x1234, "?", kZones, false, 0, "", "", false,
                                                         {16, 17, 18, 19, 0x114}); },
         ack, 0x24, "12 34 00 00 00 27 0F 04 03 02 01 00 00 00 01 01 3F 0C 1F 10 11 12 13 14", 0, 1},
        {cbNormal, [](L l) { return l.AddUnSortedCardE("1", kZones, false, 0, 0x0102, "", ""); }, ack, 0x25,
         "00 00 00 00 01 04 03 02 01 00 00 00 01 01 3F 0C 1F 01 02", 0, 1},
        {cbCard12Bytes,
         [](L l) { return l.AddUnSortedCardH("258", kZones, true, 0, "240101", "251231", Counting(10)); }, ack, 0x25,
         "00 00 00 01 02 04 03 02 01 00 00 18 01 01 19 0C 1F 00 01 02 03 04 05 06 07 08 09", 0, 1},
        {cbNormal, [](L l) { return l.AddSortedCardB(0x1234, Counting(20)); }, ack, 0x31,
         "12 34 13 12 11 10 0F 0E 0D 0C 0B 0A 09 08 07 06 05 04", 0, 1},
        {cbCard12Bytes, [](L l) { return l.AddUnSortedCardB("?", Counting(16)); }, ack, 0x32,
         "00 00 00 27 0F 0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00", 0, 1},
        {cbCard12Bytes, [](L l) { return l.AddUnSortedCardC("1234", "ABCDEFGHIJKLMNOPQR", false); }, ack, 0x53,
         "00 00 00 04 D2 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50", 0, 1},
        {cbNormal, [](L l) { return int(l.SendDelOneCard("12345678")); }, ack, 0x25,
         "00 00 BC 61 4E 00 00 00 00 00 00 00 01 02 00 01 01", 0, 1},
        {cbNormal, [](L l) { return int(l.SendSetEmergencyCard(3, "1234", false)); }, ack, 0x4D,
         "03 41 30 30 30 30 30 34 44 32", 100, 1},
        {cbNormal, [](L l) { return int(l.SendSetEmergencyCard(3, " -1", true)); }, refused, 0x4D,
         "03 4C 46 46 46 46 46 46 46 46", 100, 0},
        {cbNormal, [](L l) { return int(l.SendClearEmergencyCard(3)); }, ack, 0x4D, "03 43 30 30 30 30 30 30 30 30",
         100, 1},
        {cbNormal, [](L l) { return int(l.SetCardIDMask(5, "FFFF00FF")); }, refused, 0x4F, "00 FF FF 00 FF 05", 200, 1},
        {cbNormal, [](L l) { l.SetSendAfterSleep(20); return int(l.SetAllowAnyCard(true)); }, ack, 0x41,
         "01 00 00 00 01", 20, 1},
        {cbNormal, [](L l) { return int(l.SetPresentCardDelay(0x0102)); }, ack, 0x41, "02 02 01 00 00", 0, 1},
        {cbCard8Bytes, [](L l) { return l.SendSetIndividualCard(0x0102, 7, "", 0x0304, "240131", At(8, 30, 15),
                                                                At(17, 45, 0), true); },
         none, 0x57, "01 02 FF FF FF FF 03 04 07 18 01 1F 08 1E 0F 11 2D 00", 0, -1},
        {cbNormal, [](L l) { return l.SendSetIndividualCard(1, 0, "305419896", 1, "000101", At(0, 0, 0),
                                                            At(23, 59, 59), false); },
         refused, 0x57, "00 01 12 34 56 78 00 01 00 00 01 01 00 00 00 17 3B 3B", 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.data);
        FakeLink link;
        ScopedSleeper sleeper(link.SleepRecorder());
        link.SetCardBytes(row.width);
        if (!row.reply.empty())
            link.QueueReply(row.reply);
        EXPECT_EQ(row.call(link), row.result);
        ASSERT_EQ(link.sent.size(), 1u);
        EXPECT_EQ(Hex(link.sent[0]), Hex(FakeLink::Frame(1, row.code, norvik::test::Bytes(row.data))));
        std::vector<std::string> calls{"SendFrame", "Sleep " + std::to_string(row.pause), "ReceiveFrame"};
        if (row.pause == 0)
            calls.erase(calls.begin() + 1);
        EXPECT_EQ(link.calls, calls);
    }
}

TEST(EngineCards, ArgumentsTheFrameCannotCarryAreRefusedBeforeSending)
{
    const QDateTime t = At(0, 0, 0);
    const struct {
        TCardBytes width;
        std::function<void(L)> call;
        bool conversion; // EConvertError, else EArgumentError
        const char *message;
    } rows[] = {
        {cbNormal, [](L l) { l.AddUnSortedCardA("4294967296", kZones, false, 0, "", ""); }, true,
         "CardNo: '4294967296' is not a card number from 0 to 4294967295"},
        {cbNormal, [t](L l) { l.SendSetIndividualCard(0, 0, "-1", 0, "000101", t, t, false); }, true, "CardNo: '-1'"},
        {cbNormal, [](L l) { l.SendSetEmergencyCard(1, "2147483648", false); }, true, "CardNo: '2147483648'"},
        {cbCard8Bytes, [](L l) { l.SendDelOneCard("0G02030405060708"); }, true, "CardNo: '$0G'"},
        {cbNormal, [](L l) { l.AddUnSortedCardA("1", {1, 2, 3}, false, 0, "", ""); }, false,
         "ZoneList: needs at least 4 entries, got 3"},
        {cbNormal, [](L l) { l.AddSortedCardA(0, "1", kZones, true, 0, "24011", "", false); }, false, "StartDate:"},
        {cbCard7Bytes, [](L l) { l.AddUnSortedCardA("1", kZones, true, 0, "?", "2512x1"); }, true, "EndDate: 'x1'"},
        {cbNormal, [](L l) { l.AddUnSortedCardD("1", kZones, false, 0, "", "", Counting(4)); }, false, "ExtraList"},
        {cbCard12Bytes, [](L l) { l.AddSortedCardB(0, Counting(15)); }, false, "ByteList: needs at least 16"},
        {cbNormal, [](L l) { l.AddSortedCardA(0, "1", {1, 2, 256, 4}, false, 0, "", "", false); }, false,
         "ZoneList: entry 2 value 256 is outside 0 to 255"},
        {cbNormal, [](L l) { l.AddUnSortedCardF("1", kZones, false, 0, "", "", {0, 0, 0, 0, 0, 0, 0, 0, 0, -1}); },
         false, "ExtraList: entry 9 value -1 is outside 0 to 255"},
        {cbNormal, [](L l) { l.AddUnSortedCardB("1", {0, 0, 0, 0, 300, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); },
         false, "ByteList: entry 4 value 300 is outside 0 to 255"},
        {cbNormal, [](L l) { l.AddSortedCardC(0, std::string(25, 'A'), true); }, false, "RawText: needs at least 26"},
        {cbNormal, [](L l) { l.SetCardIDMask(0, "FFFF00F"); }, false, "Mask: needs at least 8 characters"},
        {cbNormal, [t](L l) { l.SendSetIndividualCard(0, 0, "", 0, "2401310", t, t, true); }, false, "Date: '240"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        FakeLink link;
        link.SetCardBytes(row.width);
        try {
            row.call(link);
            ADD_FAILURE() << "not refused";
        } catch (const norvik::NorvikError &e) {
            EXPECT_EQ(dynamic_cast<const norvik::EConvertError *>(&e) != nullptr, row.conversion);
            EXPECT_EQ(std::string(e.what()).rfind(row.message, 0), 0u) << e.what();
        }
        EXPECT_TRUE(link.calls.empty());
    }
}
