// The tree scan: walks a file tree through its driver, sorts every
// directory with an external merge sort in the virtual file "SWAP", and
// records the tree in "NEWD" (per directory: u32 subdirectories, u32 files,
// u16 pop count, then its sorted entries), "NEWF" (per file: u32 size, where
// its listed entry lies in "NEWS", u16 length and its full path) and "NEWS"
// (per directory, its entries as the listing gave them, so that
// subdirectories are entered and files opened again without a search).
// Paths are stored with their length only, so that the temporary files grow
// with the paths the tree has, not with the longest one it could have.
#include "archive/scan.h"

#include <strings.h>

#include <cstring>
#include <memory>
#include <vector>

#include "archive/format.h"
#include "archive/vfile.h"
#include "disk/files.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint32_t kDirKey = 0xFFFFFFFF;
constexpr uint32_t kNewdHead = 10; // u32 subdirs, u32 files, u16 pops
// A file in "NEWF": u32 size, u32 where its entry lies in "NEWS", u16 path
// length, then the path without its NUL.
constexpr uint32_t kNewfHead = 4 + 4 + 2;
// Sort entries carry where the entry's listing lies in "NEWS" behind the
// archive's entry bytes.
constexpr uint16_t kSortTag = 4;
// An entry in "NEWS": u16 path length, u16 name offset, kind, attributes,
// size, start and the three locations, then the path without its NUL.
constexpr uint32_t kNewsHead = 2 + 2 + 1 + kAttrMax + 5 * 4;

// Writes e's listing to "NEWS" at its end; *at receives where it lies.
Status StoreEntry(int16_t news, const FsEntry& e, uint32_t* at) {
    uint8_t head[kNewsHead];
    size_t length = strnlen(e.path, kPathMax - 1);
    size_t offset = e.name ? size_t(e.name - e.path) : 0;
    st16(head, uint16_t(length));
    st16(head + 2, uint16_t(offset <= length ? offset : 0));
    head[4] = e.kind;
    std::memcpy(head + 5, e.attributes, kAttrMax);
    uint32_t pos = 5 + kAttrMax;
    for (uint32_t v : {e.size, e.start, e.location1, e.location2, e.location3}) {
        st32(head + pos, v);
        pos += 4;
    }
    *at = TellVFile(news);
    return WriteVFile(news, head, kNewsHead) || WriteVFile(news, e.path, uint32_t(length));
}

// Reads the listing that lies at `at` in "NEWS" back into e.
Status LoadEntry(int16_t news, uint32_t at, FsEntry* e) {
    uint8_t head[kNewsHead];
    if (SeekVFile(news, at) || ReadVFile(news, head, kNewsHead)) return 1;
    uint16_t length = ld16(head), offset = ld16(head + 2);
    if (length >= kPathMax || offset > length) return 1;
    if (ReadVFile(news, e->path, length)) return 1;
    e->path[length] = '\0';
    e->name = e->path + offset;
    e->kind = head[4];
    std::memcpy(e->attributes, head + 5, kAttrMax);
    uint32_t pos = 5 + kAttrMax;
    uint32_t* fields[] = {&e->size, &e->start, &e->location1, &e->location2, &e->location3};
    for (uint32_t* f : fields) {
        *f = ld32(head + pos);
        pos += 4;
    }
    return 0;
}

const char* const SpecialFiles[] = {"IO.DOS", "IO.SYS", "MSDOS.SYS", "IBMBIO.SYS", "IBMDOS.SYS"};

bool TraceOn() {
    return SettingIsOn("trace");
}

// Entry layout inside the sort: key, attributes, 128-byte name.
const char* EntName(const SortState* s, const uint8_t* entry) {
    return reinterpret_cast<const char*>(entry + 4 + s->attrLen);
}

bool EntSmaller(const SortState* s, const uint8_t* x, const uint8_t* y) {
    bool xDir = ld32(x) == kDirKey, yDir = ld32(y) == kDirKey;
    if (xDir != yDir) return xDir;
    return NameIsSmaller(EntName(s, x), EntName(s, y));
}

uint8_t* PageIndex(SortState* s) {
    return s->page;
}
uint8_t* PageEntry(SortState* s, uint32_t slot) {
    return s->page + s->entPerPage + slot * s->entSize;
}

Status SavePage(SortState* s) {
    if (SeekVFile(s->swapFile, uint32_t(s->currPage) * kSortPageBytes)) return 1;
    return WriteVFile(s->swapFile, s->page, s->pageSize);
}

Status GetPage(SortState* s, uint16_t k) {
    if (k == s->currPage) return 0;
    if (SeekVFile(s->swapFile, uint32_t(k) * kSortPageBytes)) return 1;
    if (ReadVFile(s->swapFile, s->page, s->pageSize)) return 1;
    s->currPage = k;
    return 0;
}

} // namespace

bool NameIsSmaller(const char* a, const char* b) {
    for (const char* special : SpecialFiles) {
        if (std::strcmp(a, special) == 0) return true;
        if (std::strcmp(b, special) == 0) return false;
    }
    int c = strcasecmp(a, b);
    if (c != 0) return c < 0;
    return std::strcmp(a, b) < 0;
}

// Sorting --------------------------------------------------------------------

Status InitSort(SortState* s, uint16_t attrLen, uint16_t extra) {
    s->nEntries = 0;
    s->attrLen = attrLen;
    s->entSize = uint16_t(attrLen + 4 + kEntryNameMax + extra);
    uint32_t perPage = kSortPageBytes / (uint32_t(s->entSize) + 1);
    s->entPerPage = uint16_t(perPage > 256 ? 256 : perPage);
    s->pageSize = uint16_t((uint32_t(s->entSize) + 1) * s->entPerPage);
    s->currPage = 0;
    s->page = static_cast<uint8_t*>(Malloc(ParagraphsFor(s->pageSize)));
    s->swapFile = RewriteVFile("SWAP");
    if (s->swapFile < 0) {
        AbandonSort(s);
        return 1;
    }
    return 0;
}

Status SortEntry(SortState* s, const uint8_t* entry) {
    uint32_t pageNo = s->nEntries / s->entPerPage;
    uint32_t slot = s->nEntries % s->entPerPage;
    if (pageNo > 0xFFFF) return 1; // beyond what page numbers reach
    if (pageNo != s->currPage) {
        if (SavePage(s)) return 1;
        s->currPage = uint16_t(pageNo); // a fresh page: nothing to load
    }
    std::memcpy(PageEntry(s, slot), entry, s->entSize);
    uint8_t* index = PageIndex(s);
    uint32_t pos = slot;
    while (pos > 0 && !EntSmaller(s, PageEntry(s, index[pos - 1]), entry)) {
        index[pos] = index[pos - 1];
        --pos;
    }
    index[pos] = uint8_t(slot);
    ++s->nEntries;
    return 0;
}

Status FlushSort(SortState* s, SortSink sink, void* user) {
    if (TraceOn()) Log("\r\nSorting...");
    Status result = 0;
    uint32_t pages = (s->nEntries + s->entPerPage - 1) / s->entPerPage;
    if (pages > 0) {
        uint32_t lastCount = s->nEntries % s->entPerPage;
        if (lastCount == 0) lastCount = s->entPerPage;
        // The merge: pages ordered by their head entry, a cursor and a copy
        // of the head entry per page.
        std::vector<uint16_t> list;
        std::vector<uint16_t> cursor(pages, 0);
        std::vector<uint8_t> heads(size_t(pages) * s->entSize);
        list.reserve(pages);
        auto countOf = [&](uint32_t p) { return p + 1 == pages ? lastCount : s->entPerPage; };
        auto loadNextHit = [&](uint16_t p) -> Status {
            if (GetPage(s, p)) return 1;
            uint8_t* head = heads.data() + size_t(p) * s->entSize;
            std::memcpy(head, PageEntry(s, PageIndex(s)[cursor[p]]), s->entSize);
            size_t at = 0;
            while (at < list.size() &&
                   EntSmaller(s, heads.data() + size_t(list[at]) * s->entSize, head))
                ++at;
            list.insert(list.begin() + ptrdiff_t(at), p);
            return 0;
        };
        if (s->currPage != 0 && SavePage(s)) result = 1;
        for (uint32_t p = 0; result == 0 && p < pages; ++p)
            result = loadNextHit(uint16_t(p));
        while (result == 0 && !list.empty()) {
            uint16_t p = list.front();
            list.erase(list.begin());
            ++cursor[p];
            result = sink(user, heads.data() + size_t(p) * s->entSize);
            if (result == 0 && cursor[p] < countOf(p)) result = loadNextHit(p);
        }
    }
    AbandonSort(s);
    return result;
}

void AbandonSort(SortState* s) {
    ReleaseVFile(s->swapFile);
    if (s->page) Free(s->page);
    s->page = nullptr;
}

// Walking --------------------------------------------------------------------

namespace {

struct Walk {
    ScanState* s;
    char path[kScanPathMax]; // the directory being listed, without a final "/"
    uint32_t pathLen;
    std::vector<uint32_t>* order; // where its subdirectories' listings lie in "NEWS", sorted
};

// Bytes of one entry in "NEWD": the archive's entry shape, without the tag.
uint32_t EntryBytes(const ScanState* s) {
    return uint32_t(s->attrSize) + 4 + kEntryNameMax;
}

void Warn(const char* text, const char* name) {
    Log(text);
    Log(name);
    Log("\r\n");
}

// Writes one sorted entry to "NEWD", and notes where a directory's listing
// lies (to enter it later) or writes a file's size and full path to "NEWF".
Status EmitEntry(void* user, const uint8_t* entry) {
    Walk* w = static_cast<Walk*>(user);
    ScanState* s = w->s;
    if (WriteVFile(s->newd, entry, EntryBytes(s))) return 1;
    const char* name = EntName(&s->sort, entry);
    // The walk only admits names whose full path fits.
    char full[kScanPathMax] = {};
    size_t nameLen = strnlen(name, kEntryNameMax - 1);
    if (w->pathLen + 1 + nameLen >= kScanPathMax) return 1;
    std::memcpy(full, w->path, w->pathLen);
    full[w->pathLen] = '/';
    std::memcpy(full + w->pathLen + 1, name, nameLen);
    if (ld32(entry) == kDirKey) {
        w->order->push_back(ld32(entry + EntryBytes(s)));
        if (TraceOn()) {
            Log("\r\nDIR  : ");
            Log(full);
        }
    } else {
        const size_t length = w->pathLen + 1 + nameLen;
        uint8_t head[kNewfHead];
        st32(head, ld32(entry));
        st32(head + 4, ld32(entry + EntryBytes(s)));
        st16(head + 8, uint16_t(length));
        if (WriteVFile(s->newf, head, kNewfHead) || WriteVFile(s->newf, full, uint32_t(length)))
            return 1;
        if (TraceOn()) {
            Log("\r\nFILE : ");
            Log(full);
        }
    }
    return 0;
}

// Lists dir (whose path is in w), records it and recurses into its
// subdirectories. Returns the pop count for the next sibling in *next, or
// non-zero when the scan cannot go on.
Status Recurse(Walk* w, FsDirRef* dir, uint16_t pops, uint32_t depth, uint16_t* next) {
    ScanState* s = w->s;
    const FsHandler* h = s->handler;
    bool trace = TraceOn();
    const char* shown = "";
    if (!dir->root && dir->entry.name) shown = dir->entry.name;
    int progress = 0;
    if (!trace) {
        LogScope scope;
        PrintString(shown);
        progress = int(std::strlen(shown));
        if (progress == 0 || shown[progress - 1] != '/') {
            PrintString("/");
            ++progress;
        }
    }

    ++s->dirs;
    if (SeekEofVFile(s->news)) return 1;
    if (InitSort(&s->sort, s->attrSize, kSortTag)) {
        s->failure = "Cannot rewrite VFile";
        return 1;
    }
    uint32_t subdirs = 0, files = 0;
    {
        FsState& part = *dir->state;
        FsDirHandle* handle = nullptr;
        if (h->OpenDir(part, dir->get(), &handle) != 0)
            FatalError("ERROR: Cannot open directory\r\n");
        std::vector<uint8_t> entry(s->sort.entSize);
        FsEntry e{};
        Status failed = 0;
        bool tooLarge = false;
        while (failed == 0 && h->NextDirEntry(part, handle, &e) == 0) {
            if (trace) {
                Log("\r\n");
                Log(e.path);
            }
            const Status info = h->GetFileInfo ? h->GetFileInfo(part, &e) : 0;
            // A file whose size 32 bits cannot carry would be archived cut:
            // the archive is not made.
            if (info == kFsTooLarge) {
                tooLarge = true;
                failed = 1;
                break;
            }
            if (info != 0) continue;
            if (trace) Log(" -- OK");
            if (e.kind != kKindFile && e.kind != kKindDir) continue;
            const char* name = e.name ? e.name : "";
            size_t nameLen = strnlen(name, kPathMax);
            // A name the archive cannot hold whole, or a path that would not
            // fit, is left out rather than cut into another name.
            if (nameLen == 0 || nameLen >= kEntryNameMax) {
                Warn("WARNING: Name too long, skipped: ", name);
                continue;
            }
            // A driver fills its entry's path up to the last byte only when
            // it may have cut it.
            if (w->pathLen + 1 + nameLen >= kScanPathMax ||
                strnlen(e.path, kPathMax) >= size_t(kPathMax) - 1) {
                Warn("WARNING: Path too long, skipped: ", name);
                continue;
            }
            // The entry as listed, to enter or open it again later; the
            // sort carries where it lies.
            uint32_t listedAt = 0;
            if (StoreEntry(s->news, e, &listedAt)) {
                failed = 1;
                break;
            }
            std::memset(entry.data(), 0, entry.size());
            st32(entry.data() + EntryBytes(s), listedAt);
            if (e.kind == kKindDir) {
                st32(entry.data(), kDirKey);
                ++subdirs;
            } else {
                st32(entry.data(), e.size);
                ++files;
            }
            std::memcpy(entry.data() + 4, e.attributes, s->attrSize);
            std::memcpy(entry.data() + 4 + s->attrSize, name, nameLen);
            failed = SortEntry(&s->sort, entry.data());
        }
        if (h->CloseDir(part, handle) != 0) FatalError("\r\nERROR: Cannot close directory\r\n");
        if (failed) {
            AbandonSort(&s->sort);
            if (tooLarge)
                Warn("ERROR : File of 4 GB or more, not archived: ", e.name ? e.name : "");
            s->failure = tooLarge ? "File of 4 GB or more: it does not fit the archive format\r\n"
                                  : "Cannot write temp file\r\n";
            return 1;
        }
    }
    s->files += files;
    if (subdirs > 0 && depth >= kScanDepthMax) {
        AbandonSort(&s->sort);
        Log("ERROR : Directory tree too deep\r\n");
        s->failure = "Cannot open source\r\n";
        return 1;
    }

    uint8_t head[kNewdHead];
    st32(head, subdirs);
    st32(head + 4, files);
    st16(head + 8, pops);
    std::vector<uint32_t> order;
    order.reserve(subdirs);
    std::vector<uint32_t>* outer = w->order;
    w->order = &order;
    Status flushed = WriteVFile(s->newd, head, kNewdHead) || FlushSort(&s->sort, EmitEntry, w);
    w->order = outer;
    if (flushed) {
        s->failure = "Cannot write temp file\r\n";
        return 1;
    }

    uint16_t childPops = 0;
    if (order.size() != subdirs) FatalError("\r\nERROR: scrambled directory file\r\n");
    // Each level keeps its subdirectory's entry on the heap: the depth of
    // the walk does not multiply path-sized frames on the stack.
    auto child = std::make_unique<FsDirRef>();
    for (uint32_t listedAt : order) {
        *child = FsDirRef{};
        child->state = dir->state;
        child->root = false;
        if (LoadEntry(s->news, listedAt, &child->entry))
            FatalError("\r\nERROR: scrambled directory file\r\n");
        const char* name = child->entry.name;
        if (child->entry.kind != kKindDir || strnlen(name, kEntryNameMax) >= kEntryNameMax ||
            w->pathLen + 1 + std::strlen(name) >= kScanPathMax)
            FatalError("\r\nERROR: scrambled directory file\r\n");
        uint32_t saved = w->pathLen;
        size_t nameLen = std::strlen(name);
        w->path[w->pathLen++] = '/';
        std::memcpy(w->path + w->pathLen, name, nameLen + 1);
        w->pathLen += uint32_t(nameLen);
        Status failed = Recurse(w, child.get(), childPops, depth + 1, &childPops);
        w->pathLen = saved;
        w->path[saved] = '\0';
        if (failed) return 1;
    }

    if (!trace) {
        LogScope scope;
        ClearBack(progress);
    }
    MonitorESC();
    *next = uint16_t(childPops + 1);
    return 0;
}

} // namespace

Status NewArchive(const char* path, ScanState* s) {
    s->failure = "Cannot open source\r\n";
    size_t length = strnlen(path, kScanPathMax);
    if (length == 0 || length + 2 > kScanPathMax) return 1;
    char withSlash[kScanPathMax + 1];
    std::memcpy(withSlash, path, length + 1);
    if (withSlash[length - 1] != '/') std::strcat(withSlash, "/");
    char last[kEntryNameMax];
    if (GetDirRef(withSlash, &s->root, last, sizeof last) != 0 || last[0] != '\0') return 1;
    if (!s->root.state || !s->root.state->handler) return 1;
    if (!s->root.root && s->root.entry.kind != kKindDir) return 1; // a file, not a tree
    s->handler = s->root.state->handler;
    if (!s->handler->OpenDir || !s->handler->NextDirEntry || !s->handler->CloseDir) return 1;
    // Archives carry names as the volume stores them.
    s->root.state->volumeNames = true;
    std::memcpy(s->fsId, s->handler->id, 4);
    s->attrSize = s->handler->attrSize > kAttrMax ? kAttrMax : s->handler->attrSize;
    s->wholeFs = s->root.root;
    std::memcpy(s->path, path, length + 1);
    if (length > 0 && s->path[length - 1] == '/') s->path[length - 1] = '\0';

    s->dirs = s->files = 0;
    s->newd = RewriteVFile("NEWD");
    s->newf = RewriteVFile("NEWF");
    s->news = RewriteVFile("NEWS");
    if (s->newd < 0 || s->newf < 0 || s->news < 0) {
        FinishArchive(s);
        s->failure = "Cannot rewrite VFile";
        return 1;
    }
    Walk walk{s, {}, 0, nullptr};
    std::memcpy(walk.path, s->path, std::strlen(s->path) + 1);
    walk.pathLen = uint32_t(std::strlen(walk.path));
    Status result;
    uint16_t next = 0;
    {
        LogScope scope;
        PrintString("Analyzing directory structure...\r\n");
        result = Recurse(&walk, &s->root, 0, 0, &next);
        if (result == 0) PrintString("Done.\r\n");
    }
    if (result) {
        FinishArchive(s);
        return 1;
    }
    s->buffer = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)));
    s->failure = nullptr;
    return 0;
}

// Producing ------------------------------------------------------------------

Status GetFsInfos(ScanState* s, char id[4], uint16_t* attrSize) {
    std::memcpy(id, s->fsId, 4);
    *attrSize = s->attrSize;
    return 0;
}

namespace {

uint16_t BootSectorCount(ScanState* s) {
    // The boot area belongs to the whole file system: a scan of a
    // subdirectory has none.
    if (!s->wholeFs || !s->handler->GetNumBootSectors || !s->handler->ReadBootSectors) return 0;
    FsState& part = *s->root.state;
    return s->handler->GetNumBootSectors(part, s->root.get());
}

} // namespace

Status NewBootSectors(ScanState* s, uint32_t* size) {
    s->pending = uint32_t(BootSectorCount(s)) * 512;
    s->bootRead = 0;
    *size = s->pending;
    return 0;
}

Status GetBootSectorsChunk(ScanState* s, const uint8_t** ptr, uint32_t* len) {
    if (s->pending == 0) return 1;
    uint32_t n = s->pending < kChunkData ? s->pending : kChunkData;
    {
        FsState& part = *s->root.state;
        if (s->handler->ReadBootSectors(part, s->root.get(), uint16_t(s->bootRead / 512),
                                        uint16_t(n / 512), s->buffer) != 0)
            return 1;
    }
    s->bootRead += n;
    s->pending -= n;
    if (s->pending == 0 && s->bootRead / 512 != BootSectorCount(s)) return 1;
    *ptr = s->buffer;
    *len = n;
    return 0;
}

uint32_t FinishBootSectors(ScanState* s) {
    uint32_t left = s->pending;
    s->pending = 0;
    return left;
}

Status NewDirectories(ScanState* s) {
    s->pending = 0;
    return SeekVFile(s->newd, 0);
}

Status GetRootDirEntry(ScanState* s, const uint8_t** ptr) {
    std::memset(s->buffer, 0, SubdirEntry::kSize + s->attrSize + 1);
    if (s->root.root) {
        FsEntry e{};
        e.name = e.path;
        e.kind = kKindDir;
        FsState& part = *s->root.state;
        if (s->handler->GetFileInfo && s->handler->GetFileInfo(part, &e) != 0) return 1;
        std::memcpy(s->buffer + SubdirEntry::kSize, e.attributes, s->attrSize);
    } else {
        // The scanned directory's own attributes.
        std::memcpy(s->buffer + SubdirEntry::kSize, s->root.entry.attributes, s->attrSize);
    }
    *ptr = s->buffer;
    return 0;
}

Status GetDirectory(ScanState* s, uint16_t* pops, uint32_t* subdirs, uint32_t* files) {
    if (s->pending != 0) return 1;
    uint8_t head[kNewdHead];
    if (ReadVFile(s->newd, head, kNewdHead)) return 1;
    *subdirs = ld32(head);
    *files = ld32(head + 4);
    *pops = ld16(head + 8);
    if (uint64_t(*subdirs) + *files > 0xFFFFFFFFull) return 1;
    s->pending = *subdirs + *files;
    return 0;
}

Status GetDirEntryDir(ScanState* s, const uint8_t** ptr) {
    if (s->pending == 0) return 1;
    if (ReadVFile(s->newd, s->buffer + 12, EntryBytes(s))) return 1;
    std::memset(s->buffer, 0, SubdirEntry::kSize);
    --s->pending;
    *ptr = s->buffer;
    return 0;
}

Status GetDirEntryFile(ScanState* s, const uint8_t** ptr) {
    if (s->pending == 0) return 1;
    if (ReadVFile(s->newd, s->buffer, EntryBytes(s))) return 1;
    --s->pending;
    *ptr = s->buffer;
    return 0;
}

Status FinishDirectories(ScanState* s) {
    bool complete = EofVFile(s->newd) && s->pending == 0;
    ReleaseVFile(s->newd);
    return complete ? 0 : 1;
}

Status NewFiles(ScanState* s) {
    s->fileOpen = false;
    s->pending = 0;
    return SeekVFile(s->newf, 0);
}

namespace {

void CloseScanFile(ScanState* s) {
    if (s->fileOpen) ReadIOStopFileBuffer(&s->io);
    s->fileOpen = false;
}

Status ReadFileItem(ScanState* s, uint32_t* size) {
    CloseScanFile(s);
    uint8_t head[kNewfHead];
    if (ReadVFile(s->newf, head, kNewfHead)) return 1;
    *size = ld32(head);
    s->entryAt = ld32(head + 4);
    uint16_t length = ld16(head + 8);
    if (length >= kScanPathMax || ReadVFile(s->newf, s->current_filename, length)) return 1;
    s->current_filename[length] = '\0';
    return 0;
}

// Opens the current file from the entry its listing gave.
Status OpenScanFile(ScanState* s) {
    FsEntry entry{};
    if (LoadEntry(s->news, s->entryAt, &entry)) return 1;
    uint32_t actual;
    return ReadIOOpenEntryBuffer(s->root.state, entry, &s->io, &actual);
}

void ReportUnreadable(ScanState* s) {
    if (s->readError) return;
    s->readError = true;
    ++s->unreadable;
    Log("\r\nSEVERE WARNING : Cannot read file ");
    Log(s->current_filename);
    Log("\r\n");
}

} // namespace

Status GetFileHeader(ScanState* s, uint32_t* size) {
    if (ReadFileItem(s, size)) return 1;
    if (SettingIsOn("Trace")) {
        Log("TRACE : Reading ");
        Log(s->current_filename);
        Log("\r\n");
    }
    s->pending = *size;
    s->readError = false;
    s->preloaded = false;
    if (*size == 0) return 0;
    if (OpenScanFile(s) != 0) {
        ReportUnreadable(s);
        return 0;
    }
    s->fileOpen = true;
    // A file that fits one piece is read at once and closed again: a
    // driver may keep one such file per process (the host driver's long
    // symbolic links), and a path destination creates its copy meanwhile.
    if (*size <= kChunkData) {
        const uint8_t* data = nullptr;
        if (ReadIOReadFileBuffer(&s->io, &data, *size) != 0) {
            ReportUnreadable(s);
        } else {
            std::memcpy(s->buffer, data, *size);
            s->preloaded = true;
        }
        CloseScanFile(s);
    }
    return 0;
}

Status GetFileContent(ScanState* s, const uint8_t** ptr, uint32_t* len) {
    if (s->pending == 0) return 1;
    uint32_t n = s->pending < kChunkData ? s->pending : kChunkData;
    const uint8_t* data = nullptr;
    if (s->preloaded) {
        s->preloaded = false;
        s->pending -= n;
        *ptr = s->buffer;
        *len = n;
        return 0;
    }
    if (!s->readError && ReadIOReadFileBuffer(&s->io, &data, n) != 0) ReportUnreadable(s);
    if (s->readError)
        std::memset(s->buffer, 0, n); // what could not be read is zeros
    else
        std::memcpy(s->buffer, data, n);
    s->pending -= n;
    if (s->pending == 0) CloseScanFile(s);
    *ptr = s->buffer;
    *len = n;
    return 0;
}

Status DismissFile(ScanState* s, uint32_t* size) {
    s->pending = 0;
    s->preloaded = false;
    return ReadFileItem(s, size);
}

Status FinishFiles(ScanState* s) {
    CloseScanFile(s);
    bool complete = EofVFile(s->newf);
    ReleaseVFile(s->newf);
    ReleaseVFile(s->news);
    return complete ? 0 : 1;
}

Status FinishArchive(ScanState* s) {
    CloseScanFile(s);
    if (s->root.state) s->root.state->volumeNames = false;
    ReadIOCloseFileBuffer(&s->io);
    AbandonSort(&s->sort);
    ReleaseVFile(s->newd);
    ReleaseVFile(s->newf);
    ReleaseVFile(s->news);
    if (s->buffer) Free(s->buffer);
    s->buffer = nullptr;
    return 0;
}

} // namespace vk
