#pragma once

// Processes of the machine: the full command line of each one, read from
// /proc without starting a lister, launching a program that lives on
// independently of us, and a child that speaks on two pipes.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace corvane::platform {

// One entry per process of this user, in process-id order: its arguments
// joined by single spaces. Other users' processes are left out (another
// account could otherwise pose as our Chrome), and so are processes without a
// readable or UTF-8 command line.
QStringList processCommandLines();

// The program a running process was started as (its first argument); none
// when no such process runs.
std::optional<QString> processProgram(qint64 pid);

// How many times processCommandLines() has read the process table; lets tests
// and benchmarks see whether a caller listed or used a cached answer.
std::uint64_t processListings();

// Starts `program` with `arguments` (no shell), its standard channels
// inherited, and does not keep track of it. False when it could not start.
bool launchDetached(const QString &program, const QStringList &arguments);

// A child spoken to over two pipes: ours are the other ends.
struct PipedChild {
    qint64 pid = 0;
    int readFrom = -1; // what the child writes on its descriptor 4
    int writeTo = -1; // what the child reads on its descriptor 3
};

// Starts `program` in a session of its own with a pipe from us as its
// descriptor 3 and one to us as its descriptor 4 (how a Chrome started with
// --remote-debugging-pipe speaks its protocol), its standard channels ours.
// The child's ends are its alone: a pipe ends when the child does. None
// when it could not be started (then no descriptor is left open).
std::optional<PipedChild> spawnWithPipes(const QString &program, const QStringList &arguments);

// Runs `program` with our standard channels until it exits and gives its exit
// code; none when it could not start, was ended by a signal or ran past
// `limitSeconds` (then it is killed).
std::optional<int> runToExit(const QString &program, const QStringList &arguments, double limitSeconds);

// Turns this process into a background one before anything else has started:
// the process forks, the parent waits for the child's report (or its end)
// and exits with it, and the child carries on from here in a session of its
// own, with standard input and output on the null device.
class BackgroundStart {
public:
    // False in the parent's place when forking failed.
    bool begin();
    // Lets the waiting parent exit with `code`; once.
    void report(int code);

private:
    int reportTo_ = -1;
};

// A regular file we may execute.
bool isExecutableFile(const QString &path);

bool runningAsRoot();

} // namespace corvane::platform
