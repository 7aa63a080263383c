#include "server/McpHttp.h"

#include "driver/Drive.h"

#include <QJsonDocument>
#include <QRandomGenerator>

#include <algorithm>

namespace corvane {

namespace {

// Clients that never end their sessions must not grow the list for ever.
constexpr std::size_t sessionLimit = 256;
constexpr int sessionTransportError = -32000;
constexpr int sessionNotFound = -32001;

const QByteArray sessionHeader = QByteArrayLiteral("Mcp-Session-Id");

HttpAnswer jsonAnswer(const QByteArray &status, const QJsonObject &message)
{
    return {status, {{QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json")}},
            QJsonDocument(message).toJson(QJsonDocument::Compact)};
}

HttpAnswer transportError(const QByteArray &status, int code, const QString &text)
{
    return jsonAnswer(status, mcpErrorReply({}, code, text));
}

} // namespace

McpHttpEndpoint::McpHttpEndpoint(McpDriver driver)
    : driver_(std::move(driver))
{
}

QString McpHttpEndpoint::openSession()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    const QString id = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
    std::lock_guard lock(mutex_);
    if (sessions_.size() >= sessionLimit)
        sessions_.pop_front();
    sessions_.push_back(id);
    return id;
}

bool McpHttpEndpoint::hasSession(const QString &id)
{
    std::lock_guard lock(mutex_);
    return std::find(sessions_.begin(), sessions_.end(), id) != sessions_.end();
}

bool McpHttpEndpoint::closeSession(const QString &id)
{
    std::lock_guard lock(mutex_);
    const auto found = std::find(sessions_.begin(), sessions_.end(), id);
    if (found == sessions_.end())
        return false;
    sessions_.erase(found);
    return true;
}

HttpAnswer McpHttpEndpoint::handle(const LoopbackRequest &request)
{
    const std::optional<QString> session = requestHeader(request, QLatin1String("mcp-session-id"));
    if (request.method == QLatin1String("DELETE")) {
        if (!session)
            return transportError("400 Bad Request", sessionTransportError, QStringLiteral("Bad Request: Mcp-Session-Id header is required."));
        if (!closeSession(*session))
            return transportError("404 Not Found", sessionNotFound, QStringLiteral("Session not found."));
        return {"200 OK", {}, {}};
    }
    if (request.method != QLatin1String("POST")) {
        HttpAnswer answer = transportError("405 Method Not Allowed", sessionTransportError,
                                           QStringLiteral("Method not allowed: this server sends no streams."));
        answer.headers.append({QByteArrayLiteral("Allow"), QByteArrayLiteral("POST, DELETE")});
        return answer;
    }
    if (const std::optional<QString> version = requestHeader(request, QLatin1String("mcp-protocol-version"));
        version && !isSupportedMcpProtocolVersion(*version)) {
        return transportError("400 Bad Request", sessionTransportError,
                              QStringLiteral("Bad Request: unsupported protocol version %1.").arg(*version));
    }

    const McpMessage message = parseMcpMessage(request.content);
    if (message.kind == McpMessage::Kind::invalid)
        return jsonAnswer("400 Bad Request", message.error);
    const bool initialize = isMcpInitialize(message);
    if (!initialize) {
        if (!session)
            return transportError("400 Bad Request", sessionTransportError, QStringLiteral("Bad Request: Mcp-Session-Id header is required."));
        if (!hasSession(*session))
            return transportError("404 Not Found", sessionNotFound, QStringLiteral("Session not found."));
    }
    if (message.kind != McpMessage::Kind::request)
        return {"202 Accepted", {}, {}};

    const QJsonObject reply = answerMcpRequest(message, driver_);
    HttpAnswer answer = jsonAnswer("200 OK", reply);
    if (initialize && reply.contains(QStringLiteral("result")))
        answer.headers.append({sessionHeader, openSession().toLatin1()});
    return answer;
}

McpHttpEndpoint &companionMcpEndpoint()
{
    static McpHttpEndpoint endpoint([](const QString &path, const Body &body) { return drive(path, body, true); });
    return endpoint;
}

} // namespace corvane
