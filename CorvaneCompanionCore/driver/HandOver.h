#pragma once

// Handing the browser to the person for a step only they can do (a check, a
// captcha, a second factor): the work tab comes to the front, they are told
// why, and the job waits until they hand it back, the page stops asking for
// a person, the caller gives up, or the time is up. Meanwhile other jobs are
// told that the person has the browser.

#include "driver/CallControl.h"
#include "driver/DriverResult.h"

#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace corvane {

inline constexpr double handOverLimit = 600.0;
inline constexpr double handOverProgressEvery = 5.0;
// A reason is shown to the person in a notification: a few lines at most.
inline constexpr qsizetype handOverReasonLimit = 300;

inline const QString handBackTitle = QStringLiteral("Done \u2014 hand back to Corvane");
inline const QString personHasBrowserText = QStringLiteral(
    "The person has the browser: Corvane handed it to them and waits until they hand it back. Try again "
    "after that.");
inline const QString handOverNeedsReasonText = QStringLiteral("hand-over needs a reason.");
inline const QString noHandOverText = QStringLiteral("No hand-over is waiting.");

enum class HandOverEnd { handedBack, pageCleared, timeUp, cancelled };

// What the result says about how the wait ended.
QString handOverEndSentence(HandOverEnd end, double limit);

class Job;

// The driver's one hand-over: whether one waits, and the person's word.
class HandOverDesk {
public:
    using Listener = std::function<void(bool waiting, const QString &reason)>;

    // Told on the job's thread when a hand-over starts waiting (with its
    // reason) and when it ends (with an empty reason); the person hears the
    // reason and gets a way to hand back.
    void setListener(Listener listener);

    bool waiting() const;
    // The person says they are done. False when no hand-over was waiting.
    bool handBack();
    // The companion is quitting: a waiting hand-over ends as called off, and
    // none starts any more.
    void close();

    // Runs the hand-over in the work tab (the caller holds the work tab's
    // job lock); `limit` is capped at handOverLimit.
    DriverResult handOver(Job &job, const QString &reason, double limit, const CallControl &control);

private:
    HandOverEnd waitForPerson(Job &job, double limit, bool pageAsked, const QString &reason,
                              const CallControl &control);
    void tell(bool waiting, const QString &reason);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Listener listener_;
    bool waiting_ = false;
    bool handedBack_ = false;
    bool closed_ = false;
};

} // namespace corvane
