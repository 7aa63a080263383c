// Until the tray application exists, the executable reports what the
// foundation already knows: which Chrome it would drive and whether that
// Chrome answers on its debugging port.

#include "ChromeDiscovery.h"
#include "ChromeLaunch.h"
#include "PortCache.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    using namespace corvane;

    const ChromeTarget target = currentChromeTarget();
    const auto running = runningChrome(target);
    const qint64 port = activeChromePort(false);
    const bool ready = chromeIsReady(QStringLiteral("127.0.0.1"), port);

    std::printf("Corvane Companion %s\n", CORVANE_VERSION);
    std::printf("Only the foundation is built so far: the tray, the local HTTP server and the chat link are not.\n");
    std::printf("%s\n", qPrintable(chromeProfileSummary(target, running)));
    std::printf("Chrome executable: %s\n", qPrintable(chromeAppPath()));
    std::printf("Chrome debugging is %s (port %lld).\n", ready ? "on" : "off", static_cast<long long>(port));
    return 0;
}
