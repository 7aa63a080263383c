#pragma once

// The envelope of a message Chrome wrote, read without parsing the message:
// large answers (a whole accessibility tree, a screenshot) only pass through
// the gate, and parsing and writing them again would cost more than Chrome
// took to make them. Chrome writes "id" (a reply) or "method" (an event)
// first and "sessionId" last; anything else is not read here, and the
// caller parses the message whole.

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace corvane {

struct CdpEnvelope {
    std::optional<qint64> id; // a reply, else an event
    QByteArray method; // an event's method
    QByteArray session; // the message's own session, if any
    qsizetype idEnd = 0; // where the reply's id digits end
    qsizetype sessionAt = -1; // where `,"sessionId":"…"` starts, if any

    // The message with a reply's id replaced by `newId` (when given), and
    // without its session (when asked).
    QByteArray rewritten(const QByteArray &message, std::optional<qint64> newId, bool dropSession) const;
};

std::optional<CdpEnvelope> cdpEnvelope(const QByteArray &message);

} // namespace corvane
