// SPDX-License-Identifier: MIT
// A checkable byte stream for bulk transfers through the telnet relay: a sender and a receiver on
// blocking sockets, run on threads of their own, that agree on every byte, so a lost, doubled or
// reordered piece shows.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <sys/socket.h>
#include <thread>

// The byte at position i of a stream: every code from 0 to 255, in an order with no short period.
inline char patternByte(size_t i)
{
    return static_cast<char>((i * 2654435761u) >> 13);
}

// Sends total pattern bytes, staying at most window bytes ahead of what the receiver has checked
// (0: no window, and received may be null). The relay has no flow control of its own.
inline bool sendPattern(int fd, size_t total, const std::atomic<size_t> *received, size_t window)
{
    char buffer[65536];
    for (size_t sent = 0; sent < total;) {
        while (window && sent - received->load() > window)
            std::this_thread::yield();
        const size_t n = std::min(sizeof buffer, total - sent);
        for (size_t k = 0; k < n; ++k)
            buffer[k] = patternByte(sent + k);
        for (size_t off = 0; off < n;) {
            const ssize_t w = ::send(fd, buffer + off, n - off, MSG_NOSIGNAL);
            if (w <= 0)
                return false;
            off += static_cast<size_t>(w);
        }
        sent += n;
    }
    return true;
}

// Reads total bytes and checks each against the pattern, counting them in received; false on a
// short or a wrong stream.
inline bool receivePattern(int fd, size_t total, std::atomic<size_t> &received)
{
    char buffer[65536];
    size_t count = 0;
    while (count < total) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, total - count), 0);
        if (n <= 0)
            return false;
        for (ssize_t k = 0; k < n; ++k)
            if (buffer[k] != patternByte(count + static_cast<size_t>(k)))
                return false;
        count += static_cast<size_t>(n);
        received = count;
    }
    return true;
}
