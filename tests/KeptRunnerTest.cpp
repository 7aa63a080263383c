// The kept connection against the tool's own program, command by command:
// every command the driver sends, run once through the program and once as
// a request on the kept connection, on the same page in a real Chromium,
// reads the same to the driver (the same outcome, the same text).

#include "driver/KeptRunner.h"
#include "driver/AgentRunner.h"
#include "driver/ToolRequests.h"

#include "BrowserSuite.h"
#include "EventChecks.h"

#include "UserPaths.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace corvane;

namespace {

constexpr qint64 port = test::BrowserStage::chromePort;

// What differs between two runs of one command and means nothing: the refs
// and tab ids the tool numbers afresh, Chrome's target ids.
QString comparable(QString output)
{
    output.replace(QRegularExpression(QStringLiteral("\\be[0-9]+\\b")), QStringLiteral("e#"));
    output.replace(QRegularExpression(QStringLiteral("\\bt[0-9]+\\b")), QStringLiteral("t#"));
    output.replace(QRegularExpression(QStringLiteral("[0-9A-F]{32}")), QStringLiteral("<target>"));
    return output;
}

struct Row {
    QStringList command;
    OutputReading reading;
    QList<QStringList> before = {};
    QList<QStringList> after = {};
};

} // namespace

class KeptRunning : public test::BrowserSuite {
protected:
    static void SetUpTestSuite()
    {
        startStage();
        servePages({
            {"/",
             "<!doctype html><title>Table</title><button id=\"go\" onclick=\"document.title='Went'\">Go</button>"
             "<input id=\"q\" aria-label=\"Query\"><select id=\"s\"><option>a</option><option>b</option>"
             "</select><p id=\"p\">Some text</p><a href=\"/other\">Other</a>"},
            {"/other", "<!doctype html><title>Other</title><p>Elsewhere</p>"},
        });
    }
};

TEST_F(KeptRunning, EveryCommandTheDriverSendsReadsAsTheProgramPrintsIt)
{
    const QString start = QString::fromLatin1(pages->url("/"));
    const QString other = QString::fromLatin1(pages->url("/other"));
    const QString shot = platform::temporaryDir() + QStringLiteral("kept-table.jpg");
    using R = OutputReading;
    const QStringList newTab {QStringLiteral("tab"), QStringLiteral("new"), QStringLiteral("--label"),
                              QStringLiteral("cv-work-table"), start};
    const QStringList closeTab {QStringLiteral("tab"), QStringLiteral("close"), QStringLiteral("cv-work-table")};
    const Row rows[] = {
        {{"open", start}, R::open},
        {{"--json", "get", "title"}, R::data},
        {{"--json", "get", "url"}, R::data},
        {{"tab", "list", "--json"}, R::data},
        {newTab, R::open, {}, {closeTab}},
        {{"tab", "cv-work-table"}, R::tabSwitch, {newTab}, {closeTab}},
        {closeTab, R::command, {newTab}},
        {{"snapshot", "-i", "-c"}, R::snapshot},
        {{"snapshot", "-i"}, R::snapshot},
        {{"snapshot"}, R::command},
        {{"snapshot", "-i", "-c"}, R::pageAfterAction},
        {{"click", "#go"}, R::action},
        {{"click", "#missing"}, R::action},
        {{"fill", "#q", "hello --json"}, R::action},
        {{"type", "#q", "xy"}, R::command},
        {{"press", "Tab"}, R::action},
        {{"select", "#s", "b"}, R::action},
        {{"hover", "#go"}, R::action},
        {{"scroll", "down"}, R::action},
        {{"scroll", "down", "500"}, R::command},
        {{"back"}, R::action, {{"open", other}}},
        {{"wait", "--load", "domcontentloaded"}, R::action},
        {{"wait", "--fn", "document.URL !== 'about:blank' && document.readyState !== 'loading'"}, R::action},
        {{"wait", "--text", "Some text", "--timeout", "2000"}, R::action},
        {{"wait", "--text", "Never there", "--timeout", "300"}, R::action},
        {{"screenshot", "--screenshot-format", "jpeg", "--screenshot-quality", "55", shot}, R::action},
        {{"eval", "({a: [1, {b: 'x'}], e: [], o: {}, n: null})"}, R::command},
        {{"eval", "document.title"}, R::command},
        {{"eval", "throw new Error('no')"}, R::command},
        {{"get", "text", "#p"}, R::command},
        {{"dialog", "status"}, R::command},
        {{"dialog", "dismiss"}, R::command},
    };
    AgentRunner program;
    KeptRunner kept;
    const auto prepare = [&](const QList<QStringList> &commands) {
        kept.run({QStringLiteral("open"), start}, port, 20, R::open);
        for (const QStringList &command : commands)
            kept.run(command, port, 20, R::command);
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.command.join(QLatin1Char(' ')).toStdString());
        ASSERT_TRUE(toolRequest(row.command).has_value()) << "the table has no request for it";
        prepare(row.before);
        const ToolRun printed = program.run(row.command, port, 20, row.reading);
        prepare(row.after);
        prepare(row.before);
        const ToolRun sent = kept.run(row.command, port, 20, row.reading);
        prepare(row.after);
        EXPECT_EQ(sent.outcome, printed.outcome) << sent.output.toStdString() << "\n" << printed.output.toStdString();
        EXPECT_EQ(comparable(sent.output), comparable(printed.output));
        EXPECT_EQ(sent.dialog.has_value(), printed.dialog.has_value());
    }
    // A page read as the driver batches it.
    const QList<BatchStep> reads {{{"get", "title"}, R::data},
                                  {{"get", "url"}, R::data},
                                  {{"screenshot", "--screenshot-format", "jpeg", "--screenshot-quality", "55", shot},
                                   R::action}};
    const QList<ToolRun> printed = program.runBatch(reads, port, 20);
    const QList<ToolRun> sent = kept.runBatch(reads, port, 20);
    ASSERT_EQ(sent.size(), printed.size());
    for (qsizetype i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].outcome, printed[i].outcome);
        EXPECT_EQ(comparable(sent[i].output), comparable(printed[i].output));
    }
    // All of it over one connection.
    EXPECT_EQ(home->logged(QStringLiteral("agent.kept")).size(), 1);
}
