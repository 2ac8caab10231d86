// The restore's output files over a recording driver: content arrives in
// any pieces and reaches the driver in calls of at least 32768 bytes (but
// the last), whatever the driver takes per call; failures close the file.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "archive/irestore.h"
#include "archive/makeio.h"

namespace vk::test {
namespace {

struct Recorder {
    std::vector<uint8_t> written;
    std::vector<uint32_t> calls;
    uint32_t takeAtMost = 0xFFFF; // bytes the driver takes per call
    uint32_t cluster = 0;         // non-zero: reports whole clusters
    bool failWrites = false;
    int closes = 0;
    std::vector<bool> hookAttrs;
};
Recorder rec;

Status OpenDir(FsState&, FsEntry*, FsDirHandle** dir) {
    *dir = reinterpret_cast<FsDirHandle*>(&rec);
    return 0;
}
Status NextDirEntry(FsState&, FsDirHandle*, FsEntry*) {
    return 1; // an empty directory
}
Status CloseDir(FsState&, FsDirHandle*) {
    return 0;
}
Status CreateFile(FsState&, FsDirHandle*, const char* name, const uint8_t*, FsEntry* entry) {
    std::strcpy(entry->path, name);
    entry->name = entry->path;
    entry->kind = kKindFile;
    return 0;
}
Status RewriteFile(FsState&, FsEntry*, uint32_t, FsFileHandle** file) {
    *file = reinterpret_cast<FsFileHandle*>(&rec);
    return 0;
}
uint16_t WriteFileChunk(FsState&, FsFileHandle*, const uint8_t* data, uint16_t length) {
    rec.calls.push_back(length);
    if (rec.failWrites) return 0;
    uint32_t n = std::min<uint32_t>(length, rec.takeAtMost);
    rec.written.insert(rec.written.end(), data, data + n);
    if (rec.cluster) n = (n + rec.cluster - 1) / rec.cluster * rec.cluster;
    return uint16_t(n);
}
Status CloseFile(FsState&, FsFileHandle*) {
    ++rec.closes;
    return 0;
}

FsHandler MakeHandler() {
    FsHandler h{};
    std::memcpy(h.id, "TEST", 4);
    h.attrSize = 2;
    h.OpenDir = OpenDir;
    h.NextDirEntry = NextDirEntry;
    h.CloseDir = CloseDir;
    h.CreateFile = CreateFile;
    h.RewriteFile = RewriteFile;
    h.WriteFileChunk = WriteFileChunk;
    h.CloseFile = CloseFile;
    return h;
}
const FsHandler kHandler = MakeHandler();

class MakeIO : public ::testing::Test {
  protected:
    void SetUp() override {
        rec = Recorder{};
        state.handler = &kHandler;
        state.valid = 1;
        dir.state = &state;
        SetRestoredFileHook([](FsState*, FsEntry*, const uint8_t* attrs, bool) {
            rec.hookAttrs.push_back(attrs != nullptr);
        });
    }
    void TearDown() override { SetRestoredFileHook(nullptr); }
    FsState state;
    FsDirRef dir;
};

std::vector<uint8_t> Pattern(uint32_t n) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 7 + (i >> 11));
    return v;
}

TEST_F(MakeIO, ContentReachesTheDriverInLargeCalls) {
    struct Case {
        uint32_t size, piece, take, cluster;
    } cases[] = {
        {1, 32768, 0xFFFF, 0},     {32767, 32768, 0xFFFF, 0},     {32768, 32768, 0xFFFF, 0},
        {65536, 32768, 0xFFFF, 0}, {65537, 10007, 0xFFFF, 0},     {200000, 32768, 0xFFFF, 0},
        {200000, 10007, 4096, 0},  {100000, 32768, 0xFFFF, 2048},
    };
    for (auto& c : cases) {
        rec = Recorder{};
        rec.takeAtMost = c.take;
        rec.cluster = c.cluster;
        MakeIOFile file;
        ASSERT_EQ(MakeIORewriteFile(&dir, "f", nullptr, c.size, &file), 0);
        std::vector<uint8_t> content = Pattern(c.size);
        for (uint32_t at = 0; at < c.size; at += c.piece)
            ASSERT_EQ(MakeIOWriteFile(&file, content.data() + at, std::min(c.piece, c.size - at)),
                      0);
        ASSERT_EQ(MakeIODoneFile(&file), 0);
        EXPECT_TRUE(rec.written == content) << c.size << " in pieces of " << c.piece;
        EXPECT_EQ(rec.closes, 1);
        if (c.take == 0xFFFF) {
            for (size_t i = 0; i + 1 < rec.calls.size(); ++i)
                EXPECT_GE(rec.calls[i], 32768u) << c.size << " call " << i;
        }
    }
}

TEST_F(MakeIO, AFailedWriteClosesTheFileAndFails) {
    rec.failWrites = true;
    MakeIOFile file;
    ASSERT_EQ(MakeIORewriteFile(&dir, "f", nullptr, 10, &file), 0);
    ASSERT_EQ(MakeIOWriteFile(&file, Pattern(10).data(), 10), 0); // only staged
    EXPECT_NE(MakeIODoneFile(&file), 0);
    EXPECT_EQ(rec.closes, 1);
    EXPECT_FALSE(file.open());
}

// The restore over the same driver: attributes reach the hook only when
// the archive's identifier and attribute size are the driver's, and a run
// that ends inside a file closes it and fails.
TEST_F(MakeIO, RestoreAppliesMatchingAttributesAndClosesCutFiles) {
    struct Case {
        const char* id;
        uint16_t da;
        bool applied;
    } cases[] = {{"TEST", 2, true}, {"TEST", 3, false}, {"FATx", 2, false}};
    for (auto& c : cases) {
        rec = Recorder{};
        ArchiveHeader h;
        std::memcpy(h.fsId, c.id, 4);
        h.dirAttr = c.da;
        // The stack starts at this test's directory instead of a path.
        IRestoreState fresh;
        fresh.stack = new FsDirRef[kIRestoreDepth];
        fresh.stack[0] = dir;
        ASSERT_EQ(RealizeIArchiveHeader(&fresh, &h), 0);
        EXPECT_EQ(fresh.applyAttributes, c.applied) << c.id << " " << c.da;
        std::vector<uint8_t> entry = {0, 0, 0, 0};
        entry.resize(4 + c.da, 0x55);
        for (char ch : std::string("name"))
            entry.push_back(uint8_t(ch));
        entry.push_back(0);
        ASSERT_EQ(RealizeIDirEntryFile(&fresh, entry.data()), 0); // size 0: done at once
        EXPECT_EQ(rec.hookAttrs, std::vector<bool>{c.applied});
        st32(entry.data(), 5);
        ASSERT_EQ(RealizeIDirEntryFile(&fresh, entry.data()), 0);
        EXPECT_NE(RealizeIFileContent(&fresh, Pattern(6).data(), 6), 0); // beyond the size
        ASSERT_EQ(RealizeIFileContent(&fresh, Pattern(2).data(), 2), 0);
        EXPECT_EQ(EndOfIFiles(&fresh), 3u);
        delete[] fresh.stack;
        fresh.stack = nullptr;
        EXPECT_NE(EndOfIArchive(&fresh), 0);
        EXPECT_EQ(rec.closes, 2);
    }
}

} // namespace
} // namespace vk::test
