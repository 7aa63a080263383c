#include "LoopbackServer.h"

#include "Drive.h"
#include "EventLog.h"

#include "LoopbackListener.h"

#include <QTcpSocket>

#include <unistd.h>

namespace corvane {

namespace {

constexpr qint64 firstReadLimit = 65536;
constexpr int bodyIdleMs = 10000;
constexpr int replyWriteMs = 30000;
constexpr int closeWaitMs = 2000;

const QByteArray headEnd = QByteArrayLiteral("\r\n\r\n");

// The header lines of a request split at CR LF: those between the request
// line and the first blank line (or the end).
QStringList headerLines(const QStringList &lines)
{
    const qsizetype blank = lines.indexOf(QString());
    return blank == 0 ? QStringList() : lines.mid(1, blank < 0 ? -1 : blank - 1);
}

std::optional<QString> headerValue(const QStringList &headers, QLatin1String name)
{
    for (const QString &line : headers) {
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return std::nullopt;
}

// The headers of a raw request whose head is complete; none otherwise.
std::optional<QStringList> completeHead(const QByteArray &received)
{
    const qsizetype end = received.indexOf(headEnd);
    if (end < 0)
        return std::nullopt;
    return headerLines(QString::fromLatin1(received.left(end)).split(QStringLiteral("\r\n")));
}

bool isDecimal(QStringView digits)
{
    if (digits.isEmpty())
        return false;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// "127.0.0.1", "localhost" or "[::1]", with or without a port.
bool isLoopbackHost(const QString &value)
{
    QStringView host(value);
    QStringView rest;
    if (value.startsWith(QLatin1Char('['))) {
        const qsizetype close = value.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        host = host.left(close + 1);
        rest = QStringView(value).mid(close + 1);
    } else if (const qsizetype colon = value.indexOf(QLatin1Char(':')); colon >= 0) {
        host = host.left(colon);
        rest = QStringView(value).mid(colon);
    }
    if (!rest.isEmpty() && (!rest.startsWith(QLatin1Char(':')) || !isDecimal(rest.mid(1))))
        return false;
    return host == QLatin1String("127.0.0.1") || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || host == QLatin1String("[::1]");
}

// Why a request looks like it came from a web page; none for a local program.
std::optional<QString> webPageReason(const QStringList &headers)
{
    if (headerValue(headers, QLatin1String("origin")))
        return QStringLiteral("origin");
    const std::optional<QString> host = headerValue(headers, QLatin1String("host"));
    if (host && !isLoopbackHost(*host))
        return QStringLiteral("host");
    return std::nullopt;
}

// The first delivery, and when its head announces a body, the rest of that
// body: clients such as curl send a larger body in a second write.
QByteArray readRequest(QTcpSocket &socket)
{
    if (!socket.waitForReadyRead(-1) && socket.bytesAvailable() == 0)
        return {};
    QByteArray received = socket.read(firstReadLimit);
    const std::optional<qint64> body = announcedBodyLength(received);
    if (!body)
        return received;
    const qint64 wanted = received.indexOf(headEnd) + headEnd.size() + *body;
    if (received.size() < wanted && expectsContinue(received)) {
        socket.write(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
        socket.waitForBytesWritten(replyWriteMs);
    }
    while (received.size() < wanted) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(bodyIdleMs))
            break; // idle too long, or the client hung up: answer with what came
        received += socket.read(wanted - received.size());
    }
    return received;
}

void serveConnection(qintptr descriptor)
{
    QTcpSocket socket;
    if (!socket.setSocketDescriptor(descriptor)) {
        ::close(static_cast<int>(descriptor));
        return;
    }
    const QByteArray request = readRequest(socket);
    if (request.isEmpty()) {
        socket.abort();
        return;
    }
    socket.write(LoopbackServer::handle(utf8OrEmpty(request)));
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(replyWriteMs)) {
    }
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(closeWaitMs);
}

} // namespace

std::optional<qint64> announcedBodyLength(const QByteArray &received)
{
    const std::optional<QStringList> headers = completeHead(received);
    if (!headers)
        return std::nullopt;
    const std::optional<QString> value = headerValue(*headers, QLatin1String("content-length"));
    if (!value || !isDecimal(*value))
        return std::nullopt;
    bool fits = false;
    const qint64 length = value->toLongLong(&fits);
    return fits ? std::min(length, requestBodyLimit) : requestBodyLimit;
}

bool expectsContinue(const QByteArray &received)
{
    const std::optional<QStringList> headers = completeHead(received);
    const std::optional<QString> value = headers ? headerValue(*headers, QLatin1String("expect")) : std::nullopt;
    return value && value->compare(QLatin1String("100-continue"), Qt::CaseInsensitive) == 0;
}

LoopbackServer::LoopbackServer() = default;

LoopbackServer::~LoopbackServer()
{
    stop();
}

LoopbackStart LoopbackServer::start(quint16 port)
{
    auto listener = std::make_unique<platform::LoopbackListener>(serveConnection);
    const QString error = listener->listen(port);
    if (!error.isEmpty())
        return {false, error};
    listener_ = std::move(listener);
    return {true, {}};
}

void LoopbackServer::stop()
{
    listener_.reset();
}

quint16 LoopbackServer::port() const
{
    return listener_ ? listener_->port() : 0;
}

LoopbackRequest LoopbackServer::parseRequest(const QString &request)
{
    LoopbackRequest parsed;
    const QStringList lines = request.split(QStringLiteral("\r\n"));
    const QStringList requestLine = lines.front().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    parsed.method = requestLine.isEmpty() ? QStringLiteral("GET") : requestLine.front();
    parsed.path = QStringLiteral("/");
    if (requestLine.size() >= 2) {
        const QStringList target = requestLine.at(1).split(QLatin1Char('?'), Qt::SkipEmptyParts);
        if (!target.isEmpty())
            parsed.path = target.front();
    }

    parsed.refusal = webPageReason(headerLines(lines));
    const qsizetype blank = lines.indexOf(QString());
    if (parsed.method != QLatin1String("GET") && blank >= 0 && blank + 1 < lines.size())
        parsed.body = parseJSONBody(lines.mid(blank + 1).join(QStringLiteral("\r\n")));
    return parsed;
}

QByteArray LoopbackServer::replyBytes(const QByteArray &status, const DriverResult &result)
{
    const QByteArray json = result.json().toUtf8();
    return QByteArrayLiteral("HTTP/1.1 ") + status + QByteArrayLiteral("\r\nContent-Type: application/json\r\nContent-Length: ")
        + QByteArray::number(json.size()) + QByteArrayLiteral("\r\nConnection: close\r\n\r\n") + json;
}

QByteArray LoopbackServer::handle(const QString &request)
{
    const LoopbackRequest parsed = parseRequest(request);
    if (parsed.refusal) {
        companionLog(QStringLiteral("loopback.reject"), {{QStringLiteral("reason"), *parsed.refusal}, {QStringLiteral("path"), parsed.path}});
        DriverResult refused;
        refused.text = webPageRefusedText;
        return replyBytes(QByteArrayLiteral("403 Forbidden"), refused);
    }

    companionLog(QStringLiteral("loopback.req"), {{QStringLiteral("method"), parsed.method}, {QStringLiteral("path"), parsed.path}});
    const DriverResult result = drive(parsed.path, parsed.body, true);
    companionLog(QStringLiteral("loopback.res"), {{QStringLiteral("path"), parsed.path},
                                                  {QStringLiteral("ok"), yesNo(result.ok)},
                                                  {QStringLiteral("chrome"), onOff(result.chrome)}});
    return replyBytes(QByteArrayLiteral("200 OK"), result);
}

} // namespace corvane
