// SPDX-License-Identifier: MIT
// Reading the call history: the filtered call list in keyset pages, today's and this month's
// totals, the last 31 days, the CSV export and the /calls.json answer. Every reader opens its own
// read-only connection, so it runs beside the writer (WAL) and can never change the file.
#pragma once

#include <QDate>
#include <QString>

#include <cstdint>
#include <limits>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QIODevice;
struct sqlite3;
struct sqlite3_stmt;

namespace history {

// Which calls: those that started in [SinceUtc, BeforeUtc) (Unix seconds), on one channel (1 or 2;
// 0 for both), whose remote text contains Caller (exactly, case and all; empty for any).
struct TCallFilter
{
    int64_t SinceUtc = std::numeric_limits<int64_t>::min();
    int64_t BeforeUtc = std::numeric_limits<int64_t>::max();
    int Channel = 0;
    QString Caller;

    bool operator==(const TCallFilter &) const = default;
};

struct TCallRow
{
    int64_t Id = 0;
    int Channel = 0;
    QString Kind;      // "data" or "voice"
    QString Direction; // "in" or "out"
    int64_t StartUtc = 0;
    int64_t EndUtc = 0;
    int64_t Duration = 0;
    QString Remote;
    int64_t TxPackets = 0;
    int64_t RxPackets = 0;
    int PeakUsage = 0;
    double MeanUsage = 0;
    bool ClosedAtStop = false;
};

// Where a page ends: the next page starts after this call in the newest-first order.
struct TPageKey
{
    int64_t StartUtc = 0;
    int64_t Id = 0;
};

// Sums of the daily table over both channels.
struct TTotals
{
    int64_t ConnectedSeconds = 0;
    int64_t OutcallSeconds = 0;
    int64_t TxPackets = 0;
    int64_t RxPackets = 0;

    bool operator==(const TTotals &) const = default;
};

struct TDayTotals
{
    QDate Day;
    TTotals Totals;
};

// The /calls.json answer before HTTP framing: its status and JSON document.
struct TJsonAnswer
{
    int Status = 200; // 200, 400 (bad parameters) or 503 (history off or unreadable)
    std::string Document;
};

// A read-only connection to one history database. Opening never creates the file; a failure
// leaves the reader closed with ErrorText set, and every query of a closed reader gives nothing.
// One reader belongs to the thread that made it.
class THistoryReader
{
public:
    explicit THistoryReader(const QString &DatabasePath, int BusyTimeoutMs = 2000);
    ~THistoryReader();
    THistoryReader(const THistoryReader &) = delete;
    THistoryReader &operator=(const THistoryReader &) = delete;

    bool isOpen() const { return m_open; }
    // Why the file could not be opened or the last query failed, for the user.
    QString errorText() const { return m_error; }

    // Up to Limit calls newest first (by start time, then id), starting after After.
    std::vector<TCallRow> callPage(const TCallFilter &Filter, const std::optional<TPageKey> &After, int Limit);
    // The totals of the local calendar days From..To, both included.
    TTotals totals(const QDate &From, const QDate &To);
    // One entry per day of the Days days that end with LastDay, oldest first, days without
    // traffic as zeros.
    std::vector<TDayTotals> dailyTotals(const QDate &LastDay, int Days);
    // Writes the filtered calls, oldest first, to Out as CSV and returns the number of rows, or
    // nothing when reading or writing failed (see errorText).
    std::optional<int64_t> exportCsv(const TCallFilter &Filter, QIODevice &Out);

    // The query plan SQLite picks for the totals, one line per step (for the benchmark).
    QStringList totalsPlan();

private:
    bool fail(const QString &Text);
    // Reads the file's schema version again; false (with errorText) when it cannot be read.
    bool readVersion();

    sqlite3 *m_db = nullptr;
    bool m_open = false;
    // The file's schema version (PRAGMA user_version) when it was opened.
    int m_version = 0;
    QString m_error;
};

// The CSV export's header row, without the line end.
extern const char *const kCsvHeader;
// A Unix time as ISO 8601 in UTC: "2026-12-07T19:05:00Z".
std::string IsoUtc(int64_t Seconds);
// Appends one CSV field, quoted when it holds a quote, comma, CR or LF (RFC 4180).
void AppendCsvField(std::string &Line, std::string_view Field);
// Whether a spreadsheet would take Field as a formula: it starts with '=', '@', a tab or a CR, or
// with '+' or '-' followed by anything but digits and blanks ("+4930123456" is a number).
bool LooksLikeFormula(std::string_view Field);
// The same as AppendCsvField for text that came from outside (caller IDs, addresses): a field that
// looks like a formula gets a leading "'", which spreadsheets show as text and do not run.
void AppendCsvText(std::string &Line, std::string_view Field);
// Reads "2026-12-01" (its UTC midnight) or an ISO 8601 date and time ("2026-12-01T10:00:00Z", an
// offset, or none for UTC) as Unix seconds; nothing for anything else.
std::optional<int64_t> ParseSince(const QString &Text);

// The most /calls.json gives in one answer, and what it gives without a limit.
inline constexpr int kCallsJsonMaxLimit = 1000;
inline constexpr int kCallsJsonDefaultLimit = 100;
// /calls.json for Query (the part after '?', still percent-encoded) over the database at
// DatabasePath: since (default: all), limit (default 100, above 1,000 cut to 1,000); a bad value
// is a 400 with {"error": ...}, an unreadable database a 503.
TJsonAnswer CallsJson(const QString &DatabasePath, std::string_view Query);

// /calls.json over one database for the web server's thread: one read-only connection kept open
// between requests, each answer written straight from SQLite's statement, and the last answers
// kept per query until the database changes (SQLite's data_version, the file's identity), so a
// repeated request costs a lookup.
class TCallsJsonSource
{
public:
    static constexpr std::size_t kCachedAnswers = 8;
    static constexpr std::size_t kCachedBytes = 4 * 1024 * 1024;

    TCallsJsonSource() = default;
    ~TCallsJsonSource();
    TCallsJsonSource(const TCallsJsonSource &) = delete;
    TCallsJsonSource &operator=(const TCallsJsonSource &) = delete;

    TJsonAnswer answer(const QString &DatabasePath, std::string_view Query);
    // Statements run so far (answers not taken from the kept ones).
    int64_t queries() const { return m_queries; }
    void close();

private:
    bool open(const QString &DatabasePath);
    bool unchanged();

    QString m_path;
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_version = nullptr;
    // The newest calls, without and with a lower bound on the start.
    sqlite3_stmt *m_all = nullptr;
    sqlite3_stmt *m_since = nullptr;
    int64_t m_dataVersion = -1;
    uint64_t m_device = 0;
    uint64_t m_inode = 0;
    QString m_openError;
    int64_t m_queries = 0;
    // Newest first: the normalised query and its answer.
    std::list<std::pair<std::string, TJsonAnswer>> m_kept;
    std::size_t m_keptBytes = 0;
};

} // namespace history
