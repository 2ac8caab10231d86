// CacheDiskFile: a local file read ahead into extended memory in 32 KB
// pages, batch by batch, while the file layer reads it. The first batch is
// one page, so that a small file costs little; later batches fill every
// page.
#include <cstring>

#include "cache_internal.h"
#include "disk/files.h"
#include "net/cache.h"
#include "platform/memory.h"

namespace vk {

int32_t ExtMemPage = -1;
uint32_t ExtMemUsed = 0;

namespace {

constexpr uint32_t kSmallBatch = 65535; // consumed bytes up to which a batch is one page
// Reads land in the staging area one after the other and pages are copied
// out of it in place; what is left of a read moves to the front only when
// the area is nearly full, so that almost every byte is copied once.
constexpr uint32_t kStagingBytes = 32 * kExtPageBytes;

uint8_t staging[kStagingBytes + kChunkMax];
uint32_t heldStart = 0, heldEnd = 0; // bytes read but not yet in a page
uint32_t consumed = 0;               // file bytes moved into pages so far
bool ended = false;                  // the file has delivered its last byte

} // namespace

bool StartReadAhead(FileRecord*) {
    if (ExtMemPage != -1 || GetExtMem() < 2) return false;
    ExtMemPage = 0;
    ExtMemUsed = 0;
    heldStart = heldEnd = consumed = 0;
    ended = false;
    return true;
}

uint16_t ReadAhead(FileRecord* file, uint8_t* buffer) {
    if (ExtMemUsed == 0) {
        if (ended || CacheDiskFile(file, buffer) == 0) return 0;
        ExtMemPage = 0;
    }
    uint32_t bytes = ExtMemUsed < kExtPageBytes ? ExtMemUsed : kExtPageBytes;
    CopyFromExtMem(buffer, uint16_t(ExtMemPage), uint16_t((bytes + 1) / 2));
    ExtMemUsed -= bytes;
    ++ExtMemPage;
    return uint16_t(bytes);
}

void StopReadAhead(FileRecord*) {
    ExtMemPage = -1;
    ExtMemUsed = 0;
    heldStart = heldEnd = 0;
    ended = false;
}

// `buffer` is not needed: the reads go straight into the staging area.
uint32_t CacheDiskFile(FileRecord* file, uint8_t* /*buffer*/) {
    file->readAhead = 0; // ReadFILE now goes to the disk
    uint32_t total = 0;
    uint16_t pages = GetExtMem();
    for (uint16_t page = 0; page < pages; ++page) {
        while (heldEnd - heldStart < kExtPageBytes && !ended) {
            if (heldEnd + kChunkMax > kStagingBytes) {
                std::memmove(staging, staging + heldStart, heldEnd - heldStart);
                heldEnd -= heldStart;
                heldStart = 0;
            }
            uint16_t n = ReadFILE(file, staging + heldEnd);
            if (n == 0) ended = true;
            heldEnd += n;
        }
        uint32_t bytes = heldEnd - heldStart;
        if (bytes > kExtPageBytes) bytes = kExtPageBytes;
        if (bytes == 0) break;
        // An odd count copies one byte more, still inside the area.
        CopyToExtMem(staging + heldStart, page, uint16_t((bytes + 1) / 2));
        heldStart += bytes;
        total += bytes;
        consumed += bytes;
        if (ended || consumed <= kSmallBatch) break;
    }
    file->readAhead = 1;
    ExtMemUsed = total;
    return total;
}

} // namespace vk
