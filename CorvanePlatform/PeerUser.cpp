#include "PeerUser.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

// The uid column of the table line whose local end is `local` and remote
// end is `remote`.
std::optional<uint> ownerInLine(const QByteArray &line, const QByteArray &local, const QByteArray &remote)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 8 || fields.at(1) != local || fields.at(2) != remote)
        return std::nullopt;
    bool ok = false;
    const uint uid = fields.at(7).toUInt(&ok);
    return ok ? std::optional<uint>(uid) : std::nullopt;
}

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
            owner = ownerInLine(pending.mid(start, pending.indexOf('\n', at) - start), local, remote);
            break;
        }
        pending.remove(0, complete);
    }
    ::close(file);
    return owner;
}

} // namespace

// Linux lists every TCP socket of the network namespace, with its owner, in
// /proc/net/tcp and /proc/net/tcp6; the peer's socket is the entry whose
// local end is the peer's address and whose remote end is ours.
std::optional<uint> socketPeerUser(qintptr socketDescriptor)
{
    const int fd = static_cast<int>(socketDescriptor);
    sockaddr_storage ours{}, theirs{};
    socklen_t oursSize = sizeof ours, theirsSize = sizeof theirs;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&ours), &oursSize) != 0
        || ::getpeername(fd, reinterpret_cast<sockaddr *>(&theirs), &theirsSize) != 0
        || ours.ss_family != theirs.ss_family)
        return std::nullopt;
    const char *table = ours.ss_family == AF_INET ? "/proc/net/tcp" : ours.ss_family == AF_INET6 ? "/proc/net/tcp6" : nullptr;
    if (!table)
        return std::nullopt;
    const QByteArray local = tableEndpoint(theirs);
    const QByteArray remote = tableEndpoint(ours);
    // The table is read in pieces while sockets come and go, and a read can
    // skip entries that moved meanwhile: a socket that surely exists is
    // looked for again before it counts as nobody's.
    std::optional<uint> owner;
    for (int attempt = 0; attempt < 3 && !owner; ++attempt)
        owner = ownerInTable(table, local, remote);
    return owner;
}

uint currentUser()
{
    return ::geteuid();
}

} // namespace corvane::platform
