// The file layer over the host directory driver, in a scratch directory,
// with script settings from a map.
#pragma once

#include <map>
#include <string>

#include "disk/files.h"
#include "hostdir/hostdir.h"
#include "hostfile_tempdir.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk::test {

inline std::map<std::string, std::string>& Settings() {
    static std::map<std::string, std::string> settings;
    return settings;
}

inline const char* ReadTestSetting(const char* name) {
    auto it = Settings().find(name);
    return it == Settings().end() ? "" : it->second.c_str();
}

class FilesTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        Settings().clear();
        SetSettingReader(ReadTestSetting);
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
        savedLatin_ = IsoLatinMode;
        IsoLatinMode = false; // bytes pass unchanged unless a test asks
    }
    void TearDown() override {
        IsoLatinMode = savedLatin_;
        SetSettingReader(nullptr);
        TempDirTest::TearDown();
    }

    // Reads a whole file through the layer.
    static std::string ReadAll(const char* name) {
        FileRecord file;
        if (OpenFILE(name, &file, 0) != 0) return "<open failed>";
        std::string text;
        std::vector<uint8_t> buffer(kChunkMax);
        while (uint16_t n = ReadFILE(&file, buffer.data()))
            text.append(reinterpret_cast<char*>(buffer.data()), n);
        CloseFILE(&file);
        return text;
    }

    bool savedLatin_ = false;
};

} // namespace vk::test
