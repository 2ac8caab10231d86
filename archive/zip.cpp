// The byte predictor's packer and unpacker.
//
// Packing has no serial dependency beyond the table itself: the context of
// every byte comes from the data. Unpacking is a chain (each predicted byte
// is the table entry selected by the two bytes before it). A branch-free
// select would put every byte, literals included, on that chain; branching
// per bit mispredicts on mixed data. The unpacker therefore dispatches once
// per group on the flag byte to code specialised for it, in which literals
// are plain copies and only predicted bytes wait for the table.
#include "archive/zip.h"

namespace vk {

void InitZipTable(uint8_t* table) {
    for (uint32_t c = 0; c < kZipTableSize; ++c)
        table[c] = uint8_t(c);
}

uint16_t ZipData(const uint8_t* src, uint8_t* dst, uint16_t n, uint16_t* context, uint8_t* table) {
    uint32_t ctx = *context;
    uint8_t* out = dst;
    uint32_t i = 0;
    // Whole groups. The complement is stored unconditionally and the output
    // cursor advances only on a miss; the slot written always lies inside the
    // group's worst-case room, so this never writes past ZipBound(n).
    for (; i + 8 <= n; i += 8) {
        uint8_t* flagAt = out++;
        uint32_t flag = 0;
        for (int k = 0; k < 8; ++k) {
            uint8_t x = src[i + k];
            uint32_t miss = table[ctx] != x;
            table[ctx] = x;
            *out = uint8_t(~x);
            out += miss;
            flag = (flag << 1) | miss;
            ctx = ((ctx << 8) | x) & 0xFFFF;
        }
        *flagAt = uint8_t(flag);
    }
    if (i < n) {
        uint8_t* flagAt = out++;
        uint32_t flag = 0;
        uint32_t mask = 0x80;
        for (; i < n; ++i, mask >>= 1) {
            uint8_t x = src[i];
            if (table[ctx] != x) {
                table[ctx] = x;
                *out++ = uint8_t(~x);
                flag |= mask;
            }
            ctx = ((ctx << 8) | x) & 0xFFFF;
        }
        // The unpacker walks all eight bits of the last flag byte; follow the
        // predictions it will make so both sides end in the same state.
        for (; mask != 0; mask >>= 1)
            ctx = ((ctx << 8) | table[ctx]) & 0xFFFF;
        *flagAt = uint8_t(flag);
    }
    *context = uint16_t(ctx);
    return uint16_t(out - dst);
}

namespace {

// One group of eight data bytes, of which the first `emit` go to dst.
// Handles every case and checks each literal against the input end.
inline bool UnzipGroupChecked(uint32_t flag, const uint8_t* src, size_t& p, size_t srcLength,
                              uint8_t* dst, uint32_t emit, uint32_t& ctx, uint8_t* table) {
    for (uint32_t k = 0; k < 8; ++k) {
        uint8_t x;
        if (flag & (0x80u >> k)) {
            if (p >= srcLength) return false;
            x = uint8_t(~src[p++]);
            table[ctx] = x;
        } else {
            x = table[ctx];
        }
        if (k < emit) dst[k] = x;
        ctx = ((ctx << 8) | x) & 0xFFFF;
    }
    return true;
}

// One whole group whose flag byte F is known at compile time: literal bytes
// take no table load, so the serial chain runs only through predicted
// bytes, and the only branch per group is the dispatch on F.
template <unsigned F, int K>
[[gnu::always_inline]] inline void UnzipStep(const uint8_t* lit, uint8_t* out, uint32_t& prev,
                                             uint32_t& last, uint8_t* table) {
    if constexpr (K < 8) {
        uint32_t x;
        constexpr unsigned before = unsigned(__builtin_popcount(F >> (8 - K)));
        if constexpr ((F & (0x80u >> K)) != 0) {
            x = uint8_t(~lit[before]);
            table[(prev << 8) | last] = uint8_t(x);
        } else {
            x = table[(prev << 8) | last];
        }
        out[K] = uint8_t(x);
        prev = last;
        last = x;
        UnzipStep<F, K + 1>(lit, out, prev, last, table);
    }
}

} // namespace

int32_t UnzipData(const uint8_t* src, size_t srcLength, uint8_t* dst, uint16_t n, uint16_t* context,
                  uint8_t* table) {
    uint32_t ctx = *context;
    size_t p = 0;
    uint32_t o = 0;
    // Whole groups with at least eight packed bytes behind the flag byte: no
    // literal can read past the input, so the bits need no bounds checks.
    while (o + 8 <= n && p + 9 <= srcLength) {
        uint32_t flag = src[p++];
        uint32_t prev = ctx >> 8, last = ctx & 0xFF;
        switch (flag) {
#define VK_G(f)                                                                                    \
    case f:                                                                                        \
        UnzipStep<f, 0>(src + p, dst + o, prev, last, table);                                      \
        break;
#define VK_G4(f) VK_G(f) VK_G(f + 1) VK_G(f + 2) VK_G(f + 3)
#define VK_G16(f) VK_G4(f) VK_G4(f + 4) VK_G4(f + 8) VK_G4(f + 12)
#define VK_G64(f) VK_G16(f) VK_G16(f + 16) VK_G16(f + 32) VK_G16(f + 48)
            VK_G64(0) VK_G64(64) VK_G64(128) VK_G64(192)
#undef VK_G64
#undef VK_G16
#undef VK_G4
#undef VK_G
        }
        p += unsigned(__builtin_popcount(flag));
        ctx = (prev << 8) | last;
        o += 8;
    }
    // The remaining groups, near the end of the data or of the input.
    while (o < n) {
        if (p >= srcLength) return -1;
        uint32_t flag = src[p++];
        uint32_t emit = n - o < 8 ? n - o : 8;
        if (!UnzipGroupChecked(flag, src, p, srcLength, dst + o, emit, ctx, table)) return -1;
        o += emit;
    }
    *context = uint16_t(ctx);
    return int32_t(p);
}

} // namespace vk
