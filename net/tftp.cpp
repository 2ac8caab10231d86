// The TFTP client: standard and enhanced flavours (a read request, DATA
// blocks acknowledged one by one, or window by window with the sizes an
// OACK agreed) and the broadcast flavour (windows of 32 packets streamed to
// many clients, acknowledged on a TCP control stream).
// Every wait is a poll() with a deadline; no signal interrupts a read.
#include "net/tftp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h> // TCP_RTO_MIN_US where the kernel headers are new enough
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <strings.h>

#include "net/bootp.h"
#include "net/tftp_packet.h"
#include "net/wire.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"
#include "tftp_internal.h"

namespace vk {

int tftp_wait_divisor = 1;
uint16_t tftp_control_port = kTftpBroadcastPort;
uint16_t tftp_data_port = kTftpBroadcastLocalPort;

namespace {

using Clock = std::chrono::steady_clock;

// One read waits 4 s for the first block and 1 s for the later ones; it
// survives 15 such timeouts and gives up at the 16th.
constexpr int kFirstWaitMs = 4000;
constexpr int kNextWaitMs = 1000;
constexpr int kMinorTimeouts = 15;
constexpr int kConnectWaitMs = 4000;
// A broadcast control connection refused or dropped before the answer is
// tried again for this long, after a pause that doubles up to its most.
constexpr int kReconnectMs = 12000;
constexpr int kReconnectPauseMs = 250;
constexpr int kReconnectPauseMaxMs = 2000;
// Broadcast flavour: the windows kept beyond the one awaited (their early
// packets wait in a ring of window buffers, indexed by window number), the
// size of one, and a slot that holds no packet yet.
constexpr int kAheadWindows = 3;
constexpr size_t kWindowBytes = size_t(kTftpWindow) * kTftpBlockMax;
constexpr uint16_t kNoPacket = 0xFFFF;
// A streamed window arrives a packet every few dozen microseconds: once the
// queue is empty the client naps this long before it waits, and then takes
// what came in one go, instead of waking for every packet (with many
// clients on few processors the wake-ups, not the data, use the time). The
// receive buffer is made large enough to hold a nap's packets many times.
constexpr int kNapUs = 1000;
constexpr int kBatch = 16; // datagrams the broadcast flavour reads in one call
constexpr int kStreamBuffer = 1 << 20;
// The control stream's retransmission floor: a lost acknowledgement is sent
// again after a few milliseconds, not the kernel's default 200 ms, which
// would hold up every client of the session.
constexpr int kControlRtoMinUs = 5000;
#ifndef TCP_RTO_MIN_US // kernel headers older than Linux 6.13: its number there
#define TCP_RTO_MIN_US 45
#endif
// With options agreed, this much silence while blocks are due means a lost
// block or acknowledgement: the last block held is acknowledged again (the
// pause doubling each time) well before the wait above runs out.
constexpr int kQuickMs = 50;

struct Session {
    bool open = false;
    int udp = -1;
    int tcp = -1;
    uint8_t server[4] = {};
    uint16_t port = 0;       // where the read request went
    bool locked = false;     // the server's transfer port is known
    uint16_t serverPort = 0; // the source port of the first DATA packet
    uint16_t blockSize = 0;
    uint16_t expected = 1;
    bool anyData = false;
    bool eof = false;
    bool errorEnd = false;            // an ERROR packet ended the transfer
    uint8_t request[kTftpRequestMax]; // what was sent last (with options or not)
    size_t requestLength = 0;
    uint8_t plain[kTftpRequestMax]; // the same request without options
    size_t plainLength = 0;
    // Options: asked in the request, agreed by an OACK. Until then, and with
    // a server that ignores them, the window is 1 (lock-step).
    TftpOptions ask;
    bool asking = false;
    bool agreed = false;
    uint16_t windowSize = 1;
    uint16_t acked = 0;  // the last block acknowledged: the window starts after it
    uint16_t nakFor = 0; // the awaited block a gap was last reported for
    int gapCount = 0;    // blocks past a gap since it was reported
    uint8_t packet[4 + kTftpBlockMax + 1];
    const uint8_t* got = nullptr; // the datagram Receive handed out
    // Broadcast flavour: datagrams read in one call and not yet handed out.
    struct Batch {
        uint8_t data[kBatch][4 + kTftpBlockMax + 1];
        mmsghdr headers[kBatch];
        iovec parts[kBatch];
        sockaddr_in from[kBatch];
        int count = 0, next = 0;
    } batch;
    // Broadcast flavour: the ring of window buffers, where in it the
    // current window lies (`at`) and what is left of that to hand out; the
    // lengths of packets that came early for the others (kNoPacket: none).
    uint8_t* window = nullptr;
    size_t at = 0;
    uint16_t aheadLength[(kAheadWindows + 1) * kTftpWindow];
    // The server's note that it takes repair requests: the bytes of it read
    // so far, and whether it came.
    uint8_t note[4];
    size_t noteHave = 0;
    bool repairs = false;
    size_t current = 0;
    size_t loaded = 0;
    uint16_t last = 0;
    bool lastSeen = false;
    uint16_t winno = 0;
    uint16_t procno = 0;
};
Session s;

// The waits above, shortened only by the fuzz harness (never by the program).
std::chrono::microseconds WaitUs(int64_t us) {
    return std::chrono::microseconds(us / (tftp_wait_divisor > 0 ? tftp_wait_divisor : 1));
}

Clock::duration Wait(int ms) {
    return WaitUs(int64_t(ms) * 1000);
}

// Rounded up: a wait never ends before its deadline.
int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

sockaddr_in Address(const uint8_t* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr.s_addr, ip, 4);
    return a;
}

bool SendTo(const uint8_t* data, size_t length, uint16_t port) {
    sockaddr_in to = Address(s.server, port);
    return sendto(s.udp, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           ssize_t(length);
}

// Acknowledges a block to the server's transfer port.
void SendAck(uint16_t block) {
    uint8_t ack[4];
    size_t n = tftp_ack(ack, block);
    SendTo(ack, n, s.serverPort);
}

// Acknowledges `block` as the last one held in order: a server that sends
// windows starts its next one after it.
void AckUpTo(uint16_t block) {
    SendAck(block);
    s.acked = block;
}

// The request once more, without options: the server refused them or
// answered with an OACK that cannot be taken.
void AskPlain() {
    s.asking = false;
    std::memcpy(s.request, s.plain, s.plainLength);
    s.requestLength = s.plainLength;
    SendTo(s.request, s.requestLength, s.port);
}

// Writes all of `data` on the control stream within the deadline.
bool WriteStream(const uint8_t* data, size_t length, Clock::time_point deadline) {
    while (length > 0) {
        ssize_t n = send(s.tcp, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            length -= size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        pollfd wait{s.tcp, POLLOUT, 0};
        if (poll(&wait, 1, RemainingMs(deadline)) <= 0) return false;
    }
    return true;
}

bool ReadStream(uint8_t* data, size_t length, Clock::time_point deadline) {
    while (length > 0) {
        pollfd wait{s.tcp, POLLIN, 0};
        int ready = poll(&wait, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = recv(s.tcp, data, length, MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= size_t(n);
    }
    return true;
}

bool ConnectStream() {
    s.tcp = socket(AF_INET, SOCK_STREAM, 0);
    if (s.tcp < 0) return false;
    sockaddr_in any = Address(reinterpret_cast<const uint8_t*>("\0\0\0\0"), 0);
    if (bind(s.tcp, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return false;
    int flags = fcntl(s.tcp, F_GETFL, 0);
    fcntl(s.tcp, F_SETFL, flags | O_NONBLOCK);
    sockaddr_in to = Address(s.server, tftp_control_port);
    // Each acknowledgement leaves at once, and one that is lost is sent again
    // soon (kernels without this option keep their own floor).
    int one = 1, rtoMin = kControlRtoMinUs;
    setsockopt(s.tcp, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(s.tcp, IPPROTO_TCP, TCP_RTO_MIN_US, &rtoMin, sizeof rtoMin);
    if (connect(s.tcp, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (errno != EINPROGRESS) return false;
        pollfd wait{s.tcp, POLLOUT, 0};
        if (poll(&wait, 1, RemainingMs(Clock::now() + Wait(kConnectWaitMs))) <= 0) return false;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(s.tcp, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return false;
    }
    return true;
}

void CloseSockets() {
    if (s.tcp >= 0) close(s.tcp);
    s.tcp = -1;
    if (s.udp >= 0) close(s.udp);
    s.udp = -1;
}

void PrintNumber(uint32_t value) {
    char text[12];
    ultoa(value, text);
    PrintString(text);
}

// What one wait for a datagram brought.
enum class Got { Packet, Timeout, Failed };

// The next datagram queued on the data socket, without waiting: its length
// (or -1 with errno), sender and bytes (`s.got`). The broadcast flavour
// reads a batch at once; the others read into the packet buffer.
ssize_t NextDatagram(sockaddr_in* from, socklen_t* size) {
    if (s.port != kTftpBroadcastPort) {
        s.got = s.packet;
        return recvfrom(s.udp, s.packet, sizeof s.packet, MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(from), size);
    }
    auto& b = s.batch;
    if (b.next == b.count) {
        for (int i = 0; i < kBatch; ++i) {
            b.parts[i] = {b.data[i], sizeof b.data[i]};
            b.headers[i] = {};
            b.headers[i].msg_hdr.msg_name = &b.from[i];
            b.headers[i].msg_hdr.msg_namelen = sizeof b.from[i];
            b.headers[i].msg_hdr.msg_iov = &b.parts[i];
            b.headers[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(s.udp, b.headers, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            b.count = b.next = 0;
            if (n == 0) errno = EAGAIN;
            return -1;
        }
        b.count = n;
        b.next = 0;
    }
    int i = b.next++;
    *from = b.from[i];
    *size = b.headers[i].msg_hdr.msg_namelen;
    s.got = b.data[i];
    return ssize_t(b.headers[i].msg_len);
}

// Waits until `deadline` for a datagram from the server (and, once the
// transfer is locked, from its transfer port); others are dropped unseen.
Got Receive(Clock::time_point deadline, size_t* length, uint16_t* fromPort) {
    bool napped = s.port != kTftpBroadcastPort;
    for (;;) {
        // What is already queued is taken without waiting: in lock-step the
        // next block is usually there by the time the caller asks for it.
        sockaddr_in from{};
        socklen_t size = sizeof from;
        ssize_t n = NextDatagram(&from, &size);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!napped && deadline - Clock::now() > 4 * WaitUs(kNapUs)) {
                    napped = true;
                    usleep(useconds_t(WaitUs(kNapUs).count()));
                    continue;
                }
                pollfd wait{s.udp, POLLIN, 0};
                int ready = poll(&wait, 1, RemainingMs(deadline));
                if (ready < 0 && errno != EINTR) return Got::Failed;
                if (ready == 0) return Got::Timeout;
                continue;
            }
            // EINTR, or an ICMP error from an earlier send: the next
            // datagram may still come.
            if (errno == EINTR || errno == ECONNREFUSED || errno == EHOSTUNREACH ||
                errno == ENETUNREACH)
                continue;
            return Got::Failed;
        }
        uint16_t port = ntohs(from.sin_port);
        if (size < sizeof from || from.sin_family != AF_INET ||
            std::memcmp(&from.sin_addr.s_addr, s.server, 4) != 0 ||
            (s.locked && port != s.serverPort)) {
            // Not from the transfer: dropped, and a flood of such packets
            // does not hold the wait open past its deadline.
            if (Clock::now() >= deadline) return Got::Timeout;
            continue;
        }
        *length = size_t(n);
        *fromPort = port;
        return Got::Packet;
    }
}

void PrintError(const TftpPacket& packet) {
    char text[kTftpBlockMax + 1];
    tftp_error_text(packet, text, sizeof text);
    PrintString("TFTP: error ");
    PrintNumber(packet.block);
    PrintString(" (");
    PrintString(text);
    PrintString(" )\r\n");
}

// An OACK of `length` bytes from `port`: the first one agrees the block
// size and window, locks the transfer to that port and is acknowledged with
// block 0; a repeat of it (our acknowledgement was lost) is acknowledged
// again. One that cannot be taken is refused with ERROR 8 and the request
// goes again without options. True when the wait should start afresh.
bool TakeOack(size_t length, uint16_t port) {
    if (!s.asking && !s.agreed) return false; // nothing was asked: not ours
    if (s.locked) {
        if (s.agreed && port == s.serverPort && s.expected == 1) AckUpTo(0);
        return false;
    }
    TftpOptions agreed;
    if (!tftp_parse_oack(s.packet, length, s.ask, &agreed)) {
        uint8_t refusal[32];
        size_t n = tftp_error(refusal, sizeof refusal, kTftpErrorOptions, "Bad options");
        SendTo(refusal, n, port);
        Log("TFTP: options not understood, asking again without them\r\n");
        AskPlain();
        return true;
    }
    s.locked = true;
    s.serverPort = port;
    s.agreed = true;
    if (agreed.blockSize) s.blockSize = agreed.blockSize;
    s.windowSize = agreed.window ? agreed.window : 1;
    AckUpTo(0);
    return true;
}

// Standard and enhanced flavours: the next block, in order.
int ReadBlocks(uint8_t* buffer) {
    if (s.eof) return 0;
    int minor = 0;
    const int waitMs = s.anyData ? kNextWaitMs : kFirstWaitMs;
    // Out-of-order blocks re-arm the wait; this bounds them too.
    const Clock::time_point giveUp = Clock::now() + Wait(waitMs) * (kMinorTimeouts + 1);
    Clock::time_point deadline{};
    Clock::time_point quick{};
    int quickMs = kQuickMs;
    bool arm = true; // a wait starts afresh after a timeout or an out-of-order block
    for (;;) {
        if (arm) {
            auto now = Clock::now();
            deadline = std::min(now + Wait(waitMs), giveUp);
            quickMs = kQuickMs;
            quick = s.agreed ? now + Wait(quickMs) : Clock::time_point::max();
            arm = false;
        }
        size_t n = 0;
        uint16_t from = 0;
        Got got = Receive(std::min(deadline, quick), &n, &from);
        if (got == Got::Failed) return -1;
        if (got == Got::Timeout) {
            auto now = Clock::now();
            if (now < deadline) {
                if (now >= quick) {
                    // The short silence of a lost block or acknowledgement.
                    AckUpTo(uint16_t(s.expected - 1));
                    quickMs = std::min(quickMs * 2, kNextWaitMs);
                    quick = now + Wait(quickMs);
                }
                continue;
            }
            arm = true;
            if (minor >= kMinorTimeouts || now >= giveUp) return -1;
            ++minor;
            Log("TFTP: Minor Timeout\r\n");
            // Nothing came yet: the request itself may be lost. Otherwise
            // the server is told again which block arrived last.
            if (!s.locked)
                SendTo(s.request, s.requestLength, s.port);
            else
                AckUpTo(uint16_t(s.expected - 1));
            continue;
        }
        if (n >= 2 && ldn16(s.packet) == kTftpOack) {
            if (TakeOack(n, from)) arm = true;
            continue;
        }
        TftpPacket packet;
        if (!tftp_parse(s.packet, n, s.blockSize, &packet)) continue;
        if (packet.opcode == kTftpError) {
            if (!s.locked && s.asking && packet.block == kTftpErrorOptions) {
                Log("TFTP: options refused, asking again without them\r\n");
                AskPlain();
                arm = true;
                continue;
            }
            PrintError(packet);
            s.eof = true;
            s.errorEnd = true;
            return 0;
        }
        if (!s.locked) {
            // DATA first: the server ignored the options, if any were asked.
            s.locked = true;
            s.serverPort = from;
        }
        const uint16_t ahead = uint16_t(packet.block - s.expected);
        if (ahead == 0) {
            std::memcpy(buffer, packet.data, packet.length);
            ++s.expected;
            s.anyData = true;
            if (packet.length < s.blockSize) s.eof = true;
            // The last block of a window, and the last of the file, are
            // acknowledged; in lock-step that is every block.
            if (s.eof || uint16_t(packet.block - s.acked) >= s.windowSize) AckUpTo(packet.block);
            return int(packet.length);
        }
        if (!s.agreed) {
            PrintString("TFTP: loss of synch. at block ");
            PrintNumber(s.expected);
            PrintString("\r\n");
            AckUpTo(uint16_t(s.expected - 1));
            arm = true;
        } else if (ahead < 0x8000) {
            // A block is missing: the server hears at once where to go on
            // from, and again only after another window's worth of blocks
            // past the gap (the first report may be lost). Duplicates, behind
            // the awaited block, are dropped silently.
            if (s.nakFor != s.expected || ++s.gapCount >= s.windowSize) {
                PrintString("TFTP: loss of synch. at block ");
                PrintNumber(s.expected);
                PrintString("\r\n");
                AckUpTo(uint16_t(s.expected - 1));
                s.nakFor = s.expected;
                s.gapCount = 0;
                arm = true;
            }
        }
        if (Clock::now() >= giveUp) return -1;
    }
}

// The progress marks of a window (".", "!", "<"), gathered and logged in
// one piece: the same text, without one write per packet.
struct Marks {
    char text[256];
    size_t used = 0;
    void Add(char c) {
        if (used + 1 >= sizeof text) Flush();
        text[used++] = c;
    }
    void Flush() {
        if (!used) return;
        text[used] = 0;
        Log(text);
        used = 0;
    }
    void Say(const char* message) {
        Flush();
        Log(message);
    }
};

// True when every slot of the window up to `lastSlot` has arrived.
bool AllReceived(const bool* received, int lastSlot) {
    return std::all_of(received, received + lastSlot + 1, [](bool r) { return r; });
}

// Sends window `number`'s acknowledgement on the control stream.
bool AckWindow(uint16_t number, Clock::time_point deadline) {
    uint8_t ack[4];
    size_t n = btftp_ack(ack, number);
    return WriteStream(ack, n, deadline);
}

// Reads, without waiting, the notes a server that streams ahead sends
// behind its answer to the request: that it takes repair requests, and the
// port its data leaves from (the transfer is locked to it before the first
// packet, so another session's broadcast is never taken for ours).
// Anything else on the control stream is passed over.
void ReadNotes() {
    if (s.tcp < 0) return;
    for (int turn = 0; turn < 8; ++turn) {
        ssize_t n = recv(s.tcp, s.note + s.noteHave, sizeof s.note - s.noteHave, MSG_DONTWAIT);
        if (n <= 0) return;
        s.noteHave += size_t(n);
        if (s.noteHave < sizeof s.note) continue;
        s.noteHave = 0;
        uint16_t value = 0;
        if (btftp_parse_ahead(s.note, sizeof s.note, &value) && value >= 1) {
            s.repairs = true;
        } else if (btftp_parse_port(s.note, sizeof s.note, &value) && !s.locked) {
            s.serverPort = value;
            s.locked = true;
        }
    }
}

bool ServerTakesRepairs() {
    if (!s.repairs) ReadNotes();
    return s.repairs;
}

// Broadcast flavour: receives window `winno` into the window buffer. It is
// complete when every slot up to the final (short) packet, or all 32, have
// arrived; a window with a hole is asked for again and, if it stays
// incomplete, is never handed out. Packets of the next windows that arrive
// before this one is complete wait in their places of the ring (a server
// told that we hold windows ahead streams on without waiting for every
// acknowledgement). False when the server went silent or out of step.
bool ReadWindow() {
    PrintString("BTFTP> Waiting for window ");
    PrintNumber(s.winno);
    PrintString("\r\n");
    Marks marks;
    bool received[kTftpWindow] = {};
    int finalSlot = -1;
    uint16_t finalLength = 0;
    const uint16_t base = uint16_t(s.winno * kTftpWindow);
    const int ring = kAheadWindows + 1;
    s.at = size_t(s.winno % ring) * kWindowBytes;
    // Slots before one that arrived are taken as lost and asked for once
    // each, all in one write (a server that cannot take repair requests is
    // left to notice the missing acknowledgement).
    bool asked[kTftpWindow] = {};
    auto askMissing = [&](int below) {
        uint8_t requests[kTftpWindow * 4];
        size_t used = 0;
        for (int j = 0; j < below && j < kTftpWindow; ++j) {
            if (received[j] || asked[j] || (finalSlot >= 0 && j >= finalSlot)) continue;
            asked[j] = true;
            used += btftp_repair(requests + used, uint16_t(base + j));
        }
        if (used && ServerTakesRepairs())
            WriteStream(requests, used, Clock::now() + Wait(kNextWaitMs));
    };
    enum class Took { Fresh, Nothing, OutOfStep };
    // One packet of this window (slot < 32) or of one of the next.
    auto take = [&](uint16_t slot, const uint8_t* data, size_t length) {
        if (slot >= ring * kTftpWindow) {
            marks.Say("BTFTP: Protocol error. Loss of sync.\r\n");
            return Took::OutOfStep;
        }
        if (length > s.blockSize) return Took::Nothing;
        if (slot >= kTftpWindow) {
            int place = (s.winno + slot / kTftpWindow) % ring;
            int next = place * kTftpWindow + slot % kTftpWindow;
            if (finalSlot >= 0 || s.aheadLength[next] != kNoPacket) return Took::Nothing;
            std::memcpy(s.window + size_t(next) * kTftpBlockMax, data, length);
            s.aheadLength[next] = uint16_t(length);
            askMissing(kTftpWindow);
            return Took::Nothing;
        }
        if (length < s.blockSize) {
            if (finalSlot >= 0 && slot != finalSlot) {
                marks.Say("BTFTP: Protocol error. Loss of sync.\r\n");
                return Took::OutOfStep;
            }
            if (finalSlot < 0) {
                marks.Say("\r\nBTFTP>Last block\r\n");
                finalSlot = slot;
                finalLength = uint16_t(length);
                // Full packets taken at or past the end do not belong to
                // this file: they fill no slot.
                std::fill(received + slot, received + kTftpWindow, false);
            }
        } else if (finalSlot >= 0 && slot >= finalSlot) {
            return Took::Nothing; // a full packet where the file already ended
        }
        if (received[slot]) return Took::Nothing; // repeats only count
        received[slot] = true;
        std::memmove(s.window + s.at + size_t(slot) * s.blockSize, data, length);
        askMissing(slot);
        return Took::Fresh;
    };
    // What arrived early for this window is taken first (it already lies
    // in its place).
    for (int slot = 0; slot < kTftpWindow; ++slot) {
        uint16_t& length = s.aheadLength[s.at / kTftpBlockMax + size_t(slot)];
        uint16_t early = length;
        length = kNoPacket;
        if (early != kNoPacket &&
            take(uint16_t(slot), s.window + s.at + size_t(slot) * kTftpBlockMax, early) ==
                Took::OutOfStep)
            return false;
    }
    int minor = 0;
    // 4 s until the first packet of the transfer, then 1 s per wait; a
    // wait ends early only with a packet that fills a new slot.
    int waitMs = s.winno == 0 ? kFirstWaitMs : kNextWaitMs;
    const Clock::time_point giveUp = Clock::now() + Wait(waitMs) * (kMinorTimeouts + 1);
    auto deadline = Clock::now() + Wait(waitMs);
    while (!AllReceived(received, finalSlot >= 0 ? finalSlot : kTftpWindow - 1)) {
        if (deadline > giveUp) deadline = giveUp;
        size_t n = 0;
        uint16_t from = 0;
        // Packets that bring nothing new do not hold the wait open.
        Got got = Clock::now() >= deadline ? Got::Timeout : Receive(deadline, &n, &from);
        if (got == Got::Failed) {
            marks.Flush();
            return false;
        }
        if (got == Got::Timeout) {
            if (minor >= kMinorTimeouts || Clock::now() >= giveUp) {
                marks.Flush();
                return false;
            }
            ++minor;
            marks.Say("TFTP: Minor Timeout\r\n");
            // Acknowledging the previous window again asks for this one anew.
            if (!AckWindow(uint16_t(s.winno - 1), Clock::now() + Wait(waitMs))) return false;
            deadline = Clock::now() + Wait(waitMs);
            continue;
        }
        marks.Add('.');
        if (!s.locked) {
            // The server's port note is sent before any of its data.
            ReadNotes();
            if (s.locked && from != s.serverPort) continue;
        }
        if (n < 4 || ldn16(s.got) != kBtftpData) continue;
        marks.Add('!');
        uint16_t slot = uint16_t(ldn16(s.got + 2) - base);
        if (slot >= 0x8000) {
            marks.Add('<');
            continue;
        }
        Took took = take(slot, s.got + 4, n - 4);
        if (took == Took::OutOfStep) return false;
        if (took == Took::Nothing) continue;
        // The transfer's data comes from one port of the server from now on.
        if (!s.locked) {
            s.locked = true;
            s.serverPort = from;
        }
        waitMs = kNextWaitMs;
        deadline = Clock::now() + Wait(waitMs);
    }
    marks.Flush();
    s.current = 0;
    s.lastSeen = finalSlot >= 0;
    s.loaded = size_t(s.lastSeen ? finalSlot : kTftpWindow) * s.blockSize;
    s.last = finalLength;
    Log(" :window ok\r\nBTFTP>Sending ACK");
    if (!AckWindow(s.winno, Clock::now() + Wait(kFirstWaitMs))) return false;
    if (s.winno == 0) Log("BTFTP: Server is sending.\r\n");
    ++s.winno;
    return true;
}

int ReadBroadcast(uint8_t* buffer) {
    if (s.eof) return 0;
    if (s.current == s.loaded && !s.lastSeen) {
        // A window that cannot be read breaks the transfer off: the caller
        // must not take what came so far for the whole file.
        if (!ReadWindow()) return -1;
        if (s.lastSeen && s.loaded == 0) Log("\r\nBTFTP>Last window has only one packet\r\n");
    }
    if (s.current < s.loaded) {
        std::memcpy(buffer, s.window + s.at + s.current, s.blockSize);
        s.current += s.blockSize;
        return s.blockSize;
    }
    s.eof = true;
    std::memcpy(buffer, s.window + s.at + s.current, s.last);
    return s.last;
}

// How the request on the control stream went: answered, refused or dropped
// before the answer (a server restarting), or answered with something else.
enum class Asked { Answered, Dropped, Refused };

Asked AskBroadcast(uint8_t answer[4]) {
    Log("BTFTP>Connect...");
    if (!ConnectStream()) return Asked::Dropped;
    Log("success !\r\n");
    // Every client of this flavour listens on the same port: what came
    // before our request belongs to another client's session and would be
    // taken for our file's first window. It is dropped unseen.
    uint8_t stale[4];
    while (recv(s.udp, stale, sizeof stale, MSG_DONTWAIT) >= 0) {
    }
    auto deadline = Clock::now() + Wait(kFirstWaitMs);
    // The request, and behind it the note of how many windows this client
    // holds ahead: a server that knows it streams the next window without waiting
    // for every acknowledgement; others read it as an acknowledgement of
    // another kind and pass over it.
    uint8_t asked[kTftpRequestMax + 4];
    std::memcpy(asked, s.request, s.requestLength);
    size_t askedLength = s.requestLength + btftp_ahead(asked + s.requestLength, kAheadWindows);
    if (!WriteStream(asked, askedLength, deadline) || !ReadStream(answer, 4, deadline))
        return Asked::Dropped;
    return ldn16(answer) == kBtftpOack ? Asked::Answered : Asked::Refused;
}

int OpenBroadcast() {
    PrintString("BTFTP> TFTP RRQ to ");
    PrintIP(s.server);
    PrintString(":99\r\n");
    // A refused or dropped control connection (a server restarting between
    // two files) is tried again, after pauses that double, for a while.
    const auto giveUp = Clock::now() + Wait(kReconnectMs);
    int pauseMs = kReconnectPauseMs;
    uint8_t answer[4];
    for (;;) {
        Asked asked = AskBroadcast(answer);
        if (asked == Asked::Answered) break;
        if (asked == Asked::Refused) {
            Log("BTFTP: Protocol error (OACK)\r\n");
            return -1;
        }
        if (Clock::now() + Wait(pauseMs) > giveUp) {
            Log("BTFTP: Cannot connect to broadcast server !\r\n");
            return -1;
        }
        LogFormat("BTFTP: No answer from the broadcast server, trying again in %.2f s\r\n",
                  pauseMs / 1000.0);
        close(s.tcp);
        s.tcp = -1;
        poll(nullptr, 0, pauseMs);
        pauseMs = std::min(2 * pauseMs, kReconnectPauseMaxMs);
    }
    s.procno = ldn16(answer + 2);
    ReadNotes();
    PrintString("BTFTP: Ready to receive, I am #");
    PrintNumber(s.procno);
    PrintString("\r\n");
    s.window = static_cast<uint8_t*>(Malloc(uint16_t((kAheadWindows + 1) * kWindowBytes / 16)));
    s.at = 0;
    std::fill(std::begin(s.aheadLength), std::end(s.aheadLength), kNoPacket);
    s.current = s.loaded = 0;
    s.last = 0;
    s.lastSeen = false;
    s.winno = 0;
    s.windowSize = kTftpWindow;
    return 0;
}

// The variable TFTPOptions "OFF" (any case) keeps requests plain, for a
// server that misbehaves with options.
bool OptionsOff() {
    return strcasecmp(ReadSetting("TFTPOptions"), "OFF") == 0;
}

void EndSession() {
    if (s.window) Free(s.window);
    s.window = nullptr;
    CloseSockets();
    s.open = false;
}

} // namespace

int OpenTFTP(const char* name, const uint8_t* /*gateway*/, const uint8_t* server, uint16_t port) {
    if (s.open) return -1; // one transfer at a time
    // No server named: the boot server. Its address is kept in step with
    // the variable BOOTP-Server-IP, and is read here rather than the
    // variable, which is out of reach while a script is being loaded.
    static constexpr uint8_t kNone[4] = {};
    if (!server) {
        if (std::memcmp(srvip, kNone, 4) == 0) {
            Log("TFTP error: server not defined\r\n");
            return -1;
        }
        server = srvip;
    }
    if (port == 0) port = kTftpDefaultPort;
    Session fresh;
    std::memcpy(fresh.server, server, 4);
    fresh.port = port;
    fresh.blockSize =
        port == kTftpDefaultPort || port == kTftpBroadcastPort ? kTftpBlockMax : kTftpBlockStandard;
    fresh.plainLength = tftp_request(fresh.plain, sizeof fresh.plain, name);
    if (fresh.plainLength == 0) {
        Log("TFTP error: file name too long\r\n");
        return -1;
    }
    // Never a block bigger than every reader of remote files holds.
    fresh.ask.blockSize = kTftpBlockMax;
    fresh.ask.window = kTftpWindowAsked;
    fresh.ask.size = true;
    if (port != kTftpBroadcastPort && !OptionsOff())
        fresh.requestLength = tftp_request(fresh.request, sizeof fresh.request, name, &fresh.ask);
    fresh.asking = fresh.requestLength != 0;
    if (!fresh.asking) {
        std::memcpy(fresh.request, fresh.plain, fresh.plainLength);
        fresh.requestLength = fresh.plainLength;
    }
    s = fresh;
    s.udp = socket(AF_INET, SOCK_DGRAM, 0);
    if (s.udp < 0) return -1;
    sockaddr_in local = Address(reinterpret_cast<const uint8_t*>("\0\0\0\0"),
                                port == kTftpBroadcastPort ? tftp_data_port : 0);
    if (port == kTftpBroadcastPort) {
        int on = 1;
        setsockopt(s.udp, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(s.udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        // Beyond the system's limit only as root; else the limit.
        int size = kStreamBuffer;
        if (setsockopt(s.udp, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(s.udp, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if (bind(s.udp, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        CloseSockets();
        return -1;
    }
    s.open = true;
    if (port == kTftpBroadcastPort) {
        if (OpenBroadcast() != 0) {
            EndSession();
            return -1;
        }
        return 0;
    }
    if (!SendTo(s.request, s.requestLength, s.port)) {
        EndSession();
        return -1;
    }
    return 0;
}

bool TftpEndedByError() {
    return s.errorEnd;
}

bool TftpBrokenOff() {
    return s.errorEnd && s.anyData;
}

TftpAgreement TftpAgreed() {
    TftpAgreement a;
    a.blockSize = s.blockSize;
    a.window = s.windowSize;
    a.options = s.agreed;
    return a;
}

int ReadTFTP(uint8_t* buffer) {
    if (!s.open) return -1;
    return s.port == kTftpBroadcastPort ? ReadBroadcast(buffer) : ReadBlocks(buffer);
}

int CloseTFTP() {
    if (!s.open) return 0;
    if (s.port == kTftpBroadcastPort) {
        Log("BTFTP: End of file\r\n");
        if (s.tcp >= 0) close(s.tcp);
        s.tcp = -1;
        // The clients of a group leave one after another.
        usleep(useconds_t(WaitUs(2000000 + int64_t(s.procno) * 100).count()));
    }
    if (s.agreed && s.locked && !s.eof) {
        // A server sending windows is told at once that no more are wanted.
        uint8_t stop[32];
        size_t n = tftp_error(stop, sizeof stop, 0, "Transfer cancelled");
        SendTo(stop, n, s.serverPort);
    }
    if (s.window) Free(s.window);
    s.window = nullptr;
    int result = s.udp >= 0 ? close(s.udp) : 0;
    s.udp = -1;
    s.open = false;
    return result;
}

} // namespace vk
