#pragma once

// The one event log ("events.log", copied to standard error) and the status
// file ("status.json"), both in the user's log folder. Secrets stay out of
// both: sensitive field keys are dropped and "token=" values masked.

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

namespace corvane {

using Fields = QMap<QString, QString>;

// "events.log" is renamed "events.log.1" once it would pass this size.
inline constexpr qint64 eventsLogLimit = 10 * 1024 * 1024;

inline constexpr int logValueLimit = 240;
inline constexpr int statusValueLimit = 400;
// A single grapheme can carry thousands of combining marks: values are also
// cut by their UTF-8 size.
inline constexpr int valueByteLimit = 2048;

// Field values: Booleans as "yes"/"no", Chrome's state as "on"/"off".
QString yesNo(bool value);
QString onOff(bool value);

void companionLog(const QString &event, const Fields &fields = {});

// While one lives, the events this thread logs show each of `texts` (what a
// job types into a page) as its length, whatever field holds it. Texts of
// fewer than maskedTextMinimum characters are left alone.
inline constexpr qsizetype maskedTextMinimum = 3;
// "<13 chars>": what the log shows of such a text.
QString maskedText(const QString &text);
class LogMask {
public:
    explicit LogMask(const QStringList &texts);
    ~LogMask();
    LogMask(const LogMask &) = delete;
    LogMask &operator=(const LogMask &) = delete;

    // `value` with the texts of every mask on this thread shown as their length.
    static QString applied(QString value);

private:
    QStringList texts_;
    LogMask *outer_;
};
void companionStatus(const Fields &fields);

// Created (owner-only) on every call; the path is returned even when that fails.
QString companionLogDir();
QString companionEventsURL();
QString companionStatusURL();

// The pieces of both files, exposed so they can be checked without the files.
QString isoTimestamp(const QDateTime &when);
bool isSensitiveKey(const QString &key);
// The first `count` user-perceived characters (grapheme clusters).
QString firstCharacters(const QString &text, int count);
// Secrets are masked, each value up to its delimiter: "token=" values,
// user:password@ in addresses, and query or fragment values whose key holds
// token, secret, password, key, sig, code, jwt, auth or session.
// Line breaks become spaces and other characters that could break or disguise
// a line (controls, line and paragraph separators, bidirectional controls) are
// written as \u{XXXX}, so one event is always one line.
QString oneLine(const QString &text);
// oneLine, with "token=" runs masked, and more than `limit` user-perceived
// characters cut to `limit` followed by "…"; the result never passes
// valueByteLimit bytes of UTF-8.
QString clip(const QString &text, int limit);
QString logLine(const QDateTime &when, const QString &event, const Fields &fields);
QByteArray statusContent(const QDateTime &when, const Fields &fields);

} // namespace corvane
