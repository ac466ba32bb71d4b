#pragma once
// One thread of a fleet run: the targets that share one link, one after the
// other. The protocol is one request at a time per component, so each running
// link gets its own thread, event loop and TController (made and destroyed on
// that thread); a silent controller then blocks only its own thread. Progress
// and results reach the main thread by queued signals.
#include "cli/FleetTarget.h"
#include "cli/Options.h"
#include "firmware/HexFile.h"
#include "firmware/Rollout.h"

#include <QList>
#include <QThread>

#include <atomic>

class TController;

namespace ctl {

// What every thread of a run shares, read-only once the threads start (stop excepted).
struct FleetJob {
    Options options;  // the run's link settings (time-outs, retries, restart wait)
    bool download = false;
    bool verify = false;      // fleet verify: read until each runs the file, or the wait is over
    QString hexPath;
    norvik::HexFileInfo fileInfo; // what the version check compares with
    QString fileName, fileSha256;
    QString workDir;  // private folder for the targets' work files
    std::atomic<bool> *stop = nullptr; // Ctrl-C: finish the current tick, then close
};

class FleetWorker : public QThread {
    Q_OBJECT
public:
    FleetWorker(const FleetJob &job, QList<QPair<int, FleetTarget>> targets, QObject *parent = nullptr);

Q_SIGNALS:
    // state: "reading info", "downloading", "restarting", and for fleet verify
    // what the controller answered last ("no answer", "type code 1, version 2.5").
    void progress(int index, const QString &state, int position, int total, int resends);
    void result(const ctl::FleetResult &result);

protected:
    void run() override;

private:
    FleetResult NewResult(int index, const FleetTarget &target) const;
    FleetResult RunTarget(int index, const FleetTarget &target);
    void ReadAndDownload(TController &controller, const Options &options, FleetResult &r);
    void Download(TController &controller, const Options &options, FleetResult &r);
    // endAnswered false: the download stalled on its end-of-file line; the
    // read decides whether it went through. Gives the read's last result.
    norvik::VersionCheck AfterEndLetter(TController &controller, FleetResult &r, bool endAnswered);
    // fleet verify: the group's targets read in turn until each is verified.
    void VerifyGroup();
    bool Stopping() const { return m_job.stop->load(); }

    const FleetJob &m_job;
    QList<QPair<int, FleetTarget>> m_targets;
};

} // namespace ctl
