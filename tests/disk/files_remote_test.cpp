// Names outside the partitions routed to remote files: the host-file
// routing of the batch program and a scripted transfer that breaks off.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files_fixture.h"
#include "platform/memory.h"

namespace vk {
namespace {

using test::LogCapture;

class FilesRemote : public test::FilesTest {
  protected:
    void SetUp() override {
        FilesTest::SetUp();
        SetHostRoute(HostRoute::Remote, &HostRemoteFileOps, nullptr);
    }
    void TearDown() override {
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
        FilesTest::TearDown();
    }
};

TEST_F(FilesRemote, OneRemoteFileAtATime) {
    std::string data = Pattern(5000, 5);
    WriteText("r.bin", data);
    FileRecord file, other;
    ASSERT_EQ(OpenFILE("r.bin", &file, 0), 0);
    EXPECT_EQ(file.remote, 1);
    EXPECT_EQ(file.size, 0xFFFFFFFFu);
    EXPECT_EQ(RemoteFileOpen, 1);
    {
        LogCapture log;
        EXPECT_EQ(OpenFILE("r.bin", &other, 0), 1);
        EXPECT_EQ(FILEExists("r.bin"), 0); // while another is open
    }
    std::vector<uint8_t> buffer(kChunkMax);
    std::string read;
    while (uint16_t n = ReadFILE(&file, buffer.data())) {
        EXPECT_LE(n, kHostRemoteBlock);
        read.append(reinterpret_cast<char*>(buffer.data()), n);
    }
    EXPECT_EQ(read, data);
    EXPECT_EQ(CloseFILE(&file), 0);
    EXPECT_EQ(RemoteFileOpen, 0);
    EXPECT_EQ(FILEExists("r.bin"), 1);
}

TEST_F(FilesRemote, EmptyOrMissingRemoteFiles) {
    WriteText("empty", "");
    char* text = nullptr;
    {
        LogCapture log;
        EXPECT_EQ(LoadFile("empty", nullptr, &text, false), 1);
        EXPECT_EQ(log.Text(), "ERROR: File not found.\r\n");
        EXPECT_EQ(RemoteFileOpen, 0);
    }
    {
        LogCapture log;
        EXPECT_EQ(FILEExists("empty"), 0);
        EXPECT_EQ(FILEExists("missing"), 0);
        EXPECT_EQ(log.Text(), "TFTP Open failed\r\n");
    }
    WriteText("script", "echo hi\r\n");
    uint32_t size = 0;
    ASSERT_EQ(LoadFile("script", &size, &text, false), 0);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(text, "echo hi\r\n");
    Free(text);
}

TEST_F(FilesRemote, UnsupportedOperationsOnRemoteNames) {
    WriteText("r", "1");
    LogCapture log;
    EXPECT_EQ(DeleteFILE("r"), 0);
    EXPECT_EQ(ReadText("r"), "1");
    EXPECT_EQ(CreateDIR("d"), 1);
    EXPECT_EQ(DelTREE("d"), 1);
    EXPECT_EQ(LogDIR("*"), 1);
    EXPECT_EQ(LogTREE("x"), 1);
    EXPECT_EQ(log.Text(), "WARNING : Deletion not supported on remote files\r\n"
                          "ERROR : Remote directory creation is not supported\r\n"
                          "ERROR : Cannot scan remote directories\r\n"
                          "ERROR : Cannot scan remote directories\r\n"
                          "ERROR : Cannot scan remote directories\r\n");
}

// A server whose transfer breaks off after the first block for a number of
// attempts, then delivers the whole file.
struct FlakyServer {
    static inline int breaks = 0;
    static inline int opens = 0;
    static inline int block = 0;
    static int Open(const char*, uint8_t*, uint8_t*, uint16_t) {
        ++opens;
        block = 0;
        return 0;
    }
    static int Create(const char*) { return -1; }
    static int Read(uint8_t* buffer) {
        if (block == 1 && opens <= breaks) return -1;
        if (block == 3) return 0;
        std::memset(buffer, 'a' + block, 512);
        ++block;
        return 512;
    }
    static int Write(const uint8_t*, uint16_t) { return 0; }
    static int Close() { return 0; }
};
const RemoteFileOps kFlaky = {FlakyServer::Open, FlakyServer::Create, FlakyServer::Read,
                              FlakyServer::Write, FlakyServer::Close};

TEST_F(FilesRemote, LoadRetriesABrokenTransfer) {
    SetHostRoute(HostRoute::Remote, &kFlaky, nullptr);
    FlakyServer::breaks = 2;
    FlakyServer::opens = 0;
    LogCapture log;
    char* text = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(LoadFile("10.0.0.1:img", &size, &text, true), 0);
    EXPECT_EQ(size, 1536u);
    EXPECT_EQ(std::string(text),
              std::string(512, 'a') + std::string(512, 'b') + std::string(512, 'c'));
    Free(text);
    EXPECT_EQ(log.Text(), "WARNING: TFTP Read error\r\n"
                          "Cannot read TFTP file, retrying...\r\n"
                          "WARNING: TFTP Read error\r\n"
                          "Cannot read TFTP file, retrying...\r\n");
    EXPECT_EQ(RemoteFileOpen, 0);
}

TEST_F(FilesRemote, CopyFromABrokenTransferFails) {
    SetHostRoute(HostRoute::Remote, &kFlaky, nullptr);
    FlakyServer::breaks = 100;
    FlakyServer::opens = 0;
    LogCapture log;
    // The destination is remote too, so only the source may be open: the
    // copy fails either way, and never reports success.
    EXPECT_NE(CopyFILE("img", "copy", 5), 0);
}

TEST_F(FilesRemote, ThirdBrokenTransferEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SetHostRoute(HostRoute::Remote, &kFlaky, nullptr);
    FlakyServer::breaks = 3;
    FlakyServer::opens = 0;
    char* text = nullptr;
    // The dying child removes its own scratch directory on the way out.
    static std::string scratch;
    scratch = dir_;
    auto removeScratch = [] {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    };
    EXPECT_EXIT(
        {
            SetExitHandler(removeScratch);
            LoadFile("img", nullptr, &text, true);
        },
        ::testing::ExitedWithCode(255), "");
}

} // namespace
} // namespace vk
