// Short names from long names, the short-name checksum and the long-name
// character mapping.
#include "shortname.h"

#include <cstring>

#include "records.h"

#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

uint8_t shortChar(uint8_t ch) {
    if ((ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return ch;
    if (ch >= 'a' && ch <= 'z') return uint8_t(ch - 'a' + 'A');
    if (ch < 128) {
        switch (ch) {
        case 33:
        case 35:
        case 36:
        case 37:
        case 38:
        case 39:
        case 40:
        case 41:
        case 45:
        case 64:
        case 95:
        case 96:
        case 123:
        case 125:
        case 126: return ch;
        default: return '_';
        }
    }
    uint8_t iso = pc2iso[ch - 128];
    if (iso >= 224) {
        // The PC code of the upper-case form, when the code page has one.
        uint8_t upper = iso2pc[iso - 32 - 160];
        if (upper != 0) return upper;
    }
    return ch;
}

uint8_t lowerShortChar(uint8_t ch) {
    if (ch >= 'A' && ch <= 'Z') return uint8_t(ch - 'A' + 'a');
    if (ch < 128) return ch;
    // ISO capitals from 192 to 222 but the multiplication sign; their small
    // letters are 32 above them.
    uint8_t iso = pc2iso[ch - 128];
    if (iso < 192 || iso > 222 || iso == 215) return ch;
    uint8_t lower = iso2pc[iso + 32 - 160];
    return lower != 0 && shortChar(lower) == ch ? lower : ch;
}

void ShortSlotName(const uint8_t* slot, char* out) {
    using namespace fatdir;
    const bool lowerBase = (slot[kCase] & kLowerBase) != 0;
    const bool lowerExtension = (slot[kCase] & kLowerExtension) != 0;
    int n = 0;
    for (int i = 0; i < 8 && slot[i] != ' '; ++i) {
        uint8_t c = i == 0 && slot[0] == kE5Escape ? 0xE5 : slot[i];
        out[n++] = char(lowerBase ? lowerShortChar(c) : c);
    }
    if (slot[8] != ' ') {
        out[n++] = '.';
        for (int i = 8; i < 11 && slot[i] != ' '; ++i)
            out[n++] = char(lowerExtension ? lowerShortChar(slot[i]) : slot[i]);
    }
    out[n] = '\0';
}

namespace {

// Whether a mapped character differs from the original only in letter case.
bool CaseChange(uint8_t original, uint8_t mapped) {
    if (original >= 'a' && original <= 'z') return mapped == original - 'a' + 'A';
    return original >= 128 && mapped >= 128;
}

// Copies characters of [from, to) into out (up to limit), applying the drop
// and mapping rules; returns the number taken.
int TakePart(const uint8_t* from, const uint8_t* to, char* out, int limit, bool& exact,
             bool& caseOnly) {
    int taken = 0;
    for (const uint8_t* p = from; p < to; ++p) {
        uint8_t c = *p;
        if (c == ' ' || c == '.' || taken == limit) {
            exact = caseOnly = false;
            continue;
        }
        uint8_t mapped = shortChar(c);
        if (mapped != c) {
            exact = false;
            if (!CaseChange(c, mapped)) caseOnly = false;
        }
        out[taken++] = char(mapped);
    }
    return taken;
}

int Digits(uint32_t value) {
    int digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

} // namespace

uint16_t MakeShortName(const char* longName, char* shortName, uint32_t tail, bool forceTail,
                       uint32_t* usedTail) {
    std::memset(shortName, ' ', 11);
    shortName[11] = '\0';
    if (usedTail) *usedTail = 0;
    size_t length = std::strlen(longName);
    if (std::strcmp(longName, ".") == 0 || std::strcmp(longName, "..") == 0) {
        std::memcpy(shortName, longName, length);
        return 0;
    }
    const uint8_t* name = reinterpret_cast<const uint8_t*>(longName);
    const uint8_t* end = name + length;
    bool exact = true, caseOnly = true;
    const uint8_t* p = name;
    if (*p == '.') {
        exact = caseOnly = false;
        while (*p == '.')
            ++p;
    }
    const uint8_t* lastDot = nullptr;
    for (const uint8_t* q = p; q < end; ++q)
        if (*q == '.') lastDot = q;
    int baseLength = TakePart(p, lastDot ? lastDot : end, shortName, 8, exact, caseOnly);
    if (lastDot) TakePart(lastDot + 1, end, shortName + 8, 3, exact, caseOnly);
    // A name without base characters is no valid short name either.
    if (baseLength == 0) exact = caseOnly = false;
    if (exact && !forceTail) return 0;
    if (!caseOnly || forceTail) {
        uint32_t number = tail != 0 ? tail : CRC32(0, longName, length);
        number %= 1000000;
        int digits = Digits(number);
        int at = baseLength < 7 - digits ? baseLength : 7 - digits;
        shortName[at] = '~';
        for (int i = digits; i > 0; --i) {
            shortName[at + i] = char('0' + number % 10);
            number /= 10;
        }
        if (usedTail) *usedTail = ShortNameTail(reinterpret_cast<const uint8_t*>(shortName));
    }
    return uint16_t((length + 12) / 13);
}

uint16_t GetShortName(const char* longName, char* shortName, const uint32_t* tail) {
    return MakeShortName(longName, shortName, tail ? *tail : 0, false, nullptr);
}

uint32_t ShortNameTail(const uint8_t* name11) {
    for (int i = 0; i < 8; ++i) {
        if (name11[i] != '~') continue;
        uint32_t value = 0;
        for (int j = i + 1; j < 8 && name11[j] >= '0' && name11[j] <= '9'; ++j)
            value = value * 10 + uint32_t(name11[j] - '0');
        return value;
    }
    return 0;
}

uint8_t ShortNameChecksum(const uint8_t* name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

uint16_t SetLongChar(int ch) {
    if (ch < 0) return 0xFFFF;
    if (ch < 128) return uint16_t(ch);
    return codepage[(ch - 128) & 0x7F];
}

int GetLongChar(uint16_t value) {
    if (value == 0xFFFF) return -1;
    if (value < 128) return value;
    for (int i = 0; i < 128; ++i)
        if (codepage[i] == value) return 128 + i;
    Log("FAT Warning: Character not found in current code page\r\n");
    return 64;
}

void LabelSlotName(const char* label, char* shortName) {
    std::memset(shortName, ' ', fatdir::kNameSize);
    for (size_t i = 0; i < fatdir::kNameSize && label[i]; ++i)
        shortName[i] = char(label[i] >= 'a' && label[i] <= 'z' ? label[i] - 'a' + 'A' : label[i]);
    shortName[fatdir::kNameSize] = '\0';
}

} // namespace vk
