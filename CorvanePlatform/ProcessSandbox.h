#pragma once

// Limits a program we start cannot lift: it and everything it starts may
// connect over TCP but never bind a TCP port, so it cannot open a listener
// that another account of the machine could reach. The kernel enforces it
// (Landlock's network rules); where the kernel has none, nothing is limited
// and callers must check for listeners themselves.

namespace corvane::platform {

// Whether this kernel can forbid TCP binds to a program.
bool canForbidTcpBinding();

// Forbids TCP binds to this process and its future children, for good. Meant
// for a child between fork and exec: raw system calls only. False when the
// kernel refused.
bool forbidTcpBinding();

} // namespace corvane::platform
