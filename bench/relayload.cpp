// Relay throughput: the real console session and telnet relay run in this process's Qt event
// loop, between a test router and a remote client on 127.0.0.1 served by threads of their own.
// N MiB go router -> client (through the session's drawing and parsing of every chunk, as in
// use) and then N MiB client -> router; both arrive byte for byte. Prints MB/s each way.
// The relay has no flow control: a sender that runs more than the socket layer's send queue
// limit ahead of the receiver loses the connection. --window W keeps the sender at most W MiB
// ahead of what has arrived, as a reader with a window would.
// Usage: lw_relayload [--mib N] [--window W]   (defaults 64 and 0, no window)
#include "consolesession.h"
#include "telnetrelay.h"

#include <QCoreApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// The byte at position i of a stream: every code from 0 to 255, in an order with no short period.
inline char patternByte(size_t i)
{
    return static_cast<char>((i * 2654435761u) >> 13);
}

std::atomic<size_t> g_received{0};
size_t g_window = 0;

bool sendPattern(int fd, size_t total)
{
    char buffer[65536];
    for (size_t sent = 0; sent < total;) {
        while (g_window && sent - g_received.load() > g_window)
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

// Reads total bytes and checks each against the pattern; false on a short or a wrong stream.
bool receivePattern(int fd, size_t total)
{
    char buffer[65536];
    for (size_t received = 0; received < total;) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, total - received), 0);
        if (n <= 0)
            return false;
        for (ssize_t k = 0; k < n; ++k)
            if (buffer[k] != patternByte(received + static_cast<size_t>(k)))
                return false;
        received += static_cast<size_t>(n);
        g_received = received;
    }
    return true;
}

double oneWay(int from, int to, size_t total)
{
    const auto begin = std::chrono::steady_clock::now();
    g_received = 0;
    std::atomic<bool> sentOk{false};
    std::thread sender([&] { sentOk = sendPattern(from, total); });
    const bool receivedOk = receivePattern(to, total);
    sender.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (!sentOk || !receivedOk) {
        std::fprintf(stderr, "the stream did not arrive byte for byte\n");
        std::exit(1);
    }
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    size_t mib = 64;
    for (int k = 1; k + 1 < argc; ++k) {
        if (std::string(argv[k]) == "--mib")
            mib = static_cast<size_t>(std::atol(argv[++k]));
        else if (std::string(argv[k]) == "--window")
            g_window = static_cast<size_t>(std::atol(argv[++k])) * 1024 * 1024;
    }
    const size_t total = mib * 1024 * 1024;

    const int routerListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t length = sizeof addr;
    if (::bind(routerListener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(routerListener, 1) != 0 ||
        ::getsockname(routerListener, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
        return 1;
    const int routerPort = ntohs(addr.sin_port);

    TConsoleSession session;
    TTelnetRelay relay(session);
    relay.ConnectionFields = [routerPort] {
        return TTelnetRelay::TConnectionFields{"127.0.0.1", std::to_string(routerPort)};
    };
    relay.chkTelnetAdminClick(true, "0");
    const int relayPort = relay.TelnetServerSocket.Socket()->LocalPort();

    const int exitCode = 0;
    std::thread peers([&] {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in relayAddr = loopback(relayPort);
        if (::connect(client, reinterpret_cast<const sockaddr *>(&relayAddr), sizeof relayAddr) != 0)
            std::exit(1);
        const int router = ::accept(routerListener, nullptr, nullptr);
        if (router < 0)
            std::exit(1);
        const double down = oneWay(router, client, total);
        const double up = oneWay(client, router, total);
        std::printf("relay, %zu MiB each way: router -> client %.1f MB/s (%.2f s), client -> router %.1f MB/s "
                    "(%.2f s)\n",
                    mib, total / down / 1e6, down, total / up / 1e6, up);
        std::fflush(stdout);
        ::close(client);
        ::close(router);
        QMetaObject::invokeMethod(
            &app, [&] { app.exit(exitCode); }, Qt::QueuedConnection);
    });
    const int rc = app.exec();
    peers.join();
    ::close(routerListener);
    return rc;
}
