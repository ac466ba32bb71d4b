#pragma once
// The command line of norvik-ctl: link options, one command and its arguments.
#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

namespace ctl {

// Bad usage: the message goes to stderr with the usage line, exit code 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString Message() const { return QString::fromStdString(what()); }
};

enum class LinkKind { Serial, Network, Modem };

// What the parser checks of a command.
struct CommandSpec {
    int positional;      // number of positional arguments; -1: any number (the command checks them)
    const char *argName; // for messages: "SN", "FILE"
    QStringList options; // command options it accepts
};

// The command of that name, or nullptr; the table lives with the commands (Commands.cpp).
const CommandSpec *FindCommand(const QString &name);

struct Options {
    // link
    QString port = QStringLiteral("COM1");
    bool portGiven = false;
    QString host; // non-empty selects the network link
    int udpPort = 1001;
    QString phone; // non-empty selects the modem link on --port
    int dialTimeout = 90000;
    int id = 1;
    int timeout = 200;
    bool timeoutGiven = false; // scan: --timeout bounds each ID's wait on the serial link too
    int retry = 20;
    int retrySleep = 20;
    bool trace = false;
    bool json = false;

    // command
    bool help = false;
    bool version = false;
    QString command;
    QStringList arguments; // the command's positional arguments
    bool yes = false;      // download: no confirmation
    bool inBootLoader = false; // download: the controller already waits in its boot loader
    QString sn;            // history: only this SN
    QString since;         // history: only downloads started at or after this date
    bool csv = false;      // history: comma-separated values
    QString time;          // set-clock: empty means now
    int scanFirst = 1;
    int scanLast = 128;
    int cardBytes = 4;     // width of card numbers: 4, 7, 8 or 12
    bool list = false;     // call: list the operations
    int maxRecords = -1;   // transactions: stop after this many (-1: all)
    int removedIndex = -1; // transactions: read this stored record instead
    QString debugLog;      // transactions: folder of the day's log file
    QStringList targets;   // fleet: --target SPEC, in order
    QString targetsFile;   // fleet: --targets FILE
    int jobs = 16;         // fleet: targets running at once
    int restartWait = 5000; // fleet: from the end of a download to the version check

    LinkKind Link() const
    {
        if (!host.isEmpty())
            return LinkKind::Network;
        if (!phone.isEmpty())
            return LinkKind::Modem;
        return LinkKind::Serial;
    }
};

// Parses the arguments after the program name. Raises UsageError for an
// unknown option or command, a missing or malformed value, or a wrong number
// of arguments. --help and --version are honoured without a command.
// With partial, what was parsed before a UsageError stays there (--json, the
// command), so that the refusal can still be given in the run's JSON shape.
Options ParseOptions(const QStringList &arguments, Options *partial = nullptr);

// "Usage: norvik-ctl [link options] COMMAND [arguments]"
QString UsageLine();
// The whole --help text: options, commands, exit codes.
QString HelpText();

} // namespace ctl
