// The lock-step flavours: the standard ports (512-byte blocks, options as
// the client asks), the enhanced port (1408-byte blocks) and the security
// port (a standard port whose files are the answers of SecurityService).
// One UDP socket per transfer; a window goes out again from the first
// unacknowledged block when its acknowledgement is late by a few round
// trips.
#include <arpa/inet.h>
#include <ctime>
#include <linux/errqueue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "loop.h"
#include "names.h"
#include "security.h"

namespace vks {

namespace {

constexpr int kLargestWindow = 64;
constexpr double kGiveUp = 10.0; // seconds without an acknowledgement
// Before a client's first acknowledgement its address is unproven (it may
// be forged): the first packet goes out again this often, no more.
constexpr int kUnprovenResends = 3;

// One datagram into `buffer`: its length and sender, or -1 with errno set.
ssize_t Receive(int fd, uint8_t* buffer, size_t size, sockaddr_in& from, socklen_t& fromSize) {
    fromSize = sizeof from;
    return recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
}

} // namespace

void Server::Refuse(int fd, const sockaddr_in& to, uint16_t code, const char* text) {
    SendError(fd, &to, code, text);
}

void Server::OnRequest(const Listener& l) {
    for (int turn = 0; turn < 64; ++turn) {
        uint8_t buffer[vk::kTftpRequestMax + 1];
        sockaddr_in from{};
        socklen_t fromSize;
        ssize_t n = Receive(l.fd, buffer, sizeof buffer, from, fromSize);
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
            if (LogRefusal(from.sin_addr))
                Log("%s %s: write request for \"%s\" refused", FlavourName(l.flavour), peer.c_str(),
                    Printable(name).c_str());
            Refuse(l.fd, from, 2, "Access violation: this server only reads");
            continue;
        }
        if (std::strcmp(r.mode, "octet") != 0) {
            ++counters_.refusedNames;
            if (LogRefusal(from.sin_addr))
                Log("%s %s: \"%s\" in mode %s refused", FlavourName(l.flavour), peer.c_str(),
                    Printable(name).c_str(), Printable(r.mode).c_str());
            Refuse(l.fd, from, 0, "Only octet (binary) mode is served");
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
        if (TransfersFrom(from.sin_addr) >= o_.maxTransfersPerAddress) {
            ++counters_.refusedBusy;
            if (LogRefusal(from.sin_addr))
                Log("%s %s: \"%s\" refused, %d transfers from this address", FlavourName(l.flavour),
                    peer.c_str(), Printable(name).c_str(), o_.maxTransfersPerAddress);
            Refuse(l.fd, from, 0, "Server busy, too many transfers from this address");
            continue;
        }
        if (ActiveTransfers() >= o_.maxTransfers && !MakeRoom(from.sin_addr)) {
            ++counters_.refusedBusy;
            if (LogRefusal(from.sin_addr))
                Log("%s %s: \"%s\" refused, %d transfers at once", FlavourName(l.flavour),
                    peer.c_str(), Printable(name).c_str(), ActiveTransfers());
            Refuse(l.fd, from, 0, "Server busy, too many transfers at once; try again later");
            continue;
        }
        uint64_t size = 0;
        std::shared_ptr<Stream> stream = Open(l, r, from, name, &size);
        if (!stream) continue;
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

// The file a request names below the root, or on the security port the
// answer to it; null when refused (the client was told why).
std::shared_ptr<Stream> Server::Open(const Listener& l, const vk::TftpRequest& r,
                                     const sockaddr_in& from, const std::string& name,
                                     uint64_t* size) {
    std::string peer = Peer(from);
    if (l.flavour == Flavour::Security) {
        ++counters_.securityRequests;
        auto answer = security_->Answer(r.name, ntohl(from.sin_addr.s_addr), Clock::now());
        if (!answer) {
            ++counters_.securityRefused;
            if (LogRefusal(from.sin_addr))
                Log("security %s: \"%s\" refused", peer.c_str(), Printable(name).c_str());
            Refuse(l.fd, from, 1, "Not a request this server answers");
            return nullptr;
        }
        *size = answer->size();
        return Stream::FromText(*answer);
    }
    std::string why;
    int fd = OpenBeneath(root_, name, size, why);
    if (fd < 0) {
        bool missing = why == "not found";
        if (!missing) ++counters_.refusedNames;
        if (LogRefusal(from.sin_addr))
            Log("%s %s: \"%s\" refused: %s", FlavourName(l.flavour), peer.c_str(),
                Printable(name).c_str(), why.c_str());
        Refuse(l.fd, from, missing ? 1 : 2, missing ? "File not found" : "Access violation");
        return nullptr;
    }
    auto stream = Stream::FromFile(fd, *size);
    reader_->Add(stream);
    return stream;
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
        socklen_t fromSize;
        ssize_t n = Receive(x.fd, buffer, sizeof buffer, from, fromSize);
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

void Server::OnTransferTimer(Transfer& t, TimePoint now) {
    if (Since(t.lastProgress, now) > kGiveUp)
        return EndTransfer(t.id, "failed: no acknowledgement", false);
    if (!t.proven && t.resends >= kUnprovenResends)
        return EndTransfer(t.id, "failed: no answer to the first packet", false);
    // Late by a few round trips: the window again, from the first
    // unacknowledged block.
    ++t.resends;
    ++counters_.resends;
    ++t.backoff;
    t.resent = true;
    t.timer = TimePoint::max();
    StartWindow(t);
}

} // namespace vks
