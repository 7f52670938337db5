// SPDX-License-Identifier: MIT
// The desktop notifier on a private bus: a dbus-daemon of the test's own and a stand-in
// notification service in this process that records each call. The user's session bus is never
// touched.
#include "alerts.h"
#include "notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLocalServer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

struct TCall
{
    QString App;
    uint ReplacesId = 0;
    QString Icon;
    QString Summary;
    QString Body;
    QStringList Actions;
    QVariantMap Hints;
    int Timeout = 0;
};

const QString kServiceConnection = QStringLiteral("lw-stand-in");

} // namespace

// The stand-in service: records each Notify and hands out ids as a real one does, and keeps what
// shows ("summary|body" by id) as replaces_id and CloseNotification leave it.
class TStandInNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<TCall> Calls;
    QMap<uint, QString> Open;
    uint NextId = 41;

public slots:
    uint Notify(const QString &App, uint ReplacesId, const QString &Icon, const QString &Summary, const QString &Body,
                const QStringList &Actions, const QVariantMap &Hints, int Timeout)
    {
        Calls.append({App, ReplacesId, Icon, Summary, Body, Actions, Hints, Timeout});
        const uint id = ReplacesId != 0 ? ReplacesId : ++NextId;
        Open[id] = Summary + QLatin1Char('|') + Body;
        return id;
    }
    void CloseNotification(uint Id) { Open.remove(Id); }
};

class TestNotifier : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed (Debian package dbus): no private bus to test the notifier on");
        // A bus of our own without service directories, so no real notification daemon can be
        // started on it by activation.
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                    "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                         .arg(m_dir.path())
                         .toUtf8());
        config.close();
        m_daemon.start(daemon, {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--print-address"),
                                QStringLiteral("--nofork")});
        QVERIFY(m_daemon.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(m_daemon.canReadLine(), 10000);
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());

        QDBusConnection service = QDBusConnection::connectToBus(m_address, kServiceConnection);
        QVERIFY(service.isConnected());
        QVERIFY(service.registerObject(QLatin1String(TNotifier::kPath), &m_standIn, QDBusConnection::ExportAllSlots));
    }
    void init()
    {
        m_standIn.Calls.clear();
        m_standIn.Open.clear();
        QDBusConnection service(kServiceConnection);
        QVERIFY(service.registerService(QLatin1String(TNotifier::kService)));
    }
    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(kServiceConnection);
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            m_daemon.waitForFinished(5000);
        }
    }

    void bubbleCarriesTextsIconAndHints_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("urgency");
        QTest::newRow("incoming call: normal") << int(TAlertKind::IncomingCall) << 1;
        QTest::newRow("connection lost: normal, it is retried") << int(TAlertKind::ConnectionLost) << 1;
        QTest::newRow("long data call: normal") << int(TAlertKind::LongDataCall) << 1;
        QTest::newRow("password rejected: critical") << int(TAlertKind::PasswordRejected) << 2;
    }
    void bubbleCarriesTextsIconAndHints()
    {
        QFETCH(int, kind);
        QFETCH(int, urgency);
        TNotifier notifier(m_address);
        QSignalSpy shown(&notifier, &TNotifier::shown);
        notifier.Notify(TAlertKind(kind), QStringLiteral("Incoming call"), QStringLiteral("<555> & \"x\" on B1"));
        QTRY_COMPARE(shown.count(), 1);
        QCOMPARE(m_standIn.Calls.size(), 1);
        const TCall &c = m_standIn.Calls.at(0);
        QCOMPARE(c.App, QStringLiteral("linewatch"));
        QCOMPARE(c.ReplacesId, 0u);
        QCOMPARE(c.Icon, QStringLiteral("linewatch"));
        QCOMPARE(c.Summary, QStringLiteral("Incoming call"));
        QCOMPARE(c.Body, QStringLiteral("&lt;555&gt; &amp; \"x\" on B1"));
        QVERIFY(c.Actions.isEmpty());
        QCOMPARE(c.Hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("linewatch"));
        // Notification services read the urgency hint as a byte only.
        QCOMPARE(c.Hints.value(QStringLiteral("urgency")).metaType().id(), int(QMetaType::UChar));
        QCOMPARE(c.Hints.value(QStringLiteral("urgency")).toInt(), urgency);
        QCOMPARE(c.Timeout, -1);
        QCOMPARE(shown.at(0).at(1).toUInt(), m_standIn.NextId);
    }

    void repeatReplacesItsKindsBubble()
    {
        TNotifier notifier(m_address);
        QSignalSpy shown(&notifier, &TNotifier::shown);
        notifier.Notify(TAlertKind::ConnectionLost, QStringLiteral("Router connection lost"), QStringLiteral("1"));
        QTRY_COMPARE(shown.count(), 1);
        notifier.Notify(TAlertKind::ConnectionLost, QStringLiteral("Router connection lost"), QStringLiteral("2"));
        notifier.Notify(TAlertKind::IncomingCall, QStringLiteral("Incoming call"), QStringLiteral("3"));
        QTRY_COMPARE(shown.count(), 3);
        const uint first = shown.at(0).at(1).toUInt();
        QCOMPARE(m_standIn.Calls.at(1).ReplacesId, first);
        // Another kind has its own bubble.
        QCOMPARE(m_standIn.Calls.at(2).ReplacesId, 0u);
    }

    void rateLimitGivesOneBubbleAMinute()
    {
        TAlertSettings settings;
        int64_t now = 1'000'000'000'000;
        TAlerts alerts;
        alerts.Settings = [&]() -> const TAlertSettings & { return settings; };
        alerts.NowMs = [&] { return now; };
        TNotifier notifier(m_address);
        QSignalSpy shown(&notifier, &TNotifier::shown);
        connect(&alerts, &TAlerts::raised, &notifier, &TNotifier::Notify);
        // A flapping line.
        for (int i = 1; i <= 5; ++i) {
            alerts.Raise(TAlertKind::ConnectionLost, QStringLiteral("lost %1").arg(i));
            now += 5'000;
        }
        QTRY_COMPARE(shown.count(), 1);
        QTest::qWait(100);
        QCOMPARE(m_standIn.Calls.size(), 1);
        now += TAlerts::kRateLimitMs;
        alerts.Check(TChannelStatus{}, TChannelStatus{}, TRouterStatus{}, false, false);
        QTRY_COMPARE(shown.count(), 2);
        QCOMPARE(m_standIn.Calls.at(1).Body, QStringLiteral("lost 5 (3 more in the last minute)"));
        QCOMPARE(m_standIn.Calls.at(1).ReplacesId, shown.at(0).at(1).toUInt());
    }

    // "Router connection lost" stayed on screen after the connection was back whenever "back"
    // fell within its own minute and was held back.
    void lostBubbleOutlivedReconnect()
    {
        TAlertSettings settings;
        int64_t now = 1'000'000'000'000;
        TAlerts alerts;
        alerts.Settings = [&]() -> const TAlertSettings & { return settings; };
        alerts.NowMs = [&] { return now; };
        TNotifier notifier(m_address);
        QSignalSpy shown(&notifier, &TNotifier::shown);
        connect(&alerts, &TAlerts::raised, &notifier, &TNotifier::Notify);
        connect(&alerts, &TAlerts::ended, &notifier, &TNotifier::Close);
        const auto lostShows = [&] {
            return std::any_of(m_standIn.Open.cbegin(), m_standIn.Open.cend(),
                               [](const QString &b) { return b.startsWith(QStringLiteral("Router connection lost")); });
        };
        // Seconds from the start: lost, back, lost again, back again within a minute of the first.
        for (const int at : {0, 30, 65, 80}) {
            now = 1'000'000'000'000 + at * 1000LL;
            const bool lost = at == 0 || at == 65;
            alerts.Raise(lost ? TAlertKind::ConnectionLost : TAlertKind::ConnectionRestored,
                         lost ? QStringLiteral("lost") : QStringLiteral("back"));
            if (lost)
                QTRY_VERIFY(lostShows());
            else
                QTRY_VERIFY(!lostShows());
        }
        // The status screen alone also ends it (the "back" alert switched off with the others).
        now += 120'000;
        alerts.Raise(TAlertKind::ConnectionLost, QStringLiteral("lost"));
        QTRY_VERIFY(lostShows());
        alerts.NoteStatusScreen();
        QTRY_VERIFY(!lostShows());
        QCOMPARE(shown.count(), 4);
    }

    // One bubble per kind: a long data call on B2 replaced B1's, and the end of one call would
    // have taken the other's away.
    void b2LongCallReplacedB1s()
    {
        TAlertSettings settings;
        settings.LongDataCallMinutes = 1;
        TAlerts alerts;
        alerts.Settings = [&]() -> const TAlertSettings & { return settings; };
        TNotifier notifier(m_address);
        connect(&alerts, &TAlerts::raised, &notifier, &TNotifier::Notify);
        connect(&alerts, &TAlerts::ended, &notifier, &TNotifier::Close);
        TChannelStatus b1, b2;
        b1.Link = b2.Link = "PPP";
        b1.UpTime = b2.UpTime = "0:01:00";
        alerts.Check(b1, b2, TRouterStatus{}, true, true);
        QTRY_COMPARE(m_standIn.Open.size(), 2);
        QCOMPARE(m_standIn.Calls.at(1).ReplacesId, 0u);
        b1.Link = "Idle";
        b2.UpTime = "0:01:01";
        alerts.Check(b1, b2, TRouterStatus{}, true, true);
        QTRY_COMPARE(m_standIn.Open.size(), 1);
        QVERIFY(m_standIn.Open.first().contains(QStringLiteral("on B2")));
    }

    void fallsBackToTheTrayWithoutAService_data()
    {
        QTest::addColumn<bool>("busThere");
        QTest::newRow("no one owns the name") << true;
        QTest::newRow("no bus at all") << false;
    }
    void fallsBackToTheTrayWithoutAService()
    {
        QFETCH(bool, busThere);
        QVERIFY(QDBusConnection(kServiceConnection).unregisterService(QLatin1String(TNotifier::kService)));
        TNotifier notifier(busThere ? m_address
                                    : QStringLiteral("unix:path=") + m_dir.filePath(QStringLiteral("none")));
        QStringList tray;
        notifier.Fallback = [&](const QString &Title, const QString &Text) { tray << Title + QLatin1Char('|') + Text; };
        QSignalSpy fellBack(&notifier, &TNotifier::fellBack);
        notifier.Notify(TAlertKind::PasswordRejected, QStringLiteral("Password rejected"),
                        QStringLiteral("The router rejected the password"));
        QTRY_COMPARE(fellBack.count(), 1);
        QCOMPARE(tray, QStringList{QStringLiteral("Password rejected|The router rejected the password")});
        QVERIFY(m_standIn.Calls.isEmpty());
    }

    void silentBusHungTheWindow()
    {
        // A bus socket that takes connections and never says a word: Qt D-Bus waited for it on the
        // window's thread, for minutes.
        QLocalServer silent;
        QVERIFY(silent.listen(m_dir.filePath(QStringLiteral("silent"))));
        QSignalSpy knocked(&silent, &QLocalServer::newConnection);
        TNotifier notifier(QStringLiteral("unix:path=") + silent.fullServerName());
        QStringList tray;
        notifier.Fallback = [&](const QString &Title, const QString &Text) { tray << Title + QLatin1Char('|') + Text; };
        QSignalSpy fellBack(&notifier, &TNotifier::fellBack);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(10);
        notifier.Notify(TAlertKind::ConnectionLost, QStringLiteral("Router connection lost"), QStringLiteral("1"));
        notifier.Notify(TAlertKind::IncomingCall, QStringLiteral("Incoming call"), QStringLiteral("2"));
        QTRY_COMPARE_WITH_TIMEOUT(fellBack.count(), 2, 10 * TNotifier::kProbeTimeoutMs);
        // Some 300 ticks in the probe's time on a quiet machine.
        QVERIFY2(ticks >= 30, qPrintable(QString::number(ticks)));
        QCOMPARE(tray, (QStringList{QStringLiteral("Router connection lost|1"), QStringLiteral("Incoming call|2")}));
        QCOMPARE(knocked.count(), 1);
        // Until the retry time has passed, alerts go to the tray at once, without another look.
        notifier.Notify(TAlertKind::ConnectionLost, QStringLiteral("Router connection lost"), QStringLiteral("3"));
        QCOMPARE(fellBack.count(), 3);
        QTest::qWait(50);
        QCOMPARE(knocked.count(), 1);
        QVERIFY(m_standIn.Calls.isEmpty());
    }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    TStandInNotifications m_standIn;
};

QTEST_GUILESS_MAIN(TestNotifier)
#include "tst_notifier.moc"
