#include "diagnostics/SparseLog.h"

#include "Dispatch.h"

#include <QHash>

#include <mutex>
#include <utility>

namespace corvane {

void logSparingly(const QString &event, const QString &key, Fields fields)
{
    struct Tally {
        double loggedAt = -sparseLogEvery;
        int count = 0;
    };
    static std::mutex mutex;
    static QHash<QString, Tally> tallies;
    int count = 0;
    {
        std::lock_guard lock(mutex);
        Tally &tally = tallies[event + QLatin1Char('\n') + key];
        ++tally.count;
        const double now = platform::monotonicSeconds();
        if (now - tally.loggedAt < sparseLogEvery)
            return;
        tally.loggedAt = now;
        count = std::exchange(tally.count, 0);
    }
    fields.insert(QStringLiteral("count"), QString::number(count));
    companionLog(event, fields);
}

} // namespace corvane
