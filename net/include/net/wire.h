// Network-order field access for the BOOTP/DHCP and TFTP records. Packets are
// read and written through these, never by casting buffers to structs.
#pragma once

#include <cstdint>

namespace vk {

inline uint16_t ldn16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t ldn32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void stn16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

} // namespace vk
