// Whole-file loading, buffered reading and word search through the file
// layer, so that local, cached and remote files are served alike.
#include <cstring>

#include "disk/files.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr int kLoadAttempts = 3;
constexpr uint32_t kLoadMax = kLoadBlock - 1; // room for the terminating NUL
constexpr uint32_t kBufferAhead = 32768;

} // namespace

Status LoadFile(const char* name, uint32_t* size, char** buffer, bool raw) {
    auto* block = static_cast<uint8_t*>(Malloc(ParagraphsFor(kLoadBlock)));
    static uint8_t scratch[kChunkMax];
    for (int attempt = 1;; ++attempt) {
        FileRecord file;
        if (OpenFILE(name, &file, 0) != 0) {
            Free(block);
            return 1;
        }
        uint32_t total = 0;
        for (;;) {
            // Read straight into the block while a whole chunk fits, else
            // through the scratch chunk: nothing is stored beyond the block.
            bool direct = kLoadBlock - total >= kChunkMax;
            uint16_t n = ReadFILE(&file, direct ? block + total : scratch);
            if (n == 0) break;
            if (total + n > kLoadMax) {
                Log("ERROR : File exceeds 64 Kb\r\n");
                CloseFILE(&file);
                Free(block);
                return 1;
            }
            if (!direct) std::memcpy(block + total, scratch, n);
            total += n;
        }
        bool broken = file.remote && RemoteFileOpen == 2;
        if (total == 0 && file.remote) {
            // A remote transfer that delivers nothing: the server has no such
            // file. An empty local file is simply empty.
            Log("ERROR: File not found.\r\n");
            CloseFILE(&file);
            Free(block);
            return 1;
        }
        if (broken) {
            CloseFILE(&file);
            if (attempt >= kLoadAttempts) {
                Free(block);
                FatalError("Cannot transfer TFTP file. Aborting");
            }
            Log("Cannot read TFTP file, retrying...\r\n");
            continue;
        }
        CloseFILE(&file);
        block[total] = 0;
        if (!raw) ImportText(reinterpret_cast<char*>(block), total);
        block = static_cast<uint8_t*>(Realloc(block, ParagraphsFor(total + 1)));
        if (size) *size = total;
        *buffer = reinterpret_cast<char*>(block);
        return 0;
    }
}

int ReadBufferFILE(FileRecord* file, uint8_t* buffer, uint8_t** start, uint8_t** end) {
    uint32_t held = *end > *start ? uint32_t(*end - *start) : 0;
    if (*start != buffer && held > 0) std::memmove(buffer, *start, held);
    *start = buffer;
    *end = buffer + held;
    while (held < kBufferAhead) {
        MonitorESC();
        uint16_t n = ReadFILE(file, *end);
        if (n == 0) return 1;
        held += n;
        *end += n;
    }
    return 0;
}

Status FindWordInFile(const char* word, const char* fileName, int ignoreCase, int* found) {
    char* text = nullptr;
    if (LoadFile(fileName, nullptr, &text, false) != 0) return 1;
    FindWord(word, text, ignoreCase, found);
    Free(text);
    return 0;
}

} // namespace vk
