// The runner and the result builders against a fake agent-browser: a script
// in the temporary HOME that prints what a case needs, sleeps or fails.

#include "driver/AgentRunner.h"
#include "driver/Job.h"
#include "driver/KeptRunner.h"
#include "driver/PageDialog.h"
#include "driver/PageView.h"

#include "EventChecks.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "TempHome.h"

#include "Dispatch.h"
#include "ProcessRun.h"
#include "UserPaths.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <thread>

using namespace corvane;
using test::eventually;
using test::fakeAgentBrowserRuns;
using test::installFakeAgentBrowser;
using test::ScopedEnv;

namespace {

// "R" running, "S" sleeping, "Z" zombie; empty once the process is gone.
QString processState(qint64 pid)
{
    const QString stat = QString::fromUtf8(test::readFile(QStringLiteral("/proc/%1/stat").arg(pid)));
    return stat.section(QLatin1Char(')'), -1).trimmed().section(QLatin1Char(' '), 0, 0);
}

qint64 recordedPid()
{
    return QString::fromUtf8(test::readFile(platform::homeDir() + QStringLiteral("/tool.pid"))).trimmed().toLongLong();
}

// The suite's one runner, as the companion has one.
corvane::AgentRunner &toolRunner()
{
    static corvane::AgentRunner runner;
    return runner;
}

// A job on that runner, as the driver makes one.
struct TestJob {
    DriverState state {platform::monotonicSeconds};
    DialogWatch watch {true};
    Job job {toolRunner(), state, watch};
};

// What a run stands for in a result: the tool's output or the runner's text.
QString run(const QStringList &args, int limit = 20)
{
    return runText(toolRunner().run(args, 9222, limit));
}

// A run of a tool that ended with this output.
ToolRun ran(const char *output, OutputReading reading)
{
    return finishedRun(QString::fromUtf8(output), reading);
}

ToolRun refusedRun(ToolOutcome outcome)
{
    ToolRun refused;
    refused.outcome = outcome;
    return refused;
}

} // namespace

class ToolRuns : public testing::Test {
protected:
    test::TempHome home;
};

TEST(AgentSessionName, Table)
{
    const std::pair<qint64, const char *> cases[] = {
        {9222, "corvane"},
        {9223, "corvane-9223"},
        {9333, "corvane-9333"},
        {1, "corvane-1"},
    };
    for (const auto &[port, name] : cases)
        EXPECT_EQ(agentSessionName(port), QString::fromUtf8(name));
}

TEST_F(ToolRuns, ReturnsMergedOutputWhateverTheExitStatus)
{
    // The tool warns on standard error before it answers.
    installFakeAgentBrowser(QStringLiteral("echo '\u26a0 to stderr' >&2\necho 'to stdout'\nexit 1"));
    EXPECT_EQ(run({QStringLiteral("click"), QStringLiteral("e1")}), QStringLiteral("\u26a0 to stderr\nto stdout\n"));
    const QList<test::LoggedEvent> ends = home.logged(QStringLiteral("agent.end"));
    ASSERT_EQ(ends.size(), 1);
    EXPECT_TRUE(test::isEvent(ends.front(), "agent.end", {{"status", "1"}, {"args", "click e1"}}));
    EXPECT_EQ(home.events(QStringLiteral("agent.start")).size(), 1);
}

// The kept connection speaks the pinned version's requests: another version
// of the tool runs as a process per step, which the log says once.
TEST_F(ToolRuns, AnotherVersionOfTheToolRunsAProcessPerStepAndSaysSoOnce)
{
    installFakeAgentBrowser(
        QStringLiteral("case \"$1\" in --version) echo 'agent-browser 9.9.9' ;; *) echo '✓ Done' ;; esac"));
    KeptRunner kept;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(kept.run({QStringLiteral("click"), QStringLiteral("e1")}, 9222, 20, OutputReading::action).outcome,
                  ToolOutcome::done);
    // The version is asked once, without the runner's options (the record
    // leaves their places blank).
    EXPECT_EQ(fakeAgentBrowserRuns(true),
              (QStringList {QStringLiteral("--version   "), QStringLiteral("--cdp 9222 --session corvane click e1"),
                            QStringLiteral("--cdp 9222 --session corvane click e1")}));
    const QList<test::LoggedEvent> off = home.logged(QStringLiteral("agent.kept-off"));
    ASSERT_EQ(off.size(), 1);
    EXPECT_TRUE(
        test::isEvent(off.front(), "agent.kept-off", {{"version", "agent-browser 9.9.9"}, {"pinned", "0.41.2"}}));
}

TEST_F(ToolRuns, EachPortHasItsOwnSessionAndOnlyThreeArgumentsAreLogged)
{
    installFakeAgentBrowser(QStringLiteral("true"));
    toolRunner().run({QStringLiteral("tab"), QStringLiteral("list"), QStringLiteral("--json")}, 9222, 20);
    toolRunner().run({QStringLiteral("fill"), QStringLiteral("e1"), QStringLiteral("secret words"),
                      QStringLiteral("extra")},
                     9333, 20);
    EXPECT_EQ(fakeAgentBrowserRuns(true),
              (QStringList {QStringLiteral("--cdp 9222 --session corvane tab list --json"),
                            QStringLiteral("--cdp 9333 --session corvane-9333 fill e1 secret words extra")}));
    const QList<test::LoggedEvent> starts = home.logged(QStringLiteral("agent.start"));
    ASSERT_EQ(starts.size(), 2);
    EXPECT_EQ(starts.at(1)["args"], QStringLiteral("fill e1 <12 chars>"));
}

TEST_F(ToolRuns, OutputIsDrainedWhileTheToolRunsAndMustBeUtf8)
{
    // Far more than a pipe holds: a runner that read only after the exit would hang.
    installFakeAgentBrowser(QStringLiteral("head -c 400000 /dev/zero | tr '\\0' 'x'"));
    const QString big = run({QStringLiteral("snapshot")}, 5);
    EXPECT_EQ(big.size(), 400000);
    EXPECT_EQ(big.count(QLatin1Char('x')), 400000);

    installFakeAgentBrowser(QStringLiteral("printf 'ok \\377 broken'"));
    EXPECT_EQ(run({QStringLiteral("snapshot")}), QString());

    // Past 4 MiB the rest is drained and dropped, and the cut never splits a
    // character: "x" then two-byte letters puts the limit inside one.
    installFakeAgentBrowser(QStringLiteral("printf x; yes '\u00e9' | tr -d '\\n' | head -c 6000000"));
    const QString cut = run({QStringLiteral("snapshot")}, 10);
    EXPECT_TRUE(cut.endsWith(outputCutText)) << cut.right(40).toStdString();
    EXPECT_EQ(cut.size(), 1 + (agentOutputLimit - 1) / 2 + outputCutText.size());
}

TEST_F(ToolRuns, ASecondRunGetsTheBusyTextWhileTheFirstHoldsTheLock)
{
    installFakeAgentBrowser(QStringLiteral("touch \"$HOME/started\"\nsleep 2\necho first"));
    QString first;
    std::atomic<bool> firstDone {false};
    std::thread holder([&] {
        first = run({QStringLiteral("click"), QStringLiteral("e1")});
        firstDone = true;
    });
    ASSERT_TRUE(eventually([] { return QFile::exists(platform::homeDir() + QStringLiteral("/started")); }));

    EXPECT_EQ(run({QStringLiteral("snapshot"), QStringLiteral("-i"), QStringLiteral("-c"), QStringLiteral("--more")}),
              agentBusyText);
    EXPECT_FALSE(firstDone) << "the busy answer must not wait for the running tool";
    holder.join();
    EXPECT_EQ(first, QStringLiteral("first\n"));

    const QList<test::LoggedEvent> busy = home.logged(QStringLiteral("agent.busy"));
    ASSERT_EQ(busy.size(), 1);
    EXPECT_EQ(busy.front()["args"], QStringLiteral("snapshot -i -c"));
    EXPECT_EQ(fakeAgentBrowserRuns().size(), 1);
}

TEST_F(ToolRuns, ALimitOfZeroWaitsOneSecondAndTheToolIsReaped)
{
    installFakeAgentBrowser(QStringLiteral("echo $$ > \"$HOME/tool.pid\"\nexec sleep 30"));
    EXPECT_EQ(run({QStringLiteral("wait"), QStringLiteral("--load"), QStringLiteral("domcontentloaded")}, 0),
              agentTimeoutText);
    const QList<test::LoggedEvent> timeouts = home.logged(QStringLiteral("agent.timeout"));
    ASSERT_EQ(timeouts.size(), 1);
    EXPECT_EQ(timeouts.front()["limit_s"], QStringLiteral("0"));
    EXPECT_TRUE(timeouts.front().fields.contains(QStringLiteral("chrome"))) << timeouts.front();
    EXPECT_TRUE(home.events(QStringLiteral("agent.end")).isEmpty());

    const qint64 pid = recordedPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(eventually([pid] { return processState(pid).isEmpty(); }, 5.0))
        << "state " << processState(pid).toStdString();
}

TEST_F(ToolRuns, AToolThatIgnoresTheStopSignalIsKilledAfterItsGrace)
{
    installFakeAgentBrowser(QStringLiteral("echo $$ > \"$HOME/tool.pid\"\ntrap '' TERM\nexec sleep 30"));
    EXPECT_EQ(run({QStringLiteral("eval"), QStringLiteral("1")}, 1), agentTimeoutText);
    const qint64 pid = recordedPid();
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(processState(pid).isEmpty()) << "still in its grace period";

    // The lock is already free while the old tool lives on.
    installFakeAgentBrowser(QStringLiteral("echo next"));
    EXPECT_EQ(run({QStringLiteral("tab"), QStringLiteral("list")}), QStringLiteral("next\n"));

    EXPECT_TRUE(eventually([pid] { return processState(pid).isEmpty(); }, platform::reapGraceSeconds + 5.0))
        << "state " << processState(pid).toStdString();
}

TEST_F(ToolRuns, NothingToRunMeansNotInstalled)
{
    QFile::remove(platform::homeDir() + QStringLiteral("/.local/bin/agent-browser"));
    if (!agentBrowserPath().isEmpty())
        GTEST_SKIP() << "an agent-browser is installed system-wide: " << agentBrowserPath().toStdString();
    // One in the current folder (a project the assistant works in) never runs.
    const QString project = platform::homeDir() + QStringLiteral("/project");
    QDir().mkpath(project);
    const QString planted = project + QStringLiteral("/agent-browser");
    test::writeFile(planted, "#!/bin/sh\ntouch \"$HOME/planted-ran\"\n");
    QFile::setPermissions(planted, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QString before = QDir::currentPath();
    QDir::setCurrent(project);
    EXPECT_EQ(run({QStringLiteral("tab"), QStringLiteral("list")}), agentMissingText);
    QDir::setCurrent(before);
    EXPECT_FALSE(QFile::exists(platform::homeDir() + QStringLiteral("/planted-ran")));
    EXPECT_EQ(home.events(QStringLiteral("agent.missing")).size(), 1);

    // A file that is there but not executable does not count either.
    test::writeFile(platform::homeDir() + QStringLiteral("/.local/bin/agent-browser"), "#!/bin/sh\necho hi\n");
    EXPECT_EQ(agentBrowserPath(), QString());
    installFakeAgentBrowser(QStringLiteral("true"));
    EXPECT_EQ(agentBrowserPath(), platform::homeDir() + QStringLiteral("/.local/bin/agent-browser"));

    // A tool that is there but cannot be started is not "not installed".
    const QString tool = platform::homeDir() + QStringLiteral("/.local/bin/agent-browser");
    test::writeFile(tool, "#!/nonexistent/interpreter\n");
    QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const ToolRun notStarted = toolRunner().run({QStringLiteral("tab"), QStringLiteral("list")}, 9222, 20);
    const QString refused = runText(notStarted);
    EXPECT_TRUE(refused.startsWith(agentStartFailedText)) << refused.toStdString();
    EXPECT_TRUE(refused.contains(QLatin1String("No such file"))) << refused.toStdString();
    EXPECT_EQ(notStarted.outcome, ToolOutcome::couldNotStart);
    EXPECT_FALSE(notStarted.ran());
    EXPECT_EQ(home.events(QStringLiteral("agent.fail")).size(), 1);
}

TEST_F(ToolRuns, DataIsTheDataObjectOfJsonOutput)
{
    const std::pair<const char *, QJsonObject> cases[] = {
        {R"({"success":true,"data":{"title":"Form page"},"error":null})", {{"title", "Form page"}}},
        {R"({"success":true,"error":null})", {}},
        {R"({"data":"a string"})", {}},
        {R"([{"data":{}}])", {}},
        {"\u2717 not json", {}},
    };
    for (const auto &[output, data] : cases) {
        SCOPED_TRACE(output);
        ScopedEnv printed("FAKE_OUT", QString::fromUtf8(output));
        installFakeAgentBrowser(QStringLiteral("printf '%s' \"$FAKE_OUT\""));
        EXPECT_EQ(TestJob().job.data({QStringLiteral("get"), QStringLiteral("title")}), data);
        EXPECT_EQ(fakeAgentBrowserRuns(), QStringList {QStringLiteral("--json get title")});
    }
}

// Result builders. The fake answers snapshots, page reads and screenshots
// from the environment so that each case can set what the page shows.
namespace {

const QString pageTool = QStringLiteral(R"(case "$5" in
  snapshot) printf '%s' "$FAKE_SNAPSHOT" ;;
  wait) echo '✓ Done' ;;
  --json) case "$6 $7" in
      "get title") printf '{"data":{"title":"%s"}}' "$FAKE_TITLE" ;;
      "get url") printf '{"data":{"url":"%s"}}' "$FAKE_URL" ;;
      snapshot*) printf '%s' "$FAKE_SNAPSHOT" ;;
      screenshot*) if [ -n "$FAKE_SHOT_FAILS" ]; then echo '✗ Screenshot failed'
        else printf '%s' "$FAKE_IMAGE" > "${11}"; echo '{"success":true,"data":{}}'; fi ;;
    esac ;;
  screenshot) if [ -n "$FAKE_SHOT_FAILS" ]; then echo '✗ Screenshot failed'
    else printf '%s' "$FAKE_IMAGE" > "${10}"; echo "✓ Screenshot saved to ${10}"; fi ;;
  hold) touch "$HOME/holding"; while [ ! -e "$HOME/release" ]; do sleep 0.02; done ;;
esac)");

// Another run holds the runner while `during` runs, so every run of it is busy.
template <class Work> auto whileTheRunnerIsHeld(Work during)
{
    QFile::remove(platform::homeDir() + QStringLiteral("/holding"));
    QFile::remove(platform::homeDir() + QStringLiteral("/release"));
    std::thread holder([] { toolRunner().run({QStringLiteral("hold")}, 9222, 20); });
    EXPECT_TRUE(eventually([] { return QFile::exists(platform::homeDir() + QStringLiteral("/holding")); }));
    auto result = during();
    test::writeFile(platform::homeDir() + QStringLiteral("/release"), {});
    holder.join();
    return result;
}

} // namespace

TEST_F(ToolRuns, AfterActionReportsTheFreshSnapshot)
{
    installFakeAgentBrowser(pageTool);
    struct Case {
        const char *out, *snapshot;
        bool ok, needsYou;
        const char *text;
        bool readsPage;
    };
    const Case cases[] = {
        {"\u2713 Done", "- button \"Go\" [ref=e1]\n", true, false, "- button \"Go\" [ref=e1]", true},
        {"\u2713 Done\n", "  \n", true, false, "\u2713 Done\n", true},
        {"", "", false, false, "The page was empty.", true},
        {"\u2713 Done\n", "\u2717 Timed out after 9000ms", true, false, "\u2713 Done", true},
        {" ", "\u2717 TIMED OUT", false, false, "The page changed. Snapshot timed out \u2014 call browser_snapshot.",
         true},
        {"\u2713 Done", "Checking your browser before you continue", false, true,
         "Checking your browser before you continue\n", false},
        // The snapshot cannot run (nor can the page reads): the action's own output.
        {"\u2713 Done", nullptr, true, false, "\u2713 Done", false},
        {"\u2717 Unknown ref: e99", "unused", false, false, "\u2717 Unknown ref: e99", false},
        {"Element is COVERED BY <div>", "unused", false, false, "Element is COVERED BY <div>", false},
        {"Please complete the CAPTCHA", "unused", false, true, "Please complete the CAPTCHA", false},
        {nullptr, "unused", false, false, "COMPANION ERROR: Chrome is still working on the previous action.", false},
    };
    ScopedEnv title("FAKE_TITLE", QStringLiteral("Form page"));
    ScopedEnv url("FAKE_URL", QStringLiteral("http://127.0.0.1/form"));
    for (const Case &c : cases) {
        // nullptr: that run was busy.
        SCOPED_TRACE(std::string(c.out ? c.out : "(busy)") + " / " + (c.snapshot ? c.snapshot : "(busy)"));
        installFakeAgentBrowser(pageTool);
        ScopedEnv snapshot("FAKE_SNAPSHOT", QString::fromUtf8(c.snapshot));
        const ToolRun action = c.out ? ran(c.out, OutputReading::action) : refusedRun(ToolOutcome::busy);
        TestJob t;
        const DriverResult result = c.snapshot ? afterAction(t.job, action)
                                               : whileTheRunnerIsHeld([&] { return afterAction(t.job, action); });
        EXPECT_EQ(result.ok, c.ok);
        EXPECT_EQ(result.needsYou, c.needsYou);
        EXPECT_EQ(result.text, QString::fromUtf8(c.text));
        EXPECT_TRUE(result.chrome);
        const bool snapshotTaken = c.snapshot && !QString::fromUtf8(c.snapshot).startsWith(QLatin1String("unused"));
        if (!snapshotTaken) {
            EXPECT_TRUE(fakeAgentBrowserRuns().filter(QStringLiteral("snapshot")).isEmpty());
        }
        if (c.readsPage) {
            EXPECT_EQ(result.title, QStringLiteral("Form page"));
            EXPECT_EQ(result.url, QStringLiteral("http://127.0.0.1/form"));
            EXPECT_EQ(fakeAgentBrowserRuns(),
                      (QStringList {QStringLiteral("--json snapshot -i -c"), QStringLiteral("--json get url"),
                                    QStringLiteral("--json get title")}));
        } else {
            EXPECT_TRUE(result.title.isEmpty());
            EXPECT_TRUE(result.url.isEmpty());
        }
    }
    EXPECT_EQ(home.events(QStringLiteral("after.snapshot-timeout")).size(), 2);
}

TEST_F(ToolRuns, ASnapshotThatTimesOutIsRetriedOnceAfterALoadWait)
{
    // The first snapshot times out; later ones print the page.
    installFakeAgentBrowser(QStringLiteral(R"(case "$5" in
  snapshot) if [ -e "$HOME/once" ]; then echo '- link "Two" [ref=e3]'; else touch "$HOME/once"; echo '✗ Timed Out'; fi ;;
  wait) echo '✗ Timed out after 3000ms' ;;
esac)"));
    TestJob t;
    EXPECT_EQ(snapshotSettled(t.job, snapshotArgs()).output, QStringLiteral("- link \"Two\" [ref=e3]\n"));
    EXPECT_EQ(fakeAgentBrowserRuns(),
              (QStringList {QStringLiteral("snapshot -i -c"), QStringLiteral("wait --load domcontentloaded"),
                            QStringLiteral("snapshot -i -c")}));
    EXPECT_EQ(home.events(QStringLiteral("snapshot.retry")).size(), 1);
    const QList<test::LoggedEvent> waits = home.logged(QStringLiteral("load.wait-timeout"));
    ASSERT_EQ(waits.size(), 1);
    EXPECT_EQ(waits.front()["limit_s"], QStringLiteral("3"));

    installFakeAgentBrowser(QStringLiteral("echo '\u2717 timed out'"));
    const ToolRun twice = snapshotSettled(t.job, snapshotArgs());
    EXPECT_EQ(twice.output, QStringLiteral("\u2717 timed out\n"));
    EXPECT_EQ(fakeAgentBrowserRuns().size(), 3);
    EXPECT_FALSE(finish(t.job, twice, true).ok);
}

TEST_F(ToolRuns, ViewReadsTitleAddressAndTheScreenshot)
{
    struct Case {
        const char *title, *url, *image;
        bool ok;
        const char *text;
        bool shotFails = false;
    };
    const Case cases[] = {
        {"Form page", "http://127.0.0.1/form", "\xff\xd8jpeg", true, "Form page\nhttp://127.0.0.1/form"},
        {"", "http://127.0.0.1/form", "", true, "http://127.0.0.1/form"},
        {"", "", "\xff\xd8jpeg", true, "The page was empty."},
        {"", "", "", false, "The page was empty."},
        // A failed screenshot never passes off an earlier picture as this one.
        {"Form page", "http://127.0.0.1/form", "", true, "Form page\nhttp://127.0.0.1/form", true},
    };
    const QString file = platform::temporaryDir() + screenshotFileName;
    ASSERT_TRUE(file.startsWith(home.path()));
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.title) + " " + c.url);
        installFakeAgentBrowser(pageTool);
        ScopedEnv title("FAKE_TITLE", QString::fromUtf8(c.title));
        ScopedEnv url("FAKE_URL", QString::fromUtf8(c.url));
        ScopedEnv image("FAKE_IMAGE", QString::fromLatin1(c.image));
        ScopedEnv fails("FAKE_SHOT_FAILS", c.shotFails ? QStringLiteral("yes") : QString());
        ASSERT_TRUE(test::writeFile(file, "an older picture"));
        TestJob t;
        const DriverResult view
            = pageView([&](const QList<BatchStep> &reads) { return t.job.runBatch(reads); }).value();
        EXPECT_EQ(view.ok, c.ok);
        EXPECT_EQ(view.text, QString::fromUtf8(c.text));
        EXPECT_EQ(view.title, QString::fromUtf8(c.title));
        EXPECT_EQ(view.url, QString::fromUtf8(c.url));
        const QByteArray bytes = QString::fromLatin1(c.image).toLocal8Bit();
        EXPECT_EQ(view.image,
                  bytes.isEmpty() ? QString()
                                  : QStringLiteral("data:image/jpeg;base64,") + QString::fromLatin1(bytes.toBase64()));
        // A delivered image is cleaned up; an empty file stays.
        EXPECT_EQ(QFile::exists(file), bytes.isEmpty() && !c.shotFails);
        EXPECT_EQ(fakeAgentBrowserRuns(),
                  (QStringList {QStringLiteral("--json get title"), QStringLiteral("--json get url"),
                                QStringLiteral("--json screenshot --screenshot-format jpeg --screenshot-quality 55 ")
                                    + file}));
    }
}

TEST(ResultBuilders, SnapshotAndCommandOutputs)
{
    struct Case {
        const char *text;
        bool finishOk, cliOk, needsYou;
        const char *cliText;
    };
    const Case cases[] = {
        {"- button \"Go\" [ref=e1]\n", true, true, false, "- button \"Go\" [ref=e1]\n"},
        {"", false, false, false, "The command returned nothing."},
        {" \n \r\n", true, false, false, "The command returned nothing."},
        {"\u2717 Unknown ref", false, false, false, "\u2717 Unknown ref"},
        {"Element not found: #x", true, true, false, "Element not found: #x"},
        {"blocked: it IS COVERED BY a dialog", true, false, false, "blocked: it IS COVERED BY a dialog"},
        {"Navigation Timed Out", false, false, false, "Navigation Timed Out"},
        {"Checking your browser...", false, false, true, "Checking your browser..."},
        {"COMPANION ERROR: Chrome is still working on the previous action.", false, false, false,
         "COMPANION ERROR: Chrome is still working on the previous action."},
        {"agent-browser is not installed.", false, false, false, "agent-browser is not installed."},
    };
    // The runner's own texts stand for runs that never happened.
    const auto run = [](const QString &text, OutputReading reading) {
        if (text == agentBusyText)
            return refusedRun(ToolOutcome::busy);
        if (text == agentMissingText)
            return refusedRun(ToolOutcome::missingTool);
        return finishedRun(text, reading);
    };
    TestJob t;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const QString text = QString::fromUtf8(c.text);
        const DriverResult snapshot = finish(t.job, run(text, OutputReading::snapshot), true);
        EXPECT_EQ(snapshot.ok, c.finishOk);
        EXPECT_EQ(snapshot.needsYou, c.needsYou);
        EXPECT_EQ(snapshot.text, text);
        const DriverResult command = finishCli(t.job, run(text, OutputReading::command));
        EXPECT_EQ(command.ok, c.cliOk);
        EXPECT_EQ(command.needsYou, c.needsYou);
        EXPECT_EQ(command.text, QString::fromUtf8(c.cliText));
        EXPECT_TRUE(command.chrome);
    }
    EXPECT_FALSE(finish(t.job, ran("page", OutputReading::snapshot), false).chrome);
}

// A dialog is known from the tool's own report of it: a warning or failure
// line on its standard error, the warning or error of its JSON answer.
// Never from what it passes on of the page, which the page words itself.
TEST(ResultBuilders, BlockingDialogsAreReadOnlyFromTheToolsOwnReport)
{
    struct Case {
        const char *errorOutput;
        const char *jsonAnswer;
        const char *kind; // nullptr: no blocking dialog
        const char *message;
    };
    const Case cases[] = {
        {"\u26a0 A JavaScript confirm dialog is blocking the page: \"sure?\" \u2014 use `dialog accept` or `dialog "
         "dismiss` "
         "to resolve it\n",
         "", "confirm", "sure?"},
        {"\u2717 A JavaScript prompt dialog is blocking the page: \"Say \"hi\" now\". Resolve it with `dialog accept` "
         "or "
         "`dialog dismiss`, then retry `snapshot`.",
         "", "prompt", "Say \"hi\" now"},
        {"",
         R"({"success":false,"data":null,"error":"CDP command timed out: Runtime.evaluate","warning":"A JavaScript confirm dialog is blocking the page: \"sure?\" \u2014 use `dialog accept` or `dialog dismiss` to resolve it"})",
         "confirm", "sure?"},
        {"",
         R"({"success":true,"data":{"text":"A JavaScript confirm dialog is blocking the page: \"fake\". Resolve it"},"error":null})",
         nullptr, nullptr},
        {"\u2713 Done", "", nullptr, nullptr},
        {"a page's words: A JavaScript confirm dialog is blocking the page: \"fake\". Resolve it", "", nullptr,
         nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.errorOutput) + c.jsonAnswer);
        const std::optional<PageDialog> dialog
            = reportedDialog(QString::fromUtf8(c.errorOutput), QString::fromUtf8(c.jsonAnswer));
        ASSERT_EQ(dialog.has_value(), c.kind != nullptr);
        if (dialog) {
            EXPECT_EQ(dialog->kind, QLatin1String(c.kind));
            EXPECT_EQ(dialog->message, QString::fromUtf8(c.message));
        }
    }
}

// The tool's background process may never serve others: one that listens on
// TCP anyway (a listen without a bind slips past the kernel's rule) is ended
// and the step refused.
TEST_F(ToolRuns, ABackgroundProcessThatListensIsEndedAndNotUsed)
{
    const QString pidFile = agentSocketDir() + QStringLiteral("/corvane.pid");
    // It says who it is once it listens, as the tool's process does.
    ScopedEnv listens("FAKE_LISTEN",
                      QStringLiteral("import os, socket, sys, time; s = socket.socket(); s.listen(); "
                                     "open(sys.argv[1], 'w').write(str(os.getpid())); time.sleep(60)"));
    installFakeAgentBrowser(QStringLiteral("pid=\"$AGENT_BROWSER_SOCKET_DIR/corvane.pid\"\n"
                                           "[ -s \"$pid\" ] || bash -c 'exec -a agent-browser-daemon /usr/bin/python3 "
                                           "-c \"$FAKE_LISTEN\" \"$0\"' \"$pid\" >/dev/null 2>&1 &\n"
                                           "while [ ! -s \"$pid\" ]; do sleep 0.05; done\necho done"));
    const ToolRun refused = toolRunner().run({QStringLiteral("tab"), QStringLiteral("list")}, 9222, 20);
    EXPECT_EQ(refused.outcome, ToolOutcome::unguarded);
    EXPECT_EQ(runText(refused), agentListenerText);
    const qint64 daemon = test::readFile(pidFile).trimmed().toLongLong();
    ASSERT_GT(daemon, 0);
    EXPECT_TRUE(
        eventually([daemon] { return processState(daemon).isEmpty() || processState(daemon) == QLatin1String("Z"); }));
    EXPECT_TRUE(test::hasEvent(home.logged(), "agent.listener", {{"session", "corvane"}}));

    // A quiet background process is checked once, and then used.
    QFile::remove(pidFile);
    installFakeAgentBrowser(QStringLiteral("echo $PPID > \"$AGENT_BROWSER_SOCKET_DIR/corvane.pid\"\necho done"));
    EXPECT_EQ(run({QStringLiteral("tab"), QStringLiteral("list")}), QStringLiteral("done\n"));
    EXPECT_EQ(run({QStringLiteral("tab"), QStringLiteral("list")}), QStringLiteral("done\n"));
    EXPECT_EQ(home.logged("agent.listener").size(), 1);
}
