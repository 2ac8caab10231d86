// A broadcast session's windows: passes that send them (first, or again for
// members that lack them, twice at once while loss is high), single
// packets sent again on request, the acknowledgements that move the oldest
// window on and let the next ones go out, and the timer that resends when
// they come late. Every change of a session's phase is made in `Enter`.
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "loop.h"

namespace vks {

namespace {

// Packets a member may ask for again between two windows it acknowledges
// (a share of the window: a client that lost more asks for the window).
constexpr uint64_t kRepairShare = kBroadcastWindow / 2;

} // namespace

// The phases and the moves between them (see `Phase`): Gathering to
// Draining when the session starts (its first pass follows at once),
// Draining to Streaming or Repairing when a pass begins, back to Draining
// when the last pass ends or the members hold the window of the pass under
// way, and any phase to Ended.
void Server::Enter(Session& s, Phase phase) {
    bool passing = phase == Phase::Streaming || phase == Phase::Repairing;
    if (s.phase == Phase::Ended || phase == Phase::Gathering || (passing && !s.Started()))
        return Log("broadcast session %d: no move from phase %d to %d", s.id, int(s.phase),
                   int(phase));
    s.phase = phase;
    if (passing) s.timer = TimePoint::max();
}

// True when every member keeps the next window's packets while it waits for
// the current one: then one window more may go out before the current one
// is acknowledged by all, and the stream does not stop for a round trip.
uint64_t Server::WindowsAhead(const Session& s) const {
    uint64_t ahead = kMostAhead;
    for (int mid : s.members) {
        auto it = members_.find(mid);
        ahead = std::min<uint64_t>(ahead, it == members_.end() ? 0 : it->second.ahead);
    }
    return ahead;
}

// The next waiting pass begins (the caller queues the session).
void Server::StartPass(Session& s) {
    s.passWindow = s.passes.front();
    s.passes.pop_front();
    s.copy = 0;
    s.slot = 0;
    s.slotEnd = std::min(kBroadcastWindow, s.packets - s.passWindow * kBroadcastWindow);
    Enter(s, s.At(s.passWindow).resent ? Phase::Repairing : Phase::Streaming);
}

// One data packet to the session's address, or to every member's.
void Server::SendPacket(Session& s, size_t length, TimePoint now) {
    if (!s.Unicast()) {
        sendto(s.fd, packet_.data(), length, 0, reinterpret_cast<sockaddr*>(&s.to), sizeof s.to);
        ++counters_.packetsSent;
        return;
    }
    for (int mid : s.members) {
        auto it = members_.find(mid);
        if (it == members_.end()) continue;
        sockaddr_in to = s.to;
        to.sin_addr = it->second.addr.sin_addr;
        sendto(s.fd, packet_.data(), length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ++counters_.packetsSent;
    }
    if (s.members.size() > 1) pacer_.Charge(length * (s.members.size() - 1), now);
}

bool Server::SendSession(Session& s, TimePoint now) {
    while (!s.repairs.empty() && s.repairs.front() < s.window * kBroadcastWindow)
        s.repairs.pop_front();
    bool repair = !s.repairs.empty();
    if (!repair && !s.Sending()) return false;
    uint64_t number = repair ? s.repairs.front() : s.passWindow * kBroadcastWindow + s.slot;
    uint64_t offset = number * kEnhancedBlock;
    size_t data =
        offset >= s.size ? 0 : size_t(std::min<uint64_t>(kEnhancedBlock, s.size - offset));
    if (!s.stream->Copy(offset, data, packet_.data() + 4)) {
        if (s.stream->Failed()) {
            EndSession(s.id, "failed: read error");
            return false;
        }
        s.waitingDisk = true;
        return false;
    }
    vk::btftp_data_header(packet_.data(), uint16_t(number));
    SendPacket(s, 4 + data, now);
    counters_.bytesSent += data;
    if (repair) {
        s.repairs.pop_front();
        ++s.repairsSent;
        return !s.repairs.empty() || s.Sending();
    }
    if (++s.slot < s.slotEnd) return true;
    // A window's first pass goes out twice in a row while loss is high.
    if (s.phase == Phase::Streaming && s.Doubled() && s.copy == 0) {
        s.copy = 1;
        s.slot = 0;
        return true;
    }
    s.At(s.passWindow).passEnded = now;
    if (!s.passes.empty()) {
        StartPass(s);
        return true;
    }
    Enter(s, Phase::Draining);
    ArmResend(s, now);
    return false;
}

// Nothing more to send until acknowledgements come: if they come late by a
// few round trips, the windows members lack go out again.
void Server::ArmResend(Session& s, TimePoint now) {
    double rto = kFirstRto;
    bool any = false;
    for (int mid : s.members) {
        auto it = members_.find(mid);
        if (it == members_.end() || !it->second.rtt.valid) continue;
        rto = any ? std::max(rto, it->second.rtt.Rto()) : it->second.rtt.Rto();
        any = true;
    }
    s.timer = After(now, std::min(kMaxRto, rto * s.rtoScale * double(1 << std::min(s.backoff, 8))));
}

// Window `w` goes out once more: after the pass under way if that pass is
// sending it already (its missing packets may have gone by), never twice in
// the waiting passes.
void Server::AskAgain(Session& s, uint64_t w) {
    if (w < s.window || w >= s.nextFirst) return;
    if (std::find(s.passes.begin(), s.passes.end(), w) != s.passes.end()) return;
    if (s.Sending() && s.passWindow == w && s.slot == 0) return;
    ++s.resends;
    ++counters_.resends;
    s.At(w).resent = true;
    s.resendAt = Clock::now();
    s.passes.push_back(w);
    if (!s.Sending()) {
        StartPass(s);
        Queue(kSession, s.id);
    }
}

void Server::OnWindowAck(Member& m, uint16_t number) {
    auto it = sessions_.find(m.session);
    if (it == sessions_.end() || !it->second.Started()) return;
    Session& s = it->second;
    TimePoint now = Clock::now();
    // The window the number names: from the one before the oldest some
    // member lacks to the last that went out.
    int64_t w = int64_t(s.window) + int16_t(uint16_t(number - uint16_t(s.window)));
    if (w >= int64_t(s.nextFirst)) {
        Strike(m, "acknowledged window " + std::to_string(w) + ", never sent");
        return;
    }
    if (w < m.acked) {
        Strike(m, "acknowledged window " + std::to_string(w) + " after " + std::to_string(m.acked));
        return;
    }
    Flight& f = s.At(uint64_t(w));
    if (w > m.acked) {
        // A client acknowledges a window only when it holds every one before.
        // Timed only from a single pass that ended while the member was not
        // still completing an earlier window.
        bool measured = !f.resent && !f.repaired && f.passEnded != TimePoint{} &&
                        !(s.Sending() && s.passWindow == uint64_t(w)) && m.lastAck < f.passEnded;
        m.lastAck = now;
        m.acked = w;
        m.lastHeard = m.lastProgress = now;
        m.strikes = 0;
        m.repairsAsked = 0;
        if (uint64_t(w) + 1 >= s.windows) ++s.finished;
        if (measured) m.rtt.Sample(Since(f.passEnded, now));
        if (uint64_t(w) == s.window && f.resent && m.rtt.valid &&
            Since(s.resendAt, now) < 0.75 * m.rtt.srtt)
            f.needless = true;
        CheckWindow(s);
    } else {
        // Acknowledging the last window again asks for the one after it.
        // While that one is out, it moves nothing.
        m.lastHeard = now;
        ++m.asks;
        if (uint64_t(w) + 1 < s.nextFirst &&
            Strike(m, "acknowledged window " + std::to_string(w) + " again"))
            return;
        AskAgain(s, uint64_t(w) + 1);
    }
}

// A member lacks one packet of a window in flight: it goes out again before
// the rest of the pass under way, once however many members ask.
void Server::OnRepair(Member& m, uint16_t number) {
    auto it = sessions_.find(m.session);
    if (it == sessions_.end() || !it->second.Started()) return;
    Session& s = it->second;
    m.lastHeard = Clock::now();
    uint64_t first = s.window * kBroadcastWindow;
    int64_t p = int64_t(first) + int16_t(uint16_t(number - uint16_t(first)));
    if (p >= int64_t(std::min(s.nextFirst * kBroadcastWindow, s.packets))) {
        Strike(m, "asked for packet " + std::to_string(p) + ", never sent");
        return;
    }
    if (++m.repairsAsked > kRepairShare) {
        Strike(m, "asked for more than " + std::to_string(kRepairShare) +
                      " packets again before its next window");
        return;
    }
    if (p < int64_t(first)) return;
    if (std::find(s.repairs.begin(), s.repairs.end(), uint64_t(p)) != s.repairs.end()) return;
    if (s.repairs.size() >= kInFlight * kBroadcastWindow) return;
    s.repairs.push_back(uint64_t(p));
    s.At(uint64_t(p) / kBroadcastWindow).repaired = true;
    ++counters_.resends;
    Queue(kSession, s.id);
}

// The oldest window is held by every member: whether it needed a resend
// feeds the loss history (and so whether windows go out twice) and the
// scale of the wait before a resend.
void Server::CountLoss(Session& s) {
    const Flight& f = s.At(s.window);
    bool lost = f.resent && !f.needless;
    if (f.needless)
        s.rtoScale = std::min(4.0, s.rtoScale * 1.5);
    else if (!f.resent)
        s.rtoScale = std::max(1.0, s.rtoScale * 0.98);
    bool wasDoubled = s.Doubled();
    if (!wasDoubled)
        s.lossHistory = (s.lossHistory << 1) | (lost ? 1 : 0);
    else if (lost)
        s.lossHistory = (s.lossHistory << 1) | 1;
    else if (++s.cleanDoubled % 8 == 0)
        s.lossHistory <<= 1;
    if (s.Doubled() != wasDoubled)
        Log("broadcast session %d: %s, %d of the last 8 windows were sent again", s.id,
            s.Doubled() ? "windows go out twice" : "windows go out once",
            __builtin_popcount(s.lossHistory & 0xFF));
}

// The windows every member holds are passed; the next ones go out as far as
// the members allow, or the file is done.
void Server::CheckWindow(Session& s) {
    if (!s.Started() || s.members.empty()) return;
    auto allHave = [&](uint64_t w) {
        for (int mid : s.members) {
            auto it = members_.find(mid);
            if (it != members_.end() && it->second.acked < int64_t(w)) return false;
        }
        return true;
    };
    bool moved = false;
    while (s.window < s.nextFirst && allHave(s.window)) {
        if (s.window + 1 >= s.windows) {
            EndSession(s.id, "done");
            return;
        }
        CountLoss(s);
        // A pass of the window still waiting is not needed any more.
        s.passes.erase(std::remove(s.passes.begin(), s.passes.end(), s.window), s.passes.end());
        ++s.window;
        moved = true;
    }
    if (moved) {
        // A pass of a window every member holds now stops where it is: its
        // data is released.
        if (s.Sending() && s.passWindow < s.window) Enter(s, Phase::Draining);
        s.stream->Release(s.window * kBroadcastWindow * kEnhancedBlock);
        reader_->Wake();
        s.backoff = 0;
    }
    uint64_t limit = s.window + WindowsAhead(s);
    while (s.nextFirst < s.windows && s.nextFirst <= limit) {
        s.At(s.nextFirst) = Flight{};
        s.passes.push_back(s.nextFirst++);
    }
    if (!s.Sending() && !s.passes.empty()) {
        StartPass(s);
        Queue(kSession, s.id);
    } else if (!s.Sending() && s.timer == TimePoint::max()) {
        ArmResend(s, Clock::now());
    }
}

// The gathering time ended, or acknowledgements are late: silent members
// are dropped, and each one left gets again the first window it lacks.
void Server::OnSessionTimer(Session& s, TimePoint now) {
    s.timer = TimePoint::max();
    if (!s.Started()) return StartSession(s);
    if (s.Sending()) return;
    int id = s.id;
    DropSilent(s, now);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    Session& left = it->second;
    if (left.Sending() || left.timer != TimePoint::max()) return;
    ++left.backoff;
    for (int mid : std::vector<int>(left.members))
        AskAgain(left, uint64_t(members_[mid].acked + 1));
}

} // namespace vks
