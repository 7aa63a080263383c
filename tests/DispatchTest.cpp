// The background queues: bounded threads and bounded waiting work.

#include "Dispatch.h"
#include "Eventually.h"

#include <atomic>
#include <mutex>

#include <gtest/gtest.h>

using namespace corvane;

TEST(WorkQueue, BoundsThreadsAndWaitingWork)
{
    platform::WorkQueue queue(2, 3);
    std::mutex gate;
    std::unique_lock closed(gate);
    std::atomic<int> ran {0};
    int taken = 0;
    for (int i = 0; i < 10; ++i)
        taken += queue.post([&] {
            std::lock_guard wait(gate);
            ++ran;
        })
            ? 1
            : 0;
    // Two may already be running, three wait: the rest is refused at once.
    EXPECT_GE(taken, 3);
    EXPECT_LE(taken, 5);
    EXPECT_LE(queue.serving(), 2);
    closed.unlock();
    EXPECT_TRUE(test::eventually([&] { return ran == taken; }));
    EXPECT_TRUE(queue.post([&] { ++ran; }));
    EXPECT_TRUE(test::eventually([&] { return ran == taken + 1; }));
}

// A burst that finds one thread idle runs side by side all the same.
TEST(WorkQueue, ABurstRunsOnAsManyThreadsAsItMay)
{
    platform::WorkQueue queue(4, 10);
    std::atomic<int> ran {0};
    ASSERT_TRUE(queue.post([&] { ++ran; }));
    ASSERT_TRUE(test::eventually([&] { return ran == 1 && queue.serving() == 0; }));
    std::mutex gate;
    std::unique_lock held(gate);
    std::atomic<int> together {0};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(queue.post([&] {
            ++together;
            std::lock_guard wait(gate);
            ++ran;
        }));
    EXPECT_TRUE(test::eventually([&] { return together == 4; })) << together << " of 4 ran at once";
    held.unlock();
    EXPECT_TRUE(test::eventually([&] { return ran == 5; })); // nothing still uses this test's locals
}
