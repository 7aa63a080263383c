#include "link/ResultPosting.h"

#include "diagnostics/EventLog.h"

#include "Dispatch.h"

#include <QJsonDocument>

namespace corvane {

namespace {

struct PostOutcome {
    int status = 0;
    QString error;
    bool timedOut = false;
};

platform::WorkQueue &postQueue()
{
    static platform::WorkQueue queue(postWorkers, postQueueCapacity);
    return queue;
}

platform::HttpRequest jsonPost(const QUrl &url, const QJsonObject &body, double timeout)
{
    platform::HttpRequest request;
    request.url = url;
    request.method = "POST";
    request.headers = {{"Content-Type", "application/json"}};
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    request.timeoutSeconds = timeout;
    return request;
}

} // namespace

QJsonObject resultObject(const CompanionLink &link, const QString &jobId, const DriverResult &driven)
{
    QJsonObject object = driven.object();
    object.insert(QStringLiteral("token"), link.token);
    object.insert(QStringLiteral("id"), jobId);
    return object;
}

QString jobLabel(const QString &jobId)
{
    return firstCharacters(jobId, 8);
}

void postResult(const CompanionLink &link, const QString &jobId, const DriverResult &driven,
                platform::UrlSession &session, double wait)
{
    const std::optional<QUrl> url = parsedURL(link.host + QStringLiteral("/api/assistant/companion/result"));
    if (!url)
        return;
    const QJsonObject object = resultObject(link, jobId, driven);
    auto box = platform::OneShot<PostOutcome>::make();
    session.dataTask(jsonPost(*url, object, wait), [box](const platform::HttpResponse &response) {
        box->fulfil({response.isHttp ? response.status : 0, response.error, response.timedOut});
    });
    const std::optional<PostOutcome> outcome = box->waitFor(wait);

    Fields fields {{QStringLiteral("job"), jobLabel(jobId)}, {QStringLiteral("via"), QStringLiteral("http")}};
    // The request's own limit equals the wait: whichever ends first, the
    // answer did not come in time.
    if (!outcome || outcome->timedOut) {
        fields.insert(QStringLiteral("status"), QStringLiteral("0"));
        fields.insert(QStringLiteral("timeout"), yesNo(true));
        fields.insert(QStringLiteral("error"), QString());
        companionLog(QStringLiteral("job.reply-fail"), fields);
        return;
    }
    fields.insert(QStringLiteral("status"), QString::number(outcome->status));
    if (outcome->status >= 200 && outcome->status <= 299 && outcome->error.isEmpty()) {
        fields.insert(QStringLiteral("ok"), yesNo(driven.ok));
        companionLog(QStringLiteral("job.reply"), fields);
        return;
    }
    fields.insert(QStringLiteral("timeout"), yesNo(false));
    fields.insert(QStringLiteral("error"), outcome->error);
    companionLog(QStringLiteral("job.reply-fail"), fields);
}

void queueResultPost(const CompanionLink &link, const QString &jobId, const DriverResult &driven)
{
    if (postQueue().post([link, jobId, driven] { postResult(link, jobId, driven, platform::UrlSession::shared()); }))
        return;
    companionLog(QStringLiteral("job.reply-fail"),
                 {{QStringLiteral("job"), jobLabel(jobId)},
                  {QStringLiteral("via"), QStringLiteral("http")},
                  {QStringLiteral("status"), QStringLiteral("0")},
                  {QStringLiteral("timeout"), yesNo(false)},
                  {QStringLiteral("error"), postQueueFullText}});
}

bool queueHangUp(const CompanionLink &link)
{
    // A path of its own: a disconnect never waits behind a burst of copies.
    return platform::runInBackground([link] { hangUp(link, platform::UrlSession::shared()); });
}

void hangUp(const CompanionLink &link, platform::UrlSession &session, double wait)
{
    const std::optional<QUrl> url = parsedURL(link.host + QStringLiteral("/api/assistant/companion/bye"));
    if (!url)
        return;
    auto done = platform::OneShot<bool>::make();
    session.dataTask(jsonPost(*url, QJsonObject {{QStringLiteral("token"), link.token}}, wait),
                     [done](const platform::HttpResponse &) { done->fulfil(true); });
    done->waitFor(wait);
}

} // namespace corvane
