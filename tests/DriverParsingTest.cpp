// The driver's pure pieces: command-line parsing, output classifiers, the tab
// listing and the request head rules of the local server.

#include "driver/AgentRunner.h"
#include "driver/CliParsing.h"
#include "driver/PageView.h"
#include "driver/WorkTab.h"

#include <gtest/gtest.h>

using namespace corvane;

namespace {

struct ArgsCase {
    const char *text;
    QStringList args;
};

} // namespace

TEST(CliParsing, CommandTextBecomesToolArguments)
{
    const ArgsCase cases[] = {
        {"", {}},
        {" \n\t \r\n", {}},
        {"agent-browser", {}},
        {"agent-browser --cdp 9222", {}},
        {"agent-browser --cdp 9222 tab list", {"tab", "list"}},
        {"--cdp 9333 tab list", {"tab", "list"}},
        {"--cdp=9333 tab list", {"tab", "list"}},
        {"--cdp 9222\tsnapshot", {}}, // a tab after the port: no space to cut at
        {"--cdp 9222\ttab list", {"list"}},
        {"agent-browser --session other tab list", {"--session", "other", "tab", "list"}},
        {"--session x --cdp 9222 tab", {"--session", "x", "--cdp", "9222", "tab"}},
        {"agent-browsertab list", {"tab", "list"}},
        {"snapshot  -i\n-c", {"snapshot", "-i", "-c"}},
        {"eval \"document.title + '  x'\"", {"eval", "document.title + '  x'"}},
        {"eval 'a b'", {"eval", "a b"}},
        {"eval \"open only", {"eval", "\"open only"}},
        {"eval", {"eval"}},
        {"eval \"\"", {"eval"}},
        {"eval   1 +\n  2  ", {"eval", "1 +\n  2"}},
        {"eval\t  x", {"eval", "x"}},
        {"EVAL \"a b\"", {"EVAL", "\"a", "b\""}},
        {"fill e3 hello    big\n world", {"fill", "e3", "hello big world"}},
        {"type e1 a  b", {"type", "e1", "a b"}},
        {"fill e3", {"fill", "e3"}},
        {"click \"e3\"", {"click", "\"e3\""}},
        {"scroll\u2003down", {"scroll", "down"}}, // EM SPACE is white space
    };
    for (const ArgsCase &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(agentBrowserArgs(QString::fromUtf8(c.text)), c.args);
    }
}

TEST(CliParsing, LauncherAndQuotes)
{
    const std::pair<const char *, const char *> launcher[] = {
        {"  agent-browser   --cdp 9222   tab list  ", "tab list"},
        {"agent-browser\t\tsnapshot", "snapshot"},
        {"agent-browser --cdp", ""},
        {"tab --cdp 9222 list", "tab --cdp 9222 list"}, // only in front
        {"Agent-Browser tab", "Agent-Browser tab"},
        {"agent-browser\nnext", "\nnext"}, // trimming spaces leaves line breaks
    };
    for (const auto &[text, expected] : launcher) {
        SCOPED_TRACE(text);
        EXPECT_EQ(stripAgentBrowserLauncher(QString::fromUtf8(text)), QString::fromUtf8(expected));
    }

    const std::pair<const char *, const char *> quotes[] = {
        {"\"a  b\"", "a  b"}, {"'x'", "x"}, {" \n\"padded\" \n", "padded"}, {"\"", "\""},
        {"\"'", "\"'"},       {"''", ""},   {"\" inner \"", " inner "},     {"\"a\"b\"", "a\"b"},
        {"plain", "plain"},
    };
    for (const auto &[text, expected] : quotes) {
        SCOPED_TRACE(text);
        EXPECT_EQ(stripMatchingQuotes(QString::fromUtf8(text)), QString::fromUtf8(expected));
    }
}

TEST(Classifiers, OutputsTellFailureFromSuccess)
{
    struct Case {
        const char *output; // nullptr: the run never happened, as `refused` says
        bool timedOut, openFailed, actionFailed;
        ToolOutcome refused = ToolOutcome::done;
    };
    const Case cases[] = {
        {"\u2713 Done", false, false, false},
        {"\u2717 Unknown ref: e99", false, true, true},
        {"  \n\u2717 Navigation failed", false, true, true},
        {"\u26a0 warning\n\u2717 later failure", false, false, true},
        {"\u2717 Timed out after 25000ms", true, true, true},
        {nullptr, true, true, true, ToolOutcome::timedOut},
        {nullptr, false, true, true, ToolOutcome::missingTool},
        {nullptr, false, true, true, ToolOutcome::couldNotStart},
        {"Something NOT INSTALLED here", false, true, false},
        {"\u2717 Element 'e15' is covered by <div>", false, true, true},
        {"Element Is Covered By an overlay", false, false, true},
        {"Element not found: #x", false, false, true},
        {nullptr, false, true, true, ToolOutcome::busy},
        {"", false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.output ? c.output : "(did not run)");
        const auto read = [&](OutputReading reading) {
            if (c.output)
                return finishedRun(QString::fromUtf8(c.output), reading);
            ToolRun refused;
            refused.outcome = c.refused;
            return refused;
        };
        EXPECT_EQ(read(OutputReading::command).outcome == ToolOutcome::timedOut, c.timedOut);
        EXPECT_EQ(!read(OutputReading::open).succeeded(), c.openFailed);
        EXPECT_EQ(!read(OutputReading::action).succeeded(), c.actionFailed);
    }
}

TEST(WorkTabListing, StateFromTheToolsTabList)
{
    const std::pair<const char *, WorkTabState> cases[] = {
        {R"({"data":{"tabs":[{"label":"cv-work","active":true}]}})", WorkTabState::active},
        {R"({"data":{"tabs":[{"label":null,"active":true},{"label":"cv-work","active":false}]}})", WorkTabState::listed},
        {R"({"data":{"tabs":[{"label":"cv-work"}]}})", WorkTabState::listed},
        {R"({"data":{"tabs":[{"label":"cv-work","active":"true"}]}})", WorkTabState::listed},
        {"\u26a0 a warning first\n{\"data\":{\"tabs\":[{\"label\":\"cv-work\",\"active\":true}]}}\n", WorkTabState::active},
        {"{\"data\":{\"tabs\":[{\"label\":\"cv-work\",\"active\":true}]}}\ntrailing text", WorkTabState::missing},
        {R"({"data":{"tabs":[{"label":"CV-WORK","active":true},{"label":" cv-work","active":true}]}})", WorkTabState::missing},
        {R"({"data":{"tabs":[{},{"label":"cv-work","active":false},{"label":"cv-work","active":true}]}})", WorkTabState::listed},
        {R"({"data":{"tabs":[{"label":"cv-work","active":true},3]}})", WorkTabState::missing},
        {R"({"data":{"tabs":{}}})", WorkTabState::missing},
        {R"({"data":[]})", WorkTabState::missing},
        {R"({"tabs":[{"label":"cv-work","active":true}]})", WorkTabState::missing},
        {"[1,2]", WorkTabState::missing},
        {"COMPANION ERROR: Chrome is still working on the previous action.", WorkTabState::missing},
        {"", WorkTabState::missing},
    };
    for (const auto &[output, state] : cases) {
        SCOPED_TRACE(output);
        EXPECT_EQ(workTabState(QString::fromUtf8(output)), state);
    }
}

TEST(WorkTabListing, StatusMarkAndNavigatingCommands)
{
    EXPECT_EQ(statusMark(QStringLiteral("  \n\u2713 Title\n  url")), QChar(0x2713));
    EXPECT_EQ(statusMark(QStringLiteral("\u2717 No tab")), QChar(0x2717));
    EXPECT_EQ(statusMark(QStringLiteral(" \n\t")), std::nullopt);
    EXPECT_EQ(statusMark(QString()), std::nullopt);
    EXPECT_EQ(classifyOutput(QStringLiteral("\u2713 Form page\n  http://x/"), OutputReading::tabSwitch), ToolOutcome::done);
    EXPECT_EQ(classifyOutput(QStringLiteral("\u2717 No tab with label"), OutputReading::tabSwitch), ToolOutcome::failed);
    EXPECT_EQ(classifyOutput(QString(), OutputReading::tabSwitch), ToolOutcome::failed);

    const std::pair<QStringList, bool> navigating[] = {
        {{"click", "e1"}, true}, {{"CLICK"}, true}, {{"Open", "http://x"}, true}, {{"eval", "1"}, true},
        {{"press", "Enter"}, true}, {{"goto", "http://x"}, false}, {{"back"}, false}, {{}, false},
        {{"tab", "click"}, false},
    };
    for (const auto &[args, expected] : navigating) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        EXPECT_EQ(mayNavigate(args), expected);
    }
}
