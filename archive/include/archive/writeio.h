// Host file access of the archive writer and the single-file container: thin
// wrappers over the host files, each returning 0 on success. The host file
// functions are reached through a table so that tests can put a failing
// target (a full disk, a broken medium) behind the writer.
#pragma once

#include <cstdint>

#include "platform/hostfile.h"
#include "platform/types.h"

namespace vk {

using WriteIOHandle = DosFile;

struct WriteIOOps {
    DosFile (*create)(const char* path); // create or truncate, for update
    DosFile (*open)(const char* path, bool write);
    int (*seek)(DosFile file, uint32_t offset); // 0 on success
    uint32_t (*tell)(DosFile file);
    uint32_t (*size)(DosFile file);
    uint16_t (*read)(DosFile file, void* buffer, uint16_t length);
    uint16_t (*write)(DosFile file, const void* data, uint16_t length);
    int (*close)(DosFile file); // 0 on success
    int (*remove)(const char* path);
};
// Replaces the host file functions; null restores them.
void SetWriteIOOps(const WriteIOOps* ops);
const WriteIOOps& HostWriteIOOps();

Status WriteIORewriteFile(const char* name, WriteIOHandle* handle);
Status WriteIOResetFile(const char* name, WriteIOHandle* handle);
Status WriteIOSeekFile(WriteIOHandle handle, uint32_t offset);
uint32_t WriteIOTellFile(WriteIOHandle handle);
Status WriteIOSeekEOF(WriteIOHandle handle);
bool WriteIOEof(WriteIOHandle handle);
// Both fail unless all n bytes were transferred.
Status WriteIOReadFile(WriteIOHandle handle, void* buffer, uint32_t n);
Status WriteIOWriteFile(WriteIOHandle handle, const void* data, uint32_t n);
Status WriteIOCloseFile(WriteIOHandle handle);
Status WriteIODeleteFile(const char* name);

} // namespace vk
