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

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QTemporaryDir>
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
    CtlDownloadSink(const Output &out, bool bar) : m_out(out), m_bar(bar) {}

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
        // A jump without its acknowledgement is worded by the run, which knows what was tried.
        if (text != m_lastStatus && outcome != norvik::DownloadOutcome::ControllerNotFound)
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

// The same ending in the words fleet and the history use.
QString RolloutOutcome(norvik::DownloadOutcome outcome)
{
    switch (outcome) {
    case norvik::DownloadOutcome::Success: return QStringLiteral("success");
    case norvik::DownloadOutcome::Aborted: return QStringLiteral("interrupted");
    case norvik::DownloadOutcome::Failure:
    case norvik::DownloadOutcome::ControllerNotFound:
    case norvik::DownloadOutcome::Error: break;
    }
    return QStringLiteral("failure");
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

    try {
        const norvik::HexFileInfo info = norvik::ReadHexFileInfo(path);
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

    const bool bar = !out.Json() && ::isatty(STDOUT_FILENO);
    CtlDownloadSink sink(out, bar);
    norvik::DownloadSequence sequence(&controller, &sink);
    sequence.SetWorkFile(workDir.filePath(QStringLiteral("temp.hex")));
    sequence.SetInBootLoader(options.inBootLoader);
    // Connected before the loop's own handler: the row is written as the run ends.
    norvik::DownloadRecorder recorder(&sequence, &controller);
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
    watchdog.start();
    if (Interrupt::Requested() && !abortRequested) {
        abortRequested = true;
        abortClock.start();
        sequence.Abort();
    }
    loop.exec();
    watchdog.stop();
    sink.EndBar();

    if (finished)
        session.MarkClosed(); // every ending of the sequence closes the link itself
    else
        outcome = abortRequested ? norvik::DownloadOutcome::Aborted : norvik::DownloadOutcome::Error;
    session.Close();
    if (!finished)
        recorder.Close(abortRequested ? norvik::DownloadOutcome::Aborted : norvik::DownloadOutcome::Error,
                       abortRequested ? QStringLiteral("Download stopped.")
                                      : QStringLiteral("the download sequence stopped reporting"));

    int code = ExitController;
    QString message = sink.ResultText();
    switch (outcome) {
    case norvik::DownloadOutcome::Success:
        code = ExitOk;
        break;
    case norvik::DownloadOutcome::Failure:
        out.Note(kBootLoaderAdvice);
        break;
    case norvik::DownloadOutcome::ControllerNotFound: {
        const Diagnosis d = Diagnose(options, controller, QStringLiteral("the jump to the boot loader"));
        message = d.message;
        out.Error(message);
        for (const QString &advice : d.advice)
            out.Note(QStringLiteral("  - ") + advice);
        break;
    }
    case norvik::DownloadOutcome::Aborted:
        code = ExitInterrupted;
        message = QStringLiteral("Download stopped. ") + kBootLoaderAdvice;
        out.Error(message);
        break;
    case norvik::DownloadOutcome::Error:
        code = ExitIo;
        message = sink.ErrorText();
        if (!finished) {
            message = QStringLiteral("the download sequence stopped reporting; link closed. ") + kBootLoaderAdvice;
            out.Error(message);
            code = ExitController;
        } else if (sink.LinesStarted()) {
            out.Note(kBootLoaderAdvice); // e.g. the work file could not be written after the jump
        }
        break;
    }
    out.Object(QJsonObject{{QStringLiteral("command"), options.command},
                           {QStringLiteral("result"), OutcomeName(outcome)},
                           {QStringLiteral("outcome"), RolloutOutcome(outcome)},
                           {QStringLiteral("ok"), outcome == norvik::DownloadOutcome::Success},
                           {QStringLiteral("message"), message},
                           {QStringLiteral("position"), sink.Position()},
                           {QStringLiteral("total"), sink.Total()},
                           {QStringLiteral("resends"), sink.Resends()},
                           {QStringLiteral("lines_sent"), sink.LinesSent()},
                           {QStringLiteral("seconds"), static_cast<double>(sink.Elapsed()) / 1000.0}});
    return code;
}

} // namespace ctl
