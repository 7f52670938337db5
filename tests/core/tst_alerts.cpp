// SPDX-License-Identifier: MIT
// The alert engine: thresholds at their edges, the user's Drop, the rate limit, the [Alerts]
// section, the command hook with arguments a shell would have taken apart, and the local day the
// outcall total counts in.
#include "alerts.h"
#include "apperror.h"
#include "inifile.h"
#include "monitor.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QDir>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// An engine on a fake clock with every alert switched on.
struct TRig
{
    TAlertSettings Settings;
    int64_t Now = 1'000'000'000'000;
    TAlerts Alerts;
    QSignalSpy Raised{&Alerts, &TAlerts::raised};

    TRig()
    {
        Settings.Outcall = true;
        Settings.NoStatus = true;
        Settings.ChannelDropped = true;
        Alerts.Settings = [this]() -> const TAlertSettings & { return Settings; };
        Alerts.NowMs = [this] { return Now; };
    }
    void check(const TChannelStatus &B1, const TRouterStatus &Router = {}, bool Watching = true)
    {
        Alerts.Check(B1, channel("Idle", "0:00:00"), Router, Watching, true);
    }
    static TChannelStatus channel(const std::string &Link, const std::string &UpTime)
    {
        TChannelStatus c;
        c.Link = Link;
        c.UpTime = UpTime;
        return c;
    }
    static TRouterStatus outcall(const std::string &Total)
    {
        TRouterStatus r;
        r.TotalOutcallTime = Total;
        return r;
    }
};

// Whether a process of the group lives (zombies waiting for a reaper that is not us count as gone).
bool groupAlive(qint64 Group)
{
    if (::kill(pid_t(-Group), 0) == -1 && errno == ESRCH)
        return false;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const std::string stat = readFile("/proc/" + pid.toStdString() + "/stat");
        // pid (comm) state ppid pgrp ...: the command name may hold blanks and parentheses.
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        long long ppid = 0, pgrp = 0;
        rest >> state >> ppid >> pgrp;
        if (pgrp == Group && state != 'Z')
            return true;
    }
    return false;
}

} // namespace

class TestAlerts : public QObject
{
    Q_OBJECT

private slots:
    void localDayWalk_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("start"); // UTC
        QTest::addColumn<int>("stepSeconds");
        QTest::addColumn<int>("backEvery"); // every so many steps the clock goes back by 3 steps
        QTest::newRow("UTC, minute steps") << QByteArray("UTC") << "2026-12-31T22:00:00" << 60 << 0;
        QTest::newRow("clock into summer time") << QByteArray("Europe/Berlin") << "2026-03-28T20:00:00" << 37 << 0;
        QTest::newRow("clock out of summer time") << QByteArray("America/New_York") << "2026-11-01T02:00:00" << 41 << 0;
        QTest::newRow("clock going back") << QByteArray("Australia/Adelaide") << "2026-04-04T12:00:00" << 300 << 7;
    }
    void localDayWalk()
    {
        // The day looked up only at its end, hourly and when the clock goes back is the day a
        // lookup at every step would give, across midnights and changes of summer time.
        QFETCH(QByteArray, zone);
        QFETCH(QString, start);
        QFETCH(int, stepSeconds);
        QFETCH(int, backEvery);
        const bool zoneWasSet = qEnvironmentVariableIsSet("TZ");
        const QByteArray savedZone = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        TLocalDay day;
        int64_t ms = QDateTime::fromString(start + QLatin1Char('Z'), Qt::ISODate).toMSecsSinceEpoch();
        for (int step = 1; step <= 3000; ++step) {
            ms += (backEvery && step % backEvery == 0 ? -3 : 1) * int64_t(stepSeconds) * 1000;
            QCOMPARE(day.at(ms), QDateTime::fromMSecsSinceEpoch(ms).date());
        }
        if (zoneWasSet)
            qputenv("TZ", savedZone);
        else
            qunsetenv("TZ");
        tzset();
    }

    void thresholdEdges_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("value"); // up time, the outcall total's growth, or silent seconds
        QTest::addColumn<bool>("alerted");
        const int data = int(TAlertKind::LongDataCall);
        const int outcall = int(TAlertKind::OutcallTime);
        const int silence = int(TAlertKind::NoStatus);
        QTest::newRow("data call a second short") << data << 30 << "PPP"
                                                  << "0:29:59" << false;
        QTest::newRow("data call at the limit") << data << 30 << "PPP"
                                                << "0:30:00" << true;
        QTest::newRow("data call over hours") << data << 1 << "PPP"
                                              << "12:00:00" << true;
        QTest::newRow("voice call is not a data call") << data << 1 << "Voice"
                                                       << "5:00:00" << false;
        QTest::newRow("unreadable up time") << data << 1 << "PPP"
                                            << "x:00:00" << false;
        QTest::newRow("outcall a second short") << outcall << 60 << ""
                                                << "0:59:59" << false;
        QTest::newRow("outcall at the limit") << outcall << 60 << ""
                                              << "1:00:00" << true;
        QTest::newRow("silence a second short") << silence << 60 << ""
                                                << "59" << false;
        QTest::newRow("silence at the limit") << silence << 60 << ""
                                              << "60" << true;
    }
    void thresholdEdges()
    {
        QFETCH(int, kind);
        QFETCH(int, limit);
        QFETCH(QString, link);
        QFETCH(QString, value);
        QFETCH(bool, alerted);
        TRig rig;
        rig.Settings.LongDataCallMinutes = rig.Settings.OutcallMinutes = rig.Settings.NoStatusSeconds = limit;
        rig.Settings.LongDataCall = TAlertKind(kind) == TAlertKind::LongDataCall;
        rig.Settings.Outcall = TAlertKind(kind) == TAlertKind::OutcallTime;
        rig.Settings.NoStatus = TAlertKind(kind) == TAlertKind::NoStatus;
        rig.Settings.ChannelDropped = false;
        const TChannelStatus idle = TRig::channel("Idle", "0:00:00");
        switch (TAlertKind(kind)) {
        case TAlertKind::LongDataCall:
            rig.check(TRig::channel(link.toStdString(), "0:00:01"));
            rig.check(TRig::channel(link.toStdString(), value.toStdString()));
            break;
        case TAlertKind::OutcallTime:
            // The router's total before the monitor saw it is not today's.
            rig.check(idle, TRig::outcall("100:00:00"));
            rig.check(idle, TRig::outcall("100:00:00"));
            rig.check(idle, TRig::outcall(std::to_string(100 + value.left(1).toInt()) + value.mid(1).toStdString()));
            break;
        default:
            rig.Alerts.NoteStatusData();
            rig.check(idle);
            rig.Now += value.toLongLong() * 1000;
            rig.check(idle);
            break;
        }
        QCOMPARE(rig.Raised.count(), alerted ? 1 : 0);
        if (alerted) {
            QCOMPARE(rig.Raised.at(0).at(0).value<TAlertKind>(), TAlertKind(kind));
            // Once per call, day or silence.
            rig.Now += TAlerts::kRateLimitMs;
            rig.check(TRig::channel(link.toStdString(), "23:00:00"), TRig::outcall("200:00:00"));
            QCOMPARE(rig.Raised.count(), 1);
        }
    }

    void outcallCountsTodayAcrossARouterRestart()
    {
        TRig rig;
        rig.Settings.OutcallMinutes = 60;
        const TChannelStatus idle = TRig::channel("Idle", "0:00:00");
        rig.check(idle, TRig::outcall("5:00:00"));
        rig.check(idle, TRig::outcall("5:40:00"));
        rig.check(idle, TRig::outcall("0:00:00")); // restarted: counting goes on from here
        rig.check(idle, TRig::outcall("0:19:59"));
        QCOMPARE(rig.Alerts.OutcallSecondsToday(), 59 * 60 + 59);
        QCOMPARE(rig.Raised.count(), 0);
        rig.check(idle, TRig::outcall("0:20:00"));
        QCOMPARE(rig.Raised.count(), 1);
        QCOMPARE(rig.Raised.at(0).at(2).toString(), QStringLiteral("Outgoing calls today: 1:00:00 (limit 60 minutes)"));
        // The next day counts from nothing.
        rig.Now += 24LL * 60 * 60 * 1000;
        rig.check(idle, TRig::outcall("0:30:00"));
        QCOMPARE(rig.Alerts.OutcallSecondsToday(), 10 * 60);
    }

    void droppedCallUnlessTheUserAsked_data()
    {
        QTest::addColumn<int>("command"); // 0: none
        QTest::addColumn<int>("secondsBefore");
        QTest::addColumn<bool>("alerted");
        QTest::newRow("nobody asked") << 0 << 0 << true;
        QTest::newRow("Drop B1 just before") << 1 << 3 << false;
        QTest::newRow("Drop B1 at the grace's edge") << 1 << 10 << false;
        QTest::newRow("Drop B1 too long before") << 1 << 11 << true;
        QTest::newRow("Drop B2 is not B1") << 2 << 1 << true;
        QTest::newRow("Reset") << 3 << 1 << false;
        QTest::newRow("Drop All") << 4 << 1 << false;
    }
    void droppedCallUnlessTheUserAsked()
    {
        QFETCH(int, command);
        QFETCH(int, secondsBefore);
        QFETCH(bool, alerted);
        TRig rig;
        rig.check(TRig::channel("PPP", "0:05:00"));
        if (command != 0)
            rig.Alerts.NoteUserDrop(command);
        rig.Now += secondsBefore * 1000;
        rig.check(TRig::channel("Idle", "0:00:00"));
        QCOMPARE(rig.Raised.count(), alerted ? 1 : 0);
        if (alerted)
            QCOMPARE(rig.Raised.at(0).at(2).toString(), QStringLiteral("Data call on B1 ended after 0:05:00"));
    }

    // Every ordinary hang-up raised "Call dropped": the screen cannot tell one from a drop, so the
    // kind is off unless the settings file switches it on, and it says the call ended.
    void hangUpRaisedCallDropped()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("linewatch.ini")).toStdString();
        for (const std::string file : {"[Alerts]\r\nIncomingCall=1\r\n", "[Alerts]\r\nChannelDropped=1\r\n"}) {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
            TSettings settings;
            LoadSettings(TIniFile(path), settings);
            TAlerts alerts;
            alerts.Settings = [&]() -> const TAlertSettings & { return settings.Alerts; };
            QSignalSpy raised(&alerts, &TAlerts::raised);
            alerts.Check(TRig::channel("Idle", "0:00:00"), TRig::channel("Voice", "0:01:00"), {}, true, true);
            alerts.Check(TRig::channel("Idle", "0:00:00"), TRig::channel("Idle", "0:00:00"), {}, true, true);
            const bool on = file.find("ChannelDropped") != std::string::npos;
            QCOMPARE(raised.count(), on ? 1 : 0);
            if (on) {
                QCOMPARE(raised.at(0).at(0).value<TAlertKind>(), TAlertKind::ChannelDropped);
                QCOMPARE(raised.at(0).at(1).toString(), QStringLiteral("Call ended"));
                QCOMPARE(raised.at(0).at(2).toString(), QStringLiteral("Voice call on B2 ended after 0:01:00"));
                QCOMPARE(raised.at(0).at(3).toInt(), 2);
            }
        }
    }

    // "(limit 1 minutes)": counts in alert texts go through the plural forms.
    void pluralsSaidOneMinutes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("text");
        const int data = int(TAlertKind::LongDataCall);
        const int silence = int(TAlertKind::NoStatus);
        QTest::newRow("1 minute") << data << 1 << "The data call on B1 has been up for 0:01:00 (limit 1 minute)";
        QTest::newRow("2 minutes") << data << 2 << "The data call on B1 has been up for 0:02:00 (limit 2 minutes)";
        QTest::newRow("1 second") << silence << 1 << "No status from the router for 1 second";
        QTest::newRow("2 seconds") << silence << 2 << "No status from the router for 2 seconds";
    }
    void pluralsSaidOneMinutes()
    {
        QFETCH(int, kind);
        QFETCH(int, limit);
        QFETCH(QString, text);
        TRig rig;
        const bool data = TAlertKind(kind) == TAlertKind::LongDataCall;
        (data ? rig.Settings.LongDataCallMinutes : rig.Settings.NoStatusSeconds) = limit;
        const TChannelStatus before = data ? TRig::channel("PPP", "0:00:01") : TRig::channel("Idle", "0:00:00");
        const TChannelStatus after = data ? TRig::channel("PPP", "0:0" + std::to_string(limit) + ":00") : before;
        rig.Alerts.NoteStatusData();
        rig.check(before);
        rig.Now += limit * 1000;
        rig.check(after);
        QCOMPARE(rig.Raised.count(), 1);
        QCOMPARE(rig.Raised.at(0).at(2).toString(), text);
    }

    void aLostConnectionIsNoDroppedCall()
    {
        TRig rig;
        rig.check(TRig::channel("Voice", "0:05:00"));
        rig.Alerts.Check(TRig::channel("No Data", "0:00:00"), TRig::channel("No Data", "0:00:00"), TRouterStatus{},
                         true, false);
        rig.check(TRig::channel("Idle", "0:00:00"));
        QCOMPARE(rig.Raised.count(), 0);
    }

    void rateLimitFoldsRepeatsIntoOneAMinute()
    {
        TRig rig;
        rig.Alerts.Raise(TAlertKind::ConnectionLost, QStringLiteral("lost 1"));
        rig.Now += 30'000;
        rig.Alerts.Raise(TAlertKind::ConnectionLost, QStringLiteral("lost 2"));
        // Another kind has its own minute.
        rig.Alerts.Raise(TAlertKind::NoStatus, QStringLiteral("quiet"));
        rig.Now += 29'999;
        rig.Alerts.Raise(TAlertKind::ConnectionLost, QStringLiteral("lost 3"));
        rig.check(TRig::channel("Idle", "0:00:00"));
        QCOMPARE(rig.Raised.count(), 2);
        // The minute is over: the last repeat shows, with the count of the one before it.
        rig.Now += 1;
        rig.check(TRig::channel("Idle", "0:00:00"));
        QCOMPARE(rig.Raised.count(), 3);
        QCOMPARE(rig.Raised.at(2).at(2).toString(), QStringLiteral("lost 3 (1 more in the last minute)"));
        QCOMPARE(rig.Raised.at(2).at(1).toString(), QStringLiteral("Router connection lost"));
        // Nothing is left over, and a new minute begins with the repeat.
        rig.Now += TAlerts::kRateLimitMs - 1;
        rig.Alerts.Raise(TAlertKind::ConnectionLost, QStringLiteral("lost 4"));
        rig.Now += 1;
        rig.Alerts.Raise(TAlertKind::ConnectionLost, QStringLiteral("lost 5"));
        QCOMPARE(rig.Raised.count(), 4);
        QCOMPARE(rig.Raised.at(3).at(2).toString(), QStringLiteral("lost 5 (1 more in the last minute)"));
        // Switched off: nothing at all.
        rig.Settings.Connection = false;
        rig.Now += TAlerts::kRateLimitMs;
        rig.Alerts.Raise(TAlertKind::PasswordRejected, QStringLiteral("no"));
        QCOMPARE(rig.Raised.count(), 4);
    }

    void monitorRaisesIncomingCallsAndTheReconnectorsAlerts()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        QSignalSpy raised(&monitor, &TMonitor::alertRaised);
        monitor.Session.B1.Link = "Voice";
        monitor.Session.B1.CLID = "5551234";
        monitor.Tick();
        monitor.Tick();
        QCOMPARE(raised.count(), 1);
        QCOMPARE(raised.at(0).at(0).value<TAlertKind>(), TAlertKind::IncomingCall);
        // The number grouped as in the window's caller-ID list.
        QCOMPARE(raised.at(0).at(2).toString(), QStringLiteral("555-1234 on B1"));
        monitor.Settings.Alerts.IncomingCall = false;
        monitor.Session.B2.Link = "Voice";
        monitor.Session.B2.CLID = "5550000";
        monitor.Tick();
        QCOMPARE(raised.count(), 1);
    }

    void alertsSectionRoundTrips()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("linewatch.ini")).toStdString();
        TSettings saved;
        saved.Alerts.LongDataCall = false;
        saved.Alerts.OutcallMinutes = 90;
        saved.Alerts.Command = R"(/usr/bin/mailer "a b" ;)";
        {
            TIniFile ini(path);
            SaveSettings(ini, saved);
        }
        const std::string text = readFile(path);
        QVERIFY(text.find("[Alerts]\r\nLongDataCall=0\r\nOutcallMinutes=90\r\nCommand=/usr/bin/mailer \"a b\" ;\r\n") !=
                std::string::npos);
        TSettings loaded;
        LoadSettings(TIniFile(path), loaded);
        QVERIFY(loaded == saved);

        // A threshold of 0 or less would alert at once: the default holds instead.
        std::ofstream(path, std::ios::app) << "[Alerts]\r\nNoStatusSeconds=0\r\nLongDataCallMinutes=-5\r\n";
        LoadSettings(TIniFile(path), loaded);
        QCOMPARE(loaded.Alerts.NoStatusSeconds, TAlertSettings::kDefaultNoStatusSeconds);
        QCOMPARE(loaded.Alerts.LongDataCallMinutes, TAlertSettings::kDefaultLongDataCallMinutes);
    }

    void commandGetsItsArgumentsWithoutAShell()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("argv.txt"));
        const QString pwned = dir.filePath(QStringLiteral("pwned"));
        const QString script = dir.filePath(QStringLiteral("record alert.sh"));
        {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("#!/bin/sh\nout=\"$1\"; shift\n"
                    "{ for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n"
                    "  printf 'kind=%s\\ntext=%s\\n' \"$LINEWATCH_ALERT_KIND\" \"$LINEWATCH_ALERT_TEXT\"; } > "
                    "\"$out.tmp\"\n"
                    "mv \"$out.tmp\" \"$out\"\n");
            f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        }
        TRig rig;
        rig.Settings.Command =
            QStringLiteral("\"%1\" \"%2\" \"two words\" \"\"\"quoted\"\"\" $(touch %3) ; touch %3 | `touch %3`")
                .arg(script, out, pwned)
                .toStdString();
        rig.Alerts.NoteIncomingCall(1, QStringLiteral("$(touch %1); \"555\"").arg(pwned));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 10000);
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString expected = QStringLiteral("[two words]\n[\"quoted\"]\n[$(touch]\n[%1)]\n[;]\n[touch]\n[%1]\n[|]\n"
                                                "[`touch]\n[%1`]\n"
                                                "kind=incoming-call\ntext=Incoming call: $(touch %1); \"555\" on B1\n")
                                     .arg(pwned);
        QCOMPARE(QString::fromUtf8(f.readAll()), expected);
        QVERIFY(!QFile::exists(pwned));
    }

    // The user's own command failing used to go unheard: each distinct failure is told once, the
    // same failure at the next alert is not told again.
    void commandFailureIsToldOnce_data()
    {
        QTest::addColumn<QString>("command"); // %1: a scratch directory
        QTest::addColumn<QString>("told");    // a part of the text; empty: nothing is told
        QTest::newRow("missing program") << "%1/no-such-program"
                                         << "did not start";
        QTest::newRow("not executable") << "%1/plain.txt"
                                        << "did not start";
        QTest::newRow("exits 3") << "/bin/sh -c \"exit 3\""
                                 << "exit status 3";
        QTest::newRow("crashes") << "/bin/sh -c \"kill -KILL $$\""
                                 << "crashed";
        QTest::newRow("succeeds") << "/bin/sh -c \"exit 0\""
                                  << "";
    }
    void commandFailureIsToldOnce()
    {
        QFETCH(QString, command);
        QFETCH(QString, told);
        QTemporaryDir dir;
        {
            QFile plain(dir.filePath(QStringLiteral("plain.txt")));
            QVERIFY(plain.open(QIODevice::WriteOnly));
            plain.write("#!/bin/sh\n");
        }
        TRig rig;
        rig.Settings.Command = QString(command).replace(QStringLiteral("%1"), dir.path()).toStdString();
        QSignalSpy failed(&rig.Alerts, &TAlerts::commandFailed);
        for (int i = 0; i < 2; ++i) {
            rig.Alerts.NoteIncomingCall(1, QStringLiteral("555") + QString::number(i));
            QTRY_COMPARE_WITH_TIMEOUT(rig.Alerts.RunningCommands(), 0, 10000);
            rig.Now += TAlerts::kRateLimitMs;
        }
        QCOMPARE(rig.Raised.count(), 2);
        QCOMPARE(failed.count(), told.isEmpty() ? 0 : 1);
        if (!told.isEmpty())
            QVERIFY2(failed.at(0).at(0).toString().contains(told), qPrintable(failed.at(0).at(0).toString()));
    }

    // With a command that hangs, four ran, one line said later ones were not run, and from then
    // on every alert ran nothing without a word.
    void commandPiledUpAndSilencedAlerts()
    {
        QStringList logged;
        ResetLogLimits();
        const LogSink previous =
            SetLogSink([&logged](const std::string &line) { logged << QString::fromStdString(line); });
        TRig rig;
        rig.Alerts.CommandDeadlineMs = 300;
        rig.Alerts.CommandKillGraceMs = 200;
        rig.Settings.Command = "/bin/sleep 300";
        QSignalSpy failed(&rig.Alerts, &TAlerts::commandFailed);
        const auto raise = [&rig](int N) {
            rig.Alerts.NoteIncomingCall(1, QStringLiteral("555") + QString::number(N));
            rig.Now += TAlerts::kRateLimitMs;
        };
        for (int n = 0; n < TAlerts::kMaxRunningCommands + 2; ++n)
            raise(n);
        QCOMPARE(rig.Alerts.RunningCommands(), TAlerts::kMaxRunningCommands);
        const QStringList skipped = logged.filter(QStringLiteral("was not run"));
        QCOMPARE(skipped.size(), 2);
        QVERIFY2(skipped.at(1).contains(QLatin1String("5555 on B1")), qPrintable(skipped.at(1)));
        // The deadline ends them, once, in words.
        QTRY_COMPARE_WITH_TIMEOUT(rig.Alerts.RunningCommands(), 0, 20000);
        QCOMPARE(failed.count(), 1);
        QVERIFY2(failed.at(0).at(0).toString().contains(QLatin1String("was stopped")),
                 qPrintable(failed.at(0).at(0).toString()));
        raise(9);
        QCOMPARE(rig.Alerts.RunningCommands(), 1);
        QCOMPARE(logged.filter(QStringLiteral("was not run")).size(), 2);
        SetLogSink(previous);
    }

    // A command that left a process behind ("sleep 300 &") and the monitor's end: the process
    // outlived linewatchd.
    void commandChildrenOutlivedMonitor()
    {
        QTemporaryDir dir;
        const QString pids = dir.filePath(QStringLiteral("pids"));
        qint64 group = 0;
        qint64 child = 0;
        {
            TRig rig;
            // The command ends at once and its child ignores SIGTERM: only SIGKILL ends it.
            rig.Settings.Command =
                QStringLiteral("/bin/sh -c \"trap '' TERM; sleep 300 & echo $$ $! > %1.tmp; mv %1.tmp %1\"")
                    .arg(pids)
                    .toStdString();
            rig.Alerts.NoteIncomingCall(1, QStringLiteral("5551234"));
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pids), 10000);
            QTRY_COMPARE_WITH_TIMEOUT(rig.Alerts.RunningCommands(), 0, 10000);
            const QStringList ids = QString::fromLatin1(readFile(pids.toStdString())).split(QLatin1Char(' '));
            QCOMPARE(ids.size(), 2);
            group = ids.at(0).toLongLong();
            child = ids.at(1).trimmed().toLongLong();
            QVERIFY(group > 1 && child > 1);
            QVERIFY(groupAlive(group));
        }
        // SIGKILL is sent; the kernel takes a moment to end the process.
        QTRY_VERIFY_WITH_TIMEOUT(!groupAlive(group), 5000);
        QVERIFY(!QFile::exists(QStringLiteral("/proc/%1/cmdline").arg(child)) ||
                readFile(QStringLiteral("/proc/%1/stat").arg(child).toStdString()).find(") Z") != std::string::npos);
    }
};

QTEST_GUILESS_MAIN(TestAlerts)
#include "tst_alerts.moc"
