// The local server's request logic without a browser, and its listening
// sockets: loopback only, a taken port is an error, stop() ends listening.

#include "server/LoopbackServer.h"

#include "Eventually.h"
#include "LocalHttp.h"
#include "TempHome.h"
#include "TestDriver.h"

#include "Dispatch.h"
#include "PeerUser.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>

#include <QDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace corvane;

namespace {

using State = RequestFraming::State;

using Fault = LoopbackRequest::Fault;

struct ParseCase {
    const char *request;
    const char *method, *path;
    Body body;
    std::optional<QString> refusal = std::nullopt;
    Fault fault = Fault::none;
};

bool connects(const QHostAddress &address, quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    return socket.waitForConnected(2000);
}

} // namespace

TEST(LoopbackRequest, RequestTextToMethodPathAndBody)
{
    const ParseCase cases[] = {
        {"GET /health HTTP/1.1\r\nHost: 127.0.0.1:8766\r\n\r\n", "GET", "/health", {}},
        {"", "GET", "/", {}},
        {"POST", "POST", "/", {}},
        {"  POST   /open   HTTP/1.1\r\n\r\n{\"url\":\"http://a/\"}", "POST", "/open", {{"url", "http://a/"}}},
        {"POST /open?x=1&y=2 HTTP/1.1\r\n\r\n{\"url\":\"http://a/\"}", "POST", "/open", {{"url", "http://a/"}}},
        {"POST ?only=query HTTP/1.1\r\n\r\n", "POST", "only=query", {}},
        {"POST /a??b HTTP/1.1\r\n\r\n", "POST", "/a", {}},
        {"GET /open HTTP/1.1\r\n\r\n{\"url\":\"http://a/\"}", "GET", "/open", {}},
        {"get /open HTTP/1.1\r\n\r\n{\"url\":\"http://a/\"}", "get", "/open", {{"url", "http://a/"}}},
        // Bare LF is no line break: one request line, no body.
        {"POST /open HTTP/1.1\nHost: x\n\n{\"url\":\"http://a/\"}", "POST", "/open", {}},
        {"POST /fill HTTP/1.1\r\nContent-Type: application/json\r\n\r\n{\"ref\":\"e1\",\"n\":3,\"b\":true}",
         "POST",
         "/fill",
         {{"ref", "e1"}, {"n", "3"}, {"b", "true"}}},
        {"POST /fill HTTP/1.1\r\n\r\n{\"ref\":\"e1\",\r\n\"text\":\"x\"}",
         "POST",
         "/fill",
         {{"ref", "e1"}, {"text", "x"}}},
        {"POST /fill HTTP/1.1\r\n\r\n[1,2]", "POST", "/fill", {}, std::nullopt, Fault::bodyNotObject},
        {"POST /fill HTTP/1.1\r\n\r\n{broken", "POST", "/fill", {}, std::nullopt, Fault::bodyNotObject},
        {"POST /fill HTTP/1.1\r\n\r\n \r\n", "POST", "/fill", {}},
        {"POST /fill HTTP/1.1\r\n\r\n{\"text\":\"\xff\"}", "POST", "/fill", {}, std::nullopt, Fault::notUtf8},
        {"POST /fill HTTP/1.1\r\n\r\n{\"text\":\"na\u00efve caf\u00e9 \u2713\"}",
         "POST",
         "/fill",
         {{"text", "na\u00efve caf\u00e9 \u2713"}}},
        {"\r\n{\"url\":\"http://a/\"}", "GET", "/", {}},
        // A blank request line makes a health probe of it, but its browser marks still count.
        {"\r\nPOST /cli HTTP/1.1\r\nOrigin: http://a\r\n\r\n{}", "GET", "/", {}, QStringLiteral("origin")},
        {"POST /x HTTP/1.1\r\nOrigin: http://evil.example\r\n\r\n{}", "POST", "/x", {}, QStringLiteral("origin")},
        {"POST /x HTTP/1.1\r\norigin: null\r\n\r\n", "POST", "/x", {}, QStringLiteral("origin")},
        {"POST /x HTTP/1.1\r\nHost: evil.example:8766\r\n\r\n", "POST", "/x", {}, QStringLiteral("host")},
        {"POST /x HTTP/1.1\r\nHost: 127.0.0.1.evil.example\r\n\r\n", "POST", "/x", {}, QStringLiteral("host")},
        {"POST /x HTTP/1.1\r\nHost: \r\n\r\n", "POST", "/x", {}, QStringLiteral("host")},
        {"POST /x HTTP/1.1\r\nHost: localhost:abc\r\n\r\n", "POST", "/x", {}, QStringLiteral("host")},
        {"POST /x HTTP/1.1\r\nHost: [::1]x\r\n\r\n", "POST", "/x", {}, QStringLiteral("host")},
        {"POST /x HTTP/1.1\r\nHost: 192.168.1.5:8766\r\n\r\n", "POST", "/x", {}, QStringLiteral("host")},
        {"POST /x HTTP/1.1\r\nHost: localhost\r\n\r\n", "POST", "/x", {}},
        {"POST /x HTTP/1.1\r\nHOST: LocalHost:8766\r\n\r\n", "POST", "/x", {}},
        {"POST /x HTTP/1.1\r\nHost: [::1]:8766\r\n\r\n", "POST", "/x", {}},
        {"POST /x HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n", "POST", "/x", {}, QStringLiteral("host")},
        // Fetch metadata marks every request a page makes, also a no-cors GET.
        {"GET /scroll HTTP/1.1\r\nHost: 127.0.0.1:8766\r\nSec-Fetch-Site: cross-site\r\n\r\n",
         "GET",
         "/scroll",
         {},
         QStringLiteral("site")},
        {"GET /x HTTP/1.1\r\nsec-fetch-site: same-origin\r\n\r\n", "GET", "/x", {}, QStringLiteral("site")},
        {"GET /x HTTP/1.1\r\nSec-Fetch-Site: \r\n\r\n", "GET", "/x", {}, QStringLiteral("site")},
        {"GET /x HTTP/1.1\r\nSec-Fetch-Site: none\r\n\r\n", "GET", "/x", {}},
        {"POST /x HTTP/1.1\r\nSec-Fetch-Site: same-site\r\nOrigin: http://a\r\n\r\n",
         "POST",
         "/x",
         {},
         QStringLiteral("origin")},
        // A head that is not UTF-8 reads as the empty request, and says so, but its browser marks still count.
        {"POST /cli HTTP/1.1\r\nX-A: \xff\r\nOrigin: http://a\r\n\r\n{}",
         "GET",
         "/",
         {},
         QStringLiteral("origin"),
         Fault::notUtf8},
        // Headers end at the blank line: an Origin in the body is just body text.
        {"POST /x HTTP/1.1\r\n\r\nOrigin: http://evil.example", "POST", "/x", {}, std::nullopt, Fault::bodyNotObject},
    };
    for (const ParseCase &c : cases) {
        SCOPED_TRACE(c.request);
        const LoopbackRequest parsed = parseRequest(QByteArray(c.request));
        EXPECT_EQ(parsed.method, QString::fromUtf8(c.method));
        EXPECT_EQ(parsed.path, QString::fromUtf8(c.path));
        EXPECT_EQ(parsed.body, c.body);
        EXPECT_EQ(parsed.refusal, c.refusal);
        EXPECT_EQ(parsed.fault, c.fault);
    }
}

TEST(LoopbackRequest, FramingWaitsForTheWholeHeadAndItsBody)
{
    struct Case {
        const char *name;
        QList<QByteArray> parts;
        State state;
        bool expectsContinue = false;
    };
    const QByteArray longLine = "GET /snapshot?" + QByteArray(66 * 1024, 'a') + " HTTP/1.1\r\nOrigin: http://a\r\n\r\n";
    const Case cases[] = {
        {"one write", {"GET /health HTTP/1.1\r\n\r\n"}, State::complete},
        {"head in pieces", {"GET /health HTTP/1.1\r", "\nHost: 127.0.0.1\r\n\r", "\n"}, State::complete},
        {"partial head", {"GET /health HTTP/1.1\r\nHost: x\r\n"}, State::head},
        {"bare LF ends the head", {"POST /open HTTP/1.1\nContent-Length: 12\n\n{}"}, State::complete},
        {"body announced", {"POST /fill HTTP/1.1\r\nContent-Length: 12\r\n\r\n{}"}, State::body},
        {"body in pieces", {"POST /fill HTTP/1.1\r\ncontent-length:4\r\n\r\n{", "}  "}, State::complete},
        {"continue asked",
         {"POST /fill HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 7\r\n\r\n"},
         State::body,
         true},
        {"odd lengths are no length", {"POST /f HTTP/1.1\r\nContent-Length: -3\r\n\r\n"}, State::complete},
        {"length with letters", {"POST /f HTTP/1.1\r\nContent-Length: 12x\r\n\r\n"}, State::complete},
        {"a length in the body", {"POST / HTTP/1.1\r\n\r\nContent-Length: 5\r\n\r\n"}, State::complete},
        {"66 KB request line", {longLine}, State::headTooLarge},
        {"70 KB of headers in pieces",
         {"GET /x HTTP/1.1\r\n", QByteArray(40 * 1024, 'p'), QByteArray(30 * 1024, 'p'), "\r\nOrigin: a\r\n\r\n"},
         State::headTooLarge},
        {"body over the limit", {"POST /f HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n"}, State::bodyTooLarge},
        {"length past 64 bits",
         {"POST /f HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n"},
         State::bodyTooLarge},
        {"body at the limit", {"POST /f HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n"}, State::body},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RequestFraming framing;
        for (const QByteArray &part : c.parts)
            framing.append(part);
        EXPECT_EQ(framing.state(), c.state);
        EXPECT_EQ(framing.expectsContinue(), c.expectsContinue);
    }
}

TEST(LoopbackRequest, RefusalsInTheirOrder)
{
    struct Case {
        const char *request;
        bool fromUser;
        const char *status, *reason;
    };
    const QByteArray huge = "GET /x HTTP/1.1\r\nOrigin: a\r\nX: " + QByteArray(65 * 1024, 'x') + "\r\n\r\n";
    const Case cases[] = {
        {huge.constData(), false, "431 Request Header Fields Too Large", "too-large"},
        {"POST /f HTTP/1.1\r\nOrigin: a\r\nContent-Length: 2000000\r\n\r\n", true, "413 Content Too Large",
         "too-large"},
        {"GET /x HTTP/1.1\r\nOrigin: a\r\n\r\n", false, "403 Forbidden", "user"},
        {"GET /x HTTP/1.1\r\nOrigin: a\r\n\r\n", true, "403 Forbidden", "origin"},
        {"GET /x HTTP/1.1\r\n\r\n", true, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.request).substr(0, 60));
        RequestFraming framing;
        framing.append(c.request);
        const std::optional<Refusal> refused = refusalOf(framing, c.fromUser, parseRequest(c.request));
        ASSERT_EQ(refused.has_value(), c.status != nullptr);
        if (refused) {
            EXPECT_EQ(refused->status, QByteArray(c.status));
            EXPECT_EQ(refused->reason, QString::fromLatin1(c.reason));
        }
    }
}

TEST(LoopbackRequest, ReplyCountsBytesAndWebPagesAreRefusedBeforeTheDriver)
{
    test::TempHome home;
    DriverResult result;
    result.ok = true;
    result.text = QStringLiteral("caf\u00e9 \u2713");
    const QByteArray reply = LoopbackServer::replyBytes("200 OK", result);
    const QByteArray json = result.json().toUtf8();
    EXPECT_EQ(reply,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size())
                  + "\r\nConnection: close\r\n\r\n" + json);
    EXPECT_GT(json.size(), result.json().size());

    const QByteArray refused
        = LoopbackServer(test::testDriver())
              .handle("POST /open HTTP/1.1\r\nHost: 127.0.0.1:8766\r\nOrigin: http://evil.example\r\n\r\n"
                      "{\"url\":\"http://evil.example/\"}");
    EXPECT_TRUE(refused.startsWith("HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: "));
    EXPECT_TRUE(refused.endsWith(
        R"({"chrome":false,"needs_you":false,"ok":false,"text":"Requests from web pages are not accepted."})"));
    const QList<test::LoggedEvent> rejects = home.logged(QStringLiteral("loopback.reject"));
    ASSERT_EQ(rejects.size(), 1);
    EXPECT_EQ(rejects.front()["reason"], QStringLiteral("origin"));
    EXPECT_TRUE(home.events(QStringLiteral("drive")).isEmpty());
    EXPECT_TRUE(home.events(QStringLiteral("loopback.req")).isEmpty());
}

// Bytes that are not what a request must be get 400 and their reason, and
// never reach the driver as some other request.
TEST(LoopbackRequest, BadBytesAndBodiesAreAnsweredWith400)
{
    test::TempHome home;
    struct Case {
        const char *request;
        const char *text; // nullptr: served
    };
    const Case cases[] = {
        {"GET /he\xff"
         "alth HTTP/1.1\r\n\r\n",
         "The request is not valid UTF-8."},
        {"POST /fill HTTP/1.1\r\n\r\n{\"ref\":\"e1\",\"text\":\"\xc3\"}", "The request is not valid UTF-8."},
        {"POST /scroll HTTP/1.1\r\n\r\n{\"direction\":\"up\"", "The body must be a JSON object of strings."},
        {"POST /cli HTTP/1.1\r\n\r\n[\"tab list\"]", "The body must be a JSON object of strings."},
        // Not an action: served as ever (and "/health" starts nothing).
        {"POST /health HTTP/1.1\r\n\r\nnot json", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        const qsizetype drivesBefore = home.events(QStringLiteral("drive")).size();
        const QByteArray reply = LoopbackServer(test::testDriver()).handle(c.request);
        if (!c.text) {
            EXPECT_TRUE(reply.startsWith("HTTP/1.1 200 OK\r\n")) << reply.constData();
            continue;
        }
        EXPECT_TRUE(reply.startsWith("HTTP/1.1 400 Bad Request\r\n")) << reply.constData();
        EXPECT_TRUE(
            reply.endsWith(QStringLiteral(R"("ok":false,"text":"%1"})").arg(QString::fromUtf8(c.text)).toUtf8()))
            << reply.constData();
        EXPECT_EQ(home.events(QStringLiteral("drive")).size(), drivesBefore);
    }
}

// The peer's user, from the kernel's query and from the socket tables alike:
// over IPv4, IPv6, and from an IPv6 socket that reached an IPv4 listener (as
// Java's and .NET's clients do). A peer that has closed its end already is
// nobody's, whatever the tables say of it.
TEST(LoopbackListening, ThePeersUserIsFoundEveryWay)
{
    struct Case {
        const char *name;
        QHostAddress listen;
        int family;
        const char *connectTo;
        bool closedFirst;
    };
    const Case cases[] = {
        {"IPv4", QHostAddress(QHostAddress::LocalHost), AF_INET, "127.0.0.1", false},
        {"IPv6", QHostAddress(QHostAddress::LocalHostIPv6), AF_INET6, "::1", false},
        {"IPv4-mapped", QHostAddress(QHostAddress::LocalHost), AF_INET6, "::ffff:127.0.0.1", false},
        {"closed before it is asked", QHostAddress(QHostAddress::LocalHost), AF_INET, "127.0.0.1", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTcpServer server;
        if (!server.listen(c.listen))
            continue; // no IPv6 here
        const int client = ::socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(client, 0);
        sockaddr_storage to {};
        if (c.family == AF_INET) {
            auto &ipv4 = reinterpret_cast<sockaddr_in &>(to);
            ipv4.sin_family = AF_INET;
            ipv4.sin_port = htons(server.serverPort());
            ::inet_pton(AF_INET, c.connectTo, &ipv4.sin_addr);
        } else {
            auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(to);
            ipv6.sin6_family = AF_INET6;
            ipv6.sin6_port = htons(server.serverPort());
            ::inet_pton(AF_INET6, c.connectTo, &ipv6.sin6_addr);
        }
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0) << std::strerror(errno);
        if (c.closedFirst) {
            ::send(client, "GET /health HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL);
            ::close(client);
        }
        ASSERT_TRUE(server.waitForNewConnection(2000));
        QTcpSocket *accepted = server.nextPendingConnection();
        const std::optional<uint> expected
            = c.closedFirst ? std::nullopt : std::optional<uint>(platform::currentUser());
        EXPECT_EQ(platform::socketPeerUser(accepted->socketDescriptor()), expected);
        EXPECT_EQ(platform::socketPeerUserFromTable(accepted->socketDescriptor()), expected);
        if (!c.closedFirst)
            ::close(client);
    }
}

TEST(LoopbackListening, RunningOutOfDescriptorsPausesAcceptingButNeverEndsIt)
{
    test::TempHome home;
    LoopbackServer server(test::testDriver());
    ASSERT_TRUE(server.start(0).ok);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    rlimit before {};
    ::getrlimit(RLIMIT_NOFILE, &before);
    rlimit none = before;
    none.rlim_cur = static_cast<rlim_t>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size());
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
    // Accepting fails: no descriptor for the connection.
    EXPECT_TRUE(test::eventually([&] { return server.acceptFailures() > 0; }));
    ::setrlimit(RLIMIT_NOFILE, &before);
    ::close(client);

    const test::LocalReply health = test::exchange(server.port(), {"GET /health HTTP/1.1\r\n\r\n"});
    EXPECT_EQ(health.status, 200) << health.head.toStdString();
    ASSERT_TRUE(test::eventually([&] { return !home.events(QStringLiteral("loopback.fail")).isEmpty(); }));
    const QStringList fails = home.events(QStringLiteral("loopback.fail"));
    ASSERT_EQ(fails.size(), 1) << "told once, not once a pause";
    EXPECT_FALSE(test::eventField(fails.front(), QStringLiteral("error")).isEmpty());
}

TEST(LoopbackListening, OnlyLoopbackAddressesAndOnePortHolder)
{
    test::TempHome home;
    LoopbackServer server(test::testDriver());
    EXPECT_EQ(server.port(), 0);
    server.stop(); // never started: nothing happens
    ASSERT_TRUE(server.start(0).ok);
    const quint16 port = server.port();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(connects(QHostAddress::LocalHost, port));

    bool triedOutside = false;
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.isLoopback() || address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        triedOutside = true;
        SCOPED_TRACE(address.toString().toStdString());
        EXPECT_FALSE(connects(address, port));
    }
    if (!triedOutside)
        std::printf("no non-loopback IPv4 address on this machine; only loopback was tried\n");

    LoopbackServer second(test::testDriver());
    const LoopbackStart taken = second.start(port);
    EXPECT_FALSE(taken.ok);
    EXPECT_FALSE(taken.error.isEmpty());

    server.stop();
    EXPECT_EQ(server.port(), 0);
    EXPECT_FALSE(connects(QHostAddress::LocalHost, port));
}
