// SPDX-License-Identifier: MIT
// The lingering set of closed connections still delivering their last bytes; see lingeringclose.h.
#include "lingeringclose.h"

#include "readiness.h"
#include "socketlayer.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <set>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Input read and thrown away per readiness report; a peer that keeps sending cannot hold the
// event loop for long.
constexpr std::size_t kDiscardChunk = 64 * 1024;
constexpr int kDiscardRounds = 4;

class LingeringClose;

std::set<LingeringClose *> &registry()
{
    static std::set<LingeringClose *> entries;
    return entries;
}

bool g_postRoutineAdded = false;

// Watched through the thread's readiness set like the connection it was, so a close costs no
// notifiers of its own (each made and dropped would wake the event loop).
class LingeringClose : public QObject, private TReadinessClient
{
public:
    LingeringClose(int handle, std::string unsent, int timeoutMs) : m_handle(handle), m_unsent(std::move(unsent))
    {
        registry().insert(this);
        m_watch.Attach(handle, this);
        m_deadline.setSingleShot(true);
        connect(&m_deadline, &QTimer::timeout, this, [this] { giveUp(); });
        m_deadline.start(timeoutMs);
        if (m_unsent.empty())
            shutDownSending();
        else
            m_watch.SetWrite(true);
    }

    ~LingeringClose() override
    {
        registry().erase(this);
        closeHandle();
    }

    bool isOpen() const { return m_handle >= 0; }

private:
    void ReadinessReport(bool Readable, bool Writable) override
    {
        m_inReport = true;
        if (Writable && m_handle >= 0)
            onWritable();
        if (Readable && m_handle >= 0)
            onReadable();
        m_inReport = false;
        // Gone from the set at once: the report may destroy its own client.
        if (m_finished)
            delete this;
    }

    void onWritable()
    {
        while (m_sent < m_unsent.size()) {
            const ssize_t n = ::send(m_handle, m_unsent.data() + m_sent, m_unsent.size() - m_sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return;
                finish(); // the peer is gone; nothing more can reach it
                return;
            }
            m_sent += static_cast<std::size_t>(n);
        }
        m_watch.SetWrite(false);
        std::string().swap(m_unsent);
        m_sent = 0;
        shutDownSending();
    }

    void onReadable()
    {
        char scratch[kDiscardChunk];
        for (int round = 0; round < kDiscardRounds; ++round) {
            const ssize_t n = ::recv(m_handle, scratch, sizeof scratch, 0);
            if (n > 0)
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n == 0 && !m_shutDown) {
                // The peer only stopped sending; it may still read what we owe it. Stop watching
                // input (an ended stream stays readable for ever) and keep writing.
                m_watch.SetRead(false);
                return;
            }
            finish(); // orderly end after our last byte, or an error
            return;
        }
    }

    void shutDownSending()
    {
        m_shutDown = true;
        if (::shutdown(m_handle, SHUT_WR) < 0) {
            finish();
            return;
        }
        m_watch.SetRead(true);
    }

    // The peer has not taken our bytes in time: a plain close would leave them queued in the
    // kernel for minutes of zero-window probes, so the close resets the connection instead.
    void giveUp()
    {
        if (m_handle >= 0) {
            const linger abort{1, 0};
            (void)::setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        finish();
    }

    void finish()
    {
        closeHandle();
        m_finished = true;
        // Inside a readiness report the report deletes this when it ends; from the time-out, later.
        if (!m_inReport)
            deleteLater();
    }

    void closeHandle()
    {
        if (m_handle < 0)
            return;
        m_deadline.stop();
        m_watch.Detach();
        ::close(m_handle);
        m_handle = -1;
    }

    int m_handle;
    std::string m_unsent;
    std::size_t m_sent = 0;
    bool m_shutDown = false;
    bool m_inReport = false;
    bool m_finished = false;
    TReadinessWatch m_watch;
    QTimer m_deadline;
};

// Runs at the start of the application object's destruction, while its event dispatcher still
// exists, so the notifiers go away cleanly.
void closeAllLingering()
{
    g_postRoutineAdded = false;
    const std::set<LingeringClose *> entries = registry();
    for (LingeringClose *entry : entries)
        delete entry;
}

} // namespace

void StartLingeringClose(int Handle, std::string Unsent, int TimeoutMs)
{
    if (!QCoreApplication::instance()) {
        ::close(Handle);
        return;
    }
    if (!g_postRoutineAdded) {
        qAddPostRoutine(closeAllLingering);
        g_postRoutineAdded = true;
    }
    new LingeringClose(Handle, std::move(Unsent), TimeoutMs);
}

int LingeringCloseCount()
{
    int open = 0;
    for (const LingeringClose *entry : registry())
        open += entry->isOpen() ? 1 : 0;
    return open;
}
