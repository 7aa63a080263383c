#pragma once

#include <QByteArray>
#include <QMap>

#include <atomic>
#include <functional>
#include <thread>

namespace corvane::test {

// A tiny HTTP server on 127.0.0.1 (a port of the system's choosing unless
// one is given) for Chrome probes and test pages: the responder turns a
// request's path into the complete reply bytes.
class TestHttpServer {
public:
    using Responder = std::function<QByteArray(const QByteArray &path)>;

    explicit TestHttpServer(Responder responder, quint16 port = 0);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    quint16 port() const { return port_; }
    QByteArray url(const QByteArray &path) const;

private:
    void serve();
    void answer(int connection);

    Responder responder_;
    int listener_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stopping_ {false};
    std::atomic<int> active_ {0};
    std::thread thread_;
};

// Every request gets the same status line and an empty body.
TestHttpServer::Responder fixedStatus(QByteArray statusLine);
// HTML pages by path; other paths get 404.
TestHttpServer::Responder htmlPages(QMap<QByteArray, QByteArray> pages);

} // namespace corvane::test
