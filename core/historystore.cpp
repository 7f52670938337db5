// The history store; see historystore.h. The worker thread owns the one connection (a Qt SQL
// connection belongs to the thread that made it) and opens it at start. WAL lets the History tab
// read while a call is written; synchronous=NORMAL drops the fsync of each commit (WAL syncs at
// its checkpoints), so a killed monitor loses nothing committed and the database stays whole, and
// only a power cut can cost the last few seconds; one fsync per call row would cost more than the
// row.
#include "historystore.h"

#include "historyschema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>

namespace {

// SQLite's primary result codes, as Qt's driver hands them on.
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteBusy = 5;
constexpr int kSqliteLocked = 6;
constexpr int kSqliteReadOnly = 8;
constexpr int kSqliteFull = 13;
constexpr int kSqliteCantOpen = 14;
constexpr int kSqliteNotADatabase = 26;

// A small page cache: the writer only appends and updates a few rows, and the desktop program's
// idle memory is counted.
constexpr int kCacheKiB = 256;
constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

std::atomic<quint64> g_connectionCount{0};

int sqliteCode(const QSqlError &Error)
{
    return Error.nativeErrorCode().toInt() & 0xff;
}

enum class TFault { None, Locked, ReadOnly, Full, Other, Refused };

} // namespace

// The worker's side: the connection, its prepared statements and the fault being reported.
class THistoryWriter
{
public:
    explicit THistoryWriter(THistoryStore &Store)
        : m_store(Store), m_path(Store.m_path),
          m_name(QStringLiteral("lw_history_%1").arg(g_connectionCount.fetch_add(1)))
    {
    }
    ~THistoryWriter()
    {
        close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }

    bool refused() const { return m_fault == TFault::Refused; }
    bool failing() const { return m_fault != TFault::None && m_fault != TFault::Refused; }

    bool ensureOpen(bool QueueEmpty);
    bool write(const THistoryEvent &Event);
    void retentionIfDue();

private:
    enum class TOpen { Ok, Failed, Corrupt };
    TOpen openOnce();
    bool migrate(int Version);
    bool prepare();
    void close();
    bool stillThere() const;
    void moveAside();
    // A failure of a statement or of the open: one report per kind, retried later; a damaged file
    // is moved aside on the next open.
    void failed(const QSqlError &Error);
    void report(TFault Fault, const QString &Text);
    void notice(const QString &Text);
    void resolved();

    THistoryStore &m_store;
    const QString m_path;
    const QString m_name;
    QSqlDatabase m_db;
    std::optional<QSqlQuery> m_insertCall;
    std::optional<QSqlQuery> m_insertSession;
    std::optional<QSqlQuery> m_endSession;
    std::optional<QSqlQuery> m_addDaily;
    TFault m_fault = TFault::None;
    bool m_corrupt = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    qint64 m_nextRetentionMs = 0;
};

void THistoryWriter::report(TFault Fault, const QString &Text)
{
    if (Fault == m_fault)
        return;
    m_fault = Fault;
    QMetaObject::invokeMethod(
        &m_store, [store = &m_store, Text] { emit store->problem(Text); }, Qt::QueuedConnection);
}

void THistoryWriter::notice(const QString &Text)
{
    m_fault = TFault::None;
    QMetaObject::invokeMethod(
        &m_store, [store = &m_store, Text] { emit store->problem(Text); }, Qt::QueuedConnection);
}

void THistoryWriter::resolved()
{
    if (!failing())
        return;
    report(TFault::None, QString());
}

void THistoryWriter::failed(const QSqlError &Error)
{
    const QString detail = Error.databaseText().isEmpty() ? Error.text() : Error.databaseText();
    const QString tail = QCoreApplication::translate("THistoryStore", "; calls wait and are written once it can be.");
    switch (sqliteCode(Error)) {
    case kSqliteBusy:
    case kSqliteLocked:
        report(TFault::Locked,
               QCoreApplication::translate(
                   "THistoryStore",
                   "The call history %1 is locked by another program; calls wait and are written once it "
                   "is free.")
                   .arg(m_path));
        return;
    case kSqliteReadOnly:
    case kSqliteCantOpen:
        report(TFault::ReadOnly,
               QCoreApplication::translate("THistoryStore", "The call history %1 cannot be written (%2)")
                       .arg(m_path, detail) +
                   tail);
        return;
    case kSqliteFull:
        report(
            TFault::Full,
            QCoreApplication::translate("THistoryStore", "The disk holding the call history %1 is full").arg(m_path) +
                tail);
        return;
    case kSqliteCorrupt:
    case kSqliteNotADatabase:
        m_corrupt = true;
        return;
    default:
        report(TFault::Other, QCoreApplication::translate("THistoryStore", "The call history %1 cannot be written (%2)")
                                      .arg(m_path, detail) +
                                  tail);
        return;
    }
}

bool THistoryWriter::stillThere() const
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(m_path).constData(), &st) == 0 && st.st_dev == m_device && st.st_ino == m_inode;
}

void THistoryWriter::close()
{
    m_insertCall.reset();
    m_insertSession.reset();
    m_endSession.reset();
    m_addDaily.reset();
    if (m_db.isValid())
        m_db.close();
}

void THistoryWriter::moveAside()
{
    close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString aside = m_path + QStringLiteral(".corrupt-") + stamp;
    QFile::remove(aside);
    const bool moved = QFile::rename(m_path, aside);
    for (const char *suffix : {"-wal", "-shm"}) {
        QFile::remove(aside + QLatin1String(suffix));
        QFile::rename(m_path + QLatin1String(suffix), aside + QLatin1String(suffix));
    }
    m_corrupt = false;
    if (moved)
        notice(QCoreApplication::translate(
                   "THistoryStore", "The call history %1 was damaged; it was kept as %2 and a new one was started.")
                   .arg(m_path, QFileInfo(aside).fileName()));
}

bool THistoryWriter::ensureOpen(bool QueueEmpty)
{
    if (refused())
        return false;
    // A write found the file damaged.
    if (m_corrupt)
        moveAside();
    if (m_db.isValid() && m_db.isOpen()) {
        if (stillThere())
            return true;
        // Deleted (or replaced) under us: SQLite would go on writing to the unlinked file. What the
        // old file's journal holds belongs to the deleted database and goes with it.
        close();
        if (!QFileInfo::exists(m_path)) {
            QFile::remove(m_path + QStringLiteral("-wal"));
            QFile::remove(m_path + QStringLiteral("-shm"));
        }
        notice(QCoreApplication::translate(
                   "THistoryStore", "The call history %1 was deleted while the monitor ran; a new one was started.")
                   .arg(m_path));
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (openOnce()) {
        case TOpen::Ok:
            if (QueueEmpty)
                resolved();
            return true;
        case TOpen::Corrupt:
            moveAside();
            continue;
        case TOpen::Failed:
            close();
            return false;
        }
    }
    close();
    return false;
}

THistoryWriter::TOpen THistoryWriter::openOnce()
{
    m_corrupt = false;
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath())) {
        report(TFault::ReadOnly, QCoreApplication::translate(
                                     "THistoryStore", "The call history's folder %1 cannot be made; calls wait and are "
                                                      "written once it can be.")
                                     .arg(info.absolutePath()));
        return TOpen::Failed;
    }
    if (!m_db.isValid())
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    m_db.setDatabaseName(m_path);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_store.m_options.BusyTimeoutMs));
    if (!m_db.open()) {
        failed(m_db.lastError());
        return m_corrupt ? TOpen::Corrupt : TOpen::Failed;
    }
    QSqlQuery q(m_db);
    const auto fail = [&] {
        failed(q.lastError());
        return m_corrupt ? TOpen::Corrupt : TOpen::Failed;
    };
    // The first read of the file: it also tells a file that is no database at all.
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next())
        return fail();
    const int version = q.value(0).toInt();
    q.finish();
    if (version > history::kSchemaVersion) {
        report(TFault::Refused,
               QCoreApplication::translate(
                   "THistoryStore",
                   "The call history %1 was written by a newer version of the program; it is left as it "
                   "is and no calls are recorded.")
                   .arg(m_path));
        return TOpen::Failed;
    }
    if (version > 0) {
        // quick_check reads every page as integrity_check does but skips matching the indexes to
        // their tables, a fraction of the time on a million calls.
        if (!q.exec(QStringLiteral("PRAGMA quick_check")))
            return fail();
        const QString verdict = q.next() ? q.value(0).toString() : QString();
        q.finish();
        if (verdict != QLatin1String("ok"))
            return TOpen::Corrupt;
    }
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.exec(QStringLiteral("PRAGMA synchronous=NORMAL")) ||
        !q.exec(QStringLiteral("PRAGMA cache_size=-%1").arg(kCacheKiB)))
        return fail();
    if (m_store.m_options.MaxPageCount > 0 &&
        !q.exec(QStringLiteral("PRAGMA max_page_count=%1").arg(m_store.m_options.MaxPageCount)))
        return fail();
    q.finish();
    if (!migrate(version) || !prepare())
        return m_corrupt ? TOpen::Corrupt : TOpen::Failed;
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        m_device = st.st_dev;
        m_inode = st.st_ino;
    }
    m_nextRetentionMs = 0;
    retentionIfDue();
    return TOpen::Ok;
}

bool THistoryWriter::migrate(int Version)
{
    for (int step = Version; step < history::kSchemaVersion; ++step) {
        if (!m_db.transaction()) {
            failed(m_db.lastError());
            return false;
        }
        QSqlQuery q(m_db);
        // The driver runs one statement per call: the step's text is cut at its semicolons.
        const QStringList statements =
            QString::fromLatin1(history::kMigrations[size_t(step)]).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        bool ok = true;
        for (const QString &statement : statements) {
            if (!statement.trimmed().isEmpty() && !q.exec(statement)) {
                ok = false;
                break;
            }
        }
        if (ok && !q.exec(QStringLiteral("PRAGMA user_version=%1").arg(step + 1)))
            ok = false;
        const QSqlError error = q.lastError();
        q.finish();
        if (!ok || !m_db.commit()) {
            failed(ok ? m_db.lastError() : error);
            m_db.rollback();
            return false;
        }
    }
    return true;
}

bool THistoryWriter::prepare()
{
    const auto make = [this](std::optional<QSqlQuery> &Query, const char *Sql) {
        Query.emplace(m_db);
        if (Query->prepare(QString::fromLatin1(Sql)))
            return true;
        failed(Query->lastError());
        return false;
    };
    return make(m_insertCall, "INSERT INTO calls(channel, kind, direction, start_utc, end_utc, duration, remote, "
                              "tx_bytes, rx_bytes, peak_usage, mean_usage, closed_at_stop) "
                              "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)") &&
           make(m_insertSession, "INSERT INTO sessions(connected_utc) VALUES(?)") &&
           make(m_endSession, "UPDATE sessions SET ended_utc = ?, reason = ? "
                              "WHERE id = (SELECT max(id) FROM sessions) AND ended_utc IS NULL") &&
           make(m_addDaily, "INSERT INTO daily(day, channel, connected_seconds, outcall_seconds, tx_bytes, rx_bytes) "
                            "VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(day, channel) DO UPDATE SET "
                            "connected_seconds = connected_seconds + excluded.connected_seconds, "
                            "outcall_seconds = outcall_seconds + excluded.outcall_seconds, "
                            "tx_bytes = tx_bytes + excluded.tx_bytes, rx_bytes = rx_bytes + excluded.rx_bytes");
}

bool THistoryWriter::write(const THistoryEvent &Event)
{
    if (!m_db.transaction()) {
        failed(m_db.lastError());
        return false;
    }
    QSqlQuery *query = nullptr;
    qint64 callId = -1;
    if (const auto *call = std::get_if<THistoryCall>(&Event)) {
        query = &*m_insertCall;
        const QVariant values[] = {
            call->Channel,
            QStringLiteral("%1").arg(call->Voice ? "voice" : "data"),
            QStringLiteral("%1").arg(call->Incoming ? "in" : "out"),
            qint64(call->StartUtc),
            qint64(call->EndUtc),
            qint64(call->EndUtc - call->StartUtc),
            // The router's bytes, shown as the window shows them.
            QString::fromLatin1(call->Remote.data(), qsizetype(call->Remote.size())),
            qint64(call->TxBytes),
            qint64(call->RxBytes),
            call->PeakUsage,
            call->MeanUsage,
            call->ClosedAtStop ? 1 : 0,
        };
        for (int k = 0; k < int(std::size(values)); ++k)
            query->bindValue(k, values[k]);
    } else if (const auto *session = std::get_if<THistorySession>(&Event)) {
        if (session->Connected) {
            query = &*m_insertSession;
            query->bindValue(0, qint64(session->Utc));
        } else {
            query = &*m_endSession;
            query->bindValue(0, qint64(session->Utc));
            query->bindValue(1, QString::fromLatin1(session->Reason.data(), qsizetype(session->Reason.size())));
        }
    } else {
        const auto &daily = std::get<THistoryDaily>(Event);
        query = &*m_addDaily;
        query->bindValue(0, QString::fromLatin1(daily.Day.data(), qsizetype(daily.Day.size())));
        query->bindValue(1, daily.Channel);
        query->bindValue(2, qint64(daily.ConnectedSeconds));
        query->bindValue(3, qint64(daily.OutcallSeconds));
        query->bindValue(4, qint64(daily.TxBytes));
        query->bindValue(5, qint64(daily.RxBytes));
    }
    const bool ran = query->exec();
    const QSqlError error = query->lastError();
    if (ran && std::holds_alternative<THistoryCall>(Event))
        callId = query->lastInsertId().toLongLong();
    query->finish();
    if (!ran || !m_db.commit()) {
        failed(ran ? m_db.lastError() : error);
        m_db.rollback();
        return false;
    }
    resolved();
    if (callId >= 0)
        QMetaObject::invokeMethod(
            &m_store, [store = &m_store, callId] { emit store->callWritten(callId); }, Qt::QueuedConnection);
    return true;
}

void THistoryWriter::retentionIfDue()
{
    const int days = m_store.m_options.RetentionDays;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (days <= 0 || now < m_nextRetentionMs || !m_db.isOpen())
        return;
    const QDateTime cutoff = QDateTime::fromMSecsSinceEpoch(now - qint64(days) * kDayMs);
    const qint64 cutoffUtc = cutoff.toSecsSinceEpoch();
    const QString cutoffDay = cutoff.date().toString(Qt::ISODate);
    if (!m_db.transaction()) {
        failed(m_db.lastError());
        return;
    }
    QSqlQuery q(m_db);
    bool ok = q.exec(QStringLiteral("DELETE FROM calls WHERE start_utc < %1").arg(cutoffUtc)) &&
              q.exec(QStringLiteral("DELETE FROM sessions WHERE connected_utc < %1").arg(cutoffUtc));
    if (ok) {
        q.prepare(QStringLiteral("DELETE FROM daily WHERE day < ?"));
        q.bindValue(0, cutoffDay);
        ok = q.exec();
    }
    const QSqlError error = q.lastError();
    q.finish();
    if (!ok || !m_db.commit()) {
        failed(ok ? m_db.lastError() : error);
        m_db.rollback();
        return;
    }
    m_nextRetentionMs = now + kDayMs;
}

THistoryStore::THistoryStore(const QString &Path, TOptions Options, QObject *Parent)
    : QObject(Parent), m_path(Path), m_options(Options)
{
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("history writer"));
    m_thread->start(QThread::LowPriority);
}

THistoryStore::~THistoryStore()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread->wait();
    delete m_thread;
}

void THistoryStore::Post(THistoryEvent Event)
{
    {
        const std::lock_guard lock(m_mutex);
        // Amounts for a day and channel that already wait are added to those: an outage of days
        // keeps two rows a day, not one a minute.
        if (const auto *daily = std::get_if<THistoryDaily>(&Event)) {
            for (auto it = m_queue.rbegin(); it != m_queue.rend(); ++it) {
                auto *waiting = std::get_if<THistoryDaily>(&*it);
                if (waiting && waiting->Day == daily->Day && waiting->Channel == daily->Channel) {
                    waiting->ConnectedSeconds += daily->ConnectedSeconds;
                    waiting->OutcallSeconds += daily->OutcallSeconds;
                    waiting->TxBytes += daily->TxBytes;
                    waiting->RxBytes += daily->RxBytes;
                    return;
                }
            }
        }
        if (m_queue.size() + (m_inFlight ? 1 : 0) >= kMaxPending) {
            auto oldest = std::find_if(m_queue.begin(), m_queue.end(),
                                       [](const THistoryEvent &e) { return std::holds_alternative<THistoryDaily>(e); });
            m_queue.erase(oldest != m_queue.end() ? oldest : m_queue.begin());
            if (!m_overflowTold) {
                m_overflowTold = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        emit problem(QCoreApplication::translate(
                                         "THistoryStore", "The call history %1 has had too much waiting to be written; "
                                                          "the oldest totals are being dropped.")
                                         .arg(m_path));
                    },
                    Qt::QueuedConnection);
            }
        }
        m_queue.push_back(std::move(Event));
    }
    m_wake.notify_one();
}

std::size_t THistoryStore::Pending() const
{
    const std::lock_guard lock(m_mutex);
    return m_queue.size() + (m_inFlight ? 1 : 0);
}

void THistoryStore::run()
{
    THistoryWriter writer(*this);
    writer.ensureOpen(true);
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (writer.refused()) {
            // Nothing is ever written to a newer program's file: what comes is let go.
            m_queue.clear();
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            continue;
        }
        const bool stopping = m_stopping;
        if (!stopping) {
            if (writer.failing())
                m_wake.wait_for(lock, std::chrono::milliseconds(m_options.RetryMs), [this] { return m_stopping; });
            else
                m_wake.wait_for(lock, std::chrono::hours(1), [this] { return m_stopping || !m_queue.empty(); });
        }
        // Written one by one; the event being written leaves the queue (still counted in its bound)
        // and goes back to its front if the write fails, so the bound never drops it.
        while (!m_queue.empty()) {
            THistoryEvent event = std::move(m_queue.front());
            m_queue.pop_front();
            m_inFlight = true;
            lock.unlock();
            const bool written = writer.ensureOpen(false) && writer.write(event);
            lock.lock();
            m_inFlight = false;
            if (!written) {
                m_queue.push_front(std::move(event));
                break;
            }
            if (m_queue.empty())
                m_overflowTold = false;
        }
        lock.unlock();
        writer.retentionIfDue();
        lock.lock();
        if (stopping)
            return;
    }
}
