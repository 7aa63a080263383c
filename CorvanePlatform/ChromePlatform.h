#pragma once

// Where Chrome lives on this platform, how its main process shows in the
// process list, and the switches this platform adds when we launch it.

#include <QString>
#include <QStringList>

namespace corvane::platform {

// Google Chrome first, then the distribution's Chromium.
QStringList chromeExecutableCandidates();

// `configured` when it is non-empty, else the first candidate that is an
// executable file, else the first candidate (which then fails the
// installed test of the callers).
QString chromeExecutable(const QString &configured);

// The text that starts the main process's command line: the executable
// followed by a space.
QString chromeCommandLinePrefix(const QString &executable);

bool hasGraphicalDisplay();

// Switches added after the fixed ones: a headless Chrome where there is no
// display to show it, no sandbox for root (Chrome refuses to start otherwise),
// then the user's own flags, split into words the way a shell splits them.
QStringList chromeLaunchSwitches(bool hasDisplay, bool asRoot, const QString &userFlags);

// Words as a POSIX shell splits them, without any expansion: white space
// separates, single quotes keep everything, double quotes keep all but a
// backslash before " \ $ or `, and a backslash outside quotes keeps the next
// character. An unclosed quote runs to the end.
QStringList shellWords(const QString &text);

} // namespace corvane::platform
