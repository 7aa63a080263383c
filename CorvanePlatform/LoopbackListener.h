#pragma once

// A TCP listener that accepts only on the loopback addresses (127.0.0.1, and
// ::1 where the machine has it). Accepting happens on a thread of its own;
// every connection is handed to a new thread, where the handler uses blocking
// reads and writes that each end by a deadline.
//
// At most `maxConnections` are open at once, fewer when the process may open
// few descriptors. When a new one arrives at that limit, the oldest
// connection that has not yet claimed its slot (it is still waiting for its
// request) is closed to make room: idle clients cannot keep a quick one out.
// Running out of descriptors pauses accepting briefly, never for good.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace corvane::platform {

struct ConnectionSlot;

// One accepted connection, owned by its handler's thread; closed when the
// handler returns.
class LoopbackConnection {
public:
    explicit LoopbackConnection(std::shared_ptr<ConnectionSlot> slot);
    ~LoopbackConnection();
    LoopbackConnection(const LoopbackConnection &) = delete;
    LoopbackConnection &operator=(const LoopbackConnection &) = delete;

    qintptr descriptor() const;

    enum class ReadEnd {
        data, // some bytes came
        quiet, // nothing came within the wait
        closed, // the peer finished sending, or the connection was closed to make room
    };
    struct Read {
        ReadEnd end = ReadEnd::closed;
        QByteArray bytes;
    };
    // Waits up to `seconds` for bytes and returns at most `most` of them.
    Read read(double seconds, qint64 most);
    // Sends everything unless `seconds` pass first; false then, or on an error.
    bool write(const QByteArray &bytes, double seconds);

    // From now on the connection is served to its end: it is no longer closed
    // to make room. False when that already happened.
    bool claim();
    // Whether it was closed to make room for a newer connection.
    bool evicted() const;

private:
    std::shared_ptr<ConnectionSlot> slot_;
};

class LoopbackListener {
public:
    using ConnectionHandler = std::function<void(LoopbackConnection &)>;
    // Called on the listener's thread when accepting failed (descriptors or
    // memory ran out); accepting resumes by itself shortly after.
    using AcceptErrorHandler = std::function<void(const QString &error)>;
    // Asked on the listener's thread for every accepted socket before
    // anything is read from it; a connection it turns away is closed at once
    // and never takes a place among the open ones.
    using Admission = std::function<bool(qintptr socketDescriptor)>;

    static constexpr int defaultMaxConnections = 256;

    LoopbackListener(ConnectionHandler handler, AcceptErrorHandler acceptError, Admission admit = {},
                     int maxConnections = defaultMaxConnections);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    // Empty when listening; otherwise why not (nothing is listening then).
    // Listening again first closes the earlier listening sockets.
    QString listen(quint16 port);
    // Stops accepting; connections already handed out are not touched.
    void close();
    // Stops accepting, closes the connections still waiting for their
    // request, and returns once the ones being served have ended (each is
    // bounded by its handler's deadlines).
    void finish();
    // The port being listened on (the chosen one after listen(0)); 0 when closed.
    quint16 port() const;
    // Connections open right now.
    int openConnections() const;
    // How often accepting a connection has failed so far.
    int acceptFailures() const;

private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
};

} // namespace corvane::platform
