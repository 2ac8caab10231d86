// Reading and writing the four-entry partition tables and the active flag.
#include <cstdio>
#include <cstring>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "platform/util.h"

namespace vk {

namespace {

uint8_t* Entry(uint8_t* sector, int index) {
    return sector + pte::kTableOffset + size_t(index) * pte::kEntrySize;
}

// Selects a partition and reads its first sector (the table); null on
// failure.
FsState* ReadTable(int disk, int partition, uint8_t* sect) {
    FsState* s = SelectPart(disk, partition);
    return s != nullptr && ReadBootSect(*s, sect) == 0 ? s : nullptr;
}

// Builds one 16-byte entry from a record; -1 with a logged reason when the
// record cannot be stored faithfully.
Status BuildEntry(const FsState& table, PartInfo& r, uint8_t* out, bool linkTable) {
    memset(out, 0, pte::kEntrySize);
    int type = ReadFsType(r.typeName);
    if (type < 0) {
        LogFormat("ERROR: Unknown partition type %s\r\n", r.typeName);
        return -1;
    }
    r.empty = type == kTypeEmpty;
    r.extended = IsExtendedType(uint8_t(type));
    out[pte::kType] = uint8_t(type);
    if (r.empty) return 0;

    const FsGeometry& g = table.geometry;
    auto fits = [&](uint16_t c, uint8_t h, uint8_t s) {
        return s >= 1 && s <= g.sectors && h <= g.lastHead && c <= g.lastCylinder;
    };
    if (!fits(r.startCylinder, r.startHead, r.startSector) ||
        !fits(r.endCylinder, r.endHead, r.endSector)) {
        LogFormat("ERROR: Partition %s has no valid location on this disk\r\n", r.typeName);
        return -1;
    }
    uint8_t startHead, endHead;
    uint16_t startWord, endWord;
    if (PackLoc(r.startCylinder, r.startHead, r.startSector, &startHead, &startWord) != 0 ||
        PackLoc(r.endCylinder, r.endHead, r.endSector, &endHead, &endWord) != 0) {
        uint8_t highestHead = r.startHead > r.endHead ? r.startHead : r.endHead;
        if (!LBAMode && highestHead > 63)
            LogFormat("ERROR: Partition %s uses head %u, above the 63 that the partition table "
                      "holds with LBA off\r\n",
                      r.typeName, unsigned(highestHead));
        else
            LogFormat("ERROR: Partition %s reaches beyond cylinder %u, which the partition table "
                      "cannot hold\r\n",
                      r.typeName, LBAMode ? 1023u : 4095u);
        return -1;
    }
    out[pte::kStartHead] = startHead;
    st16(out + pte::kStartSectCyl, startWord);
    out[pte::kEndHead] = endHead;
    st16(out + pte::kEndSectCyl, endWord);

    uint32_t start = AbsPos(table, r.startCylinder, r.startHead, r.startSector);
    uint32_t end = AbsPos(table, r.endCylinder, r.endHead, r.endSector);
    // Data entries count from their own table; links to further tables
    // count from the outermost extended partition, as every reader expects.
    uint32_t base = (r.extended && linkTable) ? table.outerBase : table.extendedBase;
    if (end < start || start < base) {
        LogFormat("ERROR: Partition %s lies outside its table's partition\r\n", r.typeName);
        return -1;
    }
    st32(out + pte::kStartLBA, start - base);
    st32(out + pte::kSizeLBA, end - start + 1);
    return 0;
}

// The cylinder, head and sector of an absolute sector; false when the
// cylinder is beyond 16 bits.
bool LocationOf(const FsGeometry& g, uint64_t sector, uint16_t* cylinder, uint8_t* head,
                uint8_t* sectorInTrack) {
    const uint32_t perCylinder = g.sectorsPerCylinder();
    if (perCylinder == 0 || sector / perCylinder > 0xFFFF) return false;
    *cylinder = uint16_t(sector / perCylinder);
    *head = uint8_t(sector % perCylinder / g.sectors);
    *sectorInTrack = uint8_t(sector % g.sectors + 1);
    return true;
}

} // namespace

Status GetPartInfos(int disk, int partition, PartInfo* records) {
    uint8_t sect[kSectorSize];
    FsState* s = nullptr;
    if ((s = ReadTable(disk, partition, sect)) == nullptr) return -1;
    for (int i = 0; i < int(pte::kEntries); ++i) {
        const uint8_t* e = Entry(sect, i);
        PartInfo& r = records[i];
        uint8_t type = e[pte::kType];
        snprintf(r.typeName, sizeof r.typeName, "%s", PartTypeName(type));
        r.empty = type == kTypeEmpty;
        r.extended = IsExtendedType(type);
        UnPackLoc(e[pte::kStartHead], ld16(e + pte::kStartSectCyl), &r.startCylinder, &r.startHead,
                  &r.startSector);
        UnPackLoc(e[pte::kEndHead], ld16(e + pte::kEndSectCyl), &r.endCylinder, &r.endHead,
                  &r.endSector);
        // Where the 32-bit fields place the partition, its locations are
        // given on this disk's geometry: the same as the packed ones in the
        // tables written here, the true ones in tables that other tools
        // packed for a geometry of their own.
        uint64_t first = 0, last = 0;
        PartInfo placed = r;
        if (!r.empty && EntryExtent(*s, e, &first, &last) && last >= first &&
            LocationOf(s->geometry, first, &placed.startCylinder, &placed.startHead,
                       &placed.startSector) &&
            LocationOf(s->geometry, last, &placed.endCylinder, &placed.endHead, &placed.endSector))
            r = placed;
    }
    return 0;
}

Status SetPartInfos(int disk, int partition, PartInfo* records) {
    uint8_t sect[kSectorSize];
    FsState* s = nullptr;
    // Every cached state may describe the old layout: flush before reading
    // the table.
    FlushParts(); // a failing driver has logged it; the table is written all the same
    if ((s = ReadTable(disk, partition, sect)) == nullptr) return -1;
    // Build all four entries first, so that a refused record writes nothing.
    uint8_t entries[pte::kEntries][pte::kEntrySize];
    PartInfo checked[pte::kEntries];
    bool linkTable = s->partition != 0;
    for (int i = 0; i < int(pte::kEntries); ++i) {
        checked[i] = records[i];
        if (BuildEntry(*s, checked[i], entries[i], linkTable) != 0) return -1;
    }
    // A master boot record's table replaces a GUID partition table: its
    // headers go too.
    const bool wasGpt = s->partition == 0 && gpt::HasProtectiveEntry(sect);
    for (int i = 0; i < int(pte::kEntries); ++i) {
        records[i] = checked[i];
        memcpy(Entry(sect, i), entries[i], pte::kEntrySize);
    }
    sect[pte::kSignature] = 0x55;
    sect[pte::kSignature + 1] = 0xAA;
    Status result = WriteBootSect(*s, sect);
    if (result == 0 && wasGpt) result = EraseGptHeaders(disk);
    if (result == 0) FlushPartTable(*s);
    FlushParts();
    return result;
}

int GetBootPart(int disk) {
    uint8_t sect[kSectorSize];
    FsState* s = nullptr;
    int partition = 0;
    for (int offset = 0; partition <= kMaxPartition; offset += 4) {
        if ((s = ReadTable(disk, partition, sect)) == nullptr) return 0;
        int found = -1;
        for (int i = 0; i < int(pte::kEntries) && found < 0; ++i)
            if (Entry(sect, i)[pte::kBoot] != 0) found = i;
        if (found < 0) return 0;
        if (!IsExtendedType(Entry(sect, found)[pte::kType])) return found + 1 + offset;
        partition = found + 1 + offset;
    }
    return 0;
}

Status SetBootPart(int disk, int partition) {
    uint8_t sect[kSectorSize];
    FsState* s = nullptr;
    if (partition < 1 || partition > kMaxPartition) return -1;
    // First walk the chain without writing, so that a refused target leaves
    // every table as it was.
    for (int pass = 0; pass < 2; ++pass) {
        bool write = pass == 1;
        int number = partition, offset = 0, table = 0;
        while (number > 4) {
            if ((s = ReadTable(disk, table, sect)) == nullptr) return -1;
            int first = -1;
            for (int i = 0; i < int(pte::kEntries); ++i) {
                uint8_t* e = Entry(sect, i);
                bool extended = IsExtendedType(e[pte::kType]);
                e[pte::kBoot] = extended ? 0x80 : 0;
                if (extended && first < 0) first = i;
            }
            if (first < 0) return -1;
            if (write && WriteBootSect(*s, sect) != 0) return -1;
            table = first + 1 + offset;
            number -= 4;
            offset += 4;
        }
        if ((s = ReadTable(disk, table, sect)) == nullptr) return -1;
        if (Entry(sect, number - 1)[pte::kType] == kTypeEmpty) return -1;
        for (int i = 0; i < int(pte::kEntries); ++i)
            Entry(sect, i)[pte::kBoot] = (i == number - 1) ? 0x80 : 0;
        // Only the tables on the way to the target are written: a flag left
        // in a table further down the chain is never reached at boot.
        if (write && WriteBootSect(*s, sect) != 0) return -1;
    }
    return 0;
}

} // namespace vk
