// What the assistant learns from an action, on everyday pages, over real HTTP
// against a headless Chromium and the real agent-browser: the text the action
// made appear, answers that come late, downloads, uploads, typed steps, and a
// hand-over to the person that resumes.

#include "driver/ActionWatch.h"
#include "driver/CliPolicy.h"
#include "driver/Driver.h"
#include "driver/HandOver.h"
#include "server/LoopbackServer.h"

#include "BrowserSuite.h"
#include "EventChecks.h"
#include "Eventually.h"
#include "LocalHttp.h"
#include "TempHome.h"
#include "TestDriver.h"
#include "TestHttpServer.h"

#include "Dispatch.h"
#include "UserPaths.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <thread>

using namespace corvane;
using test::LocalReply;
using test::postJson;

namespace {

const QByteArray reportBytes = "date,amount\n2026-12-01,42\n";

QMap<QByteArray, QByteArray> taskPages()
{
    return {
        {"/login.html",
         "<!doctype html><title>Sign in</title><h1>Sign in</h1>"
         "<form onsubmit=\"event.preventDefault(); setTimeout(() => { msg.textContent = "
         "'Invalid password for alice'; }, 50)\">"
         "<input aria-label=\"Password\" type=\"password\"><button>Sign in</button></form>"
         "<p role=\"alert\" id=\"msg\"></p><p>Forgot your password? Ask the desk.</p>"},
        {"/shop.html",
         "<!doctype html><title>Shop</title>"
         "<button onclick=\"fetch('/slow').then(r => r.text()).then(t => { cart.textContent = t; })\">Add to "
         "cart</button>"
         "<p id=\"cart\">Cart: empty</p>"},
        {"/quiet.html",
         "<!doctype html><title>Quiet</title><p>Nothing else changes here.</p>"
         "<button onclick=\"this.textContent = 'Pressed'\">Press me</button>"},
        {"/files.html", "<!doctype html><title>Files</title><a href=\"/report.csv\">Monthly report</a>"},
        {"/upload.html",
         "<!doctype html><title>Upload</title>"
         "<input type=\"file\" aria-label=\"Attachment\" onchange=\"chosen.textContent = 'Chosen: ' + "
         "this.files[0].name\">"
         "<p id=\"chosen\">Nothing chosen</p>"},
        {"/search.html",
         "<!doctype html><title>Search</title>"
         "<form action=\"/results.html\"><input aria-label=\"Search\" name=\"q\"></form>"},
        {"/results.html", "<!doctype html><title>Results</title><h2>3 results</h2><p>First result</p>"},
        {"/colours.html",
         "<!doctype html><title>Colours</title>"
         "<select aria-label=\"Colour\" onchange=\"shown.textContent = 'You chose ' + this.value\">"
         "<option>red</option><option>green</option></select><p id=\"shown\">No colour</p>"},
    };
}

test::TestHttpServer::Responder taskResponder()
{
    return [pagesOf = test::htmlPages(taskPages())](const QByteArray &path) {
        if (path == "/slow") {
            // An answer that comes well after the pause before the snapshot.
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
            return QByteArray(
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\n"
                "Cart: 1 item");
        }
        if (path == "/report.csv") {
            return "HTTP/1.1 200 OK\r\nContent-Type: text/csv\r\nContent-Disposition: attachment; "
                   "filename=\"report.csv\"\r\n"
                   "Content-Length: "
                + QByteArray::number(reportBytes.size()) + "\r\nConnection: close\r\n\r\n" + reportBytes;
        }
        return pagesOf(path);
    };
}

QString refOf(const QString &snapshot, const QString &role, const QString &name)
{
    const QRegularExpression line(QRegularExpression::escape(role + QStringLiteral(" \"") + name + QStringLiteral("\""))
                                  + QStringLiteral(R"([^\n]*[\[ ]ref=(e\d+)\])"));
    return line.match(snapshot).captured(1);
}

QString text(const LocalReply &reply)
{
    return reply.json().value(QStringLiteral("text")).toString();
}

} // namespace

class ActionResults : public test::BrowserSuite {
protected:
    static void SetUpTestSuite()
    {
        startStage();
        server = new LoopbackServer(test::testDriver());
        serverStarted = server->start(0).ok;
        pages = new test::TestHttpServer(taskResponder());
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

    // Opens the page and gives the ref of the element named `name`.
    QString openAndFind(const char *path, const QString &role, const QString &name) const
    {
        const LocalReply opened = postJson(port, "/open", {{"url", QString::fromLatin1(pages->url(path))}});
        EXPECT_EQ(opened.json().value(QStringLiteral("ok")), true) << opened.body.toStdString();
        const QString snapshot = text(postJson(port, "/snapshot"));
        const QString ref = refOf(snapshot, role, name);
        EXPECT_FALSE(ref.isEmpty()) << snapshot.toStdString();
        return ref;
    }

    static inline LoopbackServer *server = nullptr;
    static inline bool serverStarted = false;
    quint16 port = 0;
};

TEST_F(ActionResults, AnActionShowsTheTextItMadeAppearAfterItsSnapshot)
{
    struct Case {
        const char *name;
        const char *page;
        QString role;
        QString element;
        QByteArray path;
        QJsonObject extra;
        QString appears; // under the heading; empty: the text is the snapshot alone
    };
    const Case cases[] = {
        {"a wrong password",
         "/login.html",
         QStringLiteral("button"),
         QStringLiteral("Sign in"),
         "/click",
         {},
         QStringLiteral("Invalid password for alice")},
        {"an answer that takes 800 ms",
         "/shop.html",
         QStringLiteral("button"),
         QStringLiteral("Add to cart"),
         "/click",
         {},
         QStringLiteral("Cart: 1 item")},
        {"a choice in a list",
         "/colours.html",
         QStringLiteral("combobox"),
         QStringLiteral("Colour"),
         "/select",
         {{"value", "green"}},
         QStringLiteral("You chose green")},
        {"only the button changed",
         "/quiet.html",
         QStringLiteral("button"),
         QStringLiteral("Press me"),
         "/click",
         {},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString ref = openAndFind(c.page, c.role, c.element);
        QJsonObject body = c.extra;
        body.insert(QStringLiteral("ref"), ref);
        const LocalReply acted = postJson(port, c.path, body);
        ASSERT_EQ(acted.json().value(QStringLiteral("ok")), true) << acted.body.toStdString();
        const QString said = text(acted);
        const QString snapshot = text(postJson(port, "/snapshot")).trimmed();
        if (c.appears.isEmpty()) {
            EXPECT_EQ(said, snapshot);
            continue;
        }
        // The snapshot first, then the heading, then what appeared, and
        // nothing of what was there before.
        EXPECT_TRUE(said.startsWith(snapshot + QStringLiteral("\n\n") + changedTextHeading + QLatin1Char('\n')))
            << said.toStdString();
        EXPECT_TRUE(said.section(changedTextHeading, 1).contains(c.appears)) << said.toStdString();
        EXPECT_FALSE(said.contains(QStringLiteral("Forgot your password"))) << said.toStdString();
    }
}

TEST_F(ActionResults, ADownloadLandsInTheCompanionsFolderAndIsNamed)
{
    const QString link = openAndFind("/files.html", QStringLiteral("link"), QStringLiteral("Monthly report"));
    const LocalReply clicked = postJson(port, "/click", {{"ref", link}});
    const QString file = platform::downloadsDir() + QStringLiteral("/Corvane/report.csv");
    EXPECT_TRUE(text(clicked).endsWith(
        QStringLiteral("Downloaded report.csv (%1 bytes) to %2").arg(reportBytes.size()).arg(file)))
        << text(clicked).toStdString();
    // The HTTP reply carries the download as MCP's structured result does.
    EXPECT_EQ(clicked.json()[QStringLiteral("download")].toObject(),
              (QJsonObject {{"name", "report.csv"}, {"bytes", reportBytes.size()}, {"path", file}, {"finished", true}}))
        << clicked.body.toStdString();
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), reportBytes);
    // Nothing beside it, nothing in the user's own download folder.
    EXPECT_EQ(QDir(platform::downloadsDir()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());
}

TEST_F(ActionResults, UploadsComeFromTheExchangeFolderOnly)
{
    ASSERT_TRUE(platform::makePrivateDir(exchangeFolder()));
    QFile offered(exchangeFolder() + QStringLiteral("/notes.txt"));
    ASSERT_TRUE(offered.open(QIODevice::WriteOnly));
    offered.write("hello");
    offered.close();
    const QString input = openAndFind("/upload.html", QStringLiteral("button"), QStringLiteral("Attachment"));

    const LocalReply outside = postJson(port, "/upload", {{"ref", input}, {"file", "/etc/passwd"}});
    EXPECT_EQ(outside.json().value(QStringLiteral("ok")), false);
    EXPECT_EQ(text(outside), uploadOutsideText());

    const LocalReply uploaded = postJson(port, "/upload", {{"ref", input}, {"file", "notes.txt"}});
    EXPECT_EQ(uploaded.json().value(QStringLiteral("ok")), true) << uploaded.body.toStdString();
    EXPECT_TRUE(text(uploaded).contains(QStringLiteral("Chosen: notes.txt"))) << text(uploaded).toStdString();
}

TEST_F(ActionResults, TypedStepsPressAKeyGoBackAndWaitForAText)
{
    const QString box = openAndFind("/search.html", QStringLiteral("textbox"), QStringLiteral("Search"));
    ASSERT_EQ(postJson(port, "/fill", {{"ref", box}, {"text", "lamps"}}).json().value(QStringLiteral("ok")), true);
    const LocalReply pressed = postJson(port, "/press", {{"key", "Enter"}});
    EXPECT_TRUE(
        pressed.json().value(QStringLiteral("url")).toString().contains(QStringLiteral("/results.html?q=lamps")))
        << pressed.body.toStdString();
    EXPECT_TRUE(text(pressed).contains(QStringLiteral("3 results"))) << text(pressed).toStdString();

    const LocalReply waited = postJson(port, "/wait-for", {{"text", "First result"}});
    EXPECT_EQ(waited.json().value(QStringLiteral("ok")), true) << waited.body.toStdString();
    const LocalReply missing = postJson(port, "/wait-for", {{"text", "Never there"}, {"timeout", "1"}});
    EXPECT_EQ(missing.json().value(QStringLiteral("ok")), false) << missing.body.toStdString();

    const LocalReply back = postJson(port, "/back");
    EXPECT_TRUE(back.json().value(QStringLiteral("url")).toString().endsWith(QStringLiteral("/search.html")))
        << back.body.toStdString();
    const LocalReply tabs = postJson(port, "/tabs");
    EXPECT_TRUE(text(tabs).contains(QStringLiteral("\u2192 1. ") + QString::fromLatin1(pages->url("/search.html"))))
        << text(tabs).toStdString();
}

TEST_F(ActionResults, AHandOverWaitsForThePersonAndKeepsOtherJobsOut)
{
    openAndFind("/quiet.html", QStringLiteral("button"), QStringLiteral("Press me"));
    QStringList told;
    std::mutex toldMutex;
    test::testDriver().setHandOverListener([&](bool waiting, const QString &reason) {
        std::lock_guard lock(toldMutex);
        told << (waiting ? reason : QStringLiteral("(ended)"));
    });
    LocalReply handedOver;
    std::thread waiting([&] {
        handedOver = postJson(port, "/hand-over", {{"reason", "Solve the puzzle"}, {"wait", "120"}});
    });
    ASSERT_TRUE(test::eventually([] { return test::testDriver().handOverWaiting(); }, 30));

    EXPECT_EQ(text(postJson(port, "/snapshot")), personHasBrowserText);
    EXPECT_EQ(postJson(port, "/hand-back").json().value(QStringLiteral("ok")), true);
    waiting.join();
    test::testDriver().setHandOverListener(nullptr);

    EXPECT_EQ(handedOver.json().value(QStringLiteral("ok")), true) << handedOver.body.toStdString();
    EXPECT_TRUE(text(handedOver).contains(QStringLiteral("button \"Press me\""))) << text(handedOver).toStdString();
    EXPECT_TRUE(text(handedOver).endsWith(handOverEndSentence(HandOverEnd::handedBack, 0)));
    EXPECT_EQ(told, (QStringList {QStringLiteral("Solve the puzzle"), QStringLiteral("(ended)")}));
    EXPECT_EQ(text(postJson(port, "/hand-back")), noHandOverText);
}

// A step reads its page in one go with the tab listing, and those reads count
// only when the work tab is the one in front: with another tab there, the
// work tab comes forward and the page is read again.
TEST_F(ActionResults, ReadsComeFromTheWorkTabWhateverTabIsInFront)
{
    const QString box = openAndFind("/search.html", QStringLiteral("textbox"), QStringLiteral("Search"));
    const auto otherTabInFront = [&] {
        const LocalReply opened
            = postJson(port, "/cli", {{"command", "tab new " + QString::fromLatin1(pages->url("/quiet.html"))}});
        ASSERT_EQ(opened.json().value(QStringLiteral("ok")), true) << opened.body.toStdString();
    };
    const qsizetype switchesBefore = home->events(QStringLiteral("worktab.switch")).size();

    otherTabInFront();
    const QString snapshot = text(postJson(port, "/snapshot"));
    EXPECT_EQ(refOf(snapshot, QStringLiteral("textbox"), QStringLiteral("Search")), box) << snapshot.toStdString();
    EXPECT_FALSE(snapshot.contains(QStringLiteral("Press me"))) << snapshot.toStdString();

    otherTabInFront();
    const LocalReply view = postJson(port, "/view");
    EXPECT_EQ(view.json().value(QStringLiteral("title")).toString(), QStringLiteral("Search"))
        << view.body.toStdString();
    EXPECT_FALSE(view.json().value(QStringLiteral("image")).toString().isEmpty());

    otherTabInFront();
    const LocalReply filled = postJson(port, "/fill", {{"ref", box}, {"text", "lamps"}});
    EXPECT_EQ(filled.json().value(QStringLiteral("ok")), true) << filled.body.toStdString();
    EXPECT_TRUE(filled.json().value(QStringLiteral("url")).toString().endsWith(QStringLiteral("/search.html")))
        << filled.body.toStdString();

    const QList<test::LoggedEvent> switches = home->logged(QStringLiteral("worktab.switch"));
    ASSERT_EQ(switches.size() - switchesBefore, 3);
    EXPECT_TRUE(test::isEvent(switches.last(), "worktab.switch", {{"ok", "yes"}}));

    // The tray's "show the work tab" brings forward the tab the work is on,
    // as a hand-over does, without a tool run in it.
    otherTabInFront();
    const qsizetype runsBefore = home->events(QStringLiteral("agent.start")).size();
    EXPECT_TRUE(test::testDriver().showWorkTab());
    EXPECT_EQ(home->events(QStringLiteral("agent.start")).size(), runsBefore);
}
