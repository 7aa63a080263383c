#include "driver/Drive.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/JobActivity.h"
#include "driver/AgentRunner.h"
#include "driver/CliParsing.h"
#include "driver/CliPolicy.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageDialog.h"
#include "driver/PageView.h"
#include "driver/ToolBatch.h"
#include "driver/WorkTab.h"

#include "Dispatch.h"

#include <functional>
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

// Pre-action check: a human-verification page stops the action before it runs.
std::optional<DriverResult> humanCheckBlocks()
{
    const QString snap = runText(runOnActivePort(snapshotArgs(), OutputReading::snapshot));
    if (!needsYou(snap))
        return std::nullopt;
    DriverResult result = refusal(snap);
    result.needsYou = true;
    return result;
}

DriverResult onWorkTab(const std::function<DriverResult()> &action)
{
    return focusWorkTabIfAny() ? action() : refusal(noWorkTabText);
}

// An action that may make the page open a tab: the work follows it there.
DriverResult onWorkTabFollowingNewTabs(const std::function<DriverResult()> &action)
{
    QStringList listed;
    if (!focusWorkTabIfAny(&listed))
        return refusal(noWorkTabText);
    DriverResult result = action();
    if (followNewTab(listed))
        result.text += QStringLiteral("\n\n") + newTabFollowedText;
    return result;
}

DriverResult checkedAction(const QStringList &args)
{
    return onWorkTabFollowingNewTabs([&] {
        if (std::optional<DriverResult> blocked = humanCheckBlocks())
            return *blocked;
        return afterAction(runOnActivePort(args, OutputReading::action));
    });
}

DriverResult open(const Body &body)
{
    const QString url = body.value(QStringLiteral("url"));
    if (!url.startsWith(QLatin1String("http://")) && !url.startsWith(QLatin1String("https://")))
        return refusal(openNeedsPageText);
    const ToolRun opened = openOnWorkTab(url);
    DriverResult result;
    result.ok = opened.succeeded();
    result.text = runText(opened);
    result.chrome = true;
    if (result.ok)
        result.url = url;
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
    return onWorkTab([&] { return afterAction(runOnActivePort(args, OutputReading::action)); });
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

DriverResult cli(const Body &body)
{
    const QStringList typed = cliArgs(body);
    if (typed.isEmpty())
        return refusal(cliNeedsCommandText);
    const CheckedCommand checked = checkCliCommand(typed);
    if (!checked.args)
        return refusal(checked.refusal);
    const QStringList &args = *checked.args;

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
    // Tab commands manage tabs themselves and need no work tab.
    return args.front() == QLatin1String("tab") ? runCommand() : onWorkTabFollowingNewTabs(runCommand);
}

DriverResult dispatch(const QString &path, const Body &body, bool autostart, bool ready)
{
    if (!ready) {
        if (!autostart)
            return chromeFailure(chromeOffText);
        const ChromeReadiness started = ensureChromeReady(chromeStartTimeout);
        if (!started.ready)
            return chromeFailure(started.text);
    }

    if (path == QLatin1String("/view"))
        return onWorkTab(pageView);
    if (path == QLatin1String("/open"))
        return open(body);
    if (path == QLatin1String("/snapshot"))
        return onWorkTab([] { return finish(snapshotSettled(snapshotArgs(), OutputReading::snapshot), true); });
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

bool isActionPath(const QString &path)
{
    static const QStringList paths{QStringLiteral("/open"), QStringLiteral("/snapshot"), QStringLiteral("/click"),
                                   QStringLiteral("/fill"), QStringLiteral("/scroll"), QStringLiteral("/view"),
                                   QStringLiteral("/cli")};
    return paths.contains(path);
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

DriverResult drive(const QString &path, const Body &body, bool autostart)
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

    // Answering the dialog is the one thing that must run while it is open,
    // also while the job it stopped still holds the work tab.
    const bool answersDialog = path == QLatin1String("/cli") && isDialogCommand(cliArgs(body));
    std::unique_lock job(workTabJobLock(), std::defer_lock);
    if (!answersDialog && !job.try_lock()) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), path}});
        DriverResult busy;
        busy.text = agentBusyText;
        busy.chrome = ready;
        return busy;
    }
    const ActiveJob active;
    DialogWatch watch(!answersDialog);
    DriverResult result = dispatch(path, body, autostart, ready);
    if (const std::optional<PageDialog> &dialog = watch.seen()) {
        companionLog(QStringLiteral("dialog.blocking"), {{QStringLiteral("kind"), dialog->kind}});
        result = refusal(dialogText(*dialog));
    }
    noticeIfNeedsYou(result);
    return result;
}

} // namespace corvane
