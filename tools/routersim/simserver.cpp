// SPDX-License-Identifier: MIT
// poll() loop of the simulator. "Would block" means wait for the next readiness report; partial
// sends keep their rest in the connection's unsent buffer. The router's figures advance on one
// shared clock, so every client on the status screen sees the same router.
#include "simserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace {

constexpr int kListenBacklog = 5;

bool makeNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string hexText(const char *data, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        text += kDigits[c >> 4];
        text += kDigits[c & 15];
    }
    return text;
}

} // namespace

SimServer::SimServer(ServerOptions options, SimScript script, LineSink lines)
    : m_options(std::move(options)), m_script(std::move(script)), m_lines(std::move(lines)), m_model(m_options.seed)
{
    for (const ScriptCall &call : m_script.calls)
        m_model.startCall(call.channel, call.kind, call.clid);
    m_startMs = nowMs();
    m_nextTickMs = m_startMs + m_script.intervalMs;
}

SimServer::~SimServer()
{
    for (const auto &connection : m_connections)
        if (connection->fd >= 0)
            close(connection->fd);
    if (m_listenFd >= 0)
        close(m_listenFd);
}

int64_t SimServer::nowMs() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool SimServer::listen(std::string &error)
{
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // never reachable from another machine
    if (bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = "bind 127.0.0.1:" + std::to_string(m_options.port) + ": " + std::strerror(errno);
        return false;
    }
    if (::listen(m_listenFd, kListenBacklog) != 0 || !makeNonBlocking(m_listenFd)) {
        error = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length);
    m_port = ntohs(address.sin_port);
    return true;
}

void SimServer::emit(const Connection &connection, const std::string &text)
{
    m_lines("conn " + std::to_string(connection.id) + " " + text);
}

void SimServer::acceptClients()
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(m_listenFd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return; // EAGAIN, or a client that left before we got to it
        char host[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
        const std::string from = std::string(host) + ":" + std::to_string(ntohs(peer.sin_port));
        if (m_connections.size() >= kMaxConnections) {
            m_lines("refused " + from + " (too many connections)");
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // a split prompt must leave as two segments
        auto connection = std::make_unique<Connection>();
        connection->id = m_nextId++;
        connection->fd = fd;
        Connection *raw = connection.get();
        EventSink events = [this, raw](const std::string &text) { emit(*raw, text); };
        if (m_makeSession)
            connection->session = m_makeSession(std::move(events));
        else
            connection->session =
                std::make_unique<SimSession>(m_model, m_script, m_options.password, std::move(events));
        m_connections.push_back(std::move(connection));
        emit(*raw, "connect " + from);
        raw->session->start(nowMs());
        flush(*raw);
    }
}

void SimServer::readFrom(Connection &connection)
{
    char buffer[kReadChunk];
    // Bounded per wake-up so one busy client cannot starve the others.
    for (int round = 0; round < 16 && connection.fd >= 0; ++round) {
        const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
        if (got == 0) {
            closeConnection(connection, "by peer");
            return;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            closeConnection(connection, std::string("error ") + std::strerror(errno));
            return;
        }
        if (m_options.logInput)
            emit(connection, "input " + hexText(buffer, static_cast<size_t>(got)));
        if (!connection.closeWhenSent)
            connection.session->feed(std::string_view(buffer, static_cast<size_t>(got)), nowMs());
        flush(connection);
    }
}

void SimServer::flush(Connection &connection)
{
    if (connection.fd < 0)
        return;
    bool closeAfter = false;
    connection.unsent += connection.session->takeReady(nowMs(), closeAfter);
    if (closeAfter)
        connection.closeWhenSent = true;
    while (!connection.unsent.empty()) {
        const ssize_t sent = send(connection.fd, connection.unsent.data(), connection.unsent.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            closeConnection(connection, std::string("error ") + std::strerror(errno));
            return;
        }
        connection.unsent.erase(0, static_cast<size_t>(sent));
    }
    if (connection.unsent.size() > kMaxUnsent)
        closeConnection(connection, "client not reading");
    else if (connection.closeWhenSent && connection.unsent.empty())
        closeConnection(connection, "by server");
}

void SimServer::closeConnection(Connection &connection, const std::string &reason)
{
    if (connection.fd < 0)
        return;
    // Input left unread would make the close a reset, which can discard our last bytes at the
    // client; read it away first.
    char sink[kReadChunk];
    while (recv(connection.fd, sink, sizeof sink, 0) > 0) {
    }
    shutdown(connection.fd, SHUT_WR);
    close(connection.fd);
    connection.fd = -1;
    emit(connection, "close " + reason);
}

int SimServer::pollTimeout(int64_t now) const
{
    int64_t wake = m_nextTickMs;
    for (const auto &connection : m_connections)
        if (const std::optional<int64_t> at = connection->session->nextWakeMs())
            wake = std::min(wake, *at);
    return static_cast<int>(std::clamp<int64_t>(wake - now, 0, INT_MAX));
}

void SimServer::run()
{
    std::vector<pollfd> fds;
    for (;;) {
        int64_t now = nowMs();
        if (now >= m_nextTickMs) {
            if (m_script.live)
                m_model.advance(m_script.intervalMs);
            for (const auto &connection : m_connections)
                connection->session->tick(now);
            m_nextTickMs += m_script.intervalMs;
            if (m_nextTickMs <= now) // fell behind (stopped in a debugger): carry on from now
                m_nextTickMs = now + m_script.intervalMs;
        }
        for (const auto &connection : m_connections) {
            connection->session->wake(now);
            flush(*connection);
        }
        std::erase_if(m_connections, [](const auto &connection) { return connection->fd < 0; });

        fds.clear();
        fds.push_back({m_listenFd, POLLIN, 0});
        for (const auto &connection : m_connections) {
            short events = POLLIN;
            if (!connection->unsent.empty())
                events |= POLLOUT;
            fds.push_back({connection->fd, events, 0});
        }
        const int ready = poll(fds.data(), fds.size(), pollTimeout(nowMs()));
        if (ready <= 0)
            continue; // timeout, or EINTR
        // Connections are only appended while handling the events below, so fds[i + 1] still
        // belongs to m_connections[i].
        const size_t known = m_connections.size();
        if (fds[0].revents & POLLIN)
            acceptClients();
        for (size_t i = 0; i < known; ++i) {
            Connection &connection = *m_connections[i];
            const short revents = fds[i + 1].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(connection);
            if (revents & POLLOUT)
                flush(connection);
        }
    }
}
