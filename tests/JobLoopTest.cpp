// The application's job loop and link actions, with a stand-in for the socket
// connection: what the loop does with each result word, and which ends it
// still acts on.

#include "driver/NeedsYouNotice.h"
#include "link/SocketChannel.h"

#include "CompanionApp.h"

#include "EventChecks.h"
#include "Eventually.h"
#include "TempHome.h"
#include "TestDriver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <thread>

using namespace corvane;
using corvane::test::eventuallyHandlingEvents;

namespace {

// Plays a script of connection ends, one per call; once it runs out, each
// call blocks until the test lets one through, which then ends "idle".
class StandInSocket {
public:
    using Step = std::function<LoopResult()>;

    void script(std::initializer_list<Step> steps)
    {
        std::lock_guard lock(mutex_);
        steps_.insert(steps_.end(), steps);
    }
    void letThrough(int count = 1)
    {
        std::lock_guard lock(mutex_);
        allowed_ += count;
        changed_.notify_all();
    }
    int calls() const
    {
        std::lock_guard lock(mutex_);
        return int(threads_.size());
    }
    std::vector<std::thread::id> threads() const
    {
        std::lock_guard lock(mutex_);
        return threads_;
    }

    // Whether each connection's handshake completes before its script runs.
    void handshakes(bool complete)
    {
        std::lock_guard lock(mutex_);
        opens_ = complete;
    }

    LoopResult run(const std::function<void()> &ready)
    {
        std::unique_lock lock(mutex_);
        threads_.push_back(std::this_thread::get_id());
        if (opens_)
            ready();
        if (!steps_.empty()) {
            const Step step = steps_.front();
            steps_.pop_front();
            lock.unlock();
            return step();
        }
        changed_.wait(lock, [this] { return allowed_ > 0; });
        --allowed_;
        return LoopResult::idle;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Step> steps_;
    std::vector<std::thread::id> threads_;
    int allowed_ = 0;
    bool opens_ = true;
};

class RecordingMenu : public MenuPresenter {
public:
    explicit RecordingMenu(QStringList *linkLines)
        : linkLines_(linkLines)
    {
    }
    void setTitle(const QString &) override { }
    void notify(const QString &, const QString &text) override { *linkLines_ << QStringLiteral("notice: ") + text; }
    void setMenu(const QList<MenuItem> &items) override
    {
        for (qsizetype i = 1; i < items.size(); ++i)
            if (items[i].action == MenuAction::DisconnectChat
                && (linkLines_->isEmpty() || linkLines_->last() != items[i - 1].title))
                *linkLines_ << items[i - 1].title;
    }

private:
    QStringList *linkLines_;
};

const CompanionLink firstLink {QStringLiteral("http://127.0.0.1:1"), QStringLiteral("AbCdEfGhIjKlMnOpQrStUv-_")};
const CompanionLink otherLink {QStringLiteral("http://localhost:1"), QStringLiteral("ZyXwVuTsRqPoNmLkJiHgFe-_")};

class JobLoop : public testing::Test {
protected:
    JobLoop()
    {
        CompanionHooks hooks;
        hooks.loop.runSocket = [socket = socket_](const CompanionLink &, const std::function<void()> &ready,
                                                  const std::stop_token &) { return socket->run(ready); };
        // Pauses take no time but move a clock of the test's own.
        hooks.loop.pause = [this](double seconds) {
            std::lock_guard lock(pausesMutex_);
            pauses_.push_back(seconds);
            clock_ += seconds;
        };
        hooks.loop.now = [this] {
            std::lock_guard lock(pausesMutex_);
            return clock_;
        };
        hooks.chromeReady = [] { return true; };
        hooks.chromeProfileLine = [] { return QStringLiteral("Chrome: test"); };
        hooks.openURL = [this](const QUrl &url) {
            opened_ << url;
            return true;
        };
        hooks.badHostPause = 0.3;
        app_ = std::make_unique<CompanionApp>(test::testDriver(), std::make_unique<RecordingMenu>(&linkLines_), hooks);
    }

    ~JobLoop() override
    {
        // Blocked loop threads end "idle" without a link. They are waited
        // for: one still logging when the next test begins would log into
        // that test's events.
        clearLink();
        socket_->letThrough(100);
        EXPECT_TRUE(eventuallyHandlingEvents([&] { return !app_->jobLoop().running(); }));
        app_.reset();
    }

    std::vector<double> pauses()
    {
        std::lock_guard lock(pausesMutex_);
        return pauses_;
    }

    QList<test::LoggedEvent> events(const QString &name) const { return home_.logged(name); }

    bool callsReach(int count)
    {
        return eventuallyHandlingEvents([&] { return socket_->calls() >= count; });
    }

    test::TempHome home_;
    std::shared_ptr<StandInSocket> socket_ = std::make_shared<StandInSocket>();
    std::mutex pausesMutex_;
    std::vector<double> pauses_;
    double clock_ = 0.0;
    QStringList linkLines_;
    QList<QUrl> opened_;
    std::unique_ptr<CompanionApp> app_;
};

TEST_F(JobLoop, ClosedAndRefreshAreRetriedInPlaceWhileTheLinkIsUnchanged)
{
    saveLink(firstLink);
    socket_->script({[] { return LoopResult::closed; }, [] { return LoopResult::refresh; }});
    app_->startPolling();
    ASSERT_TRUE(callsReach(3));

    // Two seconds after "closed"; at once after "refresh", but never a second
    // connection within a second. All on one loop thread, with no end step.
    EXPECT_EQ(pauses(), (std::vector<double> {2.0, 1.0}));
    const auto threads = socket_->threads();
    EXPECT_EQ(threads[0], threads[1]);
    EXPECT_EQ(threads[1], threads[2]);
    EXPECT_EQ(app_->jobLoop().generation(), 1);
    EXPECT_TRUE(eventuallyHandlingEvents([&] { return app_->phase() == LinkPhase::idle; }));
    EXPECT_EQ(events(QStringLiteral("socket.open")).size(), 1);
    const QList<test::LoggedEvent> retries = events(QStringLiteral("socket.retry"));
    ASSERT_EQ(retries.size(), 2);
    EXPECT_EQ(retries[0]["why"], QStringLiteral("closed"));
    EXPECT_EQ(retries[1]["why"], QStringLiteral("refresh"));
    EXPECT_TRUE(test::isEvent(events(QStringLiteral("socket.end"))[0], "socket.end",
                              {{"host", "127.0.0.1"}, {"result", "closed"}}));
}

TEST_F(JobLoop, AChangedLinkEndsTheLoopAndTheNextGenerationTakesIt)
{
    saveLink(firstLink);
    socket_->handshakes(false);
    socket_->script({[socket = socket_] {
        saveLink(otherLink);
        socket->handshakes(true);
        return LoopResult::closed;
    }});
    app_->startPolling();
    ASSERT_TRUE(callsReach(2));
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return app_->phase() == LinkPhase::idle; }));

    EXPECT_TRUE(events(QStringLiteral("socket.retry")).isEmpty());
    EXPECT_EQ(app_->jobLoop().generation(), 2);
    EXPECT_EQ(linkLines_,
              (QStringList {"Connecting to 127.0.0.1\u2026", "Socket down \u2014 not connected to localhost",
                            "Connecting to localhost\u2026", "Connected to localhost"}));
    const QList<test::LoggedEvent> opens = events(QStringLiteral("socket.open"));
    ASSERT_EQ(opens.size(), 2);
    EXPECT_EQ(opens[1]["host"], QStringLiteral("localhost"));
}

TEST_F(JobLoop, ALinkDeletedBeforeAClosedEndLeavesTheSocketDown)
{
    saveLink(firstLink);
    socket_->script({[] {
        clearLink();
        return LoopResult::closed;
    }});
    app_->startPolling();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return app_->phase() == LinkPhase::socketDown; }));

    EXPECT_EQ(home_.status().value(QStringLiteral("reason")).toString(), QStringLiteral("socket"));
    EXPECT_FALSE(home_.status().contains(QStringLiteral("host")));
    EXPECT_EQ(app_->menu().first().title, QStringLiteral("Corvane: Not linked"));
    EXPECT_EQ(app_->jobLoop().generation(), 1);
    EXPECT_EQ(socket_->calls(), 1);
}

TEST_F(JobLoop, WaitingStartsANewGenerationAtOnce)
{
    saveLink(firstLink);
    socket_->script({[] { return LoopResult::waiting; }});
    app_->startPolling();
    ASSERT_TRUE(callsReach(2));
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return app_->jobLoop().generation() == 2; }));

    ASSERT_TRUE(eventuallyHandlingEvents([&] { return app_->phase() == LinkPhase::idle; }));
    EXPECT_EQ(linkLines_,
              (QStringList {"Connecting to 127.0.0.1\u2026", "Connected to 127.0.0.1", "Waiting for 127.0.0.1",
                            "Connecting to 127.0.0.1\u2026", "Connected to 127.0.0.1"}));
    EXPECT_EQ(pauses(), std::vector<double> {1.0}) << "the next generation's connection waits its second";
}

TEST_F(JobLoop, DisconnectSilencesTheRunningLoop)
{
    saveLink(firstLink);
    app_->startPolling();
    ASSERT_TRUE(callsReach(1));
    app_->disconnectChat();
    EXPECT_EQ(app_->phase(), LinkPhase::off);
    EXPECT_EQ(events(QStringLiteral("link.disconnect")).size(), 1);
    EXPECT_FALSE(loadLink());

    // Its connection then ends, and the end step changes nothing.
    socket_->letThrough();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !events(QStringLiteral("socket.end")).isEmpty(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(app_->phase(), LinkPhase::off);
    EXPECT_EQ(app_->jobLoop().generation(), 2);
    EXPECT_EQ(home_.status().value(QStringLiteral("phase")).toString(), QStringLiteral("off"));
}

TEST_F(JobLoop, OnlyTheNewestGenerationsEndIsActedOn)
{
    saveLink(firstLink);
    app_->startPolling();
    app_->startPolling();
    ASSERT_TRUE(callsReach(2));
    // Both end "idle" with the link still stored: only the newest starts a
    // third generation.
    socket_->letThrough(2);
    ASSERT_TRUE(callsReach(3));
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return events(QStringLiteral("socket.end")).size() == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(app_->jobLoop().generation(), 3);
    EXPECT_EQ(socket_->calls(), 3);
}

TEST_F(JobLoop, AHostWithoutASocketAddressIsTriedAgainLater)
{
    saveLink(firstLink);
    socket_->script({[] { return LoopResult::badHost; }});
    app_->startPolling();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return app_->phase() == LinkPhase::badHost; }));
    EXPECT_EQ(app_->jobLoop().generation(), 1);
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return app_->jobLoop().generation() == 2; }));
    EXPECT_TRUE(callsReach(2));
}

TEST_F(JobLoop, AGoneLinkStopsTheLoopAndTheTickBringsItBack)
{
    app_->startPolling();
    ASSERT_TRUE(eventuallyHandlingEvents([&] { return !app_->jobLoop().running(); }));
    EXPECT_EQ(events(QStringLiteral("socket.skip"))[0]["reason"], QStringLiteral("link-gone"));
    EXPECT_EQ(socket_->calls(), 0);
    EXPECT_EQ(app_->phase(), LinkPhase::off);

    // The link put back (or readable again): the next refresh tick reconnects.
    saveLink(firstLink);
    app_->tick();
    EXPECT_TRUE(callsReach(1));
    EXPECT_EQ(app_->jobLoop().generation(), 2);
    app_->tick();
    EXPECT_EQ(app_->jobLoop().generation(), 2) << "one loop at a time";
}

TEST_F(JobLoop, NothingSaysConnectedUntilAHandshakeCompletes)
{
    saveLink(firstLink);
    socket_->handshakes(false);
    socket_->script(
        {[] { return LoopResult::closed; }, [] { return LoopResult::refresh; }, [] { return LoopResult::closed; }});
    app_->startPolling();
    ASSERT_TRUE(callsReach(4));
    QCoreApplication::processEvents();
    EXPECT_EQ(app_->phase(), LinkPhase::connecting);
    EXPECT_EQ(home_.status().value(QStringLiteral("phase")).toString(), QStringLiteral("connecting"));
    EXPECT_EQ(linkLines_, QStringList {"Connecting to 127.0.0.1\u2026"});
    EXPECT_EQ(app_->menu().first().title, QStringLiteral("Corvane: Connecting"));
    EXPECT_TRUE(events(QStringLiteral("socket.ready")).isEmpty());
}

TEST_F(JobLoop, ANoticeReachesThePresenter)
{
    app_->tellNeedsYou(needsYouText(QStringLiteral("Just a moment...")));
    EXPECT_EQ(linkLines_, QStringList {"notice: Just a moment...: the page wants a person (a check or a captcha)."});
}

TEST_F(JobLoop, ConnectLinksOnceAndIsBlockedWhileLinked)
{
    ASSERT_TRUE(app_->connect(QStringLiteral("http://localhost:5001")));
    const std::optional<CompanionLink> link = loadLink();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->host, QStringLiteral("http://localhost:5001"));
    ASSERT_EQ(opened_.size(), 1);
    EXPECT_EQ(opened_[0].toString(), QStringLiteral("http://localhost:5001/companion/connect?token=") + link->token);
    EXPECT_EQ(app_->jobLoop().generation(), 1);

    EXPECT_FALSE(app_->connect(productionChat));
    EXPECT_EQ(loadLink(), link);
    EXPECT_EQ(opened_.size(), 1);
    EXPECT_EQ(app_->jobLoop().generation(), 1);
    const QList<test::LoggedEvent> blocked = events(QStringLiteral("link.connect-blocked"));
    ASSERT_EQ(blocked.size(), 1);
    EXPECT_TRUE(
        test::isEvent(blocked[0], "link.connect-blocked", {{"host", "chat.corvane.app"}, {"linked", "localhost"}}));
    EXPECT_EQ(events(QStringLiteral("link.connect")).size(), 1);
}

TEST_F(JobLoop, AConnectPageThatDoesNotParseStillLinks)
{
    ASSERT_TRUE(app_->connect(QStringLiteral("http://exa mple")));
    EXPECT_TRUE(opened_.isEmpty());
    EXPECT_TRUE(loadLink());
    EXPECT_EQ(app_->jobLoop().generation(), 1);
}

} // namespace
