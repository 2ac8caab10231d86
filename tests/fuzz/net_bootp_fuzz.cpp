// Fuzzes DHCP replies: the acceptance check, the kept reply with its boot
// file, and every option walk of the BOOTP variables. Values must be
// bounded text and the boot file at most the file field's 128 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/bootp.h"
#include "net/bootpvars.h"

static void Check(bool condition) {
    if (!condition) std::abort();
}

static void Record(const char* prefix, const char* name, const char* value) {
    Check(std::strlen(prefix) + std::strlen(name) < 64);
    Check(std::strlen(value) < 1024);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > vk::kBootpSize) size = vk::kBootpSize;
    // The reply lives in a buffer of exactly its length, so that any read
    // past the bytes that arrived is caught.
    auto* reply = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    std::memcpy(reply, data, size);
    uint8_t hw[6] = {0x02, 0, 0, 0, 0, 0x07};
    static uint8_t request[vk::kBootpSize];
    vk::bootp_open(request, 1, nullptr, nullptr, hw);
    if (size >= 44) vk::bootp_check(request, reply, size);
    vk::SetBOOTPVars(reply, size, Record);
    if (size >= vk::kBootpVendor) {
        vk::AcceptBOOTPReply(reply, size);
        Check(std::strlen(vk::GetBootFile()) <= vk::kBootpFileSize);
        vk::SetBOOTPVars(vk::GetBOOTPReply(), vk::GetBOOTPReplyLength(), Record);
    }
    vk::ReadBOOTPVendor(reply, size, Record);
    std::free(reply);
    return 0;
}
