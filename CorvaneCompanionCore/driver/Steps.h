#pragma once

// The steps the actions are made of: how a checked, a watched or a reading
// action runs in the work tab, and the handlers of the actions that do more.
// Chrome is known to answer when any of them is called.

#include "driver/Actions.h"
#include "driver/DriverResult.h"

#include <QString>
#include <QStringList>

namespace corvane {

inline const QString openNeedsPageText = QStringLiteral("open needs one http(s) page.");
inline const QString cliNeedsCommandText = QStringLiteral("cli needs an agent-browser command.");
inline const QString notFoundText = QStringLiteral("Not found.");
inline const QString handOverWaitText = QStringLiteral("wait must be a number of seconds, at most 600.");
inline const QString noSuchWorkTabText = QStringLiteral("No such tab: give the number of one of the work's tabs.");
inline const QString notWorksTabText = QStringLiteral("No such tab among the work's tabs: /cli tab lists them.");
inline const QString workTabsHeading = QStringLiteral("The work's tabs (\u2192 marks the one actions go to):");
// The most a wait for a text takes, below the runner's limit.
inline constexpr double waitForLimit = 15.0;

// Input errors, the missing work tab and unknown paths: Chrome is there, the
// request is not usable.
DriverResult refusal(const QString &text);

// A human-verification page stops the action before it runs; else it runs
// watched, and the work follows a tab it opened.
DriverResult checkedStep(Job &job, const QStringList &args);
// The action runs watched in the work tab, without the check.
DriverResult watchedStep(Job &job, const QStringList &args);

DriverResult healthStep(const ActionCall &call);
DriverResult handBackStep(const ActionCall &call);
DriverResult viewStep(const ActionCall &call);
DriverResult openStep(const ActionCall &call);
DriverResult snapshotStep(const ActionCall &call);
DriverResult cliStep(const ActionCall &call);
DriverResult tabsStep(const ActionCall &call);
DriverResult uploadStep(const ActionCall &call);
DriverResult handOverStep(const ActionCall &call);

// The command text of a /cli body, parsed; empty when there is none.
QStringList cliArgs(const Body &body);
// True for a /cli body with a dialog command: it may run while a dialog
// holds the work tab.
bool answersDialog(const Body &body);

} // namespace corvane
