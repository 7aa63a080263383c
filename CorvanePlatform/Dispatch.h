#pragma once

// Background work and the blocking waits the rest of the program is built on:
// a thread per long task, semaphores with deadlines, and a one-shot box that a
// completion fills and a waiter takes.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace corvane::platform {

// Runs `work` on a new thread of its own. Long blocking work (a job loop, a
// connection, a result post) must never share a pool capped at the core count.
// False when no thread could be started; `work` is then dropped unrun, never
// an exception that would end the process.
bool runInBackground(std::function<void()> work);

// Quitting: waits until every thread runInBackground started has ended.
// Helpers that idle until more work comes (a work queue's threads, the
// standard-error writer) end as soon as their work is done, and are told so
// through whenFinishing. False when `seconds` passed first.
bool finishBackgroundWork(double seconds);
bool backgroundWorkFinishing();
// `wake` is called once finishing begins (from the finishing thread), so
// that an idle helper's wait can see it.
void whenFinishing(std::function<void()> wake);

// Background work that must not grow without bound: at most `workers`
// threads serve it and at most `capacity` items wait. Threads start when work
// comes and end after a while without any.
class WorkQueue {
public:
    WorkQueue(int workers, int capacity);
    WorkQueue(const WorkQueue &) = delete;
    WorkQueue &operator=(const WorkQueue &) = delete;

    // False when `work` cannot be taken: the queue is full, or no thread
    // serves it and none could be started. It is then dropped unrun.
    bool post(std::function<void()> work);
    int waiting() const;
    int serving() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_; // outlives the queue while threads end
};

void sleepFor(double seconds);

// Monotonic seconds since an arbitrary start; for deadlines and elapsed times.
double monotonicSeconds();

// A condition variable rather than std::counting_semaphore: the library's
// timed acquire polls with growing sleeps, which added milliseconds to every
// wake-up.
class Semaphore {
public:
    void signal();
    // False when the deadline passed first. Negative waits count as zero.
    bool waitFor(double seconds);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// A value handed from a completion (any thread) to one waiter. Shared between
// them, so a completion that arrives after the waiter gave up stays harmless.
template <class T> class OneShot {
public:
    static std::shared_ptr<OneShot> make() { return std::make_shared<OneShot>(); }

    void fulfil(T value)
    {
        {
            std::lock_guard lock(mutex_);
            if (value_)
                return;
            value_ = std::move(value);
        }
        done_.signal();
    }

    // The value, or nothing when the deadline passed first.
    std::optional<T> waitFor(double seconds)
    {
        if (!done_.waitFor(seconds))
            return std::nullopt;
        std::lock_guard lock(mutex_);
        return value_;
    }

private:
    Semaphore done_;
    std::mutex mutex_;
    std::optional<T> value_;
};

} // namespace corvane::platform
