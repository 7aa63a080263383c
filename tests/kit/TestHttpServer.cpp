#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::test {

namespace {

QByteArray replyWith(const QByteArray &statusLine, const QByteArray &contentType, const QByteArray &body)
{
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

TestHttpServer::TestHttpServer(Responder responder, quint16 port)
    : responder_(std::move(responder))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::listen(listener_, 64) == 0
        && ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

TestHttpServer::~TestHttpServer()
{
    stopping_ = true;
    thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

QByteArray TestHttpServer::url(const QByteArray &path) const
{
    return "http://127.0.0.1:" + QByteArray::number(port_) + path;
}

void TestHttpServer::serve()
{
    while (!stopping_ && port_ != 0) {
        pollfd waiting {listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        const int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0)
            continue;
        // A thread per connection: Chromium opens spare connections that
        // may never carry a request, and they must not hold up the others.
        ++active_;
        std::thread([this, connection] {
            answer(connection);
            --active_;
        }).detach();
    }
    while (active_ > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TestHttpServer::answer(int connection)
{
    // The whole request is read, body included: closing on unread bytes
    // would reset the connection under the reply. A connection the browser
    // opened ahead of a request is kept, as any server keeps an idle one,
    // until the request comes or the server stops: closed early, it may
    // meet the request on its way and leave a navigation hanging.
    QByteArray request;
    qsizetype wanted = -1;
    pollfd waiting {connection, POLLIN, 0};
    const auto readable = [&] {
        for (;;) {
            const int ready = ::poll(&waiting, 1, 50);
            if (ready != 0 || stopping_)
                return ready > 0;
        }
    };
    while ((wanted < 0 || request.size() < wanted) && readable()) {
        char buffer[8192];
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, got);
        const qsizetype headEnd = request.indexOf("\r\n\r\n");
        if (wanted < 0 && headEnd >= 0) {
            const QByteArray head = request.left(headEnd).toLower();
            const qsizetype at = head.indexOf("\r\ncontent-length:");
            const qsizetype length
                = at < 0 ? 0 : head.mid(at + 17, head.indexOf('\r', at + 2) - at - 17).trimmed().toLongLong();
            wanted = headEnd + 4 + length;
        }
    }
    if (!request.isEmpty()) {
        const QList<QByteArray> words = request.split(' ');
        const QByteArray reply = responder_(words.size() > 1 ? words.at(1) : QByteArray());
        (void)::send(connection, reply.constData(), static_cast<size_t>(reply.size()), MSG_NOSIGNAL);
    }
    ::close(connection);
}

TestHttpServer::Responder fixedStatus(QByteArray statusLine)
{
    return [statusLine](const QByteArray &) { return replyWith(statusLine, "text/plain", {}); };
}

TestHttpServer::Responder htmlPages(QMap<QByteArray, QByteArray> pages)
{
    return [pages](const QByteArray &path) {
        const auto found = pages.constFind(path.split('?').front());
        if (found == pages.constEnd())
            return replyWith("404 Not Found", "text/plain", "not here");
        return replyWith("200 OK", "text/html; charset=utf-8", *found);
    };
}

} // namespace corvane::test
