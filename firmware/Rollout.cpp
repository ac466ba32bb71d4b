#include "firmware/Rollout.h"

#include "component/Controller.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QThread>

#include <algorithm>

namespace norvik {

namespace {

// Slices of a wait, so that a stop request is seen within this time.
constexpr int kSliceMs = 50;

bool Wait(qint64 ms, const std::function<bool()> &stop)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        if (stop && stop())
            return false;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(kSliceMs, ms - clock.elapsed())));
    }
    return !(stop && stop());
}

} // namespace

QString RolloutOutcomeName(RolloutOutcome outcome)
{
    switch (outcome) {
    case RolloutOutcome::Success: return QStringLiteral("success");
    case RolloutOutcome::Current: return QStringLiteral("current");
    case RolloutOutcome::Refused: return QStringLiteral("refused");
    case RolloutOutcome::Downloaded: return QStringLiteral("downloaded");
    case RolloutOutcome::Failure: return QStringLiteral("failure");
    case RolloutOutcome::Interrupted: return QStringLiteral("interrupted");
    }
    return QStringLiteral("failure");
}

std::optional<std::uint16_t> VersionNumber(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 2)
        return std::nullopt;
    bool majorOk = false;
    bool minorOk = false;
    const uint major = parts[0].toUInt(&majorOk);
    const uint minor = parts[1].toUInt(&minorOk);
    if (!majorOk || !minorOk || major > 255 || minor > 255)
        return std::nullopt;
    return static_cast<std::uint16_t>(major << 8 | minor);
}

QString VersionString(std::uint16_t version)
{
    return QStringLiteral("%1.%2").arg(version >> 8).arg(version & 0xFF);
}

bool RunsFile(const HexFileInfo &file, std::uint16_t typeCode, std::uint16_t version)
{
    const std::optional<std::uint16_t> fileVersion = VersionNumber(file.version);
    return file.ok && fileVersion && file.typeCode == QString::number(typeCode) && *fileVersion == version;
}

RolloutDecision DecideRollout(const HexFileInfo &file, std::uint16_t typeCode, std::uint16_t version,
                              const RolloutOverrides &overrides)
{
    RolloutDecision d;
    const QString theirs = QStringLiteral("type code %1, version %2").arg(typeCode).arg(VersionString(version));
    const std::optional<std::uint16_t> fileVersion = file.ok ? VersionNumber(file.version) : std::nullopt;
    if (!fileVersion) {
        d.download = overrides.allowOtherType;
        d.message = d.download ? QStringLiteral("the file carries no type code and version; downloading as "
                                                "--allow-other-type asks")
                               : QStringLiteral("refused: the file carries no type code and version, so nothing shows "
                                                "it belongs on this controller (%1); give --allow-other-type to "
                                                "download it all the same")
                                     .arg(theirs);
        return d;
    }
    const QString ours = QStringLiteral("type code %1, version %2").arg(file.typeCode, file.version);
    if (file.typeCode != QString::number(typeCode) && !overrides.allowOtherType) {
        d.message = QStringLiteral("refused: the file has type code %1, the controller type code %2; give "
                                   "--allow-other-type to download it all the same")
                        .arg(file.typeCode)
                        .arg(typeCode);
        return d;
    }
    if (*fileVersion < version && !overrides.allowOlder) {
        d.message = QStringLiteral("refused: the file's version %1 is older than the controller's %2; give "
                                   "--allow-older to download it all the same")
                        .arg(file.version, VersionString(version));
        return d;
    }
    if (RunsFile(file, typeCode, version) && !overrides.allowReinstall) {
        d.outcome = RolloutOutcome::Current;
        d.message = QStringLiteral("already runs %1; nothing to do (--allow-reinstall downloads it again)").arg(ours);
        return d;
    }
    d.download = true;
    d.message = QStringLiteral("%1 -> %2").arg(theirs, ours);
    return d;
}

bool ReadInfo(TController &controller, TControllerInfo &info, int tries)
{
    for (int i = 0; i < std::max(tries, 1); ++i)
        if (controller.GetControllerInfo(info))
            return true;
    return false;
}

bool ReadSn(TController &controller, std::uint8_t *sn, int tries)
{
    for (int i = 0; i < std::max(tries, 1); ++i)
        if (controller.GetControllerSN(sn))
            return true;
    return false;
}

int RestartCheckWait(int restartWaitMs, bool endAnswered)
{
    return endAnswered ? restartWaitMs : std::max(restartWaitMs, 1);
}

QString EndAnswerLostNote()
{
    return QStringLiteral(" (the answer to the end-of-file line was lost)");
}

QString EndUnansweredFailure(int waitMs)
{
    return QStringLiteral("Download Failure: the end-of-file line got no answer, nor did a read within %1 ms").arg(waitMs);
}

VersionCheck AwaitFile(TController &controller, const HexFileInfo &file, int waitMs, int pollMs, bool stopOnMismatch,
                       const std::function<bool()> &stop, const std::function<void(const VersionCheck &)> &seen)
{
    VersionCheck check;
    if (waitMs <= 0)
        return check;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (stop && stop()) {
            check.state = VersionCheck::Stopped;
            return check;
        }
        const qint64 readStarted = clock.elapsed();
        TControllerInfo info;
        if (controller.Connect()) {
            if (controller.GetControllerInfo(info)) {
                check.typeCode = info.TypeCode;
                check.version = info.Version;
                check.state = RunsFile(file, info.TypeCode, info.Version) ? VersionCheck::Verified : VersionCheck::Mismatch;
            } else {
                check.state = VersionCheck::NoAnswer;
            }
        }
        if (seen)
            seen(check);
        if (check.state == VersionCheck::Verified || (stopOnMismatch && check.state == VersionCheck::Mismatch))
            return check;
        const qint64 next = readStarted + pollMs;
        if (next >= waitMs)
            return check;
        if (!Wait(next - clock.elapsed(), stop)) {
            check.state = VersionCheck::Stopped;
            return check;
        }
    }
}

} // namespace norvik
