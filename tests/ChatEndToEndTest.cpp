// Jobs from the development chat service through the channel into a real
// headless Chromium with the real agent-browser, and their results back on
// both channels.

#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeTarget.h"
#include "link/LinkStore.h"
#include "link/ResultPosting.h"
#include "link/SocketChannel.h"

#include "BrowserSuite.h"
#include "DevChat.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "LocalHttp.h"
#include "QtPrinting.h"
#include "TempHome.h"
#include "TestDriver.h"
#include "TestHttpServer.h"

#include "UrlSession.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <future>

using namespace corvane;
using test::eventually;

class ChatEndToEnd : public test::BrowserSuite {
protected:
    static void SetUpTestSuite()
    {
        startStage();
        servePages({
            {"/form.html", "<!doctype html><title>Form page</title><input aria-label=\"Query\"><button>Send</button>"},
        });
    }

    // Runs the channel for `link` until the test ends it.
    std::future<LoopResult> connect(const CompanionLink &link)
    {
        saveLink(link);
        return std::async(std::launch::async,
                          [link] { return runSocket(link, test::testDriver(), platform::UrlSession::shared()); });
    }
};

TEST_F(ChatEndToEnd, JobsRunInChromiumAndComeBackOnBothChannels)
{
    test::DevChat chat;
    ASSERT_TRUE(chat.started());
    const CompanionLink link {chat.origin(), newLinkToken()};
    std::future<LoopResult> channel = connect(link);

    const QString page = QString::fromLatin1(pages->url("/form.html"));
    const QJsonObject opened = chat.runJob(QStringLiteral("/open"), {{"url", page}}, 60);
    const QJsonObject viewed = chat.runJob(QStringLiteral("/view"), {}, 60);

    for (const QJsonObject &job : {opened, viewed}) {
        SCOPED_TRACE(job.value(QStringLiteral("path")).toString().toStdString());
        const QJsonObject socket = job.value(QStringLiteral("socket")).toObject();
        const QJsonObject http = job.value(QStringLiteral("http")).toObject();
        EXPECT_EQ(job.value(QStringLiteral("socket_count")).toInt(), 1);
        EXPECT_EQ(job.value(QStringLiteral("http_count")).toInt(), 1);
        EXPECT_EQ(socket, http);
        EXPECT_EQ(socket.value(QStringLiteral("id")), job.value(QStringLiteral("id")));
        EXPECT_EQ(socket.value(QStringLiteral("token")).toString(), link.token);
        EXPECT_TRUE(socket.value(QStringLiteral("ok")).toBool())
            << socket.value(QStringLiteral("text")).toString().toStdString();
        EXPECT_TRUE(socket.value(QStringLiteral("chrome")).toBool());
    }
    const QJsonObject view = viewed.value(QStringLiteral("socket")).toObject();
    EXPECT_EQ(opened.value(QStringLiteral("socket")).toObject().value(QStringLiteral("url")).toString(), page);
    EXPECT_EQ(view.value(QStringLiteral("title")).toString(), QStringLiteral("Form page"));
    EXPECT_EQ(view.value(QStringLiteral("url")).toString(), page);
    EXPECT_TRUE(view.value(QStringLiteral("image")).toString().startsWith(QLatin1String("data:image/jpeg;base64,")));

    const QJsonObject received = chat.get("/dev/received");
    EXPECT_EQ(received.value(QStringLiteral("connections"))
                  .toArray()
                  .first()
                  .toObject()
                  .value(QStringLiteral("version"))
                  .toString(),
              QStringLiteral("0.1.0"));

    clearLink();
    chat.post("/dev/drop", {});
    ASSERT_EQ(channel.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(channel.get(), LoopResult::idle);

    // The token travelled on every result, and never into the log.
    EXPECT_FALSE(home->events(QStringLiteral("job.done")).isEmpty());
    EXPECT_FALSE(test::readFile(home->logDir() + QStringLiteral("/events.log")).contains(link.token.toUtf8()));
}

TEST_F(ChatEndToEnd, ASocketOpensOnlyOnceTheUserApprovedTheLink)
{
    test::DevChat chat({QStringLiteral("--heartbeat"), QStringLiteral("1")});
    ASSERT_TRUE(chat.started());
    const CompanionLink link {chat.origin(), newLinkToken()};

    // Before approval the handshake is refused: a failed receive.
    EXPECT_EQ(connect(link).get(), LoopResult::closed);
    EXPECT_EQ(home->logged(QStringLiteral("socket.recv-fail")).last()["host"], QStringLiteral("127.0.0.1"));

    // The approval page's button posts back to the page.
    const test::LocalReply approved = test::exchange(chat.port(),
                                                     {"POST /companion/connect?token=" + link.token.toUtf8()
                                                      + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                        "Connection: close\r\nContent-Length: 0\r\n\r\n"});
    EXPECT_EQ(approved.status, 200);

    std::future<LoopResult> channel = connect(link);
    const QJsonObject health = chat.runJob(QStringLiteral("/health"), {}, 30);
    EXPECT_EQ(health.value(QStringLiteral("socket")).toObject().value(QStringLiteral("text")).toString(),
              QStringLiteral("Chrome debugging is on."));
    // The service's heartbeats are logged and go unanswered.
    EXPECT_TRUE(eventually([&] { return !home->events(QStringLiteral("socket.heartbeat")).isEmpty(); }));

    // A hang-up revokes the token: the service closes the socket.
    hangUp(link, platform::UrlSession::shared());
    ASSERT_EQ(channel.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(channel.get(), LoopResult::closed);
    clearLink();
}
