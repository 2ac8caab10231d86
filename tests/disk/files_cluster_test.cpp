// The file layer over a driver that, like FAT, reads and writes whole
// clusters and only within the allocation that the file owns.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "disk/files.h"

namespace vk {
namespace {

constexpr uint32_t kCluster = 2048;

struct FakeFile {
    std::vector<uint8_t> data; // whole clusters: the allocation
    uint32_t size = 0;
};
std::map<std::string, FakeFile> files;
// A file whose close fails, as a source whose transfer broke off.
std::string failClose;

struct Handle {
    std::string name;
    uint32_t position;
};
Handle* AsHandle(FsFileHandle* h) {
    return reinterpret_cast<Handle*>(h);
}

Status OpenDir(FsState&, FsEntry*, FsDirHandle** dir) {
    *dir = reinterpret_cast<FsDirHandle*>(new size_t(0));
    return 0;
}
Status NextDirEntry(FsState&, FsDirHandle* dir, FsEntry* entry) {
    size_t& index = *reinterpret_cast<size_t*>(dir);
    if (index >= files.size()) return 1;
    auto it = std::next(files.begin(), long(index++));
    std::snprintf(entry->path, kPathMax, "%s", it->first.c_str());
    entry->name = entry->path;
    entry->kind = kKindFile;
    entry->size = it->second.size;
    return 0;
}
Status CloseDir(FsState&, FsDirHandle* dir) {
    delete reinterpret_cast<size_t*>(dir);
    return 0;
}
Status CreateFile(FsState&, FsDirHandle*, const char* name, const uint8_t*, FsEntry* entry) {
    files[name] = FakeFile{};
    std::snprintf(entry->path, kPathMax, "%s", name);
    entry->name = entry->path;
    entry->kind = kKindFile;
    return 0;
}
Status Allocate(FakeFile& f, uint32_t size) {
    f.data.resize((size + kCluster - 1) / kCluster * kCluster);
    f.size = size;
    return 0;
}
Status OpenFile(FsState&, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    *size = files[entry->path].size;
    *file = reinterpret_cast<FsFileHandle*>(new Handle{entry->path, 0});
    return 0;
}
Status RemoveFile(FsState&, FsEntry* entry) {
    return files.erase(entry->path) == 1 ? 0 : 1;
}
Status RewriteFile(FsState&, FsEntry* entry, uint32_t size, FsFileHandle** file) {
    if (Allocate(files[entry->path], size) != 0) return 1;
    *file = reinterpret_cast<FsFileHandle*>(new Handle{entry->path, 0});
    return 0;
}
// Whole clusters covering the length, at most 32 KB, never beyond the
// allocation.
uint16_t Transfer(FsFileHandle* h, uint8_t* out, const uint8_t* in, uint32_t length = kChunkMax) {
    Handle* handle = AsHandle(h);
    FakeFile& f = files[handle->name];
    uint32_t left = uint32_t(f.data.size()) - handle->position;
    uint32_t n = (length + kCluster - 1) / kCluster * kCluster;
    if (n > left) n = left;
    if (out) std::memcpy(out, f.data.data() + handle->position, n);
    if (in) std::memcpy(f.data.data() + handle->position, in, n);
    handle->position += n;
    return uint16_t(n);
}
uint16_t ReadFileChunk(FsState&, FsFileHandle* h, uint8_t* buffer) {
    return Transfer(h, buffer, nullptr);
}
uint16_t WriteFileChunk(FsState&, FsFileHandle* h, const uint8_t* data, uint16_t length) {
    return Transfer(h, nullptr, data, length);
}
Status CloseFile(FsState&, FsFileHandle* h) {
    const bool failed = AsHandle(h)->name == failClose;
    delete AsHandle(h);
    return failed ? 1 : 0;
}
Status AdjustFileSize(FsState&, FsFileHandle* h, FsEntry*, uint32_t size) {
    return Allocate(files[AsHandle(h)->name], size);
}

const FsHandler kClusterHandler = {
    {'T', 'E', 'S', 'T'},
    0,
    0,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    OpenDir,
    NextDirEntry,
    nullptr,
    nullptr,
    CreateFile,
    nullptr,
    CloseDir,
    RemoveFile,
    nullptr,
    OpenFile,
    RewriteFile,
    ReadFileChunk,
    WriteFileChunk,
    CloseFile,
    AdjustFileSize,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Routes names that are not partition paths to the cluster driver for the
// lifetime of a test, with no file on it.
struct ClusterPartition {
    FsState state;
    ClusterPartition() {
        state.state = kStateClean;
        state.handler = &kClusterHandler;
        state.valid = 1;
        SetHostRoute(HostRoute::HostDirectory, nullptr, &state);
        files.clear();
        failClose.clear();
    }
    ~ClusterPartition() { SetHostRoute(HostRoute::HostDirectory, nullptr, nullptr); }
};

TEST(FilesOnClusters, WritesThatTakeWholeClustersStayContiguous) {
    ClusterPartition partition;

    // A reservation far below the data: each write takes whole clusters
    // beyond what was reserved, and the accounting must follow. Pieces are
    // whole 32 KB but the last, as cluster drivers require.
    std::string expected(3 * kChunkMax + 777, '\0');
    for (size_t k = 0; k < expected.size(); ++k)
        expected[k] = char(k * 31 + k / 7);
    expected.append(kChunkMax, '\0'); // room that a cluster may read past the end
    const auto* data = reinterpret_cast<const uint8_t*>(expected.data());
    FileRecord out;
    ASSERT_EQ(CreateFILE("dst", &out, 100), 0);
    for (uint32_t done = 0; done < 3 * kChunkMax + 777;) {
        uint32_t left = 3 * kChunkMax + 777 - done;
        uint16_t n = WriteFILE(&out, data + done, uint16_t(left > kChunkMax ? kChunkMax : left));
        ASSERT_GT(n, 0);
        done += n;
    }
    expected.resize(3 * kChunkMax + 777);
    ASSERT_EQ(CloseFILE(&out), 0);
    EXPECT_EQ(files["dst"].size, expected.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(files["dst"].data.data()), expected.size()),
              expected);

    // Copied on the same driver, the copy ends at the same byte.
    ASSERT_EQ(CopyFILE("dst", "copy", 0), 0);
    EXPECT_EQ(files["copy"].size, expected.size());
    EXPECT_TRUE(std::memcmp(files["copy"].data.data(), expected.data(), expected.size()) == 0);
}

TEST(FilesOnClusters, AWriteBeyondTheReservationEndsTheFileAtItsLastByte) {
    ClusterPartition partition;

    // Reserved 100 bytes, grown once to 200 (one cluster), then the driver
    // takes all 1000 bytes: the closed file must hold exactly those.
    std::vector<uint8_t> data(kChunkMax, 'x');
    FileRecord out;
    ASSERT_EQ(CreateFILE("small", &out, 100), 0);
    ASSERT_EQ(WriteFILE(&out, data.data(), 1000), 1000);
    ASSERT_EQ(CloseFILE(&out), 0);
    EXPECT_EQ(files["small"].size, 1000u);
}

// A source of `size` bytes on the cluster driver.
void PutSource(const char* name, uint32_t size, char fill) {
    FakeFile& f = files[name];
    f.data.assign((size + kCluster - 1) / kCluster * kCluster, uint8_t(fill));
    f.size = size;
}

TEST(FilesOnClusters, ACopyFromABrokenSourceLeavesNoTarget) {
    ClusterPartition partition;
    PutSource("src", 100000, 's');
    failClose = "src";
    EXPECT_NE(CopyFILE("src", "dst", 0), 0);
    EXPECT_EQ(files.count("dst"), 0u);
    EXPECT_NE(PatchFILE("src", "dst", nullptr, nullptr, 0), 0);
    EXPECT_EQ(files.count("dst"), 0u);
}

} // namespace
} // namespace vk
