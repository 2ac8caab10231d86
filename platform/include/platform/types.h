// Basic types shared by every subsystem and little-endian field access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vk {

// Operations return 0 for success; callers test for non-zero.
using Status = int16_t;

// Little-endian field access for on-disk and on-wire records. Records are
// parsed and serialised through these, never by casting buffers to structs.
inline uint16_t ld16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t ld32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void st16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void st32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint64_t ld64(const uint8_t* p) {
    return uint64_t(ld32(p)) | (uint64_t(ld32(p + 4)) << 32);
}
inline void st64(uint8_t* p, uint64_t v) {
    st32(p, uint32_t(v));
    st32(p + 4, uint32_t(v >> 32));
}

} // namespace vk
