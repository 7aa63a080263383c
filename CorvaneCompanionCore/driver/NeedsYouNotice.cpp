#include "driver/NeedsYouNotice.h"

#include "diagnostics/EventLog.h"
#include "driver/Job.h"

#include "Dispatch.h"

#include <QHash>
#include <QJsonObject>
#include <QRegularExpression>

#include <mutex>

namespace corvane {

namespace {

QString pageRead(Job &job, const QString &what)
{
    return job.data({QStringLiteral("get"), what}).value(what).toString();
}

} // namespace

QString plainNoticeText(const QString &text)
{
    static const QRegularExpression tag(QStringLiteral("</?[A-Za-z][^<>]*>"));
    QString plain = text;
    plain.remove(tag);
    for (QChar &c : plain) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return plain;
}

QString needsYouText(const QString &page)
{
    return page + QStringLiteral(": the page wants a person (a check or a captcha).");
}

void NeedsYouNotices::setListener(Listener listener)
{
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

// True when `url` was not told within the repeat time; it counts as told now.
bool NeedsYouNotices::firstInAWhile(const QString &url, double now)
{
    for (auto it = toldAt_.begin(); it != toldAt_.end();) {
        it = now - it.value() >= needsYouRepeatSeconds ? toldAt_.erase(it) : std::next(it);
    }
    if (toldAt_.contains(url))
        return false;
    toldAt_.insert(url, now);
    return true;
}

void NeedsYouNotices::noticeIfNeeded(Job &job, const DriverResult &result)
{
    if (!result.needsYou)
        return;
    Listener listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (!listener)
        return;
    const QString url = result.url.isEmpty() ? pageRead(job, QStringLiteral("url")) : result.url;
    {
        std::lock_guard lock(mutex_);
        if (!firstInAWhile(url, job.now()))
            return;
    }
    QString title = result.title.isEmpty() ? pageRead(job, QStringLiteral("title")) : result.title;
    companionLog(QStringLiteral("needs-you.notify"), {{QStringLiteral("url"), url}});
    listener(needsYouText(plainNoticeText(title.isEmpty() ? url : title)));
}

} // namespace corvane
