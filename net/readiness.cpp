// SPDX-License-Identifier: MIT
// The per-thread epoll set behind TReadinessWatch; see readiness.h.
#include "readiness.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <functional>
#include <unordered_map>
#include <vector>

#include <sys/epoll.h>
#include <unistd.h>

namespace {

// Reports taken from the kernel per wake-up; the rest stay pending (level-triggered) and wake
// the loop again, so a crowd of busy connections cannot hold the event loop for long.
constexpr int kReportsPerWake = 64;

void dropMainThreadNotifier();
bool g_postRoutineAdded = false;

} // namespace

struct TReadinessSet
{
    int m_epoll = -1;
    QSocketNotifier *m_notifier = nullptr;
    // Tokens are never reused, so a report for a descriptor that was closed (and whose number
    // came back for another connection) within the same batch finds no watch and is dropped.
    std::unordered_map<std::uint64_t, TReadinessWatch *> m_watches;
    std::uint64_t m_nextToken = 1;
    // Reports being delivered (more than one while a handler turns a nested event loop), and the
    // work queued to run once the current batch's reports are delivered.
    int m_dispatching = 0;
    std::vector<std::function<void()>> m_afterReports;

    ~TReadinessSet()
    {
        delete m_notifier;
        if (m_epoll >= 0)
            ::close(m_epoll);
    }

    static TReadinessSet &current()
    {
        thread_local TReadinessSet set;
        return set;
    }

    // The set and its one notifier are made when the first descriptor is watched (the notifier
    // once an application object exists) and go when the last watch ends, so a program with no
    // socket open holds no descriptor for them. The notifier goes before the application's event
    // dispatcher does.
    void open()
    {
        if (m_epoll < 0)
            m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (m_notifier || m_epoll < 0 || !QCoreApplication::instance())
            return;
        m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier, [this] { dispatch(); });
        if (!g_postRoutineAdded && QThread::currentThread() == QCoreApplication::instance()->thread()) {
            qAddPostRoutine(dropMainThreadNotifier);
            g_postRoutineAdded = true;
        }
    }

    void closeIfUnused()
    {
        if (!m_watches.empty())
            return;
        if (m_notifier) {
            // This may run inside the notifier's own report.
            m_notifier->setEnabled(false);
            m_notifier->disconnect();
            m_notifier->deleteLater();
            m_notifier = nullptr;
        }
        if (m_epoll >= 0)
            ::close(m_epoll);
        m_epoll = -1;
    }

    void dispatch()
    {
        // Local, so a handler that turns a nested event loop takes the next reports itself.
        epoll_event events[kReportsPerWake];
        int count;
        do {
            count = ::epoll_wait(m_epoll, events, kReportsPerWake, 0);
        } while (count < 0 && errno == EINTR);
        ++m_dispatching;
        for (int i = 0; i < count; ++i) {
            const auto found = m_watches.find(events[i].data.u64);
            if (found == m_watches.end())
                continue;
            TReadinessWatch *watch = found->second;
            const std::uint32_t what = events[i].events;
            const bool trouble = (what & (EPOLLERR | EPOLLHUP)) != 0;
            const bool readable = watch->m_read && (trouble || (what & EPOLLIN));
            const bool writable = watch->m_write && (trouble || (what & EPOLLOUT));
            if (readable || writable)
                watch->m_client->ReadinessReport(readable, writable);
        }
        --m_dispatching;
        // Work may queue more work; each round takes what was queued before it.
        while (!m_afterReports.empty()) {
            std::vector<std::function<void()>> work;
            work.swap(m_afterReports);
            for (std::function<void()> &step : work)
                step();
        }
    }
};

namespace {

void dropMainThreadNotifier()
{
    g_postRoutineAdded = false;
    TReadinessSet &set = TReadinessSet::current();
    delete set.m_notifier;
    set.m_notifier = nullptr;
}

} // namespace

bool TReadinessWatch::RunAfterReports(std::function<void()> Work)
{
    TReadinessSet &set = TReadinessSet::current();
    if (set.m_dispatching == 0)
        return false;
    set.m_afterReports.push_back(std::move(Work));
    return true;
}

void TReadinessWatch::Attach(int Handle, TReadinessClient *Client)
{
    Detach();
    TReadinessSet &set = TReadinessSet::current();
    set.open();
    m_handle = Handle;
    m_client = Client;
    m_token = set.m_nextToken++;
    m_read = m_write = m_registered = false;
    set.m_watches.emplace(m_token, this);
}

void TReadinessWatch::Detach()
{
    if (!m_token)
        return;
    TReadinessSet &set = TReadinessSet::current();
    if (m_registered)
        (void)::epoll_ctl(set.m_epoll, EPOLL_CTL_DEL, m_handle, nullptr);
    set.m_watches.erase(m_token);
    dropFallback();
    m_token = 0;
    m_handle = -1;
    m_client = nullptr;
    m_read = m_write = m_registered = false;
    set.closeIfUnused();
}

void TReadinessWatch::SetRead(bool On)
{
    if (m_read == On || !m_token)
        return;
    m_read = On;
    update();
}

void TReadinessWatch::SetWrite(bool On)
{
    if (m_write == On || !m_token)
        return;
    m_write = On;
    update();
}

void TReadinessWatch::update()
{
    TReadinessSet &set = TReadinessSet::current();
    if (m_readNotifier || m_writeNotifier) {
        updateFallback();
        return;
    }
    if (!m_read && !m_write) {
        if (m_registered && ::epoll_ctl(set.m_epoll, EPOLL_CTL_DEL, m_handle, nullptr) == 0)
            m_registered = false;
        return;
    }
    epoll_event event{};
    event.events = (m_read ? EPOLLIN : 0u) | (m_write ? EPOLLOUT : 0u);
    event.data.u64 = m_token;
    if (m_registered) {
        (void)::epoll_ctl(set.m_epoll, EPOLL_CTL_MOD, m_handle, &event);
        return;
    }
    if (set.m_epoll < 0)
        set.open();
    if (set.m_epoll >= 0 && ::epoll_ctl(set.m_epoll, EPOLL_CTL_ADD, m_handle, &event) == 0) {
        m_registered = true;
        return;
    }
    updateFallback();
}

void TReadinessWatch::updateFallback()
{
    if (!m_readNotifier) {
        const std::uint64_t token = m_token;
        auto report = [token](bool Readable) {
            TReadinessSet &set = TReadinessSet::current();
            const auto found = set.m_watches.find(token);
            if (found != set.m_watches.end())
                found->second->m_client->ReadinessReport(Readable, !Readable);
        };
        m_readNotifier = new QSocketNotifier(m_handle, QSocketNotifier::Read);
        m_writeNotifier = new QSocketNotifier(m_handle, QSocketNotifier::Write);
        QObject::connect(m_readNotifier, &QSocketNotifier::activated, m_readNotifier, [report] { report(true); });
        QObject::connect(m_writeNotifier, &QSocketNotifier::activated, m_writeNotifier, [report] { report(false); });
    }
    m_readNotifier->setEnabled(m_read);
    m_writeNotifier->setEnabled(m_write);
}

void TReadinessWatch::dropFallback()
{
    // The watch may end inside one of these notifiers' own reports.
    for (QSocketNotifier **notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->disconnect();
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
}
