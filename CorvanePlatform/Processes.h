#pragma once

// Processes of the machine: the full command line of each one, read from
// /proc without starting a lister, and launching a program that lives on
// independently of us.

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

// A regular file we may execute.
bool isExecutableFile(const QString &path);

bool runningAsRoot();

} // namespace corvane::platform
