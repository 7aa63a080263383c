#pragma once

// The agents at work as a running companion last saw them, in a file beside
// the status file, for `corvane-companion status` to print.

#include "driver/AgentView.h"

#include <QList>
#include <QString>

#include <optional>

namespace corvane {

QString companionAgentsURL();
// Written whole, or not at all.
void writeAgentsStatus(const QList<AgentView> &agents);
// None when there is no such file or it is not one of ours.
std::optional<QList<AgentView>> readAgentsStatus();

} // namespace corvane
