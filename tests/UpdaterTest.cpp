// The updater in this process against feeds served from 127.0.0.1: what it
// finds, what it refuses, what it leaves alone, and the quiet rule that holds
// a ready update back, with a clock the test moves.

#include "CompanionUpdater.h"

#include "diagnostics/JobActivity.h"

#include "Bundle.h"
#include "UpdateInstall.h"
#include "UserDefaults.h"

#include "EventChecks.h"
#include "Eventually.h"
#include "TempHome.h"
#include "TestHttpServer.h"
#include "UpdateRelease.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <mutex>

using namespace corvane;
using test::eventuallyHandlingEvents;

namespace {

const QString appcastURLKey = QStringLiteral("companionAppcastURL");
const QString runningVersion = QStringLiteral("0.1.0");
const QByteArray installedScript = "#!/bin/sh\necho stand-in\n";

struct Shown {
    QStringList lines;
};

QByteArray redirectTo(const QByteArray &url)
{
    return "HTTP/1.1 302 Found\r\nLocation: " + url + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// Records what a person would have seen.
class RecordingDriver : public platform::UpdateUserDriver {
public:
    explicit RecordingDriver(std::shared_ptr<Shown> shown)
        : shown_(std::move(shown))
    {
    }
    void showUpdateNotFound(const QString &version) override
    {
        shown_->lines << QStringLiteral("up to date ") + version;
    }
    void showUpdateReady(const platform::AppcastItem &item) override
    {
        shown_->lines << QStringLiteral("ready ") + item.displayVersionString;
    }
    void showUpdaterError(const QString &error) override { shown_->lines << QStringLiteral("error ") + error; }

private:
    std::shared_ptr<Shown> shown_;
};

// An installed copy in a temporary prefix, a signing key, a newer release of
// it and a server that offers whatever the test puts in `replies`.
class UpdateStage {
public:
    UpdateStage()
        : prefix_(work_.path() + QStringLiteral("/opt/corvane-companion"))
        , key_(test::SigningKey::make(work_.path()))
        , server_([this](const QByteArray &path) {
            std::lock_guard lock(mutex_);
            ++requests_;
            return replies_.value(path, test::httpReply("404 Not Found", "text/plain", "no such file"));
        })
    {
        executable_ = test::makeInstalledLayout(prefix_);
        release_ = pack(QStringLiteral("0.2.0"));
    }

    // A release whose version file says `version` (none when empty), signed
    // with the key the installed copy trusts.
    test::SignedArchive pack(const QString &version, const QString &name = QStringLiteral("next")) const
    {
        const QString folder = work_.path() + QLatin1Char('/') + name;
        test::makeInstalledLayout(folder, {}, version);
        test::writeFile(folder + QStringLiteral("/bin/corvane-companion"), "#!/bin/sh\necho 0.2.0\n");
        return test::packRelease(folder, work_.path() + QLatin1Char('/') + name + QStringLiteral(".tar.gz"), key_);
    }

    QString feedURL() const { return QString::fromUtf8(server_.url("/appcast.xml")); }
    QString archiveURL() const { return QString::fromUtf8(server_.url("/next.tar.gz")); }
    const test::SignedArchive &release() const { return release_; }
    const QString &prefix() const { return prefix_; }
    QString workPath() const { return work_.path(); }

    test::FeedItem item(const QString &version = QStringLiteral("0.2.0")) const
    {
        return {version, archiveURL(), release_.length, release_.signature};
    }
    void serve(const QByteArray &path, const QByteArray &reply)
    {
        std::lock_guard lock(mutex_);
        replies_[path] = reply;
    }
    void serveFeed(const QList<test::FeedItem> &items)
    {
        serve("/appcast.xml", test::httpReply("200 OK", "application/rss+xml", test::appcastFeed(items)));
    }
    void serveRelease(const QByteArray &bytes)
    {
        serve("/next.tar.gz", test::httpReply("200 OK", "application/gzip", bytes));
    }
    int requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    platform::Bundle bundle() const
    {
        platform::Bundle bundle = platform::bundleForExecutable(executable_);
        bundle.info = {{platform::shortVersionKey, runningVersion}, {platform::publicEDKeyKey, key_.publicKey}};
        return bundle;
    }
    UpdaterHooks hooks(std::shared_ptr<Shown> shown = std::make_shared<Shown>()) const
    {
        UpdaterHooks hooks = UpdaterHooks::standard();
        hooks.bundle = bundle();
        hooks.userDriver = [shown] { return std::make_unique<RecordingDriver>(shown); };
        return hooks;
    }

    // The installed copy is exactly as it was laid out, and nothing is beside it.
    void expectUntouched() const
    {
        EXPECT_EQ(test::readFile(executable_), installedScript);
        const platform::Bundle installed = bundle();
        EXPECT_FALSE(QFileInfo::exists(platform::stagedCopyPath(installed)));
        EXPECT_FALSE(QFileInfo::exists(platform::stagedArchivePath(installed)));
        EXPECT_FALSE(QFileInfo::exists(platform::previousCopyPath(installed)));
    }

private:
    QTemporaryDir work_;
    QString prefix_;
    QString executable_;
    test::SigningKey key_;
    test::SignedArchive release_;
    mutable std::mutex mutex_;
    QMap<QByteArray, QByteArray> replies_;
    int requests_ = 0;
    test::TestHttpServer server_;
};

QStringList updateEvents(const test::TempHome &home)
{
    QStringList names;
    for (const test::LoggedEvent &event : home.logged()) {
        if (event.name.startsWith(QLatin1String("update.")))
            names << event.name;
    }
    return names;
}

TEST(Updater, FindsVerifiesAndUnpacksANewerReleaseWithoutInstallingIt)
{
    test::TempHome home;
    UpdateStage stage;
    stage.serveFeed({stage.item(QStringLiteral("0.1.5")), stage.item(), stage.item(QStringLiteral("0.0.9"))});
    stage.serveRelease(stage.release().bytes);
    // Only the user default names the feed.
    ASSERT_TRUE(platform::UserDefaults::setString(appcastURLKey, stage.feedURL()));

    CompanionUpdater updater(stage.hooks());
    updater.start();
    ASSERT_NE(updater.controller(), nullptr);
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !home.events(QStringLiteral("update.ready")).isEmpty(); }, 30));
    EXPECT_EQ(updateEvents(home), (QStringList {"update.start", "update.found", "update.ready"}));
    EXPECT_EQ(test::eventField(home.events(QStringLiteral("update.start"))[0], QStringLiteral("version")),
              runningVersion);
    EXPECT_EQ(test::eventField(home.events(QStringLiteral("update.found"))[0], QStringLiteral("version")),
              QStringLiteral("0.2.0"));
    EXPECT_EQ(test::eventField(home.events(QStringLiteral("update.ready"))[0], QStringLiteral("version")),
              QStringLiteral("0.2.0"));

    // Unpacked beside the installed copy, which stays as it was until the
    // browser has been quiet.
    const platform::Bundle installed = stage.bundle();
    EXPECT_EQ(test::readFile(platform::stagedCopyPath(installed) + QStringLiteral("/bin/corvane-companion")),
              "#!/bin/sh\necho 0.2.0\n");
    EXPECT_TRUE(
        QFileInfo(platform::stagedCopyPath(installed) + QStringLiteral("/bin/corvane-companion")).isExecutable());
    EXPECT_EQ(test::readFile(installed.executablePath), installedScript);
    EXPECT_TRUE(home.events(QStringLiteral("update.install")).isEmpty());
}

TEST(Updater, AReadyUpdateTheBlockDidNotInstallIsSwappedInAtQuit)
{
    test::TempHome home;
    UpdateStage stage;
    stage.serveFeed({stage.item()});
    stage.serveRelease(stage.release().bytes);
    ASSERT_TRUE(platform::UserDefaults::setString(appcastURLKey, stage.feedURL()));
    CompanionUpdater updater(stage.hooks());
    updater.start();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !home.events(QStringLiteral("update.ready")).isEmpty(); }, 30));

    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();

    const platform::Bundle installed = stage.bundle();
    EXPECT_EQ(test::readFile(installed.executablePath), "#!/bin/sh\necho 0.2.0\n");
    EXPECT_EQ(test::readFile(platform::previousCopyPath(installed) + QStringLiteral("/bin/corvane-companion")),
              installedScript);
    EXPECT_FALSE(QFileInfo::exists(platform::stagedCopyPath(installed)));
    // Quitting is no idle moment: the quiet rule's event is not logged.
    EXPECT_TRUE(home.events(QStringLiteral("update.install")).isEmpty());

    // The next start of the new copy clears the old one away.
    CompanionUpdater next(stage.hooks());
    next.start();
    EXPECT_FALSE(QFileInfo::exists(platform::previousCopyPath(installed)));
}

TEST(Updater, UntrustedOrBrokenReleasesAbortAndInstallNothing)
{
    enum class Break {
        signature,
        length,
        notXml,
        httpError,
        noServer,
        missingFile,
        notALayout,
        sharedPrefix,
        olderLabelledNewer,
        olderWithItsOwnLabel,
        otherVersionInside,
        noVersionInside,
        redirectToPlainHttp,
        redirectChain,
        overrun,
    };
    struct Case {
        const char *name;
        Break what;
        bool found; // "update.found" comes before the abort
        const char *error;
    } const cases[] = {
        {"signed by another key", Break::signature, true, "not trusted: the signature does not match"},
        {"wrong length", Break::length, true, "but the feed gives a length of"},
        {"feed not XML", Break::notXml, false, "the feed is not XML"},
        {"feed answers 500", Break::httpError, false, "answered HTTP 500"},
        {"nothing listening", Break::noServer, false, "could not be fetched"},
        {"release missing", Break::missingFile, true, "answered HTTP 404"},
        {"archive without a desktop entry", Break::notALayout, true, "not an installed copy of this application"},
        {"installed into a shared prefix", Break::sharedPrefix, true, "shared with other programs"},
        // What is signed decides what installs, not how the feed labels it.
        {"an older release labelled newer", Break::olderLabelledNewer, true,
         "the update holds version 0.0.5, but the feed offers it as 9.9.9"},
        {"an older release shown as itself but ordered as newer", Break::olderWithItsOwnLabel, true,
         "the update holds version 0.0.5, which is not newer than the running 0.1.0"},
        {"another version inside", Break::otherVersionInside, true,
         "the update holds version 0.2.1, but the feed offers it as 0.2.0"},
        {"a release that says no version", Break::noVersionInside, true, "the update holds no version"},
        {"a redirect to plain http elsewhere", Break::redirectToPlainHttp, true,
         "A redirect to http://updates.example/next.tar.gz was refused"},
        {"six redirects", Break::redirectChain, true, "More than 5 redirects."},
        {"more bytes than its length", Break::overrun, true, "is longer than it may be"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::TempHome home;
        UpdateStage stage;
        test::FeedItem item = stage.item();
        QByteArray bytes = stage.release().bytes;
        QString feed = stage.feedURL();
        switch (c.what) {
        case Break::signature: {
            QTemporaryDir other;
            const test::SigningKey stranger = test::SigningKey::make(other.path());
            item.signature = test::signFile(stage.workPath() + QStringLiteral("/next.tar.gz"), stranger).signature;
            break;
        }
        case Break::length:
            item.length += 1;
            break;
        case Break::notXml:
            break;
        case Break::httpError:
            break;
        case Break::noServer: {
            QTcpServer closed;
            closed.listen(QHostAddress::LocalHost);
            feed = QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(closed.serverPort());
            break;
        }
        case Break::missingFile:
            item.url += QStringLiteral(".gone");
            break;
        case Break::notALayout: {
            const QString bare = stage.workPath() + QStringLiteral("/bare");
            test::makeInstalledLayout(bare);
            QDir(bare + QStringLiteral("/share/applications")).removeRecursively();
            const test::SignedArchive archive
                = test::packRelease(bare, stage.workPath() + QStringLiteral("/bare.tar.gz"),
                                    test::SigningKey::at(stage.workPath() + QStringLiteral("/update-key.pem")));
            bytes = archive.bytes;
            item.length = archive.length;
            item.signature = archive.signature;
            break;
        }
        case Break::sharedPrefix:
            test::writeFile(stage.prefix() + QStringLiteral("/bin/some-other-tool"), "#!/bin/sh\n");
            break;
        case Break::olderLabelledNewer:
        case Break::olderWithItsOwnLabel:
        case Break::otherVersionInside:
        case Break::noVersionInside: {
            const QString inside = c.what == Break::otherVersionInside ? QStringLiteral("0.2.1")
                : c.what == Break::noVersionInside                     ? QString()
                                                                       : QStringLiteral("0.0.5");
            const test::SignedArchive archive = stage.pack(inside, QStringLiteral("other"));
            bytes = archive.bytes;
            item.length = archive.length;
            item.signature = archive.signature;
            if (c.what != Break::otherVersionInside && c.what != Break::noVersionInside)
                item.version = QStringLiteral("9.9.9");
            if (c.what == Break::olderWithItsOwnLabel)
                item.shortVersion = QStringLiteral("0.0.5");
            break;
        }
        case Break::redirectToPlainHttp:
            item.url = stage.archiveURL() + QStringLiteral(".hop");
            stage.serve("/next.tar.gz.hop", redirectTo("http://updates.example/next.tar.gz"));
            break;
        case Break::redirectChain:
            item.url = stage.archiveURL() + QStringLiteral(".1");
            for (int hop = 1; hop <= 6; ++hop)
                stage.serve("/next.tar.gz." + QByteArray::number(hop),
                            redirectTo(stage.archiveURL().toUtf8() + "." + QByteArray::number(hop + 1)));
            stage.serve("/next.tar.gz.7", test::httpReply("200 OK", "application/gzip", bytes));
            break;
        case Break::overrun:
            bytes += QByteArray(1024 * 1024, 'x');
            break;
        }
        stage.serveFeed({item});
        if (c.what == Break::notXml)
            stage.serve("/appcast.xml", test::httpReply("200 OK", "text/html", "Service Unavailable"));
        if (c.what == Break::httpError)
            stage.serve("/appcast.xml", test::httpReply("500 Internal Server Error", "text/plain", "down"));
        stage.serveRelease(bytes);
        ASSERT_TRUE(platform::UserDefaults::setString(appcastURLKey, feed));

        CompanionUpdater updater(stage.hooks());
        updater.start();
        ASSERT_TRUE(
            eventuallyHandlingEvents([&] { return !home.events(QStringLiteral("update.abort")).isEmpty(); }, 30));
        const QStringList expected = c.found ? QStringList {"update.start", "update.found", "update.abort"}
                                             : QStringList {"update.start", "update.abort"};
        EXPECT_EQ(updateEvents(home), expected);
        const test::LoggedEvent abort = home.logged(QStringLiteral("update.abort"))[0];
        EXPECT_TRUE(abort["error"].contains(QString::fromUtf8(c.error))) << abort;
        if (c.what == Break::sharedPrefix)
            QFile::remove(stage.prefix() + QStringLiteral("/bin/some-other-tool"));
        stage.expectUntouched();
    }
}

TEST(Updater, ADownloadChangedBeforeItIsSwappedInIsNotInstalled)
{
    test::TempHome home;
    UpdateStage stage;
    // One redirect within the rules is followed.
    test::FeedItem item = stage.item();
    item.url = stage.archiveURL() + QStringLiteral(".hop");
    stage.serve("/next.tar.gz.hop", redirectTo(stage.archiveURL().toUtf8()));
    stage.serveFeed({item});
    stage.serveRelease(stage.release().bytes);
    ASSERT_TRUE(platform::UserDefaults::setString(appcastURLKey, stage.feedURL()));
    CompanionUpdater updater(stage.hooks());
    updater.start();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !home.events(QStringLiteral("update.ready")).isEmpty(); }, 30));

    // Between the check and the swap, the kept archive is not what was signed.
    const QString archive = platform::stagedArchivePath(stage.bundle());
    EXPECT_EQ(QFileInfo(archive).permissions()
                  & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              0);
    QByteArray bytes = test::readFile(archive);
    ASSERT_FALSE(bytes.isEmpty());
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x55);
    ASSERT_TRUE(test::writeFile(archive, bytes));

    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    ASSERT_EQ(home.events(QStringLiteral("update.abort")).size(), 1);
    EXPECT_TRUE(home.logged(QStringLiteral("update.abort"))[0]["error"].contains(QStringLiteral("not trusted")));
    stage.expectUntouched();
    EXPECT_FALSE(QFileInfo::exists(archive));
}

TEST(Updater, AnOlderOrEqualReleaseGivesNothingAndAskingSaysUpToDate)
{
    test::TempHome home;
    UpdateStage stage;
    test::FeedItem otherSystem = stage.item(QStringLiteral("0.3.0"));
    otherSystem.os = QStringLiteral("windows");
    stage.serveFeed({stage.item(QStringLiteral("0.0.9")), stage.item(QStringLiteral("0.1")), otherSystem});
    ASSERT_TRUE(platform::UserDefaults::setString(appcastURLKey, stage.feedURL()));
    const auto shown = std::make_shared<Shown>();
    CompanionUpdater updater(stage.hooks(shown));
    updater.start();
    updater.checkNow();
    // The person who asked hears the outcome of the check already running.
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !shown->lines.isEmpty(); }, 30));
    EXPECT_EQ(shown->lines, QStringList {QStringLiteral("up to date 0.1.0")});
    EXPECT_EQ(updateEvents(home), QStringList {"update.start"});
    stage.expectUntouched();
}

TEST(Updater, AskingShowsWhatWentWrong)
{
    test::TempHome home;
    UpdateStage stage;
    stage.serve("/appcast.xml", test::httpReply("200 OK", "text/plain", "not a feed"));
    ASSERT_TRUE(platform::UserDefaults::setString(appcastURLKey, stage.feedURL()));
    const auto shown = std::make_shared<Shown>();
    CompanionUpdater updater(stage.hooks(shown));
    updater.start();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !home.events(QStringLiteral("update.abort")).isEmpty(); }, 30));
    EXPECT_TRUE(shown->lines.isEmpty()) << "a background check shows nothing";
    updater.checkNow();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !shown->lines.isEmpty(); }, 30));
    EXPECT_TRUE(shown->lines[0].startsWith(QStringLiteral("error the feed is not XML"))) << shown->lines[0];
}

TEST(Updater, StartDecidesWhetherUpdatesRun)
{
    struct Case {
        const char *name;
        bool installed;
        QVariant feed; // "SUFeedURL"; invalid: absent
        const char *appcast; // the user default; null: absent
        bool withKey;
        const char *event;
        QMap<QString, QString> fields; // each holds its text
    } const cases[] = {
        {"outside an installed copy",
         false,
         QStringLiteral("http://127.0.0.1:9/a.xml"),
         "http://127.0.0.1:9/a.xml",
         true,
         "update.off",
         {{"reason", "not-a-bundle"}, {"version", "0.1.0"}}},
        {"no feed at all",
         true,
         QVariant(),
         nullptr,
         true,
         "update.off",
         {{"reason", "not-a-bundle"}, {"version", "0.1.0"}}},
        {"empty feed and empty default", true, QString(), "", true, "update.off", {{"reason", "not-a-bundle"}}},
        {"a feed that is not a string", true, QVariant(7), nullptr, true, "update.off", {{"reason", "not-a-bundle"}}},
        {"no public key",
         true,
         QVariant(),
         "http://127.0.0.1:9/a.xml",
         false,
         "update.fail",
         {{"error", "no public key"}}},
        {"plain http elsewhere",
         true,
         QStringLiteral("http://updates.example/a.xml"),
         nullptr,
         true,
         "update.fail",
         {{"error", "not an https URL"}}},
        {"the default wins over the feed",
         true,
         QStringLiteral("http://updates.example/a.xml"),
         "ftp://127.0.0.1/a.xml",
         true,
         "update.fail",
         {{"error", "ftp://127.0.0.1/a.xml is not an https URL"}}},
        {"a local feed", true, QVariant(), "http://127.0.0.1:9/a.xml", true, "update.start", {{"version", "0.1.0"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::TempHome home;
        UpdateStage stage;
        UpdaterHooks hooks = stage.hooks();
        if (!c.installed)
            hooks.bundle = platform::bundleForExecutable(QCoreApplication::applicationFilePath());
        hooks.bundle.info = {{platform::shortVersionKey, runningVersion}};
        if (c.feed.isValid())
            hooks.bundle.info.insert(platform::feedURLKey, c.feed);
        if (c.withKey)
            hooks.bundle.info.insert(platform::publicEDKeyKey, stage.bundle().info.value(platform::publicEDKeyKey));
        if (c.appcast) {
            ASSERT_TRUE(platform::UserDefaults::setString(appcastURLKey, QString::fromUtf8(c.appcast)));
        }

        CompanionUpdater updater(hooks);
        updater.start();
        ASSERT_EQ(updateEvents(home), QStringList {QString::fromUtf8(c.event)});
        const test::LoggedEvent event = home.logged(QString::fromUtf8(c.event))[0];
        for (auto it = c.fields.begin(); it != c.fields.end(); ++it)
            EXPECT_TRUE(event[it.key()].contains(it.value())) << event;
        EXPECT_EQ(updater.controller() != nullptr, std::string(c.event) == "update.start");
        updater.checkNow(); // without a controller: nothing
    }
}

// The quiet rule, driven directly through the framework's callback.
class QuietRule : public ::testing::Test {
protected:
    // The quiet wait ticks every `interval` ms instead of every minute.
    void makeUpdater(int interval)
    {
        interval_ = interval;
        UpdaterHooks hooks;
        hooks.now = [this] { return clock_; };
        hooks.quietCheckInterval = std::chrono::milliseconds(interval);
        updater_ = std::make_unique<CompanionUpdater>(hooks);
        framework_ = std::make_unique<platform::Updater>(platform::Bundle(), updater_.get(), nullptr);
        item_.displayVersionString = QStringLiteral("0.2.0");
    }
    std::function<void()> countingBlock(int &calls)
    {
        return [&calls] { ++calls; };
    }
    void ready(std::function<void()> block)
    {
        EXPECT_TRUE(updater_->willInstallUpdateOnQuit(*framework_, item_, std::move(block)));
    }
    // Lets several timer ticks pass.
    void ticks(int count = 4)
    {
        QElapsedTimer elapsed;
        elapsed.start();
        while (elapsed.elapsed() < count * interval_)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }

    test::TempHome home_;
    int interval_ = 0;
    QDateTime clock_ = QDateTime(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC);
    std::unique_ptr<CompanionUpdater> updater_;
    std::unique_ptr<platform::Updater> framework_;
    platform::AppcastItem item_;
};

TEST_F(QuietRule, WaitsUntilNoJobHasRunForTenMinutesThenInstallsOnce)
{
    makeUpdater(20);
    int installs = 0;
    ready(countingBlock(installs));
    ASSERT_EQ(home_.events(QStringLiteral("update.ready")).size(), 1);
    EXPECT_EQ(home_.logged(QStringLiteral("update.ready"))[0]["version"], QStringLiteral("0.2.0"));

    // Jobs keep arriving: a running job, then one ended five minutes ago.
    for (int job = 0; job < 3; ++job) {
        jobStarted();
        clock_ = clock_.addSecs(900);
        ticks();
        jobEnded(clock_);
        clock_ = clock_.addSecs(300);
        ticks();
    }
    const QDateTime lastEnd = clock_.addSecs(-300);
    clock_ = lastEnd.addSecs(599);
    ticks();
    EXPECT_EQ(installs, 0);
    EXPECT_TRUE(home_.events(QStringLiteral("update.install")).isEmpty());

    clock_ = lastEnd.addSecs(600);
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return installs > 0; }));
    ticks();
    EXPECT_EQ(installs, 1);
    const QList<test::LoggedEvent> install = home_.logged(QStringLiteral("update.install"));
    ASSERT_EQ(install.size(), 1);
    EXPECT_EQ(install[0]["when"], QStringLiteral("idle"));
}

TEST_F(QuietRule, ASecondReadyUpdateReplacesTheBlockAndRestartsTheWait)
{
    makeUpdater(300);
    jobStarted();
    jobEnded(clock_.addSecs(-3600));

    int first = 0;
    int second = 0;
    const auto token = std::make_shared<int>(0);
    ready([&first, token] { ++first; });
    EXPECT_EQ(token.use_count(), 2);
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    while (sinceFirst.elapsed() < 200)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    ready(countingBlock(second));
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    EXPECT_EQ(token.use_count(), 1) << "the older block is dropped";

    ASSERT_TRUE(eventuallyHandlingEvents([&] { return second > 0; }));
    // Not at the first block's tick, 100 ms after the second: the wait began
    // again (a coarse timer may fire a few percent early).
    EXPECT_GE(sinceSecond.elapsed(), 250);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(home_.events(QStringLiteral("update.ready")).size(), 2);
    EXPECT_EQ(home_.events(QStringLiteral("update.install")).size(), 1);
}

} // namespace
