#pragma once

// The one process-wide URL session. It owns a thread with its own event loop
// and the network objects living there; callers on any thread start tasks and
// get a completion called on that thread. Callers that need the answer wait on
// a OneShot with a deadline: no nested event loops anywhere.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include "WebSocketTask.h"

#include <functional>
#include <memory>
#include <utility>

class QNetworkAccessManager;
class QObject;
class QThread;

namespace corvane::platform {

struct HttpRequest {
    QUrl url;
    QByteArray method = "GET";
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    double timeoutSeconds = 60.0; // whole request, connect to last byte
    // An answer longer than this is cut off as soon as it passes it.
    qint64 maxBodyBytes = 16 * 1024 * 1024;
    // When set, the answer is written to this file as it arrives (the file
    // is truncated first) instead of being kept in memory.
    QString bodyFile;
    // Redirects are not followed unless allowed here: at most
    // `maxRedirects`, each one only when `redirectAllowed` says so. Without
    // them a 3xx answer is the response.
    int maxRedirects = 0;
    std::function<bool(const QUrl &from, const QUrl &to)> redirectAllowed;
};

struct HttpResponse {
    bool isHttp = false; // an HTTP response arrived (then `status` is its code)
    int status = 0;
    QList<std::pair<QByteArray, QByteArray>> headers; // as they came
    QByteArray body;
    QString error; // transport failure; empty when a response arrived
    bool tooLarge = false; // cut off at maxBodyBytes
    bool timedOut = false; // the request's own time limit ended it
    bool refused = false; // nobody listens there: the request surely did not arrive
};

class UrlSession {
public:
    using DataCompletion = std::function<void(const HttpResponse &)>;

    static UrlSession &shared();

    // Starts the request at once. `completion` runs exactly once, on the
    // session's thread.
    void dataTask(HttpRequest request, DataCompletion completion);

    // A WebSocket connection to `url` (ws or wss), not started yet. It sets
    // no extra headers, subprotocols or cookies.
    std::unique_ptr<WebSocketTask> webSocketTask(const QUrl &url, WebSocketLimits limits = {});

    UrlSession(const UrlSession &) = delete;
    UrlSession &operator=(const UrlSession &) = delete;

private:
    UrlSession();
    static void stopSharedThread();

    QThread *thread_;
    QObject *context_; // lives on thread_; network objects are its children
    QNetworkAccessManager *manager_; // made and used on thread_ only
};

} // namespace corvane::platform
