// The single-file container, writing side: ZipFile.
#include "archive/zipfile.h"

#include "archive/reader.h"
#include "archive/writeio.h"
#include "archive/zip.h"
#include "disk/files.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/types.h"
#include "zipfile_blocks.h"

namespace vk {

int ZipFile(const char* source, const char* container) {
    FileRecord in;
    if (OpenFILE(source, &in, 0)) return -1;
    WriteIOHandle out;
    if (WriteIORewriteFile(container, &out)) {
        CloseFILE(&in);
        return -1;
    }
    ZipBlocks blocks(kReadBlock, kZipChunkPacked);
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

} // namespace vk
