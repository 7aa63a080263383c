#pragma once

// The menu's actions as commands, for a companion without a tray:
//   corvane-companion disconnect
//   corvane-companion status
//   corvane-companion mcp          (the MCP stdio bridge)
//   corvane-companion defaults read|write|delete KEY [VALUE]
// Each prints its outcome and returns the process exit code.

#include <QStringList>

namespace corvane {

bool isCompanionCommand(const QString &word);
// `arguments` starts with the command word.
int runCompanionCommand(const QStringList &arguments);

} // namespace corvane
