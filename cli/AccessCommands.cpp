// The access-control side of the controller on the command line: any
// component operation through `call`, the transaction records, and the doors.
#include "cli/CommandKit.h"
#include "cli/Diagnosis.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Operations.h"
#include "cli/Output.h"
#include "common/Errors.h"

#include <QDir>
#include <QJsonArray>

namespace ctl {

namespace {

QString ResultText(const QJsonValue &result)
{
    if (result.isBool())
        return result.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (result.isDouble())
        return QString::number(result.toInteger());
    if (result.isString())
        return result.toString();
    return QStringLiteral("none");
}

int ListOperations(const Options &options, const Output &out)
{
    if (!options.arguments.isEmpty())
        throw UsageError(QStringLiteral("call --list takes no operation"));
    QJsonArray operations;
    for (const Operation &operation : Operations()) {
        out.Text(ListingLine(operation));
        QJsonArray args;
        for (const ArgSpec &spec : operation.args)
            args.append(QLatin1String(spec.name));
        operations.append(QJsonObject{{QStringLiteral("name"), QLatin1String(operation.name)},
                                      {QStringLiteral("usage"), ListingLine(operation)},
                                      {QStringLiteral("arguments"), args}});
    }
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), true},
                           {QStringLiteral("operations"), operations}});
    return ExitOk;
}

// --- transaction records -----------------------------------------------------------------

// A record in the 22-byte form: card number right-aligned in bytes 0-11, date
// 12-14, time 15-17, delivery 18, event 19, record tag 20-21.
QJsonObject RecordObject(const std::uint8_t *record, int cardWidth)
{
    const std::uint8_t *card = record + 12 - cardWidth;
    QString cardText;
    if (cardWidth == 4) {
        cardText = QString::number(static_cast<quint32>(card[0]) << 24 | static_cast<quint32>(card[1]) << 16 |
                                   static_cast<quint32>(card[2]) << 8 | card[3]);
    } else {
        for (int i = 0; i < cardWidth; ++i)
            cardText += QStringLiteral("%1").arg(card[i], 2, 16, QLatin1Char('0')).toUpper();
    }
    const auto two = [](int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    return QJsonObject{
        {QStringLiteral("card"), cardText},
        {QStringLiteral("date"), QStringLiteral("%1-%2-%3").arg(2000 + record[12]).arg(two(record[13]), two(record[14]))},
        {QStringLiteral("time"), QStringLiteral("%1:%2:%3").arg(two(record[15]), two(record[16]), two(record[17]))},
        {QStringLiteral("delivery"), record[18]},
        {QStringLiteral("event"), record[19]},
        {QStringLiteral("tag"), QStringLiteral("%1%2").arg(record[20], 2, 16, QLatin1Char('0')).arg(record[21], 2, 16, QLatin1Char('0')).toUpper()},
    };
}

QString RecordLine(const QJsonObject &record, int cardWidth)
{
    return QStringLiteral("%1  %2  %3  %4  %5  %6")
        .arg(record.value(QStringLiteral("card")).toString(), -(cardWidth == 4 ? 10 : cardWidth * 2))
        .arg(record.value(QStringLiteral("date")).toString(), record.value(QStringLiteral("time")).toString())
        .arg(record.value(QStringLiteral("delivery")).toInt(), 8)
        .arg(record.value(QStringLiteral("event")).toInt(), 5)
        .arg(record.value(QStringLiteral("tag")).toString());
}

QString HeaderLine(int cardWidth)
{
    return QStringLiteral("%1  %2  %3  Delivery  Event  Tag")
        .arg(QStringLiteral("Card"), -(cardWidth == 4 ? 10 : cardWidth * 2))
        .arg(QStringLiteral("Date"), -10)
        .arg(QStringLiteral("Time"), -8);
}

void PrintRecord(const Output &out, const Options &options, const std::uint8_t *record, int cardWidth, int index)
{
    QJsonObject object = RecordObject(record, cardWidth);
    out.Text(RecordLine(object, cardWidth));
    object.insert(QStringLiteral("command"), options.command);
    object.insert(QStringLiteral("event"), QStringLiteral("record"));
    object.insert(QStringLiteral("index"), index);
    out.Object(object);
}

// The run's one result object, after the records.
void RecordsRead(const Output &out, const Options &options, int count)
{
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), true},
                           {QStringLiteral("id"), options.id},
                           {QStringLiteral("records"), count}});
}

// The day's log file goes into the folder given; the engine itself would make
// only its last level, so the folder is made here and a failure said plainly.
void EnableDebugLog(TController &controller, const QString &folder)
{
    if (!QDir().mkpath(folder))
        throw norvik::EInOutError("--debug-log: cannot create the folder \"" + folder.toStdString() + "\"");
    QString prefix = QDir(folder).absolutePath();
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    controller.SetDebugPath(prefix.toStdString());
    controller.SetDebugMode(true);
}

int ReadRemoved(Link &link, const Options &options, const Output &out)
{
    std::uint8_t record[22] = {};
    if (link.controller.ReadRemovedTransaction(static_cast<std::uint16_t>(options.removedIndex), record, 22) != 1)
        return NoAnswer(out, options, link.controller);
    // A stored record always comes in the 4-byte card layout.
    out.Text(HeaderLine(4));
    PrintRecord(out, options, record, 4, options.removedIndex);
    RecordsRead(out, options, 1);
    return ExitOk;
}

} // namespace

int RunCall(const Options &options, const Output &out)
{
    if (options.list)
        return ListOperations(options, out);
    if (options.arguments.isEmpty())
        throw UsageError(QStringLiteral("call needs an OPERATION (see 'norvik-ctl call --list')"));
    const Operation *operation = FindOperation(options.arguments.first());
    if (!operation) {
        throw UsageError(QStringLiteral("unknown operation '%1' (see 'norvik-ctl call --list')")
                             .arg(options.arguments.first()));
    }
    const QString name = QLatin1String(operation->name);
    const Arguments arguments = Arguments::Parse(name, operation->args, options.arguments.mid(1));

    Link link(options, out);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    const CallOutcome outcome = operation->call(link.controller, arguments);
    if (!outcome.success && Interrupt::Requested())
        return Interrupted(out, options.command);

    // The result is the component's own; several conventions count a refusal
    // as success, so the reply's status byte has the last word.
    const int status = link.controller.LastReplyStatus();
    const bool ok = outcome.success && status <= 0;
    out.Text(QStringLiteral("result: ") + ResultText(outcome.result));
    QJsonObject outs;
    for (const CallOutcome::Out &value : outcome.outs) {
        out.Text(QStringLiteral("%1: %2").arg(value.name, value.text));
        outs.insert(value.name, value.json);
    }
    QJsonObject object{{QStringLiteral("command"), options.command},
                       {QStringLiteral("ok"), ok},
                       {QStringLiteral("operation"), name},
                       {QStringLiteral("result"), outcome.result},
                       {QStringLiteral("status"), status >= 0 ? QJsonValue(status) : QJsonValue()},
                       {QStringLiteral("out"), outs}};
    if (!ok) {
        const Diagnosis d = Diagnose(options, link.controller, name);
        out.Error(d.message);
        for (const QString &advice : d.advice)
            out.Note(QStringLiteral("  - ") + advice);
        object.insert(QStringLiteral("error"), d.message);
    }
    out.Object(object);
    return ok ? ExitOk : ExitController;
}

int RunTransactions(const Options &options, const Output &out)
{
    if (options.removedIndex >= 0 && options.maxRecords >= 0)
        throw UsageError(QStringLiteral("--removed reads one stored record; --max does not go with it"));
    Link link(options, out);
    if (!options.debugLog.isEmpty())
        EnableDebugLog(link.controller, options.debugLog);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    if (options.removedIndex >= 0)
        return ReadRemoved(link, options, out);

    const int cardWidth = options.cardBytes;
    int count = 0;
    while (options.maxRecords < 0 || count < options.maxRecords) {
        if (Interrupt::Requested())
            return Interrupted(out, options.command);
        std::uint8_t record[22] = {};
        if (link.controller.ReadTransaction(record, 22) != 1) {
            if (count == 0) {
                const int code = NoAnswer(out, options, link.controller);
                if (code == ExitController)
                    out.Note(QStringLiteral("A record is only taken from an intact answer of the controller addressed "
                                            "whose length fits the card width: check --id and that --card-bytes %1 "
                                            "is the controller's.")
                                 .arg(cardWidth));
                return code;
            }
            if (Interrupt::Requested())
                return Interrupted(out, options.command);
            const QString message =
                QStringLiteral("the controller stopped answering after %1 record(s); read again to fetch the rest").arg(count);
            out.Error(message);
            out.Object(Failure(options.command, message));
            return ExitController;
        }
        if (record[18] == 0) // a valid answer without a record: nothing more is waiting
            break;
        if (count == 0)
            out.Text(HeaderLine(cardWidth));
        PrintRecord(out, options, record, cardWidth, count);
        ++count;
    }
    out.Text(QStringLiteral("%1 record(s) read.").arg(count));
    RecordsRead(out, options, count);
    return ExitOk;
}

int RunDoor(const Options &options, const Output &out)
{
    bool numeric = false;
    const int door = options.arguments.at(0).toInt(&numeric);
    if (!numeric || door < 1 || door > 255)
        throw UsageError(QStringLiteral("door: '%1' is not a door number from 1 to 255").arg(options.arguments.at(0)));
    const QString action = options.arguments.at(1);
    static const QStringList kActions = {QStringLiteral("open"), QStringLiteral("force-open"),
                                         QStringLiteral("force-close"), QStringLiteral("resume"),
                                         QStringLiteral("status")};
    if (!kActions.contains(action)) {
        throw UsageError(QStringLiteral("door: '%1' is not one of %2").arg(action, kActions.join(QStringLiteral(", "))));
    }

    // The output command carries 2 x door in one byte: a higher door number
    // would open another door.
    if (action == QLatin1String("open") && door > 127)
        throw UsageError(QStringLiteral("door: door %1 cannot be opened by number; the output command reaches doors 1 to 127").arg(door));

    Link link(options, out);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    TController &c = link.controller;
    const auto number = static_cast<std::uint8_t>(door);
    QJsonObject object{{QStringLiteral("command"), options.command},
                       {QStringLiteral("ok"), true},
                       {QStringLiteral("id"), options.id},
                       {QStringLiteral("door"), door},
                       {QStringLiteral("action"), action}};

    if (action == QLatin1String("status")) {
        std::uint8_t state = 0;
        if (!c.GetDoorStatus(number, state))
            return NoAnswer(out, options, link.controller, QStringLiteral("Status of door %1").arg(door));
        out.Text(QStringLiteral("Door %1 state: %2").arg(door).arg(state));
        object.insert(QStringLiteral("state"), state);
        out.Object(object);
        return ExitOk;
    }

    bool answered = false;
    QString what;
    if (action == QLatin1String("open")) {
        answered = c.OpenDoorNow(number, 0, 0);
        what = QStringLiteral("Open");
    } else if (action == QLatin1String("force-open")) {
        answered = c.ForceOpenDoorNow(number);
        what = QStringLiteral("Force open");
    } else if (action == QLatin1String("force-close")) {
        answered = c.ForceCloseDoorNow(number);
        what = QStringLiteral("Force close");
    } else {
        answered = c.ResumeDoorNormalNow(number);
        what = QStringLiteral("Resume normal");
    }
    // These commands count any 7-byte answer as done; the status byte tells
    // whether the controller took the command or refused it.
    if (!answered || c.LastReplyStatus() > 0)
        return NoAnswer(out, options, link.controller, QStringLiteral("%1 door %2").arg(what).arg(door));
    const QString text = QStringLiteral("OK - %1 door %2 on ID: %3").arg(what).arg(door).arg(options.id);
    out.Text(text);
    object.insert(QStringLiteral("message"), text);
    out.Object(object);
    return ExitOk;
}

} // namespace ctl
