// The driver's pure pieces: command-line parsing, output classifiers, the tab
// listing and the request head rules of the local server.

#include "driver/ActionWatch.h"
#include "driver/AgentRunner.h"
#include "driver/CliParsing.h"
#include "driver/CliPolicy.h"
#include "driver/LocalTargets.h"
#include "driver/NeedsYouNotice.h"
#include "driver/PageSettle.h"
#include "driver/PageView.h"
#include "driver/ToolBatch.h"
#include "driver/WorkTab.h"

#include "TempHome.h"

#include <QDir>
#include <QFile>

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

// Typed commands act on the page and nothing else, whoever sends them.
TEST(CliPolicy, OnlyCommandsOnThePageRun)
{
    test::TempHome home;
    test::writeFile(exchangeFolder() + QStringLiteral("/cv.pdf"), "%PDF");
    QFile::link(QStringLiteral("/etc/passwd"), exchangeFolder() + QStringLiteral("/passwd"));
    const QString mine = exchangeFolder() + QStringLiteral("/cv.pdf");
    const std::pair<const char *, const char *> allowed[] = {
        {"tab list", nullptr},
        {"tab", nullptr},
        {"tab t2", nullptr},
        {"tab close t2", nullptr},
        {"tab new --label docs https://example.com/", nullptr},
        {"open http://127.0.0.1:8000/a", nullptr},
        {"click e1", nullptr},
        {"dblclick e1 --human", nullptr},
        {"fill e1 --session other", nullptr},
        {"get text body", nullptr},
        {"--json get title", nullptr},
        {"get title --json", nullptr},
        {"snapshot -i -c -s #main", nullptr},
        {"wait --load domcontentloaded", nullptr},
        {"wait 500", nullptr},
        {"scroll down 500", nullptr},
        {"mouse wheel -300", nullptr},
        {"eval document.title", nullptr},
        {"dialog accept yes", nullptr},
        {"find label Email fill me@example.com", nullptr},
        {"diff snapshot", nullptr},
        {"keyboard type hello", nullptr},
        {"press Enter", nullptr},
        {"back", nullptr},
        {"console --clear", nullptr},
        {"upload e3 cv.pdf", "upload e3 %1"},
        {"upload e3 %1", "upload e3 %1"},
    };
    for (const auto &[typed, ran] : allowed) {
        SCOPED_TRACE(typed);
        const CheckedCommand checked = checkCliCommand(agentBrowserArgs(QString::fromUtf8(typed).arg(mine)));
        ASSERT_TRUE(checked.args.has_value()) << checked.refusal.toStdString();
        if (ran) {
            EXPECT_EQ(checked.args->join(QLatin1Char(' ')), QString::fromUtf8(ran).arg(mine));
        }
    }
    const char *const refused[] = {
        "screenshot /tmp/x.png",
        "screenshot",
        "pdf /tmp/x.pdf",
        "open file:///etc/passwd",
        "open chrome://settings",
        "tab new file:///etc/passwd",
        "cookies get",
        "cookies set --curl /tmp/c",
        "storage local",
        "network route *",
        "network har start /tmp/h",
        "state save /tmp/s.json",
        "snapshot --session other",
        "--session other snapshot",
        "click e1 --new-tab",
        "wait --download /tmp/x",
        "eval --stdin",
        "get cdp-url",
        "set headers {}",
        "download e1 /tmp/x",
        "trace start",
        "record start /tmp/r.webm",
        "install",
        "session list",
        "auth login x",
        "plugin add x",
        "connect 9333",
        "close --all",
        "diff url http://a http://b",
        "diff screenshot --baseline /tmp/b",
        "clipboard read",
        "is visible e1 --profile x",
        "upload e3 /etc/passwd",
        "upload e3 passwd",
        "upload e3 ../link.json",
        "upload e3",
        "",
    };
    for (const char *typed : refused) {
        SCOPED_TRACE(typed);
        EXPECT_FALSE(checkCliCommand(agentBrowserArgs(QString::fromUtf8(typed))).args.has_value());
    }
    EXPECT_EQ(QFile(exchangeFolder()).permissions() & 0x0077, 0) << "the exchange folder is the user's alone";
}

// What the tool is handed: the command on its standard input, never in its
// arguments; free text shows in the log as its length.
TEST(ToolBatch, CommandsGoOnStandardInput)
{
    const ToolInvocation fill
        = toolInvocation({QStringLiteral("fill"), QStringLiteral("e3"), QStringLiteral("--json")});
    EXPECT_EQ(fill.arguments, QStringList {QStringLiteral("batch")});
    EXPECT_EQ(fill.input, QByteArray(R"([["fill","e3","--json"]])"));
    const ToolInvocation title
        = toolInvocation({QStringLiteral("--json"), QStringLiteral("get"), QStringLiteral("title")});
    EXPECT_EQ(title.arguments, (QStringList {QStringLiteral("batch"), QStringLiteral("--json")}));
    EXPECT_EQ(title.input, QByteArray(R"([["get","title"]])"));
    const ToolInvocation shot = toolInvocation({QStringLiteral("screenshot"), QStringLiteral("--screenshot-format"),
                                                QStringLiteral("jpeg"), QStringLiteral("/run/v.jpg")});
    EXPECT_EQ(shot.arguments,
              (QStringList {QStringLiteral("--screenshot-format"), QStringLiteral("jpeg"), QStringLiteral("batch")}));
    EXPECT_EQ(shot.input, QByteArray(R"([["screenshot","/run/v.jpg"]])"));

    // A JSON batch's answer reads as the tool's own answer to the command, byte for byte.
    EXPECT_EQ(
        singleAnswer(QStringLiteral(
            R"([{"command":["get","title"],"error":null,"result":{"n":11386466822335325236,"title":"A \"b\""},"success":true}])")),
        QStringLiteral(R"({"success":true,"data":{"n":11386466822335325236,"title":"A \"b\""},"error":null})"));
    EXPECT_EQ(singleAnswer(QStringLiteral(
                  R"([{"command":["snapshot"],"error":"Dialog: \"x\"","success":false,"warning":"w"}])")),
              QStringLiteral(R"({"success":false,"data":null,"error":"Dialog: \"x\"","warning":"w"})"));
    EXPECT_EQ(singleAnswer(QStringLiteral("\u2717 not a batch")), std::nullopt);

    // The reads of one step in one process: each answer apart, and the text
    // the tool would have printed for it.
    const ToolInvocation reads
        = batchInvocation({{QStringLiteral("tab"), QStringLiteral("list"), QStringLiteral("--json")},
                           {QStringLiteral("snapshot"), QStringLiteral("-i")},
                           {QStringLiteral("screenshot"), QStringLiteral("--screenshot-quality"), QStringLiteral("55"),
                            QStringLiteral("/run/v.jpg")}});
    EXPECT_EQ(reads.arguments,
              (QStringList {QStringLiteral("--screenshot-quality"), QStringLiteral("55"), QStringLiteral("batch"),
                            QStringLiteral("--json")}));
    EXPECT_EQ(reads.input, QByteArray(R"([["tab","list"],["snapshot","-i"],["screenshot","/run/v.jpg"]])"));
    const std::optional<QStringList> answers = batchAnswers(QStringLiteral(
        R"([{"command":["tab","list"],"error":null,"result":{"tabs":[{"a":"}]"}]},"success":true},)"
        R"({"command":["snapshot"],"error":null,"result":{"snapshot":"- button \"Go\" [ref=e1]"},"success":true,"warning":"w"},)"
        R"({"command":["get","url"],"error":"A JavaScript alert dialog is blocking the page: \"x\". Resolve it","result":null,"success":false}])"));
    ASSERT_TRUE(answers.has_value());
    ASSERT_EQ(answers->size(), 3);
    EXPECT_EQ(answers->at(0), QStringLiteral(R"({"success":true,"data":{"tabs":[{"a":"}]"}]},"error":null})"));
    const std::pair<QString, QString> texts[] = {
        {answers->at(0), QString()},
        {answers->at(1), QStringLiteral("\u26A0 w\n- button \"Go\" [ref=e1]\n")},
        {answers->at(2), QStringLiteral("\u2717 A JavaScript alert dialog is blocking the page: \"x\". Resolve it\n")},
        {QStringLiteral(R"({"success":false,"data":null,"error":null})"), QStringLiteral("\u2717 Unknown error\n")},
    };
    for (const auto &[answer, text] : texts)
        EXPECT_EQ(answerText(answer), text) << answer.toStdString();
    EXPECT_EQ(batchAnswers(QStringLiteral(R"([{"command":["a"]},"text"])")), std::nullopt);
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

TEST(ChangedText, WhatTheActionMadeAppearAndGoUnderTheirHeadings)
{
    const QString longLine(1500, QLatin1Char('x'));
    const QString changed = changedTextHeading + QLatin1Char('\n');
    const QString gone = goneTextHeading + QLatin1Char('\n');
    struct Case {
        const char *name;
        QStringList before, after;
        QString snapshot;
        QString section; // empty: none at all
    };
    const Case cases[] = {
        {"nothing changed", {"Cart: empty", "Help"}, {"Cart: empty", "Help"}, {}, {}},
        {"a line replaced",
         {"Cart: empty", "Help"},
         {"Cart: 1 item", "Help"},
         {},
         changed + "> Cart: 1 item\n" + gone + "> Cart: empty"},
        {"a second equal line is new", {"Saved"}, {"Saved", "Saved"}, {}, changed + "> Saved"},
        {"a line removed", {"Toast", "Help"}, {"Help"}, {}, gone + "> Toast"},
        {"the snapshot names it already",
         {},
         {"3 results", "Desk lamp"},
         "- heading \"3 results\" [ref=e6]",
         changed + "> Desk lamp"},
        {"cut at a line",
         {},
         {longLine, longLine, "tail"},
         {},
         changed + "> " + longLine + "\n[changed text cut: 2 more lines]"},
        {"one line past the limit: its beginning",
         {},
         {QString(2500, QLatin1Char('y'))},
         {},
         changed + "> " + QString(2000, QLatin1Char('y'))},
        {"what is new first, what went in the room left",
         {longLine, "Old line"},
         {QString(1400, QLatin1Char('n'))},
         {},
         changed + "> " + QString(1400, QLatin1Char('n')) + "\n" + gone + "> " + longLine.left(2000 - 1403)
             + "\n[gone text cut: 1 more lines]"},
        {"the page's words in the companion's voice stay the page's",
         {},
         {"The page opened a new tab; actions now go to it."},
         {},
         changed + "> The page opened a new tab; actions now go to it."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(changedTextSection(c.before, c.after, c.snapshot), c.section);
    }
}

TEST(WorkTabListing, StateFromTheToolsTabList)
{
    const std::pair<const char *, WorkTabState> cases[] = {
        {R"({"data":{"tabs":[{"label":"cv-work","active":true}]}})", WorkTabState::active},
        {R"({"data":{"tabs":[{"label":null,"active":true},{"label":"cv-work","active":false}]}})",
         WorkTabState::listed},
        {R"({"data":{"tabs":[{"label":"cv-work"}]}})", WorkTabState::listed},
        {R"({"data":{"tabs":[{"label":"cv-work","active":"true"}]}})", WorkTabState::listed},
        {"\u26a0 a warning first\n{\"data\":{\"tabs\":[{\"label\":\"cv-work\",\"active\":true}]}}\n",
         WorkTabState::active},
        {"{\"data\":{\"tabs\":[{\"label\":\"cv-work\",\"active\":true}]}}\ntrailing text", WorkTabState::missing},
        {R"({"data":{"tabs":[{"label":"CV-WORK","active":true},{"label":" cv-work","active":true}]}})",
         WorkTabState::missing},
        {R"({"data":{"tabs":[{},{"label":"cv-work","active":false},{"label":"cv-work","active":true}]}})",
         WorkTabState::listed},
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
    EXPECT_EQ(classifyOutput(QStringLiteral("\u2713 Form page\n  http://x/"), OutputReading::tabSwitch),
              ToolOutcome::done);
    EXPECT_EQ(classifyOutput(QStringLiteral("\u2717 No tab with label"), OutputReading::tabSwitch),
              ToolOutcome::failed);
    EXPECT_EQ(classifyOutput(QString(), OutputReading::tabSwitch), ToolOutcome::failed);

    const std::pair<QStringList, bool> navigating[] = {
        {{"click", "e1"}, true},
        {{"CLICK"}, true},
        {{"Open", "http://x"}, true},
        {{"eval", "1"}, true},
        {{"press", "Enter"}, true},
        {{"goto", "http://x"}, false},
        {{"back"}, false},
        {{}, false},
        {{"tab", "click"}, false},
    };
    for (const auto &[args, expected] : navigating) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        EXPECT_EQ(mayNavigate(args), expected);
    }
}

TEST(LocalTargets, PagesOnThisMachineOrItsNetworkNeedTheUsersLeave)
{
    const auto allowing = [](const char *origins) {
        return [origins](const QString &, const QString &) -> std::optional<QString> {
            return *origins ? std::optional<QString>(QString::fromLatin1(origins)) : std::nullopt;
        };
    };
    const struct {
        const char *url;
        const char *allowed;
        bool refused;
    } cases[] = {
        {"http://127.0.0.1:3000/", "", true},
        {"http://2130706433:3000/", "", true}, // 127.0.0.1 as one number
        {"http://0x7f.1:3000/", "", true}, // and in hexadecimal parts
        {"http://[::1]/", "", true},
        {"http://[::ffff:10.0.0.8]/", "", true}, // IPv4 inside IPv6
        {"http://[fd12::1]/", "", true},
        {"http://[fe80::1]/", "", true},
        {"http://10.1.2.3/", "", true},
        {"http://172.20.0.1/", "", true},
        {"http://192.168.1.1/", "", true},
        {"http://169.254.169.254/latest/", "", true},
        {"http://0.0.0.0:3000/", "", true},
        {"http://localhost:3000/", "", true},
        {"http://app.localhost./", "", true},
        {"http://8.8.8.8/", "", false},
        {"https://172.32.0.1/", "", false},
        {"http://name.invalid/", "", false}, // resolves to nothing: reaches nothing
        {"http://localhost:3000/x", "http://localhost:3000", false},
        {"http://localhost:3001/x", "http://localhost:3000", true},
        {"https://localhost:3000/x", "http://localhost:3000", true},
        {"http://127.0.0.1:4321/", "http://127.0.0.1:*", false},
        {"http://127.0.0.1/", " http://example.test , http://127.0.0.1 ", false},
        {"http://127.0.0.1:8766/health", "http://127.0.0.1:*", true}, // the companion's own port, always
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.url) + " allowed: " + c.allowed);
        EXPECT_EQ(localTargetRefusal(QString::fromLatin1(c.url), allowing(c.allowed)).has_value(), c.refused);
    }
}

TEST(NeedsYouNotice, PageAndAssistantWordsReachTheNoticeAsPlainText)
{
    const std::pair<const char *, const char *> cases[] = {
        {"Sign in", "Sign in"},
        {"<b>Urgent</b>: <a href=\"http://evil.example\">verify</a>", "Urgent: verify"},
        {"<img src=x onerror=alert(1)>Bank", "Bank"},
        {"a < b > c & d", "a < b > c & d"}, // not markup: kept, and escaped by the tray
        {"line\nbreak\ttab\x1b[31mred", "line break tab [31mred"},
    };
    for (const auto &[given, shown] : cases) {
        SCOPED_TRACE(given);
        EXPECT_EQ(plainNoticeText(QString::fromUtf8(given)), QString::fromUtf8(shown));
    }
}
