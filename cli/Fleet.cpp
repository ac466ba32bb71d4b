#include "cli/Fleet.h"

#include "cli/CommandKit.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/FleetWorker.h"
#include "firmware/HexCheck.h"
#include "firmware/UpgradeHistory.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Terminal.h"
#include "common/Errors.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QTemporaryDir>
#include <QTimer>

#include <map>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ctl {
namespace {

constexpr int kRedrawMs = 250;
const QString kBootLoaderAdvice = QStringLiteral(
    "download to each again with norvik-ctl download --in-bootloader, or switch their power off and on, then "
    "download again.");

QString Seconds(qint64 milliseconds)
{
    return QStringLiteral("%1 s").arg(static_cast<double>(milliseconds) / 1000.0, 0, 'f', 1);
}

QString OrDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

// Columns padded to their widest cell.
QString Table(const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QStringList &row : rows)
        for (int c = 0; c < row.size(); ++c) {
            if (c >= widths.size())
                widths << 0;
            widths[c] = std::max(widths[c], static_cast<int>(row[c].size()));
        }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c].leftJustified(widths[c] + 2) : row[c];
        text += line + QLatin1Char('\n');
    }
    return text;
}

int TerminalRows()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    return 24;
}

// A file with a broken record would leave every controller it reaches half
// written in its boot loader: the check comes before any controller is touched.
QString BrokenRecord(const QString &path)
{
    const std::optional<norvik::HexProblem> problem = norvik::DownloadRefusal(norvik::CheckHexFile(path));
    return problem ? norvik::DownloadRefusalText(path, *problem) : QString();
}

bool Confirm(int count)
{
    return AskYes(QStringLiteral("Please Terminate ALL program. Doors on %1 controllers will not function during "
                                 "upgrade (3~10 minute). All information on controller will be loss. Are you sure? "
                                 "[y/N] ")
                      .arg(count));
}

// Drives the run on the main thread: starts a worker thread per link group
// (at most --jobs at once), shows their progress and collects their results.
class FleetRun : public QObject {
public:
    FleetRun(const Options &options, const Output &out, FleetJob &job, const QList<FleetTarget> &targets)
        : m_options(options), m_out(out), m_job(job), m_targets(targets), m_results(targets.size()),
          m_tty(!out.Json() && ::isatty(STDOUT_FILENO))
    {
        qRegisterMetaType<ctl::FleetResult>();
        job.stop = &m_stop;
        QHash<QString, int> groupOf;
        for (int i = 0; i < targets.size(); ++i) {
            const QString key = targets[i].LinkKey();
            if (!groupOf.contains(key)) {
                groupOf.insert(key, static_cast<int>(m_groups.size()));
                m_groups.append(QList<QPair<int, FleetTarget>>());
            }
            m_groups[groupOf.value(key)].append(qMakePair(i, targets[i]));
        }
    }

    int Exec()
    {
        QEventLoop loop;
        m_loop = &loop;
        QObject::connect(&Interrupt::Install(), &Interrupt::requested, &loop, [this] { Stop(); });
        QTimer redraw;
        if (m_tty) {
            QObject::connect(&redraw, &QTimer::timeout, &loop, [this] {
                if (m_dirty)
                    Draw();
            });
            redraw.start(kRedrawMs);
        }
        if (Interrupt::Requested())
            Stop();
        StartMore();
        if (m_running > 0)
            loop.exec();
        redraw.stop();
        Clear();
        m_loop = nullptr;
        return Summary();
    }

private:
    struct Live {
        QString state;
        int position = 0, total = 0, resends = 0;
    };

    void Stop()
    {
        if (m_stop.exchange(true))
            return;
        Clear();
        m_out.Note(QStringLiteral("Stopping every download after its current line..."));
    }

    void StartMore()
    {
        while (m_running < m_options.jobs && m_nextGroup < m_groups.size()) {
            auto *worker = new FleetWorker(m_job, m_groups[m_nextGroup++], this);
            QObject::connect(worker, &FleetWorker::progress, this, &FleetRun::OnProgress, Qt::QueuedConnection);
            QObject::connect(worker, &FleetWorker::result, this, &FleetRun::recordOutcome, Qt::QueuedConnection);
            QObject::connect(worker, &QThread::finished, this, [this, worker] {
                worker->wait();
                worker->deleteLater();
                --m_running;
                StartMore();
                if (m_running == 0 && m_loop)
                    m_loop->quit();
            }, Qt::QueuedConnection);
            ++m_running;
            worker->start();
        }
    }

    void OnProgress(int index, const QString &state, int position, int total, int resends)
    {
        m_dirty = true;
        Live &live = m_lines[index];
        const bool changed = live.state != state;
        live = Live{state, position, total, resends};
        m_out.Object(QJsonObject{{QStringLiteral("target"), m_targets[index].spec},
                                 {QStringLiteral("event"), QStringLiteral("progress")},
                                 {QStringLiteral("state"), state},
                                 {QStringLiteral("position"), position},
                                 {QStringLiteral("total"), total},
                                 {QStringLiteral("resends"), resends}});
        // Without a terminal, a line per change of state keeps logs short.
        if (!m_tty && changed)
            m_out.Text(QStringLiteral("%1: %2%3")
                           .arg(m_targets[index].spec, state)
                           .arg(total > 0 && state == QLatin1String("downloading")
                                    ? QStringLiteral(" (%1 lines)").arg(total)
                                    : QString()));
    }

    // Every target's ending comes here, on the main thread, one at a time: the
    // one place that keeps, shows and records what became of a controller.
    // A download that reached its controller (m_job.download and
    // result.Started()) carries every field of an upgrade record.
    void recordOutcome(const FleetResult &result)
    {
        m_lines.erase(result.index);
        m_results[result.index] = result;
        Clear();
        if (m_job.download && result.Started())
            WriteHistory(result);
        m_out.Text(QStringLiteral("%1: %2%3")
                       .arg(result.target, result.outcome)
                       .arg(result.message.isEmpty() ? QString() : QStringLiteral(" - ") + result.message));
        QJsonObject object{{QStringLiteral("target"), result.target},
                           {QStringLiteral("event"), QStringLiteral("result")},
                           {QStringLiteral("ok"), result.outcome == QLatin1String("success")},
                           {QStringLiteral("outcome"), result.outcome},
                           {QStringLiteral("message"), result.message},
                           {QStringLiteral("link"), result.link},
                           {QStringLiteral("address"), result.address},
                           {QStringLiteral("id"), result.controllerId},
                           {QStringLiteral("sn"), result.serialNumber},
                           {QStringLiteral("type_code"),
                            result.typeCode.isEmpty() ? QJsonValue() : QJsonValue(result.typeCode.toInt())},
                           {QStringLiteral("seconds"), static_cast<double>(result.elapsedMs) / 1000.0}};
        if (m_job.download) {
            object.insert(QStringLiteral("version_before"), result.versionBefore);
            object.insert(QStringLiteral("version_after"), result.versionAfter);
            object.insert(QStringLiteral("lines"), result.lines);
            object.insert(QStringLiteral("resends"), result.resends);
            object.insert(QStringLiteral("may_remain_in_boot_loader"), result.mayRemainInBootLoader);
        } else {
            object.insert(QStringLiteral("version"), result.versionBefore);
        }
        m_out.Object(object);
        Draw();
    }

    // One row per controller whose download began; a history that cannot be
    // written is said once and changes no outcome.
    void WriteHistory(const FleetResult &result)
    {
        norvik::UpgradeRecord row;
        row.started = result.started;
        row.ended = result.ended;
        row.link = result.link;
        row.address = result.address;
        row.controllerId = result.controllerId;
        row.serialNumber = result.serialNumber;
        row.typeCode = result.typeCode;
        row.versionBefore = result.versionBefore;
        row.versionAfter = result.versionAfter;
        row.fileName = m_job.hexPath;
        row.fileSha256 = result.fileSha256;
        row.lines = result.lines;
        row.resends = result.resends;
        row.outcome = result.outcome;
        row.message = result.message;
        QString why;
        if (!norvik::AppendUpgradeRecord(row, &why) && !m_historyFailed) {
            m_historyFailed = true;
            m_out.Note(HistoryNotWritten(why));
        }
    }

    // Live lines: one per running target, redrawn in place.
    void Clear()
    {
        if (m_drawn > 0)
            WriteOut(QStringLiteral("\x1b[%1A\x1b[J").arg(m_drawn));
        m_drawn = 0;
    }

    void Draw()
    {
        if (!m_tty)
            return;
        m_dirty = false;
        Clear();
        const int room = std::max(1, TerminalRows() - 2);
        QString text;
        int shown = 0;
        for (auto it = m_lines.cbegin(); it != m_lines.cend(); ++it) {
            const int running = static_cast<int>(m_lines.size());
            if (shown == room - 1 && running > room) {
                text += QStringLiteral("... and %1 more running\n").arg(running - shown);
                ++shown;
                break;
            }
            const Live &live = it->second;
            constexpr int width = 20;
            const int percent = live.total > 0 ? static_cast<int>(100LL * live.position / live.total) : 0;
            const int filled = width * percent / 100;
            // A line wider than the terminal would wrap and break the redraw in place.
            text += QStringLiteral("%1 [%2%3] %4%  %5/%6 lines  %7 resends  %8")
                        .arg(m_targets[it->first].spec.leftJustified(22), QString(filled, QLatin1Char('#')),
                             QString(width - filled, QLatin1Char('-')))
                        .arg(percent, 3)
                        .arg(live.position)
                        .arg(live.total)
                        .arg(live.resends)
                        .arg(live.state)
                        .left(std::max(1, TerminalColumns() - 1)) +
                    QLatin1Char('\n');
            ++shown;
        }
        if (shown > 0)
            WriteOut(text);
        m_drawn = shown;
    }

    int Summary()
    {
        int succeeded = 0;
        int interrupted = 0;
        QList<QStringList> rows;
        if (m_job.download)
            rows << QStringList{QStringLiteral("TARGET"), QStringLiteral("SN"), QStringLiteral("OLD"), QStringLiteral("NEW"),
                                QStringLiteral("OUTCOME"), QStringLiteral("TIME")};
        else
            rows << QStringList{QStringLiteral("TARGET"), QStringLiteral("ID"), QStringLiteral("SN"),
                                QStringLiteral("TYPE"), QStringLiteral("VERSION"), QStringLiteral("OUTCOME")};
        QStringList bootLoader;
        QJsonArray bootLoaderJson;
        for (int i = 0; i < m_results.size(); ++i) {
            FleetResult &r = m_results[i];
            if (r.outcome.isEmpty()) { // its thread never reported: treated as not done
                r.target = m_targets[i].spec;
                r.outcome = QStringLiteral("interrupted");
            }
            succeeded += r.outcome == QLatin1String("success");
            interrupted += r.outcome == QLatin1String("interrupted");
            if (r.mayRemainInBootLoader) {
                bootLoader << r.target;
                bootLoaderJson.append(r.target);
            }
            if (m_job.download)
                rows << QStringList{r.target, OrDash(r.serialNumber), OrDash(r.versionBefore), OrDash(r.versionAfter),
                                    r.outcome, r.Started() ? Seconds(r.elapsedMs) : QStringLiteral("-")};
            else
                rows << QStringList{r.target, QString::number(r.controllerId), OrDash(r.serialNumber), OrDash(r.typeCode),
                                    OrDash(r.versionBefore), r.outcome};
        }
        const int failed = static_cast<int>(m_results.size()) - succeeded - interrupted;
        if (!m_out.Json()) {
            WriteOut(QStringLiteral("\n") + Table(rows));
            m_out.Text(QStringLiteral("%1 of %2 succeeded, %3 failed, %4 interrupted.")
                           .arg(succeeded)
                           .arg(m_results.size())
                           .arg(failed)
                           .arg(interrupted));
        }
        if (!bootLoader.isEmpty())
            m_out.Note(QStringLiteral("These controllers may remain in their boot loader; %1\n  %2")
                           .arg(kBootLoaderAdvice, bootLoader.join(QStringLiteral("\n  "))));
        m_out.Object(QJsonObject{{QStringLiteral("command"), QStringLiteral("fleet")},
                                 {QStringLiteral("event"), QStringLiteral("summary")},
                                 {QStringLiteral("ok"), succeeded == m_results.size()},
                                 {QStringLiteral("targets"), static_cast<int>(m_results.size())},
                                 {QStringLiteral("succeeded"), succeeded},
                                 {QStringLiteral("failed"), failed},
                                 {QStringLiteral("interrupted"), interrupted},
                                 {QStringLiteral("may_remain_in_boot_loader"), bootLoaderJson}});
        if (m_stop.load())
            return ExitInterrupted;
        return succeeded == m_results.size() ? ExitOk : ExitController;
    }

    const Options &m_options;
    const Output &m_out;
    FleetJob &m_job;
    QList<FleetTarget> m_targets;
    QList<FleetResult> m_results;
    QList<QList<QPair<int, FleetTarget>>> m_groups;
    qsizetype m_nextGroup = 0;
    int m_running = 0;
    std::atomic<bool> m_stop{false};
    bool m_tty; // live lines redrawn in place
    std::map<int, Live> m_lines; // running targets by index, in list order
    int m_drawn = 0;
    bool m_dirty = false;
    bool m_historyFailed = false;
    QEventLoop *m_loop = nullptr;
};

} // namespace

int RunFleet(const Options &options, const Output &out)
{
    const QString action = options.arguments.value(0);
    const bool download = action == QLatin1String("download");
    if (download && options.arguments.size() != 2)
        throw UsageError(QStringLiteral("fleet download needs exactly one argument FILE"));
    if (action == QLatin1String("info") && options.arguments.size() != 1)
        throw UsageError(QStringLiteral("fleet info takes no arguments"));
    if (!download && action != QLatin1String("info"))
        throw UsageError(action.isEmpty() ? QStringLiteral("fleet needs download FILE or info")
                                          : QStringLiteral("fleet: '%1' is neither download nor info").arg(action));
    if (!download && (options.yes || options.restartWait != Options().restartWait))
        throw UsageError(QStringLiteral("--yes and --restart-wait belong to fleet download"));
    if (!options.phone.isEmpty())
        throw UsageError(QStringLiteral("fleet reaches controllers over the network or serial ports, not by modem"));
    const QList<FleetTarget> targets = FleetTargets(options);

    FleetJob job;
    job.options = options;
    job.download = download;
    QTemporaryDir workDir;
    if (download) {
        const QString path = options.arguments.at(1);
        const QJsonObject failure{{QStringLiteral("command"), QStringLiteral("fleet")}, {QStringLiteral("ok"), false}};
        if (!HexFileExists(path, out, failure))
            return ExitIo;
        const QString broken = BrokenRecord(path);
        const norvik::HexFileInfo info = norvik::ReadHexFileInfo(path);
        // Without the file's type code and version no download could be checked afterwards.
        const QString problem = !broken.isEmpty() ? broken
                                : !info.ok        ? QStringLiteral("Invalid Hex File: no type code and version in \"%1\"; "
                                                                   "nothing was sent")
                                                        .arg(path)
                                                  : QString();
        if (!problem.isEmpty()) {
            out.Error(problem);
            QJsonObject object = failure;
            object.insert(QStringLiteral("error"), problem);
            out.Object(object);
            return ExitIo;
        }
        job.fileSha256 = norvik::FileSha256(path);
        if (job.fileSha256.isEmpty())
            throw norvik::EInOutError(QStringLiteral("cannot read \"%1\"").arg(path).toStdString());
        job.hexPath = QFileInfo(path).absoluteFilePath();
        job.fileInfo = info;
        job.fileName = QFileInfo(path).fileName();
        if (!workDir.isValid())
            throw norvik::EInOutError(
                QStringLiteral("cannot create a folder for the work files: %1").arg(workDir.errorString()).toStdString());
        job.workDir = workDir.path();
        out.Text(QStringLiteral("Hex File Info: Type code = %1, Version = %2; %3 controllers")
                     .arg(info.typeCode, info.version)
                     .arg(targets.size()));

        if (!options.yes) {
            if (!::isatty(STDIN_FILENO))
                throw UsageError(QStringLiteral("fleet download asks for confirmation on a terminal; give --yes to run "
                                                "without one"));
            bool confirmed = false;
            {
                const Interrupt::DefaultAction plainCtrlC;
                confirmed = Confirm(static_cast<int>(targets.size()));
            }
            if (!confirmed) {
                out.Error(QStringLiteral("fleet download cancelled; nothing was sent"));
                out.Object(QJsonObject{{QStringLiteral("command"), QStringLiteral("fleet")},
                                       {QStringLiteral("result"), QStringLiteral("cancelled")},
                                       {QStringLiteral("ok"), false}});
                return ExitController;
            }
        }
    }
    FleetRun run(options, out, job, targets);
    return run.Exec();
}

} // namespace ctl
