// Everyday page patterns through the real executable, the real agent-browser
// and a headless Chromium, on pages this test serves from 127.0.0.1: what the
// last step of each must say, and no step past its bound (the pattern's own
// waits plus 2 s): a job that stalls is a failure.

#include "driver/PageView.h"
#include "driver/WorkTab.h"
#include "wire/CompanionPort.h"

#include "BrowserStage.h"
#include "CompanionProcess.h"
#include "EventChecks.h"
#include "PagePatterns.h"
#include "TempHome.h"

#include "Dispatch.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>

using namespace corvane;

namespace {

const QString confirmText = QStringLiteral("The page is showing a confirm dialog: \"sure?\". Answer it with the cli "
                                           "command \"dialog accept\" or \"dialog dismiss\".");

bool has(const test::PatternRun &run, const QString &part)
{
    return run.text.contains(part);
}

} // namespace

TEST(PagePatterns, EachPatternEndsInTimeAndSaysWhatHappened)
{
    test::BrowserStage stage;
    ASSERT_TRUE(stage.toolLinked) << "agent-browser is not installed where ./dev puts it";
    ASSERT_TRUE(stage.ensureChromium());
    test::PatternSite site;
    test::CompanionProcess companion;
    ASSERT_TRUE(companion.waitListening());

    using Expect = std::function<void(const test::PatternRun &, const QList<test::LoggedEvent> &events)>;
    const QMap<QString, Expect> expected {
        {"confirm dialog",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &events) {
             EXPECT_FALSE(run.ok);
             EXPECT_EQ(run.text, confirmText);
             EXPECT_TRUE(test::hasEvent(events, "dialog.blocking", {{"kind", "confirm"}}));
         }},
        {"a job while it is open",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_FALSE(run.ok);
             EXPECT_EQ(run.text, confirmText);
         }},
        {"confirm answered by cli",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_TRUE(run.ok);
             EXPECT_TRUE(has(run, QStringLiteral("Answered yes")));
         }},
        {"alert",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_TRUE(run.ok);
             EXPECT_TRUE(has(run, QStringLiteral("After alert")));
         }},
        {"beforeunload on open",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_TRUE(run.ok);
             EXPECT_TRUE(has(run, QStringLiteral("About")));
         }},
        {"target=_blank",
         [&](const test::PatternRun &run, const QList<test::LoggedEvent> &events) {
             EXPECT_TRUE(run.ok);
             EXPECT_TRUE(has(run, QStringLiteral("About button")));
             EXPECT_TRUE(
                 test::hasEvent(events, "worktab.follow", {{"url", QString::fromLatin1(site.url("/about.html"))}}));
         }},
        {"popup that closes itself",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &events) {
             EXPECT_TRUE(run.ok);
             EXPECT_TRUE(has(run, QStringLiteral("Welcome back")));
             EXPECT_TRUE(test::hasEvent(events, "worktab.fallback"));
         }},
        {"same-origin frame form",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_TRUE(has(run, QStringLiteral("sent inner")));
         }},
        {"cross-origin frame form",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_TRUE(has(run, QStringLiteral("sent outer")));
         }},
        {"load never finishes",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_TRUE(run.ok);
             EXPECT_TRUE(has(run, QStringLiteral("Ready")));
         }},
        {"body replaced, stale ref",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_FALSE(run.ok);
             EXPECT_FALSE(has(run, QStringLiteral("\u2713 Done")));
         }},
        {"5,000 links",
         [](const test::PatternRun &run, const QList<test::LoggedEvent> &) {
             EXPECT_TRUE(run.ok);
             EXPECT_LE(run.text.size(), snapshotTextLimit + 120);
             const QRegularExpression footer(QStringLiteral(
                 R"(\n- link "Link number \d+" \[ref=e\d+\]\n\[snapshot cut: \d+ more lines; scroll, or run cli "snapshot -i -c -s <selector>"\]$)"));
             EXPECT_TRUE(footer.match(run.text).hasMatch()) << run.text.right(200).toStdString();
         }},
        {"download link", [](const test::PatternRun &run, const QList<test::LoggedEvent> &) { EXPECT_TRUE(run.ok); }},
    };

    for (const test::PagePattern &pattern : site.patterns()) {
        SCOPED_TRACE(pattern.name.toStdString());
        const qsizetype eventsBefore = stage.home.events().size();
        const bool failedBefore = HasFailure();
        const test::PatternRun run = test::runPattern(pattern, companionPort);
        ASSERT_TRUE(run.failure.isEmpty()) << run.failure.toStdString();
        for (qsizetype i = 0; i < run.stepSeconds.size(); ++i)
            EXPECT_LE(run.stepSeconds[i], pattern.steps[i].bound)
                << "step " << i << " (" << pattern.steps[i].path.constData() << ") stalled";
        ASSERT_TRUE(expected.contains(pattern.name));
        expected[pattern.name](run, stage.home.logged().mid(eventsBefore));
        if (!failedBefore && HasFailure())
            ADD_FAILURE() << "last text: " << run.text.left(600).toStdString();
    }
}
