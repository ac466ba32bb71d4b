#include "cli/Options.h"

#include "cli/Diagnosis.h"

#include "common/IntConv.h"
#include "services/ComPort.h"

#include <QRegularExpression>

#include <functional>
#include <map>

namespace ctl {
namespace {

// Whole-text integer within [low, high]; the option's name in the message.
int IntegerValue(const QString &option, const QString &text, int low, int high)
{
    const std::optional<int> value = norvik::TryStrToInt(text.toStdString());
    if (!value)
        throw UsageError(QStringLiteral("%1: '%2' is not a valid integer value").arg(option, text));
    if (*value < low || *value > high)
        throw UsageError(QStringLiteral("%1: %2 is outside %3..%4").arg(option).arg(*value).arg(low).arg(high));
    return *value;
}

void ParseIdRange(const QString &text, Options &options)
{
    static const QRegularExpression range(QStringLiteral("^\\s*([^-\\s]+)\\s*(?:-\\s*([^-\\s]+)\\s*)?$"));
    const QRegularExpressionMatch match = range.match(text);
    if (!match.hasMatch())
        throw UsageError(QStringLiteral("--ids: '%1' is not a range like 1-16").arg(text));
    const int first = IntegerValue(QStringLiteral("--ids"), match.captured(1), 1, 255);
    const int last = match.captured(2).isEmpty() ? first
                                                 : IntegerValue(QStringLiteral("--ids"), match.captured(2), 1, 255);
    if (last < first)
        throw UsageError(QStringLiteral("--ids: the range %1-%2 is empty").arg(first).arg(last));
    options.scanFirst = first;
    options.scanLast = last;
}

QString NonEmpty(const QString &option, const QString &value)
{
    if (value.trimmed().isEmpty())
        throw UsageError(QStringLiteral("%1 needs a non-empty value").arg(option));
    return value;
}

} // namespace

Options ParseOptions(const QStringList &arguments, Options *partial)
{
    Options local;
    Options &options = partial ? *partial : local;
    QStringList commandOptionsSeen;
    bool optionsEnded = false;

    // Options that take a value, with what to do with it.
    using Setter = std::function<void(const QString &)>;
    const std::map<QString, Setter> valued = {
        {QStringLiteral("--port"),
         [&](const QString &v) {
             options.port = NonEmpty(QStringLiteral("--port"), v);
             options.portGiven = true;
         }},
        {QStringLiteral("--host"),
         [&](const QString &v) {
             options.host = NonEmpty(QStringLiteral("--host"), v).trimmed();
             if (const QString problem = AddressProblem(options.host); !problem.isEmpty())
                 throw UsageError(problem);
         }},
        {QStringLiteral("--udp-port"),
         [&](const QString &v) { options.udpPort = IntegerValue(QStringLiteral("--udp-port"), v, 1, 65535); }},
        {QStringLiteral("--phone"), [&](const QString &v) { options.phone = NonEmpty(QStringLiteral("--phone"), v); }},
        {QStringLiteral("--dial-timeout"),
         [&](const QString &v) { options.dialTimeout = IntegerValue(QStringLiteral("--dial-timeout"), v, 0, 3600000); }},
        {QStringLiteral("--id"), [&](const QString &v) { options.id = IntegerValue(QStringLiteral("--id"), v, 1, 255); }},
        {QStringLiteral("--timeout"),
         [&](const QString &v) {
             options.timeout = IntegerValue(QStringLiteral("--timeout"), v, 0, 60000);
             options.timeoutGiven = true;
         }},
        {QStringLiteral("--retry"),
         [&](const QString &v) { options.retry = IntegerValue(QStringLiteral("--retry"), v, 1, 1000); }},
        {QStringLiteral("--retry-sleep"),
         [&](const QString &v) { options.retrySleep = IntegerValue(QStringLiteral("--retry-sleep"), v, 0, 10000); }},
        {QStringLiteral("--time"), [&](const QString &v) { options.time = NonEmpty(QStringLiteral("--time"), v); }},
        {QStringLiteral("--ids"), [&](const QString &v) { ParseIdRange(v, options); }},
        {QStringLiteral("--card-bytes"),
         [&](const QString &v) {
             const int width = IntegerValue(QStringLiteral("--card-bytes"), v, 4, 12);
             if (width != 4 && width != 7 && width != 8 && width != 12)
                 throw UsageError(QStringLiteral("--card-bytes: %1 is not a card width (4, 7, 8 or 12)").arg(width));
             options.cardBytes = width;
         }},
        {QStringLiteral("--max"),
         [&](const QString &v) { options.maxRecords = IntegerValue(QStringLiteral("--max"), v, 1, 1000000); }},
        {QStringLiteral("--removed"),
         [&](const QString &v) { options.removedIndex = IntegerValue(QStringLiteral("--removed"), v, 0, 65535); }},
        {QStringLiteral("--debug-log"),
         [&](const QString &v) { options.debugLog = NonEmpty(QStringLiteral("--debug-log"), v); }},
        {QStringLiteral("--target"), [&](const QString &v) { options.targets << NonEmpty(QStringLiteral("--target"), v).trimmed(); }},
        {QStringLiteral("--targets"),
         [&](const QString &v) { options.targetsFile = NonEmpty(QStringLiteral("--targets"), v); }},
        {QStringLiteral("--jobs"), [&](const QString &v) { options.jobs = IntegerValue(QStringLiteral("--jobs"), v, 1, 1000); }},
        {QStringLiteral("--restart-wait"),
         [&](const QString &v) { options.restartWait = IntegerValue(QStringLiteral("--restart-wait"), v, 0, 600000); }},
        {QStringLiteral("--sn"), [&](const QString &v) { options.sn = NonEmpty(QStringLiteral("--sn"), v); }},
        {QStringLiteral("--since"), [&](const QString &v) { options.since = NonEmpty(QStringLiteral("--since"), v); }},
    };
    const std::map<QString, std::function<void()>> flags = {
        {QStringLiteral("--trace"), [&] { options.trace = true; }},
        {QStringLiteral("--json"), [&] { options.json = true; }},
        {QStringLiteral("--yes"), [&] { options.yes = true; }},
        {QStringLiteral("--in-bootloader"), [&] { options.inBootLoader = true; }},
        {QStringLiteral("--csv"), [&] { options.csv = true; }},
        {QStringLiteral("--list"), [&] { options.list = true; }},
        {QStringLiteral("--help"), [&] { options.help = true; }},
        {QStringLiteral("-h"), [&] { options.help = true; }},
        {QStringLiteral("--version"), [&] { options.version = true; }},
    };
    const QStringList commandOnly = {QStringLiteral("--time"),    QStringLiteral("--ids"),     QStringLiteral("--yes"),
                                     QStringLiteral("--list"),    QStringLiteral("--max"),     QStringLiteral("--removed"),
                                     QStringLiteral("--debug-log"), QStringLiteral("--target"),  QStringLiteral("--targets"),
                                     QStringLiteral("--jobs"),    QStringLiteral("--restart-wait"), QStringLiteral("--in-bootloader"),
                                     QStringLiteral("--sn"),      QStringLiteral("--since"),   QStringLiteral("--csv")};
    // A negative number is an argument (a call's integer), not an option.
    static const QRegularExpression negativeNumber(QStringLiteral("^-(\\d|\\$|0x)"));

    // The command's name first, so that a refusal of an option before it can
    // still name the command it was meant for.
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == QLatin1String("--") || !arg.startsWith(QLatin1Char('-')) || negativeNumber.match(arg).hasMatch()) {
            options.command = arg == QLatin1String("--") ? arguments.value(i + 1) : arg;
            break;
        }
        if (valued.count(arg) != 0)
            ++i;
    }

    QStringList positional;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-") ||
            negativeNumber.match(arg).hasMatch()) {
            positional << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString name = arg;
        QString value;
        bool inlineValue = false;
        const int eq = arg.indexOf(QLatin1Char('='));
        if (arg.startsWith(QLatin1String("--")) && eq > 2) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
            inlineValue = true;
        }
        if (commandOnly.contains(name))
            commandOptionsSeen << name;
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (inlineValue)
                throw UsageError(QStringLiteral("%1 takes no value").arg(name));
            flag->second();
            continue;
        }
        const auto setter = valued.find(name);
        if (setter == valued.end())
            throw UsageError(QStringLiteral("unknown option '%1'").arg(name));
        if (!inlineValue) {
            if (i + 1 >= arguments.size())
                throw UsageError(QStringLiteral("%1 needs a value").arg(name));
            value = arguments.at(++i);
        }
        setter->second(value);
    }

    if (options.help || options.version)
        return options;

    if (positional.isEmpty())
        throw UsageError(QStringLiteral("no command given"));
    options.command = positional.takeFirst();
    const CommandSpec *command = FindCommand(options.command);
    if (!command)
        throw UsageError(QStringLiteral("unknown command '%1'").arg(options.command));
    if (command->positional >= 0 && positional.size() != command->positional) {
        if (command->positional == 0)
            throw UsageError(QStringLiteral("%1 takes no arguments").arg(options.command));
        if (command->positional == 1)
            throw UsageError(QStringLiteral("%1 needs exactly one argument %2").arg(options.command,
                                                                                   QLatin1String(command->argName)));
        throw UsageError(QStringLiteral("%1 needs exactly %2 arguments %3")
                             .arg(options.command)
                             .arg(command->positional)
                             .arg(QLatin1String(command->argName)));
    }
    options.arguments = positional;
    for (const QString &name : commandOptionsSeen) {
        if (!command->options.contains(name))
            throw UsageError(QStringLiteral("%1 is not an option of %2").arg(name, options.command));
    }

    // One link per run: the network and the modem exclude each other, and a
    // serial port next to --host would be silently unused.
    if (!options.host.isEmpty() && !options.phone.isEmpty())
        throw UsageError(QStringLiteral("--host (network) and --phone (modem) select different links; give one"));
    if (!options.host.isEmpty() && options.portGiven)
        throw UsageError(QStringLiteral("--host (network) and --port (serial) select different links; give one"));
    return options;
}

QString UsageLine()
{
    return QStringLiteral("Usage: norvik-ctl [link options] COMMAND [arguments]");
}

QString HelpText()
{
    return UsageLine() + QString::fromUtf8(R"(

Services Norvik door-access controllers from the command line: firmware
download, identity, serial number and ID, clock, and every operation of the
controller component (cards, transactions, doors, tables, groups, memory).

Link options (the serial link is the default):
  --port NAME          serial port: "COMn" or a device path (default COM1).
                       On Linux "COMn" is the device in $NORVIK_COMn when set,
                       else /dev/ttyS(n-1).
  --host ADDR          use the network link (UDP) to this address
  --udp-port N         the controller's UDP port (default 1001)
  --phone NUMBER       use the modem on --port: dial NUMBER first, hang up at
                       the end
  --dial-timeout MS    give up dialing after MS milliseconds (default 90000)
  --id N               controller ID, 1..255 (default 1)
  --timeout MS         network: wait for a reply datagram (default 200)
  --retry N            serial/modem: read attempts per reply (default 20)
  --retry-sleep MS     serial/modem: pause between attempts (default 20)
  --card-bytes 4|7|8|12
                       width of the controller's card numbers (default 4):
                       how call and transactions lay out cards
  --trace              every frame and boot-loader line on stderr
  --json               machine-readable output: one JSON object per command
                       (download: one per progress step, then the result)
  -h, --help           this text
  --version            the program's version

Commands:
  info                 firmware version, type code, limits, counters and SN
  write-sn SN          write the 8-character SN together with --id, then read
                       the ID back by SN; success when it equals --id
  set-clock [--time "YYYY-MM-DD HH:MM:SS"]
                       set the controller's clock (default: now)
  get-clock            read the controller's clock
  reset                reset the controller
  fleet download FILE --yes [--target SPEC ...] [--targets FILE] [--jobs N]
               [--restart-wait MS]
                       download FILE to many controllers in one run: for each
                       target read its SN, type code and version, download,
                       wait MS (default 5000) for the restart and check the
                       version against the file's, as verify does. SPEC is
                       HOST[:UDPPORT][/ID] for the network link (UDPPORT
                       default --udp-port, ID default --id) or PORT/ID for a
                       serial port; --targets FILE holds one SPEC a line
                       (# starts a comment). Network targets run in parallel,
                       N at once (default 16); targets on the same serial
                       port, or behind the same HOST:UDPPORT, one after the
                       other. A live line per running target on a terminal,
                       a summary table at the end; --json: one object per
                       progress step and per result, each with its target.
                       Exit 0 when every target succeeded, 1 when any failed.
                       Ctrl-C stops every download after its current line
                       and lists the controllers that may remain in their
                       boot loader.
  fleet info [--target SPEC ...] [--targets FILE] [--jobs N]
                       read and tabulate the same targets without downloading
  download FILE [--yes] [--in-bootloader]
                       write new firmware from an Intel-HEX file; asks for
                       confirmation on a terminal unless --yes, and refuses
                       without a terminal unless --yes; a file with a broken
                       record is refused before anything is sent. Ctrl-C
                       stops after the current line; the controller may then
                       stay in its boot loader. Every download is added to
                       the upgrade history.
                       --in-bootloader: for a controller that a download
                       stopped half way left in its boot loader (it no longer
                       answers the jump command): the record lines go out at
                       once, without the jump, with the same pace and resends
  hex-info FILE        type code, version, record count and every broken
                       record with its line number (no controller needed)
  verify FILE          compare the controller's type code and version with
                       the file's
  ports                the serial ports the system reports
  scan [--ids A-B]     which controller IDs answer on this link (default 1-128)
  call OPERATION [ARG ...]
                       run one operation of the controller component by name
                       (case-insensitive); arguments in the operation's order:
                       integers decimal or 0x-hex, booleans true/false/1/0,
                       lists 1,2,3, byte blocks 1,2,3 or 0A0B0C, date-times
                       "YYYY-MM-DD HH:MM:SS". Prints "result: VALUE" and one
                       "name: value" line per value handed back.
  call --list          every operation with its arguments and their types
  transactions [--max N] [--removed INDEX] [--debug-log DIR]
                       read and confirm the waiting transaction records until
                       none is left (or N are read); --removed INDEX reads one
                       stored record instead; --debug-log DIR also appends
                       each record to DIR/RXyyyymmdd.txt
  door N open|force-open|force-close|resume|status
                       act on door N, or print its state
  history [--sn SN] [--since DATE] [--json|--csv]
                       the upgrade history: every download of the window and
                       of norvik-ctl, oldest first (no controller needed).
                       DATE is YYYY-MM-DD (from local midnight) or a date and
                       time YYYY-MM-DDTHH:MM[:SS] (local, or with Z or +HH:MM).
                       --csv: comma-separated with a header line. The file is
                       $XDG_DATA_HOME/norvik/history.sqlite
                       (~/.local/share/norvik/history.sqlite by default)

Exit codes:
  0    success
  1    the controller did not answer or refused, the modem's dial failed,
       the comparison or download failed, the download was declined,
       hex-info found broken records, or a call's result means failure
       (false, 0, -1)
  2    bad usage or argument (also a call's argument that does not parse or
       that the controller's frame cannot carry; nothing is sent)
  3    a file, port or socket could not be opened, read or written (the
       message gives the system's reason), or the firmware file has a
       broken record
  130  interrupted (Ctrl-C)

Serial ports:
)") + QStringLiteral("  %1\n").arg(QString::fromStdString(TComPort::DialoutHint()));
}

} // namespace ctl
