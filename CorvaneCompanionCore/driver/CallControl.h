#pragma once

// What a caller that waits on a long job may do meanwhile: hear how it goes,
// and call it off. Jobs that take seconds ignore both.

#include <QString>

#include <functional>

namespace corvane {

struct CallControl {
    // Seconds waited so far, the most it may wait, and what it waits for.
    std::function<void(double waited, double limit, const QString &message)> progress;
    // True once the caller no longer wants the answer.
    std::function<bool()> cancelled;

    void tell(double waited, double limit, const QString &message) const
    {
        if (progress)
            progress(waited, limit, message);
    }
    bool isCancelled() const { return cancelled && cancelled(); }
};

} // namespace corvane
