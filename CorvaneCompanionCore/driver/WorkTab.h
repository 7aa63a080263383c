#pragma once

// The one tab the companion acts in, labelled "cv-work" inside agent-browser:
// finding it in the tab listing, bringing it to the front, opening pages in it.

#include "driver/ToolRun.h"
#include "driver/ToolRunner.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>
#include <optional>

namespace corvane {

inline const QString workTabLabel = QStringLiteral("cv-work");

enum class WorkTabState { active, listed, missing };

const QStringList &workTabListArgs();

WorkTabState workTabState(const QString &listingOutput);

inline const QString noTabListingText = QStringLiteral("\u2717 agent-browser gave no tab listing.");
inline const QString noWorkWindowText = QStringLiteral("\u2717 Chrome would not open a window for the work.");
inline const QString agentTabNewText = QStringLiteral(
    "\u2717 An assistant's work stays in its own window, one tab: open the page there with browser_open.");
inline const QString newTabFollowedText = QStringLiteral("The page opened a new tab; actions now go to it.");

class Job;

// The tabs the work moved into or made, which the tool cannot tell (it
// cannot move a label): the driver remembers them for as long as it runs.
struct WorkTabMemory {
    // The plain work tab; `agent`'s has a window of its own.
    explicit WorkTabMemory(const QString &agent = {})
        : label(agent.isEmpty() ? workTabLabel : workTabLabel + QLatin1Char('-') + agent)
        , ownWindow(!agent.isEmpty())
    {
    }

    const QString label;
    // An agent's work tab is the only tab of a window made for it, which the
    // tool cannot label: it is known by its target id (`home`), and its
    // session is pinned to it, so tabs others open never become the work's.
    const bool ownWindow;

    std::mutex mutex;
    QString home;
    QStringList followed; // newest last, by CDP target id
    // Made by a "/cli tab new": the work's, but actions stay where they
    // were until one is switched to.
    QStringList made;
    QString last; // the tab actions went to, as the last listing gave it
};

// One tab of the tool's listing.
struct ListedTab {
    QString targetId;
    QString label;
    QString url;
    bool active = false;
    QString tabId; // the tool's short name for it ("t2")
    QString title;
};

// The tabs of a `tab list --json` output; none when it is not such a listing.
std::optional<QList<ListedTab>> listedTabs(const QString &listingOutput);

// After a step ran past its limit: the tab actions went to is closed when its
// page no longer answers (a script that never yields), so that the next step
// starts on a fresh one. Only ever the work's own tab.
void closeWorkTabIfHung(Job &job);

// True when the work tab is the active tab afterwards. `listed` receives the
// target ids of every tab there was, `workTarget` the work tab's.
bool focusWorkTabIfAny(Job &job, QStringList *listed = nullptr, QString *workTarget = nullptr);

// Runs `reads` in the work tab, after bringing it to the front when it is
// not: in one process with the listing when it is in front already, as it
// mostly is. None when there is no work tab. `listed` and `workTarget` as
// for focusWorkTabIfAny.
std::optional<QList<ToolRun>> readOnWorkTab(Job &job, const QList<BatchStep> &reads, int limit,
                                            QStringList *listed = nullptr, QString *workTarget = nullptr);

// The work tab's target id as the last listing gave it; empty before one.
QString lastWorkTarget(WorkTabMemory &memory);
// Brings a tab in front of the other tabs of its window, through DevTools:
// the work's tab stays where it is.
bool bringTabForward(const QString &targetId);

// The tabs the work has: the work tab and the open tabs it followed, oldest
// first, the one actions go to marked `active`. None when the tool gave no
// listing.
std::optional<QList<ListedTab>> workTabs(Job &job);
// The same from a listing's tabs.
QList<ListedTab> workTabs(WorkTabMemory &memory, const QList<ListedTab> &tabs);
// Makes the work's tab at `index` (from 1, as workTabs() lists them) the one
// actions go to. False when there is no such tab.
bool switchWorkTab(Job &job, int index);

// After an action in the work tab: a tab that was not `listedBefore`, is
// now the active one and was opened by one of the work's tabs (Chrome names
// its opener) becomes the work tab. Its address when that happened. A tab
// the person opened meanwhile is left alone. A followed tab that closes
// itself hands the work back to the tab it came from. `listingAfter`: the
// output of a listing taken after the action, when the action's reads took
// one.
std::optional<QString> followNewTab(Job &job, const QStringList &listedBefore,
                                    const std::optional<QString> &listingAfter = std::nullopt);

// A "/cli" tab command held to the work's tabs: a listing names only them,
// a switch or a close takes only one of them, and a tab it makes becomes
// one of them. The run of what was done; none when it names a tab that is
// not the work's (nothing ran then).
std::optional<ToolRun> runWorkTabCommand(Job &job, const QStringList &args);

// Opens `url` in the work tab, creating the tab when there is none; the run
// of that step.
ToolRun openOnWorkTab(Job &job, const QString &url);

QStringList firstOpenArgs(const QString &url);

} // namespace corvane
