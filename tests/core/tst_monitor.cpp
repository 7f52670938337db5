// TMonitor without any widget: the settings as a value and the file they come from, the tick's
// caller-ID log and its bound, and the machine status beside the page on 127.0.0.1.
#include "loopbackpeer.h"
#include "metrics.h"
#include "monitor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <sstream>

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// GET Path from the monitor's web server and everything it answers.
std::string fetch(TMonitor &monitor, const std::string &path)
{
    LoopbackPeer browser;
    if (!browser.connectTo(monitor.WebServer.WebServerSocket.Socket()->LocalPort()))
        return {};
    browser.send("GET " + path + " HTTP/1.0\r\n\r\n");
    browser.waitClosed();
    return browser.input();
}

} // namespace

class TestMonitor : public QObject
{
    Q_OBJECT

private slots:
    void settingsFileKeepsItsShape_data()
    {
        QTest::addColumn<QString>("bindAddress");
        QTest::addColumn<bool>("networkBefore");
        QTest::addColumn<QString>("expectedNetwork");
        QTest::newRow("never used: no new section") << "" << false << "";
        QTest::newRow("used: after the documented sections")
            << "127.0.0.1" << false << "[Network]\r\nBindAddress=127.0.0.1\r\n";
        QTest::newRow("cleared: the key stays, empty") << "" << true << "[Network]\r\nBindAddress=\r\n";
    }
    void settingsFileKeepsItsShape()
    {
        QFETCH(QString, bindAddress);
        QFETCH(bool, networkBefore);
        QFETCH(QString, expectedNetwork);
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("linewatch.ini")).toStdString();
        const std::string firstRun = readFile(LW_TEST_DATA_DIR "/shell/first_run.ini");
        writeFile(path, firstRun + (networkBefore ? "[Network]\r\nBindAddress=10.0.0.1\r\n" : ""));

        TMonitor monitor;
        monitor.SetAppDir(dir.path().toStdString());
        monitor.LoadSettings();
        // A first run's file holds the defaults.
        TSettings expected;
        expected.BindAddress = networkBefore ? "10.0.0.1" : "";
        QVERIFY(monitor.Settings == expected);
        monitor.Settings.BindAddress = bindAddress.toStdString();
        monitor.SaveSettings();
        // The documented sections as a first run writes them, then the new one.
        QCOMPARE(readFile(path), firstRun + expectedNetwork.toStdString());
    }

    void tickLogsEachCallOnceAndKeepsABound()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        QSignalSpy logged(&monitor, &TMonitor::callerIdLogged);
        QSignalSpy ticked(&monitor, &TMonitor::ticked);
        monitor.Session.B1.Link = "Voice";
        monitor.Session.B1.CLID = "5551234";
        monitor.Tick();
        monitor.Tick();
        QCOMPARE(logged.count(), 1);
        QCOMPARE(logged.at(0).at(0).toInt(), 1);
        QVERIFY(logged.at(0).at(1).toString().endsWith(QStringLiteral(" - 555-1234")));
        QCOMPARE(ticked.count(), 2);
        QCOMPARE(monitor.TrayTipText(), std::string("No Data - B1[Voice 0%] B2[No Data 0%]"));

        // Months of calls: the machine status keeps the newest ones only.
        for (std::size_t i = 0; i <= TMonitor::kCallerIdsKept; ++i) {
            monitor.Session.B2.CLID = std::to_string(1000000 + i);
            monitor.Tick();
            monitor.Session.B2.CLID.clear();
            monitor.Tick();
        }
        const TMachineStatus status = monitor.MachineStatus();
        QCOMPARE(status.CallerIds.size(), TMonitor::kCallerIdsKept);
        QCOMPARE(status.CallerIds.back().CLID, std::to_string(1000000 + TMonitor::kCallerIdsKept));
    }

    // The tick woke the monitor apart from the router's repaint, twice a second. A repaint that
    // comes whole in one chunk near the second now runs the tick at once; a repaint split over
    // chunks does not, or the tick would show figures of two screens.
    void tickWokeApartFromTheRepaint_data()
    {
        const QByteArray top = "\x1b[2J\x1b[3;1HMenu 24.1";
        const QByteArray bottom = "\x1b[20;1HLAN";
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<bool>("tickAtOnce");
        QTest::newRow("whole repaints") << QList<QByteArray>{top + bottom, top + bottom} << true;
        QTest::newRow("split repaints") << QList<QByteArray>{top, bottom, top} << false;
    }
    void tickWokeApartFromTheRepaint()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(bool, tickAtOnce);
        TMonitor monitor;
        QSignalSpy ticked(&monitor, &TMonitor::ticked);
        for (qsizetype i = 0; i + 1 < chunks.size(); ++i)
            monitor.Session.ProcessConsoleData(chunks[i].toStdString());
        QVERIFY(ticked.wait(2 * TMonitor::kTickMs));
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTest::qWait(TMonitor::kTickMs - TMonitor::kTickSlackMs / 2);
        monitor.Session.ProcessConsoleData(chunks.back().toStdString());
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        if (sinceTick.elapsed() >= TMonitor::kTickMs)
            QSKIP("too busy to tell a tick at once from one on time");
        QCOMPARE(ticked.count(), tickAtOnce ? 2 : 1);
    }

    void machineStatusBesideThePage()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.Settings.BindAddress = "127.0.0.1";
        monitor.SetWebAdminPort("0");
        QVERIFY(!monitor.SetWebAdmin(true));
        // Listening on loopback only, as the setting says.
        QCOMPARE(monitor.WebServer.WebServerSocket.Socket()->LocalAddress(), std::string("127.0.0.1"));
        monitor.Session.B1.TX = 12345678901;
        monitor.Session.Router.Name = "office\"gw";

        const std::string json = fetch(monitor, "/status.json");
        QVERIFY(json.starts_with("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n"));
        const QJsonObject root =
            QJsonDocument::fromJson(QByteArray::fromStdString(json.substr(json.find("\r\n\r\n") + 4))).object();
        QCOMPARE(root.value(QStringLiteral("schema")).toInt(), 1);
        QVERIFY(fetch(monitor, "/metrics")
                    .starts_with("HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
        QCOMPARE(monitor.PageHits, 0); // machines' requests are not page accesses
        // Every other path is answered as before.
        QVERIFY(fetch(monitor, "/").find("<html>") != std::string::npos);
        QCOMPARE(monitor.PageHits, 1);
        QVERIFY(fetch(monitor, "/status.json/").find("The requested URL /status.json/ was not found") !=
                std::string::npos);
    }

    // A loss the monitor rides out by itself shows in both answers, and they stop saying so once
    // the user's Disconnect ends the wait.
    void machineStatusTellsOfReconnecting()
    {
        int closed = 0;
        {
            LoopbackListener listener;
            closed = listener.port();
        }
        const ErrorReporter previous = SetErrorReporter([](const std::string &) {});
        TMonitor monitor({{}, {}, TReconnector::TTiming{30000, 60000, 0, 7}});
        monitor.Timer1->stop();
        monitor.Settings.SetText(SettingControl::edtTelnetAddress, "127.0.0.1");
        monitor.Settings.SetText(SettingControl::edtTelnetPort, std::to_string(closed));
        const auto reconnect = [&] {
            const std::string answer = *monitor.MachineAnswer(TMonitor::kStatusJsonPath);
            return QJsonDocument::fromJson(QByteArray::fromStdString(answer.substr(answer.find("\r\n\r\n") + 4)))
                .object()
                .value(QStringLiteral("reconnect"))
                .toObject();
        };
        const auto reconnectingGauge = [&] {
            const std::string answer = *monitor.MachineAnswer(TMonitor::kMetricsPath);
            return answer.find("\nlinewatch_reconnecting 1\n") != std::string::npos;
        };
        QVERIFY(!reconnectingGauge());
        QCOMPARE(reconnect().value(QStringLiteral("reconnecting")).toBool(true), false);
        monitor.Connect();
        QTRY_VERIFY(monitor.Reconnect.WaitRemainingMs() >= 0);
        SetErrorReporter(previous);
        const QJsonObject waiting = reconnect();
        QCOMPARE(waiting.value(QStringLiteral("reconnecting")).toBool(), true);
        QCOMPARE(waiting.value(QStringLiteral("waiting")).toBool(), true);
        QCOMPARE(waiting.value(QStringLiteral("attempt")).toInteger(), 1);
        QCOMPARE(waiting.value(QStringLiteral("reason")).toString(), QStringLiteral("connection refused"));
        const qint64 next = waiting.value(QStringLiteral("next_attempt_in_seconds")).toInteger();
        QVERIFY2(next >= 20 && next <= 36, qPrintable(QString::number(next)));
        QVERIFY(reconnectingGauge());
        monitor.Connect(); // the user's Disconnect
        QVERIFY(!reconnectingGauge());
        const QJsonObject stopped = reconnect();
        QCOMPARE(stopped.value(QStringLiteral("reconnecting")).toBool(true), false);
        QVERIFY(stopped.value(QStringLiteral("next_attempt_in_seconds")).isNull());
        QCOMPARE(stopped.value(QStringLiteral("attempt")).toInteger(-1), 0);
    }

    void answersFollowTheRecord()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        const auto metrics = [&] {
            return *monitor.MachineAnswer(TMonitor::kMetricsPath) ==
                   HttpAnswer(THttpStatus::Ok, kMetricsContentType, BuildMetrics(monitor.MachineStatus()));
        };
        // The JSON document as built for the snapshot with the answer's own clock reading.
        const auto json = [&] {
            const std::string answer = *monitor.MachineAnswer(TMonitor::kStatusJsonPath);
            TMachineStatus status = monitor.MachineStatus();
            const size_t at = answer.find("\"time_ms\":");
            status.NowMs = at == std::string::npos ? 0 : std::stoll(answer.substr(at + 10, 20));
            return answer == HttpAnswer(THttpStatus::Ok, "application/json", BuildStatusJson(status));
        };
        QVERIFY(metrics());
        QVERIFY(json());
        QVERIFY(json());
        monitor.Session.B1.TX = 12345;
        QVERIFY(metrics());
        monitor.Session.Router.Name = "gw-a";
        QVERIFY(monitor.StatusPage().find("gw-a") != std::string::npos);
        QVERIFY(metrics()); // the router's name and the page counter moved on
        QVERIFY(json());
        monitor.Session.Router.Name = "gw-b";
        QVERIFY(monitor.StatusPage().find("gw-b") != std::string::npos);
        // A history that moved on within the same second shows too.
        const auto withoutCounter = [](const std::string &page) { return page.substr(0, page.rfind("Accessed")); };
        const std::string before = monitor.StatusPage();
        for (int k = 0; k < 5; ++k)
            monitor.Series1.Step(100);
        QVERIFY(withoutCounter(monitor.StatusPage()) != withoutCounter(before));
        QCOMPARE(monitor.PageHits, 4);
        QVERIFY(json());
        monitor.Session.B2.CLID = "5550000";
        monitor.Tick(); // a caller ID logged
        QVERIFY(json());
        QTest::qWait(1000); // the uptime moves on
        QVERIFY(json());
    }
};

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
