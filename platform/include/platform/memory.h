// Memory in 16-byte paragraphs, extended-memory pages of 32 KB and the single
// save area above the heap. Every allocation of the system goes through
// Malloc/Realloc so that exhaustion always ends in the same orderly stop.
#pragma once

#include <cstdint>

namespace vk {

constexpr uint32_t kParagraph = 16;
constexpr uint32_t kExtPageBytes = 32768;
constexpr uint16_t kDefaultExtPages = 478;

void* Malloc(uint16_t paragraphs);                 // never returns null
void* Realloc(void* block, uint16_t paragraphs);   // never returns null
void Free(void* block);
// Paragraphs needed to hold `bytes` bytes (rounded up, capped at 65535).
uint16_t ParagraphsFor(uint32_t bytes);
uint16_t HeapSize();                                // always 40960
[[noreturn]] void MemoryError(uint16_t paragraphs);

extern uint16_t nb_ext_pages;
uint16_t GetExtMem();
void CopyToExtMem(const void* source, uint16_t page, uint16_t words);
void CopyFromExtMem(void* destination, uint16_t page, uint16_t words);
// Sets the extended-memory size to zero (the pages are not given back).
void DropExtMem();

void PushAboveMemory(const void* source, uint16_t words);
void PopAboveMemory(void* destination, uint16_t words);

inline int MarkMemory() { return 0; }
inline void RestoreMemory(int /*mark*/) {}

void* SMalloc(void** slot, uint16_t paragraphs);
inline void SLoad() {}
void SFree(void** slot);

// Installs the handler that turns a failed C++ allocation (operator new)
// into the same orderly stop as Malloc.
void InstallNewHandler();

} // namespace vk
