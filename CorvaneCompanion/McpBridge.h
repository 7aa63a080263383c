#pragma once

// `corvane-companion mcp`: the Model Context Protocol over standard input and
// output, for clients that only start local processes. Each message goes to
// the running companion's /mcp; the bridge never drives the browser itself,
// so one companion owns it. With no companion answering, it starts one in the
// background; when that fails too, tool calls say what to do.

namespace corvane {

int runMcpBridge();

} // namespace corvane
