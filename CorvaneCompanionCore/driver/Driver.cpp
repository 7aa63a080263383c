#include "driver/Driver.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/JobActivity.h"
#include "driver/Actions.h"
#include "driver/HandOver.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageDialog.h"
#include "driver/PageView.h"
#include "driver/Steps.h"
#include "driver/ToolBatch.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"

#include <mutex>

namespace corvane {

namespace {

constexpr double chromeStartTimeout = 8.0;

DriverResult chromeFailure(const QString &text)
{
    DriverResult result;
    result.text = text;
    return result;
}

// A job in progress counts as browser activity, whichever channel brought it.
class ActiveJob {
public:
    ActiveJob() { jobStarted(); }
    ~ActiveJob() { jobEnded(); }
    ActiveJob(const ActiveJob &) = delete;
    ActiveJob &operator=(const ActiveJob &) = delete;
};

} // namespace

ChromeAccess ChromeAccess::usersChrome()
{
    return {[] { return chromeIsReady(QStringLiteral("127.0.0.1")); }, ensureChromeReady};
}

// A job the driver has taken: shutdown() waits until every one has ended.
class Driver::Call {
public:
    explicit Call(Driver &driver)
        : driver_(driver)
    {
        std::lock_guard lock(driver_.callsMutex_);
        taken_ = !driver_.closing_;
        if (taken_)
            ++driver_.calls_;
    }
    ~Call()
    {
        if (!taken_)
            return;
        std::lock_guard lock(driver_.callsMutex_);
        if (--driver_.calls_ == 0)
            driver_.callsEnded_.notify_all();
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    bool taken() const { return taken_; }

private:
    Driver &driver_;
    bool taken_ = false;
};

Driver::Driver(std::unique_ptr<ToolRunner> runner, Clock clock, ChromeAccess chrome)
    : runner_(std::move(runner))
    , chrome_(std::move(chrome))
    , state_(std::move(clock))
{
}

Driver::~Driver()
{
    shutdown();
}

void Driver::shutdown()
{
    std::unique_lock lock(callsMutex_);
    closing_ = true;
    state_.handOver.close();
    callsEnded_.wait(lock, [this] { return calls_ == 0; });
    state_.kept.drop();
}

DriverResult Driver::dispatch(const Action *action, const ActionCall &call, bool autostart)
{
    if (!call.chromeReady) {
        if (!autostart)
            return chromeFailure(chromeOffText);
        const ChromeReadiness started = chrome_.start(chromeStartTimeout);
        if (!started.ready)
            return chromeFailure(started.text);
    }
    if (!action)
        return refusal(notFoundText);
    if (missesArgument(*action, call.body))
        return refusal(action->refusal);
    switch (action->run) {
    case ActionRun::checked:
        return checkedStep(call.job, action->command(call.body));
    case ActionRun::watched:
        return watchedStep(call.job, action->command(call.body));
    case ActionRun::free:
    case ActionRun::reads:
    case ActionRun::own:
        break;
    }
    return action->handler(call);
}

bool isChatPath(const QString &path)
{
    const Action *action = findAction(path);
    return action && action->chat;
}

bool isActionPath(const QString &path)
{
    const Action *action = findAction(path);
    return action && action->path != QLatin1String("/health");
}

QStringList requestTypedTexts(const QString &path, const Body &body)
{
    const Action *action = findAction(path);
    if (!action)
        return {};
    QStringList texts;
    for (const ActionArg &arg : action->args) {
        if (arg.typed == ArgTyped::whole)
            texts.append(body.value(arg.name));
        else if (arg.typed == ArgTyped::freeTexts) {
            const QStringList args = cliArgs(body);
            for (const qsizetype position : freeTextPositions(args))
                texts.append(args[position]);
        }
    }
    return texts;
}

DriverResult Driver::drive(const QString &path, const Body &body, bool autostart, const CallControl &control)
{
    const Call taken(*this);
    if (!taken.taken())
        return chromeFailure(companionQuittingText);
    // What the job types stays out of the log, whatever event would show it.
    const LogMask mask(requestTypedTexts(path, body));
    const bool ready = chrome_.ready();
    companionLog(QStringLiteral("drive"),
                 {{QStringLiteral("path"), path},
                  {QStringLiteral("chrome"), onOff(ready)},
                  {QStringLiteral("ref"), body.value(QStringLiteral("ref"))},
                  {QStringLiteral("url"), body.value(QStringLiteral("url"))}});

    const Action *action = findAction(path);
    if (action && action->run == ActionRun::free) {
        DialogWatch unarmed(false);
        Job job(*runner_, state_, unarmed);
        return action->handler({job, body, control, ready});
    }

    // Answering the dialog is the one thing that must run while it is open,
    // also while the job it stopped still holds the work tab; but a dialog
    // that comes while the person has the browser is theirs to answer.
    const bool dialogAnswer = path == QLatin1String("/cli") && answersDialog(body);
    std::unique_lock turn(jobLock_, std::defer_lock);
    if ((dialogAnswer && handOverWaiting()) || (!dialogAnswer && !turn.try_lock())) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), path}});
        DriverResult busy;
        busy.text = handOverWaiting() ? personHasBrowserText : agentBusyText;
        busy.chrome = ready;
        return busy;
    }
    const ActiveJob active;
    // The person answers dialogs themselves while they have the browser.
    DialogWatch watch(!dialogAnswer && path != QLatin1String("/hand-over"));
    Job job(*runner_, state_, watch);
    DriverResult result = dispatch(action, {job, body, control, ready}, autostart);
    if (const std::optional<PageDialog> &dialog = watch.seen()) {
        companionLog(QStringLiteral("dialog.blocking"), {{QStringLiteral("kind"), dialog->kind}});
        result = refusal(dialogText(*dialog));
        result.dialog = DialogInfo {dialog->kind, dialog->message};
    }
    state_.notices.noticeIfNeeded(job, result);
    return result;
}

bool Driver::findAndShowWorkTab()
{
    QString target = lastWorkTarget(state_.tabs);
    if (!target.isEmpty() && bringTabForward(target))
        return true;
    // Finding it runs the tool in the work tab: only between jobs.
    std::unique_lock turn(jobLock_, std::try_to_lock);
    if (!turn.owns_lock())
        return false;
    DialogWatch unarmed(false);
    Job job(*runner_, state_, unarmed);
    return focusWorkTabIfAny(job, nullptr, &target);
}

bool Driver::showWorkTab()
{
    const Call taken(*this);
    return taken.taken() && findAndShowWorkTab();
}

bool Driver::showWorkTabSoon()
{
    // Taken here, so that shutdown() waits for the thread too.
    auto taken = std::make_shared<Call>(*this);
    return taken->taken() && platform::runInBackground([this, taken = std::move(taken)] { findAndShowWorkTab(); });
}

bool Driver::handOverWaiting() const
{
    return state_.handOver.waiting();
}

bool Driver::handBack()
{
    return state_.handOver.handBack();
}

void Driver::setHandOverListener(HandOverDesk::Listener listener)
{
    state_.handOver.setListener(std::move(listener));
}

void Driver::setNeedsYouListener(NeedsYouNotices::Listener listener)
{
    state_.notices.setListener(std::move(listener));
}

DriverResult Driver::driveChatJob(const QString &path, const Body &body)
{
    if (!isActionPath(path) || isChatPath(path))
        return drive(path, body, true);
    companionLog(QStringLiteral("drive"),
                 {{QStringLiteral("path"), path}, {QStringLiteral("served"), QStringLiteral("no")}});
    DriverResult result = refusal(notFoundText);
    result.chrome = chrome_.ready();
    return result;
}

} // namespace corvane
