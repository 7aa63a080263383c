#include "driver/KeptRunner.h"

#include "chrome/ChromeDiscovery.h"
#include "diagnostics/EventLog.h"
#include "driver/DriverResult.h"
#include "driver/ToolBatch.h"
#include "driver/ToolRequests.h"

#include "UnixStream.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>
#include <map>
#include <mutex>

namespace corvane {

namespace {

// A reply may hold a whole page's snapshot, escaped: this bounds what one
// reply may make us keep.
constexpr qint64 replyLimit = 4 * agentOutputLimit;

const QString unreadableText = QStringLiteral("\u2717 agent-browser gave an answer that could not be read.");
const QString closedText = QStringLiteral("\u2717 agent-browser's background process ended before it answered.");

enum class Sent {
    answered, // every request has its reply
    notConnected, // no background process to be had: the program starts one
    refused, // the socket or the process behind it is not ours
    broken, // the connection ended before a reply
    unreadable, // a reply that is no answer to the request
    timedOut,
};

struct Connection {
    platform::UnixStream stream;
    qint64 pid = 0;
};

struct Exchange {
    Sent sent = Sent::answered;
    QStringList replies;
    bool allSucceeded = true; // every reply says "success": true
    bool commandSent = false; // past the launch: the command may have run
};

ToolRun failedRun(const QString &text, OutputReading reading)
{
    ToolRun run = finishedRun(text + QLatin1Char('\n'), reading);
    run.outcome = ToolOutcome::failed;
    return run;
}

} // namespace

struct KeptRunner::State {
    explicit State(const QString &name)
        : agent(name)
        , processes(name)
    {
    }

    const QString agent;
    std::mutex runLock;
    AgentRunner processes;
    std::map<QString, Connection> connections;
    qint64 nextId = 1;
    // The program's version is asked again whenever the file changes.
    QString checkedProgram;
    bool versionFits = false;

    bool keptFits()
    {
        const QString path = agentBrowserPath();
        if (path.isEmpty())
            return false;
        const QFileInfo file(path);
        const QString program = file.canonicalFilePath() + QLatin1Char('|') + QString::number(file.size())
            + QLatin1Char('|') + QString::number(file.lastModified().toMSecsSinceEpoch());
        if (program != checkedProgram) {
            checkedProgram = program;
            const QString version = processes.version();
            versionFits = version == QStringLiteral("agent-browser ") + QLatin1String(keptRequestsVersion);
            if (!versionFits)
                companionLog(QStringLiteral("agent.kept-off"),
                             {{QStringLiteral("version"), version.isEmpty() ? QStringLiteral("unknown") : version},
                              {QStringLiteral("pinned"), QLatin1String(keptRequestsVersion)}});
        }
        return versionFits;
    }

    // The session's connection, opened when there is none: only to a
    // background process of the pinned version whose socket, folder and
    // process are ours, that the pid file names and that listens on no TCP
    // port.
    Sent connect(const QString &session, Connection *&connection)
    {
        connection = &connections[session];
        if (connection->stream.isOpen())
            return Sent::answered;
        const QString base = agentSocketDir() + QLatin1Char('/') + session;
        QFile versionFile(base + QStringLiteral(".version"));
        if (!versionFile.open(QIODevice::ReadOnly) || versionFile.read(64).trimmed() != QByteArray(keptRequestsVersion))
            return Sent::notConnected;
        platform::UnixStream::Refusal refusal = platform::UnixStream::Refusal::none;
        platform::UnixStream stream = platform::UnixStream::connect(base + QStringLiteral(".sock"), &refusal);
        if (refusal == platform::UnixStream::Refusal::notOurs) {
            companionLog(QStringLiteral("agent.socket-refused"), {{QStringLiteral("session"), session}});
            return Sent::refused;
        }
        if (!stream.isOpen())
            return Sent::notConnected;
        const qint64 pid = daemonPid(session);
        if (pid <= 0 || stream.peerPid() != pid) {
            companionLog(QStringLiteral("agent.socket-refused"), {{QStringLiteral("session"), session}});
            return Sent::refused;
        }
        if (!processes.admitsDaemon(session))
            return Sent::refused;
        connection->stream = std::move(stream);
        connection->pid = pid;
        companionLog(QStringLiteral("agent.kept"),
                     {{QStringLiteral("session"), session}, {QStringLiteral("pid"), QString::number(pid)}});
        return Sent::answered;
    }

    void drop(const QString &session) { connections.erase(session); }

    // Sends the launch request, then each request, each reply read before
    // the next goes (as the program does) and all before `deadline`.
    Exchange exchange(Connection &connection, qint64 cdp, const QList<QJsonObject> &requests, qint64 deadline)
    {
        Exchange done;
        QList<QJsonObject> all {launchRequest(cdp)};
        all.append(requests);
        for (qsizetype i = 0; i < all.size(); ++i) {
            QJsonObject request = all[i];
            // As the program sends them with --pin-tab.
            if (!agent.isEmpty())
                request.insert(QStringLiteral("pinTab"), true);
            done.commandSent = i > 0;
            const QString id = QStringLiteral("c") + QString::number(nextId++);
            request.insert(QStringLiteral("id"), id);
            if (!connection.stream.send(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n', deadline)) {
                done.sent = platform::monotonicMs() >= deadline ? Sent::timedOut : Sent::broken;
                return done;
            }
            QByteArray line;
            switch (connection.stream.readLine(line, replyLimit, deadline)) {
            case platform::UnixStream::Read::line:
                break;
            case platform::UnixStream::Read::timedOut:
                done.sent = Sent::timedOut;
                return done;
            case platform::UnixStream::Read::tooLong:
                done.sent = Sent::unreadable;
                return done;
            case platform::UnixStream::Read::closed:
            case platform::UnixStream::Read::failed:
                done.sent = Sent::broken;
                return done;
            }
            const QString reply = QString::fromUtf8(line);
            const QJsonDocument parsed = QJsonDocument::fromJson(line);
            if (!parsed.isObject() || parsed.object().value(QStringLiteral("id")).toString() != id
                || !parsed.object().value(QStringLiteral("success")).isBool()) {
                done.sent = Sent::unreadable;
                return done;
            }
            if (i == 0) {
                // The program stops at a launch that failed, printing why.
                if (!parsed.object().value(QStringLiteral("success")).toBool()) {
                    done.replies = QStringList(requests.size(), reply);
                    done.allSucceeded = false;
                    return done;
                }
                continue;
            }
            done.replies.append(reply);
            done.allSucceeded = done.allSucceeded && parsed.object().value(QStringLiteral("success")).toBool();
        }
        return done;
    }

    // The requests' replies over the session's connection. A connection kept
    // from before that turns out broken at the launch request is opened
    // again, once: the process may have ended it while idle. One that breaks
    // after the command went is a failed step: the command may have run.
    Exchange send(const QString &label, qint64 cdp, const QList<QJsonObject> &requests, int limit)
    {
        const QString session = agentSessionName(cdp, agent);
        const qint64 deadline = platform::monotonicMs() + 1000 * static_cast<qint64>(std::max(limit, 1));
        for (int attempt = 0; attempt < 2; ++attempt) {
            Connection *connection = nullptr;
            const auto known = connections.find(session);
            const bool kept = known != connections.end() && known->second.stream.isOpen();
            const Sent opened = connect(session, connection);
            if (opened != Sent::answered)
                return {opened, {}};
            if (attempt == 0)
                companionLog(QStringLiteral("agent.start"), {{QStringLiteral("args"), label}});
            Exchange done = exchange(*connection, cdp, requests, deadline);
            if (done.sent == Sent::answered)
                return done;
            const qint64 pid = connection->pid;
            drop(session);
            if (done.sent == Sent::timedOut) {
                // It has no deadline of its own, and one blocked request blocks
                // every connection to it: the next step gets a fresh one.
                endToolDaemon(pid);
                return done;
            }
            if (done.sent != Sent::broken || !kept || done.commandSent)
                return done;
        }
        return {Sent::broken, {}};
    }
};

KeptRunner::KeptRunner(const QString &agent)
    : state_(std::make_unique<State>(agent))
{
}

void KeptRunner::endSession(qint64 cdp)
{
    // Waits for a run in progress: its connection goes with the process.
    const std::lock_guard lock(state_->runLock);
    state_->drop(agentSessionName(cdp, state_->agent));
    state_->processes.endSession(cdp);
}

KeptRunner::~KeptRunner() = default;

namespace {

void logEnd(const QString &label, const QString &out, bool allSucceeded)
{
    companionLog(QStringLiteral("agent.end"),
                 {{QStringLiteral("args"), label},
                  {QStringLiteral("status"), allSucceeded ? QStringLiteral("0") : QStringLiteral("1")},
                  {QStringLiteral("out"), out}});
}

// What became of a run that has no answer to give.
ToolRun unansweredRun(const QString &label, const Exchange &exchange, int limit, OutputReading reading)
{
    ToolRun run;
    switch (exchange.sent) {
    case Sent::timedOut:
        companionLog(QStringLiteral("agent.timeout"),
                     {{QStringLiteral("args"), label},
                      {QStringLiteral("limit_s"), QString::number(limit)},
                      {QStringLiteral("chrome"), onOff(chromeAnswersNow(QStringLiteral("127.0.0.1")))}});
        run.outcome = ToolOutcome::timedOut;
        return run;
    case Sent::refused:
        run.outcome = ToolOutcome::unguarded;
        return run;
    case Sent::broken:
        logEnd(label, closedText, false);
        return failedRun(closedText, reading);
    default:
        logEnd(label, unreadableText, false);
        return failedRun(unreadableText, reading);
    }
}

} // namespace

ToolRun KeptRunner::run(const QStringList &args, qint64 cdp, int limit, OutputReading reading)
{
    const QString label = toolArgsLabel(args);
    std::unique_lock lock(state_->runLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), label}});
        ToolRun busy;
        busy.outcome = ToolOutcome::busy;
        return busy;
    }
    const std::optional<ToolRequest> request = toolRequest(args);
    if (request && state_->keptFits()) {
        const Exchange done = state_->send(label, cdp, {request->fields}, limit);
        if (done.sent == Sent::answered) {
            const QString &reply = done.replies.front();
            const QString answer = replyAnswer(reply);
            const std::optional<QString> text = request->json ? answer : replyText(request->action(), reply);
            if (!text) {
                logEnd(label, unreadableText, false);
                return failedRun(unreadableText, reading);
            }
            logEnd(label, *text, done.allSucceeded);
            return answeredRun(*text, reading, answer);
        }
        if (done.sent != Sent::notConnected)
            return unansweredRun(label, done, limit, reading);
    }
    // Also what starts the session's background process, the program's way.
    ToolRun ran = state_->processes.run(args, cdp, limit, reading);
    if (ran.outcome == ToolOutcome::timedOut)
        endToolDaemon(daemonPid(agentSessionName(cdp, state_->agent)));
    return ran;
}

QList<ToolRun> KeptRunner::runBatch(const QList<BatchStep> &steps, qint64 cdp, int limit)
{
    QStringList labels;
    for (const BatchStep &step : steps)
        labels.append(toolArgsLabel(step.args));
    const QString label = labels.join(QStringLiteral(" + "));
    std::unique_lock lock(state_->runLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), label}});
        ToolRun busy;
        busy.outcome = ToolOutcome::busy;
        return QList<ToolRun>(steps.size(), busy);
    }
    QList<QJsonObject> requests;
    for (const BatchStep &step : steps) {
        const std::optional<ToolRequest> request = toolRequest(step.args);
        if (!request)
            break;
        requests.append(request->fields);
    }
    if (requests.size() == steps.size() && state_->keptFits()) {
        const Exchange done = state_->send(label, cdp, requests, limit);
        if (done.sent == Sent::answered) {
            // As in the program's JSON batch: each step reads its own answer.
            QList<ToolRun> runs;
            QStringList answers;
            for (qsizetype i = 0; i < steps.size(); ++i) {
                const QString answer = replyAnswer(done.replies[i]);
                answers.append(answer);
                runs.append(answeredRun(steps[i].reading == OutputReading::data ? answer : answerText(answer),
                                        steps[i].reading, answer));
            }
            logEnd(label, QLatin1Char('[') + answers.join(QLatin1Char(',')) + QLatin1Char(']'), done.allSucceeded);
            return runs;
        }
        if (done.sent != Sent::notConnected)
            return QList<ToolRun>(steps.size(), unansweredRun(label, done, limit, OutputReading::data));
    }
    QList<ToolRun> runs = state_->processes.runBatch(steps, cdp, limit);
    if (!runs.isEmpty() && runs.front().outcome == ToolOutcome::timedOut)
        endToolDaemon(daemonPid(agentSessionName(cdp, state_->agent)));
    return runs;
}

} // namespace corvane
