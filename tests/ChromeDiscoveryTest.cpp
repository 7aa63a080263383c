#include "chrome/ChromeDiscovery.h"

#include "chrome/PortCache.h"

#include "Processes.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace corvane;

namespace {

SettingReader portSetting(std::optional<QString> value)
{
    return [value](const QString &env, const QString &key) -> std::optional<QString> {
        EXPECT_EQ(env, QStringLiteral("CORVANE_CHROME_PORT"));
        EXPECT_EQ(key, QStringLiteral("chromeDebugPort"));
        return value;
    };
}

const QString exe = QStringLiteral("/usr/lib/chromium/chromium");

} // namespace

TEST(ChromeDebugPorts, Table)
{
    struct Case {
        std::optional<QString> setting;
        QList<qint64> expected;
    };
    const Case cases[] = {
        {std::nullopt, {9222, 9223}},
        {QStringLiteral("9333"), {9333, 9222, 9223}},
        {QStringLiteral("+9333"), {9333, 9222, 9223}},
        {QStringLiteral("9223"), {9223, 9222}},
        {QStringLiteral("9222"), {9222, 9223}},
        {QStringLiteral("70000"), {70000, 9222, 9223}},
        {QStringLiteral("0"), {9222, 9223}},
        {QStringLiteral("-5"), {9222, 9223}},
        {QStringLiteral("abc"), {9222, 9223}},
        {QStringLiteral("92 22"), {9222, 9223}},
        {QStringLiteral("9.5"), {9222, 9223}},
        {QStringLiteral("99999999999999999999"), {9222, 9223}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting.value_or(QStringLiteral("(none)")).toStdString());
        EXPECT_EQ(chromeDebugPorts(portSetting(c.setting)), c.expected);
    }
}

TEST(DebugPortInCommandLine, Table)
{
    const QString dir = QStringLiteral("/home/ann/.corvane-companion-chrome");
    struct Case {
        const char *name;
        QString line;
        std::optional<qint64> expected;
    };
    const QString main = exe + QStringLiteral(" --remote-debugging-port=9223 --user-data-dir=");
    const Case cases[] = {
        {"main process", main + dir + QStringLiteral(" --profile-directory=Default"), 9223},
        {"directory last on the line", main + dir, 9223},
        {"one trailing slash", main + dir + QStringLiteral("/ --no-first-run"), 9223},
        {"longer directory", main + dir + QStringLiteral("-old --x"), std::nullopt},
        {"two trailing slashes", main + dir + QStringLiteral("//"), std::nullopt},
        {"child process", main + dir + QStringLiteral(" --type=renderer"), std::nullopt},
        {"other directory", main + QStringLiteral("/tmp/other"), std::nullopt},
        {"no port", exe + QStringLiteral(" --user-data-dir=") + dir, std::nullopt},
        {"port after the directory",
         exe + QStringLiteral(" --user-data-dir=") + dir + QStringLiteral(" --remote-debugging-port=9444"), 9444},
        {"first port switch wins", main + dir + QStringLiteral(" --remote-debugging-port=1"), 9223},
        {"another program", QStringLiteral("/usr/bin/python3 --remote-debugging-port=9223 --user-data-dir=") + dir,
         std::nullopt},
        {"executable without a space", exe + QStringLiteral("2 --remote-debugging-port=9223 --user-data-dir=") + dir,
         std::nullopt},
        {"port too large for an integer",
         exe + QStringLiteral(" --remote-debugging-port=99999999999999999999 --user-data-dir=") + dir, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(debugPortInCommandLine(c.line, dir, exe), c.expected);
    }
}

TEST(ProfileInCommandLine, Table)
{
    const std::pair<const char *, std::optional<QString>> cases[] = {
        {"chrome --profile-directory=Default --x", QStringLiteral("Default")},
        {"chrome --profile-directory=Profile 2 --remote-debugging-port=9222", QStringLiteral("Profile 2")},
        {"chrome --profile-directory=Profile 2", QStringLiteral("Profile 2")},
        {"chrome --profile-directory=  Work\t --x", QStringLiteral("Work")},
        {"chrome --profile-directory= --x", std::nullopt},
        {"chrome --profile-directory=", std::nullopt},
        {"chrome --remote-debugging-port=9222", std::nullopt},
        {"chrome --profile-directory=A-B -x --y", QStringLiteral("A-B -x")},
    };
    for (const auto &[line, expected] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(profileInCommandLine(QString::fromUtf8(line)), expected);
    }
}

TEST(RunningChrome, LinesWithoutAnAnsweringPortFindNothing)
{
    // Nothing listens on port 1, so even a matching line is not a running Chrome.
    const QStringList lines {exe + QStringLiteral(" --remote-debugging-port=1 --user-data-dir=/x/y")};
    EXPECT_EQ(runningChrome({QStringLiteral("/x/y"), QStringLiteral("Default")}, lines), std::nullopt);
}

TEST(PortCache, FreshForFifteenSeconds)
{
    const std::pair<qint64, bool> cases[] = {
        {0, true}, {14999, true}, {15000, false}, {60000, false}, {-5000, true},
    };
    for (const auto &[elapsedMs, fresh] : cases) {
        SCOPED_TRACE(elapsedMs);
        EXPECT_EQ(portChoiceIsFresh(1'000'000, 1'000'000 + elapsedMs), fresh);
    }
}

TEST(ProcessCommandLines, ListsThisProcessWithItsArguments)
{
    const qint64 before = static_cast<qint64>(platform::processListings());
    const QStringList lines = chromeCommandLines();
    EXPECT_EQ(static_cast<qint64>(platform::processListings()), before + 1);
    const QString self = QCoreApplication::arguments().join(QLatin1Char(' '));
    EXPECT_TRUE(lines.contains(self)) << self.toStdString();
    for (const QString &line : lines)
        EXPECT_FALSE(line.isEmpty());
}

TEST(ChromeIsReady, FalseWhenNothingAnswersOrTheAddressIsBad)
{
    EXPECT_FALSE(chromeIsReady(QStringLiteral("127.0.0.1"), 1));
    EXPECT_FALSE(chromeIsReady(QStringLiteral("127.0.0.1"), 70000));
    EXPECT_FALSE(chromeIsReady(QStringLiteral("bad host name"), 9222));
}
