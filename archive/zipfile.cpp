// The single-file container.
#include "archive/zipfile.h"

#include <cstring>

#include "archive/reader.h"
#include "archive/writeio.h"
#include "archive/zip.h"
#include "disk/files.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/types.h"

namespace vk {

namespace {

constexpr uint32_t kReadBlock = 65536;
constexpr uint32_t kOutBlock = 65536;

// Frees its blocks on every path out.
struct Blocks {
    uint8_t* input = nullptr;
    uint8_t* output = nullptr;
    uint8_t* table = nullptr;
    Blocks(uint32_t inputSize, uint32_t outputSize) {
        input = static_cast<uint8_t*>(Malloc(ParagraphsFor(inputSize)));
        output = static_cast<uint8_t*>(Malloc(ParagraphsFor(outputSize)));
        table = static_cast<uint8_t*>(Malloc(ParagraphsFor(kZipTableSize)));
        InitZipTable(table);
    }
    ~Blocks() {
        Free(input);
        Free(output);
        Free(table);
    }
    Blocks(const Blocks&) = delete;
    Blocks& operator=(const Blocks&) = delete;
};

// True when the container has no byte left after the buffered ones.
bool ContainerEnded(ReadIOBuffer* io, uint32_t size, uint32_t consumed) {
    if (size != kUnknownSize) return consumed >= size;
    if (io->count > 0) return false;
    // Size unknown (a remote file read directly): look for one more delivery.
    io->cursor = 0;
    uint16_t got = 0;
    FileRecord* file = &io->file;
    got = ReadFILE(file, io->buffer);
    io->count = got;
    return got == 0;
}

int UnzipOnce(const char* container, const char* destination, bool* cached) {
    ReadIOBuffer io;
    uint32_t size;
    if (ReadIOOpenFileBuffer(container, &io, &size) &&
        ReadIOOpenFileBuffer(container, &io, &size)) {
        ReadIOCloseFileBuffer(&io);
        return -1;
    }
    *cached = io.file.state != nullptr && io.file.state->partition == -1;
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
    Blocks blocks(0, kOutBlock);
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
    return failed ? 1 : 0;
}

} // namespace

int ZipFile(const char* source, const char* container) {
    FileRecord in;
    if (OpenFILE(source, &in, 0)) return -1;
    WriteIOHandle out;
    if (WriteIORewriteFile(container, &out)) {
        CloseFILE(&in);
        return -1;
    }
    Blocks blocks(kReadBlock, kZipChunkPacked);
    uint8_t header[kZipFileHeaderSize];
    st16(header, kZipFileMagic);
    st32(header + 2, in.size);
    st32(header + 6, 0);
    bool failed = WriteIOWriteFile(out, header, sizeof header) != 0;
    uint16_t context = 0;
    uint32_t crc = 0, total = 0;
    uint8_t* start = blocks.input;
    uint8_t* end = blocks.input;
    while (!failed) {
        MonitorESC();
        ReadBufferFILE(&in, blocks.input, &start, &end);
        uint32_t held = uint32_t(end - start);
        if (held == 0) break;
        uint16_t n = uint16_t(held < kZipChunk ? held : kZipChunk);
        crc = CRC32(crc, start, n);
        uint16_t c = ZipData(start, blocks.output, n, &context, blocks.table);
        uint8_t chunk[4];
        st16(chunk, c);
        st16(chunk + 2, n);
        if (WriteIOWriteFile(out, chunk, 4) || WriteIOWriteFile(out, blocks.output, c))
            failed = true;
        start += n;
        total += n;
    }
    // A source that delivers less than its size (a read error) must not
    // give a container that looks whole.
    if (in.size != kUnknownSize && total != in.size) failed = true;
    st32(header + 2, total);
    st32(header + 6, crc);
    if (!failed && (WriteIOSeekFile(out, 2) || WriteIOWriteFile(out, header + 2, 8))) failed = true;
    if (WriteIOCloseFile(out)) failed = true;
    CloseFILE(&in);
    return failed ? -1 : 0;
}

int UnzipFile(const char* container, const char* destination) {
    bool cached = false;
    int result = UnzipOnce(container, destination, &cached);
    if (result == 1 && cached) {
        // A damaged copy in the remote-file cache: drop it and fetch anew.
        DeleteFILE(container);
        result = UnzipOnce(container, destination, &cached);
    }
    return result;
}

} // namespace vk
