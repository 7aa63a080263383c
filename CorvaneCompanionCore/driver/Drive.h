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
inline const QString textTooLongText = QStringLiteral("The text is too long for one browser action.");

// Runs synchronously on the caller's thread; may take many seconds.
// `autostart`: may Chrome be started when its debugging port does not answer.
DriverResult drive(const QString &path, const Body &body, bool autostart);

} // namespace corvane
