// Pacing of everything the server sends by --max-rate: a clock that every
// packet moves on by its time on the wire, headers counted.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vks {

class Pacer {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    explicit Pacer(uint64_t bitsPerSecond) : rate_(bitsPerSecond) {}
    // False while the clock is ahead of `now` (never without a rate).
    bool Ready(TimePoint now) const { return !rate_ || next_ <= now; }
    // When the next packet may leave.
    TimePoint Next() const { return next_; }

    // A packet of `bytes` (UDP payload) leaves at `now`. A loop that woke
    // late (a busy machine, the timer's granularity) catches up by at most
    // half a window at once, so the rate holds without a window's burst at
    // line rate.
    void Charge(size_t bytes, TimePoint now) {
        if (!rate_) return;
        next_ = std::max(next_, now - Wire(kCatchUpPackets * (1400 + kWireOverhead)));
        next_ += Wire(bytes + kWireOverhead);
    }

  private:
    static constexpr size_t kWireOverhead = 14 + 20 + 8; // Ethernet, IPv4 and UDP headers
    static constexpr size_t kCatchUpPackets = 16;        // packets a late loop may send at once

    // The time `bytes` take on the wire.
    std::chrono::steady_clock::duration Wire(size_t bytes) const {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(double(bytes * 8) / double(rate_)));
    }

    uint64_t rate_;
    TimePoint next_{};
};

} // namespace vks
