// GUID partition tables on the disks: reading a disk's table (and putting
// a damaged copy back before the next write), the type bytes through which
// the drivers serve GUID partitions, and writing a fresh layout.
#include <algorithm>
#include <string>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint64_t kAlign = 2048; // 1 MiB in sectors

gpt::SectorReader ReaderOf(int disk) {
    return [disk](uint64_t lba, uint32_t count, uint8_t* buffer) {
        BlockDevice* device = DiskDevice(disk);
        const size_t bytes = size_t(count) * kSectorSize;
        return device != nullptr && lba + count <= device->SizeSectors() &&
               device->ReadAt(lba * kSectorSize, buffer, bytes) == bytes;
    };
}

// A state spanning the whole disk, through which tables are written (so
// that writes honour -w and the disk layer's checks).
FsState WholeDisk(int disk) {
    FsState s;
    s.state = kStateClean;
    s.disk = uint8_t(disk);
    s.start = 0;
    s.sizeSectors = DiskSizeSectors(disk);
    return s;
}

Status WriteRun(FsState& whole, uint64_t lba, const uint8_t* data, uint64_t sectors) {
    if (Seek(whole, lba) != 0) return -1;
    while (sectors > 0) {
        const uint16_t n = uint16_t(std::min<uint64_t>(sectors, 64));
        if (WriteSects(whole, n, data) != 0) return -1;
        data += size_t(n) * kSectorSize;
        sectors -= n;
    }
    return 0;
}

} // namespace

uint8_t GptDriverType(const gpt::Guid& type, uint64_t sectors) {
    static const gpt::Guid esp = *gpt::TypeForName("ESP");
    static const gpt::Guid data = *gpt::TypeForName("BASIC-DATA");
    static const gpt::Guid linuxFs = *gpt::TypeForName("LINUX");
    static const gpt::Guid swap = *gpt::TypeForName("LINUX-SWAP");
    if (type == esp) return sectors >= kGptEspFat32From ? 0x0C : 0x0E;
    if (type == data) return sectors >= kGptDataFat32From ? 0x0C : 0x0E;
    if (type == linuxFs) return 0x83;
    if (type == swap) return kTypeSwap;
    return kTypeGptOther;
}

bool DiskHasGpt(int disk) {
    uint8_t sector[kSectorSize];
    return ReaderOf(disk)(0, 1, sector) && gpt::HasProtectiveEntry(sector);
}

std::optional<gpt::Table> ReadDiskGpt(int disk) {
    std::string why;
    const uint64_t sectors = DiskSizeSectors(disk);
    std::optional<gpt::Table> t = gpt::ReadTable(ReaderOf(disk), sectors, &why);
    if (!t) {
        LogFormat("\r\nERROR: Hard disk %d: %s\r\n", disk - kFirstHardDisk, why.c_str());
        return std::nullopt;
    }
    // A damaged copy is reported once, not at every selection.
    if (NewTableNote(disk, t->note) && !t->note.empty())
        LogFormat("Warning: hard disk %d: %s\r\n", disk - kFirstHardDisk, t->note.c_str());
    // Both copies go back on the disk before anything else is written to it.
    SetPendingRepair(disk, t->note.empty() ? std::vector<gpt::SectorRun>{}
                                           : gpt::BuildTable(t->header, t->entries, sectors));
    return t;
}

bool LayOutGpt(const gpt::Header& h, const std::vector<GptPart>& parts,
               std::vector<gpt::Entry>* entries) {
    if (parts.size() > h.entryCount) return false;
    entries->assign(h.entryCount, gpt::Entry{});
    uint64_t next = (h.firstUsable + kAlign - 1) / kAlign * kAlign;
    for (size_t i = 0; i < parts.size(); ++i) {
        const uint64_t sectors = uint64_t(parts[i].megabytes) * kAlign;
        if (gpt::IsZero(parts[i].type)) {
            next += sectors;
            continue;
        }
        if (sectors == 0 || next > h.lastUsable || h.lastUsable - next + 1 < sectors) return false;
        gpt::Entry& e = (*entries)[i];
        e.type = parts[i].type;
        e.unique = gpt::RandomGuid();
        e.first = next;
        e.last = next + sectors - 1;
        next = (e.last + 1 + kAlign - 1) / kAlign * kAlign;
    }
    return true;
}

Status SetGptPartitions(int disk, const std::vector<GptPart>& parts) {
    const uint64_t sectors = DiskSizeSectors(disk);
    FlushParts(); // every cached state may describe the old layout
    gpt::Header h = gpt::FreshHeader(sectors);
    // The disk keeps its identity when its old table could be read.
    uint8_t sector0[kSectorSize];
    if (!ReaderOf(disk)(0, 1, sector0)) {
        Log("ERROR: Cannot read the master boot record\r\n");
        return -1;
    }
    if (gpt::HasProtectiveEntry(sector0)) {
        std::string why;
        QuietLog quiet;
        if (auto old = gpt::ReadTable(ReaderOf(disk), sectors, &why))
            h.diskGuid = old->header.diskGuid;
    }
    std::vector<gpt::Entry> entries;
    if (!LayOutGpt(h, parts, &entries)) return 1;
    std::vector<gpt::SectorRun> runs = gpt::BuildTable(h, entries, sectors);
    if (runs.empty()) {
        Log("ERROR: The disk is too small for a GUID partition table\r\n");
        return -1;
    }
    gpt::MakeProtective(sector0, sectors);
    // The fresh table replaces any repair still pending.
    SetPendingRepair(disk, {});
    NewTableNote(disk, std::string());
    FsState whole = WholeDisk(disk);
    for (const gpt::SectorRun& run : runs)
        if (WriteRun(whole, run.lba, run.bytes.data(), run.bytes.size() / kSectorSize) != 0)
            return -1;
    if (WriteRun(whole, 0, sector0, 1) != 0) return -1;
    FlushPartTable(whole);
    FlushParts();
    return 0;
}

Status EraseGptHeaders(int disk) {
    static const uint8_t zero[kSectorSize] = {};
    SetPendingRepair(disk, {});
    NewTableNote(disk, std::string());
    FsState whole = WholeDisk(disk);
    if (whole.sizeSectors < 3) return -1;
    return WriteRun(whole, 1, zero, 1) == 0 && WriteRun(whole, whole.sizeSectors - 1, zero, 1) == 0
               ? 0
               : -1;
}

} // namespace vk
