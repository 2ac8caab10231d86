// Network-order field access for the BOOTP/DHCP and TFTP records. Packets are
// read and written through these, never by casting buffers to structs.
#pragma once

#include <cstdint>

namespace vk {

inline uint16_t ldn16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline void stn16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

} // namespace vk
