// The inside of tobrend-server's event loop: the state of the lock-step
// transfers and of the broadcast flavour's members and sessions, and the
// one class that owns them all. Its methods live by part:
//   loop.cpp      sockets, the event loop, the send queue, timers;
//   lockstep.cpp  the standard, enhanced and security ports;
//   members.cpp   the broadcast flavour's control connections, how a
//                 session starts, where its windows go, who leaves;
//   session.cpp   a broadcast session's windows, passes and repairs;
//   board.cpp     the status board's rows and the live table.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/tftp_packet.h"
#include "pacing.h"
#include "readahead.h"
#include "server.h"
#include "status.h"

namespace vks {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

constexpr uint16_t kStandardBlock = vk::kTftpBlockStandard;
constexpr uint16_t kEnhancedBlock = vk::kTftpBlockMax;
constexpr uint16_t kLargestBlock = 65464;
constexpr uint64_t kBroadcastWindow = vk::kTftpWindow;
// Windows out beyond the oldest one some member lacks, at most (clients say
// how many they hold), and the windows in flight then.
constexpr uint16_t kMostAhead = 3;
constexpr uint64_t kInFlight = kMostAhead + 1;
constexpr double kFirstRto = 0.25; // before any round trip was measured
constexpr double kMaxRto = 1.0;    // the client asks again itself after a second

double Since(TimePoint a, TimePoint b);
TimePoint After(TimePoint t, double seconds);
std::string Peer(const sockaddr_in& a);
bool SameAddress(const sockaddr_in& a, const sockaddr_in& b);
// Names in log lines: printable ASCII only, cut to a reasonable length.
std::string Printable(const std::string& text);
// A TFTP error packet to `to`, or on the connected stream `fd` when `to` is
// null.
void SendError(int fd, const sockaddr_in* to, uint16_t code, const char* text);

// The round trip of one transfer or member (smoothed as TCP does) and the
// wait before a resend: a few round trips, within bounds.
struct Rtt {
    double srtt = 0, var = 0;
    bool valid = false;
    void Sample(double s);
    double Rto() const;
};

enum class Flavour { Standard, Enhanced, Security };
const char* FlavourName(Flavour f);

// What the send queue knows of a transfer or session: whether it waits in
// the queue, and whether it waits for the reader thread.
struct Sender {
    bool queued = false, waitingDisk = false;
};

// A lock-step transfer (window 1 unless the client asked for more).
struct Transfer : Sender {
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
    TimePoint lastProgress; // when it last acknowledged a new window
    Rtt rtt;
    uint64_t asks = 0; // windows asked for again
    // Since its last progress: requests that moved nothing (acknowledgements
    // of windows never sent or of old ones, repeated acknowledgements while
    // a window it lacks is out, repair requests beyond its share), and the
    // repair requests it made.
    int strikes = 0;
    uint64_t repairsAsked = 0;
    // Its address left a connection without a request until it was closed,
    // not long ago.
    bool suspect = false;
};

// A broadcast session's life. Every change of phase goes through
// `Server::Enter` (session.cpp):
//   Gathering  waits for members until the gathering time ends or the
//              expected count joined; then the first windows go out;
//   Streaming  a pass sends a window for the first time;
//   Repairing  a pass sends again a window that went out before;
//   Draining   no pass under way: the windows out wait for their
//              acknowledgements (and a resend timer); a new window or a
//              window asked for again starts the next pass;
//   Ended      the file is done, failed or every member left; the session
//              is removed at once.
// Single packets asked for again go out ahead of any pass, whatever the
// phase after Gathering.
enum class Phase { Gathering, Streaming, Repairing, Draining, Ended };

// Where a session's windows go: the subnet broadcast (or the configured
// address), every member's address in turn for as long as another client
// could take the broadcast for its own (and back to broadcast once every
// client tells sessions apart), or every member's address always
// (--unicast, or no broadcast address found).
enum class Route { Broadcast, UnicastForNow, Unicast };

// A window in flight (indexed by window number % kInFlight).
struct Flight {
    TimePoint passEnded;   // when its last pass ended (none yet: epoch)
    bool resent = false;   // a pass sent it again
    bool repaired = false; // single packets of it were sent again
    // The resend came back acknowledged sooner than a round trip: it was not
    // needed (the acknowledgement was on its way). Such a window counts as
    // clean, and the wait before the next resend grows.
    bool needless = false;
};

// Clients fetching one file by the broadcast flavour: one stream for all.
struct Session : Sender {
    int id = 0;
    std::string name;
    std::shared_ptr<Stream> stream;
    uint64_t size = 0;
    int fd = -1;       // the UDP socket all windows leave from
    uint16_t port = 0; // its port
    std::vector<int> members;
    Phase phase = Phase::Gathering;
    TimePoint gatherEnd, start, timer = TimePoint::max();
    uint64_t packets = 0, windows = 0;
    // The oldest window some member still lacks, and the first window that
    // never went out. Beyond `window` as many more go out while the
    // acknowledgements come in as every member holds ahead.
    uint64_t window = 0, nextFirst = 0;
    // Passes: each sends all packets of one window. The one under way (its
    // window, next packet, end, and which copy of a doubled window it is)
    // and those waiting, oldest first.
    std::deque<uint64_t> passes;
    uint64_t passWindow = 0, slot = 0, slotEnd = 0;
    int copy = 0;
    Flight flight[kInFlight];
    Flight& At(uint64_t w) { return flight[w % kInFlight]; }
    const Flight& At(uint64_t w) const { return flight[w % kInFlight]; }
    // Single packets asked for again (numbers from the file's start), sent
    // before the passes; at most the windows in flight.
    std::deque<uint64_t> repairs;
    uint64_t repairsSent = 0;
    // Loss: the windows that needed a resend (a bit each, newest lowest).
    // While many did, every window goes out twice at once, which costs
    // less than waiting for the acknowledgements to come late.
    uint32_t lossHistory = 0;
    uint32_t cleanDoubled = 0;
    bool Doubled() const { return __builtin_popcount(lossHistory & 0xFF) >= 3; }
    TimePoint resendAt; // when a window was last asked for again
    double rtoScale = 1.0;
    int backoff = 0;
    uint64_t resends = 0;
    uint16_t nextNumber = 0;
    size_t finished = 0; // members that acknowledged the final window
    sockaddr_in to{};
    Route route = Route::Broadcast;

    bool Started() const { return phase != Phase::Gathering; }
    bool Sending() const { return phase == Phase::Streaming || phase == Phase::Repairing; }
    bool Unicast() const { return route != Route::Broadcast; }
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
inline uint64_t Key(Kind k, int id) {
    return (uint64_t(k) << 32) | uint32_t(id);
}

class SecurityService;

class Server {
  public:
    Server(const ServerOptions& o, SecurityService* security)
        : o_(o), security_(security), pacer_(o.maxRate) {}
    int Run();

  private:
    struct Listener {
        int fd;
        Flavour flavour;
        uint16_t port;
    };

    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Whether a refusal of a request from `a` is logged: a few per address
    // and period; the rest are counted and summed up in one line when the
    // address's next period opens (the status board counts every one).
    bool LogRefusal(in_addr a);
    struct RefusalLog {
        TimePoint periodEnd{};
        int logged = 0, held = 0;
    };
    void SumUpRefusals(uint32_t address, RefusalLog& r);
    void SumUpRefusals(TimePoint now);
    bool Setup();
    bool Bind(int type, uint16_t port, int* fd);
    void Watch(int fd, uint64_t key, uint32_t events = EPOLLIN);
    void OnEvent(const epoll_event& e);
    void OnSignal();

    // Lock-step flavours (lockstep.cpp).
    void OnRequest(const Listener& l);
    std::shared_ptr<Stream> Open(const Listener& l, const vk::TftpRequest& r,
                                 const sockaddr_in& from, const std::string& name, uint64_t* size);
    void Refuse(int fd, const sockaddr_in& to, uint16_t code, const char* text);
    void OnTransferPacket(Transfer& t);
    void OnTransferError(Transfer& t);
    void OnTransferTimer(Transfer& t, TimePoint now);
    bool SendTransfer(Transfer& t, TimePoint now);
    void StartWindow(Transfer& t);
    void EndTransfer(int id, const char* how, bool ok);

    // Broadcast flavour: members (members.cpp).
    void OnAccept();
    void OnMemberData(Member& m);
    void OnMemberRequest(Member& m, const vk::TftpRequest& r);
    Session* NewSession(Member& m, const vk::TftpRequest& r);
    void RefuseMember(Member& m, uint16_t code, const char* text);
    void SendNotes(Member& m, const Session& s, bool answer);
    void StartSession(Session& s);
    void ChooseRoute(Session& s);
    bool AllApart() const;
    void BackToBroadcast();
    bool Strike(Member& m, const std::string& what);
    void CloseIdle(TimePoint now);
    void DropSilent(Session& s, TimePoint now);
    void LeaveSession(int memberId, const std::string& why, bool dropped);
    void EndSession(int id, const char* how);

    // Broadcast flavour: the session's windows (session.cpp).
    void Enter(Session& s, Phase phase);
    bool SendSession(Session& s, TimePoint now);
    void SendPacket(Session& s, size_t length, TimePoint now);
    void OnSessionTimer(Session& s, TimePoint now);
    void OnWindowAck(Member& m, uint16_t number);
    void OnRepair(Member& m, uint16_t number);
    void AskAgain(Session& s, uint64_t window);
    void StartPass(Session& s);
    void ArmResend(Session& s, TimePoint now);
    void CheckWindow(Session& s);
    void CountLoss(Session& s);
    uint64_t WindowsAhead(const Session& s) const;

    // The send queue and timers (loop.cpp).
    Sender* Find(Kind kind, int id);
    void Queue(Kind kind, int id);
    void SendQueued();
    void Timers(TimePoint now);
    void ArmTimer();
    void Shutdown();
    int ActiveTransfers() const { return int(transfers_.size() + requested_); }
    // Transfers (lock-step, and broadcast members with a request) and
    // control connections from one client address.
    int TransfersFrom(in_addr a) const;
    int ConnectionsFrom(in_addr a) const;
    bool MakeRoom(in_addr asking);

    // The status board (board.cpp).
    void Publish(TimePoint now);
    void Ended(TransferRow row);
    TransferRow Row(const Transfer& t, TimePoint now) const;
    TransferRow Row(const Member& m, const Session& s, TimePoint now) const;

    ServerOptions o_;
    SecurityService* security_;
    int epoll_ = -1, timer_ = -1, event_ = -1, signal_ = -1, root_ = -1, control_ = -1;
    std::vector<Listener> listeners_;
    std::map<int, Transfer> transfers_;
    std::map<int, Member> members_;
    // Addresses whose connections sent no request in time, until when they
    // stay suspect.
    std::unordered_map<uint32_t, TimePoint> suspects_;
    std::unordered_map<uint32_t, RefusalLog> refusalLog_;
    TimePoint nextRefusalSums_ = TimePoint::max(); // the earliest period with lines held
    std::map<int, Session> sessions_;
    std::deque<std::pair<Kind, int>> ready_;
    int nextId_ = 1;
    int requested_ = 0; // members with a request in a session
    std::unique_ptr<Reader> reader_;
    StatusBoard board_;
    ServerCounters counters_;
    Pacer pacer_;
    TimePoint nextPublish_{}, nextDraw_{};
    bool paced_ = false; // the queue waits for the pacing clock
    bool terminal_ = false;
    std::deque<std::string> recent_; // the log lines under the live table
    // Transfers that ended lately stay on the status board for a while.
    std::deque<std::pair<TimePoint, TransferRow>> ended_;
    std::vector<uint8_t> packet_ = std::vector<uint8_t>(4 + kLargestBlock);
    bool stop_ = false;
};

} // namespace vks
