#pragma once

// Turning tool runs into the result of a driver path: snapshots with one
// retry while the page loads, settling after actions, the page's title and
// address, and the "/view" screenshot. The texts a run stands for are made
// here, where results are built.

#include "driver/AgentRunner.h"
#include "driver/DriverResult.h"
#include "driver/ToolRun.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace corvane {

class Job;

// What a run that printed nothing of its own stands for.
inline const QString agentBusyText = QStringLiteral("COMPANION ERROR: Chrome is still working on the previous action.");
inline const QString agentMissingText = QStringLiteral("agent-browser is not installed.");
inline const QString agentTimeoutText = QStringLiteral("The browser action timed out.");
// Followed by the system's reason, for a tool that is there but would not start.
inline const QString agentStartFailedText = QStringLiteral("agent-browser could not start: ");
inline const QString agentListenerText = QStringLiteral(
    "agent-browser opened a network port that other accounts of this machine could use; the companion stopped it and "
    "does not drive the browser through it.");
inline const QString outputCutText = QStringLiteral("\n[output cut at 4 MiB]");

inline const QString pageEmptyText = QStringLiteral("The page was empty.");
inline const QString commandReturnedNothingText = QStringLiteral("The command returned nothing.");
inline const QString snapshotTimedOutAfterActionText
    = QStringLiteral("The page changed. Snapshot timed out \u2014 call browser_snapshot.");
inline const QString screenshotFileName = QStringLiteral("corvane-companion-view.jpg");

// A snapshot longer than an assistant can take in one tool result is cut at
// a line boundary and says so.
inline constexpr qsizetype snapshotTextLimit = 100000;
QString cutSnapshot(const QString &text);

// The text of a run in a result: what the tool printed (with a note when it
// was cut), or what the runner has to say instead.
QString runText(const ToolRun &run);

const QStringList &snapshotArgs();

// The snapshot, taken again once after a load wait when it timed out, cut to
// snapshotTextLimit and read as `reading` says.
ToolRun snapshotSettled(Job &job, const QStringList &args, OutputReading reading = OutputReading::snapshot);
// The same for a snapshot that has already run once, as `first`.
ToolRun snapshotSettled(Job &job, const ToolRun &first, const QStringList &args, OutputReading reading);

// Runs page reads where they belong (in the work tab) and gives their runs
// in order; none when there is nowhere to read.
using PageReads = std::function<std::optional<QList<ToolRun>>(const QList<BatchStep> &reads)>;

// The "/view" result: the title, the address and a screenshot, read by
// `read` in one go. None when `read` gave nothing.
std::optional<DriverResult> pageView(const PageReads &read);
DriverResult finish(Job &job, const ToolRun &snapshot, bool chrome);
class ActionWatch;
// The result of an action: the page after it, once it settled, read in one
// process. With a watch, the settling waits for what the action started,
// and the text tells what it changed and downloaded. With `listingAfter`,
// the reads take the tab listing too and leave its output there.
// How long a page is given after a step: as after an action, or with its
// quiet counted only from the end of the pause (a dialog answered).
enum class SettleFrom { watchStart, pauseEnd };
DriverResult afterAction(Job &job, const ToolRun &action, ActionWatch *watch = nullptr,
                         std::optional<QString> *listingAfter = nullptr, SettleFrom from = SettleFrom::watchStart);
DriverResult finishCli(Job &job, const ToolRun &command);

} // namespace corvane
