#pragma once

#include <QByteArray>

#include <atomic>
#include <thread>

namespace corvane::test {

// A tiny HTTP server on 127.0.0.1 (a port of the system's choosing) that
// answers every request with the same status line and an empty body.
class StatusServer {
public:
    explicit StatusServer(QByteArray statusLine);
    ~StatusServer();
    StatusServer(const StatusServer &) = delete;
    StatusServer &operator=(const StatusServer &) = delete;

    quint16 port() const { return port_; }

private:
    void serve();

    QByteArray statusLine_;
    int listener_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace corvane::test
