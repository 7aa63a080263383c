#include "FakeAgentBrowser.h"

#include "TempHome.h"

#include "Processes.h"
#include "UserPaths.h"

#include <QDir>
#include <QFile>

#include <csignal>

namespace corvane::test {

namespace {

QString toolPath()
{
    return platform::homeDir() + QStringLiteral("/.local/bin/agent-browser");
}

QString runsPath()
{
    return platform::homeDir() + QStringLiteral("/agent-browser-runs.txt");
}

} // namespace

void installFakeAgentBrowser(const QString &body)
{
    QDir().mkpath(platform::homeDir() + QStringLiteral("/.local/bin"));
    QFile::remove(toolPath());
    QFile::remove(runsPath());
    const QString script = QStringLiteral("#!/bin/sh\necho \"$*\" >> '") + runsPath() + QStringLiteral("'\n") + body
        + QLatin1Char('\n');
    writeFile(toolPath(), script.toUtf8());
    QFile::setPermissions(toolPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList fakeAgentBrowserRuns(bool withRunnerOptions)
{
    QStringList runs = QString::fromUtf8(readFile(runsPath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!withRunnerOptions) {
        for (QString &run : runs)
            run = run.section(QLatin1Char(' '), 4);
    }
    return runs;
}

bool linkRealAgentBrowser()
{
    const QString real = QStringLiteral(CORVANE_TEST_AGENT_BROWSER);
    if (!platform::isExecutableFile(real))
        return false;
    QDir().mkpath(platform::homeDir() + QStringLiteral("/.local/bin"));
    QFile::remove(toolPath());
    return QFile::link(real, toolPath());
}

void stopAgentBrowserSessions()
{
    // The tool keeps its session state under $XDG_RUNTIME_DIR when that is
    // set, else under $HOME.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    for (const QString &folder : {runtime + QStringLiteral("/agent-browser"), platform::homeDir() + QStringLiteral("/.agent-browser")}) {
        const QDir sessions(folder);
        const QStringList pidFiles = sessions.entryList({QStringLiteral("*.pid")}, QDir::Files);
        for (const QString &name : pidFiles) {
            bool ok = false;
            const int pid = QString::fromUtf8(readFile(sessions.filePath(name))).trimmed().toInt(&ok);
            if (ok && pid > 0)
                ::kill(pid, SIGTERM);
        }
    }
}

} // namespace corvane::test
