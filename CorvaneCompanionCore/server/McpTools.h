#pragma once

// The browser actions as tools of the Model Context Protocol, shaped from the
// catalogue of actions: the tool list with its schemas and hints, a call's
// arguments as a body, and a driver result as a tool result.

#include "driver/Actions.h"
#include "driver/DriverResult.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

inline const QString needsPersonSentence = QStringLiteral(
    "A person must act in the browser first (a check or a captcha): call browser_hand_over with the reason; it "
    "returns once they are done.");

// The action a tool's name calls; none for an unknown name.
const Action *findMcpTool(const QString &name);

// The "tools" member of a tools/list result.
QJsonArray mcpToolList();

// The body a call's arguments make, or none when they do not fit the tool
// (a required member missing, a member of the wrong type).
std::optional<Body> mcpToolBody(const Action &tool, const QJsonObject &arguments);

// A tools/call result: the driver's text, then the page's title and URL; the
// screenshot as image content; the same facts typed in structuredContent;
// `isError` when the action failed.
QJsonObject mcpToolResult(const DriverResult &result);

} // namespace corvane
