// The link under faults, end to end: the real executable, the development
// chat service, a real headless Chromium and the real agent-browser, while
// the service dies, stops, vanishes from the network or refuses; while
// Chromium or the tool's own process is killed; with the log's file system
// full, the link file unreadable, and a flood of jobs against a stalled
// result endpoint. Faults that need root skip with the reason elsewhere.

#include "chrome/ChromeDiscovery.h"
#include "chrome/DevToolsSession.h"
#include "diagnostics/EventLog.h"
#include "driver/ActionWatch.h"
#include "link/LinkStore.h"
#include "link/SocketChannel.h"
#include "wire/CompanionPort.h"

#include "BrowserSuite.h"
#include "CompanionProcess.h"
#include "DevChat.h"
#include "Eventually.h"
#include "LocalHttp.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include "Dispatch.h"
#include "Processes.h"
#include "UserPaths.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvane;
using test::eventually;

namespace {

// Marks its tab once it runs in the page.
const QString slowEval
    = QStringLiteral("eval \"new Promise(r => { document.title = 'Waiting'; setTimeout(() => r(7), 4000); })\"");

bool slowEvalRunsInThePage()
{
    const std::unique_ptr<DevToolsSession> devTools = DevToolsSession::connect(test::BrowserStage::chromePort, 5);
    if (!devTools)
        return false;
    const QJsonArray targets
        = devTools->call(QStringLiteral("Target.getTargets")).result.value(QStringLiteral("targetInfos")).toArray();
    return std::any_of(targets.begin(), targets.end(), [](const QJsonValue &target) {
        return target[QStringLiteral("title")].toString() == QLatin1String("Waiting");
    });
}

bool runs(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool have(const char *tool)
{
    return runs(QStringLiteral("sh"),
                {QStringLiteral("-c"), QStringLiteral("command -v %1 >/dev/null").arg(QLatin1String(tool))});
}

// The job labels ("job" field) of events named `name` on channel `via`.
QStringList repliesVia(const QStringList &lines, const QString &via)
{
    QStringList jobs;
    for (const QString &line : lines) {
        if (test::eventField(line, QStringLiteral("via")) == via)
            jobs << test::eventField(line, QStringLiteral("job"));
    }
    return jobs;
}

} // namespace

class FaultInjection : public test::BrowserSuite {
protected:
    static void SetUpTestSuite()
    {
        startStage();
        servePages({
            {"/form.html",
             "<!doctype html><title>Form page</title><input aria-label=\"Query\">"
             "<button onclick=\"this.insertAdjacentHTML('afterend', '<p>Sent</p>')\">Send</button>"},
        });
    }

    void SetUp() override
    {
        BrowserSuite::SetUp();
        if (HasFatalFailure())
            return;
        clearLink();
    }

    void TearDown() override { clearLink(); }

    static int count(const QString &event) { return static_cast<int>(home->events(event).size()); }

    // Waits until `event` has been logged more than `before` times.
    static bool logged(const QString &event, int before, double seconds)
    {
        return eventually([&] { return count(event) > before; }, seconds);
    }

    static QString page() { return QString::fromLatin1(pages->url("/form.html")); }
};

TEST_F(FaultInjection, TheServiceKilledAndRestartedIdleAndDuringAJob)
{
    auto chat = std::make_unique<test::DevChat>();
    ASSERT_TRUE(chat->started());
    const quint16 port = chat->port();
    saveLink({chat->origin(), newLinkToken()});
    const int ready = count(QStringLiteral("socket.ready"));
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    ASSERT_TRUE(logged(QStringLiteral("socket.ready"), ready, 15));

    // Killed while idle: back once the service is.
    chat->signal(SIGKILL);
    chat = std::make_unique<test::DevChat>(QStringList {QStringLiteral("--auto-approve")}, port);
    ASSERT_TRUE(chat->started());
    ASSERT_TRUE(logged(QStringLiteral("socket.ready"), ready + 1, 20));
    ASSERT_EQ(chat->runJob(QStringLiteral("/open"), {{"url", page()}}, 60)
                  .value(QStringLiteral("socket"))
                  .toObject()
                  .value("ok"),
              true);

    // Killed while a job runs: the job still ends and its result goes out
    // once at most on the socket, and over HTTP or into the log as failed.
    chat->post("/dev/jobs", {{"id", "slow-kill"}, {"path", "/cli"}, {"body", QJsonObject {{"command", slowEval}}}});
    ASSERT_TRUE(eventually(
        [] { return !home->events(QStringLiteral("job.recv")).filter(QStringLiteral("job=slow-kil")).isEmpty(); }, 20));
    chat->signal(SIGKILL);
    chat = std::make_unique<test::DevChat>(QStringList {QStringLiteral("--auto-approve")}, port);
    ASSERT_TRUE(chat->started());
    EXPECT_TRUE(eventually(
        [] {
            return repliesVia(home->events(QStringLiteral("job.reply"))
                                  + home->events(QStringLiteral("job.reply-fail")),
                              QStringLiteral("http"))
                .contains(QStringLiteral("slow-kil"));
        },
        30));
    ASSERT_TRUE(logged(QStringLiteral("socket.ready"), ready + 2, 30));
    EXPECT_EQ(chat->runJob(QStringLiteral("/health"), {}, 30).value(QStringLiteral("socket")).toObject().value("ok"),
              true);

    const QStringList socketReplies = repliesVia(home->events(QStringLiteral("job.reply")), QStringLiteral("socket"));
    for (const QString &job : socketReplies)
        EXPECT_EQ(socketReplies.count(job), 1) << "job " << job.toStdString() << " answered twice on the socket";
    EXPECT_EQ(repliesVia(home->events(QStringLiteral("job.reply")) + home->events(QStringLiteral("job.reply-fail")),
                         QStringLiteral("http"))
                  .count(QStringLiteral("slow-kil")),
              1);
    EXPECT_TRUE(companion.running());
}

TEST_F(FaultInjection, TheServiceStoppedThroughSilentTurns)
{
    test::DevChat chat;
    ASSERT_TRUE(chat.started());
    saveLink({chat.origin(), newLinkToken()});
    const int ready = count(QStringLiteral("socket.ready"));
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    ASSERT_TRUE(logged(QStringLiteral("socket.ready"), ready, 15));

    // Stopped, the service still takes bytes into its socket but never
    // answers: the companion goes on through silent turns, each with a
    // heartbeat nobody reads, without giving up the connection.
    const int heartbeats = count(QStringLiteral("socket.heartbeat"));
    const int failures = count(QStringLiteral("socket.recv-fail")) + count(QStringLiteral("socket.heartbeat-fail"));
    chat.signal(SIGSTOP);
    const bool silentTurns = logged(QStringLiteral("socket.heartbeat"), heartbeats + 1, 60);
    chat.signal(SIGCONT);
    ASSERT_TRUE(silentTurns);
    EXPECT_EQ(count(QStringLiteral("socket.recv-fail")) + count(QStringLiteral("socket.heartbeat-fail")), failures);
    const QJsonObject job = chat.runJob(QStringLiteral("/health"), {}, 40);
    EXPECT_EQ(job.value(QStringLiteral("socket")).toObject().value("ok"), true)
        << QJsonDocument(job).toJson().constData();
    EXPECT_TRUE(companion.running());
}

TEST_F(FaultInjection, APeerThatVanishesIsNoticedWithinThirtySeconds)
{
    if (!platform::runningAsRoot() || !have("ip") || !have("nft"))
        GTEST_SKIP() << "needs root, ip and nft for a network namespace of the test's own";
    const QString space = QStringLiteral("corvane-fault-%1").arg(::getpid());
    ASSERT_TRUE(runs(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), space}));
    const std::shared_ptr<void> removeSpace(nullptr, [space](void *) {
        runs(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), space});
    });
    ASSERT_TRUE(runs(QStringLiteral("ip"),
                     {QStringLiteral("-n"), space, QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
                      QStringLiteral("up")}));
    const QStringList inside {QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), space};
    const auto nft = [&](const QString &rules) {
        return runs(QStringLiteral("ip"),
                    {QStringLiteral("netns"), QStringLiteral("exec"), space, QStringLiteral("nft"), rules});
    };

    test::DevChat chat({QStringLiteral("--auto-approve"), QStringLiteral("--host"), QStringLiteral("127.0.0.1")}, 5001,
                       inside);
    ASSERT_TRUE(chat.started());
    saveLink({QStringLiteral("http://127.0.0.1:5001"), newLinkToken()});
    const int ready = count(QStringLiteral("socket.ready"));
    const int failures = count(QStringLiteral("socket.recv-fail"));
    test::CompanionProcess::Options options;
    options.prefix = inside;
    test::CompanionProcess companion(options);
    ASSERT_TRUE(companion.waitListening());
    ASSERT_TRUE(logged(QStringLiteral("socket.ready"), ready, 15));

    // Everything the service sends is dropped: to the companion it is gone.
    ASSERT_TRUE(
        nft(QStringLiteral("add table inet corvane; add chain inet corvane input "
                           "{ type filter hook input priority 0; }; add rule inet corvane input tcp sport 5001 drop")));
    const double dropped = platform::monotonicSeconds();
    EXPECT_TRUE(logged(QStringLiteral("socket.recv-fail"), failures, 40));
    const double noticed = platform::monotonicSeconds() - dropped;
    EXPECT_LT(noticed, 30.0);
    std::printf("a vanished peer was noticed after %.1f s\n", noticed);

    ASSERT_TRUE(nft(QStringLiteral("delete table inet corvane")));
    EXPECT_TRUE(logged(QStringLiteral("socket.ready"), ready + 1, 20)) << "connects again once the peer is back";
    EXPECT_TRUE(companion.running());
}

TEST_F(FaultInjection, EveryHandshakeRefusedNeverSaysConnected)
{
    test::DevChat chat(QStringList {}); // no approval: every handshake gets 403
    ASSERT_TRUE(chat.started());
    saveLink({chat.origin(), newLinkToken()});
    const int ready = count(QStringLiteral("socket.ready"));
    const int failed = count(QStringLiteral("socket.recv-fail"));
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    // Three refused handshakes, and never idle in between.
    EXPECT_TRUE(eventually(
        [&] {
            EXPECT_NE(home->status().value(QStringLiteral("phase")).toString(), QStringLiteral("idle"));
            return count(QStringLiteral("socket.recv-fail")) - failed >= 3;
        },
        30));
    EXPECT_EQ(count(QStringLiteral("socket.ready")), ready);
    EXPECT_FALSE(companion.output().contains(QStringLiteral("Connected"))) << companion.output().toStdString();

    QProcess status;
    status.start(test::CompanionProcess::executable(), {QStringLiteral("status")});
    ASSERT_TRUE(status.waitForFinished(10000));
    const QString said = QString::fromUtf8(status.readAllStandardOutput());
    EXPECT_TRUE(said.contains(QStringLiteral("Chat: Connecting to 127.0.0.1\u2026"))) << said.toStdString();
    EXPECT_FALSE(said.contains(QStringLiteral("Connected")));
}

TEST_F(FaultInjection, ChromiumOrTheToolsOwnProcessKilledDuringAJob)
{
    test::DevChat chat;
    ASSERT_TRUE(chat.started());
    saveLink({chat.origin(), newLinkToken()});
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());

    const auto toolSession = [] {
        const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/agent-browser");
        const QStringList pidFiles = QDir(folder).entryList({QStringLiteral("corvane*.pid")}, QDir::Files);
        return pidFiles.isEmpty()
            ? 0
            : QString::fromUtf8(test::readFile(folder + QLatin1Char('/') + pidFiles.front())).trimmed().toInt();
    };
    struct Case {
        const char *id;
        std::function<void()> kill;
    };
    const Case cases[] = {
        {"chromium", [] { stage->chromium.kill(); }},
        {"tool-own", [&] { ::kill(toolSession(), SIGKILL); }},
    };
    // A watched click sees what it changed; the second case's click comes
    // after Chromium was killed, when the watch's kept connection is dead.
    const auto clickShowsWhatChanged = [&] {
        const QString snapshot = chat.runJob(QStringLiteral("/snapshot"), {}, 60)
                                     .value(QStringLiteral("socket"))[QStringLiteral("text")]
                                     .toString();
        const QString ref
            = QRegularExpression(QStringLiteral(R"(button "Send"[^\n]*ref=(e\d+))")).match(snapshot).captured(1);
        const QJsonObject clicked
            = chat.runJob(QStringLiteral("/click"), {{"ref", ref}}, 60).value(QStringLiteral("socket")).toObject();
        EXPECT_TRUE(
            clicked.value(QStringLiteral("text")).toString().contains(changedTextHeading + QStringLiteral("\n> Sent")))
            << QJsonDocument(clicked).toJson().constData();
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        const QJsonObject opened = chat.runJob(QStringLiteral("/open"), {{"url", page()}}, 60);
        ASSERT_EQ(opened.value(QStringLiteral("socket")).toObject().value("ok"), true)
            << QJsonDocument(opened).toJson().constData();
        clickShowsWhatChanged();
        ASSERT_GT(toolSession(), 0);
        const auto evals = [] {
            const QList<test::LoggedEvent> starts = home->logged(QStringLiteral("agent.start"));
            return std::count_if(starts.begin(), starts.end(), [](const test::LoggedEvent &start) {
                return start["args"].startsWith(QStringLiteral("eval new Promise"));
            });
        };
        const qsizetype evalsBefore = evals();
        chat.post("/dev/jobs",
                  {{"id", QString::fromLatin1(c.id)}, {"path", "/cli"}, {"body", QJsonObject {{"command", slowEval}}}});
        ASSERT_TRUE(eventually([&] { return evals() > evalsBefore; }, 20));
        ASSERT_TRUE(eventually(slowEvalRunsInThePage, 20));
        c.kill();
        const QJsonObject killed = chat.get("/dev/jobs/" + QByteArray(c.id) + "?wait=40");
        EXPECT_EQ(killed.value(QStringLiteral("socket")).toObject().value("ok"), false)
            << QJsonDocument(killed).toJson().constData();

        // The next job starts what is missing again and succeeds. On a busy
        // machine Chromium may need longer than a job waits for it: then,
        // once it answers, the job after succeeds without another start.
        QJsonObject next = chat.runJob(QStringLiteral("/open"), {{"url", page()}}, 60);
        const QJsonObject nextResult = next.value(QStringLiteral("socket")).toObject();
        if (nextResult.value("ok") != true
            && nextResult.value("text").toString().startsWith(
                QLatin1String("Chrome did not open the debugging port"))) {
            const qsizetype launches = home->events(QStringLiteral("chrome.launch")).size();
            ASSERT_TRUE(
                eventually([] { return chromeIsReady(QStringLiteral("127.0.0.1"), test::BrowserStage::chromePort); },
                           60));
            next = chat.runJob(QStringLiteral("/open"), {{"url", page()}}, 60);
            EXPECT_EQ(home->events(QStringLiteral("chrome.launch")).size(), launches);
        }
        EXPECT_EQ(next.value(QStringLiteral("socket")).toObject().value("ok"), true)
            << QJsonDocument(next).toJson().constData();
    }
    EXPECT_TRUE(companion.running());
}

TEST_F(FaultInjection, TheLogsFileSystemFull)
{
    if (!platform::runningAsRoot() || !have("unshare"))
        GTEST_SKIP() << "needs root and unshare for a mount namespace of the test's own";
    test::DevChat chat;
    ASSERT_TRUE(chat.started());
    saveLink({chat.origin(), newLinkToken()});
    // The companion sees its log folder on a tiny file system, full already.
    test::CompanionProcess::Options options;
    options.prefix = {QStringLiteral("unshare"),
                      QStringLiteral("-m"),
                      QStringLiteral("sh"),
                      QStringLiteral("-c"),
                      QStringLiteral("mkdir -p \"$0\" && mount -t tmpfs -o size=16k tmpfs \"$0\" && "
                                     "(cat /dev/zero > \"$0/fill\") 2>/dev/null; exec \"$@\""),
                      home->logDir()};
    test::CompanionProcess companion(options);
    ASSERT_TRUE(eventually([&] { return test::postJson(companionPort, "/health").status == 200; }, 20));

    for (int i = 0; i < 3; ++i) {
        const QJsonObject job = chat.runJob(QStringLiteral("/health"), {}, 30);
        EXPECT_EQ(job.value(QStringLiteral("socket")).toObject().value("ok"), true)
            << QJsonDocument(job).toJson().constData();
        EXPECT_FALSE(job.value(QStringLiteral("http")).toObject().isEmpty());
    }
    EXPECT_EQ(test::postJson(companionPort, "/health").status, 200);
    EXPECT_TRUE(companion.running());
}

TEST_F(FaultInjection, TheLinkFileUnreadableAndReadableAgain)
{
    test::DevChat chat;
    ASSERT_TRUE(chat.started());
    // Mode 000 keeps nobody but root out: as root, the companion runs as nobody.
    QTemporaryDir otherHome;
    test::CompanionProcess::Options options;
    QString linkFile = linkFileURL();
    QString events = companionEventsURL();
    if (platform::runningAsRoot()) {
        const QString root = otherHome.path();
        for (const char *folder : {"data/CorvaneCompanion", "state", "config", "run"})
            QDir().mkpath(root + QLatin1Char('/') + QLatin1String(folder));
        options.prefix = {QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                          QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups")};
        options.environment.insert(QStringLiteral("HOME"), root);
        options.environment.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
        options.environment.insert(QStringLiteral("XDG_STATE_HOME"), root + QStringLiteral("/state"));
        options.environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
        options.environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/run"));
        linkFile = root + QStringLiteral("/data/CorvaneCompanion/link.json");
        events = root + QStringLiteral("/state/CorvaneCompanion/events.log");
        options.eventsFile = events;
        ASSERT_TRUE(
            test::writeFile(linkFile,
                            QJsonDocument(QJsonObject {{"host", chat.origin()}, {"token", newLinkToken()}}).toJson()));
        ASSERT_TRUE(runs(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("nobody:nogroup"), root}));
        ASSERT_TRUE(runs(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("go-rwx"), root}));
    } else {
        saveLink({chat.origin(), newLinkToken()});
    }
    const auto countIn = [&](const char *event) {
        int n = 0;
        for (const QString &line : QString::fromUtf8(test::readFile(events)).split(QLatin1Char('\n'))) {
            if (test::loggedEvent(line).name == QLatin1String(event))
                ++n;
        }
        return n;
    };
    const int ready = countIn("socket.ready");
    test::CompanionProcess companion(options);
    ASSERT_TRUE(companion.waitListening());
    ASSERT_TRUE(eventually([&] { return countIn("socket.ready") > ready; }, 15));

    const int ends = countIn("socket.end");
    ASSERT_TRUE(QFile::setPermissions(linkFile, {}));
    EXPECT_TRUE(eventually([&] { return countIn("socket.end") > ends; }, 20))
        << "the connection lets go of a link it cannot read";
    platform::sleepFor(1.0);
    ASSERT_TRUE(QFile::setPermissions(linkFile, QFile::ReadOwner | QFile::WriteOwner));
    EXPECT_TRUE(eventually([&] { return countIn("socket.ready") > ready + 1; }, 20))
        << "readable again: connected again";
    EXPECT_TRUE(companion.running());
}

TEST_F(FaultInjection, AFloodOfJobsAgainstAStalledResultEndpoint)
{
    test::DevChat chat({QStringLiteral("--auto-approve"), QStringLiteral("--result-delay"), QStringLiteral("60")});
    ASSERT_TRUE(chat.started());
    saveLink({chat.origin(), newLinkToken()});
    const int ready = count(QStringLiteral("socket.ready"));
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());
    ASSERT_TRUE(logged(QStringLiteral("socket.ready"), ready, 15));

    const int done = count(QStringLiteral("job.done"));
    chat.post("/dev/jobs", {{"path", "/health"}, {"count", 3000}});
    int mostThreads = 0;
    double slowestHealth = 0;
    const bool allDone = eventually(
        [&] {
            mostThreads = std::max(mostThreads, test::threadCount(companion.pid()));
            const double asked = platform::monotonicSeconds();
            EXPECT_EQ(test::postJson(companionPort, "/health").status, 200);
            slowestHealth = std::max(slowestHealth, platform::monotonicSeconds() - asked);
            return count(QStringLiteral("job.done")) >= done + 3000;
        },
        120);
    EXPECT_TRUE(allDone) << count(QStringLiteral("job.done")) - done << " of 3000 jobs done";
    EXPECT_LT(mostThreads, 64);
    EXPECT_LT(slowestHealth, 5.0);
    const int full = static_cast<int>(
        home->events(QStringLiteral("job.reply-fail")).filter(QStringLiteral("error=queue full")).size());
    EXPECT_GE(full, 3000 - 1000 - 4 - 100) << "what cannot wait is logged at once";
    std::printf("3000 jobs: at most %d threads, /health at most %.2f s, %d copies refused by the full queue\n",
                mostThreads, slowestHealth, full);
    EXPECT_TRUE(companion.running());
}
