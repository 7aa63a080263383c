#include "RawDevTools.h"

#include "Eventually.h"
#include "LocalHttp.h"

#include <QJsonDocument>

namespace corvane::test {

RawClient::RawClient(const QString &url)
{
    QObject::connect(&socket_, &QWebSocket::textMessageReceived, [this](const QString &text) {
        messages_.append(QJsonDocument::fromJson(text.toUtf8()).object());
    });
    socket_.open(QUrl(url));
}

bool RawClient::connected()
{
    return eventuallyHandlingEvents([&] { return socket_.state() == QAbstractSocket::ConnectedState; }, 30);
}

void RawClient::send(int id, const QString &method, const QJsonObject &params, const QString &session)
{
    QJsonObject message {{"id", id}, {"method", method}, {"params", params}};
    if (!session.isEmpty())
        message.insert("sessionId", session);
    socket_.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

QJsonObject RawClient::reply(int id)
{
    QJsonObject found;
    eventuallyHandlingEvents(
        [&] {
            for (const QJsonObject &message : std::as_const(messages_)) {
                if (message.value("id").toInt(-1) == id)
                    return found = message, true;
            }
            return false;
        },
        30);
    return found;
}

QJsonObject RawClient::call(int id, const QString &method, const QJsonObject &params, const QString &session)
{
    send(id, method, params, session);
    return reply(id).value("result").toObject();
}

QList<QJsonObject> RawClient::replies() const
{
    QList<QJsonObject> all;
    for (const QJsonObject &message : messages_) {
        if (message.contains("id"))
            all.append(message);
    }
    return all;
}

void RawClient::close()
{
    socket_.close();
    eventuallyHandlingEvents([&] { return socket_.state() == QAbstractSocket::UnconnectedState; });
}

QString browserSocketUrl(quint16 port)
{
    const LocalReply version = exchange(port, {"GET /json/version HTTP/1.1\r\nHost: localhost\r\n\r\n"});
    return version.json().value("webSocketDebuggerUrl").toString();
}

} // namespace corvane::test
