// The status board: a row per transfer and broadcast member (and those that
// ended lately), published for the HTTP endpoint and drawn as a live table
// on a terminal.
#include <sys/ioctl.h>
#include <unistd.h>

#include "loop.h"
#include "security.h"

namespace vks {

namespace {

constexpr double kEndedShown = 10.0; // seconds an ended transfer stays on the board
constexpr size_t kEndedRows = 64;

} // namespace

TransferRow Server::Row(const Transfer& t, TimePoint now) const {
    TransferRow r;
    r.client = Peer(t.client);
    r.file = Printable(t.name);
    r.flavour = FlavourName(t.flavour);
    r.bytes = std::min(t.size, t.acked * t.blksize);
    r.total = t.size;
    r.mbps = double(r.bytes) / std::max(1e-6, Since(t.start, now)) / 1e6;
    r.resends = t.resends;
    r.state = t.waitingDisk ? "reading" : "sending";
    return r;
}

TransferRow Server::Row(const Member& m, const Session& s, TimePoint now) const {
    TransferRow r;
    r.client = Peer(m.addr);
    r.file = Printable(s.name);
    r.flavour = "broadcast";
    uint64_t windows = m.acked < 0 ? 0 : uint64_t(m.acked + 1);
    r.bytes = std::min(s.size, windows * kBroadcastWindow * kEnhancedBlock);
    r.total = s.size;
    r.mbps = s.Started() ? double(r.bytes) / std::max(1e-6, Since(s.start, now)) / 1e6 : 0;
    r.resends = m.asks;
    r.state = s.Started() ? "sending" : "gathering";
    return r;
}

void Server::Ended(TransferRow row) {
    ended_.emplace_back(Clock::now(), std::move(row));
    while (ended_.size() > kEndedRows)
        ended_.pop_front();
}

void Server::Publish(TimePoint now) {
    std::vector<TransferRow> rows;
    for (auto& [id, t] : transfers_)
        rows.push_back(Row(t, now));
    for (auto& [id, m] : members_) {
        auto it = sessions_.find(m.session);
        if (it != sessions_.end()) rows.push_back(Row(m, it->second, now));
    }
    while (!ended_.empty() && Since(ended_.front().first, now) > kEndedShown)
        ended_.pop_front();
    for (auto& [when, row] : ended_)
        rows.push_back(row);
    // Checks refused unverified by the security service's limits count with
    // the names it does not answer.
    ServerCounters shown = counters_;
    if (security_) shown.securityRefused += security_->Totals().refused;
    board_.Publish(std::move(rows), shown);
    if (terminal_ && now >= nextDraw_) {
        nextDraw_ = After(now, 1.0);
        winsize w{};
        int width = ioctl(2, TIOCGWINSZ, &w) == 0 && w.ws_col ? w.ws_col : 100;
        std::string text = "\033[H\033[2J" + board_.Table(width) + "\n";
        for (auto& line : recent_)
            text += line + "\n";
        (void)!write(2, text.data(), text.size());
    }
}

} // namespace vks
