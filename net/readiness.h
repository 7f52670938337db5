// SPDX-License-Identifier: MIT
// Readiness of many sockets through one epoll set per thread: the Qt event loop watches the set's
// single descriptor, so a connection costs no notifier of its own, opening or closing one does not
// wake the event loop, and a wake-up does not walk every open connection. Reports are
// level-triggered, like QSocketNotifier's.
#pragma once

#include <cstdint>
#include <functional>

class QSocketNotifier;

// What a watched descriptor reports to. Readable and Writable are only ever true for the
// directions being watched; an error or hang-up counts as both.
class TReadinessClient
{
public:
    virtual void ReadinessReport(bool Readable, bool Writable) = 0;

protected:
    ~TReadinessClient() = default;
};

// One descriptor in the calling thread's set. The client may detach or destroy the watch (and
// itself) inside its report; no further report of that batch reaches it.
class TReadinessWatch
{
public:
    TReadinessWatch() = default;
    TReadinessWatch(const TReadinessWatch &) = delete;
    TReadinessWatch &operator=(const TReadinessWatch &) = delete;
    ~TReadinessWatch() { Detach(); }

    // Starts watching Handle for Client with both directions off.
    void Attach(int Handle, TReadinessClient *Client);
    // Stops watching; call before the descriptor is closed.
    void Detach();
    bool Attached() const { return m_token != 0; }

    void SetRead(bool On);
    void SetWrite(bool On);
    bool ReadOn() const { return m_read; }
    bool WriteOn() const { return m_write; }

    // Inside a readiness report of this thread: queues Work to run once the batch's reports are
    // delivered and says true; a posted event would wake the event loop once more for it.
    // Outside one: false, and Work is not kept.
    static bool RunAfterReports(std::function<void()> Work);

private:
    void update();
    // A watch the epoll set cannot take (no descriptor left for the set, or the kernel's watch
    // limit) gets notifiers of its own, so its socket still hears of its data and errors.
    void updateFallback();
    void dropFallback();

    int m_handle = -1;
    std::uint64_t m_token = 0;
    TReadinessClient *m_client = nullptr;
    bool m_read = false;
    bool m_write = false;
    // In the epoll set; a watch with both directions off is taken out, since epoll reports
    // errors and hang-ups even for an empty mask and a disabled watch must stay silent.
    bool m_registered = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;

    friend struct TReadinessSet;
};
