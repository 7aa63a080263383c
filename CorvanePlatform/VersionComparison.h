#pragma once

// Release versions compared the way appcast feeds compare them: numeric runs
// as numbers ("1.10" after "1.9"), trailing zero parts ignored ("1.0" equals
// "1.0.0"), and a letter part marking a pre-release ("1.0b1" before "1.0",
// "1.0.1" after "1.0b1").

#include <QString>

namespace corvane::platform {

// Negative when `a` is older than `b`, zero when they are the same release,
// positive when `a` is newer.
int compareVersions(const QString &a, const QString &b);

} // namespace corvane::platform
