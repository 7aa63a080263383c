#pragma once

// One WebSocket connection made by the URL session, in the shape the channel
// code is written for: start it, post one receive at a time, send text with a
// completion, cancel with a close code. Messages that arrive while no receive
// is posted wait in the task. Completions run on the session's thread and
// must only fill a box and signal.

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

namespace corvane::platform {

// Bounds of one connection. A message over `maxMessageBytes` ends the
// connection with the error `tooLargeError`; a peer that acknowledges nothing
// for `silentPeerSeconds` ends it too.
struct WebSocketLimits {
    qint64 maxMessageBytes = 16 * 1024 * 1024;
    int silentPeerSeconds = 15;
};
inline const QString tooLargeError = QStringLiteral("too-large");

struct WebSocketReceived {
    QString error; // non-empty when the connection failed or is gone
    bool isText = false;
    QString text; // a text message
    QByteArray data; // a binary message
};

class WebSocketTask {
public:
    using ReceiveCompletion = std::function<void(const WebSocketReceived &)>;
    using SendCompletion = std::function<void(const QString &error)>; // empty error: sent

    ~WebSocketTask(); // cancels with 1001 unless cancelled already
    WebSocketTask(const WebSocketTask &) = delete;
    WebSocketTask &operator=(const WebSocketTask &) = delete;

    // Opens the connection; the handshake is not awaited. A failed handshake
    // shows up as a failed receive. `opened` runs on the session's thread
    // once the handshake has completed.
    void resume(std::function<void()> opened = {});
    // Completes with the oldest waiting message, or the next one to arrive,
    // or the connection's failure once every waiting message was taken.
    void receive(ReceiveCompletion completion);
    // Sends one text frame once the connection is open; completes when the
    // frame is handed to the transport, or with the failure.
    void send(const QString &text, SendCompletion completion);
    // Closes with `closeCode` and no reason. Pending work fails.
    void cancel(int closeCode);

    struct State;

private:
    friend class UrlSession;
    WebSocketTask(QObject *context, QUrl url, WebSocketLimits limits);

    QObject *context_; // the session's object; everything runs in its thread
    std::shared_ptr<State> state_;
};

} // namespace corvane::platform
