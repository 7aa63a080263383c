// The job channel against a chat service inside the test process, for the
// faults a real service does not produce on demand: odd frames, silence,
// the link vanishing mid-connection, a slow job. The rhythm is shortened;
// every rule is the one the channel uses with its real intervals.

#include "link/SocketChannel.h"
#include "chrome/ChromeDiscovery.h"
#include "chrome/ChromeTarget.h"
#include "driver/WorkTab.h"
#include "link/LinkStore.h"
#include "link/ResultPosting.h"

#include "BrowserSuite.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "ScriptedChatService.h"
#include "TempHome.h"
#include "TestDriver.h"
#include "TestHttpServer.h"

#include "Dispatch.h"
#include "UrlSession.h"

#include <QJsonDocument>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QThread>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

#include <gtest/gtest.h>

#include <future>

using namespace corvane;
using test::eventually;

namespace {

const SocketTimings quick {0.3, 2.0, 4.0, 60.0};

QJsonObject parsed(const QString &frame)
{
    return QJsonDocument::fromJson(frame.toUtf8()).object();
}

QStringList jobReplies(const QStringList &frames)
{
    QStringList replies;
    for (const QString &frame : frames) {
        if (frame != heartbeatText)
            replies.append(frame);
    }
    return replies;
}

} // namespace

// Jobs find Chrome running, so none starts one of its own.
class SocketChannel : public test::BrowserSuite {
protected:
    static void SetUpTestSuite() { startStage(); }

    void SetUp() override
    {
        BrowserSuite::SetUp();
        if (HasFatalFailure())
            return;
        link = {service.origin(), newLinkToken()};
        saveLink(link);
        eventsBefore = home->events().size();
    }

    void TearDown() override
    {
        clearLink();
        if (run.valid())
            run.wait_for(std::chrono::seconds(10));
    }

    void start(SocketTimings timings = quick)
    {
        run = std::async(std::launch::async, [this, timings] {
            return runSocket(link, test::testDriver(), platform::UrlSession::shared(), timings);
        });
        ASSERT_TRUE(service.waitForConnections(++connections));
    }

    // The loop result once the connection has ended.
    std::optional<LoopResult> result(double seconds = 10.0)
    {
        if (run.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready)
            return std::nullopt; // still running
        return run.get();
    }

    // This test's events whose name starts with `prefix`.
    QList<test::LoggedEvent> events(const QString &prefix = QString()) const
    {
        QList<test::LoggedEvent> found;
        for (const test::LoggedEvent &event : test::loggedEvents(home->events().mid(eventsBefore))) {
            if (event.name.startsWith(prefix))
                found.append(event);
        }
        return found;
    }

    QStringList eventNames() const
    {
        QStringList names;
        for (const test::LoggedEvent &event : events())
            names.append(event.name);
        return names;
    }

    test::ScriptedChatService service;
    CompanionLink link;
    std::future<LoopResult> run;
    int connections = 0;
    qsizetype eventsBefore = 0;
};

TEST_F(SocketChannel, ConnectsWithTheTokenAndVersionAndClosesWithGoingAway)
{
    start();
    const QUrlQuery query(QUrl(service.handshakePath()));
    EXPECT_TRUE(service.handshakePath().startsWith(QLatin1String("/api/assistant/companion/socket?")));
    EXPECT_EQ(query.queryItemValue(QStringLiteral("token")), link.token);
    EXPECT_EQ(query.queryItemValue(QStringLiteral("v")), QStringLiteral("0.1.0"));

    service.sendText(QStringLiteral(R"({"waiting":true})"));
    EXPECT_EQ(result(), LoopResult::waiting);
    EXPECT_TRUE(eventually([&] { return service.closeCode().has_value(); }));
    EXPECT_EQ(service.closeCode(), goingAwayCloseCode);
    EXPECT_TRUE(test::isEvent(events().front(), "socket.connect", {{"host", "127.0.0.1"}, {"scheme", "ws"}}));
    EXPECT_TRUE(test::isEvent(events().back(), "socket.waiting", {{"host", "127.0.0.1"}}));
}

TEST_F(SocketChannel, MessagesThatEndTheConnection)
{
    struct Case {
        const char *name;
        std::function<void(test::ScriptedChatService &)> send;
        LoopResult result;
        QString lastEvent;
        QMap<QString, QString> lastFields;
    };
    const Case cases[] = {
        {"binary frame",
         [](auto &s) { s.sendBinary(R"({"id":"job-1","path":"/health"})"); },
         LoopResult::closed,
         "socket.recv-fail",
         {{"error", "non-text"}}},
        {"not JSON",
         [](auto &s) { s.sendText(QStringLiteral("hello")); },
         LoopResult::closed,
         "socket.closed",
         {{"reason", "empty-or-bad-json"}}},
        {"empty text",
         [](auto &s) { s.sendText(QString()); },
         LoopResult::closed,
         "socket.closed",
         {{"reason", "empty-or-bad-json"}}},
        {"array",
         [](auto &s) { s.sendText(QStringLiteral(R"([{"id":"job-1"}])")); },
         LoopResult::closed,
         "socket.closed",
         {{"reason", "empty-or-bad-json"}}},
        {"refresh carrying a job",
         [](auto &s) { s.sendText(QStringLiteral(R"({"refresh":true,"id":"job-1","path":"/health"})")); },
         LoopResult::refresh,
         "socket.refresh",
         {}},
        {"waiting",
         [](auto &s) { s.sendText(QStringLiteral(R"({"waiting":true,"heartbeat":false})")); },
         LoopResult::waiting,
         "socket.waiting",
         {}},
        // Arriving over several receive turns, with heartbeats due meanwhile.
        {"a message over 16 MiB, trickling in",
         [](auto &s) {
             s.trickleText(QStringLiteral(R"({"id":"j","path":"/health","pad":")")
                               + QString(17 * 1024 * 1024, QLatin1Char('p')) + QStringLiteral("\"}"),
                           4 * 1024 * 1024);
         },
         LoopResult::closed,
         "socket.recv-fail",
         {{"error", "too-large"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        eventsBefore = home->events().size();
        const qsizetype repliesBefore = jobReplies(service.frames()).size();
        start();
        c.send(service);
        EXPECT_EQ(result(), c.result);
        EXPECT_TRUE(test::isEvent(events().back(), c.lastEvent, c.lastFields));
        EXPECT_TRUE(events(QStringLiteral("job.")).isEmpty());
        EXPECT_EQ(jobReplies(service.frames()).size(), repliesBefore);
    }
}

TEST_F(SocketChannel, ServerDroppingTheConnectionIsAFailedReceive)
{
    test::ScriptedChatService *gone = new test::ScriptedChatService;
    link = {gone->origin(), link.token};
    saveLink(link);
    run = std::async(std::launch::async,
                     [this] { return runSocket(link, test::testDriver(), platform::UrlSession::shared(), quick); });
    ASSERT_TRUE(gone->waitForConnections());
    delete gone;
    EXPECT_EQ(result(), LoopResult::closed);
    ASSERT_FALSE(events(QStringLiteral("socket.recv-fail")).isEmpty());
}

TEST_F(SocketChannel, NoServerAtAllIsAFailedReceive)
{
    link = {QStringLiteral("http://127.0.0.1:1"), link.token};
    saveLink(link);
    run = std::async(std::launch::async,
                     [this] { return runSocket(link, test::testDriver(), platform::UrlSession::shared(), quick); });
    EXPECT_EQ(result(), LoopResult::closed);
    EXPECT_EQ(eventNames(), (QStringList {"socket.connect", "socket.recv-fail"}));
}

TEST_F(SocketChannel, AHostWithoutSocketAddressOpensNothing)
{
    link = {QStringLiteral("chat corvane"), link.token};
    saveLink(link);
    EXPECT_EQ(runSocket(link, test::testDriver(), platform::UrlSession::shared(), quick), LoopResult::badHost);
    EXPECT_EQ(eventNames(), QStringList {QStringLiteral("socket.bad-host")});
    EXPECT_TRUE(test::isEvent(events().front(), "socket.bad-host", {{"host", "chat corvane"}}));
}

TEST_F(SocketChannel, JobsAreRepliedOnBothChannelsAndMessagesWithoutIdAreSkipped)
{
    start();
    service.sendText(QStringLiteral(R"({"path":"/health"})"));
    service.sendText(QStringLiteral(R"({"id":"","path":"/health"})"));
    service.sendText(QStringLiteral(R"({"note":"nothing to do"})"));
    service.sendText(QStringLiteral(R"({"id":"job-2-abcdefgh","path":"/nowhere","body":[1,2]})"));
    service.sendText(QStringLiteral(R"({"id":"job-3","body":{"url":5,"ref":true}})"));

    ASSERT_TRUE(eventually([&] { return jobReplies(service.frames()).size() == 2 && service.posts().size() == 2; }));
    const QStringList replies = jobReplies(service.frames());
    const QJsonObject notFound {{"ok", false},    {"text", "Not found."}, {"needs_you", false},
                                {"chrome", true}, {"token", link.token},  {"id", "job-2-abcdefgh"}};
    EXPECT_EQ(parsed(replies[0]), notFound);
    EXPECT_EQ(parsed(replies[1]).value(QStringLiteral("id")), QStringLiteral("job-3"));
    EXPECT_EQ(parsed(replies[1]).value(QStringLiteral("text")), QStringLiteral("Not found."));
    EXPECT_EQ(replies[0].toUtf8().size(),
              QJsonDocument(parsed(replies[0])).toJson(QJsonDocument::Compact).size()); // compact
    // The HTTP copy is the same object.
    QList<QJsonObject> posts = service.posts();
    std::sort(posts.begin(), posts.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value("id").toString() < b.value("id").toString();
    });
    EXPECT_EQ(posts[0], notFound);
    EXPECT_EQ(posts[1], parsed(replies[1]));

    ASSERT_TRUE(eventually([&] { return events(QStringLiteral("job.reply")).size() == 4; }));
    // An array body is empty; members that are not strings arrive as text.
    const QList<test::LoggedEvent> drives = events(QStringLiteral("drive"));
    ASSERT_EQ(drives.size(), 2);
    EXPECT_TRUE(test::isEvent(drives[0], "drive", {{"path", "/nowhere"}, {"ref", ""}, {"url", ""}}));
    EXPECT_TRUE(test::isEvent(drives[1], "drive", {{"path", ""}, {"ref", "true"}, {"url", "5"}}));
    const QList<test::LoggedEvent> received = events(QStringLiteral("job.recv"));
    ASSERT_EQ(received.size(), 2);
    EXPECT_TRUE(test::isEvent(received[0], "job.recv", {{"job", "job-2-ab"}, {"path", "/nowhere"}, {"via", "socket"}}));
    EXPECT_TRUE(test::isEvent(received[1], "job.recv", {{"job", "job-3"}, {"path", ""}, {"via", "socket"}}));
    const QList<test::LoggedEvent> done = events(QStringLiteral("job.done"));
    ASSERT_EQ(done.size(), 2);
    EXPECT_TRUE(test::isEvent(done[0], "job.done",
                              {{"job", "job-2-ab"}, {"ok", "no"}, {"path", "/nowhere"}, {"text", "Not found."}}));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+$")).match(done[0]["ms"]).hasMatch()) << done[0];
    EXPECT_TRUE(test::hasEvent(events(QStringLiteral("job.reply")), "job.reply",
                               {{"job", "job-3"}, {"ok", "no"}, {"via", "socket"}}));
    EXPECT_TRUE(test::hasEvent(events(QStringLiteral("job.reply")), "job.reply",
                               {{"job", "job-3"}, {"ok", "no"}, {"status", "204"}, {"via", "http"}}));

    clearLink();
    EXPECT_EQ(result(), LoopResult::idle);
}

TEST_F(SocketChannel, HeartbeatsWhileTheServerIsSilentAndNoneOnceTheLinkIsGone)
{
    start({0.5, 2.0, 4.0, 60.0});
    ASSERT_TRUE(eventually([&] { return service.frames().size() == 2; }, 5));
    EXPECT_EQ(service.frames(), (QStringList {heartbeatText, heartbeatText}));
    clearLink();
    EXPECT_EQ(result(), LoopResult::idle);
    EXPECT_EQ(service.frames().size(), 2);
    EXPECT_EQ(eventNames(),
              (QStringList {"socket.connect", "socket.ready", "socket.heartbeat", "socket.heartbeat", "socket.idle"}));
    EXPECT_TRUE(eventually([&] { return service.closeCode() == goingAwayCloseCode; }));
}

TEST_F(SocketChannel, AChangedLinkEndsTheConnection)
{
    start();
    saveLink({link.host, newLinkToken()});
    EXPECT_EQ(result(), LoopResult::idle);
    EXPECT_TRUE(test::isEvent(events().back(), "socket.idle", {{"host", "127.0.0.1"}}));
}

TEST_F(SocketChannel, ReconnectsAfterEightyDefaultSecondsUnlessTheServerSentAHeartbeat)
{
    // Shortened to one second; the first job after it is still run.
    start({0.3, 2.0, 4.0, 1.0});
    platform::sleepFor(1.2);
    service.sendText(QStringLiteral(R"({"id":"late-job","path":"/nowhere"})"));
    EXPECT_EQ(result(), LoopResult::refresh);
    ASSERT_TRUE(eventually([&] { return !jobReplies(service.frames()).isEmpty(); }));
    EXPECT_EQ(parsed(jobReplies(service.frames()).value(0)).value(QStringLiteral("id")), QStringLiteral("late-job"));
    EXPECT_EQ(eventNames().mid(eventNames().indexOf(QStringLiteral("job.done"))).filter(QStringLiteral("socket.")),
              QStringList {QStringLiteral("socket.preempt")});

    // A server heartbeat turns the rule off for that connection.
    eventsBefore = home->events().size();
    const int repliesBefore = int(jobReplies(service.frames()).size());
    start({0.3, 2.0, 4.0, 1.0});
    service.sendText(QStringLiteral(R"({"heartbeat":true})"));
    platform::sleepFor(1.2);
    service.sendText(QStringLiteral(R"({"id":"later-job","path":"/nowhere"})"));
    ASSERT_TRUE(eventually([&] { return jobReplies(service.frames()).size() == repliesBefore + 1; }));
    platform::sleepFor(0.5);
    EXPECT_EQ(run.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_TRUE(test::hasEvent(events(QStringLiteral("socket.")), "socket.heartbeat", {{"host", "127.0.0.1"}}));
    clearLink();
    EXPECT_EQ(result(), LoopResult::idle);
    EXPECT_TRUE(events(QStringLiteral("socket.preempt")).isEmpty());
}

TEST_F(SocketChannel, ALongJobSendsNoHeartbeatAndIsRepliedAfterTheLinkWentAway)
{
    // The tool deletes the link while the job runs, then takes its time.
    test::installFakeAgentBrowser(QStringLiteral("rm -f '%1'\nsleep 1.5\necho 'Tabs: 1'").arg(linkFileURL()));
    start();
    const CompanionLink old = link;
    service.sendText(QStringLiteral(R"({"id":"slow-job","path":"/cli","body":{"command":"tab list"}})"));
    EXPECT_EQ(result(), LoopResult::idle);

    ASSERT_TRUE(eventually([&] { return !service.frames().isEmpty(); }));
    const QStringList frames = service.frames();
    const QJsonObject reply = parsed(frames.back());
    EXPECT_EQ(reply.value(QStringLiteral("id")), QStringLiteral("slow-job"));
    EXPECT_EQ(reply.value(QStringLiteral("token")), old.token);
    EXPECT_EQ(reply.value(QStringLiteral("text")).toString(), noTabListingText) << "no listing, so nothing to show";
    ASSERT_TRUE(eventually([&] { return service.posts().size() == 1; }));
    EXPECT_EQ(service.posts().front(), reply);

    // Nothing went out between the job and its reply, and the reply came first.
    const QStringList names = eventNames();
    const qsizetype recv = names.indexOf(QStringLiteral("job.recv"));
    const QStringList during = names.mid(recv, names.indexOf(QStringLiteral("job.reply")) - recv);
    EXPECT_FALSE(during.contains(QStringLiteral("socket.heartbeat")));
    EXPECT_LT(names.indexOf(QStringLiteral("job.reply")), names.indexOf(QStringLiteral("socket.idle")));
}

TEST_F(SocketChannel, HangUpSendsTheTokenAlone)
{
    hangUp(link, platform::UrlSession::shared());
    ASSERT_EQ(service.posts().size(), 1);
    EXPECT_EQ(service.posts().front(), (QJsonObject {{"token", link.token}}));
    EXPECT_TRUE(events().isEmpty());
}

TEST(ResultPost, SuccessIsATwoHundredStatusInTime)
{
    test::TempHome home;
    struct Case {
        QByteArray statusLine;
        const char *event;
        QMap<QString, QString> fields;
    };
    const Case cases[] = {
        {"204 No Content", "job.reply", {{"ok", "yes"}, {"status", "204"}}},
        {"200 OK", "job.reply", {{"ok", "yes"}, {"status", "200"}}},
        {"299 Fine", "job.reply", {{"ok", "yes"}, {"status", "299"}}},
        {"300 Multiple Choices", "job.reply-fail", {{"error", ""}, {"status", "300"}, {"timeout", "no"}}},
        {"403 Forbidden", "job.reply-fail", {{"error", ""}, {"status", "403"}, {"timeout", "no"}}},
        {"500 Internal Server Error", "job.reply-fail", {{"error", ""}, {"status", "500"}, {"timeout", "no"}}},
    };
    DriverResult driven;
    driven.ok = true;
    driven.text = QStringLiteral("Done.");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.statusLine.toStdString());
        test::TestHttpServer server(test::fixedStatus(c.statusLine));
        postResult({QStringLiteral("http://127.0.0.1:%1").arg(server.port()), QStringLiteral("secret-token")},
                   QStringLiteral("abcdefgh-1234"), driven, platform::UrlSession::shared());
        QMap<QString, QString> fields = c.fields;
        fields.insert(QStringLiteral("job"), QStringLiteral("abcdefgh"));
        fields.insert(QStringLiteral("via"), QStringLiteral("http"));
        EXPECT_TRUE(test::isEvent(home.logged().back(), c.event, fields));
    }
    EXPECT_FALSE(test::readFile(home.logDir() + QStringLiteral("/events.log")).contains("secret-token"));
}

TEST(ResultPost, NonFinalAndMissingAnswersAreFailures)
{
    test::TempHome home;
    const DriverResult driven;
    // A 1xx status is not a final answer: nothing else follows, so no success.
    test::TestHttpServer informational(
        [](const QByteArray &) { return QByteArray("HTTP/1.1 199 Odd\r\nContent-Length: 0\r\n\r\n"); });
    postResult({QStringLiteral("http://127.0.0.1:%1").arg(informational.port()), QStringLiteral("t")},
               QStringLiteral("j1"), driven, platform::UrlSession::shared(), 2.0);
    EXPECT_TRUE(test::isEvent(home.logged().back(), "job.reply-fail", {{"job", "j1"}}));

    // A server that never answers: the wait runs out.
    test::TestHttpServer silent([](const QByteArray &) {
        platform::sleepFor(3.0);
        return QByteArray();
    });
    const double started = platform::monotonicSeconds();
    postResult({QStringLiteral("http://127.0.0.1:%1").arg(silent.port()), QStringLiteral("t")}, QStringLiteral("j2"),
               driven, platform::UrlSession::shared(), 1.0);
    EXPECT_LT(platform::monotonicSeconds() - started, 2.5);
    EXPECT_TRUE(test::isEvent(home.logged().back(), "job.reply-fail",
                              {{"error", ""}, {"job", "j2"}, {"status", "0"}, {"timeout", "yes"}, {"via", "http"}}));

    // A host that makes no URL: nothing is sent or logged.
    const qsizetype before = home.events().size();
    postResult({QStringLiteral("chat corvane"), QStringLiteral("t")}, QStringLiteral("j3"), driven,
               platform::UrlSession::shared());
    hangUp({QStringLiteral("chat corvane"), QStringLiteral("t")}, platform::UrlSession::shared());
    EXPECT_EQ(home.events().size(), before);
}

namespace {

// A wss server on 127.0.0.1 with a certificate made for the test, which
// tells every companion that connects to come back later.
class SecureWaitingServer {
public:
    explicit SecureWaitingServer(const QString &dir)
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                       QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                       QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                       QStringLiteral("-keyout"), dir + QStringLiteral("/key.pem"), QStringLiteral("-out"),
                       dir + QStringLiteral("/cert.pem")});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            return;
        certificate = QSslCertificate(test::readFile(dir + QStringLiteral("/cert.pem")));
        const QSslKey key(test::readFile(dir + QStringLiteral("/key.pem")), QSsl::Rsa);

        server = new QWebSocketServer(QStringLiteral("secure"), QWebSocketServer::SecureMode);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(certificate);
        tls.setPrivateKey(key);
        server->setSslConfiguration(tls);
        server->moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            server,
            [this] {
                server->listen(QHostAddress::LocalHost, 0);
                QObject::connect(server, &QWebSocketServer::newConnection, server, [this] {
                    while (QWebSocket *socket = server->nextPendingConnection()) {
                        socket->setParent(server);
                        socket->sendTextMessage(QStringLiteral(R"({"waiting":true})"));
                    }
                });
            },
            Qt::BlockingQueuedConnection);
    }

    ~SecureWaitingServer()
    {
        if (server)
            QMetaObject::invokeMethod(
                server, [this] { delete server; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    QString origin() const { return QStringLiteral("https://127.0.0.1:%1").arg(server ? server->serverPort() : 0); }

    QSslCertificate certificate;

private:
    QThread thread;
    QWebSocketServer *server = nullptr;
};

} // namespace

TEST(SecureSocket, WssConnectsToATrustedServerOnly)
{
    test::TempHome home;
    SecureWaitingServer server(home.path());
    ASSERT_FALSE(server.certificate.isNull()) << "openssl could not make a certificate";
    const CompanionLink link {server.origin(), newLinkToken()};
    saveLink(link);

    // Not trusted yet: the TLS handshake fails like any failed connection.
    EXPECT_EQ(runSocket(link, test::testDriver(), platform::UrlSession::shared(), quick), LoopResult::closed);
    EXPECT_TRUE(test::isEvent(home.logged(QStringLiteral("socket.connect")).last(), "socket.connect",
                              {{"host", "127.0.0.1"}, {"scheme", "wss"}}));
    EXPECT_EQ(home.events(QStringLiteral("socket.recv-fail")).size(), 1);

    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = before;
    trusting.addCaCertificate(server.certificate);
    QSslConfiguration::setDefaultConfiguration(trusting);
    EXPECT_EQ(runSocket(link, test::testDriver(), platform::UrlSession::shared(), quick), LoopResult::waiting);
    QSslConfiguration::setDefaultConfiguration(before);
    clearLink();
}
