// The companion's entry point. For now it serves the browser actions to local
// programs on 127.0.0.1:8766 until it is stopped.

#include "DriverResult.h"
#include "EventLog.h"
#include "LoopbackServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-companion"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Corvane Companion: lets the Corvane chat assistant act in your own Chrome.\n"
        "Local programs reach the same browser actions over HTTP on 127.0.0.1:8766."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("headless"), QStringLiteral("Run without a tray icon.")});
    parser.process(app);

    using namespace corvane;
    LoopbackServer server;
    const LoopbackStart started = server.start(companionPort);
    if (!started.ok) {
        companionLog(QStringLiteral("loopback.fail"), {{QStringLiteral("error"), started.error}});
        std::fprintf(stderr, "Companion could not start its local server: %s\n", qPrintable(started.error));
        return 1;
    }
    companionLog(QStringLiteral("loopback.listen"), {{QStringLiteral("port"), QString::number(companionPort)}});
    return app.exec();
}
