// The simulated controllers spoken to in-process with raw request bytes: reply
// shapes and state changes of the identity, clock and boot-loader commands,
// addressing on a shared link, frame delimiting, every fault option and the modem.
#include "sim/SimBus.h"
#include "sim/SimConfig.h"
#include "sim/SimModem.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestUtil.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

using namespace nsim;
using norvik::test::SimJumpRequest;
using norvik::test::SimRequest;

namespace {

QByteArray raw(const std::string &hex)
{
    const std::vector<std::uint8_t> v = norvik::test::Bytes(hex);
    return QByteArray(reinterpret_cast<const char *>(v.data()), static_cast<qsizetype>(v.size()));
}

std::string hex(const QByteArray &bytes)
{
    return norvik::test::Hex(reinterpret_cast<const std::uint8_t *>(bytes.constData()), static_cast<int>(bytes.size()));
}

bool checksumOk(const QByteArray &f)
{
    int sum = 0;
    for (int i = 0; i + 1 < f.size(); ++i)
        sum += static_cast<unsigned char>(f[i]);
    return !f.isEmpty() && (sum & 0xFF) == static_cast<unsigned char>(f.back());
}

int byteAt(const QByteArray &f, int i)
{
    return static_cast<unsigned char>(f.at(i));
}

// Intel-HEX record line as the burner sends it (without the ";").
QByteArray record(int address, int type, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF)).append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes.append(char((0x100 - (sum & 0xFF)) & 0xFF));
    return ':' + bytes.toHex().toUpper();
}

// All the bytes of the writes, in order.
QByteArray joined(const std::vector<Write> &writes)
{
    QByteArray all;
    for (const Write &w : writes)
        all += w.bytes;
    return all;
}

struct Rig {
    explicit Rig(QStringList options, bool datagrams = true)
    {
        options.prepend(QStringLiteral("127.0.0.1:0"));
        options.prepend(QStringLiteral("--udp"));
        const ParseResult parsed = parseSimArguments(options);
        EXPECT_EQ(parsed.kind, ParseResult::Ok) << parsed.error.toStdString();
        bus = std::make_unique<SimBus>(parsed.config);
        session = std::make_unique<SimSession>(*bus, QStringLiteral("test"), datagrams);
    }
    // All the bytes written in answer, in order.
    QByteArray send(const QByteArray &bytes)
    {
        last = session->receive(bytes);
        return joined(last);
    }
    QJsonObject state(int index = 0) { return bus->state()[QStringLiteral("controllers")][index].toObject(); }
    std::unique_ptr<SimBus> bus;
    std::unique_ptr<SimSession> session;
    std::vector<Write> last;
};

} // namespace

TEST(SimReplies, IdentityAndInfoRepliesHaveTheirShapes)
{
    Rig rig({"--id", "1", "--sn", "12345678", "--type-code", "1", "--version", "2.5"});
    EXPECT_EQ(hex(rig.send(raw("33 01 02 00 36"))), "33 01 02 02 02 00 3A");

    const QByteArray info = rig.send(raw("33 01 42 00 76"));
    ASSERT_EQ(info.size(), 20);
    EXPECT_EQ(hex(info.mid(0, 5)), "33 01 42 0F 42");
    EXPECT_EQ(hex(info.mid(5, 14)), "00 01 02 05 03 E8 0F A0 00 0A 00 05 01 F4");
    EXPECT_TRUE(checksumOk(info));

    const QByteArray sn = rig.send(SimRequest(1, 0x28));
    ASSERT_EQ(sn.size(), 14);
    EXPECT_EQ(byteAt(sn, 3), 9);
    EXPECT_EQ(byteAt(sn, 4), 0x28);
    EXPECT_EQ(sn.mid(5, 8), "12345678");
    EXPECT_TRUE(checksumOk(sn));

    const QByteArray readId = rig.send(SimRequest(0, 0x29, "12345678"));
    ASSERT_EQ(readId.size(), 14);
    EXPECT_EQ(byteAt(readId, 1), 1);
    EXPECT_EQ(byteAt(readId, 4), 0x29);
    EXPECT_EQ(readId.mid(5, 8), "12345678");
    EXPECT_TRUE(checksumOk(readId));
    EXPECT_TRUE(rig.send(SimRequest(0, 0x29, "87654321")).isEmpty()) << "nobody holds that SN";

    // Device ID session: begin and end echo their own code, the value set is read back.
    EXPECT_EQ(hex(rig.send(SimRequest(1, 0x37))), hex(SimRequest(1, 0x37, raw("37 00"))));
    EXPECT_EQ(hex(rig.send(SimRequest(1, 0x26, raw("04") + "A" + "ABCDEFGH"))), hex(SimRequest(1, 0x26, raw("26 00"))));
    EXPECT_EQ(hex(rig.send(SimRequest(1, 0x35, raw("04") + "ABCDEFGH"))), hex(SimRequest(1, 0x35, raw("35 00 04 41"))));
    const QByteArray unset = rig.send(SimRequest(1, 0x35, raw("05") + "ABCDEFGH"));
    ASSERT_EQ(unset.size(), 9);
    EXPECT_NE(byteAt(unset, 5), 0) << "a selector never set is refused";
    EXPECT_EQ(hex(rig.send(SimRequest(1, 0x36))), hex(SimRequest(1, 0x36, raw("36 00"))));

    EXPECT_EQ(hex(rig.send(SimRequest(1, 0x39, raw("01 06 03 1A 02 00 D6 0A 1D 07 03 00")))),
              hex(SimRequest(1, 0x39, raw("39 00"))));

    const QByteArray unknown = rig.send(SimRequest(1, 0x99));
    ASSERT_EQ(unknown.size(), 7);
    EXPECT_EQ(byteAt(unknown, 4), 0x99);
    EXPECT_NE(byteAt(unknown, 5), 0);
    EXPECT_TRUE(checksumOk(unknown));
}

TEST(SimReplies, ClockStartsAtThePcTimeIsSetAndReadBackAndBadDatesAreRefused)
{
    Rig rig({});
    const QByteArray start = rig.send(SimRequest(1, 0x43));
    ASSERT_EQ(start.size(), 12);
    const QDate today = QDate::currentDate();
    EXPECT_EQ(byteAt(start, 5), today.year() - 2000);
    EXPECT_EQ(byteAt(start, 6), today.month());

    // Wednesday 2005-03-09 14:05:30.
    EXPECT_EQ(hex(rig.send(raw("33 01 01 07 05 03 09 0E 05 1E 03 81"))), "33 01 01 02 01 00 38");
    const QByteArray now = rig.send(SimRequest(1, 0x43));
    ASSERT_EQ(now.size(), 12);
    EXPECT_EQ(byteAt(now, 4), 0x43);
    EXPECT_EQ(hex(now.mid(5, 5)), "05 03 09 0E 05");
    EXPECT_GE(byteAt(now, 10), 30);
    EXPECT_LE(byteAt(now, 10), 31);
    EXPECT_TRUE(checksumOk(now));

    for (const char *bad : {"05 0D 09 0E 05 1E 03", "05 02 1E 0E 05 1E 03", "05 03 09 18 05 1E 03", "05 03 09 0E 05 1E 07"}) {
        const QByteArray refused = rig.send(SimRequest(1, 0x01, raw(bad)));
        ASSERT_EQ(refused.size(), 7) << bad;
        EXPECT_NE(byteAt(refused, 5), 0) << bad;
    }
    EXPECT_EQ(hex(rig.send(SimRequest(1, 0x43)).mid(5, 3)), "05 03 09") << "a refused date leaves the clock";
}

TEST(SimAddressing, SeveralControllersShareOneLink)
{
    Rig rig({"--ids", "1,2", "--sn", "AAAAAAAA"});
    EXPECT_EQ(rig.send(SimRequest(1, 0x28)).mid(5, 8), "AAAAAAAA");
    const QByteArray second = rig.send(SimRequest(2, 0x28));
    ASSERT_EQ(second.size(), 14);
    EXPECT_EQ(byteAt(second, 1), 2);
    EXPECT_NE(second.mid(5, 8), "AAAAAAAA") << "every controller has its own SN";
    EXPECT_TRUE(rig.send(SimRequest(3, 0x28)).isEmpty()) << "nobody at ID 3";
    EXPECT_EQ(byteAt(rig.send(SimRequest(0, 0x29, second.mid(5, 8))), 1), 2);
    EXPECT_TRUE(rig.send(SimRequest(0, 0x42)).isEmpty()) << "address 0 only selects by SN";

    // A bad checksum is not answered.
    QByteArray bad = SimRequest(1, 0x42);
    bad[4] = char(bad[4] + 1);
    EXPECT_TRUE(rig.send(bad).isEmpty());
}

TEST(SimAddressing, SnPlusIdWriteMovesTheController)
{
    Rig rig({"--ids", "1,2", "--sn", "11111111", "--sn", "22222222"});
    const QByteArray ack = rig.send(SimRequest(0, 0x27, raw("07") + "11111111"));
    EXPECT_EQ(hex(ack), hex(SimRequest(7, 0x27, raw("27 00"))));
    EXPECT_TRUE(rig.send(SimRequest(1, 0x42)).isEmpty()) << "the old ID is gone";
    EXPECT_EQ(rig.send(SimRequest(7, 0x42)).size(), 20);
    EXPECT_EQ(byteAt(rig.send(SimRequest(0, 0x29, "11111111")), 1), 7);

    // 0x03 does the same without an answer.
    EXPECT_TRUE(rig.send(SimRequest(0, 0x03, raw("09") + "11111111")).isEmpty());
    EXPECT_EQ(rig.send(SimRequest(9, 0x42)).size(), 20);

    // An ID the other controller answers to, or ID 0, would break the bus: refused.
    for (const char *id : {"02", "00"}) {
        const QByteArray refused = rig.send(SimRequest(0, 0x27, raw(id) + "11111111"));
        ASSERT_EQ(refused.size(), 7) << id;
        EXPECT_NE(byteAt(refused, 5), 0) << id;
    }
    EXPECT_EQ(rig.state(0)[QStringLiteral("id")].toInt(), 9);
    EXPECT_TRUE(rig.send(SimRequest(0, 0x27, raw("05") + "33333333")).isEmpty()) << "unknown SN";
}

TEST(SimFraming, SerialStreamIsCutByTheLengthByte)
{
    Rig rig({}, /*datagrams=*/false);
    const QByteArray info = SimRequest(1, 0x42);
    EXPECT_TRUE(rig.send(info.left(2)).isEmpty());
    EXPECT_TRUE(rig.send(info.mid(2, 2)).isEmpty());
    EXPECT_EQ(rig.send(info.mid(4)).size(), 20);

    // Noise before a frame is skipped; two frames in one read get two answers.
    const QByteArray two = rig.send(raw("00 FF") + SimRequest(1, 0x02) + SimRequest(1, 0x28));
    EXPECT_EQ(two.size(), 7 + 14);

    // A frame left half-sent is given up, so it does not swallow the next request.
    EXPECT_TRUE(rig.send(info.left(3)).isEmpty());
    QThread::msleep(SimSession::kStaleFrameMs + 60);
    EXPECT_EQ(rig.send(info).size(), 20);
}

TEST(SimFraming, DatagramMustHoldExactlyOneFrame)
{
    Rig rig({});
    EXPECT_TRUE(rig.send(SimRequest(1, 0x42) + raw("00")).isEmpty());
    EXPECT_TRUE(rig.send(SimRequest(1, 0x42).left(4)).isEmpty());
    EXPECT_EQ(rig.send(SimRequest(1, 0x42)).size(), 20);
}

TEST(SimBootLoader, DownloadAcknowledgesLinesAndTheNewImageRunsAfterAPowerCycle)
{
    Rig rig({"--type-code", "1", "--version", "2.5"});
    QByteArray badKey = SimJumpRequest(1).mid(4, 16);
    badKey[15] = char(0xFE);
    const QByteArray refused = rig.send(SimRequest(1, 0xE0, badKey));
    ASSERT_EQ(refused.size(), 7);
    EXPECT_NE(byteAt(refused, 5), 0);
    EXPECT_EQ(rig.send(SimRequest(1, 0x42)).size(), 20) << "still answering frames";

    EXPECT_EQ(hex(rig.send(raw("33 01 E0 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 1C"))),
              hex(SimRequest(1, 0xE0, raw("E0 00"))));
    EXPECT_EQ(rig.state()[QStringLiteral("bootloader")].toString(), "active");

    QByteArray identity(64, char(0x5A));
    identity[0x3A] = char(0x01); // type code 0x0105 at 0x77BA
    identity[0x3B] = char(0x05);
    identity[0x3C] = char(0x03); // version 3.12 at 0x77BC
    identity[0x3D] = char(0x0C);
    EXPECT_EQ(rig.send(record(0x7740, 0, QByteArray(64, char(0x11))) + ';'), "K");
    QByteArray corrupt = record(0x7780, 0, identity);
    corrupt[12] = corrupt[12] == '0' ? '1' : '0';
    EXPECT_EQ(rig.send(corrupt + ';'), "N") << "checksum no longer matches";
    EXPECT_EQ(rig.send(":4077;"), "N") << "too short for a record";
    EXPECT_EQ(rig.send(record(0x7780, 0, identity).toLower() + ';'), "K") << "lower-case digits are fine";
    EXPECT_EQ(rig.send(record(0, 0x07, raw("00")) + ';'), "N") << "no such record type";
    EXPECT_EQ(rig.send(":00000001FF;"), "Z");
    EXPECT_EQ(rig.send(SimRequest(1, 0x42)), "") << "waits for its power to be switched";
    EXPECT_EQ(rig.state()[QStringLiteral("bootloader")].toString(), "written");
    rig.bus->powerCycleAll();

    const QByteArray info = rig.send(SimRequest(1, 0x42));
    ASSERT_EQ(info.size(), 20) << "framed again after the power cycle";
    EXPECT_EQ(hex(info.mid(5, 4)), "01 05 03 0C");
    const QJsonObject s = rig.state();
    EXPECT_EQ(s[QStringLiteral("bootloader")].toString(), "off");
    EXPECT_EQ(s[QStringLiteral("power_cycles")].toInt(), 1);
    EXPECT_EQ(s[QStringLiteral("image_size")].toInt(), 128);
    EXPECT_EQ(s[QStringLiteral("lines_accepted")].toInt(), 3);
    EXPECT_EQ(s[QStringLiteral("lines_rejected")].toInt(), 3);
}

TEST(SimBootLoader, ExtendedAddressesAndSerialStreamOfLines)
{
    Rig rig({"--restart-on-end"}, /*datagrams=*/false);
    // The jump request and the first line in the same read: the line goes to the boot loader.
    const QByteArray replies = rig.send(SimJumpRequest(1) + record(0, 0x04, raw("00 01")) + ";");
    EXPECT_EQ(replies, SimRequest(1, 0xE0, raw("E0 00")) + "K");
    // A line arriving in pieces, then a segment base (0x1000 * 16 = 0x10000).
    EXPECT_TRUE(rig.send(record(0x0010, 0, raw("AA BB")).left(5)).isEmpty());
    EXPECT_EQ(rig.send(record(0x0010, 0, raw("AA BB")).mid(5) + ";"), "K");
    EXPECT_EQ(rig.send(record(0, 0x02, raw("20 00")) + ";" + record(0x0000, 0, raw("CC")) + ";"), "KK");
    EXPECT_EQ(rig.send(":00000001FF;"), "Z");
    const QJsonObject s = rig.state();
    EXPECT_EQ(s[QStringLiteral("image_size")].toInt(), 3);
    EXPECT_EQ(s[QStringLiteral("image_first")].toInt(), 0x10010);
    EXPECT_EQ(s[QStringLiteral("image_last")].toInt(), 0x20000);
    // Restarted at once; without the identity bytes the image reads as erased flash.
    EXPECT_EQ(hex(rig.send(SimRequest(1, 0x42)).mid(5, 4)), "FF FF FF FF");
}

TEST(SimBootLoader, PowerCycleAtIsTimedFromTheEndOfFileOfItsEndpoint)
{
    // The endpoint by its number and by its ADDR:PORT; the entry for the other endpoint has no effect here.
    for (const char *endpoint : {"1", "127.0.0.1:1001"}) {
        SCOPED_TRACE(endpoint);
        const ParseResult parsed = parseSimArguments({"--udp", "127.0.0.1:1001", "--udp", "127.0.0.1:1002",
                                                      "--power-cycle-at", QStringLiteral("%1:2000").arg(endpoint),
                                                      "--power-cycle-at", "2:10"});
        ASSERT_EQ(parsed.kind, ParseResult::Ok) << parsed.error.toStdString();
        SimBus bus(parsed.config.forEndpoint(0));
        SimSession session(bus, QStringLiteral("test"), true);
        session.receive(SimJumpRequest(1));
        EXPECT_EQ(joined(session.receive(":00000001FF;")), "Z");
        QTest::qWait(100);
        EXPECT_TRUE(session.receive(SimRequest(1, 0x42)).empty()) << "not before its time";
        QByteArray info;
        for (int i = 0; i < 60 && info.isEmpty(); ++i) {
            QTest::qWait(100);
            info = joined(session.receive(SimRequest(1, 0x42)));
        }
        EXPECT_EQ(info.size(), 20);
    }
}

TEST(SimBootLoader, PowerCycleLeavesTheOldImage)
{
    Rig rig({"--version", "2.5", "--power-cycle-after", "50"});
    rig.send(SimJumpRequest(1));
    EXPECT_EQ(rig.send(record(0x7780, 0, QByteArray(64, char(0x77))) + ';'), "K");
    rig.bus->powerCycleAll();
    const QByteArray info = rig.send(SimRequest(1, 0x42));
    ASSERT_EQ(info.size(), 20);
    EXPECT_EQ(hex(info.mid(7, 2)), "02 05");
    EXPECT_EQ(rig.state()[QStringLiteral("power_cycles")].toInt(), 1);

    // On its own after --power-cycle-after.
    rig.send(SimJumpRequest(1));
    EXPECT_EQ(rig.send(SimRequest(1, 0x42)), "") << "in the boot loader, a frame is just noise";
    QThread::msleep(80);
    EXPECT_EQ(rig.send(SimRequest(1, 0x42)).size(), 20);
    EXPECT_EQ(rig.state()[QStringLiteral("power_cycles")].toInt(), 2);
}

namespace {

// Runs a boot-loader session and returns the letters answered to each line.
std::vector<QByteArray> letters(const QStringList &faults, int dataLines)
{
    Rig rig(faults);
    rig.send(SimJumpRequest(1));
    std::vector<QByteArray> out;
    for (int i = 0; i < dataLines; ++i)
        out.push_back(rig.send(record(0x7000 + 16 * i, 0, QByteArray(16, char(i))) + ';'));
    out.push_back(rig.send(":00000001FF;"));
    return out;
}

} // namespace

TEST(SimFaults, BootLoaderLetters)
{
    using L = std::vector<QByteArray>;
    EXPECT_EQ(letters({}, 3), (L{"K", "K", "K", "Z"}));
    EXPECT_EQ(letters({"--bl-silent-after", "2"}, 3), (L{"K", "K", "", ""}));
    EXPECT_EQ(letters({"--bl-nak-every", "2"}, 3), (L{"K", "N", "K", "N"}));
    EXPECT_EQ(letters({"--bl-nak-all"}, 2), (L{"N", "N", "N"}));
    EXPECT_EQ(letters({"--bl-ack-lower"}, 2), (L{"k", "k", "Z"}));
    EXPECT_EQ(letters({"--bl-ack-double"}, 2), (L{"KK", "KK", "Z"}));
    EXPECT_EQ(letters({"--bl-end-reply", "KZ"}, 1), (L{"K", "KZ"}));
    EXPECT_EQ(letters({"--bl-end-reply", "Y"}, 1), (L{"K", "Y"}));
    EXPECT_EQ(letters({"--bl-end-reply", ""}, 1), (L{"K", ""}));
    EXPECT_EQ(letters({"--bl-drop-every", "3"}, 5), (L{"K", "K", "", "K", "K", ""}));
    EXPECT_EQ(letters({"--silent"}, 1), (L{"", ""}));
}

TEST(SimFaults, FramedReplies)
{
    const QByteArray good = SimRequest(1, 0x02, raw("02 00"));
    {
        Rig rig({"--silent"});
        EXPECT_TRUE(rig.send(SimRequest(1, 0x02)).isEmpty());
    }
    {
        Rig rig({"--reply-delay", "300"});
        EXPECT_EQ(rig.send(SimRequest(1, 0x02)), good);
        EXPECT_EQ(rig.last.at(0).delayMs, 300);
    }
    {
        Rig rig({"--wrong-length", "-1"});
        EXPECT_EQ(hex(rig.send(SimRequest(1, 0x02))), hex(SimRequest(1, 0x02, raw("02"))));
    }
    {
        Rig rig({"--wrong-length", "1"});
        EXPECT_EQ(hex(rig.send(SimRequest(1, 0x02))), hex(SimRequest(1, 0x02, raw("02 00 00"))));
    }
    {
        Rig rig({"--bad-checksum"});
        const QByteArray reply = rig.send(SimRequest(1, 0x02));
        EXPECT_EQ(reply.left(6), good.left(6));
        EXPECT_EQ(byteAt(reply, 6), (byteAt(good, 6) + 1) & 0xFF);
    }
    {
        Rig rig({"--extra-bytes", "2"});
        EXPECT_EQ(hex(rig.send(SimRequest(1, 0x02))), hex(good) + " EE EE");
        EXPECT_EQ(rig.last.size(), 1u) << "in the same write";
    }
    {
        Rig rig({"--split-reply", "3", "--split-gap", "15", "--reply-delay", "5"});
        EXPECT_EQ(rig.send(SimRequest(1, 0x42)), SimRequest(1, 0x42, raw("42 00 01 02 05 03 E8 0F A0 00 0A 00 05 01 F4")));
        ASSERT_EQ(rig.last.size(), 3u);
        EXPECT_EQ(rig.last[0].bytes.size(), 7);
        EXPECT_EQ(rig.last[1].delayMs, 20);
        EXPECT_EQ(rig.last[2].delayMs, 35);
    }
    {
        // Faults limited to one command leave the others sound.
        Rig rig({"--bad-checksum", "--fault-command", "0x42"});
        EXPECT_EQ(rig.send(SimRequest(1, 0x02)), good);
        EXPECT_FALSE(checksumOk(rig.send(SimRequest(1, 0x42))));
    }
}

namespace {

struct ModemRig {
    explicit ModemRig(QStringList options) : rig((options << "--pty" << "/unused" << "--modem"), false)
    {
        modem = std::make_unique<SimModem>(*rig.bus, *rig.session, rig.bus->config().modem);
    }
    QByteArray send(const QByteArray &bytes)
    {
        last = modem->receive(bytes);
        return joined(last);
    }
    Rig rig;
    std::unique_ptr<SimModem> modem;
    std::vector<Write> last;
};

} // namespace

TEST(SimModem, DialCarryFramesEscapeAndHangUp)
{
    ModemRig m({"--modem-delay", "40"});
    EXPECT_TRUE(m.send(SimRequest(1, 0x42)).isEmpty()) << "no call yet: a frame is no command";
    EXPECT_EQ(m.send("ATDT5551234\n\r"), "\r\nCONNECT 19200\r\n");
    EXPECT_EQ(m.last.at(0).delayMs, 40);
    EXPECT_EQ(m.modem->state(), SimModem::Online);
    QThread::msleep(60);

    // On line, frames pass unchanged, "+" bytes inside a frame included.
    EXPECT_EQ(m.send(SimRequest(1, 0x42)).size(), 20);
    EXPECT_EQ(hex(m.send(SimRequest(1, 0x26, raw("01 2B") + "+++ABCDE"))), hex(SimRequest(1, 0x26, raw("26 00"))));
    EXPECT_EQ(m.modem->state(), SimModem::Online);

    EXPECT_TRUE(m.send("+++").isEmpty());
    EXPECT_EQ(m.modem->state(), SimModem::Escaped);
    EXPECT_EQ(m.send("ATH0\r"), "\r\nOK\r\n");
    EXPECT_EQ(m.modem->state(), SimModem::Command);
    EXPECT_TRUE(m.send(SimRequest(1, 0x42)).isEmpty());
}

TEST(SimModem, FailedDialsAndClosedPort)
{
    {
        ModemRig m({"--modem-result", "BUSY", "--modem-delay", "0"});
        EXPECT_EQ(m.send("ATDT1\n\r"), "\r\nBUSY\r\n");
        EXPECT_EQ(m.modem->state(), SimModem::Command);
        EXPECT_EQ(m.send("ATDT1\n\r"), "\r\nBUSY\r\n") << "a new dial is possible";
    }
    {
        ModemRig m({"--modem-result", "none"});
        EXPECT_TRUE(m.send("ATDT1\n\r").isEmpty());
        EXPECT_EQ(m.modem->state(), SimModem::Command);
        EXPECT_EQ(m.send("ATH0\r"), "\r\nOK\r\n");
    }
    {
        ModemRig m({"--modem-delay", "0"});
        m.send("ATDT1\n\r");
        m.modem->portClosed();
        EXPECT_EQ(m.modem->state(), SimModem::Command) << "DTR drop ends the call";
    }
}

TEST(SimOptions, BadOptionsAreRefusedAndDefaultsAreDistinct)
{
    for (const QStringList &bad : {QStringList{"--ids", "1,1", "--udp", "127.0.0.1:1"},
                                   QStringList{"--id", "0", "--udp", "127.0.0.1:1"},
                                   QStringList{"--sn", "1234567", "--udp", "127.0.0.1:1"},
                                   QStringList{"--version", "2", "--udp", "127.0.0.1:1"},
                                   QStringList{"--udp", "127.0.0.1"},
                                   QStringList{"--modem", "--udp", "127.0.0.1:1"},
                                   QStringList{"--silent=yes", "--udp", "127.0.0.1:1"},
                                   QStringList{"--udp", "127.0.0.1:1", "--reply-delay"},
                                   QStringList{"--sn", "AAAAAAAA", "--sn", "BBBBBBBB", "--udp", "127.0.0.1:1"},
                                   QStringList{"--frobnicate"},
                                   QStringList{"--pty", ""},
                                   QStringList{"--udp", "127.0.0.1:1", "--state="},
                                   QStringList{"--udp", "127.0.0.1:1", "--power-cycle-at", "2:100"},
                                   QStringList{"--udp", "127.0.0.1:1", "--power-cycle-at", "127.0.0.1:2:100"},
                                   QStringList{"--udp", "127.0.0.1:0", "--udp-count", "2", "--power-cycle-at",
                                               "127.0.0.1:0:100"},
                                   QStringList{"--udp", "127.0.0.1:1", "--drop", "100.5"},
                                   QStringList{}}) {
        const ParseResult r = parseSimArguments(bad);
        EXPECT_EQ(r.kind, ParseResult::Error) << bad.join(' ').toStdString();
        EXPECT_FALSE(r.error.isEmpty());
    }
    const ParseResult ok = parseSimArguments({"--udp=127.0.0.1:0", "--ids", "3,4,5", "--sn", "00000002",
                                              "--version", "2.10", "--type-code", "0x0105"});
    ASSERT_EQ(ok.kind, ParseResult::Ok) << ok.error.toStdString();
    ASSERT_EQ(ok.config.controllers.size(), 3u);
    EXPECT_EQ(ok.config.controllers[0].sn, "00000002");
    EXPECT_EQ(ok.config.controllers[1].sn, "00000001");
    EXPECT_EQ(ok.config.controllers[2].sn, "00000003");
    EXPECT_EQ(ok.config.controllers[2].version, 0x020A);
    EXPECT_EQ(ok.config.controllers[2].typeCode, 0x0105);
    EXPECT_EQ(parseSimArguments({"--help"}).kind, ParseResult::Help);

    const ParseResult paths = parseSimArguments({"--device", "/dev/ttyX", "--state", "/tmp/state.json"});
    ASSERT_EQ(paths.kind, ParseResult::Ok) << paths.error.toStdString();
    EXPECT_EQ(paths.config.device, "/dev/ttyX");
    EXPECT_EQ(paths.config.stateFile, "/tmp/state.json");
    EXPECT_TRUE(paths.config.pty.isEmpty());
}
