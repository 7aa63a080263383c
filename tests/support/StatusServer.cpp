#include "StatusServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::test {

StatusServer::StatusServer(QByteArray statusLine)
    : statusLine_(std::move(statusLine))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::listen(listener_, 16) == 0
        && ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

StatusServer::~StatusServer()
{
    stopping_ = true;
    thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

void StatusServer::serve()
{
    const QByteArray reply = "HTTP/1.1 " + statusLine_ + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    while (!stopping_ && port_ != 0) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        const int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0)
            continue;
        char buffer[4096];
        (void)::recv(connection, buffer, sizeof buffer, 0); // one read holds a probe's request
        (void)::send(connection, reply.constData(), static_cast<size_t>(reply.size()), MSG_NOSIGNAL);
        ::close(connection);
    }
}

} // namespace corvane::test
