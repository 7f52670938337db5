// SPDX-License-Identifier: MIT
// lw_historyload: the call history's readers over a big database (make one with
// linewatch-historyfill): the History tab opened until its first page is painted, a page deep in
// the list, the month's totals and their query plan, /calls.json at its limit, and the CSV export's
// rows per second (to /dev/null). Best of several runs each; the file is only read.
//   lw_historyload DATABASE [RUNS]
#include "historyquery.h"
#include "historytab.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

double bestMs(int runs, const std::function<void()> &step)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        step();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: lw_historyload DATABASE [RUNS]\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    history::THistoryReader reader(path);
    if (!reader.isOpen()) {
        std::fprintf(stderr, "%s\n", qPrintable(reader.errorText()));
        return 1;
    }
    const int64_t calls = [&] {
        QFile null(QStringLiteral("/dev/null"));
        null.open(QIODevice::WriteOnly);
        return reader.exportCsv(history::TCallFilter{}, null).value_or(0);
    }();
    std::printf("database: %s, %lld calls, %.1f MB, %.1f bytes a call\n", argv[1], static_cast<long long>(calls),
                QFileInfo(path).size() / 1e6, calls ? double(QFileInfo(path).size()) / double(calls) : 0.0);

    // A new tab each run: its reader opens, the first page, totals and chart load and are painted.
    const double openMs = bestMs(runs, [&] {
        THistoryTab tab;
        tab.resize(740, 420);
        tab.setDatabase(path, true);
        tab.show();
        tab.grab();
        if (tab.model()->rowCount() != THistoryModel::kPageSize)
            std::fprintf(stderr, "first page has %d rows\n", tab.model()->rowCount());
    });
    std::printf("History tab opened, first page painted: %.1f ms (best of %d)\n", openMs, runs);

    // The page after the 900,000th call: a keyset page costs what the first does.
    std::optional<history::TPageKey> deep;
    {
        std::optional<history::TPageKey> after;
        for (int64_t seen = 0; seen + 1000 <= std::min<int64_t>(calls, 900000);) {
            const auto page = reader.callPage({}, after, 1000);
            if (page.empty())
                break;
            seen += int64_t(page.size());
            after = history::TPageKey{page.back().StartUtc, page.back().Id};
        }
        deep = after;
    }
    std::printf("a page of %d deep in the list: %.2f ms; the first page: %.2f ms\n", THistoryModel::kPageSize,
                bestMs(runs, [&] { reader.callPage({}, deep, THistoryModel::kPageSize); }),
                bestMs(runs, [&] { reader.callPage({}, std::nullopt, THistoryModel::kPageSize); }));
    history::TCallFilter b2;
    b2.Channel = 2;
    b2.Caller = QStringLiteral("5551234");
    std::printf("first page filtered by channel and caller: %.2f ms\n",
                bestMs(runs, [&] { reader.callPage(b2, std::nullopt, THistoryModel::kPageSize); }));

    const QDate today = QDate::currentDate();
    std::printf("month totals: %.3f ms; 31 days for the chart: %.3f ms\n",
                bestMs(runs, [&] { reader.totals(QDate(today.year(), today.month(), 1), today); }),
                bestMs(runs, [&] { reader.dailyTotals(today, 31); }));
    std::printf("month totals' query plan: %s\n", qPrintable(reader.totalsPlan().join(QStringLiteral("; "))));
    std::printf("/calls.json?limit=1000, opening the database each time: %.1f ms\n",
                bestMs(runs, [&] { history::CallsJson(path, "limit=1000"); }));
    // The web server's source keeps its connection and its answers; a new "since" each time
    // (before every call, so the same rows) makes it run the query, as the shell's comparison does.
    history::TCallsJsonSource source;
    for (const int limit : {1, 100, 1000}) {
        int run = 0;
        const double ms = bestMs(std::max(runs, 20), [&] {
            const std::string query =
                "limit=" + std::to_string(limit) + "&since=2000-01-01T00:00:" + std::to_string(10 + run++ % 50) + "Z";
            source.answer(path, query);
        });
        std::printf("/calls.json?limit=%d, kept connection, query run: %.3f ms; the same answer kept: %.4f ms\n", limit,
                    ms, bestMs(runs, [&] { source.answer(path, "limit=" + std::to_string(limit)); }));
    }

    const double exportMs = bestMs(std::min(runs, 3), [&] {
        QFile null(QStringLiteral("/dev/null"));
        null.open(QIODevice::WriteOnly);
        reader.exportCsv(history::TCallFilter{}, null);
    });
    std::printf("CSV export: %.0f ms, %.0f rows/s\n", exportMs, double(calls) / (exportMs / 1000));
    return 0;
}
