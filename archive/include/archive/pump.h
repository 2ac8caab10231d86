// The one chunk loop of the copy engine: a section's or a file's bytes
// arrive as pieces from a source and go to a sink. Every reader of pieces
// (the copies, the check, the drivers' full restores) goes through it, so
// an empty piece or one beyond the announced length is refused in one
// place. Header only: the file-system drivers use it without linking the
// archive library.
#pragma once

#include <cstdint>

#include "archive/format.h"
#include "platform/types.h"

namespace vk {

// Which side stopped a pump.
enum PumpFault : uint8_t {
    kPumpDone = 0,   // all bytes went through
    kPumpSource = 1, // a read failed, or gave an empty or oversized piece
    kPumpSink = 2,   // the sink refused a piece
};

// Moves `size` bytes: read(left, &ptr, &len) gives the next piece (at most
// `left` bytes are due), take(ptr, len) consumes it.
template <typename Read, typename Take>
PumpFault PumpPieces(uint64_t size, Read&& read, Take&& take) {
    for (uint64_t left = size; left > 0;) {
        const uint8_t* ptr = nullptr;
        uint32_t len = 0;
        if (read(left, &ptr, &len) != 0 || len == 0 || len > left) return kPumpSource;
        if (take(ptr, len) != 0) return kPumpSink;
        left -= len;
    }
    return kPumpDone;
}

// A source of content that is not read: pieces without data, as long as a
// chunk, for sinks that show only sizes.
inline Status BlankPiece(uint64_t left, const uint8_t** ptr, uint32_t* len) {
    *ptr = nullptr;
    *len = left < kChunkData ? uint32_t(left) : kChunkData;
    return 0;
}

} // namespace vk
