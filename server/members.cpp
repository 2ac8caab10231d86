// The broadcast flavour's members: control connections on the TCP port,
// their requests, the session each joins (a session of the same file still
// gathering, or a new one), where a session's windows go, and who leaves a
// session and why.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "loop.h"
#include "names.h"

namespace vks {

namespace {

constexpr double kDropMargin = 0.5;    // silence beyond the client's own wait
constexpr double kDropMarginMax = 5.0; // before a member is dropped
constexpr double kRequestWait = 2.0;   // a control connection's time to send its request
// How long an address whose connection sent no request in time stays
// suspect: its connections that have not asked yet no longer hold running
// sessions on unicast.
constexpr double kSuspectTime = 60.0;
constexpr size_t kMostSuspects = 4096;
// A member that lacks a window that went out must acknowledge it within
// this many of its own waits (after which it asks again) and a margin of
// round trips, or it is dropped even if it keeps talking; so is one that
// makes this many requests that move nothing in a row.
constexpr int kProgressAsks = 2;
constexpr int kStrikes = 8;

} // namespace

void Server::OnAccept() {
    for (int turn = 0; turn < 64; ++turn) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        int fd = accept4(control_, reinterpret_cast<sockaddr*>(&from), &size,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (int(members_.size()) - requested_ >= o_.maxTransfers) {
            close(fd); // too many connections without a request yet
            continue;
        }
        if (ConnectionsFrom(from.sin_addr) >= o_.maxConnectionsPerAddress) {
            ++counters_.refusedBusy;
            if (LogRefusal(from.sin_addr))
                Log("broadcast %s: refused, %d connections from this address", Peer(from).c_str(),
                    o_.maxConnectionsPerAddress);
            SendError(fd, nullptr, 0, "Server busy, too many connections from this address");
            close(fd);
            continue;
        }
        Member m;
        m.id = nextId_++;
        m.fd = fd;
        m.addr = from;
        sockaddr_in local{};
        socklen_t localSize = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize);
        m.local = local.sin_addr;
        m.joined = m.lastHeard = Clock::now();
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        Watch(fd, Key(kMember, m.id), EPOLLIN | EPOLLRDHUP);
        auto suspect = suspects_.find(from.sin_addr.s_addr);
        m.suspect = suspect != suspects_.end() && suspect->second > m.joined;
        bool suspectAddress = m.suspect;
        members_.emplace(m.id, std::move(m));
        // Every client listens on the same port and takes the first data it
        // sees for its own: a client that is about to join a new session
        // must not see the windows of a running one. Those go on by unicast,
        // unless the address is suspect: a host that keeps opening
        // connections without asking would otherwise hold every session on
        // unicast (a tenth of the speed at ten members).
        if (suspectAddress) continue;
        for (auto& [id, s] : sessions_)
            if (s.Started() && s.route == Route::Broadcast) {
                s.route = Route::UnicastForNow;
                Log("broadcast session %d: goes on by unicast, another client connects", id);
            }
    }
}

void Server::OnMemberData(Member& m) {
    int id = m.id;
    uint8_t buffer[1024];
    ssize_t n = recv(m.fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        LeaveSession(id, "closed its connection", false);
        return;
    }
    if (n < 0) return;
    // Acknowledged at once: the client writes its next acknowledgement as
    // soon as a window is complete, and its stack holds that small write
    // back (Nagle) until the previous one is acknowledged.
    int one = 1;
    setsockopt(m.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    m.in.insert(m.in.end(), buffer, buffer + n);
    if (!m.session) {
        long end = vk::tftp_request_end(m.in.data(), m.in.size());
        if (end < 0) {
            ++counters_.malformedPackets;
            LeaveSession(id, "sent no read request", false);
            return;
        }
        if (end == 0) return;
        vk::TftpRequest r;
        if (!vk::tftp_parse_request(m.in.data(), size_t(end), &r)) {
            ++counters_.malformedPackets;
            LeaveSession(id, "sent a malformed request", false);
            return;
        }
        m.in.erase(m.in.begin(), m.in.begin() + end);
        // The client's note that it holds a window ahead usually comes with
        // the request: it is taken first, so that the answer carries ours.
        uint16_t windows = 0;
        if (vk::btftp_parse_ahead(m.in.data(), m.in.size(), &windows)) {
            m.ahead = std::min<uint16_t>(windows, kMostAhead);
            m.in.erase(m.in.begin(), m.in.begin() + 4);
        }
        OnMemberRequest(m, r);
        if (!members_.count(id)) return;
    }
    size_t used = 0;
    while (m.in.size() - used >= 4) {
        uint16_t value;
        if (vk::btftp_parse_ack(m.in.data() + used, 4, &value)) {
            OnWindowAck(m, value);
            if (!members_.count(id)) return;
        } else if (vk::btftp_parse_ahead(m.in.data() + used, 4, &value)) {
            if (!m.ahead && value >= 1) {
                m.ahead = std::min<uint16_t>(value, kMostAhead);
                auto sit = sessions_.find(m.session);
                if (sit != sessions_.end()) SendNotes(m, sit->second, false);
            }
        } else if (vk::btftp_parse_repair(m.in.data() + used, 4, &value)) {
            OnRepair(m, value);
            if (!members_.count(id)) return;
        } else {
            ++counters_.malformedPackets;
        }
        used += 4;
    }
    m.in.erase(m.in.begin(), m.in.begin() + long(used));
    if (m.in.size() > vk::kTftpRequestMax) m.in.clear();
}

// The member is told why in an error packet and its connection closed.
void Server::RefuseMember(Member& m, uint16_t code, const char* text) {
    SendError(m.fd, nullptr, code, text);
    LeaveSession(m.id, std::string("refused: ") + text, false);
}

void Server::OnMemberRequest(Member& m, const vk::TftpRequest& r) {
    if (r.opcode != vk::kTftpRrq)
        return RefuseMember(m, 2, "Access violation: this server only reads");
    if (TransfersFrom(m.addr.sin_addr) >= o_.maxTransfersPerAddress) {
        ++counters_.refusedBusy;
        return RefuseMember(m, 0, "Server busy, too many transfers from this address");
    }
    if (ActiveTransfers() >= o_.maxTransfers && !MakeRoom(m.addr.sin_addr)) {
        ++counters_.refusedBusy;
        return RefuseMember(m, 0, "Server busy, too many transfers at once; try again later");
    }
    // A session of this file still gathering takes the client; a late one
    // starts a session of its own.
    Session* s = nullptr;
    for (auto& [id, candidate] : sessions_)
        if (candidate.phase == Phase::Gathering && candidate.name == r.name) s = &candidate;
    if (!s) s = NewSession(m, r);
    if (!s) return;
    ++counters_.transfersStarted;
    m.session = s->id;
    m.number = s->nextNumber++;
    // The connection's round trip as the kernel measured it stands in until
    // the first window's acknowledgement is timed.
    tcp_info info{};
    socklen_t infoSize = sizeof info;
    if (getsockopt(m.fd, IPPROTO_TCP, TCP_INFO, &info, &infoSize) == 0 && info.tcpi_rtt > 0)
        m.rtt.Sample(info.tcpi_rtt / 1e6);
    ++requested_;
    s->members.push_back(m.id);
    SendNotes(m, *s, true);
    // The sessions that went on by unicast when this client connected go
    // back to broadcast once it turns out to tell sessions apart too.
    if (m.ahead) BackToBroadcast();
    Log("broadcast session %d: %s joins as #%u", s->id, Peer(m.addr).c_str(), m.number);
    if (o_.expect > 0 && int(s->members.size()) >= o_.expect) StartSession(*s);
}

// A session of its own for the file `r` names, gathering; null when the
// member was refused.
Session* Server::NewSession(Member& m, const vk::TftpRequest& r) {
    auto refuse = [&](uint16_t code, const char* text) -> Session* {
        RefuseMember(m, code, text);
        return nullptr;
    };
    uint64_t size = 0;
    std::string why;
    int fd = OpenBeneath(root_, r.name, &size, why);
    if (fd < 0) {
        bool missing = why == "not found";
        if (!missing) ++counters_.refusedNames;
        Log("broadcast %s: \"%s\" refused: %s", Peer(m.addr).c_str(), Printable(r.name).c_str(),
            why.c_str());
        return refuse(missing ? 1 : 2, missing ? "File not found" : "Access violation");
    }
    int udp;
    if (!Bind(SOCK_DGRAM, 0, &udp)) {
        close(fd);
        return refuse(0, "Server out of resources");
    }
    int on = 1;
    setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    Session fresh;
    fresh.id = nextId_++;
    fresh.name = r.name;
    fresh.size = size;
    fresh.stream = Stream::FromFile(fd, size);
    reader_->Add(fresh.stream);
    fresh.fd = udp;
    sockaddr_in bound{};
    socklen_t boundSize = sizeof bound;
    if (getsockname(udp, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0)
        fresh.port = ntohs(bound.sin_port);
    fresh.packets = size / kEnhancedBlock + 1;
    fresh.windows = (fresh.packets + kBroadcastWindow - 1) / kBroadcastWindow;
    fresh.gatherEnd = After(Clock::now(), o_.gather);
    fresh.timer = fresh.gatherEnd;
    Watch(udp, Key(kSession, fresh.id));
    int id = fresh.id;
    sessions_.emplace(id, std::move(fresh));
    Log("broadcast session %d: \"%s\" %llu bytes, gathering for %.1f s", id,
        Printable(r.name).c_str(), static_cast<unsigned long long>(size), o_.gather);
    return &sessions_[id];
}

void Server::StartSession(Session& s) {
    if (s.Started()) return;
    Enter(s, Phase::Draining);
    s.start = Clock::now();
    s.timer = TimePoint::max();
    ChooseRoute(s);
    char to[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &s.to.sin_addr, to, sizeof to);
    Log("broadcast session %d: \"%s\" starts with %zu member(s), %s", s.id,
        Printable(s.name).c_str(), s.members.size(),
        s.Unicast() ? "unicast to each" : (std::string("to ") + to).c_str());
    s.window = 0;
    s.nextFirst = 0;
    CheckWindow(s);
}

// Where the windows of a session that starts go.
void Server::ChooseRoute(Session& s) {
    s.to.sin_family = AF_INET;
    s.to.sin_port = htons(vk::kTftpBroadcastLocalPort);
    s.route = Route::Unicast;
    if (o_.unicast) return;
    if (!o_.broadcastAddress.empty()) {
        inet_pton(AF_INET, o_.broadcastAddress.c_str(), &s.to.sin_addr);
        s.route = Route::Broadcast;
    } else {
        // The subnet broadcast of the interface the first member came by.
        in_addr local = members_[s.members.front()].local;
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) == 0) {
            for (ifaddrs* i = list; i; i = i->ifa_next) {
                if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET ||
                    !(i->ifa_flags & IFF_BROADCAST))
                    continue;
                sockaddr_in a, mask;
                std::memcpy(&a, i->ifa_addr, sizeof a);
                if (a.sin_addr.s_addr != local.s_addr || !i->ifa_netmask) continue;
                std::memcpy(&mask, i->ifa_netmask, sizeof mask);
                s.to.sin_addr.s_addr = a.sin_addr.s_addr | ~mask.sin_addr.s_addr;
                s.route = Route::Broadcast;
            }
            freeifaddrs(list);
        }
        if (s.route == Route::Unicast) return;
    }
    // Clients listen on one port, whatever session they belong to, and
    // those that do not know this server's port note take the first data
    // they see for their own: for them, while more than one session streams,
    // every session goes to its members one by one. So does this one while
    // any other client is connected (waiting in another session or not yet
    // asking): a broadcast would reach it as its own file's data.
    bool others = std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& other) {
        return other.first != s.id && other.second.Started();
    });
    bool strangers = std::any_of(members_.begin(), members_.end(), [&](const auto& m) {
        return m.second.session != s.id && !(m.second.session == 0 && m.second.suspect);
    });
    if ((others || strangers) && !AllApart()) {
        s.route = Route::UnicastForNow;
        for (auto& [id, other] : sessions_)
            if (other.Started() && other.route == Route::Broadcast) {
                other.route = Route::UnicastForNow;
                Log("broadcast session %d: goes on by unicast, another session streams", id);
            }
    }
}

// Clients that got this server's port note take data from their own
// session's port only: while every connected client did, sessions stream
// side by side by broadcast.
// Connections of suspect addresses that have not asked yet do not count.
bool Server::AllApart() const {
    return std::all_of(members_.begin(), members_.end(), [](const auto& m) {
        return m.second.session == 0 ? m.second.suspect : m.second.ahead > 0;
    });
}

// Sessions that went on by unicast for a client that could not tell them
// apart go back to broadcast once no such client is connected.
void Server::BackToBroadcast() {
    if (!AllApart()) return;
    for (auto& [id, s] : sessions_)
        if (s.Started() && s.route == Route::UnicastForNow) {
            s.route = Route::Broadcast;
            Log("broadcast session %d: goes on by broadcast, every client tells sessions apart",
                id);
        }
}

// To a client that holds a window ahead: the same note back (it may ask for
// single packets now) and the port the session's data leaves from.
// With `answer`, the answer to the request goes first, in the same write:
// the client reads the notes as soon as it has the answer, before any data
// of another session that streams by broadcast can reach it.
void Server::SendNotes(Member& m, const Session& s, bool answer) {
    uint8_t notes[12];
    size_t n = answer ? vk::btftp_oack(notes, m.number) : 0;
    if (m.ahead) {
        n += vk::btftp_ahead(notes + n, m.ahead);
        n += vk::btftp_port(notes + n, s.port);
    }
    (void)!send(m.fd, notes, n, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// True when every member keeps the next window's packets while it waits for
// the current one: then one window more may go out before the current one
void Server::LeaveSession(int memberId, const std::string& why, bool dropped) {
    auto it = members_.find(memberId);
    if (it == members_.end()) return;
    Member& m = it->second;
    int sid = m.session;
    auto sit = sessions_.find(sid);
    if (sit != sessions_.end()) {
        Session& s = sit->second;
        s.members.erase(std::remove(s.members.begin(), s.members.end(), memberId), s.members.end());
        --requested_;
        // A client closes its connection as soon as it has the whole file.
        bool complete = s.Started() && m.acked >= 0 && uint64_t(m.acked) + 1 >= s.windows;
        if (!complete)
            Log("broadcast session %d: %s #%u %s %s", sid, Peer(m.addr).c_str(), m.number,
                dropped ? "dropped:" : "left:", why.c_str());
        ++(complete ? counters_.transfersDone : counters_.transfersFailed);
        TransferRow row = Row(m, s, Clock::now());
        row.state = complete ? "done" : (dropped ? "dropped: " : "left: ") + why;
        Ended(std::move(row));
    } else if (sid == 0 && why.rfind("refused", 0) == 0) {
        Log("broadcast %s: %s", Peer(m.addr).c_str(), why.c_str());
    }
    close(m.fd);
    members_.erase(it);
    if (sit != sessions_.end()) {
        if (sit->second.members.empty())
            EndSession(sid, sit->second.finished ? "done" : "ended: no members left");
        else
            CheckWindow(sit->second);
    }
    BackToBroadcast();
}

// Control connections that never sent a request are closed.
void Server::CloseIdle(TimePoint now) {
    std::vector<int> idle;
    for (auto& [id, m] : members_)
        if (!m.session && Since(m.joined, now) > kRequestWait) idle.push_back(id);
    if (!idle.empty() || suspects_.size() > kMostSuspects)
        std::erase_if(suspects_, [&](const auto& e) { return e.second <= now; });
    for (int id : idle) {
        if (suspects_.size() < kMostSuspects)
            suspects_[members_[id].addr.sin_addr.s_addr] = After(now, kSuspectTime);
        LeaveSession(id, "sent no request", false);
    }
}

// A request of member `m` that moved nothing; true when it was the last
// the member may make, and the member is dropped.
bool Server::Strike(Member& m, const std::string& what) {
    if (++m.strikes < kStrikes) return false;
    LeaveSession(m.id,
                 std::to_string(kStrikes) + " requests in a row that moved nothing (" + what + ")",
                 true);
    return true;
}

// Members silent for longer than their deadline, or that have not moved on
// for longer than their progress deadline, leave the session so that the
// others go on; the deadlines grow with the member's round trip (a slow
// link or a busy client).
void Server::DropSilent(Session& s, TimePoint now) {
    std::vector<std::pair<int, std::string>> drop;
    for (int mid : s.members) {
        Member& m = members_[mid];
        if (m.acked + 1 >= int64_t(s.nextFirst)) continue;
        // The client itself asks again after 4 s for the first window and
        // after 1 s for the others.
        double asks = s.window == 0 ? 4.0 : 1.0;
        double margin = std::clamp(10 * m.rtt.srtt, kDropMargin, kDropMarginMax);
        double silent = Since(m.lastHeard, now);
        double stuck = Since(std::max(m.lastProgress, s.start), now);
        char why[160] = "";
        if (silent > asks + margin)
            std::snprintf(why, sizeof why, "no acknowledgement of window %llu for %.1f s",
                          static_cast<unsigned long long>(m.acked + 1), silent);
        else if (stuck > kProgressAsks * asks + margin)
            std::snprintf(why, sizeof why, "no progress past window %lld for %.1f s",
                          static_cast<long long>(m.acked), stuck);
        if (*why) drop.emplace_back(mid, why);
    }
    for (auto& [mid, why] : drop)
        LeaveSession(mid, why, true);
}

void Server::EndSession(int id, const char* how) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    Session& s = it->second;
    bool done = std::strcmp(how, "done") == 0;
    uint64_t bytes = done ? s.size : std::min(s.size, s.window * kBroadcastWindow * kEnhancedBlock);
    double seconds = std::max(1e-6, Since(s.Started() ? s.start : s.gatherEnd, Clock::now()));
    Log("broadcast session %d: \"%s\" %s, %llu bytes to %zu member(s) in %.2f s (%.2f MB/s), %llu "
        "window resends, %llu packets repaired",
        id, Printable(s.name).c_str(), how, static_cast<unsigned long long>(bytes),
        done ? s.finished : s.members.size(), seconds, double(bytes) / seconds / 1e6,
        static_cast<unsigned long long>(s.resends), static_cast<unsigned long long>(s.repairsSent));
    TimePoint now = Clock::now();
    for (int mid : s.members) {
        auto mit = members_.find(mid);
        if (mit == members_.end()) continue;
        ++(done ? counters_.transfersDone : counters_.transfersFailed);
        TransferRow row = Row(mit->second, s, now);
        row.state = how;
        Ended(std::move(row));
    }
    std::vector<int> left = s.members;
    s.members.clear();
    Enter(s, Phase::Ended);
    close(s.fd);
    sessions_.erase(it);
    for (int mid : left) {
        auto mit = members_.find(mid);
        if (mit == members_.end()) continue;
        --requested_;
        close(mit->second.fd);
        members_.erase(mit);
    }
}

} // namespace vks
