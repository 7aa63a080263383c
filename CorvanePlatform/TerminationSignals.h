#pragma once

// SIGTERM, SIGINT and SIGHUP delivered as a call on the main thread, so that
// stopping a companion from a terminal or a service manager quits it the way
// the menu does. A closed output pipe is ignored rather than fatal.

#include <functional>

class QObject;

namespace corvane::platform {

// Installs the handlers once; `onSignal` runs in `context`'s thread.
void onTerminationSignal(QObject *context, std::function<void()> onSignal);

// A write to a pipe or socket whose reader is gone fails with an error
// rather than ending the process.
void ignoreBrokenPipes();

} // namespace corvane::platform
