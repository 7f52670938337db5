// Load program for the web status server: the real TWebServer serves a busy status page from this
// process's Qt event loop on an ephemeral port, while a client thread keeps C connections open to
// 127.0.0.1, one GET per connection, until N requests are answered. Prints requests per second,
// and the growth of resident memory from after a warm-up of 1,000 requests to the end.
// Usage: lw_webload [--requests N] [--concurrency C ...] [--page-out FILE] [--compare-port P]
// (defaults: 5000 requests, C = 10 and 100). --page-out writes the page as served and stops, so
// that another server can serve a file of the same size; --compare-port runs the same load against
// that server on 127.0.0.1:P right after each run against ours and prints the ratio
// (bench/webcompare.sh does both with nginx).
// lw_webload --flood pipelined|idle [--clients N] instead holds N connections (default 500), from
// a child process, that each send 32 GETs in one write and never read, or send nothing, and times
// one request now and then for 35 s beside them, with the server's descriptors and resident
// memory and the kernel's TCP buffer memory. The server keeps the descriptor limit it started
// with (for example under `ulimit -Sn 1024`).
#include "loopbacksocket.h"
#include "processprobe.h"
#include "statusinputs.h"
#include "statuspage.h"
#include "webserver.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char kRequest[] = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: text/html\r\n\r\n";

struct Result
{
    int answered = 0; // complete "200" answers
    int failed = 0;   // refused, reset, or closed without a whole answer
    double seconds = 0;
    std::vector<double> latencies; // connect to close, seconds
};

struct Connection
{
    int fd = -1;
    bool sent = false;
    std::string head; // the first bytes, to check the status line
    size_t received = 0;
    std::chrono::steady_clock::time_point start;
};

// The kernel's count of connections dropped because a listener's accept queue was full.
long listenOverflows()
{
    FILE *f = std::fopen("/proc/net/netstat", "r");
    if (!f)
        return -1;
    char names[4096], values[4096];
    long result = -1;
    while (std::fgets(names, sizeof names, f) && std::fgets(values, sizeof values, f)) {
        if (std::strncmp(names, "TcpExt:", 7) != 0)
            continue;
        char *nameSave = nullptr, *valueSave = nullptr;
        for (char *n = strtok_r(names, " \n", &nameSave), *v = strtok_r(values, " \n", &valueSave); n && v;
             n = strtok_r(nullptr, " \n", &nameSave), v = strtok_r(nullptr, " \n", &valueSave))
            if (std::strcmp(n, "ListenOverflows") == 0)
                result = std::atol(v);
    }
    std::fclose(f);
    return result;
}

// Runs `total` requests with `concurrency` connections in flight, each answered exactly once.
Result runLoad(int port, int total, int concurrency, size_t pageSize)
{
    Result result;
    std::vector<Connection> active;
    int started = 0;
    char scratch[65536];
    const auto begin = std::chrono::steady_clock::now();
    while (result.answered + result.failed < total) {
        while (static_cast<int>(active.size()) < concurrency && started < total) {
            ++started;
            Connection c;
            c.start = std::chrono::steady_clock::now();
            c.fd = connectLoopback(port, true);
            if (c.fd < 0) {
                ++result.failed;
                continue;
            }
            active.push_back(c);
        }
        std::vector<pollfd> fds;
        for (const Connection &c : active)
            fds.push_back({c.fd, static_cast<short>(c.sent ? POLLIN : POLLOUT), 0});
        if (::poll(fds.data(), fds.size(), 120000) <= 0) {
            std::fprintf(stderr, "no progress for 120 s\n");
            std::exit(1);
        }
        for (size_t k = fds.size(); k-- > 0;) {
            Connection &c = active[k];
            bool finished = false, ok = false;
            if (fds[k].revents & (POLLERR | POLLHUP | POLLIN | POLLOUT)) {
                if (!c.sent) {
                    if (::send(c.fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == sizeof kRequest - 1)
                        c.sent = true;
                    else if (errno != EAGAIN)
                        finished = true;
                } else {
                    const ssize_t n = ::recv(c.fd, scratch, sizeof scratch, 0);
                    if (n > 0) {
                        if (c.head.size() < 16)
                            c.head.append(scratch, static_cast<size_t>(std::min<ssize_t>(n, 16)));
                        c.received += static_cast<size_t>(n);
                    } else if (n == 0 || errno != EAGAIN) {
                        finished = true;
                        ok = n == 0 && c.head.starts_with("HTTP/1.") && c.head.substr(8, 4) == " 200" &&
                             c.received > pageSize;
                    }
                }
            }
            if (finished) {
                ::close(c.fd);
                ok ? ++result.answered : ++result.failed;
                result.latencies.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - c.start).count());
                active[k] = active.back();
                active.pop_back();
            }
        }
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return result;
}

// The kernel's TCP buffer memory in bytes, all processes together (/proc/net/sockstat).
long kernelTcpBytes()
{
    FILE *f = std::fopen("/proc/net/sockstat", "r");
    if (!f)
        return -1;
    char line[512];
    long pages = -1;
    while (std::fgets(line, sizeof line, f))
        if (const char *mem = std::strstr(line, "TCP: "); mem && (mem = std::strstr(mem, " mem ")))
            pages = std::atol(mem + 5);
    std::fclose(f);
    return pages < 0 ? -1 : pages * ::sysconf(_SC_PAGESIZE);
}

// One request on a new connection; the seconds to the server's close, or -1 without a whole answer.
double timedRequest(int port, size_t pageSize)
{
    const Result r = runLoad(port, 1, 1, pageSize);
    return r.answered == 1 ? r.latencies.front() : -1;
}

int descriptorsOf(pid_t pid)
{
    int count = 0;
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *dir = ::opendir(path.c_str())) {
        while (const dirent *entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

long residentKiBOf(pid_t pid)
{
    long pages = 0, resident = 0;
    const std::string path = "/proc/" + std::to_string(pid) + "/statm";
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGESIZE) / 1024;
}

// The client side of --flood, in a process of its own so that its sockets do not count against
// the server's descriptor limit; server is the process that serves port.
void flood(pid_t server, int port, size_t pageSize, bool pipelined, int clients)
{
    runLoad(port, 50, 1, pageSize);
    const auto report = [&](const char *when) {
        std::printf("%-28s server: descriptors %5d, resident %6ld KiB; kernel TCP memory %7ld KiB\n", when,
                    descriptorsOf(server), residentKiBOf(server), kernelTcpBytes() / 1024);
        std::fflush(stdout);
    };
    report("before");
    std::string request;
    for (int k = 0; k < (pipelined ? 32 : 0); ++k)
        request += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<int> fds;
    for (int k = 0; k < clients; ++k) {
        const int fd = connectLoopback(port, false);
        if (fd < 0) {
            std::fprintf(stderr, "connection %d failed: %s\n", k, std::strerror(errno));
            break;
        }
        fds.push_back(fd);
    }
    for (int fd : fds)
        if (!request.empty())
            (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::printf("%zu %s clients\n", fds.size(), pipelined ? "pipelining, never reading" : "silent");
    const auto begin = std::chrono::steady_clock::now();
    for (int second = 0; second <= 35; second += second < 15 ? 1 : 5) {
        std::this_thread::sleep_until(begin + std::chrono::seconds(second));
        const double latency = timedRequest(port, pageSize);
        char when[64];
        std::snprintf(when, sizeof when, "t=%2d s: answer %7.1f ms,", second, latency < 0 ? -1.0 : 1000 * latency);
        report(when);
    }
    for (int fd : fds)
        ::close(fd);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    report("clients gone");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int requests = 5000;
    std::vector<int> concurrencies;
    const char *pageOut = nullptr;
    int comparePort = 0;
    const char *floodKind = nullptr;
    int floodClients = 500;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--requests" && k + 1 < argc)
            requests = std::atoi(argv[++k]);
        else if (arg == "--concurrency" && k + 1 < argc)
            concurrencies.push_back(std::atoi(argv[++k]));
        else if (arg == "--page-out" && k + 1 < argc)
            pageOut = argv[++k];
        else if (arg == "--compare-port" && k + 1 < argc)
            comparePort = std::atoi(argv[++k]);
        else if (arg == "--flood" && k + 1 < argc)
            floodKind = argv[++k];
        else if (arg == "--clients" && k + 1 < argc)
            floodClients = std::atoi(argv[++k]);
    }
    if (concurrencies.empty())
        concurrencies = {10, 100};

    TWebServer server;
    const TStatusPageInputs inputs = busyStatusInputs();
    int32_t hits = 0;
    server.StatusPage = [&] { return BuildStatusPage(inputs, hits); };
    server.edtWebAdminPortChange("0");
    server.chkWebAdminClick(true);
    const int port = server.WebServerSocket.Socket()->LocalPort();
    int32_t probeHits = 0;
    const std::string page = BuildStatusPage(inputs, probeHits);
    const size_t pageSize = page.size();
    if (pageOut) {
        FILE *out = std::fopen(pageOut, "wb");
        if (!out || std::fwrite(page.data(), 1, page.size(), out) != page.size() || std::fclose(out) != 0) {
            std::fprintf(stderr, "cannot write %s\n", pageOut);
            return 2;
        }
        return 0;
    }
    std::printf("web server on 127.0.0.1:%d, page %zu bytes, %d requests per run\n", port, pageSize, requests);

    if (floodKind) {
        // The server keeps the descriptor limit it was started with; the clients get the most.
        const pid_t serverPid = ::getpid();
        const pid_t child = ::fork();
        if (child == 0) {
            rlimit limit{};
            if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
                limit.rlim_cur = limit.rlim_max;
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            flood(serverPid, port, pageSize, std::strcmp(floodKind, "pipelined") == 0, floodClients);
            ::_exit(0);
        }
        std::thread reaper([&] {
            ::waitpid(child, nullptr, 0);
            QMetaObject::invokeMethod(
                &app, [&] { app.exit(0); }, Qt::QueuedConnection);
        });
        const int rc = app.exec();
        reaper.join();
        return rc;
    }
    int exitCode = 0;
    std::thread client([&] {
        runLoad(port, 1000, concurrencies.front(), pageSize);
        const long residentBefore = probe::residentBytes() / 1024;
        if (comparePort)
            runLoad(comparePort, 1000, concurrencies.front(), pageSize);
        // One run against a server, one line; returns requests per second.
        const auto measure = [&](const char *name, int onPort, int c) {
            const long overflowsBefore = listenOverflows();
            Result r = runLoad(onPort, requests, c, pageSize);
            std::sort(r.latencies.begin(), r.latencies.end());
            const auto percentile = [&](double p) {
                return r.latencies.empty() ? 0.0 : r.latencies[static_cast<size_t>(p * (r.latencies.size() - 1))];
            };
            std::printf("%-8s concurrency %3d: %d answered, %d failed, %.2f s, %.0f requests/s, latency median "
                        "%.1f ms, p99 %.1f ms, max %.1f ms, accept queue overflows %ld\n",
                        name, c, r.answered, r.failed, r.seconds, r.answered / r.seconds, 1000 * percentile(0.5),
                        1000 * percentile(0.99), 1000 * percentile(1.0), listenOverflows() - overflowsBefore);
            std::fflush(stdout);
            if (r.failed)
                exitCode = 1;
            return r.answered / r.seconds;
        };
        for (int c : concurrencies) {
            const double ours = measure("ours", port, c);
            if (comparePort) {
                const double theirs = measure("compared", comparePort, c);
                std::printf("concurrency %3d: ours at %.2f of the compared server's rate\n", c, ours / theirs);
            }
        }
        std::printf("resident memory: %ld KiB after the warm-up, %+ld KiB after the runs\n", residentBefore,
                    probe::residentBytes() / 1024 - residentBefore);
        QMetaObject::invokeMethod(
            &app, [&] { app.exit(exitCode); }, Qt::QueuedConnection);
    });
    const int rc = app.exec();
    client.join();
    return rc;
}
