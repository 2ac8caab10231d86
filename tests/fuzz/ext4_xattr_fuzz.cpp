// Fuzz target: the extended-attribute table of ext4 archives. Any input
// either is refused or loads into records whose attributes all lie inside
// it; a loaded table, written again by the builder, loads to the same
// attributes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fs/ext4_xattr_table.h"

using vk::XattrTable;
using vk::XattrTableBuilder;

namespace {

struct Attr {
    uint32_t inode;
    std::string name;
    std::string value;
};

std::vector<Attr> Walk(const XattrTable& table, const uint8_t* begin, size_t size) {
    std::vector<Attr> all;
    for (uint32_t inode : table.Inodes()) {
        size_t count = 0;
        const bool whole = table.ForEach(inode, [&](const char* name, size_t nameLength,
                                                    const uint8_t* value, size_t valueLength) {
            const auto* n = reinterpret_cast<const uint8_t*>(name);
            if (n < begin || n + nameLength > begin + size || value < begin ||
                value + valueLength > begin + size || nameLength == 0)
                std::abort();
            all.push_back({inode, std::string(name, nameLength),
                           std::string(reinterpret_cast<const char*>(value), valueLength)});
            ++count;
            return true;
        });
        if (!whole || count == 0 || table.RecordBytes(inode) == 0) std::abort();
    }
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The table lies in the boot area at a sector boundary: its own copy,
    // so that reads beyond the input show.
    std::vector<uint8_t> input(data, data + size);
    XattrTable table;
    const char* why = nullptr;
    if (!table.Load(input.data(), input.size(), &why)) {
        if (why == nullptr) std::abort();
        return 0;
    }
    const std::vector<Attr> attrs = Walk(table, input.data(), input.size());

    // Written again, inode by inode, the table loads to the same records.
    XattrTableBuilder builder;
    for (uint32_t inode : table.Inodes()) {
        builder.BeginInode(inode);
        table.ForEach(inode, [&](const char* name, size_t nameLength, const uint8_t* value,
                                 size_t valueLength) {
            builder.Add(name, nameLength, value, valueLength);
            return true;
        });
        builder.EndInode();
    }
    const std::vector<uint8_t> again = builder.Finish(2048);
    XattrTable reloaded;
    if (!reloaded.Load(again.data(), again.size(), &why)) std::abort();
    if (reloaded.Records() != table.Records()) std::abort();
    for (uint32_t inode : table.Inodes())
        if (reloaded.RecordBytes(inode) != table.RecordBytes(inode)) std::abort();
    (void)attrs;
    return 0;
}
