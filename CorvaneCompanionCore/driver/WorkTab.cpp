#include "driver/WorkTab.h"

#include "chrome/DevToolsSession.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"
#include "driver/DriverResult.h"
#include "driver/Job.h"
#include "driver/PageSettle.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <functional>
#include <mutex>

namespace corvane {

const QStringList &workTabListArgs()
{
    static const QStringList args {QStringLiteral("tab"), QStringLiteral("list"), QStringLiteral("--json")};
    return args;
}

std::optional<QList<ListedTab>> listedTabs(const QString &listingOutput)
{
    const qsizetype brace = listingOutput.indexOf(QLatin1Char('{'));
    if (brace < 0)
        return std::nullopt;
    // The tool may print warnings before the JSON; nothing may follow it.
    const QJsonDocument document = QJsonDocument::fromJson(listingOutput.mid(brace).toUtf8());
    if (!document.isObject())
        return std::nullopt;
    const QJsonValue data = document.object().value(QStringLiteral("data"));
    if (!data.isObject())
        return std::nullopt;
    const QJsonValue tabs = data.toObject().value(QStringLiteral("tabs"));
    if (!tabs.isArray())
        return std::nullopt;
    QList<ListedTab> listed;
    for (const QJsonValue &tab : tabs.toArray()) {
        if (!tab.isObject())
            return std::nullopt;
        const QJsonObject object = tab.toObject();
        const QJsonValue active = object.value(QStringLiteral("active"));
        listed.append({object.value(QStringLiteral("targetId")).toString(),
                       object.value(QStringLiteral("label")).toString(), object.value(QStringLiteral("url")).toString(),
                       active.isBool() && active.toBool(), object.value(QStringLiteral("tabId")).toString(),
                       object.value(QStringLiteral("title")).toString()});
    }
    return listed;
}

WorkTabState workTabState(const QString &listingOutput)
{
    const std::optional<QList<ListedTab>> tabs = listedTabs(listingOutput);
    if (!tabs)
        return WorkTabState::missing;
    for (const ListedTab &tab : *tabs) {
        if (tab.label == workTabLabel)
            return tab.active ? WorkTabState::active : WorkTabState::listed;
    }
    return WorkTabState::missing;
}

namespace {

const ListedTab *tabWith(const QList<ListedTab> &tabs, const std::function<bool(const ListedTab &)> &wanted)
{
    const auto found = std::find_if(tabs.begin(), tabs.end(), wanted);
    return found == tabs.end() ? nullptr : &*found;
}

// The newest followed tab still open; closed ones give the work back.
QString followedTarget(WorkTabMemory &memory, const QList<ListedTab> &tabs)
{
    std::lock_guard lock(memory.mutex);
    memory.made.removeIf(
        [&](const QString &id) { return !tabWith(tabs, [&](const ListedTab &tab) { return tab.targetId == id; }); });
    while (!memory.followed.isEmpty()
           && !tabWith(tabs, [&](const ListedTab &tab) { return tab.targetId == memory.followed.back(); })) {
        memory.followed.removeLast();
        companionLog(QStringLiteral("worktab.fallback"), {});
    }
    return memory.followed.isEmpty() ? QString() : memory.followed.back();
}

} // namespace

namespace {

// The labelled work tab, or an agent's own.
const ListedTab *homeTab(WorkTabMemory &memory, const QList<ListedTab> &tabs)
{
    QString home;
    {
        std::lock_guard lock(memory.mutex);
        home = memory.home;
    }
    return tabWith(tabs, [&](const ListedTab &tab) {
        return memory.ownWindow ? !home.isEmpty() && tab.targetId == home : tab.label == memory.label;
    });
}

// The work's tabs' target ids, as far as the companion knows them.
QStringList workTargets(WorkTabMemory &memory, const QList<ListedTab> &tabs)
{
    QStringList ids;
    if (const ListedTab *labelled = homeTab(memory, tabs))
        ids.append(labelled->targetId);
    std::lock_guard lock(memory.mutex);
    for (const QString &id : memory.followed + memory.made) {
        if (!ids.contains(id))
            ids.append(id);
    }
    return ids;
}

// The tab actions go to, from a listing: the newest followed one still
// open, else the labelled work tab.
const ListedTab *currentWorkTab(WorkTabMemory &memory, const QList<ListedTab> &tabs)
{
    const QString followed = followedTarget(memory, tabs);
    const ListedTab *work = followed.isEmpty()
        ? homeTab(memory, tabs)
        : tabWith(tabs, [&](const ListedTab &tab) { return tab.targetId == followed; });
    std::lock_guard lock(memory.mutex);
    memory.last = work ? work->targetId : QString();
    return work;
}

// Brings the work tab to the front, as the tool knows it.
bool switchTo(Job &job, const ListedTab &work)
{
    const bool labelled = !job.tabs().ownWindow && work.label == workTabLabel;
    const bool worked
        = job.run({QStringLiteral("tab"), labelled ? workTabLabel : work.targetId}, OutputReading::tabSwitch)
              .succeeded();
    companionLog(QStringLiteral("worktab.switch"), {{QStringLiteral("ok"), yesNo(worked)}});
    return worked;
}

// The listing's tabs, and the work tab among them.
const ListedTab *noteWorkTab(WorkTabMemory &memory, const QList<ListedTab> &tabs, QStringList *listed,
                             QString *workTarget)
{
    if (listed) {
        for (const ListedTab &tab : tabs)
            listed->append(tab.targetId);
    }
    const ListedTab *work = currentWorkTab(memory, tabs);
    if (work && workTarget)
        *workTarget = work->targetId;
    return work;
}

std::optional<QList<ListedTab>> listing(Job &job)
{
    return listedTabs(job.run(workTabListArgs(), OutputReading::data).output);
}

} // namespace

bool focusWorkTabIfAny(Job &job, QStringList *listed, QString *workTarget)
{
    const std::optional<QList<ListedTab>> tabs = listing(job);
    if (!tabs)
        return false;
    const ListedTab *work = noteWorkTab(job.tabs(), *tabs, listed, workTarget);
    return work && (work->active || switchTo(job, *work));
}

std::optional<QList<ToolRun>> readOnWorkTab(Job &job, const QList<BatchStep> &reads, int limit, QStringList *listed,
                                            QString *workTarget)
{
    // The reads go to whichever tab is in front, and count only when that is
    // the work tab: they never act on a page, so nothing is done elsewhere.
    QList<ToolRun> runs = job.runBatch(QList<BatchStep> {{workTabListArgs(), OutputReading::data}} + reads, limit);
    const std::optional<QList<ListedTab>> tabs = listedTabs(runs.takeFirst().output);
    if (!tabs) {
        // No listing came: the long way, except that reads that ran out of
        // time stand, for their step to take again as it does.
        if (!focusWorkTabIfAny(job, listed, workTarget))
            return std::nullopt;
        if (runs.front().outcome == ToolOutcome::timedOut && runs.front().output.isEmpty())
            return runs;
        return job.runBatch(reads, limit);
    }
    const ListedTab *work = noteWorkTab(job.tabs(), *tabs, listed, workTarget);
    if (!work)
        return std::nullopt;
    if (work->active)
        return runs;
    if (!switchTo(job, *work))
        return std::nullopt;
    return job.runBatch(reads, limit);
}

QString lastWorkTarget(WorkTabMemory &memory)
{
    std::lock_guard lock(memory.mutex);
    return memory.last;
}

std::optional<QList<ListedTab>> workTabs(Job &job)
{
    const std::optional<QList<ListedTab>> tabs = listing(job);
    if (!tabs)
        return std::nullopt;
    return workTabs(job.tabs(), *tabs);
}

QList<ListedTab> workTabs(WorkTabMemory &memory, const QList<ListedTab> &tabs)
{
    const ListedTab *current = currentWorkTab(memory, tabs);
    QList<ListedTab> work;
    for (const QString &id : workTargets(memory, tabs)) {
        if (const ListedTab *tab = tabWith(tabs, [&](const ListedTab &listed) { return listed.targetId == id; })) {
            work.append(*tab);
            work.back().active = current && current->targetId == id;
            if (memory.ownWindow && homeTab(memory, tabs) == tab)
                work.back().label = memory.label;
        }
    }
    return work;
}

bool switchWorkTab(Job &job, int index)
{
    const std::optional<QList<ListedTab>> tabs = workTabs(job);
    if (!tabs || index < 1 || index > tabs->size())
        return false;
    {
        // The chosen tab becomes the newest followed one.
        WorkTabMemory &memory = job.tabs();
        std::lock_guard lock(memory.mutex);
        memory.followed.removeAll(tabs->at(index - 1).targetId);
        memory.made.removeAll(tabs->at(index - 1).targetId);
        memory.followed.append(tabs->at(index - 1).targetId);
    }
    return focusWorkTabIfAny(job);
}

namespace {

// Whether Chrome says one of `openers` opened the tab `targetId`. Not known
// counts as no: a tab of unknown origin is not the work's.
bool openedBy(const QString &targetId, const QStringList &openers)
{
    const std::unique_ptr<DevToolsSession> devTools = DevToolsSession::connect(activeChromePort(false), 2.0);
    if (!devTools)
        return false;
    const DevToolsReply info
        = devTools->call(QStringLiteral("Target.getTargetInfo"), {{QStringLiteral("targetId"), targetId}});
    const QString opener
        = info.result.value(QStringLiteral("targetInfo")).toObject().value(QStringLiteral("openerId")).toString();
    return info.ok && !opener.isEmpty() && openers.contains(opener);
}

void follow(WorkTabMemory &memory, const ListedTab &tab)
{
    {
        std::lock_guard lock(memory.mutex);
        memory.followed.removeAll(tab.targetId);
        memory.followed.append(tab.targetId);
    }
    companionLog(QStringLiteral("worktab.follow"), {{QStringLiteral("url"), tab.url}});
}

// The tab that came since `listedBefore` and is the active one now.
const ListedTab *newActiveTab(const QList<ListedTab> &tabs, const QStringList &listedBefore)
{
    const ListedTab *active = tabWith(tabs, [](const ListedTab &tab) { return tab.active; });
    if (!active || active->targetId.isEmpty() || listedBefore.contains(active->targetId))
        return nullptr;
    return active;
}

} // namespace

namespace {

// An agent's session stays on its tab, and its listing may not show a tab
// just opened: Chrome's own list says which tab one of the work's opened.
// The session moves there, in the agent's window where the page opened it.
std::optional<QString> followOpenedTab(Job &job, const QStringList &openers, const QStringList &listedBefore)
{
    const std::unique_ptr<DevToolsSession> devTools = DevToolsSession::connect(activeChromePort(false), 2.0);
    if (!devTools)
        return std::nullopt;
    const DevToolsReply targets = devTools->call(QStringLiteral("Target.getTargets"), {});
    ListedTab opened;
    for (const QJsonValue info : targets.result.value(QStringLiteral("targetInfos")).toArray()) {
        const QJsonObject target = info.toObject();
        const QString id = target.value(QStringLiteral("targetId")).toString();
        if (target.value(QStringLiteral("type")).toString() == QLatin1String("page") && !listedBefore.contains(id)
            && openers.contains(target.value(QStringLiteral("openerId")).toString()))
            opened = {id, {}, target.value(QStringLiteral("url")).toString()};
    }
    if (opened.targetId.isEmpty()
        || !job.run({QStringLiteral("tab"), opened.targetId}, OutputReading::tabSwitch).succeeded())
        return std::nullopt;
    follow(job.tabs(), opened);
    return opened.url;
}

} // namespace

std::optional<QString> followNewTab(Job &job, const QStringList &listedBefore,
                                    const std::optional<QString> &listingAfter)
{
    const std::optional<QList<ListedTab>> tabs
        = listedTabs(listingAfter ? *listingAfter : job.run(workTabListArgs(), OutputReading::data).output);
    if (!tabs)
        return std::nullopt;
    if (job.tabs().ownWindow)
        return followOpenedTab(job, workTargets(job.tabs(), *tabs), listedBefore);
    const ListedTab *opened = newActiveTab(*tabs, listedBefore);
    if (!opened || !openedBy(opened->targetId, workTargets(job.tabs(), *tabs)))
        return std::nullopt;
    follow(job.tabs(), *opened);
    return opened->url;
}

namespace {

bool wantsJsonOutput(const QStringList &args)
{
    return args.contains(QStringLiteral("--json"));
}

// The tool's own listing, of the work's tabs alone.
QString workTabListing(const QList<ListedTab> &work, const QString &toolOutput, bool json)
{
    if (json) {
        const qsizetype brace = toolOutput.indexOf(QLatin1Char('{'));
        QJsonObject answer = QJsonDocument::fromJson(toolOutput.mid(std::max<qsizetype>(brace, 0)).toUtf8()).object();
        QJsonObject data = answer.value(QStringLiteral("data")).toObject();
        QJsonArray kept;
        for (const QJsonValue &tab : data.value(QStringLiteral("tabs")).toArray()) {
            const QString id = tab.toObject().value(QStringLiteral("targetId")).toString();
            const auto mine = std::find_if(work.begin(), work.end(),
                                           [&](const ListedTab &listed) { return listed.targetId == id; });
            if (mine == work.end())
                continue;
            QJsonObject shown = tab.toObject();
            shown.insert(QStringLiteral("active"), mine->active);
            kept.append(shown);
        }
        data.insert(QStringLiteral("tabs"), kept);
        answer.insert(QStringLiteral("data"), data);
        return QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
    }
    QStringList lines;
    for (const ListedTab &tab : work) {
        const QString label = tab.label.isEmpty() ? QString() : tab.label + QLatin1Char(' ');
        lines.append(QStringLiteral("%1 [%2] %3%4 - %5")
                         .arg(tab.active ? QStringLiteral("\u2192") : QStringLiteral(" "), tab.tabId, label, tab.title,
                              tab.url));
    }
    return lines.join(QLatin1Char('\n'));
}

ToolRun shownAsRun(const QString &output)
{
    ToolRun run;
    run.output = output;
    return run;
}

} // namespace

std::optional<ToolRun> runWorkTabCommand(Job &job, const QStringList &args)
{
    // The words after "tab", without the options the command may carry.
    QStringList words;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--label"))
            ++i;
        else if (args[i] != QLatin1String("--json"))
            words.append(args[i]);
    }
    const ToolRun listingRun = job.run(workTabListArgs(), OutputReading::data);
    const QString &listingOutput = listingRun.output;
    const std::optional<QList<ListedTab>> tabs = listedTabs(listingOutput);
    if (!tabs) {
        // Without a listing there is nothing to hold the command to.
        return listingRun.succeeded() ? shownAsRun(noTabListingText) : listingRun;
    }
    const QList<ListedTab> work = workTabs(job.tabs(), *tabs);
    const QString operation = words.value(0);

    if (words.isEmpty() || operation == QLatin1String("list"))
        return shownAsRun(work.isEmpty() ? noWorkTabText : workTabListing(work, listingOutput, wantsJsonOutput(args)));

    if (operation == QLatin1String("new") && job.tabs().ownWindow) {
        // The tool would put it in whichever window was used last.
        ToolRun refused = shownAsRun(agentTabNewText);
        refused.outcome = ToolOutcome::failed;
        return refused;
    }
    if (operation == QLatin1String("new")) {
        QStringList before;
        for (const ListedTab &tab : *tabs)
            before.append(tab.targetId);
        const ToolRun made = job.run(args, OutputReading::command);
        const std::optional<QList<ListedTab>> after = listing(job);
        if (const ListedTab *opened = after ? newActiveTab(*after, before) : nullptr) {
            std::lock_guard lock(job.tabs().mutex);
            job.tabs().made.append(opened->targetId);
        }
        return made;
    }

    // A switch or a close names one of the work's tabs (by the tool's short
    // name or its label); a close without one closes the tab actions go to.
    const bool closing = operation == QLatin1String("close");
    const QString named = closing ? words.value(1) : operation;
    const ListedTab *chosen = nullptr;
    for (const ListedTab &tab : work) {
        if (named.isEmpty() ? tab.active : (tab.tabId == named || (!tab.label.isEmpty() && tab.label == named)))
            chosen = &tab;
    }
    if (!chosen || chosen->tabId.isEmpty())
        return std::nullopt;
    if (closing)
        return job.run({QStringLiteral("tab"), QStringLiteral("close"), chosen->tabId}, OutputReading::command);
    const qsizetype index = chosen - work.data();
    if (!switchWorkTab(job, static_cast<int>(index) + 1))
        return shownAsRun(QStringLiteral("\u2717 Could not switch to tab %1.").arg(chosen->tabId));
    return shownAsRun(QStringLiteral("\u2713 %1\n  %2").arg(chosen->title, chosen->url));
}

namespace {

// A window of its own for an agent's work, made through DevTools: the tool
// would put a new tab in whichever window was used last, the person's too.
// In the background, so the person's window keeps the focus. Its target id;
// empty when none could be made.
QString newWorkWindow()
{
    const std::unique_ptr<DevToolsSession> devTools = DevToolsSession::connect(activeChromePort(false), 2.0);
    if (!devTools)
        return {};
    const DevToolsReply made = devTools->call(QStringLiteral("Target.createTarget"),
                                              {{QStringLiteral("url"), QStringLiteral("about:blank")},
                                               {QStringLiteral("newWindow"), true},
                                               {QStringLiteral("background"), true}});
    return made.ok ? made.result.value(QStringLiteral("targetId")).toString() : QString();
}

ToolRun openInNewWindow(Job &job, const QString &url)
{
    const QString made = newWorkWindow();
    if (made.isEmpty()) {
        ToolRun failed;
        failed.outcome = ToolOutcome::failed;
        failed.output = noWorkWindowText;
        return failed;
    }
    {
        WorkTabMemory &memory = job.tabs();
        std::lock_guard lock(memory.mutex);
        memory.home = made;
        memory.followed.clear();
        memory.made.clear();
        memory.last = made;
    }
    companionLog(QStringLiteral("worktab.window"), {{QStringLiteral("label"), job.tabs().label}});
    // The session is pinned to the tab it switches to.
    const ToolRun bound = job.run({QStringLiteral("tab"), made}, OutputReading::tabSwitch);
    if (!bound.succeeded())
        return bound;
    return job.run({QStringLiteral("open"), url}, OutputReading::open);
}

} // namespace

ToolRun openOnWorkTab(Job &job, const QString &url)
{
    if (focusWorkTabIfAny(job))
        return job.run({QStringLiteral("open"), url}, OutputReading::open);
    if (job.tabs().ownWindow)
        return openInNewWindow(job, url);
    // Unlike "open", a new tab does not wait for its page: the next step
    // would find it still empty.
    const ToolRun created = job.run(firstOpenArgs(url), OutputReading::open);
    if (created.succeeded())
        waitForNewTabPage(job, navigateSettleLimit);
    return created;
}

QStringList firstOpenArgs(const QString &url)
{
    return {QStringLiteral("tab"), QStringLiteral("new"), QStringLiteral("--label"), workTabLabel, url};
}

bool bringTabForward(const QString &targetId)
{
    const std::unique_ptr<DevToolsSession> devTools = DevToolsSession::connect(activeChromePort(false), 2.0);
    return devTools
        && devTools->call(QStringLiteral("Target.activateTarget"), {{QStringLiteral("targetId"), targetId}}).ok;
}

void closeWorkTabIfHung(Job &job)
{
    const QString target = lastWorkTarget(job.tabs());
    if (target.isEmpty())
        return;
    const std::unique_ptr<DevToolsSession> devTools = DevToolsSession::connect(activeChromePort(false), 2.0);
    if (!devTools)
        return;
    const DevToolsReply attached
        = devTools->call(QStringLiteral("Target.attachToTarget"),
                         {{QStringLiteral("targetId"), target}, {QStringLiteral("flatten"), true}});
    const QString page = attached.result.value(QStringLiteral("sessionId")).toString();
    if (!attached.ok || page.isEmpty())
        return;
    // A page that cannot add one and one in two seconds is stuck in its own
    // script: no tool process could act on it, nor start while it is there.
    const DevToolsReply answered = devTools->call(QStringLiteral("Runtime.evaluate"),
                                                  {{QStringLiteral("expression"), QStringLiteral("1+1")}}, page, 2.0);
    devTools->call(QStringLiteral("Target.detachFromTarget"), {{QStringLiteral("sessionId"), page}}, {}, 1.0);
    if (answered.ok)
        return;
    const bool closed = devTools->call(QStringLiteral("Target.closeTarget"), {{QStringLiteral("targetId"), target}}).ok;
    if (closed) {
        WorkTabMemory &memory = job.tabs();
        std::lock_guard lock(memory.mutex);
        memory.followed.removeAll(target);
        memory.made.removeAll(target);
        memory.last.clear();
    }
    companionLog(QStringLiteral("worktab.hung"),
                 {{QStringLiteral("closed"), closed ? QStringLiteral("yes") : QStringLiteral("no")}});
}

} // namespace corvane
