#include "chrome/ChromeLaunch.h"

#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"

#include "ChromePlatform.h"
#include "Dispatch.h"
#include "Processes.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace corvane {

namespace {

const QString localHost = QStringLiteral("127.0.0.1");
constexpr double readinessPollInterval = 0.25;

// Launches Chrome on the target and logs `event` with what was started.
bool launchChrome(const QString &executable, const QString &event, const QStringList &extra,
                  const ChromeTarget &target, qint64 port)
{
    const QStringList switches = chromePlatformSwitches();
    if (!platform::launchDetached(executable, companionChromeArgs(extra, target, port, switches)))
        return false;
    companionLog(event, {
        {QStringLiteral("dir"), target.userDataDir},
        {QStringLiteral("profile"), target.profileDirectory},
        {QStringLiteral("port"), QString::number(port)},
        {QStringLiteral("exe"), executable},
        {QStringLiteral("switches"), switches.join(QLatin1Char(' '))},
    });
    return true;
}

std::optional<QString> stringAt(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

} // namespace

QStringList chromePlatformSwitches()
{
    const auto flags = companionSetting(QStringLiteral("CORVANE_CHROME_FLAGS"), QStringLiteral("chromeFlags"));
    return platform::chromeLaunchSwitches(platform::hasGraphicalDisplay(), platform::runningAsRoot(),
                                          flags.value_or(QString()));
}

QStringList companionChromeArgs(const QStringList &extra, const ChromeTarget &target, qint64 port,
                                const QStringList &platformSwitches)
{
    QStringList args{
        QStringLiteral("--remote-debugging-port=") + QString::number(port),
        QStringLiteral("--user-data-dir=") + target.userDataDir,
        QStringLiteral("--profile-directory=") + target.profileDirectory,
        QStringLiteral("--no-first-run"),
        QStringLiteral("--no-default-browser-check"),
    };
    return args + platformSwitches + extra;
}

QString chromeProfileSummary(const ChromeTarget &target, const std::optional<RunningChrome> &running)
{
    const QString profile = running && running->profileDirectory ? *running->profileDirectory : target.profileDirectory;

    std::optional<QString> lastUsed;
    std::optional<QString> userName;
    QFile localState(target.userDataDir + QStringLiteral("/Local State"));
    if (localState.open(QIODevice::ReadOnly)) {
        const QJsonDocument document = QJsonDocument::fromJson(localState.readAll());
        const QJsonObject profiles = document.object().value(QStringLiteral("profile")).toObject();
        lastUsed = stringAt(profiles, QStringLiteral("last_used"));
        const QJsonObject info = profiles.value(QStringLiteral("info_cache")).toObject().value(profile).toObject();
        userName = stringAt(info, QStringLiteral("user_name"));
    }

    const QString dot = QStringLiteral(" \u00B7 ");
    QString folder = QFileInfo(target.userDataDir).fileName();
    if (folder.isEmpty())
        folder = target.userDataDir; // "/" is its own last component
    QString line = QStringLiteral("Chrome: ") + folder + dot + profile;
    if (userName && !userName->isEmpty())
        line += QStringLiteral(" (") + *userName + QLatin1Char(')');
    if (running)
        line += dot + QStringLiteral("port ") + QString::number(running->port);
    if (lastUsed && !lastUsed->isEmpty() && *lastUsed != profile)
        line += dot + QStringLiteral("last used: ") + *lastUsed;
    return line;
}

QString openChromeForSignIn()
{
    const QString executable = chromeAppPath();
    if (!platform::isExecutableFile(executable))
        return chromeNotInstalledText;
    const ChromeTarget target = currentChromeTarget();
    const qint64 port = activeChromePort(true);
    if (!launchChrome(executable, QStringLiteral("chrome.signin.window"), {QStringLiteral("--new-window")}, target, port))
        return chromeDidNotStartText;
    return QStringLiteral("Opened a window on the ") + target.profileDirectory + QStringLiteral(" Chrome profile.");
}

QString openChromeForDebugging()
{
    if (chromeIsReady(localHost))
        return chromeDebuggingOnText;
    const QString executable = chromeAppPath();
    if (!platform::isExecutableFile(executable))
        return chromeNotInstalledText;
    const ChromeTarget target = currentChromeTarget();
    const qint64 port = activeChromePort(true);
    if (chromeIsReady(localHost, port))
        return chromeDebuggingOnText;
    if (!launchChrome(executable, QStringLiteral("chrome.launch"), {}, target, port))
        return chromeDidNotStartText;
    return QStringLiteral("Opening Chrome with remote debugging on port ") + QString::number(port) + QLatin1Char('.');
}

ChromeReadiness ensureChromeReady(double timeoutSeconds)
{
    if (chromeIsReady(localHost))
        return {true, chromeDebuggingOnText};

    companionLog(QStringLiteral("chrome.autostart"), {{QStringLiteral("profile"), currentChromeTarget().userDataDir}});
    const double start = platform::monotonicSeconds();
    const QString opened = openChromeForDebugging();
    if (opened == chromeNotInstalledText || opened == chromeDidNotStartText)
        return {false, opened};

    const double deadline = platform::monotonicSeconds() + timeoutSeconds;
    while (platform::monotonicSeconds() < deadline) {
        if (chromeIsReady(localHost)) {
            const double ms = std::trunc((platform::monotonicSeconds() - start) * 1000.0);
            companionLog(QStringLiteral("chrome.autostart.ok"), {{QStringLiteral("ms"), QString::number(static_cast<qint64>(ms))}});
            return {true, chromeStartedText};
        }
        platform::sleepFor(readinessPollInterval);
    }

    companionLog(QStringLiteral("chrome.autostart.fail"), {{QStringLiteral("hint"), QStringLiteral("profile in use without debug port")}});
    return {false, QStringLiteral("Chrome did not open the debugging port ") + QString::number(activeChromePort(false))
                       + QStringLiteral(". If Chrome is already open on that profile without remote debugging, quit it and let Companion start it again.")};
}

} // namespace corvane
