// The engine's own machinery: checksum, buffers, the exchange with its pauses,
// the result conventions, and the debug log writer.
#include "tests/support/FakeLink.h"
#include "tests/support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using norvik::ScopedSleeper;
using norvik::test::FakeLink;
using Bytes = FakeLink::Bytes;
using norvik::test::Hex;

namespace {

// Opens the engine's protected pieces to the tests.
class Probe : public FakeLink {
public:
    using TBasicCom::BoolStatus;
    using TBasicCom::BoolStatusEcho;
    using TBasicCom::Exchange;
    using TBasicCom::LengthOnly;
    using TBasicCom::PauseRuleA;
    using TBasicCom::PauseRuleB;
    using TBasicCom::SendOnly;
    using TBasicCom::TriStateByCount;
    using TBasicCom::TriStateStatus;
    using TBasicCom::TriStateStatusEcho;

    // A reply sitting in ReplyBuffer with the given echo and status.
    void SetReply(std::uint8_t echo, std::uint8_t status)
    {
        ClearBuffers(false, true);
        ReplyBuffer[4] = echo;
        ReplyBuffer[5] = status;
    }
};

std::string ReadFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll().toStdString();
}

} // namespace

TEST(EngineChecksum, SumsModulo256)
{
    const std::uint8_t reset[] = {0x33, 0x01, 0x02, 0x00};
    EXPECT_EQ(TBasicCom::CalCheckSum(reset, 4), 0x36);
    const std::uint8_t wrap[] = {0xFF, 0x02};
    EXPECT_EQ(TBasicCom::CalCheckSum(wrap, 2), 0x01);
    EXPECT_EQ(TBasicCom::CalCheckSum(wrap, 0), 0);
    EXPECT_EQ(TBasicCom::CalCheckSum(wrap, -3), 0);
}

TEST(EngineBuffers, ClearingEachBufferOnItsOwn)
{
    FakeLink link;
    link.RequestBuffer[0] = link.RequestBuffer[255] = 7;
    link.ReplyBuffer[0] = link.ReplyBuffer[255] = 9;
    link.ClearBuffers(false, true);
    EXPECT_EQ(link.RequestBuffer[255], 7);
    EXPECT_EQ(link.ReplyBuffer[0], 0);
    EXPECT_EQ(link.ReplyBuffer[255], 0);
    link.ClearBuffers(true, false);
    EXPECT_EQ(link.RequestBuffer[0], 0);
    EXPECT_EQ(link.RequestBuffer[255], 0);
}

TEST(EngineExchange, BuildsSendsAndReadsOnceWithoutClearingTheRequestBuffer)
{
    Probe link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.ControllerID = 0x21;
    link.RequestBuffer[10] = 0xAB; // beyond this frame: must stay as it was
    link.QueueReply(FakeLink::Ack(0x21, 0x10, 0));
    const std::uint8_t data[] = {0xF0, 0x20};
    EXPECT_EQ(link.Exchange(0x10, data, 2), 7);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(Hex(link.sent[0]), "33 21 10 02 F0 20 76");
    EXPECT_EQ(link.RequestBuffer[10], 0xAB);
    EXPECT_EQ(link.calls, (std::vector<std::string>{"SendFrame", "ReceiveFrame"}));

    // An explicit address replaces ControllerID; a frame without answer reads nothing.
    link.calls.clear();
    link.SendOnly(0x00, 0x03, data, 2);
    EXPECT_EQ(Hex(link.sent.back()), "33 00 03 02 F0 20 48");
    EXPECT_EQ(link.calls, (std::vector<std::string>{"SendFrame"}));

    // A data length the buffer cannot hold is never sent and counts as no answer.
    link.calls.clear();
    EXPECT_EQ(link.Exchange(0x10, data, 252), 0);
    EXPECT_EQ(link.Exchange(0x10, data, -1), 0);
    EXPECT_TRUE(link.calls.empty());
}

TEST(EngineExchange, PauseFallsBetweenSendAndReceiveAndOnlyWhenPositive)
{
    Probe link;
    ScopedSleeper sleeper(link.SleepRecorder());
    link.Exchange(0x10, nullptr, 0, 35);
    EXPECT_EQ(link.calls, (std::vector<std::string>{"SendFrame", "Sleep 35", "ReceiveFrame"}));
    link.calls.clear();
    link.Exchange(0x10, nullptr, 0, 0);
    link.Exchange(0x10, nullptr, 0, -5);
    EXPECT_EQ(link.calls, (std::vector<std::string>{"SendFrame", "ReceiveFrame", "SendFrame", "ReceiveFrame"}));
}

TEST(EnginePauseRules, RuleAWaits50ForZeroRuleBDoesNot)
{
    Probe link;
    struct Row {
        int sendAfterSleep, ruleA, ruleB;
    };
    for (const Row row : {Row{-1, 0, 0}, Row{-200, 0, 0}, Row{0, 50, 0}, Row{1, 1, 1}, Row{120, 120, 120}}) {
        link.SetSendAfterSleep(row.sendAfterSleep);
        EXPECT_EQ(link.PauseRuleA(), row.ruleA) << "SendAfterSleep " << row.sendAfterSleep;
        EXPECT_EQ(link.PauseRuleB(), row.ruleB) << "SendAfterSleep " << row.sendAfterSleep;
    }
}

// One row per convention: expected length with status 0, with status not 0,
// count 0, and another count (shorter and longer).
TEST(EngineResultConventions, EachRowOfTheTable)
{
    Probe link;
    const std::uint8_t code = 0x37;
    for (int expected : {7, 20}) {
        SCOPED_TRACE("expected length " + std::to_string(expected));
        link.SetReply(code, 0);
        EXPECT_EQ(link.TriStateStatus(expected, expected), 1);
        EXPECT_TRUE(link.BoolStatus(expected, expected));
        EXPECT_TRUE(link.BoolStatusEcho(expected, code, expected));
        EXPECT_EQ(link.TriStateStatusEcho(expected, code, expected), 1);
        EXPECT_TRUE(Probe::LengthOnly(expected, expected));
        EXPECT_EQ(Probe::TriStateByCount(expected, expected), 1);

        link.SetReply(code, 1);
        EXPECT_EQ(link.TriStateStatus(expected, expected), 0);
        EXPECT_FALSE(link.BoolStatus(expected, expected));
        EXPECT_FALSE(link.BoolStatusEcho(expected, code, expected));
        EXPECT_EQ(link.TriStateStatusEcho(expected, code, expected), 0);
        EXPECT_TRUE(Probe::LengthOnly(expected, expected));
        EXPECT_EQ(Probe::TriStateByCount(expected, expected), 1);

        // Status 0 but the echo names another command.
        link.SetReply(0x36, 0);
        EXPECT_FALSE(link.BoolStatusEcho(expected, code, expected));
        EXPECT_EQ(link.TriStateStatusEcho(expected, code, expected), 0);
        EXPECT_EQ(link.TriStateStatus(expected, expected), 1);

        link.SetReply(code, 0);
        EXPECT_EQ(link.TriStateStatus(0, expected), -1);
        EXPECT_FALSE(link.BoolStatus(0, expected));
        EXPECT_FALSE(link.BoolStatusEcho(0, code, expected));
        EXPECT_EQ(link.TriStateStatusEcho(0, code, expected), -1);
        EXPECT_FALSE(Probe::LengthOnly(0, expected));
        EXPECT_EQ(Probe::TriStateByCount(0, expected), -1);

        for (int other : {expected - 1, expected + 1, 5}) {
            EXPECT_EQ(link.TriStateStatus(other, expected), -1);
            EXPECT_FALSE(link.BoolStatus(other, expected));
            EXPECT_FALSE(link.BoolStatusEcho(other, code, expected));
            EXPECT_EQ(link.TriStateStatusEcho(other, code, expected), -1);
            EXPECT_FALSE(Probe::LengthOnly(other, expected));
            EXPECT_EQ(Probe::TriStateByCount(other, expected), 0);
        }
    }
}

TEST(EngineResultConventions, LastReplyStatusTellsARefusalFromSilenceAndFromData)
{
    FakeLink link;
    ScopedSleeper sleeper(link.SleepRecorder());
    EXPECT_EQ(link.LastReplyStatus(), -1);
    std::uint8_t value = 0;
    const struct {
        Bytes reply; // empty: silence
        std::function<void()> call;
        int status;
    } rows[] = {
        {FakeLink::Frame(0x01, 0x0A, {0x0A, 0x05}), [&] { EXPECT_TRUE(link.ForceOpenDoorNow(1)); }, 5},
        {FakeLink::Frame(0x01, 0x4B, {0x4B, 0x3F}), [&] { EXPECT_TRUE(link.DirectReadByteXRAM(0, value)); }, 0},
        {FakeLink::Frame(0x01, 0x20, {0x20, 0x01, 0x00}), [&] { EXPECT_TRUE(link.GetDoorStatus(1, value)); }, 0},
        {{}, [&] { EXPECT_FALSE(link.ForceOpenDoorNow(1)); }, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.status);
        if (row.reply.empty())
            link.QueueSilence();
        else
            link.QueueReply(row.reply);
        row.call();
        EXPECT_EQ(link.LastReplyStatus(), row.status);
    }
}

TEST(EngineResultConventions, ResetThroughTheLinkReadsLengthBeforeStatus)
{
    FakeLink link;
    link.QueueReply(FakeLink::Ack(1, 0x02, 0));
    link.QueueReply(FakeLink::Ack(1, 0x02, 1));
    link.QueueReply(Bytes{0x33, 0x01, 0x02, 0x02, 0x02, 0x00});             // 6 bytes: short
    link.QueueReply(Bytes{0x33, 0x01, 0x02, 0x02, 0x02, 0x00, 0x3A, 0x00}); // 8 bytes: over-long
    link.QueueReplyCount(8, FakeLink::Ack(1, 0x02, 0));                     // count 8, status 0 in place
    link.QueueSilence();
    EXPECT_EQ(link.ResetController(), 1);
    EXPECT_EQ(link.ResetController(), 0);
    EXPECT_EQ(link.ResetController(), -1);
    EXPECT_EQ(link.ResetController(), -1);
    EXPECT_EQ(link.ResetController(), -1);
    EXPECT_EQ(link.ResetController(), -1);
    EXPECT_EQ(Hex(link.sent.at(0)), "33 01 02 00 36");
}

// Replies that differ from a good one only in bytes a command must not judge
// by: the checksum and the address (only the transaction reads and the
// controller-ID read check them) and, for the commands judged by length or by
// count alone, the status byte. Each command keeps its success value.
TEST(EngineResultConventions, BytesACommandDoesNotExamineLeaveItsSuccess)
{
#define OP(expr) [&](FakeLink &l) { return static_cast<int>(l.expr); }
    std::uint8_t sn[8], byte = 0, record[22];
    std::uint16_t word = 0;
    TControllerInfo info;
    const std::vector<int> ints16(16, 1), ints20(20, 1), ints80(80, 5), zones{1, 2, 3, 4};
    const std::vector<std::uint8_t> bytes16(16, 1), bytes11(11, 1);
    const std::string lcd(16, 'x'), raw(16, 'a');
    const QDateTime when(QDate(2005, 12, 31), QTime(23, 59, 59));
    struct Row {
        std::function<int(FakeLink &)> call;
        std::uint8_t code;
        Bytes data; // the reply's data; empty: the acknowledgement {code, status 0}
        int success;
        bool byLengthOrCount;
    };
    const Row rows[] = {
        {OP(ResetController()), 0x02, {}, 1, false},
        {OP(SendJumpBootloader()), 0xE0, {}, 1, false},
        {OP(GetControllerInfo(info)), 0x42, Bytes(15, 1), 1, false},
        {OP(GetControllerSN(sn)), 0x28, {0x28, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}, 1, false},
        {OP(SendSetControllerSN("ABCDEFGH", 5)), 0x27, {}, 1, false},
        {OP(BeginSetDeviceID()), 0x37, {}, 1, false},
        {OP(SendSetDeviceID(1, 4, "ABCDEFGH")), 0x26, {}, 1, false},
        {OP(SendReadDeviceID(4, "ABCDEFGH")), 0x35, {0x35, 0, 4, 'A'}, 10, false},
        {OP(EndSetDeviceID()), 0x36, {}, 1, false},
        {OP(BookmarkFront()), 0x42, {0x00}, 1, false},
        {OP(SendTime(when)), 0x01, {}, 1, false},
        {OP(GetControllerDateTime() == when), 0x43, {0x43, 5, 12, 31, 23, 59, 59}, 1, false},
        {OP(SendSetSummerTime(when, when)), 0x39, {}, 1, false},
        {OP(ReadRemovedTransaction(0x0102, record, 22)), 0x40, Bytes(15, 1), 1, false},
        {OP(AddUnSortedCardA("12345678", zones, false, 0, "", "")), 0x25, {}, 1, true},
        {OP(AddSortedCardB(1, ints20)), 0x31, {}, 1, true},
        {OP(AddSortedCardC(1, raw, false)), 0x52, {}, 1, true},
        {OP(SendDelOneCard("12345678")), 0x25, {}, 1, true},
        {OP(SendSetIndividualCard(1, 2, "123", 5, "240101", when, when, false)), 0x57, {}, 1, false},
        {OP(SendSetEmergencyCard(1, "123", true)), 0x4D, {}, 1, false},
        {OP(SetCardIDMask(1, "01020304")), 0x4F, {}, 1, true},
        {OP(SetAllowAnyCard(true)), 0x41, {}, 1, false},
        {OP(SetPresentCardDelay(100)), 0x41, {}, 1, false},
        {OP(OpenDoorNow(1, 2, 3)), 0x09, {}, 1, true},
        {OP(ForceOpenDoorNow(1)), 0x0A, {}, 1, true},
        {OP(ForceCloseDoorNow(1)), 0x0B, {}, 1, true},
        {OP(ResumeDoorNormalNow(1)), 0x0C, {}, 1, true},
        {OP(SetDoorOpenTime(1, 2, 3)), 0x04, {}, 1, false},
        {OP(GetDoorStatus(2, byte)), 0x20, {0x20, 2, 0}, 1, false},
        {OP(SendSetDoorPIN(1, 1, 1234)), 0x48, {}, 1, false},
        {OP(SendSetPanicPIN(true, 1234)), 0x49, {}, 1, false},
        {OP(SendSetLCDText(lcd)), 0x38, {}, 1, false},
        {OP(SendSetDoorLCDText(lcd, 1, false)), 0x54, {}, 1, true},
        {OP(SendReadDoorLCDText()), 0x54, {}, 1, true},
        {OP(SendTimeZone(6, 1, {0, 4})), 0x0E, {}, 1, false},
        {OP(SendTimeTable(1, bytes11)), 0x0D, {}, 1, false},
        {OP(SendHoliday(1, 2, 3, 4)), 0x10, {}, 1, false},
        {OP(SendPinDisableTimeTable(bytes16)), 0x15, {}, 1, false},
        {OP(SendAutoOpenDoorTimeTable(ints16)), 0x14, {}, 1, false},
        {OP(SendAutoForceCloseDoorTimeTable(ints16)), 0x45, {}, 1, false},
        {OP(SendAntiPassBack(1, 2, 3)), 0x30, {}, 1, false},
        {OP(SendGroup(1, 2, bytes16)), 0x0F, {}, 1, true},
        {OP(SendCarParkGroup(1, 2, bytes16, 3, 4)), 0x0F, {}, 1, true},
        {OP(SendCarParkGroupE(1, 2, 3)), 0x44, {}, 1, true},
        {OP(SendSet80FloorOpenSecond(1, ints80)), 0x51, {}, 1, true},
        {OP(DirectReadByteXRAM(0x10, byte)), 0x4B, {}, 1, false},
        {OP(DirectWriteByteXRAM(0x10, 1)), 0x4A, {}, 1, false},
        {OP(TurnOnIORelay(1, 0, 100)), 0x09, {}, 1, true},
        {OP(GetIORealTimeStatus(1, word)), 0x4E, {0x4E, 0, '0', '0', '1', 'F'}, 1, false},
    };
#undef OP
    enum Fault { WrongChecksum, OtherAddress, StatusSet };
    for (const Row &row : rows) {
        for (const Fault fault : {WrongChecksum, OtherAddress, StatusSet}) {
            if (fault == StatusSet && !row.byLengthOrCount)
                continue;
            Bytes data = row.data.empty() ? Bytes{row.code, 0x00} : row.data;
            if (fault == StatusSet)
                data.at(1) = 0x5A;
            Bytes reply = FakeLink::Frame(fault == OtherAddress ? 0x09 : 0x01, row.code, data);
            if (fault == WrongChecksum)
                reply.back() = static_cast<std::uint8_t>(reply.back() + 1);
            FakeLink link;
            ScopedSleeper sleeper(link.SleepRecorder());
            for (int i = 0; i < 8; ++i) // enough for the commands written in several frames
                link.QueueReply(reply);
            EXPECT_EQ(row.call(link), row.success) << "fault " << fault << ", code " << int(row.code) << ", reply "
                                                   << Hex(reply) << ", " << link.Trace();
        }
    }
}

TEST(EngineDebugLog, DailyFileNameIsAPlainPrefix)
{
    const QDate day(2005, 3, 9);
    EXPECT_EQ(TBasicCom::DailyLogFileName("/var/log/norvik/", day), "/var/log/norvik/RX20050309.txt");
    EXPECT_EQ(TBasicCom::DailyLogFileName("door1_", day), "door1_RX20050309.txt");
    EXPECT_EQ(TBasicCom::DailyLogFileName("", QDate(2026, 12, 31)), "RX20261231.txt");

    FakeLink link;
    link.SetDebugPath("p/");
    EXPECT_EQ(link.DailyLogFileName(), TBasicCom::DailyLogFileName("p/", QDate::currentDate()));
}

TEST(EngineDebugLog, CreatesTheLastFolderLevelAndAppendsCrLfLines)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    FakeLink link;
    link.SetDebugPath((dir.path() + "/logs/").toStdString());
    const std::string name = link.DailyLogFileName();

    const char rawBytes[] = "14:05:31||1,\x00,\x07,"; // record tags go out as raw bytes
    const std::string raw(rawBytes, sizeof rawBytes - 1);
    link.AppendLogLine(name, "first");
    link.AppendLogLine(name, raw);
    link.AppendLogLine(name, ""); // an empty line adds nothing
    EXPECT_EQ(ReadFile(QString::fromStdString(name)), "first\r\n" + raw + "\r\n");

    // An empty line still leaves the (empty) file behind.
    const QString other = dir.path() + "/logs/empty.txt";
    link.AppendLogLine(other.toStdString(), "");
    EXPECT_TRUE(QFile::exists(other));
    EXPECT_EQ(ReadFile(other), "");
}

TEST(EngineDebugLog, FailuresAreSwallowedAndOnlyOneLevelIsCreated)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    FakeLink link;

    // Missing parent: neither level appears.
    const std::string deep = (dir.path() + "/a/b/RX.txt").toStdString();
    EXPECT_NO_THROW(link.AppendLogLine(deep, "line"));
    EXPECT_FALSE(QDir(dir.path() + "/a").exists());

    // A folder part below a regular file.
    QFile plain(dir.path() + "/plain");
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    EXPECT_NO_THROW(link.AppendLogLine((dir.path() + "/plain/sub/RX.txt").toStdString(), "line"));
    EXPECT_EQ(ReadFile(dir.path() + "/plain"), "");

    // The file name names a folder.
    EXPECT_NO_THROW(link.AppendLogLine(dir.path().toStdString(), "line"));

    // A blank name touches nothing.
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    EXPECT_NO_THROW(link.AppendLogLine("   ", "line"));
    EXPECT_NO_THROW(link.AppendLogLine("", "line"));
    EXPECT_NO_THROW(link.AppendLogLine(" \t\r\n", "line"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}
