// Against real headless Chromium processes on the fixed ports 9222 and 9223
// (the suite holds them to itself).

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeLaunch.h"
#include "chrome/PortCache.h"

#include "Processes.h"

#include "Chromium.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace corvane;
using test::Chromium;

namespace {

const QString localHost = QStringLiteral("127.0.0.1");

int countEvents(const QList<test::LoggedEvent> &events, const QString &name)
{
    return int(std::count_if(events.begin(), events.end(),
                             [&](const test::LoggedEvent &event) { return event.name == name; }));
}

// Stops what a test had the companion launch, also when an assertion ends the test early.
struct StopChromeOnExit {
    QString userDataDir;
    ~StopChromeOnExit() { test::stopChromeOn(userDataDir); }
};

// The first `name` event; an empty one when there is none.
test::LoggedEvent firstEvent(const QList<test::LoggedEvent> &events, const QString &name)
{
    for (const test::LoggedEvent &event : events) {
        if (event.name == name)
            return event;
    }
    return {};
}

} // namespace

class ChromeIntegration : public testing::Test {
protected:
    test::TempHome home;
};

TEST_F(ChromeIntegration, ReadyOnlyWhileTheEndpointAnswers200)
{
    Chromium chromium(9223, home.path() + QStringLiteral("/probe"));
    ASSERT_TRUE(chromium.start());
    EXPECT_TRUE(chromeIsReady(localHost, 9223));
    chromium.stop();
    EXPECT_FALSE(chromeIsReady(localHost, 9223));
    // Chrome's answer stands only for the sockets that gave it: whatever
    // listens on the port next is asked afresh.
    {
        test::TestHttpServer answering(test::fixedStatus("200 OK"), 9223);
        ASSERT_EQ(answering.port(), 9223);
        EXPECT_TRUE(chromeIsReady(localHost, 9223));
    }
    test::TestHttpServer refusing(test::fixedStatus("404 Not Found"), 9223);
    ASSERT_EQ(refusing.port(), 9223);
    EXPECT_FALSE(chromeIsReady(localHost, 9223));

    const std::pair<QByteArray, bool> statuses[] = {
        {"200 OK", true},          {"404 Not Found", false}, {"500 Internal Server Error", false},
        {"204 No Content", false}, {"302 Found", false}, // a probe follows no redirect
    };
    for (const auto &[status, ready] : statuses) {
        SCOPED_TRACE(status.toStdString());
        test::TestHttpServer server(test::fixedStatus(status));
        ASSERT_NE(server.port(), 0);
        EXPECT_EQ(chromeIsReady(localHost, server.port()), ready);
    }
}

TEST_F(ChromeIntegration, StepsPastAChromeOnAnotherFolderAndCachesTheChoice)
{
    Chromium everyday(9222, home.path() + QStringLiteral("/everyday"));
    ASSERT_TRUE(everyday.start());

    const auto listingsBefore = platform::processListings();
    EXPECT_EQ(activeChromePort(true), 9223);
    EXPECT_EQ(activeChromePort(false), 9223);
    EXPECT_EQ(platform::processListings() - listingsBefore, 1u) << "the second call is answered from the cache";

    // The everyday Chrome answers on 9222, but the chosen port has nothing yet.
    EXPECT_FALSE(chromeIsReady(localHost));
}

TEST_F(ChromeIntegration, WhenEveryCandidateIsTakenOursStartsOnTheNextFreePort)
{
    Chromium everyday(9222, home.path() + QStringLiteral("/everyday"));
    Chromium other(9223, home.path() + QStringLiteral("/other"));
    ASSERT_TRUE(everyday.start());
    ASSERT_TRUE(other.start());
    const auto pages = [](qint64 port) {
        QProcess curl;
        curl.start(QStringLiteral("curl"),
                   {QStringLiteral("-s"), QStringLiteral("http://127.0.0.1:%1/json/list").arg(port)});
        curl.waitForFinished(10000);
        return curl.readAllStandardOutput().count("\"type\": \"page\"");
    };
    const int everydayPages = pages(9222);

    test::ScopedEnv flags("CORVANE_CHROME_FLAGS", test::quietChromiumSwitches().join(QLatin1Char(' ')));
    const StopChromeOnExit cleanup {companionChromeProfile()};
    EXPECT_EQ(activeChromePort(true), 9224) << "every candidate answers, none is ours";
    EXPECT_TRUE(ensureChromeReady(20).ready);
    EXPECT_TRUE(test::hasEvent(home.logged(), "chrome.launch", {{"port", "9224"}, {"via", "gate"}}));
    EXPECT_EQ(runningChrome(currentChromeTarget()), (RunningChrome {9224, QStringLiteral("Default"), ChromeVia::gate}));
    EXPECT_EQ(pages(9222), everydayPages) << "the user's Chrome is left alone";
}

// Another account's listener is never our Chrome, whatever it answers and
// whatever its command line says: its port is neither driven nor chosen.
TEST_F(ChromeIntegration, AnotherUsersProcessIsNeverTakenForOurChrome)
{
    if (!platform::runningAsRoot() || !platform::isExecutableFile(QStringLiteral("/usr/bin/setpriv")))
        GTEST_SKIP() << "needs root and setpriv to run a process as another user";
    // A squatter on the first candidate port that answers like a Chrome.
    QProcess squatter;
    squatter.start(QStringLiteral("setpriv"),
                   {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                    QStringLiteral("--clear-groups"), QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                    QStringLiteral("import http.server as h\n"
                                   "class R(h.BaseHTTPRequestHandler):\n"
                                   "  def do_GET(s): s.send_response(200); s.end_headers(); s.wfile.write(b'{}')\n"
                                   "h.HTTPServer(('127.0.0.1', 9222), R).serve_forever()")});
    ASSERT_TRUE(squatter.waitForStarted(5000));
    const std::shared_ptr<void> stopSquatter(nullptr, [&](void *) {
        squatter.kill();
        squatter.waitForFinished(5000);
    });
    // A process of another account that poses as our Chrome: our executable,
    // our folder and a port in its command line, and an answering endpoint.
    QProcess impostor;
    impostor.start(QStringLiteral("setpriv"),
                   {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                    QStringLiteral("--clear-groups"), QStringLiteral("bash"), QStringLiteral("-c"),
                    QStringLiteral("exec -a \"$0\" /usr/bin/python3 \"$@\""), chromeAppPath(), QStringLiteral("-c"),
                    QStringLiteral("import http.server as h\n"
                                   "class R(h.BaseHTTPRequestHandler):\n"
                                   "  def do_GET(s): s.send_response(200); s.end_headers(); s.wfile.write(b'{}')\n"
                                   "h.HTTPServer(('127.0.0.1', 9223), R).serve_forever()"),
                    QStringLiteral("--user-data-dir=") + companionChromeProfile(),
                    QStringLiteral("--remote-debugging-port=9223")});
    ASSERT_TRUE(impostor.waitForStarted(5000));
    const std::shared_ptr<void> stop(nullptr, [&](void *) {
        impostor.kill();
        impostor.waitForFinished(5000);
    });
    ASSERT_TRUE(test::eventually(
        [] { return portListener(9222) == PortListener::other && portListener(9223) == PortListener::other; }, 10));

    EXPECT_FALSE(chromeIsReady(localHost, 9222));
    EXPECT_FALSE(chromeIsReady(localHost, 9223));
    EXPECT_EQ(runningChrome(currentChromeTarget()), std::nullopt);
    EXPECT_EQ(activeChromePort(true), 9224) << "their ports are avoided, never driven";
    EXPECT_TRUE(test::hasEvent(home.logged(), "chrome.foreign-port", {{"port", "9222"}, {"uid", "65534"}}));
}

TEST_F(ChromeIntegration, FindsTheCompanionChromeWithItsProfile)
{
    Chromium everyday(9222, home.path() + QStringLiteral("/everyday"));
    Chromium companion(9223, companionChromeProfile(), QStringLiteral("Profile 7"));
    ASSERT_TRUE(everyday.start());
    ASSERT_TRUE(companion.start());

    const ChromeTarget target = currentChromeTarget();
    EXPECT_EQ(target.userDataDir, companionChromeProfile());
    const auto running = runningChrome(target);
    ASSERT_TRUE(running.has_value());
    EXPECT_EQ(*running, (RunningChrome {9223, QStringLiteral("Profile 7")}));
    EXPECT_EQ(activeChromePort(true), 9223);
    EXPECT_TRUE(chromeIsReady(localHost));
    EXPECT_EQ(chromeProfileSummary(target, running),
              QStringLiteral("Chrome: .corvane-companion-chrome \u00B7 Profile 7 \u00B7 port 9223"));
}

TEST_F(ChromeIntegration, EnsureChromeReadyStartsChromeOnTheTarget)
{
    test::ScopedEnv flags("CORVANE_CHROME_FLAGS", test::quietChromiumSwitches().join(QLatin1Char(' ')));
    const StopChromeOnExit cleanup {companionChromeProfile()};
    const qint64 port = activeChromePort(true);

    const ChromeReadiness started = ensureChromeReady(20);
    EXPECT_TRUE(started.ready);
    EXPECT_EQ(started.text, QStringLiteral("Started Chrome with remote debugging."));

    const QList<test::LoggedEvent> events = home.logged();
    EXPECT_TRUE(test::hasEvent(events, "chrome.autostart", {{"profile", companionChromeProfile()}}));
    const test::LoggedEvent launch = firstEvent(events, QStringLiteral("chrome.launch"));
    EXPECT_TRUE(test::isEvent(launch, "chrome.launch",
                              {{"port", QString::number(port)},
                               {"profile", "Default"},
                               {"exe", "/usr/lib/chromium/chromium"},
                               {"via", "gate"}}));
    EXPECT_TRUE(launch["switches"].contains(QStringLiteral("--disable-background-networking"))) << launch;
    const test::LoggedEvent ok = firstEvent(events, QStringLiteral("chrome.autostart.ok"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+$")).match(ok["ms"]).hasMatch()) << ok;
    EXPECT_EQ(runningChrome(currentChromeTarget()), (RunningChrome {port, QStringLiteral("Default"), ChromeVia::gate}));

    const ChromeReadiness again = ensureChromeReady(8);
    EXPECT_EQ(again.text, QStringLiteral("Chrome debugging is on."));
    EXPECT_EQ(home.events().size(), events.size()) << "no launch and no event when Chrome already answers";
}

TEST_F(ChromeIntegration, EnsureChromeReadyFailures)
{
    const qint64 port = activeChromePort(true);
    const QString notInstalled = home.path() + QStringLiteral("/missing/chrome");
    const QString unstartable = home.path() + QStringLiteral("/bin/broken-chrome");
    ASSERT_TRUE(test::writeFile(unstartable, "#!/nonexistent/interpreter\n"));
    QFile::setPermissions(unstartable, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    struct Case {
        const char *name;
        QString executable;
        double timeout;
        QString text;
        QString lastEvent;
    };
    const QString neverOpens = QStringLiteral("Chrome did not open the debugging port ") + QString::number(port)
        + QStringLiteral(". If Chrome is already open on that profile without remote debugging, quit it and let "
                         "Companion start it again.");
    const Case cases[] = {
        {"not installed", notInstalled, 8, QStringLiteral("Google Chrome is not installed."),
         QStringLiteral("chrome.autostart")},
        {"cannot be started", unstartable, 8, QStringLiteral("Chrome did not start."),
         QStringLiteral("chrome.autostart")},
        // A program that starts but never opens the port stands in for a Chrome
        // already open on the profile without debugging.
        {"port never opens", QStringLiteral("/bin/true"), 0, neverOpens, QStringLiteral("chrome.autostart.fail")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedEnv app("CORVANE_CHROME_APP", c.executable);
        const qsizetype before = home.events().size();
        const ChromeReadiness result = ensureChromeReady(c.timeout);
        EXPECT_FALSE(result.ready);
        EXPECT_EQ(result.text, c.text);
        const QList<test::LoggedEvent> events = home.logged().mid(before);
        ASSERT_FALSE(events.isEmpty());
        EXPECT_EQ(events.first().name, QStringLiteral("chrome.autostart"));
        EXPECT_EQ(events.last().name, c.lastEvent);
        EXPECT_EQ(countEvents(events, QStringLiteral("chrome.autostart.ok")), 0);
    }
    EXPECT_TRUE(
        test::hasEvent(home.logged(), "chrome.autostart.fail", {{"hint", "profile in use without debug port"}}));
}

TEST_F(ChromeIntegration, SignInWindowAlwaysLaunches)
{
    test::ScopedEnv app("CORVANE_CHROME_APP", QStringLiteral("/bin/true"));
    EXPECT_EQ(openChromeForSignIn(), QStringLiteral("Opened a window on the Default Chrome profile."));
    EXPECT_TRUE(test::hasEvent(
        home.logged(), "chrome.signin.window",
        {{"dir", companionChromeProfile()}, {"port", QString::number(activeChromePort(false))}, {"exe", "/bin/true"}}));
    {
        test::ScopedEnv missing("CORVANE_CHROME_APP", home.path() + QStringLiteral("/none"));
        EXPECT_EQ(openChromeForSignIn(), QStringLiteral("Google Chrome is not installed."));
    }
}
