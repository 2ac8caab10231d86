// The event loop of tobrend-server. One thread owns every socket and all
// protocol state: the standard and enhanced lock-step flavours (and the
// security port, a standard port whose files are made by SecurityService),
// and the broadcast flavour's control connections and sessions. epoll
// waits; a timerfd wakes it at the next deadline (resend, gathering end,
// pacing); an eventfd when the reader thread has read ahead; a signalfd on
// SIGINT, SIGTERM and SIGHUP.
#include "loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "security.h"

namespace vks {

namespace {

constexpr double kMinRto = 0.005;   // below this a busy client's delay looks like loss
constexpr int kPacketsPerTurn = 64; // then the loop looks at its sockets again

} // namespace

double Since(TimePoint a, TimePoint b) {
    return std::chrono::duration<double>(b - a).count();
}

TimePoint After(TimePoint t, double seconds) {
    return t + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string Peer(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 200))
        out += c >= 0x20 && c < 0x7F ? c : '?';
    return out;
}

void SendError(int fd, const sockaddr_in* to, uint16_t code, const char* text) {
    uint8_t error[128];
    size_t n = vk::tftp_error(error, sizeof error, code, text);
    if (to)
        sendto(fd, error, n, 0, reinterpret_cast<const sockaddr*>(to), sizeof *to);
    else
        (void)!send(fd, error, n, MSG_NOSIGNAL);
}

void Rtt::Sample(double s) {
    if (!valid) {
        srtt = s;
        var = s / 2;
        valid = true;
    } else {
        var = 0.75 * var + 0.25 * std::fabs(srtt - s);
        srtt = 0.875 * srtt + 0.125 * s;
    }
}

double Rtt::Rto() const {
    return valid ? std::clamp(3 * srtt + 4 * var, kMinRto, kMaxRto) : kFirstRto;
}

const char* FlavourName(Flavour f) {
    return f == Flavour::Standard ? "standard" : f == Flavour::Enhanced ? "enhanced" : "security";
}

void Server::Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (terminal_) {
        recent_.emplace_back(line);
        if (recent_.size() > 12) recent_.pop_front();
        return;
    }
    std::fprintf(stderr, "tobrend-server: %s\n", line);
}

namespace {
// A PXE client probing its configuration names meets a dozen refusals in a
// second; a flood from one host meets thousands.
constexpr int kRefusalLines = 20;       // logged per address and period
constexpr double kRefusalPeriod = 10.0; // seconds
constexpr size_t kMostRefusalLogs = 4096;
} // namespace

bool Server::LogRefusal(in_addr a) {
    TimePoint now = Clock::now();
    if (refusalLog_.size() >= kMostRefusalLogs) SumUpRefusals(now);
    auto found = refusalLog_.find(a.s_addr);
    if (found == refusalLog_.end()) {
        // A table full of addresses in their period: the line is logged
        // rather than lost.
        if (refusalLog_.size() >= kMostRefusalLogs) return true;
        found = refusalLog_.emplace(a.s_addr, RefusalLog{After(now, kRefusalPeriod), 0, 0}).first;
    }
    RefusalLog& r = found->second;
    if (now >= r.periodEnd) {
        SumUpRefusals(a.s_addr, r);
        r = RefusalLog{After(now, kRefusalPeriod), 0, 0};
    }
    if (r.logged < kRefusalLines) {
        ++r.logged;
        return true;
    }
    if (r.held++ == 0) nextRefusalSums_ = std::min(nextRefusalSums_, r.periodEnd);
    return false;
}

void Server::SumUpRefusals(uint32_t address, RefusalLog& r) {
    if (r.held == 0) return;
    in_addr a{address};
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, text, sizeof text);
    Log("%s: %d more refusals were not logged", text, r.held);
    r.held = 0;
}

// Logs the sums of the periods that ended and forgets their addresses.
void Server::SumUpRefusals(TimePoint now) {
    nextRefusalSums_ = TimePoint::max();
    for (auto e = refusalLog_.begin(); e != refusalLog_.end();) {
        if (e->second.periodEnd <= now) {
            SumUpRefusals(e->first, e->second);
            e = refusalLog_.erase(e);
            continue;
        }
        if (e->second.held > 0) nextRefusalSums_ = std::min(nextRefusalSums_, e->second.periodEnd);
        ++e;
    }
}

void Server::Watch(int fd, uint64_t key, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = key;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
}

bool Server::Bind(int type, uint16_t port, int* fd) {
    int s = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, o_.address.c_str(), &a.sin_addr) != 1 ||
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(s, 128) != 0)) {
        int e = errno;
        close(s);
        errno = e;
        return false;
    }
    if (type == SOCK_DGRAM) {
        setsockopt(s, SOL_IP, IP_RECVERR, &on, sizeof on);
        int buffer = 1 << 20;
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    }
    *fd = s;
    return true;
}

bool Server::Setup() {
    root_ = open(o_.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_ < 0) {
        std::fprintf(stderr, "tobrend-server: cannot open the root %s: %s\n", o_.root.c_str(),
                     std::strerror(errno));
        return false;
    }
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    event_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);
    if (epoll_ < 0 || timer_ < 0 || event_ < 0 || signal_ < 0) return false;
    Watch(timer_, Key(kTimer, 0));
    Watch(event_, Key(kEvent, 0));
    Watch(signal_, Key(kSignal, 0));
    auto udp = [&](uint16_t port, Flavour f) {
        if (port == 0) return true;
        int fd;
        if (!Bind(SOCK_DGRAM, port, &fd)) {
            std::fprintf(stderr, "tobrend-server: cannot bind %s udp port %u: %s\n", FlavourName(f),
                         port, std::strerror(errno));
            return false;
        }
        Watch(fd, Key(kListener, int(listeners_.size())));
        listeners_.push_back({fd, f, port});
        Log("%s flavour on udp port %u", FlavourName(f), port);
        return true;
    };
    for (uint16_t p : o_.standardPorts)
        if (!udp(p, Flavour::Standard)) return false;
    if (!udp(o_.enhancedPort, Flavour::Enhanced)) return false;
    if (security_ && !udp(o_.securityPort, Flavour::Security)) return false;
    if (o_.broadcastPort) {
        if (!Bind(SOCK_STREAM, o_.broadcastPort, &control_)) {
            std::fprintf(stderr, "tobrend-server: cannot bind broadcast tcp port %u: %s\n",
                         o_.broadcastPort, std::strerror(errno));
            return false;
        }
        Watch(control_, Key(kControl, 0));
        Log("broadcast flavour on tcp port %u", o_.broadcastPort);
    }
    reader_ = std::make_unique<Reader>(event_);
    return true;
}

// --- The send queue and timers ----------------------------------------

Sender* Server::Find(Kind kind, int id) {
    if (kind == kTransfer) {
        auto it = transfers_.find(id);
        return it == transfers_.end() ? nullptr : &it->second;
    }
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : &it->second;
}

void Server::Queue(Kind kind, int id) {
    Sender* s = Find(kind, id);
    if (!s || s->queued) return;
    s->queued = true;
    ready_.emplace_back(kind, id);
}

void Server::SendQueued() {
    paced_ = false;
    for (int sent = 0; sent < kPacketsPerTurn && !ready_.empty(); ++sent) {
        TimePoint now = Clock::now();
        if (!pacer_.Ready(now)) {
            paced_ = true;
            return;
        }
        auto [kind, id] = ready_.front();
        ready_.pop_front();
        Sender* sender = Find(kind, id);
        if (!sender) continue;
        sender->queued = false;
        bool more;
        if (kind == kTransfer) {
            Transfer& t = *static_cast<Transfer*>(sender);
            size_t length = 4 + t.blksize;
            more = SendTransfer(t, now);
            pacer_.Charge(length, now);
        } else {
            more = SendSession(*static_cast<Session*>(sender), now);
            pacer_.Charge(4 + kEnhancedBlock, now);
        }
        if (more) Queue(kind, id);
    }
}

void Server::Timers(TimePoint now) {
    std::vector<int> due;
    for (auto& [id, t] : transfers_)
        if (t.timer <= now) due.push_back(id);
    for (int id : due)
        OnTransferTimer(transfers_[id], now);
    due.clear();
    for (auto& [id, s] : sessions_)
        if (s.timer <= now) due.push_back(id);
    for (int id : due)
        OnSessionTimer(sessions_[id], now);
    if (nextRefusalSums_ <= now) SumUpRefusals(now);
}

void Server::ArmTimer() {
    TimePoint next = TimePoint::max();
    for (auto& [id, t] : transfers_)
        next = std::min(next, t.timer);
    for (auto& [id, s] : sessions_)
        next = std::min(next, s.timer);
    if (paced_) next = std::min(next, pacer_.Next());
    next = std::min(next, nextPublish_);
    next = std::min(next, nextRefusalSums_);
    itimerspec due_at{};
    if (next != TimePoint::max()) {
        auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
        if (ns <= 0) ns = 1;
        due_at.it_value.tv_sec = time_t(ns / 1000000000);
        due_at.it_value.tv_nsec = long(ns % 1000000000);
    }
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &due_at, nullptr);
}

// --- The loop ------------------------------------------------------------

int Server::TransfersFrom(in_addr a) const {
    int n = 0;
    for (auto& [id, t] : transfers_)
        n += t.client.sin_addr.s_addr == a.s_addr;
    for (auto& [id, m] : members_)
        n += m.session && m.addr.sin_addr.s_addr == a.s_addr;
    return n;
}

int Server::ConnectionsFrom(in_addr a) const {
    int n = 0;
    for (auto& [id, m] : members_)
        n += m.addr.sin_addr.s_addr == a.s_addr;
    return n;
}

// A full server and a request from `asking`: the newest transfer of the
// address that holds the most ends with "Server busy" if that address holds
// more than one beyond what `asking` holds, and the request is served. True
// when room was made.
bool Server::MakeRoom(in_addr asking) {
    std::map<uint32_t, int> held;
    for (auto& [id, t] : transfers_)
        ++held[t.client.sin_addr.s_addr];
    for (auto& [id, m] : members_)
        if (m.session) ++held[m.addr.sin_addr.s_addr];
    uint32_t greedy = 0;
    int most = 0;
    for (auto& [address, n] : held)
        if (n > most) greedy = address, most = n;
    auto mine = held.find(asking.s_addr);
    if (most <= (mine == held.end() ? 0 : mine->second) + 1) return false;
    int newest = 0;
    for (auto& [id, t] : transfers_)
        if (t.client.sin_addr.s_addr == greedy) newest = std::max(newest, id);
    for (auto& [id, m] : members_)
        if (m.session && m.addr.sin_addr.s_addr == greedy) newest = std::max(newest, id);
    const char* busy = "Server busy, this address holds too many transfers; try again later";
    if (members_.count(newest)) {
        RefuseMember(members_[newest], 0, busy);
    } else {
        Transfer& t = transfers_[newest];
        Refuse(t.fd, t.client, 0, busy);
        EndTransfer(newest,
                    ("ended: server busy, the address holds " + std::to_string(most) + " transfers")
                        .c_str(),
                    false);
    }
    return true;
}

void Server::Shutdown() {
    std::vector<int> ids;
    for (auto& [id, t] : transfers_)
        ids.push_back(id);
    for (int id : ids) {
        Transfer& t = transfers_[id];
        Refuse(t.fd, t.client, 0, "Server shutting down");
        EndTransfer(id, "stopped: the server shuts down", false);
    }
    ids.clear();
    for (auto& [id, s] : sessions_)
        ids.push_back(id);
    for (int id : ids)
        EndSession(id, "stopped: the server shuts down");
    for (auto& [id, m] : members_)
        close(m.fd);
    members_.clear();
    SumUpRefusals(TimePoint::max());
}

void Server::OnSignal() {
    signalfd_siginfo info{};
    while (read(signal_, &info, sizeof info) == ssize_t(sizeof info)) {
        if (info.ssi_signo != SIGHUP) {
            Log("stopping on signal %u", info.ssi_signo);
            stop_ = true;
        } else if (security_ && !o_.usersFile.empty()) {
            std::string error;
            if (security_->Load(o_.usersFile, error))
                Log("users reloaded from %s", o_.usersFile.c_str());
            else
                Log("users not reloaded: %s", error.c_str());
        }
    }
}

void Server::OnEvent(const epoll_event& e) {
    Kind kind = Kind(e.data.u64 >> 32);
    int id = int(uint32_t(e.data.u64));
    switch (kind) {
    case kListener: OnRequest(listeners_[size_t(id)]); break;
    case kTransfer: {
        auto it = transfers_.find(id);
        if (it == transfers_.end()) break;
        if (e.events & EPOLLERR) OnTransferError(it->second);
        if (transfers_.count(id)) OnTransferPacket(transfers_[id]);
        break;
    }
    case kControl: OnAccept(); break;
    case kMember: {
        auto it = members_.find(id);
        if (it != members_.end()) OnMemberData(it->second);
        break;
    }
    case kSession: {
        // Nothing is expected on a session's socket: drained.
        auto it = sessions_.find(id);
        if (it == sessions_.end()) break;
        uint8_t junk[64];
        while (recv(it->second.fd, junk, sizeof junk, MSG_DONTWAIT) >= 0 || errno == ECONNREFUSED) {
        }
        break;
    }
    case kTimer: {
        uint64_t expirations;
        (void)!read(timer_, &expirations, sizeof expirations);
        break;
    }
    case kEvent: {
        // The reader thread read ahead: whoever waited for it goes on.
        uint64_t count;
        (void)!read(event_, &count, sizeof count);
        auto resume = [&](auto& map, Kind k) {
            for (auto& [sid, s] : map)
                if (s.waitingDisk) {
                    s.waitingDisk = false;
                    Queue(k, sid);
                }
        };
        resume(transfers_, kTransfer);
        resume(sessions_, kSession);
        break;
    }
    case kSignal: OnSignal(); break;
    }
}

int Server::Run() {
    terminal_ = isatty(2) && !o_.quiet;
    if (!Setup()) return 1;
    StatusHttp http(board_);
    if (o_.statusPort) {
        std::string error;
        if (!http.Start("127.0.0.1", o_.statusPort, error))
            Log("no status endpoint on 127.0.0.1:%u: %s", o_.statusPort, error.c_str());
        else
            Log("status on http://127.0.0.1:%u/status.json and /metrics", o_.statusPort);
    }
    Log("serving %s", o_.root.c_str());
    epoll_event events[64];
    while (!stop_) {
        ArmTimer();
        int n = epoll_wait(epoll_, events, 64, paced_ || ready_.empty() ? -1 : 0);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i)
            OnEvent(events[i]);
        TimePoint now = Clock::now();
        Timers(now);
        SendQueued();
        if (now >= nextPublish_) {
            nextPublish_ = After(now, 0.25);
            CloseIdle(now);
            Publish(now);
        }
    }
    Shutdown();
    http.Stop();
    Log("stopped: %llu transfers done, %llu failed, %llu resends",
        static_cast<unsigned long long>(counters_.transfersDone),
        static_cast<unsigned long long>(counters_.transfersFailed),
        static_cast<unsigned long long>(counters_.resends));
    if (terminal_) {
        terminal_ = false;
        for (auto& line : recent_)
            std::fprintf(stderr, "tobrend-server: %s\n", line.c_str());
    }
    return 0;
}

int RunServer(const ServerOptions& options, SecurityService* security) {
    Server server(options, security);
    return server.Run();
}

} // namespace vks
