// The engine's background thread. A chunk's job takes tens of microseconds,
// about what a sleep and a wake-up through the kernel cost: both sides first
// spin briefly on an atomic flag and sleep on the condition only when the
// other side is slow.
#include "archive/worker.h"

#include <chrono>
#include <utility>

namespace vk {

namespace {

constexpr auto kSpin = std::chrono::microseconds(200);

// Spins until `done` holds or the spin time is up; true if it holds.
template <class Done> bool SpinFor(Done done) {
    auto until = std::chrono::steady_clock::now() + kSpin;
    for (unsigned n = 0;; ++n) {
        if (done()) return true;
        if ((n & 63) == 63 && std::chrono::steady_clock::now() >= until) return false;
    }
}

} // namespace

ChunkWorker::ChunkWorker() : thread_([this] { Loop(); }) {}

ChunkWorker::~ChunkWorker() {
    Wait();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void ChunkWorker::Run(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = std::move(job);
        busy_.store(true, std::memory_order_release);
    }
    wake_.notify_one();
}

void ChunkWorker::Wait() {
    if (SpinFor([this] { return !busy_.load(std::memory_order_acquire); })) return;
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return !busy_.load(std::memory_order_acquire); });
}

void ChunkWorker::Loop() {
    for (;;) {
        SpinFor([this] { return busy_.load(std::memory_order_acquire); });
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return busy_.load(std::memory_order_acquire) || stop_; });
            if (!busy_.load(std::memory_order_acquire)) return; // stopped while idle
            job = std::move(job_);
        }
        job();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busy_.store(false, std::memory_order_release);
        }
        done_.notify_one();
    }
}

} // namespace vk
