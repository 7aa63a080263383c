#include "UrlSession.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>

namespace corvane::platform {

namespace {

// Qt reports HTTP error statuses as reply errors; for us a response with any
// status is a response, and only transport failures are errors.
bool isTransportError(QNetworkReply::NetworkError error)
{
    using E = QNetworkReply;
    const bool clientStatus = error >= E::ContentAccessDenied && error <= E::UnknownContentError && error != E::ContentReSendError;
    const bool serverStatus = error >= E::InternalServerError && error <= E::UnknownServerError;
    return error != E::NoError && !clientStatus && !serverStatus;
}

} // namespace

UrlSession &UrlSession::shared()
{
    // Deliberately never destroyed: its thread is stopped before the
    // application object goes away, and nothing may outlive that.
    static UrlSession *session = [] {
        auto *s = new UrlSession;
        qAddPostRoutine(&UrlSession::stopSharedThread);
        return s;
    }();
    return *session;
}

UrlSession::UrlSession()
    : thread_(new QThread)
    , context_(new QObject)
    , manager_(nullptr)
{
    thread_->setObjectName(QStringLiteral("corvane-url-session"));
    context_->moveToThread(thread_);
    thread_->start();
    // Queued ahead of every task, so tasks always find the manager made.
    QMetaObject::invokeMethod(context_, [this] { manager_ = new QNetworkAccessManager(context_); }, Qt::QueuedConnection);
}

void UrlSession::stopSharedThread()
{
    QThread *thread = shared().thread_;
    thread->quit();
    thread->wait();
}

void UrlSession::dataTask(HttpRequest request, DataCompletion completion)
{
    QMetaObject::invokeMethod(context_, [this, request = std::move(request), completion = std::move(completion)] {
        QNetworkRequest netRequest(request.url);
        for (const auto &[name, value] : request.headers)
            netRequest.setRawHeader(name, value);
        QNetworkReply *reply = manager_->sendCustomRequest(netRequest, request.method, request.body);

        auto timedOut = std::make_shared<bool>(false);
        QTimer::singleShot(static_cast<int>(request.timeoutSeconds * 1000), reply, [reply, timedOut] {
            *timedOut = true;
            reply->abort();
        });
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, timedOut, completion] {
            HttpResponse response;
            const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            response.isHttp = status.isValid();
            response.status = status.toInt();
            response.timedOut = *timedOut;
            if (*timedOut)
                response.error = QStringLiteral("The request timed out.");
            else if (isTransportError(reply->error()))
                response.error = reply->errorString();
            if (response.error.isEmpty())
                response.body = reply->readAll();
            reply->deleteLater();
            completion(response);
        });
    }, Qt::QueuedConnection);
}

std::unique_ptr<WebSocketTask> UrlSession::webSocketTask(const QUrl &url, WebSocketLimits limits)
{
    return std::unique_ptr<WebSocketTask>(new WebSocketTask(context_, url, limits));
}

} // namespace corvane::platform
