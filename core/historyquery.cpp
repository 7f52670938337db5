// The call history's readers; see historyquery.h. Every query walks an index: the call list and
// the export by calls_by_start (which holds the rowid, so "start, then id" is its own order), the
// totals by the daily table's primary key. Pages are keyset pages, never OFFSET, so the millionth
// row costs what the first does.
#include "historyquery.h"

#include "historyschema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <atomic>
#include <charconv>
#include <memory>

namespace history {

const char *const kCsvHeader = "id,channel,kind,direction,start_utc,end_utc,duration_s,remote,tx_bytes,rx_bytes,"
                               "peak_usage,mean_usage,closed_at_stop";

namespace {

// The export hands the device this much at a time.
constexpr std::size_t kCsvChunkBytes = 64 * 1024;

std::atomic<int> nextConnection{0};

QString translated(const char *Text)
{
    return QCoreApplication::translate("THistoryReader", Text);
}

// The filter as SQL: the WHERE clause's terms and their values in order.
struct TWhere
{
    QString Sql;
    QVariantList Values;

    void add(const QString &Term, const QVariantList &TermValues)
    {
        Sql += Sql.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
        Sql += Term;
        Values += TermValues;
    }
};

TWhere whereOf(const TCallFilter &Filter)
{
    TWhere where;
    if (Filter.SinceUtc != std::numeric_limits<int64_t>::min())
        where.add(QStringLiteral("start_utc >= ?"), {qint64(Filter.SinceUtc)});
    if (Filter.BeforeUtc != std::numeric_limits<int64_t>::max())
        where.add(QStringLiteral("start_utc < ?"), {qint64(Filter.BeforeUtc)});
    if (Filter.Channel == 1 || Filter.Channel == 2)
        where.add(QStringLiteral("channel = ?"), {Filter.Channel});
    // instr, not LIKE: a caller's '%' or '_' is text to find, and a number matches exactly.
    if (!Filter.Caller.isEmpty())
        where.add(QStringLiteral("instr(remote, ?) > 0"), {Filter.Caller});
    return where;
}

const QString kCallColumns = QStringLiteral("id, channel, kind, direction, start_utc, end_utc, duration, remote, "
                                            "tx_bytes, rx_bytes, peak_usage, mean_usage, closed_at_stop");

TCallRow rowOf(const QSqlQuery &q)
{
    TCallRow row;
    row.Id = q.value(0).toLongLong();
    row.Channel = q.value(1).toInt();
    row.Kind = q.value(2).toString();
    row.Direction = q.value(3).toString();
    row.StartUtc = q.value(4).toLongLong();
    row.EndUtc = q.value(5).toLongLong();
    row.Duration = q.value(6).toLongLong();
    row.Remote = q.value(7).toString();
    row.TxBytes = q.value(8).toLongLong();
    row.RxBytes = q.value(9).toLongLong();
    row.PeakUsage = q.value(10).toInt();
    row.MeanUsage = q.value(11).toDouble();
    row.ClosedAtStop = q.value(12).toInt() != 0;
    return row;
}

void appendNumber(std::string &Line, int64_t Value)
{
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, Value).ptr;
    Line.append(text, end);
}

// Days since 1970-01-01 to the proleptic Gregorian date (the civil-from-days algorithm), so
// the export formats a million times without a QDateTime each.
void civilFromDays(int64_t Days, int64_t &Year, unsigned &Month, unsigned &Day)
{
    Days += 719468;
    const int64_t era = (Days >= 0 ? Days : Days - 146096) / 146097;
    const auto dayOfEra = unsigned(Days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    Day = dayOfYear - (153 * mp + 2) / 5 + 1;
    Month = mp < 10 ? mp + 3 : mp - 9;
    Year = int64_t(yearOfEra) + era * 400 + (Month <= 2 ? 1 : 0);
}

void appendIsoUtc(std::string &Line, int64_t Seconds)
{
    // Outside years 0..9999 ISO 8601 needs a sign and more digits; no call lies there, so a
    // damaged value is written as its plain number rather than as a wrong date.
    constexpr int64_t kFirst = -62167219200; // 0000-01-01T00:00:00Z
    constexpr int64_t kLast = 253402300799;  // 9999-12-31T23:59:59Z
    if (Seconds < kFirst || Seconds > kLast) {
        appendNumber(Line, Seconds);
        return;
    }
    int64_t days = Seconds / 86400;
    int64_t rest = Seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    // Digit by digit: the export formats two times a row, and snprintf is its slowest step.
    const auto digits = [&Line](int64_t Value, int Width) {
        char text[4];
        for (int i = Width - 1; i >= 0; --i, Value /= 10)
            text[i] = char('0' + Value % 10);
        Line.append(text, std::size_t(Width));
    };
    digits(year, 4);
    Line += '-';
    digits(month, 2);
    Line += '-';
    digits(day, 2);
    Line += 'T';
    digits(rest / 3600, 2);
    Line += ':';
    digits(rest / 60 % 60, 2);
    Line += ':';
    digits(rest % 60, 2);
    Line += 'Z';
}

QString dayKey(const QDate &Day)
{
    return Day.toString(Qt::ISODate);
}

} // namespace

std::string IsoUtc(int64_t Seconds)
{
    std::string text;
    appendIsoUtc(text, Seconds);
    return text;
}

void AppendCsvField(std::string &Line, std::string_view Field)
{
    if (Field.find_first_of("\",\r\n") == std::string_view::npos) {
        Line += Field;
        return;
    }
    Line += '"';
    for (const char c : Field) {
        if (c == '"')
            Line += '"';
        Line += c;
    }
    Line += '"';
}

std::optional<int64_t> ParseSince(const QString &Text)
{
    if (Text.size() == 10) {
        const QDate day = QDate::fromString(Text, Qt::ISODate);
        if (!day.isValid())
            return std::nullopt;
        return day.startOfDay(Qt::UTC).toSecsSinceEpoch();
    }
    // A date and time: 'T' between them, seconds optional, "Z", an offset or nothing (UTC).
    if (Text.size() < 16 || Text.at(10) != QLatin1Char('T'))
        return std::nullopt;
    QDateTime time = QDateTime::fromString(Text, Qt::ISODateWithMs);
    if (!time.isValid())
        return std::nullopt;
    if (time.timeSpec() == Qt::LocalTime)
        time.setTimeSpec(Qt::UTC);
    return time.toSecsSinceEpoch();
}

THistoryReader::THistoryReader(const QString &DatabasePath, int BusyTimeoutMs)
    : m_connection(QStringLiteral("lw_history_reader_%1").arg(nextConnection++))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (!db.isValid()) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader",
                                          "The SQLite driver of Qt SQL is missing (install libqt6sql6-sqlite).")));
        return;
    }
    // An empty name would be SQLite's private temporary database: nothing to read.
    if (DatabasePath.isEmpty()) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "No call history database is open.")));
        return;
    }
    // Read-only never makes a file: a missing database is reported, not created empty.
    db.setDatabaseName(DatabasePath);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
    if (!db.open()) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot open the call history %1: %2"))
                 .arg(DatabasePath, db.lastError().databaseText()));
        return;
    }
    QSqlQuery version(db);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot read the call history %1: %2"))
                 .arg(DatabasePath, version.lastError().databaseText()));
        return;
    }
    if (version.value(0).toInt() < 1) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "The call history %1 holds no calls yet."))
                 .arg(DatabasePath));
        return;
    }
    m_open = true;
}

THistoryReader::~THistoryReader()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool THistoryReader::fail(const QString &Text)
{
    m_error = Text;
    if (!m_open)
        QSqlDatabase::database(m_connection, false).close();
    return false;
}

std::vector<TCallRow> THistoryReader::callPage(const TCallFilter &Filter, const std::optional<TPageKey> &After,
                                               int Limit)
{
    std::vector<TCallRow> rows;
    if (!m_open || Limit <= 0)
        return rows;
    TWhere where = whereOf(Filter);
    // "Before the key" in the order by start, then id; the first term alone bounds the index range.
    if (After)
        where.add(QStringLiteral("start_utc <= ? AND (start_utc < ? OR id < ?)"),
                  {qint64(After->StartUtc), qint64(After->StartUtc), qint64(After->Id)});
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT %1 FROM calls%2 ORDER BY start_utc DESC, id DESC LIMIT ?").arg(kCallColumns, where.Sql));
    for (const QVariant &value : where.Values)
        q.addBindValue(value);
    q.addBindValue(Limit);
    if (!q.exec()) {
        fail(q.lastError().databaseText());
        return rows;
    }
    rows.reserve(std::size_t(Limit));
    while (q.next())
        rows.push_back(rowOf(q));
    return rows;
}

TTotals THistoryReader::totals(const QDate &From, const QDate &To)
{
    TTotals sum;
    if (!m_open)
        return sum;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT total(connected_seconds), total(outcall_seconds), total(tx_bytes), "
                             "total(rx_bytes) FROM daily WHERE day >= ? AND day <= ?"));
    q.addBindValue(dayKey(From));
    q.addBindValue(dayKey(To));
    if (!q.exec() || !q.next()) {
        fail(q.lastError().databaseText());
        return sum;
    }
    sum.ConnectedSeconds = int64_t(q.value(0).toDouble());
    sum.OutcallSeconds = int64_t(q.value(1).toDouble());
    sum.TxBytes = int64_t(q.value(2).toDouble());
    sum.RxBytes = int64_t(q.value(3).toDouble());
    return sum;
}

QStringList THistoryReader::totalsPlan()
{
    QStringList plan;
    if (!m_open)
        return plan;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("EXPLAIN QUERY PLAN SELECT total(connected_seconds), total(outcall_seconds), "
                             "total(tx_bytes), total(rx_bytes) FROM daily WHERE day >= ? AND day <= ?"));
    q.addBindValue(QStringLiteral("2026-12-01"));
    q.addBindValue(QStringLiteral("2026-12-31"));
    if (q.exec())
        while (q.next())
            plan << q.value(3).toString();
    return plan;
}

std::vector<TDayTotals> THistoryReader::dailyTotals(const QDate &LastDay, int Days)
{
    std::vector<TDayTotals> days;
    if (Days <= 0 || !LastDay.isValid())
        return days;
    const QDate first = LastDay.addDays(1 - Days);
    for (int i = 0; i < Days; ++i)
        days.push_back({first.addDays(i), {}});
    if (!m_open)
        return days;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT day, sum(connected_seconds), sum(outcall_seconds), sum(tx_bytes), "
                             "sum(rx_bytes) FROM daily WHERE day >= ? AND day <= ? GROUP BY day"));
    q.addBindValue(dayKey(first));
    q.addBindValue(dayKey(LastDay));
    if (!q.exec()) {
        fail(q.lastError().databaseText());
        return days;
    }
    while (q.next()) {
        const qint64 index = first.daysTo(QDate::fromString(q.value(0).toString(), Qt::ISODate));
        if (index < 0 || index >= Days)
            continue;
        TTotals &t = days[std::size_t(index)].Totals;
        t.ConnectedSeconds = q.value(1).toLongLong();
        t.OutcallSeconds = q.value(2).toLongLong();
        t.TxBytes = q.value(3).toLongLong();
        t.RxBytes = q.value(4).toLongLong();
    }
    return days;
}

std::optional<int64_t> THistoryReader::exportCsv(const TCallFilter &Filter, QIODevice &Out)
{
    if (!m_open)
        return std::nullopt;
    // The export reads through SQLite's own statement on the driver's connection: Qt SQL's
    // QVariant and UTF-16 round trip for every field would cost more than the rest together.
    const QVariant handle = QSqlDatabase::database(m_connection, false).driver()->handle();
    sqlite3 *db = handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0
                      ? *static_cast<sqlite3 *const *>(handle.constData())
                      : nullptr;
    if (db == nullptr) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "The database connection is not SQLite's.")));
        return std::nullopt;
    }
    const TWhere where = whereOf(Filter);
    const QByteArray sql =
        QStringLiteral("SELECT %1 FROM calls%2 ORDER BY start_utc, id").arg(kCallColumns, where.Sql).toUtf8();
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &statement, nullptr) != SQLITE_OK) {
        fail(QString::fromUtf8(sqlite3_errmsg(db)));
        return std::nullopt;
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> guard(statement, sqlite3_finalize);
    for (int i = 0; i < int(where.Values.size()); ++i) {
        const QVariant &value = where.Values[i];
        if (value.typeId() == QMetaType::QString) {
            const QByteArray text = value.toString().toUtf8();
            sqlite3_bind_text(statement, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(statement, i + 1, value.toLongLong());
        }
    }
    const auto text = [statement](int Column) {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(statement, Column));
        return bytes ? std::string_view(bytes, std::size_t(sqlite3_column_bytes(statement, Column)))
                     : std::string_view();
    };
    std::string chunk;
    chunk.reserve(kCsvChunkBytes + 4096);
    const auto flush = [&] {
        const qint64 written = Out.write(chunk.data(), qint64(chunk.size()));
        chunk.clear();
        if (written >= 0)
            return true;
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot write the CSV file: %1")).arg(Out.errorString()));
        return false;
    };
    chunk += kCsvHeader;
    chunk += "\r\n";
    int64_t rows = 0;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int column = 0; column < 13; ++column) {
            if (column > 0)
                chunk += ',';
            switch (column) {
            case 2:
            case 3:
            case 7:
                AppendCsvField(chunk, text(column));
                break;
            case 4:
            case 5:
                appendIsoUtc(chunk, sqlite3_column_int64(statement, column));
                break;
            case 11: {
                char mean[32];
                const auto end = std::to_chars(mean, mean + sizeof mean, sqlite3_column_double(statement, column)).ptr;
                chunk.append(mean, end);
                break;
            }
            case 12:
                chunk += sqlite3_column_int64(statement, column) != 0 ? '1' : '0';
                break;
            default:
                appendNumber(chunk, sqlite3_column_int64(statement, column));
            }
        }
        chunk += "\r\n";
        ++rows;
        if (chunk.size() >= kCsvChunkBytes && !flush())
            return std::nullopt;
    }
    if (step != SQLITE_DONE) {
        fail(QString::fromUtf8(sqlite3_errmsg(db)));
        return std::nullopt;
    }
    if (!flush())
        return std::nullopt;
    return rows;
}

namespace {

std::string jsonError(const QString &Text)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), Text}}).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

TJsonAnswer CallsJson(const QString &DatabasePath, std::string_view Query)
{
    TCallFilter filter;
    int limit = kCallsJsonDefaultLimit;
    const QUrlQuery query(QString::fromUtf8(Query.data(), qsizetype(Query.size())));
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("since")) {
            const std::optional<int64_t> since = ParseSince(value);
            if (!since)
                return {400, jsonError(QStringLiteral("since must be an ISO 8601 date (2026-12-01) or UTC time "
                                                      "(2026-12-01T10:00:00Z)"))};
            filter.SinceUtc = *since;
        } else if (key == QLatin1String("limit")) {
            bool ok = false;
            const qlonglong n = value.toLongLong(&ok);
            if (!ok || n < 1)
                return {400,
                        jsonError(QStringLiteral("limit must be a whole number from 1 to %1").arg(kCallsJsonMaxLimit))};
            limit = int(std::min<qlonglong>(n, kCallsJsonMaxLimit));
        }
    }
    // A short busy wait: the answer runs on the event loop, and the writer's transactions are short.
    THistoryReader reader(DatabasePath, 200);
    if (!reader.isOpen())
        return {503, jsonError(reader.errorText())};
    // One row more than asked tells whether older calls were left out.
    std::vector<TCallRow> rows = reader.callPage(filter, std::nullopt, limit + 1);
    if (!reader.errorText().isEmpty())
        return {503, jsonError(reader.errorText())};
    const bool more = int(rows.size()) > limit;
    if (more)
        rows.pop_back();
    QJsonArray calls;
    for (const TCallRow &row : rows)
        calls.append(QJsonObject{
            {QStringLiteral("id"), qint64(row.Id)},
            {QStringLiteral("channel"), row.Channel},
            {QStringLiteral("kind"), row.Kind},
            {QStringLiteral("direction"), row.Direction},
            {QStringLiteral("start"), QString::fromStdString(IsoUtc(row.StartUtc))},
            {QStringLiteral("end"), QString::fromStdString(IsoUtc(row.EndUtc))},
            {QStringLiteral("duration_s"), qint64(row.Duration)},
            {QStringLiteral("remote"), row.Remote},
            {QStringLiteral("tx_bytes"), qint64(row.TxBytes)},
            {QStringLiteral("rx_bytes"), qint64(row.RxBytes)},
            {QStringLiteral("peak_usage"), row.PeakUsage},
            {QStringLiteral("mean_usage"), row.MeanUsage},
            {QStringLiteral("closed_at_stop"), row.ClosedAtStop},
        });
    const QJsonObject document{
        {QStringLiteral("calls"), calls}, {QStringLiteral("limit"), limit}, {QStringLiteral("more"), more}};
    return {200, QJsonDocument(document).toJson(QJsonDocument::Compact).toStdString()};
}

} // namespace history
