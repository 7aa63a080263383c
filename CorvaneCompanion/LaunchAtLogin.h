#pragma once

// Starting the companion when the user logs in. Inert outside an installed
// copy. Switched on by itself once, on the first run; after that only the
// user's "Start at Login" toggles it.

#include "Bundle.h"

namespace corvane::LaunchAtLogin {

inline const QString offeredKey = QStringLiteral("launchAtLoginOffered");

bool isOn(const platform::Bundle &bundle = platform::mainBundle());
// Errors are logged, never passed on.
void set(bool on, const platform::Bundle &bundle = platform::mainBundle());
void enableOnFirstRun(const platform::Bundle &bundle = platform::mainBundle());

} // namespace corvane::LaunchAtLogin
