// Pure pieces of the NTFS driver's archives, without the library, so that
// they can be exercised on any input: names between UTF-16 (as the volume
// stores them) and UTF-8 (as archives carry them), and the volume table of
// the archived boot area (layout in fs/ntfs/records.h), built while an
// archive is made and checked and looked up while it is restored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace vk {

// UTF-16 code units (host order) to UTF-8; false for a lone surrogate.
bool NtfsUtf16ToUtf8(const char16_t* units, size_t count, std::string& out);
// UTF-8 to UTF-16 code units (host order); false for bytes that are not
// UTF-8 (overlong forms, encoded surrogates, code points beyond U+10FFFF,
// cut sequences).
bool NtfsUtf8ToUtf16(const char* text, size_t length, std::u16string& out);

// What the table says about the volume as a whole.
struct NtfsVolumeInfo {
    uint64_t serial = 0;
    uint32_t clusterSize = 0;
    uint32_t mftRecordSize = 0;
    uint8_t major = 0, minor = 0;
    std::string label; // UTF-8
};

class NtfsTableBuilder {
  public:
    void SetVolume(const NtfsVolumeInfo& info) { volume_ = info; }
    // The index of the descriptor in the table, the same for the same
    // bytes; -1 for one the table cannot hold.
    int64_t AddDescriptor(const uint8_t* bytes, size_t length);
    // An item of the record's entry; items of one record are kept
    // together whatever the order of the calls.
    bool AddItem(uint64_t record, uint8_t type, const uint8_t* bytes, size_t length);
    // The table, padded to whole sectors after `before` bytes that precede
    // it in the boot area.
    std::vector<uint8_t> Finish(uint32_t before) const;
    size_t Descriptors() const { return descriptors_.size(); }

  private:
    NtfsVolumeInfo volume_;
    std::vector<std::string> descriptors_;
    std::unordered_map<std::string, uint32_t> index_;
    std::map<uint64_t, std::vector<std::pair<uint8_t, std::string>>> records_;
};

// A table read back, after checking that it is whole and that everything
// lies within it.
class NtfsTable {
  public:
    // False when the bytes do not form a table (the reason in *why).
    bool Load(const uint8_t* data, size_t size, const char** why);
    const NtfsVolumeInfo& Volume() const { return volume_; }
    size_t Descriptors() const { return descriptors_.size(); }
    // Descriptor `index`: its bytes and length, or null.
    const uint8_t* Descriptor(uint32_t index, uint32_t* length) const;
    size_t Records() const { return records_.size(); }
    // Calls `each` for every item of the record's entry; false when the
    // record has none or `each` returned false.
    bool ForEach(
        uint64_t record,
        const std::function<bool(uint8_t type, const uint8_t* bytes, size_t length)>& each) const;
    // The records that have an entry, in increasing order.
    std::vector<uint64_t> RecordNumbers() const;

  private:
    struct Place {
        size_t at;
        uint32_t length;
    };
    const uint8_t* data_ = nullptr;
    NtfsVolumeInfo volume_;
    std::vector<Place> descriptors_;
    std::map<uint64_t, Place> records_;
};

} // namespace vk
