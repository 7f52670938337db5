// SPDX-License-Identifier: MIT
// The call history's writer: the recorder driven with simulated status records (calls, counters
// that wrap or start again, a rebooting router, two channels at once, a day change) read back from
// a temporary database, and the store's faults: locked, unwritable, full, deleted, damaged, newer.
#include "apperror.h"
#include "historyschema.h"
#include "historystore.h"
#include "inifile.h"
#include "monitor.h"
#include "sqlitedb.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

constexpr int64_t kT0 = 1'700'000'000'000; // ms; the scenarios' tick k falls at kT0 + k s

struct TStep
{
    TChannelStatus B1;
    TChannelStatus B2;
    std::string Day = "2026-03-01";
};
using TScript = std::vector<TStep>;

TChannelStatus ch(const std::string &Link, int64_t Tx = 0, int64_t Rx = 0, int32_t Clu = 0,
                  const std::string &Clid = {}, const std::string &Ip = "0.0.0.0")
{
    TChannelStatus c;
    c.Link = Link;
    c.TX = Tx;
    c.RX = Rx;
    c.CLU = Clu;
    c.CLID = Clid;
    c.IP = Ip;
    return c;
}

using sqlitedb::rows;

const QString kCallsSql = QStringLiteral("SELECT channel, kind, direction, start_utc - %1, end_utc - %1, duration, "
                                         "remote, tx_packets, rx_packets, peak_usage, "
                                         "printf('%.1f', mean_usage), closed_at_stop FROM calls ORDER BY id")
                              .arg(kT0 / 1000);
const QString kDailySql =
    QStringLiteral("SELECT day, channel, connected_seconds, outcall_seconds, tx_packets, rx_packets "
                   "FROM daily ORDER BY day, channel");

THistoryCall aCall(int N = 0)
{
    THistoryCall call;
    call.StartUtc = 1000 + N;
    call.EndUtc = 1060 + N;
    call.Remote = "5551234";
    call.TxPackets = 100;
    return call;
}

QFileInfoList asideFiles(const QString &Dir)
{
    return QDir(Dir).entryInfoList({QStringLiteral("history.sqlite.corrupt-*")}, QDir::Files);
}

} // namespace

Q_DECLARE_METATYPE(TScript)

class TstHistory : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        for (const QFileInfo &f : QDir(m_dir.path()).entryInfoList(QDir::Files | QDir::NoDotAndDotDot))
            QFile::remove(f.filePath());
    }
    void recorder_data();
    void recorder();
    void outgoingVoiceCallShowedZeroAddress();
    void sessionsKeepTheirReason();
    void lockedDatabaseWaitsAndWritesLater();
    void unwritablePlace_data();
    void unwritablePlace();
    void fullDiskReportedOnce();
    void deletedWhileRunningStartsAgain();
    void damagedFileMovedAside_data();
    void damagedFileMovedAside();
    void newerDatabaseRefused();
    void retentionDeletesOldRows();
    void fullQueueDropsTotalsBeforeCalls();
    void monitorFollowsLoggingSettings();
    void monitorRecordsRouterSessions();
    void loggingSectionRoundTrip();
    void unwritableHistoryDroppedCallsSilently();
    void historyFileWasWorldReadable_data();
    void historyFileWasWorldReadable();
    void twoSettingsFilesSharedOneHistory_data();
    void twoSettingsFilesSharedOneHistory();
    void historyOfAnotherRouterWasMixed_data();
    void historyOfAnotherRouterWasMixed();

private:
    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath(QStringLiteral("history.sqlite")); }
};

void TstHistory::recorder_data()
{
    QTest::addColumn<TScript>("script");
    QTest::addColumn<bool>("stopAtEnd");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("daily");

    const TChannelStatus idle = ch("Idle");
    const auto call = [](TScript &s, int Ticks, const std::function<TStep(int)> &At) {
        for (int k = 0; k < Ticks; ++k)
            s.push_back(At(k));
    };

    {
        // Ticks 0-1 idle, 2-11 a data call (1000 packets out, 2000 in a second), 12 idle.
        TScript s{{ch("Idle", 5000, 7000), idle}, {ch("Idle", 5000, 7000), idle}};
        call(s, 10, [&](int k) {
            return TStep{ch("PPP", 6000 + 1000 * k, 9000 + 2000 * k, k < 5 ? 40 : 80, {}, "10.0.0.9"), idle};
        });
        s.push_back({ch("Idle", 16000, 29000), idle});
        QTest::newRow("outgoing data call")
            << s << false << QStringList{"1 data out 2 12 10 10.0.0.9 11000 22000 80 60.0 0"}
            << QStringList{"2026-03-01 1 10 10 11000 22000", "2026-03-01 2 0 0 0 0"};
    }
    {
        // The caller ID shows on the call's second tick: incoming from its start.
        TScript s{{idle, idle}};
        s.push_back({idle, ch("Voice", 0, 0, 0)});
        call(s, 5, [&](int) { return TStep{idle, ch("Voice", 0, 0, 100, "5551234")}; });
        s.push_back({idle, ch("Down")});
        QTest::newRow("incoming voice call") << s << false << QStringList{"2 voice in 1 7 6 5551234 0 0 100 83.3 0"}
                                             << QStringList{"2026-03-01 1 0 0 0 0", "2026-03-01 2 6 0 0 0"};
    }
    {
        // Reset pressed mid-call: the counter starts again from nothing; before and after both count.
        TScript s{{ch("Idle", 5000), idle}};
        call(s, 4, [&](int k) { return TStep{ch("PPP", 6000 + 1000 * k), idle}; });
        s.push_back({ch("PPP", 300), idle});
        s.push_back({ch("PPP", 1300), idle});
        s.push_back({ch("Idle", 1300), idle});
        QTest::newRow("counter reset mid-call") << s << false << QStringList{"1 data out 1 7 6 0.0.0.0 5300 0 0 0.0 0"}
                                                << QStringList{"2026-03-01 1 6 6 5300 0", "2026-03-01 2 0 0 0 0"};
    }
    {
        // A 32-bit counter passes its top: 296 packets to the top and 200 after it.
        TScript s{{ch("Idle", 4294966000), idle}};
        s.push_back({ch("PPP", 4294967000), idle});
        s.push_back({ch("PPP", 200), idle});
        s.push_back({ch("Idle", 200), idle});
        QTest::newRow("counter wraps") << s << false << QStringList{"1 data out 1 3 2 0.0.0.0 1496 0 0 0.0 0"}
                                       << QStringList{"2026-03-01 1 2 2 1496 0", "2026-03-01 2 0 0 0 0"};
    }
    {
        // The router reboots mid-call: no status for three ticks, then idle with its counters at
        // zero; the call ends where it was last seen, the next call counts from zero.
        TScript s{{ch("Idle", 5000), idle}};
        call(s, 4, [&](int k) { return TStep{ch("PPP", 6000 + 1000 * k), idle}; });
        call(s, 3, [&](int) { return TStep{ch("No Data"), ch("No Data")}; });
        s.push_back({ch("Idle", 0), idle});
        call(s, 3, [&](int k) { return TStep{ch("PPP", 100 * (k + 1)), idle}; });
        s.push_back({ch("Idle", 300), idle});
        QTest::newRow("router reboots mid-call")
            << s << false
            << QStringList{"1 data out 1 4 3 0.0.0.0 4000 0 0 0.0 0", "1 data out 9 12 3 0.0.0.0 300 0 0 0.0 0"}
            << QStringList{"2026-03-01 1 6 6 4300 0", "2026-03-01 2 0 0 0 0"};
    }
    {
        // Two calls at once: B1 dials out, B2 takes a call meanwhile.
        TScript s{{idle, idle}};
        call(s, 6, [&](int k) {
            return TStep{ch("PPP", 500 * (k + 1), 0, 10, {}, "10.1.1.1"), k >= 2 ? ch("Voice", 0, 0, 0, "777") : idle};
        });
        s.push_back({idle, ch("Voice", 0, 0, 0, "777")});
        s.push_back({idle, idle});
        QTest::newRow("two calls at once")
            << s << false
            << QStringList{"1 data out 1 7 6 10.1.1.1 3000 0 10 10.0 0", "2 voice in 3 8 5 777 0 0 0 0.0 0"}
            << QStringList{"2026-03-01 1 6 6 3000 0", "2026-03-01 2 5 0 0 0"};
    }
    {
        // Midnight passes mid-call: one call row, its time split between the two days.
        TScript s{{idle, idle}};
        call(s, 8, [&](int k) { return TStep{ch("PPP", 100 * (k + 1)), idle, k < 4 ? "2026-03-01" : "2026-03-02"}; });
        s.push_back({idle, idle, "2026-03-02"});
        QTest::newRow("day changes mid-call") << s << false << QStringList{"1 data out 1 9 8 0.0.0.0 800 0 0 0.0 0"}
                                              << QStringList{"2026-03-01 1 3 3 400 0", "2026-03-01 2 0 0 0 0",
                                                             "2026-03-02 1 5 5 400 0", "2026-03-02 2 0 0 0 0"};
    }
    {
        // The monitor stops with a call open: closed at that moment and marked so.
        TScript s{{idle, idle}};
        call(s, 4, [&](int k) { return TStep{ch("PPP", 100 * (k + 1)), idle}; });
        QTest::newRow("open call closed at stop") << s << true << QStringList{"1 data out 1 5 4 0.0.0.0 400 0 0 0.0 1"}
                                                  << QStringList{"2026-03-01 1 3 3 400 0"};
    }
}

void TstHistory::recorder()
{
    QFETCH(TScript, script);
    QFETCH(bool, stopAtEnd);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, daily);
    {
        THistoryStore store(path());
        TCallRecorder recorder;
        recorder.Emit = [&](THistoryEvent Event) { store.Post(std::move(Event)); };
        for (size_t k = 0; k < script.size(); ++k)
            recorder.Tick(script[k].B1, script[k].B2, kT0 + int64_t(k) * 1000, script[k].Day);
        if (stopAtEnd)
            recorder.Stop(kT0 + int64_t(script.size()) * 1000);
    }
    QCOMPARE(rows(path(), kCallsSql), calls);
    // Totals with nothing in them are never written; empty rows above stand for none.
    QStringList written = rows(path(), kDailySql);
    daily.removeIf([](const QString &Row) { return Row.endsWith(QLatin1String(" 0 0 0 0")); });
    QCOMPARE(written, daily);
}

void TstHistory::outgoingVoiceCallShowedZeroAddress()
{
    // A voice call the office dialled out: the router shows 0.0.0.0 as its address and no caller
    // ID. A data call without an address keeps 0.0.0.0.
    std::vector<THistoryCall> calls;
    TCallRecorder recorder;
    recorder.Emit = [&](THistoryEvent Event) {
        if (auto *call = std::get_if<THistoryCall>(&Event))
            calls.push_back(*call);
    };
    const TScript script{{ch("Idle"), ch("Idle")},
                         {ch("Voice"), ch("PPP", 10)},
                         {ch("Voice"), ch("PPP", 20)},
                         {ch("Idle"), ch("Idle", 20)}};
    for (size_t k = 0; k < script.size(); ++k)
        recorder.Tick(script[k].B1, script[k].B2, kT0 + int64_t(k) * 1000, script[k].Day);
    std::sort(calls.begin(), calls.end(), [](const auto &a, const auto &b) { return a.Channel < b.Channel; });
    QCOMPARE(calls.size(), size_t(2));
    QVERIFY(calls[0].Voice && !calls[0].Incoming);
    QCOMPARE(calls[0].Remote, std::string());
    QCOMPARE(calls[1].Remote, std::string("0.0.0.0"));
}

void TstHistory::sessionsKeepTheirReason()
{
    {
        THistoryStore store(path());
        TCallRecorder recorder;
        recorder.Emit = [&](THistoryEvent Event) { store.Post(std::move(Event)); };
        recorder.SessionConnected(kT0);
        recorder.SessionLost(kT0 + 5000, "Connection reset by peer");
        recorder.SessionConnected(kT0 + 9000);
        recorder.Stop(kT0 + 12000);
    }
    QCOMPARE(rows(path(), QStringLiteral("SELECT connected_utc - %1, ended_utc - %1, reason FROM sessions ORDER BY id")
                              .arg(kT0 / 1000)),
             (QStringList{"0 5 Connection reset by peer", "9 12 the monitor stopped"}));
}

void TstHistory::lockedDatabaseWaitsAndWritesLater()
{
    THistoryStore::TOptions options;
    options.BusyTimeoutMs = 20;
    options.RetryMs = 50;
    THistoryStore store(path(), options);
    QSignalSpy problems(&store, &THistoryStore::problem);
    QSignalSpy written(&store, &THistoryStore::callWritten);
    store.Post(aCall());
    QTRY_COMPARE(written.count(), 1);

    // Another program holds the write lock.
    {
        sqlitedb::TDb other(path());
        QVERIFY(other.isOpen());
        QVERIFY2(other.exec(QStringLiteral("BEGIN EXCLUSIVE")), qPrintable(other.error()));
        for (int n = 1; n <= 3; ++n)
            store.Post(aCall(n));
        QTRY_COMPARE(problems.count(), 1);
        QVERIFY(problems.at(0).at(0).toString().contains(QLatin1String("locked by another program")));
        QTest::qWait(300); // several retries: still one report
        QCOMPARE(problems.count(), 1);
        QCOMPARE(written.count(), 1);
        QVERIFY(store.Pending() >= 2);
        QVERIFY(other.exec(QStringLiteral("COMMIT")));
    }
    QTRY_COMPARE(written.count(), 4);
    QTRY_COMPARE(problems.count(), 2);
    QCOMPARE(problems.at(1).at(0).toString(), QString());
}

void TstHistory::unwritablePlace_data()
{
    QTest::addColumn<bool>("byPermissions");
    QTest::addColumn<QString>("report");
    QTest::newRow("read-only folder") << true << "cannot be written";
    QTest::newRow("folder cannot be made") << false << "cannot be made";
}

void TstHistory::unwritablePlace()
{
    QFETCH(bool, byPermissions);
    QFETCH(QString, report);
    if (byPermissions && ::geteuid() == 0)
        QSKIP("root writes into read-only folders");
    const QString dir = m_dir.filePath(QStringLiteral("place"));
    QString file = dir + QStringLiteral("/history.sqlite");
    int before = 0;
    if (byPermissions) {
        // An existing history in a folder and file that became read-only.
        {
            THistoryStore store(file);
            store.Post(aCall(9));
        }
        before = 1;
        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner));
        QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    } else {
        // A plain file where the folder should be stops even root.
        QFile blocker(dir);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        file = dir + QStringLiteral("/sub/history.sqlite");
    }
    THistoryStore::TOptions options;
    options.RetryMs = 50;
    {
        THistoryStore store(file, options);
        QSignalSpy problems(&store, &THistoryStore::problem);
        QSignalSpy written(&store, &THistoryStore::callWritten);
        store.Post(aCall());
        store.Post(aCall(1));
        QTRY_COMPARE(problems.count(), 1);
        QVERIFY2(problems.at(0).at(0).toString().contains(report), qPrintable(problems.at(0).at(0).toString()));
        QTest::qWait(200);
        QCOMPARE(problems.count(), 1);
        QCOMPARE(store.Pending(), size_t(2));

        if (byPermissions) {
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner));
        } else
            QVERIFY(QFile::remove(dir));
        QTRY_COMPARE(written.count(), 2);
        QTRY_COMPARE(problems.count(), 2);
        QCOMPARE(problems.at(1).at(0).toString(), QString());
    }
    QCOMPARE(rows(file, QStringLiteral("SELECT count(*) FROM calls")), QStringList{QString::number(before + 2)});
    QDir(dir).removeRecursively();
    QFile::remove(dir);
}

void TstHistory::fullDiskReportedOnce()
{
    THistoryStore::TOptions options;
    options.RetryMs = 50;
    options.MaxPageCount = 8;
    THistoryStore store(path(), options);
    QSignalSpy problems(&store, &THistoryStore::problem);
    QSignalSpy written(&store, &THistoryStore::callWritten);
    THistoryCall big = aCall();
    big.Remote.assign(3000, '7');
    for (int n = 0; n < 6; ++n)
        store.Post(big);
    QTRY_COMPARE(problems.count(), 1);
    QVERIFY(problems.at(0).at(0).toString().contains(QLatin1String("is full")));
    QTest::qWait(200);
    QCOMPARE(problems.count(), 1);
    QVERIFY(written.count() < 6);
    QCOMPARE(store.Pending(), size_t(6 - written.count()));
}

void TstHistory::deletedWhileRunningStartsAgain()
{
    THistoryStore store(path());
    QSignalSpy problems(&store, &THistoryStore::problem);
    QSignalSpy written(&store, &THistoryStore::callWritten);
    store.Post(aCall());
    QTRY_COMPARE(written.count(), 1);
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(path() + QLatin1String(suffix));
    store.Post(aCall(1));
    QTRY_COMPARE(written.count(), 2);
    QCOMPARE(problems.count(), 1);
    QVERIFY(problems.at(0).at(0).toString().contains(QLatin1String("deleted")));
    QCOMPARE(rows(path(), QStringLiteral("SELECT start_utc FROM calls")), QStringList{"1001"});
}

void TstHistory::damagedFileMovedAside_data()
{
    QTest::addColumn<bool>("pageDamaged");
    QTest::newRow("not a database") << false;
    QTest::newRow("damaged page") << true;
}

void TstHistory::damagedFileMovedAside()
{
    QFETCH(bool, pageDamaged);
    if (pageDamaged) {
        {
            THistoryStore store(path());
            for (int n = 0; n < 300; ++n)
                store.Post(aCall(n));
        }
        // Scribble over the pages after the first.
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.size() > 4 * 4096);
        file.seek(2 * 4096);
        file.write(QByteArray(2 * 4096, '\x5a'));
    } else {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("these are the user's notes, not a database\n");
    }
    {
        THistoryStore store(path());
        QSignalSpy problems(&store, &THistoryStore::problem);
        QSignalSpy written(&store, &THistoryStore::callWritten);
        store.Post(aCall(7));
        QTRY_COMPARE(written.count(), 1);
        QCOMPARE(problems.count(), 1);
        QVERIFY(problems.at(0).at(0).toString().contains(QLatin1String("damaged")));
    }
    const QFileInfoList aside = asideFiles(m_dir.path());
    QCOMPARE(aside.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^history\\.sqlite\\.corrupt-\\d{8}-\\d{6}$"))
                .match(aside.at(0).fileName())
                .hasMatch());
    QCOMPARE(rows(path(), QStringLiteral("SELECT start_utc FROM calls")), QStringList{"1007"});
}

void TstHistory::newerDatabaseRefused()
{
    {
        sqlitedb::TDb db(path());
        QVERIFY(db.exec(QStringLiteral("CREATE TABLE calls(future TEXT)")));
        QVERIFY(db.exec(QStringLiteral("PRAGMA user_version=%1").arg(history::kSchemaVersion + 1)));
    }
    {
        THistoryStore store(path());
        QSignalSpy problems(&store, &THistoryStore::problem);
        store.Post(aCall());
        QTRY_COMPARE(problems.count(), 1);
        QVERIFY(problems.at(0).at(0).toString().contains(QLatin1String("newer version")));
        store.Post(aCall(1));
        QTest::qWait(100);
        QCOMPARE(problems.count(), 1);
    }
    QCOMPARE(rows(path(), QStringLiteral("PRAGMA user_version")),
             QStringList{QString::number(history::kSchemaVersion + 1)});
    QCOMPARE(rows(path(), QStringLiteral("SELECT count(*) FROM calls")), QStringList{"0"});
    QVERIFY(asideFiles(m_dir.path()).isEmpty());
}

void TstHistory::retentionDeletesOldRows()
{
    const int64_t now = QDateTime::currentSecsSinceEpoch();
    {
        THistoryStore store(path());
        THistoryCall old = aCall();
        old.StartUtc = now - 40 * 86400;
        THistoryCall recent = aCall();
        recent.StartUtc = now - 5 * 86400;
        store.Post(old);
        store.Post(recent);
        store.Post(THistoryDaily{"2000-01-01", 1, 10, 10, 0, 0});
        store.Post(THistoryDaily{QDate::currentDate().toString(Qt::ISODate).toStdString(), 1, 10, 10, 0, 0});
    }
    THistoryStore::TOptions options;
    options.RetentionDays = 30;
    {
        THistoryStore store(path(), options);
    }
    QCOMPARE(rows(path(), QStringLiteral("SELECT count(*) FROM calls")), QStringList{"1"});
    QCOMPARE(rows(path(), QStringLiteral("SELECT count(*) FROM daily")), QStringList{"1"});
}

void TstHistory::fullQueueDropsTotalsBeforeCalls()
{
    // The folder cannot be made, so everything waits.
    QFile blocker(m_dir.filePath(QStringLiteral("blocked")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    THistoryStore::TOptions options;
    options.RetryMs = 50;
    THistoryStore store(blocker.fileName() + QStringLiteral("/history.sqlite"), options);
    for (size_t n = 0; n < THistoryStore::kMaxPending / 2; ++n)
        store.Post(THistoryDaily{"2026-03-" + std::to_string(1 + n % 28) + "-" + std::to_string(n), 1, 1, 0, 0, 0});
    for (size_t n = 0; n < THistoryStore::kMaxPending; ++n)
        store.Post(aCall(int(n)));
    QCOMPARE(store.Pending(), THistoryStore::kMaxPending);
    // With no totals left, the oldest call goes.
    store.Post(aCall(-1));
    QCOMPARE(store.Pending(), THistoryStore::kMaxPending);
    QFile::remove(blocker.fileName());
    QTRY_COMPARE_WITH_TIMEOUT(store.Pending(), size_t(0), 10000);
    QCOMPARE(rows(store.Path(), QStringLiteral("SELECT count(*) FROM calls")),
             QStringList{QString::number(THistoryStore::kMaxPending)});
    QCOMPARE(rows(store.Path(), QStringLiteral("SELECT count(*) FROM daily")), QStringList{"0"});
}

void TstHistory::monitorFollowsLoggingSettings()
{
    const QString dataDir = m_dir.filePath(QStringLiteral("data"));
    const QString file = dataDir + QStringLiteral("/history.sqlite");
    {
        TMonitor monitor;
        monitor.SetAppDir(m_dir.path().toStdString());
        QVERIFY(monitor.HistoryDatabasePath().isEmpty());
        monitor.SetDataDirectory(dataDir.toStdString(), false);
        monitor.ApplySettings();
        QCOMPARE(monitor.HistoryDatabasePath(), file);
        // The packets of each call are needed even with no view and no web page.
        QVERIFY(monitor.Session.WantFullPass());

        monitor.Session.B1 = ch("PPP", 100);
        monitor.Tick();
        monitor.Session.B1 = ch("PPP", 300);
        monitor.Tick();
        monitor.Settings.Logging.Enabled = false;
        monitor.Tick();
        QVERIFY(monitor.HistoryDatabasePath().isEmpty());
        QVERIFY(!monitor.Session.WantFullPass());
        monitor.Settings.Logging.Enabled = true;
        monitor.Tick();
        QCOMPARE(monitor.HistoryDatabasePath(), file);
    }
    // Switching off closed the open call as at a stop, and so did the monitor's end.
    QCOMPARE(rows(file, QStringLiteral("SELECT channel, tx_packets, closed_at_stop FROM calls ORDER BY id")),
             (QStringList{"1 200 1", "1 0 1"}));
}

void TstHistory::monitorRecordsRouterSessions()
{
    const QString dataDir = m_dir.filePath(QStringLiteral("data"));
    {
        // Reconnecting stays on (its wait names the reason) but never reaches out.
        TMonitor::THooks hooks;
        hooks.StartConnect = [](TClientSocket &) {};
        TMonitor monitor(hooks);
        monitor.SetAppDir(m_dir.path().toStdString());
        monitor.SetDataDirectory(dataDir.toStdString(), false);
        monitor.ApplySettings();
        // The session's disconnect handling, in its order: a loss the monitor did not ask for,
        // then one it did (no ConnectionLost).
        TMonitor::TSession &s = monitor.Session;
        s.ConnectionChanged(true);
        s.ConnectionChanged(false);
        s.ConnectionLost();
        s.ConnectionEnded();
        s.ConnectionChanged(true);
        s.ConnectionChanged(false);
        s.ConnectionEnded();
        s.ConnectionChanged(true);
    }
    QCOMPARE(rows(dataDir + QStringLiteral("/history.sqlite"),
                  QStringLiteral("SELECT ended_utc IS NOT NULL, reason FROM sessions ORDER BY id")),
             (QStringList{"1 the router closed the connection", "1 disconnected", "1 the monitor stopped"}));
}

void TstHistory::loggingSectionRoundTrip()
{
    const std::string file = m_dir.filePath(QStringLiteral("linewatch.ini")).toStdString();
    TSettings saved;
    saved.Logging = {false, "calls/history.sqlite", 90};
    {
        TIniFile ini(file);
        SaveSettings(ini, saved);
    }
    TSettings loaded;
    LoadSettings(TIniFile(file), loaded);
    QVERIFY(loaded.Logging == saved.Logging);
    QCOMPARE(HistoryDatabasePath(loaded.Logging, "/etc/lw/", false, "/home/u/.local/share/linewatch"),
             std::string("/etc/lw/calls/history.sqlite"));

    // Days out of range are clamped, not refused.
    for (const auto &[text, days] : {std::pair{"-5", 0}, std::pair{"999999", TLoggingSettings::kMaxRetentionDays}}) {
        {
            TIniFile ini(file);
            ini.WriteString("Logging", "RetentionDays", text);
            ini.UpdateFile();
        }
        LoadSettings(TIniFile(file), loaded);
        QCOMPARE(loaded.Logging.RetentionDays, days);
    }
}

// Calls that could not be written were dropped at the stop without a line.
void TstHistory::unwritableHistoryDroppedCallsSilently()
{
    const QString dataDir = m_dir.filePath(QStringLiteral("unwritable"));
    const QString file = dataDir + QStringLiteral("/history.sqlite");
    QVERIFY(QDir().mkpath(file)); // a folder where the file should be
    QStringList logged;
    ResetLogLimits();
    const LogSink previous = SetLogSink([&logged](const std::string &line) { logged << QString::fromStdString(line); });
    {
        TMonitor monitor;
        monitor.SetAppDir(m_dir.path().toStdString());
        monitor.SetDataDirectory(dataDir.toStdString(), false);
        monitor.ApplySettings();
        monitor.Session.B1 = ch("PPP", 100);
        monitor.Tick();
        monitor.Session.B1 = ch("Idle");
        monitor.Tick();
        // Another call is under way at the stop, and closed there.
        monitor.Session.B2 = ch("PPP", 50);
        monitor.Tick();
    }
    SetLogSink(previous);
    const QStringList lost = logged.filter(QStringLiteral("could not be written"));
    QCOMPARE(lost.size(), 1);
    QVERIFY2(lost.at(0).contains(QStringLiteral("2 calls could not be written to %1: ").arg(file)),
             qPrintable(lost.at(0)));
    QDir(dataDir).removeRecursively();
}

void TstHistory::historyFileWasWorldReadable_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<bool>("existing"); // a file an earlier run left 0666
    QTest::newRow("umask 022") << 022 << false;
    QTest::newRow("umask 002") << 002 << false;
    QTest::newRow("umask 000") << 000 << false;
    QTest::newRow("umask 022, file left wide") << 022 << true;
}

void TstHistory::historyFileWasWorldReadable()
{
    QFETCH(int, mask);
    QFETCH(bool, existing);
    if (existing) {
        {
            THistoryStore store(path());
            store.Post(aCall());
        }
        QVERIFY(::chmod(QFile::encodeName(path()).constData(), 0666) == 0);
    }
    const mode_t saved = ::umask(mode_t(mask));
    QStringList modes;
    {
        THistoryStore store(path());
        QSignalSpy written(&store, &THistoryStore::callWritten);
        store.Post(aCall(1));
        QTRY_COMPARE(written.count(), 1);
        for (const char *suffix : {"", "-wal", "-shm"}) {
            struct stat st
            {
            };
            QVERIFY(::stat(QFile::encodeName(path() + QLatin1String(suffix)).constData(), &st) == 0);
            modes << QString::number(st.st_mode & 07777, 8);
        }
    }
    ::umask(saved);
    QCOMPARE(modes, (QStringList{"600", "600", "600"}));
}

void TstHistory::twoSettingsFilesSharedOneHistory_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("shared");
    QTest::newRow("two sites") << "a/site1.ini"
                               << "a/site2.ini" << false;
    QTest::newRow("one name in two folders") << "a/site.ini"
                                             << "b/site.ini" << false;
    QTest::newRow("one file by two paths") << "a/site.ini"
                                           << "b/../a/site.ini" << true;
    QTest::newRow("a link to it") << "a/site.ini"
                                  << "link.ini" << true;
    QTest::newRow("the default settings") << ""
                                          << "" << true;
}

// Every settings file wrote the one history.sqlite of the user's data folder: two routers' calls
// in one file, and one export for both.
void TstHistory::twoSettingsFilesSharedOneHistory()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, shared);
    const QDir dir(m_dir.path());
    QVERIFY(dir.mkpath(QStringLiteral("a")) && dir.mkpath(QStringLiteral("b")));
    for (const char *name : {"a/site.ini", "a/site1.ini", "a/site2.ini", "b/site.ini"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QFile::link(dir.filePath(QStringLiteral("a/site.ini")), dir.filePath(QStringLiteral("link.ini")));
    const auto database = [&dir](const QString &File) {
        const QString file = File.isEmpty() ? QString() : dir.filePath(File);
        return HistoryDatabasePath(TLoggingSettings{}, QFileInfo(file).absolutePath().toStdString(), false, "/data",
                                   file.toStdString());
    };
    const std::string one = database(first);
    QCOMPARE(one == database(second), shared);
    const QRegularExpression name(first.isEmpty() ? QStringLiteral("^/data/history\\.sqlite$")
                                                  : QStringLiteral("^/data/history-site\\d?-[0-9a-f]{8}\\.sqlite$"));
    QVERIFY2(name.match(QString::fromStdString(one)).hasMatch(), one.c_str());
    // A database named in the settings still wins.
    TLoggingSettings named;
    named.Database = "calls.sqlite";
    QCOMPARE(HistoryDatabasePath(named, "/etc/lw/", false, "/data", dir.filePath(first).toStdString()),
             std::string("/etc/lw/calls.sqlite"));
}

void TstHistory::historyOfAnotherRouterWasMixed_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("problem");
    QTest::newRow("the same router") << "192.0.2.1" << 23 << QString();
    QTest::newRow("another port") << "192.0.2.1" << 2323 << "192.0.2.1:23, not of 192.0.2.1:2323";
    QTest::newRow("another address") << "127.0.0.1" << 23 << "192.0.2.1:23, not of 127.0.0.1:23";
}

// Calls of two routers went into one file with nothing to tell them apart: a file now names its
// router and refuses another's calls.
void TstHistory::historyOfAnotherRouterWasMixed()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, problem);
    {
        THistoryStore store(path());
        store.SetRouter(QStringLiteral("192.0.2.1"), 23);
        store.Post(aCall());
        // The router's name shows with its first status screen.
        store.SetRouter(QStringLiteral("192.0.2.1"), 23, QStringLiteral("Office"));
        store.Post(aCall(1));
    }
    THistoryStore store(path());
    QSignalSpy problems(&store, &THistoryStore::problem);
    store.SetRouter(address, port);
    store.Post(aCall(2));
    if (problem.isEmpty()) {
        QTRY_COMPARE(store.Pending(), size_t(0));
        QCOMPARE(store.Close(), QString());
        QCOMPARE(rows(path(), QStringLiteral("SELECT count(*) FROM calls")), QStringList{"3"});
    } else {
        QTRY_COMPARE(problems.count(), 1);
        QCOMPARE(problems.at(0).at(0).toString(), path() + QStringLiteral(" holds the call history of ") + problem +
                                                      QStringLiteral("; set [Logging] Database= to another file."));
        QCOMPARE(store.Close(), QStringLiteral("1 call could not be written to %1: it holds the call history of "
                                               "192.0.2.1:23")
                                    .arg(path()));
        QCOMPARE(rows(path(), QStringLiteral("SELECT count(*) FROM calls")), QStringList{"2"});
    }
    QCOMPARE(rows(path(), QStringLiteral("SELECT address, port, name FROM router")),
             QStringList{"192.0.2.1 23 Office"});
}

QTEST_GUILESS_MAIN(TstHistory)
#include "tst_history.moc"
