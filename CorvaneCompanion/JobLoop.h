#pragma once

// The job loop: while a link is stored, a thread of its own keeps the link's
// socket connection running. It reconnects in place after "closed" (2
// seconds later) and "refresh" (at once) while the stored link is the same,
// and ends with any other result. Every start is a new generation; only the
// newest generation's reports reach the application, so a disconnect or a
// quit silences every loop still running. The loop's end stops them all.

#include "link/LinkState.h"
#include "link/LinkStore.h"

#include "MainThreadAnchor.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <stop_token>

namespace corvane {

class JobLoop : public QObject {
    Q_OBJECT
public:
    // The outside world as the loop reaches it; tests replace parts.
    struct Hooks {
        // One socket connection for a link; blocks its thread and calls
        // `ready` once its handshake has completed. Ends soon once `stop` is
        // requested.
        std::function<LoopResult(const CompanionLink &, std::function<void()> ready, std::stop_token stop)> runSocket;
        std::function<void(double seconds)> pause;
        std::function<double()> now; // monotonic seconds
        // However connections end, at most one is opened this often.
        double connectGap = 1.0;
    };

    explicit JobLoop(Hooks hooks, QObject *parent = nullptr);
    // Asks every loop thread to stop; they end on their own shortly after.
    ~JobLoop() override;

    // Starts a new generation for the stored link; older ones are silenced.
    // False when no thread could be started.
    bool start();
    // No running loop's report is acted on from now.
    void silence();

    qint64 generation() const { return generation_; }
    // A loop thread, of this generation or an older one, is still going.
    bool running() const { return threads_ > 0; }

Q_SIGNALS:
    // Reports of the newest generation, on the loop's own (main) thread.
    void connected(const CompanionLink &link); // a handshake completed
    void reconnecting(); // a connection is opened again in place
    void ended(LoopResult result); // the loop ended with this result
    void linkGone(); // there was no link to connect with

private:
    using Anchor = platform::MainThreadAnchor<JobLoop>;
    struct Thread;

    // From a loop thread: it is over, with its last result or without a link.
    void threadEnded(qint64 generation, std::optional<LoopResult> result);

    Hooks hooks_;
    qint64 generation_ = 0;
    int threads_ = 0;
    std::shared_ptr<Anchor> anchor_;
    std::stop_source stop_;
    // When the last connection was opened, across generations.
    std::shared_ptr<std::atomic<double>> lastConnect_ = std::make_shared<std::atomic<double>>(-1e9);
};

} // namespace corvane
