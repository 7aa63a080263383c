#include "CompanionApp.h"

#include "LaunchAtLogin.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "chrome/ChromeTarget.h"
#include "diagnostics/JobActivity.h"
#include "driver/AgentRunner.h"
#include "driver/NeedsYouNotice.h"
#include "driver/WorkTab.h"
#include "link/ResultPosting.h"
#include "link/SocketChannel.h"

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
    hooks.runSocket = [](const CompanionLink &link, std::function<void()> ready) {
        return corvane::runSocket(link, platform::UrlSession::shared(), {}, std::move(ready));
    };
    hooks.pause = platform::sleepFor;
    hooks.now = platform::monotonicSeconds;
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
    setNeedsYouListener(nullptr);
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
                     {QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid())},
                     {QStringLiteral("chrome"), onOff(hooks_.chromeReady())},
                     {QStringLiteral("host"), host}});
    refreshMenu();
    updater_.start();
    LaunchAtLogin::enableOnFirstRun(hooks_.bundle);
    setNeedsYouListener([weak = std::weak_ptr<Anchor>(anchor_)](const QString &text) {
        if (const std::shared_ptr<Anchor> app = weak.lock())
            app->post([text](CompanionApp &companion) { companion.tellNeedsYou(text); });
    });

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
                     [this] { QMetaObject::invokeMethod(this, &CompanionApp::tick, Qt::QueuedConnection); });
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

void CompanionApp::tick()
{
    refreshMenu();
    // A loop that could not start, or ended while the link file was briefly
    // unreadable, or a link put back by hand: the loop comes back.
    if (loopGeneration_ == 0 && loadLink())
        startPolling();
}

void CompanionApp::mark(const QString &phase, const Fields &extra)
{
    phase_ = phase;
    Fields fields = extra;
    fields.insert(QStringLiteral("phase"), phase);
    // Lets `corvane-companion status` tell a running companion's word from a stale one.
    fields.insert(QStringLiteral("pid"), QString::number(QCoreApplication::applicationPid()));
    fields.insert(QStringLiteral("chrome"), onOff(hooks_.chromeReady()));
    if (const std::optional<CompanionLink> link = loadLink())
        fields.insert(QStringLiteral("host"), chatHostLabel(link->host));
    companionStatus(fields);
}

void CompanionApp::startPolling()
{
    const qint64 generation = ++pipeGen_;
    mark(phaseConnecting);
    refreshMenu();

    const std::weak_ptr<Anchor> weak = anchor_;
    const bool started = platform::runInBackground([weak, generation, hooks = hooks_, lastConnect = lastConnect_] {
        const std::shared_ptr<Anchor> strong = weak.lock();
        if (!strong)
            return;
        const std::optional<CompanionLink> link = loadLink();
        if (!link) {
            companionLog(QStringLiteral("socket.skip"), {{QStringLiteral("reason"), QStringLiteral("link-gone")}});
            strong->post([generation](CompanionApp &app) { app.loopGone(generation); });
            return;
        }
        const QString label = chatHostLabel(link->host);
        companionLog(QStringLiteral("socket.open"), {{QStringLiteral("host"), label}});
        const auto connectOnce = [&] {
            // A service that ends every connection at once gets no storm.
            const double wait = lastConnect->load() + hooks.connectGap - hooks.now();
            if (wait > 0)
                hooks.pause(wait);
            lastConnect->store(hooks.now());
            return hooks.runSocket(*link, [weak, generation, link = *link] {
                if (const std::shared_ptr<Anchor> app = weak.lock())
                    app->post([generation, link](CompanionApp &companion) { companion.connected(generation, link); });
            });
        };
        QString result = connectOnce();
        for (;;) {
            companionLog(QStringLiteral("socket.end"), {{QStringLiteral("result"), result}, {QStringLiteral("host"), label}});
            if (result != loopClosed && result != loopRefresh)
                break;
            const std::optional<CompanionLink> now = loadLink();
            if (!now || *now != *link)
                break;
            companionLog(QStringLiteral("socket.retry"), {{QStringLiteral("host"), label}, {QStringLiteral("why"), result}});
            strong->post([generation](CompanionApp &app) { app.connecting(generation); });
            if (result == loopClosed)
                hooks.pause(2.0);
            result = connectOnce();
        }
        strong->post([generation, result](CompanionApp &app) { app.endStep(generation, result); });
    });
    loopGeneration_ = started ? generation : 0;
    if (!started) {
        // The next tick tries again.
        companionLog(QStringLiteral("socket.skip"), {{QStringLiteral("reason"), QStringLiteral("no-thread")}});
        mark(QStringLiteral("socket-down"), {{QStringLiteral("reason"), QStringLiteral("thread")}});
        refreshMenu();
    }
}

void CompanionApp::connected(qint64 generation, const CompanionLink &link)
{
    // Connected to the link that is stored now, or to nothing the menu shows.
    if (generation != pipeGen_ || loadLink() != link)
        return;
    mark(QStringLiteral("idle"));
    refreshMenu();
}

void CompanionApp::connecting(qint64 generation)
{
    if (generation != pipeGen_ || phase_ == phaseConnecting)
        return;
    mark(phaseConnecting);
    refreshMenu();
}

void CompanionApp::loopGone(qint64 generation)
{
    if (generation == loopGeneration_)
        loopGeneration_ = 0;
    if (generation != pipeGen_)
        return;
    mark(QStringLiteral("off"));
    refreshMenu();
}

void CompanionApp::endStep(qint64 generation, const QString &result)
{
    if (generation == loopGeneration_)
        loopGeneration_ = 0;
    if (generation != pipeGen_)
        return;
    const bool linked = loadLink().has_value();
    if (result == loopClosed)
        mark(QStringLiteral("socket-down"), {{QStringLiteral("reason"), QStringLiteral("socket")}});
    else if (result == loopIdle)
        // The link file lost this link: nothing is connected, whatever comes next.
        mark(linked ? phaseConnecting : QStringLiteral("off"));
    else
        mark(result);
    refreshMenu();
    if (!linked)
        return;
    if (result != loopBadHost) {
        startPolling();
        return;
    }
    // Such a link fails at once every time; only a changed link file helps.
    QTimer::singleShot(milliseconds(hooks_.badHostPause), this, [this, generation] {
        if (generation == pipeGen_ && loopGeneration_ == 0 && loadLink())
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
        queueHangUp(*link);
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
    case MenuAction::ShowWorkTab:
        // A tool run: never on the main thread.
        platform::runInBackground([] { runOnActivePort({QStringLiteral("tab"), workTabLabel}, OutputReading::tabSwitch); });
        return;
    }
}

void CompanionApp::tellNeedsYou(const QString &text)
{
    if (item_)
        item_->notify(needsYouTitle, text);
}

} // namespace corvane
