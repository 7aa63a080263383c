#pragma once

// The one entry of every browser job: a driver path and its body in, one
// DriverResult out. The driver owns what jobs share: the work tab's job
// lock, the tool runner, the hand-over, the "needs you" notices, what it
// knows of the work's tabs and the kept DevTools connection. Never throws;
// every failure is a result with `ok` false.

#include "chrome/ChromeLaunch.h"
#include "driver/CallControl.h"
#include "driver/DriverResult.h"
#include "driver/Job.h"
#include "driver/KeptRunner.h"

#include "Dispatch.h"

#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane {

inline const QString companionQuittingText = QStringLiteral("Corvane Companion is quitting; the job did not run.");

// How the driver finds the user's Chrome: whether its debugging port answers,
// and starting it within a limit.
struct ChromeAccess {
    std::function<bool()> ready;
    std::function<ChromeReadiness(double limit)> start;

    // The Chrome on 127.0.0.1 that the companion starts when asked to.
    static ChromeAccess usersChrome();
};

struct Action;
struct ActionCall;

class Driver {
public:
    explicit Driver(std::unique_ptr<ToolRunner> runner = std::make_unique<KeptRunner>(),
                    Clock clock = platform::monotonicSeconds, ChromeAccess chrome = ChromeAccess::usersChrome());
    // Shuts down first.
    ~Driver();
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    // Runs synchronously on the caller's thread; may take many seconds. One
    // job at a time acts in the work tab: another one meanwhile gets the busy
    // text at once ("/health" and answering a dialog excepted).
    // `autostart`: may Chrome be started when its debugging port does not
    // answer. `control`: a long job (a hand-over) reports progress and may be
    // called off.
    DriverResult drive(const QString &path, const Body &body, bool autostart, const CallControl &control = {});

    // A job of the chat service: its own paths only. The local ones (a
    // hand-over waits for minutes) answer as unknown paths do.
    DriverResult driveChatJob(const QString &path, const Body &body);

    // Brings the tab the work is on to the front (the tray's "show the work
    // tab"): the one a popup led the work to, if so. False when there is none
    // to show, or it cannot be found while a job holds the work tab.
    bool showWorkTab();
    // The same on a thread of its own, for a caller that cannot wait; false
    // when none could start.
    bool showWorkTabSoon();

    bool handOverWaiting() const;
    // The person says they are done. False when no hand-over was waiting.
    bool handBack();
    void setHandOverListener(HandOverDesk::Listener listener);
    void setNeedsYouListener(NeedsYouNotices::Listener listener);

    // Quitting: a job that comes from now on is refused, a waiting hand-over
    // is called off, and this returns once every job in progress has ended
    // (each is bounded by the tool's time limits) and the kept DevTools
    // connection is closed.
    void shutdown();

private:
    class Call;

    DriverResult dispatch(const Action *action, const ActionCall &call, bool autostart);
    bool findAndShowWorkTab();

    const std::unique_ptr<ToolRunner> runner_;
    const ChromeAccess chrome_;
    DriverState state_;
    // Jobs take turns in the one work tab: a step of one never lands between
    // the steps of another. Only ever tried, like the runner's lock.
    std::mutex jobLock_;

    std::mutex callsMutex_;
    std::condition_variable callsEnded_;
    int calls_ = 0;
    bool closing_ = false;
};

// Read from the catalogue of actions:
// the paths that act in the browser (all but "/health", "/" and unknown ones);
bool isActionPath(const QString &path);
// the paths the chat service sends (others are not served on its channel);
bool isChatPath(const QString &path);
// what a request types into the page (a fill's text, a command's free
// text), kept out of the log by every channel that logs about the job.
QStringList requestTypedTexts(const QString &path, const Body &body);

} // namespace corvane
