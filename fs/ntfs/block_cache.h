// The blocks a restore's device holds: a pool of 4 KB blocks allocated at
// the first use and kept for the device's life, found by block number
// through an open-addressed index of slot numbers. Blocks are added one by
// one and dropped all at once, so nothing is allocated per block and the
// pool's memory is touched afresh only the first time round.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vk {

class NtfsBlockCache {
  public:
    static constexpr size_t kBlockSize = 4096;
    static constexpr uint32_t kCapacity = 8192;

    // The block's bytes, or null when it is not held.
    uint8_t* Find(uint64_t number) {
        if (used_ == 0) return nullptr;
        for (uint32_t at = Home(number);; at = (at + 1) & kMask) {
            const uint32_t slot = index_[at];
            if (slot == kEmpty) return nullptr;
            if (numbers_[slot] == number) return Bytes(slot);
        }
    }
    bool Full() const { return used_ == kCapacity; }
    bool Empty() const { return used_ == 0; }
    uint32_t Size() const { return used_; }

    // Holds a block not held yet, in a cache not full; its bytes, as the
    // slot's last user left them.
    uint8_t* Add(uint64_t number) {
        if (!pool_) {
            pool_.reset(AllocatePool());
            if (!pool_) throw std::bad_alloc();
            numbers_.resize(kCapacity);
            dirty_.resize(kCapacity);
            index_.assign(kIndexSize, kEmpty);
        }
        const uint32_t slot = used_++;
        numbers_[slot] = number;
        dirty_[slot] = false;
        uint32_t at = Home(number);
        while (index_[at] != kEmpty)
            at = (at + 1) & kMask;
        index_[at] = slot;
        return Bytes(slot);
    }
    // Drops the block added last (one whose bytes could not be read): no
    // block added after it can have probed past its place in the index.
    void DropLast() {
        const uint32_t slot = used_ - 1;
        uint32_t at = Home(numbers_[slot]);
        while (index_[at] != slot)
            at = (at + 1) & kMask;
        index_[at] = kEmpty;
        --used_;
    }
    // Drops every block; the pool stays for the next ones.
    void Clear() {
        if (used_ == 0) return;
        std::fill(index_.begin(), index_.end(), kEmpty);
        used_ = 0;
    }

    void MarkDirty(const uint8_t* bytes) { dirty_[SlotOf(bytes)] = true; }
    void MarkClean(const uint8_t* bytes) { dirty_[SlotOf(bytes)] = false; }
    // The dirty blocks as (block number, bytes), in block order.
    std::vector<std::pair<uint64_t, uint8_t*>> Dirty() {
        std::vector<std::pair<uint64_t, uint8_t*>> dirty;
        for (uint32_t slot = 0; slot < used_; ++slot)
            if (dirty_[slot]) dirty.emplace_back(numbers_[slot], Bytes(slot));
        std::sort(dirty.begin(), dirty.end());
        return dirty;
    }

  private:
    // Twice the pool's slots, so that probes stay short.
    static constexpr uint32_t kIndexSize = 2 * kCapacity;
    static constexpr uint32_t kMask = kIndexSize - 1;
    static constexpr uint32_t kEmpty = UINT32_MAX;
    static_assert((kIndexSize & kMask) == 0);

    static uint32_t Home(uint64_t number) {
        // Fibonacci hashing: consecutive blocks spread over the index.
        return uint32_t((number * 0x9E3779B97F4A7C15ull) >> 50) & kMask;
    }
    uint8_t* Bytes(uint32_t slot) { return pool_.get() + size_t(slot) * kBlockSize; }
    uint32_t SlotOf(const uint8_t* bytes) const {
        return uint32_t(size_t(bytes - pool_.get()) / kBlockSize);
    }

    // The pool in 2 MB pages where the system has them: a few page faults
    // instead of one per block the first time round.
    static constexpr size_t kPoolBytes = size_t(kCapacity) * kBlockSize;
    static constexpr size_t kLargePage = size_t(2) << 20;
    static uint8_t* AllocatePool() {
        void* pool = std::aligned_alloc(kLargePage, kPoolBytes);
#ifdef MADV_HUGEPAGE
        if (pool != nullptr) madvise(pool, kPoolBytes, MADV_HUGEPAGE);
#endif
        return static_cast<uint8_t*>(pool);
    }
    struct FreePool {
        void operator()(uint8_t* pool) const { std::free(pool); }
    };

    std::unique_ptr<uint8_t[], FreePool> pool_;
    std::vector<uint64_t> numbers_;
    std::vector<uint8_t> dirty_;
    std::vector<uint32_t> index_;
    uint32_t used_ = 0;
};

} // namespace vk
