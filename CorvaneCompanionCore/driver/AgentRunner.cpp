#include "driver/AgentRunner.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"
#include "driver/DriverResult.h"
#include "driver/PageDialog.h"
#include "driver/ToolBatch.h"

#include "ProcessRun.h"
#include "Processes.h"
#include "UserPaths.h"

#include <QJsonDocument>

#include <algorithm>
#include <mutex>
#include <variant>

namespace corvane {

namespace {

// Only ever tried: a caller that finds it held is told at once instead of
// queueing behind a run that may take twenty seconds.
std::mutex &agentLock()
{
    static std::mutex lock;
    return lock;
}

// The first three arguments, a free text as its length: what the log shows
// of a command.
QString argsLabel(const QStringList &args)
{
    QStringList shown = args.mid(0, 3);
    for (const qsizetype text : freeTextPositions(args)) {
        if (text < shown.size())
            shown[text] = maskedText(shown[text]);
    }
    return shown.join(QLatin1Char(' '));
}

// Output cut at a byte count may end inside a character: drop that part.
QByteArray wholeCharacters(QByteArray bytes)
{
    for (qsizetype back = 1; back <= std::min<qsizetype>(4, bytes.size()); ++back) {
        const auto byte = static_cast<unsigned char>(bytes.at(bytes.size() - back));
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for its lead
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (length > back)
            bytes.chop(back);
        break;
    }
    return bytes;
}

} // namespace

QString agentSessionName(qint64 port)
{
    if (port == chromeDebugPort)
        return agentSession;
    return agentSession + QLatin1Char('-') + QString::number(port);
}

QString agentBrowserPath()
{
    const QString candidates[] = {
        QStringLiteral("/opt/homebrew/bin/agent-browser"),
        QStringLiteral("/usr/local/bin/agent-browser"),
        platform::homeDir() + QStringLiteral("/.local/bin/agent-browser"),
    };
    for (const QString &candidate : candidates) {
        if (platform::isExecutableFile(candidate))
            return candidate;
    }
    return QStringLiteral("agent-browser");
}

namespace {

// A process of the tool that ran to its end: its output as text.
struct ToolProcess {
    QString output;
    QString errorOutput;
    bool outputCut = false;
    int status = 0;
};

// Runs the tool with the runner's own options and `invocation`, logging it
// under `label`. Either the process's output, or the run of what kept it
// from an answer.
std::variant<ToolProcess, ToolRun> runTool(const QString &label, const ToolInvocation &invocation, qint64 cdp, int limit,
                                           qint64 outputLimit)
{
    ToolRun run;
    std::unique_lock lock(agentLock(), std::try_to_lock);
    if (!lock.owns_lock()) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), label}});
        run.outcome = ToolOutcome::busy;
        return run;
    }
    companionLog(QStringLiteral("agent.start"), {{QStringLiteral("args"), label}});

    QString program = agentBrowserPath();
    // The bare name stands for a file in the current folder, never a PATH search.
    if (!program.contains(QLatin1Char('/')))
        program.prepend(QStringLiteral("./"));
    // Only the runner's own options go on the command line; the commands come
    // on standard input, where no other account can read them.
    const QStringList arguments =
        QStringList{QStringLiteral("--cdp"), QString::number(cdp), QStringLiteral("--session"), agentSessionName(cdp)}
        + invocation.arguments;

    const platform::ProcessOutcome outcome = platform::runProcess(
        program, arguments, static_cast<double>(std::max(limit, 1)), outputLimit, invocation.input);
    switch (outcome.end) {
    case platform::ProcessOutcome::End::failedToStart:
        if (!platform::isExecutableFile(program)) {
            companionLog(QStringLiteral("agent.missing"), {{QStringLiteral("args"), label}});
            run.outcome = ToolOutcome::missingTool;
            return run;
        }
        // There, but refused: too long a command line, no memory, no rights.
        companionLog(QStringLiteral("agent.fail"), {{QStringLiteral("args"), label}, {QStringLiteral("error"), outcome.error}});
        run.outcome = ToolOutcome::couldNotStart;
        run.startError = outcome.error;
        return run;
    case platform::ProcessOutcome::End::timedOut: {
        const bool chrome = chromeAnswersNow(QStringLiteral("127.0.0.1"));
        companionLog(QStringLiteral("agent.timeout"), {{QStringLiteral("args"), label},
                                                       {QStringLiteral("limit_s"), QString::number(limit)},
                                                       {QStringLiteral("chrome"), onOff(chrome)}});
        run.outcome = ToolOutcome::timedOut;
        return run;
    }
    case platform::ProcessOutcome::End::exited:
        break;
    }
    return ToolProcess{utf8OrEmpty(outcome.outputCut ? wholeCharacters(outcome.output) : outcome.output),
                       utf8OrEmpty(outcome.errorOutput), outcome.outputCut, outcome.status};
}

void logEnd(const QString &label, const QString &out, int status)
{
    companionLog(QStringLiteral("agent.end"), {{QStringLiteral("args"), label},
                                               {QStringLiteral("status"), QString::number(status)},
                                               {QStringLiteral("out"), out}});
}

ToolRun blockedBy(const PageDialog &dialog)
{
    ToolRun blocked;
    blocked.outcome = ToolOutcome::failed;
    blocked.dialog = dialog;
    return blocked;
}

// One step's run from its answer in a batch.
ToolRun stepRun(const QString &answer, OutputReading reading)
{
    QString out = reading == OutputReading::data ? answer : answerText(answer);
    const bool cut = out.size() > agentOutputLimit;
    if (cut)
        out.truncate(agentOutputLimit);
    ToolRun run = finishedRun(out, reading, cut);
    run.dialog = reportedDialog(QString(), answer);
    return run;
}

QList<ToolRun> runBatch(const QList<BatchStep> &steps, qint64 cdp, int limit)
{
    QStringList labels;
    QList<QStringList> commands;
    for (const BatchStep &step : steps) {
        labels.append(argsLabel(step.args));
        commands.append(step.args);
    }
    const QString label = labels.join(QStringLiteral(" + "));
    // Each answer may be as large as one run's output.
    const auto ran = runTool(label, batchInvocation(commands), cdp, limit, agentOutputLimit * std::max<qsizetype>(steps.size(), 1));
    if (const ToolRun *stopped = std::get_if<ToolRun>(&ran))
        return QList<ToolRun>(steps.size(), *stopped);
    const ToolProcess &process = std::get<ToolProcess>(ran);
    logEnd(label, process.output, process.status);
    const std::optional<QStringList> answers = batchAnswers(process.output);
    QList<ToolRun> runs;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        if (answers && i < answers->size()) {
            runs.append(stepRun(answers->at(i), steps[i].reading));
        } else {
            // No answer of its own: what the tool printed instead is the step's.
            ToolRun run = finishedRun(answers ? QString() : process.output, steps[i].reading, process.outputCut);
            run.outcome = ToolOutcome::failed;
            run.dialog = reportedDialog(process.errorOutput, QString());
            runs.append(run);
        }
    }
    return runs;
}

} // namespace

ToolRun runAgentBrowserOnce(const QStringList &args, qint64 cdp, int limit, OutputReading reading)
{
    const QString label = argsLabel(args);
    const auto ran = runTool(label, toolInvocation(args), cdp, limit, agentOutputLimit);
    if (const ToolRun *stopped = std::get_if<ToolRun>(&ran))
        return *stopped;
    const ToolProcess &process = std::get<ToolProcess>(ran);
    QString out = process.output;
    const bool json = wantsJson(args);
    if (json) {
        if (const std::optional<QString> answer = singleAnswer(out))
            out = *answer;
    }
    logEnd(label, out, process.status);
    ToolRun finished = finishedRun(out, reading, process.outputCut);
    finished.dialog = reportedDialog(process.errorOutput, json ? out : QString());
    return finished;
}

ToolRun runOnActivePort(const QStringList &args, OutputReading reading, int limit)
{
    // A dialog blocks the page: the rest of the job would only wait out limits.
    DialogWatch *watch = DialogWatch::current();
    if (watch && watch->seen())
        return blockedBy(*watch->seen());
    const ToolRun run = runAgentBrowserOnce(args, activeChromePort(false), limit, reading);
    if (watch)
        watch->see(run);
    return run;
}

QList<ToolRun> runBatchOnActivePort(const QList<BatchStep> &steps, int limit)
{
    DialogWatch *watch = DialogWatch::current();
    if (watch && watch->seen())
        return QList<ToolRun>(steps.size(), blockedBy(*watch->seen()));
    QList<ToolRun> runs = runBatch(steps, activeChromePort(false), limit);
    if (watch) {
        for (ToolRun &run : runs) {
            if (watch->seen())
                run = blockedBy(*watch->seen());
            else
                watch->see(run);
        }
    }
    return runs;
}

QString answerValue(const ToolRun &run, const QString &key)
{
    const QJsonObject answer = QJsonDocument::fromJson(run.output.toUtf8()).object();
    const QJsonValue value = answer.value(QStringLiteral("data")).toObject().value(key);
    return value.isUndefined() || value.isNull() ? QString() : jsonValueText(value);
}

QJsonObject agentData(const QStringList &args)
{
    const ToolRun run = runOnActivePort(QStringList{QStringLiteral("--json")} + args, OutputReading::data);
    const QJsonDocument document = QJsonDocument::fromJson(run.output.toUtf8());
    if (!document.isObject())
        return {};
    const QJsonValue data = document.object().value(QStringLiteral("data"));
    return data.isObject() ? data.toObject() : QJsonObject();
}

} // namespace corvane
