#pragma once

// The Model Context Protocol's Streamable HTTP transport on the local server:
// POST /mcp carries one JSON-RPC message and gets its answer as a JSON body.
// A session id names the client's agent, and holds nothing else: one that
// the companion does not know (it restarted or updated itself) is taken up
// again under the same name, so a connected client carries on. No
// server-initiated streams: GET gets 405.
// A tool call that asks for progress, from a client that takes event
// streams, is answered as one: its progress, then its answer.

#include "server/McpProtocol.h"
#include "wire/HttpMessage.h"

#include <functional>

namespace corvane {

inline const QString mcpPath = QStringLiteral("/mcp");

// Writes part of a reply to the client; false once it cannot be reached.
using ReplyWriter = std::function<bool(const QByteArray &bytes)>;

// A tool call's action, for the agent a session names (none without one).
using McpAgentDriver = std::function<DriverResult(const QString &path, const Body &body, const CallControl &control,
                                                  const QString &agent)>;

class McpHttpEndpoint {
public:
    explicit McpHttpEndpoint(McpAgentDriver driver);

    // The whole reply through `write`, in one piece or, streamed, in several.
    void serve(const LoopbackRequest &request, const ReplyWriter &write) const;

private:
    McpAgentDriver driver_;
};

class Driver;

// The endpoint of the running companion: tools drive `driver` and may start
// Chrome.
McpHttpEndpoint companionMcpEndpoint(Driver &driver);

} // namespace corvane
