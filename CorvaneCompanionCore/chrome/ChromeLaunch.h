#pragma once

// Starting Chrome on the companion's target with remote debugging, waiting for
// its port, the sign-in window and the menu's profile line.

#include "chrome/ChromeDiscovery.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

inline const QString chromeNotInstalledText = QStringLiteral("Google Chrome is not installed.");
inline const QString chromeDidNotStartText = QStringLiteral("Chrome did not start.");
inline const QString chromeDebuggingOnText = QStringLiteral("Chrome debugging is on.");
inline const QString chromeStartedText = QStringLiteral("Started Chrome with remote debugging.");

// The program that runs the gate in front of the Chrome the companion
// starts (the companion's own executable, given `chromeGateCommand`). Unset,
// Chrome is started with its debugging port open to every account.
void setChromeGateProgram(const QString &program);
QString chromeGateProgram();

// The switches this platform adds after the five fixed ones, from the
// display, the user we run as and the "CORVANE_CHROME_FLAGS" setting.
QStringList chromePlatformSwitches();

QStringList companionChromeArgs(const QStringList &extra, const ChromeTarget &target, qint64 port,
                                const QStringList &platformSwitches = chromePlatformSwitches());

QString chromeProfileSummary(const ChromeTarget &target, const std::optional<RunningChrome> &running);

QString openChromeForSignIn();
QString openChromeForDebugging();

struct ChromeReadiness {
    bool ready = false;
    QString text;
};

ChromeReadiness ensureChromeReady(double timeoutSeconds);

} // namespace corvane
