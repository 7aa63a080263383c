// A soak of the chat link: many jobs over the socket while the result
// endpoint takes its time with every copy. Jobs are fed as fast as both
// channels can answer them, so that none is dropped; it prints jobs a second,
// the companion's threads and memory at the start and the end, and whether
// every job was answered exactly once on each channel.
//
//   soak_bench [JOBS [SECONDS_PER_POST]]   (default 10000 jobs, 2 s a post)

#include "link/LinkStore.h"

#include "CompanionProcess.h"
#include "DevChat.h"
#include "Eventually.h"
#include "TempHome.h"

#include "Dispatch.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace {

using namespace corvane;

// What may wait for its HTTP copy at once: below the companion's queue.
constexpr int outstandingLimit = 900;

} // namespace

int main(int argc, char **argv)
{
    test::TempHome home;
    QCoreApplication app(argc, argv);
    const int jobs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    const QString delay = argc > 2 ? QString::fromLatin1(argv[2]) : QStringLiteral("2");

    test::DevChat chat({QStringLiteral("--auto-approve"), QStringLiteral("--result-delay"), delay});
    if (!chat.started())
        return 1;
    saveLink({chat.origin(), newLinkToken()});
    test::CompanionProcess companion;
    if (!companion.waitListening()
        || !test::eventually([&] { return !home.events(QStringLiteral("socket.ready")).isEmpty(); }, 20)) {
        std::fprintf(stderr, "the companion did not connect\n");
        return 1;
    }
    const qint64 pid = companion.pid();
    std::printf("start: %d threads, %lld KiB resident\n", test::threadCount(pid),
                static_cast<long long>(test::residentKiB(pid)));

    const double started = platform::monotonicSeconds();
    int queued = 0;
    int peakThreads = 0;
    QJsonObject stats;
    for (;;) {
        stats = chat.get("/dev/stats");
        const int httpDone
            = stats.value(QStringLiteral("http_once")).toInt() + stats.value(QStringLiteral("http_more")).toInt();
        if (httpDone >= jobs)
            break;
        const int room = std::min(jobs - queued, outstandingLimit - (queued - httpDone));
        if (room > 0) {
            chat.post("/dev/jobs", {{"path", "/health"}, {"count", room}});
            queued += room;
        }
        peakThreads = std::max(peakThreads, test::threadCount(pid));
        platform::sleepFor(0.5);
    }
    const double seconds = platform::monotonicSeconds() - started;
    std::printf("%d jobs in %.0f s: %.2f jobs/s (the result endpoint takes %s s a post)\n", jobs, seconds,
                jobs / seconds, qPrintable(delay));
    std::printf("end: %d threads (at most %d), %lld KiB resident\n", test::threadCount(pid), peakThreads,
                static_cast<long long>(test::residentKiB(pid)));
    std::printf("answered once over the socket: %d, over HTTP: %d; more than once: %d and %d\n",
                stats.value(QStringLiteral("socket_once")).toInt(), stats.value(QStringLiteral("http_once")).toInt(),
                stats.value(QStringLiteral("socket_more")).toInt(), stats.value(QStringLiteral("http_more")).toInt());
    const bool whole = stats.value(QStringLiteral("socket_once")).toInt() == jobs
        && stats.value(QStringLiteral("http_once")).toInt() == jobs;
    std::printf(whole ? "every job was answered exactly once on each channel\n"
                      : "SOME JOBS WERE NOT ANSWERED ONCE ON EACH CHANNEL\n");
    return whole ? 0 : 1;
}
