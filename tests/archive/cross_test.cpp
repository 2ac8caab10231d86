// Cross-check with the independent Python reader and writer (arctool.py):
// archives written here are read there and the reverse, and both writers
// produce the same bytes from the same description.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "archive_fixture.h"

namespace vk::test {
namespace {

class CrossCheck : public ArchiveTest {
  protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        if (std::system("python3 -c 'import sys' >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "python3 is not available";
    }
    // Runs the tool; its standard output goes to `out`, errors to out.err.
    int Tool(const std::string& args, const std::string& out) {
        std::string command = "python3 " VK_ARCTOOL " " + args + " >" + out + " 2>" + out + ".err";
        return std::system(command.c_str());
    }
    std::string Text(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The description with the header's sum of file sizes as the writers
    // recount it.
    template <class Model> std::string Expected(Model m) {
        m.header.sumOfSizes = 0;
        if constexpr (std::is_same_v<Model, FullModel>) {
            for (auto& c : m.contents)
                m.header.sumOfSizes += uint32_t(c.size());
        } else {
            for (auto& d : m.dirs)
                for (auto& f : d.files)
                    m.header.sumOfSizes += uint32_t(f.content.size());
        }
        return Describe(m);
    }
    // Both writers must give the same fragment files (the tool asked for
    // the first fragment's CRC over the final data, as ours writes it).
    void SameFragments(const std::string& a, const std::string& b) {
        for (int n = 0;; ++n) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, ".%03d", n);
            bool hasA = Exists(Path(a + suffix)), hasB = Exists(Path(b + suffix));
            ASSERT_EQ(hasA, hasB) << suffix;
            if (!hasA) break;
            EXPECT_TRUE(ReadHost(Path(a + suffix)) == ReadHost(Path(b + suffix))) << a << suffix;
        }
    }
    // One description through both sides: the archive written here is read
    // by the tool, the one the tool writes from the description is read
    // here, both as the description, and both writers give the same
    // fragment files, named ours and theirs. With `several`, the archive
    // written here took more than one fragment.
    template <class Model>
    void BothWays(const Model& m, const std::string& ours, const std::string& theirs,
                  uint32_t limit, bool several) {
        constexpr bool full = std::is_same_v<Model, FullModel>;
        if constexpr (full)
            ASSERT_EQ(WriteFull(m, Path(ours + ".000"), limit), 0);
        else
            ASSERT_EQ(WriteIncr(m, Path(ours + ".000"), limit), 0);
        ASSERT_EQ(Tool("read " + Path(ours + ".000"), Path("read.txt")), 0)
            << Text(Path("read.txt.err"));
        EXPECT_EQ(Text(Path("read.txt")), Expected(m)) << ours;

        std::ofstream(Path("desc.txt")) << Describe(m);
        ASSERT_EQ(Tool("write " + Path("desc.txt") + " " + Path(theirs + ".000") + " " +
                           std::to_string(limit) + " final-crc",
                       Path("write.txt")),
                  0)
            << Text(Path("write.txt.err"));
        Model back;
        if constexpr (full)
            ASSERT_EQ(ReadFull(Path(theirs + ".000"), &back), 0) << theirs;
        else
            ASSERT_EQ(ReadIncr(Path(theirs + ".000"), &back), 0) << theirs;
        EXPECT_EQ(Describe(back), Expected(m)) << theirs;
        SameFragments(ours, theirs);
        if (several) {
            EXPECT_TRUE(Exists(Path(ours + ".001"))) << "one fragment only";
        }
    }
};

// Archives with empty files, files of 32768 and 32769 bytes, empty
// directories (every RandomFull tree has leaves without entries), with one
// fragment and with many.
TEST_F(CrossCheck, FullArchives) {
    std::mt19937 rng(100);
    const uint32_t limits[] = {kFragmentSizeDefault, kFragmentSizeMin};
    for (int round = 0; round < 4; ++round) {
        uint32_t limit = limits[round % 2];
        FullModel m = RandomFull(rng, 2 + int(rng() % 12), round % 2 ? 3 : 0, 900000);
        const std::string tag = std::to_string(round);
        ASSERT_NO_FATAL_FAILURE(BothWays(m, "c" + tag, "p" + tag, limit, round % 2));
    }
    TakeLog();
}

TEST_F(CrossCheck, IncrementalArchives) {
    std::mt19937 rng(200);
    const uint32_t limits[] = {kFragmentSizeDefault, kFragmentSizeMin};
    for (int round = 0; round < 4; ++round) {
        uint32_t limit = limits[round % 2];
        IncrModel m = RandomIncr(rng, 1 + int(rng() % 12), 0, 1);
        if (round % 2) {
            // Enough data for several fragments at the minimum limit.
            IFileModel big;
            big.content.resize(1200000);
            for (auto& b : big.content)
                b = uint8_t(rng());
            big.entry = FileEntryBytes(uint32_t(big.content.size()), Bytes(86, 7), "big");
            m.dirs[0].files.push_back(big);
            m.dirs[0].record.files += 1;
            m.header.fileCount += 1;
        }
        const std::string tag = std::to_string(round);
        ASSERT_NO_FATAL_FAILURE(BothWays(m, "ci" + tag, "pi" + tag, limit, round % 2));
    }
    TakeLog();
}

// The Python reader refuses what the format forbids; a damaged fragment is
// not silently accepted by either side.
TEST_F(CrossCheck, PythonReaderRejectsDamage) {
    std::mt19937 rng(300);
    FullModel m = RandomFull(rng, 3, 0, 10);
    ASSERT_EQ(WriteFull(m, Path("d.000"), kFragmentSizeDefault), 0);
    Bytes file = ReadHost(Path("d.000"));
    file[file.size() - 1] ^= 1; // "ZZ" damaged; the CRC no longer matches
    WriteHost(Path("d.000"), file);
    EXPECT_NE(Tool("read " + Path("d.000"), Path("read.txt")), 0);
    FullModel back;
    EXPECT_NE(ReadFull(Path("d.000"), &back), 0);
    TakeLog();
}

} // namespace
} // namespace vk::test
