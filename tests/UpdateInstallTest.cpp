// One real update: an installed companion pointed at a feed on 127.0.0.1
// finds a newer build, verifies it, waits for its first quiet tick, swaps it
// in and relaunches; the new build starts, reports its version and clears
// the old copy away.

#include "UpdateInstall.h"
#include "Bundle.h"
#include "Processes.h"
#include "UserDefaults.h"

#include "EventChecks.h"
#include "Eventually.h"
#include "TempHome.h"
#include "TestHttpServer.h"
#include "UpdateRelease.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace corvane;
using test::eventually;

namespace {

const QString currentVersion = QStringLiteral(CORVANE_CURRENT_VERSION);
const QString nextVersion = QStringLiteral(CORVANE_NEXT_VERSION);

QStringList versionsOf(const QStringList &lines)
{
    QStringList versions;
    for (const QString &line : lines)
        versions << test::eventField(line, QStringLiteral("version"));
    return versions;
}

// Gone, or a zombie that whoever adopted it has not reaped yet.
bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool processIsGone(qint64 pid)
{
    const QByteArray stat = test::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return ::kill(pid_t(pid), 0) != 0 || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// The current build installed in a temporary prefix, the next build packed
// and signed as a release, and a feed on 127.0.0.1 offering it, which the
// companionAppcastURL setting names.
class UpdateScene {
public:
    UpdateScene()
        : installed_(test::makeInstalledLayout(work_.path() + QStringLiteral("/opt/corvane-companion"),
                                               QStringLiteral(CORVANE_CURRENT_COMPANION), currentVersion))
        , release_(packNext())
        , server_([this](const QByteArray &path) { return reply(path); })
    {
        EXPECT_GT(release_.length, 0);
        EXPECT_TRUE(platform::UserDefaults::setString(QStringLiteral("companionAppcastURL"),
                                                      QString::fromUtf8(server_.url("/appcast.xml"))));
    }

    QString workPath() const { return work_.path(); }
    const QString &installed() const { return installed_; }

private:
    test::SignedArchive packNext() const
    {
        const QString next = work_.path() + QStringLiteral("/next");
        test::makeInstalledLayout(next, QStringLiteral(CORVANE_NEXT_COMPANION), nextVersion);
        return test::packRelease(next, work_.path() + QStringLiteral("/next.tar.gz"),
                                 test::SigningKey::at(QStringLiteral(CORVANE_TEST_UPDATE_KEY)));
    }
    QByteArray reply(const QByteArray &path) const
    {
        if (path == "/appcast.xml")
            return test::httpReply("200 OK", "application/rss+xml",
                                   test::appcastFeed({{nextVersion, QString::fromUtf8(server_.url("/release.tar.gz")),
                                                       release_.length, release_.signature}}));
        if (path == "/release.tar.gz")
            return test::httpReply("200 OK", "application/gzip", release_.bytes);
        return test::httpReply("404 Not Found", "text/plain", "");
    }

    QTemporaryDir work_;
    QString installed_;
    test::SignedArchive release_;
    test::TestHttpServer server_;
};

TEST(UpdateInstall, AnInstalledCompanionInstallsANewerBuildWhenQuietAndRelaunches)
{
    test::TempHome home;
    const UpdateScene scene;
    const QString &installed = scene.installed();

    QProcess old;
    old.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    old.start(installed, {QStringLiteral("--headless")});
    ASSERT_TRUE(old.waitForStarted(10000));

    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("update.ready")).isEmpty(); }, 30));
    EXPECT_EQ(versionsOf(home.events(QStringLiteral("update.start"))), QStringList {currentVersion});
    EXPECT_EQ(versionsOf(home.events(QStringLiteral("update.found"))), QStringList {nextVersion});
    EXPECT_EQ(versionsOf(home.events(QStringLiteral("update.ready"))), QStringList {nextVersion});
    EXPECT_TRUE(home.events(QStringLiteral("update.abort")).isEmpty())
        << home.events(QStringLiteral("update.abort")).value(0);
    EXPECT_TRUE(QFileInfo(platform::stagedCopyPath(platform::bundleForExecutable(installed))).isDir());

    // No job has run, so the first quiet tick after "update.ready" installs it
    // (this build ticks every 2 s, the shipped one every minute).
    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("update.install")).isEmpty(); }, 90));
    EXPECT_EQ(home.logged(QStringLiteral("update.install"))[0]["when"], QStringLiteral("idle"));
    ASSERT_TRUE(old.waitForFinished(15000));
    EXPECT_EQ(old.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(old.exitCode(), 0);

    // The relaunched copy is the new build, in the same place, on the same port.
    ASSERT_TRUE(eventually([&] { return home.events(QStringLiteral("app.start")).size() == 2; }, 45));
    const QString started = home.events(QStringLiteral("app.start"))[1];
    EXPECT_EQ(test::eventField(started, QStringLiteral("version")), nextVersion);
    const qint64 pid = test::eventField(started, QStringLiteral("pid")).toLongLong();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath(),
              QFileInfo(installed).canonicalFilePath());
    ASSERT_TRUE(eventually([&] { return home.events(QStringLiteral("loopback.listen")).size() == 2; }));
    EXPECT_TRUE(home.events(QStringLiteral("loopback.fail")).isEmpty());
    EXPECT_EQ(versionsOf(home.events(QStringLiteral("update.start"))), (QStringList {currentVersion, nextVersion}));
    // Having started once, it needs the old copy no more.
    EXPECT_TRUE(eventually(
        [&] { return !QFileInfo::exists(platform::previousCopyPath(platform::bundleForExecutable(installed))); }));

    QProcess version;
    version.start(installed, {QStringLiteral("--version")});
    ASSERT_TRUE(version.waitForFinished(10000));
    EXPECT_EQ(QString::fromUtf8(version.readAllStandardOutput()).trimmed(),
              QStringLiteral("corvane-companion ") + nextVersion);

    ::kill(pid_t(pid), SIGTERM);
    EXPECT_TRUE(eventually([&] { return processIsGone(pid); }, 15));
    EXPECT_EQ(home.events(QStringLiteral("app.quit")).size(), 1);
}

TEST(UpdateInstall, AnInstalledCopyTheUserMayNotWriteIsLeftAlone)
{
    test::TempHome home;
    const UpdateScene scene;
    const QString &installed = scene.installed();

    QString program = installed;
    QStringList arguments {QStringLiteral("--headless")};
    const QString parent = scene.workPath() + QStringLiteral("/opt");
    if (platform::runningAsRoot()) {
        // Root may write anywhere: the companion runs as nobody, in a home of
        // its own, beside a copy that root installed.
        ASSERT_TRUE(run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("65534:65534"), home.path()}));
        ASSERT_TRUE(QFile::setPermissions(scene.workPath(),
                                          QFile::permissions(scene.workPath()) | QFile::ReadOther | QFile::ExeOther));
        const QStringList asNobody {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups"), QStringLiteral("--")};
        if (!run(QStringLiteral("setpriv"),
                 asNobody + QStringList {QStringLiteral("test"), QStringLiteral("-x"), installed}))
            GTEST_SKIP() << "nobody cannot reach " << installed << " (a private temporary folder above it)";
        arguments = asNobody + QStringList {installed} + arguments;
        program = QStringLiteral("setpriv");
    } else {
        ASSERT_TRUE(QFile::setPermissions(parent, QFile::ReadOwner | QFile::ExeOwner));
    }

    QProcess companion;
    companion.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    companion.start(program, arguments);
    ASSERT_TRUE(eventually([&] { return !home.events(QStringLiteral("update.abort")).isEmpty(); }, 30));
    const test::LoggedEvent abort = home.logged(QStringLiteral("update.abort"))[0];
    EXPECT_TRUE(abort["error"].contains(QStringLiteral(" is not writable"))) << abort;
    EXPECT_EQ(versionsOf(home.events(QStringLiteral("update.found"))), QStringList {nextVersion});
    EXPECT_TRUE(home.events(QStringLiteral("update.ready")).isEmpty());
    companion.terminate();
    EXPECT_TRUE(companion.waitForFinished(10000));

    QFile::setPermissions(parent, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(QDir(parent).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList {QStringLiteral("corvane-companion")});
    EXPECT_EQ(test::readFile(installed), test::readFile(QStringLiteral(CORVANE_CURRENT_COMPANION)));
}

} // namespace
