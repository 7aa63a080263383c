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
#include <mutex>

namespace corvane {

namespace {

const QString localHost = QStringLiteral("127.0.0.1");
constexpr double readinessPollInterval = 0.25;

constexpr double gateStartLimit = 15.0;

std::mutex gateMutex;
QString gateProgram;

// Starts Chrome behind the gate when there is one: Chrome then has no port
// of its own, and the gate answers only the user. The gate's exit code says
// whether Chrome could be started.
std::optional<ChromeVia> startChrome(const QString &executable, const QStringList &arguments)
{
    const QString gate = chromeGateProgram();
    if (gate.isEmpty())
        return platform::launchDetached(executable, arguments) ? std::optional(ChromeVia::port) : std::nullopt;
    const std::optional<int> code
        = platform::runToExit(gate, QStringList {chromeGateCommand, executable} + arguments, gateStartLimit);
    return code == 0 ? std::optional(ChromeVia::gate) : std::nullopt;
}

enum class Start {
    fresh, // a new Chrome on the folder, behind the gate where there is one
    handOver, // Chrome already runs there: this start only hands it a window
};

// Launches Chrome on the target and logs `event` with what was started.
bool launchChrome(const QString &executable, const QString &event, const QStringList &extra, const ChromeTarget &target,
                  qint64 port, Start start = Start::fresh)
{
    const QStringList switches = chromePlatformSwitches();
    const QStringList arguments = companionChromeArgs(extra, target, port, switches);
    Fields fields {
        {QStringLiteral("dir"), target.userDataDir},
        {QStringLiteral("profile"), target.profileDirectory},
        {QStringLiteral("port"), QString::number(port)},
        {QStringLiteral("exe"), executable},
        {QStringLiteral("switches"), switches.join(QLatin1Char(' '))},
    };
    if (start == Start::handOver) {
        if (!platform::launchDetached(executable, arguments))
            return false;
    } else {
        const std::optional<ChromeVia> via = startChrome(executable, arguments);
        if (!via)
            return false;
        fields.insert(QStringLiteral("via"), *via == ChromeVia::gate ? QStringLiteral("gate") : QStringLiteral("port"));
    }
    companionLog(event, fields);
    return true;
}

std::optional<QString> stringAt(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

} // namespace

void setChromeGateProgram(const QString &program)
{
    std::lock_guard lock(gateMutex);
    gateProgram = program;
}

QString chromeGateProgram()
{
    std::lock_guard lock(gateMutex);
    return gateProgram;
}

QStringList chromePlatformSwitches()
{
    const auto flags = companionSetting(QStringLiteral("CORVANE_CHROME_FLAGS"), QStringLiteral("chromeFlags"));
    return platform::chromeLaunchSwitches(platform::hasGraphicalDisplay(), platform::runningAsRoot(),
                                          flags.value_or(QString()));
}

QStringList companionChromeArgs(const QStringList &extra, const ChromeTarget &target, qint64 port,
                                const QStringList &platformSwitches)
{
    QStringList args {
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
    // A Chrome already on the folder opens the window itself, and its port
    // (or its gate) stays as it is.
    const Start start = runningChrome(target) ? Start::handOver : Start::fresh;
    if (!launchChrome(executable, QStringLiteral("chrome.signin.window"), {QStringLiteral("--new-window")}, target,
                      port, start))
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
            companionLog(QStringLiteral("chrome.autostart.ok"),
                         {{QStringLiteral("ms"), QString::number(static_cast<qint64>(ms))}});
            return {true, chromeStartedText};
        }
        platform::sleepFor(readinessPollInterval);
    }

    companionLog(QStringLiteral("chrome.autostart.fail"),
                 {{QStringLiteral("hint"), QStringLiteral("profile in use without debug port")}});
    return {false,
            QStringLiteral("Chrome did not open the debugging port ") + QString::number(activeChromePort(false))
                + QStringLiteral(". If Chrome is already open on that profile without remote debugging, quit it and "
                                 "let Companion start it again.")};
}

} // namespace corvane
