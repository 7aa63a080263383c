#pragma once

// The one tab the companion acts in, labelled "cv-work" inside agent-browser:
// finding it in the tab listing, bringing it to the front, opening pages in it.

#include <QChar>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

inline const QString workTabLabel = QStringLiteral("cv-work");

enum class WorkTabState { active, listed, missing };

const QStringList &workTabListArgs();

WorkTabState workTabState(const QString &listingOutput);

// True when the work tab is the active tab afterwards.
bool focusWorkTabIfAny();

// Opens `url` in the work tab, creating the tab when there is none; returns
// the tool's output of that step.
QString openOnWorkTab(const QString &url);

bool workTabFocusWorked(const QString &output);

// The first character after trimming; none for a blank text.
std::optional<QChar> statusMark(const QString &text);

QStringList firstOpenArgs(const QString &url);

} // namespace corvane
