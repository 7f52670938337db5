// SPDX-License-Identifier: MIT
// A plain TCP end on 127.0.0.1 for the tests of our listeners and our client: a browser or telnet
// user talking to a listener of ours, or a fake router that our client connects to. Every wait
// turns the Qt event loop so the code under test runs, and gives up after a bound instead of
// hanging.
#pragma once

#include "loopbacksocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <utility>

class LoopbackPeer
{
public:
    static constexpr int kWaitMs = 10000;

    LoopbackPeer() = default;
    // Takes over a connected descriptor, such as an accepted one.
    explicit LoopbackPeer(int fd) : m_fd(fd) { setNonBlocking(); }
    LoopbackPeer(const LoopbackPeer &) = delete;
    LoopbackPeer &operator=(const LoopbackPeer &) = delete;
    LoopbackPeer(LoopbackPeer &&other) noexcept { *this = std::move(other); }
    LoopbackPeer &operator=(LoopbackPeer &&other) noexcept
    {
        if (this != &other) {
            close();
            m_fd = std::exchange(other.m_fd, -1);
            m_closedByPeer = std::exchange(other.m_closedByPeer, false);
            m_input = std::exchange(other.m_input, std::string());
        }
        return *this;
    }
    ~LoopbackPeer() { close(); }

    bool connectTo(int port)
    {
        close();
        // The listener's backlog completes the handshake without the event loop turning.
        m_fd = connectLoopback(port);
        if (m_fd < 0)
            return false;
        setNonBlocking();
        return true;
    }

    bool isOpen() const { return m_fd >= 0; }

    // Sends all of data, turning the event loop while the kernel is full.
    bool send(const std::string &data)
    {
        size_t sent = 0;
        QElapsedTimer clock;
        clock.start();
        while (sent < data.size() && clock.elapsed() < kWaitMs) {
            const ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return false;
            else
                QTest::qWait(1);
        }
        return sent == data.size();
    }

    // Closes with a reset instead of an orderly close.
    void abort()
    {
        linger lin{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
        close();
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_closedByPeer = false;
    }

    // Whether the other side has closed; reads what is pending into input().
    bool closedByPeer()
    {
        pump();
        return m_closedByPeer;
    }

    // Everything received so far.
    const std::string &input()
    {
        pump();
        return m_input;
    }
    std::string takeInput()
    {
        pump();
        return std::exchange(m_input, std::string());
    }

    // Turns the event loop until the other side closes; false if it did not within the bound.
    bool waitClosed(int ms = kWaitMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!closedByPeer() && clock.elapsed() < ms)
            QTest::qWait(2);
        return m_closedByPeer;
    }

    // Turns the event loop until the input holds text.
    bool waitFor(const std::string &text, int ms = kWaitMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (input().find(text) == std::string::npos && !m_closedByPeer && clock.elapsed() < ms)
            QTest::qWait(2);
        return m_input.find(text) != std::string::npos;
    }

private:
    void setNonBlocking() { ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK); }

    void pump()
    {
        QCoreApplication::processEvents();
        if (m_fd < 0 || m_closedByPeer)
            return;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                m_input.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                m_closedByPeer = true;
                return;
            } else {
                return;
            }
        }
    }

    int m_fd = -1;
    bool m_closedByPeer = false;
    std::string m_input;
};

// A listening socket on 127.0.0.1 and a free port, for a fake router.
class LoopbackListener
{
public:
    LoopbackListener()
    {
        m_fd = listenLoopback(m_port);
        if (m_fd < 0)
            qFatal("cannot listen on 127.0.0.1");
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    ~LoopbackListener() { ::close(m_fd); }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    int port() const { return m_port; }

    // Turns the event loop until a connection arrives; an unopened peer if none did.
    LoopbackPeer accept(int ms = LoopbackPeer::kWaitMs)
    {
        QElapsedTimer clock;
        clock.start();
        do {
            const int fd = ::accept(m_fd, nullptr, nullptr);
            if (fd >= 0)
                return LoopbackPeer(fd);
            QTest::qWait(2);
        } while (clock.elapsed() < ms);
        return LoopbackPeer();
    }

    // Whether a connection is waiting, without accepting it.
    bool pending()
    {
        QCoreApplication::processEvents();
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

private:
    int m_fd = -1;
    int m_port = 0;
};
