// Directories: enumeration, entry creation and removal, slot updates.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fat_internal.h"
#include "fs/fat.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

// A directory holds at most 65536 slots (2 MB); a longer one is damaged.
constexpr uint32_t kMaxDirSlots = 65536;
constexpr int kLongNameMax = fatlfn::kMaxReadSlots * fatlfn::kCharsPerSlot; // 117
constexpr uint32_t kTailLimit = 1000000;

// One entry as enumeration returns it, kept for repeated enumerations.
struct CachedEntry {
    char name[kLongNameMax + 1] = {}; // the name, NUL padded
    uint8_t nameLength = 0;
    uint8_t kind = 0;
    bool deleted = false;
    uint32_t start = 0, size = 0, location1 = 0, location2 = 0, location3 = 0;
    uint8_t attributes[fatattr::kSize] = {};
};
using EntryList = std::vector<CachedEntry>;

void SetCachedName(CachedEntry& c, const char* name) {
    size_t length = std::strlen(name);
    if (length > sizeof c.name - 1) length = sizeof c.name - 1;
    std::memcpy(c.name, name, length);
    c.nameLength = uint8_t(length);
}

// The entries of the directory enumerated last. Lookups by name walk a
// directory once for every file created in it; serving repeated walks from
// memory keeps that cheap. The list is kept exact: the driver's own
// creations append to it, slot updates and deletions change it in place,
// and it is only filled by an enumeration during which no directory
// changed. A format or restore of the partition drops it.
struct EntryCache {
    bool valid = false;
    const FsState* state = nullptr;
    uint32_t start = 0;       // the directory's first cluster (0: FAT16 root)
    uint32_t lastCluster = 0; // where the directory ends: cluster (0: root
    int endSlot = 0;          // area) and slot of its end
    std::shared_ptr<EntryList> entries;
};
EntryCache entryCache;
uint32_t dirGeneration = 0; // counts changes of any directory

void DropEntryCache() {
    entryCache.valid = false;
    entryCache.entries.reset();
}

CachedEntry* FindCached(FsState& part, const FsEntry* entry) {
    if (!entryCache.valid || entryCache.state != &part) return nullptr;
    EntryList& list = *entryCache.entries;
    for (size_t i = list.size(); i-- > 0;)
        if (list[i].location1 == entry->location1 && list[i].location2 == entry->location2 &&
            !list[i].deleted)
            return &list[i];
    return nullptr;
}

struct FatDir {
    int16_t slot = 0;              // next slot of the buffer
    int16_t slotsPerBuffer = 0;    // slots in the buffer
    ClusterChain* chain = nullptr; // null for the FAT16 root area
    uint32_t cluster = 0;          // cluster in the buffer (0: FAT16 root area)
    uint32_t start = 0;            // first cluster (0: FAT16 root)
    bool root = false;
    bool ended = false;
    bool failed = false; // a read error or a damaged chain ended it
    uint32_t slotsRead = 0;
    std::vector<uint8_t> buffer;
    char path[kPathMax] = {};
    size_t pathLength = 0;
    // The long name being collected from the slots before a short slot.
    bool haveLong = false;
    uint8_t checksum = 0;
    uint32_t longCluster = 0;
    char longName[kLongNameMax + 1] = {};
    // Served from the entry cache, or recording for it.
    std::shared_ptr<EntryList> cached;
    size_t cachedIndex = 0;
    bool recording = false;
    uint32_t generation = 0;
    EntryList recorded;
};

FatDir* AsDir(FsDirHandle* handle) {
    return reinterpret_cast<FatDir*>(handle);
}

// The short names of the directory in which entries were last created, so
// that a run of creations in one directory reads it only once. Entries are
// only ever appended, so the cache holds as long as the directory still
// ends where the last creation left it.
struct NameCache {
    bool valid = false;
    const FsState* state = nullptr;
    uint32_t start = 0;
    uint32_t lastCluster = 0;
    int endSlot = 0;
    std::unordered_set<std::string> names;
};
NameCache nameCache;

std::string SlotName(const uint8_t* slot) {
    return std::string(reinterpret_cast<const char*>(slot), fatdir::kNameSize);
}

bool InUseShortSlot(const uint8_t* slot) {
    return slot[0] != fatdir::kEndMark && slot[0] != fatdir::kDeletedMark &&
           (slot[fatdir::kAttr] & 0x3F) != kFatAttrLongName;
}

// Adds the short names of the slots of one buffer; false at the end mark.
bool CollectNames(const uint8_t* buffer, int slots, std::unordered_set<std::string>& names) {
    for (int i = 0; i < slots; ++i) {
        const uint8_t* slot = buffer + i * fatdir::kSlotSize;
        if (slot[0] == fatdir::kEndMark) return false;
        if (InUseShortSlot(slot) && slot[0] != '.') names.insert(SlotName(slot));
    }
    return true;
}

void PackAttributes(const uint8_t* slot, uint8_t* attributes, uint32_t tail) {
    using namespace fatdir;
    attributes[fatattr::kAttr] = slot[kAttr];
    attributes[fatattr::kTenths] = slot[kCrtTenths];
    std::memcpy(attributes + fatattr::kCrtTime, slot + kCrtTime, 6); // creation, access
    std::memcpy(attributes + fatattr::kWrtTime, slot + kWrtTime, 4);
    attributes[fatattr::kTail] = uint8_t(tail);
    attributes[fatattr::kTail + 1] = uint8_t(tail >> 8);
    attributes[fatattr::kTail + 2] = uint8_t(tail >> 16);
}

// Sets the path of an entry: the directory's path and the name (cut to fit).
void SetEntryPath(FsEntry* entry, const char* dirPath, size_t length, const char* name,
                  size_t nameLength) {
    if (length > size_t(kPathMax) - 1) length = kPathMax - 1;
    std::memcpy(entry->path, dirPath, length);
    size_t room = kPathMax - 1 - length;
    if (nameLength > room) nameLength = room;
    std::memcpy(entry->path + length, name, nameLength);
    entry->path[length + nameLength] = '\0';
    entry->name = entry->path + length;
}

void SetEntryPath(FsEntry* entry, const char* dirPath, size_t length, const char* name) {
    SetEntryPath(entry, dirPath, length, name, std::strlen(name));
}

// Loads the next cluster of a directory; false at its end.
bool LoadNext(FsState& part, FatDir* d) {
    if (d->root) return false;
    uint32_t cluster = NextClust(part, d->chain);
    if (cluster == 0) {
        if (d->chain->damaged) d->failed = true;
        return false;
    }
    if (ReadClusters(part, cluster, d->buffer.data(), 1) != 0) {
        Log("ERROR: [FAT] Cannot read a directory\r\n");
        d->failed = true;
        return false;
    }
    d->cluster = cluster;
    d->slot = 0;
    return true;
}

Status ReadRootArea(FsState& part, const FatArea& a, uint8_t* buffer) {
    if (Seek(part, a.RootSector()) != 0 || ReadSects(part, uint16_t(a.RootSectors()), buffer) != 0)
        return -1;
    return 0;
}

Status WriteRootArea(FsState& part, const FatArea& a, const uint8_t* buffer) {
    if (Seek(part, a.RootSector()) != 0 || WriteSects(part, uint16_t(a.RootSectors()), buffer) != 0)
        return -1;
    return 0;
}

// The slots of one entry's directory location: for the FAT16 root the root
// area, otherwise the cluster.
struct SlotBlock {
    uint32_t cluster = 0; // 0: FAT16 root area
    std::vector<uint8_t> data;
    int Slots() const { return int(data.size() / fatdir::kSlotSize); }
    uint8_t* Slot(int i) { return data.data() + size_t(i) * fatdir::kSlotSize; }
};

Status LoadBlock(FsState& part, const FatArea& a, uint32_t cluster, SlotBlock& block) {
    block.cluster = cluster;
    if (cluster == 0) {
        if (a.Fat32()) return -1;
        block.data.assign(size_t(a.RootSectors()) * kSectorSize, 0);
        return ReadRootArea(part, a, block.data.data());
    }
    block.data.assign(a.ClusterBytes(), 0);
    return ReadClusters(part, cluster, block.data.data(), 1);
}

Status StoreBlock(FsState& part, const FatArea& a, const SlotBlock& block) {
    Status status = block.cluster == 0 ? WriteRootArea(part, a, block.data.data())
                                       : WriteClusters(part, block.cluster, block.data.data(), 1);
    if (status != 0) Log("ERROR: [FAT] Cannot write a directory\r\n");
    return status;
}

// Whether a name can be stored: not empty, no longer than what reading
// gives back, no path separators or control characters.
bool StorableName(const char* name) {
    size_t length = std::strlen(name);
    if (length == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    if (length > size_t(kLongNameMax)) {
        Log("ERROR: [FAT] Name longer than 117 characters\r\n");
        return false;
    }
    for (const char* p = name; *p; ++p)
        if (uint8_t(*p) < 0x20 || *p == '/' || *p == '\\') return false;
    return true;
}

// Whether the slots of one buffer, up to the end mark, hold a volume label.
bool HoldsLabel(const uint8_t* buffer, int slots) {
    for (int i = 0; i < slots; ++i) {
        const uint8_t* slot = buffer + i * fatdir::kSlotSize;
        if (slot[0] == fatdir::kEndMark) return false;
        if (InUseShortSlot(slot) && IsLabelAttr(slot[fatdir::kAttr])) return true;
    }
    return false;
}

// Writes a new volume label into the boot sector (and its FAT32 backup)
// when the boot sector has a label field, so that both name the volume alike.
Status SetBootLabel(FsState& part, const FatArea& a, const uint8_t* name11) {
    uint8_t boot[kSectorSize];
    if (Seek(part, 0) != 0 || ReadSects(part, 1, boot) != 0) return -1;
    const size_t e = a.Fat32() ? fatboot::kExtendedFat32 : fatboot::kExtendedFat16;
    if (boot[e + fatboot::kBootSignature] != 0x29) return 0;
    std::memcpy(boot + e + fatboot::kLabel, name11, fatboot::kLabelSize);
    if (Seek(part, 0) != 0 || WriteSects(part, 1, boot) != 0) return -1;
    if (a.Fat32() && a.backupBootSector != 0 &&
        (Seek(part, a.backupBootSector) != 0 || WriteSects(part, 1, boot) != 0))
        return -1;
    return 0;
}

// Adds an entry to the end of the directory.
Status CreateDirEntry(FsState& part, FatDir* d, const char* name, const uint8_t* attributes,
                      uint8_t kind, FsEntry* entry) {
    if (!StorableName(name)) return -1;
    FatArea a = LoadFatArea(part);
    const bool volumeRoot = d->root || (a.Fat32() && d->start == a.rootCluster);
    *entry = FsEntry{};
    if (std::strlen(d->path) + std::strlen(name) >= size_t(kPathMax)) {
        Log("ERROR: [FAT] Path too long\r\n");
        return -1;
    }
    SetEntryPath(entry, d->path, d->pathLength, name);

    // The last cluster of the directory (or the root area) and its end.
    std::vector<uint32_t> clusters;
    SlotBlock block;
    const uint32_t perCluster = a.ClusterBytes() / fatdir::kSlotSize;
    if (!d->root) {
        ClusterChain* chain = OpenClusters(d->start);
        while (uint32_t c = NextClust(part, chain)) {
            clusters.push_back(c);
            if (clusters.size() * perCluster > kMaxDirSlots) {
                chain->damaged = 1;
                Log("ERROR: [FAT] Directory too long\r\n");
                break;
            }
        }
        bool damaged = chain->damaged != 0;
        CloseClusters(chain);
        if (damaged || clusters.empty()) return -1;
    }
    if (LoadBlock(part, a, d->root ? 0 : clusters.back(), block) != 0) return -1;
    int insert = 0;
    while (insert < block.Slots() && block.Slot(insert)[0] != fatdir::kEndMark)
        ++insert;

    // The short names already present.
    std::unordered_set<std::string> rootNames;
    std::unordered_set<std::string>* names = &rootNames;
    if (d->root) {
        CollectNames(block.data.data(), block.Slots(), rootNames);
    } else {
        names = &nameCache.names;
        if (!nameCache.valid || nameCache.state != &part || nameCache.start != d->start ||
            nameCache.lastCluster != block.cluster || nameCache.endSlot != insert) {
            nameCache.valid = false;
            nameCache.names.clear();
            std::vector<uint8_t> buffer(a.ClusterBytes());
            for (size_t i = 0; i + 1 < clusters.size(); ++i) {
                if (ReadClusters(part, clusters[i], buffer.data(), 1) != 0) return -1;
                if (!CollectNames(buffer.data(), int(perCluster), nameCache.names)) break;
            }
            CollectNames(block.data.data(), block.Slots(), nameCache.names);
        }
    }

    // The attribute byte as the slot may hold it (attributes come from
    // archives): a directory is marked as one and a file is not, nothing
    // reads as a long-name slot, and a volume label is only made in the
    // volume's root while it has none (elsewhere it is an ordinary empty file).
    uint8_t own[fatattr::kSize];
    bool label = false;
    if (attributes) {
        std::memcpy(own, attributes, sizeof own);
        uint8_t& at = own[fatattr::kAttr];
        at = SlotAttrFor(at, kind == kKindDir);
        if (kind != kKindDir) {
            if (at & kFatAttrVolume) {
                label = IsLabelAttr(at) && volumeRoot;
                if (label && d->root) {
                    label = !HoldsLabel(block.data.data(), block.Slots());
                } else if (label) {
                    std::vector<uint8_t> buffer(a.ClusterBytes());
                    for (size_t i = 0; i + 1 < clusters.size() && label; ++i) {
                        if (ReadClusters(part, clusters[i], buffer.data(), 1) != 0) return -1;
                        label = !HoldsLabel(buffer.data(), int(perCluster));
                    }
                    label = label && !HoldsLabel(block.data.data(), block.Slots());
                }
                if (!label) at &= uint8_t(~kFatAttrVolume);
            }
        }
        attributes = own;
    }

    // A short name not yet taken: the stored tail of restored entries, or
    // the name's own, moved on while it collides. A label is the name's
    // first 11 characters in upper case, in one slot.
    bool useAttributes = attributes && (attributes[fatattr::kWrtDate] != 0 || label);
    uint32_t tail = useAttributes ? PackedTail(attributes) : 0;
    char shortName[kShortNameBuffer];
    uint32_t used = 0;
    uint16_t slots = 0;
    if (label) {
        LabelSlotName(name, shortName);
    } else {
        slots = MakeShortName(name, shortName, tail, false, &used);
    }
    if (uint8_t(shortName[0]) == fatdir::kDeletedMark) shortName[0] = char(fatdir::kE5Escape);
    for (uint32_t tries = 0; !label && names->count(std::string(shortName, fatdir::kNameSize));
         ++tries) {
        if (tries >= kTailLimit) {
            Log("ERROR: [FAT] No free short name\r\n");
            return -1;
        }
        uint32_t next = used == 0 ? CRC32(0, name, std::strlen(name)) % kTailLimit : used + 1;
        if (next >= kTailLimit || next == 0) next = 1;
        slots = MakeShortName(name, shortName, next, true, &used);
        if (uint8_t(shortName[0]) == fatdir::kDeletedMark) shortName[0] = char(fatdir::kE5Escape);
    }

    // Room for all slots: the FAT16 root is fixed, a cluster directory
    // grows by one cluster before anything is written.
    int total = slots + 1;
    SlotBlock next;
    int spill = insert + total - block.Slots(); // slots that go into a new cluster
    if (spill > 0) {
        if (d->root) {
            Log("ERROR: [FAT] Root directory full\r\n");
            return -1;
        }
        if ((clusters.size() + 1) * perCluster > kMaxDirSlots) {
            Log("ERROR: [FAT] Directory too long\r\n");
            return -1;
        }
        uint32_t grown = block.cluster;
        if (GrowClusters(part, &grown, 1) != 0) return -1;
        next.cluster = grown;
        next.data.assign(a.ClusterBytes(), 0);
    }
    int shortIndex = 0;
    uint32_t shortCluster = block.cluster;
    for (int i = 0; i < total; ++i) {
        int at = insert + i;
        SlotBlock& target = at < block.Slots() ? block : next;
        if (at >= block.Slots()) at -= block.Slots();
        if (i == 0) entry->location3 = target.cluster;
        uint8_t ordinal = uint8_t(i < slots ? slots - i : 0);
        BuildFATDirEnt(target.Slot(at), name, shortName, ordinal, slots,
                       useAttributes ? attributes : nullptr, kind, 0, 0);
        shortIndex = at;
        shortCluster = target.cluster;
    }
    // A new cluster is written first: should that fail, it is given back
    // before the directory ever reads its old contents as slots.
    if (spill > 0 && StoreBlock(part, a, next) != 0) {
        FreeClusters(part, block.cluster, 0);
        return -1;
    }
    if (insert < block.Slots() && StoreBlock(part, a, block) != 0) {
        ++dirGeneration;
        DropEntryCache();
        nameCache.valid = false;
        return -1;
    }
    if (label && SetBootLabel(part, a, reinterpret_cast<const uint8_t*>(shortName)) != 0)
        Log("ERROR: [FAT] Cannot write the label into the boot sector\r\n");

    entry->kind = kind;
    entry->location1 = shortCluster;
    entry->location2 = uint32_t(shortIndex);
    entry->size = 0;
    entry->start = 0;
    const SlotBlock& holder = spill > 0 ? next : block;
    const uint8_t* slot = holder.data.data() + size_t(shortIndex) * fatdir::kSlotSize;
    PackAttributes(slot, entry->attributes, slots > 0 ? ShortNameTail(slot) : 0);

    ++dirGeneration;
    if (entryCache.valid && entryCache.state == &part && entryCache.start == d->start) {
        if (entryCache.lastCluster == block.cluster && entryCache.endSlot == insert) {
            CachedEntry added;
            SetCachedName(added, name);
            added.kind = kind;
            added.location1 = entry->location1;
            added.location2 = entry->location2;
            added.location3 = entry->location3;
            std::memcpy(added.attributes, entry->attributes, sizeof added.attributes);
            entryCache.entries->push_back(added);
            entryCache.lastCluster = shortCluster;
            entryCache.endSlot = shortIndex + 1;
        } else {
            DropEntryCache();
        }
    }
    if (!d->root) {
        nameCache.names.insert(std::string(shortName, fatdir::kNameSize));
        nameCache.valid = true;
        nameCache.state = &part;
        nameCache.start = d->start;
        nameCache.lastCluster = shortCluster;
        nameCache.endSlot = shortIndex + 1;
    }
    return 0;
}

// The sector and the offset in it of an entry's short slot; -1 when the
// location is impossible.
Status ShortSlotSector(const FatArea& a, const FsEntry* entry, uint32_t* sector, size_t* offset) {
    uint32_t slotsPerSector = kSectorSize / fatdir::kSlotSize;
    if (entry->location1 == 0) {
        if (a.Fat32() || entry->location2 >= a.rootEntries) return -1;
        *sector = a.RootSector() + entry->location2 / slotsPerSector;
    } else {
        if (!a.IsDataCluster(entry->location1) ||
            entry->location2 >= a.ClusterBytes() / fatdir::kSlotSize)
            return -1;
        *sector = a.ClusterSector(entry->location1) + entry->location2 / slotsPerSector;
    }
    *offset = (entry->location2 % slotsPerSector) * fatdir::kSlotSize;
    return 0;
}

// Parent cluster as a ".." slot stores it: 0 for the root.
uint32_t ParentCluster(FsState& part, const FatDir* d) {
    FatArea a = LoadFatArea(part);
    if (d->root || (a.Fat32() && d->start == a.rootCluster)) return 0;
    return d->start;
}

void DotSlot(uint8_t* slot, const char* name, uint32_t cluster) {
    using namespace fatdir;
    std::memset(slot, 0, kSlotSize);
    std::memset(slot, ' ', kNameSize);
    std::memcpy(slot, name, std::strlen(name));
    slot[kAttr] = kFatAttrDir;
    st16(slot + kCrtDate, 0x0021);
    st16(slot + kAccDate, 0x0021);
    st16(slot + kWrtDate, 0x0021);
    st16(slot + kClusterHi, uint16_t(cluster >> 16));
    st16(slot + kClusterLo, uint16_t(cluster));
}

} // namespace

void ForgetDirectories() {
    nameCache.valid = false;
    nameCache.names.clear();
    DropEntryCache();
    ++dirGeneration;
}

uint32_t PackedTail(const uint8_t* attributes) {
    const uint8_t* p = attributes + fatattr::kTail;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}

void BuildFATDirEnt(uint8_t* slot, const char* longName, const char* shortName, uint8_t ordinal,
                    uint16_t slots, const uint8_t* attributes, uint8_t kind, uint32_t cluster,
                    uint32_t size) {
    std::memset(slot, 0, fatdir::kSlotSize);
    uint8_t name11[fatdir::kNameSize];
    std::memcpy(name11, shortName, sizeof name11);
    if (name11[0] == fatdir::kDeletedMark) name11[0] = fatdir::kE5Escape;
    if (ordinal == 0) {
        using namespace fatdir;
        std::memcpy(slot + kName, name11, kNameSize);
        if (attributes && (attributes[fatattr::kWrtDate] != 0 || IsLabelAttr(attributes[0]))) {
            slot[kAttr] = attributes[fatattr::kAttr];
            slot[kCrtTenths] = attributes[fatattr::kTenths];
            std::memcpy(slot + kCrtTime, attributes + fatattr::kCrtTime, 6);
            std::memcpy(slot + kWrtTime, attributes + fatattr::kWrtTime, 4);
        } else {
            slot[kAttr] = kind == kKindDir ? kFatAttrDir : kFatAttrArchive;
            uint16_t time = ReadDOSTime(), date = ReadDOSDate();
            st16(slot + kCrtTime, time);
            st16(slot + kCrtDate, date);
            st16(slot + kAccDate, date);
            st16(slot + kWrtTime, time);
            st16(slot + kWrtDate, date);
        }
        st16(slot + kClusterHi, uint16_t(cluster >> 16));
        st16(slot + kClusterLo, uint16_t(cluster));
        st32(slot + kSize, size);
        return;
    }
    using namespace fatlfn;
    slot[kOrdinal] = uint8_t(ordinal | (ordinal == slots ? kLastFlag : 0));
    slot[kAttr] = kFatAttrLongName;
    slot[kType] = 0;
    slot[kChecksum] = ShortNameChecksum(name11);
    size_t length = std::strlen(longName);
    size_t first = size_t(ordinal - 1) * kCharsPerSlot;
    for (int j = 0; j < kCharsPerSlot; ++j) {
        size_t at = first + size_t(j);
        uint16_t value = at < length    ? SetLongChar(uint8_t(longName[at]))
                         : at == length ? 0
                                        : 0xFFFF;
        st16(slot + kCharOffsets[j], value);
    }
    st16(slot + kCluster, 0);
}

Status UpdateDirEntry(FsState& part, FsEntry* entry) {
    FatArea a = LoadFatArea(part);
    uint32_t sector = 0;
    size_t offset = 0;
    uint8_t buffer[kSectorSize];
    if (ShortSlotSector(a, entry, &sector, &offset) != 0 || Seek(part, sector) != 0 ||
        ReadSects(part, 1, buffer) != 0)
        return -1;
    uint8_t* slot = buffer + offset;
    if (!InUseShortSlot(slot)) {
        Log("ERROR: [FAT] Directory entry moved\r\n");
        return -1;
    }
    using namespace fatdir;
    st16(slot + kClusterHi, a.Fat32() ? uint16_t(entry->start >> 16) : 0);
    st16(slot + kClusterLo, uint16_t(entry->start));
    st32(slot + kSize, entry->kind == kKindDir ? 0 : entry->size);
    if (TouchFiles) {
        st16(slot + kWrtTime, ReadDOSTime());
        st16(slot + kWrtDate, ReadDOSDate());
    }
    ++dirGeneration;
    if (Seek(part, sector) != 0 || WriteSects(part, 1, buffer) != 0) {
        Log("ERROR: [FAT] Cannot write a directory\r\n");
        DropEntryCache();
        return -1;
    }
    if (CachedEntry* cached = FindCached(part, entry)) {
        cached->start = entry->start;
        cached->size = entry->kind == kKindDir ? 0 : entry->size;
        std::memcpy(cached->attributes + fatattr::kWrtTime, slot + kWrtTime, 4);
    }
    return 0;
}

Status DeleteDirEntry(FsState& part, FsEntry* entry) {
    FatArea a = LoadFatArea(part);
    SlotBlock shortBlock, firstBlock;
    if (entry->location1 == 0 && a.Fat32()) return -1;
    if (LoadBlock(part, a, entry->location1, shortBlock) != 0) return -1;
    int s = int(entry->location2);
    if (s >= shortBlock.Slots() || !InUseShortSlot(shortBlock.Slot(s))) {
        Log("ERROR: [FAT] Directory entry moved\r\n");
        return -1;
    }
    // The long-name slots may start in the cluster before the short slot's.
    bool two = entry->location1 != 0 && entry->location3 != entry->location1 &&
               a.IsDataCluster(entry->location3);
    if (two && LoadBlock(part, a, entry->location3, firstBlock) != 0) return -1;
    int before = two ? firstBlock.Slots() : 0;
    auto slotAt = [&](int i) {
        return i < before ? firstBlock.Slot(i) : shortBlock.Slot(i - before);
    };
    int shortAt = before + s;
    shortBlock.Slot(s)[0] = fatdir::kDeletedMark;
    bool firstChanged = false;
    for (int i = shortAt - 1; i >= 0; --i) {
        uint8_t* slot = slotAt(i);
        if (slot[0] == fatdir::kDeletedMark || (slot[fatlfn::kAttr] & 0x3F) != kFatAttrLongName ||
            (slot[0] & fatlfn::kOrdinalMask) != shortAt - i)
            break;
        bool last = (slot[0] & fatlfn::kLastFlag) != 0;
        slot[0] = fatdir::kDeletedMark;
        if (i < before) firstChanged = true;
        if (last) break;
    }
    ++dirGeneration;
    if (CachedEntry* cached = FindCached(part, entry)) cached->deleted = true;
    if (StoreBlock(part, a, shortBlock) != 0 ||
        (firstChanged && StoreBlock(part, a, firstBlock) != 0)) {
        DropEntryCache();
        return -1;
    }
    return 0;
}

Status FatOpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir) {
    FatArea a = LoadFatArea(part);
    if (entry && entry->kind != kKindDir) return -1;
    // A subdirectory without a cluster of its own, or one claiming the
    // FAT32 root's, is damaged: opening it would reach the root instead.
    if (entry && (entry->start == 0 || (a.Fat32() && entry->start == a.rootCluster))) {
        Log("ERROR: [FAT] Directory entry without a directory\r\n");
        return -1;
    }
    FatDir* d = new FatDir;
    d->start = entry ? entry->start : 0;
    if (d->start == 0 && a.Fat32()) d->start = a.rootCluster;
    d->root = d->start == 0;
    if (entry) {
        size_t length = std::strlen(entry->path);
        if (length + 2 > size_t(kPathMax)) {
            delete d;
            return -1;
        }
        std::memcpy(d->path, entry->path, length);
        d->path[length] = '/';
        d->path[length + 1] = '\0';
    } else {
        std::snprintf(d->path, sizeof d->path, "{%d:%d}", part.disk & 0x7F, int(part.partition));
    }
    d->pathLength = std::strlen(d->path);
    if (entryCache.valid && entryCache.state == &part && entryCache.start == d->start) {
        d->cached = entryCache.entries;
        *dir = reinterpret_cast<FsDirHandle*>(d);
        return 0;
    }
    d->recording = true;
    d->generation = dirGeneration;
    if (d->root) {
        d->buffer.assign(size_t(a.RootSectors()) * kSectorSize, 0);
        if (ReadRootArea(part, a, d->buffer.data()) != 0) {
            delete d;
            return -1;
        }
        d->slotsPerBuffer = int16_t(a.rootEntries);
    } else {
        if (!a.IsDataCluster(d->start)) {
            delete d;
            return -1;
        }
        d->chain = OpenClusters(d->start);
        d->buffer.assign(a.ClusterBytes(), 0);
        d->slotsPerBuffer = int16_t(a.ClusterBytes() / fatdir::kSlotSize);
        d->slot = d->slotsPerBuffer; // the first cluster is read on demand
    }
    *dir = reinterpret_cast<FsDirHandle*>(d);
    return 0;
}

Status FatNextDirEntry(FsState& part, FsDirHandle* handle, FsEntry* entry) {
    FatDir* d = AsDir(handle);
    if (d->cached) {
        const EntryList& list = *d->cached;
        while (d->cachedIndex < list.size() && list[d->cachedIndex].deleted)
            ++d->cachedIndex;
        if (d->cachedIndex >= list.size()) return 1;
        const CachedEntry& c = list[d->cachedIndex++];
        // Whole fixed-size blocks are the cheapest copy for these short,
        // often repeated names.
        if (d->pathLength + sizeof c.name <= sizeof entry->path) {
            std::memcpy(entry->path, d->path, sizeof entry->path);
            std::memcpy(entry->path + d->pathLength, c.name, sizeof c.name);
            entry->name = entry->path + d->pathLength;
        } else {
            SetEntryPath(entry, d->path, d->pathLength, c.name, c.nameLength);
        }
        std::memcpy(entry->attributes, c.attributes, sizeof c.attributes);
        std::memset(entry->attributes + sizeof c.attributes, 0,
                    sizeof entry->attributes - sizeof c.attributes);
        entry->kind = c.kind;
        entry->start = c.start;
        entry->size = c.size;
        entry->location1 = c.location1;
        entry->location2 = c.location2;
        entry->location3 = c.location3;
        return 0;
    }
    FatArea a = LoadFatArea(part);
    int endSlot = -1; // where a clean end was found
    while (!d->ended) {
        if (d->slot >= d->slotsPerBuffer && !LoadNext(part, d)) {
            if (!d->failed) endSlot = d->slotsPerBuffer;
            break;
        }
        const uint8_t* slot = d->buffer.data() + size_t(d->slot++) * fatdir::kSlotSize;
        if (++d->slotsRead > kMaxDirSlots) {
            Log("ERROR: [FAT] Directory too long\r\n");
            break;
        }
        uint8_t first = slot[0];
        if (first == fatdir::kEndMark) {
            endSlot = d->slot - 1;
            break;
        }
        if (first == fatdir::kDeletedMark) {
            d->haveLong = false;
            continue;
        }
        if ((slot[fatdir::kAttr] & 0x3F) == kFatAttrLongName) {
            int ordinal = first & fatlfn::kOrdinalMask;
            if (first & fatlfn::kLastFlag) {
                d->haveLong = true;
                d->checksum = slot[fatlfn::kChecksum];
                d->longCluster = d->cluster;
                std::memset(d->longName, 0, sizeof d->longName);
            } else if (!d->haveLong || slot[fatlfn::kChecksum] != d->checksum) {
                d->haveLong = false;
                continue;
            }
            if (ordinal >= 1 && ordinal <= fatlfn::kMaxReadSlots) {
                int at = (ordinal - 1) * fatlfn::kCharsPerSlot;
                for (int j = 0; j < fatlfn::kCharsPerSlot; ++j) {
                    uint16_t value = ld16(slot + fatlfn::kCharOffsets[j]);
                    int ch = value < 128 ? value : GetLongChar(value);
                    d->longName[at + j] = char(ch < 0 ? 0 : ch);
                }
                if ((first & fatlfn::kLastFlag) && at + fatlfn::kCharsPerSlot <= kLongNameMax)
                    d->longName[at + fatlfn::kCharsPerSlot] = '\0';
            }
            continue;
        }
        bool longName = d->haveLong && d->longName[0] && d->checksum == ShortNameChecksum(slot);
        d->haveLong = false;
        if (first == '.') continue;
        char name[kLongNameMax + 1];
        if (longName) {
            std::memcpy(name, d->longName, sizeof name);
            name[kLongNameMax] = '\0';
        } else if (IsLabelAttr(slot[fatdir::kAttr])) {
            // A label is its 11 bytes, inner spaces included, no dot.
            int n = int(fatdir::kNameSize);
            while (n > 0 && slot[n - 1] == ' ')
                --n;
            std::memcpy(name, slot, size_t(n));
            name[n] = '\0';
            if (n > 0 && slot[0] == fatdir::kE5Escape) name[0] = char(0xE5);
        } else {
            ShortSlotName(slot, name);
        }
        if (name[0] == '\0') continue; // a damaged slot without a name
        SetEntryPath(entry, d->path, d->pathLength, name);
        std::memset(entry->attributes, 0, sizeof entry->attributes);
        uint8_t attr = slot[fatdir::kAttr];
        entry->kind = (attr & kFatAttrDir) ? kKindDir : kKindFile;
        entry->start = ld16(slot + fatdir::kClusterLo);
        if (a.Fat32()) entry->start |= uint32_t(ld16(slot + fatdir::kClusterHi)) << 16;
        entry->size = entry->kind == kKindDir ? 0 : ld32(slot + fatdir::kSize);
        entry->location1 = d->root ? 0 : d->cluster;
        entry->location2 = uint32_t(d->slot - 1);
        entry->location3 = longName ? (d->root ? 0 : d->longCluster) : entry->location1;
        PackAttributes(slot, entry->attributes, longName ? ShortNameTail(slot) : 0);
        if (d->recording) {
            CachedEntry c;
            SetCachedName(c, name);
            c.kind = entry->kind;
            c.start = entry->start;
            c.size = entry->size;
            c.location1 = entry->location1;
            c.location2 = entry->location2;
            c.location3 = entry->location3;
            std::memcpy(c.attributes, entry->attributes, sizeof c.attributes);
            d->recorded.push_back(std::move(c));
        }
        return 0;
    }
    if (!d->ended && d->recording && endSlot >= 0 && d->generation == dirGeneration &&
        (d->root || d->cluster != 0)) {
        entryCache.valid = true;
        entryCache.state = &part;
        entryCache.start = d->start;
        entryCache.lastCluster = d->root ? 0 : d->cluster;
        entryCache.endSlot = endSlot;
        entryCache.entries = std::make_shared<EntryList>(std::move(d->recorded));
    }
    d->recording = false;
    d->ended = true;
    return 1;
}

Status FatGetFileInfo(FsState&, FsEntry*) {
    return 0;
}

Status FatCreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                     FsEntry* entry) {
    return CreateDirEntry(part, AsDir(dir), name, attributes, kKindFile, entry);
}

Status FatCreateDir(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                    FsEntry* entry) {
    FatDir* d = AsDir(dir);
    if (CreateDirEntry(part, d, name, attributes, kKindDir, entry) != 0) return -1;
    FatArea a = LoadFatArea(part);
    uint32_t cluster = 0;
    if (AllocateClusters(part, 1, &cluster) != 0) {
        DeleteDirEntry(part, entry);
        return -1;
    }
    // A cluster holds at least the two dot slots (sizes come from an
    // accepted boot sector, so this only guards the buffer below).
    const size_t clusterBytes = a.ClusterBytes();
    if (clusterBytes < 2 * fatdir::kSlotSize) {
        FreeClusters(part, cluster, 1);
        DeleteDirEntry(part, entry);
        return -1;
    }
    std::vector<uint8_t> buffer(clusterBytes, 0);
    DotSlot(buffer.data(), ".", cluster);
    DotSlot(buffer.data() + fatdir::kSlotSize, "..", ParentCluster(part, d));
    if (WriteClusters(part, cluster, buffer.data(), 1) != 0) {
        Log("ERROR: [FAT] Cannot write a directory\r\n");
        FreeClusters(part, cluster, 1);
        DeleteDirEntry(part, entry);
        return -1;
    }
    entry->start = cluster;
    return UpdateDirEntry(part, entry) == 0 ? 0 : -1;
}

Status FatCloseDir(FsState&, FsDirHandle* dir) {
    FatDir* d = AsDir(dir);
    if (d->chain) CloseClusters(d->chain);
    delete d;
    return 0;
}

Status FatRemoveFile(FsState& part, FsEntry* entry) {
    if (entry->kind != kKindFile) return -1;
    if (entry->start != 0 && FreeClusters(part, entry->start, 1) != 0) return -1;
    return DeleteDirEntry(part, entry) == 0 ? 0 : -1;
}

Status FatRemoveDir(FsState& part, FsEntry* entry) {
    if (entry->kind != kKindDir) return -1;
    FatArea a = LoadFatArea(part);
    if (entry->start == 0 || (a.Fat32() && entry->start == a.rootCluster)) return -1;
    // A directory that still holds entries is not removed: its entries'
    // clusters would be lost.
    FsDirHandle* handle = nullptr;
    if (FatOpenDir(part, entry, &handle) != 0) return -1;
    FsEntry inside{};
    bool empty = FatNextDirEntry(part, handle, &inside) != 0;
    FatCloseDir(part, handle);
    if (!empty) {
        Log("ERROR: [FAT] Directory not empty\r\n");
        return -1;
    }
    if (entryCache.start == entry->start) DropEntryCache();
    if (nameCache.start == entry->start) nameCache.valid = false;
    if (FreeClusters(part, entry->start, 1) != 0) return -1;
    return DeleteDirEntry(part, entry) == 0 ? 0 : -1;
}

} // namespace vk
