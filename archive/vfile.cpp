// The virtual file store.
#include "archive/vfile.h"

#include <cstring>
#include <new>

#include "disk/files.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

VMControl* vm = nullptr;

namespace {

// The supplementary-memory copies only serve pages below the shared count,
// which the store holds at 0 while it owns the pages: lend the count back
// for the duration of one copy.
struct OwnPages {
    uint16_t saved;
    OwnPages() : saved(nb_ext_pages) { nb_ext_pages = vm->pages; }
    ~OwnPages() { nb_ext_pages = saved; }
};

void ToPage(uint16_t page, const uint8_t* data, uint32_t bytes) {
    OwnPages own;
    CopyToExtMem(data, page, uint16_t((bytes + 1) / 2)); // whole words
}

void FromPage(uint16_t page, uint8_t* data, uint32_t bytes) {
    OwnPages own;
    CopyFromExtMem(data, page, uint16_t((bytes + 1) / 2));
}

VFileDescriptor* Slot(int16_t h) {
    if (vm == nullptr || h < 0 || h >= kVFiles || vm->files[h].access == 0) return nullptr;
    return &vm->files[h];
}

bool InMemory(const VFileDescriptor* f) {
    return f->tempIndex == 0;
}

// The page holding `offset` (a multiple of the page size) of a chain.
uint16_t VFilePage(uint16_t first, uint32_t offset) {
    if (offset % kVPageSize != 0)
        FatalError("Internal error : VMM Seek does not match a page boundary");
    uint16_t page = first;
    for (uint32_t k = offset / kVPageSize; k > 0; --k) {
        if (page == kVPageLast) break;
        page = vm->link[page];
    }
    if (page == kVPageLast || page >= vm->pages) FatalError("Internal error: VMM allocation error");
    return page;
}

// Writes a buffer's dirty bytes back to its owner's page or temporary file.
void SaveBuffer(VPageBuffer* b) {
    if (b->dirty == 0 || b->owner < 0) {
        b->dirty = 0;
        return;
    }
    VFileDescriptor* f = &vm->files[b->owner];
    if (InMemory(f)) {
        ToPage(VFilePage(f->first, b->start), b->data, b->dirty);
    } else {
        if (WriteDosFileAt(f->host, b->data, b->dirty, b->start) != b->dirty)
            FatalError("ERROR : VMM cannot write to temporary file");
        if (b->start + b->dirty > f->hostSize) f->hostSize = b->start + b->dirty;
    }
    b->dirty = 0;
}

// The buffer holding h's data around its position, loaded when none does:
// the least recently used buffer is written back and reused.
VPageBuffer* LoadBuffer(int16_t h) {
    VFileDescriptor* f = &vm->files[h];
    uint32_t start = f->position / kVPageSize * kVPageSize;
    VPageBuffer* victim = nullptr;
    for (VPageBuffer& b : vm->buffers) {
        if (b.owner == h && b.start == start) {
            b.used = ++vm->clock;
            return &b;
        }
        if (!victim || (victim->owner >= 0 && (b.owner < 0 || b.used < victim->used))) victim = &b;
    }
    SaveBuffer(victim);
    victim->owner = h;
    victim->start = start;
    victim->dirty = 0;
    victim->used = ++vm->clock;
    uint32_t want = f->size > start ? f->size - start : 0;
    if (want > kVPageSize) want = kVPageSize;
    if (want > 0) {
        if (InMemory(f)) {
            FromPage(VFilePage(f->first, start), victim->data, want);
        } else {
            // A file extended by a seek may be shorter on the host than its
            // size: the bytes beyond are undefined and need no reading.
            uint32_t have = f->hostSize > start ? f->hostSize - start : 0;
            if (have > want) have = want;
            if (have > 0 && ReadDosFileAt(f->host, victim->data, have, start) != have)
                FatalError("ERROR : VMM cannot read from temporary file");
            if (have < want) std::memset(victim->data + have, 0, want - have);
        }
    }
    return victim;
}

// The in-memory file with the largest size per access; -1 when none.
int16_t WorstVFile() {
    int16_t worst = -1;
    uint32_t worstRatio = 0;
    for (int16_t h = 0; h < kVFiles; ++h) {
        const VFileDescriptor* f = &vm->files[h];
        if (f->access == 0 || !InMemory(f)) continue;
        uint32_t ratio = f->size / f->access;
        if (worst < 0 || ratio >= worstRatio) {
            worst = h;
            worstRatio = ratio;
        }
    }
    return worst;
}

// Moves the worst file to a temporary host file; returns its handle.
int16_t SwapWorstVFile() {
    int16_t h = WorstVFile();
    if (h < 0) FatalError("Internal error : No VFile ?!?");
    VFileDescriptor* f = &vm->files[h];
    // Its buffers go into its pages first; they stay valid afterwards, as
    // copies of the same bytes of the temporary file.
    for (VPageBuffer& b : vm->buffers)
        if (b.owner == h) SaveBuffer(&b);
    char name[kTempNameMax];
    int index = GetTempName(f->name, 0, name);
    DosFile host = index > 0 ? CreateDosFile(name) : nullptr;
    if (host == nullptr) FatalError("ERROR : Cannot create temporary file for VMM");
    // Pages travel a whole buffer at a time through the buffer used
    // longest ago, which is written back and emptied for the purpose.
    VPageBuffer* carrier = &vm->buffers[0];
    for (VPageBuffer& b : vm->buffers)
        if (b.owner < 0 || (carrier->owner >= 0 && b.used < carrier->used)) carrier = &b;
    SaveBuffer(carrier);
    carrier->owner = -1;
    uint32_t copied = 0;
    for (uint16_t page = f->first; page != kVPageLast;) {
        uint32_t n = f->size - copied < kVPageSize ? f->size - copied : kVPageSize;
        if (n > 0) {
            FromPage(page, carrier->data, n);
            if (WriteDosFileAt(host, carrier->data, n, copied) != n)
                FatalError("ERROR : VMM cannot write to temporary file");
            copied += n;
        }
        uint16_t next = vm->link[page];
        vm->link[page] = kVPageFree;
        page = next;
    }
    if (copied != f->size) FatalError("Internal error: VMM allocation error");
    f->first = f->last = kVPageLast;
    f->pageCount = 0;
    f->tempIndex = uint16_t(index);
    f->hostSize = copied;
    f->host = host;
    return h;
}

// Appends a page to h's chain; h may be moved out instead.
void AllocPage(int16_t h) {
    for (;;) {
        for (uint16_t p = 0; p < vm->pages; ++p) {
            if (vm->link[p] != kVPageFree) continue;
            VFileDescriptor* f = &vm->files[h];
            vm->link[p] = kVPageLast;
            if (f->first == kVPageLast)
                f->first = p;
            else
                vm->link[f->last] = p;
            f->last = p;
            ++f->pageCount;
            return;
        }
        if (SwapWorstVFile() == h) return;
    }
}

} // namespace

void InitVMM() {
    if (vm) return;
    vm = new (Malloc(ParagraphsFor(sizeof(VMControl)))) VMControl;
    vm->sharedPages = nb_ext_pages;
    vm->pages = nb_ext_pages < kVMaxPages ? nb_ext_pages : kVMaxPages;
    if (vm->pages > 0) GetExtMem();
    nb_ext_pages = 0;
    for (auto& l : vm->link)
        l = kVPageFree;
}

void FreeVMM() {
    if (!vm) return;
    for (int16_t h = 0; h < kVFiles; ++h)
        if (vm->files[h].access) CloseVFile(h);
    nb_ext_pages = vm->sharedPages;
    vm->~VMControl();
    Free(vm);
    vm = nullptr;
}

int16_t RewriteVFile(const char* name) {
    if (vm) {
        for (int16_t h = 0; h < kVFiles; ++h) {
            VFileDescriptor* f = &vm->files[h];
            if (f->access != 0) continue;
            *f = VFileDescriptor{};
            std::strncpy(f->name, name, 4);
            f->access = 1;
            return h;
        }
    }
    Log("ERROR : Virtual files exhausted\r\n");
    return -1;
}

Status SeekVFile(int16_t h, uint32_t position) {
    VFileDescriptor* f = Slot(h);
    if (!f) return 1;
    // Pages cover the file up to the new position (its new bytes are
    // undefined); the size grows to the position, not to the page end.
    while (InMemory(f) && uint64_t(f->pageCount) * kVPageSize < position)
        AllocPage(h);
    if (position > f->size) f->size = position;
    f->position = position;
    return 0;
}

uint32_t TellVFile(int16_t h) {
    VFileDescriptor* f = Slot(h);
    return f ? f->position : 0;
}

Status SeekEofVFile(int16_t h) {
    VFileDescriptor* f = Slot(h);
    if (!f) return 1;
    f->position = f->size;
    return 0;
}

bool EofVFile(int16_t h) {
    VFileDescriptor* f = Slot(h);
    return !f || f->position == f->size;
}

Status WriteVFile(int16_t h, const void* data, uint32_t n) {
    VFileDescriptor* f = Slot(h);
    if (!f || n > kVPageSize || uint64_t(f->position) + n > 0xFFFFFFFFull) return 1;
    ++f->access;
    if (n == 0) return 0;
    if (InMemory(f) && uint64_t(f->pageCount) * kVPageSize < uint64_t(f->position) + n)
        AllocPage(h);
    auto* src = static_cast<const uint8_t*>(data);
    VPageBuffer* b = LoadBuffer(h);
    uint32_t offset = f->position - b->start;
    uint32_t first = kVPageSize - offset < n ? kVPageSize - offset : n;
    std::memcpy(b->data + offset, src, first);
    if (offset + first > b->dirty) b->dirty = uint16_t(offset + first);
    f->position += first;
    if (f->position > f->size) f->size = f->position;
    if (first < n) {
        b = LoadBuffer(h);
        if (f->position != b->start) FatalError("Internal error: VMM scrambled ?");
        uint32_t rest = n - first;
        std::memcpy(b->data, src + first, rest);
        if (rest > b->dirty) b->dirty = uint16_t(rest);
        f->position += rest;
        if (f->position > f->size) f->size = f->position;
    }
    return 0;
}

Status ReadVFile(int16_t h, void* dst, uint32_t n) {
    VFileDescriptor* f = Slot(h);
    if (!f || n > kVPageSize) return 1;
    ++f->access;
    if (n == 0) return 0;
    if (uint64_t(f->position) + n > f->size) return 1;
    auto* out = static_cast<uint8_t*>(dst);
    VPageBuffer* b = LoadBuffer(h);
    uint32_t offset = f->position - b->start;
    uint32_t first = kVPageSize - offset < n ? kVPageSize - offset : n;
    std::memcpy(out, b->data + offset, first);
    f->position += first;
    if (first < n) {
        b = LoadBuffer(h);
        if (f->position != b->start) FatalError("Internal error: VMM scrambled ?");
        std::memcpy(out + first, b->data, n - first);
        f->position += n - first;
    }
    return 0;
}

void ReleaseVFile(int16_t& h) {
    if (h >= 0) CloseVFile(h);
    h = -1;
}

Status CloseVFile(int16_t h) {
    VFileDescriptor* f = Slot(h);
    if (!f) return 1;
    if (InMemory(f)) {
        for (uint16_t page = f->first; page != kVPageLast;) {
            uint16_t next = vm->link[page];
            vm->link[page] = kVPageFree;
            page = next;
        }
    } else {
        CloseDosFile(f->host);
        char name[kTempNameMax];
        if (GetTempName(f->name, f->tempIndex, name) > 0) DeleteDosFile(name);
    }
    for (VPageBuffer& b : vm->buffers) {
        if (b.owner != h) continue;
        b.owner = -1;
        b.dirty = 0;
    }
    *f = VFileDescriptor{};
    return 0;
}

// Bit lists -------------------------------------------------------------------

Status InitBitBuff(BitList* list, int16_t vfile) {
    list->vfile = vfile;
    std::memset(list->block, 0, sizeof list->block);
    list->count = 0;
    return SeekVFile(vfile, 0) ? 1 : 0;
}

Status WriteBitBuff(BitList* list, bool bit) {
    if (list->count == 512) {
        if (WriteVFile(list->vfile, list->block, sizeof list->block)) return 1;
        std::memset(list->block, 0, sizeof list->block);
        list->count = 0;
    }
    if (bit) list->block[list->count / 8] |= uint8_t(1u << (list->count % 8));
    ++list->count;
    return 0;
}

Status FlushBitBuff(BitList* list) {
    Status s = WriteVFile(list->vfile, list->block, sizeof list->block) ? 1 : 0;
    std::memset(list->block, 0, sizeof list->block);
    return s;
}

Status ReadBitBuff(BitList* list, bool* bit) {
    if (list->count == 0 && ReadVFile(list->vfile, list->block, sizeof list->block)) return 1;
    *bit = (list->block[list->count / 8] >> (list->count % 8)) & 1;
    if (++list->count == 512) list->count = 0;
    return 0;
}

} // namespace vk
