// Names between UTF-16 and UTF-8, and the volume table of archived boot
// areas (fs/ntfs/records.h): pure byte handling.
#include <algorithm>
#include <cstring>

#include "fs/ntfs_table.h"
#include "platform/types.h"
#include "records.h"

namespace vk {

using namespace ntfsrec;

bool NtfsUtf16ToUtf8(const char16_t* units, size_t count, std::string& out) {
    out.clear();
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(units[++i]) - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

bool NtfsUtf8ToUtf16(const char* text, size_t length, std::u16string& out) {
    out.clear();
    out.reserve(length);
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    size_t i = 0;
    while (i < length) {
        const uint8_t b = s[i];
        uint32_t c = 0;
        size_t more = 0;
        uint32_t least = 0;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, more = 1, least = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, more = 2, least = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, more = 3, least = 0x10000;
        } else {
            return false;
        }
        if (more > length - i - 1) return false;
        for (size_t k = 1; k <= more; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += more + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(char16_t(0xD800 + (c >> 10)));
            out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(char16_t(c));
        }
    }
    return true;
}

int64_t NtfsTableBuilder::AddDescriptor(const uint8_t* bytes, size_t length) {
    if (length < kDescriptorMin || length > kValueMax) return -1;
    std::string key(reinterpret_cast<const char*>(bytes), length);
    const auto found = index_.find(key);
    if (found != index_.end()) return found->second;
    const uint32_t index = uint32_t(descriptors_.size());
    descriptors_.push_back(key);
    index_.emplace(std::move(key), index);
    return index;
}

bool NtfsTableBuilder::AddItem(uint64_t record, uint8_t type, const uint8_t* bytes, size_t length) {
    if (length > kValueMax) return false;
    auto& items = records_[record];
    if (items.size() >= 0xFFFF) return false;
    items.emplace_back(type, std::string(reinterpret_cast<const char*>(bytes), length));
    return true;
}

std::vector<uint8_t> NtfsTableBuilder::Finish(uint32_t before) const {
    const std::string& label = volume_.label;
    const uint32_t labelBytes = uint32_t(std::min<size_t>(label.size(), kLabelMax));
    std::vector<uint8_t> out(kTableHeader);
    // Appends by resize and copy: GCC's -O3 misreads vector::insert from a
    // string's iterators as an overrun (-Warray-bounds).
    auto append = [&out](const void* from, size_t n) {
        const size_t at = out.size();
        out.resize(at + n);
        if (n) std::memcpy(out.data() + at, from, n);
    };
    uint8_t* h = out.data();
    st32(h + 0, kTableMagic);
    st32(h + 8, uint32_t(volume_.serial));
    st32(h + 12, uint32_t(volume_.serial >> 32));
    st32(h + 16, volume_.clusterSize);
    st32(h + 20, volume_.mftRecordSize);
    h[24] = volume_.major;
    h[25] = volume_.minor;
    st16(h + 26, uint16_t(labelBytes));
    st32(h + 28, uint32_t(descriptors_.size()));
    st32(h + 32, uint32_t(records_.size()));
    append(label.data(), labelBytes);
    uint8_t head[kRecordHead];
    for (const std::string& d : descriptors_) {
        st32(head, uint32_t(d.size()));
        append(head, 4);
        append(d.data(), d.size());
    }
    for (const auto& [record, items] : records_) {
        st32(head, uint32_t(record));
        st32(head + 4, uint32_t(record >> 32));
        st16(head + 8, uint16_t(items.size()));
        append(head, kRecordHead);
        for (const auto& [type, bytes] : items) {
            head[0] = type;
            st32(head + 1, uint32_t(bytes.size()));
            append(head, kItemHead);
            append(bytes.data(), bytes.size());
        }
    }
    st32(out.data() + 4, uint32_t(out.size()));
    const size_t end = before + out.size();
    out.resize(out.size() + (512 - end % 512) % 512, 0);
    return out;
}

bool NtfsTable::Load(const uint8_t* data, size_t size, const char** why) {
    data_ = data;
    descriptors_.clear();
    records_.clear();
    volume_ = {};
    auto refuse = [&](const char* reason) {
        *why = reason;
        descriptors_.clear();
        records_.clear();
        return false;
    };
    if (size < kTableHeader || ld32(data) != kTableMagic) return refuse("no volume table");
    const uint32_t bytes = ld32(data + 4);
    if (bytes < kTableHeader || bytes > size) return refuse("the volume table's length");
    volume_.serial = ld32(data + 8) | uint64_t(ld32(data + 12)) << 32;
    volume_.clusterSize = ld32(data + 16);
    volume_.mftRecordSize = ld32(data + 20);
    volume_.major = data[24];
    volume_.minor = data[25];
    const uint32_t labelBytes = ld16(data + 26);
    const uint32_t descriptors = ld32(data + 28), recordCount = ld32(data + 32);
    if (labelBytes > kLabelMax) return refuse("the volume label");
    size_t at = kTableHeader;
    if (labelBytes > bytes - at) return refuse("the volume label");
    volume_.label.assign(reinterpret_cast<const char*>(data + at), labelBytes);
    at += labelBytes;
    // Every descriptor takes at least 4 + kDescriptorMin bytes, every
    // record entry at least kRecordHead + kItemHead.
    if (descriptors > (bytes - at) / (4 + kDescriptorMin)) return refuse("the descriptor count");
    descriptors_.reserve(descriptors);
    for (uint32_t i = 0; i < descriptors; ++i) {
        if (bytes - at < 4) return refuse("a security descriptor");
        const uint32_t length = ld32(data + at);
        at += 4;
        if (length < kDescriptorMin || length > kValueMax || length > bytes - at)
            return refuse("a security descriptor");
        descriptors_.push_back({at, length});
        at += length;
    }
    if (recordCount > (bytes - at) / (kRecordHead + kItemHead)) return refuse("the record count");
    uint64_t previous = 0;
    for (uint32_t i = 0; i < recordCount; ++i) {
        if (bytes - at < kRecordHead) return refuse("a record entry");
        const uint64_t record = ld32(data + at) | uint64_t(ld32(data + at + 4)) << 32;
        const uint32_t items = ld16(data + at + 8);
        if (items == 0) return refuse("a record entry without items");
        if (i > 0 && record <= previous) return refuse("record entries out of order");
        previous = record;
        const size_t start = at;
        at += kRecordHead;
        for (uint32_t k = 0; k < items; ++k) {
            if (bytes - at < kItemHead) return refuse("an item of a record entry");
            const uint32_t length = ld32(data + at + 1);
            at += kItemHead;
            if (length > kValueMax || length > bytes - at)
                return refuse("an item of a record entry");
            at += length;
        }
        records_.emplace(record, Place{start, uint32_t(at - start)});
    }
    if (at != bytes) return refuse("the volume table does not end where announced");
    return true;
}

const uint8_t* NtfsTable::Descriptor(uint32_t index, uint32_t* length) const {
    if (index >= descriptors_.size()) return nullptr;
    *length = descriptors_[index].length;
    return data_ + descriptors_[index].at;
}

bool NtfsTable::ForEach(
    uint64_t record,
    const std::function<bool(uint8_t type, const uint8_t* bytes, size_t length)>& each) const {
    const auto found = records_.find(record);
    if (found == records_.end()) return false;
    const uint8_t* p = data_ + found->second.at;
    const uint32_t items = ld16(p + 8);
    size_t at = kRecordHead;
    for (uint32_t k = 0; k < items; ++k) {
        const uint8_t type = p[at];
        const uint32_t length = ld32(p + at + 1);
        at += kItemHead;
        if (!each(type, p + at, length)) return false;
        at += length;
    }
    return true;
}

std::vector<uint64_t> NtfsTable::RecordNumbers() const {
    std::vector<uint64_t> out;
    out.reserve(records_.size());
    for (const auto& [record, place] : records_)
        out.push_back(record);
    return out;
}

} // namespace vk
