#pragma once

#include "Dispatch.h"

#include <QCoreApplication>

namespace corvane::test {

// Polls `done` until it holds or `seconds` pass, calling `between` after each
// miss; true when it holds.
template <class Condition, class Between> bool pollUntil(Condition done, double seconds, Between between)
{
    const double deadline = platform::monotonicSeconds() + seconds;
    while (!done()) {
        if (platform::monotonicSeconds() > deadline)
            return false;
        between();
    }
    return true;
}

template <class Condition> bool eventually(Condition done, double seconds = 10.0)
{
    return pollUntil(done, seconds, [] { platform::sleepFor(0.02); });
}

// The same for code that lives on this thread's event loop: events are
// handled while waiting.
template <class Condition> bool eventuallyHandlingEvents(Condition done, double seconds = 10.0)
{
    return pollUntil(done, seconds, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        platform::sleepFor(0.005);
    });
}

} // namespace corvane::test
