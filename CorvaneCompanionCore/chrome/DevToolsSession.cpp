#include "chrome/DevToolsSession.h"

#include "chrome/ChromeDiscovery.h"

#include "UrlSession.h"

#include <QJsonDocument>
#include <QUrl>

namespace corvane {

namespace {

// Events nobody took are dropped past this many, oldest first: a page that
// floods requests cannot grow the companion.
constexpr size_t eventBacklog = 4096;

// The browser's WebSocket address, only when it is this very port on
// 127.0.0.1: an answer that points elsewhere is not followed.
std::optional<QUrl> browserSocketUrl(qint64 port, double limit)
{
    platform::HttpRequest request;
    request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/json/version").arg(port));
    request.timeoutSeconds = limit;
    request.maxBodyBytes = 64 * 1024;
    auto answer = platform::OneShot<platform::HttpResponse>::make();
    platform::UrlSession::shared().dataTask(request, [answer](const platform::HttpResponse &response) {
        answer->fulfil(response);
    });
    const std::optional<platform::HttpResponse> response = answer->waitFor(limit + 1.0);
    if (!response || !response->isHttp || response->status != 200)
        return std::nullopt;
    const QUrl url(
        QJsonDocument::fromJson(response->body).object().value(QStringLiteral("webSocketDebuggerUrl")).toString());
    if (!url.isValid() || url.scheme() != QLatin1String("ws") || url.host() != QLatin1String("127.0.0.1")
        || url.port() != port || !url.path().startsWith(QLatin1String("/devtools/browser/")))
        return std::nullopt;
    return url;
}

} // namespace

std::unique_ptr<DevToolsSession> DevToolsSession::connect(qint64 port, double limit)
{
    if (portListener(port) != PortListener::user)
        return nullptr;
    const double until = platform::monotonicSeconds() + limit;
    const std::optional<QUrl> url = browserSocketUrl(port, limit);
    if (!url)
        return nullptr;
    std::unique_ptr<DevToolsSession> session(new DevToolsSession(platform::UrlSession::shared().webSocketTask(*url)));
    auto opened = platform::OneShot<bool>::make();
    session->task_->resume([opened] { opened->fulfil(true); });
    if (!opened->waitFor(std::max(0.0, until - platform::monotonicSeconds())))
        return nullptr;
    return session;
}

DevToolsSession::DevToolsSession(std::unique_ptr<platform::WebSocketTask> task)
    : task_(std::move(task))
{
}

DevToolsSession::~DevToolsSession() = default;

std::optional<QJsonObject> DevToolsSession::receiveOne(double seconds)
{
    if (!failure_.isEmpty())
        return std::nullopt;
    if (!pending_) {
        pending_ = platform::OneShot<platform::WebSocketReceived>::make();
        task_->receive([box = pending_](const platform::WebSocketReceived &received) { box->fulfil(received); });
    }
    const std::optional<platform::WebSocketReceived> received = pending_->waitFor(std::max(0.0, seconds));
    if (!received)
        return std::nullopt;
    pending_.reset();
    if (!received->error.isEmpty()) {
        failure_ = received->error;
        return std::nullopt;
    }
    const QJsonObject message = QJsonDocument::fromJson(received->text.toUtf8()).object();
    if (message.contains(QStringLiteral("id")))
        return message;
    const QString method = message.value(QStringLiteral("method")).toString();
    if (!method.isEmpty()) {
        if (events_.size() >= eventBacklog)
            events_.pop_front();
        events_.push_back({method, message.value(QStringLiteral("params")).toObject(),
                           message.value(QStringLiteral("sessionId")).toString()});
    }
    return std::nullopt;
}

DevToolsReply DevToolsSession::call(const QString &method, const QJsonObject &params, const QString &sessionId,
                                    double limit)
{
    DevToolsReply reply;
    if (!failure_.isEmpty()) {
        reply.error = failure_;
        return reply;
    }
    const int id = nextId_++;
    QJsonObject message {{QStringLiteral("id"), id},
                         {QStringLiteral("method"), method},
                         {QStringLiteral("params"), params}};
    if (!sessionId.isEmpty())
        message.insert(QStringLiteral("sessionId"), sessionId);
    task_->send(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)), [](const QString &) {});
    const double until = platform::monotonicSeconds() + limit;
    for (;;) {
        const double left = until - platform::monotonicSeconds();
        if (left <= 0 || !failure_.isEmpty()) {
            reply.error = failure_.isEmpty() ? QStringLiteral("No reply within %1 seconds.").arg(limit) : failure_;
            return reply;
        }
        const std::optional<QJsonObject> answer = receiveOne(left);
        if (!answer || answer->value(QStringLiteral("id")).toInt() != id)
            continue; // an event, or the late reply to a call that gave up
        if (answer->contains(QStringLiteral("error"))) {
            reply.error = answer->value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
            return reply;
        }
        reply.ok = true;
        reply.result = answer->value(QStringLiteral("result")).toObject();
        return reply;
    }
}

std::optional<DevToolsEvent> DevToolsSession::nextEvent(double seconds)
{
    const double until = platform::monotonicSeconds() + seconds;
    while (events_.empty()) {
        const double left = until - platform::monotonicSeconds();
        if (!failure_.isEmpty() || left < 0)
            return std::nullopt;
        receiveOne(left);
        if (left == 0 && events_.empty())
            return std::nullopt;
    }
    DevToolsEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}

} // namespace corvane
