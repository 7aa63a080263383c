#include "Dispatch.h"

#include <system_error>
#include <thread>

namespace corvane::platform {

bool runInBackground(std::function<void()> work)
{
    try {
        std::thread(std::move(work)).detach();
        return true;
    } catch (const std::system_error &) {
        return false;
    }
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
