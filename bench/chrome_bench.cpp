// Medians of the calls every browser action pays for: the readiness probe,
// the active port (cached and freshly chosen) and one event-log line.

#include "chrome/ChromeDiscovery.h"
#include "chrome/PortCache.h"
#include "diagnostics/EventLog.h"

#include "Processes.h"

#include "Chromium.h"
#include "TempHome.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Figures {
    double median;
    double p99;
};

Figures measure(int runs, const std::function<void()> &call)
{
    std::vector<double> seconds;
    seconds.reserve(static_cast<size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        call();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return {seconds[seconds.size() / 2], seconds[std::min(seconds.size() - 1, seconds.size() * 99 / 100)]};
}

void report(const char *what, int runs, Figures figures)
{
    std::printf("%-44s %8d runs   median %10.1f us   p99 %10.1f us\n", what, runs, figures.median * 1e6,
                figures.p99 * 1e6);
}

} // namespace

int main(int argc, char **argv)
{
    corvane::test::TempHome home;
    QCoreApplication app(argc, argv);
    using namespace corvane;

    // A Chromium on the companion's own folder, on a port no test uses.
    constexpr qint64 port = 9250;
    test::Chromium chromium(port, companionChromeProfile());
    if (!chromium.start()) {
        std::fprintf(stderr, "Chromium did not start on port %lld\n", static_cast<long long>(port));
        return 1;
    }
    const QString host = QStringLiteral("127.0.0.1");
    chromeIsReady(host, port); // the first request opens the connection

    std::printf("Processes on this machine: %lld\n", static_cast<long long>(platform::processCommandLines().size()));
    report("chromeIsReady probe (live Chromium)", 300, measure(300, [&] { chromeIsReady(host, port); }));
    report("activeChromePort uncached (list + probe)", 50, measure(50, [] { activeChromePort(true); }));
    report("activeChromePort cached", 100000, measure(100000, [] { activeChromePort(false); }));
    // The copy on standard error goes to /dev/null here, as it does for a
    // companion started from the desktop, so the figures stay readable.
    std::fflush(stderr);
    const int savedStderr = ::dup(2);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, 2);
    const Figures logLine = measure(2000, [] {
        companionLog(QStringLiteral("bench.line"),
                     {{QStringLiteral("path"), QStringLiteral("/snapshot")},
                      {QStringLiteral("ok"), QStringLiteral("yes")},
                      {QStringLiteral("chrome"), QStringLiteral("on")}});
    });
    ::dup2(savedStderr, 2);
    ::close(devNull);
    ::close(savedStderr);
    report("companionLog line (file, stderr to /dev/null)", 2000, logLine);
    if (activeChromePort(false) != port)
        std::fprintf(stderr, "warning: the active port is not the benchmark's Chromium\n");
    return 0;
}
