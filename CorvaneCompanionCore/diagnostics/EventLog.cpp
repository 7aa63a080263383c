#include "diagnostics/EventLog.h"

#include "OwnFiles.h"
#include "UserPaths.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <mutex>
#include <utility>

namespace corvane {

namespace {

// Characters that would end a line, or make one line look like two or hide
// what follows: controls, line and paragraph separators, and the
// bidirectional controls.
bool disguisesLine(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x200E
        || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || QChar::isSurrogate(c);
}

// Appends `text` as the log writes it, code point by code point, while its
// UTF-8 fits in `budget` bytes; false when something had to be left out.
bool appendWritten(QString &out, QStringView text, qsizetype budget)
{
    qsizetype used = 0;
    for (qsizetype i = 0; i < text.size();) {
        char32_t c = text[i].unicode();
        qsizetype width = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            width = 2;
        }
        QString piece;
        if (c == '\n' || c == '\r')
            piece = QStringLiteral(" ");
        else if (disguisesLine(c))
            piece = QStringLiteral("\\u{%1}").arg(
                QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, QLatin1Char('0')));
        const qsizetype bytes = !piece.isEmpty() ? piece.size() : c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (used + bytes > budget)
            return false;
        if (piece.isEmpty())
            out += text.mid(i, width);
        else
            out += piece;
        used += bytes;
        i += width;
    }
    return true;
}

std::mutex &logLock()
{
    static std::mutex lock;
    return lock;
}

thread_local LogMask *innermostMask = nullptr;

} // namespace

QString maskedText(const QString &text)
{
    return QStringLiteral("<%1 chars>").arg(text.toUcs4().size());
}

LogMask::LogMask(const QStringList &texts)
    : outer_(innermostMask)
{
    for (const QString &text : texts) {
        if (text.size() >= maskedTextMinimum)
            texts_.append(text);
    }
    // The longest first: a text that holds a shorter one is shown whole.
    std::sort(texts_.begin(), texts_.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    innermostMask = this;
}

LogMask::~LogMask()
{
    innermostMask = outer_;
}

QString LogMask::applied(QString value)
{
    for (const LogMask *mask = innermostMask; mask; mask = mask->outer_) {
        for (const QString &text : mask->texts_)
            value.replace(text, maskedText(text));
    }
    return value;
}

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

QString oneLine(const QString &text)
{
    QString out;
    appendWritten(out, text, std::numeric_limits<qsizetype>::max());
    return out;
}

QString clip(const QString &text, int limit)
{
    // A value is masked whole, up to its delimiter: a dotted token (a JWT)
    // is a secret in every part.
    static const QRegularExpression tokenRun(QStringLiteral(R"(token=[^&;#\s]+)"));
    // user:password@ in an address, and query or fragment values whose key
    // looks secret (an OAuth reply puts its token after "#").
    static const QRegularExpression userInfo(QStringLiteral(R"(([A-Za-z][A-Za-z0-9+.-]*://)[^/?#@\s]+@)"));
    static const QRegularExpression secretQuery(
        QStringLiteral(
            R"(([?&;#][^=&;#\s]*(?:token|secret|password|key|sig|code|jwt|auth|session)[^=&;#\s]*=)[^&;#\s]+)"),
        QRegularExpression::CaseInsensitiveOption);
    const QChar ellipsis(0x2026);
    // Nothing past this many UTF-16 units can fit in the byte limit; a tool's
    // output of megabytes is not scanned whole for every line.
    constexpr qsizetype scanned = 2 * valueByteLimit + 16;
    qsizetype kept = std::min(text.size(), scanned);
    if (kept < text.size() && text.at(kept - 1).isHighSurrogate())
        --kept;
    QString cleaned = text.left(kept);
    cleaned.replace(tokenRun, QStringLiteral("token=[redacted]"));
    cleaned.replace(userInfo, QStringLiteral("\\1***@"));
    cleaned.replace(secretQuery, QStringLiteral("\\1[redacted]"));
    if (limit <= 0)
        return text.isEmpty() ? QString() : QString(ellipsis);
    const QString head = firstCharacters(cleaned, limit);
    bool cut = kept < text.size() || head.size() < cleaned.size();
    QString out;
    if (!appendWritten(out, head, cut ? valueByteLimit - 3 : valueByteLimit)) {
        out.clear();
        appendWritten(out, head, valueByteLimit - 3); // room for the ellipsis
        cut = true;
    }
    return cut ? out + ellipsis : out;
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
    Fields shown = fields;
    if (innermostMask) {
        for (QString &value : shown)
            value = LogMask::applied(value);
    }
    const QByteArray bytes = logLine(QDateTime::currentDateTimeUtc(), event, shown).toUtf8();

    std::lock_guard lock(logLock());
    const QString file = companionLogDir() + QStringLiteral("/events.log");
    if (platform::appendToOwnFile(file, bytes, eventsLogLimit, file + QStringLiteral(".1"))
        == platform::Appended::notOurs) {
        // Someone else's file, or a link to anywhere: the events stay out of it.
        static bool told = false;
        if (!std::exchange(told, true)) {
            platform::writeToStandardError(QStringLiteral("corvane-companion: %1 is not a file of this user's own; "
                                                          "events go to standard error only.\n")
                                               .arg(file)
                                               .toUtf8());
        }
    }
    // Under the lock, so the copies keep the file's order.
    platform::writeToStandardError(bytes);
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
