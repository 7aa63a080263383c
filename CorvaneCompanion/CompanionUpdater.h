#pragma once

// Keeps the companion up to date through the update framework, and holds a
// ready update back until the browser has been quiet for ten minutes, so an
// install never cuts into the user's work.

#include "StandardUpdaterController.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace corvane {

// What the updater takes from the outside world; tests replace parts.
struct UpdaterHooks {
    platform::Bundle bundle;
    std::function<QDateTime()> now;
    std::chrono::milliseconds quietCheckInterval {std::chrono::seconds(60)};
    std::function<std::unique_ptr<platform::UpdateUserDriver>()> userDriver;

    static UpdaterHooks standard();
};

class CompanionUpdater : public QObject, public platform::UpdaterDelegate {
    Q_OBJECT
public:
    explicit CompanionUpdater(UpdaterHooks hooks = UpdaterHooks::standard());
    ~CompanionUpdater() override;

    void start();
    void checkNow();
    // Present only while updates run.
    platform::StandardUpdaterController *controller() const { return controller_.get(); }

    // Called by the framework, on the main thread.
    std::optional<QString> feedURLString(platform::Updater &updater) override;
    void didFindValidUpdate(platform::Updater &updater, const platform::AppcastItem &item) override;
    void didAbortWithError(platform::Updater &updater, const QString &error) override;
    bool willInstallUpdateOnQuit(platform::Updater &updater, const platform::AppcastItem &item,
                                 std::function<void()> immediateInstallation) override;

private:
    std::optional<QString> appcastOverride() const;
    void waitForQuiet();
    void quietTick();

    UpdaterHooks hooks_;
    std::unique_ptr<platform::StandardUpdaterController> controller_;
    std::function<void()> pendingInstall_; // empty: none
    QPointer<QTimer> waitTimer_;
};

} // namespace corvane
