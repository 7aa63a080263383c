// What the companion adds to a browser action: "/snapshot" and "/click"
// through the headless executable's local server, against the same
// agent-browser command sequence run directly. Also the "/health" latency and
// the companion's resident memory after 100 requests.

#include "chrome/ChromeLaunch.h"
#include "chrome/ChromeTarget.h"
#include "driver/AgentRunner.h"
#include "driver/DriverResult.h"
#include "driver/ToolBatch.h"
#include "wire/CompanionPort.h"

#include "Chromium.h"
#include "Eventually.h"
#include "FakeAgentBrowser.h"
#include "LocalHttp.h"
#include "PagePatterns.h"
#include "TempHome.h"
#include "TestHttpServer.h"

#include "Dispatch.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using namespace corvane;

constexpr qint64 chromePort = 9250;
constexpr int rounds = 40;

double secondsOf(const std::function<void()> &call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString runTool(const QStringList &args)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(CORVANE_TEST_AGENT_BROWSER),
               QStringList {QStringLiteral("--cdp"), QString::number(chromePort), QStringLiteral("--session"),
                            agentSessionName(chromePort)}
                   + args);
    tool.waitForFinished(30000);
    return QString::fromUtf8(tool.readAll());
}

// The same command as the companion hands it over: on standard input, to
// the tool's batch command.
QString runToolByInput(const QStringList &args)
{
    const ToolInvocation invocation = toolInvocation(args);
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(CORVANE_TEST_AGENT_BROWSER),
               QStringList {QStringLiteral("--cdp"), QString::number(chromePort), QStringLiteral("--session"),
                            agentSessionName(chromePort)}
                   + invocation.arguments);
    tool.write(invocation.input);
    tool.closeWriteChannel();
    tool.waitForFinished(30000);
    return QString::fromUtf8(tool.readAll());
}

long residentKiB(qint64 pid)
{
    const QString status = QString::fromUtf8(test::readFile(QStringLiteral("/proc/%1/status").arg(pid)));
    const QRegularExpressionMatch rss = QRegularExpression(QStringLiteral(R"(VmRSS:\s+(\d+) kB)")).match(status);
    return rss.hasMatch() ? rss.captured(1).toLong() : -1;
}

void compare(const char *what, std::vector<double> companion, std::vector<double> direct)
{
    const double c = median(std::move(companion));
    const double d = median(std::move(direct));
    std::printf("%-10s companion %8.1f ms   direct %8.1f ms   ratio %.3f\n", what, c * 1e3, d * 1e3, c / d);
}

} // namespace

int main(int argc, char **argv)
{
    test::TempHome home;
    QCoreApplication app(argc, argv);
    if (!test::linkRealAgentBrowser()) {
        std::fprintf(stderr, "agent-browser is not installed where ./dev puts it\n");
        return 1;
    }
    test::ScopedEnv port("CORVANE_CHROME_PORT", QString::number(chromePort));
    test::Chromium chromium(chromePort, companionChromeProfile());
    if (!chromium.start()) {
        std::fprintf(stderr, "Chromium did not start on port %lld\n", static_cast<long long>(chromePort));
        return 1;
    }
    test::TestHttpServer pages(
        test::htmlPages({{"/form.html",
                          "<!doctype html><title>Form page</title><input aria-label=\"Query\">"
                          "<button onclick=\"window.count=(window.count||0)+1\">Count</button>"}}));

    QProcess companion;
    companion.setStandardErrorFile(QProcess::nullDevice());
    companion.start(QStringLiteral(CORVANE_COMPANION_EXECUTABLE), {QStringLiteral("--headless")});
    if (!companion.waitForStarted(5000)
        || !test::eventually([] { return test::postJson(companionPort, "/health").answered; }, 10)) {
        std::fprintf(stderr, "the companion did not answer on port %d\n", companionPort);
        return 1;
    }

    test::postJson(companionPort, "/open", {{"url", QString::fromLatin1(pages.url("/form.html"))}});
    const QString snapshot = test::postJson(companionPort, "/snapshot").json().value(QStringLiteral("text")).toString();
    const QString ref
        = QRegularExpression(QStringLiteral(R"(button "Count" \[ref=(e\d+)\])")).match(snapshot).captured(1);
    if (ref.isEmpty()) {
        std::fprintf(stderr, "no button in the snapshot: %s\n", qPrintable(snapshot));
        return 1;
    }

    // Measured once Chromium has settled after its start and the page is open.
    std::vector<double> health;
    for (int i = 0; i < 100; ++i)
        health.push_back(secondsOf([] { test::postJson(companionPort, "/health"); }));
    std::printf("/health    median %.2f ms over 100 requests\n", median(health) * 1e3);
    std::printf("companion resident memory after about 100 requests: %ld KiB\n", residentKiB(companion.processId()));

    const QStringList listing {QStringLiteral("tab"), QStringLiteral("list"), QStringLiteral("--json")};
    const QStringList snap {QStringLiteral("snapshot"), QStringLiteral("-i"), QStringLiteral("-c")};
    std::vector<double> snapshotCompanion, snapshotDirect, clickCompanion, clickDirect;
    const auto snapshotThroughCompanion
        = [&] { snapshotCompanion.push_back(secondsOf([] { test::postJson(companionPort, "/snapshot"); })); };
    const auto snapshotDirectly = [&] {
        snapshotDirect.push_back(secondsOf([&] {
            runTool(listing);
            runTool(snap);
        }));
    };
    const auto clickThroughCompanion = [&] {
        clickCompanion.push_back(secondsOf([&] { test::postJson(companionPort, "/click", {{"ref", ref}}); }));
    };
    const auto clickDirectly = [&] {
        clickDirect.push_back(secondsOf([&] {
            runTool(listing);
            runTool(snap);
            runTool({QStringLiteral("click"), ref});
            platform::sleepFor(0.3);
            runTool(snap);
            runTool({QStringLiteral("--json"), QStringLiteral("get"), QStringLiteral("url")});
            runTool({QStringLiteral("--json"), QStringLiteral("get"), QStringLiteral("title")});
        }));
    };
    // Interleaved, and each side first in every other round, so that drift in
    // the machine's load and what one side leaves behind hit both alike.
    for (int i = 0; i < rounds; ++i) {
        if (i % 2 == 0) {
            snapshotThroughCompanion();
            snapshotDirectly();
            clickThroughCompanion();
            clickDirectly();
        } else {
            snapshotDirectly();
            snapshotThroughCompanion();
            clickDirectly();
            clickThroughCompanion();
        }
    }
    compare("/snapshot", snapshotCompanion, snapshotDirect);
    compare("/click", clickCompanion, clickDirect);

    // What handing a step's command over on standard input costs against
    // its arguments: one tool run each way, alternating.
    const QString field
        = QRegularExpression(QStringLiteral(R"(textbox "Query" \[ref=(e\d+)\])")).match(snapshot).captured(1);
    const QStringList fill {QStringLiteral("fill"), field, QStringLiteral("a typed text of some length")};
    std::vector<double> fillArgv, fillInput, snapArgv, snapInput;
    for (int i = 0; i < rounds; ++i) {
        fillArgv.push_back(secondsOf([&] { runTool(fill); }));
        fillInput.push_back(secondsOf([&] { runToolByInput(fill); }));
        snapInput.push_back(secondsOf([&] { runToolByInput(snap); }));
        snapArgv.push_back(secondsOf([&] { runTool(snap); }));
    }
    std::printf("fill       standard input %5.1f ms   arguments %5.1f ms\n", median(fillInput) * 1e3,
                median(fillArgv) * 1e3);
    std::printf("snapshot   standard input %5.1f ms   arguments %5.1f ms\n", median(snapInput) * 1e3,
                median(snapArgv) * 1e3);
    std::printf("companion resident memory at the end: %ld KiB\n", residentKiB(companion.processId()));

    // Everyday page patterns, in rounds of all of them: some leave the page
    // in the state the next one starts from (a dialog open, then answered).
    test::PatternSite site;
    const QList<test::PagePattern> patterns = site.patterns();
    std::vector<std::vector<double>> seconds(static_cast<size_t>(patterns.size()));
    std::vector<QString> last(static_cast<size_t>(patterns.size()));
    for (int round = 0; round < 5; ++round) {
        for (qsizetype i = 0; i < patterns.size(); ++i) {
            const test::PatternRun run = test::runPattern(patterns[i], companionPort);
            seconds[static_cast<size_t>(i)].push_back(run.seconds);
            last[static_cast<size_t>(i)] = !run.failure.isEmpty()
                ? QStringLiteral("could not run")
                : (run.ok ? QStringLiteral("ok: ") : QStringLiteral("not ok: ")) + run.text.simplified().left(70);
        }
    }
    std::printf("page pattern                 median s of 5   last answer\n");
    for (qsizetype i = 0; i < patterns.size(); ++i) {
        std::printf("%-28s %8.2f        %s\n", qPrintable(patterns[i].name), median(seconds[static_cast<size_t>(i)]),
                    qPrintable(last[static_cast<size_t>(i)]));
    }

    companion.terminate();
    companion.waitForFinished(5000);
    chromium.stop();
    test::stopAgentBrowserSessions();
    return 0;
}
