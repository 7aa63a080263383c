#include "ProcessRun.h"

#include "Dispatch.h"

#include <QProcess>

#include <algorithm>
#include <cmath>

namespace corvane::platform {

namespace {

int milliseconds(double seconds)
{
    return static_cast<int>(std::clamp(std::ceil(seconds * 1000.0), 0.0, 2.0e9));
}

// Runs on a thread of its own, which owns the QProcess from start to reaping.
// The waiter learns the outcome through `box`; on a time-out it stops waiting
// while this thread goes on to collect the program.
void superviseProcess(const QString &program, const QStringList &arguments, double limitSeconds,
                      const std::shared_ptr<OneShot<ProcessOutcome>> &box)
{
    const double deadline = monotonicSeconds() + limitSeconds;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(milliseconds(std::max(limitSeconds, 1.0)))) {
        ProcessOutcome failed;
        failed.end = ProcessOutcome::End::failedToStart;
        box->fulfil(std::move(failed));
        return;
    }

    QByteArray output;
    while (process.state() != QProcess::NotRunning) {
        const double left = deadline - monotonicSeconds();
        if (left <= 0)
            break;
        process.waitForReadyRead(milliseconds(left));
        output += process.readAll();
    }

    if (process.state() == QProcess::NotRunning) {
        output += process.readAll();
        ProcessOutcome done;
        done.end = ProcessOutcome::End::exited;
        done.status = process.exitCode();
        done.output = std::move(output);
        box->fulfil(std::move(done));
        return;
    }

    process.terminate();
    ProcessOutcome late;
    late.end = ProcessOutcome::End::timedOut;
    box->fulfil(std::move(late));

    // The reaper: give the program its grace period, then kill it; either way
    // collect it so it does not linger as a zombie.
    if (!process.waitForFinished(milliseconds(reapGraceSeconds))) {
        process.kill();
        process.waitForFinished(-1);
    }
}

} // namespace

ProcessOutcome runProcess(const QString &program, const QStringList &arguments, double limitSeconds)
{
    auto box = OneShot<ProcessOutcome>::make();
    runInBackground([program, arguments, limitSeconds, box] {
        superviseProcess(program, arguments, limitSeconds, box);
    });
    // The supervisor answers by the deadline; the margin only covers a machine
    // too busy to schedule it in time.
    if (std::optional<ProcessOutcome> outcome = box->waitFor(limitSeconds + 5.0))
        return *std::move(outcome);
    ProcessOutcome late;
    late.end = ProcessOutcome::End::timedOut;
    return late;
}

} // namespace corvane::platform
