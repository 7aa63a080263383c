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
#include "MenuPresenter.h"

#include "Bundle.h"
#include "MainThreadAnchor.h"

#include <QObject>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane {

// The outside world as the application reaches it; tests replace parts.
struct CompanionHooks {
    // One socket connection for a link; blocks its thread. It calls `ready`
    // once its handshake has completed.
    std::function<QString(const CompanionLink &, std::function<void()> ready)> runSocket;
    std::function<void(double seconds)> pause;
    std::function<double()> now; // monotonic seconds
    std::function<bool()> chromeReady;
    std::function<QString()> chromeProfileLine;
    // False when nothing could open the address.
    std::function<bool(const QUrl &)> openURL;
    platform::Bundle bundle;
    quint16 port = 0;
    double menuInterval = 8.0;
    // A link whose host makes no socket address is tried again this much
    // later rather than at once and forever.
    double badHostPause = 8.0;
    // However connections end, a loop opens at most one a this often.
    double connectGap = 1.0;

    static CompanionHooks standard();
};

class CompanionApp : public QObject {
    Q_OBJECT
public:
    // `presenter` may be null: a headless companion without any output.
    explicit CompanionApp(std::unique_ptr<MenuPresenter> presenter, CompanionHooks hooks = CompanionHooks::standard());
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

    void perform(MenuAction action);
    // A page waits for the person: tell them where they look.
    void tellNeedsYou(const QString &text);

    qint64 pipeGen() const { return pipeGen_; }
    // The generation whose loop thread runs; 0 when none does.
    qint64 loopGeneration() const { return loopGeneration_; }
    QString phase() const { return phase_; }
    bool loopbackFailed() const { return loopbackFailed_; }
    const QList<MenuItem> &menu() const { return menu_; }

private:
    // The application as the loop threads hold it: gone once it is destroyed.
    using Anchor = platform::MainThreadAnchor<CompanionApp>;

    void mark(const QString &phase, const Fields &extra = {});
    // From the loop: a handshake completed, a connection is being opened
    // again, the loop ended (with a result, or at once without a link).
    void connected(qint64 generation, const CompanionLink &link);
    void connecting(qint64 generation);
    void endStep(qint64 generation, const QString &result);
    void loopGone(qint64 generation);
    QString statusLine(const CompanionLink &link) const;

    std::unique_ptr<MenuPresenter> item_;
    LoopbackServer server_;
    QTimer *timer_ = nullptr;
    qint64 pipeGen_ = 0;
    qint64 loopGeneration_ = 0;
    QString phase_ = QStringLiteral("off");
    CompanionUpdater updater_;
    bool loopbackFailed_ = false;

    CompanionHooks hooks_;
    std::shared_ptr<Anchor> anchor_;
    // When the last connection was opened, across generations.
    std::shared_ptr<std::atomic<double>> lastConnect_ = std::make_shared<std::atomic<double>>(-1e9);
    QList<MenuItem> menu_;
};

} // namespace corvane
