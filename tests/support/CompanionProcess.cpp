#include "CompanionProcess.h"

#include <cstdio>

#include "Eventually.h"
#include "TempHome.h"

#include "chrome/ChromeLaunch.h"
#include "diagnostics/EventLog.h"

#include <QDir>

#include <sys/resource.h>

namespace corvane::test {

namespace {

int listenEvents(const QString &eventsFile)
{
    QFile file(eventsFile.isEmpty() ? companionEventsURL() : eventsFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(file.readAll().count(" loopback.listen "));
}

qint64 statusField(qint64 pid, const char *name)
{
    const QList<QByteArray> lines = readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(name))
            return line.mid(static_cast<qsizetype>(qstrlen(name))).simplified().split(' ').value(0).toLongLong();
    }
    return 0;
}

} // namespace

CompanionProcess::CompanionProcess()
    : CompanionProcess(Options())
{
}

CompanionProcess::CompanionProcess(Options options)
    : eventsFile_(options.eventsFile)
{
    listensBefore_ = listenEvents(eventsFile_);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.setProcessEnvironment(options.environment);
    if (options.descriptorLimit > 0) {
        const rlim_t limit = static_cast<rlim_t>(options.descriptorLimit);
        process_.setChildProcessModifier([limit] {
            const rlimit descriptors {limit, limit};
            ::setrlimit(RLIMIT_NOFILE, &descriptors);
        });
    }
    if (!options.workingDirectory.isEmpty())
        process_.setWorkingDirectory(options.workingDirectory);
    const QStringList command = options.prefix + QStringList {executable()} + options.arguments;
    process_.start(command.front(), command.mid(1));
    process_.waitForStarted(5000);
}

QString CompanionProcess::executable()
{
    return QStringLiteral(CORVANE_COMPANION_EXECUTABLE);
}

QString CompanionProcess::output()
{
    said_ += QString::fromUtf8(process_.readAllStandardOutput());
    return said_;
}

CompanionProcess::~CompanionProcess()
{
    // A companion that died on its own says how: its standard error and its
    // events came through already, this is the last word.
    if (process_.state() == QProcess::NotRunning && process_.exitStatus() == QProcess::CrashExit)
        std::fprintf(stderr, "the companion ended by itself: signal or crash (%s)\n",
                     qPrintable(process_.errorString()));
    if (!stop()) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool CompanionProcess::waitListening(double seconds)
{
    return eventually(
               [this] {
                   output(); // keep its pipe drained
                   return listenEvents(eventsFile_) > listensBefore_ || !running();
               },
               seconds)
        && running();
}

bool CompanionProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return true;
    process_.terminate();
    return process_.waitForFinished(10000);
}

int threadCount(qint64 pid)
{
    return static_cast<int>(statusField(pid, "Threads:"));
}

int descriptorCount(qint64 pid)
{
    return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System).size());
}

qint64 residentKiB(qint64 pid)
{
    return statusField(pid, "VmRSS:");
}

} // namespace corvane::test

namespace corvane::test {

void useChromeGate()
{
    setChromeGateProgram(CompanionProcess::executable());
}

} // namespace corvane::test
