#include "driver/Steps.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"
#include "driver/ActionWatch.h"
#include "driver/AgentRunner.h"
#include "driver/ChallengeCheck.h"
#include "driver/CliParsing.h"
#include "driver/CliPolicy.h"
#include "driver/HandOver.h"
#include "driver/Job.h"
#include "driver/LocalTargets.h"
#include "driver/PageDialog.h"
#include "driver/PageSettle.h"
#include "driver/PageView.h"
#include "driver/ToolBatch.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"

#include <cmath>
#include <functional>
#include <future>

namespace corvane {

namespace {

constexpr double navigatePause = 0.3;

using WorkTabAction = std::function<DriverResult(const QString &workTarget)>;

DriverResult onWorkTab(Job &job, const WorkTabAction &action)
{
    QString target;
    return focusWorkTabIfAny(job, nullptr, &target) ? action(target) : refusal(noWorkTabText);
}

// After an action that may have made the page open a tab: the work follows
// it there. `listingAfter`: the listing the action's reads took, if any.
DriverResult followingNewTabs(Job &job, DriverResult result, const QStringList &listedBefore,
                              const std::optional<QString> &listingAfter)
{
    if (const std::optional<QString> url = followNewTab(job, listedBefore, listingAfter)) {
        result.text += QStringLiteral("\n\n") + newTabFollowedText;
        result.newTabUrl = *url;
    }
    return result;
}

// Starts watching the work tab; the watch is ready once the future is.
std::future<std::unique_ptr<ActionWatch>> startWatch(Job &job, const QString &workTarget)
{
    return std::async(std::launch::async,
                      [&kept = job.kept(), port = activeChromePort(false),
                       workTarget]() -> std::unique_ptr<ActionWatch> {
                          // A library's exception (no memory, a thread refused) costs the
                          // action its watch, never the companion.
                          try {
                              return std::make_unique<ActionWatch>(kept, port, workTarget);
                          } catch (const std::exception &error) {
                              companionLog(QStringLiteral("watch.fail"),
                                           {{QStringLiteral("error"), QString::fromLocal8Bit(error.what())}});
                              return nullptr;
                          }
                      });
}

// The action with the page watched from just before it to after it settled.
// No watch was started (the work tab's target is not known): the action
// goes on unwatched.
std::unique_ptr<ActionWatch> readyWatch(std::future<std::unique_ptr<ActionWatch>> &watching)
{
    return watching.valid() ? watching.get() : nullptr;
}

DriverResult watchedAction(Job &job, const QStringList &args, std::future<std::unique_ptr<ActionWatch>> watching,
                           std::optional<QString> *listingAfter = nullptr)
{
    const std::unique_ptr<ActionWatch> watch = readyWatch(watching);
    return afterAction(job, job.run(args, OutputReading::action), watch.get(), listingAfter);
}

// A step that has run already, read as the watch sees the page after it.
DriverResult watchedAction(Job &job, const ToolRun &ran, std::future<std::unique_ptr<ActionWatch>> watching,
                           SettleFrom from)
{
    const std::unique_ptr<ActionWatch> watch = readyWatch(watching);
    return afterAction(job, ran, watch.get(), nullptr, from);
}

} // namespace

DriverResult refusal(const QString &text)
{
    DriverResult result;
    result.text = text;
    result.chrome = true;
    return result;
}

DriverResult checkedStep(Job &job, const QStringList &args)
{
    // The watch connects while the page is checked, on the tab that was the
    // work tab last time; it starts again should that have changed.
    const QString lastTarget = lastWorkTarget(job.tabs());
    std::future<std::unique_ptr<ActionWatch>> watching;
    if (!lastTarget.isEmpty())
        watching = startWatch(job, lastTarget);
    QStringList listed;
    QString target;
    const std::optional<QList<ToolRun>> checked
        = readOnWorkTab(job, {{snapshotArgs(), OutputReading::snapshot}}, toolRunLimit, &listed, &target);
    if (!checked)
        return refusal(noWorkTabText);
    if (target != lastTarget || !watching.valid())
        watching = startWatch(job, target);
    const QString snap = runText(checked->front());
    if (needsYouOnPage(job, snap)) {
        DriverResult result = refusal(snap);
        result.needsYou = true;
        return followingNewTabs(job, result, listed, std::nullopt);
    }
    std::optional<QString> listingAfter;
    return followingNewTabs(job, watchedAction(job, args, std::move(watching), &listingAfter), listed, listingAfter);
}

namespace {

// A loaded page may still lay itself out (an application drawing its first
// view): the next step should meet it finished, so an open waits as an
// action does until the page has been quiet.
void settleAfterOpen(Job &job)
{
    QString target = lastWorkTarget(job.tabs());
    if (target.isEmpty() && !focusWorkTabIfAny(job, nullptr, &target))
        return;
    ActionWatch watch(job.kept(), activeChromePort(false), target);
    watch.settle();
}

} // namespace

DriverResult watchedStep(Job &job, const QStringList &args)
{
    return onWorkTab(job, [&](const QString &target) { return watchedAction(job, args, startWatch(job, target)); });
}

DriverResult healthStep(const ActionCall &call)
{
    DriverResult result;
    result.ok = call.chromeReady;
    result.chrome = call.chromeReady;
    result.text = call.chromeReady ? chromeDebuggingOnText : chromeOffText;
    return result;
}

// The person's word reaches the hand-over that holds the work tab.
DriverResult handBackStep(const ActionCall &call)
{
    DriverResult result;
    result.ok = call.job.handOver().handBack();
    result.chrome = call.chromeReady;
    result.text = result.ok ? handOverEndSentence(HandOverEnd::handedBack, 0) : noHandOverText;
    return result;
}

DriverResult viewStep(const ActionCall &call)
{
    const std::optional<DriverResult> view
        = pageView([&](const QList<BatchStep> &reads) { return readOnWorkTab(call.job, reads, toolRunLimit); });
    return view ? *view : refusal(noWorkTabText);
}

DriverResult snapshotStep(const ActionCall &call)
{
    const std::optional<QList<ToolRun>> read
        = readOnWorkTab(call.job, {{snapshotArgs(), OutputReading::snapshot}}, snapshotLimit);
    if (!read)
        return refusal(noWorkTabText);
    return finish(call.job, snapshotSettled(call.job, read->front(), snapshotArgs(), OutputReading::snapshot), true);
}

DriverResult openStep(const ActionCall &call)
{
    const QString url = call.body.value(QStringLiteral("url"));
    if (!url.startsWith(QLatin1String("http://")) && !url.startsWith(QLatin1String("https://")))
        return refusal(openNeedsPageText);
    if (const std::optional<QString> refused = localTargetRefusal(url))
        return refusal(*refused);
    const ToolRun opened = openOnWorkTab(call.job, url);
    DriverResult result;
    result.ok = opened.succeeded();
    result.text = runText(opened);
    result.chrome = true;
    if (result.ok) {
        result.url = url;
        settleAfterOpen(call.job);
    }
    return result;
}

QStringList cliArgs(const Body &body)
{
    for (const char *key : {"command", "args", "text"}) {
        const auto found = body.constFind(QLatin1String(key));
        if (found != body.constEnd())
            return agentBrowserArgs(*found);
    }
    return {};
}

namespace {

bool isDialogCommand(const QStringList &args)
{
    return !args.isEmpty() && args.front() == QLatin1String("dialog");
}

// Answering a dialog lets the page go on, as an action does: it is watched
// from the answer on and read once it has settled.
DriverResult answerDialog(Job &job, const QStringList &args)
{
    const ToolRun answered = job.run(args, OutputReading::action);
    if (!answered.succeeded())
        return finishCli(job, answered);
    const QString target = lastWorkTarget(job.tabs());
    // Its page may redraw a while later: it is given its quiet after the pause.
    return watchedAction(job, answered,
                         target.isEmpty() ? std::future<std::unique_ptr<ActionWatch>>() : startWatch(job, target),
                         SettleFrom::pauseEnd);
}

} // namespace

bool answersDialog(const Body &body)
{
    return isDialogCommand(cliArgs(body));
}

DriverResult cliStep(const ActionCall &call)
{
    const QStringList typed = cliArgs(call.body);
    if (typed.isEmpty())
        return refusal(cliNeedsCommandText);
    const CheckedCommand checked = checkCliCommand(typed);
    if (!checked.args)
        return refusal(checked.refusal);
    const QStringList &args = *checked.args;
    // The page an open or a new tab goes to (the policy let through one at most).
    if (args.front() == QLatin1String("open") || args.front() == QLatin1String("tab")) {
        for (const QString &arg : args) {
            if (!arg.startsWith(QLatin1String("http://")) && !arg.startsWith(QLatin1String("https://")))
                continue;
            if (const std::optional<QString> refused = localTargetRefusal(arg))
                return refusal(*refused);
        }
    }

    Job &job = call.job;
    const auto runCommand = [&] {
        if (args.front() == QLatin1String("snapshot"))
            return finishCli(job, snapshotSettled(job, args, OutputReading::command));
        const ToolRun command = job.run(args, OutputReading::command);
        if (mayNavigate(args) && command.outcome != ToolOutcome::timedOut) {
            platform::sleepFor(navigatePause);
            waitForLoad(job, navigateSettleLimit);
        }
        return finishCli(job, command);
    };
    // Tab commands need no work tab, and reach only the work's tabs.
    if (args.front() == QLatin1String("tab")) {
        const std::optional<ToolRun> ran = runWorkTabCommand(job, args);
        return ran ? finishCli(job, *ran) : refusal(notWorksTabText);
    }
    QStringList listed;
    if (!focusWorkTabIfAny(job, &listed))
        return refusal(noWorkTabText);
    const bool answers = isDialogCommand(args)
        && (args.value(1) == QLatin1String("accept") || args.value(1) == QLatin1String("dismiss"));
    return followingNewTabs(job, answers ? answerDialog(job, args) : runCommand(), listed, std::nullopt);
}

// The work's tabs, or a switch to one of them by its number.
DriverResult tabsStep(const ActionCall &call)
{
    const QString chosen = call.body.value(QStringLiteral("tab"));
    if (!chosen.isEmpty()) {
        bool isNumber = false;
        const int index = chosen.toInt(&isNumber);
        if (!isNumber || !switchWorkTab(call.job, index))
            return refusal(noSuchWorkTabText);
    }
    const std::optional<QList<ListedTab>> listed = workTabs(call.job);
    if (!listed || listed->isEmpty())
        return refusal(noWorkTabText);
    DriverResult result;
    QStringList lines;
    for (qsizetype i = 0; i < listed->size(); ++i) {
        const ListedTab &tab = listed->at(i);
        lines.append(QStringLiteral("%1 %2. %3")
                         .arg(tab.active ? QStringLiteral("\u2192") : QStringLiteral(" "))
                         .arg(i + 1)
                         .arg(tab.url));
        if (tab.active)
            result.url = tab.url;
    }
    result.ok = true;
    result.chrome = true;
    result.text = workTabsHeading + QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
    return result;
}

DriverResult uploadStep(const ActionCall &call)
{
    const CheckedCommand checked = checkCliCommand(
        {QStringLiteral("upload"), call.body.value(QStringLiteral("ref")), call.body.value(QStringLiteral("file"))});
    if (!checked.args)
        return refusal(checked.refusal);
    return checkedStep(call.job, *checked.args);
}

DriverResult handOverStep(const ActionCall &call)
{
    const QString wait = call.body.value(QStringLiteral("wait"));
    bool isNumber = true;
    const double limit = wait.isEmpty() ? handOverLimit : wait.toDouble(&isNumber);
    if (!isNumber || !std::isfinite(limit) || limit <= 0)
        return refusal(handOverWaitText);
    return call.job.handOver().handOver(call.job, call.body.value(QStringLiteral("reason")), limit, call.control);
}

} // namespace corvane
