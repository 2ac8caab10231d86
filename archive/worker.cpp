// The engine's background thread. A chunk's job takes tens of microseconds,
// about what a sleep and a wake-up through the kernel cost: a caller that
// waits for a job first spins on the job counter, and sleeps on a condition
// only when the worker is slow. Spinning yields the core after a few
// microseconds, so that on a busy machine the side waited for (or anything
// else) gets to run rather than the spin, and then at doubling intervals,
// since on an idle machine each yield is only a system call. The worker,
// once out of jobs, spins only briefly before it sleeps: the caller is the
// slower side then (writing files, or blocked on a disk), and the thread
// would only burn the core that the system's own work needs. A sleeping
// worker is woken once a few jobs wait, or when the caller waits for one,
// so that a caller posting jobs one by one does not pay a wake-up for each.
//
// A side that goes to sleep says so in a flag first (the caller also names
// the ticket it waits for) and checks the counter again; the other side
// looks at that flag after moving the counter (both sequentially
// consistent), so no wake-up is lost.
#include "archive/worker.h"

#include <chrono>
#include <utility>
#ifdef VK_JITTER
#include <random>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vk {

namespace {

constexpr auto kCallerSpin = std::chrono::microseconds(50);
constexpr auto kWorkerSpin = std::chrono::microseconds(30);
// Jobs that wake a sleeping worker when posted.
constexpr uint64_t kWakeBatch = 4;

inline void Relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

#ifdef VK_JITTER
// Test builds only (the CMake option VK_JITTER): a random short delay at
// each hand-over between the caller and the thread (a yield, or a sleep of
// up to 200 us, each about one time in four), so that the tests meet the
// orders of events that a loaded machine brings only now and then.
void Jitter() {
    thread_local std::minstd_rand random(std::random_device{}());
    unsigned r = random() % 8;
    if (r < 4) return;
    if (r < 6) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
}
#else
inline void Jitter() {}
#endif

// Spins until `done` holds or the spin time is up; true if it holds.
template <class Done> bool SpinFor(std::chrono::microseconds spin, Done done) {
    auto until = std::chrono::steady_clock::now() + spin;
    for (unsigned n = 0;; ++n) {
        if (done()) return true;
        Relax();
        if ((n & 63) == 63) {
            if (std::chrono::steady_clock::now() >= until) return false;
            // Gives the core up to whatever else is ready to run on it (the
            // other side among them, on a busy machine): early, and then
            // less and less often (after 64, 128, 256, ... turns).
            if ((n & (n + 1)) == 0) std::this_thread::yield();
        }
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

uint64_t ChunkWorker::Run(std::function<void()> job) {
    uint64_t ticket = posted_.load(std::memory_order_relaxed);
    if (ticket >= kJobs) WaitFor(ticket - kJobs); // its slot is free once that job ran
    jobs_[ticket % kJobs] = std::move(job);
    Jitter();
    posted_.store(ticket + 1, std::memory_order_seq_cst);
    Jitter();
    if (ticket + 1 - finished_.load(std::memory_order_relaxed) >= kWakeBatch) Wake();
    return ticket;
}

void ChunkWorker::Wake() {
    if (idle_.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_one();
    }
}

void ChunkWorker::WaitFor(uint64_t ticket) {
    Jitter();
    if (Done(ticket)) return;
    Wake();
    Jitter();
    if (SpinFor(kCallerSpin, [this, ticket] { return Done(ticket); })) return;
    std::unique_lock<std::mutex> lock(mutex_);
    awaited_.store(ticket, std::memory_order_relaxed);
    waiting_.store(true, std::memory_order_seq_cst);
    Jitter();
    done_.wait(lock, [this, ticket] { return finished_.load(std::memory_order_seq_cst) > ticket; });
    waiting_.store(false, std::memory_order_relaxed);
}

void ChunkWorker::Wait() {
    uint64_t posted = posted_.load(std::memory_order_relaxed);
    if (posted > 0) WaitFor(posted - 1);
}

void ChunkWorker::Loop() {
    for (uint64_t next = 0;; ++next) {
        auto posted = [this, next] { return posted_.load(std::memory_order_seq_cst) > next; };
        if (!SpinFor(kWorkerSpin, posted)) {
            std::unique_lock<std::mutex> lock(mutex_);
            idle_.store(true, std::memory_order_seq_cst);
            Jitter();
            wake_.wait(lock, [&] { return posted() || stop_; });
            idle_.store(false, std::memory_order_relaxed);
            if (!posted()) return; // stopped while idle
        }
        Jitter();
        std::function<void()> job = std::move(jobs_[next % kJobs]);
        job();
        Jitter();
        finished_.store(next + 1, std::memory_order_seq_cst);
        Jitter();
        // The caller is woken only for the job it waits for, not for each
        // job before it.
        if (waiting_.load(std::memory_order_seq_cst) &&
            awaited_.load(std::memory_order_relaxed) <= next) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_one();
        }
    }
}

} // namespace vk
