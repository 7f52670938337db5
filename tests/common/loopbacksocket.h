// SPDX-License-Identifier: MIT
// Plain POSIX sockets on 127.0.0.1 for tests and load programs: the address, a listener on a free
// port and a connection to a port. Tests and benchmarks never reach any other address, so no
// other is offered.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// 127.0.0.1:port; port 0 lets bind pick a free one.
inline sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A blocking listener on 127.0.0.1 and a port the kernel picks, which goes to port; -1 when it
// cannot be made.
inline int listenLoopback(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 5) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A connection to 127.0.0.1:port; -1 when it failed. A blocking one returns once the listener's
// backlog has completed the handshake; a non-blocking one may still be in progress.
inline int connectLoopback(int port, bool nonBlocking = false)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 &&
        !(nonBlocking && errno == EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}
