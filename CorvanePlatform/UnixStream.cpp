#include "UnixStream.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

// A socket file and its folder that another account could have put there or
// could replace: the peer behind it would be theirs.
bool ownedAndClosed(const QByteArray &path, UnixStream::Refusal &refusal)
{
    struct stat socketStat { };
    if (::lstat(path.constData(), &socketStat) != 0) {
        refusal = UnixStream::Refusal::missing;
        return false;
    }
    const QByteArray folder = QFileInfo(QString::fromLocal8Bit(path)).absolutePath().toLocal8Bit();
    struct stat folderStat { };
    if (!S_ISSOCK(socketStat.st_mode) || socketStat.st_uid != ::getuid()
        || ::lstat(folder.constData(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode)
        || folderStat.st_uid != ::getuid() || (folderStat.st_mode & (S_IWGRP | S_IWOTH))) {
        refusal = UnixStream::Refusal::notOurs;
        return false;
    }
    return true;
}

// Waits for `events` on `fd` until `deadline`; false when it passed.
bool waitFor(int fd, short events, qint64 deadline)
{
    for (;;) {
        const qint64 left = deadline - monotonicMs();
        if (left <= 0)
            return false;
        pollfd entry {fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<qint64>(left, 60'000)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return true; // let the read or write report it
    }
}

} // namespace

qint64 monotonicMs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

UnixStream::~UnixStream()
{
    close();
}

UnixStream::UnixStream(UnixStream &&other) noexcept
    : fd_(std::exchange(other.fd_, -1))
    , peerPid_(std::exchange(other.peerPid_, 0))
    , pending_(std::move(other.pending_))
{
}

UnixStream &UnixStream::operator=(UnixStream &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        peerPid_ = std::exchange(other.peerPid_, 0);
        pending_ = std::move(other.pending_);
    }
    return *this;
}

UnixStream UnixStream::connect(const QString &path, Refusal *refusal)
{
    Refusal why = Refusal::none;
    UnixStream stream;
    const QByteArray name = path.toLocal8Bit();
    sockaddr_un address {};
    if (name.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
        why = Refusal::failed;
    } else if (ownedAndClosed(name, why)) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
        ucred peer {};
        socklen_t size = sizeof peer;
        if (fd < 0) {
            why = Refusal::failed;
        } else if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            why = errno == ECONNREFUSED || errno == ENOENT ? Refusal::missing : Refusal::failed;
            ::close(fd);
        } else if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid()) {
            why = Refusal::notOurs;
            ::close(fd);
        } else {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            stream.fd_ = fd;
            stream.peerPid_ = peer.pid;
        }
    }
    if (refusal)
        *refusal = why;
    return stream;
}

bool UnixStream::send(const QByteArray &bytes, qint64 deadline)
{
    qsizetype sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t wrote
            = ::send(fd_, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (wrote > 0) {
            sent += wrote;
        } else if (wrote < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(fd_, POLLOUT, deadline))
                return false;
        } else {
            return false;
        }
    }
    return fd_ >= 0;
}

UnixStream::Read UnixStream::readLine(QByteArray &line, qint64 limit, qint64 deadline)
{
    line.clear();
    bool dropping = false;
    char buffer[65536];
    for (;;) {
        const qsizetype end = pending_.indexOf('\n');
        if (end >= 0) {
            if (!dropping)
                line = pending_.left(end);
            pending_.remove(0, end + 1);
            return dropping ? Read::tooLong : Read::line;
        }
        if (pending_.size() > limit) {
            dropping = true;
            pending_.clear();
        }
        if (fd_ < 0)
            return Read::failed;
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            pending_.append(buffer, got);
        } else if (got == 0) {
            return Read::closed;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!waitFor(fd_, POLLIN, deadline))
                return Read::timedOut;
        } else {
            return Read::failed;
        }
    }
}

void UnixStream::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    peerPid_ = 0;
    pending_.clear();
}

} // namespace corvane::platform
