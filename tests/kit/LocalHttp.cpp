#include "LocalHttp.h"

#include "Dispatch.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>

namespace corvane::test {

QJsonObject LocalReply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

QString LocalReply::text() const
{
    return json().value(QStringLiteral("text")).toString();
}

QString refNamed(const QString &snapshot, const QString &name)
{
    return QRegularExpression(QStringLiteral("\"%1\"[^\\n]*\\[ref=(e\\d+)\\]").arg(QRegularExpression::escape(name)))
        .match(snapshot)
        .captured(1);
}

LocalReply exchange(quint16 port, const QList<QByteArray> &parts, double pauseSeconds, double limitSeconds)
{
    LocalReply reply;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return reply;
    for (qsizetype i = 0; i < parts.size() && socket.state() == QAbstractSocket::ConnectedState; ++i) {
        if (i > 0 && pauseSeconds > 0)
            platform::sleepFor(pauseSeconds);
        socket.write(parts.at(i));
        socket.waitForBytesWritten(5000);
    }
    QByteArray received;
    const double deadline = platform::monotonicSeconds() + limitSeconds;
    while (socket.state() == QAbstractSocket::ConnectedState && platform::monotonicSeconds() < deadline) {
        socket.waitForReadyRead(100);
        received += socket.readAll();
    }
    received += socket.readAll();

    const qsizetype end = received.indexOf("\r\n\r\n");
    if (end < 0)
        return reply;
    reply.answered = true;
    reply.head = received.left(end);
    reply.body = received.mid(end + 4);
    const QList<QByteArray> statusLine = reply.head.split(' ');
    reply.status = statusLine.size() > 1 ? statusLine.at(1).toInt() : 0;
    return reply;
}

LocalReply postJson(quint16 port, const QByteArray &path, const QJsonObject &body)
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const QByteArray request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
        + "\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(json.size()) + "\r\n\r\n" + json;
    return exchange(port, {request});
}

} // namespace corvane::test
