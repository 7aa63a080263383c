#include "Dispatch.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace corvane::platform {

namespace {

// The threads runInBackground started, and whether the program is ending.
// Never destroyed: a thread's last step is to count itself out here.
struct BackgroundThreads {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    std::atomic<bool> finishing {false};
    std::vector<std::function<void()>> wakes;
};

BackgroundThreads &backgroundThreads()
{
    static auto *threads = new BackgroundThreads;
    return *threads;
}

void countOut(BackgroundThreads &threads)
{
    std::lock_guard lock(threads.mutex);
    if (--threads.running == 0)
        threads.ended.notify_all();
}

} // namespace

bool runInBackground(std::function<void()> work)
{
    BackgroundThreads &threads = backgroundThreads();
    {
        std::lock_guard lock(threads.mutex);
        ++threads.running;
    }
    try {
        std::thread([work = std::move(work), &threads]() mutable {
            work();
            work = nullptr; // what it holds goes before the thread counts as ended
            countOut(threads);
        }).detach();
        return true;
    } catch (const std::system_error &) {
        countOut(threads);
        return false;
    }
}

bool finishBackgroundWork(double seconds)
{
    BackgroundThreads &threads = backgroundThreads();
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard lock(threads.mutex);
        threads.finishing = true;
        wakes = threads.wakes;
    }
    for (const std::function<void()> &wake : wakes)
        wake();
    std::unique_lock lock(threads.mutex);
    return threads.ended.wait_for(lock, std::chrono::duration<double>(std::max(seconds, 0.0)),
                                  [&threads] { return threads.running == 0; });
}

bool backgroundWorkFinishing()
{
    return backgroundThreads().finishing;
}

void whenFinishing(std::function<void()> wake)
{
    BackgroundThreads &threads = backgroundThreads();
    std::lock_guard lock(threads.mutex);
    threads.wakes.push_back(std::move(wake));
}

namespace {

constexpr double workerIdleSeconds = 30.0;

} // namespace

struct WorkQueue::Shared {
    const int workers;
    const int capacity;
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::function<void()>> waiting;
    int threads = 0; // started and not yet ended
    int idle = 0; // of those, waiting for work

    Shared(int workers, int capacity)
        : workers(workers)
        , capacity(capacity)
    {
    }

    static void serve(const std::shared_ptr<Shared> &self)
    {
        std::unique_lock lock(self->mutex);
        for (;;) {
            ++self->idle;
            const bool got = self->arrived.wait_for(lock, std::chrono::duration<double>(workerIdleSeconds), [&] {
                return !self->waiting.empty() || backgroundWorkFinishing();
            });
            --self->idle;
            if (!got || self->waiting.empty()) {
                --self->threads;
                return;
            }
            std::function<void()> work = std::move(self->waiting.front());
            self->waiting.pop_front();
            lock.unlock();
            work();
            work = nullptr; // whatever it holds goes before the lock is taken again
            lock.lock();
        }
    }
};

WorkQueue::WorkQueue(int workers, int capacity)
    : shared_(std::make_shared<Shared>(std::max(workers, 1), std::max(capacity, 0)))
{
    // Idle threads end when the program does, not a while later.
    whenFinishing([weak = std::weak_ptr<Shared>(shared_)] {
        if (const std::shared_ptr<Shared> shared = weak.lock()) {
            std::lock_guard lock(shared->mutex);
            shared->arrived.notify_all();
        }
    });
}

bool WorkQueue::post(std::function<void()> work)
{
    std::unique_lock lock(shared_->mutex);
    if (static_cast<int>(shared_->waiting.size()) >= shared_->capacity)
        return false;
    shared_->waiting.push_back(std::move(work));
    // An idle thread takes one item; more waiting work than idle threads
    // gets threads of its own, up to the limit.
    if (static_cast<int>(shared_->waiting.size()) <= shared_->idle || shared_->threads >= shared_->workers) {
        shared_->arrived.notify_one();
        return true;
    }
    ++shared_->threads;
    lock.unlock();
    if (runInBackground([shared = shared_] { Shared::serve(shared); }))
        return true;
    lock.lock();
    --shared_->threads;
    if (shared_->threads > 0)
        return true; // another thread will come to it
    shared_->waiting.pop_back();
    return false;
}

int WorkQueue::waiting() const
{
    std::lock_guard lock(shared_->mutex);
    return static_cast<int>(shared_->waiting.size());
}

int WorkQueue::serving() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->threads - shared_->idle;
}

void sleepFor(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void Semaphore::signal()
{
    {
        std::lock_guard lock(mutex_);
        ++count_;
    }
    changed_.notify_one();
}

bool Semaphore::waitFor(double seconds)
{
    using namespace std::chrono;
    const auto wait = duration_cast<steady_clock::duration>(duration<double>(seconds > 0 ? seconds : 0));
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, steady_clock::now() + wait, [this] { return count_ > 0; }))
        return false;
    --count_;
    return true;
}

} // namespace corvane::platform
