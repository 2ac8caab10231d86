#include "pacing.h"

namespace vks {

namespace {

constexpr size_t kWireOverhead = 14 + 20 + 8; // Ethernet, IPv4 and UDP headers
constexpr int kCatchUpPackets = 16;           // packets a late loop may send at once

Pacer::TimePoint After(Pacer::TimePoint t, double seconds) {
    return t + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

} // namespace

// A loop that woke late (a busy machine, the timer's granularity) catches
// up by at most half a window at once, so the rate holds without a window's
// burst at line rate.
void Pacer::Charge(size_t bytes, TimePoint now) {
    if (!rate_) return;
    double seconds = double((bytes + kWireOverhead) * 8) / double(rate_);
    TimePoint floor =
        After(now, -double(kCatchUpPackets) * double((1400 + kWireOverhead) * 8) / double(rate_));
    if (next_ < floor) next_ = floor;
    next_ = After(next_, seconds);
}

} // namespace vks
