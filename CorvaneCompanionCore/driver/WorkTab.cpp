#include "driver/WorkTab.h"

#include "diagnostics/EventLog.h"
#include "driver/AgentRunner.h"
#include "driver/PageView.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <functional>
#include <mutex>

namespace corvane {

const QStringList &workTabListArgs()
{
    static const QStringList args{QStringLiteral("tab"), QStringLiteral("list"), QStringLiteral("--json")};
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
        listed.append({object.value(QStringLiteral("targetId")).toString(), object.value(QStringLiteral("label")).toString(),
                       object.value(QStringLiteral("url")).toString(), active.isBool() && active.toBool()});
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

// Tabs the work moved into, newest last, by CDP target id: the tool cannot
// move a label, so the companion remembers them (for as long as it runs).
std::mutex followedMutex;
QStringList followedTargets;
QString lastTarget; // under followedMutex

const ListedTab *tabWith(const QList<ListedTab> &tabs, const std::function<bool(const ListedTab &)> &wanted)
{
    const auto found = std::find_if(tabs.begin(), tabs.end(), wanted);
    return found == tabs.end() ? nullptr : &*found;
}

// The newest followed tab still open; closed ones give the work back.
QString followedTarget(const QList<ListedTab> &tabs)
{
    std::lock_guard lock(followedMutex);
    while (!followedTargets.isEmpty()
           && !tabWith(tabs, [](const ListedTab &tab) { return tab.targetId == followedTargets.back(); })) {
        followedTargets.removeLast();
        companionLog(QStringLiteral("worktab.fallback"), {});
    }
    return followedTargets.isEmpty() ? QString() : followedTargets.back();
}

} // namespace

namespace {

// The tab actions go to, from a listing: the newest followed one still
// open, else the labelled work tab.
const ListedTab *currentWorkTab(const QList<ListedTab> &tabs)
{
    const QString followed = followedTarget(tabs);
    const ListedTab *work = followed.isEmpty() ? tabWith(tabs, [](const ListedTab &tab) { return tab.label == workTabLabel; })
                                               : tabWith(tabs, [&](const ListedTab &tab) { return tab.targetId == followed; });
    std::lock_guard lock(followedMutex);
    lastTarget = work ? work->targetId : QString();
    return work;
}

// Brings the work tab to the front, as the tool knows it.
bool switchTo(const ListedTab &work)
{
    const bool worked =
        runOnActivePort({QStringLiteral("tab"), work.label == workTabLabel ? workTabLabel : work.targetId}, OutputReading::tabSwitch)
            .succeeded();
    companionLog(QStringLiteral("worktab.switch"), {{QStringLiteral("ok"), yesNo(worked)}});
    return worked;
}

// The listing's tabs, and the work tab among them.
const ListedTab *noteWorkTab(const QList<ListedTab> &tabs, QStringList *listed, QString *workTarget)
{
    if (listed) {
        for (const ListedTab &tab : tabs)
            listed->append(tab.targetId);
    }
    const ListedTab *work = currentWorkTab(tabs);
    if (work && workTarget)
        *workTarget = work->targetId;
    return work;
}

std::optional<QList<ListedTab>> listing()
{
    return listedTabs(runOnActivePort(workTabListArgs(), OutputReading::data).output);
}

} // namespace

bool focusWorkTabIfAny(QStringList *listed, QString *workTarget)
{
    const std::optional<QList<ListedTab>> tabs = listing();
    if (!tabs)
        return false;
    const ListedTab *work = noteWorkTab(*tabs, listed, workTarget);
    return work && (work->active || switchTo(*work));
}

std::optional<QList<ToolRun>> readOnWorkTab(const QList<BatchStep> &reads, int limit, QStringList *listed, QString *workTarget)
{
    // The reads go to whichever tab is in front, and count only when that is
    // the work tab: they never act on a page, so nothing is done elsewhere.
    QList<ToolRun> runs = runBatchOnActivePort(QList<BatchStep>{{workTabListArgs(), OutputReading::data}} + reads, limit);
    const std::optional<QList<ListedTab>> tabs = listedTabs(runs.takeFirst().output);
    if (!tabs) {
        // No listing came: the long way, except that reads that ran out of
        // time stand, for their step to take again as it does.
        if (!focusWorkTabIfAny(listed, workTarget))
            return std::nullopt;
        if (runs.front().outcome == ToolOutcome::timedOut && runs.front().output.isEmpty())
            return runs;
        return runBatchOnActivePort(reads, limit);
    }
    const ListedTab *work = noteWorkTab(*tabs, listed, workTarget);
    if (!work)
        return std::nullopt;
    if (work->active)
        return runs;
    if (!switchTo(*work))
        return std::nullopt;
    return runBatchOnActivePort(reads, limit);
}

QString lastWorkTarget()
{
    std::lock_guard lock(followedMutex);
    return lastTarget;
}

std::optional<QList<ListedTab>> workTabs()
{
    const std::optional<QList<ListedTab>> tabs = listing();
    if (!tabs)
        return std::nullopt;
    const ListedTab *current = currentWorkTab(*tabs);
    QStringList ids;
    if (const ListedTab *labelled = tabWith(*tabs, [](const ListedTab &tab) { return tab.label == workTabLabel; }))
        ids.append(labelled->targetId);
    {
        std::lock_guard lock(followedMutex);
        for (const QString &id : std::as_const(followedTargets)) {
            if (!ids.contains(id))
                ids.append(id);
        }
    }
    QList<ListedTab> work;
    for (const QString &id : std::as_const(ids)) {
        if (const ListedTab *tab = tabWith(*tabs, [&](const ListedTab &listed) { return listed.targetId == id; })) {
            work.append(*tab);
            work.back().active = current && current->targetId == id;
        }
    }
    return work;
}

bool switchWorkTab(int index)
{
    const std::optional<QList<ListedTab>> tabs = workTabs();
    if (!tabs || index < 1 || index > tabs->size())
        return false;
    {
        // The chosen tab becomes the newest followed one.
        std::lock_guard lock(followedMutex);
        followedTargets.removeAll(tabs->at(index - 1).targetId);
        followedTargets.append(tabs->at(index - 1).targetId);
    }
    return focusWorkTabIfAny();
}

std::optional<QString> followNewTab(const QStringList &listedBefore, const std::optional<QString> &listingAfter)
{
    const std::optional<QList<ListedTab>> tabs =
        listedTabs(listingAfter ? *listingAfter : runOnActivePort(workTabListArgs(), OutputReading::data).output);
    if (!tabs)
        return std::nullopt;
    const ListedTab *active = tabWith(*tabs, [](const ListedTab &tab) { return tab.active; });
    if (!active || active->targetId.isEmpty() || listedBefore.contains(active->targetId))
        return std::nullopt;
    {
        std::lock_guard lock(followedMutex);
        followedTargets.append(active->targetId);
    }
    companionLog(QStringLiteral("worktab.follow"), {{QStringLiteral("url"), active->url}});
    return active->url;
}

ToolRun openOnWorkTab(const QString &url)
{
    if (focusWorkTabIfAny())
        return runOnActivePort({QStringLiteral("open"), url}, OutputReading::open);
    // Unlike "open", a new tab does not wait for its page: the next step
    // would find it still empty.
    const ToolRun created = runOnActivePort(firstOpenArgs(url), OutputReading::open);
    if (created.succeeded())
        waitForNewTabPage(navigateSettleLimit);
    return created;
}

QStringList firstOpenArgs(const QString &url)
{
    return {QStringLiteral("tab"), QStringLiteral("new"), QStringLiteral("--label"), workTabLabel, url};
}

} // namespace corvane
