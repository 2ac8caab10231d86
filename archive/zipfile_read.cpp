// The single-file container, reading side: UnzipFile.
#include "archive/zipfile.h"

#include <cstring>

#include "archive/reader.h"
#include "archive/zip.h"
#include "disk/files.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/types.h"
#include "zipfile_blocks.h"

namespace vk {

namespace {

// True when the container has no byte left after the buffered ones.
bool ContainerEnded(ReadIOBuffer* io, uint32_t size, uint32_t consumed) {
    if (size != kUnknownSize) return consumed >= size;
    if (io->count > 0) return false;
    // Size unknown (a remote file read directly): look for one more delivery.
    io->cursor = 0;
    io->count = ReadFILE(&io->file, io->buffer);
    return io->count == 0;
}

// cached receives the local name of a container kept by the remote-file
// cache (kPathMax bytes), or "" for any other.
int UnzipOnce(const char* container, const char* destination, char* cached) {
    ReadIOBuffer io;
    uint32_t size;
    if (ReadIOOpenFileBuffer(container, &io, &size) &&
        ReadIOOpenFileBuffer(container, &io, &size)) {
        ReadIOCloseFileBuffer(&io);
        return -1;
    }
    cached[0] = 0;
    if (io.file.state != nullptr && io.file.state->partition == -1)
        LocalFileName(&io.file, cached, kPathMax);
    const uint8_t* p;
    if (ReadIOReadFileBuffer(&io, &p, kZipFileHeaderSize) || ld16(p) != kZipFileMagic) {
        ReadIOCloseFileBuffer(&io);
        return 1;
    }
    uint32_t length = ld32(p + 2);
    uint32_t storedCrc = ld32(p + 6);
    uint32_t consumed = kZipFileHeaderSize;
    FileRecord out;
    if (CreateFILE(destination, &out, length)) {
        ReadIOCloseFileBuffer(&io);
        return 1;
    }
    ZipBlocks blocks(0, kOutBlock);
    uint16_t context = 0;
    uint32_t crc = 0, fill = 0, total = 0;
    bool failed = false;
    while (!failed && !ContainerEnded(&io, size, consumed)) {
        MonitorESC();
        if (ReadIOReadFileBuffer(&io, &p, 4)) {
            failed = true;
            break;
        }
        uint32_t c = ld16(p), n = ld16(p + 2);
        consumed += 4;
        // A chunk header must be plausible before its lengths are used.
        if (n == 0 || n > kZipChunk || c < n / 8 || c > n + n / 8 + 1 ||
            (size != kUnknownSize && c > size - consumed) || uint64_t(total) + n > length ||
            ReadIOReadFileBuffer(&io, &p, c)) {
            failed = true;
            break;
        }
        consumed += c;
        if (UnzipData(p, c, blocks.output + fill, uint16_t(n), &context, blocks.table) !=
            int32_t(c)) {
            failed = true;
            break;
        }
        crc = CRC32(crc, blocks.output + fill, n);
        fill += n;
        total += n;
        if (fill >= kZipChunk) {
            if (WriteFILE(&out, blocks.output, kZipChunk) != kZipChunk) failed = true;
            fill -= kZipChunk;
            std::memmove(blocks.output, blocks.output + kZipChunk, fill);
        }
    }
    if (!failed && fill > 0 && WriteFILE(&out, blocks.output, uint16_t(fill)) != fill)
        failed = true;
    if (CloseFILE(&out)) failed = true;
    if (ReadIOCloseFileBuffer(&io)) failed = true;
    // A container that ends early or carries other data than it announces
    // is damaged even when every chunk unpacked.
    if (total != length || crc != storedCrc) failed = true;
    // What was unpacked of a damaged container, or before the target ran
    // out of space, is no whole file: it does not stay.
    if (failed) DiscardFILE(&out, destination);
    return failed ? 1 : 0;
}

} // namespace

int UnzipFile(const char* container, const char* destination) {
    char cached[kPathMax];
    int result = UnzipOnce(container, destination, cached);
    if (result == 1 && cached[0]) {
        // A damaged copy in the remote-file cache: drop the local copy (the
        // remote name cannot be deleted) so that the next run fetches anew.
        DeleteFILE(cached);
        result = UnzipOnce(container, destination, cached);
    }
    return result;
}

} // namespace vk
