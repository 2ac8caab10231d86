// What the network fuzz targets share: a check that stops the run, and
// sockets bound to a free port on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>

namespace fuzz {

inline void Check(bool condition) {
    if (!condition) std::abort();
}

// A socket of `type` on loopback and a free port; its address in `address`.
inline int OnLoopback(int type, sockaddr_in* address) {
    int s = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof *address;
    getsockname(s, reinterpret_cast<sockaddr*>(address), &n);
    return s;
}

inline int OnLoopback(int type, uint16_t* port) {
    sockaddr_in a{};
    int s = OnLoopback(type, &a);
    *port = ntohs(a.sin_port);
    return s;
}

} // namespace fuzz
