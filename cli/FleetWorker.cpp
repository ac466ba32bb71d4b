#include "cli/FleetWorker.h"

#include "cli/CommandKit.h"
#include "cli/Diagnosis.h"
#include "cli/Interrupt.h"
#include "cli/LinkSession.h"
#include "component/Controller.h"
#include "firmware/DownloadSequence.h"
#include "firmware/Rollout.h"
#include "cli/Verify.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <functional>

namespace ctl {
namespace {

// As a single download: the longest the sequence may stay without a report,
// and how long a stop may take to reach the next tick.
constexpr int kSilenceLimitMs = 60000;
constexpr int kAbortGraceMs = 5000;
constexpr int kWatchMs = 100;

// The sequence's reports for one target, turned into progress for the main thread.
class FleetSink : public norvik::DownloadSink {
public:
    using Report = std::function<void(const QString &state, int position, int total, int resends)>;
    explicit FleetSink(Report report) : m_report(std::move(report)) {}

    void SetStatus(const QString &) override
    {
        // The first status comes once the controller acknowledged the jump
        // (a jump refused ends with a status too, undone in ShowResult).
        Touch();
        m_jumped = true;
    }
    void SetProgressRange(int, int maximum) override
    {
        Touch();
        m_total = maximum;
        m_report(QStringLiteral("downloading"), m_position, m_total, m_resends);
    }
    void SetProgress(int position) override
    {
        Touch();
        m_position = position;
    }
    void ShowResult(norvik::DownloadOutcome outcome, const QString &text) override
    {
        Touch();
        if (outcome == norvik::DownloadOutcome::ControllerNotFound)
            m_jumped = false;
        // The end letters answer the last line in place of its "K": every line was taken.
        if (outcome == norvik::DownloadOutcome::Success)
            m_position = m_total;
        m_text = text;
    }
    void ShowError(const QString &message) override
    {
        Touch();
        m_text = message;
    }
    void SetInputEnabled(bool) override { Touch(); }
    void LineSent(int, bool resend) override
    {
        Touch();
        if (resend)
            ++m_resends;
        m_report(QStringLiteral("downloading"), m_position, m_total, m_resends);
    }

    void Touch() { m_activity.start(); }
    qint64 SinceActivity() const { return m_activity.isValid() ? m_activity.elapsed() : 0; }
    bool Jumped() const { return m_jumped; }
    int Position() const { return m_position; }
    int Resends() const { return m_resends; }
    QString Text() const { return m_text; }

private:
    Report m_report;
    bool m_jumped = false;
    int m_total = 0;
    int m_position = 0;
    int m_resends = 0;
    QString m_text;
    QElapsedTimer m_activity;
};

void Fail(FleetResult &r, const QString &message)
{
    r.outcome = QStringLiteral("failure");
    r.message = message;
}

// The controller's answer, or why there was none.
QString NoAnswerText(const Options &options, const TController &controller)
{
    const QString fault = QString::fromStdString(controller.LinkFault());
    return fault.isEmpty() ? Diagnose(options, controller, QStringLiteral("info"), options.ReadTries()).message : fault;
}

} // namespace

FleetWorker::FleetWorker(const FleetJob &job, QList<QPair<int, FleetTarget>> targets, QObject *parent)
    : QThread(parent), m_job(job), m_targets(std::move(targets))
{
}

void FleetWorker::run()
{
    if (m_job.verify) {
        VerifyGroup();
        return;
    }
    for (const auto &[index, target] : m_targets)
        Q_EMIT result(RunTarget(index, target));
}

FleetResult FleetWorker::NewResult(int index, const FleetTarget &target) const
{
    FleetResult r;
    r.index = index;
    r.target = target.spec;
    r.link = target.link == LinkKind::Serial ? QStringLiteral("serial") : QStringLiteral("network");
    r.address = target.Address();
    r.controllerId = target.id;
    r.fileName = m_job.fileName;
    r.fileSha256 = m_job.fileSha256;
    return r;
}

FleetResult FleetWorker::RunTarget(int index, const FleetTarget &target)
{
    FleetResult r = NewResult(index, target);
    if (Stopping()) {
        r.outcome = QStringLiteral("interrupted");
        r.message = QStringLiteral("not started (%1)").arg(Interrupt::What());
        return r;
    }
    r.started = QDateTime::currentDateTime();
    QElapsedTimer clock;
    clock.start();

    const Options options = target.Apply(m_job.options);
    TController controller;
    try {
        ApplySettings(controller, options);
        if (const QString problem = HostProblem(options); !problem.isEmpty()) {
            Fail(r, problem);
        } else if (!controller.Connect()) {
            Fail(r, NoAnswerText(options, controller));
        } else if (m_job.download && options.inBootLoader) {
            // It cannot answer where it waits: no read, no check, the lines at once.
            Download(controller, options, r);
        } else {
            Q_EMIT progress(index, QStringLiteral("reading info"), 0, 0, 0);
            ReadAndDownload(controller, options, r);
        }
    } catch (const std::exception &e) {
        // Socket and port faults end this target only; the others go on.
        Fail(r, QString::fromLocal8Bit(e.what()).replace(QLatin1String("\r\n"), QLatin1String(" ")));
    }
    try {
        controller.Disconnect();
    } catch (const std::exception &) {
        // The outcome is known; a link that will not close cleanly changes nothing in it.
    }
    r.ended = QDateTime::currentDateTime();
    r.elapsedMs = clock.elapsed();
    return r;
}

void FleetWorker::ReadAndDownload(TController &controller, const Options &options, FleetResult &r)
{
    TControllerInfo info;
    if (!norvik::ReadInfo(controller, info, options.ReadTries())) {
        Fail(r, NoAnswerText(options, controller));
        return;
    }
    std::uint8_t sn[8] = {};
    norvik::ReadSn(controller, sn, options.ReadTries()); // as the window: an unreadable SN stays empty
    r.serialNumber = SnText(sn);
    r.typeCode = QString::number(info.TypeCode);
    r.versionBefore = VersionText(info.Version);
    if (!m_job.download) {
        r.outcome = QStringLiteral("success");
        return;
    }
    // Only an image of its own type, never an older one unless asked, and
    // nothing for a controller that already runs it: nothing sent but reads.
    const norvik::RolloutDecision decision = norvik::DecideRollout(
        m_job.fileInfo, info.TypeCode, info.Version,
        norvik::RolloutOverrides{options.allowOtherType, options.allowOlder, options.allowReinstall});
    if (decision.download) {
        Download(controller, options, r);
    } else {
        r.outcome = norvik::RolloutOutcomeName(decision.outcome);
        // The summary puts the outcome before the message already.
        r.message = decision.message;
        if (r.message.startsWith(r.outcome + QStringLiteral(": ")))
            r.message.remove(0, r.outcome.size() + 2);
    }
}

void FleetWorker::Download(TController &controller, const Options &options, FleetResult &r)
{
    const int index = r.index;
    FleetSink sink([this, index](const QString &state, int position, int total, int resends) {
        Q_EMIT progress(index, state, position, total, resends);
    });
    norvik::DownloadSequence sequence(&controller, &sink);
    sequence.SetWorkFile(QDir(m_job.workDir).filePath(QStringLiteral("temp-%1.hex").arg(index)));
    sequence.SetInBootLoader(options.inBootLoader);
    sequence.SetJumpCheck(options.ReadTries());
    sequence.SetKeepLinkAfterSuccess(true);

    QEventLoop loop;
    bool finished = false;
    bool aborting = false;
    QElapsedTimer abortClock;
    norvik::DownloadOutcome outcome = norvik::DownloadOutcome::Error;
    QObject::connect(&sequence, &norvik::DownloadSequence::finished, &loop, [&](norvik::DownloadOutcome ending) {
        finished = true;
        outcome = ending;
        loop.quit();
    });
    QTimer watchdog;
    watchdog.setInterval(kWatchMs);
    QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
        if (Stopping() && !aborting) {
            aborting = true;
            abortClock.start();
            sequence.Abort();
        }
        if ((aborting && abortClock.elapsed() > kAbortGraceMs) || sink.SinceActivity() > kSilenceLimitMs)
            loop.quit();
    });
    sink.Touch();
    sequence.Start(m_job.hexPath);
    watchdog.start();
    loop.exec();
    watchdog.stop();

    r.lines = sink.Position();
    r.resends = sink.Resends();
    if (!finished) {
        controller.Disconnect();
        outcome = aborting ? norvik::DownloadOutcome::Aborted : norvik::DownloadOutcome::Error;
    }
    switch (outcome) {
    case norvik::DownloadOutcome::Success:
        AfterEndLetter(controller, r, true);
        return;
    case norvik::DownloadOutcome::Aborted:
        r.outcome = QStringLiteral("interrupted");
        r.message = QStringLiteral("stopped by %1 after %2 lines").arg(Interrupt::What()).arg(r.lines);
        break;
    case norvik::DownloadOutcome::Failure:
        if (sequence.EndUnanswered()) {
            r.mayRemainInBootLoader = !AfterEndLetter(controller, r, false).Answered();
            return;
        }
        Fail(r, sink.Text());
        break;
    case norvik::DownloadOutcome::ControllerNotFound:
        // It answered the info read a moment ago: the jump itself was refused or not answered.
        Fail(r, controller.LastReplyStatus() > 0
                    ? QStringLiteral("the jump to the boot loader was %1").arg(RefusedText(controller.LastReplyStatus()))
                    : QStringLiteral("controller ID %1 at %2 did not answer the jump to the boot loader")
                          .arg(r.controllerId)
                          .arg(r.address));
        break;
    case norvik::DownloadOutcome::Error:
        Fail(r, finished ? sink.Text() : QStringLiteral("the download sequence stopped reporting; link closed"));
        break;
    }
    r.mayRemainInBootLoader = sink.Jumped() || sequence.JumpUnanswered() || options.inBootLoader;
}

norvik::VersionCheck FleetWorker::AfterEndLetter(TController &controller, FleetResult &r, bool endAnswered)
{
    // A controller that restarts by itself answers with the new image soon; a
    // real one may wait in its boot loader for its power to be switched off
    // and on. Ctrl-C cuts the wait short. Without the end letters one read
    // goes out whatever the wait: the letters may only have been lost.
    if (endAnswered)
        Q_EMIT progress(r.index, QStringLiteral("restarting"), r.lines, r.lines, r.resends);
    else
        Q_EMIT progress(r.index, QStringLiteral("reading version"), r.lines, r.lines + 1, r.resends);
    const int wait = norvik::RestartCheckWait(m_job.options.restartWait, endAnswered);
    const norvik::VersionCheck check = norvik::AwaitFile(controller, m_job.fileInfo, wait, norvik::kRestartPollMs, true,
                                                         [this] { return Stopping(); });
    switch (check.state) {
    case norvik::VersionCheck::Verified:
        r.versionAfter = VersionText(check.version);
        r.outcome = QStringLiteral("success");
        r.message = QStringLiteral("Download Successful; version %1 running").arg(r.versionAfter);
        if (!endAnswered)
            r.message += norvik::EndAnswerLostNote();
        break;
    case norvik::VersionCheck::Mismatch:
        Fail(r, QStringLiteral("downloaded, but the controller came back with type code %1, version %2; the file has "
                               "type code %3, version %4")
                    .arg(check.typeCode)
                    .arg(VersionText(check.version), m_job.fileInfo.typeCode, m_job.fileInfo.version));
        break;
    case norvik::VersionCheck::Stopped:
        r.outcome = QStringLiteral("interrupted");
        r.message = endAnswered ? QStringLiteral("downloaded; stopped (%1) before the controller came back with the "
                                                 "new version")
                                      .arg(Interrupt::What())
                                : QStringLiteral("stopped (%1) while reading a controller whose end-of-file line got "
                                                 "no answer")
                                      .arg(Interrupt::What());
        break;
    case norvik::VersionCheck::NoAnswer:
        if (!endAnswered) {
            Fail(r, norvik::EndUnansweredFailure(wait) +
                        QStringLiteral("; the controller may have taken the whole image and wait for its power to be "
                                       "switched off and on (fleet verify tells afterwards), or remain in its boot "
                                       "loader"));
            break;
        }
        r.outcome = QStringLiteral("downloaded");
        r.message = m_job.options.restartWait > 0
                        ? QStringLiteral("downloaded; no answer with the new version within %1 ms: switch the "
                                         "controller off and on, then run fleet verify")
                              .arg(m_job.options.restartWait)
                        : QStringLiteral("downloaded; switch the controller off and on, then run fleet verify");
        break;
    }
    return check;
}

void FleetWorker::VerifyGroup()
{
    // Targets that share a link are read in turn, each round every one not yet
    // verified once, so that a technician can restart them in any order.
    struct Pending {
        FleetResult r;
        norvik::VersionCheck last;
        QElapsedTimer clock;
    };
    QList<Pending> pending;
    for (const auto &[index, target] : m_targets)
        pending.append(Pending{NewResult(index, target), {}, {}});
    const Options options = m_targets.isEmpty() ? m_job.options : m_targets.first().second.Apply(m_job.options);
    const int tries = options.ReadTries();
    TController controller;
    QElapsedTimer clock;
    clock.start();
    try {
        ApplySettings(controller, options);
        for (Pending &p : pending) {
            p.r.started = QDateTime::currentDateTime();
            p.clock.start();
        }
        while (!pending.isEmpty() && !Stopping()) {
            const qint64 roundStarted = clock.elapsed();
            for (qsizetype i = 0; i < pending.size() && !Stopping();) {
                Pending &p = pending[i];
                controller.SetControllerID(static_cast<std::uint8_t>(p.r.controllerId));
                TControllerInfo info;
                p.last = norvik::VersionCheck{};
                if (controller.Connect() && norvik::ReadInfo(controller, info, tries)) {
                    p.last.typeCode = info.TypeCode;
                    p.last.version = info.Version;
                    p.last.state = norvik::RunsFile(m_job.fileInfo, info.TypeCode, info.Version)
                                       ? norvik::VersionCheck::Verified
                                       : norvik::VersionCheck::Mismatch;
                    if (p.r.serialNumber.isEmpty()) {
                        std::uint8_t sn[8] = {};
                        norvik::ReadSn(controller, sn, tries);
                        p.r.serialNumber = SnText(sn);
                    }
                }
                const QString state = p.last.state == norvik::VersionCheck::NoAnswer
                                          ? QStringLiteral("no answer")
                                          : QStringLiteral("type code %1, version %2")
                                                .arg(p.last.typeCode)
                                                .arg(VersionText(p.last.version));
                if (p.last.state != norvik::VersionCheck::Verified) {
                    Q_EMIT progress(p.r.index, state, 0, 0, 0);
                    ++i;
                    continue;
                }
                p.r.typeCode = QString::number(p.last.typeCode);
                p.r.versionAfter = VersionText(p.last.version);
                p.r.outcome = QStringLiteral("verified");
                p.r.message = state;
                p.r.ended = QDateTime::currentDateTime();
                p.r.elapsedMs = p.clock.elapsed();
                Q_EMIT result(p.r);
                pending.removeAt(i);
            }
            const qint64 next = roundStarted + kVerifyPollMs;
            if (pending.isEmpty() || next >= m_job.options.wait)
                break;
            while (clock.elapsed() < next && !Stopping())
                QThread::msleep(static_cast<unsigned long>(std::min<qint64>(kWatchMs, next - clock.elapsed())));
        }
    } catch (const std::exception &e) {
        const QString why = QString::fromLocal8Bit(e.what()).replace(QLatin1String("\r\n"), QLatin1String(" "));
        for (Pending &p : pending)
            Fail(p.r, why);
    }
    try {
        controller.Disconnect();
    } catch (const std::exception &) {
        // The outcomes are known; a link that will not close cleanly changes nothing in them.
    }
    for (Pending &p : pending) {
        if (p.r.outcome.isEmpty()) {
            if (Stopping()) {
                p.r.outcome = QStringLiteral("interrupted");
                p.r.message = QStringLiteral("stopped (%1) before it was verified").arg(Interrupt::What());
            } else if (p.last.state == norvik::VersionCheck::Mismatch) {
                p.r.typeCode = QString::number(p.last.typeCode);
                p.r.versionAfter = VersionText(p.last.version);
                p.r.outcome = QStringLiteral("mismatch");
                p.r.message = QStringLiteral("type code %1, version %2; the file has type code %3, version %4")
                                  .arg(p.r.typeCode, p.r.versionAfter, m_job.fileInfo.typeCode, m_job.fileInfo.version);
            } else {
                Fail(p.r, NoAnswerText(options, controller));
            }
        }
        p.r.ended = QDateTime::currentDateTime();
        p.r.elapsedMs = p.clock.isValid() ? p.clock.elapsed() : 0;
        Q_EMIT result(p.r);
    }
}

} // namespace ctl
