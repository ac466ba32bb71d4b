#include "cli/Options.h"

#include "cli/Diagnosis.h"
#include "cli/Help.h"

#include "common/IntConv.h"

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
        {QStringLiteral("--tries"), [&](const QString &v) { options.tries = IntegerValue(QStringLiteral("--tries"), v, 1, 10); }},
        {QStringLiteral("--wait"), [&](const QString &v) { options.wait = IntegerValue(QStringLiteral("--wait"), v, 0, 86400000); }},
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
        {QStringLiteral("--allow-other-type"), [&] { options.allowOtherType = true; }},
        {QStringLiteral("--allow-older"), [&] { options.allowOlder = true; }},
        {QStringLiteral("--allow-reinstall"), [&] { options.allowReinstall = true; }},
        {QStringLiteral("--list"), [&] { options.list = true; }},
        {QStringLiteral("--help"), [&] { options.help = true; }},
        {QStringLiteral("--help-all"), [&] { options.helpAll = true; }},
        {QStringLiteral("-h"), [&] { options.help = true; }},
        {QStringLiteral("--version"), [&] { options.version = true; }},
    };
    const QStringList commandOnly = {QStringLiteral("--time"),    QStringLiteral("--ids"),     QStringLiteral("--yes"),
                                     QStringLiteral("--list"),    QStringLiteral("--max"),     QStringLiteral("--removed"),
                                     QStringLiteral("--debug-log"), QStringLiteral("--target"),  QStringLiteral("--targets"),
                                     QStringLiteral("--jobs"),    QStringLiteral("--restart-wait"), QStringLiteral("--in-bootloader"),
                                     QStringLiteral("--sn"),      QStringLiteral("--since"),   QStringLiteral("--csv"),
                                     QStringLiteral("--allow-other-type"), QStringLiteral("--allow-older"),
                                     QStringLiteral("--allow-reinstall"), QStringLiteral("--wait")};
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
    options.line = arguments;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-") ||
            negativeNumber.match(arg).hasMatch()) {
            positional << arg;
            options.positionalAt << i;
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
        if (setter == valued.end()) {
            QStringList known;
            for (const auto &entry : valued)
                known << entry.first;
            for (const auto &entry : flags)
                known << entry.first;
            throw UsageError(QStringLiteral("unknown option '%1'%2").arg(name, DidYouMean(name, known)));
        }
        if (!inlineValue) {
            if (i + 1 >= arguments.size())
                throw UsageError(QStringLiteral("%1 needs a value").arg(name));
            value = arguments.at(++i);
        }
        setter->second(value);
    }

    // The help of the command at hand is the help command's answer.
    if (options.helpAll || (options.help && !positional.isEmpty())) {
        options.help = false;
        options.command = QStringLiteral("help");
        QStringList topic = positional.mid(0, 1);
        if (positional.size() > 1 && HelpCommandNames().contains(positional.mid(0, 2).join(QLatin1Char(' '))))
            topic = positional.mid(0, 2);
        options.arguments = options.helpAll ? QStringList() : topic;
        return options;
    }
    if (options.help || options.version)
        return options;

    if (positional.isEmpty())
        throw UsageError(QStringLiteral("no command given"));
    options.command = positional.takeFirst();
    const CommandSpec *command = FindCommand(options.command);
    if (!command)
        throw UsageError(
            QStringLiteral("unknown command '%1'%2").arg(options.command, DidYouMean(options.command, CommandNames())));
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

} // namespace ctl
