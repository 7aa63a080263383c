#include "ProcessRun.h"

#include "Dispatch.h"
#include "ProcessSandbox.h"

#include <QProcess>

#include <algorithm>
#include <cmath>

#include <unistd.h>

namespace corvane::platform {

namespace {

int milliseconds(double seconds)
{
    return static_cast<int>(std::clamp(std::ceil(seconds * 1000.0), 0.0, 2.0e9));
}

// Runs on a thread of its own, which owns the QProcess from start to reaping.
// The waiter learns the outcome through `box`; on a time-out it stops waiting
// while this thread goes on to collect the program.
void prepare(QProcess &process, const ProcessSetup &setup)
{
    if (!setup.environment.empty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : setup.environment) {
            if (value)
                environment.insert(name, *value);
            else
                environment.remove(name);
        }
        process.setProcessEnvironment(environment);
    }
    if (!setup.workingDirectory.isEmpty())
        process.setWorkingDirectory(setup.workingDirectory);
    if (setup.forbidTcpBinding) {
        // A child that cannot be limited never runs the program.
        process.setChildProcessModifier([] {
            if (!forbidTcpBinding())
                ::_exit(126);
        });
    }
}

void superviseProcess(const QString &program, const QStringList &arguments, const QByteArray &input,
                      double limitSeconds, qint64 outputLimit, const ProcessSetup &setup,
                      const std::shared_ptr<OneShot<ProcessOutcome>> &box)
{
    const double deadline = monotonicSeconds() + limitSeconds;
    QProcess process;
    prepare(process, setup);
    process.start(program, arguments);
    if (!process.waitForStarted(milliseconds(std::max(limitSeconds, 1.0)))) {
        ProcessOutcome failed;
        failed.end = ProcessOutcome::End::failedToStart;
        failed.error = process.errorString();
        box->fulfil(std::move(failed));
        return;
    }
    // The input of our callers is small (a request's texts): the pipe takes
    // it whole, or the program reads it while we wait below.
    process.write(input);
    process.closeWriteChannel();

    QByteArray output;
    QByteArray errors;
    QByteArray answer;
    bool cut = false;
    const auto keep = [&](const QByteArray &chunk) {
        const qint64 room = outputLimit < 0 ? chunk.size() : std::max<qint64>(0, outputLimit - output.size());
        if (chunk.size() > room)
            cut = true;
        output += chunk.left(room);
    };
    // Keeps what fits; the rest is drained so the program never blocks on us.
    const auto take = [&] {
        const QByteArray said = process.readAllStandardError();
        errors += said.left(std::max<qint64>(0, errorOutputLimit - errors.size()));
        keep(said);
        const QByteArray printed = process.readAllStandardOutput();
        answer += printed.left(outputLimit < 0 ? printed.size() : std::max<qint64>(0, outputLimit - answer.size()));
        keep(printed);
    };
    while (process.state() != QProcess::NotRunning) {
        const double left = deadline - monotonicSeconds();
        if (left <= 0)
            break;
        process.waitForReadyRead(milliseconds(left));
        take();
    }

    if (process.state() == QProcess::NotRunning) {
        take();
        ProcessOutcome done;
        done.end = ProcessOutcome::End::exited;
        done.status = process.exitCode();
        done.output = std::move(output);
        done.errorOutput = std::move(errors);
        done.standardOutput = std::move(answer);
        done.outputCut = cut;
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

ProcessOutcome runProcess(const QString &program, const QStringList &arguments, double limitSeconds, qint64 outputLimit,
                          const QByteArray &input, const ProcessSetup &setup)
{
    auto box = OneShot<ProcessOutcome>::make();
    if (!runInBackground([program, arguments, input, limitSeconds, outputLimit, setup, box] {
            superviseProcess(program, arguments, input, limitSeconds, outputLimit, setup, box);
        })) {
        ProcessOutcome failed;
        failed.error = QStringLiteral("no thread could be started");
        return failed;
    }
    // The supervisor answers by the deadline; the margin only covers a machine
    // too busy to schedule it in time.
    if (std::optional<ProcessOutcome> outcome = box->waitFor(limitSeconds + 5.0))
        return *std::move(outcome);
    ProcessOutcome late;
    late.end = ProcessOutcome::End::timedOut;
    return late;
}

} // namespace corvane::platform
