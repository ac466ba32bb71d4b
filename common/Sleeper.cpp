#include "common/Sleeper.h"

#include <QThread>

namespace norvik {

namespace {
SleepFunction &currentSleeper()
{
    static SleepFunction sleeper;
    return sleeper;
}
} // namespace

void Sleep(int milliseconds)
{
    if (const SleepFunction &sleeper = currentSleeper())
        sleeper(milliseconds);
    else if (milliseconds > 0)
        QThread::msleep(static_cast<unsigned long>(milliseconds));
}

SleepFunction SetSleeper(SleepFunction sleeper)
{
    SleepFunction previous = std::move(currentSleeper());
    currentSleeper() = std::move(sleeper);
    return previous;
}

} // namespace norvik
