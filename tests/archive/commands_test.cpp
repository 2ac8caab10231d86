// The filezip and fileunzip commands, from a script line to the files.
#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "interp/commands_archive.h"
#include "interp/script.h"
#include "interp_fixture.h"

namespace vk::test {
namespace {

class ArchiveCommands : public ArchiveTest {
  protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        SetUpInterpreter();
        errormsg = nullptr;
    }
    Status Run(Status (*handler)(char*), const std::string& a, const std::string& b,
               const std::string& extra = "") {
        std::string text = "\"" + Path(a) + "\" \"" + Path(b) + "\"" + extra;
        return handler(LoadLine(text.c_str()));
    }
};

TEST_F(ArchiveCommands, RoundTripsThroughTheCommands) {
    const size_t sizes[] = {0, 1, 32768, 32769, 10 * 1024 * 1024};
    for (size_t size : sizes) {
        Bytes data(size);
        for (size_t i = 0; i < size; ++i)
            data[i] = uint8_t((i * i) >> 7);
        WriteHost(Path("in"), data);
        ASSERT_EQ(Run(ParseFileZip, "in", "in.z"), 0) << size;
        ASSERT_EQ(Run(ParseFileUnzip, "in.z", "out"), 0) << size;
        EXPECT_TRUE(ReadHost(Path("out")) == data) << size;
    }
}

TEST_F(ArchiveCommands, FailuresSetTheCommandMessages) {
    EXPECT_NE(Run(ParseFileZip, "missing", "x.z"), 0);
    EXPECT_STREQ(errormsg, "Could not compress the file (invalid filename ?)");

    WriteHost(Path("in"), Bytes(50000, 'q'));
    ASSERT_EQ(Run(ParseFileZip, "in", "in.z"), 0);
    Bytes good = ReadHost(Path("in.z"));
    Bytes flipped = good;
    flipped[good.size() / 2] ^= 0x01;
    WriteHost(Path("flipped.z"), flipped);
    errormsg = nullptr;
    EXPECT_NE(Run(ParseFileUnzip, "flipped.z", "out"), 0);
    EXPECT_STREQ(errormsg, "FileUnzip failed (bad compressed file ?)");
    WriteHost(Path("cut.z"), Bytes(good.begin(), good.end() - 1));
    errormsg = nullptr;
    EXPECT_NE(Run(ParseFileUnzip, "cut.z", "out"), 0);
    EXPECT_STREQ(errormsg, "FileUnzip failed (bad compressed file ?)");
    errormsg = nullptr;
    EXPECT_NE(Run(ParseFileUnzip, "none.z", "out"), 0);
    EXPECT_STREQ(errormsg, "FileUnzip failed (bad compressed file ?)");

    errormsg = nullptr;
    EXPECT_NE(Run(ParseFileUnzip, "in.z", "out", " extra"), 0);
    EXPECT_STREQ(errormsg, "Too much arguments");
    TakeLog();
}

} // namespace
} // namespace vk::test
