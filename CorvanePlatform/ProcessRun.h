#pragma once

// Running a program to its end with a time limit: what it is given to read
// on its standard input, its standard output and error merged into one text
// (its error also apart), drained while it runs so a talkative program never
// stalls on a full pipe. A program that outlives its limit is asked to stop
// and then reaped in the background, so no zombie is left behind.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

namespace corvane::platform {

struct ProcessOutcome {
    enum class End { exited, failedToStart, timedOut };
    End end = End::failedToStart;
    // The exit code, or the signal number for a program ended by a signal.
    int status = 0;
    // Standard output and error as they came; where both had something
    // waiting at once, the error first (programs warn before they answer).
    QByteArray output;
    // Standard error alone, up to errorOutputLimit: what the program said
    // of its own, apart from what it passed on.
    QByteArray errorOutput;
    // Standard output alone, up to the same limit as `output`: its answer,
    // without its warnings.
    QByteArray standardOutput;
    // More came than the caller wanted kept: the rest was read and dropped.
    bool outputCut = false;
    // Why the program did not start, in the system's words.
    QString error;
};

// How long a program that was sent SIGTERM may take before it is killed.
inline constexpr double reapGraceSeconds = 3.0;
inline constexpr qint64 errorOutputLimit = 64 * 1024;

// How a program is started, beyond its arguments.
struct ProcessSetup {
    // Changes to the environment it inherits: a value sets, none removes.
    std::map<QString, std::optional<QString>> environment;
    // Its current folder; empty: ours.
    QString workingDirectory;
    // It and its children may not bind a TCP port (see ProcessSandbox.h).
    bool forbidTcpBinding = false;
};

// Blocks the calling thread until the program ends or `limitSeconds` pass.
// On a time-out the program has been sent SIGTERM when this returns. At most
// `outputLimit` bytes of output are kept (negative: no limit). `input` is
// written to the program's standard input, which is then closed.
ProcessOutcome runProcess(const QString &program, const QStringList &arguments, double limitSeconds,
                          qint64 outputLimit = -1, const QByteArray &input = {}, const ProcessSetup &setup = {});

} // namespace corvane::platform
