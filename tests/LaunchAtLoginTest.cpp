// Start at login in a temporary home and a temporary installed layout: the
// installed-copy test, the autostart entry, the first-run registration.

#include "LaunchAtLogin.h"

#include "Bundle.h"
#include "LoginItemService.h"
#include "UserDefaults.h"
#include "UserPaths.h"

#include "EventChecks.h"
#include "TempHome.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace corvane;
using platform::Bundle;
using platform::LoginItemService;

namespace {

// PREFIX/bin/corvane-companion, with or without the desktop entry beside it.
QString makeLayout(const QString &prefix, bool withEntry, const QString &binFolder = QStringLiteral("bin"))
{
    QDir().mkpath(prefix + QLatin1Char('/') + binFolder);
    QDir().mkpath(prefix + QStringLiteral("/share/applications"));
    const QString executable = prefix + QLatin1Char('/') + binFolder + QStringLiteral("/corvane-companion");
    test::writeFile(executable, "#!/bin/sh\n");
    if (withEntry)
        test::writeFile(prefix + QStringLiteral("/share/applications/") + platform::bundleIdentifier()
                            + QStringLiteral(".desktop"),
                        "[Desktop Entry]\n");
    return executable;
}

TEST(InstalledCopy, IsAnExecutableInBinBesideItsDesktopEntry)
{
    QTemporaryDir dir;
    struct Case {
        const char *name;
        bool entry;
        const char *bin;
        bool installed;
    } const cases[] = {
        {"installed", true, "bin", true},
        {"no entry", false, "bin", false},
        {"not in bin", true, "build", false},
        {"bin in another case", true, "Bin", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString prefix = dir.path() + QLatin1Char('/') + QString::fromUtf8(c.name);
        const Bundle bundle = platform::bundleForExecutable(makeLayout(prefix, c.entry, QString::fromUtf8(c.bin)));
        EXPECT_EQ(bundle.isApplication, c.installed);
        EXPECT_EQ(bundle.location, c.installed ? prefix : prefix + QLatin1Char('/') + QString::fromUtf8(c.bin));
    }
    // The test binary itself runs from the build tree.
    EXPECT_FALSE(platform::mainBundle().isApplication);
}

class StartAtLogin : public testing::Test {
protected:
    Bundle installed() const { return platform::bundleForExecutable(makeLayout(prefix_.path(), true)); }
    QString entryPath() const { return LoginItemService::mainApp(installed()).entryPath(); }

    test::TempHome home_;
    QTemporaryDir prefix_;
};

TEST_F(StartAtLogin, FirstRunRegistersOnceAndASecondRunDoesNothing)
{
    const Bundle bundle = installed();
    EXPECT_FALSE(LaunchAtLogin::isOn(bundle));
    LaunchAtLogin::enableOnFirstRun(bundle);
    EXPECT_TRUE(platform::UserDefaults::boolean(LaunchAtLogin::offeredKey));
    EXPECT_TRUE(LaunchAtLogin::isOn(bundle));
    const QList<test::LoggedEvent> set = home_.logged(QStringLiteral("login-item.set"));
    ASSERT_EQ(set.size(), 1);
    EXPECT_TRUE(test::isEvent(set[0], "login-item.set", {{"on", "yes"}, {"status", "1"}}));
    EXPECT_EQ(entryPath(), platform::configHome() + QStringLiteral("/autostart/app.corvane.companion.desktop"));
    EXPECT_TRUE(test::readFile(entryPath()).contains("\nExec=\"" + bundle.executablePath.toUtf8() + "\"\n"));

    // Turned off by the user, it stays off on later runs.
    LaunchAtLogin::set(false, bundle);
    LaunchAtLogin::enableOnFirstRun(bundle);
    EXPECT_FALSE(LaunchAtLogin::isOn(bundle));
    EXPECT_EQ(home_.events(QStringLiteral("login-item.set")).size(), 2);
}

TEST_F(StartAtLogin, TogglingOffRemovesTheEntryAndReportsStatusZero)
{
    const Bundle bundle = installed();
    LaunchAtLogin::set(true, bundle);
    LaunchAtLogin::set(false, bundle);
    EXPECT_FALSE(QFile::exists(entryPath()));
    EXPECT_FALSE(LaunchAtLogin::isOn(bundle));
    const QList<test::LoggedEvent> set = home_.logged(QStringLiteral("login-item.set"));
    ASSERT_EQ(set.size(), 2);
    EXPECT_TRUE(test::isEvent(set[1], "login-item.set", {{"on", "no"}, {"status", "0"}}));
    // Off again when nothing is registered is still a success.
    LaunchAtLogin::set(false, bundle);
    EXPECT_TRUE(test::isEvent(home_.logged(QStringLiteral("login-item.set"))[2], "login-item.set",
                              {{"on", "no"}, {"status", "0"}}));
}

TEST_F(StartAtLogin, AnEntryTheDesktopHidIsOff)
{
    const Bundle bundle = installed();
    LaunchAtLogin::set(true, bundle);
    QByteArray entry = test::readFile(entryPath());
    test::writeFile(entryPath(), entry + "Hidden = true\n");
    EXPECT_FALSE(LaunchAtLogin::isOn(bundle));
    test::writeFile(entryPath(), entry + "Hidden=false\n");
    EXPECT_TRUE(LaunchAtLogin::isOn(bundle));
}

TEST_F(StartAtLogin, AFailedFirstRegistrationIsLoggedAndNotRetried)
{
    const Bundle bundle = installed();
    // A file where the autostart folder should be.
    test::writeFile(platform::configHome() + QStringLiteral("/autostart"), "not a folder");
    LaunchAtLogin::enableOnFirstRun(bundle);
    const QList<test::LoggedEvent> failed = home_.logged(QStringLiteral("login-item.fail"));
    ASSERT_EQ(failed.size(), 1);
    EXPECT_FALSE(failed[0]["error"].isEmpty()) << failed[0];
    EXPECT_EQ(failed[0]["on"], QStringLiteral("yes"));
    EXPECT_TRUE(platform::UserDefaults::boolean(LaunchAtLogin::offeredKey));
    LaunchAtLogin::enableOnFirstRun(bundle);
    EXPECT_EQ(home_.events(QStringLiteral("login-item.fail")).size(), 1);
}

TEST_F(StartAtLogin, OutsideAnInstalledCopyNothingHappens)
{
    const Bundle bare = platform::bundleForExecutable(makeLayout(prefix_.path(), false));
    LaunchAtLogin::enableOnFirstRun(bare);
    LaunchAtLogin::set(true, bare);
    EXPECT_FALSE(LaunchAtLogin::isOn(bare));
    EXPECT_FALSE(platform::UserDefaults::contains(LaunchAtLogin::offeredKey));
    EXPECT_FALSE(QFile::exists(entryPath()));
    EXPECT_TRUE(home_.events().isEmpty());
}

TEST(AutostartEntry, ExecQuotesThePathAsDesktopEntriesRequire)
{
    const std::pair<const char *, const char *> cases[] = {
        {"/usr/bin/corvane-companion", R"(Exec="/usr/bin/corvane-companion")"},
        {"/opt/My Apps/bin/corvane-companion", R"(Exec="/opt/My Apps/bin/corvane-companion")"},
        {"/opt/a\"b/bin/c", R"(Exec="/opt/a\\"b/bin/c")"},
        {"/opt/$HOME/bin/c", R"(Exec="/opt/\\$HOME/bin/c")"},
        {"/opt/50%/bin/c", R"(Exec="/opt/50%%/bin/c")"},
        {"/opt/back\\slash/bin/c", R"(Exec="/opt/back\\\\slash/bin/c")"},
    };
    for (const auto &[path, exec] : cases) {
        const QByteArray text = LoginItemService::entryText(QString::fromUtf8(path));
        EXPECT_TRUE(text.contains(QByteArray("\n") + exec + "\n")) << path << "\n" << text.constData();
        EXPECT_TRUE(text.startsWith("[Desktop Entry]\nType=Application\n"));
        EXPECT_TRUE(text.contains("\nX-GNOME-Autostart-enabled=true\n"));
    }
}

} // namespace
