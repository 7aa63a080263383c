// What the stdio bridge reads: lines of a client, and the bodies of the
// companion's answers. A body becomes the client's answer only when it is a
// JSON-RPC answer; anything else (a refusal's text) is never passed on.

#include "FuzzSupport.h"

#include "server/McpProtocol.h"
#include "wire/HttpMessage.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    for (const QByteArray &line : input.split('\n')) {
        if (line.trimmed().isEmpty() || line.size() > requestBodyLimit)
            continue;
        const McpMessage message = parseMcpMessage(line);
        fuzz::require(message.kind != McpMessage::Kind::invalid || !message.error.isEmpty(),
                      "a bad line gets its error");
        if (const std::optional<QJsonObject> answer = mcpAnswerIn(line)) {
            fuzz::require(answer->value(QStringLiteral("jsonrpc")) == QStringLiteral("2.0"), "an answer is JSON-RPC");
            fuzz::require(answer->contains(QStringLiteral("result")) || answer->contains(QStringLiteral("error")),
                          "an answer holds a result or an error");
        }
    }
    return 0;
}
