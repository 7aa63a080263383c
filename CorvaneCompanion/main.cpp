// The companion's entry point. For now it serves the browser actions to local
// programs on 127.0.0.1:8766 and, while a link is stored, takes jobs from the
// chat service, until it is stopped.

#include "DriverResult.h"
#include "EventLog.h"
#include "LinkStore.h"
#include "LoopbackServer.h"
#include "SocketChannel.h"

#include "Dispatch.h"
#include "UrlSession.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

// One connection after another while a link is stored: again after 2 s when
// it closed, at once after anything else. Without a link, or with a host
// that makes no socket address, the link file is read again every 8 s.
[[noreturn]] void keepChannelOpen()
{
    using namespace corvane;
    for (;;) {
        const std::optional<CompanionLink> link = loadLink();
        if (!link) {
            platform::sleepFor(8.0);
            continue;
        }
        const QString result = runSocket(*link, platform::UrlSession::shared());
        if (result == loopClosed)
            platform::sleepFor(2.0);
        else if (result == loopBadHost)
            platform::sleepFor(8.0);
    }
}

} // namespace

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
    platform::runInBackground(keepChannelOpen);
    return app.exec();
}
