// SPDX-License-Identifier: MIT
// The call history's readers over a database made here from the schema's steps: filters, keyset
// pages across equal start times, the totals, the CSV read back by an RFC 4180 reader, and the
// /calls.json answer's limits and bad parameters.
#include "historyquery.h"
#include "historyschema.h"
#include "historystore.h"
#include "monitor.h"
#include "privatefile.h"
#include "sqlitedb.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace history;

namespace {

struct TCall
{
    int Channel;
    int64_t Start;
    QString Remote;
};

constexpr int64_t kAny = std::numeric_limits<int64_t>::min();
constexpr int64_t kNone = std::numeric_limits<int64_t>::max();

TCallFilter filterOf(int64_t Since, int64_t Before, int Channel, const QString &Caller)
{
    TCallFilter filter;
    filter.SinceUtc = Since;
    filter.BeforeUtc = Before;
    filter.Channel = Channel;
    filter.Caller = Caller;
    return filter;
}

// 2026-12-07T00:00:00Z
constexpr int64_t kDay0 = 1796601600;

// Makes the database at Path as the writer would: every schema step, then the version.
void makeDatabase(const QString &Path, const std::vector<TCall> &Calls,
                  const std::vector<std::tuple<QString, int, int64_t>> &Daily = {})
{
    sqlitedb::TDb db(Path);
    QVERIFY(db.isOpen());
    for (const char *step : kMigrations)
        QVERIFY2(db.exec(QString::fromLatin1(step)), qPrintable(db.error()));
    QVERIFY(db.exec(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion)));
    QVERIFY(db.exec(QStringLiteral("BEGIN")));
    sqlitedb::TStatement call(
        db.handle(),
        QStringLiteral("INSERT INTO calls(channel, kind, direction, start_utc, end_utc, duration, remote, "
                       "tx_packets, rx_packets, peak_usage, mean_usage) VALUES(?, 'data', 'out', ?, ?, 60, ?, "
                       "1000, 2000, 90, 45.5)"));
    for (const TCall &c : Calls)
        QVERIFY2(call.run({c.Channel, qint64(c.Start), qint64(c.Start + 60), c.Remote}), qPrintable(db.error()));
    sqlitedb::TStatement day(db.handle(), QStringLiteral("INSERT INTO daily VALUES(?, ?, ?, ?, ?, ?)"));
    for (const auto &[name, channel, seconds] : Daily)
        QVERIFY(
            day.run({name, channel, qint64(seconds), qint64(seconds / 2), qint64(seconds * 10), qint64(seconds * 20)}));
    QVERIFY(db.exec(QStringLiteral("COMMIT")));
}

QList<qint64> ids(const std::vector<TCallRow> &Rows)
{
    QList<qint64> list;
    for (const TCallRow &row : Rows)
        list << row.Id;
    return list;
}

// RFC 4180 read back: quoted fields with doubled quotes, commas and line ends inside, CRLF rows.
QList<QStringList> readCsv(const QByteArray &Bytes)
{
    const QString text = QString::fromUtf8(Bytes);
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"') && field.isEmpty()) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            row << field;
            field.clear();
        } else if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n')) {
            row << field;
            rows << row;
            row.clear();
            field.clear();
            ++i;
        } else {
            field += c;
        }
    }
    if (!row.isEmpty() || !field.isEmpty())
        rows << (row << field); // a last row without its CRLF shows up as a fault below
    return rows;
}

} // namespace

class TstHistoryQuery : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void filters_data();
    void filters();
    void pagesAcrossEqualStartTimes_data();
    void pagesAcrossEqualStartTimes();
    void totalsAndDays();
    void csvRoundTrip();
    void csvTimes_data();
    void csvTimes();
    void parseSince_data();
    void parseSince();
    void callsJson_data();
    void callsJson();
    void missingDatabaseIsReportedNotMade();
    void monitorAnswersCallsJson_data();
    void monitorAnswersCallsJson();
    void callsJsonServedToStrangers_data();
    void callsJsonServedToStrangers();
    void callsJsonDifferedFromQtJson_data();
    void callsJsonDifferedFromQtJson();
    void callsJsonQueriedEveryRequest();
    void machineEndpointsAnswered404ForQuery_data();
    void machineEndpointsAnswered404ForQuery();
    void csvExportRanFormulas_data();
    void csvExportRanFormulas();
    void exportWroteThroughSymlink();
    void historyCountedPacketsAsBytes();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TstHistoryQuery::init()
{
    QVERIFY(m_dir.isValid());
    m_path = m_dir.filePath(QStringLiteral("history-%1.sqlite").arg(QTest::currentTestFunction()) +
                            QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_')));
}

void TstHistoryQuery::filters_data()
{
    QTest::addColumn<TCallFilter>("filter");
    QTest::addColumn<QList<qint64>>("expected");
    // Ids 1..6, oldest first: see the calls in filters().
    QTest::newRow("all, newest first") << TCallFilter{} << QList<qint64>{6, 5, 4, 3, 2, 1};
    QTest::newRow("channel 1") << filterOf(kAny, kNone, 1, QString()) << QList<qint64>{5, 3, 1};
    QTest::newRow("channel 2") << filterOf(kAny, kNone, 2, QString()) << QList<qint64>{6, 4, 2};
    QTest::newRow("since is inclusive") << filterOf(kDay0 + 200, kNone, 0, QString()) << QList<qint64>{6, 5, 4, 3, 2};
    QTest::newRow("before is exclusive") << filterOf(kAny, kDay0 + 300, 0, QString()) << QList<qint64>{3, 2, 1};
    QTest::newRow("one day") << filterOf(kDay0 + 86400, kDay0 + 2 * 86400, 0, QString()) << QList<qint64>{6, 5};
    QTest::newRow("caller substring") << filterOf(kAny, kNone, 0, QStringLiteral("555")) << QList<qint64>{4, 2, 1};
    QTest::newRow("caller's percent is text") << filterOf(kAny, kNone, 0, QStringLiteral("%")) << QList<qint64>{5};
    QTest::newRow("caller's underscore is text") << filterOf(kAny, kNone, 0, QStringLiteral("_")) << QList<qint64>{};
    QTest::newRow("non-ASCII caller") << filterOf(kAny, kNone, 0, QStringLiteral("Müller")) << QList<qint64>{6};
    QTest::newRow("all terms") << filterOf(kDay0, kDay0 + 86400, 2, QStringLiteral("555")) << QList<qint64>{4, 2};
    QTest::newRow("nothing matches") << filterOf(kAny, kNone, 1, QStringLiteral("Müller")) << QList<qint64>{};
}

void TstHistoryQuery::filters()
{
    QFETCH(TCallFilter, filter);
    QFETCH(QList<qint64>, expected);
    makeDatabase(m_path, {{1, kDay0 + 100, QStringLiteral("5551234")},
                          {2, kDay0 + 200, QStringLiteral("0305551")},
                          {1, kDay0 + 200, QStringLiteral("192.0.2.7")},
                          {2, kDay0 + 300, QStringLiteral("5559")},
                          {1, kDay0 + 86400, QStringLiteral("100%")},
                          {2, kDay0 + 86400 + 5, QStringLiteral("Müller ☎")}});
    THistoryReader reader(m_path);
    QVERIFY2(reader.isOpen(), qPrintable(reader.errorText()));
    QCOMPARE(ids(reader.callPage(filter, std::nullopt, 100)), expected);
}

void TstHistoryQuery::pagesAcrossEqualStartTimes_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("channel");
    for (const int size : {1, 2, 3, 7, 10, 11, 50})
        QTest::addRow("page %d", size) << size << 0;
    QTest::newRow("page 3, channel 2") << 3 << 2;
}

void TstHistoryQuery::pagesAcrossEqualStartTimes()
{
    QFETCH(int, pageSize);
    QFETCH(int, channel);
    // Ten calls in runs of equal start times, so page edges fall inside a run; ids are not in
    // start order (a call is written when it ends).
    std::vector<TCall> calls;
    for (int i = 0; i < 10; ++i)
        calls.push_back({1 + i % 2, kDay0 + (9 - i) / 3 * 60, QString::number(i)});
    makeDatabase(m_path, calls);
    THistoryReader reader(m_path);
    const TCallFilter filter = filterOf(kAny, kNone, channel, QString());
    const QList<qint64> all = ids(reader.callPage(filter, std::nullopt, 1000));
    QCOMPARE(all.size(), channel ? 5 : 10);

    QList<qint64> paged;
    std::optional<TPageKey> after;
    int pages = 0;
    for (;;) {
        const std::vector<TCallRow> page = reader.callPage(filter, after, pageSize);
        QVERIFY(int(page.size()) <= pageSize);
        if (page.empty())
            break;
        paged += ids(page);
        after = TPageKey{page.back().StartUtc, page.back().Id};
        QVERIFY(++pages <= 11);
    }
    QCOMPARE(paged, all);
}

void TstHistoryQuery::totalsAndDays()
{
    makeDatabase(m_path, {},
                 {{QStringLiteral("2026-11-30"), 1, 1000},
                  {QStringLiteral("2026-12-01"), 1, 10},
                  {QStringLiteral("2026-12-01"), 2, 20},
                  {QStringLiteral("2026-12-07"), 2, 300},
                  {QStringLiteral("2027-01-01"), 1, 5000}});
    THistoryReader reader(m_path);
    const TTotals month = reader.totals(QDate(2026, 12, 1), QDate(2026, 12, 31));
    QCOMPARE(month, (TTotals{330, 165, 3300, 6600}));
    QCOMPARE(reader.totals(QDate(2026, 12, 7), QDate(2026, 12, 7)), (TTotals{300, 150, 3000, 6000}));
    QCOMPARE(reader.totals(QDate(2026, 12, 2), QDate(2026, 12, 6)), TTotals{});

    const std::vector<TDayTotals> days = reader.dailyTotals(QDate(2026, 12, 7), 31);
    QCOMPARE(days.size(), std::size_t(31));
    QCOMPARE(days.front().Day, QDate(2026, 11, 7));
    QCOMPARE(days.back().Day, QDate(2026, 12, 7));
    QCOMPARE(days[23].Day, QDate(2026, 11, 30));
    QCOMPARE(days[23].Totals.ConnectedSeconds, 1000);
    QCOMPARE(days[24].Totals.ConnectedSeconds, 30);
    QCOMPARE(days[25].Totals, TTotals{});
    QCOMPARE(days[30].Totals.RxPackets, 6000);

    // The month's totals walk the primary key, never the whole table.
    const QStringList plan = reader.totalsPlan();
    QVERIFY2(plan.size() == 1 && plan.front().startsWith(QLatin1String("SEARCH daily USING PRIMARY KEY")),
             qPrintable(plan.join(QLatin1Char('\n'))));
}

void TstHistoryQuery::csvRoundTrip()
{
    const QStringList remotes{QStringLiteral("5551234"),
                              QStringLiteral("Say \"hi\", then hang up"),
                              QStringLiteral("two\r\nlines"),
                              QStringLiteral("bare\nLF"),
                              QStringLiteral("Müller ☎ 030"),
                              QStringLiteral(" padded "),
                              QStringLiteral("\"")};
    std::vector<TCall> calls;
    for (int i = 0; i < remotes.size(); ++i)
        calls.push_back({1 + i % 2, kDay0 + i, remotes[i]});
    makeDatabase(m_path, calls);
    THistoryReader reader(m_path);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    const std::optional<int64_t> count = reader.exportCsv(TCallFilter{}, out);
    QCOMPARE(count, std::optional<int64_t>(remotes.size()));
    QVERIFY(out.data().endsWith("\r\n"));

    const QList<QStringList> rows = readCsv(out.data());
    QCOMPARE(rows.size(), remotes.size() + 1);
    QCOMPARE(rows[0].join(QLatin1Char(',')), QString::fromLatin1(kCsvHeader));
    for (int i = 0; i < remotes.size(); ++i) {
        const QStringList &row = rows[i + 1];
        QCOMPARE(row.size(), rows[0].size());
        QCOMPARE(row[7], remotes[i]);                                          // oldest first
        QCOMPARE(row[1], i % 2 ? QStringLiteral("B2") : QStringLiteral("B1")); // as the window names it
        QCOMPARE(row[4], QString::fromStdString(IsoUtc(kDay0 + i)));
        QCOMPARE(row[11], QStringLiteral("45.5"));
    }
    // The filter applies to the file as to the list.
    QBuffer filtered;
    filtered.open(QIODevice::WriteOnly);
    QCOMPARE(reader.exportCsv(filterOf(kAny, kNone, 0, QStringLiteral("ü")), filtered), std::optional<int64_t>(1));
}

void TstHistoryQuery::csvTimes_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("epoch") << qint64(0) << QStringLiteral("1970-01-01T00:00:00Z");
    QTest::newRow("leap day") << qint64(951868799) << QStringLiteral("2000-02-29T23:59:59Z");
    QTest::newRow("day0") << qint64(kDay0) << QStringLiteral("2026-12-07T00:00:00Z");
    QTest::newRow("before 1970") << qint64(-1) << QStringLiteral("1969-12-31T23:59:59Z");
    QTest::newRow("year 10000 as a number") << qint64(253402300800) << QStringLiteral("253402300800");
}

void TstHistoryQuery::csvTimes()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(IsoUtc(seconds)), expected);
    if (!expected.endsWith(QLatin1Char('Z')))
        return;
    QCOMPARE(QDateTime::fromString(expected, Qt::ISODate).toSecsSinceEpoch(), seconds);
}

void TstHistoryQuery::parseSince_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expected"); // -1: refused
    QTest::newRow("date") << QStringLiteral("2026-12-07") << qint64(kDay0);
    QTest::newRow("UTC time") << QStringLiteral("2026-12-07T01:00:00Z") << qint64(kDay0 + 3600);
    QTest::newRow("no zone is UTC") << QStringLiteral("2026-12-07T01:00:00") << qint64(kDay0 + 3600);
    QTest::newRow("without seconds") << QStringLiteral("2026-12-07T01:00") << qint64(kDay0 + 3600);
    QTest::newRow("offset") << QStringLiteral("2026-12-07T02:00:00+01:00") << qint64(kDay0 + 3600);
    QTest::newRow("empty") << QString() << qint64(-1);
    QTest::newRow("no such day") << QStringLiteral("2026-02-30") << qint64(-1);
    QTest::newRow("word") << QStringLiteral("yesterday") << qint64(-1);
    QTest::newRow("Unix seconds") << QStringLiteral("1796601600") << qint64(-1);
    QTest::newRow("space for T") << QStringLiteral("2026-12-07 01:00:00") << qint64(-1);
    QTest::newRow("hour 25") << QStringLiteral("2026-12-07T25:00:00Z") << qint64(-1);
}

void TstHistoryQuery::parseSince()
{
    QFETCH(QString, text);
    QFETCH(qint64, expected);
    const std::optional<int64_t> since = ParseSince(text);
    if (expected < 0)
        QVERIFY(!since);
    else
        QCOMPARE(since, std::optional<int64_t>(expected));
}

void TstHistoryQuery::callsJson_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("count"); // rows in the answer
    QTest::addColumn<bool>("more");
    // 1,200 calls a minute apart from kDay0 on.
    QTest::newRow("defaults") << QString() << 200 << kCallsJsonDefaultLimit << true;
    QTest::newRow("limit") << QStringLiteral("limit=5") << 200 << 5 << true;
    QTest::newRow("limit above the cap is cut") << QStringLiteral("limit=100000") << 200 << 1000 << true;
    QTest::newRow("since a time") << QStringLiteral("since=2026-12-07T19:00:00Z&limit=1000") << 200 << 60 << false;
    QTest::newRow("percent-encoded time") << QStringLiteral("since=2026-12-07T19%3A00%3A00Z") << 200 << 60 << false;
    QTest::newRow("since a date, all fit") << QStringLiteral("since=2026-12-07&limit=1000") << 200 << 1000 << true;
    QTest::newRow("since after the last call") << QStringLiteral("since=2027-01-01") << 200 << 0 << false;
    QTest::newRow("unknown keys are ignored") << QStringLiteral("x=1&limit=2") << 200 << 2 << true;
    QTest::newRow("limit 0") << QStringLiteral("limit=0") << 400 << 0 << false;
    QTest::newRow("negative limit") << QStringLiteral("limit=-3") << 400 << 0 << false;
    QTest::newRow("word limit") << QStringLiteral("limit=all") << 400 << 0 << false;
    QTest::newRow("empty limit") << QStringLiteral("limit=") << 400 << 0 << false;
    QTest::newRow("bad since") << QStringLiteral("since=last%20week") << 400 << 0 << false;
    QTest::newRow("huge since year") << QStringLiteral("since=99999-01-01") << 400 << 0 << false;
}

void TstHistoryQuery::callsJson()
{
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(int, count);
    QFETCH(bool, more);
    std::vector<TCall> calls;
    for (int i = 0; i < 1200; ++i)
        calls.push_back({1, kDay0 + 60 * i, QStringLiteral("caller \"%1\"").arg(i)});
    makeDatabase(m_path, calls);
    const TJsonAnswer answer = CallsJson(m_path, query.toStdString());
    QCOMPARE(answer.Status, status);
    QJsonParseError error{};
    const QJsonObject document = QJsonDocument::fromJson(QByteArray::fromStdString(answer.Document), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    if (status != 200) {
        QVERIFY(!document.value(QStringLiteral("error")).toString().isEmpty());
        return;
    }
    const QJsonArray rows = document.value(QStringLiteral("calls")).toArray();
    QCOMPARE(rows.size(), count);
    QCOMPARE(document.value(QStringLiteral("more")).toBool(), more);
    if (count == 0)
        return;
    // Newest first, and the text read back as it was stored.
    QCOMPARE(rows.first().toObject().value(QStringLiteral("remote")).toString(), QStringLiteral("caller \"1199\""));
    QCOMPARE(rows.first().toObject().value(QStringLiteral("start")).toString(),
             QString::fromStdString(IsoUtc(kDay0 + 60 * 1199)));
    QVERIFY(rows.first().toObject().value(QStringLiteral("id")).toInteger() >
            rows.last().toObject().value(QStringLiteral("id")).toInteger());
}

void TstHistoryQuery::missingDatabaseIsReportedNotMade()
{
    {
        THistoryReader reader(m_path);
        QVERIFY(!reader.isOpen());
        QVERIFY(reader.errorText().contains(m_path));
        QVERIFY(reader.callPage(TCallFilter{}, std::nullopt, 10).empty());
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QVERIFY(!reader.exportCsv(TCallFilter{}, out));
    }
    QVERIFY(!QFile::exists(m_path));
    QCOMPARE(CallsJson(m_path, "limit=5").Status, 503);
    QVERIFY(!QFile::exists(m_path));
}

void TstHistoryQuery::monitorAnswersCallsJson_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("logging");
    QTest::addColumn<QString>("statusLine"); // empty: not the monitor's path
    QTest::newRow("bare") << QStringLiteral("/calls.json") << true << QStringLiteral("HTTP/1.0 200 OK");
    QTest::newRow("query") << QStringLiteral("/calls.json?limit=1") << true << QStringLiteral("HTTP/1.0 200 OK");
    QTest::newRow("bad limit") << QStringLiteral("/calls.json?limit=x") << true
                               << QStringLiteral("HTTP/1.0 400 Bad Request");
    QTest::newRow("logging off") << QStringLiteral("/calls.json") << false
                                 << QStringLiteral("HTTP/1.0 503 Service Unavailable");
    QTest::newRow("longer name") << QStringLiteral("/calls.jsonp") << true << QString();
    QTest::newRow("sub path") << QStringLiteral("/calls.json/x") << true << QString();
}

void TstHistoryQuery::monitorAnswersCallsJson()
{
    QFETCH(QString, path);
    QFETCH(bool, logging);
    QFETCH(QString, statusLine);
    makeDatabase(m_path, {{1, kDay0, QStringLiteral("5551234")}});
    TMonitor monitor;
    monitor.SetAppDir(m_dir.path().toStdString());
    monitor.SetDataDirectory(m_dir.path().toStdString(), false);
    monitor.Settings.Logging.Enabled = logging;
    monitor.Settings.Logging.Database = m_path.toStdString();
    monitor.ApplySettings();
    const std::optional<std::string> answer = monitor.MachineAnswer(path.toStdString());
    if (statusLine.isEmpty()) {
        QVERIFY(!answer);
        return;
    }
    QVERIFY(answer);
    QVERIFY2(QString::fromStdString(*answer).startsWith(statusLine + QStringLiteral("\r\n")), answer->c_str());
    QVERIFY(answer->find("Content-Type: application/json\r\n") != std::string::npos);
}

void TstHistoryQuery::callsJsonServedToStrangers_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("passwords");
    QTest::addColumn<bool>("share");
    QTest::addColumn<bool>("served");
    QTest::newRow("loopback") << QStringLiteral("127.0.0.1") << false << false << true;
    QTest::newRow("loopback net") << QStringLiteral("127.3.2.1") << false << false << true;
    QTest::newRow("lan") << QStringLiteral("192.168.1.20") << false << false << false;
    QTest::newRow("unknown peer") << QStringLiteral("0.0.0.0") << false << false << false;
    QTest::newRow("beside loopback") << QStringLiteral("128.0.0.1") << false << false << false;
    QTest::newRow("lan, passwords") << QStringLiteral("192.168.1.20") << true << false << true;
    QTest::newRow("lan, shared") << QStringLiteral("192.168.1.20") << false << true << true;
}

void TstHistoryQuery::callsJsonServedToStrangers()
{
    QFETCH(QString, peer);
    QFETCH(bool, passwords);
    QFETCH(bool, share);
    QFETCH(bool, served);
    makeDatabase(m_path, {{1, kDay0, QStringLiteral("5551234")}});
    TMonitor monitor;
    monitor.SetAppDir(m_dir.path().toStdString());
    monitor.SetDataDirectory(m_dir.path().toStdString(), false);
    monitor.Settings.Logging.Database = m_path.toStdString();
    monitor.Settings.ShareCallerIds = share;
    monitor.WebPasswordsSet = passwords;
    monitor.ApplySettings();
    monitor.Session.B1.CLID = "5559876";
    const uint32_t address = *ParseIPv4(peer.toStdString());

    // Asked twice: the status document kept for one client must not reach the other.
    for (const uint32_t client : {address, kLoopbackAddress, address}) {
        const std::string calls = *monitor.MachineAnswer(TMonitor::kCallsJsonPath, client);
        const bool full = served || client == kLoopbackAddress;
        QVERIFY2(calls.starts_with(full ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.0 403 Forbidden\r\n"), calls.c_str());
        QCOMPARE(calls.find("5551234") != std::string::npos, full);
        QCOMPARE(calls.find("ShareCallerIds=1") != std::string::npos, !full);
        const std::string status = *monitor.MachineAnswer(TMonitor::kStatusJsonPath, client);
        QVERIFY2(status.starts_with("HTTP/1.0 200 OK\r\n"), status.c_str());
        QCOMPARE(status.find("5559876") != std::string::npos, full);
        QCOMPARE(status.find("\"caller_ids_withheld\":true") != std::string::npos, !full);
    }
}

void TstHistoryQuery::callsJsonDifferedFromQtJson_data()
{
    QTest::addColumn<QByteArray>("remote"); // stored as these bytes
    QTest::addColumn<double>("mean");
    QTest::newRow("number") << QByteArray("5551234") << 45.5;
    QTest::newRow("quotes and backslash") << QByteArray(R"(a "b" \\ c)") << 0.0;
    QTest::newRow("control bytes") << QByteArray("\x01\b\f\n\r\t\x1f\x7f", 8) << 100.0;
    QTest::newRow("Latin-1 as UTF-8") << QStringLiteral("Gr\u00fc\u00dfe \u00a9").toUtf8() << 33.333333333333336;
    QTest::newRow("four-byte character") << QByteArray("\xf0\x9f\x93\x9e call") << 1e-7;
    QTest::newRow("empty") << QByteArray("") << 99.99;
}

// The answer is written straight from the statement: byte for byte what Qt's JSON writer made.
void TstHistoryQuery::callsJsonDifferedFromQtJson()
{
    QFETCH(QByteArray, remote);
    QFETCH(double, mean);
    makeDatabase(m_path, {{1, kDay0, QStringLiteral("x")}});
    {
        sqlitedb::TDb db(m_path);
        QVERIFY2(db.exec(QStringLiteral("UPDATE calls SET remote = CAST(? AS TEXT), mean_usage = ?"), {remote, mean}),
                 qPrintable(db.error()));
    }
    THistoryReader reader(m_path);
    const std::vector<TCallRow> rows = reader.callPage(TCallFilter{}, std::nullopt, 10);
    QCOMPARE(rows.size(), std::size_t(1));
    const TCallRow &row = rows.front();
    const QJsonObject call{
        {QStringLiteral("id"), qint64(row.Id)},
        {QStringLiteral("channel"), row.Channel},
        {QStringLiteral("kind"), row.Kind},
        {QStringLiteral("direction"), row.Direction},
        {QStringLiteral("start"), QString::fromStdString(IsoUtc(row.StartUtc))},
        {QStringLiteral("end"), QString::fromStdString(IsoUtc(row.EndUtc))},
        {QStringLiteral("duration_s"), qint64(row.Duration)},
        {QStringLiteral("remote"), row.Remote},
        {QStringLiteral("tx_packets"), qint64(row.TxPackets)},
        {QStringLiteral("rx_packets"), qint64(row.RxPackets)},
        {QStringLiteral("peak_usage"), row.PeakUsage},
        {QStringLiteral("mean_usage"), row.MeanUsage},
        {QStringLiteral("closed_at_stop"), row.ClosedAtStop},
    };
    const QJsonObject document{{QStringLiteral("calls"), QJsonArray{call}},
                               {QStringLiteral("limit"), kCallsJsonDefaultLimit},
                               {QStringLiteral("more"), false}};
    QCOMPARE(QByteArray::fromStdString(CallsJson(m_path, "").Document),
             QJsonDocument(document).toJson(QJsonDocument::Compact));
}

// /calls.json ran its query for every request, and opened the database each time: a repeated
// request now comes from the kept answer until the writer commits, and a new file is read anew.
void TstHistoryQuery::callsJsonQueriedEveryRequest()
{
    makeDatabase(m_path, {{1, kDay0, QStringLiteral("first")}});
    TCallsJsonSource source;
    const auto newest = [&](std::string_view Query) {
        const QJsonObject document =
            QJsonDocument::fromJson(QByteArray::fromStdString(source.answer(m_path, Query).Document)).object();
        return document.value(QStringLiteral("calls")).toArray().first().toObject().value(QStringLiteral("remote"));
    };
    for (int k = 0; k < 50; ++k)
        QCOMPARE(newest("limit=10"), QStringLiteral("first"));
    QCOMPARE(source.queries(), 1);
    QCOMPARE(newest("limit=10&x=1"), QStringLiteral("first")); // the same query, spelt otherwise
    QCOMPARE(newest("limit=5"), QStringLiteral("first"));
    QCOMPARE(source.queries(), 2);

    // The writer commits: the next answer shows the new call.
    QVERIFY(sqlitedb::TDb(m_path).exec(QStringLiteral(
        "INSERT INTO calls(channel, kind, direction, start_utc, end_utc, duration, remote, tx_packets, rx_packets, "
        "peak_usage, mean_usage) VALUES(1, 'data', 'in', 1796605200, 1796605260, 60, 'second', 0, 0, 0, 0)")));
    QCOMPARE(newest("limit=10"), QStringLiteral("second"));
    QCOMPARE(source.queries(), 3);

    // Another file under the same name (moved away, made again) is read, not the old one.
    QVERIFY(QFile::rename(m_path, m_path + QStringLiteral(".old")));
    makeDatabase(m_path, {{2, kDay0, QStringLiteral("third")}});
    QCOMPARE(newest("limit=10"), QStringLiteral("third"));
    QVERIFY(QFile::remove(m_path));
    QCOMPARE(source.answer(m_path, "limit=10").Status, 503);
}

void TstHistoryQuery::machineEndpointsAnswered404ForQuery_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("contentType");
    QTest::newRow("status with a word") << QStringLiteral("/status.json?x") << QStringLiteral("application/json");
    QTest::newRow("status, cache-buster")
        << QStringLiteral("/status.json?_=1796601600") << QStringLiteral("application/json");
    QTest::newRow("metrics with params") << QStringLiteral("/metrics?x=1&y=2") << QStringLiteral("text/plain");
    QTest::newRow("metrics, empty query") << QStringLiteral("/metrics?") << QStringLiteral("text/plain");
}

void TstHistoryQuery::machineEndpointsAnswered404ForQuery()
{
    QFETCH(QString, path);
    QFETCH(QString, contentType);
    TMonitor monitor;
    const std::optional<std::string> answer = monitor.MachineAnswer(path.toStdString());
    QVERIFY(answer);
    QVERIFY2(answer->starts_with("HTTP/1.0 200 OK\r\nContent-Type: " + contentType.toStdString()), answer->c_str());
    QVERIFY(!monitor.MachineAnswer("/metricsx?x=1"));
}

void TstHistoryQuery::csvExportRanFormulas_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("cell"); // as a spreadsheet reads the field
    QTest::newRow("command") << QStringLiteral("=cmd|'/C calc'!A0") << QStringLiteral("'=cmd|'/C calc'!A0");
    QTest::newRow("sum") << QStringLiteral("=2+5") << QStringLiteral("'=2+5");
    QTest::newRow("at") << QStringLiteral("@SUM(1+1)") << QStringLiteral("'@SUM(1+1)");
    QTest::newRow("plus formula") << QStringLiteral("+A1") << QStringLiteral("'+A1");
    QTest::newRow("minus formula") << QStringLiteral("-2+3") << QStringLiteral("'-2+3");
    QTest::newRow("tab") << QStringLiteral("\t=1") << QStringLiteral("'\t=1");
    QTest::newRow("CR") << QStringLiteral("\r=1") << QStringLiteral("'\r=1");
    QTest::newRow("international number") << QStringLiteral("+4930123456") << QStringLiteral("+4930123456");
    QTest::newRow("grouped number") << QStringLiteral("+49 30 123456") << QStringLiteral("+49 30 123456");
    QTest::newRow("plain number") << QStringLiteral("5551234") << QStringLiteral("5551234");
    QTest::newRow("address") << QStringLiteral("198.51.100.7") << QStringLiteral("198.51.100.7");
    QTest::newRow("lone minus") << QStringLiteral("-") << QStringLiteral("-");
    QTest::newRow("quote inside") << QStringLiteral("=\"x\",1") << QStringLiteral("'=\"x\",1");
}

void TstHistoryQuery::csvExportRanFormulas()
{
    QFETCH(QString, remote);
    QFETCH(QString, cell);
    makeDatabase(m_path, {{1, kDay0, remote}});
    THistoryReader reader(m_path);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QCOMPARE(reader.exportCsv(TCallFilter{}, out), std::optional<int64_t>(1));
    const QList<QStringList> rows = readCsv(out.data());
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(1).at(7), cell);
}

// The export wrote through a link at the chosen name into the link's target, and with the
// umask's mode: the name now holds a 0600 file of its own and the target is untouched.
void TstHistoryQuery::exportWroteThroughSymlink()
{
    const QString target = m_dir.filePath(QStringLiteral("precious.txt"));
    const QString link = m_dir.filePath(QStringLiteral("calls.csv"));
    QFile precious(target);
    QVERIFY(precious.open(QIODevice::WriteOnly));
    precious.write("keep me\n");
    precious.close();
    QVERIFY(QFile::link(target, link));
    const mode_t oldMask = ::umask(022);
    TPrivateSaveFile file(link);
    const bool opened = file.open();
    ::umask(oldMask);
    QVERIFY2(opened, qPrintable(file.errorString()));
    file.device().write("id\r\n");
    QVERIFY2(file.commit(), qPrintable(file.errorString()));
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(precious.open(QIODevice::ReadOnly));
    QCOMPARE(precious.readAll(), QByteArray("keep me\n"));
    QFile exported(link);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    QCOMPARE(exported.readAll(), QByteArray("id\r\n"));
    struct stat info
    {
    };
    QCOMPARE(::stat(QFile::encodeName(link).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
    // Nothing is left behind in the folder, also when the export is abandoned.
    {
        TPrivateSaveFile abandoned(m_dir.filePath(QStringLiteral("other.csv")));
        QVERIFY(abandoned.open());
    }
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral(".*.csv.*")}, QDir::Files | QDir::Hidden), QStringList());
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("other.csv"))));
}

// Version 1 called the router's packet counts bytes. Its file reads as packets before the monitor
// next opens it, is renamed in place when it does (the figures kept), and readers kept open
// across that go on reading.
void TstHistoryQuery::historyCountedPacketsAsBytes()
{
    {
        sqlitedb::TDb db(m_path);
        QVERIFY2(db.exec(QString::fromLatin1(kMigrations[0])), qPrintable(db.error()));
        QVERIFY(db.exec(QStringLiteral("PRAGMA user_version = 1")));
        QVERIFY(db.exec(QStringLiteral("INSERT INTO calls(channel, kind, direction, start_utc, end_utc, duration, "
                                       "remote, tx_bytes, rx_bytes, peak_usage, mean_usage) VALUES(1, 'data', "
                                       "'out', %1, %1 + 44, 44, '192.0.2.9', 319, 521, 100, 100)")
                            .arg(kDay0)));
        QVERIFY(db.exec(QStringLiteral("INSERT INTO daily VALUES('2026-12-07', 1, 44, 44, 319, 521)")));
    }
    const auto columns = [this] {
        QStringList names;
        for (const QString &name : sqlitedb::rows(m_path, QStringLiteral("SELECT name FROM pragma_table_info('calls') "
                                                                         "UNION ALL SELECT name FROM "
                                                                         "pragma_table_info('daily')")))
            if (name.startsWith(QLatin1String("tx_")))
                names << name;
        return names;
    };

    THistoryReader reader(m_path);
    TCallsJsonSource json;
    for (const QStringList &expected : {QStringList{"tx_bytes", "tx_bytes"}, QStringList{"tx_packets", "tx_packets"}}) {
        QCOMPARE(columns(), expected);
        const std::vector<TCallRow> page = reader.callPage({}, std::nullopt, 10);
        QCOMPARE(page.size(), std::size_t(1));
        QCOMPARE(page[0].TxPackets, 319);
        QCOMPARE(page[0].RxPackets, 521);
        QCOMPARE(reader.totals(QDate(2026, 12, 7), QDate(2026, 12, 7)), (TTotals{44, 44, 319, 521}));
        QBuffer csv;
        QVERIFY(csv.open(QIODevice::WriteOnly));
        QVERIFY2(reader.exportCsv({}, csv), qPrintable(reader.errorText()));
        const QList<QStringList> rows = readCsv(csv.data());
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].mid(8, 2), (QStringList{"tx_packets", "rx_packets"}));
        QCOMPARE(rows[1].mid(8, 2), (QStringList{"319", "521"}));
        const TJsonAnswer answer = json.answer(m_path, "");
        QCOMPARE(answer.Status, 200);
        const QJsonObject call =
            QJsonDocument::fromJson(QByteArray::fromStdString(answer.Document))["calls"][0].toObject();
        QCOMPARE(call["tx_packets"].toInteger(), 319);
        QCOMPARE(call["rx_packets"].toInteger(), 521);
        QVERIFY(!call.contains(QLatin1String("tx_bytes")));
        // The monitor opens the file: the next round reads the converted one.
        THistoryStore store(m_path);
        store.Post(THistorySession{true, kDay0 + 100, {}});
    }
}

QTEST_GUILESS_MAIN(TstHistoryQuery)
#include "tst_historyquery.moc"
