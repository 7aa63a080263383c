// The local server under load: "/health" latency from 32 concurrent clients,
// alone and while 200 idle connections are open, with the companion's threads
// and resident memory in each case; and what the checks a request passes
// before the driver (framing, the web-page test, the peer's user) cost.

#include "BenchTiming.h"

#include "wire/CompanionPort.h"
#include "wire/HttpMessage.h"

#include "CompanionProcess.h"
#include "LocalHttp.h"
#include "TempHome.h"

#include "Dispatch.h"
#include "PeerUser.h"

#include <QCoreApplication>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace corvane;

void reportMicros(const QByteArray &what, const std::vector<double> &timesMs)
{
    std::printf("%s: median %.1f us, p99 %.1f us (%zu runs)\n", what.constData(),
                bench::percentile(timesMs, 0.5) * 1000.0, bench::percentile(timesMs, 0.99) * 1000.0, timesMs.size());
}

constexpr int clients = 32;
constexpr int requestsPerClient = 40;

int connectTo(quint16 port, bool wait)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    return fd;
}

// 32 clients asking "/health" at once; the peak thread count is sampled meanwhile.
void healthUnderLoad(const char *what, qint64 pid)
{
    std::vector<double> times;
    std::mutex timesLock;
    std::atomic<bool> done {false};
    int peakThreads = 0;
    std::thread sampler([&] {
        while (!done) {
            peakThreads = std::max(peakThreads, test::threadCount(pid));
            platform::sleepFor(0.005);
        }
    });
    std::vector<std::thread> workers;
    for (int c = 0; c < clients; ++c) {
        workers.emplace_back([&] {
            const std::vector<double> mine
                = bench::timesInMs(requestsPerClient, [] { test::postJson(companionPort, "/health"); });
            std::lock_guard lock(timesLock);
            times.insert(times.end(), mine.begin(), mine.end());
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    done = true;
    sampler.join();
    bench::report(what, times);
    std::printf("  companion: %d threads at most, %lld KiB resident after\n", peakThreads,
                static_cast<long long>(test::residentKiB(pid)));
}

} // namespace

int main(int argc, char **argv)
{
    test::TempHome home;
    QCoreApplication app(argc, argv);

    {
        test::CompanionProcess companion;
        if (!companion.waitListening()) {
            std::fprintf(stderr, "the companion did not start listening\n");
            return 1;
        }
        std::printf("idle companion: %d threads, %lld KiB resident\n", test::threadCount(companion.pid()),
                    static_cast<long long>(test::residentKiB(companion.pid())));
        healthUnderLoad("/health, 32 clients", companion.pid());

        std::vector<int> idle;
        for (int i = 0; i < 200; ++i)
            idle.push_back(connectTo(companionPort, false));
        platform::sleepFor(0.5);
        std::printf("with 200 idle connections: %d threads, %lld KiB resident\n", test::threadCount(companion.pid()),
                    static_cast<long long>(test::residentKiB(companion.pid())));
        healthUnderLoad("/health, 32 clients beside 200 idle connections", companion.pid());
        for (const int fd : idle)
            ::close(fd);
    }

    // The checks alone, in this process.
    const QByteArray request
        = "POST /open HTTP/1.1\r\nHost: 127.0.0.1:8766\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n"
          "Content-Type: application/json\r\nContent-Length: 28\r\n\r\n{\"url\":\"http://example.com\"}";
    const std::vector<double> framing = bench::timesInMs(20000, [&] {
        RequestFraming frame;
        frame.append(request);
        const LoopbackRequest parsed = parseRequest(frame.bytes());
        (void)refusalOf(frame, true, parsed);
    });
    reportMicros("framing, parsing and the web-page test of one request", framing);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(listener, 512);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const quint16 port = ntohs(address.sin_port);
    std::vector<int> open;
    for (const int sockets : {1, 200, 1000}) {
        while (static_cast<int>(open.size()) < sockets) {
            open.push_back(connectTo(port, true));
            open.push_back(::accept(listener, nullptr, nullptr));
        }
        const int accepted = open.back();
        const QByteArray among = " among " + QByteArray::number(sockets * 2) + " sockets";
        reportMicros("the peer's user, kernel query" + among,
                     bench::timesInMs(2000, [&] { (void)platform::socketPeerUser(accepted); }));
        reportMicros("the peer's user, /proc/net/tcp" + among,
                     bench::timesInMs(500, [&] { (void)platform::socketPeerUserFromTable(accepted); }));
    }
    for (const int fd : open)
        ::close(fd);
    ::close(listener);
    return 0;
}
