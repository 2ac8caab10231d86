// The archive dump: prints each section of a full or incremental archive as
// it arrives and checks the announced counts, warning instead of failing.
#include "archive/dump.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "disk/fsdriver.h"
#include "disk/partitions.h"
#include "platform/console.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

namespace {

void Text(const char* s) {
    PrintString(s);
}

void EndLine() {
    PrintString("\r\n");
}

void Line(const char* s) {
    PrintString(s);
    EndLine();
}

void Num(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    PrintString(text);
}

// A number right-aligned in width columns.
void RightNum(uint64_t value, int width) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    Pad(text, width);
    PrintString(text);
}

// A name padded with blanks to width columns.
void PaddedName(const char* name, int width) {
    PrintString(name);
    Pad(name, width);
}

void Attributes(const DumpState* st, const uint8_t* attrs, uint16_t size) {
    if (size == 0) return;
    const FsHandler* d = st->describer;
    if (d != nullptr && d->DescribeAttributes != nullptr && size == d->attrSize) {
        char text[512];
        d->DescribeAttributes(attrs, text, sizeof text);
        text[sizeof text - 1] = '\0';
        Text(" ");
        Text(text);
        return;
    }
    Text(" attrib = ");
    for (uint16_t i = 0; i < size; ++i)
        PrintHexByte(attrs[i]);
}

// " 3*1K 2*2K ..." for the six block sizes of a record stored at p.
void BlockCounts(const uint8_t* p) {
    for (int i = 0; i < kBlockSizes; ++i) {
        Text(" ");
        Num(ld16(p + 2 * i));
        Text("*");
        Num(1u << i);
        Text("K");
    }
}

// The entry's name, cut to what an entry name may hold even when its NUL
// is missing.
struct EntryName {
    char text[kEntryNameMax];
    EntryName(const uint8_t* entry, uint32_t fixed, uint16_t attrSize) {
        const char* name = reinterpret_cast<const char*>(entry + fixed + attrSize);
        size_t length = strnlen(name, kEntryNameMax - 1);
        std::memcpy(text, name, length);
        text[length] = '\0';
    }
};

// Leaves pops levels of the path; more than it holds warns and empties it.
void PopPath(DumpState* st, uint32_t pops) {
    if (pops > st->depth) {
        Text("WARNING: Too much directories to pop\r\n");
        pops = st->depth;
    }
    st->depth -= pops;
    uint32_t shown = st->depth < kDumpDepthMax ? st->depth : kDumpDepthMax;
    st->path[st->pathEnd[shown]] = '\0';
}

// Appends one component to the path text when it fits.
void PushPath(DumpState* st, const char* component) {
    size_t length = std::strlen(st->path);
    size_t add = std::strlen(component);
    if (st->depth < kDumpDepthMax && length + add < kDumpPathMax) {
        std::memcpy(st->path + length, component, add + 1);
        length += add;
    }
    ++st->depth;
    if (st->depth <= kDumpDepthMax) st->pathEnd[st->depth] = uint16_t(length);
}

void StartListingIf(DumpState* st, bool wanted, uint64_t size) {
    if (wanted && size > 0) StartDumpChunk(st);
}

void EndListing(DumpState* st) {
    if (st->listing) EndDumpChunk(st);
}

// Warns about missing data of the previous file and ends its listing.
void CloseFile(DumpState* st, const char* warning) {
    EndListing(st);
    if (st->fileOpen && st->pending > 0) Text(warning);
    st->fileOpen = false;
    st->pending = 0;
}

// One piece of file data: counted against the announced size and listed.
void FileData(DumpState* st, const uint8_t* data, uint32_t n) {
    if (n > st->pending || !st->fileOpen) {
        Text("Warning: more file data than expected\r\n");
        st->pending = 0;
    } else {
        st->pending -= n;
    }
    if (st->listing) DumpChunk(st, data, n);
    if (st->pending == 0) EndListing(st);
}

void StartDump(uint16_t flags, DumpState* st) {
    *st = DumpState{};
    st->flags = flags;
    ++Logging;
    st->logging = true;
}

void EndDump(DumpState* st) {
    if (st->logging) {
        --Logging;
        st->logging = false;
    }
}

void PrintHeader(DumpState* st, const ArchiveHeader* header) {
    st->header = *header;
    // A driver that knows its records better than hex describes them.
    const FsHandler* h = FindFsID(header->fsId);
    st->sizeHighAt = h != nullptr ? h->sizeHighAt : 0;
    st->highSizes.clear();
    st->entryFiles = 0;
    st->describer =
        h != nullptr && (h->DescribeAttributes != nullptr || h->DescribeBootArea != nullptr)
            ? h
            : nullptr;
    if (!(st->flags & kDumpHeader)) return;
    Text("Filesystem identifier     : ");
    for (char c : header->fsId)
        PrintChar(uint8_t(c) < 32 ? uint8_t('.') : uint8_t(c));
    EndLine();
    Text("Number of directories     : ");
    Num(header->dirCount);
    EndLine();
    Text("Number of files           : ");
    Num(header->fileCount);
    EndLine();
    Text("Summary attributes size   : ");
    Num(header->summaryAttr);
    EndLine();
    Text("Directory attributes size : ");
    Num(header->dirAttr);
    EndLine();
    Text("Sum of file sizes         : ");
    Num(header->sumOfSizes);
    EndLine();
}

} // namespace

uint16_t DumpWhatOf(const char* format) {
    if (!format || !*format) format = "hbD";
    uint16_t flags = 0;
    for (const char* p = format; *p; ++p) {
        switch (*p) {
        case 'H':
        case 'h': flags |= 0x01; break;
        case 'b': flags |= 0x02; break;
        case 'B': flags |= 0x06; break;
        case 's': flags |= 0x08; break;
        case 'S': flags |= 0x18; break;
        case 'd': flags |= 0x20; break;
        case 'D': flags |= 0x60; break;
        case 'f': flags |= 0x80; break;
        case 'F': flags |= 0x180; break;
        default: break;
        }
    }
    return flags;
}

uint16_t DumpWhat() {
    return DumpWhatOf(ReadSetting("DumpFormat"));
}

// ---- Hexadecimal listing ------------------------------------------------------

void StartDumpChunk(DumpState* st) {
    st->offset = 0;
    st->listing = true;
}

void DumpChunk(DumpState* st, const uint8_t* data, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t column = st->offset % 16;
        if (column == 0) {
            PrintHexDword(st->offset);
            Text(" : ");
        }
        PrintHexByte(data[i]);
        Text(" ");
        st->ascii[column] = data[i] < 32 ? '.' : char(data[i]);
        ++st->offset;
        if (column == 15) {
            for (int k = 0; k < 16; ++k)
                PrintChar(uint8_t(st->ascii[k]));
            EndLine();
        }
    }
}

void EndDumpChunk(DumpState* st) {
    uint32_t column = st->offset % 16;
    if (column != 0) {
        for (uint32_t k = column; k < 16; ++k)
            Text("   ");
        for (uint32_t k = 0; k < column; ++k)
            PrintChar(uint8_t(st->ascii[k]));
        EndLine();
    }
    st->offset = 0;
    st->listing = false;
}

// ---- Full archive -------------------------------------------------------------

Status StartDumpArchive(uint16_t flags, DumpState* st) {
    StartDump(flags, st);
    return 0;
}

Status DumpArchiveHeader(DumpState* st, const ArchiveHeader* header) {
    PrintHeader(st, header);
    return 0;
}

Status StartDumpBootSectors(DumpState* st, uint32_t size) {
    st->pending = size;
    if (st->flags & kDumpBootSize) {
        Text("Boot sectors size         : ");
        Num(size);
        EndLine();
    }
    StartListingIf(st, (st->flags & kDumpBootData) == kDumpBootData, size);
    st->boot.clear();
    return 0;
}

namespace {

bool DescribesBoot(const DumpState* st) {
    return st->describer != nullptr && st->describer->DescribeBootArea != nullptr &&
           (st->flags & kDumpBootSize);
}

void BootLine(const char* text) {
    Line(text);
}

} // namespace

Status DumpBootSectorsChunk(DumpState* st, const uint8_t* data, uint32_t n) {
    if (n > st->pending) {
        Text("Warning: more boot data than expected\r\n");
        st->pending = 0;
    } else {
        st->pending -= n;
    }
    if (st->listing) DumpChunk(st, data, n);
    if (DescribesBoot(st) && st->boot.size() + n <= kDumpBootKeptMax)
        st->boot.insert(st->boot.end(), data, data + n);
    return 0;
}

Status EndDumpBootSectors(DumpState* st) {
    EndListing(st);
    if (DescribesBoot(st) && !st->boot.empty() && st->pending == 0)
        st->describer->DescribeBootArea(st->boot.data(), st->boot.size(), BootLine);
    st->boot.clear();
    st->boot.shrink_to_fit();
    if (st->pending > 0) Text("Warning: less boot data than expected\r\n");
    st->pending = 0;
    return 0;
}

Status StartDumpDirSummary(DumpState* st) {
    st->summaries = 0;
    if (st->flags & kDumpDirSummary) Line("*** Directories summary ***");
    return 0;
}

Status DumpDirSummaryEntry(DumpState* st, const uint8_t* entry) {
    if (st->flags & kDumpDirSummary) {
        RightNum(st->summaries, 5);
        Text(" : size =");
        BlockCounts(entry);
        Attributes(st, entry + DirSummary::kSize, st->header.summaryAttr);
        EndLine();
    }
    ++st->summaries;
    return 0;
}

Status EndDumpDirSummary(DumpState* st) {
    if (st->summaries != st->header.dirCount)
        Text("WARNING: Bad number of dir summary entries\r\n");
    return 0;
}

Status StartDumpFileSummary(DumpState* st) {
    st->summaries = 0;
    if (st->flags & kDumpFileSummary) Line("*** Files summary ***");
    return 0;
}

Status DumpFileSummaryEntry(DumpState* st, const uint8_t* entry) {
    if (st->flags & kDumpFileSummary) {
        RightNum(st->summaries, 5);
        Text(" : size = ");
        RightNum(
            FullSize(ld32(entry), entry + kFileSummarySize, st->header.summaryAttr, st->sizeHighAt),
            8);
        Attributes(st, entry + kFileSummarySize, st->header.summaryAttr);
        EndLine();
    }
    const uint32_t high =
        SizeHighIn(entry + kFileSummarySize, st->header.summaryAttr, st->sizeHighAt);
    if (high != 0) st->highSizes.emplace_back(st->summaries, high);
    ++st->summaries;
    return 0;
}

Status EndDumpFileSummary(DumpState* st) {
    if (st->summaries != st->header.fileCount)
        Text("WARNING: Bad number of files summary entries\r\n");
    return 0;
}

Status StartDumpDirectories(DumpState* st) {
    st->dirs = 0;
    st->pending = 0;
    st->depth = 0;
    st->path[0] = '\0';
    if (st->flags & kDumpDirectories) Line("*** Directories ***");
    return 0;
}

Status DumpDirectory(DumpState* st, const DirectoryRecord* record) {
    if (st->pending > 0) Text("WARNING: Less directory entries than expected\r\n");
    st->pending = record->subdirs + record->files;
    uint32_t number = st->dirs++;
    PopPath(st, record->pops);
    char component[16] = "/";
    ultoa(number, component + 1);
    PushPath(st, component);
    if (st->depth <= kDumpDepthMax) st->nextChild[st->depth] = number + 1;
    if (st->flags & kDumpDirectories) {
        Text(st->path);
        if (st->depth > kDumpDepthMax) Text("/...");
        Text(" (");
        Num(record->subdirs);
        Text(" subdirs, ");
        Num(record->files);
        Text(" files, ");
        Num(record->blocks[0]);
        Line(" 1K-blocks)");
    }
    return 0;
}

Status DumpDirEntryDir(DumpState* st, const uint8_t* entry) {
    if (st->pending == 0)
        Text("WARNING: More directory entries than expected\r\n");
    else
        --st->pending;
    uint32_t number = 0;
    if (st->depth <= kDumpDepthMax) {
        number = st->nextChild[st->depth];
        st->nextChild[st->depth] += ld32(entry);
    }
    if (st->flags & kDumpEntries) {
        PaddedName(EntryName(entry, SubdirEntry::kSize, st->header.dirAttr).text, 30);
        Text("<DIR ");
        RightNum(number, 3);
        Text(">");
        Attributes(st, entry + SubdirEntry::kSize, st->header.dirAttr);
        EndLine();
        Text("(");
        Num(ld32(entry));
        Text(" descendants, total size =");
        BlockCounts(entry + 4);
        Line(")");
    }
    return 0;
}

Status DumpDirEntryFile(DumpState* st, const uint8_t* entry) {
    if (st->pending == 0)
        Text("WARNING: More directory entries than expected\r\n");
    else
        --st->pending;
    const uint32_t number = st->entryFiles++;
    if (st->flags & kDumpEntries) {
        PaddedName(EntryName(entry, kFileEntrySize, st->header.dirAttr).text, 30);
        // The entry's u32 is the low half: the high half comes with its own
        // attributes or, without those, with the file's summary.
        uint64_t size =
            FullSize(ld32(entry), entry + kFileEntrySize, st->header.dirAttr, st->sizeHighAt);
        if (st->header.dirAttr == 0) {
            auto it = std::lower_bound(st->highSizes.begin(), st->highSizes.end(),
                                       std::pair<uint32_t, uint32_t>(number, 0));
            if (it != st->highSizes.end() && it->first == number)
                size |= uint64_t(it->second) << 32;
        }
        RightNum(size, 9);
        Attributes(st, entry + kFileEntrySize, st->header.dirAttr);
        EndLine();
    }
    return 0;
}

Status EndDumpDirectories(DumpState* st) {
    if (st->pending > 0) Text("WARNING: Less directory entries than expected\r\n");
    st->pending = 0;
    if (st->dirs != st->header.dirCount) Text("WARNING: Bad number of directories\r\n");
    return 0;
}

Status StartDumpFiles(DumpState* st) {
    st->files = 0;
    st->pending = 0;
    st->fileOpen = false;
    if (st->flags & kDumpFileHeaders) Line("*** Files ***");
    return 0;
}

Status DumpFileHeader(DumpState* st, uint64_t size) {
    CloseFile(st, "WARNING: Less file data than expected\r\n");
    uint32_t number = st->files++;
    st->pending = size;
    st->fileOpen = true;
    if (st->flags & kDumpFileHeaders) {
        Text("File #");
        Num(number);
        Text(" (");
        Num(size);
        Line(" bytes)");
    }
    StartListingIf(st, (st->flags & kDumpFileData) == kDumpFileData, size);
    return 0;
}

Status DumpFileContent(DumpState* st, const uint8_t* data, uint32_t n) {
    FileData(st, data, n);
    return 0;
}

Status EndDumpFiles(DumpState* st) {
    CloseFile(st, "Warning: less file data than expected\r\n");
    if (st->files != st->header.fileCount) Text("WARNING: Bad number of files\r\n");
    return 0;
}

Status EndDumpArchive(DumpState* st) {
    EndListing(st);
    EndDump(st);
    return 0;
}

void AbandonDump(DumpState* st) {
    EndListing(st);
    EndDump(st);
}

// ---- Incremental archive ------------------------------------------------------

Status StartDumpIArchive(uint16_t flags, DumpState* st) {
    StartDump(flags, st);
    return 0;
}

Status DumpIArchiveHeader(DumpState* st, const ArchiveHeader* header) {
    PrintHeader(st, header);
    return 0;
}

Status StartDumpIFiles(DumpState* st) {
    st->dirs = st->files = 0;
    st->pending = 0;
    st->fileOpen = false;
    st->depth = 0;
    st->path[0] = '\0';
    if (st->flags & (kDumpDirectories | kDumpFileHeaders))
        Line("*** Changed Files/Directories ***");
    return 0;
}

Status DumpIDirectory(DumpState* st, const IDirectoryRecord* record, const char* name) {
    CloseFile(st, "WARNING: Less file data than expected\r\n");
    uint32_t number = st->dirs++;
    PopPath(st, record->pops);
    char component[kEntryNameMax + 1];
    size_t length = strnlen(name, kEntryNameMax - 1);
    std::memcpy(component, name, length);
    component[length] = '/';
    component[length + 1] = '\0';
    PushPath(st, component);
    if (st->flags & kDumpDirectories) {
        Text("Dir #");
        Num(number);
        Text(" : ");
        Text(st->path);
        if (st->depth > kDumpDepthMax) Text("...");
        Text(" (");
        Num(record->subdirs);
        Text(" subdirs, ");
        Num(record->files);
        Line(" files)");
    }
    return 0;
}

Status DumpIDirEntryDir(DumpState* st, const uint8_t* entry) {
    if (st->flags & kDumpEntries) {
        PaddedName(EntryName(entry, SubdirEntry::kSize, st->header.dirAttr).text, 30);
        Text("<DIR>");
        Attributes(st, entry + SubdirEntry::kSize, st->header.dirAttr);
        EndLine();
    }
    return 0;
}

Status DumpIDirEntryFile(DumpState* st, const uint8_t* entry) {
    CloseFile(st, "WARNING: Less file data than expected\r\n");
    uint32_t number = st->files++;
    const uint64_t size =
        FullSize(ld32(entry), entry + kFileEntrySize, st->header.dirAttr, st->sizeHighAt);
    st->pending = size;
    st->fileOpen = true;
    if (st->flags & kDumpEntries) {
        Text("File #");
        Num(number);
        Text(" : ");
        PaddedName(EntryName(entry, kFileEntrySize, st->header.dirAttr).text, 30);
        Text("Size = ");
        Num(size);
        Attributes(st, entry + kFileEntrySize, st->header.dirAttr);
        EndLine();
    }
    StartListingIf(st, (st->flags & kDumpFileData) == kDumpFileData, size);
    return 0;
}

Status DumpIFileContent(DumpState* st, const uint8_t* data, uint32_t n) {
    FileData(st, data, n);
    return 0;
}

Status EndDumpIFiles(DumpState* st) {
    CloseFile(st, "Warning: less file data than expected\r\n");
    if (st->files != st->header.fileCount) Text("WARNING: Bad number of files\r\n");
    if (st->dirs != st->header.dirCount) Text("WARNING: Bad number of directories\r\n");
    return 0;
}

Status EndDumpIArchive(DumpState* st) {
    EndListing(st);
    EndDump(st);
    return 0;
}

} // namespace vk
