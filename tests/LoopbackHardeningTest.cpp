// The local server against hostile and broken clients: real sockets to the
// real executable, a real headless Chromium and the real agent-browser (a
// fake one only where a tool must misbehave on purpose).

#include "driver/AgentRunner.h"
#include "driver/Driver.h"
#include "driver/PageView.h"
#include "wire/CompanionPort.h"
#include "wire/HttpMessage.h"

#include "BrowserSuite.h"
#include "CompanionProcess.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "LocalHttp.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include "Dispatch.h"
#include "Processes.h"
#include "UserPaths.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace corvane;
using test::eventually;
using test::LocalReply;

namespace {

const QByteArray localHost = "Host: 127.0.0.1:8766\r\n";

QString text(const LocalReply &reply)
{
    return reply.json().value(QStringLiteral("text")).toString();
}

// Connects without waiting and without ever sending.
int idleConnection()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(companionPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    return fd;
}

QSet<QString> rejectReasonsSince(const test::TempHome &home, qsizetype before)
{
    QSet<QString> reasons;
    for (const QString &line : home.events(QStringLiteral("loopback.reject")).mid(before))
        reasons.insert(test::eventField(line, QStringLiteral("reason")));
    return reasons;
}

// The work tab is there and active for every listing.
const QString fakeWorkTab = QStringLiteral(R"(case "$5" in
  tab) echo '{"success":true,"data":{"tabs":[{"label":"cv-work","active":true,"tabId":"t1"}]},"error":null}' ;;
)");

} // namespace

class LoopbackHardening : public test::BrowserSuite {
protected:
    static void SetUpTestSuite()
    {
        startStage();
        servePages({
            {"/form.html", "<!doctype html><title>Form page</title><input aria-label=\"Query\">"},
            {"/secret.html",
             "<!doctype html><title>Sign in</title><input aria-label=\"Name\" id=\"name\">"
             "<input type=\"password\" aria-label=\"Password\" id=\"pw\">"},
            {"/escape.html",
             "<!doctype html><title>x</title><script>document.title = 'Esc\\x1b[2KTitle\\u2028Next'</script>"},
            {"/hostile.html",
             "<!doctype html><title>Hostile</title>"
             "<img src=\"http://127.0.0.1:8766/scroll\">"
             "<iframe name=\"sink\"></iframe>"
             "<form id=\"f\" method=\"POST\" action=\"http://127.0.0.1:8766/cli\" enctype=\"text/plain\" "
             "target=\"sink\">"
             "<input name='{\"command\":\"tab list\",\"x\":\"' value='\"}'></form>"
             "<script>fetch('http://127.0.0.1:8766/snapshot?' + 'a'.repeat(70000), {mode: 'no-cors'}).catch(() => {});"
             "document.getElementById('f').submit();</script>"},
        });
    }
};

TEST_F(LoopbackHardening, OnlyWholeRequestsOfLocalProgramsReachTheDriver)
{
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());

    struct Case {
        const char *name;
        QList<QByteArray> parts;
        double pause;
        int status; // 0: closed without a reply
        const char *reason;
    };
    QByteArray padding;
    for (int i = 0; i < 70; ++i)
        padding += "X-Pad-" + QByteArray::number(i) + ": " + QByteArray(1000, 'p') + "\r\n";
    QList<QByteArray> trickle;
    for (const char c : QByteArray("GET /scroll HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: aaaaaa"))
        trickle.append(QByteArray(1, c));
    const Case cases[] = {
        {"66 KB request line",
         {"GET /snapshot?" + QByteArray(66 * 1024, 'a') + " HTTP/1.1\r\n" + localHost
          + "Origin: http://a.example\r\n\r\n"},
         0,
         431,
         "too-large"},
        {"70 KB of headers before Origin",
         {"GET /snapshot HTTP/1.1\r\n" + localHost + padding + "Origin: http://a.example\r\n\r\n"},
         0,
         431,
         "too-large"},
        {"Origin in the last write",
         {"POST /cli HTTP/1.1\r\n", localHost, "Origin: http://a.example\r\nContent-Length: 2\r\n\r\n{}"},
         0.5,
         403,
         "origin"},
        {"cross-site", {"GET /scroll HTTP/1.1\r\n" + localHost + "Sec-Fetch-Site: cross-site\r\n\r\n"}, 0, 403, "site"},
        {"same-site", {"GET /scroll HTTP/1.1\r\n" + localHost + "Sec-Fetch-Site: same-site\r\n\r\n"}, 0, 403, "site"},
        {"same-origin",
         {"GET /scroll HTTP/1.1\r\n" + localHost + "Sec-Fetch-Site: same-origin\r\n\r\n"},
         0,
         403,
         "site"},
        {"trickling past the deadline", trickle, 0.25, 0, "slow"},
        {"typed into the address bar",
         {"GET /health HTTP/1.1\r\n" + localHost + "Sec-Fetch-Site: none\r\n\r\n"},
         0,
         200,
         nullptr},
        {"bare LF", {"GET /health HTTP/1.1\nHost: 127.0.0.1\n\n"}, 0, 200, nullptr},
        {"short head, then quiet", {"GET /health HTTP/1.1\r\n" + localHost}, 0, 200, nullptr},
    };
    const qsizetype drivesBefore = home->events(QStringLiteral("drive")).size();
    const qsizetype rejectsBefore = home->events(QStringLiteral("loopback.reject")).size();
    int served = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const LocalReply reply = test::exchange(companionPort, c.parts, c.pause, 30);
        EXPECT_EQ(reply.status, c.status) << reply.head.toStdString();
        if (c.status == 200) {
            ++served;
            continue;
        }
        if (c.status != 0) {
            EXPECT_EQ(reply.json(),
                      (QJsonObject {{"ok", false},
                                    {"chrome", false},
                                    {"needs_you", false},
                                    {"text", c.status == 431 ? requestTooLargeText : webPageRefusedText}}));
        }
        EXPECT_TRUE(
            eventually([&] { return rejectReasonsSince(*home, rejectsBefore).contains(QString::fromLatin1(c.reason)); },
                       5));
    }
    // A refusal again within the minute adds to its reason's count, not a line.
    EXPECT_EQ(home->events(QStringLiteral("loopback.reject")).mid(rejectsBefore).size(), 4);
    const QStringList drives = home->events(QStringLiteral("drive")).mid(drivesBefore);
    EXPECT_EQ(drives.size(), served);
    for (const QString &line : drives)
        EXPECT_EQ(test::eventField(line, QStringLiteral("path")), QStringLiteral("/health")) << line.toStdString();
}

TEST_F(LoopbackHardening, OtherUsersOfTheMachineAreRefused)
{
    if (!platform::runningAsRoot() || !platform::isExecutableFile(QStringLiteral("/usr/bin/setpriv")))
        GTEST_SKIP() << "needs root and setpriv to act as another user";
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());

    // Closed as it is accepted: nothing is read, a silent client holds no
    // place, and a request gets no answer at all. IPv6 sockets that reach the
    // IPv4 listener (::ffff:127.0.0.1) are told apart just the same.
    const QString probe = QStringLiteral(R"(
import socket, sys
family = socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET
s = socket.socket(family)
s.connect((sys.argv[1], 8766))
s.settimeout(5)
try:
    print("closed" if s.recv(1) == b"" else "answered")
except socket.timeout:
    print("held open")
except OSError:
    print("closed")
)");
    const QString ownRequest = QStringLiteral(R"(
import socket, sys
family = socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET
s = socket.socket(family)
s.connect((sys.argv[1], 8766))
s.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
print(s.makefile("rb").readline().split()[1].decode())
)");
    for (const char *address : {"127.0.0.1", "::1", "::ffff:127.0.0.1"}) {
        SCOPED_TRACE(address);
        QProcess other;
        other.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                     QStringLiteral("--clear-groups"), QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"), probe,
                     QString::fromLatin1(address)});
        ASSERT_TRUE(other.waitForFinished(20000));
        EXPECT_EQ(QString::fromUtf8(other.readAllStandardOutput()).trimmed(), QStringLiteral("closed"))
            << other.readAllStandardError().toStdString();
        EXPECT_EQ(test::eventField(home->events(QStringLiteral("loopback.reject")).last(), QStringLiteral("reason")),
                  QStringLiteral("user"));

        // The user's own program on the same address is served.
        QProcess own;
        own.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), ownRequest, QString::fromLatin1(address)});
        ASSERT_TRUE(own.waitForFinished(20000));
        EXPECT_EQ(own.readAllStandardOutput(), "200\n") << own.readAllStandardError().toStdString();
    }
    for (const QString &line : home->events(QStringLiteral("drive")))
        EXPECT_NE(test::eventField(line, QStringLiteral("path")), QStringLiteral("/open")) << line.toStdString();
}

TEST_F(LoopbackHardening, IdleConnectionsNeverKeepHealthOut)
{
    // The test itself holds all the connections.
    rlimit ours {};
    ::getrlimit(RLIMIT_NOFILE, &ours);
    ours.rlim_cur = ours.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &ours);
    if (ours.rlim_cur < 1024)
        GTEST_SKIP() << "this process may open only " << ours.rlim_cur << " descriptors";

    // 512 as on many desktops; 160 runs out of descriptors before the server's own limit.
    for (const int limit : {512, 160}) {
        SCOPED_TRACE(limit);
        const qsizetype failsBefore = home->events(QStringLiteral("loopback.fail")).size();
        test::CompanionProcess::Options options;
        options.descriptorLimit = limit;
        test::CompanionProcess companion(options);
        ASSERT_TRUE(companion.waitListening());

        std::vector<int> idle;
        for (int i = 0; i < 700; ++i)
            idle.push_back(idleConnection());
        // The kernel hands them over as fast as it lets them in.
        const int held = 100;
        EXPECT_TRUE(eventually([&] { return test::descriptorCount(companion.pid()) >= held; }, 10))
            << "the companion holds " << test::descriptorCount(companion.pid()) << " descriptors";
        const double asked = platform::monotonicSeconds();
        const LocalReply beset = test::postJson(companionPort, "/health");
        const double besetSeconds = platform::monotonicSeconds() - asked;
        EXPECT_EQ(beset.status, 200);
        EXPECT_LT(besetSeconds, 20.0);

        for (const int fd : idle)
            ::close(fd);
        const double again = platform::monotonicSeconds();
        EXPECT_EQ(test::postJson(companionPort, "/health").status, 200);
        EXPECT_LT(platform::monotonicSeconds() - again, 3.0);
        EXPECT_TRUE(companion.running());
        EXPECT_LE(home->events(QStringLiteral("loopback.fail")).size() - failsBefore, 1) << "at most one line a minute";
        std::printf("descriptor limit %d: /health took %.2f s among 700 idle connections\n", limit, besetSeconds);
    }
}

// Any account can read a program's command line, and the log outlives the
// job: what a job types reaches the tool on its standard input only, and the
// log shows its length.
TEST_F(LoopbackHardening, TypedTextsNeverReachACommandLineOrTheLog)
{
    ASSERT_TRUE(test::installRecordingAgentBrowser());
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    ASSERT_EQ(test::postJson(companionPort, "/open", {{"url", QString::fromLatin1(pages->url("/secret.html"))}})
                  .json()
                  .value("ok"),
              true);
    const QString snapshot = text(test::postJson(companionPort, "/snapshot"));
    const QRegularExpression ref(QStringLiteral(R"re(textbox "(Name|Password)" \[ref=(e\d+)\])re"));
    QMap<QString, QString> refs;
    for (auto it = ref.globalMatch(snapshot); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        refs.insert(match.captured(1), match.captured(2));
    }
    ASSERT_EQ(refs.size(), 2) << snapshot.toStdString();

    const QString secret = QStringLiteral("hunter2secret");
    EXPECT_EQ(test::postJson(companionPort, "/fill", {{"ref", refs[QStringLiteral("Password")]}, {"text", secret}})
                  .json()
                  .value("ok"),
              true);
    EXPECT_EQ(test::postJson(companionPort, "/cli",
                             {{"command", "fill " + refs[QStringLiteral("Name")] + " " + secret}})
                  .json()
                  .value("ok"),
              true);
    EXPECT_EQ(
        text(test::postJson(
                 companionPort, "/cli",
                 {{"command",
                   "eval document.getElementById('pw').value.length + document.getElementById('name').value.length"}}))
            .trimmed(),
        QStringLiteral("26"));

    // The program ran to start the tool's background process; the steps
    // after went to it as requests on the kept connection.
    const QStringList commandLines = test::recordedCommandLines();
    EXPECT_GE(commandLines.size(), 1);
    EXPECT_EQ(home->logged(QStringLiteral("agent.kept")).size(), 1);
    for (const QString &line : commandLines)
        EXPECT_FALSE(line.contains(secret)) << line.toStdString();
    EXPECT_FALSE(test::readFile(home->logDir() + QStringLiteral("/events.log")).contains(secret.toUtf8()));
    EXPECT_TRUE(test::hasEvent(home->logged(QStringLiteral("agent.start")), "agent.start",
                               {{"args", "fill " + refs[QStringLiteral("Password")] + " <13 chars>"}}));
    ASSERT_TRUE(test::linkRealAgentBrowser());
}

TEST_F(LoopbackHardening, ToolOutputTextsAndPicturesStayHonest)
{
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    ASSERT_EQ(test::postJson(companionPort, "/open", {{"url", QString::fromLatin1(pages->url("/form.html"))}})
                  .json()
                  .value("ok"),
              true);

    // A text far longer than one command-line argument may be reaches the
    // tool on its standard input, and the log only shows its length.
    const QString longText = QStringLiteral("w").repeated(200 * 1024);
    const QString query = QRegularExpression(QStringLiteral(R"re(textbox "Query" \[ref=(e\d+)\])re"))
                              .match(text(test::postJson(companionPort, "/snapshot")))
                              .captured(1);
    ASSERT_FALSE(query.isEmpty());
    const LocalReply filled = test::postJson(companionPort, "/fill", {{"ref", query}, {"text", longText}});
    EXPECT_EQ(filled.json().value(QStringLiteral("ok")), true) << filled.body.left(300).toStdString();
    EXPECT_TRUE(test::hasEvent(home->logged(QStringLiteral("agent.start")), "agent.start",
                               {{"args", "fill " + query + " <204800 chars>"}}));
    EXPECT_FALSE(test::readFile(home->logDir() + QStringLiteral("/events.log")).contains(QByteArray(100, 'w')));

    // A tool that prints 50 MB: the first 4 MiB come back, marked as cut.
    test::installFakeAgentBrowser(fakeWorkTab
                                  + QStringLiteral("  get) head -c 50000000 /dev/zero | tr '\\0' 'x' ;;\nesac"));
    const LocalReply flood = test::postJson(companionPort, "/cli", {{"command", "get text body"}});
    EXPECT_TRUE(text(flood).endsWith(outputCutText)) << text(flood).right(60).toStdString();
    EXPECT_LE(text(flood).size(), agentOutputLimit + outputCutText.size());

    // A screenshot that fails: an older picture in its place is never sent.
    const QString picture = platform::temporaryDir() + screenshotFileName;
    ASSERT_TRUE(test::writeFile(picture, "\xff\xd8 an older picture"));
    test::installFakeAgentBrowser(
        fakeWorkTab + QStringLiteral("  screenshot) echo '\u2717 Screenshot failed' >&2; exit 1 ;;\nesac"));
    const LocalReply view = test::postJson(companionPort, "/view");
    EXPECT_FALSE(view.json().contains(QStringLiteral("image"))) << view.body.left(200).toStdString();
    EXPECT_FALSE(QFile::exists(picture));
    ASSERT_TRUE(test::linkRealAgentBrowser());
}

TEST_F(LoopbackHardening, APageTitleWithControlsStaysOnOneLogLine)
{
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    // The tool prints the title when it opens a page in a tab that exists;
    // the address as asked for goes into the "drive" event.
    const QString url = QString::fromLatin1(pages->url("/escape.html")) + QStringLiteral("#\x1b[31mred");
    for (int i = 0; i < 2; ++i) {
        const LocalReply opened = test::postJson(companionPort, "/open", {{"url", url}});
        ASSERT_EQ(opened.json().value("ok"), true) << opened.body.toStdString();
    }
    const QByteArray log = test::readFile(home->logDir() + QStringLiteral("/events.log"));
    EXPECT_TRUE(log.contains("Title\\u{2028}Next")) << "the title as the log writes it";
    EXPECT_TRUE(log.contains("#\\u{001B}[31mred")) << "the address as the log writes it";
    EXPECT_FALSE(log.contains('\x1b'));
    EXPECT_FALSE(log.contains("\u2028"));
    const QRegularExpression eventLine(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \S)"));
    for (const QString &line : QString::fromUtf8(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        ASSERT_TRUE(eventLine.match(line).hasMatch()) << line.left(120).toStdString();
}

TEST_F(LoopbackHardening, AHostilePageInTheBrowserReachesNothing)
{
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    const qsizetype drivesBefore = home->events(QStringLiteral("drive")).size();
    const qsizetype requestsBefore = home->events(QStringLiteral("loopback.req")).size();
    const qsizetype rejectsBefore = home->events(QStringLiteral("loopback.reject")).size();

    // The user visits the page in a tab of their own.
    QProcess::execute(QStringLiteral("curl"),
                      {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-X"),
                       QStringLiteral("PUT"),
                       QStringLiteral("http://127.0.0.1:%1/json/new?%2")
                           .arg(test::BrowserStage::chromePort)
                           .arg(QString::fromLatin1(pages->url("/hostile.html")))});
    const QSet<QString> expected {QStringLiteral("too-large"), QStringLiteral("site"), QStringLiteral("origin")};
    EXPECT_TRUE(eventually([&] { return rejectReasonsSince(*home, rejectsBefore).contains(expected); }, 20))
        << "reasons seen: " << QStringList(rejectReasonsSince(*home, rejectsBefore).values()).join(' ').toStdString();
    EXPECT_EQ(home->events(QStringLiteral("drive")).size(), drivesBefore);
    EXPECT_EQ(home->events(QStringLiteral("loopback.req")).size(), requestsBefore);
}
