#include "UserPaths.h"

#include "TempHome.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvane;

namespace {

unsigned modeOf(const QString &path)
{
    struct stat info { };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 0777;
}

} // namespace

TEST(UserPaths, XdgFoldersWhenAbsoluteElseUnderHome)
{
    test::TempHome home;
    const QString root = home.path();
    EXPECT_EQ(platform::applicationSupportDir(), root + QStringLiteral("/data"));
    EXPECT_EQ(platform::configHome(), root + QStringLiteral("/config"));
    EXPECT_EQ(platform::logDir(), root + QStringLiteral("/state/CorvaneCompanion"));

    test::ScopedEnv relative("XDG_STATE_HOME", QStringLiteral("relative/state"));
    test::ScopedEnv unset("XDG_DATA_HOME", QString());
    test::ScopedEnv trailing("XDG_CONFIG_HOME", root + QStringLiteral("/cfg/"));
    EXPECT_EQ(platform::logDir(), root + QStringLiteral("/.local/state/CorvaneCompanion"));
    EXPECT_EQ(platform::applicationSupportDir(), root + QStringLiteral("/.local/share"));
    EXPECT_EQ(platform::configHome(), root + QStringLiteral("/cfg"));
}

TEST(UserPaths, MakePrivateDir)
{
    test::TempHome home;
    const QString fresh = home.path() + QStringLiteral("/a/b/leaf");
    ASSERT_TRUE(platform::makePrivateDir(fresh));
    EXPECT_EQ(modeOf(fresh), 0700u);
    EXPECT_TRUE(platform::makePrivateDir(fresh)) << "an existing folder is fine";

    const QString shared = home.path() + QStringLiteral("/shared");
    ASSERT_TRUE(QDir().mkdir(shared));
    ::chmod(QFile::encodeName(shared).constData(), 0755);
    EXPECT_TRUE(platform::makePrivateDir(shared));
    EXPECT_EQ(modeOf(shared), 0755u) << "only a folder it creates gets its mode";

    const QString file = home.path() + QStringLiteral("/plain-file");
    ASSERT_TRUE(test::writeFile(file, "x"));
    EXPECT_FALSE(platform::makePrivateDir(file));
}

TEST(UserPaths, TemporaryDirIsTheUsersOwn)
{
    test::TempHome home;
    EXPECT_EQ(platform::temporaryDir(), home.path() + QStringLiteral("/run/"));

    // Without one, a folder of the companion's state: another account
    // cannot have made it first, whatever it put in the shared temporary folder.
    test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", QString());
    const QString ours = home.stateDir() + QStringLiteral("/CorvaneCompanion/runtime");
    EXPECT_EQ(platform::temporaryDir(), ours + QLatin1Char('/'));
    EXPECT_EQ(modeOf(ours), 0700u);
    ASSERT_TRUE(QFile::setPermissions(ours,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadOther | QFileDevice::ExeOther));
    EXPECT_EQ(platform::temporaryDir(), ours + QLatin1Char('/')) << "the same folder next time";
    EXPECT_EQ(modeOf(ours), 0700u) << "closed again";

    // A link in its place is not followed: nothing is private then.
    ASSERT_TRUE(QDir(ours).removeRecursively());
    const QString elsewhere = home.path() + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QDir().mkdir(elsewhere));
    ASSERT_TRUE(QFile::link(elsewhere, ours));
    EXPECT_EQ(platform::temporaryDir(), QString());
    EXPECT_TRUE(QDir(elsewhere).isEmpty());
}
