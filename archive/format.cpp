// Loading and storing the archive records, fragment names and the fragment
// size setting.
#include "archive/format.h"

#include <cstring>

#include "platform/checksum.h"
#include "platform/settings.h"

namespace vk {

FragmentHeader FragmentHeader::Load(const uint8_t* p) {
    FragmentHeader h{ld32(p), ld32(p + 4), ld32(p + 8), ld32(p + 12), ld32(p + 16)};
    if (h.Wide()) {
        h.streamLength |= uint64_t(ld32(p + 20)) << 32;
        h.streamOffset |= uint64_t(ld32(p + 24)) << 32;
    }
    return h;
}

void FragmentHeader::Store(uint8_t* p) const {
    st32(p, magic);
    st32(p + 4, uint32_t(streamLength));
    st32(p + 8, uint32_t(streamOffset));
    st32(p + 12, dataLength);
    st32(p + 16, crc);
    if (Wide()) {
        st32(p + 20, uint32_t(streamLength >> 32));
        st32(p + 24, uint32_t(streamOffset >> 32));
    }
}

ArchiveHeader ArchiveHeader::Load(const uint8_t* p) {
    ArchiveHeader h;
    std::memcpy(h.fsId, p, 4);
    h.dirCount = ld32(p + 4);
    h.fileCount = ld32(p + 8);
    h.summaryAttr = ld16(p + 12);
    h.dirAttr = ld16(p + 14);
    h.sumOfSizes = ld32(p + 16);
    return h;
}

void ArchiveHeader::Store(uint8_t* p) const {
    std::memcpy(p, fsId, 4);
    st32(p + 4, dirCount);
    st32(p + 8, fileCount);
    st16(p + 12, summaryAttr);
    st16(p + 14, dirAttr);
    st32(p + 16, sumOfSizes);
}

namespace {

void LoadBlocks(const uint8_t* p, uint16_t* blocks) {
    for (int i = 0; i < kBlockSizes; ++i)
        blocks[i] = ld16(p + 2 * i);
}
void StoreBlocks(uint8_t* p, const uint16_t* blocks) {
    for (int i = 0; i < kBlockSizes; ++i)
        st16(p + 2 * i, blocks[i]);
}

} // namespace

DirSummary DirSummary::Load(const uint8_t* p) {
    DirSummary d;
    LoadBlocks(p, d.blocks);
    d.subdirs = ld32(p + 12);
    d.files = ld32(p + 16);
    return d;
}

void DirSummary::Store(uint8_t* p) const {
    StoreBlocks(p, blocks);
    st32(p + 12, subdirs);
    st32(p + 16, files);
}

DirectoryRecord DirectoryRecord::Load(const uint8_t* p) {
    DirectoryRecord d;
    LoadBlocks(p, d.blocks);
    d.subdirs = ld32(p + 12);
    d.files = ld32(p + 16);
    d.pops = ld16(p + 20);
    d.zero = ld16(p + 22);
    return d;
}

void DirectoryRecord::Store(uint8_t* p) const {
    StoreBlocks(p, blocks);
    st32(p + 12, subdirs);
    st32(p + 16, files);
    st16(p + 20, pops);
    st16(p + 22, zero);
}

SubdirEntry SubdirEntry::Load(const uint8_t* p) {
    SubdirEntry s;
    s.descendants = ld32(p);
    LoadBlocks(p + 4, s.totals);
    return s;
}

void SubdirEntry::Store(uint8_t* p) const {
    st32(p, descendants);
    StoreBlocks(p + 4, totals);
}

IDirectoryRecord IDirectoryRecord::Load(const uint8_t* p) {
    return {ld16(p), ld16(p + 2), ld32(p + 4), ld32(p + 8)};
}

void IDirectoryRecord::Store(uint8_t* p) const {
    st16(p, tag);
    st16(p + 2, pops);
    st32(p + 4, subdirs);
    st32(p + 8, files);
}

int32_t EntryNameLength(const uint8_t* p, uint32_t room) {
    uint32_t limit = room < kEntryNameMax ? room : kEntryNameMax;
    const void* nul = std::memchr(p, 0, limit);
    return nul ? int32_t(static_cast<const uint8_t*>(nul) - p) : -1;
}

Status FragmentName(const char* first, uint32_t n, char* out, uint32_t outSize) {
    size_t len = std::strlen(first);
    if (len + 1 > outSize) return 1;
    std::memcpy(out, first, len + 1);
    if (n == 0) return 0;
    char digits[11];
    int k = 0;
    for (uint32_t v = n; v != 0; v /= 10)
        digits[k++] = char('0' + v % 10);
    if (size_t(k) > len) return 1;
    for (int i = 0; i < k; ++i) {
        // The digits stay inside the last path component: replacing a
        // separator would put the fragment into another directory.
        char replaced = out[len - 1 - i];
        if (replaced == '/' || replaced == '\\' || replaced == '}') return 1;
        out[len - 1 - i] = digits[i];
    }
    return 0;
}

uint32_t ParseFragmentSize(const char* text) {
    if (text == nullptr) return kFragmentSizeDefault;
    uint64_t value = 0;
    const char* p = text;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + uint64_t(*p++ - '0');
        if (value > 0xFFFFFFFFull) value = 0x100000000ull; // saturate, keep parsing
    }
    if (value == 0) return kFragmentSizeDefault;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p == 'k' || *p == 'K')
        value *= 1024;
    else if (*p == 'm' || *p == 'M')
        value *= 1048576;
    if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull;
    if (value < kFragmentSizeMin) value = kFragmentSizeMin;
    return uint32_t(value);
}

uint32_t FragmentSize() {
    return ParseFragmentSize(ReadSetting("FragmentSize"));
}

void FragmentCrc::Add(const uint8_t* data, uint32_t n) {
    crc_ = CRC32(crc_, data, n);
    // The sum of file sizes lies at data bytes 16 to 19 of the first fragment.
    constexpr uint64_t kAt = kSumOfSizesInData;
    for (uint64_t i = seen_ < kAt ? kAt : seen_; i < kAt + 4 && i < seen_ + n; ++i)
        sum_[i - kAt] = data[i - seen_];
    seen_ += n;
}

void FragmentCrc::AddCrcOf(uint32_t crcFromZero, uint64_t n) {
    crc_ = CrcOverZeros(crc_, n) ^ crcFromZero;
    seen_ += n;
}

bool FragmentCrc::Matches() const {
    if (seen_ != header_.dataLength) return false;
    if (crc_ == header_.crc) return true;
    if (header_.streamOffset != 0 || header_.dataLength < ArchiveHeader::kSize) return false;
    uint32_t sum = ld32(sum_);
    return sum != 0 && CrcWithSumOfSizes(crc_, header_.dataLength, sum, 0) == header_.crc;
}

uint32_t FragmentFileCheck::HeadSize() const {
    const uint32_t wide = headBytes_ >= 4 ? FragmentHeader::SizeFor(ld32(head_)) : 0;
    return wide != 0 ? wide : FragmentHeader::kSize;
}

void FragmentFileCheck::Add(const uint8_t* data, uint32_t n) {
    while (n > 0 && headBytes_ < HeadSize()) {
        head_[headBytes_++] = *data++;
        --n;
        if (headBytes_ == HeadSize()) {
            FragmentHeader h = FragmentHeader::Load(head_);
            magic_ = FragmentHeader::SizeFor(h.magic) != 0;
            crc_ = FragmentCrc(h);
        }
    }
    if (n > 0 && IsFragment()) crc_.Add(data, n);
}

bool FragmentFileCheck::Sound() const {
    if (headBytes_ < 4) return true;
    // A file shorter than its header is judged by the magic it begins with.
    if (headBytes_ < HeadSize()) return FragmentHeader::SizeFor(ld32(head_)) == 0;
    return !magic_ || crc_.Matches();
}

uint32_t CrcWithSumOfSizes(uint32_t crc, uint32_t length, uint32_t before, uint32_t after) {
    if (length < ArchiveHeader::kSize) return crc;
    // The change contributes the CRC of the four changed bytes followed by
    // the zero bytes up to the end of the data.
    uint8_t diff[4];
    st32(diff, before ^ after);
    return crc ^ CrcOverZeros(CRC32(0, diff, 4), length - ArchiveHeader::kSize);
}

uint32_t CrcOverZeros(uint32_t crc, uint64_t n) {
    static const uint8_t zeros[65536] = {};
    while (n > 0) {
        size_t piece = n < sizeof zeros ? size_t(n) : sizeof zeros;
        crc = CRC32(crc, zeros, piece);
        n -= piece;
    }
    return crc;
}

} // namespace vk
