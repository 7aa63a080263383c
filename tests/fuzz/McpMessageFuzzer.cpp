// One MCP message, as the endpoint and the bridge read it: a request, a
// notification, a response, or an error reply that says why not. Requests
// are answered without ever reaching a browser.

#include "FuzzSupport.h"

#include "server/McpProtocol.h"

#include <QJsonDocument>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const McpMessage message = parseMcpMessage(bytes);
    switch (message.kind) {
    case McpMessage::Kind::invalid: {
        const QJsonObject error = message.error.value(QStringLiteral("error")).toObject();
        fuzz::require(message.error.value(QStringLiteral("jsonrpc")) == QStringLiteral("2.0"),
                      "an error reply is JSON-RPC");
        fuzz::require(error.value(QStringLiteral("code")).toInt() <= -32600
                          && error.value(QStringLiteral("code")).toInt() >= -32700,
                      "a reader's error is a JSON-RPC error code");
        break;
    }
    case McpMessage::Kind::request: {
        fuzz::require(message.id.isString() || message.id.isDouble(), "a request's id is a string or a number");
        bool drove = false;
        const QJsonObject answer = answerMcpRequest(message, [&](const QString &, const Body &, const CallControl &) {
            drove = true;
            return DriverResult {};
        });
        fuzz::require(answer.value(QStringLiteral("id")) == message.id, "the answer carries the request's id");
        fuzz::require(answer.contains(QStringLiteral("result")) != answer.contains(QStringLiteral("error")),
                      "an answer is a result or an error");
        fuzz::require(!drove || message.method == QLatin1String("tools/call"), "only a tool call drives");
        fuzz::require(mcpAnswerIn(QJsonDocument(answer).toJson()).has_value(), "its own answers read as answers");
        break;
    }
    case McpMessage::Kind::notification:
    case McpMessage::Kind::response:
        // An unknown notification, even one named "", is dropped without a word.
        takeMcpNotification(message);
        break;
    }
    return 0;
}
