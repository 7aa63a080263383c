#include "CompanionApp.h"

#include "LaunchAtLogin.h"

#include "ChromeDiscovery.h"
#include "ChromeLaunch.h"
#include "ChromeTarget.h"
#include "JobActivity.h"
#include "ResultPosting.h"
#include "SocketChannel.h"

#include "Dispatch.h"
#include "UrlSession.h"

#include <QCoreApplication>

namespace corvane {

namespace {

const QString loopbackHost = QStringLiteral("127.0.0.1");

int milliseconds(double seconds)
{
    return int(seconds * 1000.0);
}

} // namespace

CompanionHooks CompanionHooks::standard()
{
    CompanionHooks hooks;
    hooks.runSocket = [](const CompanionLink &link) { return corvane::runSocket(link, platform::UrlSession::shared()); };
    hooks.pause = platform::sleepFor;
    hooks.chromeReady = [] { return chromeIsReady(loopbackHost); };
    hooks.chromeProfileLine = [] {
        const ChromeTarget target = currentChromeTarget();
        return chromeProfileSummary(target, runningChrome(target));
    };
    hooks.openURL = [](const QUrl &) { return false; };
    hooks.bundle = platform::mainBundle();
    hooks.port = companionPort;
    return hooks;
}

CompanionApp::CompanionApp(std::unique_ptr<MenuPresenter> presenter, CompanionHooks hooks)
    : item_(std::move(presenter))
    , hooks_(std::move(hooks))
    , anchor_(Anchor::make(this))
{
}

CompanionApp::~CompanionApp()
{
    anchor_->release();
}

void CompanionApp::applicationDidFinishLaunching()
{
    // The presenter already shows the logo, an empty title and the tool tip.
    const std::optional<CompanionLink> link = loadLink();
    const QString host = link ? chatHostLabel(link->host) : QString();
    companionLog(QStringLiteral("app.start"), {{QStringLiteral("chrome"), onOff(hooks_.chromeReady())},
                                               {QStringLiteral("linked"), yesNo(link.has_value())},
                                               {QStringLiteral("host"), host},
                                               {QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid())},
                                               {QStringLiteral("version"), companionVersion(hooks_.bundle)}});
    companionStatus({{QStringLiteral("phase"), QStringLiteral("start")},
                     {QStringLiteral("chrome"), onOff(hooks_.chromeReady())},
                     {QStringLiteral("host"), host}});
    refreshMenu();
    updater_.start();
    LaunchAtLogin::enableOnFirstRun(hooks_.bundle);

    const LoopbackStart started = server_.start(hooks_.port);
    if (!started.ok) {
        loopbackFailed_ = true;
        if (item_)
            item_->setTitle(menuBarErrorTitle);
        companionLog(QStringLiteral("loopback.fail"), {{QStringLiteral("error"), started.error}});
    } else {
        companionLog(QStringLiteral("loopback.listen"), {{QStringLiteral("port"), QString::number(hooks_.port)}});
    }

    delete timer_;
    timer_ = new QTimer(this);
    // Posted rather than called, so a refresh never runs inside a timer's
    // own dispatch.
    QObject::connect(timer_, &QTimer::timeout, this,
                     [this] { QMetaObject::invokeMethod(this, &CompanionApp::refreshMenu, Qt::QueuedConnection); });
    timer_->start(milliseconds(hooks_.menuInterval));

    if (loadLink())
        startPolling();
    else
        companionLog(QStringLiteral("socket.skip"), {{QStringLiteral("reason"), QStringLiteral("no-link")}});
}

QString CompanionApp::statusLine(const CompanionLink &link) const
{
    return linkStatusLine(phase_, chatHostLabel(link.host));
}

void CompanionApp::refreshMenu()
{
    MenuState state;
    state.chrome = hooks_.chromeReady();
    const std::optional<CompanionLink> link = loadLink();
    if (link)
        state.linkHostLabel = chatHostLabel(link->host);
    state.phase = phase_;
    state.loopbackFailed = loopbackFailed_;
    state.chromeProfileLine = hooks_.chromeProfileLine();
    state.isApplication = hooks_.bundle.isApplication;
    state.launchAtLoginOn = LaunchAtLogin::isOn(hooks_.bundle);
    state.updatesRunning = updater_.controller() != nullptr;
    state.version = companionVersion(hooks_.bundle);

    menu_ = menuItems(state);
    if (item_) {
        item_->setTitle(menuTitle(state));
        item_->setMenu(menu_);
    }
}

void CompanionApp::mark(const QString &phase, const Fields &extra)
{
    phase_ = phase;
    Fields fields = extra;
    fields.insert(QStringLiteral("phase"), phase);
    fields.insert(QStringLiteral("chrome"), onOff(hooks_.chromeReady()));
    if (const std::optional<CompanionLink> link = loadLink())
        fields.insert(QStringLiteral("host"), chatHostLabel(link->host));
    companionStatus(fields);
}

void CompanionApp::startPolling()
{
    const qint64 generation = ++pipeGen_;
    mark(QStringLiteral("idle"));
    refreshMenu();

    const std::weak_ptr<Anchor> weak = anchor_;
    platform::runInBackground([weak, generation, runSocket = hooks_.runSocket, pause = hooks_.pause] {
        const std::shared_ptr<Anchor> strong = weak.lock();
        if (!strong)
            return;
        const std::optional<CompanionLink> link = loadLink();
        if (!link) {
            companionLog(QStringLiteral("socket.skip"), {{QStringLiteral("reason"), QStringLiteral("link-gone")}});
            return;
        }
        const QString label = chatHostLabel(link->host);
        companionLog(QStringLiteral("socket.open"), {{QStringLiteral("host"), label}});
        QString result = runSocket(*link);
        for (;;) {
            companionLog(QStringLiteral("socket.end"), {{QStringLiteral("result"), result}, {QStringLiteral("host"), label}});
            if (result != loopClosed && result != loopRefresh)
                break;
            const std::optional<CompanionLink> now = loadLink();
            if (!now || *now != *link)
                break;
            companionLog(QStringLiteral("socket.retry"), {{QStringLiteral("host"), label}, {QStringLiteral("why"), result}});
            if (result == loopClosed)
                pause(2.0);
            result = runSocket(*link);
        }
        strong->post([generation, result](CompanionApp &app) { app.endStep(generation, result); });
    });
}

void CompanionApp::endStep(qint64 generation, const QString &result)
{
    if (generation != pipeGen_)
        return;
    if (result == loopClosed)
        mark(QStringLiteral("socket-down"), {{QStringLiteral("reason"), QStringLiteral("socket")}});
    else
        mark(result);
    refreshMenu();
    if (!loadLink())
        return;
    if (result != loopBadHost) {
        startPolling();
        return;
    }
    // Such a link fails at once every time; only a changed link file helps.
    QTimer::singleShot(milliseconds(hooks_.badHostPause), this, [this, generation] {
        if (generation == pipeGen_ && loadLink())
            startPolling();
    });
}

bool CompanionApp::connect(const QString &host)
{
    if (const std::optional<CompanionLink> stored = loadLink()) {
        companionLog(QStringLiteral("link.connect-blocked"),
                     {{QStringLiteral("host"), chatHostLabel(host)}, {QStringLiteral("linked"), chatHostLabel(stored->host)}});
        refreshMenu();
        return false;
    }
    companionLog(QStringLiteral("link.connect"), {{QStringLiteral("host"), chatHostLabel(host)}});
    const CompanionLink link{host, newLinkToken()};
    saveLink(link);
    if (const std::optional<QUrl> page = link.connectURL())
        hooks_.openURL(*page);
    startPolling();
    refreshMenu();
    return true;
}

void CompanionApp::connectProd()
{
    connect(productionChat);
}

void CompanionApp::connectLocal()
{
    connect(localChat);
}

void CompanionApp::disconnectChat()
{
    if (const std::optional<CompanionLink> link = loadLink()) {
        companionLog(QStringLiteral("link.disconnect"), {{QStringLiteral("host"), chatHostLabel(link->host)}});
        platform::runInBackground([link = *link] { hangUp(link, platform::UrlSession::shared()); });
    }
    clearLink();
    ++pipeGen_;
    mark(QStringLiteral("off"));
    refreshMenu();
}

void CompanionApp::openChrome()
{
    openChromeForDebugging();
    refreshMenu();
}

void CompanionApp::openChromeSignIn()
{
    openChromeForSignIn();
    refreshMenu();
}

void CompanionApp::toggleLaunchAtLogin()
{
    LaunchAtLogin::set(!LaunchAtLogin::isOn(hooks_.bundle), hooks_.bundle);
    refreshMenu();
}

void CompanionApp::quit()
{
    companionLog(QStringLiteral("app.quit"), {{QStringLiteral("phase"), phase_}});
    ++pipeGen_;
    server_.stop();
    QCoreApplication::quit();
}

void CompanionApp::perform(MenuAction action)
{
    switch (action) {
    case MenuAction::None:
        return;
    case MenuAction::OpenChrome:
        return openChrome();
    case MenuAction::OpenChromeSignIn:
        return openChromeSignIn();
    case MenuAction::DisconnectChat:
        return disconnectChat();
    case MenuAction::ConnectProd:
        return connectProd();
    case MenuAction::ConnectLocal:
        return connectLocal();
    case MenuAction::ToggleLaunchAtLogin:
        return toggleLaunchAtLogin();
    case MenuAction::CheckForUpdates:
        return updater_.checkNow();
    case MenuAction::Quit:
        return quit();
    }
}

} // namespace corvane
