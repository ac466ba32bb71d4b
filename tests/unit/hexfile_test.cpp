// Firmware files: the type code and version read from the image, the work file
// fed to the boot loader, and the record lines loaded from it.
#include "common/Errors.h"
#include "firmware/HexFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>

using namespace norvik;

namespace {

// A 64-byte data record at 0x7780 whose bytes 0x77BA..0x77BD are `field`
// (characters 126..133 of the line).
QByteArray InfoLine(const QByteArray &field)
{
    return ":40778000" + QByteArray(116, 'F') + field + "FFFF" + "CC";
}

class HexFileTest : public ::testing::Test {
protected:
    QString Path(const QString &name) const { return m_dir.filePath(name); }

    QString Write(const QString &name, const QByteArray &content) const
    {
        QFile file(Path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return file.fileName();
    }

    static QByteArray Read(const QString &path)
    {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        return file.readAll();
    }

    // The error message raised by ReadHexFileInfo, or "" when none.
    static std::string ConversionError(const QString &path)
    {
        try {
            ReadHexFileInfo(path);
        } catch (const EConvertError &error) {
            return error.what();
        }
        return {};
    }

    QTemporaryDir m_dir;
};

TEST_F(HexFileTest, InfoRecordGivesTypeCodeAndVersionInDecimal)
{
    ASSERT_EQ(InfoLine("0105020A").size(), 139);
    const QString upper = Write("upper.hex", ":10000000AA\r\n" + InfoLine("0105020A") + "\r\n:00000001FF\r\n");
    HexFileInfo info = ReadHexFileInfo(upper);
    EXPECT_TRUE(info.ok);
    EXPECT_EQ(info.typeCode, "261");
    EXPECT_EQ(info.version, "2.10");

    // Lower-case digits, and no leading zeros in the decimal texts.
    const QString lower = Write("lower.hex", InfoLine("000a0005") + "\n");
    info = ReadHexFileInfo(lower);
    EXPECT_TRUE(info.ok);
    EXPECT_EQ(info.typeCode, "10");
    EXPECT_EQ(info.version, "0.5");
}

TEST_F(HexFileTest, LaterInfoLineWinsAndMarkerCountsAnywhereInTheLine)
{
    const QString two = Write("two.hex", InfoLine("0105020A") + "\r\n" + InfoLine("00FF0301") + "\r\n");
    HexFileInfo info = ReadHexFileInfo(two);
    EXPECT_EQ(info.typeCode, "255");
    EXPECT_EQ(info.version, "3.1");

    // The marker sits in the middle; the field is still at characters 126..133.
    QByteArray middle = ":1000000" + QByteArray(40, '0') + ":407780" + QByteArray(200, '0');
    middle.replace(125, 8, "1234ABCD");
    const QString inMiddle = Write("middle.hex", middle + "\r\n");
    info = ReadHexFileInfo(inMiddle);
    EXPECT_TRUE(info.ok);
    EXPECT_EQ(info.typeCode, "4660");
    EXPECT_EQ(info.version, "171.205");
}

TEST_F(HexFileTest, DamagedInfoFieldRaisesTheConversionError)
{
    // 131 characters: the minor-version field is empty.
    EXPECT_EQ(ConversionError(Write("short.hex", InfoLine("0105020A").left(131) + "\r\n")),
              "'$' is not a valid integer value");
    // 132 characters still leave one digit for it.
    EXPECT_EQ(ConversionError(Write("onedigit.hex", InfoLine("0105020A").left(132) + "\r\n")), "");
    EXPECT_EQ(ConversionError(Write("nonhex.hex", InfoLine("01G5020A") + "\r\n")),
              "'$01G5' is not a valid integer value");
    EXPECT_EQ(ConversionError(Write("minor.hex", InfoLine("0105 20A") + "\r\n")),
              "'$ 2' is not a valid integer value");
    // A bad field in an earlier line is fatal even if a later line is good.
    EXPECT_NE(ConversionError(Write("first.hex", InfoLine("x105020A") + "\n" + InfoLine("0105020A") + "\n")), "");
}

TEST_F(HexFileTest, FilesWithoutInfoAreInvalidNotErrors)
{
    EXPECT_FALSE(ReadHexFileInfo(Write("noinfo.hex", ":10000000AA\r\n:00000001FF\r\n")).ok);
    // The marker alone does not make a record line.
    EXPECT_FALSE(ReadHexFileInfo(Write("norecord.hex", "x" + InfoLine("0105020A") + "\r\n")).ok);
    EXPECT_FALSE(ReadHexFileInfo(Write("empty.hex", "")).ok);
    EXPECT_FALSE(ReadHexFileInfo(Path("missing.hex")).ok);
}

TEST_F(HexFileTest, UnreadableFileRaisesInOutError)
{
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("folder.hex"));
    EXPECT_THROW(ReadHexFileInfo(Path("folder.hex")), EInOutError);
    EXPECT_THROW(LoadHexLines(Path("folder.hex")), EInOutError);
    EXPECT_THROW(LoadHexLines(Path("missing.hex")), EInOutError);
    EXPECT_THROW(CountHexLines(Path("folder.hex")), EInOutError);
    EXPECT_EQ(CountHexLines(Path("missing.hex")), 0);
}

TEST_F(HexFileTest, ConversionCutsAtTheSettingsRecord)
{
    const QString source = Write("cut.hex", ":10000000A\r\n:10001000B\r\n:1077c000C\r\n:1077d000D\r\n:1077e000E\r\n"
                                            ":00000001FF\r\n");
    const QString target = Path("temp.hex");
    ConvertHexFile(source, target);
    EXPECT_EQ(Read(target), ":10000000A;\r\n:10001000B;\r\n:00000001ff;\r\n");
    EXPECT_EQ(LoadHexLines(target), QStringList({":10000000A;", ":10001000B;", ":00000001ff;"}));
    EXPECT_EQ(CountHexLines(target), 3);
}

TEST_F(HexFileTest, UpperCaseAddressIsNotCutAndEveryLineIsCopied)
{
    const QString source = Write("upper.hex", ":10000000A\r\n:1077C000C\r\n:1077D000D\r\n:00000001FF\r\n");
    const QString target = Path("temp.hex");
    ConvertHexFile(source, target);
    EXPECT_EQ(Read(target), ":10000000A;\r\n:1077C000C;\r\n:1077D000D;\r\n:00000001FF;\r\n");
}

TEST_F(HexFileTest, LineEndsAndEmptyLines)
{
    const QByteArray crlf = ":10000000A\r\n\r\n:10001000B\r\n\r\n:00000001FF";
    QByteArray lf = crlf;
    lf.replace("\r\n", "\n");
    const QString target = Path("temp.hex");
    for (const QByteArray &content : {crlf, lf, lf + "\n"}) {
        SCOPED_TRACE(content.toStdString());
        const QString source = Write("source.hex", content);
        EXPECT_EQ(CountHexLines(source), 3);
        EXPECT_EQ(LoadHexLines(source), QStringList({":10000000A", ":10001000B", ":00000001FF"}));

        ConvertHexFile(source, target);
        // Non-record lines are copied too; they are never loaded for sending.
        EXPECT_EQ(Read(target), ":10000000A;\r\n;\r\n:10001000B;\r\n;\r\n:00000001FF;\r\n");
        EXPECT_EQ(LoadHexLines(target), QStringList({":10000000A;", ":10001000B;", ":00000001FF;"}));
        EXPECT_EQ(CountHexLines(target), 3);
    }
}

TEST_F(HexFileTest, TextIsEightBitThroughout)
{
    const QByteArray line = ":10000000\xE9\xFF\x80";
    const QString source = Write("latin.hex", line + "\r\n");
    const QString target = Path("temp.hex");
    ConvertHexFile(source, target);
    EXPECT_EQ(Read(target), line + ";\r\n");
    EXPECT_EQ(LoadHexLines(target).value(0).toLatin1(), line + ";");
}

TEST_F(HexFileTest, SecondConversionRewritesFromScratch)
{
    const QString target = Path("temp.hex");
    ConvertHexFile(Write("long.hex", ":1\r\n:2\r\n:3\r\n:4\r\n:5\r\n"), target);
    ConvertHexFile(Write("short.hex", ":9\r\n"), target);
    EXPECT_EQ(Read(target), ":9;\r\n");
}

TEST_F(HexFileTest, ConversionFaultsRaiseInOutErrorNamingTheFile)
{
    const QString source = Write("fw.hex", ":10000000A\r\n");

    const QString noFolder = Path("no/such/folder/temp.hex");
    try {
        ConvertHexFile(source, noFolder);
        FAIL() << "no error for an unwritable target";
    } catch (const EInOutError &error) {
        EXPECT_NE(std::string(error.what()).find("temp.hex"), std::string::npos) << error.what();
    }
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("target-is-folder"));
    EXPECT_THROW(ConvertHexFile(source, Path("target-is-folder")), EInOutError);

    // A missing source leaves the previous work file alone.
    const QString target = Write("temp.hex", "old");
    try {
        ConvertHexFile(Path("gone.hex"), target);
        FAIL() << "no error for a missing source";
    } catch (const EInOutError &error) {
        EXPECT_NE(std::string(error.what()).find("gone.hex"), std::string::npos) << error.what();
    }
    EXPECT_EQ(Read(target), "old");
}

TEST_F(HexFileTest, ConvertingTheWorkFileOntoItselfKeepsItsLines)
{
    const QString file = Write("temp.hex", ":10000000A\r\n:00000001FF\r\n");
    ConvertHexFile(file, file);
    EXPECT_EQ(Read(file), ":10000000A;\r\n:00000001FF;\r\n");
}

TEST(WorkFile, LivesInAWritableFolder)
{
    const QString path = WorkFilePath();
    EXPECT_TRUE(path.endsWith("/temp.hex")) << path.toStdString();
    QFile probe(path);
    const bool existed = probe.exists();
    ASSERT_TRUE(probe.open(QIODevice::Append)) << path.toStdString();
    probe.close();
    if (!existed)
        probe.remove();
}

// An installed program's folder is never the work file's, whoever runs it;
// a build or unpacked folder is, also one that only resembles a system path.
TEST(WorkFile, SystemFoldersAreNeverTheWorkFilesFolder)
{
    const std::pair<const char *, bool> cases[] = {
        {"/usr/bin", true},           {"/usr", true},           {"/usr/local/bin", true}, {"/bin", true},
        {"/sbin/", true},             {"/lib/x86_64-linux-gnu", true}, {"/lib64", true}, {"/opt/norvik/bin", true},
        {"/usr/../usr/bin", true},    {"/home/ann/build/app", false}, {"/tmp/norvik-1.0/bin", false},
        {"/usrlocal/bin", false},     {"/optical", false},     {"/home/ann/opt/bin", false}, {"usr/bin", false},
        {"/srv/../home/ann", false},
    };
    for (const auto &[folder, system] : cases)
        EXPECT_EQ(IsSystemFolder(QString::fromLatin1(folder)), system) << folder;
}

// With the program's folder read-only, the work file goes to a folder of this
// user's only; a plain file or a link in the way is passed over, and when no
// base is usable the reason names each folder tried.
TEST(WorkFile, FallbackFolderIsPrivateOrExplainedWhenNoneCanBeMade)
{
    QTemporaryDir root;
    const QString file = root.filePath("file"), loose = root.filePath("loose"), linked = root.filePath("linked"),
                  fresh = root.filePath("fresh/cache");
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir().mkpath(loose + "/norvik-burner") &&
                QFile::setPermissions(loose + "/norvik-burner", QFile::Permissions(0x7755)));
    ASSERT_TRUE(QDir().mkpath(linked) && QDir().mkpath(root.filePath("elsewhere")) &&
                QFile::link(root.filePath("elsewhere"), linked + "/norvik-burner"));

    struct Case {
        QStringList bases;
        QString folder; // empty: none can be made
    };
    for (const Case &c : {Case{{fresh}, fresh + "/norvik-burner"}, Case{{loose}, loose + "/norvik-burner"},
                          Case{{QString(), file, linked, fresh}, fresh + "/norvik-burner"}, Case{{file, linked}, {}}}) {
        SCOPED_TRACE(c.bases.join(", ").toStdString());
        QString why;
        const QString folder = PrivateWorkFolder(c.bases, &why);
        EXPECT_EQ(folder, c.folder);
        if (!folder.isEmpty()) {
            EXPECT_EQ(QFileInfo(folder).permissions() & QFile::Permissions(0x7777),
                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
                          QFile::ExeUser);
        } else {
            EXPECT_TRUE(why.contains(file + "/norvik-burner") && why.contains(linked + "/norvik-burner"))
                << why.toStdString();
        }
    }
}

} // namespace
