#include "firmware/DownloadSequence.h"

#include "common/Errors.h"
#include "component/Controller.h"
#include "firmware/HexFile.h"
#include "firmware/Rollout.h"

#include <QByteArray>
#include <QtDebug>

#include <algorithm>
#include <cstring>
#include <exception>

namespace norvik {

namespace {

// The send decision counts in the tick's own StallCount: every fourth tick
// without progress (every second one while the boot loader says "N") the
// current line goes out again.
constexpr int kResendEvery = 4;
constexpr int kStallLimit = 20;
constexpr int kTickMs = 100;
// Only the start of the read area is looked at for the answer letters.
constexpr int kReplyTextMax = 101;

} // namespace

BootReply ClassifyBootReply(const unsigned char *area, int size, int count)
{
    const int n = std::clamp(count, 0, std::max(size, 0));
    // The area keeps older bytes behind the answer: only the text up to its
    // terminator, within the count just read, is the answer.
    const auto *text = reinterpret_cast<const char *>(area);
    const auto limit = static_cast<std::size_t>(std::min(n, kReplyTextMax));
    const QByteArray reply(text, static_cast<qsizetype>(::strnlen(text, limit)));
    if (reply == "K")
        return BootReply::Ack;
    if (reply == "Z" || reply == "KZ" || reply == "Y")
        return BootReply::End;
    if (reply == "N")
        return BootReply::Nak;
    return BootReply::Other;
}

DownloadSequence::DownloadSequence(TController *controller, DownloadSink *sink, QObject *parent)
    : QObject(parent), m_controller(controller), m_sink(sink), m_workFile(WorkFilePath())
{
    // The boot loader paces itself by these ticks; keep them at 100 ms, not coarser.
    m_t1.setTimerType(Qt::PreciseTimer);
    m_t2.setTimerType(Qt::PreciseTimer);
    m_t1.setInterval(kTickMs);
    m_t2.setInterval(kTickMs);
    connect(&m_t1, &QTimer::timeout, this, &DownloadSequence::T1Timer);
    connect(&m_t2, &QTimer::timeout, this, &DownloadSequence::T2Timer);
}

DownloadSequence::~DownloadSequence()
{
    if (!m_running)
        return;
    m_t1.stop();
    m_t2.stop();
    m_running = false;
    MarkEnded(QStringLiteral("The program ended during the download."));
    Q_EMIT finished(DownloadOutcome::Aborted);
}

void DownloadSequence::Start(const QString &hexPath)
{
    if (m_running) {
        qWarning("DownloadSequence::Start: a download is already running; request ignored");
        return;
    }
    m_hexPath = hexPath;
    m_abortRequested = false;
    m_running = true;
    m_linesSent = 0;
    m_resends = 0;
    m_resultText.clear();
    m_endedAt = QDateTime();
    m_jumpUnanswered = false;
    m_endUnanswered = false;
    // A controller already in its boot loader needs no time to switch over.
    m_t1.setInterval(m_inBootLoader ? 0 : kTickMs);
    m_t1.start();
    Q_EMIT started();
}

bool DownloadSequence::Running() const
{
    return m_running;
}

void DownloadSequence::Abort()
{
    if (m_running)
        m_abortRequested = true;
}

void DownloadSequence::T1Timer()
{
    m_t1.stop();
    if (FinishIfAborted())
        return;
    try {
        if (!m_inBootLoader && !Jump()) {
            End(DownloadOutcome::ControllerNotFound,
                m_jumpUnanswered ? QStringLiteral("No answer to the jump command, nor to a read after it: the "
                                                  "controller may be in its boot loader.")
                                 : QStringLiteral("Controller not found."));
            return;
        }
        m_sink->SetStatus(QStringLiteral("Start Downloading..."));
        PrepareDownload();
        // The bar keeps its old position until the first acknowledgement.
        m_sink->SetProgressRange(0, static_cast<int>(m_hexLines.size()));
        if (m_inBootLoader) {
            // The boot loader is already listening: the first line goes out now.
            T2Timer();
        }
    } catch (const std::exception &error) {
        Fail(error);
    }
}

bool DownloadSequence::Jump()
{
    if (m_controller->SendJumpBootloader())
        return true;
    // Never repeated blindly: a boot loader takes every byte as record text.
    for (int attempt = 0; m_jumpCheckTries > 0; ++attempt) {
        TControllerInfo info;
        if (!ReadInfo(*m_controller, info, m_jumpCheckTries)) {
            m_jumpUnanswered = true;
            return false;
        }
        // It still runs its firmware: the jump never reached it.
        if (attempt == 1 || m_abortRequested)
            return false;
        if (m_controller->SendJumpBootloader())
            return true;
    }
    return false;
}

void DownloadSequence::PrepareDownload()
{
    m_linePos = 0;
    m_lastLinePos = -1;
    m_stallCount = 0;
    ConvertHexFile(m_hexPath, m_workFile);
    m_hexLines = LoadHexLines(m_workFile);
    m_t2.start();
}

void DownloadSequence::T2Timer()
{
    // Disabled first: a modal box shown inside this tick must not be overtaken
    // by the next one.
    m_t2.stop();
    if (FinishIfAborted())
        return;
    try {
        const int n = m_controller->DirectReceive(m_replyArea);
        const BootReply reply = ClassifyBootReply(m_replyArea, static_cast<int>(sizeof m_replyArea), n);

        if (reply == BootReply::Ack) {
            ++m_linePos;
            m_sink->SetProgress(m_linePos);
        } else if (reply == BootReply::End) {
            End(DownloadOutcome::Success,
                QStringLiteral("Download Successful, Please reboot controller and then reset."));
            return;
        } else if (reply == BootReply::Nak) {
            ++m_stallCount;
        }

        if (m_linePos > m_lastLinePos || (m_stallCount + 1) % kResendEvery == 0) {
            // Past the last line (every line acknowledged, or no record line at
            // all) there is nothing to send: the loop only waits for the end
            // letters or the stall limit.
            if (m_linePos >= 0 && m_linePos < m_hexLines.size()) {
                const bool resend = m_linePos <= m_lastLinePos;
                const QByteArray line = m_hexLines.at(m_linePos).toLatin1();
                m_controller->DirectSend(line.constData(), static_cast<int>(line.size()));
                ++(resend ? m_resends : m_linesSent);
                m_sink->LineSent(m_linePos, resend);
            }
        }

        if (m_lastLinePos == m_linePos)
            ++m_stallCount;
        else
            m_stallCount = 0;
        m_lastLinePos = m_linePos;

        if (m_stallCount < kStallLimit) {
            m_t2.start();
        } else {
            m_endUnanswered = !m_hexLines.isEmpty() && m_linePos == m_hexLines.size() - 1;
            End(DownloadOutcome::Failure, QStringLiteral("Download Failure."));
        }
    } catch (const std::exception &error) {
        Fail(error);
    }
}

void DownloadSequence::MarkEnded(const QString &text)
{
    if (!m_endedAt.isValid())
        m_endedAt = QDateTime::currentDateTime();
    if (m_resultText.isEmpty())
        m_resultText = text;
}

void DownloadSequence::End(DownloadOutcome outcome, const QString &text)
{
    MarkEnded(text);
    m_sink->SetStatus(text);
    m_sink->ShowResult(outcome, text);
    Finish(outcome);
}

void DownloadSequence::Fail(const std::exception &error)
{
    m_t1.stop();
    m_t2.stop();
    MarkEnded(QString::fromLatin1(error.what()));
    m_sink->ShowError(QString::fromLatin1(error.what()));
    Finish(DownloadOutcome::Error);
}

bool DownloadSequence::FinishIfAborted()
{
    if (!m_abortRequested)
        return false;
    MarkEnded(QStringLiteral("Download stopped."));
    Finish(DownloadOutcome::Aborted);
    return true;
}

void DownloadSequence::Finish(DownloadOutcome outcome)
{
    m_sink->SetInputEnabled(true);
    try {
        if (!(m_keepLinkAfterSuccess && outcome == DownloadOutcome::Success))
            m_controller->Disconnect();
    } catch (const std::exception &error) {
        // The download has ended either way; a link that will not close
        // cleanly must not keep the window locked.
        qWarning("DownloadSequence: closing the link failed: %s", error.what());
    }
    m_abortRequested = false;
    m_running = false;
    Q_EMIT finished(outcome);
}

} // namespace norvik
