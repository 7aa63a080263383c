#pragma once

// `corvane-companion mcp`: the Model Context Protocol over standard input and
// output, for clients that only start local processes. Each message goes to
// the running companion's /mcp, and only when the user's own companion
// listens there; the bridge never drives the browser itself. Messages are
// forwarded side by side, so a ping or a cancellation never waits behind a
// long call. With nothing listening, it starts a companion in the
// background; when that fails too, tool calls say what to do.

namespace corvane {

int runMcpBridge();

} // namespace corvane
