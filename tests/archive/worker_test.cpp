// The archive engine's worker thread: jobs run one at a time in posting
// order, a full queue holds the caller back, and neither side loses a
// wake-up whether the other spins or sleeps (jobs far shorter and far
// longer than the spin times, posted to a worker that is busy or asleep).
// Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "archive/worker.h"

namespace vk::test {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(ChunkWorker, RunsJobsInOrderAndHoldsTheCallerWhenFull) {
    std::vector<int> order; // touched by the jobs only, until Wait
    std::atomic<int> running{0}, most{0};
    ChunkWorker worker;
    constexpr int kCount = 5 * int(ChunkWorker::kJobs);
    for (int i = 0; i < kCount; ++i) {
        uint64_t ticket = worker.Run([&, i] {
            int now = ++running;
            most = std::max(most.load(), now);
            if (i % 16 == 0) std::this_thread::sleep_for(microseconds(300)); // queue fills
            order.push_back(i);
            --running;
        });
        ASSERT_EQ(ticket, uint64_t(i));
        // Never more jobs outstanding than the queue holds.
        ASSERT_TRUE(ticket < ChunkWorker::kJobs || worker.Done(ticket - ChunkWorker::kJobs));
    }
    worker.Wait();
    ASSERT_EQ(order.size(), size_t(kCount));
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(order[i], i);
    EXPECT_EQ(most.load(), 1);
}

TEST(ChunkWorker, WaitForReturnsOnceItsJobRan) {
    ChunkWorker worker;
    std::atomic<bool> release{false};
    uint64_t held = worker.Run([&] {
        while (!release)
            std::this_thread::yield();
    });
    uint64_t after = worker.Run([] {});
    std::this_thread::sleep_for(milliseconds(2));
    EXPECT_FALSE(worker.Done(held));
    EXPECT_FALSE(worker.Done(after)); // behind the held one
    release = true;
    worker.WaitFor(held);
    EXPECT_TRUE(worker.Done(held));
    worker.WaitFor(after);
    EXPECT_TRUE(worker.Done(after));
}

TEST(ChunkWorker, NoWakeUpIsLost) {
    // Pauses between posts let the worker fall asleep; long jobs put the
    // waiting caller to sleep; short ones are met while either side spins.
    const microseconds pauses[] = {microseconds(0), microseconds(40), milliseconds(2)};
    const microseconds jobs[] = {microseconds(0), microseconds(80), milliseconds(3)};
    ChunkWorker worker;
    std::atomic<int> ran{0};
    int posted = 0;
    for (auto pause : pauses)
        for (auto job : jobs)
            for (int k = 0; k < 6; ++k) {
                std::this_thread::sleep_for(pause);
                uint64_t t = worker.Run([&, job] {
                    if (job.count()) std::this_thread::sleep_for(job);
                    ++ran;
                });
                ++posted;
                if (k % 2) worker.WaitFor(t); // every other post waits at once
            }
    worker.Wait();
    EXPECT_EQ(ran.load(), posted);
}

TEST(ChunkWorker, EndingWaitsForThePostedJobs) {
    std::atomic<int> ran{0};
    {
        ChunkWorker worker;
        for (int i = 0; i < 40; ++i)
            worker.Run([&] {
                std::this_thread::sleep_for(microseconds(100));
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 40);
}

} // namespace
} // namespace vk::test
