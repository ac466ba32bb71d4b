#pragma once
// The firmware download after the link is up: T1 switches the controller into
// its boot loader and prepares the work file, T2 feeds one record line per
// tick and follows the boot loader's one-letter answers. The window and
// norvik-ctl both drive this one implementation.
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <exception>

class TController;

namespace norvik {

enum class DownloadOutcome {
    Success,            // "Z", "KZ" or "Y"
    Failure,            // the stall limit was reached
    ControllerNotFound, // the jump-to-boot-loader command was not acknowledged
    Error,              // a raised error (settings, firmware file, work file)
    Aborted,            // stopped by the caller (norvik-ctl's Ctrl-C)
};

// What one tick's read says about the boot loader's progress.
enum class BootReply {
    Other, // silence, noise or any other text: the tick only counts towards a resend
    Ack,   // "K": the line was taken
    Nak,   // "N": the line was refused
    End,   // "Z", "KZ" or "Y": the image is complete
};

// The answer in a read area of `size` bytes after DirectReceive returned
// `count` (taken as 0 when negative, as `size` when larger): the zero-terminated
// text at the start of the area (at most 101 characters), cut to the count
// just read, compared as a whole, case-sensitively.
BootReply ClassifyBootReply(const unsigned char *area, int size, int count);

// What the driver of the sequence does with its reports. The window maps them
// to labStatus, ProgressBar1, the "QTR" boxes and Panel2.
class DownloadSink {
public:
    virtual ~DownloadSink() = default;
    virtual void SetStatus(const QString &text) = 0;
    virtual void SetProgressRange(int minimum, int maximum) = 0;
    virtual void SetProgress(int position) = 0;
    // The ending's message box (modal in the window): success, failure, not found.
    virtual void ShowResult(DownloadOutcome outcome, const QString &text) = 0;
    // A raised error's message (the window's error box captioned with the application title).
    virtual void ShowError(const QString &message) = 0;
    virtual void SetInputEnabled(bool enabled) = 0;
    // Called after each record line goes out (resend: the same line again).
    virtual void LineSent(int index, bool resend)
    {
        (void)index;
        (void)resend;
    }
};

class DownloadSequence : public QObject {
    Q_OBJECT
public:
    DownloadSequence(TController *controller, DownloadSink *sink, QObject *parent = nullptr);
    // A run still going when its driver goes away (the window closed during a
    // download) ends as Aborted for whoever listens to finished(); the sink and
    // the link, which may be gone already, are left alone.
    ~DownloadSequence() override;

    // Arms T1 (100 ms one-shot). The caller has already applied the settings,
    // connected and, on the modem link, dialled.
    void Start(const QString &hexPath);
    // For a controller that a broken-off download left in its boot loader: it
    // no longer answers the jump command, but still takes record lines. The
    // next Start skips the jump and the wait for the boot loader and sends the
    // first line at once; the line loop is unchanged.
    void SetInBootLoader(bool inBootLoader) { m_inBootLoader = inBootLoader; }
    bool InBootLoader() const { return m_inBootLoader; }
    // A jump command without an answer leaves two cases apart: the request was
    // lost (the controller still runs its firmware) or the answer was (it is in
    // its boot loader now). With tries > 0 a framed read, asked up to `tries`
    // times, tells them apart before anything else is sent: an answer means the
    // jump goes once more; silence ends the run as ControllerNotFound with
    // JumpUnanswered() true. 0 (the window's sequence): not found at once.
    void SetJumpCheck(int tries) { m_jumpCheckTries = tries; }
    // A driver that reads the restarted controller over the same link (a modem
    // call stays up) keeps the link open after a good end; it closes it itself.
    void SetKeepLinkAfterSuccess(bool keep) { m_keepLinkAfterSuccess = keep; }
    // The last run's jump got no answer and nothing answered the read after it:
    // the controller may be in its boot loader.
    bool JumpUnanswered() const { return m_jumpUnanswered; }
    // The last run stalled on the file's last line with every other line
    // acknowledged. The boot loader answers the end-of-file line with its end
    // letters, not "K"; letters lost on the way (a datagram) leave a complete
    // download looking stalled, and a controller that restarts by itself runs
    // the new image by then. Only a read of its version tells.
    bool EndUnanswered() const { return m_endUnanswered; }
    bool Running() const;
    // Stops at the next tick boundary: closes the link and reports Aborted.
    void Abort();

    QString WorkFile() const { return m_workFile; }
    void SetWorkFile(const QString &path) { m_workFile = path; }

    const QStringList &HexLines() const { return m_hexLines; }
    int LinePos() const { return m_linePos; }
    int StallCount() const { return m_stallCount; }
    // Of the current or last run: the firmware file, record lines sent for the
    // first time and sent again, the ending's text and when the ending came
    // (before any box is shown).
    QString HexPath() const { return m_hexPath; }
    int LinesSent() const { return m_linesSent; }
    int Resends() const { return m_resends; }
    QString ResultText() const { return m_resultText; }
    QDateTime EndedAt() const { return m_endedAt; }
    QTimer &T1() { return m_t1; }
    QTimer &T2() { return m_t2; }

Q_SIGNALS:
    // Start accepted the run (T1 armed).
    void started();
    void finished(norvik::DownloadOutcome outcome);

private:
    void T1Timer();
    void T2Timer();
    void PrepareDownload();
    bool Jump();
    void End(DownloadOutcome outcome, const QString &text);
    void MarkEnded(const QString &text);
    // A raised error ends the download: its message, input back, link closed.
    void Fail(const std::exception &error);
    bool FinishIfAborted();
    // Every ending: input enabled, link closed, finished() emitted.
    void Finish(DownloadOutcome outcome);

    TController *m_controller;
    DownloadSink *m_sink;
    QString m_hexPath;
    QString m_workFile;
    QStringList m_hexLines;
    int m_linePos = 0;
    int m_lastLinePos = -1;
    int m_stallCount = 0;
    unsigned char m_replyArea[255] = {};
    bool m_abortRequested = false;
    bool m_running = false;
    bool m_inBootLoader = false;
    int m_jumpCheckTries = 0;
    bool m_jumpUnanswered = false;
    bool m_endUnanswered = false;
    bool m_keepLinkAfterSuccess = false;
    int m_linesSent = 0;
    int m_resends = 0;
    QString m_resultText;
    QDateTime m_endedAt;
    QTimer m_t1;
    QTimer m_t2;
};

} // namespace norvik
