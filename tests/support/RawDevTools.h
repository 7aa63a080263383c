#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QWebSocket>

namespace corvane::test {

// A DevTools client of our own, speaking the protocol with nothing between:
// what the person's own tools, or another program of theirs, would do.
class RawClient {
public:
    explicit RawClient(const QString &url);
    bool connected();
    void send(int id, const QString &method, const QJsonObject &params = {}, const QString &session = {});
    // The reply to `id`, once it came.
    QJsonObject reply(int id);
    QJsonObject call(int id, const QString &method, const QJsonObject &params = {}, const QString &session = {});
    QList<QJsonObject> replies() const;
    void close();

private:
    QWebSocket socket_;
    QList<QJsonObject> messages_;
};

// The browser's WebSocket address on the debugging port `port`.
QString browserSocketUrl(quint16 port);

} // namespace corvane::test
