#pragma once

// The one event log ("events.log", copied to standard error) and the status
// file ("status.json"), both in the user's log folder. Secrets stay out of
// both: sensitive field keys are dropped and "token=" values masked.

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>

namespace corvane {

using Fields = QMap<QString, QString>;

inline constexpr int logValueLimit = 240;
inline constexpr int statusValueLimit = 400;

// Field values: Booleans as "yes"/"no", Chrome's state as "on"/"off".
QString yesNo(bool value);
QString onOff(bool value);

void companionLog(const QString &event, const Fields &fields = {});
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
// Line breaks become spaces, "token=" runs are masked, and more than `limit`
// user-perceived characters are cut to `limit` followed by "…".
QString clip(const QString &text, int limit);
QString logLine(const QDateTime &when, const QString &event, const Fields &fields);
QByteArray statusContent(const QDateTime &when, const Fields &fields);

} // namespace corvane
