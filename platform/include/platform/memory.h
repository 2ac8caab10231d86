// Memory in 16-byte paragraphs, extended-memory pages of 32 KB and the single
// save area above the heap. Every allocation of the system goes through
// Malloc/Realloc so that exhaustion always ends in the same orderly stop.
#pragma once

#include <cstdint>

namespace vk {

constexpr uint32_t kParagraph = 16;
constexpr uint32_t kExtPageBytes = 32768;
constexpr uint16_t kExtPageWords = 16384;
constexpr uint16_t kDefaultExtPages = 478;

// A block of paragraphs x 16 bytes (a zero count still gives a valid block).
// On failure: FatalError("Malloc failed, not enough memory").
void* Malloc(uint16_t paragraphs);
// Resizes keeping the contents; a null block is allocated afresh.
// On failure: FatalError("Realloc failed, not enough memory").
void* Realloc(void* block, uint16_t paragraphs);
void Free(void* block);
// Paragraphs needed to hold `bytes` bytes (rounded up, capped at 65535).
uint16_t ParagraphsFor(uint32_t bytes);
uint16_t HeapSize(); // always 40960
// The memory report as log output, then FatalError("Script halted").
[[noreturn]] void MemoryError(uint16_t paragraphs);

// Extended memory: nb_ext_pages pages of kExtPageBytes, allocated on first
// write. Copies of more than one page are cut to one page; pages beyond the
// table are ignored.
extern uint16_t nb_ext_pages;
uint16_t GetExtMem();
void CopyToExtMem(const void* source, uint16_t page, uint16_t words);
// A page that was never written leaves the destination untouched.
void CopyFromExtMem(void* destination, uint16_t page, uint16_t words);
// Sets the extended-memory size to zero (the pages are not given back).
void DropExtMem();

// One save area: a push replaces (and frees) an earlier one that was not
// popped; a pop copies at most what was pushed.
void PushAboveMemory(const void* source, uint16_t words);
void PopAboveMemory(void* destination, uint16_t words);

inline int MarkMemory() {
    return 0;
}
inline void RestoreMemory(int /*mark*/) {}

void* SMalloc(void** slot, uint16_t paragraphs);
void SFree(void** slot);

// Installs the handler that turns a failed C++ allocation (operator new)
// into the same orderly stop as Malloc.
void InstallNewHandler();

// Plain memory helpers with 16-bit lengths.
void HugeMove(void* dst, const void* src, uint16_t length); // overlap allowed
void HugeFill(void* dst, uint8_t value, uint16_t length);
// Moves the bytes between *start and *end to dst (unless already there),
// points *start and *end at the moved bytes and returns their count.
uint16_t MoveToStart(uint8_t* dst, uint8_t** start, uint8_t** end);

} // namespace vk
