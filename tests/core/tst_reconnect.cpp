// SPDX-License-Identifier: MIT
// The monitor keeping its router connection, on short timings over 127.0.0.1: a fake router that
// hangs up, resets, falls silent or is not there; the user's Disconnect; a relay user attached
// during a loss; the router simulator refusing the password and hanging up mid-screen; the
// back-off's waits and the [Reconnect] settings.
#include "loopbackpeer.h"
#include "monitor.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

// Short enough to run in well under a second a case, long enough for loopback connects.
constexpr int kBaseMs = 50;
constexpr int kMaxMs = 400;
constexpr int kSilenceMs = 300;

template <typename F>
bool waitUntil(F &&done, int ms = LoopbackPeer::kWaitMs)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qSleep(1);
    }
    return true;
}

// A closed port: nobody listens on it once the listener is gone.
int closedPort()
{
    LoopbackListener listener;
    return listener.port();
}

// The monitor under test with every error report recorded instead of shown.
struct Rig
{
    std::unique_ptr<TMonitor> monitor;
    QStringList errors;
    ErrorReporter previous;

    explicit Rig(int port, bool enabled = true)
    {
        TMonitor::THooks hooks;
        hooks.ReconnectTiming = TReconnector::TTiming{kBaseMs, kMaxMs, kSilenceMs, 7};
        monitor = std::make_unique<TMonitor>(hooks);
        monitor->Timer1->stop();
        monitor->Settings.SetText(SettingControl::edtTelnetAddress, "127.0.0.1");
        monitor->Settings.SetText(SettingControl::edtTelnetPort, std::to_string(port));
        monitor->Settings.ReconnectEnabled = enabled;
        previous = SetErrorReporter([this](const std::string &message) { errors << QString::fromStdString(message); });
    }
    ~Rig() { SetErrorReporter(previous); }

    TReconnector &reconnect() { return monitor->Reconnect; }
    bool onStatusScreen() { return monitor->Session.LoginStep >= 7 && monitor->Session.sktBrelwick.Active(); }
};

// Plays the router's side of the login walk, one prompt per write, and shows the status screen.
bool walkToStatusScreen(LoopbackPeer &router)
{
    static const std::pair<const char *, const char *> steps[] = {
        {"Password: ", "\r"},
        {"Enter Menu Selection Number: ", "24\r"},
        {"Enter Menu Selection Number: ", "2\r"},
        {"Enter Selection: ", "1\r"},
        {"Press ESC or ENTER to exit: ", "\x1b"},
        {"Enter Selection: ", "\x1b"},
        {"Enter Menu Selection Number: ", "1\r"},
    };
    std::string typed;
    for (const auto &[prompt, reply] : steps) {
        typed += reply;
        if (!router.send(prompt) || !router.waitFor(typed))
            return false;
    }
    return router.send("\x1b[2J\x1b[3;1HMenu 24.1\x1b[K");
}

// The router simulator on a free port of 127.0.0.1 with a script.
class Simulator
{
public:
    ~Simulator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool start(const QByteArray &script)
    {
        if (!m_script.open())
            return false;
        m_script.write(script);
        m_script.flush();
        m_process.setProgram(QStringLiteral(LW_BINARY_DIR "/linewatch-routersim"));
        m_process.setArguments({"--port", "0", "--seed", "7", "--script", m_script.fileName()});
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        return waitUntil([&] {
                   const QRegularExpressionMatch match = listening.match(output());
                   m_port = match.hasMatch() ? match.captured(1).toInt() : 0;
                   return m_port > 0 || m_process.state() == QProcess::NotRunning;
               }) &&
               m_port > 0;
    }

    int port() const { return m_port; }
    int count(const QString &event) { return int(output().count(event)); }

    QString output()
    {
        m_output += QString::fromLatin1(m_process.readAllStandardOutput());
        return m_output;
    }

private:
    QProcess m_process;
    QTemporaryFile m_script;
    QString m_output;
    int m_port = 0;
};

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

class TestReconnect : public QObject
{
    Q_OBJECT

private slots:
    void backoffDoublesToItsCapWithinTheJitter_data()
    {
        QTest::addColumn<int>("base");
        QTest::addColumn<int>("cap");
        QTest::addColumn<QList<int>>("nominal");
        QTest::newRow("1 s to 60 s") << 1000 << 60000 << QList<int>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
        QTest::newRow("test timings") << kBaseMs << kMaxMs << QList<int>{50, 100, 200, 400, 400};
    }
    void backoffDoublesToItsCapWithinTheJitter()
    {
        QFETCH(int, base);
        QFETCH(int, cap);
        QFETCH(QList<int>, nominal);
        for (uint32_t seed = 1; seed <= 200; ++seed) {
            TBackoff backoff(seed);
            backoff.BaseMs = base;
            backoff.MaxMs = cap;
            for (const int n : nominal) {
                const int delay = backoff.NextDelayMs();
                QVERIFY2(delay >= n * 0.8 - 1 && delay <= n * 1.2 + 1, qPrintable(QString::number(delay)));
            }
            backoff.Reset();
            const int first = backoff.NextDelayMs();
            QVERIFY(first >= base * 0.8 - 1 && first <= base * 1.2 + 1);
        }
        // Fixed seeds give fixed waits, and the jitter does spread them.
        TBackoff a(42), b(42), c(43);
        const int fromA = a.NextDelayMs();
        QCOMPARE(fromA, b.NextDelayMs());
        int differ = 0;
        for (int i = 0; i < 20; ++i)
            differ += a.NextDelayMs() != c.NextDelayMs();
        QVERIFY(differ > 0);
    }

    // The router ends an established connection: the monitor comes back by itself, without an
    // error box, and starts the back-off afresh once the status screen shows again.
    void lossIsRiddenOut_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("reason");
        QTest::newRow("closed by the router") << "close" << true << "the router closed the connection";
        QTest::newRow("reset") << "reset" << true << "connection reset by peer";
        QTest::newRow("silent router") << "silence" << true << "no data from the router for 300 ms";
        QTest::newRow("switched off: closed") << "close" << false << "";
        QTest::newRow("switched off: silent") << "silence" << false << "";
    }
    void lossIsRiddenOut()
    {
        QFETCH(QString, cause);
        QFETCH(bool, enabled);
        QFETCH(QString, reason);
        LoopbackListener listener;
        Rig rig(listener.port(), enabled);
        QSignalSpy waits(rig.monitor.get(), &TMonitor::reconnectWaiting);
        QSignalSpy alerts(rig.monitor.get(), &TMonitor::alert);

        rig.monitor->Connect();
        LoopbackPeer router = listener.accept();
        QVERIFY(router.isOpen());
        QVERIFY(walkToStatusScreen(router));
        QVERIFY(waitUntil([&] { return rig.onStatusScreen(); }));

        if (cause == "close")
            router.close();
        else if (cause == "reset")
            router.abort();
        else
            QVERIFY(!enabled || router.waitClosed(kSilenceMs * 10));

        if (!enabled) {
            QTest::qWait(kSilenceMs * 2);
            QVERIFY(!listener.pending());
            QVERIFY(waits.isEmpty());
            if (cause == "silence")
                QVERIFY(rig.monitor->Session.sktBrelwick.Active()); // left as it is
            return;
        }
        QVERIFY(waitUntil([&] { return !waits.isEmpty(); }));
        QCOMPARE(waits.at(0).at(1).toString(), reason);
        QVERIFY(rig.reconnect().Reconnecting());
        QCOMPARE(alerts.count(), 1);
        QCOMPARE(alerts.at(0).at(0).value<TAlertKind>(), TAlertKind::ConnectionLost);

        LoopbackPeer again = listener.accept();
        QVERIFY(again.isOpen());
        QVERIFY(walkToStatusScreen(again));
        QVERIFY(waitUntil([&] { return rig.onStatusScreen() && !rig.reconnect().Reconnecting(); }));
        QCOMPARE(rig.reconnect().Backoff().Failures(), 0);
        QCOMPARE(alerts.last().at(0).value<TAlertKind>(), TAlertKind::ConnectionRestored);
        QCOMPARE(rig.errors, QStringList());
    }

    // A router that takes the connection and then says nothing more, before the status screen:
    // left after the silence time and tried again, with the reason said, never a box.
    void silentRouterBeforeStatusScreenWaitedForever_data()
    {
        QTest::addColumn<int>("answered"); // prompts the router shows before it falls silent
        QTest::newRow("silent after connect") << 0;
        QTest::newRow("silent at the password prompt") << 1;
        QTest::newRow("silent in the menus") << 3;
    }
    void silentRouterBeforeStatusScreenWaitedForever()
    {
        QFETCH(int, answered);
        LoopbackListener listener;
        Rig rig(listener.port());
        QSignalSpy waits(rig.monitor.get(), &TMonitor::reconnectWaiting);
        rig.monitor->Connect();
        LoopbackPeer router = listener.accept();
        QVERIFY(router.isOpen());
        const char *prompts[] = {"Password: ", "Enter Menu Selection Number: ", "Enter Menu Selection Number: "};
        const char *replies[] = {"\r", "24\r", "2\r"};
        std::string typed;
        for (int i = 0; i < answered; ++i) {
            QVERIFY(router.send(prompts[i]));
            QVERIFY(router.waitFor(typed += replies[i]));
        }
        QVERIFY(router.waitClosed());
        QVERIFY(waitUntil([&] { return !waits.isEmpty(); }));
        QCOMPARE(waits.at(0).at(1).toString(), QStringLiteral("no answer from the router for 300 ms"));
        QVERIFY(rig.reconnect().Reconnecting());
        QVERIFY(listener.accept().isOpen());
        QCOMPARE(rig.errors, QStringList());
    }

    // Nobody listens: the user's own attempt is reported as always, the back-off's are only shown,
    // with the waits growing to the cap.
    void refusedAttemptsBackOffQuietly()
    {
        Rig rig(closedPort());
        QSignalSpy waits(rig.monitor.get(), &TMonitor::reconnectWaiting);
        QSignalSpy texts(rig.monitor.get(), &TMonitor::reconnectStatus);
        rig.monitor->Connect();
        QVERIFY(waitUntil([&] { return waits.count() >= 5; }));
        QCOMPARE(rig.errors.size(), 1);
        QVERIFY2(rig.errors.first().startsWith("Asynchronous socket error"), qPrintable(rig.errors.first()));
        const int nominal[] = {50, 100, 200, 400, 400};
        for (int i = 0; i < 5; ++i) {
            const int delay = waits.at(i).at(0).toInt();
            QVERIFY2(delay >= nominal[i] * 0.8 - 1 && delay <= nominal[i] * 1.2 + 1, qPrintable(QString::number(i)));
            QCOMPARE(waits.at(i).at(1).toString(), QStringLiteral("connection refused"));
        }
        QVERIFY(texts.contains(QVariantList{QStringLiteral("Reconnecting in 1 s (connection refused)")}));
        // The tray tip says the same while a wait runs.
        QVERIFY(waitUntil([&] { return rig.reconnect().Text().starts_with("Reconnecting in"); }));
        rig.monitor->Tick();
        QCOMPARE(rig.monitor->TrayTipText(), std::string("Reconnecting in 1 s (connection refused)"));
    }

    // The user's Disconnect ends it: while connected, and during a wait.
    void userDisconnectStopsReconnecting_data()
    {
        QTest::addColumn<bool>("duringWait");
        QTest::addColumn<bool>("switchedOff"); // reconnecting switched off instead of Disconnect
        QTest::newRow("while connected") << false << false;
        QTest::newRow("during a wait") << true << false;
        QTest::newRow("switched off during a wait") << true << true;
    }
    void userDisconnectStopsReconnecting()
    {
        QFETCH(bool, duringWait);
        QFETCH(bool, switchedOff);
        LoopbackListener listener;
        Rig rig(listener.port());
        QSignalSpy waits(rig.monitor.get(), &TMonitor::reconnectWaiting);
        QSignalSpy reconnecting(rig.monitor.get(), &TMonitor::reconnectingChanged);
        rig.monitor->Connect();
        LoopbackPeer router = listener.accept();
        QVERIFY(walkToStatusScreen(router));
        QVERIFY(waitUntil([&] { return rig.onStatusScreen(); }));
        if (duringWait) {
            router.close();
            QVERIFY(waitUntil([&] { return rig.reconnect().Reconnecting(); }));
        }
        if (switchedOff)
            rig.monitor->SetReconnectEnabled(false);
        else
            rig.monitor->Connect();
        QVERIFY(!rig.reconnect().Reconnecting());
        QVERIFY(!rig.monitor->Session.sktBrelwick.Active());
        QTest::qWait(kMaxMs * 2);
        QVERIFY(!listener.pending());
        QCOMPARE(waits.count(), duringWait ? 1 : 0);
        QCOMPARE(rig.reconnect().Text(), std::string());
        QCOMPARE(rig.errors, QStringList());
    }

    // A relay user holds the router connection when it ends: the relay's rule holds and the
    // monitor stays disconnected.
    void lossWithRelayUserAttachedIsNotRetried()
    {
        LoopbackListener listener;
        Rig rig(listener.port());
        QSignalSpy waits(rig.monitor.get(), &TMonitor::reconnectWaiting);
        rig.monitor->Settings.SetText(SettingControl::edtTelnetAdminPort, "0");
        rig.monitor->Settings.BindAddress = "127.0.0.1";
        QVERIFY(!rig.monitor->SetTelnetAdmin(true));
        rig.monitor->Connect();
        LoopbackPeer router = listener.accept();
        QVERIFY(walkToStatusScreen(router));
        QVERIFY(waitUntil([&] { return rig.onStatusScreen(); }));

        LoopbackPeer user;
        QVERIFY(user.connectTo(rig.monitor->Relay.TelnetServerSocket.Socket()->LocalPort()));
        LoopbackPeer relayed = listener.accept();
        QVERIFY(relayed.isOpen());
        QVERIFY(waitUntil([&] { return rig.monitor->Relay.RemoteClientConnected(); }));
        QVERIFY(relayed.send("Password: "));
        QVERIFY(user.waitFor("Password: "));

        relayed.close();
        QVERIFY(user.waitClosed());
        QTest::qWait(kMaxMs * 2);
        QVERIFY(!listener.pending());
        QVERIFY(waits.isEmpty());
        QVERIFY(!rig.reconnect().Reconnecting());
        QCOMPARE(rig.errors, QStringList());
    }

    // The simulator hangs up part-way through every third status screen: each connection comes
    // back, and each success starts the back-off from its first step again.
    void simulatorHangUpsAreRiddenOut()
    {
        Simulator sim;
        QVERIFY(sim.start("interval-ms 20\nclose-mid-screen 24.1 40 3\n"));
        Rig rig(sim.port());
        rig.monitor->Settings.SetText(SettingControl::edtPassword, "1234");
        QSignalSpy waits(rig.monitor.get(), &TMonitor::reconnectWaiting);
        rig.monitor->Connect();
        QVERIFY(waitUntil([&] { return waits.count() >= 3 && sim.count("login ok") >= 4; }));
        for (const QList<QVariant> &wait : waits)
            QVERIFY(wait.at(0).toInt() <= kBaseMs * 1.2 + 1);
        QCOMPARE(rig.errors, QStringList());
    }

    // A refused password is not typed again: the monitor says so in the status text, the tray tip
    // and an alert, ends that connection itself, and tries nothing more.
    void rejectedPasswordStopsAndTells()
    {
        Simulator sim;
        QVERIFY(sim.start("password-tries 2\n"));
        Rig rig(sim.port());
        rig.monitor->Settings.SetText(SettingControl::edtPassword, "wrong");
        QSignalSpy alerts(rig.monitor.get(), &TMonitor::alert);
        QSignalSpy texts(rig.monitor.get(), &TMonitor::reconnectStatus);
        QSignalSpy waits(rig.monitor.get(), &TMonitor::reconnectWaiting);
        rig.monitor->Connect();
        QVERIFY(waitUntil([&] { return !alerts.isEmpty(); }));
        QCOMPARE(alerts.at(0).at(0).value<TAlertKind>(), TAlertKind::PasswordRejected);
        QCOMPARE(alerts.at(0).at(1).toString(), QStringLiteral("The router rejected the password"));
        QCOMPARE(texts.last().at(0).toString(), QStringLiteral("The router rejected the password"));
        rig.monitor->Tick();
        QCOMPARE(rig.monitor->TrayTipText(), std::string("The router rejected the password"));
        // One try only: the simulator, which allows two, would have asked again.
        QVERIFY(waitUntil([&] { return !rig.monitor->Session.sktBrelwick.Active(); }));
        QTest::qWait(kMaxMs * 2);
        QCOMPARE(sim.count("login failed"), 1);
        QCOMPARE(sim.count(" connect "), 1);
        QVERIFY(waits.isEmpty());
        QCOMPARE(rig.errors, QStringList());
    }

    // The console sat at its password prompt after the refusal, so everything that reads the
    // connection said "connected" and "up" beside the rejected password.
    void rejectedPasswordStillSaidConnected()
    {
        Simulator sim;
        QVERIFY(sim.start("password-tries 2\n"));
        Rig rig(sim.port());
        rig.monitor->Settings.SetText(SettingControl::edtPassword, "wrong");
        QSignalSpy connection(rig.monitor.get(), &TMonitor::connectionChanged);
        rig.monitor->Connect();
        QVERIFY(waitUntil([&] { return connection.count() == 2; }));
        QCOMPARE(connection.at(1).at(0).toBool(), false);
        QCOMPARE(rig.monitor->ConnectionState(), TConnectionState::PasswordRejected);
        const std::string json = *rig.monitor->MachineAnswer(TMonitor::kStatusJsonPath);
        QVERIFY2(json.find(R"("connection":{"state":"password_rejected","router_connected":false)") !=
                     std::string::npos,
                 json.c_str());
        const std::string metrics = *rig.monitor->MachineAnswer(TMonitor::kMetricsPath);
        for (const char *line : {"\nlinewatch_up 0\n", "\nlinewatch_router_connected 0\n",
                                 "\nlinewatch_connection_state{state=\"password_rejected\"} 1\n",
                                 "\nlinewatch_connection_state{state=\"connected\"} 0\n"})
            QVERIFY2(metrics.find(line) != std::string::npos, line);
        // The next Connect is a new try with the same password, and the state is that try's.
        rig.monitor->Connect();
        QVERIFY(rig.monitor->ConnectionState() != TConnectionState::PasswordRejected);
        QVERIFY(waitUntil([&] { return sim.count("login failed") == 2; }));
        QCOMPARE(rig.errors, QStringList());
    }

    // [Reconnect] is written only when it differs from its defaults or is already in the file.
    void reconnectSettingsInTheFile_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("silence");
        QTest::addColumn<QString>("after");
        QTest::newRow("defaults: no section") << "" << true << 30 << "";
        QTest::newRow("switched off") << "" << false << 30 << "[Reconnect]\r\nEnabled=0\r\n";
        QTest::newRow("silence changed") << "" << true << 90 << "[Reconnect]\r\nSilenceSeconds=90\r\n";
        QTest::newRow("back to defaults: keys stay")
            << "[Reconnect]\r\nEnabled=0\r\nSilenceSeconds=5\r\n"
            << true << 30 << "[Reconnect]\r\nEnabled=1\r\nSilenceSeconds=30\r\n";
    }
    void reconnectSettingsInTheFile()
    {
        QFETCH(QString, before);
        QFETCH(bool, enabled);
        QFETCH(int, silence);
        QFETCH(QString, after);
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("linewatch.ini")).toStdString();
        const std::string firstRun = readFile(LW_TEST_DATA_DIR "/shell/first_run.ini");
        std::ofstream(path, std::ios::binary) << firstRun + before.toStdString();
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.SetAppDir(dir.path().toStdString());
        monitor.LoadSettings();
        monitor.Settings.ReconnectEnabled = enabled;
        monitor.Settings.ReconnectSilenceSeconds = silence;
        monitor.SaveSettings();
        QCOMPARE(readFile(path), firstRun + after.toStdString());
    }

    void badSilenceSecondsLoadSafely_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("loaded");
        QTest::newRow("negative") << "-5" << 30;
        QTest::newRow("no number") << "soon" << 30;
        QTest::newRow("zero: never") << "0" << 0;
        QTest::newRow("beyond a day") << "999999999" << 86400;
    }
    void badSilenceSecondsLoadSafely()
    {
        QFETCH(QString, value);
        QFETCH(int, loaded);
        QTemporaryDir dir;
        std::ofstream(dir.filePath(QStringLiteral("linewatch.ini")).toStdString(), std::ios::binary)
            << "[Reconnect]\r\nSilenceSeconds=" + value.toStdString() + "\r\n";
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.SetAppDir(dir.path().toStdString());
        monitor.LoadSettings();
        QCOMPARE(monitor.Settings.ReconnectSilenceSeconds, loaded);
    }
};

QTEST_GUILESS_MAIN(TestReconnect)
#include "tst_reconnect.moc"
