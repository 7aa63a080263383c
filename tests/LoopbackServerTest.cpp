// The local server's request logic without a browser, and its listening
// sockets: loopback only, a taken port is an error, stop() ends listening.

#include "LoopbackServer.h"

#include "TempHome.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

struct ParseCase {
    const char *request;
    const char *method, *path;
    Body body;
    std::optional<QString> refusal = std::nullopt;
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
        {"POST /fill HTTP/1.1\r\nContent-Type: application/json\r\n\r\n{\"ref\":\"e1\",\"n\":3,\"b\":true}", "POST", "/fill",
         {{"ref", "e1"}, {"n", "3"}, {"b", "true"}}},
        {"POST /fill HTTP/1.1\r\n\r\n{\"ref\":\"e1\",\r\n\"text\":\"x\"}", "POST", "/fill", {{"ref", "e1"}, {"text", "x"}}},
        {"POST /fill HTTP/1.1\r\n\r\n[1,2]", "POST", "/fill", {}},
        {"POST /fill HTTP/1.1\r\n\r\n{broken", "POST", "/fill", {}},
        {"POST /fill HTTP/1.1\r\n\r\n{\"text\":\"na\u00efve caf\u00e9 \u2713\"}", "POST", "/fill", {{"text", "na\u00efve caf\u00e9 \u2713"}}},
        {"\r\n{\"url\":\"http://a/\"}", "GET", "/", {}},
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
        // Headers end at the blank line: an Origin in the body is just body text.
        {"POST /x HTTP/1.1\r\n\r\nOrigin: http://evil.example", "POST", "/x", {}},
    };
    for (const ParseCase &c : cases) {
        SCOPED_TRACE(c.request);
        const LoopbackRequest parsed = LoopbackServer::parseRequest(QString::fromUtf8(c.request));
        EXPECT_EQ(parsed.method, QString::fromUtf8(c.method));
        EXPECT_EQ(parsed.path, QString::fromUtf8(c.path));
        EXPECT_EQ(parsed.body, c.body);
        EXPECT_EQ(parsed.refusal, c.refusal);
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
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size())
                         + "\r\nConnection: close\r\n\r\n" + json);
    EXPECT_GT(json.size(), result.json().size());

    const QByteArray refused =
        LoopbackServer::handle(QStringLiteral("POST /open HTTP/1.1\r\nHost: 127.0.0.1:8766\r\nOrigin: http://evil.example\r\n\r\n"
                                              "{\"url\":\"http://evil.example/\"}"));
    EXPECT_TRUE(refused.startsWith("HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: "));
    EXPECT_TRUE(refused.endsWith(
        R"({"chrome":false,"needs_you":false,"ok":false,"text":"Requests from web pages are not accepted."})"));
    const QStringList rejects = home.events(QStringLiteral("loopback.reject"));
    ASSERT_EQ(rejects.size(), 1);
    EXPECT_TRUE(rejects.front().contains(QStringLiteral(" reason=origin")));
    EXPECT_TRUE(home.events(QStringLiteral("drive")).isEmpty());
    EXPECT_TRUE(home.events(QStringLiteral("loopback.req")).isEmpty());
}

TEST(LoopbackListening, OnlyLoopbackAddressesAndOnePortHolder)
{
    test::TempHome home;
    LoopbackServer server;
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

    LoopbackServer second;
    const LoopbackStart taken = second.start(port);
    EXPECT_FALSE(taken.ok);
    EXPECT_FALSE(taken.error.isEmpty());

    server.stop();
    EXPECT_EQ(server.port(), 0);
    EXPECT_FALSE(connects(QHostAddress::LocalHost, port));
}
