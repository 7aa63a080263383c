#include "DevChat.h"

#include "LocalHttp.h"

#include "Dispatch.h"

#include <QRegularExpression>

#include <csignal>

namespace corvane::test {

DevChat::DevChat(const QStringList &options, quint16 port, const QStringList &prefix)
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments {QStringLiteral("/usr/bin/python3"), QStringLiteral(CORVANE_DEV_CHAT_SCRIPT),
                           QStringLiteral("--port"), QString::number(port)};
    if (port == 0)
        arguments << QStringLiteral("--host") << QStringLiteral("127.0.0.1");
    const QStringList command = prefix + arguments + options;
    process_.start(command.front(), command.mid(1));
    static const QRegularExpression listening(QStringLiteral(R"(listening on http://127\.0\.0\.1:(\d+))"));
    QByteArray said;
    const double deadline = platform::monotonicSeconds() + 20.0;
    while (port_ == 0 && process_.state() != QProcess::NotRunning && platform::monotonicSeconds() < deadline) {
        process_.waitForReadyRead(200);
        said += process_.readAllStandardOutput();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(said));
        if (match.hasMatch())
            port_ = quint16(match.captured(1).toUInt());
    }
}

DevChat::~DevChat()
{
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void DevChat::signal(int number)
{
    ::kill(static_cast<pid_t>(process_.processId()), number);
    if (number == SIGKILL || number == SIGTERM)
        process_.waitForFinished(5000);
}

QString DevChat::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port_);
}

QJsonObject DevChat::post(const QByteArray &path, const QJsonObject &body) const
{
    return postJson(port_, path, body).json();
}

QJsonObject DevChat::get(const QByteArray &path) const
{
    return exchange(port_, {"GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"}).json();
}

QJsonObject DevChat::runJob(const QString &path, const QJsonObject &body, double waitSeconds) const
{
    return post("/dev/jobs", {{"path", path}, {"body", body}, {"wait", waitSeconds}});
}

} // namespace corvane::test
