// The sample firmware generator, checked record by record the way the burner
// and the boot loader read its lines.
#include "sim/HexGen.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace nsim;

namespace {

QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    EXPECT_TRUE(lines.last().isEmpty()) << "the file ends with a line end";
    lines.removeLast();
    for (QByteArray &line : lines) {
        EXPECT_TRUE(line.endsWith('\r')) << "CR LF line ends";
        line.chop(1);
    }
    return lines;
}

QByteArray generate(const HexGenOptions &o)
{
    QByteArray text;
    QString error;
    EXPECT_TRUE(generateHex(o, &text, &error)) << error.toStdString();
    return text;
}

} // namespace

TEST(HexGen, RecordsCoverTheRangeWithSoundChecksums)
{
    HexGenOptions o;
    o.start = 0x7680;
    o.records = 7; // 0x7680 .. 0x783F
    o.typeCode = 0x0105;
    o.version = 0x030C;
    const QList<QByteArray> lines = linesOf(generate(o));
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines.last(), ":00000001ff");
    for (int i = 0; i < 7; ++i) {
        const QByteArray &line = lines[i];
        ASSERT_EQ(line.size(), 1 + 2 + 4 + 2 + 128 + 2) << i;
        const unsigned address = 0x7680 + 64 * static_cast<unsigned>(i);
        EXPECT_EQ(line.left(3), ":40");
        EXPECT_EQ(line.mid(3, 4), QByteArray::number(address, 16)) << "lower-case address";
        EXPECT_EQ(line.mid(7, 2), "00");
        const QByteArray bytes = QByteArray::fromHex(line.mid(1));
        unsigned sum = 0;
        for (char c : bytes)
            sum += static_cast<unsigned char>(c);
        EXPECT_EQ(sum & 0xFF, 0u) << "record checksum of line " << i;
        if (address != 0x7780) {
            EXPECT_EQ(static_cast<unsigned char>(bytes[4]), hexGenFill(address));
        }
    }
    // The burner reads characters 126..133 (counted from 1) of the ":407780" line.
    const QByteArray &identity = lines[4];
    ASSERT_TRUE(identity.startsWith(":407780"));
    EXPECT_EQ(identity.mid(125, 8), "0105030c");
    EXPECT_TRUE(lines[5].startsWith(":4077c0")) << "the burner cuts lower-case files here";
}

TEST(HexGen, UpperCaseAndRangeChecks)
{
    HexGenOptions o;
    o.upperCase = true;
    const QList<QByteArray> lines = linesOf(generate(o));
    ASSERT_EQ(lines.size(), 33) << "default: 0x7000 up to 0x7800, then the end record";
    EXPECT_EQ(lines[31].left(7), ":4077C0");
    EXPECT_EQ(lines[32], ":00000001FF");
    for (const QByteArray &line : lines)
        EXPECT_EQ(line, line.toUpper());

    QByteArray text;
    QString error;
    for (auto [start, records] : {std::pair{0x7790u, 10}, {0x77C0u, 4}, {0x7000u, 31}, {0xF000u, 100}}) {
        HexGenOptions bad;
        bad.start = start;
        bad.records = records;
        EXPECT_FALSE(generateHex(bad, &text, &error)) << std::hex << start << " " << records;
    }
}

TEST(HexGen, CommandLine)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fw.hex"));
    QProcess p;
    p.start(QStringLiteral(NORVIK_HEXGEN_PATH),
            {"--start", "0x7700", "--size", "200", "--type-code", "7", "--version", "1.2", path});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = linesOf(file.readAll());
    ASSERT_EQ(lines.size(), 5) << "200 bytes take 4 records";
    EXPECT_EQ(lines[2].mid(125, 8), "00070102");

    for (const QStringList &bad : {QStringList{"--records", "2", "--size", "64", path}, QStringList{"--start", "0x7701", path},
                                   QStringList{"--version", "x", path}, QStringList{}}) {
        p.start(QStringLiteral(NORVIK_HEXGEN_PATH), bad);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 2) << bad.join(' ').toStdString();
    }
}
