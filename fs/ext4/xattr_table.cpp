// The extended-attribute table: its bytes written and read back with
// bounds checked at every step.
#include "fs/ext4_xattr_table.h"

#include <cstring>

#include "platform/types.h"
#include "records.h"

namespace vk {

using namespace ext4rec;

XattrTableBuilder::XattrTableBuilder() : bytes_(kTableHeader, 0) {}

void XattrTableBuilder::BeginInode(uint32_t inode) {
    recordAt_ = bytes_.size();
    count_ = 0;
    bytes_.resize(recordAt_ + kRecordHead);
    st32(bytes_.data() + recordAt_, inode);
}

void XattrTableBuilder::Add(const char* name, size_t nameLength, const void* value,
                            size_t valueLength) {
    if (nameLength == 0 || nameLength > 255 || valueLength > kValueMax || count_ == 0xFFFF) return;
    const size_t at = bytes_.size();
    bytes_.resize(at + kAttrHead + nameLength + valueLength);
    uint8_t* p = bytes_.data() + at;
    p[0] = uint8_t(nameLength);
    st32(p + 1, uint32_t(valueLength));
    std::memcpy(p + kAttrHead, name, nameLength);
    if (valueLength > 0) std::memcpy(p + kAttrHead + nameLength, value, valueLength);
    ++count_;
}

uint32_t XattrTableBuilder::EndInode() {
    if (count_ == 0) {
        bytes_.resize(recordAt_);
        return 0;
    }
    st16(bytes_.data() + recordAt_ + 4, count_);
    ++records_;
    return uint32_t(bytes_.size() - recordAt_);
}

const std::vector<uint8_t>& XattrTableBuilder::Finish(uint32_t before) {
    st32(bytes_.data(), kTableMagic);
    st32(bytes_.data() + 4, records_);
    st32(bytes_.data() + 8, uint32_t(bytes_.size() - kTableHeader));
    const size_t end = before + bytes_.size();
    bytes_.resize(bytes_.size() + (512 - end % 512) % 512, 0);
    return bytes_;
}

bool XattrTable::Load(const uint8_t* data, size_t size, const char** why) {
    places_.clear();
    data_ = data;
    if (size < kTableHeader || ld32(data) != kTableMagic) {
        *why = "no attribute table";
        return false;
    }
    const uint32_t records = ld32(data + 4);
    const uint32_t bytes = ld32(data + 8);
    if (bytes > size - kTableHeader) {
        *why = "the attribute table is cut";
        return false;
    }
    // Each record takes at least its head: a count beyond that is false.
    if (records > bytes / kRecordHead) {
        *why = "the attribute table's record count";
        return false;
    }
    size_t at = kTableHeader;
    const size_t end = kTableHeader + size_t(bytes);
    for (uint32_t r = 0; r < records; ++r) {
        if (end - at < kRecordHead) {
            *why = "an attribute record is cut";
            return false;
        }
        const size_t start = at;
        const uint32_t inode = ld32(data + at);
        const uint16_t count = ld16(data + at + 4);
        at += kRecordHead;
        if (count == 0) {
            *why = "an empty attribute record";
            return false;
        }
        for (uint16_t a = 0; a < count; ++a) {
            if (end - at < kAttrHead) {
                *why = "an attribute is cut";
                return false;
            }
            const size_t nameLength = data[at];
            const uint32_t valueLength = ld32(data + at + 1);
            if (nameLength == 0 || valueLength > kValueMax ||
                end - at - kAttrHead < nameLength + size_t(valueLength)) {
                *why = "an attribute is cut";
                return false;
            }
            at += kAttrHead + nameLength + valueLength;
        }
        if (!places_.emplace(inode, Place{start, uint32_t(at - start)}).second) {
            *why = "two attribute records of one inode";
            return false;
        }
    }
    if (at != end) {
        *why = "the attribute table holds more than its records";
        return false;
    }
    return true;
}

bool XattrTable::ForEach(
    uint32_t inode,
    const std::function<bool(const char*, size_t, const uint8_t*, size_t)>& each) const {
    const auto found = places_.find(inode);
    if (found == places_.end()) return false;
    size_t at = found->second.at;
    const uint16_t count = ld16(data_ + at + 4);
    at += kRecordHead;
    for (uint16_t a = 0; a < count; ++a) {
        const size_t nameLength = data_[at];
        const uint32_t valueLength = ld32(data_ + at + 1);
        const char* name = reinterpret_cast<const char*>(data_ + at + kAttrHead);
        if (!each(name, nameLength, data_ + at + kAttrHead + nameLength, valueLength)) return false;
        at += kAttrHead + nameLength + valueLength;
    }
    return true;
}

std::vector<uint32_t> XattrTable::Inodes() const {
    std::vector<uint32_t> inodes;
    inodes.reserve(places_.size());
    for (const auto& [inode, place] : places_)
        inodes.push_back(inode);
    return inodes;
}

uint32_t XattrTable::RecordBytes(uint32_t inode) const {
    const auto found = places_.find(inode);
    return found == places_.end() ? 0 : found->second.bytes;
}

} // namespace vk
