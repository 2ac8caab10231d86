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

uint8_t staging[kExtPageBytes];
uint8_t carry[kChunkMax]; // bytes of the last read that did not fit the page
uint32_t carried = 0;
uint32_t consumed = 0; // file bytes moved into pages so far
bool ended = false;    // the file has delivered its last byte

} // namespace

bool StartReadAhead(FileRecord*) {
    if (ExtMemPage != -1 || GetExtMem() < 2) return false;
    ExtMemPage = 0;
    ExtMemUsed = 0;
    carried = consumed = 0;
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
    carried = 0;
    ended = false;
}

uint32_t CacheDiskFile(FileRecord* file, uint8_t* buffer) {
    file->readAhead = 0; // ReadFILE now goes to the disk
    uint32_t total = 0;
    uint16_t pages = GetExtMem();
    for (uint16_t page = 0; page < pages; ++page) {
        uint32_t staged = carried;
        std::memcpy(staging, carry, carried);
        carried = 0;
        while (staged < kExtPageBytes && !ended) {
            uint16_t n = ReadFILE(file, buffer);
            if (n == 0) {
                ended = true;
                break;
            }
            uint32_t fit = kExtPageBytes - staged < n ? kExtPageBytes - staged : n;
            std::memcpy(staging + staged, buffer, fit);
            staged += fit;
            carried = n - fit;
            std::memcpy(carry, buffer + fit, carried);
        }
        if (staged == 0) break;
        CopyToExtMem(staging, page, uint16_t((staged + 1) / 2));
        total += staged;
        consumed += staged;
        if (ended || consumed <= kSmallBatch) break;
    }
    file->readAhead = 1;
    ExtMemUsed = total;
    return total;
}

} // namespace vk
