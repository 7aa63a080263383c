#pragma once

// The one entry of every browser job: a driver path and its body in, one
// DriverResult out. Never throws; every failure is a result with `ok` false.

#include "driver/CallControl.h"
#include "driver/DriverResult.h"

#include <QString>

namespace corvane {

inline const QString openNeedsPageText = QStringLiteral("open needs one http(s) page.");
inline const QString clickNeedsRefText = QStringLiteral("click needs a ref.");
inline const QString fillNeedsRefText = QStringLiteral("fill needs a ref.");
inline const QString cliNeedsCommandText = QStringLiteral("cli needs an agent-browser command.");
inline const QString notFoundText = QStringLiteral("Not found.");
inline const QString pressNeedsKeyText = QStringLiteral("press needs a key, such as Enter.");
inline const QString selectNeedsValueText = QStringLiteral("select needs a ref and a value.");
inline const QString waitForNeedsTextText = QStringLiteral("wait-for needs a text.");
inline const QString uploadNeedsFileText = QStringLiteral("upload needs a ref and a file name.");
inline const QString handOverWaitText = QStringLiteral("wait must be a number of seconds, at most 600.");
inline const QString noSuchWorkTabText = QStringLiteral("No such tab: give the number of one of the work's tabs.");
inline const QString notWorksTabText = QStringLiteral("No such tab among the work's tabs: /cli tab lists them.");
inline const QString workTabsHeading = QStringLiteral("The work's tabs (\u2192 marks the one actions go to):");
// The most a wait for a text takes, below the runner's limit.
inline constexpr double waitForLimit = 15.0;

// Runs synchronously on the caller's thread; may take many seconds. One job
// at a time acts in the work tab: another one meanwhile gets the busy text at
// once ("/health" and answering a dialog excepted).
// `autostart`: may Chrome be started when its debugging port does not answer.
// `control`: a long job (a hand-over) reports progress and may be called off.
DriverResult drive(const QString &path, const Body &body, bool autostart, const CallControl &control = {});

// A job of the chat service: its own paths only. The local ones (a
// hand-over waits for minutes) answer as unknown paths do.
DriverResult driveChatJob(const QString &path, const Body &body);

// The paths that act in the browser (all but "/health", "/" and unknown ones).
bool isActionPath(const QString &path);
// The paths the chat service sends; others are not served on its channel.
bool isChatPath(const QString &path);

// What a request types into the page (a fill's text, a command's free text):
// kept out of the log by every channel that logs about the job.
QStringList requestTypedTexts(const QString &path, const Body &body);

} // namespace corvane
