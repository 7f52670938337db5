// SPDX-License-Identifier: MIT
// The call history's readers; see historyquery.h. Every query walks an index: the call list and
// the export by calls_by_start (which holds the rowid, so "start, then id" is its own order), the
// totals by the daily table's primary key. Pages are keyset pages, never OFFSET, so the millionth
// row costs what the first does.
#include "historyquery.h"

#include "historyschema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <variant>

#include <sys/stat.h>

namespace history {

const char *const kCsvHeader = "id,channel,kind,direction,start_utc,end_utc,duration_s,remote,tx_packets,"
                               "rx_packets,peak_usage,mean_usage,closed_at_stop";

namespace {

// The export hands the device this much at a time.
constexpr std::size_t kCsvChunkBytes = 64 * 1024;

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
                                            "tx_packets, rx_packets, peak_usage, mean_usage, closed_at_stop");

// SQL for a file of the given schema version: one from before the packet columns had their names
// (written by an older program, not opened by the monitor since) still calls them tx_bytes and
// rx_bytes; the figures in them are the same packets.
QString forVersion(QString Sql, int64_t Version)
{
    if (Version < kPacketsVersion)
        Sql.replace(QLatin1String("tx_packets"), QLatin1String("tx_bytes"))
            .replace(QLatin1String("rx_packets"), QLatin1String("rx_bytes"));
    return Sql;
}

using TStatement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)>;

// Sql prepared on Db with Values bound in order (text as text, anything else as an integer);
// null when SQLite refused it (sqlite3_errmsg says why).
TStatement prepare(sqlite3 *Db, const QString &Sql, const QVariantList &Values = {})
{
    const QByteArray text = Sql.toUtf8();
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(Db, text.constData(), int(text.size()), &statement, nullptr);
    TStatement guard(statement, sqlite3_finalize);
    for (int i = 0; statement != nullptr && i < int(Values.size()); ++i) {
        const QVariant &value = Values[i];
        if (value.typeId() == QMetaType::QString) {
            const QByteArray bytes = value.toString().toUtf8();
            sqlite3_bind_text(statement, i + 1, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(statement, i + 1, value.toLongLong());
        }
    }
    return guard;
}

QString columnText(sqlite3_stmt *Statement, int Column)
{
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(Statement, Column));
    return bytes ? QString::fromUtf8(bytes, sqlite3_column_bytes(Statement, Column)) : QString();
}

TCallRow rowOf(sqlite3_stmt *q)
{
    TCallRow row;
    row.Id = sqlite3_column_int64(q, 0);
    row.Channel = sqlite3_column_int(q, 1);
    row.Kind = columnText(q, 2);
    row.Direction = columnText(q, 3);
    row.StartUtc = sqlite3_column_int64(q, 4);
    row.EndUtc = sqlite3_column_int64(q, 5);
    row.Duration = sqlite3_column_int64(q, 6);
    row.Remote = columnText(q, 7);
    row.TxPackets = sqlite3_column_int64(q, 8);
    row.RxPackets = sqlite3_column_int64(q, 9);
    row.PeakUsage = sqlite3_column_int(q, 10);
    row.MeanUsage = sqlite3_column_double(q, 11);
    row.ClosedAtStop = sqlite3_column_int(q, 12) != 0;
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

bool LooksLikeFormula(std::string_view Field)
{
    if (Field.empty())
        return false;
    switch (Field.front()) {
    case '=':
    case '@':
    case '\t':
    case '\r':
        return true;
    case '+':
    case '-':
        return Field.find_first_not_of("0123456789 ", 1) != std::string_view::npos;
    default:
        return false;
    }
}

void AppendCsvText(std::string &Line, std::string_view Field)
{
    if (!LooksLikeFormula(Field)) {
        AppendCsvField(Line, Field);
        return;
    }
    std::string guarded = "'";
    guarded += Field;
    AppendCsvField(Line, guarded);
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
{
    // An empty name would be SQLite's private temporary database: nothing to read.
    if (DatabasePath.isEmpty()) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "No call history database is open.")));
        return;
    }
    // Read-only never makes a file: a missing database is reported, not created empty.
    if (sqlite3_open_v2(QFile::encodeName(DatabasePath).constData(), &m_db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot open the call history %1: %2"))
                 .arg(DatabasePath,
                      m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromLocal8Bit(std::strerror(ENOMEM))));
        return;
    }
    sqlite3_busy_timeout(m_db, BusyTimeoutMs);
    if (!readVersion()) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot read the call history %1: %2"))
                 .arg(DatabasePath, m_error));
        return;
    }
    if (m_version < 1) {
        fail(translated(QT_TRANSLATE_NOOP("THistoryReader", "The call history %1 holds no calls yet."))
                 .arg(DatabasePath));
        return;
    }
    m_open = true;
}

THistoryReader::~THistoryReader()
{
    sqlite3_close_v2(m_db);
}

bool THistoryReader::readVersion()
{
    // The monitor brings an older file forward when it next writes, possibly while this reader is
    // open; reading the version costs a look at the file's header.
    const TStatement version = prepare(m_db, QStringLiteral("PRAGMA user_version"));
    if (!version || sqlite3_step(version.get()) != SQLITE_ROW)
        return fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
    m_version = sqlite3_column_int(version.get(), 0);
    return true;
}

bool THistoryReader::fail(const QString &Text)
{
    m_error = Text;
    if (!m_open) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    return false;
}

std::vector<TCallRow> THistoryReader::callPage(const TCallFilter &Filter, const std::optional<TPageKey> &After,
                                               int Limit)
{
    std::vector<TCallRow> rows;
    if (!m_open || Limit <= 0 || !readVersion())
        return rows;
    TWhere where = whereOf(Filter);
    // "Before the key" in the order by start, then id; the first term alone bounds the index range.
    if (After)
        where.add(QStringLiteral("start_utc <= ? AND (start_utc < ? OR id < ?)"),
                  {qint64(After->StartUtc), qint64(After->StartUtc), qint64(After->Id)});
    where.Values.append(Limit);
    const TStatement q =
        prepare(m_db,
                forVersion(QStringLiteral("SELECT %1 FROM calls%2 ORDER BY start_utc DESC, id DESC LIMIT ?")
                               .arg(kCallColumns, where.Sql),
                           m_version),
                where.Values);
    if (!q) {
        fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
        return rows;
    }
    rows.reserve(std::size_t(Limit));
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(q.get())) == SQLITE_ROW)
        rows.push_back(rowOf(q.get()));
    if (step != SQLITE_DONE)
        fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
    return rows;
}

TTotals THistoryReader::totals(const QDate &From, const QDate &To)
{
    TTotals sum;
    if (!m_open || !readVersion())
        return sum;
    const TStatement q =
        prepare(m_db,
                forVersion(QStringLiteral("SELECT total(connected_seconds), total(outcall_seconds), total(tx_packets), "
                                          "total(rx_packets) FROM daily WHERE day >= ? AND day <= ?"),
                           m_version),
                {dayKey(From), dayKey(To)});
    if (!q || sqlite3_step(q.get()) != SQLITE_ROW) {
        fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
        return sum;
    }
    sum.ConnectedSeconds = int64_t(sqlite3_column_double(q.get(), 0));
    sum.OutcallSeconds = int64_t(sqlite3_column_double(q.get(), 1));
    sum.TxPackets = int64_t(sqlite3_column_double(q.get(), 2));
    sum.RxPackets = int64_t(sqlite3_column_double(q.get(), 3));
    return sum;
}

QStringList THistoryReader::totalsPlan()
{
    QStringList plan;
    if (!m_open)
        return plan;
    const TStatement q = prepare(
        m_db,
        forVersion(QStringLiteral("EXPLAIN QUERY PLAN SELECT total(connected_seconds), total(outcall_seconds), "
                                  "total(tx_packets), total(rx_packets) FROM daily WHERE day >= ? AND day <= ?"),
                   m_version),
        {QStringLiteral("2026-12-01"), QStringLiteral("2026-12-31")});
    // EXPLAIN QUERY PLAN's rows: id, parent, unused, detail.
    while (q && sqlite3_step(q.get()) == SQLITE_ROW)
        plan << columnText(q.get(), 3);
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
    if (!m_open || !readVersion())
        return days;
    const TStatement q =
        prepare(m_db,
                forVersion(QStringLiteral("SELECT day, sum(connected_seconds), sum(outcall_seconds), sum(tx_packets), "
                                          "sum(rx_packets) FROM daily WHERE day >= ? AND day <= ? GROUP BY day"),
                           m_version),
                {dayKey(first), dayKey(LastDay)});
    if (!q) {
        fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
        return days;
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(q.get())) == SQLITE_ROW) {
        const qint64 index = first.daysTo(QDate::fromString(columnText(q.get(), 0), Qt::ISODate));
        if (index < 0 || index >= Days)
            continue;
        TTotals &t = days[std::size_t(index)].Totals;
        t.ConnectedSeconds = sqlite3_column_int64(q.get(), 1);
        t.OutcallSeconds = sqlite3_column_int64(q.get(), 2);
        t.TxPackets = sqlite3_column_int64(q.get(), 3);
        t.RxPackets = sqlite3_column_int64(q.get(), 4);
    }
    if (step != SQLITE_DONE)
        fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
    return days;
}

std::optional<int64_t> THistoryReader::exportCsv(const TCallFilter &Filter, QIODevice &Out)
{
    if (!m_open || !readVersion())
        return std::nullopt;
    // Each field goes from SQLite's buffer into the line as it is: no QString per field.
    const TWhere where = whereOf(Filter);
    const TStatement guard =
        prepare(m_db,
                forVersion(QStringLiteral("SELECT %1 FROM calls%2 ORDER BY start_utc, id").arg(kCallColumns, where.Sql),
                           m_version),
                where.Values);
    sqlite3_stmt *const statement = guard.get();
    if (statement == nullptr) {
        fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
        return std::nullopt;
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
                AppendCsvField(chunk, text(column));
                break;
            case 7:
                // Caller IDs come from whoever calls: never a formula in the user's spreadsheet.
                AppendCsvText(chunk, text(column));
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
            case 1:
                // The channel by the name the window and the router use; /calls.json keeps 1 and 2.
                chunk += 'B';
                appendNumber(chunk, sqlite3_column_int64(statement, column));
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
        fail(QString::fromUtf8(sqlite3_errmsg(m_db)));
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

// How many bytes from the front of Text make one well-formed UTF-8 character (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF); 0 when they do not.
std::size_t utf8CharLength(std::string_view Text)
{
    const auto byte = [&Text](std::size_t k) { return static_cast<unsigned char>(Text[k]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (Text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xBF)
            return 0;
    return length;
}

// A JSON string as Qt's writer makes it: quote and backslash escaped, control characters as their
// short escapes or \u00XX, everything else as UTF-8. Text that is not UTF-8 (a damaged file) gets
// U+FFFD per bad byte, so the answer is always valid JSON.
void appendJsonString(std::string &Out, std::string_view Text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    Out += '"';
    std::size_t i = 0;
    while (i < Text.size()) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8CharLength(Text.substr(i));
            if (length == 0) {
                Out += "\xEF\xBF\xBD";
                ++i;
            } else {
                Out.append(Text.substr(i, length));
                i += length;
            }
            continue;
        }
        ++i;
        switch (c) {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\b':
            Out += "\\b";
            break;
        case '\f':
            Out += "\\f";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            if (c < 0x20) {
                Out += "\\u00";
                Out += kHex[c >> 4];
                Out += kHex[c & 0xF];
            } else {
                Out += char(c);
            }
        }
    }
    Out += '"';
}

// A JSON number as Qt's writer makes it: whole numbers without a fraction, others shortest.
void appendJsonNumber(std::string &Out, double Value)
{
    if (!std::isfinite(Value)) {
        Out += "null";
        return;
    }
    if (Value == std::trunc(Value) && std::fabs(Value) < 9007199254740992.0) {
        appendNumber(Out, int64_t(Value));
        return;
    }
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, Value).ptr;
    Out.append(text, end);
}

struct TCallsQuery
{
    std::optional<int64_t> Since;
    int Limit = kCallsJsonDefaultLimit;
};

// The parameters, or the 400 answer for a bad one.
std::variant<TCallsQuery, TJsonAnswer> parseCallsQuery(std::string_view Query)
{
    TCallsQuery parsed;
    const QUrlQuery query(QString::fromUtf8(Query.data(), qsizetype(Query.size())));
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("since")) {
            parsed.Since = ParseSince(value);
            if (!parsed.Since)
                return TJsonAnswer{400, jsonError(QStringLiteral("since must be an ISO 8601 date (2026-12-01) or UTC "
                                                                 "time (2026-12-01T10:00:00Z)"))};
        } else if (key == QLatin1String("limit")) {
            bool ok = false;
            const qlonglong n = value.toLongLong(&ok);
            if (!ok || n < 1)
                return TJsonAnswer{
                    400,
                    jsonError(QStringLiteral("limit must be a whole number from 1 to %1").arg(kCallsJsonMaxLimit))};
            parsed.Limit = int(std::min<qlonglong>(n, kCallsJsonMaxLimit));
        }
    }
    return parsed;
}

// One call as a JSON object, keys in the order Qt's writer sorts them.
void appendCallJson(std::string &Out, sqlite3_stmt *Row)
{
    const auto text = [Row](int Column) {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(Row, Column));
        return bytes ? std::string_view(bytes, std::size_t(sqlite3_column_bytes(Row, Column))) : std::string_view();
    };
    const auto number = [&Out, Row](const char *Key, int Column) {
        Out += Key;
        appendNumber(Out, sqlite3_column_int64(Row, Column));
    };
    const auto string = [&Out, &text](const char *Key, int Column) {
        Out += Key;
        appendJsonString(Out, text(Column));
    };
    const auto time = [&Out, Row](const char *Key, int Column) {
        Out += Key;
        Out += '"';
        appendIsoUtc(Out, sqlite3_column_int64(Row, Column));
        Out += '"';
    };
    number("{\"channel\":", 1);
    Out += sqlite3_column_int64(Row, 12) != 0 ? ",\"closed_at_stop\":true" : ",\"closed_at_stop\":false";
    string(",\"direction\":", 3);
    number(",\"duration_s\":", 6);
    time(",\"end\":", 5);
    number(",\"id\":", 0);
    string(",\"kind\":", 2);
    Out += ",\"mean_usage\":";
    appendJsonNumber(Out, sqlite3_column_double(Row, 11));
    number(",\"peak_usage\":", 10);
    string(",\"remote\":", 7);
    number(",\"rx_packets\":", 9);
    time(",\"start\":", 4);
    number(",\"tx_packets\":", 8);
    Out += '}';
}

} // namespace

TJsonAnswer CallsJson(const QString &DatabasePath, std::string_view Query)
{
    TCallsJsonSource source;
    return source.answer(DatabasePath, Query);
}

TCallsJsonSource::~TCallsJsonSource()
{
    close();
}

void TCallsJsonSource::close()
{
    for (sqlite3_stmt **statement : {&m_version, &m_all, &m_since}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    if (m_db != nullptr)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_path.clear();
    m_dataVersion = -1;
    m_kept.clear();
    m_keptBytes = 0;
}

bool TCallsJsonSource::open(const QString &DatabasePath)
{
    close();
    m_openError.clear();
    if (DatabasePath.isEmpty()) {
        m_openError = translated(QT_TRANSLATE_NOOP("THistoryReader", "No call history database is open."));
        return false;
    }
    const QByteArray file = QFile::encodeName(DatabasePath);
    struct stat info
    {
    };
    // Read-only never makes a file: a missing database is reported, not created empty.
    if (::stat(file.constData(), &info) != 0 ||
        sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        m_openError = translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot open the call history %1: %2"))
                          .arg(DatabasePath, m_db ? QString::fromUtf8(sqlite3_errmsg(m_db))
                                                  : QString::fromLocal8Bit(std::strerror(errno)));
        if (m_db != nullptr)
            sqlite3_close_v2(m_db);
        m_db = nullptr;
        return false;
    }
    // A short busy wait: the answer runs on the event loop, and the writer's transactions are short.
    sqlite3_busy_timeout(m_db, 200);
    int64_t version = 0;
    sqlite3_stmt *userVersion = nullptr;
    bool ok = sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &userVersion, nullptr) == SQLITE_OK &&
              sqlite3_step(userVersion) == SQLITE_ROW;
    if (ok)
        version = sqlite3_column_int64(userVersion, 0);
    sqlite3_finalize(userVersion);
    if (ok && version < 1) {
        m_openError = translated(QT_TRANSLATE_NOOP("THistoryReader", "The call history %1 holds no calls yet."))
                          .arg(DatabasePath);
        close();
        return false;
    }
    const QString columns = forVersion(QStringLiteral("SELECT %1 FROM calls").arg(kCallColumns), version);
    const QByteArray all = (columns + QStringLiteral(" ORDER BY start_utc DESC, id DESC LIMIT ?1")).toUtf8();
    const QByteArray since =
        (columns + QStringLiteral(" WHERE start_utc >= ?2 ORDER BY start_utc DESC, id DESC LIMIT ?1")).toUtf8();
    ok = ok && sqlite3_prepare_v3(m_db, "PRAGMA data_version", -1, SQLITE_PREPARE_PERSISTENT, &m_version, nullptr) ==
                   SQLITE_OK;
    ok = ok && sqlite3_prepare_v3(m_db, all.constData(), int(all.size()), SQLITE_PREPARE_PERSISTENT, &m_all, nullptr) ==
                   SQLITE_OK;
    ok = ok && sqlite3_prepare_v3(m_db, since.constData(), int(since.size()), SQLITE_PREPARE_PERSISTENT, &m_since,
                                  nullptr) == SQLITE_OK;
    if (!ok) {
        m_openError = translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot read the call history %1: %2"))
                          .arg(DatabasePath, QString::fromUtf8(sqlite3_errmsg(m_db)));
        close();
        return false;
    }
    m_path = DatabasePath;
    m_device = uint64_t(info.st_dev);
    m_inode = uint64_t(info.st_ino);
    return true;
}

bool TCallsJsonSource::unchanged()
{
    // Another file now under the name (moved, deleted and made again): read that one.
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &info) != 0 || uint64_t(info.st_dev) != m_device ||
        uint64_t(info.st_ino) != m_inode)
        return false;
    // data_version changes whenever another connection (the writer) commits.
    int64_t version = -1;
    if (sqlite3_step(m_version) == SQLITE_ROW)
        version = sqlite3_column_int64(m_version, 0);
    sqlite3_reset(m_version);
    if (version != m_dataVersion) {
        m_kept.clear();
        m_keptBytes = 0;
        m_dataVersion = version;
    }
    return version >= 0;
}

TJsonAnswer TCallsJsonSource::answer(const QString &DatabasePath, std::string_view Query)
{
    const std::variant<TCallsQuery, TJsonAnswer> parsed = parseCallsQuery(Query);
    if (const auto *bad = std::get_if<TJsonAnswer>(&parsed))
        return *bad;
    const TCallsQuery &query = std::get<TCallsQuery>(parsed);
    const bool kept = m_db != nullptr && m_path == DatabasePath && unchanged();
    if (!kept && (!open(DatabasePath) || !unchanged())) {
        if (m_openError.isEmpty())
            m_openError = translated(QT_TRANSLATE_NOOP("THistoryReader", "Cannot read the call history %1: %2"))
                              .arg(DatabasePath, QString::fromUtf8(sqlite3_errmsg(m_db)));
        close();
        return {503, jsonError(m_openError)};
    }

    std::string key = query.Since ? std::to_string(*query.Since) : std::string("-");
    key += '/';
    key += std::to_string(query.Limit);
    for (auto kept = m_kept.begin(); kept != m_kept.end(); ++kept)
        if (kept->first == key) {
            m_kept.splice(m_kept.begin(), m_kept, kept);
            return kept->second;
        }

    ++m_queries;
    sqlite3_stmt *statement = query.Since ? m_since : m_all;
    // One row more than asked tells whether older calls were left out.
    sqlite3_bind_int(statement, 1, query.Limit + 1);
    if (query.Since)
        sqlite3_bind_int64(statement, 2, *query.Since);
    TJsonAnswer answer{200, "{\"calls\":["};
    int rows = 0;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW && rows < query.Limit) {
        if (rows++ > 0)
            answer.Document += ',';
        appendCallJson(answer.Document, statement);
    }
    const bool more = step == SQLITE_ROW;
    const bool failed = step != SQLITE_ROW && step != SQLITE_DONE;
    const QString error = failed ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString();
    sqlite3_reset(statement);
    if (failed) {
        close();
        // The monitor may have brought the file forward to new column names under the kept
        // statements: a fresh connection reads it as it is now.
        if (kept)
            return this->answer(DatabasePath, Query);
        return {503, jsonError(error)};
    }
    answer.Document += "],\"limit\":";
    appendNumber(answer.Document, query.Limit);
    answer.Document += more ? ",\"more\":true}" : ",\"more\":false}";

    m_kept.emplace_front(std::move(key), answer);
    m_keptBytes += answer.Document.size();
    while (m_kept.size() > kCachedAnswers || (m_keptBytes > kCachedBytes && m_kept.size() > 1)) {
        m_keptBytes -= m_kept.back().second.Document.size();
        m_kept.pop_back();
    }
    return answer;
}

} // namespace history
