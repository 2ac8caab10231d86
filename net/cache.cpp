// CacheRemoteFile: the copy of a remote file in the cache partition. A
// short first part of the remote file is compared with the cached copy; an
// unchanged copy is used as it is, otherwise the file is downloaded anew.
#include <cstdio>
#include <cstring>

#include "archive/format.h"
#include "cache_internal.h"
#include "disk/files.h"
#include "net/cache.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

namespace {

const RemoteFileOps* transport = nullptr;
// Tells whether the transport's last end of data was the server breaking
// the transfer off (an error packet) rather than the end of the file.
bool (*brokenOff)() = nullptr;

constexpr uint32_t kCompareBytes = 8192; // gathered before a comparison
constexpr uint32_t kWritePiece = 32768;  // written to the cache at a time
constexpr int kOpenAttempts = 5;
// Room for the unwritten remainder (below kWritePiece) and one delivery of
// the transport (at most kChunkMax).
constexpr uint32_t kTransferBytes = kWritePiece + kChunkMax;
constexpr uint32_t kNameMax = 255; // longest cache entry name
// A cache partition name as the file layer spells it ("{disk:-1}" and the
// entry name) stays within the 256 bytes it has always had, whatever the
// file layer's own path limit.
constexpr size_t kCacheNameSize = 256;

void LogQuoted(const char* before, const char* name, const char* after) {
    Log(before);
    Log(name);
    Log(after);
}

// One transfer of a remote file into the cache.
struct Transfer {
    const char* path = nullptr;
    uint8_t* gateway = nullptr;
    uint8_t* server = nullptr;
    uint16_t port = 0;
    uint8_t* buffer = nullptr;
    uint32_t gathered = 0; // bytes at the buffer start
    uint32_t packet = 0;   // size of a full delivery (the first one)
    bool complete = false; // a short delivery ended the file
    bool broken = false;   // the server broke the transfer off: not the whole file
    bool open = false;
    FragmentFileCheck check; // the bytes written to the cache, in order

    ~Transfer() {
        Close();
        if (buffer) Free(buffer);
    }
    bool Open() {
        open = transport->Open(path, gateway, server, port) == 0;
        if (!open) transport->Close();
        return open;
    }
    void Close() {
        if (open) transport->Close();
        open = false;
    }
    // The next delivery appended to the buffer: its length, or -1.
    int Read() {
        int n = transport->Read(buffer + gathered);
        if (n < 0) return -1;
        if (n > int(kChunkMax)) n = kChunkMax;
        if (packet == 0) packet = uint32_t(n);
        if (uint32_t(n) < packet || n == 0) complete = true;
        if (n == 0 && brokenOff && brokenOff()) broken = true;
        gathered += uint32_t(n);
        return n;
    }
};

// Compares the gathered start of the remote file with the cached copy.
bool CopyUnchanged(const Transfer& t, const char* cacheName, uint32_t* size) {
    FileRecord copy;
    if (OpenFILE(cacheName, &copy, 0) != 0) return false;
    *size = copy.size;
    static uint8_t chunk[kChunkMax];
    uint32_t compared = 0;
    bool same = true;
    while (same && compared < t.gathered) {
        uint16_t n = ReadFILE(&copy, chunk);
        if (n == 0) break;
        uint32_t use = n < t.gathered - compared ? n : t.gathered - compared;
        same = std::memcmp(chunk, t.buffer + compared, use) == 0;
        compared += use;
    }
    CloseFILE(&copy);
    if (!same || compared < t.gathered) return false;
    // A remote file read to its end must also have the copy's size; of a
    // longer one the first part decides.
    if (t.complete) return copy.size == t.gathered;
    return t.gathered >= kCompareBytes && copy.size >= t.gathered;
}

// Drops a partial copy after a failed download.
void DropCopy(FileRecord* out, const char* cacheName) {
    CloseFILE(out);
    DeleteFILE(cacheName);
}

void LogBrokenOff() {
    Log(" - Error: the server broke the transfer off\r\n");
}

// Writes whole pieces while more than `keep` bytes are gathered; false once
// a write took nothing.
bool WritePieces(Transfer& t, FileRecord* out, uint32_t keep, uint32_t* written, uint32_t total) {
    while (t.gathered > keep) {
        uint16_t piece = uint16_t(t.gathered < kWritePiece ? t.gathered : kWritePiece);
        uint16_t n = WriteFILE(out, t.buffer, piece);
        if (n == 0) return false;
        t.check.Add(t.buffer, n);
        std::memmove(t.buffer, t.buffer + n, t.gathered - n);
        t.gathered -= n;
        *written += n;
        if (total)
            CountUp(*written, total);
        else
            Log(".");
    }
    return true;
}

} // namespace

bool CacheFileName(const char* remote, char* out, size_t size) {
    int prefix = std::snprintf(out, size, "{%s:-1}", ReadSetting("CACHEDISK"));
    size_t length = std::strlen(remote);
    if (prefix < 0 || size_t(prefix) + length >= size || length > kNameMax) {
        if (size) out[0] = 0;
        return false;
    }
    char* p = out + prefix;
    for (size_t i = 0; i <= length; ++i) {
        char c = remote[i];
        p[i] = (c == '\\' || c == '/' || c == ':') ? '%' : c;
    }
    return true;
}

int CacheRemoteFile(const char* name, char* cacheName, uint32_t* size, int force) {
    *size = 0;
    if (!transport || !CacheFileName(name, cacheName, kCacheNameSize)) {
        Log("ERROR: [CacheRF] Remote name too long for the cache\r\n");
        return 1;
    }
    Transfer t;
    t.path = ParseRemoteFilename(name, &t.gateway, &t.server, &t.port);
    if (!t.path) return 1;
    t.buffer = static_cast<uint8_t*>(Malloc(ParagraphsFor(kTransferBytes)));
    for (int attemptsLeft = kOpenAttempts;;) {
        if (!t.Open()) {
            LogQuoted("ERROR: [CacheRF] Cannot open remote file \"", t.path, "\"\r\n");
            return 1;
        }
        if (force || !FILEExists(cacheName)) break;
        // Gather the first part of the remote file.
        t.gathered = t.packet = 0;
        t.complete = t.broken = false;
        bool failed = false;
        do {
            if (t.Read() < 0) {
                failed = true;
                break;
            }
        } while (!t.complete && t.gathered < kCompareBytes);
        if (failed) {
            t.Close();
            if (--attemptsLeft == 0) FatalError("ERROR: Cannot open remote file");
            Log("WARNING: Error reading remote file, retrying\r\n");
            continue;
        }
        if (t.gathered == 0) return 1;
        // Only part of the file came: it can neither confirm the copy nor
        // replace it.
        if (t.broken) {
            LogBrokenOff();
            return -1;
        }
        if (CopyUnchanged(t, cacheName, size)) {
            LogQuoted("Remote file \"", t.path, "\" found in the disk cache\r\n");
            return 0;
        }
        LogQuoted("Remote file \"", t.path, "\" has changed\r\n");
        break;
    }

    LogQuoted("Downloading \"", t.path, "\" to the disk cache");
    FileRecord out;
    if (CreateFILE(cacheName, &out, 0x7FFFFFFF) != 0 &&
        CreateFILE(cacheName, &out, 0x7FFFFFFF) != 0) {
        Log(" - Error, could not write in cache\r\n");
        return 1;
    }
    if (t.gathered == 0) {
        int n = t.Read();
        if (n < 0) {
            Log("WARNING: Timeout, check network status\r\n");
            DropCopy(&out, cacheName);
            return -2;
        }
        if (n == 0) {
            Log(" - Error: empty or missing file\r\n");
            DropCopy(&out, cacheName);
            return -1;
        }
    }
    // An archive fragment tells its length, for the progress count.
    uint32_t total = 0;
    if (t.gathered >= 16 && FragmentHeader::SizeFor(ld32(t.buffer)) != 0)
        total = ld32(t.buffer + 12);
    uint32_t written = 0, unwritten = 0;
    bool writable = true;
    // On a terminal a fragment's download also shows the progress line.
    ProgressScope progress(total, "Downloading");
    while (!t.complete) {
        MonitorESC();
        uint32_t before = written;
        if (writable) writable = WritePieces(t, &out, kWritePiece - 1, &written, total);
        progress.Advance(written - before);
        if (!writable) { // the rest of the file is only counted
            unwritten += t.gathered;
            t.gathered = 0;
        }
        if (t.Read() < 0) {
            DropCopy(&out, cacheName);
            Log("WARNING: Timeout reading remote file.\r\n");
            return -2;
        }
    }
    // A copy cut short must not stay: its first part would match the
    // remote file's at the next comparison and pass for the whole file.
    if (t.broken) {
        DropCopy(&out, cacheName);
        LogBrokenOff();
        return -1;
    }
    if (writable) WritePieces(t, &out, 0, &written, total);
    unwritten += t.gathered;
    if (unwritten) {
        DropCopy(&out, cacheName);
        Log("\r\nCache filesystem is not big enough to store one of your files.\r\n"
            "Reduce the size of the allocated partitions.\r\n");
        return unwritten > 0x7FFFFFFF ? 0x7FFFFFFF : int(unwritten);
    }
    // An archive fragment whose data disagree with its header's CRC is no
    // copy to restore from: it is dropped and fetched again, like a copy
    // whose transfer failed, so a damaged fragment never enters the cache.
    if (!t.check.Sound()) {
        DropCopy(&out, cacheName);
        Log("\r\nERROR: [CacheRF] Fragment data damaged (CRC error)\r\n");
        return -2;
    }
    // The closing update seals the entry; without it the copy is unusable.
    if (CloseFILE(&out) != 0) {
        DeleteFILE(cacheName);
        Log(" - Error, could not write in cache\r\n");
        return 1;
    }
    *size = written;
    Log("\r\n");
    return 0;
}

const RemoteCacheOps kCacheOps = {CacheRemoteFile, StartReadAhead, ReadAhead, StopReadAhead};

void StartRemoteCache(const RemoteFileOps* remote, bool (*endedByError)()) {
    transport = remote;
    brokenOff = endedByError;
    SetRemoteCache(remote ? &kCacheOps : nullptr);
}

} // namespace vk
