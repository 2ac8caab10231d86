// Names: UTF-16 on disk, the PC code page in scripts. Characters of the
// code page map to Latin-1 and so to the first 256 code points; others on
// disk read as '?', and a name that would not read back as it was given is
// not made.
#include <cstring>

#include "ntfs_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

// Longest name in UTF-16 code units.
constexpr size_t kNameMax = 255;

char FromCodePoint(uint16_t unit) {
    if (unit == 0 || unit == '/' || unit > 0xFF) return '?';
    if (unit >= 160) return char(IsoToPc(uint8_t(unit)));
    if (unit >= 128) return '?';
    return char(unit);
}

} // namespace

std::string NtfsNameFromDisk(const ntfschar* name, int length) {
    std::string out;
    if (length <= 0) return out;
    out.reserve(size_t(length));
    for (int i = 0; i < length; ++i)
        out.push_back(FromCodePoint(le16_to_cpu(name[i])));
    return out;
}

std::u16string NtfsNameToDisk(const char* name) {
    const size_t n = std::strlen(name);
    // Windows makes no names with these characters and cannot open them.
    bool reserved = false;
    for (size_t i = 0; i < n; ++i)
        reserved = reserved || uint8_t(name[i]) < 32 || std::strchr("<>:\"/\\|?*", name[i]);
    if (n == 0 || n > kNameMax || reserved || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        Log("NTFS ERROR: Invalid file name\r\n");
        return {};
    }
    std::u16string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = uint8_t(name[i]);
        const uint16_t unit = b >= 128 ? pc2iso[b - 128] : b;
        if (FromCodePoint(unit) != name[i]) {
            Log("NTFS ERROR: Name has characters that cannot be stored\r\n");
            return {};
        }
        out.push_back(char16_t(cpu_to_le16(unit)));
    }
    return out;
}

std::u16string NtfsVolumeNameToDisk(const char* name) {
    const size_t n = std::strlen(name);
    std::u16string units;
    if (!NtfsUtf8ToUtf16(name, n, units) || units.empty() || units.size() > kNameMax ||
        std::strchr(name, '/') || std::strchr(name, ':') || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        Log("NTFS ERROR: Invalid file name\r\n");
        return {};
    }
    for (char16_t& u : units)
        u = char16_t(cpu_to_le16(u));
    return units;
}

} // namespace vk
