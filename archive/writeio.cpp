// Host file access for the archive writer.
#include "archive/writeio.h"

namespace vk {

namespace {

const WriteIOOps kHostOps = {
    CreateDosFile, OpenDosFile,  SeekDosFile,  TellDosFile,   SizeofDosFile,
    ReadDosFile,   WriteDosFile, CloseDosFile, DeleteDosFile,
};
const WriteIOOps* ops = &kHostOps;

constexpr uint32_t kPiece = 32768;

} // namespace

void SetWriteIOOps(const WriteIOOps* replacement) {
    ops = replacement ? replacement : &kHostOps;
}
const WriteIOOps& HostWriteIOOps() {
    return kHostOps;
}

Status WriteIORewriteFile(const char* name, WriteIOHandle* handle) {
    *handle = ops->create(name);
    return *handle ? 0 : 1;
}

Status WriteIOResetFile(const char* name, WriteIOHandle* handle) {
    *handle = ops->open(name, true);
    return *handle ? 0 : 1;
}

Status WriteIOSeekFile(WriteIOHandle handle, uint32_t offset) {
    return ops->seek(handle, offset) == 0 ? 0 : 1;
}

uint32_t WriteIOTellFile(WriteIOHandle handle) {
    return ops->tell(handle);
}

Status WriteIOSeekEOF(WriteIOHandle handle) {
    return WriteIOSeekFile(handle, ops->size(handle));
}

bool WriteIOEof(WriteIOHandle handle) {
    return ops->tell(handle) == ops->size(handle);
}

Status WriteIOReadFile(WriteIOHandle handle, void* buffer, uint32_t n) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (n > 0) {
        uint16_t piece = uint16_t(n < kPiece ? n : kPiece);
        if (ops->read(handle, p, piece) != piece) return 1;
        p += piece;
        n -= piece;
    }
    return 0;
}

Status WriteIOWriteFile(WriteIOHandle handle, const void* data, uint32_t n) {
    auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        uint16_t piece = uint16_t(n < kPiece ? n : kPiece);
        if (ops->write(handle, p, piece) != piece) return 1;
        p += piece;
        n -= piece;
    }
    return 0;
}

Status WriteIOCloseFile(WriteIOHandle handle) {
    return ops->close(handle) == 0 ? 0 : 1;
}

Status WriteIODeleteFile(const char* name) {
    return ops->remove(name) == 0 ? 0 : 1;
}

} // namespace vk
