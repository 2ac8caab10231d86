// The byte predictor's packer and unpacker.
//
// Packing has no serial dependency beyond the table itself: the context of
// every byte comes from the data. Unpacking is a chain (each predicted byte
// is the table entry selected by the two bytes before it). A branch-free
// select would put every byte, literals included, on that chain; branching
// per bit mispredicts on mixed data. The unpacker therefore jumps once per
// group, on the flag byte, to code specialised for it, in which literals are
// plain copies and only predicted bytes wait for the table.
//
// On real data most of those jumps still mispredict, so the cost of a group
// is mostly the time until its jump is resolved and the next group's code is
// fetched. Each group's code therefore loads the next flag byte and its jump
// target first, before any of its own stores, and is kept short: its
// literals come from one word load, and each run of them is written with one
// store.
//
// Packing is limited by stores rather than by the table: one table store per
// byte is needed, and a second store per byte (each literal written in turn)
// halves the speed. Where the processor has SSE4.1, sixteen bytes at a time
// load their table entries straight into the lanes of one vector, one compare
// with the data gives the literal bits of two groups, and the literals of a
// group leave, packed by one shuffle, in a single 8-byte store.
#include "archive/zip.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && !defined(VK_ZIP_PORTABLE)
#define VK_ZIP_SSE41 1
#define VK_ZIP_SSE41_TARGET __attribute__((target("sse4.1,popcnt")))
#include <immintrin.h>
#endif

namespace vk {

void InitZipTable(uint8_t* table) {
    for (uint32_t c = 0; c < kZipTableSize; ++c)
        table[c] = uint8_t(c);
}

#if VK_ZIP_SSE41
namespace {

// For each flag byte, the shuffle that gathers the bytes of its set bits
// (MSB first: bit 0x80 is the group's first byte) into the low lanes in
// order. The lanes past them pick any byte; they land past the group's
// packed bytes, inside its room, where the next group's bytes go.
struct LiteralShuffles {
    alignas(64) uint64_t lanes[256];
    constexpr LiteralShuffles() : lanes() {
        for (uint32_t f = 0; f < 256; ++f) {
            int at = 0;
            for (uint32_t k = 0; k < 8; ++k)
                if (f & (0x80u >> k)) lanes[f] |= uint64_t(k) << (8 * at++);
        }
    }
};
constexpr LiteralShuffles kLiteralShuffles;

// Writes one group: its flag byte, then its literals (the complemented data
// bytes in the low half of notData whose bits are set) with one 8-byte store,
// which stays inside the group's room of nine bytes.
[[gnu::always_inline]] VK_ZIP_SSE41_TARGET inline uint8_t* PutGroup(__m128i notData, uint32_t flag,
                                                                    uint8_t* out) {
    __m128i order =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kLiteralShuffles.lanes[flag]));
    out[0] = uint8_t(flag);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 1), _mm_shuffle_epi8(notData, order));
    return out + 1 + __builtin_popcount(flag);
}

// Context j of a block, kept four to a word (bits 16 * (j % 4) of
// ctx[j / 4]); the one past the block is only ever used for its low half, the
// block's last byte.
template <int J>
[[gnu::always_inline]] inline uint32_t Context(const uint64_t* ctx, uint32_t last) {
    if constexpr (J == 16)
        return last;
    else
        return uint32_t(ctx[J / 4] >> (16 * (J % 4))) & 0xFFFF;
}

// The table entries for a block's contexts as the lanes of a vector, each
// entry then replaced by its byte (the low half of the next context). Each
// load follows the store of the byte before it, so a context that repeats
// inside the block sees the entry just written.
template <int... J>
[[gnu::always_inline]] VK_ZIP_SSE41_TARGET inline __m128i
Predict(const uint64_t* ctx, uint32_t last, uint8_t* table, std::integer_sequence<int, J...>) {
    __m128i predicted = _mm_setzero_si128();
    ((predicted = _mm_insert_epi8(predicted, table[Context<J>(ctx, last)], J),
      table[Context<J>(ctx, last)] = uint8_t(Context<J + 1>(ctx, last))),
     ...);
    return predicted;
}

// Packs blocks of sixteen bytes (two whole groups) from src, which must be
// preceded by the two bytes that give the context of its first byte.
VK_ZIP_SSE41_TARGET uint8_t* PackBlocksSse41(const uint8_t* src, uint32_t blocks, uint8_t* out,
                                             uint8_t* table) {
    // Reverses the lanes of each group, so that the first byte's compare
    // result lands in the flag's top bit.
    const __m128i firstToTop = _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint8_t* s = src + 16 * b;
        __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        // The 16-bit context of byte j, (s[j - 2] << 8) | s[j - 1], interleaved
        // from the data one and two bytes back. They are taken apart by
        // shifts in general registers, which leaves the vector unit to the
        // table loads (faster than extracting them lane by lane).
        __m128i back1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s - 1));
        __m128i back2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s - 2));
        __m128i lo = _mm_unpacklo_epi8(back1, back2), hi = _mm_unpackhi_epi8(back1, back2);
        uint64_t ctx[4] = {uint64_t(_mm_cvtsi128_si64(lo)), uint64_t(_mm_extract_epi64(lo, 1)),
                           uint64_t(_mm_cvtsi128_si64(hi)), uint64_t(_mm_extract_epi64(hi, 1))};
        __m128i predicted = Predict(ctx, s[15], table, std::make_integer_sequence<int, 16>());
        __m128i hits = _mm_shuffle_epi8(_mm_cmpeq_epi8(data, predicted), firstToTop);
        uint32_t flags = ~uint32_t(_mm_movemask_epi8(hits));
        __m128i notData = _mm_xor_si128(data, _mm_set1_epi8(-1));
        out = PutGroup(notData, flags & 0xFF, out);
        out = PutGroup(_mm_unpackhi_epi64(notData, notData), (flags >> 8) & 0xFF, out);
    }
    return out;
}

bool HasSse41() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("popcnt");
    }();
    return has;
}

} // namespace
#endif

uint16_t ZipData(const uint8_t* src, uint8_t* dst, uint16_t n, uint16_t* context, uint8_t* table) {
    uint32_t ctx = *context;
    uint8_t* out = dst;
    uint32_t i = 0;
#if VK_ZIP_SSE41
    if (n >= 16 && HasSse41()) {
        // The first block reads its context from a copy of it that starts
        // with the carried context.
        uint8_t first[18] = {uint8_t(ctx >> 8), uint8_t(ctx)};
        std::memcpy(first + 2, src, 16);
        out = PackBlocksSse41(first + 2, 1, out, table);
        out = PackBlocksSse41(src + 16, n / 16 - 1, out, table);
        i = n & ~15u;
    }
#endif
    // Whole groups. The complement is stored unconditionally and the output
    // cursor advances only on a miss; the slot written always lies inside the
    // group's worst-case room, so this never writes past ZipBound(n).
    auto group = [&](auto contextOf) {
        uint8_t* flagAt = out++;
        uint32_t flag = 0;
        for (int k = 0; k < 8; ++k) {
            uint32_t x = src[i + k];
            uint32_t c = contextOf(k);
            uint32_t miss = table[c] != x;
            table[c] = uint8_t(x);
            *out = uint8_t(~x);
            out += miss;
            flag = flag * 2 + miss;
            ctx = ((ctx << 8) | x) & 0xFFFF;
        }
        *flagAt = uint8_t(flag);
    };
    if (i + 8 <= n) {
        // The first group starts from the carried context; later ones read
        // the context of each byte straight from the two bytes before it.
        if (i == 0) {
            group([&](int) { return ctx; });
            i = 8;
        }
        for (; i + 8 <= n; i += 8)
            group([&](int k) { return uint32_t(src[i + k - 2] << 8) | src[i + k - 1]; });
    }
    if (i > 0) ctx = uint32_t(src[i - 2] << 8) | src[i - 1];
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
// bytes, and the only branch per group is the dispatch on F. lits holds the
// group's literals, complemented back, the next one in the low byte. A run of
// literals is written with one 8-byte store; the group's later bytes, or the
// next group, overwrite what it writes past the run.
template <unsigned F, int K>
[[gnu::always_inline]] inline void UnzipStep(uint64_t& lits, uint8_t* out, uint32_t& prev,
                                             uint32_t& last, uint8_t* table) {
    if constexpr (K < 8) {
        uint32_t x;
        if constexpr ((F & (0x80u >> K)) != 0) {
            if constexpr (K == 0 || (F & (0x100u >> K)) == 0) std::memcpy(out + K, &lits, 8);
            x = uint8_t(lits);
            lits >>= 8;
            table[(prev << 8) | last] = uint8_t(x);
        } else {
            x = table[(prev << 8) | last];
            out[K] = uint8_t(x);
        }
        prev = last;
        last = x;
        UnzipStep<F, K + 1>(lits, out, prev, last, table);
    }
}

// One whole group: a group of eight predicted bytes in a run of one repeated
// byte that the table keeps predicting (zero padding, for one) is written at
// once; its context stays the same, so nothing waits for the table.
template <unsigned F>
[[gnu::always_inline]] inline void UnzipGroup(uint64_t lits, uint8_t* out, uint32_t& prev,
                                              uint32_t& last, uint8_t* table) {
    if constexpr (F == 0) {
        if (prev == last && table[(prev << 8) | last] == last) {
            std::memset(out, int(last), 8);
            return;
        }
    }
    UnzipStep<F, 0>(lits, out, prev, last, table);
}

// Every flag byte value, for the unpacker's table of group code.
// clang-format off
#define VK_ALL_FLAGS(X) \
    X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) \
    X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15) \
    X(16) X(17) X(18) X(19) X(20) X(21) X(22) X(23) \
    X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31) \
    X(32) X(33) X(34) X(35) X(36) X(37) X(38) X(39) \
    X(40) X(41) X(42) X(43) X(44) X(45) X(46) X(47) \
    X(48) X(49) X(50) X(51) X(52) X(53) X(54) X(55) \
    X(56) X(57) X(58) X(59) X(60) X(61) X(62) X(63) \
    X(64) X(65) X(66) X(67) X(68) X(69) X(70) X(71) \
    X(72) X(73) X(74) X(75) X(76) X(77) X(78) X(79) \
    X(80) X(81) X(82) X(83) X(84) X(85) X(86) X(87) \
    X(88) X(89) X(90) X(91) X(92) X(93) X(94) X(95) \
    X(96) X(97) X(98) X(99) X(100) X(101) X(102) X(103) \
    X(104) X(105) X(106) X(107) X(108) X(109) X(110) X(111) \
    X(112) X(113) X(114) X(115) X(116) X(117) X(118) X(119) \
    X(120) X(121) X(122) X(123) X(124) X(125) X(126) X(127) \
    X(128) X(129) X(130) X(131) X(132) X(133) X(134) X(135) \
    X(136) X(137) X(138) X(139) X(140) X(141) X(142) X(143) \
    X(144) X(145) X(146) X(147) X(148) X(149) X(150) X(151) \
    X(152) X(153) X(154) X(155) X(156) X(157) X(158) X(159) \
    X(160) X(161) X(162) X(163) X(164) X(165) X(166) X(167) \
    X(168) X(169) X(170) X(171) X(172) X(173) X(174) X(175) \
    X(176) X(177) X(178) X(179) X(180) X(181) X(182) X(183) \
    X(184) X(185) X(186) X(187) X(188) X(189) X(190) X(191) \
    X(192) X(193) X(194) X(195) X(196) X(197) X(198) X(199) \
    X(200) X(201) X(202) X(203) X(204) X(205) X(206) X(207) \
    X(208) X(209) X(210) X(211) X(212) X(213) X(214) X(215) \
    X(216) X(217) X(218) X(219) X(220) X(221) X(222) X(223) \
    X(224) X(225) X(226) X(227) X(228) X(229) X(230) X(231) \
    X(232) X(233) X(234) X(235) X(236) X(237) X(238) X(239) \
    X(240) X(241) X(242) X(243) X(244) X(245) X(246) X(247) \
    X(248) X(249) X(250) X(251) X(252) X(253) X(254) X(255)
// clang-format on

} // namespace

int32_t UnzipData(const uint8_t* src, size_t srcLength, uint8_t* dst, uint16_t n, uint16_t* context,
                  uint8_t* table) {
    uint32_t prev = *context >> 8, last = *context & 0xFF;
    const uint8_t* in = src;
    uint8_t* out = dst;
    // Unchecked groups. A group may run unchecked when 9 packed bytes remain
    // from its flag byte (the flag and the 8-byte literal word; it reads the
    // next flag byte early only when the next group may run unchecked too)
    // and 16 bytes of output remain (the wide literal stores). A group takes at most 9 packed and
    // exactly 8 output bytes, so "left" such groups are known to be safe in advance; when they are
    // used up, the budget is worked out again from where the unpacker has got to. Each group's code
    // ends with its own jump to the next group's code (threaded dispatch, a GCC and Clang
    // extension), so the branch predictor learns which group tends to follow which.
#define VK_GROUP_CODE(f)                                                                           \
    group##f : {                                                                                   \
        const uint8_t* nextFlag = in + unsigned(__builtin_popcount(f));                            \
        void* next = kGroup[--left != 0 ? *nextFlag : 256];                                        \
        uint64_t lits;                                                                             \
        std::memcpy(&lits, in, 8);                                                                 \
        lits = ~lits;                                                                              \
        UnzipGroup<f>(lits, out, prev, last, table);                                               \
        in = nextFlag + 1;                                                                         \
        out += 8;                                                                                  \
        goto* next;                                                                                \
    }
#define VK_GROUP_LABEL(f) &&group##f,
    {
        static void* const kGroup[257] = {VK_ALL_FLAGS(VK_GROUP_LABEL) && budgetSpent};
        size_t left;
        goto budget;
    budgetSpent:
        --in; // back to the flag byte the last group read ahead
    budget : {
        // in is at a flag byte here.
        size_t inLeft = srcLength - size_t(in - src), outLeft = n - size_t(out - dst);
        if (inLeft < 9 || outLeft < 16) goto groupsDone;
        left = std::min((inLeft - 9) / 9, (outLeft - 16) / 8) + 1;
    }
        goto* kGroup[*in++];
        VK_ALL_FLAGS(VK_GROUP_CODE)
    }
groupsDone:
#undef VK_GROUP_LABEL
#undef VK_GROUP_CODE
    // The remaining groups, near the end of the data or of the input.
    uint32_t ctx = (prev << 8) | last;
    size_t p = size_t(in - src);
    uint32_t o = uint32_t(out - dst);
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

#undef VK_ALL_FLAGS
