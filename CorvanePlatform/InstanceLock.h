#pragma once

// One running copy of a program per user: a lock that the process holds
// for as long as it lives, on a file in the user's own temporary folder.
// The system lets it go when the process ends, however it ends.

#include <QString>

namespace corvane::platform {

// True when this process now holds the lock named `name` (or held it
// already); false when another process of the user holds it, or the lock
// cannot be taken at all. Programs this process starts never inherit it.
bool holdInstanceLock(const QString &name);

} // namespace corvane::platform
