#pragma once

// The browser actions as tools of the Model Context Protocol: one tool per
// driver path, its input and output schemas and hints, and a driver result
// as a tool result.

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

// What a tool does to the world, as the protocol's hints say it.
enum class ToolEffect {
    reads,       // only looks
    changes,     // acts on the page, nothing that cannot be undone
    mayDestroy,  // clicks, types, submits: may do what cannot be undone
};

struct McpTool {
    QString name;
    QString title;
    QString path; // the driver path it calls
    QString description;
    QStringList required; // arguments that must be given
    QStringList optional;
    ToolEffect effect = ToolEffect::changes;
    bool openWorld = true; // reaches the web
};

const QList<McpTool> &mcpTools();
const McpTool *findMcpTool(const QString &name);

// The "tools" member of a tools/list result.
QJsonArray mcpToolList();

// The body a call's arguments make, or none when they do not fit the tool
// (a required member missing, a member of the wrong type).
std::optional<Body> mcpToolBody(const McpTool &tool, const QJsonObject &arguments);

// A tools/call result: the driver's text, then the page's title and URL; the
// screenshot as image content; the same facts typed in structuredContent;
// `isError` when the action failed.
QJsonObject mcpToolResult(const DriverResult &result);

} // namespace corvane
