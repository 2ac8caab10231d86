// The event loop of tobrend-server. One thread owns every socket and all
// protocol state: the standard and enhanced lock-step flavours (and the
// security port, a standard port whose files are made by SecurityService),
// and the broadcast flavour's control connections and sessions. epoll
// waits; a timerfd wakes it at the next deadline (resend, gathering end,
// pacing); an eventfd when the reader thread has read ahead; a signalfd on
// SIGINT, SIGTERM and SIGHUP.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "names.h"
#include "net/tftp_packet.h"
#include "readahead.h"
#include "security.h"
#include "status.h"

namespace vks {

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

constexpr size_t kWireOverhead = 14 + 20 + 8; // Ethernet, IPv4 and UDP headers
constexpr uint16_t kStandardBlock = vk::kTftpBlockStandard;
constexpr uint16_t kEnhancedBlock = vk::kTftpBlockMax;
constexpr uint16_t kLargestBlock = 65464;
constexpr int kLargestWindow = 64;
constexpr uint64_t kBroadcastWindow = vk::kTftpWindow;
// Windows out beyond the oldest one some member lacks, at most (clients say
// how many they hold), and the windows in flight then.
constexpr uint16_t kMostAhead = 3;
constexpr uint64_t kInFlight = kMostAhead + 1;
constexpr double kFirstRto = 0.25; // before any round trip was measured
constexpr double kMinRto = 0.005;  // below this a busy client's delay looks like loss
constexpr double kMaxRto = 1.0;    // the client asks again itself after a second
constexpr double kGiveUp = 10.0;   // lock-step: seconds without an acknowledgement
// Before a client's first acknowledgement its address is unproven (it may
// be forged): the first packet goes out again this often, no more.
constexpr int kUnprovenResends = 3;
constexpr double kRequestWait = 10.0;  // a control connection's time to send its request
constexpr double kDropMargin = 0.5;    // broadcast: silence beyond the client's own wait
constexpr double kDropMarginMax = 5.0; // before a member is dropped
constexpr double kEndedShown = 10.0;   // seconds an ended transfer stays on the board
constexpr size_t kEndedRows = 64;
constexpr int kPacketsPerTurn = 64; // then the loop looks at its sockets again
constexpr int kCatchUpPackets = 16; // pacing: packets a late loop may send at once

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

// Names in log lines: printable ASCII only, cut to a reasonable length.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 200))
        out += c >= 0x20 && c < 0x7F ? c : '?';
    return out;
}

// The round trip of one transfer or member (smoothed as TCP does) and the
// wait before a resend: a few round trips, within bounds.
struct Rtt {
    double srtt = 0, var = 0;
    bool valid = false;
    void Sample(double s) {
        if (!valid) {
            srtt = s;
            var = s / 2;
            valid = true;
        } else {
            var = 0.75 * var + 0.25 * std::fabs(srtt - s);
            srtt = 0.875 * srtt + 0.125 * s;
        }
    }
    double Rto() const {
        return valid ? std::clamp(3 * srtt + 4 * var, kMinRto, kMaxRto) : kFirstRto;
    }
};

enum class Flavour { Standard, Enhanced, Security };

const char* FlavourName(Flavour f) {
    return f == Flavour::Standard ? "standard" : f == Flavour::Enhanced ? "enhanced" : "security";
}

// A lock-step transfer (window 1 unless the client asked for more).
struct Transfer {
    int id = 0;
    int fd = -1;
    Flavour flavour = Flavour::Standard;
    sockaddr_in client{};
    std::string name;
    std::shared_ptr<Stream> stream;
    uint64_t size = 0;
    uint16_t blksize = kStandardBlock;
    uint16_t window = 1;
    std::vector<uint8_t> oack; // sent as "block 0" until acknowledged
    bool oackPending = false;
    uint64_t acked = 0;     // blocks acknowledged
    uint64_t lastBlock = 0; // the final (short, maybe empty) block
    uint64_t next = 1;      // next block of the window to send
    uint64_t windowEnd = 0; // last block of the window being sent
    TimePoint start, lastSend, lastProgress, timer = TimePoint::max();
    bool resent = false; // the window went out more than once (no RTT sample)
    int backoff = 0;
    uint64_t resends = 0;
    Rtt rtt;
    bool queued = false, waitingDisk = false;
    uint64_t releasedChunk = 0;
    uint16_t listenerPort = 0;
    bool proven = false; // the client has acknowledged something
};

// One control connection of the broadcast flavour.
struct Member {
    int id = 0;
    int fd = -1;
    sockaddr_in addr{};
    in_addr local{}; // where the connection arrived
    std::vector<uint8_t> in;
    int session = 0;     // 0: no request yet
    uint16_t number = 0; // the client number
    int64_t acked = -1;  // the last window acknowledged
    uint16_t ahead = 0;  // windows it holds beyond the one it waits for
    TimePoint joined, lastHeard, lastAck;
    Rtt rtt;
    uint64_t asks = 0; // windows asked for again
};

// Clients fetching one file by the broadcast flavour: one stream for all.
struct Session {
    int id = 0;
    std::string name;
    std::shared_ptr<Stream> stream;
    uint64_t size = 0;
    int fd = -1;       // the UDP socket all windows leave from
    uint16_t port = 0; // its port
    std::vector<int> members;
    bool streaming = false;
    TimePoint gatherEnd, start, timer = TimePoint::max();
    uint64_t packets = 0, windows = 0;
    // The oldest window some member still lacks, and the first window that
    // never went out. Beyond `window` as many more go out while the
    // acknowledgements come in as every member holds ahead.
    uint64_t window = 0, nextFirst = 0;
    // Passes: each sends all packets of one window. The one under way (its
    // window, next packet and end) and those waiting, oldest first.
    std::deque<uint64_t> passes;
    uint64_t passWindow = 0, slot = 0, slotEnd = 0;
    bool sending = false;
    // Per window in flight (index: window number % kInFlight): when its last pass
    // ended, and whether it was sent more than once.
    TimePoint passEnded[kInFlight];
    bool resent[kInFlight] = {}, repaired[kInFlight] = {};
    // Single packets asked for again (numbers from the file's start), sent
    // before the passes; at most the windows in flight.
    std::deque<uint64_t> repairs;
    uint64_t repairsSent = 0;
    // Loss: the windows that needed a resend (a bit each, newest lowest).
    // While many did, every window goes out twice at once, which costs
    // less than waiting for the acknowledgements to come late.
    uint32_t lossHistory = 0;
    uint32_t cleanDoubled = 0;
    bool doubled = false, secondPass = false, firstPass = false;
    // A resend answered sooner than a round trip was not needed (the
    // acknowledgement was on its way): such windows count as clean and
    // make the wait before the next resend longer.
    TimePoint resendAt;
    bool spurious = false;
    double rtoScale = 1.0;
    int backoff = 0;
    uint64_t resends = 0;
    uint16_t nextNumber = 0;
    size_t finished = 0; // members that acknowledged the final window
    sockaddr_in to{};
    bool unicast = false;
    bool broadcast = false; // started by broadcast (and may go back to it)
    bool queued = false, waitingDisk = false;
};

// epoll keys: kind in the high bits, id in the low.
enum Kind : uint64_t {
    kListener = 1,
    kTransfer,
    kControl,
    kMember,
    kSession,
    kTimer,
    kEvent,
    kSignal
};
uint64_t Key(Kind k, int id) {
    return (uint64_t(k) << 32) | uint32_t(id);
}

class Server {
  public:
    Server(const ServerOptions& o, SecurityService* security) : o_(o), security_(security) {}
    int Run();

  private:
    struct Listener {
        int fd;
        Flavour flavour;
        uint16_t port;
    };

    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool Setup();
    bool Bind(int type, uint16_t port, int* fd);
    void Watch(int fd, uint64_t key, uint32_t events = EPOLLIN);

    // Lock-step flavours.
    void OnRequest(const Listener& l);
    void Refuse(int fd, const sockaddr_in& to, uint16_t code, const char* text);
    void OnTransferPacket(Transfer& t);
    void OnTransferError(Transfer& t);
    bool SendTransfer(Transfer& t, TimePoint now);
    void StartWindow(Transfer& t);
    void EndTransfer(int id, const char* how, bool ok);

    // Broadcast flavour.
    void OnAccept();
    void OnMemberData(Member& m);
    void OnMemberRequest(Member& m, const vk::TftpRequest& r);
    void OnWindowAck(Member& m, uint16_t number);
    void OnRepair(Member& m, uint16_t number);
    void SendNotes(Member& m, const Session& s);
    void StartSession(Session& s);
    bool SendSession(Session& s, TimePoint now);
    void AskAgain(Session& s, uint64_t window);
    void StartPass(Session& s);
    void ArmResend(Session& s, TimePoint now);
    void CheckWindow(Session& s);
    uint64_t WindowsAhead(const Session& s) const;
    bool AllApart() const;
    void LeaveSession(int memberId, const std::string& why, bool dropped);
    void EndSession(int id, const char* how);

    void Queue(Kind kind, int id);
    void SendQueued();
    void Timers(TimePoint now);
    void ArmTimer();
    void Publish(TimePoint now);
    void Shutdown();
    int ActiveTransfers() const { return int(transfers_.size() + requested_); }
    bool Pace(size_t bytes, TimePoint now);

    ServerOptions o_;
    SecurityService* security_;
    int epoll_ = -1, timer_ = -1, event_ = -1, signal_ = -1, root_ = -1, control_ = -1;
    std::vector<Listener> listeners_;
    std::map<int, Transfer> transfers_;
    std::map<int, Member> members_;
    std::map<int, Session> sessions_;
    std::deque<std::pair<Kind, int>> ready_;
    int nextId_ = 1;
    int requested_ = 0; // members with a request in a session
    std::unique_ptr<Reader> reader_;
    StatusBoard board_;
    ServerCounters counters_;
    TimePoint nextPacket_{}; // pacing: when the next packet may leave
    TimePoint nextPublish_{}, nextDraw_{};
    bool paced_ = false; // the queue waits for the pacing clock
    bool terminal_ = false;
    std::deque<std::string> recent_; // the log lines under the live table
    // Transfers that ended lately stay on the status board for a while.
    std::deque<std::pair<TimePoint, TransferRow>> ended_;
    void Ended(TransferRow row);
    TransferRow Row(const Transfer& t, TimePoint now) const;
    TransferRow Row(const Member& m, const Session& s, TimePoint now) const;
    std::vector<uint8_t> packet_ = std::vector<uint8_t>(4 + kLargestBlock);
    bool stop_ = false;
};

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

// --- Lock-step flavours ------------------------------------------------

void Server::Refuse(int fd, const sockaddr_in& to, uint16_t code, const char* text) {
    uint8_t error[128];
    size_t n = vk::tftp_error(error, sizeof error, code, text);
    sendto(fd, error, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void Server::OnRequest(const Listener& l) {
    for (int turn = 0; turn < 64; ++turn) {
        uint8_t buffer[vk::kTftpRequestMax + 1];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t n =
            recvfrom(l.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue; // an ICMP error of an earlier refusal
        }
        vk::TftpRequest r;
        if (fromSize < sizeof from || !vk::tftp_parse_request(buffer, size_t(n), &r)) {
            ++counters_.malformedPackets;
            continue;
        }
        // On the security port the name holds the password (its digits
        // decode with the key every client has): logs and the status board
        // show it with the digits masked.
        std::string name =
            l.flavour == Flavour::Security ? SecurityService::Redacted(r.name) : r.name;
        std::string peer = Peer(from);
        if (r.opcode == vk::kTftpWrq) {
            ++counters_.refusedNames;
            Log("%s %s: write request for \"%s\" refused", FlavourName(l.flavour), peer.c_str(),
                Printable(name).c_str());
            Refuse(l.fd, from, 2, "Access violation: this server only reads");
            continue;
        }
        if (std::strcmp(r.mode, "octet") != 0) {
            ++counters_.refusedNames;
            Log("%s %s: \"%s\" in mode %s refused", FlavourName(l.flavour), peer.c_str(),
                Printable(name).c_str(), Printable(r.mode).c_str());
            Refuse(l.fd, from, 0, "Only octet (binary) mode is served");
            continue;
        }
        if (ActiveTransfers() >= o_.maxTransfers) {
            ++counters_.refusedBusy;
            Log("%s %s: \"%s\" refused, %d transfers at once", FlavourName(l.flavour), peer.c_str(),
                Printable(name).c_str(), ActiveTransfers());
            Refuse(l.fd, from, 0, "Server busy, too many transfers at once; try again later");
            continue;
        }
        // A request repeated by a client that saw no answer yet is answered
        // by the transfer it already has (the client resends its request
        // when the first block is late); once data flows, it is dropped.
        bool repeated = false;
        for (auto& [tid, t] : transfers_)
            if (SameAddress(t.client, from) && t.listenerPort == l.port) {
                repeated = true;
                if (t.acked == 0 && !t.proven && t.next > t.windowEnd) StartWindow(t);
            }
        if (repeated) continue;
        std::shared_ptr<Stream> stream;
        uint64_t size = 0;
        if (l.flavour == Flavour::Security) {
            ++counters_.securityRequests;
            auto answer = security_->Answer(r.name, ntohl(from.sin_addr.s_addr), Clock::now());
            if (!answer) {
                ++counters_.securityRefused;
                Log("security %s: \"%s\" refused", peer.c_str(), Printable(name).c_str());
                Refuse(l.fd, from, 1, "Not a request this server answers");
                continue;
            }
            stream = Stream::FromText(*answer);
            size = answer->size();
        } else {
            std::string why;
            int fd = OpenBeneath(root_, name, &size, why);
            if (fd < 0) {
                bool missing = why == "not found";
                if (!missing) ++counters_.refusedNames;
                Log("%s %s: \"%s\" refused: %s", FlavourName(l.flavour), peer.c_str(),
                    Printable(name).c_str(), why.c_str());
                Refuse(l.fd, from, missing ? 1 : 2,
                       missing ? "File not found" : "Access violation");
                continue;
            }
            stream = Stream::FromFile(fd, size);
            reader_->Add(stream);
        }
        int fd;
        if (!Bind(SOCK_DGRAM, 0, &fd)) {
            Log("%s %s: no socket for the transfer: %s", FlavourName(l.flavour), peer.c_str(),
                std::strerror(errno));
            Refuse(l.fd, from, 0, "Server out of resources");
            continue;
        }
        Transfer t;
        t.id = nextId_++;
        t.fd = fd;
        t.flavour = l.flavour;
        t.listenerPort = l.port;
        t.client = from;
        t.name = name;
        t.stream = stream;
        t.size = size;
        t.blksize = l.flavour == Flavour::Enhanced ? kEnhancedBlock : kStandardBlock;
        uint16_t blksize = 0, window = 0;
        if (r.blksize) {
            uint16_t largest = l.flavour == Flavour::Enhanced ? kEnhancedBlock : kLargestBlock;
            blksize = std::min(r.blksize, largest);
            t.blksize = blksize;
        }
        if (r.windowsize) {
            window = uint16_t(std::min<int>(r.windowsize, kLargestWindow));
            t.window = window;
        }
        if (blksize || window || r.timeout || r.tsize) {
            t.oack.resize(512);
            size_t n = vk::tftp_oack(t.oack.data(), t.oack.size(), blksize, window, r.timeout,
                                     r.tsize, size);
            t.oack.resize(n);
            t.oackPending = n > 0;
        }
        t.lastBlock = size / t.blksize + 1;
        t.start = t.lastProgress = Clock::now();
        ++counters_.transfersStarted;
        Log("%s %s: \"%s\" %llu bytes, blocks of %u%s%s", FlavourName(l.flavour), peer.c_str(),
            Printable(name).c_str(), static_cast<unsigned long long>(size), t.blksize,
            t.window > 1 ? (", window " + std::to_string(t.window)).c_str() : "",
            t.oackPending ? ", options acknowledged" : "");
        Watch(fd, Key(kTransfer, t.id));
        int id = t.id;
        transfers_.emplace(id, std::move(t));
        StartWindow(transfers_[id]);
    }
}

// The window after the acknowledged blocks (or the OACK) goes out.
void Server::StartWindow(Transfer& t) {
    if (t.oackPending) {
        t.next = 0;
        t.windowEnd = 0;
    } else {
        t.next = t.acked + 1;
        t.windowEnd = std::min(t.acked + t.window, t.lastBlock);
    }
    Queue(kTransfer, t.id);
}

bool Server::SendTransfer(Transfer& t, TimePoint now) {
    if (t.next > t.windowEnd) return false;
    size_t length;
    if (t.oackPending) {
        std::memcpy(packet_.data(), t.oack.data(), t.oack.size());
        length = t.oack.size();
    } else {
        uint64_t offset = (t.next - 1) * t.blksize;
        size_t data = offset >= t.size ? 0 : size_t(std::min<uint64_t>(t.blksize, t.size - offset));
        if (!t.stream->Copy(offset, data, packet_.data() + 4)) {
            if (t.stream->Failed()) {
                Refuse(t.fd, t.client, 0, "Read error on the server");
                EndTransfer(t.id, "failed: read error", false);
                return false;
            }
            t.waitingDisk = true;
            return false;
        }
        vk::tftp_data_header(packet_.data(), uint16_t(t.next));
        length = 4 + data;
    }
    sendto(t.fd, packet_.data(), length, 0, reinterpret_cast<const sockaddr*>(&t.client),
           sizeof t.client);
    ++counters_.packetsSent;
    counters_.bytesSent += length - (t.oackPending ? length : 4);
    ++t.next;
    if (t.next > t.windowEnd) {
        t.lastSend = now;
        double wait = std::min(kMaxRto, t.rtt.Rto() * double(1 << std::min(t.backoff, 8)));
        t.timer = After(now, wait);
        return false;
    }
    return true;
}

void Server::OnTransferError(Transfer& t) {
    // An ICMP error: a closed port at the client means it has gone (the
    // client's cache stops reading once it has compared a few blocks).
    for (int turn = 0; turn < 16; ++turn) {
        uint8_t data[64];
        char control[512];
        sockaddr_in to{};
        iovec io{data, sizeof data};
        msghdr m{};
        m.msg_name = &to;
        m.msg_namelen = sizeof to;
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        if (recvmsg(t.fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
            sock_extended_err e;
            std::memcpy(&e, CMSG_DATA(c), sizeof e);
            if (e.ee_origin == SO_EE_ORIGIN_ICMP && e.ee_errno == ECONNREFUSED &&
                SameAddress(to, t.client)) {
                EndTransfer(t.id, "ended: the client closed its port", false);
                return;
            }
        }
    }
}

void Server::OnTransferPacket(Transfer& t) {
    int id = t.id;
    for (int turn = 0; turn < 64; ++turn) {
        auto it = transfers_.find(id);
        if (it == transfers_.end()) return;
        Transfer& x = it->second;
        uint8_t buffer[600];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        ssize_t n =
            recvfrom(x.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            OnTransferError(x);
            continue;
        }
        if (!SameAddress(from, x.client)) {
            // Another transfer identifier: told so, the transfer goes on.
            ++counters_.foreignPackets;
            if (from.sin_addr.s_addr == x.client.sin_addr.s_addr)
                Refuse(x.fd, from, 5, "Unknown transfer ID");
            continue;
        }
        uint16_t opcode, number;
        if (!vk::tftp_parse_reply(buffer, size_t(n), &opcode, &number)) {
            ++counters_.malformedPackets;
            continue;
        }
        if (opcode == vk::kTftpError) {
            EndTransfer(id, ("ended by the client: error " + std::to_string(number)).c_str(),
                        x.acked == x.lastBlock);
            return;
        }
        TimePoint now = Clock::now();
        x.proven = true;
        if (x.oackPending) {
            if (number != 0) continue;
            x.oackPending = false;
            if (!x.resent) x.rtt.Sample(Since(x.lastSend, now));
            x.resent = false;
            x.backoff = 0;
            x.lastProgress = now;
            x.timer = TimePoint::max();
            StartWindow(x);
            continue;
        }
        // The acknowledged block, as a 64-bit number within what was sent.
        uint64_t sent = x.next - 1;
        uint16_t ahead = uint16_t(number - uint16_t(x.acked));
        if (ahead == 0 || ahead > sent - x.acked) continue; // a repeat: our timer resends
        x.acked += ahead;
        x.lastProgress = now;
        x.backoff = 0;
        if (x.acked == sent && x.next > x.windowEnd && !x.resent)
            x.rtt.Sample(Since(x.lastSend, now));
        uint64_t chunk = x.acked * x.blksize / Stream::kChunk;
        x.stream->Release(x.acked * x.blksize);
        if (chunk != x.releasedChunk) {
            x.releasedChunk = chunk;
            reader_->Wake();
        }
        if (x.acked >= x.lastBlock) {
            EndTransfer(id, "done", true);
            return;
        }
        if (x.acked >= x.windowEnd || x.next > x.windowEnd) {
            x.resent = false;
            x.timer = TimePoint::max();
            StartWindow(x);
        }
    }
}

void Server::EndTransfer(int id, const char* how, bool ok) {
    auto it = transfers_.find(id);
    if (it == transfers_.end()) return;
    Transfer& t = it->second;
    double seconds = std::max(1e-6, Since(t.start, Clock::now()));
    uint64_t bytes = std::min(t.size, t.acked * t.blksize);
    Log("%s %s: \"%s\" %s, %llu bytes in %.2f s (%.2f MB/s), %llu resends", FlavourName(t.flavour),
        Peer(t.client).c_str(), Printable(t.name).c_str(), how,
        static_cast<unsigned long long>(bytes), seconds, double(bytes) / seconds / 1e6,
        static_cast<unsigned long long>(t.resends));
    ++(ok ? counters_.transfersDone : counters_.transfersFailed);
    TransferRow row = Row(t, Clock::now());
    row.state = how;
    Ended(std::move(row));
    close(t.fd);
    transfers_.erase(it);
}

// --- Broadcast flavour ------------------------------------------------

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
        members_.emplace(m.id, std::move(m));
        // Every client listens on the same port and takes the first data it
        // sees for its own: a client that is about to join a new session
        // must not see the windows of a running one. Those go on by unicast.
        for (auto& [id, s] : sessions_)
            if (s.streaming && !s.unicast) {
                s.unicast = true;
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
                if (sit != sessions_.end()) SendNotes(m, sit->second);
            }
        } else if (vk::btftp_parse_repair(m.in.data() + used, 4, &value)) {
            OnRepair(m, value);
        } else {
            ++counters_.malformedPackets;
        }
        used += 4;
    }
    m.in.erase(m.in.begin(), m.in.begin() + long(used));
    if (m.in.size() > vk::kTftpRequestMax) m.in.clear();
}

void Server::OnMemberRequest(Member& m, const vk::TftpRequest& r) {
    std::string peer = Peer(m.addr);
    auto refuse = [&](uint16_t code, const char* text) {
        uint8_t error[128];
        size_t n = vk::tftp_error(error, sizeof error, code, text);
        (void)!send(m.fd, error, n, MSG_NOSIGNAL);
        LeaveSession(m.id, std::string("refused: ") + text, false);
    };
    if (r.opcode != vk::kTftpRrq) return refuse(2, "Access violation: this server only reads");
    if (ActiveTransfers() >= o_.maxTransfers) {
        ++counters_.refusedBusy;
        return refuse(0, "Server busy, too many transfers at once; try again later");
    }
    // A session of this file still gathering takes the client; a late one
    // starts a session of its own.
    Session* s = nullptr;
    for (auto& [id, candidate] : sessions_)
        if (!candidate.streaming && candidate.name == r.name) s = &candidate;
    if (!s) {
        uint64_t size = 0;
        std::string why;
        int fd = OpenBeneath(root_, r.name, &size, why);
        if (fd < 0) {
            bool missing = why == "not found";
            if (!missing) ++counters_.refusedNames;
            Log("broadcast %s: \"%s\" refused: %s", peer.c_str(), Printable(r.name).c_str(),
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
        s = &sessions_[id];
        Log("broadcast session %d: \"%s\" %llu bytes, gathering for %.1f s", id,
            Printable(r.name).c_str(), static_cast<unsigned long long>(size), o_.gather);
    }
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
    uint8_t oack[4];
    vk::btftp_oack(oack, m.number);
    (void)!send(m.fd, oack, sizeof oack, MSG_NOSIGNAL);
    if (m.ahead) SendNotes(m, *s);
    // The sessions that went on by unicast when this client connected go
    // back to broadcast once it turns out to tell sessions apart too.
    if (m.ahead && AllApart())
        for (auto& [id, other] : sessions_)
            if (other.streaming && other.unicast && other.broadcast) {
                other.unicast = false;
                Log("broadcast session %d: goes on by broadcast, every client tells sessions apart",
                    id);
            }
    Log("broadcast session %d: %s joins as #%u", s->id, peer.c_str(), m.number);
    if (o_.expect > 0 && int(s->members.size()) >= o_.expect) StartSession(*s);
}

void Server::StartSession(Session& s) {
    if (s.streaming) return;
    s.streaming = true;
    s.start = Clock::now();
    s.timer = TimePoint::max();
    // Clients listen on one port, whatever session they belong to, and
    // those that do not know this server's port note take the first data
    // they see for their own: for them, while more than one session streams,
    // every session goes to its members one by one. So does this one while
    // any other client is connected (waiting in another session or not yet
    // asking): a broadcast would reach it as its own file's data.
    int others = 0;
    for (auto& [id, other] : sessions_)
        if (id != s.id && other.streaming) ++others;
    bool strangers = std::any_of(members_.begin(), members_.end(),
                                 [&](const auto& m) { return m.second.session != s.id; });
    s.to.sin_family = AF_INET;
    s.to.sin_port = htons(vk::kTftpBroadcastLocalPort);
    s.unicast = o_.unicast;
    if (!s.unicast && !o_.broadcastAddress.empty()) {
        inet_pton(AF_INET, o_.broadcastAddress.c_str(), &s.to.sin_addr);
    } else if (!s.unicast) {
        // The subnet broadcast of the interface the first member came by.
        in_addr local = members_[s.members.front()].local;
        bool found = false;
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
                found = true;
            }
            freeifaddrs(list);
        }
        if (!found) s.unicast = true;
    }
    s.broadcast = !s.unicast;
    if ((others > 0 || strangers) && !s.unicast && !AllApart()) {
        s.unicast = true;
        for (auto& [id, other] : sessions_)
            if (other.streaming && !other.unicast) {
                other.unicast = true;
                Log("broadcast session %d: goes on by unicast, another session streams", id);
            }
    }
    char to[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &s.to.sin_addr, to, sizeof to);
    Log("broadcast session %d: \"%s\" starts with %zu member(s), %s", s.id,
        Printable(s.name).c_str(), s.members.size(),
        s.unicast ? "unicast to each" : (std::string("to ") + to).c_str());
    s.window = 0;
    s.nextFirst = 0;
    CheckWindow(s);
}

// Clients that got this server's port note take data from their own
// session's port only: while every connected client did, sessions stream
// side by side by broadcast.
bool Server::AllApart() const {
    return std::all_of(members_.begin(), members_.end(),
                       [](const auto& m) { return m.second.ahead > 0 && m.second.session != 0; });
}

// To a client that holds a window ahead: the same note back (it may ask for
// single packets now) and the port the session's data leaves from.
void Server::SendNotes(Member& m, const Session& s) {
    uint8_t notes[8];
    vk::btftp_ahead(notes, m.ahead);
    vk::btftp_port(notes + 4, s.port);
    (void)!send(m.fd, notes, sizeof notes, MSG_NOSIGNAL | MSG_DONTWAIT);
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
    s.firstPass = !s.resent[s.passWindow % kInFlight];
    s.secondPass = false;
    s.slot = 0;
    s.slotEnd = std::min(kBroadcastWindow, s.packets - s.passWindow * kBroadcastWindow);
    s.sending = true;
    s.timer = TimePoint::max();
}

bool Server::SendSession(Session& s, TimePoint now) {
    while (!s.repairs.empty() && s.repairs.front() < s.window * kBroadcastWindow)
        s.repairs.pop_front();
    bool repair = !s.repairs.empty();
    if (!repair && !s.sending) return false;
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
    size_t length = 4 + data;
    if (s.unicast) {
        for (int mid : s.members) {
            auto it = members_.find(mid);
            if (it == members_.end()) continue;
            sockaddr_in to = s.to;
            to.sin_addr = it->second.addr.sin_addr;
            sendto(s.fd, packet_.data(), length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ++counters_.packetsSent;
        }
        if (s.members.size() > 1) Pace(length * (s.members.size() - 1), now);
    } else {
        sendto(s.fd, packet_.data(), length, 0, reinterpret_cast<sockaddr*>(&s.to), sizeof s.to);
        ++counters_.packetsSent;
    }
    counters_.bytesSent += data;
    if (repair) {
        s.repairs.pop_front();
        ++s.repairsSent;
        return !s.repairs.empty() || s.sending;
    }
    if (++s.slot < s.slotEnd) return true;
    if (s.doubled && s.firstPass && !s.secondPass) {
        s.secondPass = true;
        s.slot = 0;
        return true;
    }
    s.sending = false;
    s.passEnded[s.passWindow % kInFlight] = now;
    if (!s.passes.empty()) {
        StartPass(s);
        return true;
    }
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
    if (s.sending && s.passWindow == w && s.slot == 0) return;
    ++s.resends;
    ++counters_.resends;
    s.resent[w % kInFlight] = true;
    s.resendAt = Clock::now();
    s.passes.push_back(w);
    if (!s.sending) {
        StartPass(s);
        Queue(kSession, s.id);
    }
}

void Server::OnWindowAck(Member& m, uint16_t number) {
    auto it = sessions_.find(m.session);
    if (it == sessions_.end() || !it->second.streaming) return;
    Session& s = it->second;
    TimePoint now = Clock::now();
    // The window the number names: from the one before the oldest some
    // member lacks to the last that went out.
    int64_t w = int64_t(s.window) + int16_t(uint16_t(number - uint16_t(s.window)));
    if (w < int64_t(s.window) - 1 || w >= int64_t(s.nextFirst)) return;
    if (w > m.acked && w < int64_t(s.nextFirst)) {
        // A client acknowledges a window only when it holds every one before.
        // Timed only from a single pass that ended while the member was not
        // still completing an earlier window.
        bool measured = !s.resent[w % kInFlight] && !s.repaired[w % kInFlight] &&
                        s.passEnded[w % kInFlight] != TimePoint{} &&
                        !(s.sending && s.passWindow == uint64_t(w)) &&
                        m.lastAck < s.passEnded[w % kInFlight];
        m.lastAck = now;
        m.acked = w;
        m.lastHeard = now;
        if (uint64_t(w) + 1 >= s.windows) ++s.finished;
        if (measured) m.rtt.Sample(Since(s.passEnded[w % kInFlight], now));
        if (uint64_t(w) == s.window && s.resent[w % kInFlight] && m.rtt.valid &&
            Since(s.resendAt, now) < 0.75 * m.rtt.srtt)
            s.spurious = true;
        CheckWindow(s);
    } else if (w == m.acked) {
        // Acknowledging the last window again asks for the one after it.
        m.lastHeard = now;
        ++m.asks;
        AskAgain(s, uint64_t(w) + 1);
    }
}

// A member lacks one packet of a window in flight: it goes out again before
// the rest of the pass under way, once however many members ask.
void Server::OnRepair(Member& m, uint16_t number) {
    auto it = sessions_.find(m.session);
    if (it == sessions_.end() || !it->second.streaming) return;
    Session& s = it->second;
    m.lastHeard = Clock::now();
    uint64_t first = s.window * kBroadcastWindow;
    int64_t p = int64_t(first) + int16_t(uint16_t(number - uint16_t(first)));
    if (p < int64_t(first) || p >= int64_t(std::min(s.nextFirst * kBroadcastWindow, s.packets)))
        return;
    if (std::find(s.repairs.begin(), s.repairs.end(), uint64_t(p)) != s.repairs.end()) return;
    if (s.repairs.size() >= kInFlight * kBroadcastWindow) return;
    s.repairs.push_back(uint64_t(p));
    s.repaired[(uint64_t(p) / kBroadcastWindow) % kInFlight] = true;
    ++counters_.resends;
    Queue(kSession, s.id);
}

// The windows every member holds are passed; the next ones go out as far as
// the members allow, or the file is done.
void Server::CheckWindow(Session& s) {
    if (!s.streaming || s.members.empty()) return;
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
        bool resent = s.resent[s.window % kInFlight];
        bool lost = resent && !s.spurious;
        if (s.spurious)
            s.rtoScale = std::min(4.0, s.rtoScale * 1.5);
        else if (!resent)
            s.rtoScale = std::max(1.0, s.rtoScale * 0.98);
        s.spurious = false;
        if (!s.doubled)
            s.lossHistory = (s.lossHistory << 1) | (lost ? 1 : 0);
        else if (lost)
            s.lossHistory = (s.lossHistory << 1) | 1;
        else if (++s.cleanDoubled % 8 == 0)
            s.lossHistory <<= 1;
        bool doubled = __builtin_popcount(s.lossHistory & 0xFF) >= 3;
        if (doubled != s.doubled)
            Log("broadcast session %d: %s, %d of the last 8 windows were sent again", s.id,
                doubled ? "windows go out twice" : "windows go out once",
                __builtin_popcount(s.lossHistory & 0xFF));
        s.doubled = doubled;
        // A pass of the window still waiting is not needed any more.
        s.passes.erase(std::remove(s.passes.begin(), s.passes.end(), s.window), s.passes.end());
        ++s.window;
        moved = true;
    }
    if (moved) {
        // A pass of a window every member holds now stops where it is: its
        // data is released.
        if (s.sending && s.passWindow < s.window) s.sending = false;
        s.stream->Release(s.window * kBroadcastWindow * kEnhancedBlock);
        reader_->Wake();
        s.backoff = 0;
    }
    uint64_t limit = s.window + WindowsAhead(s);
    while (s.nextFirst < s.windows && s.nextFirst <= limit) {
        s.resent[s.nextFirst % kInFlight] = false;
        s.repaired[s.nextFirst % kInFlight] = false;
        s.passEnded[s.nextFirst % kInFlight] = TimePoint{};
        s.passes.push_back(s.nextFirst++);
    }
    if (!s.sending && !s.passes.empty()) {
        StartPass(s);
        Queue(kSession, s.id);
    } else if (!s.sending && s.timer == TimePoint::max()) {
        ArmResend(s, Clock::now());
    }
}

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
        bool complete = s.streaming && m.acked >= 0 && uint64_t(m.acked) + 1 >= s.windows;
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
}

void Server::EndSession(int id, const char* how) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    Session& s = it->second;
    bool done = std::strcmp(how, "done") == 0;
    uint64_t bytes = done ? s.size : std::min(s.size, s.window * kBroadcastWindow * kEnhancedBlock);
    double seconds = std::max(1e-6, Since(s.streaming ? s.start : s.gatherEnd, Clock::now()));
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

// --- Sending, timers, status -------------------------------------------

void Server::Queue(Kind kind, int id) {
    if (kind == kTransfer) {
        auto it = transfers_.find(id);
        if (it == transfers_.end() || it->second.queued) return;
        it->second.queued = true;
    } else {
        auto it = sessions_.find(id);
        if (it == sessions_.end() || it->second.queued) return;
        it->second.queued = true;
    }
    ready_.emplace_back(kind, id);
}

// Pacing by --max-rate: every packet moves the clock on by its time on the
// wire, headers counted. A loop that woke late (a busy machine, the timer's
// granularity) catches up by at most half a window at once, so the rate
// holds without a window's burst at line rate.
bool Server::Pace(size_t bytes, TimePoint now) {
    if (!o_.maxRate) return true;
    double seconds = double((bytes + kWireOverhead) * 8) / double(o_.maxRate);
    TimePoint floor = After(now, -double(kCatchUpPackets) * double((1400 + kWireOverhead) * 8) /
                                     double(o_.maxRate));
    if (nextPacket_ < floor) nextPacket_ = floor;
    nextPacket_ = After(nextPacket_, seconds);
    return true;
}

void Server::SendQueued() {
    paced_ = false;
    for (int sent = 0; sent < kPacketsPerTurn && !ready_.empty(); ++sent) {
        TimePoint now = Clock::now();
        if (o_.maxRate && nextPacket_ > now) {
            paced_ = true;
            return;
        }
        auto [kind, id] = ready_.front();
        ready_.pop_front();
        bool more = false;
        if (kind == kTransfer) {
            auto it = transfers_.find(id);
            if (it == transfers_.end()) continue;
            it->second.queued = false;
            size_t length = 4 + it->second.blksize;
            more = SendTransfer(it->second, now);
            Pace(length, now);
        } else {
            auto it = sessions_.find(id);
            if (it == sessions_.end()) continue;
            it->second.queued = false;
            more = SendSession(it->second, now);
            Pace(4 + kEnhancedBlock, now);
        }
        if (more) Queue(kind, id);
    }
}

void Server::Timers(TimePoint now) {
    std::vector<int> due;
    for (auto& [id, t] : transfers_)
        if (t.timer <= now) due.push_back(id);
    for (int id : due) {
        Transfer& t = transfers_[id];
        if (Since(t.lastProgress, now) > kGiveUp) {
            EndTransfer(id, "failed: no acknowledgement", false);
            continue;
        }
        if (!t.proven && t.resends >= kUnprovenResends) {
            EndTransfer(id, "failed: no answer to the first packet", false);
            continue;
        }
        // Late by a few round trips: the window again, from the first
        // unacknowledged block.
        ++t.resends;
        ++counters_.resends;
        ++t.backoff;
        t.resent = true;
        t.timer = TimePoint::max();
        StartWindow(t);
    }
    due.clear();
    for (auto& [id, s] : sessions_)
        if (s.timer <= now) due.push_back(id);
    for (int id : due) {
        Session& s = sessions_[id];
        s.timer = TimePoint::max();
        if (!s.streaming) {
            StartSession(s);
            continue;
        }
        if (s.sending) continue;
        // Members silent for longer than their deadline leave the session
        // so that the others go on; the deadline grows with the member's
        // round trip (a slow link or a busy client).
        std::vector<std::pair<int, std::string>> drop;
        for (int mid : s.members) {
            Member& m = members_[mid];
            if (m.acked + 1 >= int64_t(s.nextFirst)) continue;
            // The client itself asks again after 4 s for the first window
            // and after 1 s for the others.
            double asks = s.window == 0 ? 4.0 : 1.0;
            double deadline = asks + std::clamp(10 * m.rtt.srtt, kDropMargin, kDropMarginMax);
            double silent = Since(m.lastHeard, now);
            if (silent > deadline) {
                char why[160];
                std::snprintf(why, sizeof why, "no acknowledgement of window %llu for %.1f s",
                              static_cast<unsigned long long>(s.window), silent);
                drop.emplace_back(mid, why);
            }
        }
        for (auto& [mid, why] : drop)
            LeaveSession(mid, why, true);
        if (!sessions_.count(id)) continue;
        Session& left = sessions_[id];
        if (left.sending || left.timer != TimePoint::max()) continue;
        ++left.backoff;
        // Each member gets again the first window it lacks.
        for (int mid : std::vector<int>(left.members))
            AskAgain(left, uint64_t(members_[mid].acked + 1));
    }
}

void Server::ArmTimer() {
    TimePoint next = TimePoint::max();
    for (auto& [id, t] : transfers_)
        next = std::min(next, t.timer);
    for (auto& [id, s] : sessions_)
        next = std::min(next, s.timer);
    if (paced_) next = std::min(next, nextPacket_);
    next = std::min(next, nextPublish_);
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
    r.mbps = s.streaming ? double(r.bytes) / std::max(1e-6, Since(s.start, now)) / 1e6 : 0;
    r.resends = m.asks;
    r.state = s.streaming ? "sending" : "gathering";
    return r;
}

void Server::Ended(TransferRow row) {
    ended_.emplace_back(Clock::now(), std::move(row));
    while (ended_.size() > kEndedRows)
        ended_.pop_front();
}

void Server::Publish(TimePoint now) {
    if (now < nextPublish_) return;
    nextPublish_ = After(now, 0.25);
    // Control connections that never sent a request are closed.
    std::vector<int> idle;
    for (auto& [id, m] : members_)
        if (!m.session && Since(m.joined, now) > kRequestWait) idle.push_back(id);
    for (int id : idle)
        LeaveSession(id, "sent no request", false);
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
    board_.Publish(std::move(rows), counters_);
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
        for (int i = 0; i < n; ++i) {
            uint64_t key = events[i].data.u64;
            Kind kind = Kind(key >> 32);
            int id = int(uint32_t(key));
            switch (kind) {
            case kListener: OnRequest(listeners_[size_t(id)]); break;
            case kTransfer: {
                auto it = transfers_.find(id);
                if (it == transfers_.end()) break;
                if (events[i].events & EPOLLERR) OnTransferError(it->second);
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
                while (recv(it->second.fd, junk, sizeof junk, MSG_DONTWAIT) >= 0 ||
                       errno == ECONNREFUSED) {
                }
                break;
            }
            case kTimer: {
                uint64_t expirations;
                (void)!read(timer_, &expirations, sizeof expirations);
                break;
            }
            case kEvent: {
                uint64_t count;
                (void)!read(event_, &count, sizeof count);
                for (auto& [tid, t] : transfers_)
                    if (t.waitingDisk) {
                        t.waitingDisk = false;
                        Queue(kTransfer, tid);
                    }
                for (auto& [sid, s] : sessions_)
                    if (s.waitingDisk) {
                        s.waitingDisk = false;
                        Queue(kSession, sid);
                    }
                break;
            }
            case kSignal: {
                signalfd_siginfo info{};
                while (read(signal_, &info, sizeof info) == ssize_t(sizeof info)) {
                    if (info.ssi_signo == SIGHUP) {
                        std::string error;
                        if (security_ && !o_.usersFile.empty()) {
                            if (security_->Load(o_.usersFile, error))
                                Log("users reloaded from %s", o_.usersFile.c_str());
                            else
                                Log("users not reloaded: %s", error.c_str());
                        }
                    } else {
                        Log("stopping on signal %u", info.ssi_signo);
                        stop_ = true;
                    }
                }
                break;
            }
            }
        }
        TimePoint now = Clock::now();
        Timers(now);
        SendQueued();
        Publish(now);
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

} // namespace

int RunServer(const ServerOptions& options, SecurityService* security) {
    Server server(options, security);
    return server.Run();
}

} // namespace vks
