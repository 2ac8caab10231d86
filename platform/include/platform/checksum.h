// The 8-bit string checksum and CRC-32 (polynomial 0x04C11DB7, most
// significant bit first, no reflection, no final XOR).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

// Rotate the sum right by one bit, then add the character (modulo 256).
uint8_t StringCheckSum(const char* s);
void InitCRC(uint32_t polynomial);
// Works before InitCRC too (the standard polynomial needs no table). Every
// caller starts from 0; a running value continues a computation.
uint32_t CRC32(uint32_t crc, const void* data, size_t length);
// The reflected CRC-32 of zlib, Ethernet and GUID partition tables (started
// from all ones, inverted at the end); 0xCBF43926 for "123456789".
uint32_t ReflectedCRC32(const void* data, size_t length);

} // namespace vk
