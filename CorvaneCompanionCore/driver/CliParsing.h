#pragma once

// Turning one typed agent-browser command line into the runner's arguments:
// the launcher the runner supplies itself is dropped, the rest split at white
// space, with the free text of "eval", "fill" and "type" kept together.

#include <QString>
#include <QStringList>

namespace corvane {

QStringList agentBrowserArgs(const QString &text);
QString stripAgentBrowserLauncher(const QString &text);
QString stripMatchingQuotes(const QString &text);

} // namespace corvane
