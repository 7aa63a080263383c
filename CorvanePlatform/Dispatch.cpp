#include "Dispatch.h"

#include <thread>

namespace corvane::platform {

void runInBackground(std::function<void()> work)
{
    std::thread(std::move(work)).detach();
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

bool Semaphore::waitFor(double seconds)
{
    using namespace std::chrono;
    const auto wait = duration_cast<steady_clock::duration>(duration<double>(seconds > 0 ? seconds : 0));
    return sem_.try_acquire_until(steady_clock::now() + wait);
}

} // namespace corvane::platform
