// SPDX-License-Identifier: MIT
// THistoryStore: writes the call recorder's events into the history database (SQLite's own
// interface) on a worker thread of its own, one short transaction per event, so the tick never
// waits on the disk. Faults are reported once and the events wait in a bounded queue until they can go.
#pragma once

#include "callrecorder.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

class QThread;
class THistoryWriter;

// How a store keeps its file.
struct THistoryStoreOptions
{
    // Calls, sessions and days older than this many days are deleted at open and once a day;
    // 0 keeps them for ever.
    int RetentionDays = 0;
    // How long a write waits for another program's lock, and how long after a failure the
    // next try comes.
    int BusyTimeoutMs = 1000;
    int RetryMs = 5000;
    // Tests only: the database's size limit in pages, to make its disk full on purpose.
    int MaxPageCount = 0;
};

class THistoryStore : public QObject
{
    Q_OBJECT

public:
    // Events waiting while the database cannot be written: a day of a busy line many times over,
    // a few hundred KiB at most. When full, the oldest daily amounts go first, calls last.
    static constexpr std::size_t kMaxPending = 4096;

    using TOptions = THistoryStoreOptions;

    explicit THistoryStore(const QString &Path, TOptions Options = {}, QObject *Parent = nullptr);
    // Writes what waits (one try each, no retries), then ends the worker.
    ~THistoryStore() override;

    // Ends the worker as the destructor does and says what could not be kept: "N calls could not
    // be written to <path>: <reason>", counting the calls still waiting and any let go before
    // (a full queue, a newer program's file); empty when every call was written. Once only.
    QString Close();

    const QString &Path() const { return m_path; }
    // Queues one event for the worker; never blocks on the disk.
    void Post(THistoryEvent Event);
    // Events not yet committed, the one being written included.
    std::size_t Pending() const;
    // The router whose calls come now, from the next event on: a file that names no router yet is
    // given this one, and a file that names another (address and port) is refused, so two routers'
    // calls never mix. Name, once the router's status shows it, is kept with it.
    void SetRouter(const QString &Address, int Port, const QString &Name = QString());

signals:
    // A call row was committed, with its id.
    void callWritten(qint64 Id);
    // The one report of a fault, in plain words; an empty text once it is over.
    void problem(const QString &Text);

private:
    friend class THistoryWriter;
    void run();

    const QString m_path;
    const TOptions m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<THistoryEvent> m_queue;
    bool m_stopping = false;
    // The worker is writing an event it took from the queue.
    bool m_inFlight = false;
    // The event being written is a daily total, and the queue overflowed meanwhile: it is let go
    // if its write fails, so the overflow drops totals before any call.
    bool m_inFlightDaily = false;
    bool m_dropInFlight = false;
    bool m_overflowTold = false;
    // Calls let go before the stop, and the last fault's reason in a few words.
    std::size_t m_droppedCalls = 0;
    QString m_lastReason;
    // The router told by SetRouter; the generation counts its changes (0: none told yet).
    QString m_routerAddress;
    int m_routerPort = 0;
    QString m_routerName;
    quint64 m_routerGeneration = 0;
    QThread *m_thread = nullptr;
};
