#include "gate/CdpEnvelope.h"

namespace corvane {

namespace {

bool sessionCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
}

} // namespace

std::optional<CdpEnvelope> cdpEnvelope(const QByteArray &message)
{
    static const QByteArray idStart = QByteArrayLiteral("{\"id\":");
    static const QByteArray methodStart = QByteArrayLiteral("{\"method\":\"");
    static const QByteArray sessionKey = QByteArrayLiteral(",\"sessionId\":\"");
    if (!message.endsWith('}'))
        return std::nullopt;
    CdpEnvelope envelope;
    if (message.startsWith(idStart)) {
        qsizetype end = idStart.size();
        while (end < message.size() && message.at(end) >= '0' && message.at(end) <= '9' && end - idStart.size() < 18)
            ++end;
        if (end == idStart.size() || end >= message.size() || message.at(end) != ',')
            return std::nullopt;
        envelope.id = message.mid(idStart.size(), end - idStart.size()).toLongLong();
        envelope.idEnd = end;
    } else if (message.startsWith(methodStart)) {
        const qsizetype end = message.indexOf('"', methodStart.size());
        if (end < 0)
            return std::nullopt;
        envelope.method = message.mid(methodStart.size(), end - methodStart.size());
        if (envelope.method.contains('\\'))
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    // The last key, when it is the message's own session: its value and the
    // object's closing brace end the message. A session named inside the
    // result or the params is followed by at least one more brace.
    const qsizetype at = message.lastIndexOf(sessionKey);
    if (at > 0) {
        const qsizetype from = at + sessionKey.size();
        qsizetype end = from;
        while (end < message.size() && sessionCharacter(message.at(end)))
            ++end;
        if (end > from && end + 2 == message.size() && message.at(end) == '"') {
            envelope.session = message.mid(from, end - from);
            envelope.sessionAt = at;
        }
    }
    return envelope;
}

QByteArray CdpEnvelope::rewritten(const QByteArray &message, std::optional<qint64> newId, bool dropSession) const
{
    // Up to the session, or to the closing brace.
    const qsizetype end = dropSession && sessionAt >= 0 ? sessionAt : message.size() - 1;
    QByteArray out;
    if (newId && id) {
        out = QByteArrayLiteral("{\"id\":") + QByteArray::number(*newId);
        out += QByteArrayView(message).sliced(idEnd, end - idEnd);
    } else {
        out = message.left(end);
    }
    out += '}';
    return out;
}

} // namespace corvane
