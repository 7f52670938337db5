// SPDX-License-Identifier: MIT
// Full-speed replay of router output through the console session (drawing, the prompt automaton
// and one ParseScreen per chunk, as sktBrelwickRead runs them), in 1,460-byte chunks. Prints MB/s
// and the growth of resident memory from after a 1 MB warm-up to the end. With --socket the
// stream comes from a peer on 127.0.0.1 writing as fast as the kernel takes it, through the
// session's own socket, and the peak of resident memory is printed too (what a backlog costs).
// Usage: lw_consolereplay [--mb N] [--socket]   (default 100)
#include "consolesession.h"
#include "processprobe.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kSegment = 1460;

std::string at(int row, int col)
{
    return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "H";
}

std::string padded(const std::string &text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// One repaint of the status screen with counters that grow from one repaint to the next.
std::string repaint(long n)
{
    std::string out = "\x1b[?25l" + at(3, 26) + "\x1b[1mMenu 24.1 - System Maintenance - Status\x1b[0m\x1b[K";
    out += at(5, 3) + "Port Status    Speed  TXPkts      RXPkts      Errors     CLU  ALU   Up Time";
    for (int ch = 0; ch < 2; ++ch) {
        out += at(6 + ch, 3) + std::to_string(ch + 1) + "  " + (ch ? "Idle    " : "SYNC-PPP") + "  64Kbps" +
               padded(std::to_string(1000000 + n * 17), 12) + padded(std::to_string(2000000 + n * 13), 12) +
               padded(std::to_string(n % 7), 12) + padded(std::to_string(n % 101), 4) + "%" +
               padded(std::to_string(n % 97), 4) + "%" + padded("1:02:33", 12) + "\x1b[K";
    }
    out += at(9, 3) + "Total Outcall Time :     123:45:06";
    out += at(12, 3) + "Status    :  10M/Half Duplex";
    out += at(13, 3) + "TX Pkts   :" + padded(std::to_string(98765432109 + n), 15);
    out += at(14, 3) + "RX Pkts   :" + padded(std::to_string(1234567 + n), 15);
    out += at(15, 3) + "Collisions   :" + padded(std::to_string(n % 50), 12);
    out += at(22, 3) + "Press Command (1=Drop B1, 2=Drop B2, 3=Reset, 4=Drop All):" + at(22, 62) + "\x1b[?25h";
    return out;
}

// The highest resident memory of the process so far, in KiB.
long peakResidentKiB()
{
    long peak = 0;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmHWM:", 6) == 0)
                peak = std::atol(line + 6);
        std::fclose(f);
    }
    return peak;
}

// Writes `total` bytes of the stream to the session's connection on a loopback listener as fast
// as the kernel takes them, then closes, while the session reads in the event loop.
void replayOverSocket(const std::string &stream, size_t total)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    std::atomic<bool> sent{false};
    std::thread writer([&] {
        const int peer = ::accept(listener, nullptr, nullptr);
        for (size_t done = 0, offset = 0; peer >= 0 && done < total;) {
            const size_t n = std::min(stream.size() - offset, total - done);
            const ssize_t w = ::send(peer, stream.data() + offset, n, MSG_NOSIGNAL);
            if (w <= 0)
                break;
            done += static_cast<size_t>(w);
            offset = (offset + static_cast<size_t>(w)) % stream.size();
        }
        ::close(peer);
        sent = true;
    });

    TConsoleSession session;
    session.sktBrelwick.SetAddress("127.0.0.1");
    session.sktBrelwick.SetPort(ntohs(address.sin_port));
    const long residentBefore = probe::residentBytes() / 1024;
    const long peakBefore = peakResidentKiB();
    const auto begin = std::chrono::steady_clock::now();
    session.sktBrelwick.SetActive(true);
    session.LoginStep = 7; // on the status screen: nothing is typed
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (sent && !session.sktBrelwick.Active())
            QCoreApplication::quit();
    });
    poll.start(5);
    QCoreApplication::exec();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    writer.join();
    ::close(listener);
    std::printf("console replay over a socket: %zu MB in %.2f s, %.1f MB/s; resident memory %ld KiB before, "
                "%+ld KiB after, peak %+ld KiB\n",
                total / 1000000, seconds, total / seconds / 1e6, residentBefore,
                probe::residentBytes() / 1024 - residentBefore, peakResidentKiB() - peakBefore);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    size_t megabytes = 100;
    bool overSocket = false;
    for (int k = 1; k < argc; ++k) {
        if (std::string(argv[k]) == "--mb" && k + 1 < argc)
            megabytes = static_cast<size_t>(std::atol(argv[++k]));
        else if (std::string(argv[k]) == "--socket")
            overSocket = true;
    }

    // A stream of repaints long enough that chunks cut it at ever different places.
    std::string stream;
    for (long n = 0; stream.size() < 4 * 1024 * 1024; ++n)
        stream += repaint(n);

    if (overSocket) {
        replayOverSocket(stream, megabytes * 1000 * 1000);
        return 0;
    }

    TConsoleSession session;
    session.LoginStep = 7; // on the status screen: nothing is typed
    size_t offset = 0;
    size_t fed = 0;
    const auto feed = [&](size_t bytes) {
        for (size_t done = 0; done < bytes;) {
            const size_t n = std::min(kSegment, stream.size() - offset);
            session.ProcessConsoleData(stream.substr(offset, n));
            offset = (offset + n) % stream.size();
            done += n;
        }
        fed += bytes;
    };
    feed(1024 * 1024);
    const long residentBefore = probe::residentBytes() / 1024;
    const auto begin = std::chrono::steady_clock::now();
    const size_t total = megabytes * 1000 * 1000;
    feed(total);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("console replay: %zu MB in %.2f s, %.1f MB/s; resident memory %ld KiB after the warm-up, %+ld KiB "
                "after the replay; B1 TX %lld\n",
                megabytes, seconds, total / seconds / 1e6, residentBefore,
                probe::residentBytes() / 1024 - residentBefore, static_cast<long long>(session.B1.TX));
    return 0;
}
