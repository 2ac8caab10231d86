// The predictor's packed format, its state carried across chunks, and the
// bounds of the unpacker on damaged input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "archive/zip.h"

namespace vk {
namespace {

struct Codec {
    std::vector<uint8_t> table = std::vector<uint8_t>(kZipTableSize);
    uint16_t context = 0;
    Codec() { InitZipTable(table.data()); }

    std::vector<uint8_t> Pack(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> out(ZipBound(uint32_t(data.size())));
        uint16_t len =
            ZipData(data.data(), out.data(), uint16_t(data.size()), &context, table.data());
        out.resize(len);
        return out;
    }
    // Unpacks n bytes; fails the test when the packed bytes are not consumed
    // exactly.
    std::vector<uint8_t> Unpack(const std::vector<uint8_t>& packed, size_t n) {
        std::vector<uint8_t> out(n);
        int32_t used = UnzipData(packed.data(), packed.size(), out.data(), uint16_t(n), &context,
                                 table.data());
        EXPECT_EQ(used, int32_t(packed.size()));
        return out;
    }
};

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    return {v.begin(), v.end()};
}

TEST(Codec, KnownPackings) {
    {
        Codec c;
        EXPECT_EQ(c.Pack(Bytes({'a', 'b', 'c'})), Bytes({0xE0, 0x9E, 0x9D, 0x9C}));
    }
    {
        Codec c;
        EXPECT_EQ(c.Pack(std::vector<uint8_t>(8, 0)), Bytes({0x00}));
        EXPECT_EQ(c.context, 0);
    }
    {
        // Nine bytes open a second group; "aa" after "a" is predicted since
        // the initial table expects the last byte to repeat.
        Codec c;
        EXPECT_EQ(c.Pack(Bytes({'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a'})),
                  Bytes({0x80, 0x9E, 0x00}));
    }
    {
        Codec c;
        EXPECT_TRUE(c.Pack({}).empty());
        EXPECT_EQ(c.context, 0);
    }
}

TEST(Codec, PartialGroupLeavesContextWhereUnpackerEnds) {
    // "abc" packs three literals; the five unused bits advance the context
    // through the table's predictions: after "bc" the table predicts 'c'.
    Codec packer, unpacker;
    auto first = packer.Pack(Bytes({'a', 'b', 'c'}));
    EXPECT_EQ(packer.context, ('c' << 8) | 'c');
    EXPECT_EQ(unpacker.Unpack(first, 3), Bytes({'a', 'b', 'c'}));
    EXPECT_EQ(unpacker.context, packer.context);
    EXPECT_EQ(unpacker.table, packer.table);
    // The next chunk only unpacks with the carried state.
    auto second = packer.Pack(Bytes({'a', 'b', 'c', 'd'}));
    EXPECT_EQ(unpacker.Unpack(second, 4), Bytes({'a', 'b', 'c', 'd'}));
}

TEST(Codec, ChunksDependOnAllEarlierChunks) {
    std::vector<uint8_t> text;
    for (int i = 0; i < 4000; ++i)
        text.push_back("the quick brown fox "[i % 20]);
    Codec packer;
    auto a = packer.Pack(text);
    auto b = packer.Pack(text);
    EXPECT_LT(b.size(), a.size()); // the second chunk profits from the first

    Codec fresh;
    std::vector<uint8_t> out(text.size());
    UnzipData(b.data(), b.size(), out.data(), uint16_t(out.size()), &fresh.context,
              fresh.table.data());
    EXPECT_NE(out, text);
}

// Random chunk sequences with mixed statistics, of every length near the
// group and chunk boundaries, unpack to the input with equal final states.
TEST(Codec, RoundTripRandomChunkSequences) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 20; ++round) {
        Codec packer, unpacker;
        for (int chunk = 0; chunk < 12; ++chunk) {
            static const size_t sizes[] = {0, 1, 7, 8, 9, 15, 16, 17, 1000, 32767, 32768};
            size_t n = (chunk < 11) ? sizes[(chunk + round) % 11] : rng() % 32769;
            std::vector<uint8_t> data(n);
            int kind = int(rng() % 3);
            for (size_t i = 0; i < n; ++i) {
                if (kind == 0)
                    data[i] = uint8_t(rng());
                else if (kind == 1)
                    data[i] = uint8_t("abcabcabd"[i % 9] + (rng() % 16 == 0));
                else
                    data[i] = uint8_t(i / 300);
            }
            auto packed = packer.Pack(data);
            ASSERT_LE(packed.size(), ZipBound(uint32_t(n)));
            ASSERT_EQ(unpacker.Unpack(packed, n), data) << "round " << round << " chunk " << chunk;
            ASSERT_EQ(unpacker.context, packer.context);
        }
        EXPECT_EQ(unpacker.table, packer.table);
    }
}

TEST(Codec, WorstCaseExpansionFitsTheChunkBound) {
    // Random bytes are nearly all misses: close to one flag byte per eight.
    Codec c;
    std::vector<uint8_t> data(kZipChunk);
    std::mt19937 rng(7);
    for (auto& b : data)
        b = uint8_t(rng());
    auto packed = c.Pack(data);
    EXPECT_GT(packed.size(), kZipChunk);
    EXPECT_LE(packed.size(), kZipChunkPacked);
}

TEST(Codec, UnpackerStaysInsideTruncatedAndGarbledInput) {
    std::mt19937 rng(99);
    std::vector<uint8_t> data(5000);
    for (auto& b : data)
        b = uint8_t(rng() % 4 ? 'x' : rng());
    Codec packer;
    auto packed = packer.Pack(data);
    for (size_t cut = 0; cut < packed.size(); cut += 37) {
        // An exact-size copy so that ASan sees any read past the end.
        std::vector<uint8_t> part(packed.begin(), packed.begin() + cut);
        Codec c;
        std::vector<uint8_t> out(data.size());
        EXPECT_EQ(UnzipData(part.data(), part.size(), out.data(), uint16_t(out.size()), &c.context,
                            c.table.data()),
                  -1)
            << cut;
    }
    // Flag bytes all set demand more literals than exist.
    std::vector<uint8_t> ones(100, 0xFF);
    Codec c;
    std::vector<uint8_t> out(1000);
    EXPECT_EQ(UnzipData(ones.data(), ones.size(), out.data(), 1000, &c.context, c.table.data()),
              -1);
}

// The packer against a plain bit-by-bit one: the same packed bytes, context
// and table, for every length up to five groups and for whole chunks, each
// continuing from the state the one before left. The data repeats contexts
// inside a group with changing successors (a two-letter alphabet, a period of
// two with flips), so a byte must see the table entry an earlier byte of its
// group has just written.
void PlainZip(const std::vector<uint8_t>& src, std::vector<uint8_t>& out, uint16_t* context,
              uint8_t* table) {
    uint16_t ctx = *context;
    for (size_t g = 0; g < src.size(); g += 8) {
        size_t flagAt = out.size();
        out.push_back(0);
        for (size_t k = 0; k < 8; ++k) {
            uint8_t x = g + k < src.size() ? src[g + k] : table[ctx]; // past the end: predicted
            if (table[ctx] != x) {
                table[ctx] = x;
                out[flagAt] |= uint8_t(0x80 >> k);
                out.push_back(uint8_t(~x));
            }
            ctx = uint16_t((ctx << 8) | x);
        }
    }
    *context = ctx;
}

TEST(Codec, PackerMatchesPlainPacker) {
    std::mt19937 rng(555);
    auto make = [&](size_t n, int kind) {
        std::vector<uint8_t> data(n);
        for (size_t i = 0; i < n; ++i) {
            switch (kind) {
            case 0: data[i] = uint8_t(rng() % 2); break;
            case 1: data[i] = uint8_t("ab"[i % 2] + (rng() % 5 == 0)); break;
            case 2: data[i] = uint8_t(rng() % 9 ? 'z' : rng()); break;
            default: data[i] = uint8_t(rng());
            }
        }
        return data;
    };
    Codec packer, plain;
    auto check = [&](const std::vector<uint8_t>& data) {
        std::vector<uint8_t> want;
        PlainZip(data, want, &plain.context, plain.table.data());
        ASSERT_EQ(packer.Pack(data), want) << data.size();
        ASSERT_EQ(packer.context, plain.context) << data.size();
        ASSERT_EQ(packer.table, plain.table) << data.size();
    };
    for (int kind = 0; kind < 4; ++kind)
        for (size_t n = 0; n <= 40; ++n)
            ASSERT_NO_FATAL_FAILURE(check(make(n, kind)));
    for (int chunk = 0; chunk < 12; ++chunk)
        ASSERT_NO_FATAL_FAILURE(
            check(make(chunk % 3 ? rng() % (kZipChunk + 1) : kZipChunk, chunk % 4)));
}

// The unpacker against a plain bit-by-bit one, on packed streams of every
// flag pattern (not only those the packer makes) and on a real file.
int32_t PlainUnzip(const std::vector<uint8_t>& src, uint8_t* dst, size_t n, uint16_t* context,
                   uint8_t* table) {
    size_t p = 0, o = 0;
    uint16_t ctx = *context;
    while (o < n) {
        if (p >= src.size()) return -1;
        uint8_t flag = src[p++];
        for (int mask = 0x80; mask != 0; mask >>= 1) {
            if ((flag & mask) && p >= src.size()) return -1;
            uint8_t x = (flag & mask) ? uint8_t(~src[p++]) : table[ctx];
            table[ctx] = x;
            if (o < n) dst[o++] = x;
            ctx = uint16_t((ctx << 8) | x);
        }
    }
    *context = ctx;
    return int32_t(p);
}

TEST(Codec, UnpackerMatchesPlainUnpacker) {
    std::mt19937 rng(4321);
    // Same result; after a success also the same output and state. A failed
    // unpack leaves the state undefined, so both sides start afresh.
    auto check = [](const std::vector<uint8_t>& packed, size_t n, Codec& a, Codec& b) {
        std::vector<uint8_t> exact(packed.begin(), packed.end()), outA(n), outB(n); // for ASan
        int32_t used = UnzipData(exact.data(), exact.size(), outA.data(), uint16_t(n), &a.context,
                                 a.table.data());
        ASSERT_EQ(used, PlainUnzip(packed, outB.data(), n, &b.context, b.table.data()));
        if (used < 0) {
            a = b = Codec();
            return;
        }
        ASSERT_EQ(outA, outB);
        ASSERT_EQ(a.context, b.context);
        ASSERT_EQ(a.table, b.table);
    };
    Codec a, b;
    for (int round = 0; round < 300; ++round) {
        size_t n = round % 3 ? rng() % (kZipChunk + 1) : rng() % 40;
        uint32_t literalPercent = rng() % 101;
        std::vector<uint8_t> packed;
        for (size_t g = 0; g < (n + 7) / 8; ++g) {
            uint8_t flag = 0;
            for (int k = 0; k < 8; ++k)
                flag = uint8_t(flag * 2 + (rng() % 100 < literalPercent));
            packed.push_back(flag);
            for (int k = 0; k < __builtin_popcount(flag); ++k)
                packed.push_back(uint8_t(rng() % 4 ? rng() % 8 : rng()));
        }
        if (round % 7 == 0 && !packed.empty()) packed.resize(rng() % packed.size());
        ASSERT_NO_FATAL_FAILURE(check(packed, n, a, b));
    }
    // Input that ends right after a group of literals, where the next flag
    // byte would be.
    for (size_t groups = 1; groups < 40; ++groups) {
        std::vector<uint8_t> packed;
        for (size_t g = 0; g < groups; ++g) {
            packed.push_back(0xFF);
            packed.insert(packed.end(), 8, uint8_t(g));
        }
        ASSERT_NO_FATAL_FAILURE(check(packed, groups * 8 + 64, a, b));
    }
    // Real data: this test program, chunk after chunk.
    std::FILE* f = std::fopen("/proc/self/exe", "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> data(kZipChunk);
    Codec packer, x, y;
    while (size_t got = std::fread(data.data(), 1, data.size(), f)) {
        data.resize(got);
        ASSERT_NO_FATAL_FAILURE(check(packer.Pack(data), got, x, y));
    }
    std::fclose(f);
}

} // namespace
} // namespace vk
