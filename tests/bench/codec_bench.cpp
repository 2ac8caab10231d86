// Packs and unpacks a file in 32 KiB chunks, as the archives do, and prints
// the speeds in MB/s (10^6 bytes per second of input) as
//   pack <MB/s> unpack <MB/s> ratio <packed/original>
// Each direction repeats until at least a second has passed; the best pass
// counts, as zstd's built-in benchmark reports its best.
//
// It then measures the unpacker on two synthetic streams, one where every
// byte is predicted (the serial table-load chain alone) and one where every
// byte is a literal, and prints their cost in nanoseconds and, with the clock
// rate of /proc/cpuinfo, in cycles per byte; with the corpus's share of
// predicted bytes this gives the unpacking speed the chain allows:
//   chain predicted <ns> <cycles> literal <ns> <cycles> predicted-share <f> ceiling <MB/s>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/zip.h"

using namespace vk;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: codec_bench <file>\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) return 2;
    std::vector<uint8_t> data;
    uint8_t buf[1 << 16];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + got);
    std::fclose(f);
    if (data.empty()) return 2;

    size_t chunks = (data.size() + kZipChunk - 1) / kZipChunk;
    std::vector<uint8_t> packed(chunks * kZipChunkPacked);
    std::vector<uint32_t> packedAt(chunks + 1);
    std::vector<uint8_t> table(kZipTableSize);
    std::vector<uint8_t> out(data.size());

    auto packPass = [&] {
        InitZipTable(table.data());
        uint16_t ctx = 0;
        uint32_t at = 0;
        for (size_t c = 0; c < chunks; ++c) {
            size_t off = c * kZipChunk;
            uint16_t n = uint16_t(std::min<size_t>(kZipChunk, data.size() - off));
            packedAt[c] = at;
            at += ZipData(data.data() + off, packed.data() + at, n, &ctx, table.data());
        }
        packedAt[chunks] = at;
    };
    auto unpackPass = [&] {
        InitZipTable(table.data());
        uint16_t ctx = 0;
        for (size_t c = 0; c < chunks; ++c) {
            size_t off = c * kZipChunk;
            uint16_t n = uint16_t(std::min<size_t>(kZipChunk, data.size() - off));
            if (UnzipData(packed.data() + packedAt[c], packedAt[c + 1] - packedAt[c],
                          out.data() + off, n, &ctx, table.data()) < 0)
                std::abort();
        }
    };
    auto best = [&](auto pass) {
        double bestSeconds = 1e30;
        auto start = Clock::now();
        do {
            auto t0 = Clock::now();
            pass();
            double s = std::chrono::duration<double>(Clock::now() - t0).count();
            if (s < bestSeconds) bestSeconds = s;
        } while (std::chrono::duration<double>(Clock::now() - start).count() < 1.0);
        return double(data.size()) / bestSeconds / 1e6;
    };
    double pack = best(packPass);
    double unpack = best(unpackPass);
    if (std::memcmp(out.data(), data.data(), data.size()) != 0) {
        std::fprintf(stderr, "round trip mismatch\n");
        return 1;
    }
    std::printf("pack %.1f unpack %.1f ratio %.4f\n", pack, unpack,
                double(packedAt[chunks]) / double(data.size()));

    // Share of predicted bytes: every literal costs one stored byte, every
    // started group one flag byte.
    double literals = double(packedAt[chunks]) - double(data.size()) / 8.0;
    double predictedShare = 1.0 - literals / double(data.size());

    double mhz = 0;
    if (std::FILE* info = std::fopen("/proc/cpuinfo", "r")) {
        char text[256];
        while (std::fgets(text, sizeof text, info))
            if (std::sscanf(text, "cpu MHz : %lf", &mhz) == 1) break;
        std::fclose(info);
    }
    auto perByte = [&](std::vector<uint8_t> sample) {
        data = std::move(sample);
        chunks = (data.size() + kZipChunk - 1) / kZipChunk;
        packed.resize(chunks * kZipChunkPacked);
        packedAt.resize(chunks + 1);
        out.assign(data.size(), 0);
        packPass();
        return 1e3 / best(unpackPass); // ns per byte
    };
    size_t n = 64u << 20;
    double predictedNs = perByte(std::vector<uint8_t>(n, 0));
    std::vector<uint8_t> noise(n);
    uint32_t seed = 12345;
    for (auto& b : noise)
        b = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    double literalNs = perByte(std::move(noise));
    double ceiling = 1e3 / (predictedShare * predictedNs + (1.0 - predictedShare) * literalNs);
    std::printf("chain predicted %.3f %.2f literal %.3f %.2f predicted-share %.3f ceiling %.1f\n",
                predictedNs, predictedNs * mhz / 1e3, literalNs, literalNs * mhz / 1e3,
                predictedShare, ceiling);
    return 0;
}
