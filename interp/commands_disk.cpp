// Disk commands: getbootpart, setbootpart, getpartitions, setpartitions,
// blank, clean and fullunzip. They read their arguments, print their progress lines
// and leave the work to the partition layer and the drivers.

#include "interp/commands_disk.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

#include "archive/check.h"
#include "archive/reader.h"
#include "disk/disk.h"
#include "disk/partitions.h"
#include "interp/expr.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

// [disk]: an optional hard-disk number counted from 0 (selected by
// NextHDNum); the first hard disk when absent.
Status OptionalDisk(char** cursor, int* disk) {
    char* p = SkipBlanks(*cursor);
    *disk = kFirstHardDisk;
    if (*p == 0 || uint8_t(*p) == kQuote) return 0;
    int16_t number = NextHDNum(&p);
    if (number < 0) return 1;
    *disk = number;
    *cursor = p;
    return 0;
}

// The table commands need the default disk to exist.
Status RequireDisk(char** cursor, int* disk) {
    char* p = SkipBlanks(*cursor);
    if (*p == 0) {
        *disk = kFirstHardDisk;
        return SelectPart(kFirstHardDisk, 0) == nullptr ? Fail("No hard-disk found") : 0;
    }
    return OptionalDisk(cursor, disk);
}

// A variable name: a word of name characters.
uint32_t Sectors(const PartInfo& r, const DiskGeometry& g) {
    if (r.empty) return 0;
    auto abs = [&](uint16_t c, uint8_t h, uint8_t s) -> int64_t {
        return int64_t(c) * (g.lastHead + 1) * g.sectors + int64_t(h) * g.sectors + s - 1;
    };
    int64_t n = abs(r.endCylinder, r.endHead, r.endSector) -
                abs(r.startCylinder, r.startHead, r.startSector) + 1;
    return n > 0 ? uint32_t(n) : 0;
}

int LastExtended(const PartInfo* r) {
    int ext = -1;
    for (int i = 0; i < 4; ++i)
        if (r[i].extended) ext = i;
    return ext;
}

// One word of a partition definition: type name, optionally ":" and a size
// in MB. False for a malformed word.
bool ParseDefinitionWord(const std::string& word, PartInfo* r, uint32_t* megabytes) {
    size_t colon = word.find(':');
    std::string name = word.substr(0, colon);
    *megabytes = 0;
    if (colon != std::string::npos) {
        std::string size = word.substr(colon + 1);
        if (size.empty() || size.size() > 9 ||
            size.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *megabytes = uint32_t(strtoul(size.c_str(), nullptr, 10));
    }
    if (name.empty() || name.size() >= sizeof r->typeName) return false;
    *r = PartInfo{};
    snprintf(r->typeName, sizeof r->typeName, "%s", name.c_str());
    return true;
}

// Next blank-separated word of the definition, or empty at its end.
std::string NextDefinitionWord(const char** cursor) {
    const char* p = *cursor;
    while (*p == ' ')
        ++p;
    const char* start = p;
    while (*p && *p != ' ')
        ++p;
    *cursor = p;
    return std::string(start, p);
}

bool DefinitionLeft(const char* cursor) {
    while (*cursor == ' ')
        ++cursor;
    return *cursor != 0;
}

// Lays out up to four entries of one table in whole cylinders from `first`
// to `last`. Returns 0, or the failure message.
const char* LayOutTable(const DiskGeometry& g, uint16_t first, uint16_t last, PartInfo* r,
                        const uint32_t* megabytes) {
    const uint64_t perTrack = g.sectors;
    const uint64_t perCylinder = uint64_t(g.lastHead + 1) * g.sectors;
    uint32_t next = first;
    bool firstSized = true;
    for (int i = 0; i < 4; ++i) {
        if (megabytes[i] == 0) continue; // no location, no cylinders
        if (next > last) return "Partitions are too big !";
        uint8_t head = firstSized ? 1 : 0; // the first track holds the table
        // An extended partition laid out first would put its first logical
        // partition on the very sector that holds its own table: refuse it
        // before anything is written rather than leave a broken layout.
        if (firstSized && IsExtendedType(uint8_t(ReadFsType(r[i].typeName))))
            return "First partition cannot be an extended partition";
        firstSized = false;
        // Smallest end cylinder whose sectors from the start, plus 1024 and
        // divided by 2048, reach the requested size.
        uint64_t wanted = uint64_t(megabytes[i]) * 2048;
        uint64_t firstCylinder = (g.lastHead + 1 - head) * perTrack;
        uint64_t more = 0;
        if (firstCylinder + 1024 < wanted)
            more = (wanted - 1024 - firstCylinder + perCylinder - 1) / perCylinder;
        uint64_t end = std::min<uint64_t>(next + more, last);
        r[i].startCylinder = uint16_t(next);
        r[i].startHead = head;
        r[i].startSector = 1;
        r[i].endCylinder = uint16_t(end);
        r[i].endHead = g.lastHead;
        r[i].endSector = g.sectors;
        next = uint32_t(end) + 1;
    }
    return nullptr;
}

// The GUID partition table form of setpartitions: the words after "GPT",
// each a type name or GUID, ":" and a size in MB (EMPTY without a size).
Status SetGptDefinition(int disk, const char* cursor) {
    std::vector<GptPart> parts;
    for (std::string word = NextDefinitionWord(&cursor); !word.empty();
         word = NextDefinitionWord(&cursor)) {
        const size_t colon = word.find(':');
        std::optional<gpt::Guid> type = gpt::TypeForName(word.substr(0, colon));
        if (!type) return Fail("Invalid partition definition");
        GptPart part{*type, 0};
        if (colon != std::string::npos) {
            const std::string size = word.substr(colon + 1);
            if (size.empty() || size.size() > 9 ||
                size.find_first_not_of("0123456789") != std::string::npos)
                return Fail("Invalid partition definition");
            part.megabytes = uint32_t(strtoul(size.c_str(), nullptr, 10));
        }
        if (part.megabytes == 0 && !gpt::IsZero(part.type))
            return Fail("Invalid partition definition");
        parts.push_back(part);
    }
    if (parts.size() > gpt::kEntryCount) return Fail("Invalid partition definition");
    LogFormat("Setting GUID partition table on hard disk %d\r\n", disk - kFirstHardDisk);
    Status result = SetGptPartitions(disk, parts);
    if (result == 1) return Fail("Partitions are too big !");
    return result != 0 ? Fail("Invalid partition definition") : 0;
}

// getpartitions on a GUID partition table: "GPT" and a word per slot up
// to the last used one, in the form SetGptDefinition reads back.
std::string GptDescription(int disk) {
    std::optional<gpt::Table> t = ReadDiskGpt(disk);
    if (!t) return std::string();
    size_t count = 0;
    for (size_t i = 0; i < t->entries.size(); ++i)
        if (t->entries[i].Used()) count = i + 1;
    std::string description = "GPT";
    for (size_t i = 0; i < count; ++i) {
        const gpt::Entry& e = t->entries[i];
        const uint64_t megabytes = e.Used() ? (e.Sectors() + 1024) / 2048 : 0;
        description += " " + gpt::NameOfType(e.type) + ":" + std::to_string(megabytes);
    }
    return description;
}

// blank and clean: the range, the optional disk and, for clean, the label.
struct RangeArgs {
    int16_t first = 0, last = 0;
    int disk = kFirstHardDisk;
    const char* label = "";
};

Status ReadRangeArgs(char* args, RangeArgs* a, bool withLabel) {
    char* p = args;
    if (NextInterval(&p, &a->first, &a->last)) return 1;
    if (OptionalDisk(&p, &a->disk)) return 1;
    if (withLabel && uint8_t(*SkipBlanks(p)) == kQuote) {
        a->label = NextString(&p);
        if (a->label == nullptr) return 1;
    }
    return NextNothing(p) ? 1 : 0;
}

} // namespace

Status ParseGetBootPart(char* args) {
    char* p = args;
    char* name = NextVariableName(&p);
    if (name == nullptr) return 1;
    int disk;
    if (RequireDisk(&p, &disk) || NextNothing(p)) return 1;
    char value[12];
    snprintf(value, sizeof value, "%d", GetBootPart(disk));
    SetVar(name, value);
    return 0;
}

Status ParseSetBootPart(char* args) {
    char* p = args;
    int32_t partition = NextExpr(&p);
    if (partition == kExprFail) return Fail("Bad partition number");
    int disk;
    if (OptionalDisk(&p, &disk) || NextNothing(p)) return 1;
    if (partition < 1 || partition > kMaxPartition || SetBootPart(disk, partition) != 0)
        return Fail("Bad partition number");
    return 0;
}

Status ParseGetPartitions(char* args) {
    char* p = args;
    char* name = NextVariableName(&p);
    if (name == nullptr) return 1;
    int disk;
    if (RequireDisk(&p, &disk) || NextNothing(p)) return 1;
    if (DiskHasGpt(disk)) {
        SetVar(name, GptDescription(disk).c_str());
        return 0;
    }
    DiskGeometry g;
    GetGeometry(disk, &g.lastCylinder, &g.lastHead, &g.sectors);
    std::string description;
    int partition = 0;
    for (int tables = 0; partition <= kMaxPartition; ++tables) {
        PartInfo r[4];
        if (GetPartInfos(disk, partition, r) != 0) break;
        int last = -1;
        for (int i = 0; i < 4; ++i)
            if (!r[i].empty) last = i;
        int ext = LastExtended(r);
        int count = ext >= 0 ? 4 : last + 1;
        for (int i = 0; i < count; ++i) {
            char word[128];
            snprintf(word, sizeof word, "%s%s:%u", description.empty() ? "" : " ", r[i].typeName,
                     unsigned((uint64_t(Sectors(r[i], g)) + 1024) / 2048));
            description += word;
        }
        if (ext < 0) break;
        partition = ext + 1 + 4 * tables;
    }
    SetVar(name, description.c_str());
    return 0;
}

Status ParseSetPartitions(char* args) {
    char* p = args;
    const char* definition = NextString(&p);
    if (definition == nullptr) return 1;
    int disk;
    if (RequireDisk(&p, &disk) || NextNothing(p)) return 1;
    std::string text = definition; // the line buffer is reused by later reads
    const char* cursor = text.c_str();
    {
        const char* after = cursor;
        if (strcasecmp(NextDefinitionWord(&after).c_str(), "GPT") == 0)
            return SetGptDefinition(disk, after);
    }
    DiskGeometry g;
    GetGeometry(disk, &g.lastCylinder, &g.lastHead, &g.sectors);

    uint16_t first = 0, last = g.lastCylinder;
    int table = 0;
    for (int tables = 0;; ++tables) {
        PartInfo r[4];
        uint32_t megabytes[4] = {};
        for (int i = 0; i < 4; ++i) {
            std::string word = NextDefinitionWord(&cursor);
            if (word.empty()) continue; // EMPTY, size 0
            if (!ParseDefinitionWord(word, &r[i], &megabytes[i]))
                return Fail("Invalid partition definition");
        }
        if (const char* message = LayOutTable(g, first, last, r, megabytes)) return Fail(message);
        LogFormat("Setting partition table %d on hard disk %d\r\n", table, disk - kFirstHardDisk);
        if (SetPartInfos(disk, table, r) != 0) return Fail("Invalid partition definition");
        if (!DefinitionLeft(cursor)) return 0;
        int ext = LastExtended(r);
        if (ext < 0) return Fail("Too much partitions (hint: use extended partitions)");
        first = r[ext].startCylinder;
        last = r[ext].endCylinder;
        table = ext + 1 + 4 * tables;
    }
}

Status ParseBlank(char* args) {
    RangeArgs a;
    if (ReadRangeArgs(args, &a, false)) return 1;
    FlushParts(); // pending driver writes land before the zeros, not after
    for (int n = a.first; n <= a.last; ++n) {
        FsState* part = SelectPart(a.disk, n);
        if (part == nullptr) {
            LogFormat("Warning: attempt to blank non-existing partition %d\r\n", n);
            continue;
        }
        LogFormat("Blanking partition %d (type %s)\r\n", n, part->typeName);
        // A failed write is logged by the disk layer; the command goes on.
        if (Seek(*part, 0) == 0) BlankSects(*part, part->sizeSectors);
    }
    FlushParts();
    return 0;
}

Status ParseClean(char* args) {
    RangeArgs a;
    if (ReadRangeArgs(args, &a, true)) return 1;
    std::string label = a.label; // kept apart from the line buffer
    FlushParts();
    for (int n = a.first; n <= a.last; ++n) {
        FsState* part = SelectPart(a.disk, n);
        if (part == nullptr) {
            LogFormat("Warning: attempt to clean non-existing partition %d\r\n", n);
            continue;
        }
        LogFormat("Cleaning partition %d (type %s)\r\n", n, part->typeName);
        const FsHandler* h = part->handler;
        if (h == nullptr || h->Clean == nullptr)
            return Fail("Don't know how to clean that sort of partition");
        if (h->Clean(*part, label.c_str()) != 0) return Fail("Clean-up failed");
        RecogniseFs(*part);
    }
    return 0;
}

namespace {

// The driver named by a full archive's file-system identity, or null.
const FsHandler* ArchiveDriver(const char* name) {
    const int mark = MarkMemory();
    auto archive = std::make_unique<IArchive>();
    const ArchiveHeader* header = nullptr;
    const FsHandler* h = nullptr;
    if (OpenArchive(name, archive.get()) == 0 && ReadArchiveHeader(archive.get(), &header) == 0)
        h = FindFsID(header->fsId);
    AbandonArchive(archive.get());
    RestoreMemory(mark);
    return h;
}

} // namespace

// fullunzip string expression [disk]
Status ParseFullUnzip(char* args) {
    char* p = args;
    const char* nameArg = NextString(&p);
    if (nameArg == nullptr) return 1;
    std::string name = nameArg; // kept apart from the line buffer
    int32_t partition = NextExpr(&p);
    if (partition == kExprFail) return Fail("Bad partition number");
    int disk;
    if (OptionalDisk(&p, &disk) || NextNothing(p)) return 1;
    FlushParts();
    FsState* selected = nullptr;
    if (partition < kCachePartition || partition > kMaxPartition ||
        (selected = SelectPart(disk, partition)) == nullptr)
        return Fail("Cannot unzip: target partition does not exist");
    FsState& target = *selected;
    LogFormat("Restoring full archive %.100s to partition %d (type %s)\r\n", name.c_str(),
              int(partition), target.typeName);
    const FsHandler* h = target.handler;
    // A partition held by an alternative driver without restores of its own
    // is restored by the driver of its type, which then holds it.
    if ((h == nullptr || h->FullUnzip == nullptr) && FsHandlerForType(target.type) != nullptr) {
        h = FsHandlerForType(target.type);
        target.driverData.reset();
        target.handler = h;
    }
    // An archive of a kind that another driver of the partition's type
    // restores goes to that driver (an ext4 archive onto a partition that
    // holds ext2 or nothing yet). The archive is opened for that only
    // where there is such a choice.
    const FsHandler* own =
        OtherRestoreServes(target.type, h) ? ArchiveDriver(name.c_str()) : nullptr;
    if (own != nullptr && own != h && own->FullUnzip != nullptr &&
        FsDriverServes(target.type, own)) {
        h = own;
        target.driverData.reset();
        target.handler = h;
    }
    if (h == nullptr || h->FullUnzip == nullptr)
        return Fail("Can't process this type of partition");

    // Nothing is written before the whole archive is known to be sound.
    if (CheckBeforeRestore(name.c_str()) != 0) return Fail("Cannot open archive");
    int mark = MarkMemory();
    auto archive = std::make_unique<IArchive>();
    if (OpenArchive(name.c_str(), archive.get()) != 0) {
        AbandonArchive(archive.get());
        RestoreMemory(mark);
        return Fail("Cannot open archive");
    }
    auto attempt = [&]() { return h->FullUnzip(target, archive.get()); };
    TakeDiskFull(); // a note left by an earlier command is not this restore's
    if (attempt() != 0) {
        // A partition too small for the archive stays too small: no second
        // try, and the message says what is wrong instead of blaming the
        // archive.
        if (TakeDiskFull()) {
            AbandonArchive(archive.get());
            RestoreMemory(mark);
            RecogniseFs(target);
            return Fail("Unzip is not possible: the archive does not fit the partition");
        }
        Log("Unzip failed, trying again\r\n");
        AbandonArchive(archive.get());
        RestoreMemory(mark);
        if (OpenArchive(name.c_str(), archive.get()) != 0 || attempt() != 0) {
            AbandonArchive(archive.get());
            RestoreMemory(mark);
            RecogniseFs(target);
            return Fail("Unzip is not possible (bad archive ?)");
        }
    }
    AbandonArchive(archive.get());
    RestoreMemory(mark);
    // The flush completes the volume (second FAT, FSInfo, backup boot
    // sectors): a restore whose flush fails is no restore.
    Status flushed = h->FlushFsSpecific != nullptr ? h->FlushFsSpecific(target) : 0;
    RecogniseFs(target);
    return flushed != 0 ? Fail("Unzip is not possible (bad archive ?)") : 0;
}

} // namespace vk
