// File contents: the unnamed data stream of a file record, read and
// written through libntfs-3g (which keeps runs, compression and sparse
// ranges right).
#include <algorithm>
#include <cerrno>

#include "ntfs_internal.h"
#include "platform/util.h"

namespace vk {

namespace {

NtfsFile* AsFile(FsFileHandle* handle) {
    return reinterpret_cast<NtfsFile*>(handle);
}

void NoteIfFull() {
    if (errno == ENOSPC) NoteDiskFull();
}

// Opens the record's data stream and registers it with the volume; null
// after logging why.
NtfsFile* Open(FsState& part, uint32_t record, uint32_t stream = 0) {
    NtfsVolume* volume = NtfsVolumeOf(part);
    if (volume == nullptr || volume->vol == nullptr) return nullptr;
    if (record < FILE_first_user) {
        Log("NTFS ERROR: Bad file record !\r\n");
        return nullptr;
    }
    auto* f = new NtfsFile;
    f->record = record;
    f->stream = stream;
    if (!NtfsAttachFile(volume->vol, f)) {
        delete f;
        return nullptr;
    }
    volume->open.push_back(f);
    return f;
}

Status Close(FsState& part, NtfsFile* f) {
    Status result = NtfsDetachFile(f) ? 0 : 1;
    if (NtfsVolume* volume = NtfsVolumeOf(part)) std::erase(volume->open, f);
    delete f;
    return result;
}

Status Resize(NtfsFile* f, uint32_t size) {
    if (f->ni == nullptr) return 1;
    if (f->na == nullptr) {
        if (size == 0) return 0;
        Log("NTFS ERROR: The file has no data stream\r\n");
        return 1;
    }
    if (ntfs_attr_truncate(f->na, s64(size)) != 0) {
        NoteIfFull();
        LogNtfsError("Cannot size a file");
        return 1;
    }
    f->written = true;
    return 0;
}

} // namespace

bool NtfsAttachFile(ntfs_volume* vol, NtfsFile* f) {
    ntfs_inode* ni = ntfs_inode_open(vol, f->record);
    if (ni == nullptr) {
        LogNtfsError("Cannot open a file");
        return false;
    }
    // A directory has no data of its own, only named streams.
    if ((ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) && f->stream == 0) {
        ntfs_inode_close(ni);
        return false;
    }
    if (ni->flags & FILE_ATTR_ENCRYPTED) {
        Log("NTFS ERROR: File encrypted by Windows (EFS): its content cannot be read\r\n");
        ntfs_inode_close(ni);
        return false;
    }
    f->ni = ni;
    if (f->stream == 0) {
        f->na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        return true;
    }
    std::vector<NtfsStream> streams;
    NtfsListStreams(ni, streams);
    if (f->stream > streams.size()) {
        Log("NTFS ERROR: A named stream is gone\r\n");
        ntfs_inode_close(ni);
        f->ni = nullptr;
        return false;
    }
    std::u16string name = streams[f->stream - 1].name;
    for (char16_t& u : name)
        u = char16_t(cpu_to_le16(u));
    f->na = ntfs_attr_open(ni, AT_DATA, reinterpret_cast<ntfschar*>(name.data()), u32(name.size()));
    return true;
}

bool NtfsDetachFile(NtfsFile* f) {
    if (f->ni == nullptr) return true;
    if (f->na != nullptr) ntfs_attr_close(f->na);
    f->na = nullptr;
    if (f->written) ntfs_inode_update_times(f->ni, ntfs_time_update_flags(NTFS_UPDATE_MCTIME));
    f->written = false;
    const bool ok = ntfs_inode_close(f->ni) == 0;
    if (!ok) LogNtfsError("Cannot write a file record");
    f->ni = nullptr;
    return ok;
}

Status NtfsOpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    const uint32_t stream = entry->location2 == kNtfsPacked ? entry->location1 : 0;
    NtfsFile* f = Open(part, entry->start, stream);
    if (f == nullptr) return 1;
    const uint64_t bytes = f->na != nullptr ? uint64_t(f->na->data_size) : 0;
    *size = bytes;
    *file = reinterpret_cast<FsFileHandle*>(f);
    return 0;
}

Status NtfsRewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file) {
    if (NtfsWritable(part) == nullptr) return 1;
    // An entry listed or made with the volume's names may stand for a
    // named stream.
    const uint32_t stream = entry->location2 == kNtfsPacked ? entry->location1 : 0;
    NtfsFile* f = Open(part, entry->start, stream);
    if (f == nullptr) return 1;
    if (Resize(f, newSize) != 0) {
        Close(part, f);
        return 1;
    }
    entry->size = newSize;
    *file = reinterpret_cast<FsFileHandle*>(f);
    return 0;
}

uint16_t NtfsReadFileChunk(FsState&, FsFileHandle* file, uint8_t* buffer) {
    NtfsFile* f = AsFile(file);
    if (f->na == nullptr) return 0;
    const uint64_t size = uint64_t(f->na->data_size);
    if (f->position >= size) return 0;
    const s64 want = s64(std::min<uint64_t>(size - f->position, kChunkMax));
    const s64 got = ntfs_attr_pread(f->na, s64(f->position), want, buffer);
    if (got != want) {
        LogNtfsError("Cannot read a file");
        return 0;
    }
    f->position += uint64_t(got);
    return uint16_t(got);
}

uint16_t NtfsWriteFileChunk(FsState&, FsFileHandle* file, const uint8_t* buffer, uint16_t length) {
    NtfsFile* f = AsFile(file);
    if (f->na == nullptr || length == 0) return 0;
    length = std::min<uint16_t>(length, kChunkMax);
    const s64 put = ntfs_attr_pwrite(f->na, s64(f->position), length, buffer);
    if (put != s64(length)) {
        NoteIfFull();
        LogNtfsError("Cannot write a file");
        return 0;
    }
    f->written = true;
    f->position += length;
    return length;
}

Status NtfsCloseFile(FsState& part, FsFileHandle* file) {
    return Close(part, AsFile(file));
}

Status NtfsAdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize) {
    if (NtfsWritable(part) == nullptr) return 1;
    NtfsFile* f = AsFile(file);
    if (Resize(f, newSize) != 0) return 1;
    f->position = std::min<uint64_t>(f->position, newSize);
    entry->size = newSize;
    return 0;
}

} // namespace vk
