#pragma once

// Limits a program we start cannot lift: it and everything it starts may
// connect over TCP but never bind a TCP port, so it cannot open a listener
// that another account of the machine could reach. The kernel enforces it:
// with Landlock's network rules where the kernel has them (Linux 6.7), else
// with a system-call filter that refuses a bind of an IPv4 or IPv6 address.
// Neither sees a listen() on a socket never bound (the kernel then picks a
// port itself): callers still check for listeners.

namespace corvane::platform {

enum class TcpBindBan { landlock, systemCallFilter };

// Whether this kernel can forbid TCP binds to a program.
bool canForbidTcpBinding();

// Forbids TCP binds to this process and its future children, for good, by
// the best means the kernel has (or by `how`). Meant for a child between
// fork and exec: system calls only. False when the kernel refused.
bool forbidTcpBinding();
bool forbidTcpBinding(TcpBindBan how);

} // namespace corvane::platform
