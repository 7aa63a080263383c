// The companion's own Chrome behind its gate, with the real executable, the
// real Chromium and the real agent-browser: only the user's programs reach
// it, several clients share it, and it outlives the companion but not Chrome.

#include "Chromium.h"
#include "CompanionProcess.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "LocalHttp.h"
#include "RawDevTools.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeTarget.h"
#include "wire/CompanionPort.h"

#include "PeerUser.h"
#include "Processes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#include <gtest/gtest.h>

#include <future>

using namespace corvane;
using test::browserSocketUrl;
using test::eventuallyHandlingEvents;
using test::postJson;
using test::RawClient;

namespace {

// What another account gets from the port: nothing at all.
QByteArray asAnotherUser(const QStringList &command)
{
    QProcess process;
    process.start("setpriv", QStringList {"--reuid=nobody", "--regid=nogroup", "--clear-groups"} + command);
    process.waitForFinished(30000);
    return process.readAllStandardOutput();
}

qsizetype launches(const test::TempHome &home)
{
    return home.logged("chrome.launch").size();
}

} // namespace

TEST(ChromeGate, OnlyTheUserReachesItClientsShareItAndItOutlivesTheCompanion)
{
    test::TempHome home;
    ASSERT_TRUE(test::linkRealAgentBrowser());
    test::ScopedEnv flags("CORVANE_CHROME_FLAGS", test::quietChromiumSwitches().join(QLatin1Char(' ')));
    const std::shared_ptr<void> cleanup(nullptr, [](void *) {
        test::stopChromeOn(companionChromeProfile());
        test::stopAgentBrowserSessions();
    });
    test::TestHttpServer pages(
        test::htmlPages({{"/", "<title>Shop</title><button onclick=\"document.title='Paid'\">Pay</button>"}}));

    auto companion = std::make_unique<test::CompanionProcess>();
    ASSERT_TRUE(companion->waitListening());
    ASSERT_EQ(postJson(companionPort, "/open", {{"url", QString::fromLatin1(pages.url("/"))}}).json().value("ok"),
              true);
    ASSERT_FALSE(home.logged("chrome.launch").isEmpty());
    const test::LoggedEvent launch = home.logged("chrome.launch").last();
    ASSERT_EQ(launch["via"], QStringLiteral("gate")) << launch;
    const quint16 port = launch["port"].toUShort();
    EXPECT_EQ(runningChrome(currentChromeTarget())->via, ChromeVia::gate);

    // Nobody else: another account gets no answer at all, a web page's
    // requests are refused, and neither reaches Chrome.
    if (platform::runningAsRoot()) {
        const QString version = QStringLiteral("http://127.0.0.1:%1/json/version").arg(port);
        EXPECT_EQ(asAnotherUser({"curl", "-s", "-m", "10", version}), QByteArray());
        const QByteArray handshake = asAnotherUser(
            {"/usr/bin/python3", "-c",
             QStringLiteral(
                 "import socket; s=socket.create_connection(('127.0.0.1',%1)); "
                 "s.sendall(b'GET /devtools/browser/x HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\nUpgrade: websocket\\r\\n"
                 "Connection: Upgrade\\r\\nSec-WebSocket-Version: 13\\r\\nSec-WebSocket-Key: "
                 "dGhlIHNhbXBsZSBub25jZQ==\\r\\n\\r\\n'); "
                 "print(s.recv(100))")
                 .arg(port)});
        EXPECT_FALSE(handshake.contains("HTTP")) << handshake.toStdString();
    }
    const struct {
        const char *reason;
        QByteArray request;
    } pageRequests[] = {
        {"origin", "GET /json/version HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://shop.example\r\n\r\n"},
        {"site", "GET /json/list HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Site: cross-site\r\n\r\n"},
        {"host", "GET /json/version HTTP/1.1\r\nHost: rebound.example\r\n\r\n"},
        {"origin",
         "GET /devtools/browser/x HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://shop.example\r\nUpgrade: websocket\r\n"
         "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"},
    };
    for (const auto &c : pageRequests) {
        SCOPED_TRACE(c.request.toStdString());
        const test::LocalReply refused = test::exchange(port, {c.request});
        EXPECT_EQ(refused.status, 403);
        EXPECT_TRUE(test::hasEvent(home.logged(), "gate.reject", {{"reason", c.reason}}));
    }
    if (platform::runningAsRoot()) {
        EXPECT_TRUE(test::hasEvent(home.logged(), "gate.reject", {{"reason", "user"}}));
    }

    // Two clients at once, the tool and a raw one using the same small ids:
    // each gets its own replies.
    RawClient raw(browserSocketUrl(port));
    ASSERT_TRUE(raw.connected());
    const QString target = raw.call(1, "Target.createTarget", {{"url", "about:blank"}}).value("targetId").toString();
    const QString session
        = raw.call(2, "Target.attachToTarget", {{"targetId", target}, {"flatten", true}}).value("sessionId").toString();
    ASSERT_FALSE(session.isEmpty());
    auto snapshot = std::async(std::launch::async, [] { return postJson(companionPort, "/snapshot"); });
    for (int id = 3; id < 40; ++id)
        raw.send(id, "Runtime.evaluate", {{"expression", QStringLiteral("%1 * %1").arg(id)}, {"returnByValue", true}},
                 session);
    for (int id = 3; id < 40; ++id)
        EXPECT_EQ(raw.reply(id).value("result").toObject().value("result").toObject().value("value").toInt(), id * id)
            << id;
    while (snapshot.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_TRUE(snapshot.get().json().value("text").toString().contains("button \"Pay\"")) << "the tool's own replies";
    EXPECT_EQ(raw.replies().size(), 39) << "no reply of the tool's reached the raw client";
    EXPECT_EQ(raw.call(40, "Runtime.evaluate", {{"expression", "1"}}, QStringLiteral("another-clients-session")),
              QJsonObject());

    // A client that leaves has its sessions detached: what it set up in
    // them (a script for every new document) goes with them.
    raw.call(42, "Page.enable", {}, session);
    ASSERT_TRUE(
        raw.call(41, "Page.addScriptToEvaluateOnNewDocument", {{"source", "window.rawClient = 'still here'"}}, session)
            .contains("identifier"));
    raw.close();
    RawClient next(browserSocketUrl(port));
    ASSERT_TRUE(next.connected());
    const QString look = next.call(1, "Target.attachToTarget", {{"targetId", target}, {"flatten", true}})
                             .value("sessionId")
                             .toString();
    next.call(2, "Page.navigate", {{"url", QString::fromLatin1(pages.url("/"))}}, look);
    QString seen;
    eventuallyHandlingEvents(
        [&, id = 3]() mutable {
            seen = next.call(id++, "Runtime.evaluate",
                             {{"expression", "document.title + ' ' + window.rawClient"}, {"returnByValue", true}}, look)
                       .value("result")
                       .toObject()
                       .value("value")
                       .toString();
            return seen.startsWith("Shop");
        },
        30);
    EXPECT_EQ(seen, QStringLiteral("Shop undefined")) << "the raw client's session went with it";
    next.call(100, "Target.closeTarget", {{"targetId", target}});

    // The gate and Chrome outlive the companion, and the next one uses them.
    const qsizetype before = launches(home);
    ASSERT_TRUE(companion->stop());
    companion.reset();
    ASSERT_EQ(runningChrome(currentChromeTarget()), (RunningChrome {port, QStringLiteral("Default"), ChromeVia::gate}));
    companion = std::make_unique<test::CompanionProcess>();
    ASSERT_TRUE(companion->waitListening());
    EXPECT_EQ(postJson(companionPort, "/click", {{"ref", "e1"}}).json().value("ok"), true);
    EXPECT_EQ(postJson(companionPort, "/view").json().value("title"), QStringLiteral("Paid"));
    EXPECT_EQ(launches(home), before) << "no second Chrome";

    // Closing Chrome ends the gate.
    next.send(101, "Browser.close");
    EXPECT_TRUE(eventuallyHandlingEvents([] { return test::chromePidsOn(companionChromeProfile()).isEmpty(); }, 30));
    EXPECT_TRUE(eventuallyHandlingEvents([&] { return QProcess::execute("pgrep", {"-f", "chrome-gate"}) == 1; }, 30));
}

// A Chrome the user started with a port of its own is still used, and the
// status says that port is open to every account.
TEST(ChromeGate, StatusWarnsOfAChromeWithItsOwnPort)
{
    test::TempHome home;
    test::Chromium own(9222, companionChromeProfile());
    ASSERT_TRUE(own.start());
    const auto status = [] {
        QProcess process;
        process.start(test::CompanionProcess::executable(), {"status"});
        process.waitForFinished(30000);
        return QString::fromUtf8(process.readAllStandardOutput());
    };
    EXPECT_TRUE(status().contains("Chrome's debugging port 9222 is open to every account of this machine")) << status();
    own.stop();
    EXPECT_FALSE(status().contains("open to every account"));
}
