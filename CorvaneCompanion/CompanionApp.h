#pragma once

// The application: start-up, the menu rebuilt whole from the system's state,
// the job loop that keeps the chat link's socket running, and the menu's
// actions. Lives on the main thread; only the loop body runs elsewhere, and
// it reaches back through the main thread's queue.

#include "diagnostics/EventLog.h"
#include "link/LinkStore.h"
#include "menu/CompanionMenu.h"
#include "server/LoopbackServer.h"

#include "CompanionUpdater.h"
#include "JobLoop.h"
#include "MenuPresenter.h"

#include "Bundle.h"
#include "MainThreadAnchor.h"

#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace corvane {

class Driver;

// The outside world as the application reaches it; tests replace parts.
struct CompanionHooks {
    JobLoop::Hooks loop;
    std::function<bool()> chromeReady;
    std::function<QString()> chromeProfileLine;
    // False when nothing could open the address.
    std::function<bool(const QUrl &)> openURL;
    platform::Bundle bundle;
    // The local server, listening already (the executable binds its port
    // first thing), with how its start went; none: the application starts
    // one on `port` itself.
    std::shared_ptr<LoopbackServer> server;
    LoopbackStart serverStart;
    quint16 port = 0;
    double menuInterval = 8.0;
    // A link whose host makes no socket address is tried again this much
    // later rather than at once and forever.
    double badHostPause = 8.0;

    // The real outside world, the job channel driving `driver`.
    static CompanionHooks standard(Driver &driver);
};

class CompanionApp : public QObject {
    Q_OBJECT
public:
    // `presenter` may be null: a headless companion without any output.
    // `driver` outlives the application.
    CompanionApp(Driver &driver, std::unique_ptr<MenuPresenter> presenter, CompanionHooks hooks);
    ~CompanionApp() override;

    void applicationDidFinishLaunching();
    void refreshMenu();
    // The 8-second refresh: the menu, and a job loop while a link is stored.
    void tick();

    void startPolling();
    // False when a link is already stored.
    bool connect(const QString &host);
    void connectProd();
    void connectLocal();
    void disconnectChat();
    void openChrome();
    void openChromeSignIn();
    void toggleLaunchAtLogin();
    void quit();

    // `agent`: whose item was chosen, for an agent's hand-back or stop.
    void perform(MenuAction action, const QString &agent = {});
    // A page waits for the person: tell them where they look.
    void tellNeedsYou(const QString &text);

    const JobLoop &jobLoop() const { return loop_; }
    LinkPhase phase() const { return phase_; }
    bool loopbackFailed() const { return loopbackFailed_; }
    const QList<MenuItem> &menu() const { return menu_; }

private:
    // The application as background threads hold it: gone once it is destroyed.
    using Anchor = platform::MainThreadAnchor<CompanionApp>;

    void mark(LinkPhase phase, const Fields &extra = {});
    // The loop's reports: a handshake completed, a connection is being
    // opened again, the loop ended (with a result, or at once without a link).
    void connected(const CompanionLink &link);
    void reconnecting();
    void loopEnded(LoopResult result);
    void loopFoundNoLink();

    std::unique_ptr<MenuPresenter> item_;
    Driver &driver_;
    std::shared_ptr<LoopbackServer> server_;
    QTimer *timer_ = nullptr;
    LinkPhase phase_ = LinkPhase::off;
    CompanionUpdater updater_;
    bool loopbackFailed_ = false;

    CompanionHooks hooks_;
    JobLoop loop_;
    std::shared_ptr<Anchor> anchor_;
    QList<MenuItem> menu_;
    std::optional<QList<AgentView>> agentsWritten_;
};

} // namespace corvane
