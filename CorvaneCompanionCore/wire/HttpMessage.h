#pragma once

// The HTTP of the local server, below both the server and its MCP endpoint:
// one request from its bytes (when they are whole, what they ask for, whether
// it is refused before the driver ever sees it) and one reply to bytes.
// Nothing is decided on a partial head: a head is whole at its blank line,
// or when the client stopped sending.

#include "wire/Body.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace corvane {

inline constexpr qsizetype requestHeadLimit = 64 * 1024;
inline constexpr qint64 requestBodyLimit = 1024 * 1024;

inline const QString webPageRefusedText = QStringLiteral("Requests from web pages are not accepted.");
inline const QString otherUserRefusedText = QStringLiteral("Requests from other users are not accepted.");
inline const QString requestTooLargeText = QStringLiteral("The request is too large.");
inline const QString requestNotUtf8Text = QStringLiteral("The request is not valid UTF-8.");
inline const QString postNeededText = QStringLiteral("Actions need POST; GET serves /health only.");
inline const QString bodyNotObjectText = QStringLiteral("The body must be a JSON object of strings.");

// Collects a request's bytes as they arrive and tells what is still missing.
class RequestFraming {
public:
    enum class State {
        head, // the head has not ended yet
        body, // the head announced a body that has not all come
        complete,
        headTooLarge, // the head passed requestHeadLimit
        bodyTooLarge, // the head announced more than requestBodyLimit
    };

    void append(const QByteArray &bytes);
    State state() const { return state_; }
    bool tooLarge() const { return state_ == State::headTooLarge || state_ == State::bodyTooLarge; }
    // The head asked to be told to go on before it sends its body.
    bool expectsContinue() const { return continueAsked_; }
    // Bytes of body still to come (in the body state).
    qint64 missing() const { return wanted_ - bytes_.size(); }
    const QByteArray &bytes() const { return bytes_; }

private:
    void headEnded(qsizetype headSize, bool crlf);

    QByteArray bytes_;
    State state_ = State::head;
    qsizetype searched_ = 0;
    qint64 wanted_ = 0;
    bool continueAsked_ = false;
};

// What the server makes of one request.
struct LoopbackRequest {
    QString method;
    QString path; // without the query
    Body body; // always empty for GET
    QStringList headers; // the header lines, as text
    QByteArray content; // the body's bytes, as they came
    // "origin", "site" or "host" when the request came from a web page.
    std::optional<QString> refusal;
    // What is wrong with the request's bytes, when they are not what every
    // request must be.
    enum class Fault {
        none,
        notUtf8, // the head or the body is not valid UTF-8
        bodyNotObject // a body that is not blank and not a JSON object
    };
    Fault fault = Fault::none;
};

// Request line and body come from the text (bytes that are not UTF-8 read as
// the empty request, and say so); the web-page test reads the head's bytes as
// they are.
LoopbackRequest parseRequest(const QByteArray &request);

// A reply of the local server; every reply closes its connection.
struct HttpAnswer {
    QByteArray status;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray bytes() const;
};

// The first value of a header (name in any case), without surrounding spaces.
std::optional<QString> requestHeader(const LoopbackRequest &request, QLatin1String name);

// A request turned away before the driver: its status, its text and the
// reason word of "loopback.reject".
struct Refusal {
    QByteArray status;
    QString text;
    QString reason;
};

// Refusals in the order they are decided: a request too large to read, one
// from another user, one from a web page.
std::optional<Refusal> refusalOf(const RequestFraming &framing, bool fromUser, const LoopbackRequest &request);

} // namespace corvane
