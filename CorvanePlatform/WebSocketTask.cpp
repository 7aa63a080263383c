#include "WebSocketTask.h"

#include "SocketOptions.h"

#include <QTimer>
#include <QWebSocket>

#include <deque>
#include <utility>

namespace corvane::platform {

namespace {

// How long a closing handshake may take before the connection is dropped.
constexpr int closeGraceMs = 2000;

} // namespace

// Touched only on the session's thread.
struct WebSocketTask::State {
    QUrl url;
    WebSocketLimits limits;
    std::function<void()> announceOpen;
    QWebSocket *socket = nullptr;
    bool open = false;
    bool cancelled = false;
    QString failure; // set once, when the connection is gone
    std::deque<WebSocketReceived> inbox;
    ReceiveCompletion pendingReceive;
    std::deque<std::pair<QString, SendCompletion>> unsent; // waiting for the handshake

    void deliver()
    {
        if (!pendingReceive)
            return;
        if (!inbox.empty()) {
            WebSocketReceived message = std::move(inbox.front());
            inbox.pop_front();
            std::exchange(pendingReceive, nullptr)(message);
        } else if (!failure.isEmpty()) {
            WebSocketReceived gone;
            gone.error = failure;
            std::exchange(pendingReceive, nullptr)(gone);
        }
    }

    void fail(const QString &error)
    {
        if (!failure.isEmpty())
            return;
        failure = error;
        open = false;
        for (auto &[text, completion] : std::exchange(unsent, {}))
            completion(failure);
        deliver();
    }

    void write(const QString &text, const SendCompletion &completion)
    {
        const qint64 length = text.toUtf8().size();
        const qint64 written = socket->sendTextMessage(text);
        socket->flush();
        completion(written == length ? QString() : QStringLiteral("The message could not be sent."));
    }

    void opened()
    {
        open = true;
        // Ours was made by the library: it is found by its two ends.
        endConnectionAfterSilentPeer(socket->localAddress(), socket->localPort(), socket->peerAddress(),
                                     socket->peerPort(), limits.silentPeerSeconds);
        if (announceOpen)
            std::exchange(announceOpen, nullptr)();
        for (auto &[text, completion] : std::exchange(unsent, {}))
            write(text, completion);
    }

    void closed()
    {
        if (socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
            return fail(tooLargeError);
        QString why = socket->error() != QAbstractSocket::UnknownSocketError ? socket->errorString() : QString();
        if (why.isEmpty())
            why = QStringLiteral("The connection was closed (code %1).").arg(int(socket->closeCode()));
        fail(why);
    }
};

WebSocketTask::WebSocketTask(QObject *context, QUrl url, WebSocketLimits limits)
    : context_(context)
    , state_(std::make_shared<State>())
{
    state_->url = std::move(url);
    state_->limits = limits;
}

WebSocketTask::~WebSocketTask()
{
    cancel(QWebSocketProtocol::CloseCodeGoingAway);
}

void WebSocketTask::resume(std::function<void()> opened)
{
    QMetaObject::invokeMethod(
        context_,
        [context = context_, state = state_, opened = std::move(opened)] {
            if (state->socket || state->cancelled)
                return;
            auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, context);
            socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(state->limits.maxMessageBytes));
            socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(state->limits.maxMessageBytes));
            state->socket = socket;
            state->announceOpen = opened;
            QObject::connect(socket, &QWebSocket::connected, socket, [state] { state->opened(); });
            QObject::connect(socket, &QWebSocket::disconnected, socket, [state] { state->closed(); });
            QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), socket,
                             [state](QAbstractSocket::SocketError) { state->closed(); });
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket, [state](const QString &text) {
                WebSocketReceived message;
                message.isText = true;
                message.text = text;
                state->inbox.push_back(std::move(message));
                state->deliver();
            });
            QObject::connect(socket, &QWebSocket::binaryMessageReceived, socket, [state](const QByteArray &data) {
                WebSocketReceived message;
                message.data = data;
                state->inbox.push_back(std::move(message));
                state->deliver();
            });
            socket->open(state->url);
        },
        Qt::QueuedConnection);
}

void WebSocketTask::receive(ReceiveCompletion completion)
{
    QMetaObject::invokeMethod(
        context_,
        [state = state_, completion = std::move(completion)] {
            if (state->pendingReceive) {
                WebSocketReceived refused;
                refused.error = QStringLiteral("Another receive is already waiting.");
                completion(refused);
                return;
            }
            state->pendingReceive = completion;
            if (!state->socket && state->failure.isEmpty())
                return; // not resumed yet: waits like any receive
            state->deliver();
        },
        Qt::QueuedConnection);
}

void WebSocketTask::send(const QString &text, SendCompletion completion)
{
    QMetaObject::invokeMethod(
        context_,
        [state = state_, text, completion = std::move(completion)] {
            if (!state->failure.isEmpty())
                completion(state->failure);
            else if (state->open)
                state->write(text, completion);
            else
                state->unsent.emplace_back(text, completion);
        },
        Qt::QueuedConnection);
}

void WebSocketTask::cancel(int closeCode)
{
    QMetaObject::invokeMethod(
        context_,
        [state = state_, closeCode] {
            if (state->cancelled)
                return;
            state->cancelled = true;
            const bool wasOpen = state->open;
            state->fail(QStringLiteral("The connection was cancelled."));
            QWebSocket *socket = state->socket;
            if (!socket)
                return;
            if (!wasOpen) {
                // No WebSocket to close: a close frame would reach a plain
                // HTTP connection, or nowhere.
                socket->abort();
                socket->deleteLater();
                return;
            }
            // The socket goes once its closing handshake is over, or after a grace.
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(closeGraceMs, socket, [socket] {
                socket->abort();
                socket->deleteLater();
            });
            socket->close(static_cast<QWebSocketProtocol::CloseCode>(closeCode));
        },
        Qt::QueuedConnection);
}

} // namespace corvane::platform
