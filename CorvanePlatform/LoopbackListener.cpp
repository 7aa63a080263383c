#include "LoopbackListener.h"

#include "Dispatch.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpServer>
#include <QThread>


#include <vector>

namespace corvane::platform {

namespace {

class HandingServer : public QTcpServer {
public:
    explicit HandingServer(LoopbackListener::ConnectionHandler handler) : handler_(std::move(handler)) {}

protected:
    void incomingConnection(qintptr socketDescriptor) override
    {
        runInBackground([handler = handler_, socketDescriptor] { handler(socketDescriptor); });
    }

private:
    LoopbackListener::ConnectionHandler handler_;
};

} // namespace

struct LoopbackListener::Worker {
    ConnectionHandler handler;
    QThread thread;
    QObject context; // lives on `thread`; every server is made and dropped there
    std::vector<std::unique_ptr<HandingServer>> servers; // touched only on `thread`

    // Runs `work` on the listener's thread and waits for it.
    void onThread(const std::function<void()> &work)
    {
        QMetaObject::invokeMethod(&context, work, Qt::BlockingQueuedConnection);
    }

    QString listen(quint16 port)
    {
        servers.clear();
        auto ipv4 = std::make_unique<HandingServer>(handler);
        if (!ipv4->listen(QHostAddress::LocalHost, port))
            return ipv4->errorString();
        servers.push_back(std::move(ipv4));
        // ::1 is a courtesy for clients that resolve "localhost" to it; a
        // machine without IPv6 is served on 127.0.0.1 alone.
        auto ipv6 = std::make_unique<HandingServer>(handler);
        if (ipv6->listen(QHostAddress::LocalHostIPv6, servers.front()->serverPort()))
            servers.push_back(std::move(ipv6));
        return {};
    }
};

LoopbackListener::LoopbackListener(ConnectionHandler handler) : worker_(std::make_unique<Worker>())
{
    worker_->handler = std::move(handler);
    worker_->thread.setObjectName(QStringLiteral("loopback-listener"));
    worker_->context.moveToThread(&worker_->thread);
    worker_->thread.start();
}

LoopbackListener::~LoopbackListener()
{
    close();
    worker_->thread.quit();
    worker_->thread.wait();
}

QString LoopbackListener::listen(quint16 port)
{
    QString error;
    worker_->onThread([&] { error = worker_->listen(port); });
    return error;
}

void LoopbackListener::close()
{
    worker_->onThread([&] { worker_->servers.clear(); });
}

quint16 LoopbackListener::port() const
{
    quint16 port = 0;
    worker_->onThread([&] {
        if (!worker_->servers.empty())
            port = worker_->servers.front()->serverPort();
    });
    return port;
}

} // namespace corvane::platform
