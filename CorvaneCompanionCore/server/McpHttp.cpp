#include "server/McpHttp.h"

#include "driver/Driver.h"

#include <QJsonDocument>
#include <QUuid>

namespace corvane {

namespace {

constexpr int transportError = -32000;
constexpr qsizetype sessionIdLimit = 128;

HttpAnswer jsonAnswer(const QByteArray &status, const QJsonObject &message)
{
    return {status,
            {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}},
            QJsonDocument(message).toJson(QJsonDocument::Compact)};
}

} // namespace

McpHttpEndpoint::McpHttpEndpoint(McpAgentDriver driver)
    : driver_(std::move(driver))
{
}

void McpHttpEndpoint::serve(const LoopbackRequest &request, const ReplyWriter &write) const
{
    if (request.method != QLatin1String("POST")) {
        HttpAnswer answer
            = jsonAnswer("405 Method Not Allowed",
                         mcpErrorReply({}, transportError,
                                       QStringLiteral("Method not allowed: this server takes POST only.")));
        answer.headers.append({QByteArrayLiteral("Allow"), QByteArrayLiteral("POST")});
        write(answer.bytes());
        return;
    }
    if (const std::optional<QString> version = requestHeader(request, QLatin1String("mcp-protocol-version"));
        version && !isSupportedMcpProtocolVersion(*version)) {
        write(jsonAnswer("400 Bad Request",
                         mcpErrorReply({}, transportError,
                                       QStringLiteral("Bad Request: unsupported protocol version %1.").arg(*version)))
                  .bytes());
        return;
    }
    const McpMessage message = parseMcpMessage(request.content);
    if (message.kind == McpMessage::Kind::invalid) {
        write(jsonAnswer("400 Bad Request", message.error).bytes());
        return;
    }
    // A client is named by the session it was given when it began; one the
    // companion does not know (it was restarted) is taken as it comes.
    const QString caller
        = requestHeader(request, QLatin1String("mcp-session-id")).value_or(QString()).left(sessionIdLimit);
    const McpDriver driver = [this, &caller](const QString &path, const Body &body, const CallControl &control) {
        return driver_(path, body, control, caller);
    };
    if (message.kind != McpMessage::Kind::request) {
        takeMcpNotification(message, caller);
        write(HttpAnswer {"202 Accepted", {}, {}}.bytes());
        return;
    }
    const bool streams = requestHeader(request, QLatin1String("accept"))
                             .value_or(QString())
                             .contains(QLatin1String("text/event-stream"));
    if (isMcpInitialize(message)) {
        HttpAnswer answer = jsonAnswer("200 OK", answerMcpRequest(message, driver));
        // The id is the agent's name too.
        answer.headers.append(
            {QByteArrayLiteral("Mcp-Session-Id"), "mcp-" + QUuid::createUuid().toRfc4122().toHex().left(12)});
        write(answer.bytes());
        return;
    }
    if (!streams || !mcpProgressToken(message)) {
        write(jsonAnswer("200 OK", answerMcpRequest(message, driver, {}, caller)).bytes());
        return;
    }
    // The head goes first; each message then is one event, and the end of
    // the connection ends the stream.
    bool reachable
        = write(QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                                  "Connection: close\r\n\r\n"));
    const auto event = [&write](const QJsonObject &payload) {
        return write("event: message\ndata: " + QJsonDocument(payload).toJson(QJsonDocument::Compact) + "\n\n");
    };
    const QJsonObject answer = answerMcpRequest(
        message, driver,
        [&](const QJsonObject &notification) {
            reachable = reachable && event(notification);
            return reachable;
        },
        caller);
    if (reachable)
        event(answer);
}

McpHttpEndpoint companionMcpEndpoint(Driver &driver)
{
    return McpHttpEndpoint([&driver](const QString &path, const Body &body, const CallControl &control,
                                     const QString &agent) { return driver.drive(path, body, true, control, agent); });
}

} // namespace corvane
