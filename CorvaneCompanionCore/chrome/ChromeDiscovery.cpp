#include "chrome/ChromeDiscovery.h"

#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"

#include "ChromePlatform.h"
#include "Dispatch.h"
#include "PeerUser.h"
#include "Processes.h"
#include "UrlSession.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <mutex>

namespace corvane {

namespace {

constexpr double probeRequestTimeout = 1.5;
constexpr double probeWait = 2.0;
constexpr double foreignPortTellEvery = 60.0;

std::optional<qint64> wholeNumber(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^[+-]?[0-9]+$"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? std::optional(value) : std::nullopt;
}

} // namespace

const QList<qint64> &chromeKnownPorts()
{
    static const QList<qint64> ports {9222, 9223};
    return ports;
}

QList<qint64> chromeDebugPorts(const SettingReader &setting)
{
    QList<qint64> ports;
    if (const auto configured = setting(QStringLiteral("CORVANE_CHROME_PORT"), QStringLiteral("chromeDebugPort"))) {
        if (const auto port = wholeNumber(*configured); port && *port > 0)
            ports.append(*port);
    }
    QList<qint64> rest {chromeDebugPort};
    rest.append(chromeKnownPorts());
    for (const qint64 port : rest) {
        if (!ports.contains(port))
            ports.append(port);
    }
    return ports;
}

QStringList chromeCommandLines()
{
    return platform::processCommandLines();
}

std::optional<qint64> debugPortInCommandLine(const QString &line, const QString &userDataDir)
{
    return debugPortInCommandLine(line, userDataDir, chromeAppPath());
}

std::optional<qint64> debugPortInCommandLine(const QString &line, const QString &userDataDir, const QString &executable)
{
    if (!line.contains(platform::chromeCommandLinePrefix(executable)) || line.contains(QLatin1String("--type=")))
        return std::nullopt;

    const QString needle = QStringLiteral("--user-data-dir=") + userDataDir;
    const qsizetype at = line.indexOf(needle);
    if (at < 0)
        return std::nullopt;
    qsizetype after = at + needle.size();
    if (after < line.size() && line.at(after) == QLatin1Char('/'))
        ++after;
    if (after < line.size() && line.at(after) != QLatin1Char(' '))
        return std::nullopt;

    static const QRegularExpression portSwitch(QStringLiteral("--remote-debugging-port=[0-9]+"));
    const QRegularExpressionMatch match = portSwitch.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    const QString matched = match.captured();
    bool ok = false;
    const qint64 port = matched.mid(matched.lastIndexOf(QLatin1Char('=')) + 1).toLongLong(&ok, 10);
    return ok ? std::optional(port) : std::nullopt;
}

std::optional<QString> profileInCommandLine(const QString &line)
{
    static const QString option = QStringLiteral("--profile-directory=");
    const qsizetype at = line.indexOf(option);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + option.size();
    qsizetype end = line.indexOf(QLatin1String(" --"), start);
    if (end < 0)
        end = line.size();
    QString profile = line.mid(start, end - start);
    qsizetype first = 0;
    qsizetype last = profile.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (first < last && blank(profile.at(first)))
        ++first;
    while (last > first && blank(profile.at(last - 1)))
        --last;
    profile = profile.mid(first, last - first);
    if (profile.isEmpty())
        return std::nullopt;
    return profile;
}

bool gateInCommandLine(const QString &line, const QString &executable)
{
    return line.contains(QLatin1Char(' ') + chromeGateCommand + QLatin1Char(' ')
                         + platform::chromeCommandLinePrefix(executable));
}

std::optional<RunningChrome> runningChrome(const ChromeTarget &target, const std::optional<QStringList> &lines)
{
    const QStringList all = lines ? *lines : chromeCommandLines();
    const QString executable = chromeAppPath();
    for (const QString &line : all) {
        const auto port = debugPortInCommandLine(line, target.userDataDir, executable);
        if (port && chromeIsReady(QStringLiteral("127.0.0.1"), *port))
            return RunningChrome {*port, profileInCommandLine(line),
                                  gateInCommandLine(line, executable) ? ChromeVia::gate : ChromeVia::port};
    }
    return std::nullopt;
}

namespace {

// Who listens, from the port's listening sockets (none: the system would not say).
PortListener listenerOf(qint64 port, const std::optional<QList<platform::ListeningSocket>> &sockets)
{
    std::optional<QList<uint>> owners;
    if (sockets) {
        owners.emplace();
        for (const platform::ListeningSocket &socket : *sockets) {
            if (!owners->contains(socket.owner))
                owners->append(socket.owner);
        }
    }
    if (owners && owners->isEmpty())
        return PortListener::nobody;
    const uint user = platform::currentUser();
    if (owners && std::all_of(owners->begin(), owners->end(), [&](uint owner) { return owner == user; }))
        return PortListener::user;
    // Another account's, or one the system would not name: told once a minute.
    static std::mutex mutex;
    static QHash<qint64, double> toldAt;
    const double now = platform::monotonicSeconds();
    bool tell = false;
    {
        std::lock_guard lock(mutex);
        if (!toldAt.contains(port) || now - toldAt.value(port) >= foreignPortTellEvery) {
            toldAt.insert(port, now);
            tell = true;
        }
    }
    if (tell) {
        QStringList users;
        for (const uint owner : owners.value_or(QList<uint>()))
            users.append(QString::number(owner));
        companionLog(QStringLiteral("chrome.foreign-port"),
                     {{QStringLiteral("port"), QString::number(port)},
                      {QStringLiteral("uid"), users.join(QLatin1Char(','))}});
    }
    return PortListener::other;
}

std::optional<QList<platform::ListeningSocket>> socketsOn(qint64 port)
{
    if (port <= 0 || port > 65535)
        return QList<platform::ListeningSocket>();
    return platform::listeningSockets(static_cast<quint16>(port));
}

} // namespace

PortListener portListener(qint64 port)
{
    return listenerOf(port, socketsOn(port));
}

namespace {

bool chromeReady(const QString &host, std::optional<qint64> port, bool mayReuse)
{
    const qint64 chosen = port ? *port : activeChromePort(false);
    // Only a Chrome of the user's own: whatever listens for another account
    // (it may answer like a Chrome) is never talked to.
    const std::optional<QList<platform::ListeningSocket>> sockets = socketsOn(chosen);
    if (listenerOf(chosen, sockets) != PortListener::user)
        return false;
    // The very sockets that answered as a Chrome still listen: that Chrome is
    // still there, and every step is spared a request to it.
    static std::mutex answeredMutex;
    static QHash<QString, QList<platform::ListeningSocket>> answered;
    const QString key = host + QLatin1Char(':') + QString::number(chosen);
    {
        std::lock_guard lock(answeredMutex);
        if (mayReuse && answered.value(key) == *sockets)
            return true;
    }
    const QUrl url(QStringLiteral("http://") + host + QLatin1Char(':') + QString::number(chosen)
                   + QStringLiteral("/json/version"));
    if (!url.isValid() || url.port() != chosen)
        return false;

    platform::HttpRequest request;
    request.url = url;
    request.timeoutSeconds = probeRequestTimeout;
    auto answer = platform::OneShot<bool>::make();
    platform::UrlSession::shared().dataTask(request, [answer](const platform::HttpResponse &response) {
        answer->fulfil(response.isHttp && response.status == 200 && response.error.isEmpty());
    });
    const bool ready = answer->waitFor(probeWait).value_or(false);
    std::lock_guard lock(answeredMutex);
    const bool named = std::all_of(sockets->begin(), sockets->end(),
                                   [](const platform::ListeningSocket &socket) { return socket.inode != 0; });
    if (ready && named)
        answered.insert(key, *sockets);
    else
        answered.remove(key);
    return ready;
}

} // namespace

bool chromeIsReady(const QString &host, std::optional<qint64> port)
{
    return chromeReady(host, port, true);
}

bool chromeAnswersNow(const QString &host, std::optional<qint64> port)
{
    return chromeReady(host, port, false);
}

} // namespace corvane
