#pragma once

// The local HTTP server on 127.0.0.1:8766: one request per connection, the
// path and JSON body handed to drive(), the DriverResult JSON as the reply.
// Requests that come from web pages (an Origin header, or a Host that is not
// a loopback name) are refused before they reach the browser.

#include "DriverResult.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

namespace corvane {

namespace platform {
class LoopbackListener;
}

inline const QString webPageRefusedText = QStringLiteral("Requests from web pages are not accepted.");

// What the server makes of one request text.
struct LoopbackRequest {
    QString method;
    QString path; // without the query
    Body body;    // always empty for GET
    // "origin" or "host" when the request came from a web page.
    std::optional<QString> refusal;
};

// Whether the server could start, and why not.
struct LoopbackStart {
    bool ok = false;
    QString error;
};

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    [[nodiscard]] LoopbackStart start(quint16 port);
    void stop();
    // The port listened on (useful after start(0)); 0 when not listening.
    quint16 port() const;

    // The whole HTTP logic: a request text in, the complete reply bytes out.
    static QByteArray handle(const QString &request);
    static LoopbackRequest parseRequest(const QString &request);
    static QByteArray replyBytes(const QByteArray &status, const DriverResult &result);

private:
    std::unique_ptr<platform::LoopbackListener> listener_;
};

// Reading a request: how many bytes of body the head announces with
// Content-Length (capped at requestBodyLimit), none when the head is not
// complete in `received` or announces no length.
inline constexpr qint64 requestBodyLimit = 1024 * 1024;
std::optional<qint64> announcedBodyLength(const QByteArray &received);
bool expectsContinue(const QByteArray &received);

} // namespace corvane
