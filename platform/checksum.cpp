// The 8-bit string checksum and the table-driven CRC-32.
#include <cstdint>

#include "platform/checksum.h"

namespace vk {

namespace {

uint32_t CRCTable[256];
bool tableReady = false;

} // namespace

uint8_t StringCheckSum(const char* s) {
    uint8_t sum = 0;
    for (; s && *s; ++s)
        sum = uint8_t(((sum >> 1) | (sum << 7)) + uint8_t(*s));
    return sum;
}

void InitCRC(uint32_t polynomial) {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ polynomial : c << 1;
        CRCTable[i] = c;
    }
    tableReady = true;
}

uint32_t CRC32(uint32_t crc, const void* data, size_t length) {
    if (!tableReady) InitCRC(0x04C11DB7);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i)
        crc = (crc << 8) ^ CRCTable[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

} // namespace vk
