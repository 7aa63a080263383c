#include "ScriptedChatService.h"

#include "Eventually.h"

#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

#include <deque>
#include <mutex>

namespace corvane::test {

namespace {

// One unmasked frame as a server writes it.
QByteArray serverFrame(bool last, quint8 opcode, const QByteArray &payload)
{
    QByteArray frame(1, char((last ? 0x80 : 0x00) | opcode));
    const quint64 size = quint64(payload.size());
    if (size < 126) {
        frame.append(char(size));
    } else if (size < 65536) {
        frame.append(char(126));
        for (int shift = 8; shift >= 0; shift -= 8)
            frame.append(char((size >> shift) & 0xFF));
    } else {
        frame.append(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char((size >> shift) & 0xFF));
    }
    return frame + payload;
}

} // namespace

struct ScriptedChatService::Worker : QObject {
    QTcpServer listener;
    QWebSocketServer sockets {QStringLiteral("scripted"), QWebSocketServer::NonSecureMode};
    QPointer<QWebSocket> newest;
    QPointer<QTcpSocket> newestTransport; // the newest socket's connection, for raw frames
    std::deque<QByteArray> trickle; // frames still to send, one per heartbeat

    mutable std::mutex lock;
    int accepted = 0;
    QStringList frames;
    QList<QJsonObject> posts;
    QString handshakePath;
    std::optional<int> closeCode;

    void start()
    {
        listener.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *connection = listener.nextPendingConnection())
                QObject::connect(connection, &QTcpSocket::readyRead, this, [this, connection] { route(connection); });
        });
        QObject::connect(&sockets, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *socket = sockets.nextPendingConnection())
                adopt(socket);
        });
    }

    // The socket path goes to the WebSocket server; anything else is a post.
    void route(QTcpSocket *connection)
    {
        const QByteArray head = connection->peek(connection->bytesAvailable());
        const qsizetype end = head.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        if (head.startsWith("GET /api/assistant/companion/socket")) {
            QObject::disconnect(connection, &QTcpSocket::readyRead, this, nullptr);
            newestTransport = connection;
            trickle.clear();
            sockets.handleConnection(connection);
            return;
        }
        const qsizetype lengthAt = head.toLower().indexOf("content-length:");
        const qsizetype length = lengthAt < 0
            ? 0
            : head.mid(lengthAt + 15, head.indexOf("\r\n", lengthAt) - lengthAt - 15).trimmed().toLongLong();
        if (head.size() < end + 4 + length)
            return;
        const QByteArray body = connection->readAll().mid(end + 4, length);
        {
            std::lock_guard guard(lock);
            posts.append(QJsonDocument::fromJson(body).object());
        }
        connection->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        connection->disconnectFromHost();
    }

    void adopt(QWebSocket *socket)
    {
        {
            std::lock_guard guard(lock);
            ++accepted;
            handshakePath = socket->requestUrl().toString(QUrl::RemoveScheme | QUrl::RemoveAuthority);
            closeCode.reset();
        }
        newest = socket;
        QObject::connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            {
                std::lock_guard guard(lock);
                frames.append(text);
            }
            if (text == QLatin1String(R"({"heartbeat":true})"))
                sendTrickled();
        });
        QObject::connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            trickle.clear();
            if (socket == newest) {
                std::lock_guard guard(lock);
                closeCode = int(socket->closeCode());
            }
            socket->deleteLater();
        });
    }

    void sendTrickled()
    {
        if (trickle.empty() || !newestTransport)
            return;
        newestTransport->write(trickle.front());
        trickle.pop_front();
    }
};

ScriptedChatService::ScriptedChatService()
    : thread_(new QThread)
    , worker_(new Worker)
{
    worker_->moveToThread(thread_);
    worker_->listener.moveToThread(thread_);
    worker_->sockets.moveToThread(thread_);
    thread_->start();
    QMetaObject::invokeMethod(
        worker_, [this] { worker_->start(); }, Qt::BlockingQueuedConnection);
}

ScriptedChatService::~ScriptedChatService()
{
    QMetaObject::invokeMethod(
        worker_, [this] { delete worker_; }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    delete thread_;
}

QString ScriptedChatService::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(worker_->listener.serverPort());
}

bool ScriptedChatService::waitForConnections(int count, double seconds) const
{
    return eventually(
        [&] {
            std::lock_guard guard(worker_->lock);
            return worker_->accepted >= count;
        },
        seconds);
}

void ScriptedChatService::sendText(const QString &text)
{
    QMetaObject::invokeMethod(
        worker_,
        [this, text] {
            if (worker_->newest)
                worker_->newest->sendTextMessage(text);
        },
        Qt::BlockingQueuedConnection);
}

void ScriptedChatService::trickleText(const QString &text, qsizetype piece)
{
    const QByteArray bytes = text.toUtf8();
    QMetaObject::invokeMethod(
        worker_,
        [this, bytes, piece] {
            for (qsizetype at = 0; at < bytes.size(); at += piece) {
                const bool last = at + piece >= bytes.size();
                worker_->trickle.push_back(serverFrame(last, at == 0 ? 0x1 : 0x0, bytes.mid(at, piece)));
            }
            worker_->sendTrickled();
        },
        Qt::BlockingQueuedConnection);
}

void ScriptedChatService::sendBinary(const QByteArray &data)
{
    QMetaObject::invokeMethod(
        worker_,
        [this, data] {
            if (worker_->newest)
                worker_->newest->sendBinaryMessage(data);
        },
        Qt::BlockingQueuedConnection);
}

QStringList ScriptedChatService::frames() const
{
    std::lock_guard guard(worker_->lock);
    return worker_->frames;
}

QList<QJsonObject> ScriptedChatService::posts() const
{
    std::lock_guard guard(worker_->lock);
    return worker_->posts;
}

QString ScriptedChatService::handshakePath() const
{
    std::lock_guard guard(worker_->lock);
    return worker_->handshakePath;
}

std::optional<int> ScriptedChatService::closeCode() const
{
    std::lock_guard guard(worker_->lock);
    return worker_->closeCode;
}

} // namespace corvane::test
