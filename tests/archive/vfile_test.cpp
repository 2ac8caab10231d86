// Virtual files: slots, page-crossing I/O, spills to temporary host files
// with transparent access afterwards, and bit lists.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <random>

#include "archive/vfile.h"
#include "archive_fixture.h"
#include "platform/memory.h"

namespace vk::test {
namespace {

class VFileTest : public ArchiveTest {
  protected:
    void Start(uint16_t pages) {
        savedPages_ = nb_ext_pages;
        nb_ext_pages = pages;
        Settings()["TempPath"] = dir_;
        InitVMM();
        ASSERT_NE(vm, nullptr);
        EXPECT_EQ(nb_ext_pages, 0); // the store owns them now
        EXPECT_EQ(vm->pages, pages);
    }
    void TearDown() override {
        if (vm) FreeVMM();
        nb_ext_pages = savedPages_;
        ArchiveTest::TearDown();
    }
    // Temporary files of the store in the scratch directory.
    std::vector<std::string> TempFiles() {
        std::vector<std::string> names;
        DIR* d = opendir(dir_.c_str());
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, "TMP~", 4) == 0) names.push_back(e->d_name);
        closedir(d);
        return names;
    }
    static Bytes Pattern(size_t n, uint8_t seed) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i)
            b[i] = uint8_t(i * 31 + seed + (i >> 9));
        return b;
    }

    uint16_t savedPages_ = 0;
};

TEST_F(VFileTest, SixteenSlots) {
    Start(8);
    std::vector<int16_t> handles;
    for (int i = 0; i < kVFiles; ++i) {
        handles.push_back(RewriteVFile("SLOT"));
        EXPECT_EQ(handles.back(), i);
    }
    EXPECT_EQ(RewriteVFile("MORE"), -1);
    EXPECT_EQ(TakeLog(), "ERROR : Virtual files exhausted\r\n");
    ASSERT_EQ(CloseVFile(handles[5]), 0);
    EXPECT_EQ(RewriteVFile("MORE"), 5);
    EXPECT_NE(CloseVFile(-1), 0);
    EXPECT_NE(WriteVFile(99, "x", 1), 0);
}

TEST_F(VFileTest, WritesAndReadsAcrossThePageEnd) {
    Start(8);
    int16_t h = RewriteVFile("NEWD");
    Bytes a = Pattern(10000, 1), b = Pattern(30000, 2);
    ASSERT_EQ(WriteVFile(h, a.data(), uint32_t(a.size())), 0);
    ASSERT_EQ(WriteVFile(h, b.data(), uint32_t(b.size())), 0); // crosses 32768
    EXPECT_EQ(TellVFile(h), 40000u);
    EXPECT_TRUE(EofVFile(h));
    ASSERT_EQ(SeekVFile(h, 0), 0);
    Bytes back(40000);
    ASSERT_EQ(ReadVFile(h, back.data(), 20000), 0);
    ASSERT_EQ(ReadVFile(h, back.data() + 20000, 20000), 0);
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(back, both);

    // Past the end: failure, position unchanged.
    ASSERT_EQ(SeekVFile(h, 39990), 0);
    EXPECT_NE(ReadVFile(h, back.data(), 11), 0);
    EXPECT_EQ(TellVFile(h), 39990u);
    EXPECT_EQ(ReadVFile(h, back.data(), 10), 0);

    // A seek past the end extends the file to exactly that position.
    ASSERT_EQ(SeekVFile(h, 70000), 0);
    ASSERT_EQ(SeekEofVFile(h), 0);
    EXPECT_EQ(TellVFile(h), 70000u);
}

TEST_F(VFileTest, LargeRarelyUsedFileSpillsAndStaysUsable) {
    Start(4);
    int16_t big = RewriteVFile("BIGF");
    int16_t busy = RewriteVFile("BUSY");
    Bytes page = Pattern(32768, 7);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(WriteVFile(big, page.data(), 32768), 0);
    uint8_t byte = 0x5A;
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(WriteVFile(busy, &byte, 1), 0);
    EXPECT_TRUE(TempFiles().empty());
    // The busy file needs a fifth page: the big one moves out.
    Bytes more = Pattern(32768, 9);
    ASSERT_EQ(WriteVFile(busy, more.data(), 32768), 0);
    ASSERT_EQ(TempFiles().size(), 1u);
    EXPECT_EQ(TempFiles()[0].substr(0, 9), "TMP~BIGF.");
    EXPECT_NE(vm->files[big].tempIndex, 0);
    EXPECT_EQ(vm->files[busy].tempIndex, 0);

    // Reads and writes of the moved file go on as before.
    ASSERT_EQ(WriteVFile(big, more.data(), 1000), 0);
    ASSERT_EQ(SeekVFile(big, 32768 - 10), 0);
    Bytes back(20);
    ASSERT_EQ(ReadVFile(big, back.data(), 20), 0);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 10), Bytes(page.end() - 10, page.end()));
    EXPECT_EQ(Bytes(back.begin() + 10, back.end()), Bytes(page.begin(), page.begin() + 10));
    ASSERT_EQ(SeekVFile(big, 3 * 32768), 0);
    back.resize(1000);
    ASSERT_EQ(ReadVFile(big, back.data(), 1000), 0);
    EXPECT_EQ(back, Bytes(more.begin(), more.begin() + 1000));

    ASSERT_EQ(CloseVFile(big), 0);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(VFileTest, WithoutSupplementaryMemoryEveryFileLivesInATemporaryFile) {
    Start(0);
    int16_t h = RewriteVFile("ZDIR");
    Bytes data = Pattern(100000, 3);
    for (size_t at = 0; at < data.size(); at += 30000)
        ASSERT_EQ(
            WriteVFile(h, data.data() + at, uint32_t(std::min<size_t>(30000, data.size() - at))),
            0);
    EXPECT_EQ(TempFiles().size(), 1u);
    ASSERT_EQ(SeekVFile(h, 0), 0);
    Bytes back(data.size());
    for (size_t at = 0; at < data.size(); at += 32768)
        ASSERT_EQ(
            ReadVFile(h, back.data() + at, uint32_t(std::min<size_t>(32768, data.size() - at))), 0);
    EXPECT_EQ(back, data);
    FreeVMM(); // closes and deletes what is left
    EXPECT_TRUE(TempFiles().empty());
}

// Random reads, writes and seeks on several files with little memory,
// checked against plain byte vectors.
// Random reads, writes and seeks over several files against a model. The
// cases span memory that runs out (spills mid-way), none at all, and plenty;
// sixteen files with several pages each need more page buffers than there
// are, so buffers are reused while others stay dirty.
TEST_F(VFileTest, RandomOperationsMatchAModel) {
    struct Case {
        int files;
        uint16_t pages;
        int spills; // -1 must not, 1 must, 0 either
    };
    for (Case c :
         {Case{5, 6, 1}, Case{16, 6, 1}, Case{16, 0, 1}, Case{16, 400, -1}, Case{2, 3, 0}}) {
        SCOPED_TRACE(testing::Message() << c.files << " files, " << c.pages << " pages");
        Start(c.pages);
        std::mt19937 rng(42 + c.files + c.pages);
        std::vector<int16_t> h(size_t(c.files));
        std::vector<Bytes> model(size_t(c.files));
        std::vector<uint32_t> pos(size_t(c.files), 0);
        for (auto& handle : h)
            handle = RewriteVFile("RAND");
        for (int step = 0; step < 4000; ++step) {
            size_t i = rng() % size_t(c.files);
            uint32_t n = rng() % 4 == 0 ? rng() % 32769 : rng() % 300;
            switch (rng() % 4) {
            case 0:
            case 1: {
                Bytes data(n);
                for (auto& b : data)
                    b = uint8_t(rng());
                ASSERT_EQ(WriteVFile(h[i], data.data(), n), 0);
                if (model[i].size() < pos[i] + n) model[i].resize(pos[i] + n);
                std::copy(data.begin(), data.end(), model[i].begin() + pos[i]);
                pos[i] += n;
                break;
            }
            case 2: {
                Bytes back(n);
                Status s = ReadVFile(h[i], back.data(), n);
                if (pos[i] + n > model[i].size()) {
                    ASSERT_NE(s, 0);
                } else {
                    ASSERT_EQ(s, 0);
                    ASSERT_TRUE(std::equal(back.begin(), back.end(), model[i].begin() + pos[i]))
                        << "step " << step;
                    pos[i] += n;
                }
                break;
            }
            default: {
                uint32_t to = model[i].empty() ? 0 : uint32_t(rng() % model[i].size());
                ASSERT_EQ(SeekVFile(h[i], to), 0);
                pos[i] = to;
            }
            }
            ASSERT_EQ(TellVFile(h[i]), pos[i]);
        }
        for (size_t i = 0; i < h.size(); ++i) {
            ASSERT_EQ(SeekVFile(h[i], 0), 0);
            Bytes back(model[i].size());
            for (size_t at = 0; at < back.size(); at += 32768)
                ASSERT_EQ(ReadVFile(h[i], back.data() + at,
                                    uint32_t(std::min<size_t>(32768, back.size() - at))),
                          0);
            EXPECT_EQ(back, model[i]) << i;
        }
        if (c.spills > 0) {
            EXPECT_FALSE(TempFiles().empty()); // memory ran out on the way
        } else if (c.spills < 0) {
            EXPECT_TRUE(TempFiles().empty());
        }
        FreeVMM();
        EXPECT_TRUE(TempFiles().empty()); // closing deletes them
        nb_ext_pages = savedPages_;
    }
}

TEST_F(VFileTest, BitListsReadBackInOrder) {
    Start(2);
    int16_t h = RewriteVFile("ZFIL");
    BitList list;
    std::vector<bool> bits;
    std::mt19937 rng(6);
    ASSERT_EQ(InitBitBuff(&list, h), 0);
    for (int i = 0; i < 1500; ++i) {
        bits.push_back(rng() % 3 == 0);
        ASSERT_EQ(WriteBitBuff(&list, bits.back()), 0);
    }
    ASSERT_EQ(FlushBitBuff(&list), 0);
    EXPECT_EQ(vm->files[h].size, 3u * 64); // two full blocks and the last
    ASSERT_EQ(InitBitBuff(&list, h), 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        bool bit;
        ASSERT_EQ(ReadBitBuff(&list, &bit), 0);
        EXPECT_EQ(bit, bits[i]) << i;
    }
    // Bit k of a block is bit k % 8 of byte k / 8, lowest first.
    ASSERT_EQ(SeekVFile(h, 0), 0);
    uint8_t first;
    ASSERT_EQ(ReadVFile(h, &first, 1), 0);
    uint8_t expect = 0;
    for (int k = 0; k < 8; ++k)
        expect |= uint8_t(bits[size_t(k)] << k);
    EXPECT_EQ(first, expect);
    // Reading beyond the stored blocks fails.
    BitList other;
    ASSERT_EQ(InitBitBuff(&other, h), 0);
    bool bit;
    for (int i = 0; i < 3 * 512; ++i)
        ASSERT_EQ(ReadBitBuff(&other, &bit), 0);
    EXPECT_NE(ReadBitBuff(&other, &bit), 0);
}

} // namespace
} // namespace vk::test
