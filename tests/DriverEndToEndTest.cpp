// Every driver path over real HTTP on the local server, against a real
// headless Chromium and the real agent-browser, on pages served from
// 127.0.0.1 by the test itself.

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeTarget.h"
#include "diagnostics/JobActivity.h"
#include "driver/Driver.h"
#include "driver/PageView.h"
#include "server/LoopbackServer.h"
#include "wire/CompanionPort.h"
#include "wire/HttpMessage.h"

#include "BrowserSuite.h"
#include "Chromium.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "LocalHttp.h"
#include "TempHome.h"
#include "TestDriver.h"
#include "TestHttpServer.h"

#include "Dispatch.h"

#include <QHostAddress>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace corvane;
using test::eventually;
using test::LocalReply;
using test::postJson;

namespace {

constexpr qint64 chromePort = test::BrowserStage::chromePort;

QMap<QByteArray, QByteArray> testPages(quint16 companion)
{
    return {
        {"/form.html",
         "<!doctype html><title>Form page</title>"
         "<input aria-label=\"Query\" id=\"q\">"
         "<button onclick=\"document.title='Clicked '+document.getElementById('q').value\">Send</button>"},
        {"/other.html", "<!doctype html><title>Other page</title><a href=\"/form.html\">Back to the form</a>"},
        {"/user.html", "<!doctype html><title>User tab</title><p>The user's own page.</p>"},
        // An interstitial's words reach the interactive snapshot through its control.
        {"/check.html",
         "<!doctype html><title>Just a moment...</title>"
         "<button onclick=\"document.title='Clicked anyway'\">Checking your browser, continue</button>"},
        {"/long.html",
         "<!doctype html><title>Long page</title><button>Top</button>"
         "<div style=\"height:6000px\"></div><button>Bottom</button>"},
        {"/attack.html",
         "<!doctype html><title>Attack</title><script>fetch('http://127.0.0.1:" + QByteArray::number(companion)
             + "/cli',{method:'POST',mode:'no-cors',body:JSON.stringify({command:'tab list'})})</script>"},
    };
}

// The element reference of a snapshot line such as `- button "Send" [ref=e2]`.
QString refOf(const QString &snapshot, const QString &role, const QString &name)
{
    const QRegularExpression line(QRegularExpression::escape(role + QStringLiteral(" \"") + name + QStringLiteral("\""))
                                  + QStringLiteral(R"([^\n]*\[ref=(e\d+)\])"));
    return line.match(snapshot).captured(1);
}

QString text(const LocalReply &reply)
{
    return reply.json().value(QStringLiteral("text")).toString();
}

// Chromium's own list of its page tabs: url by id.
QJsonArray chromeTabs()
{
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("http://127.0.0.1:%1/json/list").arg(chromePort)});
    curl.waitForFinished(10000);
    QJsonArray pages;
    for (const QJsonValue &target : QJsonDocument::fromJson(curl.readAllStandardOutput()).array()) {
        if (target.toObject().value(QStringLiteral("type")).toString() == QLatin1String("page"))
            pages.append(target);
    }
    return pages;
}

int workTabsListed(quint16 port)
{
    const LocalReply listing = postJson(port, "/cli", {{"command", "tab list --json"}});
    const QString out = text(listing);
    const QJsonObject data = QJsonDocument::fromJson(out.mid(out.indexOf(QLatin1Char('{'))).toUtf8())
                                 .object()
                                 .value(QStringLiteral("data"))
                                 .toObject();
    int count = 0;
    for (const QJsonValue &tab : data.value(QStringLiteral("tabs")).toArray())
        count += tab.toObject().value(QStringLiteral("label")).toString() == QLatin1String("cv-work") ? 1 : 0;
    return count;
}

} // namespace

class DriverEndToEnd : public test::BrowserSuite {
protected:
    static void SetUpTestSuite()
    {
        startStage();
        chromium = &stage->chromium;
        server = new LoopbackServer(test::testDriver());
        serverStarted = server->start(0).ok;
        servePages(testPages(server->port()));
    }

    static void TearDownTestSuite()
    {
        delete server;
        BrowserSuite::TearDownTestSuite();
    }

    void SetUp() override
    {
        BrowserSuite::SetUp();
        ASSERT_TRUE(serverStarted);
        port = server->port();
    }

    QByteArray page(const char *path) const { return pages->url(path); }

    LocalReply open(const char *path) const
    {
        return postJson(port, "/open", {{"url", QString::fromLatin1(page(path))}});
    }

    static inline test::Chromium *chromium = nullptr;
    static inline LoopbackServer *server = nullptr;
    static inline bool serverStarted = false;
    quint16 port = 0;
};

TEST_F(DriverEndToEnd, HealthAndRootAnswerWithChromeState)
{
    for (const QByteArray target : {"/health", "/", "/health?probe=1"}) {
        SCOPED_TRACE(target.toStdString());
        const LocalReply reply = test::exchange(port, {"GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});
        ASSERT_EQ(reply.status, 200);
        EXPECT_TRUE(reply.head.contains("\r\nContent-Length: " + QByteArray::number(reply.body.size()) + "\r\n"));
        EXPECT_EQ(
            reply.json(),
            (QJsonObject {{"ok", true}, {"chrome", true}, {"needs_you", false}, {"text", "Chrome debugging is on."}}));
    }
}

// The input table itself runs in-process (DriverRulesTest); here, the edge.
TEST_F(DriverEndToEnd, AGetDoesNotAct)
{
    const int runsBefore = home->events(QStringLiteral("agent.start")).size();
    // A GET does not act: the url below is never read.
    const LocalReply get = test::exchange(port, {"GET /open HTTP/1.1\r\n\r\n{\"url\":\"" + page("/form.html") + "\"}"});
    EXPECT_EQ(get.status, 405);
    EXPECT_EQ(text(get), postNeededText);
    EXPECT_EQ(home->events(QStringLiteral("agent.start")).size(), runsBefore);
}

TEST_F(DriverEndToEnd, OpenCreatesOneWorkTabAndLeavesTheUsersTabsAlone)
{
    // A fresh Chromium: the tool's session forgets every label across restarts.
    chromium->stop();
    ASSERT_TRUE(chromium->start());

    EXPECT_EQ(text(postJson(port, "/snapshot")), noWorkTabText);
    EXPECT_EQ(text(postJson(port, "/view")), noWorkTabText);
    EXPECT_EQ(text(postJson(port, "/cli", {{"command", "eval 1"}})), noWorkTabText);
    const LocalReply tabs = postJson(port, "/cli", {{"command", "tab list"}});
    EXPECT_TRUE(tabs.json().value(QStringLiteral("ok")).toBool()) << tabs.body.toStdString();
    EXPECT_FALSE(text(tabs).contains(QStringLiteral("cv-work")));

    // The user's own tab, opened outside the companion.
    QProcess::execute(QStringLiteral("curl"),
                      {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-X"),
                       QStringLiteral("PUT"),
                       QStringLiteral("http://127.0.0.1:%1/json/new?%2")
                           .arg(chromePort)
                           .arg(QString::fromLatin1(page("/user.html")))});
    ASSERT_TRUE(eventually([] { return chromeTabs().size() == 2; }, 10));

    const LocalReply first = open("/form.html");
    EXPECT_EQ(first.json().value(QStringLiteral("ok")), true) << first.body.toStdString();
    EXPECT_EQ(first.json().value(QStringLiteral("url")).toString(), QString::fromLatin1(page("/form.html")));
    EXPECT_EQ(workTabsListed(port), 1);
    const LocalReply second = open("/other.html");
    EXPECT_EQ(second.json().value(QStringLiteral("ok")), true) << second.body.toStdString();
    EXPECT_TRUE(text(second).contains(QStringLiteral("Other page"))) << text(second).toStdString();
    EXPECT_EQ(workTabsListed(port), 1);

    const QJsonArray after = chromeTabs();
    EXPECT_EQ(after.size(), 3);
    int userTabs = 0;
    for (const QJsonValue &tab : after)
        userTabs += tab.toObject().value(QStringLiteral("url")).toString() == QString::fromLatin1(page("/user.html"))
            ? 1
            : 0;
    EXPECT_EQ(userTabs, 1);

    // An address nobody serves: the tool's failure mark makes the open fail.
    const LocalReply refused = postJson(port, "/open", {{"url", "http://127.0.0.1:9/"}});
    EXPECT_EQ(refused.json().value(QStringLiteral("ok")), false) << refused.body.toStdString();
    EXPECT_FALSE(refused.json().contains(QStringLiteral("url")));
}

TEST_F(DriverEndToEnd, FillThenClickChangeThePageAndAnswerWithTheNewSnapshot)
{
    ASSERT_EQ(open("/form.html").json().value(QStringLiteral("ok")), true);
    const LocalReply snapshot = postJson(port, "/snapshot");
    ASSERT_EQ(snapshot.json().value(QStringLiteral("ok")), true) << snapshot.body.toStdString();
    const QString box = refOf(text(snapshot), QStringLiteral("textbox"), QStringLiteral("Query"));
    const QString button = refOf(text(snapshot), QStringLiteral("button"), QStringLiteral("Send"));
    ASSERT_FALSE(box.isEmpty()) << text(snapshot).toStdString();
    ASSERT_FALSE(button.isEmpty());

    const QString words = QStringLiteral("na\u00efve caf\u00e9");
    const LocalReply filled = postJson(port, "/fill", {{"ref", box}, {"text", words}});
    // A local job is browser work too: no update installs right after it.
    EXPECT_FALSE(browserIsQuiet(600, QDateTime::currentDateTimeUtc()));
    const QJsonObject fill = filled.json();
    EXPECT_EQ(fill.value(QStringLiteral("ok")), true) << filled.body.toStdString();
    EXPECT_TRUE(text(filled).contains(QStringLiteral(": ") + words)) << text(filled).toStdString();
    EXPECT_EQ(fill.value(QStringLiteral("title")).toString(), QStringLiteral("Form page"));
    EXPECT_EQ(fill.value(QStringLiteral("url")).toString(), QString::fromLatin1(page("/form.html")));
    // Content-Length counts the bytes of the accented reply, not its characters.
    EXPECT_TRUE(filled.head.contains("\r\nContent-Length: " + QByteArray::number(filled.body.size()) + "\r\n"));
    EXPECT_GT(filled.body.size(), QString::fromUtf8(filled.body).size());

    const LocalReply clicked = postJson(port, "/click", {{"ref", button}});
    EXPECT_EQ(clicked.json().value(QStringLiteral("ok")), true) << clicked.body.toStdString();
    EXPECT_EQ(clicked.json().value(QStringLiteral("title")).toString(), QStringLiteral("Clicked ") + words);
    EXPECT_TRUE(text(clicked).contains(QStringLiteral("button \"Send\""))) << text(clicked).toStdString();

    const LocalReply unknown = postJson(port, "/click", {{"ref", "e999"}});
    EXPECT_EQ(unknown.json().value(QStringLiteral("ok")), false);
    EXPECT_TRUE(text(unknown).contains(QChar(0x2717))) << text(unknown).toStdString();
}

TEST_F(DriverEndToEnd, ScrollAndViewTheWorkTab)
{
    ASSERT_EQ(open("/long.html").json().value(QStringLiteral("ok")), true);
    const LocalReply scrolled = postJson(port, "/scroll", {{"direction", ""}, {"target", "down"}});
    EXPECT_EQ(scrolled.json().value(QStringLiteral("ok")), true) << scrolled.body.toStdString();
    EXPECT_TRUE(text(scrolled).contains(QStringLiteral("button \"Bottom\"")));
    const LocalReply offset = postJson(port, "/cli", {{"command", "eval window.scrollY"}});
    EXPECT_GT(text(offset).trimmed().toDouble(), 0.0) << text(offset).toStdString();

    const LocalReply viewed = postJson(port, "/view");
    const QJsonObject view = viewed.json();
    EXPECT_EQ(view.value(QStringLiteral("ok")), true);
    EXPECT_EQ(view.value(QStringLiteral("text")).toString(),
              QStringLiteral("Long page\n") + QString::fromLatin1(page("/long.html")));
    const QString image = view.value(QStringLiteral("image")).toString();
    ASSERT_TRUE(image.startsWith(QStringLiteral("data:image/jpeg;base64,")));
    const QImage decoded = QImage::fromData(QByteArray::fromBase64(image.mid(23).toLatin1()), "JPEG");
    EXPECT_FALSE(decoded.isNull());
    EXPECT_GT(decoded.width(), 100);
}

TEST_F(DriverEndToEnd, CommandsRunAsTypedWithTheLauncherDropped)
{
    ASSERT_EQ(open("/form.html").json().value(QStringLiteral("ok")), true);
    const LocalReply title
        = postJson(port, "/cli", {{"command", "agent-browser --cdp 9222 eval \"document.title + ' ok'\""}});
    EXPECT_EQ(title.json().value(QStringLiteral("ok")), true);
    EXPECT_EQ(text(title).trimmed(), QStringLiteral("\"Form page ok\""));
    const LocalReply snapshot = postJson(port, "/cli", {{"args", "snapshot -i -c"}});
    EXPECT_TRUE(text(snapshot).contains(QStringLiteral("textbox \"Query\""))) << text(snapshot).toStdString();
    const LocalReply failing = postJson(port, "/cli", {{"text", "eval \"throw new Error('boom')\""}});
    EXPECT_EQ(failing.json().value(QStringLiteral("ok")), false) << failing.body.toStdString();
}

TEST_F(DriverEndToEnd, AHumanCheckPageNeedsTheUserAndIsNotClicked)
{
    ASSERT_EQ(open("/check.html").json().value(QStringLiteral("ok")), true);
    const LocalReply snapshot = postJson(port, "/snapshot");
    EXPECT_EQ(snapshot.json().value(QStringLiteral("needs_you")), true) << snapshot.body.toStdString();
    EXPECT_EQ(snapshot.json().value(QStringLiteral("ok")), false);

    const QString button
        = refOf(text(snapshot), QStringLiteral("button"), QStringLiteral("Checking your browser, continue"));
    ASSERT_FALSE(button.isEmpty()) << snapshot.body.toStdString();
    const LocalReply clicked = postJson(port, "/click", {{"ref", button}});
    EXPECT_EQ(clicked.json().value(QStringLiteral("needs_you")), true) << clicked.body.toStdString();
    EXPECT_EQ(clicked.json().value(QStringLiteral("ok")), false);
    EXPECT_EQ(text(postJson(port, "/cli", {{"command", "eval document.title"}})).trimmed(),
              QStringLiteral("\"Just a moment...\""));
    const QList<test::LoggedEvent> runs = home->logged(QStringLiteral("agent.start"));
    EXPECT_FALSE(runs.last()["args"].startsWith(QStringLiteral("click"))); // the page check, never the click
}

// Jobs take turns in the work tab: one that comes while another runs is told
// the browser is busy at once, and the first runs on undisturbed.
TEST_F(DriverEndToEnd, AnOverlappingRequestGetsTheBusyTextAndNothingHangs)
{
    ASSERT_EQ(open("/form.html").json().value(QStringLiteral("ok")), true);
    LocalReply slow;
    std::thread first([&] {
        slow = postJson(port, "/cli", {{"command", "eval \"new Promise(r => setTimeout(() => r(7), 3000))\""}});
    });
    const bool running = eventually(
        [] {
            const QList<test::LoggedEvent> starts = home->logged(QStringLiteral("agent.start"));
            return !starts.isEmpty() && starts.last()["args"].startsWith(QStringLiteral("eval new Promise"));
        },
        10);
    const LocalReply overlapping = postJson(port, "/snapshot");
    first.join();
    ASSERT_TRUE(running);
    EXPECT_EQ(overlapping.json(),
              (QJsonObject {{"ok", false}, {"chrome", true}, {"needs_you", false}, {"text", agentBusyText}}));
    EXPECT_EQ(slow.json().value(QStringLiteral("ok")), true) << slow.body.toStdString();
    EXPECT_EQ(text(slow).trimmed(), QStringLiteral("7"));
    EXPECT_FALSE(home->events(QStringLiteral("agent.busy")).isEmpty());
}

TEST_F(DriverEndToEnd, RequestsFromWebPagesAreRefused)
{
    const int before = home->events(QStringLiteral("loopback.reject")).size();
    ASSERT_EQ(open("/attack.html").json().value(QStringLiteral("ok")), true);
    const int requestsAfterOpen = home->events(QStringLiteral("loopback.req")).size();
    ASSERT_TRUE(eventually([&] { return home->events(QStringLiteral("loopback.reject")).size() > before; }, 10))
        << "the page's request never arrived";
    EXPECT_TRUE(test::isEvent(home->logged(QStringLiteral("loopback.reject")).last(), "loopback.reject",
                              {{"reason", "origin"}}));
    EXPECT_EQ(home->events(QStringLiteral("loopback.req")).size(), requestsAfterOpen);

    // A rebinding page reaches us under its own host name.
    const LocalReply rebound
        = test::exchange(port,
                         {"POST /cli HTTP/1.1\r\nHost: attacker.example:" + QByteArray::number(port)
                          + "\r\nContent-Length: 24\r\n\r\n{\"command\":\"tab list\"}  "});
    EXPECT_EQ(rebound.status, 403);
    EXPECT_EQ(text(rebound), webPageRefusedText);
    EXPECT_TRUE(
        test::isEvent(home->logged(QStringLiteral("loopback.reject")).last(), "loopback.reject", {{"reason", "host"}}));
}

TEST_F(DriverEndToEnd, AnnouncedBodiesAreReadWhole)
{
    const QByteArray body = "{\"url\":\"" + page("/form.html") + "?pad=" + QByteArray(3000, 'a') + "\"}";
    const QByteArray head
        = "POST /open HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";

    const LocalReply split = test::exchange(port, {head + "\r\n", body.left(100), body.mid(100)}, 0.3);
    EXPECT_EQ(split.json().value(QStringLiteral("ok")), true) << split.body.toStdString();

    // Expect: 100-continue is answered before the body is sent.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(socket.waitForConnected(5000));
    socket.write(head + "Expect: 100-continue\r\n\r\n");
    QByteArray interim;
    while (!interim.contains("\r\n\r\n") && socket.waitForReadyRead(5000))
        interim += socket.readAll();
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    socket.write(body);
    QByteArray final;
    while (socket.waitForReadyRead(30000))
        final += socket.readAll();
    EXPECT_TRUE(final.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(final.contains("\"ok\":true")) << final.toStdString();

    // curl as a local program would use it, with the interim answer asked for.
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("-H"), QStringLiteral("Expect: 100-continue"),
                QStringLiteral("--data-binary"), QString::fromLatin1(body),
                QStringLiteral("http://127.0.0.1:%1/open").arg(port)});
    ASSERT_TRUE(curl.waitForFinished(60000));
    EXPECT_TRUE(curl.readAllStandardOutput().contains("\"ok\":true"));

    // Without a Content-Length only the first delivery counts.
    const LocalReply unannounced = test::exchange(port, {"POST /open HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", body}, 0.3);
    EXPECT_EQ(text(unannounced), QStringLiteral("open needs one http(s) page."));
}

TEST_F(DriverEndToEnd, WithChromeOffHealthSaysSoAndAnActionStartsIt)
{
    chromium->stop();
    test::stopChromeOn(companionChromeProfile());
    const LocalReply health = postJson(port, "/health");
    EXPECT_EQ(health.json(),
              (QJsonObject {{"ok", false}, {"chrome", false}, {"needs_you", false}, {"text", chromeOffText}}));
    EXPECT_FALSE(chromeIsReady(QStringLiteral("127.0.0.1"), chromePort)) << "/health must never start Chrome";
    EXPECT_EQ(test::testDriver().drive(QStringLiteral("/open"),
                                       {{QStringLiteral("url"), QString::fromLatin1(page("/form.html"))}}, false),
              (DriverResult {false, chromeOffText, false, false, {}, {}, {}, {}, {}, {}}));

    const LocalReply opened = open("/form.html");
    EXPECT_EQ(opened.json().value(QStringLiteral("ok")), true) << opened.body.toStdString();
    EXPECT_EQ(home->events(QStringLiteral("chrome.autostart.ok")).size(), 1);
    const LocalReply snapshot = postJson(port, "/snapshot");
    EXPECT_TRUE(text(snapshot).contains(QStringLiteral("textbox \"Query\""))) << snapshot.body.toStdString();
}

TEST_F(DriverEndToEnd, TheHeadlessExecutableServesPort8766OnLoopbackOnly)
{
    QProcess companion;
    companion.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    companion.start(QStringLiteral(CORVANE_COMPANION_EXECUTABLE), {QStringLiteral("--headless")});
    ASSERT_TRUE(companion.waitForStarted(5000));
    ASSERT_TRUE(eventually([] { return !home->events(QStringLiteral("loopback.listen")).isEmpty(); }, 10));
    EXPECT_TRUE(
        test::isEvent(home->logged(QStringLiteral("loopback.listen")).last(), "loopback.listen", {{"port", "8766"}}));

    const LocalReply health = postJson(companionPort, "/health");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.json().value(QStringLiteral("chrome")), true) << health.body.toStdString();
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.isLoopback() || address.isLinkLocal())
            continue;
        SCOPED_TRACE(address.toString().toStdString());
        QTcpSocket outside;
        outside.connectToHost(address, companionPort);
        EXPECT_FALSE(outside.waitForConnected(2000));
    }

    // A second companion of the same user leaves the first to it.
    QProcess second;
    second.start(QStringLiteral(CORVANE_COMPANION_EXECUTABLE), {QStringLiteral("--headless")});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(home->events(QStringLiteral("loopback.fail")).isEmpty());
    EXPECT_EQ(postJson(companionPort, "/health").status, 200);

    companion.terminate();
    EXPECT_TRUE(companion.waitForFinished(10000));
}

// A listing whose tabs carry no target ids (another version of the tool, or
// a fault) makes an action go unwatched, never end the companion; warnings
// on standard error and text before the JSON leave the answers readable.
TEST_F(DriverEndToEnd, ToolOutputWithoutTargetIdsOrWithWarningsIsStillRead)
{
    const std::shared_ptr<void> realToolAgain(nullptr, [](void *) { test::linkRealAgentBrowser(); });
    test::installFakeAgentBrowser(
        QStringLiteral("echo '\\342\\232\\240 ignoring 1 unsupported settings from ./agent-browser.json (automatic "
                       "project config is untrusted).' >&2\n"
                       "case \"$*\" in\n"
                       "  *'tab list'*) echo 'a note first'; echo "
                       "'{\"success\":true,\"data\":{\"tabs\":[{\"active\":true,\"label\":\"cv-work\",\"url\":\"http://"
                       "x.example/\"}]}}' ;;\n"
                       "  *snapshot*) echo '- button \"Go\" [ref=e1]' ;;\n"
                       "  *click*) echo '\\342\\234\\223 Done' ;;\n"
                       "  *url*) echo '{\"success\":true,\"data\":{\"url\":\"http://x.example/\"}}' ;;\n"
                       "  *title*) echo '{\"success\":true,\"data\":{\"title\":\"X\"}}' ;;\n"
                       "esac"));
    const LocalReply clicked = postJson(port, "/click", {{"ref", "e1"}});
    ASSERT_EQ(clicked.status, 200) << "the companion answered";
    EXPECT_EQ(clicked.json().value(QStringLiteral("ok")), true) << clicked.body.toStdString();
    EXPECT_EQ(clicked.json().value(QStringLiteral("url")), QStringLiteral("http://x.example/"))
        << clicked.body.toStdString();
    EXPECT_TRUE(text(clicked).startsWith(QStringLiteral("- button \"Go\" [ref=e1]"))) << clicked.body.toStdString();
}
