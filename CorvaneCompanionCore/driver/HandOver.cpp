#include "driver/HandOver.h"

#include "chrome/DevToolsSession.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"
#include "driver/AgentRunner.h"
#include "driver/ChallengeCheck.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageView.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"

#include <QJsonObject>

#include <condition_variable>
#include <mutex>

namespace corvane {

namespace {

constexpr double pageCheckEvery = 3.0;
constexpr double wakeEvery = 0.25;

struct HandOverState {
    std::mutex mutex;
    std::condition_variable changed;
    std::function<void(bool, const QString &)> listener;
    bool waiting = false;
    bool handedBack = false;
};

HandOverState &shared()
{
    static HandOverState state;
    return state;
}

void tellListener(bool waiting, const QString &reason)
{
    std::function<void(bool, const QString &)> listener;
    {
        std::lock_guard lock(shared().mutex);
        listener = shared().listener;
    }
    if (listener)
        listener(waiting, reason);
}

// The tab the person needs, in front of their other tabs.
void bringToFront(const QString &targetId)
{
    companionLog(QStringLiteral("handover.front"), {{QStringLiteral("ok"), yesNo(bringTabForward(targetId))}});
}

bool pageAsksForPerson()
{
    return needsYouOnPage(runText(runOnActivePort(snapshotArgs(), OutputReading::snapshot)));
}

QString endWord(HandOverEnd end)
{
    switch (end) {
    case HandOverEnd::handedBack:
        return QStringLiteral("handed-back");
    case HandOverEnd::pageCleared:
        return QStringLiteral("page-cleared");
    case HandOverEnd::timeUp:
        return QStringLiteral("time-up");
    case HandOverEnd::cancelled:
        return QStringLiteral("cancelled");
    }
    return {};
}

HandOverEnd waitForPerson(double limit, bool pageAsked, const QString &reason, const CallControl &control)
{
    const double started = platform::monotonicSeconds();
    double nextCheck = started + pageCheckEvery;
    double nextProgress = started; // at once, then every few seconds
    for (;;) {
        {
            std::unique_lock lock(shared().mutex);
            shared().changed.wait_for(lock, std::chrono::duration<double>(wakeEvery),
                                      [] { return shared().handedBack; });
            if (shared().handedBack)
                return HandOverEnd::handedBack;
        }
        if (control.isCancelled())
            return HandOverEnd::cancelled;
        const double now = platform::monotonicSeconds();
        if (now - started >= limit)
            return HandOverEnd::timeUp;
        if (pageAsked && now >= nextCheck) {
            if (!pageAsksForPerson())
                return HandOverEnd::pageCleared;
            nextCheck = platform::monotonicSeconds() + pageCheckEvery;
        }
        if (now >= nextProgress) {
            control.tell(now - started, limit, QStringLiteral("Waiting for the person: ") + reason);
            nextProgress += handOverProgressEvery;
        }
    }
}

} // namespace

QString handOverEndSentence(HandOverEnd end, double limit)
{
    switch (end) {
    case HandOverEnd::handedBack:
        return QStringLiteral("The person handed the browser back.");
    case HandOverEnd::pageCleared:
        return QStringLiteral("The page no longer asks for a person.");
    case HandOverEnd::timeUp:
        return QStringLiteral("The person did not hand the browser back within %1 seconds.").arg(limit);
    case HandOverEnd::cancelled:
        return QStringLiteral("The hand-over was called off before the person handed the browser back.");
    }
    return {};
}

void setHandOverListener(std::function<void(bool, const QString &)> listener)
{
    std::lock_guard lock(shared().mutex);
    shared().listener = std::move(listener);
}

bool handOverWaiting()
{
    std::lock_guard lock(shared().mutex);
    return shared().waiting;
}

bool handBack()
{
    {
        std::lock_guard lock(shared().mutex);
        if (!shared().waiting)
            return false;
        shared().handedBack = true;
    }
    shared().changed.notify_all();
    return true;
}

DriverResult handOver(const QString &reason, double limit, const CallControl &control)
{
    DriverResult result;
    result.chrome = true;
    if (reason.trimmed().isEmpty()) {
        result.text = handOverNeedsReasonText;
        return result;
    }
    QString target;
    if (!focusWorkTabIfAny(nullptr, &target)) {
        result.text = noWorkTabText;
        return result;
    }
    limit = std::clamp(limit, 1.0, handOverLimit);
    const QString plain = plainNoticeText(reason);
    const QString shown = plain.size() > handOverReasonLimit ? plain.left(handOverReasonLimit) + QChar(0x2026) : plain;
    bringToFront(target);
    const bool pageAsked = pageAsksForPerson();
    {
        std::lock_guard lock(shared().mutex);
        shared().waiting = true;
        shared().handedBack = false;
    }
    companionLog(QStringLiteral("handover.start"), {{QStringLiteral("limit_s"), QString::number(limit)}});
    tellListener(true, shown);
    const HandOverEnd end = waitForPerson(limit, pageAsked, shown, control);
    {
        std::lock_guard lock(shared().mutex);
        shared().waiting = false;
        shared().handedBack = false;
    }
    tellListener(false, QString());
    companionLog(QStringLiteral("handover.end"), {{QStringLiteral("how"), endWord(end)}});

    result = finish(snapshotSettled(snapshotArgs()), true);
    result.text += QStringLiteral("\n\n") + handOverEndSentence(end, limit);
    if (end == HandOverEnd::timeUp || end == HandOverEnd::cancelled)
        result.ok = false;
    return result;
}

} // namespace corvane
