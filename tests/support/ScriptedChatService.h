#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QThread;

namespace corvane::test {

// A chat service inside the test process for what the development service
// cannot stage: it sends whatever frame a test asks for on the newest
// socket, records every frame and result post, and answers posts with 204.
// Listens on 127.0.0.1 on a thread of its own.
class ScriptedChatService {
public:
    ScriptedChatService();
    ~ScriptedChatService();
    ScriptedChatService(const ScriptedChatService &) = delete;
    ScriptedChatService &operator=(const ScriptedChatService &) = delete;

    QString origin() const; // "http://127.0.0.1:PORT"

    // True once `count` sockets have been accepted in all.
    bool waitForConnections(int count = 1, double seconds = 10.0) const;
    void sendText(const QString &text);
    // Sends `text` as one message in fragments of `piece` bytes: the first at
    // once, each further one when the companion's next heartbeat arrives, so
    // the message is still coming in while heartbeats fall due.
    void trickleText(const QString &text, qsizetype piece);
    void sendBinary(const QByteArray &data);

    QStringList frames() const; // text frames from the companion, in order
    QList<QJsonObject> posts() const; // bodies posted to the result endpoint
    QString handshakePath() const; // path and query of the newest socket
    // The close code the companion sent on the newest socket, once closed.
    std::optional<int> closeCode() const;

    struct Worker;

private:
    QThread *thread_;
    Worker *worker_;
};

} // namespace corvane::test
