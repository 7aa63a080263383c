#include "chrome/ChromeLaunch.h"

#include "ChromePlatform.h"
#include "TempHome.h"

#include <gtest/gtest.h>

using namespace corvane;

TEST(CompanionChromeArgs, FixedSwitchesThenPlatformThenExtras)
{
    const ChromeTarget target {QStringLiteral("/home/ann/My Chrome Data"), QStringLiteral("Profile 2")};
    const QStringList fixed {
        QStringLiteral("--remote-debugging-port=9223"),  QStringLiteral("--user-data-dir=/home/ann/My Chrome Data"),
        QStringLiteral("--profile-directory=Profile 2"), QStringLiteral("--no-first-run"),
        QStringLiteral("--no-default-browser-check"),
    };
    EXPECT_EQ(companionChromeArgs({QStringLiteral("--new-window")}, target, 9223, {}),
              fixed + QStringList {QStringLiteral("--new-window")});
    EXPECT_EQ(companionChromeArgs({}, target, 9223, {}), fixed);
    const QStringList platformSwitches {QStringLiteral("--headless=new"), QStringLiteral("--no-sandbox")};
    EXPECT_EQ(companionChromeArgs({QStringLiteral("--new-window")}, target, 9223, platformSwitches),
              fixed + platformSwitches + QStringList {QStringLiteral("--new-window")});
}

TEST(ChromeLaunchSwitches, Table)
{
    struct Case {
        bool display;
        bool root;
        QString flags;
        QStringList expected;
    };
    const Case cases[] = {
        {true, false, {}, {}},
        {false, false, {}, {"--headless=new"}},
        {true, true, {}, {"--no-sandbox"}},
        {false,
         true,
         QStringLiteral("  --disable-sync\t--lang=de \n"),
         {"--headless=new", "--no-sandbox", "--disable-sync", "--lang=de"}},
        {true, false, QStringLiteral("--a"), {"--a"}},
        // Quotes group words as a shell's do.
        {true, false, QStringLiteral("--user-agent=\"A B\" --x"), {"--user-agent=A B", "--x"}},
        {true,
         false,
         QStringLiteral("'--lang=de at' \"say \\\"hi\\\" \\\\ \\n\" a\\ b"),
         {"--lang=de at", "say \"hi\" \\ \\n", "a b"}},
        {true, false, QStringLiteral("--empty='' \"\" --open=\"no end"), {"--empty=", "", "--open=no end"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags.toStdString());
        EXPECT_EQ(platform::chromeLaunchSwitches(c.display, c.root, c.flags), c.expected);
    }
}

TEST(ChromeLaunchSwitches, ReadTheEnvironmentAndTheFlagsSetting)
{
    test::TempHome home;
    test::ScopedEnv display("DISPLAY", QString());
    test::ScopedEnv wayland("WAYLAND_DISPLAY", QString());
    test::ScopedEnv flags("CORVANE_CHROME_FLAGS", QStringLiteral("--disable-sync"));
    const QStringList switches = chromePlatformSwitches();
    EXPECT_EQ(switches.first(), QStringLiteral("--headless=new"));
    EXPECT_EQ(switches.last(), QStringLiteral("--disable-sync"));
}

TEST(ChromeProfileSummary, Table)
{
    test::TempHome home;
    const QString dir = home.path() + QStringLiteral("/.chrome-debug");
    const QByteArray localState = R"({"profile":{"last_used":"Profile 3","info_cache":{
        "Profile 2":{"user_name":"ann@example.test"},"Profile 3":{"user_name":""},"Default":{}}}})";
    struct Case {
        const char *name;
        QByteArray localState; // empty: no file
        QString profile;
        std::optional<RunningChrome> running;
        QString expected;
    };
    const QString dot = QStringLiteral(" \u00B7 ");
    const Case cases[] = {
        {"no file, not running", {}, "Default", std::nullopt, "Chrome: .chrome-debug" + dot + "Default"},
        {"no file, running",
         {},
         "Default",
         RunningChrome {9222, QStringLiteral("Profile 2")},
         "Chrome: .chrome-debug" + dot + "Profile 2" + dot + "port 9222"},
        {"running without a profile",
         {},
         "Default",
         RunningChrome {9223, std::nullopt},
         "Chrome: .chrome-debug" + dot + "Default" + dot + "port 9223"},
        {"user name and last used", localState, "Profile 2", RunningChrome {9222, std::nullopt},
         "Chrome: .chrome-debug" + dot + "Profile 2 (ann@example.test)" + dot + "port 9222" + dot
             + "last used: Profile 3"},
        {"last used is the shown profile, empty user name", localState, "Profile 3", std::nullopt,
         "Chrome: .chrome-debug" + dot + "Profile 3"},
        {"profile without user name", localState, "Default", std::nullopt,
         "Chrome: .chrome-debug" + dot + "Default" + dot + "last used: Profile 3"},
        {"not JSON", "{{{", "Default", std::nullopt, "Chrome: .chrome-debug" + dot + "Default"},
        {"wrong types", R"({"profile":{"last_used":7,"info_cache":[]}})", "Default", std::nullopt,
         "Chrome: .chrome-debug" + dot + "Default"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(dir + QStringLiteral("/Local State"));
        if (!c.localState.isEmpty()) {
            ASSERT_TRUE(test::writeFile(dir + QStringLiteral("/Local State"), c.localState));
        }
        EXPECT_EQ(chromeProfileSummary({dir, c.profile}, c.running), c.expected);
    }
    EXPECT_EQ(chromeProfileSummary({QStringLiteral("/"), QStringLiteral("Default")}, std::nullopt),
              QStringLiteral("Chrome: / \u00B7 Default"));
}
