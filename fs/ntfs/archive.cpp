// What an archive of an NTFS volume carries beyond its tree: the fixed
// attributes of every entry (fs/ntfs/records.h), the named data streams of
// files and directories as entries of their own, and the boot area (the
// volume's boot sectors, then the table of security descriptors and
// per-record metadata: DOS names, reparse data, object IDs, extended
// attributes). The metadata is gathered while the archive's walk lists the
// tree, the boot area once the walk is done.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "disk/disk.h"
#include "fs/ntfs_table.h"
#include "ntfs_internal.h"
#include "platform/console.h"
#include "platform/util.h"
#include "records.h"

extern "C" {
#include <ntfs-3g/ea.h>
#include <ntfs-3g/object_id.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/security.h>
}

namespace vk {

using namespace ntfsrec;

namespace {

// 100-ns intervals between 1601 and 1970.
constexpr int64_t kEpochDelta = 116444736000000000LL;

uint32_t UnixSeconds(int64_t nt) {
    const int64_t seconds = (nt - kEpochDelta) / 10000000;
    return uint32_t(std::clamp<int64_t>(seconds, 0, UINT32_MAX));
}

void St64(uint8_t* p, uint64_t v) {
    st32(p, uint32_t(v));
    st32(p + 4, uint32_t(v >> 32));
}

uint64_t Ld64(const uint8_t* p) {
    return ld32(p) | uint64_t(ld32(p + 4)) << 32;
}

bool IsDir(const ntfs_inode* ni) {
    return (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
}

// The security descriptor, DOS name, reparse data and object ID of a
// record, into the table (once per record); the descriptor's index + 1.
uint32_t Collect(NtfsArchive& a, ntfs_volume* vol, ntfs_inode* ni) {
    const auto known = a.descriptorOf.find(ni->mft_no);
    if (known != a.descriptorOf.end()) return known->second;
    // One buffer for every record of the walk.
    std::vector<char>& buffer = a.buffer;
    if (buffer.size() < kValueMax) buffer.resize(kValueMax);
    uint32_t descriptor = 0;
    SECURITY_CONTEXT scx{};
    scx.vol = vol;
    const int length = ntfs_get_ntfs_acl(&scx, ni, buffer.data(), buffer.size());
    if (length > 0) {
        const int64_t index =
            a.table.AddDescriptor(reinterpret_cast<uint8_t*>(buffer.data()), size_t(length));
        if (index >= 0) descriptor = uint32_t(index) + 1;
    }
    if (le32_to_cpu(ni->flags) & FILE_ATTR_REPARSE_POINT) {
        const int n = ntfs_get_ntfs_reparse_data(ni, buffer.data(), buffer.size());
        if (n > 0 && a.table.AddItem(ni->mft_no, kItemReparse,
                                     reinterpret_cast<uint8_t*>(buffer.data()), size_t(n)))
            a.metaFlags[ni->mft_no] |= kFlagReparse;
    }
    const int n = ntfs_get_ntfs_object_id(ni, buffer.data(), buffer.size());
    if (n > 0 && a.table.AddItem(ni->mft_no, kItemObjectId,
                                 reinterpret_cast<uint8_t*>(buffer.data()), size_t(n)))
        a.metaFlags[ni->mft_no] |= kFlagObjectId;
    const int ea = ntfs_get_ntfs_ea(ni, buffer.data(), buffer.size());
    if (ea > 0 && size_t(ea) <= buffer.size())
        a.table.AddItem(ni->mft_no, kItemEa, reinterpret_cast<uint8_t*>(buffer.data()), size_t(ea));
    a.descriptorOf.emplace(ni->mft_no, descriptor);
    return descriptor;
}

} // namespace

NtfsArchive& NtfsArchiveOf(NtfsVolume& volume) {
    if (!volume.archive) volume.archive = std::make_unique<NtfsArchive>();
    return *volume.archive;
}

void NtfsListStreams(ntfs_inode* ni, std::vector<NtfsStream>& streams) {
    streams.clear();
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (ctx == nullptr) return;
    while (ntfs_attr_lookup(AT_DATA, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
        const ATTR_RECORD* attr = ctx->attr;
        if (attr->name_length == 0) continue;
        NtfsStream s;
        const auto* name = reinterpret_cast<const ntfschar*>(
            reinterpret_cast<const uint8_t*>(attr) + le16_to_cpu(attr->name_offset));
        for (int i = 0; i < attr->name_length; ++i)
            s.name.push_back(char16_t(le16_to_cpu(name[i])));
        // An attribute in several records lists its first one only (the
        // one that starts at VCN 0) with the sizes.
        if (attr->non_resident && sle64_to_cpu(attr->lowest_vcn) != 0) continue;
        s.size = attr->non_resident ? uint64_t(sle64_to_cpu(attr->data_size))
                                    : le32_to_cpu(attr->value_length);
        s.allocated =
            attr->non_resident
                ? uint64_t(sle64_to_cpu((attr->flags & (ATTR_IS_COMPRESSED | ATTR_IS_SPARSE))
                                            ? attr->compressed_size
                                            : attr->allocated_size))
                : 0;
        if (attr->flags & ATTR_IS_SPARSE) s.flags |= kFlagSparse;
        if (attr->flags & ATTR_IS_COMPRESSED) s.flags |= kFlagCompressed;
        streams.push_back(std::move(s));
    }
    ntfs_attr_put_search_ctx(ctx);
}

Status NtfsPackInode(NtfsVolume& volume, ntfs_inode* ni, uint8_t* attributes, uint64_t* size,
                     bool collect) {
    std::fill_n(attributes, kTotal, 0);
    const bool directory = IsDir(ni);
    const uint32_t fileAttributes = le32_to_cpu(ni->flags);
    uint64_t bytes = 0, allocated = 0;
    uint16_t flags = 0;
    if (!directory) {
        if (ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0)) {
            bytes = uint64_t(na->data_size);
            allocated = uint64_t((na->data_flags & (ATTR_IS_COMPRESSED | ATTR_IS_SPARSE))
                                     ? na->compressed_size
                                     : na->allocated_size);
            if (!NAttrNonResident(na)) allocated = 0;
            if (na->data_flags & ATTR_IS_SPARSE) flags |= kFlagSparse;
            if (na->data_flags & ATTR_IS_COMPRESSED) flags |= kFlagCompressed;
            ntfs_attr_close(na);
        }
    } else if (ntfs_attr* na = ntfs_attr_open(ni, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4)) {
        allocated = uint64_t(na->allocated_size);
        ntfs_attr_close(na);
    }
    uint16_t mode = directory ? 040755 : (fileAttributes & FILE_ATTR_READONLY) ? 0100444 : 0100644;
    st16(attributes + kAttrMode, mode);
    const int64_t creation = sle64_to_cpu(ni->creation_time);
    const int64_t modification = sle64_to_cpu(ni->last_data_change_time);
    const int64_t change = sle64_to_cpu(ni->last_mft_change_time);
    const int64_t access = sle64_to_cpu(ni->last_access_time);
    st32(attributes + kAttrAtime, UnixSeconds(access));
    st32(attributes + kAttrMtime, UnixSeconds(modification));
    st32(attributes + kAttrCtime, UnixSeconds(change));
    st32(attributes + kAttrSize, uint32_t(bytes));
    st32(attributes + kSizeHigh, uint32_t(bytes >> 32));
    St64(attributes + kCreation, uint64_t(creation));
    St64(attributes + kModification, uint64_t(modification));
    St64(attributes + kMftChange, uint64_t(change));
    St64(attributes + kAccess, uint64_t(access));
    st32(attributes + kFileAttributes, fileAttributes);
    St64(attributes + kRecord, ni->mft_no);
    st16(attributes + kLinks, le16_to_cpu(ni->mrec->link_count));
    st32(attributes + kAllocated,
         uint32_t(std::min<uint64_t>((allocated + 1023) / 1024, UINT32_MAX)));
    if (collect && volume.vol != nullptr) {
        NtfsArchive& a = NtfsArchiveOf(volume);
        st32(attributes + kSecurity, Collect(a, volume.vol, ni));
        const auto meta = a.metaFlags.find(ni->mft_no);
        if (meta != a.metaFlags.end()) flags |= meta->second;
    }
    st16(attributes + kFlags, flags);
    *size = bytes;
    return 0;
}

void NtfsPackStream(const uint8_t* file, const NtfsStream& stream, uint8_t* attributes) {
    std::memcpy(attributes, file, kTotal);
    // A directory's stream is listed as a file.
    if ((ld16(attributes + kAttrMode) & 0170000) == 040000) st16(attributes + kAttrMode, 0100644);
    st32(attributes + kAttrSize, uint32_t(stream.size));
    st32(attributes + kSizeHigh, uint32_t(stream.size >> 32));
    st32(attributes + kAllocated,
         uint32_t(std::min<uint64_t>((stream.allocated + 1023) / 1024, UINT32_MAX)));
    st16(attributes + kFlags, uint16_t(kFlagStream | stream.flags));
}

void NtfsNoteDosName(NtfsVolume& volume, uint64_t record, uint64_t parent,
                     const std::string& name) {
    std::string item(8, '\0');
    St64(reinterpret_cast<uint8_t*>(item.data()), parent);
    item += name;
    NtfsArchive& a = NtfsArchiveOf(volume);
    if (!a.dosNamesNoted.emplace(record, parent).second) return;
    if (a.table.AddItem(record, kItemDosName, reinterpret_cast<const uint8_t*>(item.data()),
                        item.size()))
        a.metaFlags[record] |= kFlagDosName;
}

namespace {

// The boot area, built once per walk: the walk has gathered the table.
const std::vector<uint8_t>* BootArea(FsState& part) {
    NtfsVolume* volume = NtfsVolumeOf(part);
    if (volume == nullptr || volume->vol == nullptr) return nullptr;
    NtfsArchive& a = NtfsArchiveOf(*volume);
    if (!a.bootArea.empty()) return &a.bootArea;
    ntfs_volume* vol = volume->vol;
    // The root's own metadata, in case the walk has not asked for it.
    if (ntfs_inode* root = ntfs_inode_open(vol, FILE_root)) {
        Collect(a, vol, root);
        ntfs_inode_close(root);
    }
    std::vector<uint8_t> area(kBootBytes);
    if (Seek(part, 0) != 0 || ReadSects(part, kBootBytes / kSectorSize, area.data()) != 0) {
        Log("NTFS ERROR: Cannot read the boot area\r\n");
        return nullptr;
    }
    NtfsVolumeInfo info;
    info.serial = ld32(area.data() + bs::kSerial) | uint64_t(ld32(area.data() + bs::kSerial + 4))
                                                        << 32;
    info.clusterSize = vol->cluster_size;
    info.mftRecordSize = vol->mft_record_size;
    info.major = vol->major_ver;
    info.minor = vol->minor_ver;
    if (vol->vol_name != nullptr) info.label = vol->vol_name;
    a.table.SetVolume(info);
    const std::vector<uint8_t> table = a.table.Finish(kTableAt);
    if (area.size() + table.size() > kBootAreaMax) {
        LogFormat("NTFS ERROR: The security descriptors and record metadata take more than the "
                  "%u bytes an archive holds\r\n",
                  unsigned(kBootAreaMax - kTableAt));
        return nullptr;
    }
    area.insert(area.end(), table.begin(), table.end());
    a.bootArea = std::move(area);
    return &a.bootArea;
}

std::string Time(const char* name, uint64_t nt) {
    char text[64];
    const int64_t t = int64_t(nt) - kEpochDelta;
    std::snprintf(text, sizeof text, " %s=%" PRId64 ".%07u", name, t / 10000000,
                  unsigned(std::abs(t % 10000000)));
    return text;
}

std::string Hex(const uint8_t* p, size_t n) {
    constexpr size_t kShown = 64;
    std::string out = "0x";
    char h[4];
    for (size_t i = 0; i < std::min(n, kShown); ++i) {
        std::snprintf(h, sizeof h, "%02x", p[i]);
        out += h;
    }
    if (n > kShown) out += " ... (" + std::to_string(n) + " bytes)";
    return out;
}

} // namespace

uint16_t NtfsGetNumBootSectors(FsState& part, FsEntry*) {
    const std::vector<uint8_t>* area = BootArea(part);
    // Without its area the archive would not restore the volume: the
    // creation stops at the read that follows.
    if (area == nullptr) return kBootBytes / kSectorSize;
    return uint16_t(area->size() / kSectorSize);
}

Status NtfsReadBootSectors(FsState& part, FsEntry*, uint16_t first, uint16_t count,
                           uint8_t* buffer) {
    const std::vector<uint8_t>* area = BootArea(part);
    return area == nullptr ? -1 : CopyHeldSectors(*area, first, count, buffer);
}

uint32_t NtfsAddEntrySize(uint32_t size, FsEntry* entry, uint16_t) {
    if (!entry || !entry->name) return size;
    // An index entry: its header, the file name attribute and the name in
    // UTF-16, rounded to 8 bytes.
    uint32_t units = 0;
    for (const char* p = entry->name; *p != '\0'; ++p) {
        const uint8_t b = uint8_t(*p);
        if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
    }
    return size + ((16 + 66 + 2 * units + 7) & ~7u);
}

void NtfsDescribeAttributes(const uint8_t* a, char* out, size_t capacity) {
    char part[160];
    const uint64_t size = uint64_t(ld32(a + kAttrSize)) | uint64_t(ld32(a + kSizeHigh)) << 32;
    const uint16_t flags = ld16(a + kFlags);
    std::snprintf(part, sizeof part,
                  "mode=%06o size=%" PRIu64 " attributes=0x%x record=%" PRIu64
                  " links=%u sd=%u allocated=%uK flags=0x%x",
                  unsigned(ld16(a + kAttrMode)), size, unsigned(ld32(a + kFileAttributes)),
                  Ld64(a + kRecord), unsigned(ld16(a + kLinks)), unsigned(ld32(a + kSecurity)),
                  unsigned(ld32(a + kAllocated)), unsigned(flags));
    std::string text = part;
    text += Time("created", Ld64(a + kCreation));
    text += Time("modified", Ld64(a + kModification));
    text += Time("changed", Ld64(a + kMftChange));
    text += Time("accessed", Ld64(a + kAccess));
    if (flags & kFlagStream) text += " stream";
    if (flags & kFlagDosName) text += " dosname";
    if (flags & kFlagReparse) text += " reparse";
    if (flags & kFlagObjectId) text += " objectid";
    if (flags & kFlagSparse) text += " sparse";
    if (flags & kFlagCompressed) text += " compressed";
    if (capacity == 0) return;
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

void NtfsDescribeBootArea(const uint8_t* area, size_t size, void (*line)(const char*)) {
    char text[256];
    if (size < kTableAt || std::memcmp(area + bs::kOemId, "NTFS    ", 8) != 0) {
        line("NTFS boot area: no boot sector");
        return;
    }
    NtfsTable table;
    const char* why = nullptr;
    if (!table.Load(area + kTableAt, size - kTableAt, &why)) {
        std::snprintf(text, sizeof text, "NTFS volume table: damaged: %s", why);
        line(text);
        return;
    }
    const NtfsVolumeInfo& v = table.Volume();
    std::snprintf(text, sizeof text,
                  "NTFS boot sector: serial %016" PRIx64 ", %" PRIu64
                  " sectors, hidden sectors %u; label \"%.64s\", version %u.%u, clusters of %u "
                  "bytes, MFT records of %u bytes",
                  v.serial, Ld64(area + bs::kTotalSectors),
                  unsigned(ld32(area + bs::kHiddenSectors)), v.label.c_str(), unsigned(v.major),
                  unsigned(v.minor), unsigned(v.clusterSize), unsigned(v.mftRecordSize));
    line(text);
    std::snprintf(text, sizeof text, "  %u security descriptors, metadata of %u records",
                  unsigned(table.Descriptors()), unsigned(table.Records()));
    line(text);
    std::string row;
    for (uint64_t record : table.RecordNumbers()) {
        table.ForEach(record, [&](uint8_t type, const uint8_t* bytes, size_t length) {
            row = "  record " + std::to_string(record) + ": ";
            if (type == kItemDosName && length >= 8) {
                row += "DOS name \"" +
                       std::string(reinterpret_cast<const char*>(bytes + 8),
                                   std::min<size_t>(length - 8, 64)) +
                       "\" in record " + std::to_string(Ld64(bytes));
            } else if (type == kItemReparse) {
                row += "reparse data " + Hex(bytes, length);
            } else if (type == kItemObjectId) {
                row += "object ID " + Hex(bytes, length);
            } else if (type == kItemEa) {
                row += "extended attributes " + Hex(bytes, length);
            } else {
                row += "item " + std::to_string(type) + " " + Hex(bytes, length);
            }
            line(row.c_str());
            return true;
        });
    }
}

} // namespace vk
