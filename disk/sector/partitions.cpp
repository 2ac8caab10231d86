// The partition type table, the partition-state cache and the selection of
// a partition for its callers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <strings.h>
#include <unistd.h>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "platform/util.h"

namespace vk {

namespace {

struct PartType {
    uint8_t type;
    const char* name;
};

constexpr PartType PartTypes[] = {
    {0x00, "EMPTY"},   {0x04, "FAT16"},      {0x05, "EXT"},        {0x06, "BIGDOS"},
    {0x07, "NTFS"},    {0x0B, "FAT32"},      {0x0C, "FAT32-LBA"},  {0x0E, "BIGDOS-LBA"},
    {0x0F, "EXT-LBA"}, {0x82, "LINUX-SWAP"}, {0x83, "LINUX-EXT2"},
};

// The registered driver of each type byte.
const FsHandler* handlers[256] = {};

// Drivers registered as alternatives, with the types each one serves, in
// the order of registration.
constexpr size_t kMaxAlternatives = 8;
FsDriver alternatives[kMaxAlternatives];
size_t alternativeCount = 0;

bool IsAlternativeFor(uint8_t type, const FsHandler* h) {
    for (size_t i = 0; i < alternativeCount; ++i)
        if (alternatives[i].handler == h &&
            std::find(alternatives[i].types.begin(), alternatives[i].types.end(), type) !=
                alternatives[i].types.end())
            return true;
    return false;
}

bool HasAlternatives(uint8_t type) {
    for (size_t i = 0; i < alternativeCount; ++i)
        if (std::find(alternatives[i].types.begin(), alternatives[i].types.end(), type) !=
            alternatives[i].types.end())
            return true;
    return false;
}

Status Examine(const FsHandler* h, FsState& s) {
    return h != nullptr && h->InitFsSpecific != nullptr ? h->InitFsSpecific(s) : 1;
}

// Names of types the table does not know, used in rotation so that the last
// four stay valid.
char Unknowns[4][4];
int nextUnknown = 0;

FsState fsstcache[kStateCacheSlots];
int fsstcacheindex = 0;

const PartType* FindType(uint8_t type) {
    for (const PartType& t : PartTypes)
        if (t.type == type) return &t;
    return nullptr;
}

uint8_t* Entry(uint8_t* sector, int index) {
    return sector + pte::kTableOffset + size_t(index) * pte::kEntrySize;
}

bool LocationFits(const FsGeometry& g, uint16_t cylinder, uint8_t head, uint8_t sector) {
    return sector >= 1 && sector <= g.sectors && head <= g.lastHead && cylinder <= g.lastCylinder;
}

uint64_t AbsPosOn(const FsGeometry& g, uint16_t cylinder, uint8_t head, uint8_t sector) {
    return uint64_t(cylinder) * g.sectorsPerCylinder() + uint64_t(head) * g.sectors + sector - 1;
}

// Follows the first extended entry of the table in sect: the state becomes
// that extended partition and sect its table.
Status EnterExtended(FsState& s, uint8_t* sect) {
    int found = -1;
    for (int i = 0; i < int(pte::kEntries); ++i)
        if (IsExtendedType(Entry(sect, i)[pte::kType])) {
            found = i;
            break;
        }
    if (found < 0) return -1;
    const uint8_t* e = Entry(sect, found);
    s.type = e[pte::kType];
    FindFsType(s);
    // SeekPart refuses a table that does not lie behind the one pointing to
    // it (a damaged, possibly looping chain).
    if (SeekPart(s, e) != 0) return -1;
    if (s.outerBase == 0) s.outerBase = s.start;
    if (ReadBootSect(s, sect) != 0) return -1;
    s.extendedBase = s.start;
    return 0;
}

// Names of GUID partition types without a name of their own, in rotation
// like the numbers of unknown type bytes.
char GuidNames[4][40];
int nextGuidName = 0;

// A partition of the disk's GUID partition table: a slot of its array, or
// the cache partition behind the last entry.
Status SelectOnGpt(FsState* s, int partition) {
    std::optional<gpt::Table> t = ReadDiskGpt(s->disk);
    if (!t) return -1;
    const uint64_t align = 2048;
    if (partition == kCachePartition) {
        // From the first 1 MiB boundary behind the last entry to the last
        // usable sector; the cache driver counts its sectors in 32 bits, so
        // it is given at most 2^32 - 1 of them.
        uint64_t end = t->header.firstUsable - 1;
        for (const gpt::Entry& e : t->entries)
            if (e.Used()) end = std::max(end, e.last);
        const uint64_t start = (end + 1 + align - 1) / align * align;
        if (start > t->header.lastUsable) {
            Log("\r\nERROR: No room for a cache partition\r\n");
            return -1;
        }
        s->start = start;
        s->sizeSectors = std::min<uint64_t>(t->header.lastUsable - start + 1, UINT32_MAX);
        s->type = kTypeCache;
        s->typeName = "CACHE";
        s->handler = FsHandlerForType(kTypeCache);
        RewindPart(*s);
        RecogniseFs(*s);
        return 0;
    }
    if (size_t(partition) > t->entries.size() || !t->entries[size_t(partition) - 1].Used()) {
        Log("\r\nSelectPart: empty partition !\r\n");
        return -1;
    }
    const gpt::Entry& e = t->entries[size_t(partition) - 1];
    s->type = GptDriverType(e.type, e.Sectors());
    FindFsType(*s);
    if (const char* name = gpt::TypeName(e.type)) {
        s->typeName = name;
    } else {
        char* text = GuidNames[nextGuidName];
        nextGuidName = (nextGuidName + 1) % 4;
        snprintf(text, sizeof GuidNames[0], "%s", gpt::FormatGuid(e.type).c_str());
        s->typeName = text;
    }
    s->start = e.first;
    s->sizeSectors = e.Sectors();
    s->startCylinder = 0;
    s->startSectHead = 1;
    RewindPart(*s);
    RecogniseFs(*s);
    return 0;
}

Status SelectInto(FsState* s, int disk, int partition) {
    if (disk < kFirstHardDisk || disk >= kFirstHardDisk + HDCount()) {
        Log("\r\nSelectPart: invalid disk\r\n");
        return -1;
    }
    if (partition < kCachePartition || partition > kMaxPartition) {
        Log("\r\nSelectPart: invalid partition number\r\n");
        return -1;
    }
    DiskGeometry g;
    GetGeometry(disk, &g.lastCylinder, &g.lastHead, &g.sectors);
    *s = FsState{};
    s->state = kStateClean;
    s->disk = uint8_t(disk);
    s->partition = int8_t(partition);
    s->geometry = FsGeometry{g.lastCylinder, g.lastHead, g.sectors};
    s->sizeSectors = g.sectors;
    s->startSectHead = 1;
    s->fda = (disk & 0x80) && FDAMode;
    s->type = kTypeExtended;
    FindFsType(*s);

    if (partition == 0) {
        RewindPart(*s);
        RecogniseFs(*s);
        return 0;
    }
    uint8_t sect[kSectorSize];
    if (ReadBootSect(*s, sect) != 0) return -1;
    if (gpt::HasProtectiveEntry(sect)) return SelectOnGpt(s, partition);

    if (partition == kCachePartition) {
        // The cache begins on the cylinder after the last one that any
        // primary entry reaches by its 32-bit fields (a packed end may be
        // saturated at cylinder 1023 or packed for another geometry).
        uint16_t highest = 0;
        for (int i = 0; i < int(pte::kEntries); ++i) {
            const uint8_t* e = Entry(sect, i);
            if (e[pte::kType] == kTypeEmpty) continue;
            uint64_t first = 0, last = 0;
            EntryExtent(*s, e, &first, &last);
            const uint32_t perCylinder = s->geometry.sectorsPerCylinder();
            if (perCylinder == 0) continue;
            uint64_t cylinder = last / perCylinder;
            if (cylinder > highest) highest = uint16_t(std::min<uint64_t>(cylinder, 0xFFFF));
        }
        if (highest >= g.lastCylinder) {
            Log("\r\nERROR: No room for a cache partition\r\n");
            return -1;
        }
        const FsGeometry& fg = s->geometry;
        s->start = AbsPosOn(fg, uint16_t(highest + 1), 0, 1);
        s->sizeSectors = AbsPosOn(fg, fg.lastCylinder, fg.lastHead, fg.sectors) - s->start + 1;
        s->startCylinder = uint16_t(highest + 1);
        s->startSectHead = 1;
        s->type = kTypeCache;
        s->typeName = "CACHE";
        s->handler = FsHandlerForType(kTypeCache);
        RewindPart(*s);
        RecogniseFs(*s);
        return 0;
    }

    int number = partition;
    while (number > 4) {
        if (EnterExtended(*s, sect) != 0) return -1;
        number -= 4;
    }
    const uint8_t* e = Entry(sect, number - 1);
    if (e[pte::kType] == kTypeEmpty) {
        Log("\r\nSelectPart: empty partition !\r\n");
        return -1;
    }
    s->type = e[pte::kType];
    FindFsType(*s);
    if (SeekPart(*s, e) != 0) return -1;
    RewindPart(*s);
    if (IsExtendedType(s->type)) {
        s->extendedBase = s->start;
        if (s->outerBase == 0) s->outerBase = s->start;
    }
    RecogniseFs(*s);
    return 0;
}

} // namespace

void RegisterFsDriver(const FsDriver& driver) {
    if (driver.alternative) {
        if (alternativeCount == kMaxAlternatives) {
            Log("RegisterFsDriver: too many alternative drivers\r\n");
            return;
        }
        alternatives[alternativeCount++] = driver;
        return;
    }
    for (uint8_t type : driver.types)
        handlers[type] = driver.handler;
}

void ResetFsDrivers() {
    std::fill(std::begin(handlers), std::end(handlers), nullptr);
    alternativeCount = 0;
}

uint8_t RecogniseFs(FsState& s) {
    s.driverData.reset();
    s.valid = 0;
    // The cache partition's driver is not one of a type byte.
    const FsHandler* own = s.handler;
    if (s.type != kTypeCache && (own == nullptr || IsAlternativeFor(s.type, own)))
        own = handlers[s.type];
    s.handler = own;
    if (s.type == kTypeCache || !HasAlternatives(s.type)) {
        s.valid = Examine(own, s) == 0;
        return s.valid;
    }
    // The type's own driver speaks of its refusal only when no alternative
    // takes the volume.
    {
        QuietLog quiet;
        if (Examine(own, s) == 0) return s.valid = 1;
    }
    for (size_t i = 0; i < alternativeCount; ++i) {
        const FsDriver& d = alternatives[i];
        if (std::find(d.types.begin(), d.types.end(), s.type) == d.types.end()) continue;
        s.driverData.reset();
        Status answer = Examine(d.handler, s);
        if (answer == 0 || answer == kFsOwnRefused) {
            s.handler = d.handler;
            return s.valid = answer == 0;
        }
    }
    s.driverData.reset();
    s.valid = Examine(own, s) == 0;
    return s.valid;
}

const FsHandler* FsHandlerForType(uint8_t type) {
    return handlers[type];
}

void InitFsHandlers() {
    // Each distinct table is started once, however many types name it.
    const FsHandler* started[std::size(handlers) + kMaxAlternatives] = {};
    size_t count = 0;
    auto start = [&](const FsHandler* h) {
        if (h == nullptr || std::find(started, started + count, h) != started + count) return;
        started[count++] = h;
        if (h->InitDriver) h->InitDriver();
    };
    for (const FsHandler* h : handlers)
        start(h);
    for (size_t i = 0; i < alternativeCount; ++i)
        start(alternatives[i].handler);
    for (FsState& s : fsstcache)
        s = FsState{};
    fsstcacheindex = 0;
}

FsState* SelectPart(int disk, int partition) {
    HDCount();
    if (partition == 255) partition = kCachePartition;
    for (int i = 0; i < fsstcacheindex; ++i) {
        FsState& s = fsstcache[i];
        if (s.state != kStateFree && s.disk == disk && s.partition == partition) {
            RewindPart(s);
            return &s;
        }
    }
    // The last slot is never handed out: 31 distinct partitions per run of
    // selections between two flushes.
    if (fsstcacheindex >= kStateCacheSlots - 1) {
        Log("\r\nSelectPart: fsstate cache full\r\n");
        return nullptr;
    }
    FsState* slot = &fsstcache[fsstcacheindex++];
    if (SelectInto(slot, disk, partition) == 0) return slot;
    // A failed selection gives its slot back, so that probing for missing
    // partitions cannot exhaust the cache.
    slot->state = kStateFree;
    --fsstcacheindex;
    return nullptr;
}

Status FlushParts() {
    Status result = 0;
    for (int i = 0; i < fsstcacheindex; ++i) {
        FsState& s = fsstcache[i];
        if (s.state == kStateModified && s.handler && s.handler->FlushFsSpecific &&
            s.handler->FlushFsSpecific(s) != 0)
            result = 1;
    }
    for (FsState& s : fsstcache)
        s.state = kStateFree;
    fsstcacheindex = 0;
    if (FlushWrittenData() != 0) result = 1;
    return result;
}

uint32_t AbsPos(const FsState& s, uint16_t cylinder, uint8_t head, uint8_t sector) {
    return uint32_t(AbsPosOn(s.geometry, cylinder, head, sector));
}

bool EntryExtent(const FsState& table, const uint8_t* entry, uint64_t* first, uint64_t* last) {
    const uint32_t startField = ld32(entry + pte::kStartLBA);
    const uint32_t sizeField = ld32(entry + pte::kSizeLBA);
    if (startField == 0 && sizeField == 0) {
        // Tools older than the 32-bit fields left them zero: such an entry
        // has only its C/H/S locations.
        uint16_t c0, c1;
        uint8_t h0, h1, s0, s1;
        UnPackLoc(entry[pte::kStartHead], ld16(entry + pte::kStartSectCyl), &c0, &h0, &s0);
        UnPackLoc(entry[pte::kEndHead], ld16(entry + pte::kEndSectCyl), &c1, &h1, &s1);
        *first = AbsPosOn(table.geometry, c0, h0, s0);
        *last = AbsPosOn(table.geometry, c1, h1, s1);
        return false;
    }
    // Data entries count from their own table; links between the tables
    // of an extended partition count from the outermost one.
    const uint32_t base = IsExtendedType(entry[pte::kType]) && table.outerBase != 0
                              ? table.outerBase
                              : table.extendedBase;
    *first = uint64_t(base) + startField;
    *last = *first + sizeField - 1; // one before the start for a size of 0
    return true;
}

Status SeekPart(FsState& s, const uint8_t* entry) {
    uint16_t c0, c1;
    uint8_t h0, h1, s0, s1;
    UnPackLoc(entry[pte::kStartHead], ld16(entry + pte::kStartSectCyl), &c0, &h0, &s0);
    UnPackLoc(entry[pte::kEndHead], ld16(entry + pte::kEndSectCyl), &c1, &h1, &s1);
    uint64_t start = 0, end = 0;
    // Partitions are located by the 32-bit fields, as every current system
    // does: other tools fill the C/H/S fields for a geometry of their own
    // or saturate them on large disks. Only an entry without those fields
    // is located by C/H/S, which must then fit this disk's geometry.
    const bool byFields = EntryExtent(s, entry, &start, &end);
    if (!byFields) {
        const FsGeometry& g = s.geometry;
        if (!LocationFits(g, c0, h0, s0) || !LocationFits(g, c1, h1, s1)) {
            LogFormat("\r\nERROR: Partition entry %u/%u/%u-%u/%u/%u does not fit the disk "
                      "geometry\r\n",
                      c0, h0, s0, c1, h1, s1);
            return -1;
        }
    }
    if (end < start) {
        Log(byFields ? "\r\nERROR: Partition entry has a size of 0\r\n"
                     : "\r\nERROR: Partition entry ends before it starts\r\n");
        return -1;
    }
    // A damaged entry is refused before anything reads or writes through
    // it: every partition lies behind the table that holds its entry (the
    // tables of an extended chain each behind the one pointing to it), and
    // inside the disk.
    if (start <= s.extendedBase) {
        if (IsExtendedType(entry[pte::kType]))
            Log("\r\nSelectPart: damaged extended partition chain\r\n");
        else
            Log("\r\nERROR: Partition entry overlaps its partition table\r\n");
        return -1;
    }
    if (end >= DiskSizeSectors(s.disk)) {
        Log("\r\nERROR: Partition lies beyond the end of the disk\r\n");
        return -1;
    }
    if (end > UINT32_MAX) {
        Log("\r\nERROR: Partition lies beyond the first 2 TiB of the disk\r\n");
        return -1;
    }
    s.start = start;
    s.sizeSectors = end - start + 1;
    s.startCylinder = c0;
    s.startSectHead = uint16_t(s0 | (h0 << 8));
    return 0;
}

Status ReadBootSect(FsState& s, uint8_t* sector) {
    RewindPart(s);
    if (ReadSects(s, 1, sector) != 0) return -1;
    if (sector[pte::kSignature] != 0x55 || sector[pte::kSignature + 1] != 0xAA)
        Log("Warning: no boot record signature\r\n");
    return 0;
}

Status WriteBootSect(FsState& s, const uint8_t* sector) {
    RewindPart(s);
    return WriteSects(s, 1, sector);
}

const char* PartTypeName(uint8_t type) {
    if (const PartType* t = FindType(type)) return t->name;
    char* name = Unknowns[nextUnknown];
    nextUnknown = (nextUnknown + 1) % 4;
    snprintf(name, sizeof Unknowns[0], "%u", type);
    return name;
}

void FindFsType(FsState& s) {
    s.typeName = PartTypeName(s.type);
    // The cache partition's driver serves only the space behind the
    // partitions, never an entry of a table.
    s.handler = s.type == kTypeCache ? nullptr : handlers[s.type];
}

int ReadFsType(const char* name) {
    for (const PartType& t : PartTypes)
        if (strcasecmp(t.name, name) == 0) return t.type;
    if (name[0] < '0' || name[0] > '9') return -1;
    int value = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
        if (value > 255) return -1;
    }
    return value;
}

const FsHandler* FindFsID(const char* id) {
    // The drivers of partition table entries, in type order (FAT16 before
    // FAT32 for "FATx").
    for (int type = 0; type < kTypeCache; ++type) {
        const FsHandler* h = handlers[type];
        if (h && memcmp(h->id, id, sizeof h->id) == 0) return h;
    }
    for (size_t i = 0; i < alternativeCount; ++i) {
        const FsHandler* h = alternatives[i].handler;
        if (memcmp(h->id, id, sizeof h->id) == 0) return h;
    }
    return nullptr;
}

bool FsDriverServes(uint8_t type, const FsHandler* h) {
    return h != nullptr && (handlers[type] == h || IsAlternativeFor(type, h));
}

bool OtherRestoreServes(uint8_t type, const FsHandler* h) {
    if (handlers[type] != nullptr && handlers[type] != h && handlers[type]->FullUnzip) return true;
    for (size_t i = 0; i < alternativeCount; ++i) {
        const FsHandler* other = alternatives[i].handler;
        if (other != h && other->FullUnzip && IsAlternativeFor(type, other)) return true;
    }
    return false;
}

} // namespace vk
