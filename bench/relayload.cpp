// SPDX-License-Identifier: MIT
// Relay throughput: the real console session and telnet relay run in this process's Qt event
// loop, between a test router and a remote client on 127.0.0.1 served by threads of their own.
// N MiB go router -> client (through the session's drawing and parsing of every chunk, as in
// use) and then N MiB client -> router; both arrive byte for byte. Prints MB/s each way.
// The relay has no flow control: a sender that runs more than the socket layer's send queue
// limit ahead of the receiver loses the connection. --window W keeps the sender at most W MiB
// ahead of what has arrived, as a reader with a window would.
// Usage: lw_relayload [--mib N] [--window W]   (defaults 64 and 0, no window)
#include "consolesession.h"
#include "loopbacksocket.h"
#include "patternstream.h"
#include "telnetrelay.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<size_t> g_received{0};
size_t g_window = 0;

double oneWay(int from, int to, size_t total)
{
    const auto begin = std::chrono::steady_clock::now();
    g_received = 0;
    std::atomic<bool> sentOk{false};
    std::thread sender([&] { sentOk = sendPattern(from, total, &g_received, g_window); });
    const bool receivedOk = receivePattern(to, total, g_received);
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

    int routerPort = 0;
    const int routerListener = listenLoopback(routerPort);
    if (routerListener < 0)
        return 1;

    TConsoleSession session;
    TTelnetRelay relay(session);
    relay.ConnectionFields = [routerPort] {
        return TTelnetRelay::TConnectionFields{"127.0.0.1", std::to_string(routerPort)};
    };
    relay.chkTelnetAdminClick(true, "0");
    const int relayPort = relay.TelnetServerSocket.Socket()->LocalPort();

    const int exitCode = 0;
    std::thread peers([&] {
        const int client = connectLoopback(relayPort);
        if (client < 0)
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
