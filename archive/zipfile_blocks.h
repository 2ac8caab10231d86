// Working blocks shared by the two directions of the single-file container.
#pragma once

#include <cstdint>

#include "archive/zip.h"
#include "platform/memory.h"

namespace vk {

constexpr uint32_t kReadBlock = 65536;
constexpr uint32_t kOutBlock = 65536;

// Frees its blocks on every path out.
struct ZipBlocks {
    uint8_t* input = nullptr;
    uint8_t* output = nullptr;
    uint8_t* table = nullptr;
    ZipBlocks(uint32_t inputSize, uint32_t outputSize) {
        input = static_cast<uint8_t*>(Malloc(ParagraphsFor(inputSize)));
        output = static_cast<uint8_t*>(Malloc(ParagraphsFor(outputSize)));
        table = static_cast<uint8_t*>(Malloc(ParagraphsFor(kZipTableSize)));
        InitZipTable(table);
    }
    ~ZipBlocks() {
        Free(input);
        Free(output);
        Free(table);
    }
    ZipBlocks(const ZipBlocks&) = delete;
    ZipBlocks& operator=(const ZipBlocks&) = delete;
};

} // namespace vk
