// SPDX-License-Identifier: MIT
// linewatch-historyfill: fills a call history database with simulated calls of a busy office
// (working hours, weekdays, data and voice calls on both channels) and their daily totals, for the
// History tab's screenshot, the daemon's export check and the benchmarks.
//   linewatch-historyfill [--calls N] [--days D] [--end YYYY-MM-DD] [--seed S] [--awkward] FILE
#include "historyschema.h"
#include "sqlitedb.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <tuple>
#include <vector>

namespace {

struct TSimCall
{
    int Channel;
    bool Data;
    bool Out;
    qint64 Start;
    qint64 Duration;
    QString Remote;
    qint64 Tx;
    qint64 Rx;
    int Peak;
    double Mean;
};

struct TDaily
{
    qint64 Connected = 0;
    qint64 Outcall = 0;
    qint64 Tx = 0;
    qint64 Rx = 0;
};

int fail(const QString &Text)
{
    std::fprintf(stderr, "linewatch-historyfill: %s\n", qPrintable(Text));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Fills a call history database with simulated calls."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("calls"), QStringLiteral("Number of calls (default 3000)."), QStringLiteral("N"),
         QStringLiteral("3000")},
        {QStringLiteral("days"), QStringLiteral("Days the calls spread over (default 31)."), QStringLiteral("D"),
         QStringLiteral("31")},
        {QStringLiteral("end"), QStringLiteral("Last local day (default today)."), QStringLiteral("YYYY-MM-DD")},
        {QStringLiteral("seed"), QStringLiteral("Random seed (default 1)."), QStringLiteral("S"), QStringLiteral("1")},
        {QStringLiteral("awkward"), QStringLiteral("Some callers with quotes, commas, line ends and non-ASCII.")},
    });
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The database to make (must not exist)."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        return fail(QStringLiteral("name one database file"));
    const QString path = parser.positionalArguments().front();
    if (QFile::exists(path))
        return fail(QStringLiteral("%1 exists already").arg(path));
    const qint64 count = parser.value(QStringLiteral("calls")).toLongLong();
    const int days = parser.value(QStringLiteral("days")).toInt();
    const QDate end = parser.isSet(QStringLiteral("end"))
                          ? QDate::fromString(parser.value(QStringLiteral("end")), Qt::ISODate)
                          : QDate::currentDate();
    if (count < 0 || days < 1 || !end.isValid())
        return fail(QStringLiteral("bad --calls, --days or --end"));
    std::mt19937_64 random(parser.value(QStringLiteral("seed")).toULongLong());
    const bool awkward = parser.isSet(QStringLiteral("awkward"));

    // Working days weigh ten times a weekend day; calls fall between 07:30 and 19:00 local time.
    const QDate first = end.addDays(1 - days);
    std::vector<int> weights;
    for (int d = 0; d < days; ++d)
        weights.push_back(first.addDays(d).dayOfWeek() >= 6 ? 1 : 10);
    std::discrete_distribution<int> pickDay(weights.begin(), weights.end());
    std::uniform_int_distribution<int> pickSecond(7 * 3600 + 1800, 19 * 3600);
    std::uniform_int_distribution<int> percent(0, 99);
    std::exponential_distribution<double> dataMinutes(1.0 / 12);
    std::exponential_distribution<double> voiceMinutes(1.0 / 4);
    const QStringList numbers{QStringLiteral("5551234"), QStringLiteral("0305558812"), QStringLiteral("5559876"),
                              QStringLiteral("0897712"), QStringLiteral("0401234567"), QStringLiteral("5550100"),
                              QStringLiteral("0221990"), QStringLiteral("0611455"),    QStringLiteral("5552368")};
    const QStringList hosts{QStringLiteral("192.0.2.80"), QStringLiteral("198.51.100.7"),
                            QStringLiteral("203.0.113.25"), QStringLiteral("192.0.2.1")};
    const QStringList odd{QStringLiteral("Müller, \"Büro\""), QStringLiteral("line\r\nbreak"),
                          QStringLiteral("☎ 0305551")};

    std::vector<TSimCall> calls;
    calls.reserve(std::size_t(count));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (qint64 i = 0; i < count; ++i) {
        TSimCall call{};
        call.Channel = 1 + int(random() % 2);
        call.Data = percent(random) < 70;
        call.Out = call.Data ? percent(random) < 90 : percent(random) < 40;
        call.Start = QDateTime(first.addDays(pickDay(random)), QTime(0, 0)).toSecsSinceEpoch() + pickSecond(random);
        call.Duration = 5 + qint64(60 * (call.Data ? dataMinutes(random) : voiceMinutes(random)));
        if (call.Start + call.Duration > now)
            call.Start = now - call.Duration - qint64(random() % 86400);
        if (awkward && percent(random) < 5)
            call.Remote = odd[int(random() % odd.size())];
        else
            call.Remote =
                call.Data && call.Out ? hosts[int(random() % hosts.size())] : numbers[int(random() % numbers.size())];
        if (call.Data) {
            call.Mean = 5 + percent(random) * 0.9;
            call.Peak = std::min(100, int(call.Mean) + percent(random) / 3);
            // The router counts packets: 64 kbit/s at the mean usage in packets of some 300
            // bytes, mostly received.
            const qint64 packets = qint64(call.Duration * 8000 * call.Mean / 100 / 300);
            call.Rx = packets * 4 / 5;
            call.Tx = packets - call.Rx;
        }
        calls.push_back(call);
    }
    // The writer inserts a call when it ends, so ids follow the end times.
    std::sort(calls.begin(), calls.end(), [](const TSimCall &a, const TSimCall &b) {
        return std::tie(a.Start, a.Duration) < std::tie(b.Start, b.Duration);
    });
    std::stable_sort(calls.begin(), calls.end(),
                     [](const TSimCall &a, const TSimCall &b) { return a.Start + a.Duration < b.Start + b.Duration; });

    {
        sqlitedb::TDb db(path);
        if (!db.isOpen())
            return fail(db.error());
        db.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        for (const char *step : history::kMigrations)
            if (!db.exec(QString::fromLatin1(step)))
                return fail(db.error());
        db.exec(QStringLiteral("PRAGMA user_version = %1").arg(history::kSchemaVersion));
        db.exec(QStringLiteral("BEGIN"));
        std::map<std::pair<QString, int>, TDaily> daily;
        {
            sqlitedb::TStatement insert(
                db.handle(),
                QStringLiteral("INSERT INTO calls(channel, kind, direction, start_utc, end_utc, duration, remote, "
                               "tx_packets, rx_packets, peak_usage, mean_usage) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                               "?)"));
            const QString data = QStringLiteral("data"), voice = QStringLiteral("voice");
            const QString in = QStringLiteral("in"), out = QStringLiteral("out");
            for (const TSimCall &call : calls) {
                if (!insert.run({call.Channel, call.Data ? data : voice, call.Out ? out : in, call.Start,
                                 call.Start + call.Duration, call.Duration, call.Remote, call.Tx, call.Rx, call.Peak,
                                 call.Mean}))
                    return fail(db.error());
                TDaily &day =
                    daily[{QDateTime::fromSecsSinceEpoch(call.Start).date().toString(Qt::ISODate), call.Channel}];
                day.Connected += call.Duration;
                day.Outcall += call.Out ? call.Duration : 0;
                day.Tx += call.Tx;
                day.Rx += call.Rx;
            }
        }
        {
            sqlitedb::TStatement insert(db.handle(), QStringLiteral("INSERT INTO daily VALUES(?, ?, ?, ?, ?, ?)"));
            for (const auto &[key, day] : daily)
                if (!insert.run({key.first, key.second, day.Connected, day.Outcall, day.Tx, day.Rx}))
                    return fail(db.error());
        }
        if (!db.exec(QStringLiteral("COMMIT")))
            return fail(db.error());
        db.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    std::printf("%lld calls over %d days to %s\n", static_cast<long long>(count), days, qPrintable(path));
    return 0;
}
