// The engine's background thread.
#include "archive/worker.h"

#include <utility>

namespace vk {

ChunkWorker::ChunkWorker() : thread_([this] { Loop(); }) {}

ChunkWorker::~ChunkWorker() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return !busy_; });
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void ChunkWorker::Run(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = std::move(job);
        busy_ = true;
    }
    wake_.notify_one();
}

void ChunkWorker::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return !busy_; });
}

void ChunkWorker::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return busy_ || stop_; });
        if (stop_ && !busy_) return;
        std::function<void()> job = std::move(job_);
        lock.unlock();
        job();
        lock.lock();
        busy_ = false;
        done_.notify_one();
    }
}

} // namespace vk
