#pragma once

// A TCP listener that accepts only on the loopback addresses (127.0.0.1, and
// ::1 where the machine has it). Accepting happens on a thread of its own;
// every connection is handed, as a socket descriptor, to a new thread, where
// the handler may use blocking I/O for as long as it needs.

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace corvane::platform {

class LoopbackListener {
public:
    // Runs on the connection's own thread and owns the descriptor.
    using ConnectionHandler = std::function<void(qintptr socketDescriptor)>;

    explicit LoopbackListener(ConnectionHandler handler);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    // Empty when listening; otherwise why not (nothing is listening then).
    // Listening again first closes the earlier listening sockets.
    QString listen(quint16 port);
    // Stops accepting; connections already handed out are not touched.
    void close();
    // The port being listened on (the chosen one after listen(0)); 0 when closed.
    quint16 port() const;

private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
};

} // namespace corvane::platform
