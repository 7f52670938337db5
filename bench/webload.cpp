// SPDX-License-Identifier: MIT
// Load program for the web status server: the real monitor (TMonitor, as linewatchd runs it) serves
// a busy status record from this process's Qt event loop on an ephemeral port, its one-second tick
// running, while a client thread keeps C connections open to 127.0.0.1, one GET per connection,
// until N requests are answered. For each path (the status page, /metrics and /status.json) it
// prints requests per second and the server's CPU time per request, and at the end the growth of
// resident memory from after a warm-up of 1,000 requests.
// Usage: lw_webload [--requests N] [--concurrency C ...] [--path P ...] [--pages-out DIR]
//                   [--compare-port P [--compare-pid PID] [--rounds R]]
// (defaults: 5000 requests, C = 10 and 100, paths /, /metrics and /status.json; /live and its
// files may be given too). --pages-out writes each answer's body as served (index.html, metrics,
// status.json, live, live.js ...) and stops, so that another server can serve files of the same sizes; --compare-port
// runs the same load against that server on 127.0.0.1:P right after each run against ours and prints the ratio, and
// --compare-pid names the process whose CPU time that server spends; --rounds R splits each
// comparison into R alternating rounds of N/R requests, prints each round's rates, CPU time per
// answer and failures, and gives the medians and the spread (bench/webcompare.sh does all of it
// with nginx). An answer counts when its status line says 200 OK and its body is exactly its
// Content-Length; the rest count as failed.
// lw_webload --flood pipelined|idle [--clients N] instead holds N connections (default 500), from
// a child process, that each send 32 GETs in one write and never read, or send nothing, and times
// one request now and then for 35 s beside them, with the server's descriptors and resident
// memory and the kernel's TCP buffer memory. The server keeps the descriptor limit it started
// with (for example under `ulimit -Sn 1024`). --flood-path P sends P instead of the page in the
// flood's GETs, --window B gives each flooding client a receive buffer of B bytes (set before the
// connect, so the server sees that small a window), and --history DB answers /calls.json from
// that call history database (make one with linewatch-historyfill).
#include "livepage.h"
#include "loopbacksocket.h"
#include "monitor.h"
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
#include <ctime>
#include <dirent.h>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string requestFor(const std::string &path)
{
    return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
}

struct Result
{
    int answered = 0; // whole "200 OK" answers
    int failed = 0;   // refused, reset, another status, or a body short of its Content-Length
    double seconds = 0;
    std::vector<double> latencies; // connect to close, seconds
};

struct Connection
{
    int fd = -1;
    bool sent = false;
    std::string head; // the bytes up to the blank line that ends the header, and a few beyond
    size_t received = 0;
    std::chrono::steady_clock::time_point start;
};

// Most bytes kept of an answer's head; ours and a static server's are a few hundred.
constexpr size_t kMaxHead = 4096;

// Whether a closed connection brought one whole "200 OK" answer: the status line (HTTP/1.0 from
// us, HTTP/1.1 from a static file server), then a body of exactly the Content-Length bytes. The
// size of the body is not fixed: /status.json shrinks as the usage series drain, so a length
// measured at start says nothing about a late answer.
bool wholeAnswer(const Connection &c)
{
    if (!c.head.starts_with("HTTP/1.0 200 OK\r\n") && !c.head.starts_with("HTTP/1.1 200 OK\r\n"))
        return false;
    const size_t end = c.head.find("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    for (size_t line = c.head.find("\r\n") + 2; line < end; line = c.head.find("\r\n", line) + 2) {
        if (strncasecmp(c.head.data() + line, "Content-Length:", 15) == 0)
            return std::strtoull(c.head.c_str() + line + 15, nullptr, 10) == c.received - end - 4;
    }
    return false;
}

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
Result runLoad(int port, int total, int concurrency, const std::string &request = requestFor("/"))
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
                    if (::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                        static_cast<ssize_t>(request.size()))
                        c.sent = true;
                    else if (errno != EAGAIN)
                        finished = true;
                } else {
                    const ssize_t n = ::recv(c.fd, scratch, sizeof scratch, 0);
                    if (n > 0) {
                        if (c.head.size() < kMaxHead)
                            c.head.append(scratch, std::min(static_cast<size_t>(n), kMaxHead - c.head.size()));
                        c.received += static_cast<size_t>(n);
                    } else if (n == 0 || errno != EAGAIN) {
                        finished = true;
                        ok = n == 0 && wholeAnswer(c);
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
double timedRequest(int port)
{
    const Result r = runLoad(port, 1, 1);
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
void flood(pid_t server, int port, bool pipelined, int clients, const std::string &floodPath, int window)
{
    runLoad(port, 50, 1);
    const auto report = [&](const char *when) {
        std::printf("%-28s server: descriptors %5d, resident %6ld KiB; kernel TCP memory %7ld KiB\n", when,
                    descriptorsOf(server), residentKiBOf(server), kernelTcpBytes() / 1024);
        std::fflush(stdout);
    };
    report("before");
    std::string request;
    for (int k = 0; k < (pipelined ? 32 : 0); ++k)
        request += "GET " + floodPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<int> fds;
    for (int k = 0; k < clients; ++k) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && window > 0)
            (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        const sockaddr_in address = loopbackAddress(port);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
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
        const double latency = timedRequest(port);
        char when[64];
        std::snprintf(when, sizeof when, "t=%2d s: answer %7.1f ms,", second, latency < 0 ? -1.0 : 1000 * latency);
        report(when);
    }
    for (int fd : fds)
        ::close(fd);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    report("clients gone");
}

// CPU seconds a process has used: the nanoseconds on a CPU of all its threads
// (/proc/PID/task/*/schedstat), since the clock ticks of /proc/PID/stat (10 ms) are as coarse as
// a static server's whole CPU time for a round of a thousand answers; -1 if unreadable.
double processCpuSeconds(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return -1;
    double seconds = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        unsigned long long nanoseconds = 0;
        if (FILE *f = std::fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r")) {
            if (std::fscanf(f, "%llu", &nanoseconds) != 1)
                nanoseconds = 0;
            std::fclose(f);
        }
        seconds += static_cast<double>(nanoseconds) / 1e9;
    }
    ::closedir(dir);
    return seconds;
}

double threadCpuSeconds(clockid_t clock)
{
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The file another server serves in place of a path of ours.
std::string fileNameFor(const std::string &path)
{
    return TWebServer::IsStatusPath(path) ? "index.html" : path.substr(path.find_last_of('/') + 1);
}

// The busy record of the status page benchmark, put where the monitor keeps it.
void fillMonitor(TMonitor &monitor)
{
    const TStatusPageInputs inputs = busyStatusInputs();
    monitor.Session.B1 = inputs.B1;
    monitor.Session.B2 = inputs.B2;
    monitor.Session.Router = inputs.Router;
    for (size_t i = 0; i < inputs.Series1.size(); ++i) {
        monitor.Series1.Step(inputs.Series1[i]);
        monitor.Series2.Step(inputs.Series2[i]);
    }
    monitor.Settings.SetChecked(SettingControl::chkWebAutoRefresh, inputs.WebAutoRefresh);
    monitor.Settings.SetText(SettingControl::edtWebAutoRefreshSeconds, inputs.WebAutoRefreshSeconds);
}

// The body of the monitor's answer for a path, as a browser or scraper gets it.
std::string bodyFor(TMonitor &monitor, const std::string &path)
{
    std::string answer;
    if (TWebServer::IsStatusPath(path))
        answer = HttpAnswer(THttpStatus::Ok, monitor.StatusPage());
    else if (std::optional<std::string> machine = monitor.MachineAnswer(path))
        answer = std::move(*machine);
    else if (std::optional<std::string> live = LivePageAnswer(path, TLivePageInputs{}))
        answer = std::move(*live);
    const size_t head = answer.find("\r\n\r\n");
    return head == std::string::npos ? std::string() : answer.substr(head + 4);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int requests = 5000;
    std::vector<int> concurrencies;
    std::vector<std::string> paths;
    const char *pagesOut = nullptr;
    int comparePort = 0;
    pid_t comparePid = 0;
    const char *floodKind = nullptr;
    int floodClients = 500;
    std::string floodPath = "/";
    int window = 0;
    const char *historyDatabase = nullptr;
    int rounds = 1;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--requests" && k + 1 < argc)
            requests = std::atoi(argv[++k]);
        else if (arg == "--concurrency" && k + 1 < argc)
            concurrencies.push_back(std::atoi(argv[++k]));
        else if (arg == "--path" && k + 1 < argc)
            paths.emplace_back(argv[++k]);
        else if (arg == "--pages-out" && k + 1 < argc)
            pagesOut = argv[++k];
        else if (arg == "--compare-port" && k + 1 < argc)
            comparePort = std::atoi(argv[++k]);
        else if (arg == "--compare-pid" && k + 1 < argc)
            comparePid = static_cast<pid_t>(std::atoi(argv[++k]));
        else if (arg == "--flood" && k + 1 < argc)
            floodKind = argv[++k];
        else if (arg == "--rounds" && k + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++k]));
        else if (arg == "--clients" && k + 1 < argc)
            floodClients = std::atoi(argv[++k]);
        else if (arg == "--flood-path" && k + 1 < argc)
            floodPath = argv[++k];
        else if (arg == "--window" && k + 1 < argc)
            window = std::atoi(argv[++k]);
        else if (arg == "--history" && k + 1 < argc)
            historyDatabase = argv[++k];
    }
    if (concurrencies.empty())
        concurrencies = {10, 100};
    if (paths.empty())
        paths = {"/", std::string(TMonitor::kMetricsPath), std::string(TMonitor::kStatusJsonPath)};

    TMonitor monitor;
    fillMonitor(monitor);
    monitor.Settings.BindAddress = "127.0.0.1";
    if (historyDatabase) {
        monitor.Settings.Logging.Enabled = true;
        monitor.Settings.Logging.Database = historyDatabase;
        monitor.SetDataDirectory("/tmp", false);
        monitor.Tick(); // opens the history as the first tick does
    }
    monitor.SetWebAdminPort("0");
    monitor.SetWebAdmin(true);
    const int port = monitor.WebServer.WebServerSocket.Socket()->LocalPort();
    std::vector<size_t> sizes;
    for (const std::string &path : paths) {
        const std::string body = bodyFor(monitor, path);
        if (body.empty()) {
            std::fprintf(stderr, "the monitor does not answer %s\n", path.c_str());
            return 2;
        }
        sizes.push_back(body.size());
        if (!pagesOut)
            continue;
        const std::string file = std::string(pagesOut) + "/" + fileNameFor(path);
        FILE *out = std::fopen(file.c_str(), "wb");
        if (!out || std::fwrite(body.data(), 1, body.size(), out) != body.size() || std::fclose(out) != 0) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return 2;
        }
    }
    if (pagesOut)
        return 0;
    std::printf("web server on 127.0.0.1:%d, %d requests per run\n", port, requests);
    for (size_t k = 0; k < paths.size(); ++k)
        std::printf("  %-12s body %zu bytes\n", paths[k].c_str(), sizes[k]);

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
            flood(serverPid, port, std::strcmp(floodKind, "pipelined") == 0, floodClients, floodPath, window);
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
    // The server runs on this thread; its CPU time is read from the client thread.
    clockid_t serverClock{};
    pthread_getcpuclockid(pthread_self(), &serverClock);
    int exitCode = 0;
    std::thread client([&] {
        runLoad(port, 1000, concurrencies.front());
        const long residentBefore = probe::residentBytes() / 1024;
        if (comparePort)
            runLoad(comparePort, 1000, concurrencies.front());
        struct Rate
        {
            double perSecond = 0;
            double cpuMicroseconds = 0; // the server's CPU time per whole answer; 0 without any
            int answered = 0, failed = 0;
        };
        // One run against a server; a line of its own unless it is one of several rounds.
        const auto measure = [&](const char *name, int onPort, const std::function<double()> &cpu,
                                 const std::string &path, int c, int count, bool print) {
            const long overflowsBefore = listenOverflows();
            const double cpuBefore = cpu();
            Result r = runLoad(onPort, count, c, requestFor(path));
            const Rate rate{r.answered / r.seconds, r.answered > 0 ? 1e6 * (cpu() - cpuBefore) / r.answered : 0.0,
                            r.answered, r.failed};
            std::sort(r.latencies.begin(), r.latencies.end());
            const auto percentile = [&](double p) {
                return r.latencies.empty() ? 0.0 : r.latencies[static_cast<size_t>(p * (r.latencies.size() - 1))];
            };
            if (r.failed)
                exitCode = 1;
            if (!print)
                return rate;
            std::printf("%-8s %-12s concurrency %3d: %d answered, %d failed, %.2f s, %.0f requests/s, server CPU "
                        "%.0f us/answer, latency median %.1f ms, p99 %.1f ms, max %.1f ms, accept queue "
                        "overflows %ld\n",
                        name, path.c_str(), c, r.answered, r.failed, r.seconds, rate.perSecond, rate.cpuMicroseconds,
                        1000 * percentile(0.5), 1000 * percentile(0.99), 1000 * percentile(1.0),
                        listenOverflows() - overflowsBefore);
            std::fflush(stdout);
            return rate;
        };
        const auto ourCpu = [&] { return threadCpuSeconds(serverClock); };
        const auto theirCpu = [&] { return comparePid > 0 ? processCpuSeconds(comparePid) : 0.0; };
        const auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.empty() ? 0.0 : v[v.size() / 2];
        };
        const auto range = [](const std::vector<double> &v) {
            char text[64] = "";
            if (v.size() > 1)
                std::snprintf(text, sizeof text, " (%.2f-%.2f)", *std::min_element(v.begin(), v.end()),
                              *std::max_element(v.begin(), v.end()));
            return std::string(text);
        };
        std::vector<std::string> summary;
        for (size_t k = 0; k < paths.size(); ++k) {
            for (int c : concurrencies) {
                if (!comparePort) {
                    measure("ours", port, ourCpu, paths[k], c, requests, true);
                    continue;
                }
                // Short rounds, ours and theirs in turn (each going first every other round), and
                // the median of the rounds' ratios: a busy machine's load comes and goes, and
                // should not land on one server's whole run. A round in which either server
                // answered nothing whole gives no ratio; its failures are printed all the same.
                const std::string theirPath = "/" + fileNameFor(paths[k]);
                const int perRound = std::max(1, requests / rounds);
                std::vector<double> rateRatios, cpuRatios, ourRates, theirRates, ourCpus, theirCpus;
                int ourFailed = 0, theirFailed = 0;
                for (int round = 0; round < rounds; ++round) {
                    const bool print = rounds == 1;
                    Rate ours, theirs;
                    if (round % 2 == 0) {
                        ours = measure("ours", port, ourCpu, paths[k], c, perRound, print);
                        theirs = measure("compared", comparePort, theirCpu, theirPath, c, perRound, print);
                    } else {
                        theirs = measure("compared", comparePort, theirCpu, theirPath, c, perRound, print);
                        ours = measure("ours", port, ourCpu, paths[k], c, perRound, print);
                    }
                    ourFailed += ours.failed;
                    theirFailed += theirs.failed;
                    if (rounds > 1) {
                        std::printf("  %-12s concurrency %3d round %d: ours %.0f answers/s, %.0f us CPU/answer, %d "
                                    "failed; compared %.0f answers/s, %.0f us CPU/answer, %d failed\n",
                                    paths[k].c_str(), c, round + 1, ours.perSecond, ours.cpuMicroseconds, ours.failed,
                                    theirs.perSecond, theirs.cpuMicroseconds, theirs.failed);
                        std::fflush(stdout);
                    }
                    if (ours.answered == 0 || theirs.answered == 0)
                        continue;
                    rateRatios.push_back(ours.perSecond / theirs.perSecond);
                    ourRates.push_back(ours.perSecond);
                    theirRates.push_back(theirs.perSecond);
                    ourCpus.push_back(ours.cpuMicroseconds);
                    if (comparePid > 0 && theirs.cpuMicroseconds > 0) {
                        theirCpus.push_back(theirs.cpuMicroseconds);
                        cpuRatios.push_back(ours.cpuMicroseconds / theirs.cpuMicroseconds);
                    }
                }
                // The rate against a static server is bound by this one client thread near its
                // ceiling, so the CPU time each server spends per answer stands beside it.
                char line[400];
                std::string text;
                if (rateRatios.empty()) {
                    std::snprintf(line, sizeof line, "%-12s concurrency %3d: no round with whole answers from both",
                                  paths[k].c_str(), c);
                    text = line;
                } else {
                    std::snprintf(line, sizeof line,
                                  "%-12s concurrency %3d: ours %.0f answers/s at %.0f us CPU/answer, compared %.0f "
                                  "answers/s",
                                  paths[k].c_str(), c, median(ourRates), median(ourCpus), median(theirRates));
                    text = line;
                    if (!theirCpus.empty()) {
                        std::snprintf(line, sizeof line, " at %.0f us CPU/answer", median(theirCpus));
                        text += line;
                    }
                    std::snprintf(line, sizeof line, "; ours at %.2fx its rate%s", median(rateRatios),
                                  range(rateRatios).c_str());
                    text += line;
                    if (!cpuRatios.empty()) {
                        std::snprintf(line, sizeof line, ", %.2fx its CPU per answer%s", median(cpuRatios),
                                      range(cpuRatios).c_str());
                        text += line;
                    }
                    if (rounds > 1) {
                        std::snprintf(line, sizeof line, " (medians of %zu of %d rounds)", rateRatios.size(), rounds);
                        text += line;
                    }
                }
                std::snprintf(line, sizeof line, "; failed: ours %d, compared %d of %d each", ourFailed, theirFailed,
                              perRound * rounds);
                text += line;
                if (rounds == 1) {
                    summary.push_back(text);
                    continue;
                }
                std::printf("%s\n", text.c_str());
                std::fflush(stdout);
            }
        }
        for (const std::string &line : summary)
            std::printf("%s\n", line.c_str());
        std::printf("resident memory: %ld KiB after the warm-up, %+ld KiB after the runs\n", residentBefore,
                    probe::residentBytes() / 1024 - residentBefore);
        QMetaObject::invokeMethod(
            &app, [&] { app.exit(exitCode); }, Qt::QueuedConnection);
    });
    const int rc = app.exec();
    client.join();
    return rc;
}
