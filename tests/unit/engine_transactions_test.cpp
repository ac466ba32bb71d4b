// Transaction reads against a scripted link: the record copied for each card
// width, its confirmation, the debug log line, and the answers that are neither
// confirmed nor logged.
#include "common/Errors.h"
#include "component/Controller.h"
#include "tests/support/FakeLink.h"
#include "tests/support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTime>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

using namespace std::string_literals;
using norvik::ScopedSleeper;
using norvik::test::FakeLink;
using norvik::test::Hex;
using Bytes = FakeLink::Bytes;
using Calls = std::vector<std::string>;

namespace {

// Card 1234567, 2005-03-09 14:05:30, delivered (01), event 02, tag 00 07.
const std::string kRecord = "00 12 D6 87 05 03 09 0E 05 1E 01 02 00 07";

Bytes Reply(std::uint8_t address, std::uint8_t code, const std::string &record)
{
    return FakeLink::Frame(address, code, norvik::test::Bytes("00 " + record)); // byte 4 is not part of the record
}

// A link with its pauses recorded and its debug log in a folder of its own.
struct LoggingLink {
    QTemporaryDir dir;
    FakeLink link;
    ScopedSleeper sleeper{link.SleepRecorder()};
    LoggingLink()
    {
        link.SetDebugMode(true);
        link.SetDebugPath(dir.path().toStdString() + "/");
    }
    bool NothingLogged() const { return QDir(dir.path()).isEmpty(); }
    // Today's log after its leading "hh:mm:ss", which must be the time of the read.
    std::string Logged() const
    {
        QFile file(QString::fromStdString(link.DailyLogFileName()));
        const std::string text = file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
        const QTime stamp = QTime::fromString(QString::fromStdString(text.substr(0, 8)), QStringLiteral("HH:mm:ss"));
        EXPECT_TRUE(stamp.isValid() && std::abs(stamp.secsTo(QTime::currentTime())) <= 1) << text;
        return text.substr(std::min<std::size_t>(8, text.size()));
    }
};

} // namespace

TEST(EngineTransactions, ARecordIsCopiedConfirmedAndLogged)
{
    LoggingLink t;
    std::uint8_t buffer[22] = {};
    t.link.SetDebugMode(false);
    t.link.QueueReply(Reply(1, 0x22, kRecord));
    EXPECT_EQ(t.link.ReadTransaction(buffer, 22), 1);
    EXPECT_EQ(Hex(buffer, 22), "00 00 00 00 00 00 00 00 " + kRecord);
    EXPECT_TRUE(t.NothingLogged());

    t.link.SetDebugMode(true);
    t.link.calls.clear();
    t.link.QueueReply(Reply(1, 0x22, kRecord));
    EXPECT_EQ(t.link.ReadTransaction(buffer, 14), 1);
    EXPECT_EQ(Hex(buffer, 14), kRecord);
    EXPECT_EQ(t.link.calls, (Calls{"SendFrame", "Sleep 50", "ReceiveFrame", "Sleep 50", "SendFrame"}));
    EXPECT_EQ(Hex(t.link.sent.at(2)), "33 01 22 00 56");
    EXPECT_EQ(Hex(t.link.sent.at(3)), "33 01 FF 03 22 00 07 5F");
    const std::string line = "||1,0x02,0x00,0x12,0xD6,0x87(1234567),0x05,0x03,0x09(5/3/9),0x0E,0x05,0x1E(14:5:30),"
                             "0x01(1),0x02(2),\0,\x07,\r\n"s;
    EXPECT_EQ(t.Logged(), line);

    // Delivery byte 0: a valid answer without a record, neither confirmed nor logged.
    t.link.calls.clear();
    t.link.QueueReply(Reply(1, 0x22, "00 00 00 09 05 03 09 0E 05 1E 00 02 00 08"));
    EXPECT_EQ(t.link.ReadTransaction(buffer, 14), 1);
    EXPECT_EQ(Hex(buffer, 14), "00 00 00 09 05 03 09 0E 05 1E 00 02 00 08");
    EXPECT_EQ(t.link.calls, (Calls{"SendFrame", "Sleep 50", "ReceiveFrame"}));
    EXPECT_EQ(t.Logged(), line);
}

// Each width reads its own layout into the 22-byte form, whatever the engine's
// width setting (left at 4-byte cards here), and logs the record as it read it.
TEST(EngineTransactions, WideCardLayoutsAndTheirLogLines)
{
    const std::string rest = "05 03 09 0E 05 1E 80 02 41 42"; // delivered (80), event 02, tag "AB"
    const struct {
        std::function<int(FakeLink &, std::uint8_t *)> read;
        std::uint8_t id;
        int sendAfterSleep;
        std::string card, copied, logged;
    } rows[] = {
        {[](FakeLink &l, std::uint8_t *b) { return l.ReadTransactionCard7Bytes(b); }, 1, 0, "01 02 03 04 05 06 07",
         "00 00 00 00 00 01 02 03 04 05 06 07", "||1,0x02,0x01,0x02,0x03,0x04,0x05,0x06,0x07(01020304050607),"},
        {[](FakeLink &l, std::uint8_t *b) { return l.ReadTransactionCard8Bytes(b); }, 1, 30,
         "A1 A2 A3 A4 A5 A6 A7 A8", "00 00 00 00 A1 A2 A3 A4 A5 A6 A7 A8",
         "||1,0x80,0xA1,0xA2,0xA3,0xA4,0xA5,0xA6,0xA7,0xA8(A1A2A3A4A5A6A7A8),"},
        {[](FakeLink &l, std::uint8_t *b) { return l.ReadTransactionCard12Bytes(b); }, 5, -1,
         "01 02 03 04 05 06 07 08 09 0A 0B 0C", "01 02 03 04 05 06 07 08 09 0A 0B 0C",
         "||5,0x80,0x01,0x02,0x03,0x04,0x05,0x06,0x07,0x08,0x09,0x0A,0x0B,0x0C(0102030405060708090A0B0C),"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.card);
        LoggingLink t;
        t.link.ControllerID = row.id;
        t.link.SetSendAfterSleep(row.sendAfterSleep);
        t.link.QueueReply(Reply(row.id, 0x22, row.card + " " + rest));
        std::uint8_t buffer[22] = {};
        EXPECT_EQ(row.read(t.link, buffer), 1);
        EXPECT_EQ(Hex(buffer, 22), row.copied + " " + rest);
        EXPECT_EQ(Hex(t.link.sent.at(1)), Hex(FakeLink::Frame(row.id, 0xFF, {0x22, 0x41, 0x42})));
        Calls calls{"SendFrame", "Sleep " + std::to_string(row.sendAfterSleep ? row.sendAfterSleep : 50),
                    "ReceiveFrame", "Sleep 50", "SendFrame"};
        if (row.sendAfterSleep < 0)
            calls.erase(calls.begin() + 1);
        EXPECT_EQ(t.link.calls, calls);
        EXPECT_EQ(t.Logged(), row.logged + "0x05,0x03,0x09(5/3/9),0x0E,0x05,0x1E(14:5:30),0x80(128),0x02(2),A,B,\r\n");
    }
}

TEST(EngineTransactions, BadAnswersAreNeitherCopiedConfirmedNorLogged)
{
    Bytes badChecksum = Reply(1, 0x22, kRecord);
    badChecksum.back() ^= 0x01;
    for (const Bytes &reply : {Reply(1, 0x22, kRecord.substr(0, 38)), badChecksum, Reply(2, 0x22, kRecord), Bytes{}}) {
        SCOPED_TRACE(Hex(reply));
        LoggingLink t;
        t.link.QueueReply(reply);
        std::uint8_t buffer[22] = {0xAA};
        EXPECT_EQ(t.link.ReadTransaction(buffer, 22), -1);
        EXPECT_EQ(t.link.calls, (Calls{"SendFrame", "Sleep 50", "ReceiveFrame"}));
        EXPECT_EQ(buffer[0], 0xAA);
        EXPECT_TRUE(t.NothingLogged());
    }
}

// By index: 200 ms to answer, any 20-byte answer taken as it is in the 4-byte
// card layout whatever the width, then 50 ms; nothing confirmed or logged.
TEST(EngineTransactions, ReadRemovedTransaction)
{
    LoggingLink t;
    t.link.SetCardBytes(cbCard12Bytes);
    Bytes reply = Reply(2, 0x40, kRecord);
    reply.back() ^= 0xFF;
    t.link.QueueReply(reply);
    t.link.QueueReply(reply);
    std::uint8_t buffer[22] = {};
    EXPECT_EQ(t.link.ReadRemovedTransaction(0x0102, buffer, 22), 1);
    EXPECT_EQ(Hex(buffer, 22), "00 00 00 00 00 00 00 00 " + kRecord);
    EXPECT_EQ(t.link.ReadRemovedTransaction(0x0102, buffer, 14), 1);
    EXPECT_EQ(Hex(buffer, 14), kRecord);
    EXPECT_EQ(t.link.ReadRemovedTransaction(0x0102, buffer, 14), -1);
    EXPECT_EQ(Hex(t.link.sent.at(0)), "33 01 40 02 01 02 79");
    EXPECT_EQ(t.link.calls, (Calls{"SendFrame", "Sleep 200", "ReceiveFrame", "Sleep 50", "SendFrame", "Sleep 200",
                                   "ReceiveFrame", "Sleep 50", "SendFrame", "Sleep 200", "ReceiveFrame"}));
    EXPECT_TRUE(t.NothingLogged());
}

TEST(EngineTransactions, ASizeThatCannotHoldTheRecordIsRefusedBeforeSending)
{
    std::uint8_t buffer[22] = {};
    FakeLink link;
    TController controller;
    controller.SetCardBytes(cbCard8Bytes);
    const struct {
        std::function<void()> call;
        const char *message;
    } rows[] = {
        {[&] { link.ReadTransaction(buffer, 20); }, "Size: 20 bytes cannot hold the record: the read writes 22 bytes (14"},
        {[&] { link.ReadRemovedTransaction(1, buffer, 0); }, "Size: 0 bytes cannot hold"},
        {[&] { controller.ReadTransaction(buffer, 14); },
         "Size: 14 bytes cannot hold the record: the read writes 22 bytes for 7-, 8- and 12-byte cards"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        try {
            row.call();
            ADD_FAILURE() << "not refused";
        } catch (const norvik::EArgumentError &e) {
            EXPECT_EQ(std::string(e.what()).rfind(row.message, 0), 0u) << e.what();
        }
    }
    EXPECT_TRUE(link.calls.empty());
}
