// The companion's entry point: a tray application where a tray exists, the
// same application without an icon otherwise, or one of the commands that
// stand in for the menu on machines without one.

#include "CompanionApp.h"
#include "CompanionCommands.h"
#include "ConsoleStatus.h"
#include "DesktopSession.h"
#include "TrayIcon.h"

#include "chrome/ChromeLaunch.h"
#include "diagnostics/EventLog.h"
#include "driver/Driver.h"
#include "gate/ChromeGate.h"
#include "wire/CompanionPort.h"

#include "BuildFacts.h"
#include "Bundle.h"
#include "Dispatch.h"
#include "InstanceLock.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int usageExit = 2;
constexpr double trayWaitSeconds = 15.0;
// Quitting waits this long at most for background threads (a result post
// takes seconds); they are all bounded well within it.
constexpr double backgroundEndLimit = 60.0;

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv, bool desktop)
{
    if (!desktop)
        return std::make_unique<QCoreApplication>(argc, argv);
    auto app = std::make_unique<QApplication>(argc, argv);
    // A tray application has no windows whose closing could end it.
    app->setQuitOnLastWindowClosed(false);
    return app;
}

bool isDesktopApplication()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr
        && QGuiApplication::platformName() != QLatin1String("offscreen");
}

} // namespace

int main(int argc, char **argv)
{
    using namespace corvane;
    // The gate must fork before anything else has started.
    if (argc > 1 && QString::fromLocal8Bit(argv[1]) == chromeGateCommand)
        return runChromeGate(argc, argv);
    platform::setMainBundleInfo({{platform::shortVersionKey, QString::fromUtf8(build::version)},
                                 {platform::feedURLKey, QString::fromUtf8(build::feedURL)},
                                 {platform::publicEDKeyKey, QString::fromUtf8(build::updatePublicKey)},
                                 {platform::quietCheckKey, build::quietCheckSeconds}});
    QStringList words;
    for (int i = 1; i < argc; ++i)
        words << QString::fromLocal8Bit(argv[i]);
    if (!words.isEmpty() && isCompanionCommand(words.first())) {
        QCoreApplication app(argc, argv);
        setChromeGateProgram(QCoreApplication::applicationFilePath());
        return runCompanionCommand(words);
    }

    std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv, prepareDesktopSession());
    setChromeGateProgram(QCoreApplication::applicationFilePath());
    QCoreApplication::setApplicationName(QStringLiteral("corvane-companion"));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(build::version));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Corvane Companion: lets the Corvane chat assistant act in your own Chrome.\n"
                       "Local programs reach the same browser actions over HTTP on 127.0.0.1:8766.\n\n"
                       "Commands:\n"
                       "  disconnect                          hang up and forget the chat link\n"
                       "  status                              the status file, the link and Chrome\n"
                       "  mcp                                 the MCP server on standard input and output\n"
                       "  defaults read|write|delete KEY [V]  the companion's settings"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headless(QStringLiteral("headless"), QStringLiteral("Run without a tray icon."));
    const QCommandLineOption connect(QStringLiteral("connect"),
                                     QStringLiteral("Link to a chat service after start-up: local or prod."),
                                     QStringLiteral("local|prod"));
    parser.addOption(headless);
    parser.addOption(connect);
    parser.process(*app);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "Unknown command: %s (see --help)\n", qPrintable(parser.positionalArguments().first()));
        return usageExit;
    }
    const QString connectTo = parser.value(connect);
    if (parser.isSet(connect) && connectTo != QLatin1String("local") && connectTo != QLatin1String("prod")) {
        std::fprintf(stderr, "--connect takes local or prod, not %s\n", qPrintable(connectTo));
        return usageExit;
    }

    // One companion per user, and its port taken at once: a second start
    // (the MCP bridge's, say) finds both even while a tray is awaited.
    if (!platform::holdInstanceLock(QStringLiteral("corvane-companion"))) {
        std::fprintf(stdout, "Corvane Companion is already running.\n");
        return 0;
    }
    Driver driver;
    const auto server = std::make_shared<LoopbackServer>(driver);
    const LoopbackStart listening = server->start(companionPort);

    std::unique_ptr<CompanionApp> companion;
    const auto begin = [&](bool tray) {
        std::unique_ptr<MenuPresenter> presenter;
        if (tray)
            presenter = std::make_unique<TrayIcon>(
                [&companion](MenuAction action, const QString &agent) { companion->perform(action, agent); });
        else
            presenter = std::make_unique<ConsoleStatus>();
        CompanionHooks hooks = CompanionHooks::standard(driver);
        hooks.server = server;
        hooks.serverStart = listening;
        hooks.openURL = [tray](const QUrl &page) {
            if (!tray) {
                std::fprintf(stdout, "Approve the link in your browser: %s\n",
                             page.toString(QUrl::FullyEncoded).toUtf8().constData());
                std::fflush(stdout);
            }
            return isDesktopApplication() && QDesktopServices::openUrl(page);
        };
        companion = std::make_unique<CompanionApp>(driver, std::move(presenter), std::move(hooks));
        platform::onTerminationSignal(companion.get(), [&companion] { companion->quit(); });

        companion->applicationDidFinishLaunching();
        if (parser.isSet(connect)) {
            const QString host = connectTo == QLatin1String("prod") ? productionChat : localChat;
            if (!companion->connect(host))
                std::fprintf(stderr, "Already linked: run `corvane-companion disconnect` first.\n");
        }
    };

    if (!isDesktopApplication() || parser.isSet(headless)) {
        begin(false);
    } else if (TrayIcon::available()) {
        begin(true);
    } else {
        // At login the tray host may come up after us: give it a moment.
        auto *wait = new QTimer(app.get());
        const double giveUp = platform::monotonicSeconds() + trayWaitSeconds;
        QObject::connect(wait, &QTimer::timeout, app.get(), [&begin, wait, giveUp] {
            const bool tray = TrayIcon::available();
            if (!tray && platform::monotonicSeconds() < giveUp)
                return;
            wait->stop();
            if (!tray)
                std::fprintf(stderr, "No system tray found: running without an icon.\n");
            begin(tray);
        });
        wait->start(250);
    }
    const int code = app->exec();
    // In order: no job starts any more and the running ones end (a waiting
    // hand-over is called off); the local connections end; the application
    // goes and stops its job channel; then every background thread ends (a
    // result post, an update being unpacked, the log writer), before the
    // network thread and the statics they use.
    driver.shutdown();
    server->stop();
    companion.reset();
    if (!platform::finishBackgroundWork(backgroundEndLimit)) {
        // Each of them is bounded; one that is not must not reach what
        // static destructors take down.
        companionLog(QStringLiteral("app.quit-late"),
                     {{QStringLiteral("limit_s"), QString::number(backgroundEndLimit)}});
        std::fflush(nullptr);
        std::quick_exit(code);
    }
    app.reset();
    return code;
}
