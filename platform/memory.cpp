// Paragraph allocation over the process heap, lazily allocated
// extended-memory pages, the save area above the heap and small memory
// helpers.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

uint16_t nb_ext_pages = kDefaultExtPages;

namespace {

constexpr char kMallocFailed[] = "Malloc failed, not enough memory";
constexpr char kReallocFailed[] = "Realloc failed, not enough memory";

// Plain pointers (no destructors): pages live until the process ends.
uint8_t** ext_pages = nullptr;
uint32_t ext_table_size = 0;

void* abovememory = nullptr;
uint32_t aboveWords = 0;

size_t BlockBytes(uint16_t paragraphs) {
    return paragraphs ? size_t(paragraphs) * kParagraph : kParagraph;
}

// The page table grows to nb_ext_pages entries when it is first needed.
bool EnsureTable() {
    if (ext_table_size >= nb_ext_pages) return true;
    void* grown = std::realloc(ext_pages, sizeof(uint8_t*) * nb_ext_pages);
    if (!grown) FatalError(kMallocFailed);
    ext_pages = static_cast<uint8_t**>(grown);
    for (uint32_t i = ext_table_size; i < nb_ext_pages; ++i)
        ext_pages[i] = nullptr;
    ext_table_size = nb_ext_pages;
    return true;
}

size_t PageBytes(uint16_t words) {
    // A copy never reaches past its page.
    return size_t(words < kExtPageWords ? words : kExtPageWords) * 2;
}

} // namespace

void* Malloc(uint16_t paragraphs) {
    void* block = std::malloc(BlockBytes(paragraphs));
    if (!block) FatalError(kMallocFailed);
    return block;
}

void* Realloc(void* block, uint16_t paragraphs) {
    void* grown = std::realloc(block, BlockBytes(paragraphs));
    if (!grown) FatalError(kReallocFailed);
    return grown;
}

void Free(void* block) {
    std::free(block);
}

uint16_t ParagraphsFor(uint32_t bytes) {
    uint32_t p = bytes / kParagraph + (bytes % kParagraph ? 1 : 0);
    return uint16_t(p > 0xFFFF ? 0xFFFF : p);
}

uint16_t HeapSize() {
    return 40960;
}

void MemoryError(uint16_t paragraphs) {
    {
        LogScope log;
        PrintString("---\r\nMemory Allocation Error\r\nSize asked       : ");
        PrintFileSize(uint32_t(paragraphs) * kParagraph);
        PrintString("\r\nMemory available : ");
        PrintFileSize(uint32_t(HeapSize()) * kParagraph);
        PrintString("\r\n---\r\n");
    }
    FatalError("Script halted");
}

uint16_t GetExtMem() {
    EnsureTable();
    return nb_ext_pages;
}

void CopyToExtMem(const void* source, uint16_t page, uint16_t words) {
    if (page >= nb_ext_pages) return;
    EnsureTable();
    if (!ext_pages[page])
        ext_pages[page] = static_cast<uint8_t*>(Malloc(kExtPageBytes / kParagraph));
    if (words) std::memcpy(ext_pages[page], source, PageBytes(words));
}

void CopyFromExtMem(void* destination, uint16_t page, uint16_t words) {
    if (!words || page >= nb_ext_pages || page >= ext_table_size || !ext_pages[page]) return;
    std::memcpy(destination, ext_pages[page], PageBytes(words));
}

void DropExtMem() {
    nb_ext_pages = 0;
}

void PushAboveMemory(const void* source, uint16_t words) {
    Free(abovememory);
    abovememory = Malloc(ParagraphsFor(uint32_t(words) * 2));
    aboveWords = words;
    if (words) std::memcpy(abovememory, source, size_t(words) * 2);
}

void PopAboveMemory(void* destination, uint16_t words) {
    if (!abovememory) return;
    size_t bytes = size_t(words < aboveWords ? words : aboveWords) * 2;
    if (bytes) std::memcpy(destination, abovememory, bytes);
    Free(abovememory);
    abovememory = nullptr;
    aboveWords = 0;
}

void* SMalloc(void** slot, uint16_t paragraphs) {
    *slot = Malloc(paragraphs);
    return *slot;
}

void SFree(void** slot) {
    Free(*slot);
    *slot = nullptr;
}

void InstallNewHandler() {
    std::set_new_handler([] { FatalError(kMallocFailed); });
}

void HugeMove(void* dst, const void* src, uint16_t length) {
    if (length) std::memmove(dst, src, length);
}

void HugeFill(void* dst, uint8_t value, uint16_t length) {
    if (length) std::memset(dst, value, length);
}

uint16_t MoveToStart(uint8_t* dst, uint8_t** start, uint8_t** end) {
    uint16_t length = uint16_t(*end - *start);
    if (*start != dst && length) std::memmove(dst, *start, length);
    *start = dst;
    *end = dst + length;
    return length;
}

} // namespace vk
