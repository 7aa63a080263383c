#pragma once

// The Model Context Protocol's Streamable HTTP transport on the local server:
// POST /mcp carries one JSON-RPC message and gets its answer as a JSON body.
// No sessions: they would hold nothing (every tool acts in the one work tab),
// and a companion that restarted or updated itself would know none, so a
// connected client would break. No server-initiated streams: GET gets 405.

#include "server/HttpMessage.h"
#include "server/McpProtocol.h"

namespace corvane {

inline const QString mcpPath = QStringLiteral("/mcp");

class McpHttpEndpoint {
public:
    explicit McpHttpEndpoint(McpDriver driver);

    HttpAnswer handle(const LoopbackRequest &request) const;

private:
    McpDriver driver_;
};

// The endpoint of the running companion: tools call drive() and may start Chrome.
const McpHttpEndpoint &companionMcpEndpoint();

} // namespace corvane
