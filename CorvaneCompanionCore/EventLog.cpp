#include "EventLog.h"

#include "UserPaths.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextBoundaryFinder>

#include <cstdio>
#include <mutex>

namespace corvane {

namespace {

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
}

std::mutex &logLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
}

QString companionLogDir()
{
    const QString dir = platform::logDir();
    platform::makePrivateDir(dir); // what the pages said stays the user's own
    return dir;
}

QString companionEventsURL()
{
    return companionLogDir() + QStringLiteral("/events.log");
}

QString companionStatusURL()
{
    return companionLogDir() + QStringLiteral("/status.json");
}

QString isoTimestamp(const QDateTime &when)
{
    return when.toUTC().toString(Qt::ISODate);
}

bool isSensitiveKey(const QString &key)
{
    const QString lower = key.toLower();
    return lower.contains(QLatin1String("token")) || lower.contains(QLatin1String("secret"))
        || lower.contains(QLatin1String("password")) || lower.contains(QLatin1String("key"));
}

QString firstCharacters(const QString &text, int count)
{
    if (count <= 0)
        return {};
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    int seen = 0;
    while (graphemes.toNextBoundary() != -1) {
        if (++seen == count)
            return text.left(graphemes.position());
    }
    return text;
}

QString clip(const QString &text, int limit)
{
    static const QRegularExpression tokenRun(QStringLiteral("token=[A-Za-z0-9_-]+"));
    QString cleaned = oneLine(text);
    cleaned.replace(tokenRun, QStringLiteral("token=[redacted]"));
    if (limit <= 0)
        return cleaned.isEmpty() ? cleaned : QString(QChar(0x2026));
    const QString head = firstCharacters(cleaned, limit);
    return head.size() < cleaned.size() ? head + QChar(0x2026) : cleaned;
}

QString logLine(const QDateTime &when, const QString &event, const Fields &fields)
{
    QString line = isoTimestamp(when) + QLatin1Char(' ') + oneLine(event);
    for (auto it = fields.begin(); it != fields.end(); ++it) { // QMap keeps keys sorted
        if (isSensitiveKey(it.key()))
            continue;
        line += QLatin1Char(' ') + oneLine(it.key()) + QLatin1Char('=') + clip(it.value(), logValueLimit);
    }
    return line + QLatin1Char('\n');
}

QByteArray statusContent(const QDateTime &when, const Fields &fields)
{
    QJsonObject object;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (!isSensitiveKey(it.key()))
            object.insert(oneLine(it.key()), clip(it.value(), statusValueLimit));
    }
    object.insert(QStringLiteral("ts"), isoTimestamp(when));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

void companionLog(const QString &event, const Fields &fields)
{
    const QByteArray bytes = logLine(QDateTime::currentDateTimeUtc(), event, fields).toUtf8();

    std::lock_guard lock(logLock());
    QFile file(companionLogDir() + QStringLiteral("/events.log"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(bytes);
        file.close();
    }
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

void companionStatus(const Fields &fields)
{
    const QByteArray bytes = statusContent(QDateTime::currentDateTimeUtc(), fields);
    QSaveFile file(companionLogDir() + QStringLiteral("/status.json"));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(bytes);
    file.commit();
}

} // namespace corvane
