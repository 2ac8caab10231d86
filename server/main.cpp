// tobrend-server: serves one directory tree to Tobrend clients (and any
// TFTP client) on the standard, enhanced, broadcast and security ports.
// The command line and the configuration file (TOML, the same keys as the
// long options) are read by CLI11.
#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <string>

#include "security.h"
#include "server.h"

namespace {

// "200M", "1.5G", "800000": bits per second; 0 when unreadable.
uint64_t ParseRate(const std::string& text) {
    size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (...) {
        return 0;
    }
    std::string suffix = text.substr(used);
    double scale = 1;
    if (suffix == "K" || suffix == "k")
        scale = 1e3;
    else if (suffix == "M" || suffix == "m")
        scale = 1e6;
    else if (suffix == "G" || suffix == "g")
        scale = 1e9;
    else if (!suffix.empty())
        return 0;
    return value > 0 ? uint64_t(value * scale) : 0;
}

} // namespace

int main(int argc, char** argv) {
    vks::ServerOptions o;
    std::string users, rate;
    std::vector<int> standardPorts;
    CLI::App app{"tobrend-server: the boot server for Tobrend clients. Serves one directory "
                 "tree read-only by TFTP (standard port, with options), the enhanced flavour, "
                 "the broadcast flavour and the security server."};
    app.set_version_flag("--version", std::string("tobrend-server ") + VK_SERVER_VERSION);
    app.set_config("--config", "", "TOML file with the same keys as the long options");
    app.add_option("--root", o.root, "directory tree to serve")
        ->required()
        ->check(CLI::ExistingDirectory);
    app.add_option("--address", o.address, "address to bind every port")->capture_default_str();
    app.add_option("--standard-port", standardPorts,
                   "standard TFTP port, repeatable (default 69); 0 = none");
    app.add_option("--enhanced-port", o.enhancedPort, "enhanced flavour port; 0 = none")
        ->capture_default_str();
    app.add_option("--broadcast-port", o.broadcastPort,
                   "broadcast flavour TCP control port; 0 = none")
        ->capture_default_str();
    app.add_option("--security-port", o.securityPort,
                   "security server port; 0 = none; needs --users. Failed checks are limited: "
                   "after 5 failures an address waits 5 s before its next check is verified, "
                   "doubled with each further failure up to 10 min; past 10 failures of a user "
                   "(then 1 a minute), its checks from addresses that failed twice are refused "
                   "unverified. Successful checks are not limited")
        ->capture_default_str();
    app.add_option("--users", users, "\"user:hash\" lines for the security port");
    app.add_option("--broadcast-address", o.broadcastAddress,
                   "where broadcast windows go (default: the subnet broadcast of the interface)");
    app.add_flag("--unicast", o.unicast, "send each session's windows to every member's address");
    app.add_option("--gather", o.gather, "seconds a broadcast session waits for more members")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    app.add_option("--expect", o.expect, "start a broadcast session at once with this many members")
        ->check(CLI::Range(0, 65535));
    app.add_option("--max-rate", rate,
                   "pacing of all sending, bits per second (K/M/G), headers counted");
    app.add_option("--max-transfers", o.maxTransfers, "concurrent transfers")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--max-transfers-per-address", o.maxTransfersPerAddress,
                   "concurrent transfers of one client address")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--max-connections-per-address", o.maxConnectionsPerAddress,
                   "broadcast control connections of one client address")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--status-port", o.statusPort,
                   "HTTP status endpoint on 127.0.0.1; 0 = none; at most 32 connections, "
                   "each closed unless its request arrives within 2 s")
        ->capture_default_str();
    app.add_flag("--quiet", o.quiet, "no live table even on a terminal");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    if (!standardPorts.empty()) {
        o.standardPorts.clear();
        for (int p : standardPorts) {
            if (p < 0 || p > 65535) {
                std::fprintf(stderr, "tobrend-server: no such port %d\n", p);
                return 2;
            }
            if (p) o.standardPorts.push_back(uint16_t(p));
        }
    }
    if (!rate.empty()) {
        o.maxRate = ParseRate(rate);
        if (!o.maxRate) {
            std::fprintf(stderr, "tobrend-server: --max-rate %s: a rate such as 200M\n",
                         rate.c_str());
            return 2;
        }
    }
    vks::SecurityService security;
    vks::SecurityService* answers = nullptr;
    if (o.securityPort && !users.empty()) {
        std::string error;
        if (!security.Load(users, error)) {
            std::fprintf(stderr, "tobrend-server: %s: %s\n", users.c_str(), error.c_str());
            return 1;
        }
        answers = &security;
        o.usersFile = users;
    } else if (o.securityPort && users.empty() && app.count("--security-port")) {
        std::fprintf(stderr, "tobrend-server: --security-port needs --users\n");
        return 2;
    }
    return vks::RunServer(o, answers);
}
