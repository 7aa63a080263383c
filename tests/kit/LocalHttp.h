#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace corvane::test {

struct LocalReply {
    bool answered = false;
    int status = 0;
    QByteArray head; // status line and headers
    QByteArray body;
    QJsonObject json() const;
    // The result's "text".
    QString text() const;
};

// The element reference a snapshot gives the element named `name`, as in
// `- button "Send" [ref=e2]`; empty when there is none.
QString refNamed(const QString &snapshot, const QString &name);

// Sends `parts` to 127.0.0.1:port one write at a time, `pauseSeconds` apart,
// and reads the reply until the server closes the connection.
LocalReply exchange(quint16 port, const QList<QByteArray> &parts, double pauseSeconds = 0.0,
                    double limitSeconds = 90.0);

// A request the way a local program sends one: Host 127.0.0.1, a JSON body
// with its Content-Length.
LocalReply postJson(quint16 port, const QByteArray &path, const QJsonObject &body = {});

} // namespace corvane::test
