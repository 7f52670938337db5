// SPDX-License-Identifier: MIT
// The simulator's network side: one listening socket on 127.0.0.1, any number of console
// clients up to a cap, all served by a single poll() loop with non-blocking sockets. It writes
// one line per connection event on standard output.
#pragma once

#include "routermodel.h"
#include "simscript.h"
#include "simsession.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ServerOptions
{
    int port = 2323;
    std::string password = "1234";
    uint32_t seed = 0;
    bool logInput = false;
};

class SimServer
{
public:
    static constexpr size_t kMaxConnections = 32;
    static constexpr size_t kMaxUnsent = 1 << 20; // a client that reads nothing is dropped here
    static constexpr size_t kReadChunk = 4096;

    using LineSink = std::function<void(const std::string &)>;
    // Makes the session a new client talks to; unset, the simulated console.
    using SessionMaker = std::function<std::unique_ptr<ServedSession>(EventSink events)>;

    SimServer(ServerOptions options, SimScript script, LineSink lines);
    ~SimServer();
    SimServer(const SimServer &) = delete;
    SimServer &operator=(const SimServer &) = delete;

    // Binds 127.0.0.1 and listens; on failure returns false with the reason in error.
    bool listen(std::string &error);
    int port() const { return m_port; }
    void setSessionMaker(SessionMaker maker) { m_makeSession = std::move(maker); }
    // Serves clients until the process ends.
    [[noreturn]] void run();

private:
    struct Connection
    {
        int id = 0;
        int fd = -1;
        std::unique_ptr<ServedSession> session;
        std::string unsent;
        bool closeWhenSent = false;
    };

    int64_t nowMs() const;
    void acceptClients();
    void readFrom(Connection &connection);
    void flush(Connection &connection);
    void closeConnection(Connection &connection, const std::string &reason);
    void emit(const Connection &connection, const std::string &text);
    int pollTimeout(int64_t now) const;

    ServerOptions m_options;
    SimScript m_script;
    LineSink m_lines;
    SessionMaker m_makeSession;
    RouterModel m_model;
    int m_listenFd = -1;
    int m_port = 0;
    int m_nextId = 1;
    int64_t m_startMs = 0;
    int64_t m_nextTickMs = 0;
    std::vector<std::unique_ptr<Connection>> m_connections;
};
