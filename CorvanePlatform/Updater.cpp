#include "Updater.h"

#include "Dispatch.h"
#include "UpdateInstall.h"
#include "UpdateSignature.h"
#include "UrlSession.h"
#include "VersionComparison.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace corvane::platform {

namespace {

constexpr double feedTimeoutSeconds = 30.0;
constexpr double downloadTimeoutSeconds = 900.0;
constexpr qint64 largestUpdateBytes = 512LL * 1024 * 1024;
constexpr qint64 largestFeedBytes = 4LL * 1024 * 1024;
constexpr int redirectsFollowed = 5;
constexpr int scheduledCheckMilliseconds = 24 * 60 * 60 * 1000;

// https, or plain http to this machine (local feeds for development and tests).
bool isAllowedURL(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    const QString host = url.host().toLower();
    return scheme == QLatin1String("http")
        && (host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") || host == QLatin1String("::1"));
}

// A redirect goes only where a first address could, and never from https
// back to plain http.
bool isAllowedRedirect(const QUrl &from, const QUrl &to)
{
    return isAllowedURL(to)
        && !(from.scheme().toLower() == QLatin1String("https") && to.scheme().toLower() != QLatin1String("https"));
}

QString notAllowed(const QString &what, const QUrl &url)
{
    return QStringLiteral("%1 %2 is not an https URL (plain http is only for 127.0.0.1 and localhost)")
        .arg(what, url.toString());
}

std::optional<QString> fetchFailure(const QString &what, const HttpResponse &response, double timeoutSeconds)
{
    if (response.tooLarge)
        return QStringLiteral("%1 is longer than it may be: %2").arg(what, response.error);
    if (response.timedOut)
        return QStringLiteral("%1 did not answer within %2 s").arg(what).arg(timeoutSeconds);
    if (!response.isHttp || !response.error.isEmpty())
        return QStringLiteral("%1 could not be fetched: %2").arg(what, response.error);
    if (response.status != 200)
        return QStringLiteral("%1 answered HTTP %2").arg(what).arg(response.status);
    return std::nullopt;
}

// Verifies the downloaded archive, unpacks it into the staged copy and
// checks what it says it is; the error, or empty on success. Runs off the
// main thread, except at quit.
QString verifyAndStage(const Bundle &host, const AppcastItem &item, const QString &running)
{
    QFile archive(stagedArchivePath(host));
    if (!archive.open(QIODevice::ReadOnly))
        return QStringLiteral("the download could not be read from %1").arg(archive.fileName());
    if (archive.size() != item.contentLength)
        return QStringLiteral("the download is %1 bytes, but the feed gives a length of %2")
            .arg(archive.size())
            .arg(item.contentLength);
    uchar *mapped = archive.map(0, archive.size());
    if (!mapped)
        return QStringLiteral("the download could not be read from %1").arg(archive.fileName());
    const SignatureCheck signature
        = checkEd25519Signature(QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), archive.size()),
                                item.edSignature, host.info.value(publicEDKeyKey).toString());
    archive.unmap(mapped);
    if (!signature.ok)
        return QStringLiteral("the update is not trusted: %1").arg(signature.error);
    const InstallStep staged = stageUpdate(host, archive.fileName());
    if (!staged.ok)
        return staged.error;
    // The feed only labels a release; what installs is what the signed archive holds.
    const std::optional<QString> inside = stagedVersion(host);
    if (!inside)
        return QStringLiteral("the update holds no version (%1)").arg(versionFilePath());
    if (*inside != item.displayVersionString)
        return QStringLiteral("the update holds version %1, but the feed offers it as %2")
            .arg(*inside, item.displayVersionString);
    if (compareVersions(*inside, running) <= 0)
        return QStringLiteral("the update holds version %1, which is not newer than the running %2")
            .arg(*inside, running);
    return {};
}

} // namespace

Updater::Updater(Bundle host, UpdaterDelegate *delegate, UpdateUserDriver *userDriver)
    : host_(std::move(host))
    , delegate_(delegate)
    , userDriver_(userDriver)
    , anchor_(MainThreadAnchor<Updater>::make(this))
{
}

Updater::~Updater()
{
    anchor_->release();
}

QString Updater::currentVersion() const
{
    return host_.info.value(shortVersionKey).toString();
}

QString Updater::feedURL()
{
    if (const std::optional<QString> override = delegate_->feedURLString(*this))
        return *override;
    return host_.info.value(feedURLKey).toString();
}

std::optional<QString> Updater::start()
{
    if (started_)
        return std::nullopt;
    if (!host_.isApplication)
        return QStringLiteral("%1 is not an installed copy").arg(host_.executablePath);
    const QString key = host_.info.value(publicEDKeyKey).toString();
    if (key.isEmpty())
        return QStringLiteral("this build has no public key for updates (CORVANE_UPDATE_PUBLIC_KEY)");
    if (!isEd25519PublicKey(key))
        return QStringLiteral("this build's public key for updates is not a Base64 Ed25519 key");
    const QString feed = feedURL();
    if (feed.isEmpty())
        return QStringLiteral("no feed URL is set");
    if (!isAllowedURL(QUrl(feed)))
        return notAllowed(QStringLiteral("the feed URL"), QUrl(feed));

    // Getting here means this copy started: the one it replaced can go.
    removePreviousCopy(host_);
    started_ = true;
    schedule_ = new QTimer(this);
    schedule_->setInterval(scheduledCheckMilliseconds);
    QObject::connect(schedule_, &QTimer::timeout, this, &Updater::checkForUpdatesInBackground);
    schedule_->start();
    if (QCoreApplication *app = QCoreApplication::instance()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, this, [this] { install(false); });
    }
    return std::nullopt;
}

void Updater::checkForUpdatesInBackground()
{
    beginCycle(false);
}

void Updater::checkForUpdates()
{
    beginCycle(true);
}

void Updater::beginCycle(bool userInitiated)
{
    if (!started_ || stage_ == Stage::installed)
        return;
    if (stage_ == Stage::ready) {
        if (userInitiated)
            userDriver_->showUpdateReady(*ready_);
        return;
    }
    if (stage_ != Stage::idle) {
        // The running cycle's outcome is shown to someone who asked meanwhile.
        userInitiated_ = userInitiated_ || userInitiated;
        return;
    }
    userInitiated_ = userInitiated;
    const QUrl feed(feedURL());
    if (!isAllowedURL(feed))
        return abortCycle(notAllowed(QStringLiteral("the feed URL"), feed));
    stage_ = Stage::checking;
    HttpRequest request;
    request.url = feed;
    request.headers = {{"Accept", "application/rss+xml, application/xml;q=0.9, */*;q=0.1"}};
    request.timeoutSeconds = feedTimeoutSeconds;
    request.maxBodyBytes = largestFeedBytes;
    request.maxRedirects = redirectsFollowed;
    request.redirectAllowed = isAllowedRedirect;
    UrlSession::shared().dataTask(request, [anchor = anchor_, feed](const HttpResponse &response) {
        anchor->post([feed, response](Updater &updater) { updater.feedArrived(feed, response); });
    });
}

void Updater::feedArrived(const QUrl &feed, const HttpResponse &response)
{
    if (const std::optional<QString> failure
        = fetchFailure(QStringLiteral("the feed ") + feed.toString(), response, feedTimeoutSeconds))
        return abortCycle(*failure);
    const Appcast appcast = parseAppcast(response.body, feed);
    if (!appcast.ok)
        return abortCycle(appcast.error);
    const std::optional<AppcastItem> update = bestUpdate(appcast.items, currentVersion());
    if (!update) {
        stage_ = Stage::idle;
        if (std::exchange(userInitiated_, false))
            userDriver_->showUpdateNotFound(currentVersion());
        return;
    }
    delegate_->didFindValidUpdate(*this, *update);
    download(*update);
}

void Updater::download(const AppcastItem &item)
{
    if (!isAllowedURL(item.fileURL))
        return abortCycle(notAllowed(QStringLiteral("the update"), item.fileURL));
    if (item.edSignature.isEmpty())
        return abortCycle(
            QStringLiteral("the feed gives no sparkle:edSignature for %1").arg(item.displayVersionString));
    if (item.contentLength <= 0)
        return abortCycle(QStringLiteral("the feed gives no length for %1").arg(item.displayVersionString));
    if (item.contentLength > largestUpdateBytes)
        return abortCycle(QStringLiteral("the update is %1 bytes, more than an update may be").arg(item.contentLength));
    // Before anything is downloaded or written.
    const InstallStep replaceable = checkReplaceable(host_);
    if (!replaceable.ok)
        return abortCycle(replaceable.error);
    const InstallStep archive = prepareStagedArchive(host_);
    if (!archive.ok)
        return abortCycle(archive.error);
    stage_ = Stage::downloading;
    HttpRequest request;
    request.url = item.fileURL;
    request.timeoutSeconds = downloadTimeoutSeconds;
    request.bodyFile = stagedArchivePath(host_);
    request.maxBodyBytes = item.contentLength;
    request.maxRedirects = redirectsFollowed;
    request.redirectAllowed = isAllowedRedirect;
    UrlSession::shared().dataTask(request, [anchor = anchor_, item](const HttpResponse &response) {
        anchor->post([item, response](Updater &updater) { updater.downloadArrived(item, response); });
    });
}

void Updater::downloadArrived(const AppcastItem &item, const HttpResponse &response)
{
    if (const std::optional<QString> failure
        = fetchFailure(QStringLiteral("the update ") + item.fileURL.toString(), response, downloadTimeoutSeconds))
        return abortCycle(*failure);
    stage_ = Stage::unpacking;
    const bool started = runInBackground([anchor = anchor_, host = host_, item, running = currentVersion()] {
        const QString error = verifyAndStage(host, item, running);
        anchor->post([item, error](Updater &updater) { updater.unpacked(item, error); });
    });
    if (!started)
        abortCycle(QStringLiteral("no thread could be started to unpack the update"));
}

void Updater::unpacked(const AppcastItem &item, const QString &error)
{
    if (!error.isEmpty())
        return abortCycle(error);
    stage_ = Stage::ready;
    ready_ = item;
    const bool userInitiated = std::exchange(userInitiated_, false);
    const QPointer<Updater> self(this);
    // The block is for the main thread, like every other call here.
    delegate_->willInstallUpdateOnQuit(*this, item, [self] {
        if (self)
            self->install(true);
    });
    if (userInitiated)
        userDriver_->showUpdateReady(item);
}

void Updater::abortCycle(const QString &error)
{
    if (stage_ == Stage::downloading || stage_ == Stage::unpacking || stage_ == Stage::ready
        || stage_ == Stage::installing)
        discardStagedUpdate(host_);
    stage_ = Stage::idle;
    ready_.reset();
    const bool userInitiated = std::exchange(userInitiated_, false);
    delegate_->didAbortWithError(*this, error);
    if (userInitiated)
        userDriver_->showUpdaterError(error);
}

void Updater::install(bool relaunch)
{
    if (stage_ != Stage::ready)
        return;
    // Whatever lies beside us now is checked again: the archive as signed,
    // the copy unpacked from it afresh.
    if (!relaunch) {
        // Quitting: here and now.
        return swapIn(verifyAndStage(host_, *ready_, currentVersion()), false);
    }
    stage_ = Stage::installing;
    const bool started = runInBackground([anchor = anchor_, host = host_, item = *ready_, running = currentVersion()] {
        const QString error = verifyAndStage(host, item, running);
        anchor->post([error](Updater &updater) { updater.swapIn(error, true); });
    });
    if (!started)
        abortCycle(QStringLiteral("no thread could be started to install the update"));
}

void Updater::swapIn(const QString &error, bool relaunch)
{
    if (!error.isEmpty())
        return abortCycle(error);
    const InstallStep swapped = swapInStagedUpdate(host_);
    if (!swapped.ok)
        return abortCycle(swapped.error);
    stage_ = Stage::installed;
    if (!relaunch)
        return;
    if (!relaunchAfterExit(host_, QCoreApplication::applicationPid(), QCoreApplication::arguments().mid(1))) {
        // The new copy is in place and runs from the next start.
        delegate_->didAbortWithError(*this, QStringLiteral("the update is installed but could not be started"));
        return;
    }
    QCoreApplication::quit();
}

} // namespace corvane::platform
