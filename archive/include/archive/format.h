// The disk archive's bytes: fragment files, chunks, section tags and the
// fixed records. Every record is declared here once, with its offsets, and
// is read and written only through its Load/Store pair (little-endian).
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace vk {

// Fragment files -------------------------------------------------------------

constexpr uint32_t kFragmentMagic = 0x10524B56;     // "VKR" 0x10: 20-byte header
constexpr uint32_t kFragmentMagicWide = 0x11524B56; // "VKR" 0x11: 28-byte header

// A fragment file begins with this header; its data bytes follow it. The
// 20-byte header holds the stream's length and offset in 32 bits, so its
// archives end before 4 GB. Archives of drivers whose files may reach 4 GB
// (FsHandler::sizeHighAt) take the wide header instead: the same fields at
// the same offsets as low halves, then the two high halves. All fragments of
// one archive have the same width.
struct FragmentHeader {
    static constexpr uint32_t kSize = 20;
    static constexpr uint32_t kWideSize = 28;
    uint32_t magic = kFragmentMagic; // 0
    uint64_t streamLength = 0; // 4 (high half at 20): sum of all data lengths; 0 until finished
    uint64_t streamOffset = 0; // 8 (high half at 24): position of the first data byte
    uint32_t dataLength = 0;   // 12: data bytes after the header
    uint32_t crc = 0;          // 16: CRC32 of the data bytes

    // The header's size for a fragment beginning with `magic`; 0 when that
    // is no fragment magic.
    static constexpr uint32_t SizeFor(uint32_t magic) {
        return magic == kFragmentMagic ? kSize : magic == kFragmentMagicWide ? kWideSize : 0;
    }
    bool Wide() const { return magic == kFragmentMagicWide; }
    uint32_t Size() const { return Wide() ? kWideSize : kSize; }
    // Reads kSize bytes, and kWideSize when they begin with the wide magic.
    static FragmentHeader Load(const uint8_t* p);
    // Writes Size() bytes.
    void Store(uint8_t* p) const;
};

// Offsets patched when an archive is finished: the stream length in every
// fragment (and its high half at kStreamLengthHighAt in wide ones), and the
// sum of file sizes of the archive header, which begins the first
// fragment's data.
constexpr uint32_t kStreamLengthAt = 4;
constexpr uint32_t kStreamLengthHighAt = 20;
constexpr uint32_t kSumOfSizesInData = 16;

// A fragment's data CRC, followed as the data bytes pass in order. The CRC
// a header records is right when it matches the data as stored or, in the
// first fragment (stream offset 0), the data with the archive header's sum
// of file sizes set to 0: writers store that fragment's CRC before they
// patch the real sum in, and only some of them correct the CRC afterwards.
class FragmentCrc {
  public:
    explicit FragmentCrc(const FragmentHeader& header) : header_(header) {}
    void Add(const uint8_t* data, uint32_t n);
    // The next n data bytes, given their CRC taken from 0 (computed
    // elsewhere, another thread's share of the fragment). They must lie
    // past the sum of sizes.
    void AddCrcOf(uint32_t crcFromZero, uint64_t n);
    // All data bytes seen, and their CRC agrees with the header by the rule above.
    bool Matches() const;
    uint32_t Computed() const { return crc_; }

  private:
    FragmentHeader header_;
    uint32_t crc_ = 0;
    uint64_t seen_ = 0;
    uint8_t sum_[4] = {}; // the sum-of-sizes bytes of the first fragment
};

// The same check over a whole file as its bytes pass, header first, for
// copies that are taken without being parsed (the remote-file cache): a file
// that begins with the fragment magic is sound when its length and data CRC
// agree with its header; any other file is not judged.
class FragmentFileCheck {
  public:
    void Add(const uint8_t* data, uint32_t n);
    bool IsFragment() const { return headBytes_ == HeadSize() && magic_; }
    bool Sound() const;

  private:
    uint32_t HeadSize() const; // the header's size, once its magic is seen
    uint8_t head_[FragmentHeader::kWideSize] = {};
    uint32_t headBytes_ = 0;
    bool magic_ = false;
    FragmentCrc crc_{FragmentHeader{}};
};

// CRC32 of `length` data bytes of the first fragment, of which the sum of
// file sizes changed from `before` to `after`, given their CRC `crc` before
// the change (the CRC has no final XOR and starts from 0, so it is linear).
uint32_t CrcWithSumOfSizes(uint32_t crc, uint32_t length, uint32_t before, uint32_t after);
// The CRC32 `crc` continued over n zero bytes; by the same linearity, the
// CRC of a run of data continued from crc is this XOR the run's own CRC
// from 0.
uint32_t CrcOverZeros(uint32_t crc, uint64_t n);

// Name of fragment n: the first fragment's name with its last k characters
// replaced by the k decimal digits of n (the name keeps its length). Fails
// (returns 1) when the digits would reach past the name's last path
// component (or its start), or out is too small.
Status FragmentName(const char* first, uint32_t n, char* out, uint32_t outSize);

// Chunks -------------------------------------------------------------------

struct ChunkHeader {
    static constexpr uint32_t kSize = 4;
    uint16_t packedLength = 0;   // 0: packed bytes that follow; 0xFFFF = fragment break
    uint16_t unpackedLength = 0; // 2: bytes the chunk unpacks to, 0..32768

    static ChunkHeader Load(const uint8_t* p) { return {ld16(p), ld16(p + 2)}; }
    void Store(uint8_t* p) const {
        st16(p, packedLength);
        st16(p + 2, unpackedLength);
    }
};

constexpr uint16_t kFragmentBreak = 0xFFFF;
constexpr uint32_t kChunkData = 32768;      // unpacked bytes per chunk, at most
constexpr uint32_t kChunkPackedMax = 36864; // packed bytes per chunk, at most

// Section tags: two raw bytes, stored as their little-endian u16.
constexpr uint16_t Tag(char a, char b) {
    return uint16_t(uint8_t(a) | (uint8_t(b) << 8));
}
constexpr uint16_t kTagBootSectors = Tag('B', 'S');
constexpr uint16_t kTagDirSummary = Tag('D', 'S');
constexpr uint16_t kTagFileSummary = Tag('F', 'S');
constexpr uint16_t kTagDirectories = Tag('D', 'C');
constexpr uint16_t kTagFiles = Tag('F', 'C');
constexpr uint16_t kTagEnd = Tag('Z', 'Z');
constexpr uint16_t kTagIFiles = Tag('C', 'F');
constexpr uint16_t kTagIDirectory = Tag('C', 'H');

// Records ------------------------------------------------------------------

constexpr int kBlockSizes = 6; // 1, 2, 4, 8, 16 and 32 KiB
// Entry names: one path component, NUL-terminated, at most this with the NUL.
constexpr uint32_t kEntryNameMax = 128;

struct ArchiveHeader {
    static constexpr uint32_t kSize = 20;
    char fsId[4] = {};        // 0: driver identifier, "FATx" or "EXT2"
    uint32_t dirCount = 0;    // 4: directories (incremental: directory records)
    uint32_t fileCount = 0;   // 8
    uint16_t summaryAttr = 0; // 12: SA
    uint16_t dirAttr = 0;     // 14: DA
    uint32_t sumOfSizes = 0;  // 16: sum of all stored file sizes

    static ArchiveHeader Load(const uint8_t* p);
    void Store(uint8_t* p) const;
};

// Fixed part of a DirSummaryEntry (SA attribute bytes follow).
struct DirSummary {
    static constexpr uint32_t kSize = 20;
    uint16_t blocks[kBlockSizes] = {}; // 0: own block counts
    uint32_t subdirs = 0;              // 12
    uint32_t files = 0;                // 16

    static DirSummary Load(const uint8_t* p);
    void Store(uint8_t* p) const;
};

// Fixed part of a FileSummaryEntry (SA attribute bytes follow).
constexpr uint32_t kFileSummarySize = 4; // u32 file size

struct DirectoryRecord {
    static constexpr uint32_t kSize = 24;
    uint16_t blocks[kBlockSizes] = {}; // 0: own block counts
    uint32_t subdirs = 0;              // 12: S
    uint32_t files = 0;                // 16: F
    uint16_t pops = 0;                 // 20: levels to leave before entering
    uint16_t zero = 0;                 // 22

    static DirectoryRecord Load(const uint8_t* p);
    void Store(uint8_t* p) const;
};

// Fixed part of a SubdirEntry (DA attribute bytes and the name follow).
struct SubdirEntry {
    static constexpr uint32_t kSize = 16;
    uint32_t descendants = 0;          // 0: directories in the subtree, itself included
    uint16_t totals[kBlockSizes] = {}; // 4: subtree block totals

    static SubdirEntry Load(const uint8_t* p);
    void Store(uint8_t* p) const;
};

// Fixed part of a FileEntry (DA attribute bytes and the name follow).
constexpr uint32_t kFileEntrySize = 4; // u32 file size

// File sizes of 4 GB and more: the u32 of the summaries, entries and the
// Files section is the low half; a driver whose attributes have room for
// the high half names its offset (FsHandler::sizeHighAt, 0: none) and the
// attributes carry it. Without that room, or with attributes too short to
// hold it, the high half is 0, so archives of other drivers read as before.
inline uint32_t SizeHighIn(const uint8_t* attributes, uint32_t length, uint8_t at) {
    return at != 0 && attributes != nullptr && uint32_t(at) + 4 <= length ? ld32(attributes + at)
                                                                          : 0;
}
inline uint64_t FullSize(uint32_t low, const uint8_t* attributes, uint32_t length, uint8_t at) {
    return uint64_t(low) | uint64_t(SizeHighIn(attributes, length, at)) << 32;
}
// The header's sum of file sizes is a u32: past 4 GB in all it stays at
// 0xFFFFFFFF, which readers take for "4 GB or more".
constexpr uint32_t AddToSumOfSizes(uint32_t sum, uint64_t size) {
    return size >= 0xFFFFFFFFull - sum ? 0xFFFFFFFF : uint32_t(sum + size);
}
// The number of content chunks of a file of `size` bytes, at most
// 0xFFFFFFFF (a damaged size may be anything up to 2^64 - 1).
constexpr uint32_t ChunksOf(uint64_t size) {
    const uint64_t chunks = size / kChunkData + (size % kChunkData != 0 ? 1 : 0);
    return chunks > 0xFFFFFFFFull ? 0xFFFFFFFF : uint32_t(chunks);
}

struct IDirectoryRecord {
    static constexpr uint32_t kSize = 12;
    uint16_t tag = kTagIDirectory; // 0: "CH"
    uint16_t pops = 0;             // 2
    uint32_t subdirs = 0;          // 4: S
    uint32_t files = 0;            // 8: F

    static IDirectoryRecord Load(const uint8_t* p);
    void Store(uint8_t* p) const;
};

// Length of an entry name stored at p within at most `room` bytes, without
// its NUL; -1 when no NUL lies within min(room, kEntryNameMax) bytes.
int32_t EntryNameLength(const uint8_t* p, uint32_t room);

// `FragmentSize` setting: decimal number with an optional k/K or m/M after
// it (and blanks); 0 or no number gives the default, small values are raised
// to the minimum, and values beyond 32 bits saturate.
constexpr uint32_t kFragmentSizeDefault = 0x5A00000; // 90 MiB
constexpr uint32_t kFragmentSizeMin = 0x80000;       // 512 KiB
uint32_t ParseFragmentSize(const char* text);
uint32_t FragmentSize(); // reads the variable FragmentSize

} // namespace vk
