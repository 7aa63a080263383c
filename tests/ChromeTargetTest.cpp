#include "chrome/ChromeTarget.h"

#include "TempHome.h"
#include "UserDefaults.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

const QString home = QStringLiteral("/home/ann");

SettingReader settings(std::map<QString, QString> values)
{
    return [values](const QString &env, const QString &) -> std::optional<QString> {
        const auto it = values.find(env);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    };
}

PathExists existing(QSet<QString> paths)
{
    return [paths](const QString &path) { return paths.contains(path); };
}

} // namespace

TEST(ExpandedDir, Table)
{
    const std::pair<const char *, const char *> cases[] = {
        {"~", "/home/ann"},
        {"~/", "/home/ann"},
        {"~/.chrome-debug", "/home/ann/.chrome-debug"},
        {"~/name///", "/home/ann/name"},
        {"/", "/"},
        {"///", "/"},
        {"~name", "~name"},
        {"~bob/x", "~bob/x"},
        {"relative/dir/", "relative/dir"},
        {"$HOME/x", "$HOME/x"},
        {"/abs/path", "/abs/path"},
        {"", ""},
    };
    for (const auto &[path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(expandedDir(QString::fromUtf8(path), home), QString::fromUtf8(expected));
    }
}

TEST(ChromeTargetRule, Table)
{
    const QString debug = home + QStringLiteral("/.chrome-debug");
    const QString companion = home + QStringLiteral("/.corvane-companion-chrome");
    struct Case {
        const char *name;
        std::map<QString, QString> settings;
        QSet<QString> existing;
        ChromeTarget expected;
    };
    const Case cases[] = {
        {"nothing set", {}, {}, {companion, "Default"}},
        {"debug folder", {}, {debug}, {debug, "Default"}},
        {"debug folder with Profile 2", {}, {debug, debug + "/Profile 2"}, {debug, "Profile 2"}},
        {"Profile 2 alone does not choose the debug folder", {}, {debug + "/Profile 2"}, {companion, "Default"}},
        {"companion folder ignores Profile 2", {}, {companion + "/Profile 2"}, {companion, "Default"}},
        {"configured dir expands to the debug folder",
         {{"CORVANE_CHROME_USER_DATA_DIR", "~/.chrome-debug/"}},
         {debug, debug + "/Profile 2"},
         {debug, "Profile 2"}},
        {"configured dir need not exist",
         {{"CORVANE_CHROME_USER_DATA_DIR", "/srv/chrome"}},
         {debug},
         {"/srv/chrome", "Default"}},
        {"configured profile used unchanged", {{"CORVANE_CHROME_PROFILE", "Profile 9"}}, {}, {companion, "Profile 9"}},
        {"configured profile wins over Profile 2",
         {{"CORVANE_CHROME_PROFILE", "Work"}},
         {debug, debug + "/Profile 2"},
         {debug, "Work"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chromeTarget(home, existing(c.existing), settings(c.settings)), c.expected);
    }
}

TEST(CompanionSetting, EnvironmentFirstThenDefaults)
{
    test::TempHome temp;
    const QString env = QStringLiteral("CORVANE_CHROME_USER_DATA_DIR");
    const QString key = QStringLiteral("chromeUserDataDir");

    EXPECT_EQ(companionSetting(env, key), std::nullopt);

    ASSERT_TRUE(platform::UserDefaults::setString(key, QStringLiteral("  /from/defaults \n")));
    EXPECT_EQ(companionSetting(env, key), QStringLiteral("/from/defaults"));
    {
        test::ScopedEnv blank("CORVANE_CHROME_USER_DATA_DIR", QStringLiteral(" \t"));
        EXPECT_EQ(companionSetting(env, key), QStringLiteral("/from/defaults")) << "a blank variable hides nothing";
    }
    {
        test::ScopedEnv set("CORVANE_CHROME_USER_DATA_DIR", QStringLiteral(" /from/env "));
        EXPECT_EQ(companionSetting(env, key), QStringLiteral("/from/env"));
    }
    ASSERT_TRUE(platform::UserDefaults::setString(key, QStringLiteral("   ")));
    EXPECT_EQ(companionSetting(env, key), std::nullopt);

    ASSERT_TRUE(platform::UserDefaults::setString(QStringLiteral("chromeDebugPort"), QStringLiteral("9333")));
    EXPECT_EQ(companionSetting(QStringLiteral("CORVANE_CHROME_PORT"), QStringLiteral("chromeDebugPort")),
              QStringLiteral("9333"));
}

TEST(CompanionSetting, DefaultsWrittenFromOutsideCountAtTheNextRead)
{
    test::TempHome temp;
    const QString file = platform::UserDefaults::filePath();
    EXPECT_EQ(file, temp.path() + QStringLiteral("/config/CorvaneCompanion/defaults.ini"));
    ASSERT_TRUE(
        test::writeFile(file, "[General]\nchromeFlags=--enable-features=A,B --x\nchromeProfileDirectory=Profile 3\n"));
    EXPECT_EQ(companionSetting(QStringLiteral("CORVANE_CHROME_FLAGS"), QStringLiteral("chromeFlags")),
              QStringLiteral("--enable-features=A,B --x"));
    EXPECT_EQ(companionSetting(QStringLiteral("CORVANE_CHROME_PROFILE"), QStringLiteral("chromeProfileDirectory")),
              QStringLiteral("Profile 3"));
}

TEST(ChromeAppPath, SettingOrFirstInstalledCandidate)
{
    test::TempHome temp;
    EXPECT_EQ(companionChromeProfile(), temp.path() + QStringLiteral("/.corvane-companion-chrome"));
    {
        test::ScopedEnv app("CORVANE_CHROME_APP", QStringLiteral("~/bin/chrome"));
        EXPECT_EQ(chromeAppPath(), temp.path() + QStringLiteral("/bin/chrome"));
    }
    // Our machines carry Debian's Chromium and no Google Chrome.
    EXPECT_EQ(chromeAppPath(), QStringLiteral("/usr/lib/chromium/chromium"));
}
