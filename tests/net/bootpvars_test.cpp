// Crafted BOOTP/DHCP replies: which are taken, which boot file they name,
// and the variables they publish, as a table of cases.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "net/bootp.h"
#include "net/bootpvars.h"

namespace vk {
namespace {

using Bytes = std::vector<uint8_t>;
std::map<std::string, std::string> vars;

void Record(const char* prefix, const char* name, const char* value) {
    vars[std::string(prefix) + name] = value;
}

// A reply of `length` bytes: the given vendor options after the cookie
// (none when `cookie` is false), a file field and a server-name field.
Bytes Reply(const Bytes& options, const std::string& file = "", const std::string& sname = "",
            size_t length = 548, bool cookie = true) {
    Bytes r(std::max<size_t>(length, 240 + options.size()), 0);
    r[0] = 2, r[1] = 1, r[2] = 6;
    r[4] = 0xD2, r[5] = 0x04;
    r[28] = 0x02, r[33] = 0x07;
    std::memcpy(&r[108], file.data(), std::min<size_t>(file.size(), 128));
    std::memcpy(&r[44], sname.data(), std::min<size_t>(sname.size(), 64));
    if (cookie) {
        const uint8_t magic[4] = {99, 130, 83, 99};
        std::memcpy(&r[236], magic, 4);
        std::memcpy(&r[240], options.data(), options.size());
    }
    r.resize(length);
    return r;
}

std::map<std::string, std::string> Publish(const Bytes& reply) {
    vars.clear();
    AcceptBOOTPReply(reply.data(), reply.size());
    SetBOOTPVars(reply.data(), reply.size(), Record);
    return vars;
}

struct Case {
    const char* what;
    Bytes reply;
    std::map<std::string, std::string> expected; // "" means: not set
};

TEST(BootpVars, TableOfReplies) {
    Bytes overloadFile = {52, 1, 3, 255};
    Bytes inFile = {67, 4, 'a', '.', 't', 'b', 43, 2, 1, 2, 255};
    Bytes inSname = {12, 3, 'h', 'o', 's', 255};
    std::string fileOpts(inFile.begin(), inFile.end()), snameOpts(inSname.begin(), inSname.end());
    const std::vector<Case> cases = {
        {"no cookie: the fixed fields only",
         Reply({1, 4, 255, 0, 0, 0}, "f.tbr", "srv", 548, false),
         {{"BOOTP-Client-ID", "02 00 00 00 00 07"},
          {"BOOTP-Bootfile", "f.tbr"},
          {"BOOTP-Server-Name", "srv"},
          {"BOOTP-Subnet-Mask", ""}}},
        {"two routers, a negative offset, a 16-bit MTU",
         Reply({3, 8, 10, 0, 0, 1, 10, 0, 0, 2, 2, 4, 0xFF, 0xFF, 0xFF, 0xF0, 26, 2, 5, 0xDC, 255}),
         {{"BOOTP-Routers", "10.0.0.1 10.0.0.2"},
          {"BOOTP-Time-Offset", "-16"},
          {"BOOTP-Interface-MTU", "1500"}}},
        {"unknown kinds: text or hexadecimal",
         Reply({43, 4, 'a', 'b', 'c', 0, 200, 2, 1, 2, 53, 1, 5, 255}),
         {{"BOOTP-Option-43", "abc"}, {"BOOTP-Option-200", "01 02"}, {"DHCP-Message-Type", "5"}}},
        {"a repeated option: the later value stands; padding skipped",
         Reply({12, 1, 'a', 0, 0, 0, 12, 1, 'b', 255}),
         {{"BOOTP-Host-Name", "b"}}},
        {"overload 3: options from both fields, no raw server name",
         Reply(overloadFile, fileOpts, snameOpts),
         {{"BOOTP-Bootfile", "a.tb"},
          {"BOOTP-Option-43", "01 02"},
          {"BOOTP-Host-Name", "hos"},
          {"BOOTP-Server-Name", ""}}},
        {"an option running past the bytes that arrived is not read",
         Reply({15, 200, 'x'}, "", "", 300),
         {{"BOOTP-Domain-Name", ""}, {"BOOTP-Client-ID", "02 00 00 00 00 07"}}},
        {"an address too short gives an empty value; length 255 ends the walk",
         Reply({1, 3, 1, 2, 3, 17, 255, 'r'}),
         {{"BOOTP-Subnet-Mask", ""}, {"BOOTP-Root-Path", ""}}},
        {"no file field: the boot file comes from option 67",
         Reply({67, 6, 'x', '/', 'y', '.', 't', 'b', 255}),
         {{"BOOTP-Bootfile", "x/y.tb"}}},
    };
    for (const Case& c : cases) {
        auto got = Publish(c.reply);
        for (const auto& [name, value] : c.expected) {
            auto it = got.find(name);
            EXPECT_EQ(it == got.end() ? "" : it->second, value) << c.what << ": " << name;
        }
    }
}

TEST(BootpVars, OverloadedFileFieldIsNoName) {
    Bytes reply = Reply({52, 1, 1, 255}, std::string("\x0c\x02hi\xff", 5));
    AcceptBOOTPReply(reply.data(), reply.size());
    EXPECT_STREQ(GetBootFile(), "");
}

TEST(BootpCheck, WhichRepliesAreTaken) {
    uint8_t hw[6] = {0x02, 0, 0, 0, 0, 0x07};
    uint8_t request[kBootpSize];
    bootp_open(request, 1, nullptr, nullptr, hw);
    Bytes ok = Reply({255});
    EXPECT_EQ(bootp_check(request, ok.data(), ok.size()), BootpVerdict::Accept);
    Bytes other = ok;
    other[33] = 0x08;
    EXPECT_EQ(bootp_check(request, other.data(), other.size()), BootpVerdict::Ignore);
    Bytes xid = ok;
    xid[4] = 0x99;
    EXPECT_EQ(bootp_check(request, xid.data(), xid.size()), BootpVerdict::Refuse);
    EXPECT_EQ(bootp_check(request, ok.data(), 299), BootpVerdict::Refuse);
    Bytes op = ok;
    op[0] = 1;
    EXPECT_EQ(bootp_check(request, op.data(), op.size()), BootpVerdict::Refuse);
}

} // namespace
} // namespace vk
