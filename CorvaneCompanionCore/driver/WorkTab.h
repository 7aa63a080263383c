#pragma once

// The one tab the companion acts in, labelled "cv-work" inside agent-browser:
// finding it in the tab listing, bringing it to the front, opening pages in it.

#include "driver/AgentRunner.h"
#include "driver/ToolRun.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

inline const QString workTabLabel = QStringLiteral("cv-work");

enum class WorkTabState { active, listed, missing };

const QStringList &workTabListArgs();

WorkTabState workTabState(const QString &listingOutput);

inline const QString newTabFollowedText = QStringLiteral("The page opened a new tab; actions now go to it.");

// One tab of the tool's listing.
struct ListedTab {
    QString targetId;
    QString label;
    QString url;
    bool active = false;
};

// The tabs of a `tab list --json` output; none when it is not such a listing.
std::optional<QList<ListedTab>> listedTabs(const QString &listingOutput);

// True when the work tab is the active tab afterwards. `listed` receives the
// target ids of every tab there was, `workTarget` the work tab's.
bool focusWorkTabIfAny(QStringList *listed = nullptr, QString *workTarget = nullptr);

// Runs `reads` in the work tab, after bringing it to the front when it is
// not: in one process with the listing when it is in front already, as it
// mostly is. None when there is no work tab. `listed` and `workTarget` as
// for focusWorkTabIfAny.
std::optional<QList<ToolRun>> readOnWorkTab(const QList<BatchStep> &reads, int limit, QStringList *listed = nullptr,
                                            QString *workTarget = nullptr);

// The work tab's target id as the last listing gave it; empty before one.
QString lastWorkTarget();

// The tabs the work has: the work tab and the open tabs it followed, oldest
// first, the one actions go to marked `active`. None when the tool gave no
// listing.
std::optional<QList<ListedTab>> workTabs();
// Makes the work's tab at `index` (from 1, as workTabs() lists them) the one
// actions go to. False when there is no such tab.
bool switchWorkTab(int index);

// After an action in the work tab: a tab that was not `listedBefore` and is
// now the active one was opened by the page, and becomes the work tab. Its
// address when that happened. A followed tab that closes itself hands the
// work back to the tab it came from. `listingAfter`: the output of a listing
// taken after the action, when the action's reads took one.
std::optional<QString> followNewTab(const QStringList &listedBefore, const std::optional<QString> &listingAfter = std::nullopt);

// Opens `url` in the work tab, creating the tab when there is none; the run
// of that step.
ToolRun openOnWorkTab(const QString &url);

QStringList firstOpenArgs(const QString &url);

} // namespace corvane
