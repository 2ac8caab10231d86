#include <gtest/gtest.h>

#include <malloc.h>

#include <cstring>
#include <new>
#include <vector>

#include "child.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {
namespace {

using test::RunChild;

TEST(Memory, ParagraphBlocks) {
    EXPECT_EQ(HeapSize(), 40960);
    EXPECT_EQ(ParagraphsFor(0), 0);
    EXPECT_EQ(ParagraphsFor(1), 1);
    EXPECT_EQ(ParagraphsFor(16), 1);
    EXPECT_EQ(ParagraphsFor(17), 2);
    EXPECT_EQ(ParagraphsFor(0xFFFFFFFF), 0xFFFF);

    auto* block = static_cast<uint8_t*>(Malloc(2));
    std::memset(block, 0xAB, 32); // the whole block is usable
    block = static_cast<uint8_t*>(Realloc(block, 100));
    EXPECT_EQ(block[31], 0xAB);
    std::memset(block, 0, 1600);
    block = static_cast<uint8_t*>(Realloc(block, 0)); // still a valid block
    Free(block);
    void* empty = Malloc(0);
    EXPECT_NE(empty, nullptr);
    Free(empty);

    void* slot = nullptr;
    EXPECT_EQ(SMalloc(&slot, 4), slot);
    SFree(&slot);
    EXPECT_EQ(slot, nullptr);
}

// The block sizes themselves: exact under AddressSanitizer, whose allocator
// reports the size asked for; at least that size otherwise.
void ExpectBlockBytes(void* block, size_t bytes) {
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(malloc_usable_size(block), bytes);
#else
    EXPECT_GE(malloc_usable_size(block), bytes);
#endif
}

TEST(Memory, BlocksAreWholeParagraphs) {
    void* block = Malloc(3);
    ExpectBlockBytes(block, 48);
    block = Realloc(block, 5);
    ExpectBlockBytes(block, 80);
    Free(block);
    char* copy = StrDup("fifteen chars..");
    ExpectBlockBytes(copy, 16);
    Free(copy);
    copy = StrDup("sixteen chars...");
    ExpectBlockBytes(copy, 32);
    EXPECT_STREQ(copy, "sixteen chars...");
    Free(copy);
}

TEST(Memory, ExtendedPages) {
    EXPECT_EQ(GetExtMem(), kDefaultExtPages);
    std::vector<uint8_t> page(kExtPageBytes), back(kExtPageBytes, 0x55);
    for (size_t i = 0; i < page.size(); ++i)
        page[i] = uint8_t(i * 7);

    // A page never written leaves the destination alone.
    CopyFromExtMem(back.data(), 3, kExtPageWords);
    EXPECT_EQ(back[0], 0x55);

    CopyToExtMem(page.data(), 3, kExtPageWords); // exactly one page
    CopyFromExtMem(back.data(), 3, kExtPageWords);
    EXPECT_EQ(page, back);

    // Larger counts are cut to the page (buffers sized so ASan sees any overrun).
    std::vector<uint8_t> big(2 * 40000, 0x11), bigBack(2 * 40000, 0x22);
    CopyToExtMem(big.data(), 4, 40000);
    CopyFromExtMem(bigBack.data(), 4, 40000);
    EXPECT_EQ(bigBack[kExtPageBytes - 1], 0x11);
    EXPECT_EQ(bigBack[kExtPageBytes], 0x22);

    // Pages beyond the table are ignored.
    CopyToExtMem(page.data(), kDefaultExtPages, 10);
    std::fill(back.begin(), back.end(), 0x66);
    CopyFromExtMem(back.data(), kDefaultExtPages, 10);
    EXPECT_EQ(back[0], 0x66);

    DropExtMem();
    EXPECT_EQ(nb_ext_pages, 0);
    CopyFromExtMem(back.data(), 3, 10);
    EXPECT_EQ(back[0], 0x66);
    nb_ext_pages = kDefaultExtPages;
}

TEST(Memory, AboveMemorySaveArea) {
    const char text[14] = "variables=1\xff"; // 12 bytes, NUL and a spare byte: 7 words
    PushAboveMemory(text, 7);
    char back[14] = {};
    PopAboveMemory(back, 7);
    EXPECT_EQ(std::memcmp(back, text, 13), 0);

    // A pop asking for more than was pushed copies only what was pushed.
    PushAboveMemory("ab", 1);
    char wide[8];
    std::memset(wide, 'z', sizeof wide);
    PopAboveMemory(wide, 4);
    EXPECT_EQ(wide[0], 'a');
    EXPECT_EQ(wide[2], 'z');
    // Without a push, a pop does nothing; a second push replaces the first.
    PopAboveMemory(wide, 4);
    PushAboveMemory("xy", 1);
    PushAboveMemory("uv", 1);
    PopAboveMemory(wide, 1);
    EXPECT_EQ(wide[0], 'u');
}

TEST(Memory, MoveToStart) {
    uint8_t buffer[16] = {0, 0, 0, 0, 'a', 'b', 'c'};
    uint8_t* start = buffer + 4;
    uint8_t* end = buffer + 7;
    EXPECT_EQ(MoveToStart(buffer, &start, &end), 3);
    EXPECT_EQ(start, buffer);
    EXPECT_EQ(end, buffer + 3);
    EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);
}

TEST(Memory, ReportsAndNewHandlerStopInOrder) {
    auto r = RunChild([] {
        InitIO();
        MemoryError(100);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "---\r\nMemory Allocation Error\r\nSize asked       : 1600Bytes\r\n"
                     "Memory available : 640KB\r\n---\r\nScript halted\r\n");

    r = RunChild([] {
        InitIO();
        InstallNewHandler();
        std::get_new_handler()();
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Malloc failed, not enough memory\r\n");
}

} // namespace
} // namespace vk
