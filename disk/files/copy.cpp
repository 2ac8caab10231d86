// Whole-file copy, append and patch through the file layer.
#include <cstring>
#include <string>

#include "disk/files.h"
#include "files_internal.h"
#include "platform/console.h"
#include "platform/hostfile.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

using namespace files;

namespace {

constexpr uint32_t kBufferSize = 65536;
constexpr uint32_t kPiece = 32768;
constexpr uint32_t kRemoteSizeHint = 65536;

// A 64 KB block from Malloc, given back on every path.
struct Block {
    uint8_t* data;
    Block() : data(static_cast<uint8_t*>(Malloc(ParagraphsFor(kBufferSize)))) {}
    ~Block() { Free(data); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
};

uint32_t SizeHint(const FileRecord& file) {
    return file.remote ? kRemoteSizeHint : file.size;
}

bool IsRemoteName(const char* name) {
    return name && name[0] != '{' && route == HostRoute::Remote;
}

uint32_t AddSizes(uint32_t a, uint32_t b) {
    return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

// Writing a file over one of its own sources would destroy the data before
// it is read: the destination must name another file.
bool SameFile(const FileRecord& source, const char* destination) {
    if (source.remote) return false;
    ParsedName parsed = GetSource(destination);
    if (parsed.source == Source::Fail || parsed.source == Source::Remote) return false;
    DirRef dir;
    std::string last;
    FsEntry entry{};
    if (!GetDir(*parsed.state, parsed.source, parsed.path, dir, last) ||
        !FindFile(*parsed.state, parsed.source, dir, last, entry))
        return false;
    if (parsed.state != source.state) return false;
    if (parsed.source == Source::Host) return SameHostFile(entry.path, source.entry.path);
    return SameName(*parsed.state, entry.path, source.entry.path);
}

// Writes count bytes from data in pieces of at most 32 KB; returns the bytes
// that could not be written.
uint32_t WriteAll(FileRecord* out, const uint8_t* data, uint32_t count) {
    while (count > 0) {
        uint16_t piece = uint16_t(count > kPiece ? kPiece : count);
        uint16_t n = WriteFILE(out, data, piece);
        if (n == 0) break;
        data += n;
        count -= n;
    }
    return count;
}

// The result of a copy as a status: the bytes left unwritten, never 0 when
// some were (the count may not fit the status).
Status Unwritten(uint32_t count) {
    return count == 0 ? 0 : Status(count > 32767 ? 32767 : count);
}

Status CopySources(const char* const* sources, int count, const char* destination, uint16_t flags) {
    FileRecord first;
    if (OpenFILE(sources[0], &first, flags) != 0) return 1;
    uint32_t total = SizeHint(first);
    for (int i = 1; i < count; ++i) {
        if (IsRemoteName(sources[i])) {
            // Remote sizes are unknown; a remote file is not opened twice.
            total = AddSizes(total, kRemoteSizeHint);
            continue;
        }
        FileRecord probe;
        if (OpenFILE(sources[i], &probe, uint16_t(flags & ~kOpenReadAhead)) != 0) {
            CloseFILE(&first);
            return 1;
        }
        total = AddSizes(total, SizeHint(probe));
        bool same = SameFile(probe, destination);
        CloseFILE(&probe);
        if (same) {
            CloseFILE(&first);
            Log("ERROR : Source and destination are the same file\r\n");
            return 1;
        }
    }
    if (SameFile(first, destination)) {
        CloseFILE(&first);
        Log("ERROR : Source and destination are the same file\r\n");
        return 1;
    }
    FileRecord out;
    if (CreateFILE(destination, &out, total) != 0) {
        CloseFILE(&first);
        return 1;
    }
    Block buffer;
    uint8_t* start = buffer.data;
    uint8_t* end = buffer.data;
    uint32_t unwritten = 0;
    bool sourceFailed = false;
    bool stopped = false;
    for (int i = 0; i < count && !stopped; ++i) {
        FileRecord next;
        FileRecord* in = &first;
        if (i > 0) {
            if (OpenFILE(sources[i], &next, flags) != 0) {
                sourceFailed = true;
                unwritten = 1;
                break;
            }
            in = &next;
        }
        for (;;) {
            int ended = ReadBufferFILE(in, buffer.data, &start, &end);
            // Whole 32 KB pieces only while data follows: a short write in
            // the middle of a file would leave a gap on cluster-based drivers.
            while (uint32_t(end - start) >= kPiece) {
                uint32_t left = WriteAll(&out, start, kPiece);
                start += kPiece - left;
                if (left != 0) {
                    stopped = true;
                    break;
                }
            }
            if (stopped || ended) break;
        }
        if (in->remote && RemoteFileOpen == 2) sourceFailed = true; // transfer broke off
        if (CloseFILE(in) != 0) sourceFailed = true;
        if (stopped) unwritten = end > start ? uint32_t(end - start) : 1;
    }
    if (!stopped && unwritten == 0) unwritten = WriteAll(&out, start, uint32_t(end - start));
    if (CloseFILE(&out) != 0 && unwritten == 0) unwritten = 1;
    if (unwritten != 0) {
        DiscardFILE(&out, destination);
        return Unwritten(unwritten);
    }
    if (sourceFailed) {
        if ((flags & kOpenCacheAlways) && !(flags & kOpenRetry))
            return CopySources(sources, count, destination, uint16_t(flags | kOpenRetry));
        // The target holds only what came before the source broke off.
        DiscardFILE(&out, destination);
        return 1;
    }
    return 0;
}

} // namespace

Status CopyFILE(const char* source, const char* destination, uint16_t flags) {
    const char* sources[] = {source};
    return CopySources(sources, 1, destination, flags);
}

Status AppendFILE(const char* first, const char* second, const char* destination, uint16_t flags) {
    const char* sources[] = {first, second};
    return CopySources(sources, 2, destination, flags);
}

namespace {

constexpr size_t kPatchWindow = 256;
constexpr size_t kPatchNameMax = 128; // the variable name buffer, with its NUL
constexpr uint32_t kOutFlushLimit = 64999;

struct Patcher {
    FileRecord* out;
    uint8_t* output;
    uint32_t outLength = 0;
    bool failed = false;
    bool latin = IsoLatinMode;

    // Writes whole 32 KB pieces while more than 32767 bytes are held, or
    // everything when all is true; keeps the rest at the buffer start.
    void Flush(bool all) {
        uint32_t done = 0;
        while (!failed && (outLength - done > kPiece - 1 || (all && outLength > done))) {
            uint32_t piece = outLength - done > kPiece ? kPiece : outLength - done;
            uint32_t left = WriteAll(out, output + done, piece);
            done += piece - left;
            if (left != 0) failed = true;
        }
        std::memmove(output, output + done, outLength - done);
        outLength -= done;
    }

    void Emit(uint8_t c) {
        if (outLength == kBufferSize) Flush(false);
        if (failed || outLength == kBufferSize) {
            failed = true;
            return;
        }
        if (latin && c >= 0x80) c = pc2iso[c - 0x80];
        output[outLength++] = c;
    }
};

Status PatchOnce(const char* source, const char* destination, const char* startMarker,
                 const char* endMarker, uint16_t flags) {
    FileRecord in;
    if (OpenFILE(source, &in, flags) != 0) return 1;
    if (SameFile(in, destination)) {
        CloseFILE(&in);
        Log("ERROR : Source and destination are the same file\r\n");
        return 1;
    }
    uint64_t hint = in.remote ? kRemoteSizeHint : uint64_t(in.size) * 3 / 2;
    FileRecord out;
    if (CreateFILE(destination, &out, hint > UINT32_MAX ? UINT32_MAX : uint32_t(hint)) != 0) {
        CloseFILE(&in);
        return 1;
    }
    Block input, output;
    Patcher patcher{&out, output.data};
    size_t startLength = std::strlen(startMarker);
    size_t endLength = std::strlen(endMarker);
    uint32_t inLength = 0, pos = 0;
    bool ended = false;
    while (!patcher.failed) {
        // Keep at least 32 KB of source text buffered.
        while (!ended && inLength < kPiece) {
            MonitorESC();
            uint16_t n = ReadFILE(&in, input.data + inLength);
            if (n == 0) {
                ended = true;
                break;
            }
            ImportText(reinterpret_cast<char*>(input.data + inLength), n);
            inLength += n;
        }
        while (!patcher.failed && patcher.outLength <= kOutFlushLimit &&
               (ended ? pos < inLength : inLength - pos > kPatchWindow)) {
            uint32_t buffered = inLength - pos;
            const uint8_t* here = input.data + pos;
            bool replaced = false;
            if (startLength > 0 && buffered >= startLength &&
                std::memcmp(here, startMarker, startLength) == 0) {
                // Every position where the end marker still fits in the
                // window, including the very last one: a name that ends the
                // file is still replaced.
                long window = long(buffered < kPatchWindow ? buffered : kPatchWindow) -
                              long(startLength + endLength) + 1;
                for (long j = 0; j < window; ++j) {
                    const uint8_t* candidate = here + startLength + j;
                    if (std::memcmp(candidate, endMarker, endLength) != 0) continue;
                    if (size_t(j) < kPatchNameMax) {
                        // A name that fits the name buffer: replace marker,
                        // name and marker by the variable's value.
                        char name[kPatchNameMax];
                        std::memcpy(name, here + startLength, size_t(j));
                        name[j] = '\0';
                        const char* value = ReadSetting(name);
                        for (const char* v = value; v && *v && !patcher.failed; ++v)
                            patcher.Emit(uint8_t(*v));
                        pos += uint32_t(startLength + size_t(j) + endLength);
                        replaced = true;
                    }
                    // A longer name is no variable name: it stays as text.
                    break;
                }
            }
            if (!replaced) {
                patcher.Emit(*here);
                ++pos;
            }
        }
        bool done = ended && pos >= inLength;
        patcher.Flush(done);
        if (done) break;
        std::memmove(input.data, input.data + pos, inLength - pos);
        inLength -= pos;
        pos = 0;
    }
    bool sourceFailed = in.remote && RemoteFileOpen == 2;
    if (CloseFILE(&in) != 0) sourceFailed = true;
    bool outFailed = CloseFILE(&out) != 0;
    if (patcher.failed || outFailed) {
        DiscardFILE(&out, destination);
        return 1;
    }
    if (sourceFailed) {
        if ((flags & kOpenCacheAlways) && !(flags & kOpenRetry))
            return PatchOnce(source, destination, startMarker, endMarker,
                             uint16_t(flags | kOpenRetry));
        DiscardFILE(&out, destination);
        return 1;
    }
    return 0;
}

} // namespace

Status PatchFILE(const char* source, const char* destination, const char* start, const char* end,
                 uint16_t flags) {
    return PatchOnce(source, destination, start ? start : "${", end ? end : "}", flags);
}

} // namespace vk
