#include "UrlSession.h"

#include "Dispatch.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace corvane::platform {

namespace {

// Qt reports HTTP error statuses as reply errors; for us a response with any
// status is a response, and only transport failures are errors.
bool isTransportError(QNetworkReply::NetworkError error)
{
    using E = QNetworkReply;
    const bool clientStatus
        = error >= E::ContentAccessDenied && error <= E::UnknownContentError && error != E::ContentReSendError;
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
    QMetaObject::invokeMethod(
        context_, [this] { manager_ = new QNetworkAccessManager(context_); }, Qt::QueuedConnection);
}

void UrlSession::stopSharedThread()
{
    QThread *thread = shared().thread_;
    thread->quit();
    thread->wait();
}

namespace {

// One request and the redirects it follows, on the session's thread.
struct Transfer {
    HttpRequest request;
    UrlSession::DataCompletion completion;
    double deadline = 0; // monotonic seconds, for the whole transfer
    QUrl at;
    int redirects = 0;
    QByteArray body;
    std::unique_ptr<QFile> file;
    qint64 received = 0;
    bool timedOut = false;
    bool tooLarge = false;
    bool writeFailed = false;

    void finish(HttpResponse response)
    {
        if (file)
            file->close();
        completion(response);
    }
    void fail(const QString &error)
    {
        HttpResponse response;
        response.error = error;
        finish(response);
    }
};

void send(QNetworkAccessManager *manager, const std::shared_ptr<Transfer> &transfer)
{
    const HttpRequest &request = transfer->request;
    QNetworkRequest netRequest(transfer->at);
    for (const auto &[name, value] : request.headers)
        netRequest.setRawHeader(name, value);
    // Redirects are ours to check and follow, one by one.
    netRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const QByteArray method = transfer->redirects > 0 && request.method != "HEAD" ? QByteArray("GET") : request.method;
    QNetworkReply *reply
        = manager->sendCustomRequest(netRequest, method, transfer->redirects > 0 ? QByteArray() : request.body);
    reply->setReadBufferSize(1024 * 1024);

    const int left = static_cast<int>(std::max(0.0, transfer->deadline - monotonicSeconds()) * 1000);
    QTimer::singleShot(left, reply, [reply, transfer] {
        transfer->timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, transfer] {
        const QByteArray chunk = reply->readAll();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 300 && status <= 399 && transfer->request.maxRedirects > 0)
            return; // a redirect's own page is not the answer
        transfer->received += chunk.size();
        if (transfer->received > transfer->request.maxBodyBytes) {
            transfer->tooLarge = true;
            reply->abort();
            return;
        }
        if (!transfer->file)
            transfer->body += chunk;
        else if (transfer->file->write(chunk) != chunk.size())
            transfer->writeFailed = true;
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [manager, reply, transfer] {
        reply->deleteLater();
        const HttpRequest &request = transfer->request;
        HttpResponse response;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        response.isHttp = status.isValid();
        response.status = status.toInt();
        response.headers = reply->rawHeaderPairs();
        response.refused = reply->error() == QNetworkReply::ConnectionRefusedError;
        response.timedOut = transfer->timedOut;
        response.tooLarge = transfer->tooLarge;
        if (transfer->timedOut)
            response.error = QStringLiteral("The request timed out.");
        else if (transfer->tooLarge)
            response.error = QStringLiteral("The answer passed %1 bytes.").arg(request.maxBodyBytes);
        else if (transfer->writeFailed || (transfer->file && !transfer->file->flush()))
            response.error = QStringLiteral("The answer could not be written to %1.").arg(request.bodyFile);
        else if (isTransportError(reply->error()))
            response.error = reply->errorString();
        const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (response.error.isEmpty() && response.status >= 300 && response.status <= 399 && request.maxRedirects > 0
            && location.isValid()) {
            const QUrl to = transfer->at.resolved(location);
            if (++transfer->redirects > request.maxRedirects)
                return transfer->fail(QStringLiteral("More than %1 redirects.").arg(request.maxRedirects));
            if (!request.redirectAllowed || !request.redirectAllowed(transfer->at, to))
                return transfer->fail(QStringLiteral("A redirect to %1 was refused.").arg(to.toString()));
            transfer->at = to;
            return send(manager, transfer);
        }
        if (response.error.isEmpty())
            response.body = std::move(transfer->body);
        transfer->finish(response);
    });
}

} // namespace

void UrlSession::dataTask(HttpRequest request, DataCompletion completion)
{
    QMetaObject::invokeMethod(
        context_,
        [this, request = std::move(request), completion = std::move(completion)] {
            auto transfer = std::make_shared<Transfer>();
            transfer->request = request;
            transfer->completion = completion;
            transfer->deadline = monotonicSeconds() + request.timeoutSeconds;
            transfer->at = request.url;
            if (!request.bodyFile.isEmpty()) {
                transfer->file = std::make_unique<QFile>(request.bodyFile);
                if (!transfer->file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                    transfer->file.reset();
                    return transfer->fail(QStringLiteral("%1 could not be written").arg(request.bodyFile));
                }
            }
            send(manager_, transfer);
        },
        Qt::QueuedConnection);
}

std::unique_ptr<WebSocketTask> UrlSession::webSocketTask(const QUrl &url, WebSocketLimits limits)
{
    return std::unique_ptr<WebSocketTask>(new WebSocketTask(context_, url, limits));
}

} // namespace corvane::platform
