#pragma once

// How busy the browser is with chat jobs, for the updater's quiet rule, and
// the application's version.

#include "Bundle.h"

#include <QDateTime>
#include <QString>

namespace corvane {

// The version this build was made as.
extern const QString companionBuildVersion;

// Brackets every chat job around its driver call. Local requests are not
// counted. An unmatched end leaves the count at 0 and still notes the time.
void jobStarted();
void jobEnded(const QDateTime &now = QDateTime::currentDateTimeUtc());

// No job running and none ended within `seconds` of `now` (equality counts as
// quiet). A process that ran no job is quiet at once.
bool browserIsQuiet(double seconds, const QDateTime &now);

// The bundle's short version string, or `companionBuildVersion` when it has
// none that is a non-empty string.
QString companionVersion(const platform::Bundle &bundle);

} // namespace corvane
