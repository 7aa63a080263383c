#include "driver/HandOver.h"

#include "chrome/DevToolsSession.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"
#include "driver/ChallengeCheck.h"
#include "driver/Job.h"
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

// The tab the person needs, in front of their other tabs.
void bringToFront(const QString &targetId)
{
    companionLog(QStringLiteral("handover.front"), {{QStringLiteral("ok"), yesNo(bringTabForward(targetId))}});
}

bool pageAsksForPerson(Job &job)
{
    return needsYouOnPage(job, runText(job.run(snapshotArgs(), OutputReading::snapshot)));
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

void HandOverDesk::setListener(Listener listener)
{
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void HandOverDesk::tell(bool waiting, const QString &reason)
{
    Listener listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener)
        listener(waiting, reason);
}

bool HandOverDesk::waiting() const
{
    std::lock_guard lock(mutex_);
    return waiting_;
}

bool HandOverDesk::handBack()
{
    {
        std::lock_guard lock(mutex_);
        if (!waiting_)
            return false;
        handedBack_ = true;
    }
    changed_.notify_all();
    return true;
}

void HandOverDesk::close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

HandOverEnd HandOverDesk::waitForPerson(Job &job, double limit, bool pageAsked, const QString &reason,
                                        const CallControl &control)
{
    const double started = job.now();
    double nextCheck = started + pageCheckEvery;
    double nextProgress = started; // at once, then every few seconds
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::duration<double>(wakeEvery),
                              [this] { return handedBack_ || closed_; });
            if (handedBack_)
                return HandOverEnd::handedBack;
            if (closed_)
                return HandOverEnd::cancelled;
        }
        if (control.isCancelled())
            return HandOverEnd::cancelled;
        const double now = job.now();
        if (now - started >= limit)
            return HandOverEnd::timeUp;
        if (pageAsked && now >= nextCheck) {
            if (!pageAsksForPerson(job))
                return HandOverEnd::pageCleared;
            nextCheck = job.now() + pageCheckEvery;
        }
        if (now >= nextProgress) {
            control.tell(now - started, limit, QStringLiteral("Waiting for the person: ") + reason);
            nextProgress += handOverProgressEvery;
        }
    }
}

DriverResult HandOverDesk::handOver(Job &job, const QString &reason, double limit, const CallControl &control)
{
    DriverResult result;
    result.chrome = true;
    if (reason.trimmed().isEmpty()) {
        result.text = handOverNeedsReasonText;
        return result;
    }
    QString target;
    if (!focusWorkTabIfAny(job, nullptr, &target)) {
        result.text = noWorkTabText;
        return result;
    }
    limit = std::clamp(limit, 1.0, handOverLimit);
    const QString plain = plainNoticeText(reason);
    const QString shown = plain.size() > handOverReasonLimit ? plain.left(handOverReasonLimit) + QChar(0x2026) : plain;
    bringToFront(target);
    const bool pageAsked = pageAsksForPerson(job);
    {
        std::lock_guard lock(mutex_);
        waiting_ = true;
        handedBack_ = false;
    }
    companionLog(QStringLiteral("handover.start"), {{QStringLiteral("limit_s"), QString::number(limit)}});
    tell(true, shown);
    const HandOverEnd end = waitForPerson(job, limit, pageAsked, shown, control);
    {
        std::lock_guard lock(mutex_);
        waiting_ = false;
        handedBack_ = false;
    }
    tell(false, QString());
    companionLog(QStringLiteral("handover.end"), {{QStringLiteral("how"), endWord(end)}});

    result = finish(job, snapshotSettled(job, snapshotArgs()), true);
    result.text += QStringLiteral("\n\n") + handOverEndSentence(end, limit);
    if (end == HandOverEnd::timeUp || end == HandOverEnd::cancelled)
        result.ok = false;
    return result;
}

} // namespace corvane
