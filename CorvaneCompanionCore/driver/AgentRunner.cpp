#include "driver/AgentRunner.h"

#include "chrome/ChromeDiscovery.h"
#include "diagnostics/EventLog.h"
#include "driver/DriverResult.h"
#include "driver/PageDialog.h"
#include "driver/ToolBatch.h"

#include "Bundle.h"
#include "PeerUser.h"
#include "ProcessRun.h"
#include "ProcessSandbox.h"
#include "Processes.h"
#include "UserPaths.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QSaveFile>

#include <algorithm>
#include <mutex>
#include <variant>

#include <signal.h>
#include <unistd.h>

namespace corvane {

QString toolArgsLabel(const QStringList &args)
{
    QStringList shown = args.mid(0, 3);
    for (const qsizetype text : freeTextPositions(args)) {
        if (text < shown.size())
            shown[text] = maskedText(shown[text]);
    }
    return shown.join(QLatin1Char(' '));
}

namespace {

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

QString agentSessionName(qint64 port, const QString &agent)
{
    const QString base
        = port == chromeDebugPort ? agentSession : agentSession + QLatin1Char('-') + QString::number(port);
    // No port's session has an underscore: an agent's never meets one.
    return agent.isEmpty() ? base : base + QLatin1Char('_') + agent;
}

QString agentBrowserPath()
{
    // An installed companion carries the version it was tested with.
    static const QString carried = [] {
        const platform::Bundle bundle = platform::mainBundle();
        return bundle.isApplication ? bundle.location + QStringLiteral("/lib/corvane-companion/agent-browser")
                                    : QString();
    }();
    const QString candidates[] = {
        carried,
        QStringLiteral("/opt/homebrew/bin/agent-browser"),
        QStringLiteral("/usr/local/bin/agent-browser"),
        platform::homeDir() + QStringLiteral("/.local/bin/agent-browser"),
    };
    for (const QString &candidate : candidates) {
        if (!candidate.isEmpty() && platform::isExecutableFile(candidate))
            return candidate;
    }
    return {};
}

QString agentSocketDir()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.startsWith(QLatin1Char('/')))
        return runtime + QStringLiteral("/agent-browser");
    return platform::homeDir() + QStringLiteral("/.agent-browser");
}

namespace {

const QString noToolFolderText = QStringLiteral("no private folder for it to run in");

// The tool runs in a folder of ours, with a settings file of ours, and none
// of its own variables from our environment: a project's agent-browser.json
// in the folder the companion was started from, a user's settings or an
// AGENT_BROWSER_JSON would otherwise change what it prints and does.
std::optional<platform::ProcessSetup> toolSetup()
{
    const QString folder = platform::temporaryDir();
    if (folder.isEmpty())
        return std::nullopt;
    platform::ProcessSetup setup;
    const QString config = folder + QStringLiteral("agent-browser-settings.json");
    if (!QFile::exists(config)) {
        QSaveFile file(config);
        if (!file.open(QIODevice::WriteOnly) || file.write("{}\n") != 3 || !file.commit())
            return std::nullopt;
    }
    for (const QString &name : QProcessEnvironment::systemEnvironment().keys()) {
        if (name.startsWith(QLatin1String("AGENT_BROWSER_")))
            setup.environment[name] = std::nullopt;
    }
    platform::makePrivateDir(agentSocketDir());
    setup.environment[QStringLiteral("AGENT_BROWSER_SOCKET_DIR")] = agentSocketDir();
    setup.environment[QStringLiteral("AGENT_BROWSER_CONFIG")] = config;
    // It would ask a server on the internet for the newest version.
    setup.environment[QStringLiteral("AGENT_BROWSER_NO_VERSION_CHECK")] = QStringLiteral("1");
    setup.workingDirectory = folder;
    setup.forbidTcpBinding = platform::canForbidTcpBinding();
    return setup;
}

} // namespace

qint64 daemonPid(const QString &session)
{
    QFile file(agentSocketDir() + QLatin1Char('/') + session + QStringLiteral(".pid"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.read(32).trimmed().toLongLong();
}

namespace {

bool isToolProcess(qint64 pid)
{
    const std::optional<QString> program = platform::processProgram(pid);
    return program && program->contains(QLatin1String("agent-browser"));
}

// The tool keeps a background process per session, which it starts with
// a TCP listener of its own that nothing guards. Every process is started
// unable to bind one where the kernel allows; each new background process is
// checked all the same, and one that listens is ended before it serves more.
class DaemonGuard {
public:
    // Whether the session's background process may be used. A new one that
    // listens on TCP is ended here.
    bool admits(const QString &session)
    {
        const qint64 pid = daemonPid(session);
        std::lock_guard lock(mutex_);
        if (pid <= 0 || checked_.value(session) == pid)
            return true;
        const std::optional<QList<quint16>> ports = platform::tcpListeningPortsOf(pid);
        const bool alive = ::kill(static_cast<pid_t>(pid), 0) == 0;
        if (ports && ports->isEmpty()) {
            checked_.insert(session, pid);
            return true;
        }
        if (!ports && !alive)
            return true; // gone already: the next run starts a new one, checked then
        // Listening, or not to be checked: it serves nobody any more. Only
        // the tool's own process is ended, never whatever took its id.
        QStringList shown;
        for (const quint16 port : ports.value_or(QList<quint16>()))
            shown.append(QString::number(port));
        if (isToolProcess(pid))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        companionLog(QStringLiteral("agent.listener"),
                     {{QStringLiteral("session"), session},
                      {QStringLiteral("ports"),
                       shown.isEmpty() ? QStringLiteral("unknown") : shown.join(QLatin1Char(','))}});
        return false;
    }

private:
    std::mutex mutex_;
    QHash<QString, qint64> checked_;
};

// A process of the tool that ran to its end: its output as text.
struct ToolProcess {
    QString output;
    QString errorOutput;
    QString answer; // standard output alone: where a JSON answer is read
    bool outputCut = false;
    int status = 0;
};

// Runs the tool with the runner's own options and `invocation`, logging it
// under `label`. Either the process's output, or the run of what kept it
// from an answer.
std::variant<ToolProcess, ToolRun> runTool(std::mutex &runLock, DaemonGuard &guard, const QString &agent,
                                           const QString &label, const ToolInvocation &invocation, qint64 cdp,
                                           int limit, qint64 outputLimit)
{
    ToolRun run;
    // Only ever tried: a caller that finds it held is told at once instead
    // of queueing behind a run that may take twenty seconds.
    std::unique_lock lock(runLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), label}});
        run.outcome = ToolOutcome::busy;
        return run;
    }
    companionLog(QStringLiteral("agent.start"), {{QStringLiteral("args"), label}});

    const QString program = agentBrowserPath();
    if (program.isEmpty()) {
        companionLog(QStringLiteral("agent.missing"), {{QStringLiteral("args"), label}});
        run.outcome = ToolOutcome::missingTool;
        return run;
    }
    const QString session = agentSessionName(cdp, agent);
    // Only the runner's own options go on the command line; the commands come
    // on standard input, where no other account can read them.
    QStringList arguments {QStringLiteral("--cdp"), QString::number(cdp), QStringLiteral("--session"), session};
    // A background process that starts pinned opens a tab of its own, in
    // whichever window was used last (the person's): it is pinned once it runs.
    if (const qint64 running = agent.isEmpty() ? 0 : daemonPid(session); running > 0 && isToolProcess(running))
        arguments.append(QStringLiteral("--pin-tab"));
    arguments += invocation.arguments;
    const std::optional<platform::ProcessSetup> setup = toolSetup();
    if (!setup) {
        companionLog(QStringLiteral("agent.fail"),
                     {{QStringLiteral("args"), label}, {QStringLiteral("error"), noToolFolderText}});
        run.outcome = ToolOutcome::couldNotStart;
        run.startError = noToolFolderText;
        return run;
    }

    const platform::ProcessOutcome outcome
        = platform::runProcess(program, arguments, static_cast<double>(std::max(limit, 1)), outputLimit,
                               invocation.input, *setup);
    if (!guard.admits(session)) {
        run.outcome = ToolOutcome::unguarded;
        return run;
    }
    switch (outcome.end) {
    case platform::ProcessOutcome::End::failedToStart:
        if (!platform::isExecutableFile(program)) {
            companionLog(QStringLiteral("agent.missing"), {{QStringLiteral("args"), label}});
            run.outcome = ToolOutcome::missingTool;
            return run;
        }
        // There, but refused: too long a command line, no memory, no rights.
        companionLog(QStringLiteral("agent.fail"),
                     {{QStringLiteral("args"), label}, {QStringLiteral("error"), outcome.error}});
        run.outcome = ToolOutcome::couldNotStart;
        run.startError = outcome.error;
        return run;
    case platform::ProcessOutcome::End::timedOut: {
        const bool chrome = chromeAnswersNow(QStringLiteral("127.0.0.1"));
        companionLog(QStringLiteral("agent.timeout"),
                     {{QStringLiteral("args"), label},
                      {QStringLiteral("limit_s"), QString::number(limit)},
                      {QStringLiteral("chrome"), onOff(chrome)}});
        run.outcome = ToolOutcome::timedOut;
        return run;
    }
    case platform::ProcessOutcome::End::exited:
        break;
    }
    return ToolProcess {utf8OrEmpty(outcome.outputCut ? wholeCharacters(outcome.output) : outcome.output),
                        utf8OrEmpty(outcome.errorOutput), utf8OrEmpty(outcome.standardOutput), outcome.outputCut,
                        outcome.status};
}

void logEnd(const QString &label, const QString &out, int status)
{
    companionLog(QStringLiteral("agent.end"),
                 {{QStringLiteral("args"), label},
                  {QStringLiteral("status"), QString::number(status)},
                  {QStringLiteral("out"), out}});
}

} // namespace

struct AgentRunner::State {
    explicit State(const QString &name)
        : agent(name)
    {
    }

    const QString agent;
    std::mutex runLock;
    DaemonGuard guard;
};

AgentRunner::AgentRunner(const QString &agent)
    : state_(std::make_unique<State>(agent))
{
}

void AgentRunner::endSession(qint64 cdp)
{
    endToolDaemon(daemonPid(agentSessionName(cdp, state_->agent)));
}

AgentRunner::~AgentRunner() = default;

QList<ToolRun> AgentRunner::runBatch(const QList<BatchStep> &steps, qint64 cdp, int limit)
{
    QStringList labels;
    QList<QStringList> commands;
    for (const BatchStep &step : steps) {
        labels.append(toolArgsLabel(step.args));
        commands.append(step.args);
    }
    const QString label = labels.join(QStringLiteral(" + "));
    // Each answer may be as large as one run's output.
    const auto ran = runTool(state_->runLock, state_->guard, state_->agent, label, batchInvocation(commands), cdp,
                             limit, agentOutputLimit * std::max<qsizetype>(steps.size(), 1));
    if (const ToolRun *stopped = std::get_if<ToolRun>(&ran))
        return QList<ToolRun>(steps.size(), *stopped);
    const ToolProcess &process = std::get<ToolProcess>(ran);
    logEnd(label, process.output, process.status);
    const std::optional<QStringList> answers = batchAnswers(process.answer);
    QList<ToolRun> runs;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        if (answers && i < answers->size()) {
            runs.append(
                answeredRun(steps[i].reading == OutputReading::data ? answers->at(i) : answerText(answers->at(i)),
                            steps[i].reading, answers->at(i)));
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

ToolRun AgentRunner::run(const QStringList &args, qint64 cdp, int limit, OutputReading reading)
{
    const QString label = toolArgsLabel(args);
    const auto ran = runTool(state_->runLock, state_->guard, state_->agent, label, toolInvocation(args), cdp, limit,
                             agentOutputLimit);
    if (const ToolRun *stopped = std::get_if<ToolRun>(&ran))
        return *stopped;
    const ToolProcess &process = std::get<ToolProcess>(ran);
    QString out = process.output;
    const bool json = wantsJson(args);
    if (json) {
        if (const std::optional<QString> answer = singleAnswer(process.answer))
            out = *answer;
    }
    logEnd(label, out, process.status);
    ToolRun finished = finishedRun(out, reading, process.outputCut);
    finished.dialog = reportedDialog(process.errorOutput, json ? out : QString());
    return finished;
}

ToolRun answeredRun(QString out, OutputReading reading, const QString &answer)
{
    const bool cut = out.size() > agentOutputLimit;
    if (cut)
        out.truncate(agentOutputLimit);
    ToolRun run = finishedRun(out, reading, cut);
    run.dialog = reportedDialog(QString(), answer);
    return run;
}

bool AgentRunner::admitsDaemon(const QString &session)
{
    return state_->guard.admits(session);
}

QString AgentRunner::version()
{
    const QString program = agentBrowserPath();
    const std::optional<platform::ProcessSetup> setup = toolSetup();
    if (program.isEmpty() || !setup)
        return {};
    const platform::ProcessOutcome outcome
        = platform::runProcess(program, {QStringLiteral("--version")}, 10.0, 4096, {}, *setup);
    if (outcome.end != platform::ProcessOutcome::End::exited || outcome.status != 0)
        return {};
    return QString::fromUtf8(outcome.standardOutput).trimmed();
}

bool endToolDaemon(qint64 pid)
{
    if (pid <= 0 || !isToolProcess(pid))
        return false;
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    // Gone once its command line is: a process that has ended has none,
    // even before its parent collects it.
    for (int wait = 0; wait < 200 && isToolProcess(pid); ++wait)
        ::usleep(10'000);
    return !isToolProcess(pid);
}

QString answerValue(const ToolRun &run, const QString &key)
{
    const QJsonObject answer = QJsonDocument::fromJson(run.output.toUtf8()).object();
    const QJsonValue value = answer.value(QStringLiteral("data")).toObject().value(key);
    return value.isUndefined() || value.isNull() ? QString() : jsonValueText(value);
}

} // namespace corvane
