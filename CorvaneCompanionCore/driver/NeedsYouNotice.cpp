#include "driver/NeedsYouNotice.h"

#include "diagnostics/EventLog.h"
#include "driver/AgentRunner.h"

#include "Dispatch.h"

#include <QHash>
#include <QJsonObject>
#include <QRegularExpression>

#include <mutex>

namespace corvane {

namespace {

struct Notices {
    std::mutex mutex;
    std::function<void(const QString &)> listener;
    QHash<QString, double> toldAt; // by address
};

Notices &notices()
{
    static Notices shared;
    return shared;
}

QString pageRead(const QString &what)
{
    return agentData({QStringLiteral("get"), what}).value(what).toString();
}

// True when `url` was not told within the repeat time; it counts as told now.
bool firstInAWhile(Notices &state, const QString &url)
{
    const double now = platform::monotonicSeconds();
    for (auto it = state.toldAt.begin(); it != state.toldAt.end();) {
        it = now - it.value() >= needsYouRepeatSeconds ? state.toldAt.erase(it) : std::next(it);
    }
    if (state.toldAt.contains(url))
        return false;
    state.toldAt.insert(url, now);
    return true;
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

void setNeedsYouListener(std::function<void(const QString &)> listener)
{
    std::lock_guard lock(notices().mutex);
    notices().listener = std::move(listener);
}

void noticeIfNeedsYou(const DriverResult &result)
{
    if (!result.needsYou)
        return;
    std::function<void(const QString &)> listener;
    {
        std::lock_guard lock(notices().mutex);
        listener = notices().listener;
    }
    if (!listener)
        return;
    const QString url = result.url.isEmpty() ? pageRead(QStringLiteral("url")) : result.url;
    {
        std::lock_guard lock(notices().mutex);
        if (!firstInAWhile(notices(), url))
            return;
    }
    QString title = result.title.isEmpty() ? pageRead(QStringLiteral("title")) : result.title;
    companionLog(QStringLiteral("needs-you.notify"), {{QStringLiteral("url"), url}});
    listener(needsYouText(plainNoticeText(title.isEmpty() ? url : title)));
}

} // namespace corvane
