// MatchExpr on arbitrary text, pattern and flags. The pattern is rewritten
// in place, so it lives in an exactly sized heap buffer: any write or read
// past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int flags = data[0] | ((data[1] & 1) << 8);
    data += 2;
    size -= 2;
    // Text and pattern are separated by the first NUL byte.
    const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    size_t textLength = split ? size_t(split - data) : size / 2;
    size_t patternLength = size - textLength - (split ? 1 : 0);
    if (patternLength > 256) return 0; // keep each run short
    auto text = std::make_unique<char[]>(textLength + 1);
    std::memcpy(text.get(), data, textLength);
    text[textLength] = 0;
    auto pattern = std::make_unique<char[]>(patternLength + 1);
    std::memcpy(pattern.get(), data + size - patternLength, patternLength);
    pattern[patternLength] = 0;
    size_t before = std::strlen(pattern.get());
    int result = vk::MatchExpr(text.get(), pattern.get(), flags);
    if (result != 0 && result != 1) __builtin_trap();
    // The rewrite only moves characters: the pattern keeps its length.
    if (std::strlen(pattern.get()) != before) __builtin_trap();
    return 0;
}
