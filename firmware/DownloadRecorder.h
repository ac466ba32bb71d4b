#pragma once
// Writes the upgrade history's row for each run of a download sequence: the
// link, address and controller ID as the controller is set when the run
// starts, the firmware file and its SHA-256, the lines and resends, the ending
// and its text. What else the driver knows of the controller (SN, type code,
// versions) it sets on Record() before the run ends. A row that cannot be
// written never changes the download's result.
#include "firmware/DownloadSequence.h"
#include "firmware/UpgradeHistory.h"

#include <QObject>

class TController;

namespace norvik {

class DownloadRecorder : public QObject {
    Q_OBJECT
public:
    DownloadRecorder(DownloadSequence *sequence, const TController *controller, QObject *parent = nullptr);

    // The row of the current run (reset when a run starts).
    UpgradeRecord &Record() { return m_record; }
    // Writes the row of a run whose sequence never reported its end (the
    // driver gave up on it); nothing when the row is already written.
    void Close(DownloadOutcome outcome, const QString &message);

    // A driver that checks the controller after the run (its version once it
    // restarted) keeps the row open when the sequence ends and writes it with
    // Finish; the row's end is then the moment of Finish.
    void SetHoldAtEnd(bool hold) { m_hold = hold; }
    void Finish(const QString &outcome, const QString &message);
    bool Open() const { return m_open; }

    // "success", "failure" or "interrupted".
    static QString OutcomeText(DownloadOutcome outcome);
    // "serial", "network" or "modem", and "host:port" or the port's name.
    static void DescribeLink(const TController &controller, UpgradeRecord *record);

Q_SIGNALS:
    // The first row of this process that could not be written, with why;
    // later failures stay quiet, so that a full disk is said once, not per run.
    void writeFailed(const QString &message);

private:
    void Started();
    void Write(const QString &outcome, const QString &message);

    DownloadSequence *m_sequence;
    const TController *m_controller;
    UpgradeRecord m_record;
    bool m_open = false;
    bool m_hold = false;
};

} // namespace norvik
