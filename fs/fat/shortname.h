// Pure name helpers of the FAT driver: short (8.3) names made from long
// names, the short-name checksum, and the mapping between 8-bit PC code
// page characters and the UCS-2 characters of long-name slots.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

constexpr size_t kShortNameBuffer = 12; // 11 name bytes and a NUL

// The short-name form of one character of a long name.
uint8_t shortChar(uint8_t ch);

// Makes the 8 base and 3 extension bytes (blank padded, NUL after them) of
// a long name's short name. A non-null, non-zero *tail is the number used
// for a "~" tail; otherwise the number comes from the name's CRC-32.
// Returns the number of long-name slots the name needs: 0 when the name
// is already a valid short name.
uint16_t GetShortName(const char* longName, char* shortName, const uint32_t* tail);
// The name a short slot shows when no long name goes with it: the base up
// to its first blank, then "." and the extension if there is one, a first
// byte 0x05 read as 0xE5. Base and extension are in lower case where the
// slot's lower-case flags (Linux, mtools and Windows set them) say so.
// `out` holds at least 13 bytes.
void ShortSlotName(const uint8_t* slot, char* out);
// The lower-case form of a short-name character (ASCII letters, and letters
// of the code page whose capital shortChar makes), or the character itself.
uint8_t lowerShortChar(uint8_t ch);

// A volume label's slot name: the first 11 characters in upper case, padded
// with blanks (inner blanks kept), NUL after them.
void LabelSlotName(const char* label, char* shortName);

// Like GetShortName with forceTail: also a name that is a valid short name,
// or one differing from it only in case, gets the "~" tail and long-name
// slots (used when its plain short name is already taken). *usedTail
// (optional) receives the tail number written, 0 when none was.
uint16_t MakeShortName(const char* longName, char* shortName, uint32_t tail, bool forceTail,
                       uint32_t* usedTail);

// The number after the first "~" of the 8-byte base, up to the first
// character that is not a digit; 0 without "~".
uint32_t ShortNameTail(const uint8_t* name11);

// Rotate right by one bit, then add the next byte, over the 11 name bytes.
uint8_t ShortNameChecksum(const uint8_t* name11);

// A PC code page byte (0-255), or -1 for the pad value, as a long-name
// character through the current code page table.
uint16_t SetLongChar(int ch);
// A long-name character as a PC code page byte, -1 for the pad value 0xFFFF;
// a character missing from the code page logs a warning and reads as '@'.
int GetLongChar(uint16_t value);

} // namespace vk
