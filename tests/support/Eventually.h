#pragma once

#include "Dispatch.h"

namespace corvane::test {

// Polls `done` until it holds or `seconds` pass; true when it holds.
template <class Condition>
bool eventually(Condition done, double seconds = 10.0)
{
    const double deadline = platform::monotonicSeconds() + seconds;
    while (!done()) {
        if (platform::monotonicSeconds() > deadline)
            return false;
        platform::sleepFor(0.02);
    }
    return true;
}

} // namespace corvane::test
