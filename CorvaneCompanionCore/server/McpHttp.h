#pragma once

// The Model Context Protocol's Streamable HTTP transport on the local server:
// POST /mcp carries one JSON-RPC message and gets its answer as a JSON body.
// No sessions: they would hold nothing (every tool acts in the one work tab),
// and a companion that restarted or updated itself would know none, so a
// connected client would break. No server-initiated streams: GET gets 405.
// A tool call that asks for progress, from a client that takes event
// streams, is answered as one: its progress, then its answer.

#include "server/McpProtocol.h"
#include "wire/HttpMessage.h"

#include <functional>

namespace corvane {

inline const QString mcpPath = QStringLiteral("/mcp");

// Writes part of a reply to the client; false once it cannot be reached.
using ReplyWriter = std::function<bool(const QByteArray &bytes)>;

class McpHttpEndpoint {
public:
    explicit McpHttpEndpoint(McpDriver driver);

    // The whole reply through `write`, in one piece or, streamed, in several.
    void serve(const LoopbackRequest &request, const ReplyWriter &write) const;

private:
    McpDriver driver_;
};

class Driver;

// The endpoint of the running companion: tools drive `driver` and may start
// Chrome.
McpHttpEndpoint companionMcpEndpoint(Driver &driver);

} // namespace corvane
