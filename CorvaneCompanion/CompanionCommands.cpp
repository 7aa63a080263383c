#include "CompanionCommands.h"

#include "chrome/ChromeDiscovery.h"
#include "diagnostics/EventLog.h"
#include "link/LinkStore.h"
#include "link/ResultPosting.h"
#include "menu/AgentsStatus.h"
#include "menu/CompanionMenu.h"

#include "server/McpBridge.h"

#include "Processes.h"
#include "UrlSession.h"
#include "UserDefaults.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace corvane {

namespace {

constexpr int usageExit = 2;

void say(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", text.toUtf8().constData());
}

int disconnect()
{
    const std::optional<CompanionLink> link = loadLink();
    if (!link) {
        say(stdout, QStringLiteral("Not linked."));
        return 0;
    }
    companionLog(QStringLiteral("link.disconnect"), {{QStringLiteral("host"), chatHostLabel(link->host)}});
    // Forget it first: a running companion then stops within one receive turn.
    clearLink();
    hangUp(*link, platform::UrlSession::shared());
    say(stdout, QStringLiteral("Disconnected from %1.").arg(chatHostLabel(link->host)));
    return 0;
}

// The status file is only as true as the process that wrote it is alive.
bool writerRuns(const QJsonObject &status)
{
    const std::optional<QString> program
        = platform::processProgram(status.value(QStringLiteral("pid")).toString().toLongLong());
    return program && QFileInfo(*program).fileName().startsWith(QLatin1String("corvane-companion"));
}

int status()
{
    QFile file(companionStatusURL());
    QJsonObject written;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        std::fprintf(stdout, "%s", bytes.constData());
        written = QJsonDocument::fromJson(bytes).object();
    } else {
        say(stdout, QStringLiteral("No status yet: the companion has not run (%1).").arg(file.fileName()));
    }
    const std::optional<CompanionLink> link = loadLink();
    const bool running = writerRuns(written);
    say(stdout, QStringLiteral("Link: ") + (link ? chatHostLabel(link->host) : QStringLiteral("none")));
    if (link) {
        say(stdout,
            QStringLiteral("Chat: ")
                + (running ? linkStatusLine(phaseFromWord(written.value(QStringLiteral("phase")).toString()),
                                            chatHostLabel(link->host))
                           : QStringLiteral("not connected (the companion is not running)")));
    }
    if (running) {
        const QList<AgentView> agents = readAgentsStatus().value_or(QList<AgentView>());
        say(stdout, QStringLiteral("Assistants at work: %1").arg(agents.size()));
        for (const AgentView &agent : agents)
            say(stdout, QStringLiteral("  ") + agentStatusLine(agent));
    }
    say(stdout, QStringLiteral("Chrome debugging: ") + onOff(chromeIsReady(QStringLiteral("127.0.0.1"))));
    if (const auto chrome = runningChrome(currentChromeTarget()); chrome && chrome->via == ChromeVia::port) {
        say(stdout,
            QStringLiteral("Chrome's debugging port %1 is open to every account of this machine: this Chrome "
                           "was started with a port of its own, not behind the companion's gate.")
                .arg(chrome->port));
    }
    return 0;
}

int defaults(const QStringList &arguments)
{
    const QString verb = arguments.value(1);
    const QString key = arguments.value(2);
    namespace UserDefaults = platform::UserDefaults;
    const bool shapeOk = !key.isEmpty()
        && ((verb == QLatin1String("read") && arguments.size() == 3)
            || (verb == QLatin1String("write") && arguments.size() == 4)
            || (verb == QLatin1String("delete") && arguments.size() == 3));
    if (!shapeOk) {
        say(stderr, QStringLiteral("usage: corvane-companion defaults read KEY | write KEY VALUE | delete KEY"));
        return usageExit;
    }
    if (verb == QLatin1String("read")) {
        if (!UserDefaults::contains(key)) {
            say(stderr, QStringLiteral("The key %1 is not set.").arg(key));
            return 1;
        }
        say(stdout, UserDefaults::string(key));
        return 0;
    }
    const bool written
        = verb == QLatin1String("write") ? UserDefaults::setString(key, arguments.value(3)) : UserDefaults::remove(key);
    if (!written) {
        say(stderr, QStringLiteral("Could not write %1.").arg(UserDefaults::filePath()));
        return 1;
    }
    return 0;
}

} // namespace

bool isCompanionCommand(const QString &word)
{
    return word == QLatin1String("disconnect") || word == QLatin1String("status") || word == QLatin1String("defaults")
        || word == QLatin1String("mcp");
}

int runCompanionCommand(const QStringList &arguments)
{
    const QString word = arguments.value(0);
    if (word == QLatin1String("disconnect") && arguments.size() == 1)
        return disconnect();
    if (word == QLatin1String("status") && arguments.size() == 1)
        return status();
    if (word == QLatin1String("mcp") && arguments.size() == 1)
        return runMcpBridge();
    if (word == QLatin1String("defaults"))
        return defaults(arguments);
    say(stderr, QStringLiteral("usage: corvane-companion %1 takes no arguments").arg(word));
    return usageExit;
}

} // namespace corvane
