#include "cli/Help.h"

#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "services/ComPort.h"

#include <QJsonObject>

#include <algorithm>
#include <vector>

namespace ctl {
namespace {

// One command, or one of fleet's subcommands ("fleet download"). Texts are
// single lines; they are wrapped when printed.
struct CommandRow {
    const char *name;
    const char *arguments; // the positional part of the usage: "FILE", "N open|..."
    const char *summary;   // for the command list
    const char *details;
    const char *example;   // one command line, without a prompt
};

// How an option stands in its command's usage line.
enum class Shown { Optional, Required, Repeatable, Alone };

// An option: scope "" for the link and general options, else the command (or
// "fleet download") whose help lists it; "fleet" options serve every
// subcommand of fleet.
struct OptionRow {
    const char *scope;
    const char *name;
    const char *value; // placeholder, "" for a flag
    const char *text;
    Shown shown = Shown::Optional;
};

const std::vector<CommandRow> kCommands = {
    {"info", "", "firmware version, type code, limits, counters and SN",
     "Reads the controller's info record (firmware version, type code, card and record limits and counts) and its "
     "serial number.",
     "norvik-ctl --host 10.0.0.5 --id 3 info"},
    {"write-sn", "SN", "write an SN together with --id, then read the ID back",
     "Writes the 8-character serial number SN together with the ID given by --id, then reads the ID back by SN; "
     "success when it equals --id.",
     "norvik-ctl --port COM3 --id 7 write-sn 12345678"},
    {"set-clock", "", "set the controller's clock (default: now)",
     "Sets the controller's clock to the PC's local time, or to the moment given by --time. The controller holds the "
     "years 2000 to 2255.",
     "norvik-ctl --host 10.0.0.5 set-clock --time \"2026-01-31 13:45:00\""},
    {"get-clock", "", "read the controller's clock", "Prints the controller's clock as YYYY-MM-DD HH:MM:SS.",
     "norvik-ctl --host 10.0.0.5 get-clock"},
    {"reset", "", "reset the controller", "Resets the controller.", "norvik-ctl --host 10.0.0.5 --id 2 reset"},
    {"download", "FILE", "write new firmware from an Intel-HEX file",
     "Writes new firmware from the Intel-HEX file FILE. Asks for confirmation on a terminal unless --yes, and refuses "
     "without a terminal unless --yes; a file with a broken record is refused before anything is sent. Ctrl-C stops "
     "after the current line; the controller may then stay in its boot loader (see --in-bootloader). Every download "
     "is added to the upgrade history. First the controller's info and SN are read: a file of another type code, or "
     "without type code and version, is refused (exit 4) unless --allow-other-type; an older version is refused (exit "
     "4) unless --allow-older; the version it already runs is left alone (outcome current, exit 0) unless "
     "--allow-reinstall. After the end letter it waits up to --restart-wait MS for the controller to answer with the "
     "file's type code and version: outcome success, exit 0; else outcome downloaded, exit 5: switch the controller "
     "off and on, then run verify.",
     "norvik-ctl --host 10.0.0.5 --id 3 download firmware.hex --yes"},
    {"verify", "FILE", "compare the controller's type code and version with a file's",
     "Reads the controller's type code and version and compares them with those in the firmware file FILE; with --wait "
     "keeps reading every second until they match or MS have passed (for a controller whose power is switched off "
     "and on meanwhile). Exit 0 when they match, else 1. Added to the upgrade history.",
     "norvik-ctl --host 10.0.0.5 verify firmware.hex"},
    {"hex-info", "FILE", "a firmware file's type code, version and broken records",
     "Prints the type code, version and record count of the firmware file FILE, the number of lines a download "
     "sends, and every broken record with its line number. No controller is needed.",
     "norvik-ctl hex-info firmware.hex"},
    {"fleet", "", "many controllers in one run",
     "Works on many controllers in one run. SPEC is HOST[:UDPPORT][/ID] for the network link (UDPPORT default "
     "--udp-port, ID default --id) or PORT/ID for a serial port; --targets FILE holds one SPEC a line (# starts a "
     "comment). Network targets run in parallel, N at once; targets on the same serial port, or behind the same "
     "HOST:UDPPORT, one after the other. A live line per running target on a terminal, a summary table at the end; "
     "--json: one object per progress step and per result, each with its target and outcome, then the summary.",
     "norvik-ctl fleet info --target 10.0.0.5 --target 10.0.0.6/2"},
    {"fleet download", "FILE", "download FILE to every target",
     "Downloads FILE to every target as download does: reads its SN, type code and version first, refuses another "
     "type or an older version, leaves a current one alone, and waits for the restart. The summary counts each "
     "outcome (success, current, refused, downloaded, failure, interrupted) and names the controllers that may "
     "remain in their boot loader with the command line that recovers them (JSON: a count under each outcome's name, "
     "\"recovery_command\"). Exit 130 after Ctrl-C, else 1 when any target failed, else 4 when any was refused, else 5 "
     "when any is downloaded, else 0.",
     "norvik-ctl fleet download firmware.hex --yes --targets site.txt --jobs 8"},
    {"fleet verify", "FILE", "verify every target against FILE",
     "Verifies each target as verify does; with --wait keeps reading those not yet verified, every second, until "
     "they are or MS have passed (a live line per target on a terminal, each ticked off as it is verified). Exit 0 "
     "when every target is verified, else 1.",
     "norvik-ctl fleet verify firmware.hex --targets site.txt --wait 600000"},
    {"fleet info", "", "read and tabulate the targets without downloading",
     "Reads every target's SN, type code and version and tabulates them.",
     "norvik-ctl fleet info --targets site.txt"},
    {"ports", "", "the serial ports the system reports",
     "Lists the serial ports the system reports, who holds those in use, and the COMn names the environment points elsewhere (NORVIK_COMn).",
     "norvik-ctl ports"},
    {"scan", "", "which controller IDs answer on this link",
     "Asks every ID of the range for its info record and lists the ones that answer, with version, type code and SN.",
     "norvik-ctl --port COM3 scan --ids 1-16"},
    {"call", "OPERATION [ARG ...]", "run one operation of the controller component by name",
     "Runs one operation of the controller component by name (case-insensitive). Arguments in the operation's "
     "order: integers decimal or 0x-hex, booleans true/false/1/0, lists 1,2,3, byte blocks 1,2,3 or 0A0B0C, "
     "date-times \"YYYY-MM-DD HH:MM:SS\". Prints \"result: VALUE\" and one \"name: value\" line per value handed "
     "back. call --list lists every operation with its arguments and their types.",
     "norvik-ctl --host 10.0.0.5 call SetDoorOpenTime 1 5 0"},
    {"transactions", "", "read and confirm the waiting transaction records",
     "Reads and confirms the waiting transaction records until none is left (or --max are read).",
     "norvik-ctl --host 10.0.0.5 transactions --max 100 --debug-log logs"},
    {"door", "N open|force-open|force-close|resume|status", "act on door N, or print its state",
     "Opens door N, forces it open or closed, resumes its normal working, or prints its state.",
     "norvik-ctl --host 10.0.0.5 door 2 open"},
    {"history", "", "the upgrade history (no controller needed)",
     "Prints every download of the window and of norvik-ctl, and every verification, oldest first, with its kind "
     "(download or verify). DATE is YYYY-MM-DD (from local midnight) "
     "or a date and time YYYY-MM-DDTHH:MM[:SS] (local, or with Z or +HH:MM). The file is "
     "$XDG_DATA_HOME/norvik/history.sqlite.",
     "norvik-ctl history --sn 12345678 --since 2026-01-01 --csv"},
    {"help", "[COMMAND]", "a command's usage, options and an example",
     "Prints the help of COMMAND (as COMMAND --help does), or the general help without one.",
     "norvik-ctl help download"},
};

const std::vector<OptionRow> kOptions = {
    {"", "--port", "NAME",
     "serial port: COMn (default COM1), a device path, or \"auto\": the one USB adapter"},
    {"", "--host", "ADDR", "use the network link (UDP) to this address"},
    {"", "--udp-port", "N", "the controller's UDP port (default 1001)"},
    {"", "--phone", "NUMBER", "use the modem on --port: dial NUMBER first, hang up at the end"},
    {"", "--dial-timeout", "MS", "give up dialing after MS milliseconds (default 90000)"},
    {"", "--id", "N", "controller ID, 1..255 (default 1)"},
    {"", "--timeout", "MS", "network, scan: a reply's wait (default 200)"},
    {"", "--retry", "N", "serial/modem: read attempts per reply (default 20)"},
    {"", "--retry-sleep", "MS", "serial/modem: pause between attempts (default 20)"},
    {"", "--tries", "N",
     "network: tries of a read, never of a write (default 3, 1..10)"},
    {"", "--card-bytes", "4|7|8|12",
     "width of the controller's card numbers (default 4): how call and transactions lay out cards"},
    {"", "--trace", "", "every frame and boot-loader line on stderr"},
    {"", "--json", "", "JSON objects, one a line; the last one is the result"},
    {"", "-h, --help", "", "this text; COMMAND --help: that command's help"},
    {"", "--help-all", "", "the whole manual (exit status, environment, files)"},
    {"", "--version", "", "the program's version"},

    {"set-clock", "--time", "\"YYYY-MM-DD HH:MM:SS\"", "the moment to set instead of the PC's clock"},
    {"download", "--yes", "", "no confirmation (needed without a terminal)"},
    {"download", "--in-bootloader", "",
     "for a controller that a download stopped half way left in its boot loader (it no longer answers the jump "
     "command): no read and no check, the record lines go out at once, without the jump, with the same pace and "
     "resends"},
    {"download", "--restart-wait", "MS",
     "after the end letter, wait up to MS for the new version (default 5000; 0: no wait)"},
    {"download", "--allow-other-type", "", "download a file of another type code, or one without type code and version"},
    {"download", "--allow-older", "", "download a version older than the controller's"},
    {"download", "--allow-reinstall", "", "download the version the controller already runs"},
    {"verify", "--wait", "MS", "keep reading until the controller matches or MS have passed"},
    {"fleet", "--target", "SPEC", "a controller to work on (repeatable)", Shown::Repeatable},
    {"fleet", "--targets", "FILE", "a file of targets, one SPEC a line"},
    {"fleet", "--jobs", "N", "network targets at once (default 16)"},
    {"fleet download", "--yes", "", "no confirmation: fleet download always needs it", Shown::Required},
    {"fleet download", "--restart-wait", "MS",
     "after the end letter, wait up to MS for the new version (default 5000; 0: no wait)"},
    {"fleet download", "--in-bootloader", "", "every target waits in its boot loader: no read, the lines at once"},
    {"fleet download", "--allow-other-type", "", "as download --allow-other-type, for every target"},
    {"fleet download", "--allow-older", "", "as download --allow-older, for every target"},
    {"fleet download", "--allow-reinstall", "", "as download --allow-reinstall, for every target"},
    {"fleet verify", "--wait", "MS", "keep reading the targets not yet verified until MS have passed"},
    {"scan", "--ids", "A-B", "the IDs to ask (default 1-128)"},
    {"scan", "--timeout", "MS", "each ID's wait (on the serial link too)"},
    {"call", "--list", "", "every operation with its arguments and their types", Shown::Alone},
    {"transactions", "--max", "N", "stop after N records"},
    {"transactions", "--removed", "INDEX", "read the stored record INDEX instead"},
    {"transactions", "--debug-log", "DIR", "also append each record to DIR/RXyyyymmdd.txt"},
    {"history", "--sn", "SN", "only the downloads of this serial number"},
    {"history", "--since", "DATE", "only the downloads started at or after DATE"},
    {"history", "--csv", "", "comma-separated values with a header line (--json: one JSON object)"},
};

struct ExitRow {
    int code;
    const char *brief;
    const char *text;
};

const std::vector<ExitRow> kExitCodes = {
    {ExitOk, "success", "success"},
    {ExitController, "no answer, refused, or the command failed",
     "the controller did not answer or refused, the modem's dial failed, the comparison or download failed, the "
     "download was declined, hex-info found broken records, or a call's result means failure (false, 0, -1)"},
    {ExitUsage, "bad usage or argument (nothing is sent)",
     "bad usage or argument (also a call's argument that does not parse or that the controller's frame cannot carry; "
     "nothing is sent)"},
    {ExitIo, "a file, port or socket could not be used",
     "a file, port or socket could not be opened, read or written (the message gives the system's reason), or the "
     "firmware file has a broken record"},
    {ExitRefused, "refused: another type of controller, or an older version",
     "the download was refused before anything was written: the file is for another type of controller, or older "
     "than the firmware the controller runs"},
    {ExitDownloaded, "downloaded, the restart is pending",
     "the download ended, but the controller has not yet come back with the file's version: its restart is pending "
     "(a controller may wait for its power to be switched off and on)"},
    {ExitInterrupted, "interrupted (Ctrl-C)",
     "interrupted (Ctrl-C); download and fleet also stop the same way on SIGTERM (143), SIGHUP (129) and SIGPIPE "
     "(141: stdout was closed)"},
};

struct NamedText {
    const char *name;
    const char *text;
};

const std::vector<NamedText> kEnvironment = {
    {"NORVIK_COMn",
     "the device the serial port name COMn stands for, for example NORVIK_COM3=/dev/ttyUSB0; without it COMn is "
     "/dev/ttyS(n-1)"},
    {"XDG_DATA_HOME", "the folder of the upgrade history, norvik/history.sqlite (default ~/.local/share)"},
    {"TMPDIR", "where a download makes its private folder for the work file (default /tmp)"},
    {"QT_LOGGING_RULES", "norvik.trace.debug=true traces every frame on stderr, as --trace does"},
};

const std::vector<NamedText> kFiles = {
    {"$XDG_DATA_HOME/norvik/history.sqlite",
     "the upgrade history (~/.local/share/norvik/history.sqlite by default): a row for every download of the "
     "window and of norvik-ctl, read by the history command"},
    {"temp.hex",
     "the work file whose record lines a download sends: norvik-ctl makes it in a private folder under $TMPDIR and "
     "removes it when the download ends; the window writes it beside the program, else in "
     "$XDG_RUNTIME_DIR/norvik-burner or ~/.cache/norvik-burner, and deletes it when it closes"},
};

constexpr int kWidth = 79;
constexpr int kTextColumn = 23;

// Words of text in lines of at most kWidth, each after `indent` blanks. The
// first line starts with `first` (a heading or an option's name) when that
// leaves room, else `first` stands on a line of its own.
QString Wrap(const QString &text, int indent, const QString &first = QString())
{
    QString result;
    const QString pad(indent, QLatin1Char(' '));
    QString line = pad;
    if (!first.isEmpty() && (first.endsWith(QLatin1Char('\n')) || first.size() >= indent))
        result = first.endsWith(QLatin1Char('\n')) ? first : first + QLatin1Char('\n');
    else if (!first.isEmpty())
        line = first + QString(indent - first.size(), QLatin1Char(' '));
    bool empty = true;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!empty && line.size() + 1 + word.size() > kWidth) {
            result += line + QLatin1Char('\n');
            line = pad;
            empty = true;
        }
        line += (empty ? QString() : QStringLiteral(" ")) + word;
        empty = false;
    }
    if (!empty)
        result += line + QLatin1Char('\n');
    return result;
}

// "  --ids A-B            the IDs to ask ...", `lead` blanks before the name.
QString OptionLine(const OptionRow &row, const QString &note = QString(), int lead = 2)
{
    QString head = QString(lead, QLatin1Char(' ')) + QLatin1String(row.name);
    if (*row.value)
        head += QLatin1Char(' ') + QLatin1String(row.value);
    const QString text = note.isEmpty() ? QString::fromLatin1(row.text) : QStringLiteral("[%1] %2").arg(note, QLatin1String(row.text));
    const int column = kTextColumn + lead - 2;
    if (head.size() + 1 >= column)
        return head + QLatin1Char('\n') + Wrap(text, column);
    return Wrap(text, column, head);
}

// A usage line after `lead`, wrapped under the command's arguments. An option
// in brackets and the lead stay on one line: their blanks are held as no-break
// spaces until the line is wrapped.
QString UsageText(const QString &lead, const QString &usage)
{
    QString line = lead + usage;
    int depth = 0;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        depth += c == QLatin1Char('[') ? 1 : c == QLatin1Char(']') ? -1 : 0;
        if ((depth > 0 || i < lead.size()) && c == QLatin1Char(' '))
            line[i] = QChar(0xA0);
    }
    QString result;
    QString current;
    for (const QString &word : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!current.isEmpty() && current.size() + 1 + word.size() > kWidth) {
            result += current + QLatin1Char('\n');
            current = QString(12, QLatin1Char(' ')) + word;
        } else {
            current += (current.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
    }
    result += current + QLatin1Char('\n');
    return result.replace(QChar(0xA0), QLatin1Char(' '));
}

const CommandRow *FindRow(const QString &name)
{
    for (const CommandRow &row : kCommands)
        if (QLatin1String(row.name) == name)
            return &row;
    return nullptr;
}

// The subcommands of a command ("fleet download" for "fleet"), in table order.
std::vector<const CommandRow *> Subcommands(const QString &name)
{
    std::vector<const CommandRow *> rows;
    for (const CommandRow &row : kCommands)
        if (QLatin1String(row.name).startsWith(name + QLatin1Char(' ')))
            rows.push_back(&row);
    return rows;
}

// The options a command's help lists: its own, and for a subcommand its
// parent's first.
std::vector<const OptionRow *> OptionsOf(const QString &name)
{
    const QString parent = name.section(QLatin1Char(' '), 0, 0);
    std::vector<const OptionRow *> rows;
    for (const OptionRow &row : kOptions) {
        const QString scope = QLatin1String(row.scope);
        if (!scope.isEmpty() && (scope == name || (scope == parent && parent != name)))
            rows.push_back(&row);
    }
    return rows;
}

// "scan [--ids A-B]": the command, its arguments and its options as they stand.
QString Synopsis(const CommandRow &row)
{
    QString line = QLatin1String(row.name);
    if (*row.arguments)
        line += QLatin1Char(' ') + QLatin1String(row.arguments);
    for (const OptionRow *option : OptionsOf(QLatin1String(row.name))) {
        if (option->shown == Shown::Alone)
            continue;
        QString part = QLatin1String(option->name);
        if (*option->value)
            part += QLatin1Char(' ') + QLatin1String(option->value);
        if (option->shown == Shown::Repeatable)
            part += QStringLiteral(" ...");
        line += option->shown == Shown::Required ? QStringLiteral(" %1").arg(part) : QStringLiteral(" [%1]").arg(part);
    }
    return line;
}

QStringList Usages(const QString &name)
{
    QStringList usages;
    const std::vector<const CommandRow *> subs = Subcommands(name);
    if (subs.empty()) {
        usages << Synopsis(*FindRow(name));
        for (const OptionRow *option : OptionsOf(name))
            if (option->shown == Shown::Alone)
                usages << QStringLiteral("%1 %2").arg(name, QLatin1String(option->name));
    }
    for (const CommandRow *sub : subs)
        usages << Synopsis(*sub);
    return usages;
}

QStringList Examples(const QString &name)
{
    QStringList examples;
    for (const CommandRow *sub : Subcommands(name))
        examples << QLatin1String(sub->example);
    if (examples.isEmpty())
        examples << QLatin1String(FindRow(name)->example);
    return examples;
}

// The options of a command with the subcommand each belongs to, when only one does.
QString OptionsText(const QString &name)
{
    QString text;
    for (const OptionRow *option : OptionsOf(name)) {
        const QString scope = QLatin1String(option->scope);
        text += OptionLine(*option, scope != name && name.contains(QLatin1Char(' ')) ? QString() :
                                    scope != name ? scope : QString());
    }
    // fleet's own help also lists what only one subcommand takes.
    if (!name.contains(QLatin1Char(' '))) {
        for (const CommandRow *sub : Subcommands(name))
            for (const OptionRow &option : kOptions)
                if (QLatin1String(option.scope) == QLatin1String(sub->name))
                    text += OptionLine(option, QLatin1String(sub->name));
    }
    return text;
}

QString SerialPortsText()
{
    return QStringLiteral("Serial ports:\n") + Wrap(QString::fromStdString(TComPort::DialoutHint()), 2);
}

QString GeneralText(bool manual)
{
    QString text = UsageLine() + QLatin1Char('\n');
    text += QStringLiteral("  or:  norvik-ctl help COMMAND\n");
    if (manual)
        text += QStringLiteral("  or:  norvik-ctl --help-all\n");
    text += QLatin1Char('\n');
    text += Wrap(QStringLiteral("Services Norvik door-access controllers: firmware download, identity, clock and "
                                "every operation of the controller component. \"norvik-ctl help COMMAND\" or "
                                "\"norvik-ctl COMMAND --help\" shows a command's usage, options and an example."),
                 0);
    text += QStringLiteral("\nCommands:\n");
    for (const CommandRow &row : kCommands) {
        const QString name = QLatin1String(row.name);
        if (name.contains(QLatin1Char(' ')))
            continue;
        QString summary = QLatin1String(row.summary);
        QStringList subs;
        for (const CommandRow *sub : Subcommands(name))
            subs << QString::fromLatin1(sub->name).section(QLatin1Char(' '), 1);
        if (!subs.isEmpty())
            summary += QStringLiteral(": ") + subs.join(QStringLiteral(", "));
        text += Wrap(summary, 17, QStringLiteral("  ") + name);
    }
    if (manual)
        text += QStringLiteral("\n") + SerialPortsText();
    text += manual ? QStringLiteral("\nOptions:\n") : QStringLiteral("\nLink options (the serial link is the default):\n");
    for (const OptionRow &row : kOptions)
        if (!*row.scope)
            text += OptionLine(row);
    if (!manual) {
        text += QStringLiteral("\nExit codes (in full, with the environment and the files: norvik-ctl --help-all):\n");
        for (const ExitRow &row : kExitCodes)
            text += QStringLiteral("  %1  %2\n").arg(row.code, -3).arg(QLatin1String(row.brief));
        text += QStringLiteral("\n") + SerialPortsText();
    }
    return text;
}

} // namespace

QString UsageLine()
{
    return QStringLiteral("Usage: norvik-ctl [link options] COMMAND [arguments]");
}

QString HelpText()
{
    return GeneralText(false);
}

QString CommandHelpText(const QString &command)
{
    const CommandRow *row = FindRow(command);
    if (!row)
        return QString();
    QString text;
    const QStringList usages = Usages(command);
    for (int i = 0; i < usages.size(); ++i)
        text += UsageText((i == 0 ? QStringLiteral("Usage: ") : QStringLiteral("       ")) +
                              QStringLiteral("norvik-ctl [link options] "),
                          usages.at(i));
    text += QLatin1Char('\n') + Wrap(QLatin1String(row->details), 0);
    for (const CommandRow *sub : Subcommands(command))
        text += QLatin1Char('\n') + Wrap(QStringLiteral("%1: %2").arg(QLatin1String(sub->name), QLatin1String(sub->details)), 0);
    if (const QString options = OptionsText(command); !options.isEmpty())
        text += QStringLiteral("\nOptions:\n") + options;
    const QStringList examples = Examples(command);
    text += examples.size() == 1 ? QStringLiteral("\nExample:\n") : QStringLiteral("\nExamples:\n");
    for (const QString &example : examples)
        text += QStringLiteral("  %1\n").arg(example);
    text += QStringLiteral("\nLink options (--port, --host, --id, --json, ...): norvik-ctl --help\n");
    return text;
}

QString ManualText()
{
    QString text = GeneralText(true);
    // The command reference: each command's usage, what it does and its own options.
    text += QStringLiteral("\n*Command reference*\n");
    for (const CommandRow &row : kCommands) {
        const QString name = QLatin1String(row.name);
        // A command with subcommands: its own text, then each subcommand's.
        // The usage as the tag of its paragraph, as the manual page sets it.
        const QStringList usages = Subcommands(name).empty() ? Usages(name) : QStringList{name};
        for (int i = 0; i + 1 < usages.size(); ++i)
            text += QStringLiteral("  %1\n").arg(usages.at(i));
        text += Wrap(QLatin1String(row.details), kTextColumn, QStringLiteral("  ") + usages.last());
        for (const OptionRow &option : kOptions)
            if (QLatin1String(option.scope) == name)
                text += OptionLine(option, QString(), 4);
        text += QLatin1Char('\n');
    }
    text += QStringLiteral("*Exit status*\n");
    for (const ExitRow &row : kExitCodes)
        text += Wrap(QLatin1String(row.text), 7, QStringLiteral("  %1").arg(row.code));
    text += QStringLiteral("\nEnvironment:\n");
    for (const NamedText &row : kEnvironment)
        text += Wrap(QLatin1String(row.text), kTextColumn, QStringLiteral("  ") + QLatin1String(row.name));
    text += QStringLiteral("\nFiles:\n");
    for (const NamedText &row : kFiles)
        text += Wrap(QLatin1String(row.text), kTextColumn, QStringLiteral("  ") + QLatin1String(row.name));
    text += QStringLiteral("\nExamples:\n");
    for (const CommandRow &row : kCommands) {
        if (!Subcommands(QLatin1String(row.name)).empty())
            continue;
        text += QStringLiteral("  %1:\n      $ %2\n").arg(QLatin1String(row.summary), QLatin1String(row.example));
    }
    return text;
}

QStringList HelpCommandNames()
{
    QStringList names;
    for (const CommandRow &row : kCommands)
        names << QLatin1String(row.name);
    return names;
}

QStringList HelpOptionNames()
{
    QStringList names;
    for (const OptionRow &row : kOptions)
        names << QString::fromLatin1(row.name).split(QStringLiteral(", "));
    names.removeDuplicates();
    return names;
}

namespace {

// Edits (insert, delete, change, swap two neighbours) from a to b.
int Distance(const QString &a, const QString &b)
{
    const int n = static_cast<int>(a.size());
    const int m = static_cast<int>(b.size());
    std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
    for (int i = 0; i <= n; ++i)
        d[i][0] = i;
    for (int j = 0; j <= m; ++j)
        d[0][j] = j;
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= m; ++j) {
            const int cost = a.at(i - 1) == b.at(j - 1) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[n][m];
}

} // namespace

QStringList Nearest(const QString &typed, const QStringList &candidates)
{
    const QString key = typed.toLower();
    if (key.isEmpty())
        return {};
    // A few edits for a longer name; a short one would match nearly anything.
    const int allowed = key.size() <= 3 ? 1 : key.size() <= 8 ? 2 : 3;
    std::vector<std::pair<int, QString>> scored;
    for (const QString &candidate : candidates) {
        const QString other = candidate.toLower();
        if (other == key)
            continue;
        int score = -1;
        if (key.size() >= 3 && (other.startsWith(key) || key.startsWith(other)))
            score = 0;
        else if (const int distance = Distance(key, other); distance <= allowed)
            score = distance;
        if (score >= 0)
            scored.emplace_back(score, candidate);
    }
    std::stable_sort(scored.begin(), scored.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
    QStringList nearest;
    for (const auto &[score, name] : scored) {
        if (score > scored.front().first || nearest.size() == 5)
            break;
        nearest << name;
    }
    return nearest;
}

QString DidYouMean(const QString &typed, const QStringList &candidates)
{
    const QStringList nearest = Nearest(typed, candidates);
    if (nearest.isEmpty())
        return QString();
    return QStringLiteral(" (did you mean %1?)").arg(nearest.join(QStringLiteral(", ")));
}

int RunHelp(const Options &options, const Output &out)
{
    QString text;
    QString topic = options.arguments.join(QLatin1Char(' '));
    if (options.helpAll)
        text = ManualText();
    else if (topic.isEmpty())
        text = HelpText();
    else if (text = CommandHelpText(topic); text.isEmpty())
        throw UsageError(QStringLiteral("help: no command '%1'%2").arg(topic, DidYouMean(topic, HelpCommandNames())));
    // The terminal gets the text as it stands; JSON carries it whole.
    if (!out.Json())
        WriteOut(text);
    out.Object(QJsonObject{{QStringLiteral("command"), QStringLiteral("help")},
                           {QStringLiteral("ok"), true},
                           {QStringLiteral("topic"), topic},
                           {QStringLiteral("text"), text}});
    return ExitOk;
}

} // namespace ctl
