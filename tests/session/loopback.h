// Plain POSIX TCP ends on 127.0.0.1 for the session tests: a fake router that our client
// connects to, and a remote telnet user of the relay. Every wait turns the Qt event loop so the
// code under test runs, and gives up after a bound instead of hanging.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

constexpr int kLoopbackWaitMs = 10000;

// Turns the event loop until done() holds or the bound passes; returns done().
template <typename F>
bool waitUntil(F &&done, int ms = kLoopbackWaitMs)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(1);
    }
    return true;
}

// One connected end: sends, and gathers what arrives.
class LoopbackPeer
{
public:
    LoopbackPeer() = default;
    LoopbackPeer(const LoopbackPeer &) = delete;
    LoopbackPeer &operator=(const LoopbackPeer &) = delete;
    ~LoopbackPeer() { close(); }

    bool connectTo(int port)
    {
        close();
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            return false;
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        return true;
    }

    // Takes over an accepted descriptor.
    void adopt(int fd)
    {
        close();
        m_fd = fd;
        m_input.clear();
        m_peerClosed = false;
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }

    bool isOpen() const { return m_fd >= 0; }

    bool send(const std::string &data)
    {
        size_t sent = 0;
        return waitUntil([&] {
                   const ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
                   if (n > 0)
                       sent += static_cast<size_t>(n);
                   return sent == data.size() || (n < 0 && errno != EAGAIN && errno != EINTR);
               }) &&
               sent == data.size();
    }

    // Everything received so far (reads what is pending first).
    const std::string &received()
    {
        pump();
        return m_input;
    }

    // Waits for text to arrive; returns whether it did.
    bool waitFor(const std::string &text)
    {
        return waitUntil([&] { return received().find(text) != std::string::npos; });
    }

    // Waits for the other side to close.
    bool waitForClose()
    {
        return waitUntil([&] {
            pump();
            return m_peerClosed;
        });
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    void pump()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                m_input.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                m_peerClosed = true;
            return;
        }
    }

    int m_fd = -1;
    std::string m_input;
    bool m_peerClosed = false;
};

// A listener on 127.0.0.1 with a free port.
class LoopbackListener
{
public:
    LoopbackListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(m_fd, 5) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
            qFatal("cannot listen on 127.0.0.1");
        m_port = ntohs(addr.sin_port);
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;
    ~LoopbackListener() { close(); }

    int port() const { return m_port; }

    // Accepts one connection into peer, waiting for it; with waitMs 0 only looks.
    bool accept(LoopbackPeer &peer, int waitMs = kLoopbackWaitMs)
    {
        int fd = -1;
        waitUntil(
            [&] {
                fd = ::accept(m_fd, nullptr, nullptr);
                return fd >= 0;
            },
            waitMs);
        if (fd < 0)
            return false;
        peer.adopt(fd);
        return true;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    int m_port = 0;
};
