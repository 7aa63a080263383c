#pragma once

// A small self-update framework. It reads an appcast feed (Appcast.h), picks
// the newest release newer than the running one, downloads it, checks its
// length and Ed25519 signature against the public key built into the
// application, checks that the version inside is the one offered and newer
// than the running one, and then hands the delegate a block that installs it
// at once and relaunches. An update that is ready but not installed by that
// block is swapped in when the application quits. Either way the archive is
// verified and unpacked again right before the swap: what goes in is what was
// signed. Feed and archive follow at most five redirects, each to an allowed
// address; the archive is written to a private file as it arrives and cut off
// once it passes its length.
//
// Settings come from the host bundle's information keys: the feed URL (which
// the delegate may override) and the public key. Checks run once on request
// in the background, every 24 hours after start(), and when the user asks.
// Everything here runs on the main thread; network and unpacking work run
// elsewhere and report back to it.

#include "Appcast.h"
#include "Bundle.h"
#include "MainThreadAnchor.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace corvane::platform {

struct HttpResponse;
class Updater;

class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate() = default;
    // The feed to read instead of the bundle's; none keeps the bundle's.
    virtual std::optional<QString> feedURLString(Updater &) { return std::nullopt; }
    virtual void didFindValidUpdate(Updater &, const AppcastItem &) { }
    virtual void didAbortWithError(Updater &, const QString &) { }
    // The update is downloaded, verified and unpacked. Calling the block
    // installs it now and relaunches; otherwise it is installed at quit.
    virtual bool willInstallUpdateOnQuit(Updater &, const AppcastItem &, std::function<void()>) { return false; }
};

// What a person sees of checks they asked for. Background checks show nothing.
class UpdateUserDriver {
public:
    virtual ~UpdateUserDriver() = default;
    virtual void showUpdateNotFound(const QString &currentVersion) = 0;
    virtual void showUpdateReady(const AppcastItem &item) = 0;
    virtual void showUpdaterError(const QString &error) = 0;
};

class Updater : public QObject {
    Q_OBJECT
public:
    Updater(Bundle host, UpdaterDelegate *delegate, UpdateUserDriver *userDriver);
    ~Updater() override;

    // Checks the settings and starts the schedule; the reason when it cannot run.
    std::optional<QString> start();

    void checkForUpdatesInBackground();
    void checkForUpdates();

    // The host bundle's short version string.
    QString currentVersion() const;

private:
    enum class Stage { idle, checking, downloading, unpacking, ready, installing, installed };

    QString feedURL();
    void beginCycle(bool userInitiated);
    void feedArrived(const QUrl &feed, const HttpResponse &response);
    void download(const AppcastItem &item);
    void downloadArrived(const AppcastItem &item, const HttpResponse &response);
    void unpacked(const AppcastItem &item, const QString &error);
    void abortCycle(const QString &error);
    void install(bool relaunch);
    void swapIn(const QString &error, bool relaunch);

    Bundle host_;
    UpdaterDelegate *delegate_;
    UpdateUserDriver *userDriver_;
    bool started_ = false;
    Stage stage_ = Stage::idle;
    bool userInitiated_ = false;
    std::optional<AppcastItem> ready_;
    QTimer *schedule_ = nullptr;
    std::shared_ptr<MainThreadAnchor<Updater>> anchor_;
};

} // namespace corvane::platform
