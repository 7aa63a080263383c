#pragma once

// Finding the Chrome that runs on the companion's user-data folder, its
// debugging port, the candidate ports, and the readiness probe.

#include "chrome/ChromeTarget.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

// The word that makes the companion's executable the gate in front of its
// own Chrome; the gate's command line carries Chrome's after it.
inline const QString chromeGateCommand = QStringLiteral("chrome-gate");

// How a Chrome's debugging protocol is reached: through the companion's gate,
// which answers only the user, or on a port of Chrome's own, which answers
// every account of the machine.
enum class ChromeVia { port, gate };

struct RunningChrome {
    qint64 port = 0;
    std::optional<QString> profileDirectory;
    ChromeVia via = ChromeVia::port;

    friend bool operator==(const RunningChrome &, const RunningChrome &) = default;
};

const QList<qint64> &chromeKnownPorts();

// The configured port (when it is a whole number above 0), then 9222 and
// 9223, each once.
QList<qint64> chromeDebugPorts(const SettingReader &setting = companionSetting);

QStringList chromeCommandLines();

// The debugging port of a main Chrome process on exactly `userDataDir`.
std::optional<qint64> debugPortInCommandLine(const QString &line, const QString &userDataDir);
std::optional<qint64> debugPortInCommandLine(const QString &line, const QString &userDataDir,
                                             const QString &executable);

std::optional<QString> profileInCommandLine(const QString &line);
// Whether the line is the companion's gate in front of a Chrome.
bool gateInCommandLine(const QString &line, const QString &executable);

std::optional<RunningChrome> runningChrome(const ChromeTarget &target,
                                           const std::optional<QStringList> &lines = std::nullopt);

// Who listens on a port of this machine. Any account may listen on any free
// port: a debugging endpoint is only the user's own Chrome when the user's
// own socket listens there.
enum class PortListener { nobody, user, other };
// "chrome.foreign-port" is logged (once a minute a port) for another's.
PortListener portListener(qint64 port);

// True when the port's listener is the user's own and "/json/version"
// answers 200 within 2 seconds, or answered so through the very sockets that
// still listen there. Without a port, the port of activeChromePort(false).
bool chromeIsReady(const QString &host, std::optional<qint64> port = std::nullopt);
// As chromeIsReady, but Chrome is always asked: for when it may have stopped
// answering.
bool chromeAnswersNow(const QString &host, std::optional<qint64> port = std::nullopt);

} // namespace corvane
