// LoadRamDisk, LoadZRamDisk and LinuxBoot: images loaded page by page into
// extended memory. A cached copy found damaged when it is closed (or whose
// unpacked data fails the CRC) is dropped and fetched again, a bounded
// number of times.
#include "net/boot.h"

#include <cstring>

#include "archive/zip.h"
#include "disk/disk.h"
#include "disk/files.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/hostfile.h"
#include "platform/memory.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint32_t kPage = kExtPageBytes;
constexpr uint32_t kReadBlock = 65536;
// Room for what is held plus one delivery of the file layer.
constexpr uint32_t kFillBlock = kReadBlock + kChunkMax;
constexpr uint32_t kZipHeader = 10;
constexpr uint16_t kZipMagic = 0xF4F4;

// Linux setup header fields, by offset from the image start.
constexpr size_t kSetupSects = 0x1F1;
constexpr size_t kRootDev = 0x1FC;
constexpr size_t kSignature = 0x202;
constexpr size_t kVersionOffset = 0x20E;
constexpr size_t kLoaderType = 0x210;
constexpr size_t kRamdiskImage = 0x218;
constexpr size_t kRamdiskSize = 0x21C;
constexpr uint32_t kHdrS = 0x53726448; // "HdrS"

const char* const kNoMemory = "\r\nERROR : Not enough extended memory to load Linux ramdisk";

struct Block {
    uint8_t* data;
    explicit Block(uint32_t bytes) : data(static_cast<uint8_t*>(Malloc(ParagraphsFor(bytes)))) {}
    ~Block() { Free(data); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
};

void StorePage(const uint8_t* data, uint32_t bytes, uint16_t page) {
    if (page >= GetExtMem()) FatalError(kNoMemory);
    CopyToExtMem(data, page, uint16_t((bytes + 1) / 2));
}

// Copies an open file to extended memory from `page` on, 32 KB a page, the
// last page zero-padded. Returns the bytes loaded; `dots` logs one "." a page.
uint32_t LoadPages(FileRecord* file, uint16_t page, bool dots) {
    Block buffer(kReadBlock);
    uint8_t* start = buffer.data;
    uint8_t* end = buffer.data;
    uint32_t size = 0;
    for (;;) {
        int ended = ReadBufferFILE(file, buffer.data, &start, &end);
        while (uint32_t(end - start) >= kPage) {
            StorePage(start, kPage, page++);
            if (dots) Log(".");
            start += kPage;
            size += kPage;
        }
        if (ended) break;
    }
    uint32_t rest = uint32_t(end - start);
    if (rest > 0) {
        std::memset(end, 0, kPage - rest);
        StorePage(start, kPage, page);
        if (dots) Log(".");
        size += rest;
    }
    return size;
}

// Fills the buffer until `need` bytes are held; false when the file ends first.
bool Hold(FileRecord* file, uint8_t* buffer, uint8_t** start, uint8_t** end, uint32_t need) {
    uint32_t held = uint32_t(*end - *start);
    if (held >= need) return true;
    std::memmove(buffer, *start, held);
    *start = buffer;
    *end = buffer + held;
    while (held < need) {
        uint16_t n = ReadFILE(file, *end);
        if (n == 0) return false;
        held += n;
        *end += n;
    }
    return true;
}

// One pass over a compressed image: true when every chunk unpacked and the
// CRC and length agree with the header. A file of unknown size (a remote one
// read directly) ends where no further chunk header follows.
bool UnpackImage(FileRecord* file, uint32_t* size) {
    Block buffer(kFillBlock);
    Block output(kZipChunk);
    Block table(kZipTableSize);
    InitZipTable(table.data);
    uint8_t* start = buffer.data;
    uint8_t* end = buffer.data;
    const bool known = file->size != 0xFFFFFFFF;
    if ((known && file->size < kZipHeader) || !Hold(file, buffer.data, &start, &end, kZipHeader) ||
        ld16(start) != kZipMagic)
        return false;
    uint32_t length = ld32(start + 2), storedCrc = ld32(start + 6);
    start += kZipHeader;
    uint32_t left = known ? file->size - kZipHeader : 0xFFFFFFFF, crc = 0, total = 0;
    uint16_t context = 0, page = kImageFirstPage;
    while (left > 0) {
        MonitorESC();
        if (left < 4 || !Hold(file, buffer.data, &start, &end, 4)) {
            if (!known && start == end) break; // the end of the file
            return false;
        }
        uint32_t c = ld16(start), n = ld16(start + 2);
        if (n == 0 || n > kZipChunk || c < n / 8 || c > n / 8 + n + 1 || c > left - 4 ||
            !Hold(file, buffer.data, &start, &end, 4 + c))
            return false;
        if (UnzipData(start + 4, c, output.data, uint16_t(n), &context, table.data) != int32_t(c))
            return false;
        crc = CRC32(crc, output.data, n);
        StorePage(output.data, n, page++);
        total += n;
        start += 4 + c;
        left -= 4 + c;
    }
    *size = total;
    return crc == storedCrc && total == length;
}

bool OnCachePartition(const FileRecord* file) {
    return file->state != nullptr && file->state->partition == -1;
}

} // namespace

int LoadRamDisk(const char* name, uint32_t* size) {
    for (int load = 0; load < kImageLoads; ++load) {
        FileRecord file;
        if (OpenFILE(name, &file, kOpenCacheAlways) != 0 &&
            OpenFILE(name, &file, kOpenCacheAlways) != 0)
            return 1;
        uint32_t loaded = LoadPages(&file, kImageFirstPage, false);
        // A cached copy found damaged has been dropped: load it again.
        if (CloseFILE(&file) == 0) {
            *size = loaded;
            return 0;
        }
    }
    Log("ERROR: the image stays damaged after repeated loads\r\n");
    return 1;
}

int LoadZRamDisk(const char* name, uint32_t* size) {
    for (int load = 0; load < kImageLoads; ++load) {
        FileRecord file;
        if (OpenFILE(name, &file, kOpenCacheAlways) != 0 &&
            OpenFILE(name, &file, kOpenCacheAlways) != 0)
            return -1;
        char local[kPathMax] = {};
        bool cached = OnCachePartition(&file) && LocalFileName(&file, local, sizeof local);
        uint32_t unpacked = 0;
        bool good = UnpackImage(&file, &unpacked);
        if (CloseFILE(&file) != 0) good = false;
        if (good) {
            *size = unpacked;
            return 0;
        }
        if (!cached) return 1;
        // The local copy in the cache is dropped (not the remote file), so
        // that the next load fetches the image anew.
        DeleteFILE(local);
    }
    Log("ERROR: the image stays damaged after repeated loads\r\n");
    return 1;
}

bool CheckKernelHeader(const uint8_t* page, uint32_t size, char* version, int versionSize) {
    version[0] = 0;
    uint32_t setup = page[kSetupSects];
    if (setup > 63 || size < (setup + 1) * 512 || ld32(page + kSignature) != kHdrS) return false;
    uint32_t at = uint32_t(ld16(page + kVersionOffset)) + 512;
    int n = 0;
    while (at < kPage && at < size && n + 1 < versionSize && n < 80 && page[at] != 0)
        version[n++] = char(page[at++]);
    version[n] = 0;
    return true;
}

int LinuxBoot(const char* kernel, const char* ramdisk, const char*, const char** failure) {
    Block work(kReadBlock);
    for (int load = 0; load < kImageLoads; ++load) {
        uint32_t kernelSize = 0;
        if (LoadRamDisk(kernel, &kernelSize) != 0 || kernelSize < 512) {
            *failure = "Cannot open kernel image";
            return 1;
        }
        CopyFromExtMem(work.data, kImageFirstPage, kExtPageWords);
        char version[96];
        if (!CheckKernelHeader(work.data, kernelSize, version, sizeof version)) {
            *failure = "Invalid kernel image";
            return 1;
        }
        PrintString("Linux ");
        PrintString(version);
        PrintString("\r\n");
        int32_t kernelPages = int32_t((kernelSize + kPage - 1) / kPage);
        int32_t first = 0;
        uint32_t ramdiskSize = 0;
        if (ramdisk) {
            Log("Loading linux ramdisk");
            FileRecord file;
            if (OpenFILE(ramdisk, &file, kOpenCacheAlways) != 0)
                FatalError("\r\nERROR : Cannot open Linux ramdisk file");
            if (file.size != 0xFFFFFFFF)
                first =
                    int32_t(GetExtMem()) - int32_t((uint64_t(file.size) + kPage - 1) / kPage) - 1;
            else
                first = int32_t((kernelSize - 1) / kPage) + 69;
            if (first < kernelPages + 5) {
                CloseFILE(&file);
                FatalError("\r\nERROR : Not enough space for the ramdisk");
            }
            ramdiskSize = LoadPages(&file, uint16_t(first), true);
            Log("\r\n");
            // A damaged cached copy was dropped: start again from the kernel.
            if (CloseFILE(&file) != 0) continue;
        }
        CopyFromExtMem(work.data, kImageFirstPage, kExtPageWords);
        if (ramdisk) {
            st16(work.data + kRootDev, 0x01FA);
            work.data[kLoaderType] = 0x10;
            st32(work.data + kRamdiskImage, uint32_t(first) * kPage + 0x100000);
            st32(work.data + kRamdiskSize, ramdiskSize);
        }
        CopyToExtMem(work.data, kImageFirstPage, kExtPageWords);
        HideBootPROM();
        SetupRamDisk();
        uint8_t sector[kSectorSize];
        ReadFloppyBootSect(sector);
        RebootFromSect();
    }
    *failure = "Could not read ramdisk image";
    return 1;
}

} // namespace vk
