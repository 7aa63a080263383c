// Only the work is touched, through the real executable, the real tool and
// a real Chromium behind the companion's gate: nothing of ours listens but
// the companion and the gate, the person's tabs, downloads and dialogs stay
// theirs, local services are not opened, and a bare GET does not act.

#include "chrome/ChromeTarget.h"
#include "driver/Driver.h"
#include "driver/HandOver.h"
#include "driver/LocalTargets.h"
#include "driver/Steps.h"
#include "driver/WorkTab.h"
#include "wire/HttpMessage.h"

#include "PeerUser.h"

#include "Chromium.h"
#include "CompanionProcess.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "GatedCompanion.h"
#include "LocalHttp.h"
#include "RawDevTools.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QJsonArray>

#include <gtest/gtest.h>

#include <future>

using namespace corvane;
using test::eventuallyHandlingEvents;
using test::postJson;

namespace {

constexpr quint16 companion = 8766;

QMap<QByteArray, QByteArray> pages()
{
    return {
        {"/",
         "<!doctype html><title>Work</title><a id=\"dl\" href=\"/report.txt\" download=\"report.txt\">Get the "
         "report</a>"
         "<button onclick=\"let n=0;const t=setInterval(()=>{document.title='Busy "
         "'+(++n);if(n>30)clearInterval(t)},100)\">"
         "Keep busy</button>"},
        {"/report.txt", "the report"},
        {"/private", "<!doctype html><title>Private</title><p>The person's own page.</p>"},
    };
}

// The process and every process it started, as far as they still run.
QList<qint64> withDescendants(qint64 root)
{
    QList<qint64> found {root};
    for (qsizetype i = 0; i < found.size(); ++i) {
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QByteArray stat = test::readFile(QStringLiteral("/proc/%1/stat").arg(entry));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields.at(1).toLongLong() == found[i])
                found.append(entry.toLongLong());
        }
    }
    return found;
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

class WorkBoundaries : public testing::Test {
protected:
    static void SetUpTestSuite() { stage = new test::GatedCompanion(pages()); }
    static void TearDownTestSuite() { delete stage; }

    void SetUp() override
    {
        ASSERT_TRUE(stage->ready()) << "the companion did not open its first page behind its gate";
    }

    static QString page(const char *path) { return stage->page(path); }

    static inline test::GatedCompanion *stage = nullptr;
};

TEST_F(WorkBoundaries, OnlyTheCompanionAndItsGateListen)
{
    ASSERT_TRUE(postJson(companion, "/snapshot").json().value("ok").toBool());
    ASSERT_TRUE(postJson(companion, "/cli", {{"command", "get title"}}).json().value("ok").toBool());
    ASSERT_TRUE(postJson(companion, "/scroll").json().value("ok").toBool());

    QMap<qint64, QString> processes;
    for (const qint64 pid : withDescendants(stage->process.pid()))
        processes.insert(pid, QStringLiteral("companion"));
    for (const pid_t chrome : test::chromePidsOn(companionChromeProfile())) {
        for (const qint64 pid : withDescendants(chrome))
            processes.insert(pid, QStringLiteral("gate or Chrome"));
    }
    const QDir sessions(agentSocketDir());
    qsizetype daemons = 0;
    for (const QString &file : sessions.entryList({QStringLiteral("*.pid")}, QDir::Files)) {
        const qint64 pid = test::readFile(sessions.filePath(file)).trimmed().toLongLong();
        for (const qint64 each : withDescendants(pid))
            processes.insert(each, QStringLiteral("agent-browser"));
        ++daemons;
    }
    ASSERT_GT(daemons, 0) << "the tool's background process is found where the runner looks";

    for (auto it = processes.begin(); it != processes.end(); ++it) {
        const std::optional<QList<quint16>> ports = platform::tcpListeningPortsOf(it.key());
        if (!ports)
            continue; // ended meanwhile
        for (const quint16 port : *ports)
            EXPECT_TRUE(port == companion || port == stage->gatePort)
                << it.value().toStdString() << " " << it.key() << " listens on " << port;
    }
    EXPECT_FALSE(test::hasEvent(stage->home.logged(), "agent.listener"));
}

TEST_F(WorkBoundaries, ThePersonsTabsAreNeverListedSwitchedClosedOrFollowed)
{
    test::RawClient person(test::browserSocketUrl(stage->gatePort));
    ASSERT_TRUE(person.connected());
    const QString privateTab
        = person.call(1, "Target.createTarget", {{"url", page("/private?token=secret")}}).value("targetId").toString();
    ASSERT_FALSE(privateTab.isEmpty());
    const auto stillOpen = [&](const QString &target, int id) {
        for (const QJsonValue &info : person.call(id, "Target.getTargets").value("targetInfos").toArray()) {
            if (info.toObject().value("targetId").toString() == target)
                return true;
        }
        return false;
    };

    for (const char *listing : {"tab list", "tab", "tab list --json"}) {
        const QString listed = postJson(companion, "/cli", {{"command", listing}}).text();
        EXPECT_TRUE(listed.contains("cv-work")) << listing << ": " << listed.toStdString();
        EXPECT_FALSE(listed.contains("private") || listed.contains("Private"))
            << listing << ": " << listed.toStdString();
    }
    // Every short name the tool might give it: switching or closing one that
    // is not the work's is refused, and names nothing.
    const QString work = postJson(companion, "/cli", {{"command", "tab list"}}).text();
    for (int n = 1; n <= 8; ++n) {
        const QString id = QStringLiteral("t%1").arg(n);
        if (work.contains(QLatin1Char('[') + id + QLatin1Char(']')))
            continue;
        for (const QString &command : {QStringLiteral("tab ") + id, QStringLiteral("tab close ") + id}) {
            const test::LocalReply refused = postJson(companion, "/cli", {{"command", command}});
            EXPECT_EQ(refused.json().value("ok"), false) << command.toStdString();
            EXPECT_EQ(refused.text(), notWorksTabText) << command.toStdString();
        }
    }
    EXPECT_TRUE(stillOpen(privateTab, 2));

    // A tab the person opens while a job runs is not taken over.
    auto waiting = std::async(std::launch::async, [] {
        return postJson(companion, "/cli", {{"command", "wait 2500"}});
    });
    ASSERT_TRUE(eventuallyHandlingEvents(
        [] {
            return test::hasEvent(stage->home.logged(), "agent.start", {{"args", "wait 2500"}});
        },
        30));
    const QString opened
        = person.call(3, "Target.createTarget", {{"url", page("/private?second")}}).value("targetId").toString();
    while (waiting.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    const QString waited = waiting.get().text();
    EXPECT_FALSE(waited.contains(newTabFollowedText)) << waited.toStdString();
    EXPECT_EQ(postJson(companion, "/view").json().value("title"), QStringLiteral("Work"));
    EXPECT_FALSE(test::hasEvent(stage->home.logged(), "worktab.follow"));
    EXPECT_TRUE(stillOpen(opened, 4));
    person.call(5, "Target.closeTarget", {{"targetId", opened}});
    person.call(6, "Target.closeTarget", {{"targetId", privateTab}});
}

TEST_F(WorkBoundaries, TheWorksDownloadsAreKeptApartAndThePersonsStayWhereChromePutsThem)
{
    const QString downloads = stage->home.path() + QStringLiteral("/Downloads");
    const QString ours = downloads + QStringLiteral("/Corvane");
    const QString snapshot = postJson(companion, "/snapshot").text();
    const QString link = test::refNamed(snapshot, QStringLiteral("Get the report"));
    ASSERT_FALSE(link.isEmpty()) << snapshot.toStdString();

    // Two downloads of one name: both kept, each result naming its own file.
    const QString first = postJson(companion, "/click", {{"ref", link}}).text();
    const QString second = postJson(companion, "/click", {{"ref", link}}).text();
    EXPECT_TRUE(first.contains(QStringLiteral("Downloaded report.txt (10 bytes) to %1/report.txt").arg(ours)))
        << first.toStdString();
    EXPECT_TRUE(second.contains(QStringLiteral("Downloaded report (1).txt (10 bytes) to %1/report (1).txt").arg(ours)))
        << second.toStdString();
    EXPECT_EQ(filesIn(ours), (QStringList {"report (1).txt", "report.txt"}));

    // The person downloads in their own tab while an action is watched.
    test::RawClient person(test::browserSocketUrl(stage->gatePort));
    ASSERT_TRUE(person.connected());
    const QString tab = person.call(1, "Target.createTarget", {{"url", page("/")}}).value("targetId").toString();
    const QString session
        = person.call(2, "Target.attachToTarget", {{"targetId", tab}, {"flatten", true}}).value("sessionId").toString();
    const QString busy = test::refNamed(postJson(companion, "/snapshot").text(), QStringLiteral("Keep busy"));
    const qsizetype startsBefore = stage->home.logged("download.start").size();
    auto clicked = std::async(std::launch::async, [busy] { return postJson(companion, "/click", {{"ref", busy}}); });
    ASSERT_TRUE(eventuallyHandlingEvents(
        [&] {
            return test::hasEvent(stage->home.logged(), "agent.end", {{"args", "click " + busy}});
        },
        30));
    person.call(3, "Runtime.evaluate", {{"expression", "document.getElementById('dl').click()"}, {"userGesture", true}},
                session);
    while (clicked.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_FALSE(clicked.get().text().contains("Downloaded"));
    EXPECT_TRUE(eventuallyHandlingEvents([&] { return filesIn(downloads).contains("report.txt"); }, 30))
        << "where Chrome saves";
    EXPECT_EQ(filesIn(ours).size(), 2) << "nothing of the person's in the companion's folder";
    EXPECT_EQ(stage->home.logged("download.start").size(), startsBefore);
    person.call(4, "Target.closeTarget", {{"targetId", tab}});
}

TEST_F(WorkBoundaries, LocalAddressesAreRefusedUnlessAllowed)
{
    // The suite allows http://127.0.0.1 on any port, where its pages are.
    const QString port = QString::number(stage->server.port());
    const struct {
        QString url;
        QString refusal;
    } cases[] = {
        {"http://localhost:" + port + "/", localPageRefusedText},
        {"http://[::1]:" + port + "/", localPageRefusedText},
        {"http://[::ffff:127.0.0.1]:" + port + "/", localPageRefusedText},
        {"http://work.localhost:" + port + "/", localPageRefusedText},
        {QStringLiteral("http://127.0.0.1:%1/json/list").arg(stage->gatePort), privateEndpointRefusedText},
        {QStringLiteral("http://127.0.0.1:%1/health").arg(companion), privateEndpointRefusedText},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url.toStdString());
        for (const auto &[path, body] : {std::pair<QByteArray, QJsonObject> {"/open", {{"url", c.url}}},
                                         {"/cli", {{"command", "open " + c.url}}},
                                         {"/cli", {{"command", "tab new " + c.url}}}}) {
            const test::LocalReply refused = postJson(companion, path, body);
            EXPECT_EQ(refused.json().value("ok"), false) << path.toStdString();
            EXPECT_EQ(refused.text(), c.refusal) << path.toStdString();
        }
    }
    EXPECT_EQ(postJson(companion, "/view").json().value("url"), page("/")) << "the work tab stayed where it was";
    EXPECT_EQ(postJson(companion, "/open", {{"url", page("/")}}).json().value("ok"), true) << "an allowed origin opens";
}

TEST_F(WorkBoundaries, ABareGetActsNowhere)
{
    for (const char *path : {"/click", "/scroll", "/back", "/hand-over", "/open", "/nowhere"}) {
        SCOPED_TRACE(path);
        const qsizetype drives = stage->home.logged("drive").size();
        const test::LocalReply reply
            = test::exchange(companion, {QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"});
        EXPECT_EQ(reply.status, 405);
        EXPECT_TRUE(reply.head.contains("\r\nAllow: POST\r\n")) << reply.head.toStdString();
        EXPECT_EQ(reply.json().value("ok"), false);
        EXPECT_EQ(reply.json().value("text"), postNeededText);
        EXPECT_EQ(stage->home.logged("drive").size(), drives) << "nothing ran";
    }
    EXPECT_EQ(test::exchange(companion, {"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"}).status, 200);
}

TEST_F(WorkBoundaries, ThePersonAnswersDialogsWhileTheyHaveTheBrowser)
{
    auto handedOver = std::async(std::launch::async, [] {
        return postJson(companion, "/hand-over", {{"reason", "Check the page"}, {"wait", "60"}});
    });
    ASSERT_TRUE(eventuallyHandlingEvents([] { return test::hasEvent(stage->home.logged(), "handover.start"); }, 30));
    for (const char *command : {"dialog accept", "dialog dismiss"}) {
        const test::LocalReply answered = postJson(companion, "/cli", {{"command", command}});
        EXPECT_EQ(answered.json().value("ok"), false) << command;
        EXPECT_EQ(answered.text(), personHasBrowserText) << command;
    }
    EXPECT_EQ(postJson(companion, "/hand-back").json().value("ok"), true);
    while (handedOver.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_EQ(handedOver.get().json().value("ok"), true);
}
