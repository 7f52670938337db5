// SPDX-License-Identifier: MIT
// What the fault and load tests watch and how they talk: the process's open descriptors, resident
// memory (from processprobe.h) and the bytes its sockets hold in the kernel, the one-second tick,
// and plain non-blocking sockets on 127.0.0.1 whose waits turn the Qt event loop so the code under
// test runs meanwhile.
#pragma once

#include "loopbacksocket.h"
#include "processprobe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <linux/sockios.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace probe {

// Under AddressSanitizer freed memory waits in a quarantine, so resident size says nothing about
// leaks; the sanitizer's own leak check stands in for the bound.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// One short turn of a running event loop, as the program's own loop makes them: socket
// notifiers, timers, queued calls and deferred deletes.
inline void turnEventLoop()
{
    QEventLoop loop;
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        turnEventLoop();
    }
    return true;
}

// Two ticks this far apart mean a stuck event loop, not a slow machine: the longest gap seen in
// these tests on a quiet machine is some 200 ms past the second (the turn that reads a flood of
// pipelined requests), and ten times that lateness is allowed, so that a busy machine does not
// fail them. Work that grows with the flood shows in the tests' counts (pages built, bytes held),
// not here.
inline constexpr qint64 kStuckTickGapMs = 1000 + 10 * 300;

// How long a test waits for an answer given beside a flood of clients: a bound for the loop being
// stuck, far beyond the second or so that the pipelined flood delays the answer on a quiet machine,
// even under the sanitizers on a busy one.
inline constexpr int kFloodAnswerMs = 60000;

// The monitor's one-second tick, watched for the longest gap between two ticks.
class TickWatch
{
public:
    TickWatch()
    {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longestGapMs = std::max(m_longestGapMs, m_clock.restart());
            ++m_ticks;
        });
        m_timer.start(1000);
    }
    // The gap still open counts too, so a loop stuck right now shows.
    qint64 longestGapMs() const { return std::max(m_longestGapMs, m_clock.elapsed()); }
    int ticks() const { return m_ticks; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longestGapMs = 0;
    int m_ticks = 0;
};

// Bytes the kernel holds for all of this process's TCP sockets: output not yet acknowledged by
// the peer and input not yet read. Server and clients of a test share the process, so this is
// what a flood of clients makes the server pin, seen from both ends.
inline long socketQueuedBytes()
{
    long total = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 0;
    while (const dirent *entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        struct stat st
        {
        };
        if (entry->d_name[0] == '.' || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        int out = 0, in = 0;
        if (::ioctl(fd, SIOCOUTQ, &out) == 0 && out > 0)
            total += out;
        if (::ioctl(fd, FIONREAD, &in) == 0 && in > 0)
            total += in;
    }
    ::closedir(dir);
    return total;
}

inline bool readable(int fd, int timeoutMs = 0)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

// Sends all of data on a connected non-blocking socket, turning the loop while the kernel is full.
inline bool sendAll(int fd, const std::string &data, int timeoutMs = 10000)
{
    size_t sent = 0;
    return waitUntil(
               [&] {
                   const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
                   if (n > 0)
                       sent += static_cast<size_t>(n);
                   else if (n < 0 && errno != EAGAIN && errno != EINPROGRESS && errno != ENOTCONN)
                       return true; // failed: stop waiting, the caller sees the shortfall
                   return sent == data.size();
               },
               timeoutMs) &&
           sent == data.size();
}

// Every byte up to the peer's close; false when the wait ran out or the connection failed.
inline bool readToClose(int fd, std::string &out, int timeoutMs = 10000)
{
    bool closed = false, failed = false;
    char buffer[65536];
    waitUntil(
        [&] {
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    out.append(buffer, static_cast<size_t>(n));
                    continue;
                }
                if (n == 0)
                    closed = true;
                else if (errno != EAGAIN)
                    failed = true;
                return closed || failed;
            }
        },
        timeoutMs);
    return closed && !failed;
}

// One request on a new connection: every byte of the answer up to the server's close, or an
// empty text when anything failed or timeoutMs ran out for the sending or the answer.
inline std::string exchange(int port, const std::string &request, int timeoutMs = 10000)
{
    const int fd = connectLoopback(port, true);
    if (fd < 0)
        return {};
    std::string answer;
    const bool ok = sendAll(fd, request, timeoutMs) && readToClose(fd, answer, timeoutMs);
    ::close(fd);
    return ok ? answer : std::string();
}

} // namespace probe
