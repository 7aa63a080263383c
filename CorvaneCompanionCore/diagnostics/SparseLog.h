#pragma once

// Events that may come as fast as anyone can cause them (refused
// connections): one line per key a minute, with "count" = how often it
// happened since the last line of that key, so the log is never rotated
// away by them.

#include "diagnostics/EventLog.h"

namespace corvane {

inline constexpr double sparseLogEvery = 60.0;

void logSparingly(const QString &event, const QString &key, Fields fields);

} // namespace corvane
