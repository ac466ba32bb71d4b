#include "cli/Commands.h"

#include "cli/CommandKit.h"
#include "cli/Diagnosis.h"
#include "cli/Download.h"
#include "cli/Fleet.h"
#include "cli/Help.h"
#include "cli/ExitCodes.h"
#include "cli/History.h"
#include "cli/Interrupt.h"
#include "cli/LinkSession.h"
#include "cli/Operations.h"
#include "cli/SerialPorts.h"
#include "cli/Terminal.h"
#include "cli/Output.h"
#include "common/Errors.h"
#include "common/Sleeper.h"
#include "component/Controller.h"
#include "firmware/HexCheck.h"
#include "firmware/HexFile.h"
#include "firmware/Rollout.h"
#include "cli/Verify.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <map>
#include <iostream>
#include <string>
#include <unistd.h>

namespace ctl {

using norvik::CheckHexFile;
using norvik::HexCheckResult;
using norvik::HexProblem;

bool HexFileExists(const QString &path, const Output &out, QJsonObject failure)
{
    if (QFileInfo(path).isFile())
        return true;
    const QString message = QStringLiteral("HEX File \"%1\" not found.").arg(path);
    out.Error(message);
    failure.insert(QStringLiteral("error"), message);
    out.Object(failure);
    return false;
}

bool AskYes(const QString &question)
{
    WriteErr(question);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    const QString text = QString::fromLocal8Bit(answer.c_str()).trimmed().toLower();
    return text == QLatin1String("y") || text == QLatin1String("yes");
}

QString HistoryNotWritten(const QString &why)
{
    return QStringLiteral("norvik-ctl: the upgrade history was not written (the download's result is not affected): %1")
        .arg(why);
}

QJsonObject Failure(const QString &command, const QString &error)
{
    return QJsonObject{{QStringLiteral("command"), command}, {QStringLiteral("ok"), false},
                       {QStringLiteral("error"), error}};
}

int Interrupted(const Output &out, const QString &command)
{
    out.Error(QStringLiteral("interrupted"));
    out.Object(Failure(command, QStringLiteral("interrupted")));
    return ExitInterrupted;
}

int NoAnswer(const Output &out, const Options &options, const TController &controller, const QString &what, int tries)
{
    if (Interrupt::Requested())
        return Interrupted(out, options.command);
    if (const QString lost = QString::fromStdString(controller.LinkFault()); !lost.isEmpty()) {
        out.Error(lost);
        out.Object(Failure(options.command, lost));
        return ExitIo;
    }
    const Diagnosis d = Diagnose(options, controller, what, tries);
    out.Error(d.message);
    for (const QString &advice : d.advice)
        out.Note(QStringLiteral("  - ") + advice);
    QJsonObject failure = Failure(options.command, d.message);
    if (d.status >= 0)
        failure.insert(QStringLiteral("status"), d.status);
    if (!d.advice.isEmpty())
        failure.insert(QStringLiteral("advice"), QJsonArray::fromStringList(d.advice));
    out.Object(failure);
    return ExitController;
}

QString VersionText(std::uint16_t version)
{
    return norvik::VersionString(version);
}

QString SnText(const std::uint8_t *sn)
{
    const auto end = std::find(sn, sn + 8, std::uint8_t{0});
    return QString::fromLatin1(reinterpret_cast<const char *>(sn), end - sn);
}

namespace {

const QString kDateTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

QJsonObject InfoObject(const TControllerInfo &info, const QString &sn)
{
    return QJsonObject{
        {QStringLiteral("version"), VersionText(info.Version)},
        {QStringLiteral("type_code"), info.TypeCode},
        {QStringLiteral("card_max"), info.CardMax},
        {QStringLiteral("record_max"), info.RecordMax},
        {QStringLiteral("sort_card_count"), info.SortCardCount},
        {QStringLiteral("unsort_card_count"), info.UnsortCardCount},
        {QStringLiteral("record_count"), info.RecordCount},
        {QStringLiteral("sn"), sn},
    };
}

// Opens the link and reads the controller's info record: ExitOk, or the exit code of why not.
int OpenAndReadInfo(Link &link, TControllerInfo &info, const Options &options, const Output &out)
{
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    return norvik::ReadInfo(link.controller, info, options.ReadTries()) ? ExitOk
                                                                         : NoAnswer(out, options, link.controller, {},
                                                                                    options.ReadTries());
}

int RunInfo(const Options &options, const Output &out)
{
    Link link(options, out);
    TControllerInfo info;
    if (const int code = OpenAndReadInfo(link, info, options, out); code != ExitOk)
        return code;
    std::uint8_t sn[8] = {};
    norvik::ReadSn(link.controller, sn, options.ReadTries()); // as the window: an unreadable SN stays empty
    const QString snText = SnText(sn);

    out.Text(QStringLiteral("Info:"));
    out.Text(QStringLiteral("   Version: ") + VersionText(info.Version));
    out.Text(QStringLiteral("   Type code: %1").arg(info.TypeCode));
    out.Text(QStringLiteral("   CardMax: %1").arg(info.CardMax));
    out.Text(QStringLiteral("   SortCardCount: %1").arg(info.SortCardCount));
    out.Text(QStringLiteral("   UnsortCardCount: %1").arg(info.UnsortCardCount));
    out.Text(QStringLiteral("   RecordMax: %1").arg(info.RecordMax));
    out.Text(QStringLiteral("   RecordCount: %1").arg(info.RecordCount));
    out.Text(QStringLiteral("   SN: ") + snText);
    QJsonObject object = InfoObject(info, snText);
    object.insert(QStringLiteral("command"), options.command);
    object.insert(QStringLiteral("ok"), true);
    object.insert(QStringLiteral("id"), options.id);
    out.Object(object);
    return ExitOk;
}

int RunWriteSn(const Options &options, const Output &out)
{
    const QString sn = options.arguments.at(0);
    // Exactly 8 bytes go on the wire; a shorter or longer SN, or a character
    // that has no single byte, would address the wrong controller.
    const bool latin1 = std::all_of(sn.begin(), sn.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    if (sn.size() != 8 || !latin1)
        throw UsageError(QStringLiteral("write-sn: the SN must be exactly 8 characters ('%1')").arg(sn));

    Link link(options, out);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    const std::string snBytes = sn.toLatin1().toStdString();
    const bool acknowledged = link.controller.SendSetControllerSN(snBytes, static_cast<unsigned>(options.id));
    // The controller needs a moment to store the new identity before it answers by it.
    norvik::Sleep(300);
    const int readBack = link.controller.SendReadControllerID(snBytes);
    if (Interrupt::Requested())
        return Interrupted(out, options.command);
    const bool ok = readBack == options.id;
    const QString text = QStringLiteral("%1: Set SN=%2 ID=%3").arg(ok ? QStringLiteral("OK") : QStringLiteral("FAIL"), sn)
                             .arg(options.id);
    out.Text(text);
    if (!ok) {
        if (readBack < 0)
            out.Note(QStringLiteral("No controller answered the read-back by SN %1.").arg(sn));
        else if (readBack == 0)
            out.Note(QStringLiteral("The read-back by SN %1 gave a wrong answer.").arg(sn));
        else
            out.Note(QStringLiteral("The controller with SN %1 reports ID %2.").arg(sn).arg(readBack));
    }
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), ok},
                           {QStringLiteral("sn"), sn},
                           {QStringLiteral("id"), options.id},
                           {QStringLiteral("set_acknowledged"), acknowledged},
                           {QStringLiteral("read_back_id"), readBack},
                           {QStringLiteral("message"), text}});
    return ok ? ExitOk : ExitController;
}

QDateTime ParseClockTime(const QString &text)
{
    const QDateTime time = ParseDateTimeText(text);
    if (!time.isValid())
        throw UsageError(QStringLiteral("--time: '%1' is not a date and time like \"2026-01-31 13:45:00\"").arg(text));
    // The controller keeps the year as one byte counted from 2000.
    if (time.date().year() < 2000 || time.date().year() > 2255)
        throw UsageError(QStringLiteral("--time: the controller's clock holds the years 2000 to 2255 only"));
    return time;
}

int RunSetClock(const Options &options, const Output &out)
{
    const QDateTime time = options.time.isEmpty() ? QDateTime::currentDateTime() : ParseClockTime(options.time);
    if (time.date().year() < 2000 || time.date().year() > 2255)
        throw norvik::NorvikError("the PC clock is outside the years 2000 to 2255 the controller can hold");
    Link link(options, out);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    const int result = link.controller.SendTime(time);
    if (result != 1 && Interrupt::Requested())
        return Interrupted(out, options.command);
    const QString text =
        QStringLiteral("%1 - Set Clock on ID: %2").arg(result == 1 ? QStringLiteral("OK") : QStringLiteral("FAIL")).arg(options.id);
    out.Text(text);
    if (result == 0)
        out.Note(QStringLiteral("The controller refused the time."));
    else if (result != 1)
        out.Note(QStringLiteral("The controller did not answer."));
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), result == 1},
                           {QStringLiteral("id"), options.id},
                           {QStringLiteral("time"), time.toString(kDateTimeFormat)},
                           {QStringLiteral("result"), result},
                           {QStringLiteral("message"), text}});
    // As the window: a pause before the link is closed (a modem hang-up follows).
    norvik::Sleep(300);
    return result == 1 ? ExitOk : ExitController;
}

int RunGetClock(const Options &options, const Output &out)
{
    Link link(options, out);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    // The command gives 2001-01-01 00:00:00 both for no answer and for a
    // controller that really shows that moment. Only a whole 12-byte reply
    // holding exactly that date (with its checksum) is taken as the latter.
    const QDateTime fallback(QDate(2001, 1, 1), QTime(0, 0));
    QDateTime time;
    bool answered = false;
    for (int i = 0; i < options.ReadTries() && !answered && !Interrupt::Requested(); ++i) {
        time = link.controller.GetControllerDateTime();
        answered = time != fallback || ReplyCarriedFallbackClock(link.controller);
    }
    if (!answered)
        return NoAnswer(out, options, link.controller, {}, options.ReadTries());
    out.Text(time.toString(kDateTimeFormat));
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), true},
                           {QStringLiteral("id"), options.id},
                           {QStringLiteral("time"), time.toString(kDateTimeFormat)}});
    return ExitOk;
}

int RunReset(const Options &options, const Output &out)
{
    Link link(options, out);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    const int result = link.controller.ResetController();
    if (result == -1)
        return NoAnswer(out, options, link.controller);
    const QString text =
        QStringLiteral("%1 - Reset on ID: %2").arg(result == 1 ? QStringLiteral("OK") : QStringLiteral("FAIL")).arg(options.id);
    out.Text(text);
    if (result != 1)
        out.Note(QStringLiteral("The controller refused the reset."));
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), result == 1},
                           {QStringLiteral("id"), options.id},
                           {QStringLiteral("result"), result},
                           {QStringLiteral("message"), text}});
    return result == 1 ? ExitOk : ExitController;
}

// Where a scan is, on its own line of the terminal (stderr), redrawn in place.
class ScanStatus {
public:
    explicit ScanStatus(const Output &out) : m_shown(!out.Json() && ::isatty(STDERR_FILENO)) {}
    ~ScanStatus() { Clear(); }
    void At(int id, const Options &options, int found)
    {
        if (!m_shown)
            return;
        const QString text = QStringLiteral("Scanning ID %1 (%2-%3), %4 found so far")
                                 .arg(id)
                                 .arg(options.scanFirst)
                                 .arg(options.scanLast)
                                 .arg(found);
        WriteErr(QStringLiteral("\r") + text.left(TerminalColumns() - 1) + QStringLiteral("\x1b[K"));
        m_drawn = true;
    }
    void Clear()
    {
        if (m_drawn)
            WriteErr(QStringLiteral("\r\x1b[K"));
        m_drawn = false;
    }

private:
    bool m_shown;
    bool m_drawn = false;
};

int RunScan(const Options &given, const Output &out)
{
    // --timeout bounds each ID's wait; the serial link waits by read attempts.
    Options options = given;
    if (given.timeoutGiven && given.Link() != LinkKind::Network)
        options.retry = std::max(1, (given.timeout + std::max(1, given.retrySleep) - 1) / std::max(1, given.retrySleep));
    Link link(options, out);
    if (const int code = link.session.Open(); code != ExitOk)
        return code;
    QJsonArray found;
    ScanStatus status(out);
    for (int id = options.scanFirst; id <= options.scanLast; ++id) {
        status.At(id, options, static_cast<int>(found.size()));
        if (Interrupt::Requested()) {
            status.Clear();
            return Interrupted(out, options.command);
        }
        link.controller.SetControllerID(static_cast<std::uint8_t>(id));
        TControllerInfo info;
        // A reply can still arrive late enough to land in the next ID's wait;
        // only one that carries the ID asked shows that this ID is present.
        if (!link.controller.GetControllerInfo(info) || link.controller.Current()->ReplyBuffer[1] != id)
            continue;
        std::uint8_t sn[8] = {};
        link.controller.GetControllerSN(sn);
        const QString snText = SnText(sn);
        status.Clear();
        out.Text(QStringLiteral("ID %1: version %2, type code %3, SN %4")
                     .arg(id)
                     .arg(VersionText(info.Version))
                     .arg(info.TypeCode)
                     .arg(snText.isEmpty() ? QStringLiteral("-") : snText));
        QJsonObject entry = InfoObject(info, snText);
        entry.insert(QStringLiteral("id"), id);
        found.append(entry);
    }
    status.Clear();
    if (Interrupt::Requested())
        return Interrupted(out, options.command);
    out.Text(QStringLiteral("%1 of %2 IDs answered (%3-%4).")
                 .arg(found.size())
                 .arg(options.scanLast - options.scanFirst + 1)
                 .arg(options.scanFirst)
                 .arg(options.scanLast));
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), !found.isEmpty()},
                           {QStringLiteral("first"), options.scanFirst},
                           {QStringLiteral("last"), options.scanLast},
                           {QStringLiteral("found"), found}});
    if (found.isEmpty()) {
        out.Error(QStringLiteral("no controller answered IDs %1-%2 on %3; check the link (see 'norvik-ctl ports', "
                                 "--host, --udp-port), and give a wait per ID with --timeout MS")
                      .arg(options.scanFirst)
                      .arg(options.scanLast)
                      .arg(LinkText(options)));
        return ExitController;
    }
    return ExitOk;
}

int RunHexInfo(const Options &options, const Output &out)
{
    const QString path = options.arguments.at(0);
    if (!HexFileExists(path, out, Failure(options.command, QString())))
        return ExitIo;
    const HexCheckResult check = CheckHexFile(path);
    QList<HexProblem> problems = check.problems;

    // Type code and version as the window reads them.
    norvik::HexFileInfo info;
    QString infoError;
    try {
        info = norvik::ReadHexFileInfo(path);
    } catch (const norvik::EConvertError &e) {
        infoError = QString::fromStdString(e.what());
    }

    // What the download would send: the real work-file conversion, in a private folder.
    int linesToSend = 0;
    QTemporaryDir work;
    if (work.isValid()) {
        const QString workFile = work.filePath(QStringLiteral("temp.hex"));
        norvik::ConvertHexFile(path, workFile);
        const QStringList lines = norvik::LoadHexLines(workFile);
        linesToSend = static_cast<int>(lines.size());
        const bool endsWithEnd = !lines.isEmpty() && lines.last().size() >= 9 && lines.last().mid(7, 2) == QLatin1String("01");
        if (check.recordLines > 0 && !endsWithEnd)
            problems << HexProblem{0, QStringLiteral("the download would send no end-of-file record")};
    }

    out.Text(QStringLiteral("File: %1").arg(path));
    if (info.ok) {
        out.Text(QStringLiteral("Type code: %1").arg(info.typeCode));
        out.Text(QStringLiteral("Version: %1").arg(info.version));
    } else {
        out.Text(infoError.isEmpty() ? QStringLiteral("Invalid Hex File (no type code and version)")
                                     : QStringLiteral("Invalid Hex File: %1").arg(infoError));
    }
    out.Text(QStringLiteral("Records: %1").arg(check.recordLines));
    out.Text(QStringLiteral("Lines the download sends: %1").arg(linesToSend));
    QJsonArray problemArray;
    for (const HexProblem &problem : problems) {
        if (problem.line > 0)
            out.Text(QStringLiteral("Line %1: %2").arg(problem.line).arg(problem.reason));
        else
            out.Text(QStringLiteral("Whole file: %1").arg(problem.reason));
        problemArray.append(QJsonObject{{QStringLiteral("line"), problem.line}, {QStringLiteral("reason"), problem.reason}});
    }
    const bool ok = problems.isEmpty() && info.ok;
    out.Text(ok ? QStringLiteral("No broken records.")
                : QStringLiteral("%1 problem(s) found.").arg(problems.size() + (info.ok ? 0 : 1)));

    QJsonObject object{{QStringLiteral("command"), options.command},
                       {QStringLiteral("ok"), ok},
                       {QStringLiteral("file"), path},
                       {QStringLiteral("info_ok"), info.ok},
                       {QStringLiteral("record_count"), check.recordLines},
                       {QStringLiteral("lines_to_send"), linesToSend},
                       {QStringLiteral("problems"), problemArray}};
    if (info.ok) {
        object.insert(QStringLiteral("type_code"), info.typeCode.toInt());
        object.insert(QStringLiteral("version"), info.version);
    } else if (!infoError.isEmpty()) {
        object.insert(QStringLiteral("info_error"), infoError);
    }
    out.Object(object);
    return ok ? ExitOk : ExitController;
}

int RunPorts(const Options &options, const Output &out)
{
    QJsonArray ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : available) {
        QString line = QStringLiteral("%1  %2").arg(port.portName(), port.systemLocation());
        if (!port.description().isEmpty())
            line += QStringLiteral("  %1").arg(port.description());
        if (!port.manufacturer().isEmpty())
            line += QStringLiteral("  (%1)").arg(port.manufacturer());
        const QString holder = PortHolder(port.systemLocation());
        if (!holder.isEmpty())
            line += QStringLiteral("  [in use by %1]").arg(holder);
        out.Text(line);
        ports.append(QJsonObject{{QStringLiteral("name"), port.portName()},
                                 {QStringLiteral("location"), port.systemLocation()},
                                 {QStringLiteral("description"), port.description()},
                                 {QStringLiteral("manufacturer"), port.manufacturer()},
                                 {QStringLiteral("usb"), port.hasVendorIdentifier()},
                                 {QStringLiteral("in_use"), !holder.isEmpty()},
                                 {QStringLiteral("holder"), holder.isEmpty() ? QJsonValue() : QJsonValue(holder)}});
    }
    // The names "COMn" that the environment points elsewhere (simulators, USB adapters).
    QJsonArray aliases;
    static const QRegularExpression aliasName(QStringLiteral("^NORVIK_COM([0-9]+)$"));
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QStringList keys = environment.keys();
    std::sort(keys.begin(), keys.end());
    for (const QString &key : keys) {
        const QRegularExpressionMatch match = aliasName.match(key);
        if (!match.hasMatch())
            continue;
        const QString name = QStringLiteral("COM") + match.captured(1);
        const QString holder = PortHolder(environment.value(key));
        out.Text(QStringLiteral("%1  %2  (from %3)%4")
                     .arg(name, environment.value(key), key,
                          holder.isEmpty() ? QString() : QStringLiteral("  [in use by %1]").arg(holder)));
        aliases.append(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("location"), environment.value(key)},
                                   {QStringLiteral("in_use"), !holder.isEmpty()},
                                   {QStringLiteral("holder"), holder.isEmpty() ? QJsonValue() : QJsonValue(holder)}});
    }
    if (available.isEmpty() && aliases.isEmpty())
        out.Text(QStringLiteral("No serial ports found."));
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("ok"), true},
                           {QStringLiteral("ports"), ports},
                           {QStringLiteral("aliases"), aliases}});
    return ExitOk;
}

// Every command: what the parser checks, and what runs it.
struct Command {
    CommandSpec spec;
    int (*run)(const Options &, const Output &);
};

const std::map<QString, Command> &Table()
{
    static const std::map<QString, Command> commands = {
        {QStringLiteral("info"), {{0, "", {}}, RunInfo}},
        {QStringLiteral("write-sn"), {{1, "SN", {}}, RunWriteSn}},
        {QStringLiteral("set-clock"), {{0, "", {QStringLiteral("--time")}}, RunSetClock}},
        {QStringLiteral("get-clock"), {{0, "", {}}, RunGetClock}},
        {QStringLiteral("reset"), {{0, "", {}}, RunReset}},
        {QStringLiteral("download"),
         {{1, "FILE",
           {QStringLiteral("--yes"), QStringLiteral("--in-bootloader"), QStringLiteral("--restart-wait"),
            QStringLiteral("--allow-other-type"), QStringLiteral("--allow-older"), QStringLiteral("--allow-reinstall")}},
          RunDownload}},
        {QStringLiteral("fleet"),
         {{-1, "download FILE | verify FILE | info",
           {QStringLiteral("--yes"), QStringLiteral("--target"), QStringLiteral("--targets"), QStringLiteral("--jobs"),
            QStringLiteral("--restart-wait"), QStringLiteral("--in-bootloader"), QStringLiteral("--allow-other-type"),
            QStringLiteral("--allow-older"), QStringLiteral("--allow-reinstall"), QStringLiteral("--wait")}},
          RunFleet}},
        {QStringLiteral("hex-info"), {{1, "FILE", {}}, RunHexInfo}},
        {QStringLiteral("verify"), {{1, "FILE", {QStringLiteral("--wait")}}, RunVerify}},
        {QStringLiteral("ports"), {{0, "", {}}, RunPorts}},
        {QStringLiteral("scan"), {{0, "", {QStringLiteral("--ids")}}, RunScan}},
        {QStringLiteral("call"), {{-1, "OPERATION [ARG ...]", {QStringLiteral("--list")}}, RunCall}},
        {QStringLiteral("transactions"),
         {{0, "", {QStringLiteral("--max"), QStringLiteral("--removed"), QStringLiteral("--debug-log")}}, RunTransactions}},
        {QStringLiteral("door"), {{2, "N open|force-open|force-close|resume|status", {}}, RunDoor}},
        {QStringLiteral("history"),
         {{0, "", {QStringLiteral("--sn"), QStringLiteral("--since"), QStringLiteral("--csv")}}, RunHistory}},
        {QStringLiteral("help"), {{-1, "[COMMAND]", {}}, RunHelp}},
    };
    return commands;
}

} // namespace

const CommandSpec *FindCommand(const QString &name)
{
    const auto command = Table().find(name);
    return command == Table().end() ? nullptr : &command->second.spec;
}

QStringList CommandNames()
{
    QStringList names;
    for (const auto &entry : Table())
        names << entry.first;
    return names;
}

int RunCommand(const Options &options, const Output &out)
{
    const auto command = Table().find(options.command);
    if (command == Table().end())
        throw UsageError(QStringLiteral("unknown command '%1'").arg(options.command));
    const int code = command->second.run(options, out);
    // A command that found no answer because the port went away failed on
    // the computer's side, not the controller's.
    if (code == ExitController && !LinkSession::LostPort().isEmpty()) {
        out.Error(LinkSession::LostPort());
        return ExitIo;
    }
    return code;
}

} // namespace ctl
