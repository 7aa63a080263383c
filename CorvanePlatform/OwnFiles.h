#pragma once

// Writing the user's own files and streams without being led astray: never
// through a link someone planted, never into another user's file, and never
// held up by a reader that does not read.

#include <QByteArray>
#include <QString>

namespace corvane::platform {

enum class Appended {
    written,
    notOurs, // a link, not a regular file, or another user's file: untouched
    failed, // could not be opened or written
};

// Appends `bytes` to the file at `path`, creating it (mode 0600) when it is
// missing. When the file would grow past `limit` bytes it is first renamed to
// `rotated`, replacing that one, and a new file is begun.
Appended appendToOwnFile(const QString &path, const QByteArray &bytes, qint64 limit, const QString &rotated);

// Moves the file `from` into `folder` under `name`, never replacing a file
// there: a name already taken gets a number ("report (1).txt"). The path
// it now has; empty when it could not be moved.
QString moveIntoFolder(const QString &from, const QString &folder, const QString &name);

// Hands `bytes` to standard error from a thread of its own, so a stalled
// reader stalls nobody else. While more than `standardErrorBacklog` bytes
// wait, further writes are dropped whole.
inline constexpr qint64 standardErrorBacklog = 1024 * 1024;
void writeToStandardError(const QByteArray &bytes);

} // namespace corvane::platform
