// SPDX-License-Identifier: MIT
// Test rig for the socket layer on 127.0.0.1: a listener and a client whose handlers log what
// they see, an error report that records, and small helpers that reach under the layer.
#pragma once

#include "apperror.h"
#include "loopbacksocket.h"
#include "processprobe.h"
#include "socketlayer.h"

#include <QTest>

#include <algorithm>
#include <string>
#include <vector>

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// Records every message handed to the application's error report while it lives, the user's and
// the router's (boxes) as well as the peers' (log only).
struct ErrorLog
{
    std::vector<std::string> messages;
    std::vector<std::string> peerMessages;
    ErrorReporter previous = SetErrorReporter([this](const std::string &m) { messages.push_back(m); });
    ErrorReporter previousPeer = SetPeerErrorReporter([this](const std::string &m) {
        messages.push_back(m);
        peerMessages.push_back(m);
    });
    ~ErrorLog()
    {
        SetErrorReporter(std::move(previous));
        SetPeerErrorReporter(std::move(previousPeer));
    }
};

inline std::string winSocketError(int code, const char *api)
{
    return "Windows socket error: " + std::string(std::strerror(code)) + " (" + std::to_string(code) + "), on API '" +
           api + "'";
}

// Makes the next close of fd a reset instead of an orderly close.
inline void resetOnClose(int fd)
{
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

inline void setOption(int fd, int level, int option, int value)
{
    ::setsockopt(fd, level, option, &value, sizeof value);
}

// A listener on an ephemeral port and a client aimed at it, logging into one list.
struct Rig
{
    ErrorLog errors;
    TServerSocket server;
    TClientSocket client;
    std::vector<std::string> log;
    std::vector<TCustomWinSocket *> accepted;
    std::string clientData;

    Rig()
    {
        server.OnAccept = [this](QObject *, TCustomWinSocket *s) { accepted.push_back(s); };
        server.OnClientDisconnect = [this](QObject *, TCustomWinSocket *) { log.push_back("server disconnect"); };
        client.OnConnect = [this](QObject *, TCustomWinSocket *) { log.push_back("connect"); };
        client.OnRead = [this](QObject *, TCustomWinSocket *s) { clientData += s->ReceivePending(); };
        client.OnDisconnect = [this](QObject *, TCustomWinSocket *) {
            log.push_back(client.Active() ? "disconnect, active" : "disconnect");
        };
        server.SetActive(true);
        client.SetAddress("127.0.0.1");
        client.SetPort(port());
    }
    int port() const { return server.Socket()->LocalPort(); }
    long count(const std::string &entry) const { return std::count(log.begin(), log.end(), entry); }
    // Opens the client and waits until both ends have seen the connection.
    bool connect()
    {
        client.SetActive(true);
        return QTest::qWaitFor([this] { return client.Active() && !accepted.empty(); });
    }
};
