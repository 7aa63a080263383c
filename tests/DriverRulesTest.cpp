// The driver's own rules in-process, against a scripted tool: what it
// answers before the tool runs, one job at a time, and an orderly end.

#include "driver/Driver.h"
#include "driver/PageView.h"
#include "driver/Steps.h"
#include "wire/Body.h"

#include "Eventually.h"
#include "TempHome.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

using namespace corvane;
using test::eventually;

namespace {

// Answers each command as a script says, records it, and can hold a run
// until released (a tool that is still working).
class ScriptedRunner final : public ToolRunner {
public:
    using Script = std::function<QString(const QStringList &args)>;

    explicit ScriptedRunner(Script script)
        : script_(std::move(script))
    {
    }

    ToolRun run(const QStringList &args, qint64, int, OutputReading reading) override
    {
        std::unique_lock lock(mutex_);
        ran_.append(args.join(QLatin1Char(' ')));
        changed_.notify_all();
        changed_.wait(lock, [this] { return !holding_; });
        return finishedRun(script_(args), reading);
    }

    QList<ToolRun> runBatch(const QList<BatchStep> &steps, qint64 cdp, int limit) override
    {
        QList<ToolRun> runs;
        for (const BatchStep &step : steps)
            runs.append(run(step.args, cdp, limit, step.reading));
        return runs;
    }

    void hold(bool holding)
    {
        std::lock_guard lock(mutex_);
        holding_ = holding;
        changed_.notify_all();
    }
    QStringList ran() const
    {
        std::lock_guard lock(mutex_);
        return ran_;
    }

private:
    Script script_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QStringList ran_;
    bool holding_ = false;
};

// A work tab in front, whose page is a button.
QString workTabTool(const QStringList &args)
{
    if (args.mid(0, 2) == QStringList {QStringLiteral("tab"), QStringLiteral("list")})
        return QStringLiteral(R"({"success":true,"data":{"tabs":[{"targetId":"T1","label":"cv-work",)"
                              R"("url":"http://127.0.0.1/","active":true,"tabId":"t1","title":"Page"}]}})");
    if (args.contains(QStringLiteral("snapshot")))
        return QStringLiteral("- button \"Go\" [ref=e1]\n");
    return QStringLiteral("\u2713 Done\n");
}

struct Stage {
    explicit Stage(bool chromeReady = true, int agentLimit = defaultAgentLimit)
    {
        auto scripted = std::make_unique<ScriptedRunner>(workTabTool);
        runner = scripted.get();
        driver = std::make_unique<Driver>(
            std::move(scripted), [this] { return now.load(); },
            ChromeAccess {[chromeReady] { return chromeReady; },
                          [](double) {
                              return ChromeReadiness {false, chromeOffText};
                          }},
            [this](const QString &agent) {
                auto made = std::make_unique<ScriptedRunner>(workTabTool);
                std::lock_guard lock(agentsMutex);
                agents[agent] = made.get();
                return made;
            },
            agentLimit);
    }
    ScriptedRunner *agentRunner(const QString &agent)
    {
        std::lock_guard lock(agentsMutex);
        return agents.value(agent);
    }

    test::TempHome home;
    std::atomic<double> now = 0.0;
    ScriptedRunner *runner = nullptr;
    std::mutex agentsMutex;
    QMap<QString, ScriptedRunner *> agents;
    std::unique_ptr<Driver> driver;
};

QJsonObject answer(const DriverResult &result)
{
    return result.object();
}

QJsonObject refused(const QString &text, bool chrome = true)
{
    return {{"ok", false}, {"chrome", chrome}, {"needs_you", false}, {"text", text}};
}

} // namespace

TEST(DriverRules, InputErrorsAreAnsweredWithoutTheTool)
{
    struct Case {
        const char *path;
        QJsonObject body;
        const char *text;
    };
    const Case cases[] = {
        {"/open", {}, "open needs one http(s) page."},
        {"/open", {{"url", "HTTP://127.0.0.1/"}}, "open needs one http(s) page."},
        {"/open", {{"url", " http://127.0.0.1/"}}, "open needs one http(s) page."},
        {"/open", {{"url", "file:///etc/passwd"}}, "open needs one http(s) page."},
        {"/click", {}, "click needs a ref."},
        {"/click", {{"ref", ""}}, "click needs a ref."},
        {"/fill", {{"text", "x"}}, "fill needs a ref."},
        {"/cli", {}, "cli needs an agent-browser command."},
        {"/cli", {{"command", ""}, {"args", "tab list"}}, "cli needs an agent-browser command."},
        {"/cli", {{"command", "agent-browser --cdp 9222"}}, "cli needs an agent-browser command."},
        {"/cli", {{"text", " \n "}}, "cli needs an agent-browser command."},
        {"/Open", {{"url", "http://127.0.0.1/"}}, "Not found."},
        {"/nowhere", {}, "Not found."},
        {"/hand-over", {{"reason", "Look"}, {"wait", "nan"}}, "wait must be a number of seconds, at most 600."},
        {"/hand-over", {{"reason", "Look"}, {"wait", "-inf"}}, "wait must be a number of seconds, at most 600."},
    };
    Stage stage;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + QJsonDocument(c.body).toJson(QJsonDocument::Compact).toStdString());
        EXPECT_EQ(answer(stage.driver->drive(QString::fromLatin1(c.path), bodyFromObject(c.body), true)),
                  refused(QString::fromUtf8(c.text)));
    }
    EXPECT_EQ(stage.runner->ran(), QStringList());

    // Chrome is asked first: with it off and not to be started, that is the answer.
    Stage off(false);
    EXPECT_EQ(answer(off.driver->drive(QStringLiteral("/open"), {}, false)), refused(chromeOffText, false));
    EXPECT_EQ(answer(off.driver->drive(QStringLiteral("/nowhere"), {}, true)), refused(chromeOffText, false));
    EXPECT_EQ(off.runner->ran(), QStringList());
}

TEST(DriverRules, OneJobAtATimeAndAnEndThatWaitsForIt)
{
    Stage stage;
    stage.runner->hold(true);
    auto first = std::async(std::launch::async, [&] {
        return stage.driver->drive(QStringLiteral("/scroll"), {{"direction", "down"}}, true);
    });
    ASSERT_TRUE(eventually([&] { return !stage.runner->ran().isEmpty(); }));

    // Another job is told at once; the health check is not a job.
    EXPECT_EQ(answer(stage.driver->drive(QStringLiteral("/snapshot"), {}, true)), refused(agentBusyText));
    EXPECT_TRUE(stage.driver->drive(QStringLiteral("/health"), {}, true).ok);

    // The end waits for the job in progress; a job that comes meanwhile does not run.
    const QStringList ranSoFar = stage.runner->ran();
    auto ending = std::async(std::launch::async, [&] { stage.driver->shutdown(); });
    ASSERT_TRUE(eventually([&] {
        return answer(stage.driver->drive(QStringLiteral("/snapshot"), {}, true))
            == refused(companionQuittingText, false);
    }));
    EXPECT_EQ(ending.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(stage.runner->ran(), ranSoFar);
    stage.runner->hold(false);
    ending.get();
    EXPECT_TRUE(first.get().ok);
    EXPECT_FALSE(stage.driver->showWorkTab());
}

// Each agent takes turns with itself alone, within a bound the person sees
// and can cut short.
TEST(DriverRules, AgentsWorkSideBySideEachOneJobAtATime)
{
    Stage stage(true, 2);
    const auto drive = [&](const QString &agent) {
        return answer(stage.driver->drive(QStringLiteral("/scroll"), {{"direction", "down"}}, true, {}, agent));
    };
    const QJsonObject noTab = refused(noWorkTabText);
    ASSERT_EQ(drive(QStringLiteral("a")), noTab);
    stage.agentRunner(QStringLiteral("a"))->hold(true);
    auto held = std::async(std::launch::async, [&] { return drive(QStringLiteral("a")); });
    ASSERT_TRUE(eventually([&] { return stage.agentRunner(QStringLiteral("a"))->ran().size() == 2; }));

    struct Case {
        const char *agent;
        QJsonObject answer;
    };
    const Case cases[] = {
        {"a", refused(agentBusyText)},
        {"b", noTab}, // alongside a, in its own session
        {"", {{"ok", true}, {"chrome", true}, {"needs_you", false}, {"text", "- button \"Go\" [ref=e1]"}}},
        {"c", refused(tooManyAgentsText(2))},
        {"../x", refused(agentNameText)},
    };
    const auto shown
        = [](const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(); };
    for (const Case &c : cases)
        EXPECT_EQ(shown(drive(QLatin1String(c.agent))), shown(c.answer)) << c.agent;
    EXPECT_EQ(stage.driver->agents(),
              (QList<AgentView> {{QStringLiteral("a"), {}, true, false}, {QStringLiteral("b"), {}, false, false}}));

    // Stopped: told once, then a fresh start.
    ASSERT_TRUE(stage.driver->stopAgent(QStringLiteral("b")));
    EXPECT_EQ(drive(QStringLiteral("b")), refused(agentStoppedText));
    EXPECT_EQ(drive(QStringLiteral("b")), noTab);
    // Gone for half an hour: forgotten, unless it is at work.
    stage.now = agentIdleLimit + 1;
    EXPECT_EQ(stage.driver->agents(), (QList<AgentView> {{QStringLiteral("a"), {}, true, false}}));
    stage.agentRunner(QStringLiteral("a"))->hold(false);
    EXPECT_EQ(held.get(), noTab);
}

TEST(DriverRules, AWaitingHandOverIsCalledOffByTheEnd)
{
    Stage stage;
    bool waiting = false;
    std::mutex told;
    stage.driver->setHandOverListener([&](bool now, const QString &) {
        std::lock_guard lock(told);
        waiting = now;
    });
    auto handOver = std::async(std::launch::async, [&] {
        return stage.driver->drive(QStringLiteral("/hand-over"), {{"reason", "Sign in"}}, true);
    });
    ASSERT_TRUE(eventually([&] { return stage.driver->handOverWaiting(); }));
    stage.driver->shutdown();
    const DriverResult result = handOver.get();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.text.endsWith(handOverEndSentence(HandOverEnd::cancelled, 0))) << result.text.toStdString();
    std::lock_guard lock(told);
    EXPECT_FALSE(waiting);
}
