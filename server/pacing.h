// Pacing of everything the server sends by --max-rate: a clock that every
// packet moves on by its time on the wire, headers counted.
#pragma once

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
    // A packet of `bytes` (UDP payload) leaves at `now`.
    void Charge(size_t bytes, TimePoint now);

  private:
    uint64_t rate_;
    TimePoint next_{};
};

} // namespace vks
