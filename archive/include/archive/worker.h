// A second core for the archive engine: one background thread that runs
// jobs (packing or unpacking a chunk) in the order they were posted while
// the calling thread reads or writes other chunks. Up to kJobs jobs may be
// outstanding, so a reader can have several chunks unpacked ahead of it.
// The predictor chain stays sequential because the jobs run one at a time,
// in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace vk {

class ChunkWorker {
  public:
    static constexpr uint32_t kJobs = 32;

    ChunkWorker();
    ~ChunkWorker(); // waits for the jobs posted, then ends the thread
    ChunkWorker(const ChunkWorker&) = delete;
    ChunkWorker& operator=(const ChunkWorker&) = delete;

    // Posts a job and returns its ticket (0, 1, 2, ... in posting order);
    // waits for room when kJobs jobs are outstanding.
    uint64_t Run(std::function<void()> job);
    // True once the job of the ticket has run.
    bool Done(uint64_t ticket) const { return finished_.load(std::memory_order_acquire) > ticket; }
    // Returns once the job of the ticket has run.
    void WaitFor(uint64_t ticket);
    // Returns once every job posted has run.
    void Wait();
    // A sleeping thread is woken once a few jobs wait or the caller waits
    // for one; this wakes it at once, for a long job posted alone.
    void Wake();

  private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable wake_; // the thread sleeps on it when idle
    std::condition_variable done_; // the caller sleeps on it in WaitFor
    std::function<void()> jobs_[kJobs];
    // Each side's counter and flag on a cache line of its own, so that the
    // side spinning on one does not slow the other's stores to the rest.
    alignas(64) std::atomic<uint64_t> posted_{0};
    std::atomic<bool> waiting_{false}; // the caller sleeps, or is about to
    std::atomic<uint64_t> awaited_{0}; // the ticket it sleeps for
    alignas(64) std::atomic<uint64_t> finished_{0};
    std::atomic<bool> idle_{false}; // the thread sleeps, or is about to
    bool stop_ = false;
    std::thread thread_;
};

} // namespace vk
