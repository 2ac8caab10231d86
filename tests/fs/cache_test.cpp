// The cache partition driver's record checks and removal, and the remote
// file cache over an in-memory transport on an in-memory disk.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "disk/files.h"
#include "disk_fixture.h"
#include "fs/cache.h"
#include "net/cache.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/types.h"

namespace vk::test {
namespace {

// A sound entry: name, first sector, reserved sectors, size; chain 0.
std::vector<uint8_t> Entry(const char* name, uint32_t first, uint32_t reserved, uint32_t size) {
    std::vector<uint8_t> e(512);
    std::memcpy(e.data(), name, std::strlen(name));
    st32(&e[256], first);
    st32(&e[260], reserved);
    st32(&e[264], size);
    st32(&e[500], 0x48730A43);
    st32(&e[504], CRC32(0, e.data(), 504));
    return e;
}

TEST(CacheRecords, EntryChecksAreBounded) {
    const uint32_t size = 10000;
    EXPECT_EQ(CheckCacheEntry(Entry("a", 513, 64, 32760).data(), 0, size), nullptr);
    struct Case {
        std::vector<uint8_t> entry;
        uint32_t chain;
        const char* why;
    };
    std::vector<uint8_t> longName = Entry("a", 513, 64, 1);
    std::memset(longName.data(), 'x', 256);
    st32(&longName[504], CRC32(0, longName.data(), 504));
    std::vector<uint8_t> flipped = Entry("a", 513, 64, 1);
    flipped[3] ^= 1;
    std::vector<uint8_t> magic = Entry("a", 513, 64, 1);
    st32(&magic[500], 0);
    st32(&magic[504], CRC32(0, magic.data(), 504));
    const Case cases[] = {
        {flipped, 0, "CacheFS: CRC does not match\r\n"},
        {Entry("a", 513, 64, 1), 7, "CacheFS: Chained CRC does not match\r\n"},
        {magic, 0, "CacheFS: Invalid magic\r\n"},
        {Entry("a", 511, 64, 1), 0, "CacheFS: invalid firstsect (too small)\r\n"},
        {Entry("a", size, 0, 0), 0, "CacheFS: invalid firstsect (too big)\r\n"},
        {Entry("a", 9000, 1001, 1), 0, "CacheFS: invalid directory structure\r\n"},
        {Entry("a", 513, 0xFFFFFFFF, 1), 0, "CacheFS: invalid directory structure\r\n"},
        {longName, 0, "CacheFS: invalid name\r\n"},
        {Entry("a", 513, 64, 32761), 0, "CacheFS: invalid file size\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(CheckCacheEntry(c.entry.data(), c.chain, size), c.why) << c.why;
}

// A remote side held in memory, delivering `block` bytes a read.
struct FakeRemote {
    std::string content;
    size_t block = 1408, at = 0;
    int opens = 0, reads = 0, failRead = 0; // failRead: the n-th read fails (0 never)
    bool alwaysFail = false;
    size_t cutAt = SIZE_MAX; // the server breaks the transfer off here
    bool broken = false;
    uint64_t* failDiskReads = nullptr; // set to 0 after the last delivery
} remote;

int FakeOpen(const char*, uint8_t*, uint8_t*, uint16_t) {
    ++remote.opens;
    remote.at = 0;
    remote.broken = false;
    return 0;
}
int FakeRead(uint8_t* buffer) {
    if (remote.alwaysFail || ++remote.reads == remote.failRead) return -1;
    remote.broken = remote.at >= remote.cutAt;
    if (remote.broken) return 0;
    size_t n = std::min(remote.block, remote.content.size() - remote.at);
    if (remote.failDiskReads && remote.at + n == remote.content.size()) *remote.failDiskReads = 0;
    std::memcpy(buffer, remote.content.data() + remote.at, n);
    remote.at += n;
    return int(n);
}
int FakeCreate(const char*) {
    return -1;
}
int FakeWrite(const uint8_t*, uint16_t) {
    return 0;
}
int FakeClose() {
    return 0;
}
bool FakeBrokenOff() {
    return remote.broken;
}
const RemoteFileOps kFake = {FakeOpen, FakeCreate, FakeRead, FakeWrite, FakeClose};

class CacheTest : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        RegisterFsDriver(CacheDriver);
        MemoryDisk* disk = AddMemoryDisk(10); // cylinders 2 to 9 are the cache
        PutTable(disk, 0, {Part(0x06, 0, 1, 1)});
        SetHostRoute(HostRoute::Remote, &kFake, nullptr);
        StartRemoteCache(&kFake, FakeBrokenOff);
        remote = FakeRemote{};
    }
    void TearDown() override {
        StartRemoteCache(nullptr);
        SetHostRoute(HostRoute::HostDirectory, nullptr, nullptr);
        DiskTest::TearDown();
    }
    // The whole local file, or "<missing>".
    static std::string Local(const char* name) {
        FileRecord f;
        if (OpenFILE(name, &f, 0) != 0) return "<missing>";
        static uint8_t chunk[kChunkMax];
        std::string data;
        while (uint16_t n = ReadFILE(&f, chunk))
            data.append(reinterpret_cast<char*>(chunk), n);
        return CloseFILE(&f) == 0 ? data : "<damaged>";
    }
    int Cache(const char* name, int force = 0) {
        char local[kPathMax];
        uint32_t size = 0;
        int result = CacheRemoteFile(name, local, &size, force);
        EXPECT_STREQ(local, (std::string("{:-1}") + name).c_str());
        return result;
    }
};

TEST_F(CacheTest, FetchFindForceAndLargeDeliveries) {
    remote.content.assign(100, 'x');
    EXPECT_EQ(Cache("small"), 0);
    EXPECT_EQ(Local("{:-1}small"), remote.content);
    ClearLog();
    EXPECT_EQ(Cache("small"), 0);
    EXPECT_NE(Logged().find("Remote file \"small\" found in the disk cache"), std::string::npos);
    EXPECT_EQ(Logged().find("Downloading"), std::string::npos);
    EXPECT_EQ(Cache("small", 1), 0);
    EXPECT_NE(Logged().find("Downloading \"small\""), std::string::npos);
    // Deliveries as large as the file layer allows fit the transfer buffer.
    remote = FakeRemote{};
    remote.block = kChunkMax;
    for (int i = 0; i < 200000; ++i)
        remote.content += char(i * 7 + i / 300);
    EXPECT_EQ(Cache("big"), 0);
    EXPECT_EQ(Local("{:-1}big"), remote.content);
    EXPECT_EQ(Local("{:-1}small"), std::string(100, 'x'));
}

TEST_F(CacheTest, TimeoutsEmptyFilesAndRemoval) {
    remote.content.assign(50000, 'y');
    remote.failRead = 3;
    EXPECT_EQ(Cache("t"), -2); // no partial copy is left behind
    EXPECT_EQ(FILEExists("{:-1}t"), 0);
    remote = FakeRemote{};
    EXPECT_EQ(Cache("e"), -1);
    EXPECT_EQ(FILEExists("{:-1}e"), 0);
    // A read error while comparing is retried.
    remote.content = "first";
    EXPECT_EQ(Cache("c"), 0);
    remote.content = "second";
    remote.reads = 0;
    remote.failRead = 1;
    ClearLog();
    EXPECT_EQ(Cache("c"), 0);
    EXPECT_NE(Logged().find("WARNING: Error reading remote file, retrying"), std::string::npos);
    EXPECT_EQ(Local("{:-1}c"), "second");
    // Removing the first entry keeps the chain of those after it sound.
    remote = FakeRemote{};
    remote.content = "third";
    EXPECT_EQ(Cache("d"), 0);
    EXPECT_EQ(DeleteFILE("{:-1}c"), 0);
    ClearLog();
    EXPECT_EQ(Local("{:-1}d"), "third");
    EXPECT_EQ(Local("{:-1}c"), "<missing>");
    EXPECT_EQ(Logged().find("CacheFS"), std::string::npos);
}

// A disk whose reads (or writes) fail from a given sector on.
class FlakyDisk : public BlockDevice {
  public:
    explicit FlakyDisk(uint32_t cylinders) : inner(uint64_t(cylinders) * kCylinder * 512) {}
    size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t length) override {
        return offset / 512 + length / 512 > failFrom ? 0 : inner.ReadAt(offset, buffer, length);
    }
    size_t WriteAt(uint64_t offset, const uint8_t* data, size_t length) override {
        return offset / 512 + length / 512 > failWritesFrom ? 0
                                                            : inner.WriteAt(offset, data, length);
    }
    uint64_t SizeSectors() const override { return inner.SizeSectors(); }
    bool GetGeometry(DiskGeometry* geometry) override { return inner.GetGeometry(geometry); }
    MemoryDisk inner;
    uint64_t failFrom = UINT64_MAX, failWritesFrom = UINT64_MAX;
};

TEST_F(CacheTest, UnreadableChunkFailsTheCopy) {
    FlushParts();
    ResetDisks();
    auto* disk = static_cast<FlakyDisk*>(AddDiskDevice(std::make_unique<FlakyDisk>(10)));
    PutTable(&disk->inner, 0, {Part(0x06, 0, 1, 1)});
    remote.content.assign(200000, 'z');
    EXPECT_EQ(Cache("big"), 0);
    disk->failFrom = 2 * kCylinder + 513 + 2 * 64; // the third chunk
    EXPECT_EQ(Local("{:-1}big"), "<damaged>");
    disk->failFrom = UINT64_MAX;
    EXPECT_EQ(FILEExists("{:-1}big"), 0); // dropped, fetched anew next time
}

TEST_F(CacheTest, CopiesCutShortAreNeverKept) {
    remote.content.assign(50000, 'b');
    remote.cutAt = 10 * 1408; // an error packet in the middle of the download
    EXPECT_EQ(Cache("cut"), -1);
    EXPECT_EQ(FILEExists("{:-1}cut"), 0);
    remote.cutAt = SIZE_MAX;
    EXPECT_EQ(Cache("cut"), 0);
    remote.cutAt = 2 * 1408; // ... or in the comparison: the copy stays as it was
    EXPECT_EQ(Cache("cut"), -1);
    EXPECT_EQ(Local("{:-1}cut"), remote.content);
    // A whole remote file of another size than the copy's has changed.
    remote = FakeRemote{};
    remote.content.assign(3000, 'b');
    ClearLog();
    EXPECT_EQ(Cache("cut"), 0);
    EXPECT_NE(Logged().find("Remote file \"cut\" has changed"), std::string::npos);
    EXPECT_EQ(Local("{:-1}cut"), remote.content);
}

TEST_F(CacheTest, FailedClosingUpdateDropsTheCopy) {
    FlushParts();
    ResetDisks();
    auto* disk = static_cast<FlakyDisk*>(AddDiskDevice(std::make_unique<FlakyDisk>(10)));
    PutTable(&disk->inner, 0, {Part(0x06, 0, 1, 1)});
    remote.content.assign(100000, 'c');
    remote.failDiskReads = &disk->failFrom;
    EXPECT_EQ(Cache("unsealed"), 1);
    disk->failFrom = UINT64_MAX;
    EXPECT_EQ(FILEExists("{:-1}unsealed"), 0);
    // Data that cannot all be written leaves no truncated copy either.
    remote.failDiskReads = nullptr;
    disk->failWritesFrom = 2 * kCylinder + 513 + 2 * 64;
    EXPECT_GT(Cache("unwritten"), 0);
    EXPECT_EQ(FILEExists("{:-1}unwritten"), 0);
}

TEST_F(CacheTest, OpenerGivesUpAfterThreeTimeouts) {
    remote.alwaysFail = true;
    FileRecord f;
    // The orderly end frees a log buffer of its own, not the test's.
    EXPECT_EXIT((LogFileBuff = nullptr, OpenFILE("gone", &f, kOpenCacheAlways)),
                ::testing::ExitedWithCode(255), "");
}

} // namespace
} // namespace vk::test
