#pragma once

// A connection to a local program over a Unix stream socket of the user's
// own: the socket file and its folder must be ours and closed to others, and
// the process at the other end must run as us. Every wait has a deadline.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace corvane::platform {

class UnixStream {
public:
    enum class Refusal {
        none,
        missing, // no socket at that path, or nobody listens on it
        notOurs, // the socket, its folder or the peer is another account's
        failed, // the system would not connect
    };

    UnixStream() = default;
    ~UnixStream();
    UnixStream(UnixStream &&other) noexcept;
    UnixStream &operator=(UnixStream &&other) noexcept;
    UnixStream(const UnixStream &) = delete;
    UnixStream &operator=(const UnixStream &) = delete;

    // Connects to `path` after checking that it is a socket owned by this
    // user in a folder only this user may write to, then checks the peer's
    // user. `refusal` says why when the stream is not open.
    static UnixStream connect(const QString &path, Refusal *refusal = nullptr);

    bool isOpen() const { return fd_ >= 0; }
    // The process id of the peer, as the kernel saw it when we connected.
    qint64 peerPid() const { return peerPid_; }

    // Writes all of `bytes` before `deadline` (monotonic milliseconds).
    bool send(const QByteArray &bytes, qint64 deadline);

    enum class Read { line, closed, timedOut, tooLong, failed };
    // Reads up to and without the next newline, at most `limit` bytes,
    // before `deadline`. A line past the limit is read to its end and
    // dropped (tooLong), so the stream stays in step.
    Read readLine(QByteArray &line, qint64 limit, qint64 deadline);

    void close();

private:
    int fd_ = -1;
    qint64 peerPid_ = 0;
    QByteArray pending_; // read past the last line given out
};

// Milliseconds of the monotonic clock, the unit of the stream's deadlines.
qint64 monotonicMs();

} // namespace corvane::platform
