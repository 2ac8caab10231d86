// The server's event loop: every port, every transfer and broadcast session,
// in one thread; a reader thread reads files ahead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vks {

class SecurityService;

struct ServerOptions {
    std::string root;
    std::string address = "0.0.0.0";
    std::vector<uint16_t> standardPorts{69};
    uint16_t enhancedPort = 59;
    uint16_t broadcastPort = 99;
    uint16_t securityPort = 89;
    std::string broadcastAddress; // empty: the subnet broadcast of the interface
    bool unicast = false;
    double gather = 1.0;  // seconds
    int expect = 0;       // 0: no expected count
    uint64_t maxRate = 0; // bits per second, 0: unlimited
    int maxTransfers = 64;
    // One client address at most holds this many transfers (lock-step and
    // broadcast) and this many broadcast control connections.
    int maxTransfersPerAddress = 8;
    int maxConnectionsPerAddress = 4;
    uint16_t statusPort = 8099;
    bool quiet = false;
    std::string usersFile; // for SIGHUP
};

// Runs until SIGINT or SIGTERM; the exit status (0 after a clean stop).
// `security` answers the security port (null: that port is not opened).
int RunServer(const ServerOptions& options, SecurityService* security);

} // namespace vks
