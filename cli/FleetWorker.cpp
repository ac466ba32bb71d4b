#include "cli/FleetWorker.h"

#include "cli/CommandKit.h"
#include "cli/Diagnosis.h"
#include "cli/LinkSession.h"
#include "component/Controller.h"
#include "firmware/DownloadSequence.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

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
    return fault.isEmpty() ? Diagnose(options, controller, QStringLiteral("info")).message : fault;
}

} // namespace

FleetWorker::FleetWorker(const FleetJob &job, QList<QPair<int, FleetTarget>> targets, QObject *parent)
    : QThread(parent), m_job(job), m_targets(std::move(targets))
{
}

void FleetWorker::run()
{
    for (const auto &[index, target] : m_targets)
        Q_EMIT result(RunTarget(index, target));
}

FleetResult FleetWorker::RunTarget(int index, const FleetTarget &target)
{
    FleetResult r;
    r.index = index;
    r.target = target.spec;
    r.link = target.link == LinkKind::Serial ? QStringLiteral("serial") : QStringLiteral("network");
    r.address = target.Address();
    r.controllerId = target.id;
    r.fileName = m_job.fileName;
    r.fileSha256 = m_job.fileSha256;
    if (Stopping()) {
        r.outcome = QStringLiteral("interrupted");
        r.message = QStringLiteral("not started (Ctrl-C)");
        return r;
    }
    r.started = QDateTime::currentDateTime();
    QElapsedTimer clock;
    clock.start();

    const Options options = target.Apply(m_job.options);
    TController controller;
    try {
        ApplySettings(controller, options);
        Q_EMIT progress(index, QStringLiteral("reading info"), 0, 0, 0);
        TControllerInfo info;
        if (const QString problem = HostProblem(options); !problem.isEmpty()) {
            Fail(r, problem);
        } else if (!controller.Connect()) {
            Fail(r, NoAnswerText(options, controller));
        } else if (!controller.GetControllerInfo(info)) {
            Fail(r, NoAnswerText(options, controller));
        } else {
            std::uint8_t sn[8] = {};
            controller.GetControllerSN(sn); // as the window: an unreadable SN stays empty
            r.serialNumber = SnText(sn);
            r.typeCode = QString::number(info.TypeCode);
            r.versionBefore = VersionText(info.Version);
            if (m_job.download) {
                Download(controller, r);
            } else {
                r.outcome = QStringLiteral("success");
            }
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

void FleetWorker::Download(TController &controller, FleetResult &r)
{
    const int index = r.index;
    FleetSink sink([this, index](const QString &state, int position, int total, int resends) {
        Q_EMIT progress(index, state, position, total, resends);
    });
    norvik::DownloadSequence sequence(&controller, &sink);
    sequence.SetWorkFile(QDir(m_job.workDir).filePath(QStringLiteral("temp-%1.hex").arg(index)));

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
        Verify(controller, r);
        return;
    case norvik::DownloadOutcome::Aborted:
        r.outcome = QStringLiteral("interrupted");
        r.message = QStringLiteral("stopped by Ctrl-C after %1 lines").arg(r.lines);
        break;
    case norvik::DownloadOutcome::Failure:
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
    r.mayRemainInBootLoader = sink.Jumped();
}

void FleetWorker::Verify(TController &controller, FleetResult &r)
{
    // The controller restarts into its new image; its version is only worth
    // reading once it is up again. Ctrl-C cuts the wait short.
    Q_EMIT progress(r.index, QStringLiteral("restarting"), r.lines, r.lines, r.resends);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < m_job.options.restartWait && !Stopping())
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(kWatchMs, m_job.options.restartWait - waited.elapsed())));
    if (Stopping()) {
        r.outcome = QStringLiteral("interrupted");
        r.message = QStringLiteral("downloaded; stopped (Ctrl-C) before the version check");
        return;
    }

    Q_EMIT progress(r.index, QStringLiteral("verifying"), r.lines, r.lines, r.resends);
    TControllerInfo info;
    if (!controller.Connect() || !controller.GetControllerInfo(info)) {
        Fail(r, QStringLiteral("downloaded, but no answer to the version check %1 ms later (%2); try a longer "
                               "--restart-wait, then norvik-ctl verify")
                    .arg(m_job.options.restartWait)
                    .arg(controller.LinkFault().empty()
                             ? QStringLiteral("controller ID %1 at %2 did not answer").arg(r.controllerId).arg(r.address)
                             : QString::fromStdString(controller.LinkFault())));
        return;
    }
    r.versionAfter = VersionText(info.Version);
    const QString typeAfter = QString::number(info.TypeCode);
    if (typeAfter == m_job.fileInfo.typeCode && r.versionAfter == m_job.fileInfo.version) {
        r.outcome = QStringLiteral("success");
        r.message = QStringLiteral("Download Successful; version %1 running").arg(r.versionAfter);
    } else {
        Fail(r, QStringLiteral("downloaded, but the controller reports type code %1, version %2; the file has type code "
                               "%3, version %4")
                    .arg(typeAfter, r.versionAfter, m_job.fileInfo.typeCode, m_job.fileInfo.version));
    }
}

} // namespace ctl
