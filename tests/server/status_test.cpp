// The status board's views, and the HTTP endpoint fetched over loopback.
#include <gtest/gtest.h>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "status.h"

namespace vks {
namespace {

TransferRow Row(std::string client, std::string file, std::string flavour, std::string state) {
    TransferRow row;
    row.client = std::move(client);
    row.file = std::move(file);
    row.flavour = std::move(flavour);
    row.bytes = 1 << 20;
    row.total = 4 << 20;
    row.mbps = 12.5;
    row.resends = 3;
    row.state = std::move(state);
    return row;
}

TEST(StatusBoard, JsonEscapesEveryString) {
    const struct {
        std::string file, json;
    } cases[] = {
        {"boot/img", R"("boot/img")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"tab\there\n\x1b[2J\x7f", R"("tab\u0009here\u000a\u001b[2J\u007f")"},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},           // UTF-8 kept
        {"\xe9t\xc3", R"("\ufffdt\ufffd")"},          // Latin-1 and a cut sequence
        {"\xc0\xaf", R"("\ufffd\ufffd")"},            // overlong "/"
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},  // a surrogate
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""}, // four bytes
    };
    for (const auto& c : cases) {
        StatusBoard board;
        board.Publish({Row("10.0.0.5:2070", c.file, "standard", "sending")}, {});
        const std::string json = board.Json();
        EXPECT_NE(json.find("\"file\":" + c.json + ","), std::string::npos) << json;
    }
    StatusBoard board;
    ServerCounters counters;
    counters.transfersStarted = 7;
    TransferRow unknownSize = Row("c", "f", "broadcast", "waiting");
    unknownSize.total = 0;
    board.Publish({unknownSize}, counters);
    EXPECT_EQ(board.Json(),
              "{\"counters\":{\"transfers_started\":7,\"transfers_done\":0,\"transfers_failed\":0,"
              "\"refused_busy\":0,\"refused_names\":0,\"malformed_packets\":0,"
              "\"foreign_packets\":0,\"packets_sent\":0,\"bytes_sent\":0,\"resends\":0,"
              "\"security_requests\":0,\"security_refused\":0},\"transfers\":[{\"client\":\"c\","
              "\"file\":\"f\",\"flavour\":\"broadcast\",\"bytes\":1048576,\"total\":0,"
              "\"progress\":null,\"mbps\":12.500,\"resends\":3,\"state\":\"waiting\"}]}\n");
}

TEST(StatusBoard, PrometheusCountersAndActiveGauge) {
    StatusBoard board;
    ServerCounters counters;
    counters.resends = 42;
    board.Publish({Row("a", "f", "broadcast", "sending"), Row("b", "f", "broadcast", "waiting"),
                   Row("c", "f", "broadcast", "dropped: no answer"),
                   Row("d", "g", "standard", "done")},
                  counters);
    const std::string text = board.Prometheus();
    for (const char* line : {
             "# TYPE tobrend_server_resends_total counter\ntobrend_server_resends_total 42\n",
             "# TYPE tobrend_server_active_transfers gauge\n",
             "tobrend_server_active_transfers{flavour=\"broadcast\"} 2\n",
             "tobrend_server_active_transfers{flavour=\"standard\"} 0\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST(StatusBoard, TableFitsTheWidthAndShowsNoControlBytes) {
    StatusBoard board;
    board.Publish({Row("10.0.0.5:2070", "images/" + std::string(200, 'x') + "/win.img", "broadcast",
                       "sending"),
                   Row("10.0.0.6:2070", "evil\x1b]0;title\x07\xc3\xa9", "standard", "done")},
                  {});
    for (int width : {20, 72, 80, 132}) {
        const std::string table = board.Table(width);
        width = std::max(width, 72); // narrower terminals get the narrowest table
        size_t lines = 0;
        for (size_t start = 0; start < table.size(); ++lines) {
            const size_t end = table.find('\n', start);
            ASSERT_NE(end, std::string::npos);
            EXPECT_EQ(end - start, size_t(width)) << table.substr(start, end - start);
            start = end + 1;
        }
        EXPECT_EQ(lines, 4u);
        for (char c : table)
            EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(uint8_t(c));
        EXPECT_NE(table.find("/win.img"), std::string::npos);
        EXPECT_NE(table.find(width >= 80 ? "evil?]0;title???" : "~;title???"), std::string::npos);
        EXPECT_NE(table.find("  25.0%"), std::string::npos);
    }
}

uint16_t FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    close(s);
    return ntohs(address.sin_port);
}

TEST(StatusHttp, ServesJsonAndMetricsAndStops) {
    StatusBoard board;
    ServerCounters counters;
    counters.packetsSent = 5;
    board.Publish({Row("10.0.0.5:2070", "boot/img", "enhanced", "sending")}, counters);
    const uint16_t port = FreePort();
    StatusHttp http(board);
    std::string error;
    ASSERT_TRUE(http.Start("127.0.0.1", port, error)) << error;

    // A second endpoint on the same port is refused with a message.
    StatusHttp second(board);
    EXPECT_FALSE(second.Start("127.0.0.1", port, error));
    EXPECT_NE(error.find(std::to_string(port)), std::string::npos);

    httplib::Client client("127.0.0.1", port);
    auto json = client.Get("/status.json");
    ASSERT_TRUE(json);
    EXPECT_EQ(json->status, 200);
    EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(json->body, board.Json());
    auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("tobrend_server_packets_sent_total 5\n"), std::string::npos);
    auto missing = client.Get("/other");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);

    http.Stop();
    http.Stop();
    httplib::Client after("127.0.0.1", port);
    EXPECT_FALSE(after.Get("/metrics"));
    // Started and stopped at once: the thread is not left behind.
    StatusHttp quick(board);
    ASSERT_TRUE(quick.Start("127.0.0.1", FreePort(), error)) << error;
    quick.Stop();
}

} // namespace
} // namespace vks
