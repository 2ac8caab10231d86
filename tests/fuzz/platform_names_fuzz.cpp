// Remote file names, dotted addresses and hexadecimal text from arbitrary
// bytes: every parse must stay inside its input and give a sane result.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = std::make_unique<char[]>(size + 1);
    std::memcpy(text.get(), data, size);
    text[size] = 0;
    const char* begin = text.get();
    const char* end = begin + std::strlen(begin);

    vk::RemoteName name;
    const char* bad = nullptr;
    if (vk::SplitRemoteName(begin, &name, &bad) == 0) {
        if (name.path < begin || name.path > end) __builtin_trap();
    } else if (bad < begin || bad > end) {
        __builtin_trap();
    }

    uint8_t address[4];
    const char* after = nullptr;
    if (vk::ScanIP(begin, address, &after) == 0 && (after < begin || after > end)) __builtin_trap();

    uint8_t bytes[8];
    int count = int(size % 9);
    vk::HexToBin(text.get(), bytes, count);

    int found = 0;
    vk::FindWord("word", begin, int(size & 1), &found);
    return 0;
}
