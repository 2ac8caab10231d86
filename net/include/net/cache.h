// The remote-file cache of the batch program: a remote file opened for
// reading with caching allowed is first copied into the cache partition of
// a local disk, or found there unchanged, and then read locally. The same
// module reads local files ahead into extended memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/files.h"

namespace vk {

// Registers the cache and the read-ahead with the file layer; remote files
// are fetched through `transport`. `endedByError`, when given, tells after
// a read of 0 whether the server broke the transfer off (an error packet):
// such a transfer is never kept as the file.
void StartRemoteCache(const RemoteFileOps* transport, bool (*endedByError)() = nullptr);

// The cache file name of a remote name: "{" CACHEDISK ":-1}" followed by the
// name with every '\', '/' and ':' turned into '%'. False (and "" stored)
// when it does not fit into `size` bytes or the cache's 255 characters.
bool CacheFileName(const char* remote, char* out, size_t size);

// Copies a remote file into the cache (or finds it there unchanged): 0 when
// the local copy is ready, 1 on a hard failure (also a copy whose closing
// update failed), -1 when the remote file is empty or missing or the server
// broke its transfer off, -2 on a network timeout, or the positive number of bytes
// that did not fit into the cache. cacheName (kPathMax bytes) receives the
// local name, size the local copy's size.
int CacheRemoteFile(const char* name, char* cacheName, uint32_t* size, int force);

// Fills extended memory from `file` (read directly, through `buffer`, a
// kChunkMax scratch); the number of bytes now held, 0 at the end.
uint32_t CacheDiskFile(FileRecord* file, uint8_t* buffer);

// Read-ahead state: the next page to hand out (-1 not in use, 0 refill
// before the next read) and the bytes still held.
extern int32_t ExtMemPage;
extern uint32_t ExtMemUsed;

} // namespace vk
