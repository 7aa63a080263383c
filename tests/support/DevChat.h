#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace corvane::test {

// The development chat service (tools/dev-chat) on a free 127.0.0.1 port,
// or on `port` of both loopback addresses, stopped when the object goes away.
class DevChat {
public:
    // `prefix`: a command it runs through (into another network namespace).
    explicit DevChat(const QStringList &options = {QStringLiteral("--auto-approve")}, quint16 port = 0,
                     const QStringList &prefix = {});
    ~DevChat();
    DevChat(const DevChat &) = delete;
    DevChat &operator=(const DevChat &) = delete;

    bool started() const { return port_ != 0; }
    quint16 port() const { return port_; }
    QString origin() const; // "http://127.0.0.1:PORT"

    // The JSON interface: POST with a body, or GET.
    QJsonObject post(const QByteArray &path, const QJsonObject &body) const;
    QJsonObject get(const QByteArray &path) const;

    // Queues one job and waits up to `waitSeconds` for both answers.
    QJsonObject runJob(const QString &path, const QJsonObject &body, double waitSeconds) const;

    // Sends the service a signal (SIGKILL, SIGSTOP, SIGCONT) and, for one
    // that ends it, waits until it is gone.
    void signal(int number);

private:
    QProcess process_;
    quint16 port_ = 0;
};

} // namespace corvane::test
