#pragma once

// The Model Context Protocol's Streamable HTTP transport on the local server:
// POST /mcp carries one JSON-RPC message and gets its answer as a JSON body;
// sessions are named by the Mcp-Session-Id header. No server-initiated
// streams: GET gets 405.

#include "server/HttpMessage.h"
#include "server/McpProtocol.h"

#include <deque>
#include <mutex>

namespace corvane {

inline const QString mcpPath = QStringLiteral("/mcp");

class McpHttpEndpoint {
public:
    explicit McpHttpEndpoint(McpDriver driver);

    HttpAnswer handle(const LoopbackRequest &request);

private:
    QString openSession();
    bool hasSession(const QString &id);
    bool closeSession(const QString &id);

    McpDriver driver_;
    std::mutex mutex_;
    std::deque<QString> sessions_; // oldest first; the oldest make room
};

// The endpoint of the running companion: tools call drive() and may start Chrome.
McpHttpEndpoint &companionMcpEndpoint();

} // namespace corvane
