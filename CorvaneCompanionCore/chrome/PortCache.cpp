#include "chrome/PortCache.h"

#include "chrome/ChromeDiscovery.h"

#include <QDateTime>

#include <algorithm>
#include <mutex>
#include <optional>

namespace corvane {

namespace {

struct ChosenPort {
    qint64 port;
    qint64 atMs;
};

std::mutex chosenLock;
std::optional<ChosenPort> chosenPort;

} // namespace

bool portChoiceIsFresh(qint64 chosenAtMs, qint64 nowMs)
{
    return static_cast<double>(nowMs - chosenAtMs) / 1000.0 < portCacheLifetime;
}

qint64 activeChromePort(bool refresh)
{
    if (!refresh) {
        std::optional<ChosenPort> cached;
        {
            std::lock_guard lock(chosenLock);
            cached = chosenPort;
        }
        if (cached && portChoiceIsFresh(cached->atMs, QDateTime::currentMSecsSinceEpoch()))
            return cached->port;
    }

    // Listing and probes run outside the lock; two threads may both compute,
    // and the later store wins.
    qint64 port = chromeDebugPort;
    if (const auto running = runningChrome(currentChromeTarget())) {
        port = running->port;
    } else {
        QList<qint64> candidates = chromeDebugPorts();
        // Driving a Chrome on another folder would mean the user's own tabs
        // and sessions: past the candidates, look for a free port instead.
        for (qint64 spare = std::max(chromeKnownPorts().last(), candidates.last()) + 1; spare <= lastSparePort; ++spare)
            candidates.append(spare);
        // A port anything listens on is not free: a Chrome of another folder,
        // or another account's program waiting to be taken for ours.
        for (const qint64 candidate : candidates) {
            if (portListener(candidate) == PortListener::nobody) {
                port = candidate;
                break;
            }
        }
    }

    std::lock_guard lock(chosenLock);
    chosenPort = ChosenPort {port, QDateTime::currentMSecsSinceEpoch()};
    return port;
}

} // namespace corvane
