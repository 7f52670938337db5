// SPDX-License-Identifier: MIT
// The history store; see historystore.h. The worker thread owns the one connection, made through
// SQLite's own interface (no Qt SQL driver plugin to load into the desktop program), and opens it
// when the first event must be written. WAL lets the History tab read while a call is written;
// synchronous=NORMAL drops the fsync of each commit (WAL syncs at its checkpoints), so a killed
// monitor loses nothing committed and the database stays whole, and only a power cut can cost the
// last few seconds; one fsync per call row would cost more than the row.
#include "historystore.h"

#include "historyschema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

namespace {

// A small page cache: the writer only appends and updates a few rows, and the desktop program's
// idle memory is counted.
constexpr int kCacheKiB = 256;
constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

// A statement's or an open's failure: SQLite's result code and its words.
struct TSqlFailure
{
    int Code = SQLITE_OK;
    QString Text;
};

enum class TFault { None, Locked, ReadOnly, Full, Other, Refused };

void bindText(sqlite3_stmt *Statement, int Index, std::string_view Latin1)
{
    // The router's bytes, shown as the window shows them.
    const QByteArray utf8 = QString::fromLatin1(Latin1.data(), qsizetype(Latin1.size())).toUtf8();
    sqlite3_bind_text(Statement, Index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

} // namespace

// The worker's side: the connection, its prepared statements and the fault being reported.
class THistoryWriter
{
public:
    explicit THistoryWriter(THistoryStore &Store) : m_store(Store), m_path(Store.m_path) {}
    ~THistoryWriter() { close(); }

    bool refused() const { return m_fault == TFault::Refused; }
    bool failing() const { return m_fault != TFault::None && m_fault != TFault::Refused; }

    bool ensureOpen(bool QueueEmpty);
    bool write(const THistoryEvent &Event);
    void retentionIfDue();

private:
    enum class TOpen { Ok, Failed, Corrupt };
    TOpen openOnce();
    bool migrate(int Version);
    // The file names the router the store was told of, or names none and is given it; a file of
    // another router is refused.
    bool checkRouter();
    bool prepare();
    void close();
    bool stillThere() const;
    void moveAside();
    TSqlFailure lastFailure() const;
    // Runs Sql (one or more statements) to its end.
    bool exec(const char *Sql);
    // The first column of Sql's first row as text (empty without a row).
    bool query(const char *Sql, QByteArray &Value);
    // Runs a prepared statement once and makes it ready for the next binding.
    bool step(sqlite3_stmt *Statement);
    // A transaction around Body; its failure is reported and rolled back.
    template <typename Body>
    bool transaction(Body &&Run);
    // A failure of a statement or of the open: one report per kind, retried later; a damaged file
    // is moved aside on the next open.
    void failed(const TSqlFailure &Failure);
    void report(TFault Fault, const QString &Text, const QString &Reason);
    void keepPrivate() const;
    void notice(const QString &Text);
    void resolved();

    THistoryStore &m_store;
    const QString m_path;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_insertCall = nullptr;
    sqlite3_stmt *m_insertSession = nullptr;
    sqlite3_stmt *m_endSession = nullptr;
    sqlite3_stmt *m_addDaily = nullptr;
    TFault m_fault = TFault::None;
    bool m_corrupt = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    qint64 m_nextRetentionMs = 0;
    // The router generation the open file was checked against.
    quint64 m_routerChecked = 0;
};

void THistoryWriter::report(TFault Fault, const QString &Text, const QString &Reason)
{
    if (!Reason.isEmpty()) {
        const std::lock_guard lock(m_store.m_mutex);
        m_store.m_lastReason = Reason;
    }
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
    report(TFault::None, QString(), QString());
}

TSqlFailure THistoryWriter::lastFailure() const
{
    if (!m_db)
        return {SQLITE_NOMEM, QStringLiteral("out of memory")};
    return {sqlite3_errcode(m_db), QString::fromUtf8(sqlite3_errmsg(m_db))};
}

void THistoryWriter::failed(const TSqlFailure &Failure)
{
    const QString &detail = Failure.Text;
    const QString tail = QCoreApplication::translate("THistoryStore", "; calls wait and are written once it can be.");
    switch (Failure.Code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        report(TFault::Locked,
               QCoreApplication::translate(
                   "THistoryStore",
                   "The call history %1 is locked by another program; calls wait and are written once it "
                   "is free.")
                   .arg(m_path),
               QCoreApplication::translate("THistoryStore", "it is locked by another program"));
        return;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
        report(TFault::ReadOnly,
               QCoreApplication::translate("THistoryStore", "The call history %1 cannot be written (%2)")
                       .arg(m_path, detail) +
                   tail,
               detail);
        return;
    case SQLITE_FULL:
        report(
            TFault::Full,
            QCoreApplication::translate("THistoryStore", "The disk holding the call history %1 is full").arg(m_path) +
                tail,
            QCoreApplication::translate("THistoryStore", "the disk is full"));
        return;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        m_corrupt = true;
        return;
    default:
        report(TFault::Other,
               QCoreApplication::translate("THistoryStore", "The call history %1 cannot be written (%2)")
                       .arg(m_path, detail) +
                   tail,
               detail);
        return;
    }
}

bool THistoryWriter::exec(const char *Sql)
{
    if (sqlite3_exec(m_db, Sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    failed(lastFailure());
    return false;
}

bool THistoryWriter::query(const char *Sql, QByteArray &Value)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(m_db, Sql, -1, &statement, nullptr) != SQLITE_OK) {
        failed(lastFailure());
        return false;
    }
    const int result = sqlite3_step(statement);
    if (result == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        Value = QByteArray(text ? text : "", sqlite3_column_bytes(statement, 0));
    } else
        Value.clear();
    const TSqlFailure failure = lastFailure();
    sqlite3_finalize(statement);
    if (result == SQLITE_ROW || result == SQLITE_DONE)
        return true;
    failed(failure);
    return false;
}

bool THistoryWriter::step(sqlite3_stmt *Statement)
{
    const int result = sqlite3_step(Statement);
    const TSqlFailure failure = lastFailure();
    sqlite3_reset(Statement);
    sqlite3_clear_bindings(Statement);
    if (result == SQLITE_DONE || result == SQLITE_ROW)
        return true;
    failed(failure);
    return false;
}

template <typename Body>
bool THistoryWriter::transaction(Body &&Run)
{
    if (!exec("BEGIN"))
        return false;
    if (Run() && exec("COMMIT"))
        return true;
    // The failure is told already; what the transaction did is undone.
    if (!sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
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
    for (sqlite3_stmt **statement : {&m_insertCall, &m_insertSession, &m_endSession, &m_addDaily}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_routerChecked = 0;
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
    if (m_db) {
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
        report(TFault::ReadOnly,
               QCoreApplication::translate("THistoryStore",
                                           "The call history's folder %1 cannot be made; calls wait and are "
                                           "written once it can be.")
                   .arg(info.absolutePath()),
               QCoreApplication::translate("THistoryStore", "its folder cannot be made"));
        return TOpen::Failed;
    }
    keepPrivate();
    const auto fail = [this] { return m_corrupt ? TOpen::Corrupt : TOpen::Failed; };
    // Only this thread uses the connection: no mutex of SQLite's is needed.
    if (sqlite3_open_v2(QFile::encodeName(m_path).constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        failed(lastFailure());
        close();
        return fail();
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, m_store.m_options.BusyTimeoutMs);
    // No lookaside slots: a few statements a minute gain nothing from them, the idle program
    // would hold them.
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_LOOKASIDE, nullptr, 0, 0);
    // The first read of the file: it also tells a file that is no database at all.
    QByteArray value;
    if (!query("PRAGMA user_version", value))
        return fail();
    const int version = value.toInt();
    if (version > history::kSchemaVersion) {
        report(TFault::Refused,
               QCoreApplication::translate(
                   "THistoryStore",
                   "The call history %1 was written by a newer version of the program; it is left as it "
                   "is and no calls are recorded.")
                   .arg(m_path),
               QCoreApplication::translate("THistoryStore", "it was written by a newer version of the program"));
        return TOpen::Failed;
    }
    if (version > 0) {
        // quick_check reads every page as integrity_check does but skips matching the indexes to
        // their tables, a fraction of the time on a million calls.
        if (!query("PRAGMA quick_check", value))
            return fail();
        if (value != "ok")
            return TOpen::Corrupt;
    }
    const QByteArray cache = "PRAGMA cache_size=-" + QByteArray::number(kCacheKiB);
    if (!query("PRAGMA journal_mode=WAL", value) || !exec("PRAGMA synchronous=NORMAL") || !exec(cache.constData()))
        return fail();
    if (m_store.m_options.MaxPageCount > 0) {
        const QByteArray limit = "PRAGMA max_page_count=" + QByteArray::number(m_store.m_options.MaxPageCount);
        if (!query(limit.constData(), value))
            return fail();
    }
    if (!migrate(version) || !prepare())
        return fail();
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

void THistoryWriter::keepPrivate() const
{
    // The calls say who called when: like the settings, the file is for its owner alone. SQLite
    // makes a new file 0644 whatever the umask, and its journal and shared memory take the
    // file's mode; made here first, or tightened when an older run left it wider, they stay
    // 0600. Anything but a file (a folder in its place) is left for the open to report.
    const QByteArray path = QFile::encodeName(m_path);
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd >= 0) {
        struct stat st
        {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600)
            ::fchmod(fd, 0600);
        ::close(fd);
    }
    for (const char *suffix : {"-wal", "-shm"}) {
        const QByteArray side = path + suffix;
        struct stat st
        {
        };
        if (::stat(side.constData(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600)
            ::chmod(side.constData(), 0600);
    }
}

bool THistoryWriter::migrate(int Version)
{
    for (int step = Version; step < history::kSchemaVersion; ++step) {
        const QByteArray mark = "PRAGMA user_version=" + QByteArray::number(step + 1);
        if (!transaction([&] { return exec(history::kMigrations[size_t(step)]) && exec(mark.constData()); }))
            return false;
    }
    return true;
}

bool THistoryWriter::prepare()
{
    const auto make = [this](sqlite3_stmt *&Statement, const char *Sql) {
        if (sqlite3_prepare_v3(m_db, Sql, -1, SQLITE_PREPARE_PERSISTENT, &Statement, nullptr) == SQLITE_OK)
            return true;
        failed(lastFailure());
        return false;
    };
    return make(m_insertCall, "INSERT INTO calls(channel, kind, direction, start_utc, end_utc, duration, remote, "
                              "tx_packets, rx_packets, peak_usage, mean_usage, closed_at_stop) "
                              "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)") &&
           make(m_insertSession, "INSERT INTO sessions(connected_utc) VALUES(?)") &&
           make(m_endSession, "UPDATE sessions SET ended_utc = ?, reason = ? "
                              "WHERE id = (SELECT max(id) FROM sessions) AND ended_utc IS NULL") &&
           make(m_addDaily,
                "INSERT INTO daily(day, channel, connected_seconds, outcall_seconds, tx_packets, rx_packets) "
                "VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(day, channel) DO UPDATE SET "
                "connected_seconds = connected_seconds + excluded.connected_seconds, "
                "outcall_seconds = outcall_seconds + excluded.outcall_seconds, "
                "tx_packets = tx_packets + excluded.tx_packets, rx_packets = rx_packets + excluded.rx_packets");
}

bool THistoryWriter::checkRouter()
{
    QString address;
    QString name;
    int port = 0;
    quint64 generation = 0;
    {
        const std::lock_guard lock(m_store.m_mutex);
        address = m_store.m_routerAddress;
        port = m_store.m_routerPort;
        name = m_store.m_routerName;
        generation = m_store.m_routerGeneration;
    }
    if (generation == m_routerChecked)
        return true;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT address, port, name FROM router WHERE id = 1", -1, &statement, nullptr) !=
        SQLITE_OK) {
        failed(lastFailure());
        return false;
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> guard(statement, sqlite3_finalize);
    const int found = sqlite3_step(statement);
    if (found != SQLITE_ROW && found != SQLITE_DONE) {
        failed(lastFailure());
        return false;
    }
    const auto column = [statement](int Column) {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, Column)),
                                 sqlite3_column_bytes(statement, Column));
    };
    const QString ours = QStringLiteral("%1:%2").arg(address).arg(port);
    const QString theirs =
        found == SQLITE_ROW ? QStringLiteral("%1:%2").arg(column(0)).arg(sqlite3_column_int(statement, 1)) : ours;
    if (theirs != ours) {
        report(TFault::Refused,
               QCoreApplication::translate("THistoryStore",
                                           "%1 holds the call history of %2, not of %3; set [Logging] Database= to "
                                           "another file.")
                   .arg(m_path, theirs, ours),
               QCoreApplication::translate("THistoryStore", "it holds the call history of %1").arg(theirs));
        return false;
    }
    if (found == SQLITE_ROW && (name.isEmpty() || name == column(2))) {
        m_routerChecked = generation;
        return true;
    }
    sqlite3_stmt *upsert = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "INSERT INTO router(id, address, port, name) VALUES(1, ?, ?, ?) "
                           "ON CONFLICT(id) DO UPDATE SET name = excluded.name",
                           -1, &upsert, nullptr) != SQLITE_OK) {
        failed(lastFailure());
        return false;
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> upsertGuard(upsert, sqlite3_finalize);
    const QByteArray addressText = address.toUtf8();
    const QByteArray nameText = name.toUtf8();
    sqlite3_bind_text(upsert, 1, addressText.constData(), int(addressText.size()), SQLITE_STATIC);
    sqlite3_bind_int(upsert, 2, port);
    sqlite3_bind_text(upsert, 3, nameText.constData(), int(nameText.size()), SQLITE_STATIC);
    if (!transaction([&] { return step(upsert); }))
        return false;
    m_routerChecked = generation;
    return true;
}

bool THistoryWriter::write(const THistoryEvent &Event)
{
    if (!checkRouter())
        return false;
    sqlite3_stmt *statement = nullptr;
    if (const auto *call = std::get_if<THistoryCall>(&Event)) {
        statement = m_insertCall;
        sqlite3_bind_int(statement, 1, call->Channel);
        sqlite3_bind_text(statement, 2, call->Voice ? "voice" : "data", -1, SQLITE_STATIC);
        sqlite3_bind_text(statement, 3, call->Incoming ? "in" : "out", -1, SQLITE_STATIC);
        sqlite3_bind_int64(statement, 4, sqlite3_int64(call->StartUtc));
        sqlite3_bind_int64(statement, 5, sqlite3_int64(call->EndUtc));
        sqlite3_bind_int64(statement, 6, sqlite3_int64(call->EndUtc - call->StartUtc));
        bindText(statement, 7, call->Remote);
        sqlite3_bind_int64(statement, 8, sqlite3_int64(call->TxPackets));
        sqlite3_bind_int64(statement, 9, sqlite3_int64(call->RxPackets));
        sqlite3_bind_int(statement, 10, call->PeakUsage);
        sqlite3_bind_double(statement, 11, call->MeanUsage);
        sqlite3_bind_int(statement, 12, call->ClosedAtStop ? 1 : 0);
    } else if (const auto *session = std::get_if<THistorySession>(&Event)) {
        if (session->Connected) {
            statement = m_insertSession;
            sqlite3_bind_int64(statement, 1, sqlite3_int64(session->Utc));
        } else {
            statement = m_endSession;
            sqlite3_bind_int64(statement, 1, sqlite3_int64(session->Utc));
            bindText(statement, 2, session->Reason);
        }
    } else {
        const auto &daily = std::get<THistoryDaily>(Event);
        statement = m_addDaily;
        bindText(statement, 1, daily.Day);
        sqlite3_bind_int(statement, 2, daily.Channel);
        sqlite3_bind_int64(statement, 3, sqlite3_int64(daily.ConnectedSeconds));
        sqlite3_bind_int64(statement, 4, sqlite3_int64(daily.OutcallSeconds));
        sqlite3_bind_int64(statement, 5, sqlite3_int64(daily.TxPackets));
        sqlite3_bind_int64(statement, 6, sqlite3_int64(daily.RxPackets));
    }
    qint64 callId = -1;
    const bool written = transaction([&] {
        if (!step(statement))
            return false;
        if (statement == m_insertCall)
            callId = sqlite3_last_insert_rowid(m_db);
        return true;
    });
    if (!written) {
        sqlite3_clear_bindings(statement);
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
    if (days <= 0 || now < m_nextRetentionMs || !m_db)
        return;
    const QDateTime cutoff = QDateTime::fromMSecsSinceEpoch(now - qint64(days) * kDayMs);
    const QByteArray cutoffUtc = QByteArray::number(cutoff.toSecsSinceEpoch());
    const QByteArray cutoffDay = cutoff.date().toString(Qt::ISODate).toLatin1();
    const QByteArray deleteOld = "DELETE FROM calls WHERE start_utc < " + cutoffUtc +
                                 "; DELETE FROM sessions WHERE connected_utc < " + cutoffUtc +
                                 "; DELETE FROM daily WHERE day < '" + cutoffDay + "'";
    if (transaction([&] { return exec(deleteOld.constData()); }))
        m_nextRetentionMs = now + kDayMs;
}

THistoryStore::THistoryStore(const QString &Path, TOptions Options, QObject *Parent)
    : QObject(Parent), m_path(Path), m_options(Options)
{
    // SQLite sets aside 20 pages (some 80 KiB) of cache for every connection's first read, which
    // an idle program would keep; the writer's few pages are allocated as they are needed instead.
    // This only takes before SQLite's first use in the process (the readers run on this thread,
    // so none can be starting now); later it is refused and changes nothing.
    static const bool noBulkCache [[maybe_unused]] =
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0) == SQLITE_OK;
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("history writer"));
    m_thread->start(QThread::LowPriority);
}

THistoryStore::~THistoryStore()
{
    Close();
}

QString THistoryStore::Close()
{
    if (!m_thread)
        return QString();
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    const std::lock_guard lock(m_mutex);
    const std::size_t lost =
        m_droppedCalls + std::size_t(std::count_if(m_queue.begin(), m_queue.end(), [](const THistoryEvent &e) {
            return std::holds_alternative<THistoryCall>(e);
        }));
    m_queue.clear();
    m_droppedCalls = 0;
    if (lost == 0)
        return QString();
    const QString reason = m_lastReason.isEmpty() ? QStringLiteral("unknown error") : m_lastReason;
    if (lost == 1)
        return QCoreApplication::translate("THistoryStore", "1 call could not be written to %1: %2")
            .arg(m_path, reason);
    return QCoreApplication::translate("THistoryStore", "%1 calls could not be written to %2: %3")
        .arg(QString::number(lost), m_path, reason);
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
                    waiting->TxPackets += daily->TxPackets;
                    waiting->RxPackets += daily->RxPackets;
                    return;
                }
            }
        }
        if (m_queue.size() + ((m_inFlight && !m_dropInFlight) ? 1 : 0) >= kMaxPending) {
            auto oldest = std::find_if(m_queue.begin(), m_queue.end(),
                                       [](const THistoryEvent &e) { return std::holds_alternative<THistoryDaily>(e); });
            if (oldest != m_queue.end())
                m_queue.erase(oldest);
            else if (m_inFlight && m_inFlightDaily && !m_dropInFlight)
                m_dropInFlight = true;
            else {
                if (std::holds_alternative<THistoryCall>(m_queue.front()))
                    ++m_droppedCalls;
                m_queue.erase(m_queue.begin());
            }
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

void THistoryStore::SetRouter(const QString &Address, int Port, const QString &Name)
{
    const std::lock_guard lock(m_mutex);
    if (Address == m_routerAddress && Port == m_routerPort && (Name.isEmpty() || Name == m_routerName))
        return;
    if (Address != m_routerAddress || Port != m_routerPort)
        m_routerName.clear();
    m_routerAddress = Address;
    m_routerPort = Port;
    if (!Name.isEmpty())
        m_routerName = Name;
    ++m_routerGeneration;
}

std::size_t THistoryStore::Pending() const
{
    const std::lock_guard lock(m_mutex);
    return m_queue.size() + ((m_inFlight && !m_dropInFlight) ? 1 : 0);
}

void THistoryStore::run()
{
    // The file is opened when the first event must be written, so a run that records nothing never
    // loads SQLite's code; a retention opens it at once, since old rows go at start.
    THistoryWriter writer(*this);
    if (m_options.RetentionDays > 0)
        writer.ensureOpen(true);
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (writer.refused()) {
            // Nothing is ever written to a newer program's file: what comes is let go.
            m_droppedCalls += std::size_t(std::count_if(m_queue.begin(), m_queue.end(), [](const THistoryEvent &e) {
                return std::holds_alternative<THistoryCall>(e);
            }));
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
            m_inFlightDaily = std::holds_alternative<THistoryDaily>(event);
            lock.unlock();
            const bool written = writer.ensureOpen(false) && writer.write(event);
            lock.lock();
            m_inFlight = false;
            const bool dropped = std::exchange(m_dropInFlight, false);
            if (!written) {
                if (!dropped)
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
