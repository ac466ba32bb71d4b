// The simulated controllers' access-control state, spoken to in-process with
// hand-built request frames: the transaction queue, the card lists and the info
// counts, the time-zone map, doors and I/O, XRAM and the --fail-frame fault.
#include "sim/SimBus.h"
#include "sim/SimConfig.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestUtil.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <memory>

using namespace nsim;
using norvik::test::SimRequest;

namespace {

QByteArray raw(const std::string &hex)
{
    const std::vector<std::uint8_t> v = norvik::test::Bytes(hex);
    return QByteArray(reinterpret_cast<const char *>(v.data()), static_cast<qsizetype>(v.size()));
}

int at(const QByteArray &f, int i)
{
    return static_cast<unsigned char>(f.at(i));
}

bool checksumOk(const QByteArray &f)
{
    int sum = 0;
    for (int i = 0; i + 1 < f.size(); ++i)
        sum += static_cast<unsigned char>(f[i]);
    return !f.isEmpty() && (sum & 0xFF) == at(f, static_cast<int>(f.size()) - 1);
}

struct Rig {
    explicit Rig(QStringList options)
    {
        const ParseResult parsed = parseSimArguments(QStringList{"--udp", "127.0.0.1:0"} + options);
        EXPECT_EQ(parsed.kind, ParseResult::Ok) << parsed.error.toStdString();
        bus = std::make_unique<SimBus>(parsed.config);
        session = std::make_unique<SimSession>(*bus, QStringLiteral("test"), true);
    }
    QByteArray send(int code, const QByteArray &data = {})
    {
        QByteArray all;
        for (const Write &w : session->receive(SimRequest(1, code, data)))
            all += w.bytes;
        return all;
    }
    // Status byte of a 7-byte acknowledgement, -1 for anything else.
    int status(int code, const QByteArray &data)
    {
        const QByteArray r = send(code, data);
        return r.size() == 7 ? at(r, 5) : -1;
    }
    // SortCardCount, UnsortCardCount and RecordCount of the info reply.
    std::vector<int> counts()
    {
        const QByteArray info = send(0x42);
        return {at(info, 13) << 8 | at(info, 14), at(info, 15) << 8 | at(info, 16), at(info, 17) << 8 | at(info, 18)};
    }
    QJsonObject state() { return bus->state()[QStringLiteral("controllers")][0].toObject(); }
    std::unique_ptr<SimBus> bus;
    std::unique_ptr<SimSession> session;
};

} // namespace

TEST(SimTransactions, ReadConfirmEmptyQueueAndReadByIndexInEveryCardWidth)
{
    for (const auto &[width, length] : std::vector<std::pair<int, int>>{{4, 20}, {7, 23}, {8, 24}, {12, 28}}) {
        SCOPED_TRACE(width);
        Rig rig({"--card-bytes", QString::number(width), "--transactions", "2"});
        EXPECT_EQ(rig.counts()[2], 2);
        // Record 0: card 2000000 (1E 84 80) in the last four card bytes, delivery 1, tag 00 01.
        const QByteArray first = rig.send(0x22);
        ASSERT_EQ(first.size(), length);
        EXPECT_EQ(at(first, 1), 1);
        EXPECT_EQ(at(first, 4), 0x22);
        EXPECT_TRUE(checksumOk(first));
        EXPECT_EQ(first.mid(5 + width - 4, 4), raw("00 1E 84 80"));
        EXPECT_EQ(first.mid(length - 5, 4), raw("01 01 00 01")) << "delivery, event, tag";
        EXPECT_EQ(rig.send(0x22), first) << "unconfirmed: delivered again";
        EXPECT_TRUE(rig.send(0xFF, raw("22 00 09")).isEmpty()) << "no such tag: nothing changes";
        EXPECT_TRUE(rig.send(0xFF, raw("22 00 01")).isEmpty()) << "a confirmation is not answered";
        EXPECT_EQ(rig.send(0x22).mid(length - 3, 2), raw("00 02"));
        EXPECT_EQ(rig.counts()[2], 1);
        rig.send(0xFF, raw("22 00 02"));

        const QByteArray empty = rig.send(0x22);
        ASSERT_EQ(empty.size(), length);
        EXPECT_EQ(at(empty, length - 5), 0) << "empty queue: delivery byte 0";
        EXPECT_TRUE(checksumOk(empty));
        EXPECT_EQ(rig.counts()[2], 0);

        // Delivered records stay readable by index, always in the 4-byte layout.
        const QByteArray removed = rig.send(0x40, raw("00 01"));
        ASSERT_EQ(removed.size(), 20);
        EXPECT_EQ(removed.mid(5, 4), raw("00 1E 84 81"));
        EXPECT_EQ(removed.mid(15, 4), raw("01 02 00 02"));
        const QByteArray unknown = rig.send(0x40, raw("00 02"));
        ASSERT_EQ(unknown.size(), 7);
        EXPECT_NE(at(unknown, 5), 0);
        EXPECT_EQ(rig.state()[QStringLiteral("transactions")][QStringLiteral("delivered")].toArray().size(), 2);
    }
}

TEST(SimCards, ListsFollowAddsAndDeletesAndTheInfoCounts)
{
    const QByteArray card = raw("00 00 BC 61 4E 04 03 02 01 12 34 00 01 01 3F 0C 1F"); // 12345678, 2000-01-01..2063-12-31
    const QByteArray deletion = raw("00 00 BC 61 4E 00 00 00 00 00 00 00 01 02 00 01 01");
    const QByteArray other = raw("00 00 00 27 0F 00 00 00 00 00 00 18 01 01 19 0C 1F");
    struct Step {
        int code;
        QByteArray data;
        int status, sorted, unsorted;
    };
    const std::vector<Step> steps = {
        {0x25, card, 0, 0, 1},
        {0x24, raw("00 05") + card, 0, 1, 1},
        {0x34, raw("00 06") + card + raw("01 02"), 0, 2, 1},            // E
        {0x25, other + raw("01 02 03 04 05"), 0, 2, 2},                 // D
        {0x32, raw("00 00 00 00 07") + QByteArray(16, 'b'), 0, 2, 3},  // B
        {0x52, raw("00 07") + QByteArray(26, 'c'), 0, 3, 3},           // C, long
        {0x25, card, 0, 3, 3},                                          // the same card again
        {0x25, deletion, 0, 3, 2},
        {0x24, raw("00 05") + deletion, 0, 2, 2},
        {0x24, raw("00 05") + card.left(16), 2, 2, 2},                  // wrong n
    };
    Rig rig({"--sort-count", "10", "--unsort-count", "5"});
    EXPECT_EQ(rig.counts(), (std::vector<int>{10, 5, 500})) << "configured until a card command arrives";
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rig.status(steps[i].code, steps[i].data) != 0, steps[i].status != 0);
        const std::vector<int> counts = rig.counts();
        EXPECT_EQ(counts[0], steps[i].sorted);
        EXPECT_EQ(counts[1], steps[i].unsorted);
    }
    const QJsonArray unsorted = rig.state()[QStringLiteral("unsorted_cards")].toArray();
    EXPECT_EQ(unsorted[0].toObject()[QStringLiteral("card")].toString(), "0000000007");
    EXPECT_EQ(unsorted[1].toObject()[QStringLiteral("start")].toString(), "240101");

    // 8-byte cards: the start-date field carries card bytes, so the end date alone deletes.
    Rig wide({"--card-bytes", "8"});
    wide.status(0x25, raw("01 05 06 07 08 04 03 02 01 00 00 02 03 04 3F 0C 1F"));
    EXPECT_EQ(wide.state()[QStringLiteral("unsorted_cards")][0][QStringLiteral("card")].toString(), "0102030405060708");
    wide.status(0x25, raw("01 05 06 07 08 00 00 00 00 00 00 02 03 04 00 01 01"));
    EXPECT_EQ(wide.counts()[1], 0);
}

TEST(SimCalendar, TimeZoneMapIsAssembledFromItsThreeParts)
{
    Rig rig({});
    // 08:00 to 17:00: slots 96 to 204, map bytes 12 to 24 full and byte 25 F8.
    const QByteArray map = QByteArray(12, '\0') + QByteArray(13, '\xFF') + raw("F8") + QByteArray(10, '\0');
    for (int part = 0; part < 3; ++part)
        EXPECT_EQ(rig.status(0x0E, raw("07") + char(part) + map.mid(12 * part, 12)), 0);
    EXPECT_NE(rig.status(0x0E, raw("07 03") + QByteArray(12, '\xFF')), 0) << "there is no part 3";
    const QJsonObject zone = rig.state()[QStringLiteral("time_zones")][0].toObject();
    EXPECT_EQ(zone[QStringLiteral("zone")].toInt(), 7);
    EXPECT_EQ(zone[QStringLiteral("map")].toString().toStdString(), map.toHex().toUpper().toStdString());
    EXPECT_EQ(zone[QStringLiteral("intervals")].toArray(), QJsonArray{"08:00-17:04"});
}

TEST(SimDoors, StatusCodesAndTheIoState)
{
    struct Step {
        int code;
        const char *data;
        int door2, io; // raw status of door 2, I/O state after the step
    };
    const std::vector<Step> steps = {
        {0x09, "04 00 00", 3, 0x0200},  // open door 2 for its open time
        {0x09, "01 20 1E", 3, 0x0201},  // relay 1, mode 2, 30 s
        {0x0B, "02", 9, 0x0001},
        {0x0A, "02", 8, 0x0201},
        {0x0C, "02", 0, 0x0001},
    };
    Rig rig({});
    for (const Step &s : steps) {
        SCOPED_TRACE(s.data);
        EXPECT_EQ(rig.status(s.code, raw(s.data)), 0);
        EXPECT_EQ(rig.send(0x20, raw("02")), SimRequest(1, 0x20, raw("20 02") + char(s.door2)));
        const QByteArray io = rig.send(0x4E, raw("00"));
        ASSERT_EQ(io.size(), 11);
        EXPECT_EQ(io.mid(4, 2), raw("4E 00"));
        EXPECT_EQ(io.mid(6, 4), QByteArray::number(s.io, 16).toUpper().rightJustified(4, '0'));
    }
    EXPECT_NE(rig.status(0x20, raw("05")), 0) << "no door 5";
}

TEST(SimMemory, XramWriteReadAndTheUnframedBlock)
{
    Rig rig({"--bad-checksum", "--fault-command", "0x4C"}); // a block has no checksum to spoil
    EXPECT_EQ(rig.status(0x4A, raw("34 12 00 00 7E")), 0);
    EXPECT_NE(rig.status(0x4A, raw("45 23 01 00 7E")), 0) << "beyond 64 KiB";
    EXPECT_EQ(rig.send(0x4B, raw("34 12 00 00")), SimRequest(1, 0x4B, raw("4B 7E")));
    const QByteArray block = rig.send(0x4C, raw("00 12 00 00"));
    ASSERT_EQ(block.size(), 64);
    EXPECT_EQ(block, QByteArray(0x34, '\0') + raw("7E") + QByteArray(11, '\0'));
    EXPECT_EQ(rig.send(0x4C, raw("C1 FF 00 00")).size(), 7) << "a block running past the end is refused";
    EXPECT_EQ(rig.state()[QStringLiteral("xram")], (QJsonArray{QJsonObject{{"address", 0x1234}, {"bytes", "7E"}}}));
}

TEST(SimFaults, FailFrameRefusesOrSilencesTheKthFrameAndChangesNothing)
{
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent);
        Rig rig({"--fail-frame", "0x0E:2", "--fail-frame", "0xFF:1", "--fail-mode", silent ? "silent" : "refuse",
                 "--transactions", "1"});
        EXPECT_EQ(rig.status(0x0E, raw("01 00") + QByteArray(12, '\xFF')), 0);
        const QByteArray failed = rig.send(0x0E, raw("01 01") + QByteArray(12, '\xFF'));
        EXPECT_EQ(failed, silent ? QByteArray() : SimRequest(1, 0x0E, raw("0E 01")));
        EXPECT_EQ(rig.status(0x0E, raw("01 02") + QByteArray(12, '\xFF')), 0) << "only the K-th frame fails";
        EXPECT_EQ(rig.state()[QStringLiteral("time_zones")][0][QStringLiteral("map")].toString(),
                  QString(24, 'F') + QString(24, '0') + QString(24, 'F'));
        // A confirmation is never answered, failed or not; the record stays waiting.
        EXPECT_TRUE(rig.send(0xFF, raw("22 00 01")).isEmpty());
        EXPECT_EQ(rig.counts()[2], 1);
        EXPECT_EQ(rig.state()[QStringLiteral("frames_failed")].toInt(), 2);
    }
}
