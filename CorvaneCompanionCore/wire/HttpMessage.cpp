#include "wire/HttpMessage.h"

#include <QStringList>

#include <algorithm>

namespace corvane {

namespace {

const QString crlf = QStringLiteral("\r\n");

// The header lines of a request split at CR LF: those between the request
// line and the first blank line (or the end).
QStringList headerLines(const QStringList &lines)
{
    const qsizetype blank = lines.indexOf(QString());
    return blank == 0 ? QStringList() : lines.mid(1, blank < 0 ? -1 : blank - 1);
}

// Without the spaces and tabs HTTP allows around a header's name and value;
// anything else stays and makes the value what it is.
QStringView withoutSpaces(QStringView text)
{
    const auto space = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (!text.isEmpty() && space(text.front()))
        text = text.mid(1);
    while (!text.isEmpty() && space(text.back()))
        text.chop(1);
    return text;
}

QStringList headerValues(const QStringList &headers, QLatin1String name)
{
    QStringList values;
    for (const QString &line : headers) {
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon > 0 && withoutSpaces(QStringView(line).left(colon)).compare(name, Qt::CaseInsensitive) == 0)
            values.append(withoutSpaces(QStringView(line).mid(colon + 1)).toString());
    }
    return values;
}

std::optional<QString> headerValue(const QStringList &headers, QLatin1String name)
{
    const QStringList values = headerValues(headers, name);
    return values.isEmpty() ? std::nullopt : std::optional<QString>(values.front());
}

// The lines a web-page test looks at, from the head's bytes as they are,
// whatever their encoding: all after the request line up to a blank one, also
// when the request line itself is blank (such a request is only a health
// probe, but nothing that looks like a browser's header goes unseen).
QStringList headHeaders(const QByteArray &request)
{
    const qsizetype end = request.indexOf("\r\n\r\n");
    const QByteArray head = end < 0 ? request.left(requestHeadLimit) : request.left(end);
    const QStringList lines = QString::fromLatin1(head).split(crlf).mid(1);
    const qsizetype blank = lines.indexOf(QString());
    return blank < 0 ? lines : lines.mid(0, blank);
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
// Browsers mark what they send: an Origin on anything but a plain GET, fetch
// metadata on every request a page makes (a person typing the address sends
// "none"), and the page's own host name after a DNS rebinding.
std::optional<QString> webPageReason(const QStringList &headers)
{
    if (headerValue(headers, QLatin1String("origin")))
        return QStringLiteral("origin");
    const QStringList sites = headerValues(headers, QLatin1String("sec-fetch-site"));
    if (std::any_of(sites.begin(), sites.end(), [](const QString &site) { return site != QLatin1String("none"); }))
        return QStringLiteral("site");
    const QStringList hosts = headerValues(headers, QLatin1String("host"));
    if (std::any_of(hosts.begin(), hosts.end(), [](const QString &host) { return !isLoopbackHost(host); }))
        return QStringLiteral("host");
    return std::nullopt;
}

} // namespace

void RequestFraming::append(const QByteArray &bytes)
{
    if (state_ != State::head && state_ != State::body)
        return; // nothing more is wanted
    bytes_ += bytes;
    if (state_ == State::head) {
        // Only where a blank line could end now; a trickled head is not
        // searched whole again for every byte.
        const qsizetype from = std::max<qsizetype>(0, searched_ - 3);
        searched_ = bytes_.size();
        const qsizetype crlfAt = bytes_.indexOf("\r\n\r\n", from);
        const qsizetype lfAt = bytes_.indexOf("\n\n", from);
        const qsizetype crlfEnd = crlfAt < 0 ? -1 : crlfAt + 4;
        const qsizetype lfEnd = lfAt < 0 ? -1 : lfAt + 2;
        if (crlfEnd < 0 && lfEnd < 0) {
            if (bytes_.size() > requestHeadLimit)
                state_ = State::headTooLarge;
            return;
        }
        const bool isCrlf = crlfEnd >= 0 && (lfEnd < 0 || crlfEnd <= lfEnd);
        const qsizetype headSize = isCrlf ? crlfEnd : lfEnd;
        if (headSize > requestHeadLimit) {
            state_ = State::headTooLarge;
            return;
        }
        headEnded(headSize, isCrlf);
    }
    if (state_ == State::body && bytes_.size() >= wanted_)
        state_ = State::complete;
}

void RequestFraming::headEnded(qsizetype headSize, bool isCrlf)
{
    state_ = State::complete;
    if (!isCrlf)
        return; // bare LF makes one line: no headers, no body
    const QStringList headers = headerLines(QString::fromLatin1(bytes_.left(headSize)).split(crlf));
    const std::optional<QString> length = headerValue(headers, QLatin1String("content-length"));
    if (!length || !isDecimal(*length))
        return;
    bool fits = false;
    const qint64 announced = length->toLongLong(&fits);
    if (!fits || announced > requestBodyLimit) {
        state_ = State::bodyTooLarge;
        return;
    }
    wanted_ = headSize + announced;
    const std::optional<QString> expect = headerValue(headers, QLatin1String("expect"));
    continueAsked_ = expect && expect->compare(QLatin1String("100-continue"), Qt::CaseInsensitive) == 0;
    if (bytes_.size() < wanted_)
        state_ = State::body;
}

LoopbackRequest parseRequest(const QByteArray &request)
{
    LoopbackRequest parsed;
    // The head ends at the first blank line (the request line itself, when
    // it is blank); what follows is the body. Each is read as UTF-8 alone, so
    // a body that is not still leaves its path known.
    const qsizetype headEnd = request.startsWith("\r\n") ? 0 : request.indexOf("\r\n\r\n");
    const QByteArray headBytes = headEnd < 0 ? request : request.left(headEnd);
    const QString head = utf8OrEmpty(headBytes);
    if (head.isEmpty() && !headBytes.isEmpty())
        parsed.fault = LoopbackRequest::Fault::notUtf8;
    const QStringList lines = head.split(crlf);
    const QStringList requestLine = lines.front().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    parsed.method = requestLine.isEmpty() ? QStringLiteral("GET") : requestLine.front();
    parsed.path = QStringLiteral("/");
    if (requestLine.size() >= 2) {
        const QStringList target = requestLine.at(1).split(QLatin1Char('?'), Qt::SkipEmptyParts);
        if (!target.isEmpty())
            parsed.path = target.front();
    }

    parsed.refusal = webPageReason(headHeaders(request));
    parsed.headers = lines.mid(1);
    if (headEnd < 0)
        return parsed;
    parsed.content = request.mid(headEnd + (headEnd == 0 ? 2 : 4));
    const QString body = utf8OrEmpty(parsed.content);
    if (body.isEmpty() && !parsed.content.isEmpty())
        parsed.fault = LoopbackRequest::Fault::notUtf8;
    if (parsed.method == QLatin1String("GET") || body.isEmpty())
        return parsed;
    if (const std::optional<QJsonObject> object = jsonObjectFromText(body))
        parsed.body = bodyFromObject(*object);
    else if (!body.trimmed().isEmpty())
        parsed.fault = LoopbackRequest::Fault::bodyNotObject;
    return parsed;
}

QByteArray HttpAnswer::bytes() const
{
    QByteArray reply = QByteArrayLiteral("HTTP/1.1 ") + status + QByteArrayLiteral("\r\n");
    for (const auto &[name, value] : headers)
        reply += name + QByteArrayLiteral(": ") + value + QByteArrayLiteral("\r\n");
    reply += QByteArrayLiteral("Content-Length: ") + QByteArray::number(body.size())
        + QByteArrayLiteral("\r\nConnection: close\r\n\r\n") + body;
    return reply;
}

std::optional<QString> requestHeader(const LoopbackRequest &request, QLatin1String name)
{
    return headerValue(request.headers, name);
}

std::optional<Refusal> refusalOf(const RequestFraming &framing, bool fromUser, const LoopbackRequest &request)
{
    const QString tooLarge = QStringLiteral("too-large");
    if (framing.state() == RequestFraming::State::headTooLarge)
        return Refusal {QByteArrayLiteral("431 Request Header Fields Too Large"), requestTooLargeText, tooLarge};
    if (framing.state() == RequestFraming::State::bodyTooLarge)
        return Refusal {QByteArrayLiteral("413 Content Too Large"), requestTooLargeText, tooLarge};
    if (!fromUser)
        return Refusal {QByteArrayLiteral("403 Forbidden"), otherUserRefusedText, QStringLiteral("user")};
    if (request.refusal)
        return Refusal {QByteArrayLiteral("403 Forbidden"), webPageRefusedText, *request.refusal};
    return std::nullopt;
}

} // namespace corvane
