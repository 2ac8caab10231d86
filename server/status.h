// What the server shows about itself: one row per transfer or broadcast
// session member, and counters. The event loop publishes snapshots; the
// terminal table and the HTTP endpoint (JSON and Prometheus text) read them
// from other threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vks {

struct TransferRow {
    std::string client;  // "10.0.0.5:2070"
    std::string file;    // name as requested
    std::string flavour; // "standard", "enhanced", "broadcast", "security"
    uint64_t bytes = 0;  // sent so far (of the file, once)
    uint64_t total = 0;  // file size, 0 when unknown
    double mbps = 0;     // MB/s over the transfer so far
    uint64_t resends = 0;
    // "sending", "reading", "gathering", ... while it runs; an ended row's
    // state starts with "done", "failed", "dropped", "left", "ended",
    // "stopped" or "refused" (it then counts no more as an active transfer).
    std::string state;
};

struct ServerCounters {
    uint64_t transfersStarted = 0;
    uint64_t transfersDone = 0;
    uint64_t transfersFailed = 0;
    uint64_t refusedBusy = 0;  // beyond the limit of concurrent transfers
    uint64_t refusedNames = 0; // names outside the root, write requests, ...
    uint64_t malformedPackets = 0;
    uint64_t foreignPackets = 0; // from a port other than the transfer's
    uint64_t packetsSent = 0;
    uint64_t bytesSent = 0; // payload bytes
    uint64_t resends = 0;
    uint64_t securityRequests = 0;
    uint64_t securityRefused = 0; // rate-limited or unknown user
};

class StatusBoard {
  public:
    // Replaces the current snapshot (called by the event loop, a few times a
    // second at most). Thread-safe.
    void Publish(std::vector<TransferRow> rows, const ServerCounters& counters);
    std::string Json() const;           // {"counters":{...},"transfers":[...]}
    std::string Prometheus() const;     // text exposition format, tobrend_server_*
    std::string Table(int width) const; // the live terminal view, plain text

  private:
    mutable std::mutex mutex_;
    std::vector<TransferRow> rows_;
    ServerCounters counters_;
};

// A small HTTP endpoint on localhost serving /status.json and /metrics from a
// StatusBoard, in a thread of its own that waits on every connection at
// once: at most 32 connections, each closed 2 s after it came unless its
// request has arrived by then, and 5 s after that unless it has taken the
// answer; a new connection beyond 32 closes the oldest one that has not
// sent its request. One request a connection (no keep-alive).
class StatusHttp {
  public:
    explicit StatusHttp(const StatusBoard& board);
    ~StatusHttp();
    // Binds `address:port` (port 0: none); false with `error` on failure.
    bool Start(const std::string& address, uint16_t port, std::string& error);
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vks
