#include "driver/Drive.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/JobActivity.h"
#include "chrome/PortCache.h"
#include "driver/ActionWatch.h"
#include "driver/ChallengeCheck.h"
#include "driver/AgentRunner.h"
#include "driver/CliParsing.h"
#include "driver/CliPolicy.h"
#include "driver/HandOver.h"
#include "driver/LocalTargets.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageDialog.h"
#include "driver/PageView.h"
#include "driver/ToolBatch.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"

#include <cmath>
#include <functional>
#include <future>
#include <mutex>

namespace corvane {

namespace {

constexpr double chromeStartTimeout = 8.0;
constexpr double navigatePause = 0.3;

DriverResult chromeFailure(const QString &text)
{
    DriverResult result;
    result.text = text;
    return result;
}

// Input errors, the missing work tab and unknown paths: Chrome is there, the
// request is not usable.
DriverResult refusal(const QString &text)
{
    DriverResult result;
    result.text = text;
    result.chrome = true;
    return result;
}

using WorkTabAction = std::function<DriverResult(const QString &workTarget)>;

DriverResult onWorkTab(const WorkTabAction &action)
{
    QString target;
    return focusWorkTabIfAny(nullptr, &target) ? action(target) : refusal(noWorkTabText);
}

// After an action that may have made the page open a tab: the work follows
// it there. `listingAfter`: the listing the action's reads took, if any.
DriverResult followingNewTabs(DriverResult result, const QStringList &listedBefore, const std::optional<QString> &listingAfter)
{
    if (const std::optional<QString> url = followNewTab(listedBefore, listingAfter)) {
        result.text += QStringLiteral("\n\n") + newTabFollowedText;
        result.newTabUrl = *url;
    }
    return result;
}

// Starts watching the work tab; the watch is ready once the future is.
std::future<std::unique_ptr<ActionWatch>> startWatch(const QString &workTarget)
{
    return std::async(std::launch::async, [port = activeChromePort(false), workTarget]() -> std::unique_ptr<ActionWatch> {
        // A library's exception (no memory, a thread refused) costs the
        // action its watch, never the companion.
        try {
            return std::make_unique<ActionWatch>(port, workTarget);
        } catch (const std::exception &error) {
            companionLog(QStringLiteral("watch.fail"), {{QStringLiteral("error"), QString::fromLocal8Bit(error.what())}});
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

DriverResult watchedAction(const QStringList &args, std::future<std::unique_ptr<ActionWatch>> watching,
                           std::optional<QString> *listingAfter = nullptr)
{
    const std::unique_ptr<ActionWatch> watch = readyWatch(watching);
    return afterAction(runOnActivePort(args, OutputReading::action), watch.get(), listingAfter);
}

// A step that has run already, read as the watch sees the page after it.
DriverResult watchedAction(const ToolRun &ran, std::future<std::unique_ptr<ActionWatch>> watching, SettleFrom from)
{
    const std::unique_ptr<ActionWatch> watch = readyWatch(watching);
    return afterAction(ran, watch.get(), nullptr, from);
}

// An action after the pre-action check: a human-verification page stops it
// before it runs.
DriverResult checkedAction(const QStringList &args)
{
    // The watch connects while the page is checked, on the tab that was the
    // work tab last time; it starts again should that have changed.
    const QString lastTarget = lastWorkTarget();
    std::future<std::unique_ptr<ActionWatch>> watching;
    if (!lastTarget.isEmpty())
        watching = startWatch(lastTarget);
    QStringList listed;
    QString target;
    const std::optional<QList<ToolRun>> checked =
        readOnWorkTab({{snapshotArgs(), OutputReading::snapshot}}, toolRunLimit, &listed, &target);
    if (!checked)
        return refusal(noWorkTabText);
    if (target != lastTarget || !watching.valid())
        watching = startWatch(target);
    const QString snap = runText(checked->front());
    if (needsYouOnPage(snap)) {
        DriverResult result = refusal(snap);
        result.needsYou = true;
        return followingNewTabs(result, listed, std::nullopt);
    }
    std::optional<QString> listingAfter;
    return followingNewTabs(watchedAction(args, std::move(watching), &listingAfter), listed, listingAfter);
}

// A loaded page may still lay itself out (an application drawing its first
// view): the next step should meet it finished, so an open waits as an
// action does until the page has been quiet.
void settleAfterOpen()
{
    QString target = lastWorkTarget();
    if (target.isEmpty() && !focusWorkTabIfAny(nullptr, &target))
        return;
    ActionWatch watch(activeChromePort(false), target);
    watch.settle();
}

DriverResult open(const Body &body)
{
    const QString url = body.value(QStringLiteral("url"));
    if (!url.startsWith(QLatin1String("http://")) && !url.startsWith(QLatin1String("https://")))
        return refusal(openNeedsPageText);
    if (const std::optional<QString> refused = localTargetRefusal(url))
        return refusal(*refused);
    const ToolRun opened = openOnWorkTab(url);
    DriverResult result;
    result.ok = opened.succeeded();
    result.text = runText(opened);
    result.chrome = true;
    if (result.ok) {
        result.url = url;
        settleAfterOpen();
    }
    return result;
}

DriverResult scroll(const Body &body)
{
    QString value = QStringLiteral("down");
    for (const char *key : {"direction", "target", "ref"}) {
        const QString given = body.value(QLatin1String(key));
        if (!given.isEmpty()) {
            value = given;
            break;
        }
    }
    const QStringList args{QStringLiteral("scroll"), value};
    return onWorkTab([&](const QString &target) { return watchedAction(args, startWatch(target)); });
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

bool isDialogCommand(const QStringList &args)
{
    return !args.isEmpty() && args.front() == QLatin1String("dialog");
}

// Answering a dialog lets the page go on, as an action does: it is watched
// from the answer on and read once it has settled.
DriverResult answerDialog(const QStringList &args)
{
    const ToolRun answered = runOnActivePort(args, OutputReading::action);
    if (!answered.succeeded())
        return finishCli(answered);
    const QString target = lastWorkTarget();
    // Its page may redraw a while later: it is given its quiet after the pause.
    return watchedAction(answered, target.isEmpty() ? std::future<std::unique_ptr<ActionWatch>>() : startWatch(target),
                         SettleFrom::pauseEnd);
}

DriverResult cli(const Body &body)
{
    const QStringList typed = cliArgs(body);
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

    const auto runCommand = [&] {
        if (args.front() == QLatin1String("snapshot"))
            return finishCli(snapshotSettled(args, OutputReading::command));
        const ToolRun command = runOnActivePort(args, OutputReading::command);
        if (mayNavigate(args) && command.outcome != ToolOutcome::timedOut) {
            platform::sleepFor(navigatePause);
            waitForLoad(navigateSettleLimit);
        }
        return finishCli(command);
    };
    // Tab commands need no work tab, and reach only the work's tabs.
    if (args.front() == QLatin1String("tab")) {
        const std::optional<ToolRun> ran = runWorkTabCommand(args);
        return ran ? finishCli(*ran) : refusal(notWorksTabText);
    }
    QStringList listed;
    if (!focusWorkTabIfAny(&listed))
        return refusal(noWorkTabText);
    const bool answers = isDialogCommand(args)
        && (args.value(1) == QLatin1String("accept") || args.value(1) == QLatin1String("dismiss"));
    return followingNewTabs(answers ? answerDialog(args) : runCommand(), listed, std::nullopt);
}

// The work's tabs, or a switch to one of them by its number.
DriverResult tabs(const Body &body)
{
    const QString chosen = body.value(QStringLiteral("tab"));
    if (!chosen.isEmpty()) {
        bool isNumber = false;
        const int index = chosen.toInt(&isNumber);
        if (!isNumber || !switchWorkTab(index))
            return refusal(noSuchWorkTabText);
    }
    const std::optional<QList<ListedTab>> listed = workTabs();
    if (!listed || listed->isEmpty())
        return refusal(noWorkTabText);
    DriverResult result;
    QStringList lines;
    for (qsizetype i = 0; i < listed->size(); ++i) {
        const ListedTab &tab = listed->at(i);
        lines.append(QStringLiteral("%1 %2. %3").arg(tab.active ? QStringLiteral("\u2192") : QStringLiteral(" ")).arg(i + 1).arg(tab.url));
        if (tab.active)
            result.url = tab.url;
    }
    result.ok = true;
    result.chrome = true;
    result.text = workTabsHeading + QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
    return result;
}

DriverResult waitForText(const Body &body)
{
    const QString text = body.value(QStringLiteral("text"));
    if (text.isEmpty())
        return refusal(waitForNeedsTextText);
    // Below the runner's own limit, so that the tool says it timed out.
    bool given = false;
    const double seconds = body.value(QStringLiteral("timeout")).toDouble(&given);
    const int limitMs = static_cast<int>(1000 * (given && seconds > 0 ? std::min(seconds, waitForLimit) : waitForLimit));
    const QStringList args{QStringLiteral("wait"), QStringLiteral("--text"), text, QStringLiteral("--timeout"), QString::number(limitMs)};
    return onWorkTab([&](const QString &target) { return watchedAction(args, startWatch(target)); });
}

DriverResult upload(const Body &body)
{
    const QString ref = body.value(QStringLiteral("ref"));
    const QString file = body.value(QStringLiteral("file"));
    if (ref.isEmpty() || file.isEmpty())
        return refusal(uploadNeedsFileText);
    const CheckedCommand checked = checkCliCommand({QStringLiteral("upload"), ref, file});
    if (!checked.args)
        return refusal(checked.refusal);
    return checkedAction(*checked.args);
}

DriverResult handOverFor(const Body &body, const CallControl &control)
{
    const QString wait = body.value(QStringLiteral("wait"));
    bool isNumber = true;
    const double limit = wait.isEmpty() ? handOverLimit : wait.toDouble(&isNumber);
    if (!isNumber || !std::isfinite(limit) || limit <= 0)
        return refusal(handOverWaitText);
    return handOver(body.value(QStringLiteral("reason")), limit, control);
}

// A step that is one plain action of the tool, by ref or not.
std::optional<QStringList> plainAction(const QString &path, const Body &body)
{
    const QString ref = body.value(QStringLiteral("ref"));
    if (path == QLatin1String("/press") && !body.value(QStringLiteral("key")).isEmpty())
        return QStringList{QStringLiteral("press"), body.value(QStringLiteral("key"))};
    if (path == QLatin1String("/select") && !ref.isEmpty() && body.contains(QStringLiteral("value")))
        return QStringList{QStringLiteral("select"), ref, body.value(QStringLiteral("value"))};
    if (path == QLatin1String("/back"))
        return QStringList{QStringLiteral("back")};
    return std::nullopt;
}

DriverResult dispatch(const QString &path, const Body &body, bool autostart, bool ready, const CallControl &control)
{
    if (!ready) {
        if (!autostart)
            return chromeFailure(chromeOffText);
        const ChromeReadiness started = ensureChromeReady(chromeStartTimeout);
        if (!started.ready)
            return chromeFailure(started.text);
    }

    if (path == QLatin1String("/view")) {
        const std::optional<DriverResult> view =
            pageView([](const QList<BatchStep> &reads) { return readOnWorkTab(reads, toolRunLimit); });
        return view ? *view : refusal(noWorkTabText);
    }
    if (path == QLatin1String("/open"))
        return open(body);
    if (path == QLatin1String("/snapshot")) {
        const std::optional<QList<ToolRun>> read = readOnWorkTab({{snapshotArgs(), OutputReading::snapshot}}, snapshotLimit);
        if (!read)
            return refusal(noWorkTabText);
        return finish(snapshotSettled(read->front(), snapshotArgs(), OutputReading::snapshot), true);
    }
    if (path == QLatin1String("/click")) {
        const QString ref = body.value(QStringLiteral("ref"));
        if (ref.isEmpty())
            return refusal(clickNeedsRefText);
        return checkedAction({QStringLiteral("click"), ref});
    }
    if (path == QLatin1String("/fill")) {
        const QString ref = body.value(QStringLiteral("ref"));
        if (ref.isEmpty())
            return refusal(fillNeedsRefText);
        return checkedAction({QStringLiteral("fill"), ref, body.value(QStringLiteral("text"))});
    }
    if (path == QLatin1String("/scroll"))
        return scroll(body);
    if (path == QLatin1String("/cli"))
        return cli(body);
    if (const std::optional<QStringList> args = plainAction(path, body))
        return checkedAction(*args);
    if (path == QLatin1String("/press"))
        return refusal(pressNeedsKeyText);
    if (path == QLatin1String("/select"))
        return refusal(selectNeedsValueText);
    if (path == QLatin1String("/wait-for"))
        return waitForText(body);
    if (path == QLatin1String("/upload"))
        return upload(body);
    if (path == QLatin1String("/tabs"))
        return tabs(body);
    if (path == QLatin1String("/hand-over"))
        return handOverFor(body, control);
    return refusal(notFoundText);
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
    static const QStringList paths{QStringLiteral("/open"), QStringLiteral("/snapshot"), QStringLiteral("/click"),
                                   QStringLiteral("/fill"), QStringLiteral("/scroll"), QStringLiteral("/view"),
                                   QStringLiteral("/cli")};
    return paths.contains(path);
}

bool isActionPath(const QString &path)
{
    static const QStringList paths{QStringLiteral("/press"), QStringLiteral("/select"), QStringLiteral("/back"),
                                   QStringLiteral("/wait-for"), QStringLiteral("/upload"), QStringLiteral("/tabs"),
                                   QStringLiteral("/hand-over"), QStringLiteral("/hand-back")};
    return isChatPath(path) || paths.contains(path);
}

QStringList requestTypedTexts(const QString &path, const Body &body)
{
    if (path == QLatin1String("/fill"))
        return {body.value(QStringLiteral("text"))};
    if (path != QLatin1String("/cli"))
        return {};
    const QStringList args = cliArgs(body);
    QStringList texts;
    for (const qsizetype position : freeTextPositions(args))
        texts.append(args[position]);
    return texts;
}

DriverResult drive(const QString &path, const Body &body, bool autostart, const CallControl &control)
{
    // What the job types stays out of the log, whatever event would show it.
    const LogMask mask(requestTypedTexts(path, body));
    const bool ready = chromeIsReady(QStringLiteral("127.0.0.1"));
    companionLog(QStringLiteral("drive"), {{QStringLiteral("path"), path},
                                           {QStringLiteral("chrome"), onOff(ready)},
                                           {QStringLiteral("ref"), body.value(QStringLiteral("ref"))},
                                           {QStringLiteral("url"), body.value(QStringLiteral("url"))}});

    if (path == QLatin1String("/health") || path == QLatin1String("/")) {
        DriverResult result;
        result.ok = ready;
        result.chrome = ready;
        result.text = ready ? chromeDebuggingOnText : chromeOffText;
        return result;
    }
    // The person's word reaches the hand-over that holds the work tab.
    if (path == QLatin1String("/hand-back")) {
        DriverResult result;
        result.ok = handBack();
        result.chrome = ready;
        result.text = result.ok ? handOverEndSentence(HandOverEnd::handedBack, 0) : noHandOverText;
        return result;
    }

    // Answering the dialog is the one thing that must run while it is open,
    // also while the job it stopped still holds the work tab; but a dialog
    // that comes while the person has the browser is theirs to answer.
    const bool answersDialog = path == QLatin1String("/cli") && isDialogCommand(cliArgs(body));
    std::unique_lock job(workTabJobLock(), std::defer_lock);
    if ((answersDialog && handOverWaiting()) || (!answersDialog && !job.try_lock())) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), path}});
        DriverResult busy;
        busy.text = handOverWaiting() ? personHasBrowserText : agentBusyText;
        busy.chrome = ready;
        return busy;
    }
    const ActiveJob active;
    // The person answers dialogs themselves while they have the browser.
    DialogWatch watch(!answersDialog && path != QLatin1String("/hand-over"));
    DriverResult result = dispatch(path, body, autostart, ready, control);
    if (const std::optional<PageDialog> &dialog = watch.seen()) {
        companionLog(QStringLiteral("dialog.blocking"), {{QStringLiteral("kind"), dialog->kind}});
        result = refusal(dialogText(*dialog));
        result.dialog = DialogInfo{dialog->kind, dialog->message};
    }
    noticeIfNeedsYou(result);
    return result;
}

DriverResult driveChatJob(const QString &path, const Body &body)
{
    if (!isActionPath(path) || isChatPath(path))
        return drive(path, body, true);
    companionLog(QStringLiteral("drive"), {{QStringLiteral("path"), path}, {QStringLiteral("served"), QStringLiteral("no")}});
    DriverResult result = refusal(notFoundText);
    result.chrome = chromeIsReady(QStringLiteral("127.0.0.1"));
    return result;
}

} // namespace corvane
