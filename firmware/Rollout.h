#pragma once
// What a rollout decides about one controller, shared by every program that
// downloads firmware from a script (norvik-ctl download and fleet, the Python
// module): whether the file belongs on it at all, and, once the boot loader
// has taken the last line, whether the controller came back running the file.
// A real controller may wait in its boot loader until its power is switched
// off and on, so a download that went through is not yet a verified one.
#include "firmware/HexFile.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class TController;
struct TControllerInfo;

namespace norvik {

// How one controller's part of a rollout ends.
enum class RolloutOutcome {
    Success,     // the controller answered with the file's type code and version
    Current,     // it already ran the file's version: nothing sent but reads
    Refused,     // another type code, an older version, or a file without them: nothing sent but reads
    Downloaded,  // the end letter came; the restart is pending (power off and on)
    Failure,
    Interrupted,
};

// "success", "current", "refused", "downloaded", "failure", "interrupted".
QString RolloutOutcomeName(RolloutOutcome outcome);

// What the user allowed on top of a plain upgrade.
struct RolloutOverrides {
    bool allowOtherType = false; // a file of another type code, or one without type code and version
    bool allowOlder = false;     // a file older than the controller's firmware
    bool allowReinstall = false; // the version the controller already runs
};

struct RolloutDecision {
    bool download = false;   // go on with the jump to the boot loader
    RolloutOutcome outcome = RolloutOutcome::Refused; // Current or Refused when not
    QString message;         // why not (names the override), or what will happen
};

// The file's type code and version against the controller's, read just before.
RolloutDecision DecideRollout(const HexFileInfo &file, std::uint16_t typeCode, std::uint16_t version,
                              const RolloutOverrides &overrides);

// 0x020A for "2.10"; nothing for a text that is not MAJOR.MINOR (0..255 each).
std::optional<std::uint16_t> VersionNumber(const QString &text);
// "2.10" for 0x020A: the major and minor numbers in decimal.
QString VersionString(std::uint16_t version);
// Type code and version both equal the file's.
bool RunsFile(const HexFileInfo &file, std::uint16_t typeCode, std::uint16_t version);

// Read-only exchanges, asked again (up to `tries` times in all) when no whole
// answer came: on the network a lost datagram is common and harmless to repeat.
bool ReadInfo(TController &controller, TControllerInfo &info, int tries);
bool ReadSn(TController &controller, std::uint8_t *sn, int tries);

// One look at a controller that should run the file.
struct VersionCheck {
    enum State { Verified, Mismatch, NoAnswer, Stopped } state = NoAnswer;
    std::uint16_t typeCode = 0, version = 0; // what it answered (Verified, Mismatch)
    // It answered a framed read, so it has left its boot loader.
    bool Answered() const { return state == Verified || state == Mismatch; }
};

// How often the restart check reads while a controller restarts after its end
// letter (a real one may first wait for its power to be switched off and on).
constexpr int kRestartPollMs = 500;

// The restart check's wait after the last line. endAnswered false: the run
// stalled on its end-of-file line alone (DownloadSequence::EndUnanswered),
// and the letters may only have been lost: one read goes out whatever the wait.
int RestartCheckWait(int restartWaitMs, bool endAnswered);
// Added to the success message when the check found the file running after such a stall.
QString EndAnswerLostNote();
// How the failure message starts when nothing answered that check.
QString EndUnansweredFailure(int waitMs);

// Reads the controller's info (connecting first) every `pollMs` until it runs
// the file or `waitMs` have passed since the call; the first read goes at once.
// waitMs 0 reads nothing and gives NoAnswer. `stop` (may be empty) ends the
// wait early with Stopped. With stopOnMismatch a controller that answers with
// anything else ends the wait at once: one that restarted into its old image.
// `seen` (may be empty) hears every read's result.
VersionCheck AwaitFile(TController &controller, const HexFileInfo &file, int waitMs, int pollMs, bool stopOnMismatch,
                       const std::function<bool()> &stop, const std::function<void(const VersionCheck &)> &seen = {});

} // namespace norvik
