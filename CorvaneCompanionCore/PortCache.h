#pragma once

// The port every browser action talks to, chosen from the running Chrome or
// the first free candidate, and remembered for 15 seconds.

#include <QtGlobal>

namespace corvane {

inline constexpr double portCacheLifetime = 15.0;

qint64 activeChromePort(bool refresh);

// Whether a choice made at `chosenAtMs` (wall clock) still holds at `nowMs`.
bool portChoiceIsFresh(qint64 chosenAtMs, qint64 nowMs);

} // namespace corvane
