#pragma once

// Who is at the other end of a local TCP connection. Every account of the
// machine can reach a loopback port; only the user's own programs may use it.

#include <QtGlobal>

#include <optional>

namespace corvane::platform {

// The user id of the process that owns the peer's end of a connected loopback
// socket; none when it cannot be found (the peer is gone, or the system does
// not say). On Linux the kernel's socket query answers; where it is not
// available, the socket tables in /proc/net are read instead.
std::optional<uint> socketPeerUser(qintptr socketDescriptor);
// The same from the socket tables alone (slower: the kernel prints them whole).
std::optional<uint> socketPeerUserFromTable(qintptr socketDescriptor);

// The user this process acts for.
uint currentUser();

} // namespace corvane::platform
