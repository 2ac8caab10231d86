// The status board's three views (JSON, Prometheus text, the terminal table)
// and the HTTP endpoint that serves the first two on localhost.
#include "status.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <list>
#include <thread>

namespace vks {

namespace {

constexpr const char* kFlavours[] = {"standard", "enhanced", "broadcast", "security"};

// A row that no longer moves: the event loop keeps ended transfers on the
// board for a while, so that the views show how they ended.
bool IsFinished(const std::string& state) {
    for (const char* word : {"done", "dropped", "failed", "refused", "ended", "left", "stopped"})
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

namespace {

// The endpoint's connections are served by one thread that waits in poll
// for all of them: a connection that sends nothing or sends slowly costs a
// slot and a little memory, never a worker, so the status page does not
// wait behind it. httplib parses the request and writes the answer from
// and into buffers; only a complete request head is handed to it.
constexpr size_t kMaxConnections = 32;                 // the oldest unfinished request makes room
constexpr size_t kMaxRequestHead = 8192;               // longer heads are dropped
constexpr auto kRequestTime = std::chrono::seconds(2); // from connect to the end of the head
constexpr auto kAnswerTime = std::chrono::seconds(5);  // to take the whole answer

using Clock = std::chrono::steady_clock;

std::string AddressText(const sockaddr_in& address, int& port) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    port = ntohs(address.sin_port);
    return text;
}

// One request, read already, and its answer, kept for the loop to send.
class BufferedExchange final : public httplib::Stream {
  public:
    BufferedExchange(int fd, const std::string& request, std::string& answer)
        : fd_(fd), request_(request), answer_(answer) {}
    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override {
        size = std::min(size, request_.size() - read_);
        std::memcpy(ptr, request_.data() + read_, size);
        read_ += size;
        return ssize_t(size);
    }
    ssize_t write(const char* ptr, size_t size) override {
        answer_.append(ptr, size);
        return ssize_t(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        Name(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        Name(getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    void Name(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        port = 0;
        ip = get(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0
                 ? AddressText(address, port)
                 : "";
    }
    int fd_;
    const std::string& request_;
    std::string& answer_;
    size_t read_ = 0;
};

// httplib's routing and answers for a request read elsewhere.
class Routes : public httplib::Server {
  public:
    void Serve(BufferedExchange& exchange) {
        bool closed = true;
        process_request(exchange, true, closed, [](httplib::Request&) {});
    }
};

struct Connection {
    int fd = -1;
    Clock::time_point deadline;
    std::string request; // the head so far
    std::string answer;  // once the head is complete
    size_t sent = 0;
    bool answering = false;
};

bool HeadComplete(const std::string& request) {
    return request.find("\r\n\r\n") != std::string::npos ||
           request.find("\n\n") != std::string::npos;
}

// Closes a connection; unread input is read first, since closing over it
// would reset the connection and could cut the answer short at the client.
void Close(Connection& c) {
    char scrap[1024];
    while (recv(c.fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
    }
    close(c.fd);
    c.fd = -1;
}

} // namespace

struct StatusHttp::Impl {
    explicit Impl(const StatusBoard& board) {
        routes.Get("/status.json", [&board](const httplib::Request&, httplib::Response& response) {
            response.set_content(board.Json(), "application/json");
        });
        routes.Get("/metrics", [&board](const httplib::Request&, httplib::Response& response) {
            response.set_content(board.Prometheus(), "text/plain; version=0.0.4; charset=utf-8");
        });
    }
    Routes routes;
    int listener = -1;
    int wake = -1; // an eventfd that Stop writes
    std::thread thread;
    std::list<Connection> connections; // in the order they came

    void Run();
    // Out of descriptors, the listener stays readable: it is left alone
    // until then rather than polled in a busy loop.
    Clock::time_point acceptAgain{};

    void Accept(Clock::time_point now);
    // Reads or sends what the connection allows; false when it is done.
    bool Turn(Connection& c, Clock::time_point now);
};

void StatusHttp::Impl::Accept(Clock::time_point now) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptAgain = now + std::chrono::milliseconds(100);
            return;
        }
        if (connections.size() >= kMaxConnections) {
            const auto oldest = std::find_if(connections.begin(), connections.end(),
                                             [](const Connection& c) { return !c.answering; });
            if (oldest == connections.end()) {
                close(fd); // every slot is sending an answer: these end soon
                continue;
            }
            Close(*oldest);
            connections.erase(oldest);
        }
        connections.push_back({fd, now + kRequestTime, {}, {}, 0, false});
    }
}

bool StatusHttp::Impl::Turn(Connection& c, Clock::time_point now) {
    if (!c.answering) {
        char buffer[2048];
        for (;;) {
            const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) return false;
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                return false;
            }
            c.request.append(buffer, size_t(n));
            if (HeadComplete(c.request)) break;
            if (c.request.size() > kMaxRequestHead) return false;
        }
        if (!HeadComplete(c.request)) return true;
        BufferedExchange exchange(c.fd, c.request, c.answer);
        routes.Serve(exchange);
        c.answering = true;
        c.deadline = now + kAnswerTime;
    }
    while (c.sent < c.answer.size()) {
        const ssize_t n = send(c.fd, c.answer.data() + c.sent, c.answer.size() - c.sent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.sent += size_t(n);
    }
    return false;
}

void StatusHttp::Impl::Run() {
    std::vector<pollfd> polled;
    for (;;) {
        const bool accepting = Clock::now() >= acceptAgain;
        polled.assign({{wake, POLLIN, 0}, {listener, short(accepting ? POLLIN : 0), 0}});
        auto nearest = accepting ? Clock::time_point::max() : acceptAgain;
        for (const Connection& c : connections) {
            polled.push_back({c.fd, short(c.answering ? POLLOUT : POLLIN), 0});
            nearest = std::min(nearest, c.deadline);
        }
        int timeout = -1;
        if (nearest != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now());
            timeout = int(std::max<int64_t>(0, left.count()));
        }
        if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) return;
        if (polled[0].revents != 0) return;
        const auto now = Clock::now();
        // The connections polled are the first ones of the list, in order;
        // those accepted below wait for the next turn.
        size_t index = 2;
        for (auto it = connections.begin(); index < polled.size(); ++index) {
            const bool done =
                (polled[index].revents != 0 && !Turn(*it, now)) || now >= it->deadline;
            if (done) {
                Close(*it);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        if (polled[1].revents != 0) Accept(now);
    }
}

StatusHttp::StatusHttp(const StatusBoard& board) : impl_(std::make_unique<Impl>(board)) {}

StatusHttp::~StatusHttp() {
    Stop();
}

bool StatusHttp::Start(const std::string& address, uint16_t port, std::string& error) {
    if (port == 0 || impl_->listener >= 0) return true;
    error = "status endpoint: cannot listen on " + address + ":" + std::to_string(port);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) return false;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Address reuse after a restart, but no port sharing, with which a
    // second server would quietly bind the same port.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd, 64) != 0) {
        close(fd);
        return false;
    }
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        close(fd);
        return false;
    }
    error.clear();
    impl_->listener = fd;
    impl_->wake = wake;
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
    return true;
}

void StatusHttp::Stop() {
    if (impl_->listener < 0) return;
    const uint64_t one = 1;
    if (write(impl_->wake, &one, sizeof one) < 0) {
        // An eventfd counter this far from overflow always takes one more.
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    for (Connection& c : impl_->connections)
        Close(c);
    impl_->connections.clear();
    close(impl_->listener);
    close(impl_->wake);
    impl_->listener = impl_->wake = -1;
}

} // namespace vks
