// Random script text through the line reader and every argument reader.
// Each reader must stay inside `line` and end with a result or an error.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "interp/edition.h"
#include "interp/expr.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/checksum.h"

namespace {

void DefaultBasename(char* out, size_t size) {
    std::snprintf(out, size, "fuzz");
}

const vk::Edition kFuzzEdition = {
    .program = "Pelto",
    .bannerLine = "",
    .scriptSuffix = ".pto",
    .interactiveBase = "pelto",
    .commands = nullptr,
    .archiver = true,
    .waitsAfterScript = false,
    .defaultBasename = DefaultBasename,
    .startServices = nullptr,
    .supplementaryMemory = nullptr,
    .setNetworkVariables = nullptr,
    .onVariableSet = nullptr,
    .startStorage = nullptr,
};

void RunReaders(int which) {
    char* p = vk::line;
    int16_t a = 0, b = 0;
    char designator[vk::kDesignatorSize];
    // Apply readers one after another until one fails or the line is used.
    for (int step = 0; step < 16 && *p; ++step) {
        char* before = p;
        switch ((which + step) % 9) {
        case 0: p = vk::NextToken(p); break;
        case 1:
            if (!vk::NextString(&p)) return;
            break;
        case 2:
            if (!vk::NextBasicString(&p)) return;
            break;
        case 3:
            if (vk::NextExpr(&p) == vk::kExprFail) return;
            break;
        case 4:
            if (!vk::NextOp(&p)) return;
            break;
        case 5:
            if (vk::NextDuration(&p) == vk::kExprFail) return;
            break;
        case 6:
            if (vk::NextColor(&p) < 0) return;
            break;
        case 7:
            if (vk::NextInterval(&p, &a, &b)) return;
            break;
        case 8:
            if (vk::NextArchive(&p, designator)) return;
            break;
        }
        vk::NextNothing(p);
        if (p < vk::line || p >= vk::line + vk::kLineSize) __builtin_trap();
        if (p == before) ++p; // make progress past a character no reader takes
        if (p > vk::line + std::strlen(vk::line)) return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        ready = true;
        vk::SetEdition(&kFuzzEdition);
        vk::InitCRC(0x04C11DB7);
        vk::InitVars();
        vk::SetVar("name", "Joe");
        vk::SetVar("q", "a \"quoted\" value");
        vk::SetVar("long", std::string(250, 'x').c_str());
    }
    if (size == 0) return 0;
    int which = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* p = text.c_str();
    const char* end = p + text.size();
    for (int lines = 0; lines < 64 && p < end && *p; ++lines) {
        p = vk::NextLine(p);
        if (std::strlen(vk::line) >= size_t(vk::kLineSize)) __builtin_trap();
        RunReaders(which + lines);
    }
    return 0;
}
