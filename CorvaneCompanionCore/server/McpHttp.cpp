#include "server/McpHttp.h"

#include "driver/Drive.h"

#include <QJsonDocument>

namespace corvane {

namespace {

constexpr int transportError = -32000;

HttpAnswer jsonAnswer(const QByteArray &status, const QJsonObject &message)
{
    return {status, {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}},
            QJsonDocument(message).toJson(QJsonDocument::Compact)};
}

} // namespace

McpHttpEndpoint::McpHttpEndpoint(McpDriver driver)
    : driver_(std::move(driver))
{
}

HttpAnswer McpHttpEndpoint::handle(const LoopbackRequest &request) const
{
    if (request.method != QLatin1String("POST")) {
        HttpAnswer answer = jsonAnswer("405 Method Not Allowed",
                                       mcpErrorReply({}, transportError, QStringLiteral("Method not allowed: this server takes POST only.")));
        answer.headers.append({QByteArrayLiteral("Allow"), QByteArrayLiteral("POST")});
        return answer;
    }
    if (const std::optional<QString> version = requestHeader(request, QLatin1String("mcp-protocol-version"));
        version && !isSupportedMcpProtocolVersion(*version)) {
        return jsonAnswer("400 Bad Request",
                          mcpErrorReply({}, transportError, QStringLiteral("Bad Request: unsupported protocol version %1.").arg(*version)));
    }
    const McpMessage message = parseMcpMessage(request.content);
    if (message.kind == McpMessage::Kind::invalid)
        return jsonAnswer("400 Bad Request", message.error);
    if (message.kind != McpMessage::Kind::request)
        return {"202 Accepted", {}, {}};
    return jsonAnswer("200 OK", answerMcpRequest(message, driver_));
}

const McpHttpEndpoint &companionMcpEndpoint()
{
    static const McpHttpEndpoint endpoint([](const QString &path, const Body &body) { return drive(path, body, true); });
    return endpoint;
}

} // namespace corvane
