// SPDX-License-Identifier: MIT
// HTTPS load for bench/httpscompare.sh: CLIENTS threads, each for SECONDS opening a new TLS 1.3
// connection to 127.0.0.1:PORT (full handshake, no session resumed, the certificate checked
// against CA_FILE and the address), sending "GET /" over HTTP/1.0 and reading the answer to the
// server's close. A connection counts as answered only with a 200 and a body of its
// Content-Length. Prints "connections answered client_cpu_microseconds".
// A compiled client, so that the servers, not the client, are what the machine's cores are busy
// with: a script's interpreter spends several times a server's CPU per connection.
// Usage: lw_tlsload PORT CLIENTS SECONDS CA_FILE
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct alignas(64) TCount
{
    long Made = 0;
    long Answered = 0;
};

// True when ANSWER is a 200 whose body is as long as its Content-Length says.
bool Whole(const std::string &answer)
{
    const auto headEnd = answer.find("\r\n\r\n");
    const bool ok = answer.compare(0, 13, "HTTP/1.0 200 ") == 0 || answer.compare(0, 13, "HTTP/1.1 200 ") == 0;
    if (headEnd == std::string::npos || !ok)
        return false;
    const std::string head = answer.substr(0, headEnd);
    std::size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (strncasecmp(head.c_str() + at, "content-length:", 15) == 0)
            return std::strtol(head.c_str() + at + 15, nullptr, 10) == static_cast<long>(answer.size() - headEnd - 4);
    }
    return false;
}

// One connection: true when it was answered whole.
bool OneRequest(SSL_CTX *context, const sockaddr_in &address, const std::string &request)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    timeval timeout{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool answered = false;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        SSL *ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
        if (SSL_connect(ssl) == 1 &&
            SSL_write(ssl, request.data(), static_cast<int>(request.size())) == static_cast<int>(request.size())) {
            std::string answer;
            char buffer[16384];
            int got;
            while ((got = SSL_read(ssl, buffer, sizeof buffer)) > 0)
                answer.append(buffer, static_cast<std::size_t>(got));
            answered = Whole(answer);
        }
        SSL_free(ssl);
    }
    close(fd);
    ERR_clear_error();
    return answered;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: lw_tlsload PORT CLIENTS SECONDS CA_FILE\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int clients = std::atoi(argv[2]);
    const double seconds = std::atof(argv[3]);
    if (port <= 0 || port > 65535 || clients <= 0 || seconds <= 0) {
        std::fprintf(stderr, "lw_tlsload: bad PORT, CLIENTS or SECONDS\n");
        return 2;
    }
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_load_verify_locations(context, argv[4], nullptr) != 1) {
        std::fprintf(stderr, "lw_tlsload: cannot read %s\n", argv[4]);
        return 2;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";

    std::vector<TCount> counts(static_cast<std::size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (auto &count : counts)
        threads.emplace_back([&, counter = &count] {
            ready.fetch_add(1);
            while (!go.load())
                std::this_thread::yield();
            const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            while (std::chrono::steady_clock::now() < end) {
                ++counter->Made;
                counter->Answered += OneRequest(context, address, request);
            }
        });
    while (ready.load() < clients)
        std::this_thread::yield();
    go.store(true);
    for (auto &thread : threads)
        thread.join();
    long made = 0, answered = 0;
    for (const auto &count : counts) {
        made += count.Made;
        answered += count.Answered;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval &t) { return t.tv_sec * 1000000L + t.tv_usec; };
    std::printf("%ld %ld %ld\n", made, answered, micros(usage.ru_utime) + micros(usage.ru_stime));
    SSL_CTX_free(context);
    return 0;
}
