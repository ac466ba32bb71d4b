#include "cli/Download.h"

#include "cli/CommandKit.h"
#include "cli/Commands.h"
#include "cli/Diagnosis.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/LinkSession.h"
#include "cli/Output.h"
#include "cli/Terminal.h"
#include "common/Errors.h"
#include "component/Controller.h"
#include "firmware/DownloadRecorder.h"
#include "firmware/HexCheck.h"
#include "firmware/DownloadSequence.h"
#include "firmware/HexFile.h"
#include "firmware/Rollout.h"
#include "firmware/UpgradeHistory.h"
#include "cli/Recovery.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QEventLoop>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <string>
#include <unistd.h>

namespace ctl {

using norvik::CheckHexFile;
using norvik::HexCheckResult;
using norvik::HexProblem;
namespace {

// Longest the sequence may stay without a report before the run is given up:
// a tick sends or re-sends a line at least every fourth 100 ms tick, and the
// slowest step (the jump-to-boot-loader exchange on a slow serial setting) is
// far shorter than this.
constexpr int kSilenceLimitMs = 60000;
// After Ctrl-C the sequence stops at its next tick; this bounds the wait for it.
constexpr int kAbortGraceMs = 5000;
// A controller left in its boot loader takes record text only, not the jump
// command a new download starts with: either the lines go to it directly, or
// it is restarted first.
const QString kBootLoaderAdvice = QStringLiteral(
    "The controller may remain in its boot loader, where it no longer answers: download again with "
    "--in-bootloader, or switch its power off and on, then download again.");

QString Clock(qint64 milliseconds)
{
    const qint64 seconds = (milliseconds + 999) / 1000;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// The window's status line, progress bar and boxes, as a terminal or a script sees them.
class CtlDownloadSink : public norvik::DownloadSink {
public:
    CtlDownloadSink(const Output &out, bool bar, const TController &controller)
        : m_out(out), m_bar(bar), m_controller(controller)
    {
    }

    void SetStatus(const QString &text) override
    {
        Touch();
        m_lastStatus = text;
        m_linesStarted = m_linesStarted || text == QLatin1String("Start Downloading...");
        EndBar();
        m_out.Text(text);
    }
    void SetProgressRange(int minimum, int maximum) override
    {
        Touch();
        m_minimum = minimum;
        m_total = maximum;
        m_started.start();
        Draw();
    }
    void SetProgress(int position) override
    {
        Touch();
        m_position = position;
    }
    void ShowResult(norvik::DownloadOutcome outcome, const QString &text) override
    {
        Touch();
        // The end letters answer the last line in place of its "K": every line was taken.
        if (outcome == norvik::DownloadOutcome::Success)
            m_position = m_total;
        m_resultText = text;
        EndBar();
        // A controller that answered the jump with a refusal was found: the
        // run says what it answered instead.
        const bool answered = outcome == norvik::DownloadOutcome::ControllerNotFound && m_controller.LastReplyStatus() >= 0;
        if (text != m_lastStatus && !answered)
            m_out.Text(text);
    }
    void ShowError(const QString &message) override
    {
        Touch();
        EndBar();
        m_errorText = message;
        m_out.Error(message);
    }
    void SetInputEnabled(bool) override { Touch(); }
    void LineSent(int, bool resend) override
    {
        Touch();
        if (resend)
            ++m_resends;
        ++m_linesSent;
        m_out.Object(QJsonObject{{QStringLiteral("event"), QStringLiteral("progress")},
                                 {QStringLiteral("position"), m_position},
                                 {QStringLiteral("total"), m_total},
                                 {QStringLiteral("resends"), m_resends}});
        Draw();
    }

    qint64 SinceActivity() const { return m_activity.isValid() ? m_activity.elapsed() : 0; }
    void Touch() { m_activity.start(); }
    void EndBar()
    {
        if (m_barShown)
            WriteOut(QStringLiteral("\n"));
        m_barShown = false;
    }

    int Position() const { return m_position; }
    int Total() const { return m_total; }
    int Resends() const { return m_resends; }
    int LinesSent() const { return m_linesSent; }
    QString ResultText() const { return m_resultText; }
    QString ErrorText() const { return m_errorText; }
    // The jump command was acknowledged (or skipped): the controller left its firmware.
    bool LinesStarted() const { return m_linesStarted; }
    qint64 Elapsed() const { return m_started.isValid() ? m_started.elapsed() : 0; }

private:
    QString TimeLeft() const
    {
        const int left = m_total - m_position;
        if (left <= 0)
            return Clock(0);
        // One line per 100 ms tick at best; once lines are acknowledged, the measured pace.
        const double perLine = m_position > 0 ? double(m_started.elapsed()) / m_position : 100.0;
        return Clock(static_cast<qint64>(perLine * left));
    }

    void Draw()
    {
        if (m_out.Json() || m_total <= m_minimum)
            return;
        const int percent = static_cast<int>(100LL * (m_position - m_minimum) / (m_total - m_minimum));
        if (m_bar) {
            // Fitted to the width each time (a window may be resized), and the
            // rest of the line cleared, so that it redraws in place.
            const QStringList parts = {QStringLiteral("%1/%2 lines").arg(m_position).arg(m_total),
                                       QStringLiteral("%1 left").arg(TimeLeft()),
                                       QStringLiteral("%1 resends").arg(m_resends)};
            WriteOut(QStringLiteral("\r") + ProgressLine(percent, parts, TerminalColumns()) + QStringLiteral("\x1b[K"));
            m_barShown = true;
        } else if (percent / 10 > m_lastDecile) {
            // Not a terminal: a line every ten per cent keeps logs short.
            m_lastDecile = percent / 10;
            m_out.Text(QStringLiteral("%1%  %2/%3 lines  %4 resends  %5 left")
                           .arg(percent, 3)
                           .arg(m_position)
                           .arg(m_total)
                           .arg(m_resends)
                           .arg(TimeLeft()));
        }
    }

    const Output &m_out;
    bool m_bar;
    const TController &m_controller;
    bool m_barShown = false;
    int m_lastDecile = 0;
    int m_minimum = 0;
    int m_total = 0;
    int m_position = 0;
    int m_resends = 0;
    int m_linesSent = 0;
    QString m_lastStatus;
    bool m_linesStarted = false;
    QString m_resultText;
    QString m_errorText;
    QElapsedTimer m_started;
    QElapsedTimer m_activity;
};

bool Confirm(int id)
{
    return AskYes(QStringLiteral("Please Terminate ALL program. Doors on \"Controller %1\" will not function during "
                                 "upgrade (3~10 minute). All information on controller will be loss. Are you sure? "
                                 "[y/N] ")
                      .arg(id));
}

// The row of a run that ended before the jump: its link, the file, what was read.
norvik::UpgradeRecord RowBeforeJump(const TController &controller, const QString &path, const QDateTime &started)
{
    norvik::UpgradeRecord row;
    row.started = started;
    row.ended = QDateTime::currentDateTime();
    norvik::DownloadRecorder::DescribeLink(controller, &row);
    row.fileName = QFileInfo(path).absoluteFilePath();
    row.fileSha256 = norvik::FileSha256(path);
    return row;
}

void WriteRow(const norvik::UpgradeRecord &row, const Output &out)
{
    QString why;
    if (!norvik::AppendUpgradeRecord(row, &why))
        out.Note(HistoryNotWritten(why));
}

QString OutcomeName(norvik::DownloadOutcome outcome)
{
    switch (outcome) {
    case norvik::DownloadOutcome::Success: return QStringLiteral("success");
    case norvik::DownloadOutcome::Failure: return QStringLiteral("failure");
    case norvik::DownloadOutcome::ControllerNotFound: return QStringLiteral("controller-not-found");
    case norvik::DownloadOutcome::Error: return QStringLiteral("error");
    case norvik::DownloadOutcome::Aborted: return QStringLiteral("aborted");
    }
    return QStringLiteral("error");
}

QString OrNone(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("(none)") : text;
}

// The boot loader took the last line. A controller that restarts by itself
// answers with the file's type code and version within the wait; a real one
// may stay in its boot loader until its power is switched off and on, which
// is said, with the command that checks it afterwards. endAnswered false: the
// run stalled on its end-of-file line and the sequence closed the link; the
// read (one at least) tells whether only the end letters were lost.
int AfterEndLetter(TController &controller, LinkSession &session, const norvik::HexFileInfo &file,
                   const Options &options, const Output &out, norvik::DownloadRecorder &recorder, bool endAnswered,
                   norvik::RolloutOutcome *rollout, QString *message, norvik::VersionCheck *read = nullptr)
{
    norvik::VersionCheck check;
    const int wait = norvik::RestartCheckWait(options.restartWait, endAnswered);
    if (wait > 0) {
        out.Note(endAnswered ? QStringLiteral("Waiting up to %1 ms for the controller to restart with the new image...")
                                   .arg(wait)
                             : QStringLiteral("The end-of-file line got no answer; reading the controller for up to "
                                              "%1 ms to see whether it took the whole image...")
                                   .arg(wait));
        // The link is still up (on the modem the same call): the restarted
        // controller answers on it.
        check = norvik::AwaitFile(controller, file, wait, norvik::kRestartPollMs, true,
                                  [] { return Interrupt::Requested(); });
    }
    try {
        session.Close(); // hangs up a modem
        if (!endAnswered)
            controller.Disconnect(); // opened again by the read
    } catch (const std::exception &) {
        // The outcome is known; a link that will not close cleanly changes nothing in it.
    }
    int code = ExitDownloaded;
    *rollout = norvik::RolloutOutcome::Downloaded;
    switch (check.state) {
    case norvik::VersionCheck::Verified:
        code = ExitOk;
        *rollout = norvik::RolloutOutcome::Success;
        recorder.Record().versionAfter = VersionText(check.version);
        *message = QStringLiteral("Download Successful; type code %1, version %2 running")
                       .arg(file.typeCode, recorder.Record().versionAfter);
        if (!endAnswered)
            *message += norvik::EndAnswerLostNote();
        out.Text(*message);
        break;
    case norvik::VersionCheck::Mismatch:
        code = ExitController;
        *rollout = norvik::RolloutOutcome::Failure;
        *message = QStringLiteral("downloaded, but the controller came back with type code %1, version %2; the file "
                                  "has type code %3, version %4")
                       .arg(check.typeCode)
                       .arg(VersionText(check.version), file.typeCode, file.version);
        out.Error(*message);
        break;
    case norvik::VersionCheck::Stopped:
    case norvik::VersionCheck::NoAnswer:
        if (!endAnswered) {
            code = check.state == norvik::VersionCheck::Stopped ? ExitInterrupted : ExitController;
            *rollout = check.state == norvik::VersionCheck::Stopped ? norvik::RolloutOutcome::Interrupted
                                                                     : norvik::RolloutOutcome::Failure;
            *message = norvik::EndUnansweredFailure(wait) +
                       QStringLiteral(". The controller may have taken the whole image and wait for its power to be "
                                      "switched off and on; after that, check it with:\n  %1")
                           .arg(VerifyCommand(options));
            out.Error(*message);
            break;
        }
        *message = QStringLiteral("The download went through; the controller has not come back with the new version%1. "
                                  "Switch the controller off and on, then check it with:\n  %2")
                       .arg(options.restartWait > 0 ? QStringLiteral(" within %1 ms").arg(options.restartWait)
                                                    : QString(),
                            VerifyCommand(options));
        out.Note(*message);
        if (check.state == norvik::VersionCheck::Stopped)
            code = ExitInterrupted;
        break;
    }
    recorder.Finish(norvik::RolloutOutcomeName(*rollout), *message);
    if (read)
        *read = check;
    return code;
}

} // namespace

int RunDownload(const Options &options, const Output &out)
{
    const QString path = options.arguments.at(0);
    if (!HexFileExists(path, out, {{QStringLiteral("command"), options.command}, {QStringLiteral("result"), QStringLiteral("error")},
                                   {QStringLiteral("outcome"), QStringLiteral("failure")}, {QStringLiteral("ok"), false}}))
        return ExitIo;

    // A broken record would be answered "N" until the download stalls, leaving
    // the controller in its boot loader with half an image: check before the
    // controller is switched over.
    const HexCheckResult check = CheckHexFile(path);
    if (const std::optional<HexProblem> problem = norvik::DownloadRefusal(check)) {
        const QString message = norvik::DownloadRefusalText(path, *problem);
        out.Error(message);
        out.Object(QJsonObject{{QStringLiteral("command"), options.command}, {QStringLiteral("result"), QStringLiteral("error")},
                               {QStringLiteral("outcome"), QStringLiteral("failure")}, {QStringLiteral("ok"), false},
                               {QStringLiteral("error"), message}});
        return ExitIo;
    }

    norvik::HexFileInfo fileInfo;
    try {
        const norvik::HexFileInfo info = norvik::ReadHexFileInfo(path);
        fileInfo = info;
        if (info.ok)
            out.Text(QStringLiteral("Hex File Info: Type code = %1, Version = %2").arg(info.typeCode, info.version));
        else
            out.Text(QStringLiteral("Invalid Hex File"));
    } catch (const norvik::EConvertError &e) {
        out.Text(QStringLiteral("Invalid Hex File: %1").arg(QString::fromStdString(e.what())));
    }

    if (!options.yes) {
        if (!::isatty(STDIN_FILENO))
            throw UsageError(QStringLiteral("download asks for confirmation on a terminal; give --yes to run without one"));
        bool confirmed = false;
        {
            const Interrupt::DefaultAction plainCtrlC;
            confirmed = Confirm(options.id);
        }
        if (!confirmed) {
            out.Error(QStringLiteral("download cancelled; nothing was sent"));
            out.Object(QJsonObject{{QStringLiteral("command"), options.command}, {QStringLiteral("result"), QStringLiteral("cancelled")},
                                   {QStringLiteral("outcome"), QStringLiteral("cancelled")}, {QStringLiteral("ok"), false}});
            return ExitController;
        }
    }

    // A private work file: two runs (or the window) never overwrite each other's.
    QTemporaryDir workDir;
    if (!workDir.isValid())
        throw norvik::EInOutError(QStringLiteral("cannot create a folder for the work file: %1").arg(workDir.errorString()).toStdString());

    TController controller;
    LinkSession session(controller, options, out);
    if (const int code = session.Open(); code != ExitOk) {
        out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                               {QStringLiteral("result"), code == ExitInterrupted ? QStringLiteral("aborted") : QStringLiteral("error")},
                               {QStringLiteral("outcome"), code == ExitInterrupted ? QStringLiteral("interrupted") : QStringLiteral("failure")},
                               {QStringLiteral("ok"), false},
                               {QStringLiteral("error"), out.LastError()}});
        return code;
    }

    // What the controller runs decides whether the file goes in at all: only
    // an image of its own type, never an older one unless asked, and nothing
    // for one that already runs it. A controller in its boot loader cannot
    // answer, so --in-bootloader reads nothing and checks nothing.
    const QDateTime started = QDateTime::currentDateTime();
    QString serialNumber, typeCode, versionBefore;
    if (!options.inBootLoader) {
        TControllerInfo info;
        if (!norvik::ReadInfo(controller, info, options.ReadTries())) {
            norvik::UpgradeRecord row = RowBeforeJump(controller, path, started);
            const QString lost = QString::fromStdString(controller.LinkFault());
            const Diagnosis d = Diagnose(options, controller, QStringLiteral("the read before the download"),
                                         options.ReadTries());
            const QString message = lost.isEmpty() ? d.message : lost;
            row.outcome = Interrupt::Requested() ? QStringLiteral("interrupted") : QStringLiteral("failure");
            row.message = message;
            session.Close();
            WriteRow(row, out);
            if (Interrupt::Requested())
                return Interrupted(out, options.command);
            out.Error(message);
            if (lost.isEmpty())
                for (const QString &advice : d.advice)
                    out.Note(QStringLiteral("  - ") + advice);
            out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                                   {QStringLiteral("result"), QStringLiteral("controller-not-found")},
                                   {QStringLiteral("outcome"), QStringLiteral("failure")},
                                   {QStringLiteral("ok"), false},
                                   {QStringLiteral("error"), message},
                                   {QStringLiteral("message"), message}});
            return lost.isEmpty() ? ExitController : ExitIo;
        }
        std::uint8_t sn[8] = {};
        norvik::ReadSn(controller, sn, options.ReadTries()); // as the window: an unreadable SN stays empty
        serialNumber = SnText(sn);
        typeCode = QString::number(info.TypeCode);
        versionBefore = VersionText(info.Version);
        const norvik::RolloutDecision decision = norvik::DecideRollout(
            fileInfo, info.TypeCode, info.Version,
            norvik::RolloutOverrides{options.allowOtherType, options.allowOlder, options.allowReinstall});
        if (!decision.download) {
            session.Close();
            norvik::UpgradeRecord row = RowBeforeJump(controller, path, started);
            row.serialNumber = serialNumber;
            row.typeCode = typeCode;
            row.versionBefore = versionBefore;
            row.outcome = norvik::RolloutOutcomeName(decision.outcome);
            row.message = decision.message;
            WriteRow(row, out);
            const bool current = decision.outcome == norvik::RolloutOutcome::Current;
            if (current)
                out.Text(QStringLiteral("Controller %1: %2").arg(options.id).arg(decision.message));
            else
                out.Error(QStringLiteral("Controller %1: %2; nothing was sent").arg(options.id).arg(decision.message));
            out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                                   {QStringLiteral("result"), row.outcome},
                                   {QStringLiteral("outcome"), row.outcome},
                                   {QStringLiteral("ok"), current},
                                   {QStringLiteral("message"), decision.message},
                                   {QStringLiteral("sn"), serialNumber},
                                   {QStringLiteral("type_code"), static_cast<int>(info.TypeCode)},
                                   {QStringLiteral("version_before"), versionBefore}});
            return current ? ExitOk : ExitRefused;
        }
        out.Text(QStringLiteral("Controller %1: SN %2, %3").arg(options.id).arg(OrNone(serialNumber), decision.message));
    }

    const bool bar = !out.Json() && ::isatty(STDOUT_FILENO);
    CtlDownloadSink sink(out, bar, controller);
    norvik::DownloadSequence sequence(&controller, &sink);
    sequence.SetWorkFile(workDir.filePath(QStringLiteral("temp.hex")));
    sequence.SetInBootLoader(options.inBootLoader);
    sequence.SetJumpCheck(options.ReadTries());
    sequence.SetKeepLinkAfterSuccess(true);
    // Connected before the loop's own handler: the row is written as the run
    // ends, and after a good end once the restarted controller was read.
    norvik::DownloadRecorder recorder(&sequence, &controller);
    recorder.SetHoldAtEnd(true);
    QObject::connect(&recorder, &norvik::DownloadRecorder::writeFailed, [&](const QString &why) {
        sink.EndBar();
        out.Note(HistoryNotWritten(why));
    });

    QEventLoop loop;
    bool finished = false;
    bool abortRequested = false;
    norvik::DownloadOutcome outcome = norvik::DownloadOutcome::Error;
    QObject::connect(&sequence, &norvik::DownloadSequence::finished, &loop, [&](norvik::DownloadOutcome result) {
        finished = true;
        outcome = result;
        loop.quit();
    });
    QElapsedTimer abortClock;
    QObject::connect(&Interrupt::Install(), &Interrupt::requested, &loop, [&] {
        if (abortRequested)
            return;
        abortRequested = true;
        abortClock.start();
        sink.EndBar();
        out.Note(QStringLiteral("Stopping after the current line..."));
        sequence.Abort();
    });
    QTimer watchdog;
    watchdog.setInterval(500);
    QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
        if ((abortRequested && abortClock.elapsed() > kAbortGraceMs) || sink.SinceActivity() > kSilenceLimitMs)
            loop.quit();
    });

    sink.Touch();
    sequence.Start(path);
    recorder.Record().serialNumber = serialNumber;
    recorder.Record().typeCode = typeCode;
    recorder.Record().versionBefore = versionBefore;
    recorder.Record().started = started;
    watchdog.start();
    if (Interrupt::Requested() && !abortRequested) {
        abortRequested = true;
        abortClock.start();
        sequence.Abort();
    }
    loop.exec();
    watchdog.stop();
    sink.EndBar();

    if (finished && outcome != norvik::DownloadOutcome::Success)
        session.MarkClosed(); // every other ending of the sequence closes the link itself
    else if (!finished)
        outcome = abortRequested ? norvik::DownloadOutcome::Aborted : norvik::DownloadOutcome::Error;
    if (outcome != norvik::DownloadOutcome::Success)
        session.Close(); // after a good end the restart check reads on it first

    int code = ExitController;
    QString message = sink.ResultText();
    norvik::RolloutOutcome rollout = norvik::RolloutOutcome::Failure;
    bool mayRemain = false;
    switch (outcome) {
    case norvik::DownloadOutcome::Success:
        code = AfterEndLetter(controller, session, fileInfo, options, out, recorder, true, &rollout, &message);
        break;
    case norvik::DownloadOutcome::Failure:
        // A modem call is hung up by now: no read without dialing again.
        if (sequence.EndUnanswered() && controller.ConnectMethod() != cmModem) {
            norvik::VersionCheck read;
            code = AfterEndLetter(controller, session, fileInfo, options, out, recorder, false, &rollout, &message,
                                  &read);
            if (rollout == norvik::RolloutOutcome::Success)
                outcome = norvik::DownloadOutcome::Success;
            mayRemain = !read.Answered();
            break;
        }
        mayRemain = true;
        break;
    case norvik::DownloadOutcome::ControllerNotFound: {
        if (sequence.JumpUnanswered()) {
            mayRemain = true;
            break;
        }
        const Diagnosis d = Diagnose(options, controller, QStringLiteral("the jump to the boot loader"));
        message = d.message;
        out.Error(message);
        for (const QString &advice : d.advice)
            out.Note(QStringLiteral("  - ") + advice);
        break;
    }
    case norvik::DownloadOutcome::Aborted:
        code = ExitInterrupted;
        rollout = norvik::RolloutOutcome::Interrupted;
        message = QStringLiteral("Download stopped. ") + kBootLoaderAdvice;
        out.Error(message);
        mayRemain = sink.LinesStarted() || options.inBootLoader;
        break;
    case norvik::DownloadOutcome::Error:
        code = ExitIo;
        message = sink.ErrorText();
        if (!finished) {
            message = QStringLiteral("the download sequence stopped reporting; link closed. ") + kBootLoaderAdvice;
            out.Error(message);
            code = ExitController;
            mayRemain = true;
        } else if (sink.LinesStarted()) {
            mayRemain = true; // e.g. the work file could not be written after the jump
        }
        break;
    }
    const QString recovery = mayRemain ? RecoveryCommand(options) : QString();
    if (mayRemain && outcome != norvik::DownloadOutcome::Aborted)
        out.Note(kBootLoaderAdvice);
    if (mayRemain)
        out.Note(QStringLiteral("To send the lines to it where it waits:\n  %1").arg(recovery));
    if (outcome != norvik::DownloadOutcome::Success)
        recorder.Close(outcome, finished ? sequence.ResultText()
                                         : abortRequested ? QStringLiteral("Download stopped.")
                                                          : QStringLiteral("the download sequence stopped reporting"));
    QJsonObject result{{QStringLiteral("command"), options.command},
                       {QStringLiteral("result"), OutcomeName(outcome)},
                       {QStringLiteral("outcome"), norvik::RolloutOutcomeName(rollout)},
                       {QStringLiteral("ok"), rollout == norvik::RolloutOutcome::Success},
                       {QStringLiteral("message"), message},
                       {QStringLiteral("position"), sink.Position()},
                       {QStringLiteral("total"), sink.Total()},
                       {QStringLiteral("resends"), sink.Resends()},
                       {QStringLiteral("lines_sent"), sink.LinesSent()},
                       {QStringLiteral("seconds"), static_cast<double>(sink.Elapsed()) / 1000.0},
                       {QStringLiteral("sn"), serialNumber},
                       {QStringLiteral("version_before"), versionBefore},
                       {QStringLiteral("version_after"), recorder.Record().versionAfter}};
    if (mayRemain)
        result.insert(QStringLiteral("recovery_command"), recovery);
    out.Object(result);
    return code;
}

} // namespace ctl
