// A "/health" job from the development chat service through the channel and
// back: the round trip of 1,000 jobs one after another (median and p99, as
// the service measures from sending the job to the socket reply), then a
// soak of 1,000 jobs queued at once, in which every job must be answered
// exactly once on each channel.

#include "chrome/ChromeTarget.h"
#include "driver/Driver.h"
#include "link/LinkStore.h"
#include "link/SocketChannel.h"

#include "Chromium.h"
#include "DevChat.h"
#include "Eventually.h"
#include "TempHome.h"

#include "BenchTiming.h"
#include "Dispatch.h"
#include "UrlSession.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QMap>

#include <algorithm>
#include <cstdio>
#include <future>
#include <vector>

namespace {

using namespace corvane::bench;

using namespace corvane;

constexpr qint64 chromePort = 9250;
constexpr int jobs = 1000;

// How many answers each job id got on one channel.
QMap<QString, int> answersById(const QJsonArray &frames)
{
    QMap<QString, int> count;
    for (const QJsonValue &frame : frames) {
        const QString id = frame.toObject().value(QStringLiteral("id")).toString();
        if (!id.isEmpty())
            ++count[id];
    }
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    test::TempHome home;
    QCoreApplication app(argc, argv);
    // The companion's log goes to its file only; on the terminal it would
    // measure the terminal.
    std::freopen("/dev/null", "w", stderr);

    test::ScopedEnv port("CORVANE_CHROME_PORT", QString::number(chromePort));
    test::Chromium chromium(chromePort, companionChromeProfile());
    test::DevChat chat({QStringLiteral("--auto-approve"), QStringLiteral("--heartbeat"), QStringLiteral("0")});
    if (!chromium.start() || !chat.started()) {
        std::printf("Chromium or the development chat service did not start\n");
        return 1;
    }
    const CompanionLink link {chat.origin(), newLinkToken()};
    saveLink(link);
    Driver driver;
    std::future<LoopResult> channel
        = std::async(std::launch::async, [&] { return runSocket(link, driver, platform::UrlSession::shared()); });

    for (int i = 0; i < 20; ++i) // warm-up
        chat.runJob(QStringLiteral("/health"), {}, 10);

    std::vector<double> roundTrips;
    const double started = platform::monotonicSeconds();
    for (int i = 0; i < jobs; ++i) {
        const QJsonObject job = chat.runJob(QStringLiteral("/health"), {}, 10);
        if (!job.value(QStringLiteral("socket")).toObject().value(QStringLiteral("ok")).toBool()) {
            std::printf("job %d failed: %s\n", i,
                        qPrintable(
                            job.value(QStringLiteral("socket")).toObject().value(QStringLiteral("text")).toString()));
            return 1;
        }
        roundTrips.push_back(job.value(QStringLiteral("ms")).toDouble());
    }
    const double sequential = platform::monotonicSeconds() - started;
    std::printf("round trip of a /health job over %d jobs: median %.2f ms, p99 %.2f ms (%.1f jobs/s one at a time)\n",
                jobs, percentile(roundTrips, 0.5), percentile(roundTrips, 0.99), jobs / sequential);

    const QJsonArray ids
        = chat.post("/dev/jobs", {{"path", "/health"}, {"count", jobs}}).value(QStringLiteral("ids")).toArray();
    const double soakStarted = platform::monotonicSeconds();
    QMap<QString, int> bySocket, byHttp;
    const bool answered = test::eventually(
        [&] {
            const QJsonObject received = chat.get("/dev/received");
            bySocket = answersById(received.value(QStringLiteral("socket")).toArray());
            byHttp = answersById(received.value(QStringLiteral("http")).toArray());
            return std::all_of(ids.begin(), ids.end(), [&](const QJsonValue &id) {
                return bySocket.contains(id.toString()) && byHttp.contains(id.toString());
            });
        },
        300);
    const double soak = platform::monotonicSeconds() - soakStarted;
    int onceEach = 0;
    for (const QJsonValue &id : ids)
        onceEach += bySocket.value(id.toString()) == 1 && byHttp.value(id.toString()) == 1 ? 1 : 0;
    std::printf(
        "soak of %lld jobs queued at once: %s in %.1f s (%.0f jobs/s); answered exactly once on each channel: %d\n",
        static_cast<long long>(ids.size()), answered ? "all answered" : "NOT all answered", soak, ids.size() / soak,
        onceEach);

    clearLink();
    chat.post("/dev/drop", {});
    channel.wait_for(std::chrono::seconds(10));
    return answered && onceEach == ids.size() ? 0 : 1;
}
