#pragma once

// The one entry of every browser job: a driver path and its body in, one
// DriverResult out. Never throws; every failure is a result with `ok` false.

#include "driver/DriverResult.h"

#include <QString>

namespace corvane {

inline const QString openNeedsPageText = QStringLiteral("open needs one http(s) page.");
inline const QString clickNeedsRefText = QStringLiteral("click needs a ref.");
inline const QString fillNeedsRefText = QStringLiteral("fill needs a ref.");
inline const QString cliNeedsCommandText = QStringLiteral("cli needs an agent-browser command.");
inline const QString notFoundText = QStringLiteral("Not found.");

// Runs synchronously on the caller's thread; may take many seconds. One job
// at a time acts in the work tab: another one meanwhile gets the busy text at
// once ("/health" and answering a dialog excepted).
// `autostart`: may Chrome be started when its debugging port does not answer.
DriverResult drive(const QString &path, const Body &body, bool autostart);

// The paths that act in the browser (all but "/health", "/" and unknown ones).
bool isActionPath(const QString &path);

// What a request types into the page (a fill's text, a command's free text):
// kept out of the log by every channel that logs about the job.
QStringList requestTypedTexts(const QString &path, const Body &body);

} // namespace corvane
