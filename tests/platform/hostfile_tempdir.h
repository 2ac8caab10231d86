// A scratch directory under /tmp for tests of host files; the process works
// inside it while the fixture lives and it is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/console.h"

namespace vk::test {

class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vk-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  public:
    static void WriteText(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    static std::string ReadText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::string Pattern(size_t size, uint32_t seed = 1) {
        std::string text(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            seed = seed * 1103515245 + 12345;
            text[i] = char(seed >> 16);
        }
        return text;
    }

  protected:
    std::string dir_;
    std::filesystem::path previous_;
};

// Collects log output in the capture buffer while it lives.
class LogCapture {
  public:
    LogCapture() : buffer_(kCaptureSize), saved_(LogFileBuff), savedAvail_(LogFileAvail) {
        LogFileBuff = buffer_.data();
        LogFileAvail = 0;
    }
    ~LogCapture() {
        LogFileBuff = saved_;
        LogFileAvail = savedAvail_;
    }
    std::string Text() const {
        return std::string(reinterpret_cast<const char*>(buffer_.data()), LogFileAvail);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

  private:
    std::vector<uint8_t> buffer_;
    uint8_t* saved_;
    uint32_t savedAvail_;
};

} // namespace vk::test
