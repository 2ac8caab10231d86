// The virtual file store: up to 16 named, seekable byte streams for the
// archive tools' intermediate data. They live in 32 KiB pages of
// supplementary memory while it lasts; when it runs out, the file that is
// largest for its use is moved whole to a temporary host file, and its I/O
// continues there transparently. A few 32 KiB page buffers, reused least
// recently used first, hold the pages in use, so that going back and forth
// between files reloads nothing; temporary files are read and written a
// whole buffer at a time.
//
// Handles are 0..15; a negative handle is a creation failure. Internal
// inconsistencies and temporary-file failures end the program.
#pragma once

#include <cstdint>

#include "platform/hostfile.h"
#include "platform/types.h"

namespace vk {

constexpr int kVFiles = 16;
constexpr uint32_t kVPageSize = 32768;
constexpr uint16_t kVMaxPages = 1024;
constexpr uint16_t kVPageFree = 0xFFFE;
constexpr uint16_t kVPageLast = 0xFFFF;
constexpr int kVBuffers = 16;

struct VFileDescriptor {
    char name[5] = {};   // 4 characters, used in the temporary name
    uint32_t access = 0; // 0 = slot free; counts reads and writes
    uint32_t size = 0;
    uint32_t position = 0;
    uint16_t tempIndex = 0;      // 0 while in memory, else the temporary name's index
    uint16_t first = kVPageLast; // first page while in memory
    uint16_t last = kVPageLast;  // last page of the chain
    uint16_t pageCount = 0;      // pages in the chain
    uint32_t hostSize = 0;       // bytes held by the temporary file
    DosFile host = nullptr;      // the temporary host file once moved out
};

// One page buffer: bytes [start, start + kVPageSize) of its owner's data,
// start a multiple of kVPageSize. Its first `dirty` bytes are not yet
// written back.
struct VPageBuffer {
    int16_t owner = -1; // -1: holds nothing
    uint32_t start = 0;
    uint16_t dirty = 0;
    uint64_t used = 0; // the store's clock at the last use
    uint8_t data[kVPageSize];
};

struct VMControl {
    uint16_t pages = 0;        // supplementary pages owned by the store
    uint16_t sharedPages = 0;  // the shared count taken at start, given back at the end
    uint16_t link[kVMaxPages]; // next page, kVPageFree or kVPageLast
    VFileDescriptor files[kVFiles];
    uint64_t clock = 0; // counts buffer uses
    VPageBuffer buffers[kVBuffers];
};

// The store's control block; null while the store is not started.
extern VMControl* vm;

void InitVMM();
void FreeVMM();

int16_t RewriteVFile(const char* name);
Status SeekVFile(int16_t h, uint32_t position);
uint32_t TellVFile(int16_t h);
Status SeekEofVFile(int16_t h);
bool EofVFile(int16_t h);
// Both take at most kVPageSize bytes per call. ReadVFile returns 1 without
// reading when the file holds fewer than n bytes after the position.
Status WriteVFile(int16_t h, const void* data, uint32_t n);
Status ReadVFile(int16_t h, void* dst, uint32_t n);
Status CloseVFile(int16_t h);
// Closes an open handle (none: -1) and leaves -1 in it.
void ReleaseVFile(int16_t& h);

// Bit lists: one bit per item, stored in a virtual file 64 bytes at a time.
// Written from the start, flushed once, re-initialised, then read back in
// the same order. Each operation returns 0, or 1 when the virtual file
// could not be read or written.
struct BitList {
    uint8_t block[64] = {};
    uint16_t count = 0;
    int16_t vfile = -1;
};
Status InitBitBuff(BitList* list, int16_t vfile);
Status WriteBitBuff(BitList* list, bool bit);
Status FlushBitBuff(BitList* list);
Status ReadBitBuff(BitList* list, bool* bit);

} // namespace vk
