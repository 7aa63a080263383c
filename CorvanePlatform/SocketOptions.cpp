#include "SocketOptions.h"

#include <algorithm>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

bool isEnd(const sockaddr_storage &address, const QHostAddress &host, quint16 port)
{
    QHostAddress found(reinterpret_cast<const sockaddr *>(&address));
    const quint16 foundPort = address.ss_family == AF_INET
        ? ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port)
        : address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port)
                                        : 0;
    return foundPort == port && found.isEqual(host, QHostAddress::TolerantConversion);
}

// Our descriptor of the TCP connection between these two ends.
int connectionDescriptor(const QHostAddress &localAddress, quint16 localPort, const QHostAddress &peerAddress,
                         quint16 peerPort)
{
    DIR *open = ::opendir("/proc/self/fd");
    if (!open)
        return -1;
    int found = -1;
    while (const dirent *entry = ::readdir(open)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (!end || *end != '\0' || fd < 0 || fd == ::dirfd(open))
            continue;
        sockaddr_storage local {}, peer {};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&local), &localSize) == 0
            && ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0
            && isEnd(local, localAddress, localPort) && isEnd(peer, peerAddress, peerPort)) {
            found = static_cast<int>(fd);
            break;
        }
    }
    ::closedir(open);
    return found;
}

} // namespace

bool endConnectionAfterSilentPeer(const QHostAddress &localAddress, quint16 localPort, const QHostAddress &peerAddress,
                                  quint16 peerPort, int seconds)
{
    const int fd = connectionDescriptor(localAddress, localPort, peerAddress, peerPort);
    if (fd < 0)
        return false;
    const int on = 1;
    const unsigned int userTimeoutMs = static_cast<unsigned int>(std::max(seconds, 1)) * 1000U;
    // Probes start after a third of the time and go out every sixth of it,
    // so the user timeout ends a quiet connection too.
    const int idle = std::max(seconds / 3, 1);
    const int interval = std::max(seconds / 6, 1);
    const int count = 3;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) == 0
        && ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0
        && ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0
        && ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0
        && ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0;
}

void closeAccepted(qintptr socketDescriptor)
{
    ::close(static_cast<int>(socketDescriptor));
}

} // namespace corvane::platform
