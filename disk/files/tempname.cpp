// Temporary host names of the archiver: TempPath/TMP~<suffix>.<3 letters>.
#include <cstdio>
#include <cstring>

#include "disk/files.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/settings.h"

namespace vk {

namespace {

constexpr int kIndexRange = 27 * 27; // indices 1 to 728: the first letter stays "@"
uint16_t TempIndex = 0;

// The next new index; started from the clock so that two runs rarely meet,
// and never a multiple of 729, whose letters "@@@" would read as index 0
// ("no temporary file") to the caller.
int NextIndex() {
    if (TempIndex == 0) {
        char now[9] = {};
        GetTime(now);
        TempIndex = uint16_t(CRC32(0, now, std::strlen(now)) % 953 + 1);
    } else {
        ++TempIndex;
    }
    if (TempIndex % kIndexRange == 0) ++TempIndex;
    return TempIndex;
}

} // namespace

int GetTempName(const char* suffix, int index, char* out, size_t outSize) {
    if (index == 0) index = NextIndex();
    index %= kIndexRange;
    if (index < 0) index += kIndexRange;
    const char* dir = ReadSetting("TempPath");
    if (!dir) dir = "";
    size_t length = std::strlen(dir);
    const char* separator = "/";
    if (length == 0 || dir[length - 1] == '/' || dir[length - 1] == ':' || dir[length - 1] == '\\')
        separator = "";
    char letters[4] = {char('@' + index / 729), char('@' + index / 27 % 27), char('@' + index % 27),
                       '\0'};
    int written =
        std::snprintf(out, outSize, "%s%sTMP~%s.%s", dir, separator, suffix ? suffix : "", letters);
    if (written < 0 || size_t(written) >= outSize) {
        if (outSize > 0) out[0] = '\0';
        return -1;
    }
    return index;
}

} // namespace vk
