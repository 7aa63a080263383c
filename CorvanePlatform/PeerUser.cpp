#include "PeerUser.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

// An endpoint as the kernel's socket tables print it: the address's 32-bit
// words as they lie in memory, in hex, then the port.
QByteArray tableEndpoint(const sockaddr_storage &address)
{
    char text[64] = {};
    if (address.ss_family == AF_INET) {
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(address);
        quint32 word = 0;
        std::memcpy(&word, &ipv4.sin_addr, sizeof word);
        std::snprintf(text, sizeof text, "%08X:%04X", word, ntohs(ipv4.sin_port));
    } else if (address.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(address);
        quint32 words[4] = {};
        std::memcpy(words, &ipv6.sin6_addr, sizeof words);
        std::snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3],
                      ntohs(ipv6.sin6_port));
    }
    return QByteArray(text);
}

} // namespace

std::optional<uint> ownerInTableLine(const QByteArray &line, const QByteArray &local, const QByteArray &remote)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 10 || fields.at(1) != local || fields.at(2) != remote)
        return std::nullopt;
    // A socket whose owner has closed it lingers without one (inode 0), and
    // the table then names root for it: nobody is known.
    bool ok = false;
    const uint uid = fields.at(7).toUInt(&ok);
    bool inodeOk = false;
    const qulonglong inode = fields.at(9).toULongLong(&inodeOk);
    return ok && inodeOk && inode != 0 ? std::optional<uint>(uid) : std::nullopt;
}

namespace {

std::optional<uint> ownerInTable(const char *table, const QByteArray &local, const QByteArray &remote)
{
    const int file = ::open(table, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return std::nullopt;
    // The two ends stand side by side on their line: find it without
    // splitting every other line of a busy machine.
    const QByteArray ends = ' ' + local + ' ' + remote + ' ';
    std::optional<uint> owner;
    QByteArray pending;
    char chunk[16384];
    while (!owner) {
        const ssize_t got = ::read(file, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(chunk, got);
        const qsizetype complete = pending.lastIndexOf('\n') + 1;
        const qsizetype at = QByteArrayView(pending).first(complete).indexOf(ends);
        if (at >= 0) {
            const qsizetype start = pending.lastIndexOf('\n', at) + 1;
            owner = ownerInTableLine(pending.mid(start, pending.indexOf('\n', at) - start), local, remote);
            break;
        }
        pending.remove(0, complete);
    }
    ::close(file);
    return owner;
}

// Both ends of a connected socket: ours, and the peer's.
bool socketEnds(int fd, sockaddr_storage &ours, sockaddr_storage &theirs)
{
    socklen_t oursSize = sizeof ours, theirsSize = sizeof theirs;
    return ::getsockname(fd, reinterpret_cast<sockaddr *>(&ours), &oursSize) == 0
        && ::getpeername(fd, reinterpret_cast<sockaddr *>(&theirs), &theirsSize) == 0
        && ours.ss_family == theirs.ss_family && (ours.ss_family == AF_INET || ours.ss_family == AF_INET6);
}

void copyEnd(const sockaddr_storage &address, __be16 &port, __be32 (&words)[4])
{
    if (address.ss_family == AF_INET) {
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(address);
        port = ipv4.sin_port;
        std::memcpy(words, &ipv4.sin_addr, sizeof ipv4.sin_addr);
    } else {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(address);
        port = ipv6.sin6_port;
        std::memcpy(words, &ipv6.sin6_addr, sizeof words);
    }
}

enum class Asked { found, absent, unavailable };

// A socket for the kernel's socket query that waits at most a second for an
// answer; -1 when the system has none.
int openDiagQuery()
{
    const int query = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (query >= 0) {
        const timeval limit {1, 0};
        ::setsockopt(query, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    return query;
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// A query for the TCP sockets of `family` in `states` (a bit per state).
DiagRequest diagRequest(int family, __u32 states, __u16 flags)
{
    DiagRequest request {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = flags;
    request.body.sdiag_family = static_cast<__u8>(family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = states;
    return request;
}

// The kernel's socket query finds the one socket by its four-tuple, where the
// text tables are walked whole: the same entry, in microseconds.
Asked askKernel(const sockaddr_storage &ours, const sockaddr_storage &theirs, uint &owner)
{
    const int query = openDiagQuery();
    if (query < 0)
        return Asked::unavailable;
    DiagRequest request = diagRequest(ours.ss_family, ~0U, NLM_F_REQUEST);
    // The socket asked for is the peer's: its own end is theirs, its remote end ours.
    copyEnd(theirs, request.body.id.idiag_sport, request.body.id.idiag_src);
    copyEnd(ours, request.body.id.idiag_dport, request.body.id.idiag_dst);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    Asked asked = Asked::unavailable;
    alignas(nlmsghdr) char reply[8192];
    if (::send(query, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request)) {
        ssize_t got = ::recv(query, reply, sizeof reply, 0);
        for (auto *header = reinterpret_cast<nlmsghdr *>(reply); got > 0 && NLMSG_OK(header, static_cast<size_t>(got));
             header = NLMSG_NEXT(header, got)) {
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
                asked = error->error == -ENOENT ? Asked::absent : Asked::unavailable;
                break;
            }
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
                const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
                // Only that very socket, never a listener on the peer's port.
                const bool same = found->id.idiag_sport == request.body.id.idiag_sport
                    && found->id.idiag_dport == request.body.id.idiag_dport
                    && std::memcmp(found->id.idiag_src, request.body.id.idiag_src, sizeof found->id.idiag_src) == 0
                    && std::memcmp(found->id.idiag_dst, request.body.id.idiag_dst, sizeof found->id.idiag_dst) == 0;
                // An orphaned socket (its owner closed it) has no owner to tell.
                asked = same && found->idiag_inode != 0 ? Asked::found : Asked::absent;
                owner = found->idiag_uid;
                break;
            }
        }
    }
    ::close(query);
    return asked;
}

// An IPv4 end as an IPv6 socket sees it: ::ffff:a.b.c.d. A client whose
// socket is IPv6 (Java's and .NET's are) reaches our IPv4 listener so.
sockaddr_storage mappedEnd(const sockaddr_storage &ipv4End)
{
    sockaddr_storage mapped {};
    const auto &from = reinterpret_cast<const sockaddr_in &>(ipv4End);
    auto &to = reinterpret_cast<sockaddr_in6 &>(mapped);
    to.sin6_family = AF_INET6;
    to.sin6_port = from.sin_port;
    to.sin6_addr.s6_addr[10] = 0xff;
    to.sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(&to.sin6_addr.s6_addr[12], &from.sin_addr, 4);
    return mapped;
}

// Linux lists every TCP socket of the network namespace, with its owner, in
// /proc/net/tcp and /proc/net/tcp6; the peer's socket is the entry whose
// local end is the peer's address and whose remote end is ours.
std::optional<uint> ownerFromTable(const sockaddr_storage &ours, const sockaddr_storage &theirs)
{
    const char *table = ours.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6";
    const QByteArray local = tableEndpoint(theirs);
    const QByteArray remote = tableEndpoint(ours);
    // The table is read in pieces while sockets come and go, and a read can
    // skip entries that moved meanwhile: a socket that surely exists is
    // looked for again before it counts as nobody's.
    std::optional<uint> owner;
    for (int attempt = 0; attempt < 3 && !owner; ++attempt) {
        owner = ownerInTable(table, local, remote);
        if (!owner && ours.ss_family == AF_INET)
            owner = ownerInTable("/proc/net/tcp6", tableEndpoint(mappedEnd(theirs)), tableEndpoint(mappedEnd(ours)));
    }
    return owner;
}

} // namespace

std::optional<uint> socketPeerUser(qintptr socketDescriptor)
{
    sockaddr_storage ours {}, theirs {};
    if (!socketEnds(static_cast<int>(socketDescriptor), ours, theirs))
        return std::nullopt;
    uint owner = 0;
    Asked asked = askKernel(ours, theirs, owner);
    if (asked == Asked::absent && ours.ss_family == AF_INET)
        asked = askKernel(mappedEnd(ours), mappedEnd(theirs), owner);
    switch (asked) {
    case Asked::found:
        return owner;
    case Asked::absent:
        return std::nullopt;
    case Asked::unavailable:
        break;
    }
    return ownerFromTable(ours, theirs);
}

std::optional<uint> socketPeerUserFromTable(qintptr socketDescriptor)
{
    sockaddr_storage ours {}, theirs {};
    if (!socketEnds(static_cast<int>(socketDescriptor), ours, theirs))
        return std::nullopt;
    return ownerFromTable(ours, theirs);
}

uint currentUser()
{
    return ::geteuid();
}

namespace {

// The sockets of `family` that listen on `port`, from the kernel's socket
// query: a dump of the listening sockets alone, a few entries, where the text
// tables print every connection. None when the query is not available.
std::optional<QList<ListeningSocket>> listenersFromKernel(int family, std::optional<quint16> port)
{
    const int query = openDiagQuery();
    if (query < 0)
        return std::nullopt;
    const DiagRequest request = diagRequest(family, 1U << 10 /* TCP_LISTEN */, NLM_F_REQUEST | NLM_F_DUMP);

    std::optional<QList<ListeningSocket>> sockets;
    if (::send(query, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request)) {
        QList<ListeningSocket> found;
        alignas(nlmsghdr) char reply[16384];
        for (bool done = false; !done;) {
            ssize_t got = ::recv(query, reply, sizeof reply, 0);
            if (got <= 0)
                break;
            for (auto *header = reinterpret_cast<nlmsghdr *>(reply); NLMSG_OK(header, static_cast<size_t>(got));
                 header = NLMSG_NEXT(header, got)) {
                if (header->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                if (header->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    sockets = found;
                    break;
                }
                const auto *listener = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
                const quint16 local = ntohs(listener->id.idiag_sport);
                if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY && (!port || local == *port))
                    found.append({listener->idiag_uid, listener->idiag_inode, local});
            }
        }
    }
    ::close(query);
    return sockets;
}

std::optional<QList<ListeningSocket>> listenersFromTables(std::optional<quint16> port)
{
    char portText[8] = ":";
    if (port)
        std::snprintf(portText, sizeof portText, ":%04X", *port);
    QList<ListeningSocket> sockets;
    bool read = false;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        read = true;
        // "sl local_address rem_address st ... uid timeout inode": a listener is in state 0A.
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 10 || !fields.at(1).endsWith(portText) || fields.at(3) != "0A")
                continue;
            bool uidOk = false;
            bool inodeOk = false;
            bool portOk = false;
            const uint uid = fields.at(7).toUInt(&uidOk);
            const quint64 inode = fields.at(9).toULongLong(&inodeOk);
            const quint16 local = fields.at(1).mid(fields.at(1).lastIndexOf(':') + 1).toUShort(&portOk, 16);
            if (uidOk && inodeOk && portOk)
                sockets.append({uid, inode, local});
        }
    }
    return read ? std::optional(sockets) : std::nullopt;
}

} // namespace

std::optional<QList<ListeningSocket>> listeningSockets(std::optional<quint16> port)
{
    // Every step asks this of Chrome's port: the kernel answers in
    // microseconds where the tables take milliseconds.
    const std::optional<QList<ListeningSocket>> ipv4 = listenersFromKernel(AF_INET, port);
    const std::optional<QList<ListeningSocket>> ipv6 = ipv4 ? listenersFromKernel(AF_INET6, port) : std::nullopt;
    if (!ipv4 || !ipv6)
        return listenersFromTables(port);
    return *ipv4 + *ipv6;
}

std::optional<QList<uint>> listeningPortOwners(quint16 port)
{
    const std::optional<QList<ListeningSocket>> sockets = listeningSockets(port);
    if (!sockets)
        return std::nullopt;
    QList<uint> owners;
    for (const ListeningSocket &socket : *sockets) {
        if (!owners.contains(socket.owner))
            owners.append(socket.owner);
    }
    return owners;
}

std::optional<QList<quint16>> tcpListeningPortsOf(qint64 pid)
{
    // The process's sockets are its descriptors that link to "socket:[inode]".
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    QDir folder(fds);
    if (pid <= 0 || !folder.exists())
        return std::nullopt;
    QSet<quint64> inodes;
    for (const QString &entry : folder.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        const QByteArray link = QFile::encodeName(fds + QLatin1Char('/') + entry);
        const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
        const QByteArray named(target, std::max<ssize_t>(length, 0));
        if (named.startsWith("socket:[") && named.endsWith(']'))
            inodes.insert(named.mid(8, named.size() - 9).toULongLong());
    }
    if (!QFileInfo::exists(fds))
        return std::nullopt; // gone while we looked: nothing to say of it
    const std::optional<QList<ListeningSocket>> listening = listeningSockets(std::nullopt);
    if (!listening)
        return std::nullopt;
    QList<quint16> ports;
    for (const ListeningSocket &socket : *listening) {
        if (inodes.contains(socket.inode) && !ports.contains(socket.port))
            ports.append(socket.port);
    }
    return ports;
}

} // namespace corvane::platform
