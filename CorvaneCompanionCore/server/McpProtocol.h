#pragma once

// JSON-RPC messages of the Model Context Protocol, apart from any transport:
// reading one message, and the answer to a request. Malformed input gets a
// JSON-RPC error, never a call of the driver.

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
using McpDriver = std::function<DriverResult(const QString &path, const Body &body)>;

// The reply to a request: a result or a JSON-RPC error.
QJsonObject answerMcpRequest(const McpMessage &request, const McpDriver &driver);

QJsonObject mcpErrorReply(const QJsonValue &id, int code, const QString &message);
// A JSON-RPC answer (a result or an error) in an HTTP body; none for
// anything else, such as a refusal's text.
std::optional<QJsonObject> mcpAnswerIn(const QByteArray &body);
bool isMcpInitialize(const McpMessage &message);

} // namespace corvane
