// The extended-attribute table of an ext4 volume's archived boot area
// (layout in fs/ext4/records.h): built while an archive is made, checked
// and looked up while it is restored. Pure byte handling, without the
// library, so that it can be exercised on any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace vk {

class XattrTableBuilder {
  public:
    XattrTableBuilder();
    // Starts the record of an inode; attributes added next belong to it.
    void BeginInode(uint32_t inode);
    void Add(const char* name, size_t nameLength, const void* value, size_t valueLength);
    // Closes the record (an inode without attributes leaves none); the
    // bytes of the record, 0 when it was dropped.
    uint32_t EndInode();
    // The table, padded to whole sectors after `before` bytes that precede
    // it in the boot area.
    const std::vector<uint8_t>& Finish(uint32_t before);

  private:
    std::vector<uint8_t> bytes_;
    size_t recordAt_ = 0;
    uint16_t count_ = 0;
    uint32_t records_ = 0;
};

// A table read back: every record's place, after checking that the table
// is whole and each record and attribute lies within it.
class XattrTable {
  public:
    // False when the bytes do not form a table (the reason in *why).
    bool Load(const uint8_t* data, size_t size, const char** why);
    // Calls `each` for every attribute of the inode's record; false when
    // the inode has none or `each` returned false.
    bool ForEach(uint32_t inode,
                 const std::function<bool(const char* name, size_t nameLength, const uint8_t* value,
                                          size_t valueLength)>& each) const;
    // Bytes of the inode's record, 0 when it has none.
    uint32_t RecordBytes(uint32_t inode) const;
    size_t Records() const { return places_.size(); }
    // The inodes that have a record, in no particular order.
    std::vector<uint32_t> Inodes() const;

  private:
    struct Place {
        size_t at;
        uint32_t bytes;
    };
    const uint8_t* data_ = nullptr;
    std::unordered_map<uint32_t, Place> places_;
};

} // namespace vk
