// The status board's three views (JSON, Prometheus text, the terminal table)
// and the HTTP endpoint that serves the first two on localhost.
#include "status.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <thread>

namespace vks {

namespace {

constexpr const char* kFlavours[] = {"standard", "enhanced", "broadcast", "security"};

// A row that no longer moves: the event loop keeps finished transfers on the
// board for a while, so that the views show how they ended.
bool IsFinished(const std::string& state) {
    for (const char* word : {"done", "dropped", "failed", "refused"})
        if (state.rfind(word, 0) == 0) return true;
    return false;
}

std::string Number(double value, int decimals) {
    if (!std::isfinite(value)) value = 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The length of the well-formed UTF-8 sequence at text[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0.
size_t Utf8Length(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return uint8_t(text[k]); };
    const uint8_t lead = byte(i);
    size_t length;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, code = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, code = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, code = lead & 0x07;
    else
        return 0;
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// A JSON string: quotes, backslashes and control characters escaped, bytes
// that are not well-formed UTF-8 (file names are bytes) replaced by U+FFFD.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = uint8_t(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            out += escaped;
        } else if (c >= 0x80) {
            const size_t length = Utf8Length(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        } else {
            out += char(c);
        }
        ++i;
    }
    return out + "\"";
}

// A Prometheus label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// What a terminal may be shown of a client-supplied name: printable ASCII,
// every other byte as "?", so that no name can move the cursor or change
// the terminal's state.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7F) c = '?';
    return out;
}

// Fits text into width columns: cut at the end, or at the start for file
// names, whose ends tell most.
std::string Fit(const std::string& text, size_t width, bool keepEnd) {
    if (text.size() <= width) return text + std::string(width - text.size(), ' ');
    if (width == 0) return "";
    if (keepEnd) return "~" + text.substr(text.size() - (width - 1));
    return text.substr(0, width - 1) + "~";
}

struct Counter {
    const char* name;
    const char* help;
    uint64_t ServerCounters::*field;
};

constexpr Counter kCounters[] = {
    {"transfers_started", "Transfers started (each broadcast session member counts once).",
     &ServerCounters::transfersStarted},
    {"transfers_done", "Transfers that ended with the whole file sent.",
     &ServerCounters::transfersDone},
    {"transfers_failed", "Transfers that ended early (error, timeout, dropped member).",
     &ServerCounters::transfersFailed},
    {"refused_busy", "Requests refused because the limit of concurrent transfers was reached.",
     &ServerCounters::refusedBusy},
    {"refused_names", "Requests refused for their name or kind (outside the root, writes).",
     &ServerCounters::refusedNames},
    {"malformed_packets", "Packets dropped as malformed.", &ServerCounters::malformedPackets},
    {"foreign_packets", "Packets from a port other than their transfer's.",
     &ServerCounters::foreignPackets},
    {"packets_sent", "Packets sent.", &ServerCounters::packetsSent},
    {"bytes_sent", "File bytes sent, resends included.", &ServerCounters::bytesSent},
    {"resends", "Blocks or windows sent again.", &ServerCounters::resends},
    {"security_requests", "Requests answered on the security port.",
     &ServerCounters::securityRequests},
    {"security_refused", "Security requests refused (rate limit, user not allowed).",
     &ServerCounters::securityRefused},
};

} // namespace

void StatusBoard::Publish(std::vector<TransferRow> rows, const ServerCounters& counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_ = std::move(rows);
    counters_ = counters;
}

std::string StatusBoard::Json() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = "{\"counters\":{";
    bool first = true;
    for (const Counter& counter : kCounters) {
        if (!first) out += ',';
        first = false;
        out += JsonString(counter.name) + ":" + std::to_string(counters_.*counter.field);
    }
    out += "},\"transfers\":[";
    first = true;
    for (const TransferRow& row : rows_) {
        if (!first) out += ',';
        first = false;
        out += "{\"client\":" + JsonString(row.client) + ",\"file\":" + JsonString(row.file) +
               ",\"flavour\":" + JsonString(row.flavour) +
               ",\"bytes\":" + std::to_string(row.bytes) +
               ",\"total\":" + std::to_string(row.total) + ",\"progress\":" +
               (row.total == 0 ? std::string("null")
                               : Number(100.0 * double(row.bytes) / double(row.total), 1)) +
               ",\"mbps\":" + Number(row.mbps, 3) + ",\"resends\":" + std::to_string(row.resends) +
               ",\"state\":" + JsonString(row.state) + "}";
    }
    return out + "]}\n";
}

std::string StatusBoard::Prometheus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const Counter& counter : kCounters) {
        const std::string name = std::string("tobrend_server_") + counter.name + "_total";
        out += "# HELP " + name + " " + counter.help + "\n";
        out += "# TYPE " + name + " counter\n";
        out += name + " " + std::to_string(counters_.*counter.field) + "\n";
    }
    out += "# HELP tobrend_server_active_transfers Transfers in progress, by flavour.\n";
    out += "# TYPE tobrend_server_active_transfers gauge\n";
    for (const char* flavour : kFlavours) {
        uint64_t active = 0;
        for (const TransferRow& row : rows_)
            if (row.flavour == flavour && !IsFinished(row.state)) ++active;
        out += "tobrend_server_active_transfers{flavour=\"" + LabelValue(flavour) + "\"} " +
               std::to_string(active) + "\n";
    }
    return out;
}

std::string StatusBoard::Table(int width) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Fixed columns: client 21, progress 7, MB/s 8, resends 7, state 14, and
    // the blanks between them; the file name takes what is left, at least 10.
    constexpr size_t kClient = 21, kProgress = 7, kRate = 8, kResends = 7, kState = 14;
    constexpr size_t kFixed = kClient + kProgress + kRate + kResends + kState + 5;
    const size_t columns = std::max(size_t(std::max(width, 0)), kFixed + 10);
    const size_t fileWidth = columns - kFixed;

    uint64_t active = 0;
    for (const TransferRow& row : rows_)
        if (!IsFinished(row.state)) ++active;
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  "%" PRIu64 " active, %" PRIu64 " done, %" PRIu64 " failed, %" PRIu64
                  " refused; %" PRIu64 " resends; %.1f MB sent",
                  active, counters_.transfersDone, counters_.transfersFailed,
                  counters_.refusedBusy + counters_.refusedNames, counters_.resends,
                  double(counters_.bytesSent) / 1e6);
    std::string out = Fit(summary, columns, false) + "\n";
    out += Fit("CLIENT", kClient, false) + " " + Fit("FILE", fileWidth, false) + " " +
           Fit("   DONE", kProgress, false) + " " + Fit("    MB/s", kRate, false) + " " +
           Fit("RESENDS", kResends, false) + " " + Fit("STATE", kState, false) + "\n";
    for (const TransferRow& row : rows_) {
        char progress[32] = "      -";
        if (row.total != 0)
            std::snprintf(progress, sizeof progress, "%6.1f%%",
                          std::min(100.0, 100.0 * double(row.bytes) / double(row.total)));
        char rate[32];
        std::snprintf(rate, sizeof rate, "%8s", Number(row.mbps, 2).c_str());
        char resends[32];
        std::snprintf(resends, sizeof resends, "%7" PRIu64, row.resends);
        out += Fit(Printable(row.client), kClient, false) + " " +
               Fit(Printable(row.file), fileWidth, true) + " " + Fit(progress, kProgress, false) +
               " " + Fit(rate, kRate, false) + " " + Fit(resends, kResends, false) + " " +
               Fit(Printable(row.state), kState, false) + "\n";
    }
    return out;
}

struct StatusHttp::Impl {
    explicit Impl(const StatusBoard& b) : board(b) {}
    const StatusBoard& board;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> finished{false};
};

StatusHttp::StatusHttp(const StatusBoard& board) : impl_(std::make_unique<Impl>(board)) {}

StatusHttp::~StatusHttp() {
    Stop();
}

bool StatusHttp::Start(const std::string& address, uint16_t port, std::string& error) {
    if (port == 0 || impl_->server) return true;
    auto server = std::make_unique<httplib::Server>();
    // Two workers are plenty for a monitoring scraper and a curious operator;
    // the library's default is a pool per processor.
    server->new_task_queue = [] { return new httplib::ThreadPool(2); };
    server->set_read_timeout(2, 0);
    server->set_write_timeout(2, 0);
    server->set_keep_alive_max_count(10);
    // Address reuse after a restart, but not the library's default port
    // sharing, with which a second server would quietly bind the same port.
    server->set_socket_options([](socket_t sock) {
        const int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    const StatusBoard& board = impl_->board;
    server->Get("/status.json", [&board](const httplib::Request&, httplib::Response& response) {
        response.set_content(board.Json(), "application/json");
    });
    server->Get("/metrics", [&board](const httplib::Request&, httplib::Response& response) {
        response.set_content(board.Prometheus(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (!server->bind_to_port(address, port)) {
        error = "status endpoint: cannot listen on " + address + ":" + std::to_string(port);
        return false;
    }
    impl_->server = std::move(server);
    impl_->finished = false;
    impl_->thread = std::thread([impl = impl_.get()] {
        impl->server->listen_after_bind();
        impl->finished = true;
    });
    return true;
}

void StatusHttp::Stop() {
    if (!impl_->server) return;
    // The library's stop() acts only on a server that is listening already:
    // wait until the thread has got that far (or has given up).
    while (!impl_->finished && !impl_->server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->server.reset();
}

} // namespace vks
