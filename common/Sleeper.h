#pragma once
// Every fixed pause of the engine, the links and the window goes through here,
// so that unit tests can record "paused 50 ms" instead of blocking.
#include <functional>

namespace norvik {

using SleepFunction = std::function<void(int milliseconds)>;

// Blocks the calling thread for the given time (nothing for 0 or less),
// through the installed sleeper.
void Sleep(int milliseconds);

// Installs a replacement; an empty function restores the real, blocking sleep.
// Returns the previous sleeper.
SleepFunction SetSleeper(SleepFunction sleeper);

// Installs a sleeper for the lifetime of the guard (tests).
class ScopedSleeper {
public:
    explicit ScopedSleeper(SleepFunction sleeper) : m_previous(SetSleeper(std::move(sleeper))) {}
    ~ScopedSleeper() { SetSleeper(std::move(m_previous)); }
    ScopedSleeper(const ScopedSleeper &) = delete;
    ScopedSleeper &operator=(const ScopedSleeper &) = delete;

private:
    SleepFunction m_previous;
};

} // namespace norvik
