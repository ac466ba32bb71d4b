#pragma once
// Records every pause instead of sleeping, for tests of the engine's timing rules.
#include "common/Sleeper.h"

#include <vector>

namespace norvik::test {

class RecordingSleeper {
public:
    RecordingSleeper() : m_guard([this](int ms) { pauses.push_back(ms); }) {}
    std::vector<int> pauses;

private:
    ScopedSleeper m_guard;
};

} // namespace norvik::test
