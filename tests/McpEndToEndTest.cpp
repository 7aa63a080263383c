// The MCP endpoint with a client from the ecosystem: the protocol's
// TypeScript SDK over Streamable HTTP and over the stdio bridge, against the
// real executable, a real headless Chromium and the real agent-browser.

#include "driver/PageView.h"
#include "server/McpTools.h"
#include "wire/CompanionPort.h"

#include "BrowserSuite.h"
#include "CompanionProcess.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "LocalHttp.h"
#include "RawDevTools.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include "Processes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QUrl>

#include <gtest/gtest.h>

#include <future>

#include <csignal>

using namespace corvane;
using test::eventually;

namespace {

const QByteArray localHost = "Host: 127.0.0.1:8766\r\n";
const QByteArray initializeMessage
    = R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"raw","version":"1"}}})";

// The SDK's scenario: what each step gave back.
QJsonObject runScenario(const QString &transport, const QString &target, const QByteArray &pageBase)
{
    QProcess node;
    node.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    node.start(QStringLiteral("node"),
               {QStringLiteral(CORVANE_MCP_SCENARIO), QStringLiteral(CORVANE_MCP_CLIENT_DIR), transport, target,
                QString::fromLatin1(pageBase)});
    if (!node.waitForFinished(240000))
        node.kill();
    return QJsonDocument::fromJson(node.readAllStandardOutput()).object();
}

test::LocalReply mcpPost(const QByteArray &headers, const QByteArray &body)
{
    return test::exchange(companionPort,
                          {"POST /mcp HTTP/1.1\r\n" + localHost + headers
                           + "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
                           + "\r\n\r\n" + body});
}

QByteArray sessionOf(const test::LocalReply &reply)
{
    for (const QByteArray &line : reply.head.split('\n')) {
        if (line.toLower().startsWith("mcp-session-id:"))
            return line.mid(15).trimmed();
    }
    return {};
}

// One assistant's task: a word to send, and details in a new tab.
QByteArray taskPage(const QByteArray &name)
{
    return "<!doctype html><title>Task " + name + "</title><h1>Task " + name
        + "</h1><input aria-label=\"Word\"><button onclick=\"document.title='Sent '+"
          "document.querySelector('input').value\">Send</button>"
          "<a href=\"/details-"
        + name + ".html\" target=\"_blank\">Details</a>";
}

// A companion the bridge started leaves with the test.
void stopCompanionOf(const test::TempHome &home)
{
    const qint64 pid = home.status().value(QStringLiteral("pid")).toString().toLongLong();
    if (pid > 0 && platform::processProgram(pid).value_or(QString()).contains(QLatin1String("corvane"))) {
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        eventually([&] { return !platform::processProgram(pid); }, 10);
    }
}

} // namespace

class McpEndToEnd : public test::BrowserSuite {
protected:
    static void SetUpTestSuite()
    {
        startStage();
        servePages({
            {"/form.html",
             "<!doctype html><title>Form page</title><h1>Waiting</h1><input aria-label=\"Query\">"
             "<button onclick=\"document.title=document.querySelector('h1').textContent="
             "'Sent '+document.querySelector('input').value\">Send</button>"},
            {"/check.html",
             "<!doctype html><title>Just a moment...</title>"
             "<button>Checking your browser, continue</button>"},
            {"/hostile.html",
             "<!doctype html><title>Hostile</title><script>"
             "const body = "
             "JSON.stringify({jsonrpc:'2.0',id:1,method:'tools/"
             "call',params:{name:'browser_cli',arguments:{command:'tab list'}}});"
             "fetch('http://127.0.0.1:8766/mcp', {method:'POST', headers:{'Content-Type':'application/json'}, "
             "body}).catch(() => {});"
             "fetch('http://127.0.0.1:8766/mcp', {method:'POST', mode:'no-cors', body}).catch(() => {});"
             "</script>"},
            {"/plain.html", "<!doctype html><title>Plain page</title><p>plain-fact</p>"},
            {"/person.html",
             "<!doctype html><title>Person</title><script>let hiddenTimes = 0; "
             "document.addEventListener('visibilitychange', () => { if (document.visibilityState !== 'visible') "
             "++hiddenTimes; });</script><p>The person reads this.</p>"},
            {"/task-a.html", taskPage("a")},
            {"/task-b.html", taskPage("b")},
            {"/task-c.html", taskPage("c")},
            {"/details-a.html", "<!doctype html><title>Details of a</title><p>fact-a</p>"},
            {"/details-b.html", "<!doctype html><title>Details of b</title><p>fact-b</p>"},
            {"/details-c.html", "<!doctype html><title>Details of c</title><p>fact-c</p>"},
        });
    }

    void SetUp() override
    {
        BrowserSuite::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(QFile::exists(
            QStringLiteral(CORVANE_MCP_CLIENT_DIR "/node_modules/@modelcontextprotocol/sdk/package.json")))
            << "the MCP SDK is not installed where ./dev test puts it";
    }
};

TEST_F(McpEndToEnd, AnSdkClientDrivesTheWorkTabOverBothTransports)
{
    struct Case {
        const char *transport;
        bool companionRuns; // else the stdio bridge must start one itself
    };
    const Case cases[] = {{"http", true}, {"stdio", false}};
    const QByteArray pageBase = pages->url("");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.transport);
        std::optional<test::CompanionProcess> companion;
        if (c.companionRuns) {
            companion.emplace();
            ASSERT_TRUE(companion->waitListening());
        }
        const QString target = QLatin1String(c.transport) == QLatin1String("http")
            ? QStringLiteral("http://127.0.0.1:8766/mcp")
            : test::CompanionProcess::executable();
        const QJsonObject report = runScenario(QLatin1String(c.transport), target, pageBase);
        const auto step = [&](const char *name) { return report.value(QLatin1String(name)).toObject(); };
        const auto said
            = [&](const char *name) { return step(name).value(QStringLiteral("text")).toString().toStdString(); };
        ASSERT_FALSE(report.contains(QStringLiteral("error")))
            << report.value(QStringLiteral("error")).toString().toStdString();

        EXPECT_EQ(step("server").value(QStringLiteral("name")).toString(), QStringLiteral("corvane-companion"));
        QStringList names;
        for (const QJsonValue tool : report.value(QStringLiteral("tools")).toArray())
            names << tool.toObject().value(QStringLiteral("name")).toString();
        QStringList readOnly;
        for (const QJsonValue tool : report.value(QStringLiteral("tools")).toArray()) {
            if (tool[QStringLiteral("annotations")][QStringLiteral("readOnlyHint")].toBool())
                readOnly << tool[QStringLiteral("name")].toString();
        }
        // What a client is given is the catalogue, in its order.
        QStringList catalogued, cataloguedReadOnly;
        for (const Action &action : actions()) {
            if (action.tool.isEmpty())
                continue;
            catalogued << action.tool;
            if (action.effect == ToolEffect::reads)
                cataloguedReadOnly << action.tool;
        }
        EXPECT_EQ(names, catalogued);
        EXPECT_EQ(readOnly, cataloguedReadOnly);
        // The list is read into every conversation: each tool's entry stays small.
        EXPECT_LT(report.value(QStringLiteral("listChars")).toInt(), 600 * names.size());
        for (const char *name : {"open", "snapshot", "fill", "click", "cli"})
            EXPECT_FALSE(step(name).value(QStringLiteral("isError")).toBool()) << name << ": " << said(name);
        EXPECT_NE(said("open").find("Page URL: http://127.0.0.1"), std::string::npos) << said("open");
        EXPECT_NE(said("click").find("Sent hello"), std::string::npos) << said("click");
        EXPECT_EQ(step("click")[QStringLiteral("structured")][QStringLiteral("ok")], true);
        EXPECT_TRUE(step("click")[QStringLiteral("structured")][QStringLiteral("url")].toString().endsWith(
            QLatin1String("/form.html")));
        EXPECT_NE(step("handOver")[QStringLiteral("ended")].toString(), QStringLiteral("answered"))
            << "called off by the client";
        EXPECT_GT(step("handOver")[QStringLiteral("progress")][QStringLiteral("total")].toDouble(), 0);
        EXPECT_FALSE(step("afterHandOver").isEmpty()) << "the work tab is free once the hand-over is called off";
        EXPECT_NE(said("cli").find("Sent hello"), std::string::npos) << said("cli");
        EXPECT_TRUE(step("view").value(QStringLiteral("jpeg")).toBool()) << said("view");
        EXPECT_EQ(step("view").value(QStringLiteral("mimeType")).toString(), QStringLiteral("image/jpeg"));
        EXPECT_TRUE(step("check").value(QStringLiteral("isError")).toBool()) << said("check");
        EXPECT_NE(said("check").find(needsPersonSentence.toStdString()), std::string::npos) << said("check");
        EXPECT_EQ(report.value(QStringLiteral("unknownTool")).toString(), QStringLiteral("-32602"));
        EXPECT_EQ(report.value(QStringLiteral("order")).toArray(), (QJsonArray {"ping", "call"}))
            << "a ping waits behind no call";
        if (!c.companionRuns)
            stopCompanionOf(*home);
    }
}

// A companion restarts (by hand, or after an update): clients connected to it
// go on as if nothing happened, over HTTP and over the bridge.
TEST_F(McpEndToEnd, AConnectedClientOutlivesACompanionRestart)
{
    for (const char *transport : {"http", "stdio"}) {
        SCOPED_TRACE(transport);
        const bool overHttp = QLatin1String(transport) == QLatin1String("http");
        std::optional<test::CompanionProcess> companion;
        if (overHttp) {
            companion.emplace();
            ASSERT_TRUE(companion->waitListening());
        }
        QProcess node;
        node.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        node.start(QStringLiteral("node"),
                   {QStringLiteral(CORVANE_MCP_SCENARIO), QStringLiteral(CORVANE_MCP_CLIENT_DIR),
                    QLatin1String(transport),
                    overHttp ? QStringLiteral("http://127.0.0.1:8766/mcp") : test::CompanionProcess::executable(),
                    QString::fromLatin1(pages->url("")), QStringLiteral("restart")});
        QByteArray said;
        ASSERT_TRUE(eventually(
            [&] {
                node.waitForReadyRead(50);
                said += node.readAllStandardOutput();
                return said.contains("called\n") || node.state() == QProcess::NotRunning;
            },
            60))
            << said.constData();
        if (overHttp) {
            companion.reset();
            companion.emplace();
            ASSERT_TRUE(companion->waitListening());
        } else {
            stopCompanionOf(*home); // the one the bridge started: it starts another
        }
        node.write("go\n");
        ASSERT_TRUE(node.waitForFinished(120000));
        said += node.readAllStandardOutput();
        const QJsonObject report = QJsonDocument::fromJson(said.mid(said.indexOf("called\n") + 7)).object();
        ASSERT_FALSE(report.contains(QStringLiteral("error"))) << said.constData();
        for (const char *step : {"before", "after"}) {
            const QJsonObject result = report.value(QLatin1String(step)).toObject();
            EXPECT_FALSE(result.value(QStringLiteral("isError")).toBool()) << step << ": " << said.constData();
            EXPECT_TRUE(
                result.value(QStringLiteral("text")).toString().contains(QStringLiteral("Chrome debugging is on")))
                << step;
        }
        if (!overHttp)
            stopCompanionOf(*home);
    }
}

// The bridge speaks to the user's own companion only, and only in JSON-RPC:
// what else answers on the port is turned into an error for the request.
TEST_F(McpEndToEnd, TheBridgeTrustsOnlyTheUsersOwnCompanion)
{
    const auto askThroughBridge = [](const QByteArray &line) {
        QProcess bridge;
        bridge.start(test::CompanionProcess::executable(), {QStringLiteral("mcp")});
        bridge.write(line + "\n");
        bridge.closeWriteChannel();
        bridge.waitForFinished(30000);
        return QJsonDocument::fromJson(bridge.readAllStandardOutput()).object();
    };
    const QByteArray call = R"({"jsonrpc":"2.0","id":"c1","method":"tools/call","params":{"name":"browser_status"}})";
    {
        // A program of the user's on the port that refuses like the server does.
        test::TestHttpServer refusing(
            [](const QByteArray &) {
                const QByteArray body = R"({"ok":false,"text":"Requests from web pages are not accepted."})";
                return "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body;
            },
            companionPort);
        ASSERT_EQ(refusing.port(), companionPort);
        const QJsonObject answer = askThroughBridge(call);
        EXPECT_EQ(answer.value(QStringLiteral("id")), QStringLiteral("c1"));
        EXPECT_TRUE(answer.value(QStringLiteral("error"))
                        .toObject()
                        .value(QStringLiteral("message"))
                        .toString()
                        .contains(QStringLiteral("HTTP 403: Requests from web pages are not accepted.")))
            << QJsonDocument(answer).toJson().constData();
    }
    if (!platform::runningAsRoot() || !QFile::exists(QStringLiteral("/usr/bin/setpriv")))
        GTEST_SKIP() << "needs root and setpriv for another account's listener";
    QProcess squatter;
    squatter.start(QStringLiteral("setpriv"),
                   {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                    QStringLiteral("--clear-groups"), QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                    QStringLiteral(
                        "import socket\ns = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); "
                        "s.bind(('127.0.0.1', 8766)); s.listen(8)\n"
                        "print('listening', flush=True)\nc, _ = s.accept(); print('reached', flush=True)\n")});
    ASSERT_TRUE(squatter.waitForReadyRead(10000));
    const QJsonObject answer = askThroughBridge(call);
    EXPECT_EQ(answer.value(QStringLiteral("id")), QStringLiteral("c1"));
    EXPECT_TRUE(answer.value(QStringLiteral("error"))
                    .toObject()
                    .value(QStringLiteral("message"))
                    .toString()
                    .contains(QStringLiteral("Another account's program")))
        << QJsonDocument(answer).toJson().constData();
    squatter.kill();
    squatter.waitForFinished(5000);
    EXPECT_FALSE(squatter.readAllStandardOutput().contains("reached")) << "nothing was sent to it";
}

TEST_F(McpEndToEnd, ProtocolErrorsAreAnsweredWithoutDrivingTheBrowser)
{
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    const test::LocalReply opened = mcpPost({}, initializeMessage);
    ASSERT_EQ(opened.status, 200) << opened.head.toStdString();
    // A session names the client, for its cancellations; one the companion
    // does not know (it restarted) is taken as it comes.
    ASSERT_FALSE(sessionOf(opened).isEmpty());
    const QByteArray session = "Mcp-Session-Id: " + sessionOf(opened) + "\r\n";
    const qsizetype drivesBefore = home->events(QStringLiteral("drive")).size();

    struct Case {
        const char *name;
        QByteArray headers;
        QByteArray body;
        int status;
        int code; // the JSON-RPC error code; 0 for none
    };
    const Case cases[] = {
        {"not JSON", session, "{\"jsonrpc\":", 400, -32700},
        {"a batch", session, "[" + initializeMessage + "]", 400, -32600},
        {"no jsonrpc member", session, R"({"id":2,"method":"ping"})", 400, -32600},
        {"a method that is not a string", session, R"({"jsonrpc":"2.0","id":2,"method":7})", 400, -32600},
        {"params that are not an object", session, R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":[1]})",
         400, -32602},
        {"a session of an earlier companion", "Mcp-Session-Id: 00\r\n", R"({"jsonrpc":"2.0","id":2,"method":"ping"})",
         200, 0},
        {"an unknown protocol version", session + "MCP-Protocol-Version: 1999-01-01\r\n",
         R"({"jsonrpc":"2.0","id":2,"method":"ping"})", 400, -32000},
        {"an unknown method", session, R"({"jsonrpc":"2.0","id":2,"method":"resources/list"})", 200, -32601},
        {"an unknown tool", session,
         R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"browser_nothing"}})", 200, -32602},
        {"a missing argument", session,
         R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"browser_fill","arguments":{"ref":"e1"}}})",
         200, -32602},
        {"an argument that is not a string", session,
         R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"browser_open","arguments":{"url":5}}})",
         200, -32602},
        {"a notification", session, R"({"jsonrpc":"2.0","method":"notifications/initialized"})", 202, 0},
        {"a ping", session, R"({"jsonrpc":"2.0","id":"p","method":"ping"})", 200, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const test::LocalReply reply = mcpPost(c.headers, c.body);
        EXPECT_EQ(reply.status, c.status) << reply.body.toStdString();
        EXPECT_EQ(QJsonDocument::fromJson(reply.body)
                      .object()
                      .value(QStringLiteral("error"))
                      .toObject()
                      .value(QStringLiteral("code"))
                      .toInt(),
                  c.code)
            << reply.body.toStdString();
    }
    EXPECT_EQ(test::exchange(companionPort, {"GET /mcp HTTP/1.1\r\n" + localHost + "\r\n"}).status, 405);
    EXPECT_EQ(test::exchange(companionPort, {"DELETE /mcp HTTP/1.1\r\n" + localHost + "\r\n"}).status, 405);
    EXPECT_EQ(home->events(QStringLiteral("drive")).size(), drivesBefore);
}

TEST_F(McpEndToEnd, AWebPageInTheBrowserCannotReachIt)
{
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    const qsizetype rejectsBefore = home->events(QStringLiteral("loopback.reject")).size();
    const qsizetype callsBefore = home->events(QStringLiteral("mcp.call")).size();
    QProcess::execute(QStringLiteral("curl"),
                      {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-X"),
                       QStringLiteral("PUT"),
                       QStringLiteral("http://127.0.0.1:%1/json/new?%2")
                           .arg(test::BrowserStage::chromePort)
                           .arg(QString::fromLatin1(pages->url("/hostile.html")))});
    // The preflight and the no-cors post both carry the page's origin (the
    // second refusal within the minute adds to the count of the first line).
    EXPECT_TRUE(eventually(
        [&] {
            return test::hasEvent(test::loggedEvents(
                                      home->events(QStringLiteral("loopback.reject")).mid(rejectsBefore)),
                                  "loopback.reject", {{"path", "/mcp"}, {"reason", "origin"}});
        },
        20));
    EXPECT_EQ(home->events(QStringLiteral("mcp.call")).size(), callsBefore);
}

// A cancellation reaches only the calls of the client that sent it: another
// client using the same request id calls off nothing.
TEST_F(McpEndToEnd, ACancellationReachesOnlyItsOwnClientsCall)
{
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    const QByteArray mine = "Mcp-Session-Id: " + sessionOf(mcpPost({}, initializeMessage)) + "\r\n";
    const QByteArray theirs = "Mcp-Session-Id: " + sessionOf(mcpPost({}, initializeMessage)) + "\r\n";
    ASSERT_NE(mine, theirs);
    const QByteArray open
        = R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"browser_open","arguments":{"url":")"
        + pages->url("/form.html") + R"("}}})";
    ASSERT_EQ(mcpPost(mine, open).status, 200);
    const qsizetype startsBefore = home->logged("handover.start").size();
    const qsizetype cancelsBefore = home->logged("mcp.cancel").size();
    auto handOver = std::async(std::launch::async, [&] {
        return mcpPost(
            mine,
            R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"browser_hand_over","arguments":{"reason":"Look","wait":120}}})");
    });
    ASSERT_TRUE(eventually([&] { return home->logged("handover.start").size() > startsBefore; }, 30));
    // The hand-over holds its own client's work alone.
    const test::LocalReply theirsOpened = mcpPost(theirs, open);
    EXPECT_TRUE(theirsOpened.body.contains("\"ok\":true")) << theirsOpened.body.toStdString();
    const QByteArray cancel = R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":7}})";
    ASSERT_EQ(mcpPost(theirs, cancel).status, 202);
    ASSERT_EQ(mcpPost(mine, cancel).status, 202);
    EXPECT_EQ(handOver.get().status, 200);
    const QList<test::LoggedEvent> cancels = home->logged("mcp.cancel").mid(cancelsBefore);
    ASSERT_EQ(cancels.size(), 2);
    EXPECT_EQ(cancels[0]["running"], QStringLiteral("0")) << "another client's cancellation";
    EXPECT_EQ(cancels[1]["running"], QStringLiteral("1"));
}

// Three assistants at once, each an MCP client with its own task on its own
// page (two over HTTP, one through the bridge), beside a plain local client
// on the work tab and the person's own focused tab: each works in its own
// window, no result names another's page, and the person's tab stays in front
// of its window throughout.
TEST_F(McpEndToEnd, SeveralAssistantsWorkAtOnceEachInItsOwnWindow)
{
    const QStringList names {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    // The whole reply: its title and address are fields of their own.
    const auto plainText = [](const char *path, const QJsonObject &body = {}) {
        return QString::fromUtf8(test::postJson(companionPort, path, body).body);
    };
    const QJsonObject plainPage {{QStringLiteral("url"), QString::fromLatin1(pages->url("/plain.html"))}};
    ASSERT_TRUE(plainText("/open", plainPage).contains(QStringLiteral("\"ok\":true")));

    // Chromium itself, on 127.0.0.1 (the address it gives names no port);
    // asked by curl, which does not wait for Chromium to close the connection.
    QProcess version;
    version.start(QStringLiteral("curl"),
                  {QStringLiteral("-s"),
                   QStringLiteral("http://127.0.0.1:%1/json/version").arg(test::BrowserStage::chromePort)});
    version.waitForFinished(10000);
    const QString browserPath = QUrl(QJsonDocument::fromJson(version.readAllStandardOutput())
                                         .object()
                                         .value(QStringLiteral("webSocketDebuggerUrl"))
                                         .toString())
                                    .path();
    test::RawClient person(QStringLiteral("ws://127.0.0.1:%1").arg(test::BrowserStage::chromePort) + browserPath);
    ASSERT_TRUE(person.connected());
    const QString personTab = person
                                  .call(1, "Target.createTarget",
                                        {{"url", QString::fromLatin1(pages->url("/person.html"))}, {"newWindow", true}})
                                  .value("targetId")
                                  .toString();
    ASSERT_FALSE(personTab.isEmpty());
    person.call(2, "Target.activateTarget", {{"targetId", personTab}});
    const QString personSession = person.call(3, "Target.attachToTarget", {{"targetId", personTab}, {"flatten", true}})
                                      .value("sessionId")
                                      .toString();
    int id = 10;
    const auto personSees = [&] {
        return person
            .call(id++, "Runtime.evaluate", {{"expression", "hiddenTimes + ':' + document.visibilityState"}},
                  personSession)
            .value("result")
            .toObject()
            .value("value")
            .toString();
    };
    ASSERT_TRUE(eventually([&] { return personSees() == QLatin1String("0:visible"); }, 10));

    const qsizetype agentsBefore = home->events(QStringLiteral("agent.new")).size();
    std::vector<std::unique_ptr<QProcess>> clients;
    for (const QString &name : names) {
        const bool bridge = name == QLatin1String("c");
        auto &node = clients.emplace_back(std::make_unique<QProcess>());
        node->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        node->start(QStringLiteral("node"),
                    {QStringLiteral(CORVANE_MCP_SCENARIO), QStringLiteral(CORVANE_MCP_CLIENT_DIR),
                     bridge ? QStringLiteral("stdio") : QStringLiteral("http"),
                     bridge ? test::CompanionProcess::executable() : QStringLiteral("http://127.0.0.1:8766/mcp"),
                     QString::fromLatin1(pages->url("")), QStringLiteral("task"), name});
    }
    // Meanwhile the plain work tab goes on as it always did.
    QStringList plainSaid;
    for (int round = 0; round < 3; ++round) {
        plainSaid << plainText("/open", plainPage) << plainText("/snapshot");
    }
    QMap<QString, QString> said;
    for (qsizetype i = 0; i < names.size(); ++i) {
        QProcess &node = *clients[static_cast<size_t>(i)];
        ASSERT_TRUE(node.waitForFinished(240000)) << names[i].toStdString();
        const QJsonObject report = QJsonDocument::fromJson(node.readAllStandardOutput()).object();
        ASSERT_FALSE(report.contains(QStringLiteral("error")))
            << names[i].toStdString() << ": " << report.value(QStringLiteral("error")).toString().toStdString();
        for (const QJsonValue step : report.value(QStringLiteral("steps")).toArray()) {
            EXPECT_FALSE(step[QStringLiteral("isError")].toBool())
                << names[i].toStdString() << ": " << step[QStringLiteral("text")].toString().toStdString();
            said[names[i]] += step[QStringLiteral("text")].toString() + QLatin1Char('\n');
        }
    }
    said[QStringLiteral("plain")] = plainSaid.join(QLatin1Char('\n'));

    const auto marks = [](const QString &name) {
        return name == QLatin1String("plain")
            ? QStringList {QStringLiteral("plain.html"), QStringLiteral("Plain page")}
            : QStringList {QStringLiteral("task-%1.html").arg(name), QStringLiteral("Task ") + name,
                           QStringLiteral("word-") + name, QStringLiteral("Details of ") + name};
    };
    for (auto it = said.begin(); it != said.end(); ++it) {
        SCOPED_TRACE(it.key().toStdString());
        for (const QString &mine : marks(it.key()))
            EXPECT_TRUE(it.value().contains(mine)) << mine.toStdString() << " in " << it.value().toStdString();
        for (const QString &other : said.keys()) {
            for (const QString &theirs : other == it.key() ? QStringList() : marks(other))
                EXPECT_FALSE(it.value().contains(theirs)) << theirs.toStdString() << " in " << it.value().toStdString();
        }
        EXPECT_FALSE(it.value().contains(agentBusyText));
    }

    // Each agent's pages are in a window of its own; the person's tab stayed
    // the one in front of theirs.
    EXPECT_EQ(personSees(), QStringLiteral("0:visible"));
    const auto windowOf = [&](const QString &target, int id) {
        return person.call(id, "Browser.getWindowForTarget", {{"targetId", target}}).value("windowId").toInt();
    };
    QMap<QString, QSet<int>> windows;
    for (const QJsonValue info : person.call(id++, "Target.getTargets").value("targetInfos").toArray()) {
        const QString url = info[QStringLiteral("url")].toString();
        for (const QString &name : names) {
            if (url.endsWith(QStringLiteral("-%1.html").arg(name)))
                windows[name].insert(windowOf(info[QStringLiteral("targetId")].toString(), id++));
        }
    }
    const int personWindow = windowOf(personTab, id++);
    QSet<int> seen {personWindow};
    for (const QString &name : names) {
        EXPECT_EQ(windows[name].size(), 1) << name.toStdString();
        EXPECT_FALSE(seen.intersects(windows[name])) << name.toStdString();
        seen.unite(windows[name]);
    }
    EXPECT_EQ(home->events(QStringLiteral("agent.new")).size() - agentsBefore, names.size());

    // The person sees them at work.
    EXPECT_TRUE(eventually(
        [&] {
            QProcess status;
            status.start(test::CompanionProcess::executable(), {QStringLiteral("status")});
            status.waitForFinished(10000);
            return status.readAllStandardOutput().contains("Assistants at work: 3");
        },
        20));
    person.call(id++, "Target.closeTarget", {{"targetId", personTab}});
    stopCompanionOf(*home);
}
