#include "server/McpProtocol.h"

#include "diagnostics/EventLog.h"
#include "server/McpTools.h"

#include "Bundle.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

namespace corvane {

namespace {

const QString jsonRpcVersion = QStringLiteral("2.0");

McpMessage invalid(const QJsonValue &id, int code, const QString &text)
{
    McpMessage message;
    message.id = id;
    message.error = mcpErrorReply(id, code, text);
    return message;
}

bool isValidId(const QJsonValue &id)
{
    // Strings and integers; JSON-RPC allows fractions, nobody sends them.
    return id.isString() || (id.isDouble() && id.toDouble() == static_cast<double>(id.toInteger()));
}

QJsonObject resultReply(const QJsonValue &id, const QJsonObject &result)
{
    return {{QStringLiteral("jsonrpc"), jsonRpcVersion},
            {QStringLiteral("id"), id},
            {QStringLiteral("result"), result}};
}

QJsonObject initializeResult(const McpMessage &request)
{
    const QString asked = request.params.value(QStringLiteral("protocolVersion")).toString();
    const QString version = isSupportedMcpProtocolVersion(asked) ? asked : mcpLatestProtocolVersion;
    const QString companionVersion = platform::mainBundle().info.value(platform::shortVersionKey).toString();
    return {
        {QStringLiteral("protocolVersion"), version},
        {QStringLiteral("capabilities"),
         QJsonObject {{QStringLiteral("tools"), QJsonObject {{QStringLiteral("listChanged"), false}}}}},
        {QStringLiteral("serverInfo"),
         QJsonObject {{QStringLiteral("name"), QStringLiteral("corvane-companion")},
                      {QStringLiteral("version"), companionVersion}}},
        {QStringLiteral("instructions"),
         QStringLiteral(
             "Browser tools acting in one work tab of the user's own Chrome, signed in as the user. Open a "
             "page, take a snapshot for element refs, then click or fill by ref. An action returns the page after "
             "it (its interactive elements), then the text it made appear or change, and any dialog, new tab "
             "or download.")},
    };
}

// Tool calls running now, by their caller and request id, so that the
// caller's cancellation reaches them and no other client's does.
class RunningCalls {
public:
    using Flag = std::shared_ptr<std::atomic<bool>>;

    Flag add(const QString &key)
    {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard lock(mutex_);
        calls_.insert(key, flag);
        return flag;
    }
    void remove(const QString &key, const Flag &flag)
    {
        std::lock_guard lock(mutex_);
        for (auto it = calls_.find(key); it != calls_.end() && it.key() == key; ++it) {
            if (it.value() == flag) {
                calls_.erase(it);
                return;
            }
        }
    }
    int cancel(const QString &key)
    {
        std::lock_guard lock(mutex_);
        int cancelled = 0;
        for (auto it = calls_.find(key); it != calls_.end() && it.key() == key; ++it, ++cancelled)
            it.value()->store(true);
        return cancelled;
    }

private:
    std::mutex mutex_;
    QMultiHash<QString, Flag> calls_;
};

RunningCalls &runningCalls()
{
    static RunningCalls calls;
    return calls;
}

QString idKey(const QString &caller, const QJsonValue &id)
{
    return caller + QLatin1Char('\n')
        + (id.isString() ? QStringLiteral("s:") + id.toString()
                         : QStringLiteral("n:") + QString::number(id.toInteger()));
}

QJsonObject callTool(const McpMessage &request, const McpDriver &driver, const McpNotifier &notify,
                     const QString &caller)
{
    const QJsonValue name = request.params.value(QStringLiteral("name"));
    if (!name.isString())
        return mcpErrorReply(request.id, mcpInvalidParams, QStringLiteral("tools/call needs the tool's name."));
    const Action *tool = findMcpTool(name.toString());
    if (!tool)
        return mcpErrorReply(request.id, mcpInvalidParams, QStringLiteral("Unknown tool: %1").arg(name.toString()));
    const QJsonValue arguments = request.params.value(QStringLiteral("arguments"));
    if (!arguments.isUndefined() && !arguments.isNull() && !arguments.isObject())
        return mcpErrorReply(request.id, mcpInvalidParams, QStringLiteral("The arguments must be an object."));
    const std::optional<Body> body = mcpToolBody(*tool, arguments.toObject());
    if (!body) {
        const QStringList required = tool->mcpRequired();
        const QString needs
            = (required.isEmpty() ? QString()
                                  : required.join(QStringLiteral(", ")) + QStringLiteral(" must be given, and "))
            + QStringLiteral("each argument must have the type its schema gives");
        return mcpErrorReply(request.id, mcpInvalidParams,
                             tool->tool + QStringLiteral(": ") + needs + QLatin1Char('.'));
    }
    const QString key = idKey(caller, request.id);
    const RunningCalls::Flag cancelled = runningCalls().add(key);
    CallControl control;
    control.cancelled = [cancelled] { return cancelled->load(); };
    const std::optional<QJsonValue> token = mcpProgressToken(request);
    if (token && notify) {
        control.progress = [&notify, token, cancelled](double waited, double limit, const QString &message) {
            // A client that cannot be told any more is gone.
            if (!notify(mcpProgressNotification(*token, waited, limit, message)))
                cancelled->store(true);
        };
    }
    const DriverResult result = driver(tool->path, *body, control);
    runningCalls().remove(key, cancelled);
    companionLog(QStringLiteral("mcp.call"),
                 {{QStringLiteral("tool"), tool->tool}, {QStringLiteral("ok"), yesNo(result.ok)}});
    return resultReply(request.id, mcpToolResult(result));
}

} // namespace

bool isSupportedMcpProtocolVersion(const QString &version)
{
    static const QStringList supported {mcpLatestProtocolVersion, QStringLiteral("2025-06-18"),
                                        QStringLiteral("2025-03-26"), QStringLiteral("2024-11-05")};
    return supported.contains(version);
}

QJsonObject mcpErrorReply(const QJsonValue &id, int code, const QString &message)
{
    return {{QStringLiteral("jsonrpc"), jsonRpcVersion},
            {QStringLiteral("id"), isValidId(id) ? id : QJsonValue()},
            {QStringLiteral("error"),
             QJsonObject {{QStringLiteral("code"), code}, {QStringLiteral("message"), message}}}};
}

McpMessage parseMcpMessage(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return invalid({}, mcpParseError, QStringLiteral("Parse error: ") + error.errorString());
    if (!document.isObject())
        return invalid({}, mcpInvalidRequest, QStringLiteral("Invalid request: one JSON-RPC object per message."));
    const QJsonObject object = document.object();
    const QJsonValue id = object.value(QStringLiteral("id"));
    const bool hasId = object.contains(QStringLiteral("id"));
    if (object.value(QStringLiteral("jsonrpc")).toString() != jsonRpcVersion)
        return invalid(id, mcpInvalidRequest, QStringLiteral("Invalid request: \"jsonrpc\" must be \"2.0\"."));
    if (hasId && !isValidId(id))
        return invalid({}, mcpInvalidRequest,
                       QStringLiteral("Invalid request: the id must be a string or an integer."));

    McpMessage message;
    message.id = id;
    const QJsonValue method = object.value(QStringLiteral("method"));
    if (method.isUndefined()) {
        if (hasId && (object.contains(QStringLiteral("result")) || object.contains(QStringLiteral("error")))) {
            message.kind = McpMessage::Kind::response;
            return message;
        }
        return invalid(id, mcpInvalidRequest, QStringLiteral("Invalid request: no method."));
    }
    if (!method.isString())
        return invalid(id, mcpInvalidRequest, QStringLiteral("Invalid request: the method must be a string."));
    const QJsonValue params = object.value(QStringLiteral("params"));
    if (!params.isUndefined() && !params.isObject())
        return invalid(id, mcpInvalidParams, QStringLiteral("Invalid params: params must be an object."));
    message.kind = hasId ? McpMessage::Kind::request : McpMessage::Kind::notification;
    message.method = method.toString();
    message.params = params.toObject();
    return message;
}

std::optional<QJsonObject> mcpAnswerIn(const QByteArray &body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (object.value(QStringLiteral("jsonrpc")).toString() != jsonRpcVersion
        || (!object.contains(QStringLiteral("result")) && !object.contains(QStringLiteral("error"))))
        return std::nullopt;
    return object;
}

bool isMcpInitialize(const McpMessage &message)
{
    return message.kind == McpMessage::Kind::request && message.method == QLatin1String("initialize");
}

void takeMcpNotification(const McpMessage &notification, const QString &caller)
{
    if (notification.method != QLatin1String("notifications/cancelled"))
        return;
    const QJsonValue id = notification.params.value(QStringLiteral("requestId"));
    if (!isValidId(id))
        return;
    const int cancelled = runningCalls().cancel(idKey(caller, id));
    companionLog(QStringLiteral("mcp.cancel"), {{QStringLiteral("running"), QString::number(cancelled)}});
}

std::optional<QJsonValue> mcpProgressToken(const McpMessage &request)
{
    const QJsonValue token
        = request.params.value(QStringLiteral("_meta")).toObject().value(QStringLiteral("progressToken"));
    if (!isValidId(token))
        return std::nullopt;
    return token;
}

QJsonObject mcpProgressNotification(const QJsonValue &token, double progress, double total, const QString &message)
{
    return {{QStringLiteral("jsonrpc"), jsonRpcVersion},
            {QStringLiteral("method"), QStringLiteral("notifications/progress")},
            {QStringLiteral("params"),
             QJsonObject {{QStringLiteral("progressToken"), token},
                          {QStringLiteral("progress"), std::floor(progress)},
                          {QStringLiteral("total"), total},
                          {QStringLiteral("message"), message}}}};
}

QJsonObject answerMcpRequest(const McpMessage &request, const McpDriver &driver, const McpNotifier &notify,
                             const QString &caller)
{
    const QString &method = request.method;
    if (method == QLatin1String("initialize")) {
        if (!request.params.value(QStringLiteral("protocolVersion")).isString())
            return mcpErrorReply(request.id, mcpInvalidParams, QStringLiteral("initialize needs a protocolVersion."));
        return resultReply(request.id, initializeResult(request));
    }
    if (method == QLatin1String("ping"))
        return resultReply(request.id, {});
    if (method == QLatin1String("tools/list"))
        return resultReply(request.id, {{QStringLiteral("tools"), mcpToolList()}});
    if (method == QLatin1String("tools/call"))
        return callTool(request, driver, notify, caller);
    return mcpErrorReply(request.id, mcpMethodNotFound, QStringLiteral("Method not found: %1").arg(method));
}

} // namespace corvane
