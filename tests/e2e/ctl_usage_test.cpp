// norvik-ctl without a controller: bad usage, firmware file checks, missing
// files and ports. Whatever goes wrong here must be said before a single byte
// reaches a controller, so several cases listen on a UDP socket and check that
// nothing arrived.
#include "tests/support/CtlProcess.h"
#include "tests/support/UdpPeer.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace norvik::test;

namespace {

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_HEXGEN_PATH)

const QString kCtl = QStringLiteral(NORVIK_CTL_PATH);

// The network link to a controller stand-in that only listens.
QStringList LinkTo(const UdpPeer &controller)
{
    return {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--udp-port"),
            QString::number(controller.Port())};
}

class CtlOffline : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString Firmware()
    {
        return SampleFirmware(QStringLiteral(NORVIK_HEXGEN_PATH), m_dir.filePath(QStringLiteral("fw.hex")));
    }

    QList<QByteArray> Lines(const QString &path)
    {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    void Write(const QString &path, const QList<QByteArray> &lines)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        for (const QByteArray &line : lines)
            file.write(line + '\n');
    }

    QTemporaryDir m_dir;
};

TEST_F(CtlOffline, BadUsageExitsTwoWithTheUsageLineAndSendsNothing)
{
    UdpPeer controller;
    const QStringList link = LinkTo(controller);
    const QList<QStringList> cases = {
        {},
        {QStringLiteral("bogus")},
        {QStringLiteral("--bogus"), QStringLiteral("info")},
        link + QStringList{QStringLiteral("--id"), QStringLiteral("0"), QStringLiteral("info")},
        link + QStringList{QStringLiteral("--id"), QStringLiteral("abc"), QStringLiteral("info")},
        link + QStringList{QStringLiteral("--id")},
        {QStringLiteral("--udp-port"), QStringLiteral("70000"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
         QStringLiteral("info")},
        link + QStringList{QStringLiteral("info"), QStringLiteral("extra")},
        link + QStringList{QStringLiteral("info"), QStringLiteral("--yes")},
        link + QStringList{QStringLiteral("--phone"), QStringLiteral("123"), QStringLiteral("info")},
        link + QStringList{QStringLiteral("write-sn"), QStringLiteral("1234567")},
        link + QStringList{QStringLiteral("write-sn"), QStringLiteral("123456789")},
        link + QStringList{QStringLiteral("set-clock"), QStringLiteral("--time"), QStringLiteral("2024-02-30 10:00:00")},
        link + QStringList{QStringLiteral("set-clock"), QStringLiteral("--time"), QStringLiteral("1999-12-31 23:59:59")},
        link + QStringList{QStringLiteral("scan"), QStringLiteral("--ids"), QStringLiteral("9-3")},
        link + QStringList{QStringLiteral("download")},
        {QStringLiteral("fleet"), QStringLiteral("--target"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("fleet"), QStringLiteral("info")},
        {QStringLiteral("fleet"), QStringLiteral("info"), QStringLiteral("--target"), QStringLiteral("127.0.0.1:1001/0")},
        {QStringLiteral("fleet"), QStringLiteral("info"), QStringLiteral("--target"), QStringLiteral("/dev/ttyS0")},
        {QStringLiteral("fleet"), QStringLiteral("info"), QStringLiteral("--target"), QStringLiteral("127.0.0.1/2"),
         QStringLiteral("--target"), QStringLiteral("127.0.0.1:1001/2")},
    };
    for (const QStringList &args : cases) {
        const CtlResult r = RunCtl(kCtl, args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString() << "\n" << r.describe().toStdString();
        EXPECT_TRUE(r.errText().contains(QStringLiteral("Usage: norvik-ctl [link options] COMMAND [arguments]")))
            << args.join(' ').toStdString() << "\n" << r.describe().toStdString();
    }
    EXPECT_FALSE(controller.Receive(100).has_value());
}

TEST_F(CtlOffline, HelpNamesEveryOptionCommandAndExitCode)
{
    const CtlResult help = RunCtl(kCtl, {QStringLiteral("--help-all")});
    ASSERT_EQ(help.exitCode, 0) << help.describe().toStdString();
    const QString text = help.outText();
    for (const char *option : {"--port NAME", "--host ADDR", "--udp-port N", "--phone NUMBER", "--dial-timeout MS",
                               "--id N", "--timeout MS", "--retry N", "--retry-sleep MS", "--trace", "--json"})
        EXPECT_TRUE(text.contains(QLatin1String(option))) << option;
    for (const char *command : {"info", "write-sn SN", "set-clock [--time", "get-clock", "reset", "download FILE [--yes]",
                                "hex-info FILE", "verify FILE", "ports", "scan [--ids A-B]", "fleet download FILE",
                                "fleet info", "download FILE [--yes] [--in-bootloader]",
                                "history [--sn SN] [--since DATE]"})
        EXPECT_TRUE(text.contains(QStringLiteral("\n  %1").arg(QLatin1String(command)))) << command;
    for (const char *code : {"0", "1", "2", "3", "130"})
        EXPECT_TRUE(QRegularExpression(QStringLiteral("\n  %1 +\\S").arg(QLatin1String(code))).match(text).hasMatch())
            << "exit code " << code;

    // Whatever the help names, the program knows.
    QSet<QString> named;
    for (const QRegularExpressionMatch &m : QRegularExpression(QStringLiteral("--[a-z][a-z-]*")).globalMatch(text))
        named.insert(m.captured());
    for (const QString &option : named) {
        const CtlResult r = RunCtl(kCtl, {option});
        EXPECT_FALSE(r.errText().contains(QStringLiteral("unknown option"))) << r.describe().toStdString();
    }
}

TEST_F(CtlOffline, HelpPerCommandAndTheNearestNames)
{
    const struct {
        QStringList args;
        int exitCode;
        QString expected; // on stdout for exit 0, else on stderr
    } cases[] = {
        {{"help", "download"}, 0, "Usage: norvik-ctl [link options] download FILE [--yes] [--in-bootloader]\n"},
        {{"download", "f.hex", "--help"}, 0, "\nExample:\n  norvik-ctl --host 10.0.0.5 --id 3 download firmware.hex"},
        {{"fleet", "--help"}, 0, "\n       norvik-ctl [link options] fleet info [--target SPEC ...]"},
        {{"fleet", "download", "--help"}, 0, "  --restart-wait MS    after the end letter, wait up to MS"},
        {{"inof"}, 2, "unknown command 'inof' (did you mean info?)"},
        {{"--hots", "h", "info"}, 2, "unknown option '--hots' (did you mean --host?)"},
        {{"call", "AddUnsortedCard"}, 2, "(did you mean AddUnSortedCardA, AddUnSortedCardB,"},
        {{"help", "scna"}, 2, "help: no command 'scna' (did you mean scan?)"},
    };
    for (const auto &c : cases) {
        const CtlResult r = RunCtl(kCtl, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.describe().toStdString();
        EXPECT_TRUE((c.exitCode == 0 ? r.outText() : r.errText()).contains(c.expected)) << r.describe().toStdString();
    }
    // The general help fits a screen with the link options.
    EXPECT_LT(RunCtl(kCtl, {QStringLiteral("--help")}).outText().count(QLatin1Char('\n')), 61); // at most 60 lines
}

TEST_F(CtlOffline, DownloadWithoutTerminalNeedsYes)
{
    UdpPeer controller;
    const CtlResult r = RunCtl(kCtl, LinkTo(controller) + QStringList{QStringLiteral("download"), Firmware()});
    EXPECT_EQ(r.exitCode, 2) << r.describe().toStdString();
    EXPECT_TRUE(r.errText().contains(QStringLiteral("--yes"))) << r.describe().toStdString();
    EXPECT_FALSE(controller.Receive(100).has_value());
}

TEST_F(CtlOffline, HexInfoOfASoundFile)
{
    const QString path = Firmware();
    const CtlResult text = RunCtl(kCtl, {QStringLiteral("hex-info"), path});
    EXPECT_EQ(text.exitCode, 0) << text.describe().toStdString();
    EXPECT_TRUE(text.outText().contains(QStringLiteral("Type code: 261\n"))) << text.describe().toStdString();
    EXPECT_TRUE(text.outText().contains(QStringLiteral("Version: 2.10\n"))) << text.describe().toStdString();

    const CtlResult json = RunCtl(kCtl, {QStringLiteral("--json"), QStringLiteral("hex-info"), path});
    bool ok = false;
    const QJsonObject o = json.onlyObject(&ok);
    ASSERT_TRUE(ok) << json.describe().toStdString();
    const int records = static_cast<int>(Lines(path).size());
    EXPECT_TRUE(o.value(QStringLiteral("ok")).toBool());
    EXPECT_EQ(o.value(QStringLiteral("type_code")).toInt(), 261);
    EXPECT_EQ(o.value(QStringLiteral("version")).toString(), QStringLiteral("2.10"));
    EXPECT_EQ(o.value(QStringLiteral("record_count")).toInt(), records);
    // The sample ends with the 0x77C0 record and the end record: the first is
    // replaced by an end record, the second never goes out.
    EXPECT_EQ(o.value(QStringLiteral("lines_to_send")).toInt(), records - 1);
    EXPECT_TRUE(o.value(QStringLiteral("problems")).toArray().isEmpty());
}

TEST_F(CtlOffline, HexInfoNamesEveryBrokenRecordByLine)
{
    QList<QByteArray> lines = Lines(Firmware());
    ASSERT_GT(lines.size(), 6);
    // Line 2: checksum one off. Line 4: cut short. Line 5: a letter that is no hex digit.
    QByteArray &checksum = lines[1];
    const bool cr = checksum.endsWith('\r');
    const int at = static_cast<int>(checksum.size()) - (cr ? 3 : 2);
    const int value = checksum.mid(at, 2).toInt(nullptr, 16);
    checksum.replace(at, 2, QByteArray::number((value + 1) & 0xFF, 16).rightJustified(2, '0'));
    lines[3] = lines[3].left(40);
    lines[4][20] = 'x';
    const QString broken = m_dir.filePath(QStringLiteral("broken.hex"));
    Write(broken, lines);

    const CtlResult text = RunCtl(kCtl, {QStringLiteral("hex-info"), broken});
    EXPECT_EQ(text.exitCode, 1) << text.describe().toStdString();
    EXPECT_TRUE(text.outText().contains(QStringLiteral("Line 2: checksum is"))) << text.describe().toStdString();
    EXPECT_TRUE(text.outText().contains(QStringLiteral("Line 4: truncated record"))) << text.describe().toStdString();
    EXPECT_TRUE(text.outText().contains(QStringLiteral("Line 5: character"))) << text.describe().toStdString();

    const CtlResult json = RunCtl(kCtl, {QStringLiteral("--json"), QStringLiteral("hex-info"), broken});
    bool ok = false;
    const QJsonObject object = json.onlyObject(&ok);
    ASSERT_TRUE(ok) << json.describe().toStdString();
    QList<int> reported;
    for (const QJsonValue &problem : object.value(QStringLiteral("problems")).toArray())
        reported << problem.toObject().value(QStringLiteral("line")).toInt();
    EXPECT_EQ(reported, (QList<int>{2, 4, 5}));
    EXPECT_FALSE(object.value(QStringLiteral("ok")).toBool());

    // The download refuses such a file, an empty one and one without a single
    // record before the controller hears of it.
    const QString empty = m_dir.filePath(QStringLiteral("empty.hex"));
    const QString notes = m_dir.filePath(QStringLiteral("notes.hex"));
    Write(empty, {});
    Write(notes, {"firmware notes", "no records here"});
    const QList<std::pair<QString, QString>> refusals{
        {broken, QStringLiteral("line 2: checksum is")},
        {empty, QStringLiteral("\": the file holds no record lines")},
        {notes, QStringLiteral("line 1: not a record line, and the file holds no record lines")}};
    for (const auto &[file, reason] : refusals) {
        UdpPeer controller;
        const CtlResult download =
            RunCtl(kCtl, LinkTo(controller) + QStringList{QStringLiteral("download"), file, QStringLiteral("--yes")});
        EXPECT_EQ(download.exitCode, 3) << download.describe().toStdString();
        EXPECT_TRUE(download.errText().contains(reason)) << download.describe().toStdString();
        EXPECT_FALSE(controller.Receive(100).has_value());
    }
}

TEST_F(CtlOffline, MissingFileAndMissingPortExitThreeWithTheReason)
{
    const QString missing = m_dir.filePath(QStringLiteral("nothing.hex"));
    for (const QString &command : {QStringLiteral("hex-info"), QStringLiteral("verify"), QStringLiteral("download")}) {
        QStringList args{QStringLiteral("--host"), QStringLiteral("127.0.0.1"), command, missing};
        if (command == QLatin1String("download"))
            args << QStringLiteral("--yes");
        const QString message = QStringLiteral("HEX File \"%1\" not found.").arg(missing);
        const CtlResult r = RunCtl(kCtl, args);
        EXPECT_EQ(r.exitCode, 3) << command.toStdString() << "\n" << r.describe().toStdString();
        EXPECT_TRUE(r.errText().contains(message)) << r.describe().toStdString();
        // With --json the refusal is the command's one object, with the message.
        const CtlResult json = RunCtl(kCtl, QStringList{QStringLiteral("--json")} + args);
        EXPECT_EQ(json.exitCode, 3) << json.describe().toStdString();
        bool ok = false;
        const QJsonObject object = json.onlyObject(&ok);
        ASSERT_TRUE(ok) << json.describe().toStdString();
        EXPECT_FALSE(object.value(QStringLiteral("ok")).toBool());
        EXPECT_EQ(object.value(QStringLiteral("error")).toString(), message) << json.describe().toStdString();
    }

    const QString port = m_dir.filePath(QStringLiteral("no-such-tty"));
    const CtlResult text = RunCtl(kCtl, {QStringLiteral("--port"), port, QStringLiteral("info")});
    EXPECT_EQ(text.exitCode, 3) << text.describe().toStdString();
    EXPECT_TRUE(text.errText().contains(port)) << text.describe().toStdString();
    EXPECT_TRUE(text.errText().contains(QStringLiteral("No such file or directory"))) << text.describe().toStdString();

    // With --json the failure is an object on stdout too.
    const CtlResult json = RunCtl(kCtl, {QStringLiteral("--json"), QStringLiteral("--port"), port, QStringLiteral("get-clock")});
    EXPECT_EQ(json.exitCode, 3) << json.describe().toStdString();
    bool ok = false;
    const QJsonObject object = json.onlyObject(&ok);
    ASSERT_TRUE(ok) << json.describe().toStdString();
    EXPECT_FALSE(object.value(QStringLiteral("ok")).toBool());
    EXPECT_EQ(object.value(QStringLiteral("exit_code")).toInt(), 3);
}

TEST_F(CtlOffline, PortsListsTheEnvironmentsComNames)
{
    qputenv("NORVIK_COM7", "/tmp/some-simulated-tty");
    const CtlResult r = RunCtl(kCtl, {QStringLiteral("--json"), QStringLiteral("ports")});
    qunsetenv("NORVIK_COM7");
    EXPECT_EQ(r.exitCode, 0) << r.describe().toStdString();
    bool ok = false;
    const QJsonObject object = r.onlyObject(&ok);
    ASSERT_TRUE(ok) << r.describe().toStdString();
    EXPECT_TRUE(object.value(QStringLiteral("ports")).isArray());
    QString com7;
    for (const QJsonValue &alias : object.value(QStringLiteral("aliases")).toArray()) {
        if (alias.toObject().value(QStringLiteral("name")).toString() == QLatin1String("COM7"))
            com7 = alias.toObject().value(QStringLiteral("location")).toString();
    }
    EXPECT_EQ(com7, QStringLiteral("/tmp/some-simulated-tty")) << r.describe().toStdString();
}

#endif

#if defined(NORVIK_CTL_PATH) && defined(NORVIK_HEXGEN_PATH) && defined(NORVIK_SIM_PATH) && defined(NORVIK_BURNER_PATH)

// Every program answers --version alone with the one project version (the
// simulators' "--version MAJ.MIN" takes a value otherwise); the window answers
// without opening itself.
TEST(ProgramVersions, EveryProgramPrintsTheProjectVersion)
{
    const struct {
        const char *name;
        QString path;
    } programs[] = {{"norvik-ctl", QStringLiteral(NORVIK_CTL_PATH)},
                    {"norvik-sim", QStringLiteral(NORVIK_SIM_PATH)},
                    {"norvik-hexgen", QStringLiteral(NORVIK_HEXGEN_PATH)},
                    {"norvik-burner", QStringLiteral(NORVIK_BURNER_PATH)}};
    for (const auto &program : programs) {
        const CtlResult r = RunCtl(program.path, {QStringLiteral("--version")});
        EXPECT_EQ(r.exitCode, 0) << r.describe().toStdString();
        EXPECT_EQ(r.outText(), QStringLiteral("%1 %2\n").arg(QLatin1String(program.name), QLatin1String(NORVIK_VERSION)))
            << r.describe().toStdString();
    }
}

#endif

} // namespace
