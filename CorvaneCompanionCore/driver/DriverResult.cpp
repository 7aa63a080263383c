#include "driver/DriverResult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QStringEncoder>

namespace corvane {

namespace {

// Unpaired surrogates have no UTF-8 form.
bool writableText(const QString &text)
{
    return text.isValidUtf16();
}

QJsonObject failureObject()
{
    return QJsonDocument::fromJson(replyFailureJson.toUtf8()).object();
}

} // namespace

bool DriverResult::writable() const
{
    return writableText(text) && writableText(title) && writableText(url) && writableText(image);
}

QJsonObject DriverResult::object() const
{
    if (!writable())
        return failureObject();
    QJsonObject object {
        {QStringLiteral("ok"), ok},
        {QStringLiteral("text"), text},
        {QStringLiteral("needs_you"), needsYou},
        {QStringLiteral("chrome"), chrome},
    };
    if (!title.isEmpty())
        object.insert(QStringLiteral("title"), title);
    if (!url.isEmpty())
        object.insert(QStringLiteral("url"), url);
    if (!image.isEmpty())
        object.insert(QStringLiteral("image"), image);
    return object;
}

QJsonObject DriverResult::details() const
{
    QJsonObject facts;
    if (!newTabUrl.isEmpty() && writableText(newTabUrl))
        facts.insert(QStringLiteral("new_tab"), newTabUrl);
    // A page's words that cannot be written are left out with their detail.
    if (dialog && writableText(dialog->kind) && writableText(dialog->message)) {
        facts.insert(QStringLiteral("dialog"),
                     QJsonObject {{QStringLiteral("type"), dialog->kind},
                                  {QStringLiteral("message"), dialog->message}});
    }
    if (download && writableText(download->name) && writableText(download->path)) {
        facts.insert(QStringLiteral("download"),
                     QJsonObject {{QStringLiteral("name"), download->name},
                                  {QStringLiteral("bytes"), download->bytes},
                                  {QStringLiteral("path"), download->path},
                                  {QStringLiteral("finished"), download->finished}});
    }
    return facts;
}

QString DriverResult::json() const
{
    if (!writable())
        return replyFailureJson;
    return QString::fromUtf8(QJsonDocument(object()).toJson(QJsonDocument::Compact));
}

const QStringList &needsYouPhrases()
{
    static const QStringList phrases {
        QStringLiteral("captcha"),
        QStringLiteral("verify you are human"),
        QStringLiteral("i'm not a robot"),
        QStringLiteral("i am not a robot"),
        QStringLiteral("are you a robot"),
        QStringLiteral("unusual traffic"),
        QStringLiteral("checking your browser"),
    };
    return phrases;
}

bool needsYou(const QString &text)
{
    const QString lower = text.toLower();
    for (const QString &phrase : needsYouPhrases()) {
        if (lower.contains(phrase))
            return true;
    }
    return false;
}

} // namespace corvane
