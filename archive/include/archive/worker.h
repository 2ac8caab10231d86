// A second core for the archive engine: one background thread that runs one
// job at a time (packing or unpacking a chunk) while the calling thread reads
// or writes the next. The predictor chain stays sequential: a job must be
// done (Wait) before the next one that shares its state starts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vk {

class ChunkWorker {
  public:
    ChunkWorker();
    ~ChunkWorker(); // waits for the job in hand, then ends the thread
    ChunkWorker(const ChunkWorker&) = delete;
    ChunkWorker& operator=(const ChunkWorker&) = delete;

    // Starts the job; the worker must be idle (after Wait).
    void Run(std::function<void()> job);
    // Returns once the job last started is done.
    void Wait();

  private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::function<void()> job_;
    std::atomic<bool> busy_{false};
    bool stop_ = false;
    std::thread thread_;
};

} // namespace vk
