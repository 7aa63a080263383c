#pragma once

// The browser actions as tools of the Model Context Protocol: one tool per
// driver path, its input schema, and a driver result as a tool result.

#include "driver/DriverResult.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

inline const QString needsPersonSentence = QStringLiteral(
    "A person must act in the browser first (a check or a captcha): ask the user to finish it in the work tab, "
    "then go on.");

struct McpTool {
    QString name;
    QString path;        // the driver path it calls
    QString description;
    QStringList required; // string arguments that must be given
    QStringList optional;
};

const QList<McpTool> &mcpTools();
const McpTool *findMcpTool(const QString &name);

// The "tools" member of a tools/list result.
QJsonArray mcpToolList();

// The body a call's arguments make, or none when they do not fit the tool
// (a required member missing, a member that is not a string).
std::optional<Body> mcpToolBody(const McpTool &tool, const QJsonObject &arguments);

// A tools/call result: the driver's text, then the page's title and URL; the
// screenshot as image content; `isError` when the action failed.
QJsonObject mcpToolResult(const DriverResult &result);

} // namespace corvane
