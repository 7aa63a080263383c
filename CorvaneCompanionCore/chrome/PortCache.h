#pragma once

// The port every browser action talks to, chosen from the running Chrome or
// the first free candidate, and remembered for 15 seconds.

#include <QtGlobal>

namespace corvane {

inline constexpr double portCacheLifetime = 15.0;
// When every candidate port is served by a Chrome on another folder (the
// user's everyday one, say), ours starts on the first free port after them,
// up to this one.
inline constexpr qint64 lastSparePort = 9232;

qint64 activeChromePort(bool refresh);

// Whether a choice made at `chosenAtMs` (wall clock) still holds at `nowMs`.
bool portChoiceIsFresh(qint64 chosenAtMs, qint64 nowMs);

} // namespace corvane
