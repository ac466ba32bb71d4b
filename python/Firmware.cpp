// norvik.hex_info and norvik.download: the firmware file checks and the
// download sequence that the window and norvik-ctl run, driven from Python.
#include "python/PyController.h"

#include "common/Errors.h"
#include "component/Controller.h"
#include "firmware/DownloadRecorder.h"
#include "firmware/Rollout.h"
#include "firmware/DownloadSequence.h"
#include "firmware/HexCheck.h"
#include "firmware/HexFile.h"

#include <pybind11/stl.h>

#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace pynorvik {

namespace {

using Clock = std::chrono::steady_clock;

// Longest the sequence may stay without a report before the run is given up
// (it sends or re-sends a line at least every fourth 100 ms tick), and the
// wait for it to stop at its next tick once asked to.
constexpr auto kSilenceLimit = std::chrono::seconds(60);
constexpr auto kAbortGrace = std::chrono::seconds(5);
constexpr auto kPollInterval = std::chrono::milliseconds(50);

struct HexInfo {
    std::string path;
    std::optional<int> typeCode;
    std::optional<std::string> version;
    std::string infoError; // why the type code and version could not be read
    int records = 0;
    std::vector<std::pair<int, std::string>> brokenRecords;
    std::vector<std::pair<int, std::string>> problems; // broken records, stray lines, whole-file remarks (line 0)
    std::optional<std::string> refusal;                // why a download refuses the file
};

void RequireFile(const QString &path)
{
    const QFileInfo file(path);
    if (!file.exists())
        Raise("FileError", "cannot read the firmware file " + path.toStdString() + ": no such file");
    if (!file.isFile())
        Raise("FileError", "cannot read the firmware file " + path.toStdString() + ": not a file");
}

HexInfo ReadHexInfo(const std::string &pathText)
{
    const QString path = QString::fromStdString(pathText);
    RequireFile(path);
    HexInfo info;
    info.path = pathText;
    const norvik::HexCheckResult check = norvik::CheckHexFile(path);
    info.records = check.recordLines;
    for (const norvik::HexProblem &problem : check.problems) {
        info.problems.emplace_back(problem.line, problem.reason.toStdString());
        if (problem.record)
            info.brokenRecords.emplace_back(problem.line, problem.reason.toStdString());
    }
    if (const std::optional<norvik::HexProblem> refusal = norvik::DownloadRefusal(check))
        info.refusal = norvik::DownloadRefusalText(path, *refusal).toStdString();
    try {
        const norvik::HexFileInfo read = norvik::ReadHexFileInfo(path);
        if (read.ok) {
            info.typeCode = read.typeCode.toInt();
            info.version = read.version.toStdString();
        } else {
            info.infoError = "no type code and version in the file";
        }
    } catch (const norvik::EConvertError &e) {
        info.infoError = e.what();
    }
    return info;
}

// --- the download -------------------------------------------------------------------------

// What the controller's thread reports to the Python thread waiting for the run.
struct DownloadState {
    struct Line {
        int position, total, resends;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Line> lines;
    std::vector<std::string> notes;
    bool finished = false;
    norvik::DownloadOutcome outcome = norvik::DownloadOutcome::Error;
    std::string error;
    Clock::time_point activity = Clock::now();
};

// The window's status line and progress bar, as the Python thread sees them.
class QueueSink : public norvik::DownloadSink {
public:
    explicit QueueSink(DownloadState &state) : m_state(state) {}

    void SetStatus(const QString &) override { Touch(); }
    void SetProgressRange(int, int maximum) override
    {
        m_total = maximum;
        Touch();
    }
    void SetProgress(int position) override
    {
        m_position = position;
        Touch();
    }
    void ShowResult(norvik::DownloadOutcome, const QString &) override { Touch(); }
    void ShowError(const QString &message) override
    {
        const std::lock_guard lock(m_state.mutex);
        m_state.error = message.toStdString();
    }
    void SetInputEnabled(bool) override { Touch(); }
    void LineSent(int, bool resend) override
    {
        if (resend)
            ++m_resends;
        const std::lock_guard lock(m_state.mutex);
        m_state.activity = Clock::now();
        m_state.lines.push_back({m_position, m_total, m_resends});
        m_state.changed.notify_all();
    }

private:
    void Touch()
    {
        const std::lock_guard lock(m_state.mutex);
        m_state.activity = Clock::now();
    }

    DownloadState &m_state;
    int m_total = 0;
    int m_position = 0;
    int m_resends = 0;
};

// The objects of one run, made, used and destroyed on the controller's thread.
struct DownloadRun {
    std::unique_ptr<QueueSink> sink;
    std::unique_ptr<norvik::DownloadSequence> sequence;
    std::unique_ptr<norvik::DownloadRecorder> recorder;
};


const char *OutcomeName(norvik::DownloadOutcome outcome)
{
    switch (outcome) {
    case norvik::DownloadOutcome::Success: return "success";
    case norvik::DownloadOutcome::Failure: return "failure";
    case norvik::DownloadOutcome::ControllerNotFound: return "controller-not-found";
    case norvik::DownloadOutcome::Aborted: return "interrupted";
    case norvik::DownloadOutcome::Error: break;
    }
    return "error";
}

class DownloadingFlag {
public:
    explicit DownloadingFlag(PyController &c) : m_c(c) { m_c.SetDownloading(true); }
    ~DownloadingFlag() { m_c.SetDownloading(false); }
    DownloadingFlag(const DownloadingFlag &) = delete;
    DownloadingFlag &operator=(const DownloadingFlag &) = delete;

private:
    PyController &m_c;
};

std::string Download(PyController &self, const std::string &pathText, py::object progress, bool inBootLoader,
                     int restartWait)
{
    if (restartWait < 0 || restartWait > 600000)
        throw norvik::EArgumentError("restart_wait: " + std::to_string(restartWait) +
                                     " is outside 0 to 600000 milliseconds");
    const QString path = QString::fromStdString(pathText);
    RequireFile(path);
    // A broken record would be answered "N" until the download stalls, leaving
    // the controller in its boot loader with half an image: refused before the
    // controller is switched over.
    if (const std::optional<norvik::HexProblem> problem = norvik::DownloadRefusal(norvik::CheckHexFile(path)))
        Raise("HexFileError", norvik::DownloadRefusalText(path, *problem).toStdString());
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw norvik::EArgumentError("progress: expected a callable progress(position, total, resends)");

    // A private work file: two runs (or the window) never overwrite each other's.
    QTemporaryDir workDir;
    if (!workDir.isValid())
        Raise("FileError", "cannot create a folder for the work file: " + workDir.errorString().toStdString());
    if (!self.Connected())
        self.Connect();

    DownloadState state;
    DownloadRun run;
    const QString workFile = workDir.filePath(QStringLiteral("temp.hex"));
    self.Call([&](TController &c) {
        run.sink = std::make_unique<QueueSink>(state);
        run.sequence = std::make_unique<norvik::DownloadSequence>(&c, run.sink.get());
        run.sequence->SetWorkFile(workFile);
        run.sequence->SetInBootLoader(inBootLoader);
        // The end letter is not the end: the row waits for the restart check.
        run.sequence->SetKeepLinkAfterSuccess(true);
        // Made before the ending's own handler: the history row is written as the run ends.
        run.recorder = std::make_unique<norvik::DownloadRecorder>(run.sequence.get(), &c);
        run.recorder->SetHoldAtEnd(true);
        QObject::connect(run.recorder.get(), &norvik::DownloadRecorder::writeFailed, [&state](const QString &why) {
            const std::lock_guard lock(state.mutex);
            state.notes.push_back("the upgrade history was not written: " + why.toStdString());
        });
        QObject::connect(run.sequence.get(), &norvik::DownloadSequence::finished, [&state](norvik::DownloadOutcome o) {
            const std::lock_guard lock(state.mutex);
            state.finished = true;
            state.outcome = o;
            state.changed.notify_all();
        });
        run.sequence->Start(path);
    });

    const DownloadingFlag downloading(self);
    std::optional<py::error_already_set> raised; // from the progress callback
    std::optional<Clock::time_point> stopAsked;
    auto stop = [&] {
        if (stopAsked)
            return;
        stopAsked = Clock::now();
        norvik::DownloadSequence *sequence = run.sequence.get();
        self.Thread().Post([sequence](TController &) { sequence->Abort(); });
    };
    bool finished = false;
    for (;;) {
        std::deque<DownloadState::Line> lines;
        std::vector<std::string> notes;
        Clock::time_point activity;
        {
            py::gil_scoped_release release;
            std::unique_lock lock(state.mutex);
            state.changed.wait_for(lock, kPollInterval, [&] { return state.finished || !state.lines.empty(); });
            lines.swap(state.lines);
            notes.swap(state.notes);
            finished = state.finished;
            activity = state.activity;
        }
        for (const std::string &note : notes)
            PyErr_WarnEx(PyExc_RuntimeWarning, note.c_str(), 1);
        for (const DownloadState::Line &line : lines) {
            if (progress.is_none() || raised)
                break;
            try {
                progress(line.position, line.total, line.resends);
            } catch (py::error_already_set &e) {
                // Ctrl-C may land while the callback runs: a stop like any other.
                if (!e.matches(PyExc_KeyboardInterrupt))
                    raised = std::move(e);
                stop();
            }
        }
        // Ctrl-C stops the run after the current line, as in norvik-ctl.
        if (PyErr_CheckSignals() != 0) {
            py::error_already_set signal;
            if (!signal.matches(PyExc_KeyboardInterrupt) && !raised)
                raised = std::move(signal);
            stop();
        }
        if (finished)
            break;
        const Clock::time_point now = Clock::now();
        if (!stopAsked && now - activity > kSilenceLimit)
            stop();
        if (stopAsked && now - *stopAsked > kAbortGrace)
            break;
    }

    // A run that never reported its end gets its history row here, and its link closed.
    // After the end letter a controller that restarts by itself answers with
    // the file's type code and version; a real one may wait in its boot loader
    // for its power to be switched off and on: then the outcome is
    // "downloaded", not "success".
    std::string outcome = OutcomeName(state.outcome);
    const bool ended = finished && state.outcome == norvik::DownloadOutcome::Success;
    {
        py::gil_scoped_release release; // the wait may take seconds: other threads go on
        self.Thread().Run([&](TController &c) {
            // A stall on the end-of-file line alone may be a complete download
            // whose end letters were lost: one read at least tells (a modem
            // call is hung up by then).
            const bool lostEnd = finished && state.outcome == norvik::DownloadOutcome::Failure &&
                                 run.sequence->EndUnanswered() && c.ConnectMethod() != cmModem;
            if (ended || lostEnd) {
                const norvik::HexFileInfo file = norvik::ReadHexFileInfo(path);
                norvik::VersionCheck check;
                const int wait = norvik::RestartCheckWait(restartWait, ended);
                if (file.ok && wait > 0)
                    check = norvik::AwaitFile(c, file, wait, norvik::kRestartPollMs, true, {});
                QString message;
                switch (check.state) {
                case norvik::VersionCheck::Verified:
                    outcome = "success";
                    run.recorder->Record().versionAfter = norvik::VersionString(check.version);
                    message = QStringLiteral("Download Successful; version %1 running").arg(norvik::VersionString(check.version));
                    if (lostEnd)
                        message += norvik::EndAnswerLostNote();
                    break;
                case norvik::VersionCheck::Mismatch:
                    outcome = "failure";
                    message = QStringLiteral("downloaded, but the controller came back with type code %1, version %2")
                                  .arg(check.typeCode)
                                  .arg(norvik::VersionString(check.version));
                    break;
                case norvik::VersionCheck::NoAnswer:
                case norvik::VersionCheck::Stopped:
                    if (lostEnd) {
                        message = norvik::EndUnansweredFailure(wait) +
                                  QStringLiteral("; the controller may have taken the whole image and wait for its "
                                                 "power to be switched off and on, or remain in its boot loader");
                        break;
                    }
                    outcome = "downloaded";
                    message = QStringLiteral("downloaded; the restart is pending: switch the controller off and on, "
                                             "then verify it");
                    break;
                }
                run.recorder->Finish(QString::fromStdString(outcome), message);
            } else if (finished && run.recorder->Open()) {
                run.recorder->Close(state.outcome, run.sequence->ResultText());
            }
            if (ended || lostEnd) {
                try {
                    c.Disconnect();
                } catch (...) {
                    // The outcome is known; the link is closed again by the next connect.
                }
            }
            if (!finished) {
                run.recorder->Close(stopAsked ? norvik::DownloadOutcome::Aborted : norvik::DownloadOutcome::Error,
                                    QStringLiteral("the download sequence stopped reporting"));
                try {
                    c.Disconnect();
                } catch (...) {
                    // The run is over either way; the link is closed again by the next connect.
                }
            }
            run.sequence.reset();
            run.recorder.reset();
            run.sink.reset();
        });
    }
    if (raised)
        throw *raised;
    if (!finished)
        Raise("DownloadError", "the download sequence stopped reporting; link closed. The controller may remain "
                               "in its boot loader: download again with in_bootloader=True, or switch its power "
                               "off and on, then download again.");
    if (state.outcome == norvik::DownloadOutcome::Error)
        Raise("DownloadError", state.error.empty() ? std::string("the download ended on an error") : state.error);
    return outcome;
}

} // namespace

void BindFirmware(py::module_ &m)
{
    py::class_<HexInfo>(m, "HexInfo", "What a firmware file holds and whether a download would take it.")
        .def_readonly("path", &HexInfo::path)
        .def_readonly("type_code", &HexInfo::typeCode, "Type code stored in the image; None when unreadable.")
        .def_readonly("version", &HexInfo::version, "Version stored in the image as text, \"2.10\"; None when unreadable.")
        .def_readonly("info_error", &HexInfo::infoError, "Why type code and version could not be read; empty when they could.")
        .def_readonly("records", &HexInfo::records, "Record lines (lines starting with ':').")
        .def_readonly("broken_records", &HexInfo::brokenRecords, "(line, reason) of every broken record line.")
        .def_readonly("problems", &HexInfo::problems, "(line, reason) of every problem; line 0 for the whole file.")
        .def_readonly("refusal", &HexInfo::refusal, "Why norvik.download refuses the file; None when it takes it.")
        .def("__repr__", [](const HexInfo &i) {
            return "HexInfo(path=" + py::repr(py::str(i.path)).cast<std::string>() +
                   ", type_code=" + (i.typeCode ? std::to_string(*i.typeCode) : "None") +
                   ", version=" + (i.version ? "'" + *i.version + "'" : "None") +
                   ", records=" + std::to_string(i.records) +
                   ", broken_records=" + std::to_string(i.brokenRecords.size()) + ")";
        });
    m.def("hex_info", [](py::object path) { return ReadHexInfo(py::str(path).cast<std::string>()); }, py::arg("path"),
          "Type code, version, record count and broken records of a firmware file.");
    m.def(
        "download",
        [](PyController &controller, py::object path, py::object progress, py::object inBootLoader, int restartWait) {
            return Download(controller, py::str(path).cast<std::string>(), progress,
                            Boolean(inBootLoader, "in_bootloader"), restartWait);
        },
        py::arg("controller"), py::arg("path"), py::arg("progress") = py::none(), py::arg("in_bootloader") = false,
        py::arg("restart_wait") = 5000,
        "Downloads a firmware file as the window does (connecting first when the link is closed; the link is "
        "closed at the end). progress(position, total, resends) is called after each line. After the end letter it "
        "waits up to restart_wait ms for the controller to answer with the file's type code and version. Returns "
        "\"success\" (verified), \"downloaded\" (the restart is pending: switch the controller off and on), "
        "\"failure\", \"controller-not-found\" or \"interrupted\" (Ctrl-C stops it after the current line).");
}

} // namespace pynorvik
