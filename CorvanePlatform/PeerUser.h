#pragma once

// Who is at the other end of a local TCP connection. Every account of the
// machine can reach a loopback port; only the user's own programs may use it.

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <optional>

namespace corvane::platform {

// The user id of the process that owns the peer's end of a connected loopback
// socket; none when it cannot be found (the peer is gone or has closed its
// end already, or the system does not say). On Linux the kernel's socket
// query answers; where it is not available, the socket tables in /proc/net
// are read instead. A peer with an IPv6 socket that reached an IPv4 end
// (::ffff:127.0.0.1) is found as well.
std::optional<uint> socketPeerUser(qintptr socketDescriptor);
// The same from the socket tables alone (slower: the kernel prints them whole).
std::optional<uint> socketPeerUserFromTable(qintptr socketDescriptor);

// The user this process acts for.
uint currentUser();

// The users whose sockets listen for TCP on `port` (any loopback or wildcard
// address, IPv4 or IPv6); empty when nothing listens there, none when the
// system does not say. Whoever listens on a port answers every connection to
// it: a program that only trusts its own user's checks this before talking.
std::optional<QList<uint>> listeningPortOwners(quint16 port);

// One socket that listens: its owner, and its inode, which names that very
// socket for as long as it is open.
struct ListeningSocket {
    uint owner = 0;
    quint64 inode = 0;
    quint16 port = 0;
    bool operator==(const ListeningSocket &) const = default;
};
// The sockets that listen for TCP on `port` (on any port without one), as
// for listeningPortOwners.
std::optional<QList<ListeningSocket>> listeningSockets(std::optional<quint16> port);

// The TCP ports the process `pid` of this user listens on; none when the
// system does not say (no such process, or not ours to look at).
std::optional<QList<quint16>> tcpListeningPortsOf(qint64 pid);

// The owner on one line of /proc/net/tcp(6), when its local and remote ends
// are the given ones and the socket still has an owner (an inode).
std::optional<uint> ownerInTableLine(const QByteArray &line, const QByteArray &local, const QByteArray &remote);

} // namespace corvane::platform
