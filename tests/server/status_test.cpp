// The status board's escaping of client-supplied names, and the endpoint's
// port. The served views themselves are fetched from the installed server
// by curl in scripts/check-install.
#include <gtest/gtest.h>

#include <unistd.h>

#include "status.h"

namespace vks {
namespace {

std::unique_ptr<StatusBoard> BoardWith(const std::string& file) {
    auto board = std::make_unique<StatusBoard>();
    board->Publish({{"10.0.0.5:2070", file, "standard", 1 << 20, 4 << 20, 12.5, 3, "sending"}}, {});
    return board;
}

TEST(StatusBoard, JsonEscapesNamesAndKeepsOnlyWellFormedUtf8) {
    const char* cases[][2] = {
        {"a\"b\\c", R"("a\"b\\c")"},
        {"t\tn\n\x1b[2J\x7f", R"("t\u0009n\u000a\u001b[2J\u007f")"},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        {"\xe9t\xc3", R"("\ufffdt\ufffd")"},                             // Latin-1, a cut sequence
        {"\xc0\xaf\xed\xa0\x80", R"("\ufffd\ufffd\ufffd\ufffd\ufffd")"}, // overlong, surrogate
    };
    for (auto& c : cases)
        EXPECT_NE(BoardWith(c[0])->Json().find(std::string("\"file\":") + c[1] + ","),
                  std::string::npos)
            << c[1];
}

TEST(StatusBoard, TableFitsTheWidthAndShowsNoControlBytes) {
    const auto board = BoardWith("x/" + std::string(200, 'x') + "\x1b]0;t\x07\xc3\xa9.img");
    for (int width : {20, 100}) {
        const std::string table = board->Table(width);
        EXPECT_EQ(table.size(), 3 * size_t(std::max(width, 72) + 1)) << table;
        for (char c : table)
            EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(uint8_t(c));
        EXPECT_NE(table.find(";t???.img"), std::string::npos) << table;
        EXPECT_NE(table.find("  25.0%"), std::string::npos) << table;
    }
}

TEST(StatusHttp, APortInUseIsRefusedAndStopReturns) {
    StatusBoard board;
    StatusHttp first(board), second(board);
    std::string error;
    uint16_t port = 18000 + uint16_t(getpid() % 2000);
    while (!first.Start("127.0.0.1", port, error))
        ++port;
    EXPECT_FALSE(second.Start("127.0.0.1", port, error));
    EXPECT_NE(error.find(std::to_string(port)), std::string::npos);
    first.Stop(); // at once after the start: the thread must not be left listening
    EXPECT_TRUE(second.Start("127.0.0.1", port, error)) << error;
}

} // namespace
} // namespace vks
