// Plain POSIX sockets on 127.0.0.1 for the far end of the socket layer's tests: a peer that
// connects, reads whatever arrives while the event loop turns, and can half-close or reset.
#pragma once

#include "apperror.h"

#include <QSocketNotifier>

#include <string>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// Records every message handed to the application's error report while it lives.
class ErrorLog
{
public:
    ErrorLog()
    {
        m_previous = SetErrorReporter([this](const std::string &message) { messages.push_back(message); });
    }
    ~ErrorLog() { SetErrorReporter(std::move(m_previous)); }
    std::vector<std::string> messages;

private:
    ErrorReporter m_previous;
};

inline sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline int peerPort(int handle)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getpeername(handle, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

inline int openDescriptorCount()
{
    int count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(dir);
    }
    return count - 1; // the directory stream itself
}

class RawPeer
{
public:
    // Connects to 127.0.0.1:port; the layer's listener completes it from its backlog.
    static RawPeer *connectTo(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(port);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
            ::close(fd);
            return nullptr;
        }
        return new RawPeer(fd);
    }

    explicit RawPeer(int fd) : m_fd(fd)
    {
        const int noDelay = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier, [this] { readSome(); });
    }
    ~RawPeer()
    {
        delete m_notifier;
        if (m_fd >= 0)
            ::close(m_fd);
    }

    int fd() const { return m_fd; }
    void setReading(bool on) { m_notifier->setEnabled(on && !eof); }

    // Small writes only: loopback takes them at once.
    void send(const std::string &data) { ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL); }
    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }
    // Closes with a reset instead of an orderly close.
    void reset()
    {
        const linger hard{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    void close()
    {
        m_notifier->setEnabled(false);
        ::close(m_fd);
        m_fd = -1;
    }

    std::string received;
    bool eof = false;
    int error = 0;

private:
    void readSome()
    {
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        eof = n == 0;
        error = n < 0 ? errno : 0;
        m_notifier->setEnabled(false);
    }

    int m_fd;
    QSocketNotifier *m_notifier;
};

// A plain listener on 127.0.0.1 for client tests; accept() hands over the next peer.
class RawListener
{
public:
    RawListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_fd, 16);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~RawListener() { ::close(m_fd); }
    // Call once the client reported its connect: the connection waits in the backlog.
    RawPeer *accept() { return new RawPeer(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC)); }

    int port = 0;

private:
    int m_fd;
};
