#pragma once

// Running a program to its end with a time limit: its standard output and
// error merged into one text, drained while it runs so a talkative program
// never stalls on a full pipe. A program that outlives its limit is asked to
// stop and then reaped in the background, so no zombie is left behind.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace corvane::platform {

struct ProcessOutcome {
    enum class End { exited, failedToStart, timedOut };
    End end = End::failedToStart;
    // The exit code, or the signal number for a program ended by a signal.
    int status = 0;
    QByteArray output;
    // More came than the caller wanted kept: the rest was read and dropped.
    bool outputCut = false;
    // Why the program did not start, in the system's words.
    QString error;
};

// How long a program that was sent SIGTERM may take before it is killed.
inline constexpr double reapGraceSeconds = 3.0;

// Blocks the calling thread until the program ends or `limitSeconds` pass.
// On a time-out the program has been sent SIGTERM when this returns. At most
// `outputLimit` bytes of output are kept (negative: no limit).
ProcessOutcome runProcess(const QString &program, const QStringList &arguments, double limitSeconds,
                          qint64 outputLimit = -1);

// Whether the system can hand `arguments` to a new program at all: each one
// within the kernel's limit for one argument, and all of them together with
// the environment within the limit for a whole command line.
bool argumentsFit(const QStringList &arguments);

} // namespace corvane::platform
