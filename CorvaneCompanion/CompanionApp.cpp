#include "CompanionApp.h"

#include "LaunchAtLogin.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "chrome/ChromeTarget.h"
#include "diagnostics/JobActivity.h"
#include "driver/AgentRunner.h"
#include "driver/Driver.h"
#include "driver/HandOver.h"
#include "driver/NeedsYouNotice.h"
#include "driver/WorkTab.h"
#include "link/ResultPosting.h"
#include "link/SocketChannel.h"
#include "menu/AgentsStatus.h"
#include "wire/CompanionPort.h"

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

CompanionHooks CompanionHooks::standard(Driver &driver)
{
    CompanionHooks hooks;
    hooks.loop.runSocket = [&driver](const CompanionLink &link, std::function<void()> ready, std::stop_token stop) {
        return corvane::runSocket(link, driver, platform::UrlSession::shared(), {}, std::move(ready), std::move(stop));
    };
    hooks.loop.pause = platform::sleepFor;
    hooks.loop.now = platform::monotonicSeconds;
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

CompanionApp::CompanionApp(Driver &driver, std::unique_ptr<MenuPresenter> presenter, CompanionHooks hooks)
    : item_(std::move(presenter))
    , driver_(driver)
    , server_(hooks.server)
    , hooks_(std::move(hooks))
    , loop_(hooks_.loop)
    , anchor_(Anchor::make(this))
{
    QObject::connect(&loop_, &JobLoop::connected, this, &CompanionApp::connected);
    QObject::connect(&loop_, &JobLoop::reconnecting, this, &CompanionApp::reconnecting);
    QObject::connect(&loop_, &JobLoop::ended, this, &CompanionApp::loopEnded);
    QObject::connect(&loop_, &JobLoop::linkGone, this, &CompanionApp::loopFoundNoLink);
}

CompanionApp::~CompanionApp()
{
    driver_.setNeedsYouListener(nullptr);
    driver_.setHandOverListener(nullptr);
    anchor_->release();
}

void CompanionApp::applicationDidFinishLaunching()
{
    // The presenter already shows the logo, an empty title and the tool tip.
    const std::optional<CompanionLink> link = loadLink();
    const QString host = link ? chatHostLabel(link->host) : QString();
    companionLog(QStringLiteral("app.start"),
                 {{QStringLiteral("chrome"), onOff(hooks_.chromeReady())},
                  {QStringLiteral("linked"), yesNo(link.has_value())},
                  {QStringLiteral("host"), host},
                  {QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid())},
                  {QStringLiteral("version"), companionVersion(hooks_.bundle)}});
    companionStatus({{QStringLiteral("phase"), QStringLiteral("start")},
                     {QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid())},
                     {QStringLiteral("chrome"), onOff(hooks_.chromeReady())},
                     {QStringLiteral("host"), host}});
    refreshMenu();
    updater_.start();
    LaunchAtLogin::enableOnFirstRun(hooks_.bundle);
    driver_.setNeedsYouListener([weak = std::weak_ptr<Anchor>(anchor_)](const QString &text) {
        if (const std::shared_ptr<Anchor> app = weak.lock())
            app->post([text](CompanionApp &companion) { companion.tellNeedsYou(text); });
    });
    driver_.setHandOverListener([weak = std::weak_ptr<Anchor>(anchor_)](bool waiting, const QString &reason) {
        if (const std::shared_ptr<Anchor> app = weak.lock()) {
            app->post([waiting, reason](CompanionApp &companion) {
                // The notification has no buttons of its own: it says where "done" is.
                if (waiting)
                    companion.tellNeedsYou(
                        reason
                        + QStringLiteral("\nWhen you are done, choose \u201c%1\u201d in the tray menu.")
                              .arg(handBackTitle));
                companion.refreshMenu();
            });
        }
    });

    LoopbackStart started = hooks_.serverStart;
    if (!hooks_.server) {
        server_ = std::make_shared<LoopbackServer>(driver_);
        started = server_->start(hooks_.port);
    }
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
                     [this] { QMetaObject::invokeMethod(this, &CompanionApp::tick, Qt::QueuedConnection); });
    timer_->start(milliseconds(hooks_.menuInterval));

    if (loadLink())
        startPolling();
    else
        companionLog(QStringLiteral("socket.skip"), {{QStringLiteral("reason"), QStringLiteral("no-link")}});
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
    state.handOverWaiting = driver_.handOverWaiting();
    state.agents = driver_.agents();
    // Written on the first refresh too: the file may be an earlier run's.
    if (state.agents != agentsWritten_) {
        writeAgentsStatus(state.agents);
        agentsWritten_ = state.agents;
    }

    menu_ = menuItems(state);
    if (item_) {
        item_->setTitle(menuTitle(state));
        item_->setMenu(menu_);
    }
}

void CompanionApp::tick()
{
    refreshMenu();
    // A loop that could not start, or ended while the link file was briefly
    // unreadable, or a link put back by hand: the loop comes back.
    if (!loop_.running() && loadLink())
        startPolling();
}

void CompanionApp::mark(LinkPhase phase, const Fields &extra)
{
    phase_ = phase;
    Fields fields = extra;
    fields.insert(QStringLiteral("phase"), phaseWord(phase));
    // Lets `corvane-companion status` tell a running companion's word from a stale one.
    fields.insert(QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid()));
    fields.insert(QStringLiteral("chrome"), onOff(hooks_.chromeReady()));
    if (const std::optional<CompanionLink> link = loadLink())
        fields.insert(QStringLiteral("host"), chatHostLabel(link->host));
    companionStatus(fields);
}

void CompanionApp::startPolling()
{
    mark(LinkPhase::connecting);
    refreshMenu();
    if (!loop_.start()) {
        // The next tick tries again.
        companionLog(QStringLiteral("socket.skip"), {{QStringLiteral("reason"), QStringLiteral("no-thread")}});
        mark(LinkPhase::socketDown, {{QStringLiteral("reason"), QStringLiteral("thread")}});
        refreshMenu();
    }
}

void CompanionApp::connected(const CompanionLink &link)
{
    // Connected to the link that is stored now, or to nothing the menu shows.
    if (loadLink() != link)
        return;
    mark(LinkPhase::idle);
    refreshMenu();
}

void CompanionApp::reconnecting()
{
    if (phase_ == LinkPhase::connecting)
        return;
    mark(LinkPhase::connecting);
    refreshMenu();
}

void CompanionApp::loopFoundNoLink()
{
    mark(LinkPhase::off);
    refreshMenu();
}

void CompanionApp::loopEnded(LoopResult result)
{
    const bool linked = loadLink().has_value();
    switch (result) {
    case LoopResult::closed:
        mark(LinkPhase::socketDown, {{QStringLiteral("reason"), QStringLiteral("socket")}});
        break;
    case LoopResult::idle:
        // The link file lost this link: nothing is connected, whatever comes next.
        mark(linked ? LinkPhase::connecting : LinkPhase::off);
        break;
    case LoopResult::refresh:
        mark(LinkPhase::refresh);
        break;
    case LoopResult::waiting:
        mark(LinkPhase::waiting);
        break;
    case LoopResult::badHost:
        mark(LinkPhase::badHost);
        break;
    }
    refreshMenu();
    if (!linked)
        return;
    if (result != LoopResult::badHost) {
        startPolling();
        return;
    }
    // Such a link fails at once every time; only a changed link file helps.
    QTimer::singleShot(milliseconds(hooks_.badHostPause), this, [this, generation = loop_.generation()] {
        if (generation == loop_.generation() && !loop_.running() && loadLink())
            startPolling();
    });
}

bool CompanionApp::connect(const QString &host)
{
    if (const std::optional<CompanionLink> stored = loadLink()) {
        companionLog(QStringLiteral("link.connect-blocked"),
                     {{QStringLiteral("host"), chatHostLabel(host)},
                      {QStringLiteral("linked"), chatHostLabel(stored->host)}});
        refreshMenu();
        return false;
    }
    companionLog(QStringLiteral("link.connect"), {{QStringLiteral("host"), chatHostLabel(host)}});
    const CompanionLink link {host, newLinkToken()};
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
        queueHangUp(*link);
    }
    clearLink();
    loop_.silence();
    mark(LinkPhase::off);
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
    companionLog(QStringLiteral("app.quit"), {{QStringLiteral("phase"), phaseWord(phase_)}});
    loop_.silence();
    // No new request; those in progress end as the companion does.
    if (server_)
        server_->close();
    QCoreApplication::quit();
}

void CompanionApp::perform(MenuAction action, const QString &agent)
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
    case MenuAction::HandBack:
        driver_.handBack(agent);
        return refreshMenu();
    case MenuAction::StopAgent:
        driver_.stopAgent(agent);
        return refreshMenu();
    case MenuAction::ShowWorkTab:
        // A tool run: never on the main thread.
        driver_.showWorkTabSoon();
        return;
    }
}

void CompanionApp::tellNeedsYou(const QString &text)
{
    if (item_)
        item_->notify(needsYouTitle, text);
}

} // namespace corvane
