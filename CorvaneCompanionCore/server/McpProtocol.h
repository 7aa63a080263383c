#pragma once

// JSON-RPC messages of the Model Context Protocol, apart from any transport:
// reading one message, and the answer to a request. Malformed input gets a
// JSON-RPC error, never a call of the driver.

#include "driver/CallControl.h"
#include "driver/DriverResult.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace corvane {

inline const QString mcpLatestProtocolVersion = QStringLiteral("2025-11-25");

// JSON-RPC error codes.
inline constexpr int mcpParseError = -32700;
inline constexpr int mcpInvalidRequest = -32600;
inline constexpr int mcpMethodNotFound = -32601;
inline constexpr int mcpInvalidParams = -32602;
inline constexpr int mcpInternalError = -32603;

bool isSupportedMcpProtocolVersion(const QString &version);

struct McpMessage {
    enum class Kind { invalid, request, notification, response };
    Kind kind = Kind::invalid;
    QJsonValue id; // a request's id; null when unknown
    QString method;
    QJsonObject params;
    // For an invalid message: the error reply it gets.
    QJsonObject error;
};

McpMessage parseMcpMessage(const QByteArray &bytes);

// The browser action behind a tool: a driver path and its body in.
using McpDriver = std::function<DriverResult(const QString &path, const Body &body, const CallControl &control)>;
// Sends the client a notification while its request runs; false once the
// client cannot be reached any more.
using McpNotifier = std::function<bool(const QJsonObject &notification)>;

// The reply to a request: a result or a JSON-RPC error. A tool call that
// asked for progress is told it through `notify`, when there is one.
// `caller` names the client (its session), so that only its own
// cancellations reach its calls.
QJsonObject answerMcpRequest(const McpMessage &request, const McpDriver &driver, const McpNotifier &notify = {},
                             const QString &caller = {});

// A notification from the client `caller`: "notifications/cancelled" calls
// off that client's running tool call it names; others change nothing.
void takeMcpNotification(const McpMessage &notification, const QString &caller = {});

// The token a request gave for progress notifications, if any.
std::optional<QJsonValue> mcpProgressToken(const McpMessage &request);
QJsonObject mcpProgressNotification(const QJsonValue &token, double progress, double total, const QString &message);

QJsonObject mcpErrorReply(const QJsonValue &id, int code, const QString &message);
// A JSON-RPC answer (a result or an error) in an HTTP body; none for
// anything else, such as a refusal's text.
std::optional<QJsonObject> mcpAnswerIn(const QByteArray &body);
bool isMcpInitialize(const McpMessage &message);

} // namespace corvane
