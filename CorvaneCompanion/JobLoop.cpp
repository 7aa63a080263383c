#include "JobLoop.h"

#include "diagnostics/EventLog.h"

#include "Dispatch.h"

namespace corvane {

namespace {

constexpr double retryAfterClosed = 2.0;

} // namespace

// One generation's thread. It holds copies of what it needs and reaches the
// loop object only through the anchor, which outlives it harmlessly.
struct JobLoop::Thread {
    Hooks hooks;
    std::shared_ptr<std::atomic<double>> lastConnect;
    std::shared_ptr<Anchor> anchor;
    qint64 generation;
    std::stop_token stop;

    void run()
    {
        const std::optional<CompanionLink> link = loadLink();
        if (!link) {
            companionLog(QStringLiteral("socket.skip"), {{QStringLiteral("reason"), QStringLiteral("link-gone")}});
            return ended(std::nullopt);
        }
        const QString label = chatHostLabel(link->host);
        companionLog(QStringLiteral("socket.open"), {{QStringLiteral("host"), label}});
        LoopResult result = connectOnce(*link);
        for (;;) {
            companionLog(QStringLiteral("socket.end"),
                         {{QStringLiteral("result"), loopResultWord(result)}, {QStringLiteral("host"), label}});
            if ((result != LoopResult::closed && result != LoopResult::refresh) || stop.stop_requested())
                break;
            const std::optional<CompanionLink> now = loadLink();
            if (!now || *now != *link)
                break;
            companionLog(QStringLiteral("socket.retry"),
                         {{QStringLiteral("host"), label}, {QStringLiteral("why"), loopResultWord(result)}});
            anchor->post([generation = generation](JobLoop &loop) {
                if (generation == loop.generation_)
                    Q_EMIT loop.reconnecting();
            });
            if (result == LoopResult::closed)
                hooks.pause(retryAfterClosed);
            result = connectOnce(*link);
        }
        ended(result);
    }

    LoopResult connectOnce(const CompanionLink &link)
    {
        // A service that ends every connection at once gets no storm.
        const double wait = lastConnect->load() + hooks.connectGap - hooks.now();
        if (wait > 0)
            hooks.pause(wait);
        lastConnect->store(hooks.now());
        return hooks.runSocket(
            link,
            [anchor = anchor, generation = generation, link] {
                anchor->post([generation, link](JobLoop &loop) {
                    if (generation == loop.generation_)
                        Q_EMIT loop.connected(link);
                });
            },
            stop);
    }

    void ended(std::optional<LoopResult> result)
    {
        anchor->post([generation = generation, result](JobLoop &loop) { loop.threadEnded(generation, result); });
    }
};

JobLoop::JobLoop(Hooks hooks, QObject *parent)
    : QObject(parent)
    , hooks_(std::move(hooks))
    , anchor_(Anchor::make(this))
{
}

JobLoop::~JobLoop()
{
    stop_.request_stop();
    anchor_->release();
}

bool JobLoop::start()
{
    const qint64 generation = ++generation_;
    if (!platform::runInBackground([thread = Thread {hooks_, lastConnect_, anchor_, generation,
                                                     stop_.get_token()}]() mutable { thread.run(); }))
        return false;
    ++threads_;
    return true;
}

void JobLoop::silence()
{
    ++generation_;
}

void JobLoop::threadEnded(qint64 generation, std::optional<LoopResult> result)
{
    --threads_;
    if (generation != generation_)
        return;
    if (result)
        Q_EMIT ended(*result);
    else
        Q_EMIT linkGone();
}

} // namespace corvane
