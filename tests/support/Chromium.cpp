#include "Chromium.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeTarget.h"

#include "Dispatch.h"
#include "Processes.h"

#include <QDir>
#include <QFile>

#include <cstdlib>

#include <csignal>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace corvane::test {

QStringList quietChromiumSwitches()
{
    QStringList switches {
        QStringLiteral("--headless=new"),
        QStringLiteral("--disable-gpu"),
        QStringLiteral("--disable-background-networking"),
        QStringLiteral("--disable-component-update"),
        QStringLiteral("--disable-sync"),
        QStringLiteral("--no-first-run"),
        QStringLiteral("--no-default-browser-check"),
        QStringLiteral("--log-level=3"), // its complaints about the missing desktop bus drown the test output
    };
    if (platform::runningAsRoot())
        switches << QStringLiteral("--no-sandbox");
    return switches;
}

Chromium::Chromium(qint64 port, QString userDataDir, QString profileDirectory)
    : port_(port)
    , userDataDir_(std::move(userDataDir))
    , profileDirectory_(std::move(profileDirectory))
{
}

Chromium::~Chromium()
{
    stop();
}

bool Chromium::start(double limitSeconds)
{
    QDir().mkpath(userDataDir_);
    QStringList args {
        QStringLiteral("--remote-debugging-port=") + QString::number(port_),
        QStringLiteral("--user-data-dir=") + userDataDir_,
        QStringLiteral("--profile-directory=") + profileDirectory_,
    };
    args << quietChromiumSwitches() << QStringLiteral("about:blank");
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start(chromeAppPath(), args);
    if (!process_.waitForStarted(10000))
        return false;
    const double deadline = platform::monotonicSeconds() + limitSeconds;
    while (platform::monotonicSeconds() < deadline) {
        if (chromeIsReady(QStringLiteral("127.0.0.1"), port_))
            return true;
        platform::sleepFor(0.1);
    }
    return false;
}

void Chromium::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void Chromium::kill()
{
    process_.kill();
    process_.waitForFinished(5000);
}

QList<pid_t> chromePidsOn(const QString &userDataDir)
{
    QList<pid_t> pids;
    const QByteArray needle = "--user-data-dir=" + QFile::encodeName(userDataDir);
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return pids;
    while (const dirent *entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (pid <= 0)
            continue;
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = file.readAll().replace('\0', ' ');
        if (line.contains(needle) && !line.contains("--type=") && !line.contains("crashpad"))
            pids.append(pid);
    }
    ::closedir(proc);
    return pids;
}

void stopChromeOn(const QString &userDataDir)
{
    for (const pid_t pid : chromePidsOn(userDataDir))
        ::kill(pid, SIGTERM);
    const double deadline = platform::monotonicSeconds() + 10.0;
    while (!chromePidsOn(userDataDir).isEmpty() && platform::monotonicSeconds() < deadline)
        platform::sleepFor(0.1);
    for (const pid_t pid : chromePidsOn(userDataDir))
        ::kill(pid, SIGKILL);
}

} // namespace corvane::test
