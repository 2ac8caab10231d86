// The 8-bit string checksum and CRC-32.
//
// CRC-32 here is the non-reflected CRC with polynomial 0x04C11DB7, started
// from 0 and without a final XOR. It guards every archive fragment, every
// container and every cache chunk, so it runs through the storage
// acceleration library's folding implementation. That library's crc32_ieee
// inverts its value on entry and on exit; inverting around the call gives the
// plain CRC for any running value.
#include <cstdint>

#include <isa-l/crc.h>

#include "platform/checksum.h"

namespace vk {

namespace {

constexpr uint32_t kStandardPolynomial = 0x04C11DB7;

// A table for any other polynomial (none is used today; kept so that
// InitCRC means what it says).
uint32_t CRCTable[256];
bool tableDriven = false;

} // namespace

uint8_t StringCheckSum(const char* s) {
    uint8_t sum = 0;
    for (; s && *s; ++s)
        sum = uint8_t(((sum >> 1) | (sum << 7)) + uint8_t(*s));
    return sum;
}

void InitCRC(uint32_t polynomial) {
    tableDriven = polynomial != kStandardPolynomial;
    if (!tableDriven) return;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80000000u) ? (c << 1) ^ polynomial : c << 1;
        CRCTable[i] = c;
    }
}

uint32_t CRC32(uint32_t crc, const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (tableDriven) {
        for (size_t i = 0; i < length; ++i)
            crc = (crc << 8) ^ CRCTable[((crc >> 24) ^ p[i]) & 0xFF];
        return crc;
    }
    if (length == 0) return crc; // the library may not accept a null buffer
    return ~crc32_ieee(~crc, p, length);
}

uint32_t ReflectedCRC32(const void* data, size_t length) {
    if (length == 0) return 0;
    return crc32_gzip_refl(0, static_cast<const unsigned char*>(data), length);
}

} // namespace vk
