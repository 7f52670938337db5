// SPDX-License-Identifier: MIT
// lw_history_kill_writer: the writer that history_kill_check.sh kills with SIGKILL. It first
// checks the database a killed predecessor left (opens, passes integrity_check, holds every call
// id listed in the committed file), prints "checked", then writes calls, daily totals and sessions
// through the real store as fast as it can, printing each call's id once it is committed.
// Usage: lw_history_kill_writer DATABASE COMMITTED_IDS [--check-only]
#include "historystore.h"
#include "sqlitedb.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <unordered_set>

namespace {

// Calls written per start: enough to be killed mid-transaction, few enough that hundreds of rounds
// keep the file small and each check quick.
constexpr int kCallsPerRun = 150;

int check(const QString &Path, const QString &IdsFile)
{
    if (!QFile::exists(Path))
        return 0;
    sqlitedb::TDb db(Path);
    if (!db.isOpen()) {
        std::fprintf(stderr, "FAIL: the database does not open\n");
        return 1;
    }
    bool ran = false;
    const QList<QStringList> integrity = db.query(QStringLiteral("PRAGMA integrity_check"), {}, &ran);
    if (!ran || integrity.isEmpty() || integrity[0][0] != QLatin1String("ok")) {
        std::fprintf(stderr, "FAIL: integrity_check: %s\n",
                     qPrintable(ran && !integrity.isEmpty() ? integrity[0][0] : db.error()));
        return 1;
    }
    std::unordered_set<qint64> present;
    for (const QStringList &row : db.query(QStringLiteral("SELECT id FROM calls")))
        present.insert(row[0].toLongLong());
    int status = 0;
    QFile ids(IdsFile);
    if (ids.open(QIODevice::ReadOnly)) {
        while (!ids.atEnd()) {
            bool ok = false;
            const qint64 id = ids.readLine().trimmed().toLongLong(&ok);
            if (ok && !present.count(id)) {
                std::fprintf(stderr, "FAIL: committed call %lld is missing\n", static_cast<long long>(id));
                status = 1;
            }
        }
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: lw_history_kill_writer DATABASE COMMITTED_IDS [--check-only]\n");
        return 2;
    }
    if (const int status = check(args[1], args[2]); status != 0 || args.contains(QStringLiteral("--check-only")))
        return status;
    std::printf("checked\n");
    std::fflush(stdout);

    THistoryStore store(args[1]);
    QObject::connect(&store, &THistoryStore::callWritten, [](qint64 Id) {
        std::printf("%lld\n", static_cast<long long>(Id));
        std::fflush(stdout);
    });
    QObject::connect(&store, &THistoryStore::problem, [](const QString &Text) {
        if (!Text.isEmpty())
            std::fprintf(stderr, "problem: %s\n", qPrintable(Text));
    });
    int n = 0;
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        if (store.Pending() > 16)
            return;
        THistoryCall call;
        call.StartUtc = 1'700'000'000 + n;
        call.EndUtc = call.StartUtc + 60;
        call.Remote = "5551234";
        call.TxPackets = n;
        if (n < kCallsPerRun)
            store.Post(call);
        store.Post(THistoryDaily{"2026-03-01", 1 + n % 2, 1, 1, n, n});
        store.Post(THistorySession{n % 2 == 0, call.StartUtc, "kill check"});
        ++n;
    });
    feed.start(0);
    return app.exec();
}
