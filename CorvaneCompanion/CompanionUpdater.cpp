#include "CompanionUpdater.h"

#include "diagnostics/EventLog.h"
#include "diagnostics/JobActivity.h"

#include "UpdateDialogs.h"

#include "UserDefaults.h"

#include <QTimer>

#include <utility>

namespace corvane {

namespace {

const QString appcastURLKey = QStringLiteral("companionAppcastURL");
constexpr double quietSeconds = 600.0;

} // namespace

UpdaterHooks UpdaterHooks::standard()
{
    UpdaterHooks hooks;
    hooks.bundle = platform::mainBundle();
    if (const int seconds = hooks.bundle.info.value(platform::quietCheckKey).toInt(); seconds > 0)
        hooks.quietCheckInterval = std::chrono::seconds(seconds);
    hooks.now = [] { return QDateTime::currentDateTimeUtc(); };
    hooks.userDriver = [] { return std::make_unique<UpdateDialogs>(); };
    return hooks;
}

CompanionUpdater::CompanionUpdater(UpdaterHooks hooks)
    : hooks_(std::move(hooks))
{
}

CompanionUpdater::~CompanionUpdater() = default;

void CompanionUpdater::start()
{
    const platform::Bundle &bundle = hooks_.bundle;
    const QVariant feedValue = bundle.info.value(platform::feedURLKey);
    const QString feedURL = feedValue.typeId() == QMetaType::QString ? feedValue.toString() : QString();
    if (bundle.fromPackage) {
        // The system's package manager updates a packaged copy; replacing
        // files under /usr behind its back would corrupt its records.
        companionLog(QStringLiteral("update.off"),
                     {{QStringLiteral("reason"), QStringLiteral("package")},
                      {QStringLiteral("version"), companionVersion(bundle)}});
        return;
    }
    const Fields off {{QStringLiteral("reason"), QStringLiteral("not-a-bundle")},
                      {QStringLiteral("version"), companionVersion(bundle)}};
    if (!bundle.isApplication || (feedURL.isEmpty() && !appcastOverride())) {
        companionLog(QStringLiteral("update.off"), off);
        return;
    }
    controller_ = std::make_unique<platform::StandardUpdaterController>(this, hooks_.userDriver(), bundle);
    if (const std::optional<QString> error = controller_->updater().start()) {
        companionLog(QStringLiteral("update.fail"), {{QStringLiteral("error"), *error}});
        controller_.reset();
        return;
    }
    companionLog(QStringLiteral("update.start"), {{QStringLiteral("version"), companionVersion(bundle)}});
    controller_->updater().checkForUpdatesInBackground();
}

void CompanionUpdater::checkNow()
{
    if (controller_)
        controller_->checkForUpdates();
}

std::optional<QString> CompanionUpdater::appcastOverride() const
{
    const QString url = platform::UserDefaults::string(appcastURLKey);
    if (url.isEmpty())
        return std::nullopt;
    return url;
}

std::optional<QString> CompanionUpdater::feedURLString(platform::Updater &)
{
    return appcastOverride();
}

void CompanionUpdater::didFindValidUpdate(platform::Updater &, const platform::AppcastItem &item)
{
    companionLog(QStringLiteral("update.found"), {{QStringLiteral("version"), item.displayVersionString}});
}

void CompanionUpdater::didAbortWithError(platform::Updater &, const QString &error)
{
    companionLog(QStringLiteral("update.abort"), {{QStringLiteral("error"), error}});
}

bool CompanionUpdater::willInstallUpdateOnQuit(platform::Updater &, const platform::AppcastItem &item,
                                               std::function<void()> immediateInstallation)
{
    companionLog(QStringLiteral("update.ready"), {{QStringLiteral("version"), item.displayVersionString}});
    pendingInstall_ = std::move(immediateInstallation);
    waitForQuiet();
    return true;
}

void CompanionUpdater::waitForQuiet()
{
    if (waitTimer_) {
        waitTimer_->stop();
        waitTimer_->deleteLater();
    }
    // Owned by this object, so a tick never outlives it.
    waitTimer_ = new QTimer(this);
    waitTimer_->setInterval(hooks_.quietCheckInterval);
    QObject::connect(waitTimer_, &QTimer::timeout, this, &CompanionUpdater::quietTick);
    waitTimer_->start();
}

void CompanionUpdater::quietTick()
{
    if (!pendingInstall_ || !browserIsQuiet(quietSeconds, hooks_.now()))
        return;
    if (waitTimer_) {
        waitTimer_->stop();
        waitTimer_->deleteLater();
    }
    const std::function<void()> install = std::exchange(pendingInstall_, {});
    companionLog(QStringLiteral("update.install"), {{QStringLiteral("when"), QStringLiteral("idle")}});
    install();
}

} // namespace corvane
