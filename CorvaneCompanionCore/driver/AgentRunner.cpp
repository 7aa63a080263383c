#include "driver/AgentRunner.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"
#include "driver/DriverResult.h"
#include "driver/PageDialog.h"

#include "ProcessRun.h"
#include "Processes.h"
#include "UserPaths.h"

#include <QJsonDocument>

#include <algorithm>
#include <mutex>

namespace corvane {

namespace {

const QChar failureMark(0x2717);

// Only ever tried: a caller that finds it held gets the busy text instead of
// queueing behind a run that may take twenty seconds.
std::mutex &agentLock()
{
    static std::mutex lock;
    return lock;
}

QString argsLabel(const QStringList &args)
{
    return args.mid(0, 3).join(QLatin1Char(' '));
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

QString runAgentBrowserOnce(const QStringList &args, qint64 cdp, int limit)
{
    const QString label = argsLabel(args);
    std::unique_lock lock(agentLock(), std::try_to_lock);
    if (!lock.owns_lock()) {
        companionLog(QStringLiteral("agent.busy"), {{QStringLiteral("args"), label}});
        return agentBusyText;
    }
    companionLog(QStringLiteral("agent.start"), {{QStringLiteral("args"), label}});

    QString program = agentBrowserPath();
    // The bare name stands for a file in the current folder, never a PATH search.
    if (!program.contains(QLatin1Char('/')))
        program.prepend(QStringLiteral("./"));
    const QStringList arguments =
        QStringList{QStringLiteral("--cdp"), QString::number(cdp), QStringLiteral("--session"), agentSessionName(cdp)}
        + args;

    const platform::ProcessOutcome outcome =
        platform::runProcess(program, arguments, static_cast<double>(std::max(limit, 1)), agentOutputLimit);
    switch (outcome.end) {
    case platform::ProcessOutcome::End::failedToStart:
        if (!platform::isExecutableFile(program)) {
            companionLog(QStringLiteral("agent.missing"), {{QStringLiteral("args"), label}});
            return agentMissingText;
        }
        // There, but refused: too long a command line, no memory, no rights.
        companionLog(QStringLiteral("agent.fail"), {{QStringLiteral("args"), label}, {QStringLiteral("error"), outcome.error}});
        return agentStartFailedText + outcome.error;
    case platform::ProcessOutcome::End::timedOut: {
        const bool chrome = chromeIsReady(QStringLiteral("127.0.0.1"));
        companionLog(QStringLiteral("agent.timeout"), {{QStringLiteral("args"), label},
                                                       {QStringLiteral("limit_s"), QString::number(limit)},
                                                       {QStringLiteral("chrome"), onOff(chrome)}});
        return agentTimeoutText;
    }
    case platform::ProcessOutcome::End::exited:
        break;
    }
    const QString out = outcome.outputCut ? utf8OrEmpty(wholeCharacters(outcome.output)) + outputCutText
                                    : utf8OrEmpty(outcome.output);
    companionLog(QStringLiteral("agent.end"), {{QStringLiteral("args"), label},
                                               {QStringLiteral("status"), QString::number(outcome.status)},
                                               {QStringLiteral("out"), out}});
    return out;
}

QString runOnActivePort(const QStringList &args, int limit)
{
    // A dialog blocks the page: the rest of the job would only wait out limits.
    DialogWatch *watch = DialogWatch::current();
    if (watch && watch->seen())
        return QStringLiteral("\u2717 ") + dialogText(*watch->seen());
    const QString out = runAgentBrowserOnce(args, activeChromePort(false), limit);
    if (watch)
        watch->see(out);
    return out;
}

QJsonObject agentData(const QStringList &args)
{
    const QString out = runOnActivePort(QStringList{QStringLiteral("--json")} + args);
    const QJsonDocument document = QJsonDocument::fromJson(out.toUtf8());
    if (!document.isObject())
        return {};
    const QJsonValue data = document.object().value(QStringLiteral("data"));
    return data.isObject() ? data.toObject() : QJsonObject();
}

bool runnerRefused(const QString &output)
{
    return output == agentBusyText || output == agentMissingText || output.startsWith(agentStartFailedText);
}

bool timedOut(const QString &output)
{
    return output.contains(QLatin1String("timed out"), Qt::CaseInsensitive);
}

bool openFailed(const QString &output)
{
    if (runnerRefused(output) || timedOut(output)
        || output.contains(QLatin1String("not installed"), Qt::CaseInsensitive))
        return true;
    const QString trimmed = output.trimmed();
    return !trimmed.isEmpty() && trimmed.front() == failureMark;
}

bool actionFailed(const QString &output)
{
    return runnerRefused(output) || timedOut(output) || output.contains(failureMark)
        || output.contains(QLatin1String("is covered by"), Qt::CaseInsensitive)
        || output.contains(QLatin1String("not found"), Qt::CaseInsensitive);
}

} // namespace corvane
