#include "driver/Drive.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/JobActivity.h"
#include "driver/Actions.h"
#include "driver/AgentRunner.h"
#include "driver/HandOver.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageDialog.h"
#include "driver/PageView.h"
#include "driver/Steps.h"
#include "driver/ToolBatch.h"
#include "driver/WorkTab.h"

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

DriverResult dispatch(const Action *action, const ActionCall &call, bool autostart)
{
    if (!call.chromeReady) {
        if (!autostart)
            return chromeFailure(chromeOffText);
        const ChromeReadiness started = ensureChromeReady(chromeStartTimeout);
        if (!started.ready)
            return chromeFailure(started.text);
    }
    if (!action)
        return refusal(notFoundText);
    if (missesArgument(*action, call.body))
        return refusal(action->refusal);
    switch (action->run) {
    case ActionRun::checked:
        return checkedStep(action->command(call.body));
    case ActionRun::watched:
        return watchedStep(action->command(call.body));
    case ActionRun::free:
    case ActionRun::reads:
    case ActionRun::own:
        break;
    }
    return action->handler(call);
}

// Jobs take turns in the one work tab: a step of one never lands between
// the steps of another. Only ever tried, like the runner's lock.
std::mutex &workTabJobLock()
{
    static std::mutex lock;
    return lock;
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

DriverResult drive(const QString &path, const Body &body, bool autostart, const CallControl &control)
{
    // What the job types stays out of the log, whatever event would show it.
    const LogMask mask(requestTypedTexts(path, body));
    const bool ready = chromeIsReady(QStringLiteral("127.0.0.1"));
    companionLog(QStringLiteral("drive"),
                 {{QStringLiteral("path"), path},
                  {QStringLiteral("chrome"), onOff(ready)},
                  {QStringLiteral("ref"), body.value(QStringLiteral("ref"))},
                  {QStringLiteral("url"), body.value(QStringLiteral("url"))}});

    const Action *action = findAction(path);
    const ActionCall call {body, control, ready};
    if (action && action->run == ActionRun::free)
        return action->handler(call);

    // Answering the dialog is the one thing that must run while it is open,
    // also while the job it stopped still holds the work tab; but a dialog
    // that comes while the person has the browser is theirs to answer.
    const bool dialogAnswer = path == QLatin1String("/cli") && answersDialog(body);
    std::unique_lock job(workTabJobLock(), std::defer_lock);
    if ((dialogAnswer && handOverWaiting()) || (!dialogAnswer && !job.try_lock())) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), path}});
        DriverResult busy;
        busy.text = handOverWaiting() ? personHasBrowserText : agentBusyText;
        busy.chrome = ready;
        return busy;
    }
    const ActiveJob active;
    // The person answers dialogs themselves while they have the browser.
    DialogWatch watch(!dialogAnswer && path != QLatin1String("/hand-over"));
    DriverResult result = dispatch(action, call, autostart);
    if (const std::optional<PageDialog> &dialog = watch.seen()) {
        companionLog(QStringLiteral("dialog.blocking"), {{QStringLiteral("kind"), dialog->kind}});
        result = refusal(dialogText(*dialog));
        result.dialog = DialogInfo {dialog->kind, dialog->message};
    }
    noticeIfNeedsYou(result);
    return result;
}

bool showWorkTab()
{
    QString target = lastWorkTarget();
    if (!target.isEmpty() && bringTabForward(target))
        return true;
    // Finding it runs the tool in the work tab: only between jobs.
    std::unique_lock job(workTabJobLock(), std::try_to_lock);
    return job.owns_lock() && focusWorkTabIfAny(nullptr, &target);
}

DriverResult driveChatJob(const QString &path, const Body &body)
{
    if (!isActionPath(path) || isChatPath(path))
        return drive(path, body, true);
    companionLog(QStringLiteral("drive"),
                 {{QStringLiteral("path"), path}, {QStringLiteral("served"), QStringLiteral("no")}});
    DriverResult result = refusal(notFoundText);
    result.chrome = chromeIsReady(QStringLiteral("127.0.0.1"));
    return result;
}

} // namespace corvane
