// SPDX-License-Identifier: MIT
// TMonitor without any widget: the settings as a value and what loading them opens, the tick's
// steps (tray picture, history, caller IDs) with or without a view, the parser's full pass, the
// channel commands, the version check and the machine status beside the page, all on 127.0.0.1.
#include "apperror.h"
#include "loopbackpeer.h"
#include "metrics.h"
#include "monitor.h"
#include "routerscreens.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <sstream>
#include <vector>

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

// Every error report while it lives, in place of the program's own report.
struct TErrorCatcher
{
    std::vector<std::string> errors;
    ErrorReporter previous = SetErrorReporter([this](const std::string &message) { errors.push_back(message); });

    TErrorCatcher() = default;
    TErrorCatcher(const TErrorCatcher &) = delete;
    TErrorCatcher &operator=(const TErrorCatcher &) = delete;
    ~TErrorCatcher() { SetErrorReporter(previous); }
};

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
        QTest::addColumn<bool>("share");
        QTest::addColumn<QString>("telnetAllow");
        QTest::newRow("never used: no new section") << "" << false << "" << false << "";
        QTest::newRow("used: after the documented sections")
            << "127.0.0.1" << false << "[Network]\r\nBindAddress=127.0.0.1\r\n"
            << false << "";
        QTest::newRow("cleared: the key stays, empty") << "" << true << "[Network]\r\nBindAddress=\r\n" << false << "";
        QTest::newRow("privacy keys: only those set")
            << "" << false << "[Network]\r\nShareCallerIds=1\r\nTelnetAllow=10.0.0.0/8 10.1.2.3\r\n"
            << true << "10.0.0.0/8 10.1.2.3";
    }
    void settingsFileKeepsItsShape()
    {
        QFETCH(QString, bindAddress);
        QFETCH(bool, networkBefore);
        QFETCH(QString, expectedNetwork);
        QFETCH(bool, share);
        QFETCH(QString, telnetAllow);
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
        monitor.Settings.ShareCallerIds = share;
        monitor.Settings.TelnetAllow = telnetAllow.toStdString();
        monitor.SaveSettings();
        // The documented sections as a first run writes them, then the new one.
        QCOMPARE(readFile(path), firstRun + expectedNetwork.toStdString());
        TMonitor reread;
        reread.SetAppDir(dir.path().toStdString());
        reread.LoadSettings();
        QVERIFY(reread.Settings == monitor.Settings);
    }

    // A web configuration the user asked for that cannot be read must never leave the port open
    // without its protection; a good one protects the port, and an edit takes effect at the next
    // request without a restart (a broken edit keeps the last good one).
    void brokenWebConfigOpenedPortUnprotected()
    {
        QTemporaryDir dir;
        const std::string config = dir.filePath(QStringLiteral("web.yml")).toStdString();
        writeFile(config, "basic_auth_users:\n  scraper: [\n");
        TErrorCatcher catcher;
        TMonitor monitor;
        monitor.SetAppDir(dir.path().toStdString());
        monitor.Settings.BindAddress = "127.0.0.1";
        monitor.Settings.WebConfigFile = "web.yml"; // beside the settings file
        monitor.SetWebAdminPort("0");
        QVERIFY(monitor.SetWebAdmin(true)); // the port edit stays enabled: nothing listens
        QVERIFY(!monitor.WebServer.WebServerSocket.Active());
        QCOMPARE(catcher.errors.size(), size_t(1));
        QVERIFY2(catcher.errors.front().find("web.yml") != std::string::npos, catcher.errors.front().c_str());

        // bcrypt of "pw" at the lowest cost, so the test stays quick.
        const std::string hash = "$2y$04$JpbKvgUR4JZ5C5rB4gjx3OWy3AT.urDv6gb/ZAOFTmUTpJY3Q6BEC";
        writeFile(config, "basic_auth_users:\n  scraper: '" + hash + "'\n");
        QVERIFY(!monitor.SetWebAdmin(true));
        QVERIFY(monitor.WebServer.WebServerSocket.Active());
        QVERIFY(monitor.WebPasswordsSet);
        QVERIFY(fetch(monitor, "/metrics").starts_with("HTTP/1.0 401 Unauthorized\r\n"));
        // No users any more: the next request is answered without a password.
        writeFile(config, "http_server_config:\n  headers:\n    X-Site: office\n");
        const std::string open = fetch(monitor, "/metrics");
        QVERIFY2(open.starts_with("HTTP/1.0 200 OK\r\nX-Site: office\r\n"), open.c_str());
        QVERIFY(!monitor.WebPasswordsSet);
        writeFile(config, "http_server_config: [\n");
        QVERIFY(fetch(monitor, "/metrics").starts_with("HTTP/1.0 200 OK\r\nX-Site: office\r\n"));
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

    // The tray's picture at each tick: a channel down blinks the empty meter and the exclamation
    // mark in turn; otherwise the channels' links and usage choose it.
    void trayPictureFollowsChannels()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        QCOMPARE(monitor.TrayPicture(), 38);
        QCOMPARE(monitor.TrayTipText(), std::string("B1[No Data] B2[No Data]"));

        TChannelStatus &B1 = monitor.Session.B1;
        TChannelStatus &B2 = monitor.Session.B2;
        B1.Link = "Down";
        std::vector<int> pictures;
        for (int i = 0; i < 5; ++i) {
            monitor.Tick();
            pictures.push_back(monitor.TrayPicture());
        }
        QCOMPARE(pictures, (std::vector<int>{36, 37, 36, 37, 36}));

        B1.Link = "Idle";
        B2.Link = "64K/Sync";
        B2.CLU = 60;
        monitor.Tick();
        QCOMPARE(monitor.TrayPicture(), 26); // O0D2

        B1.Link = "64K/Sync";
        B1.CLU = 26;
        B2.CLU = 25;
        monitor.Tick();
        QCOMPARE(monitor.TrayPicture(), 6); // D1D0
    }

    // With no view showing only the labels may stand still: the history, the tray's tip and the
    // caller IDs go on at every tick.
    void tickGoesOnWhileNoViewShows()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.ViewShowing = [] { return false; };
        QSignalSpy logged(&monitor, &TMonitor::callerIdLogged);
        TChannelStatus &B1 = monitor.Session.B1;
        B1.Link = "64K/Sync";
        B1.CLU = 50;
        monitor.Tick();
        B1.Link = "Voice";
        B1.CLU = 80;
        B1.CLID = "5551234";
        monitor.Tick();
        QCOMPARE(monitor.Series1.Y(90), 80.0);
        QCOMPARE(monitor.Series1.Y(89), 50.0);
        QVERIFY(QString::fromStdString(monitor.TrayTipText()).contains(QStringLiteral("B1[Voice 80%]")));
        QCOMPARE(logged.count(), 1);
    }

    void callerIdLoggedOncePerCall()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        QSignalSpy logged(&monitor, &TMonitor::callerIdLogged);
        TChannelStatus &B2 = monitor.Session.B2;
        B2.CLID = "5551234";
        for (int i = 0; i < 3; ++i)
            monitor.Tick();
        QCOMPARE(logged.count(), 1);
        QCOMPARE(logged.at(0).at(0).toInt(), 2);
        QVERIFY(logged.at(0).at(1).toString().endsWith(QStringLiteral(" - 555-1234")));

        // The number leaves the screen, then the same caller rings again: a second entry.
        B2.CLID.clear();
        monitor.Tick();
        B2.CLID = "5551234";
        monitor.Tick();
        monitor.Tick();
        QCOMPARE(logged.count(), 2);
        QCOMPARE(logged.at(1).at(0).toInt(), 2);
    }

    // The parser reads the whole status screen only for someone who looks at it, a showing view
    // or the web server; otherwise only what the tray and the caller IDs need.
    void fullPassWhileShownOrServing()
    {
        TErrorCatcher caught;
        TMonitor monitor;
        monitor.Timer1->stop();
        bool showing = false;
        monitor.ViewShowing = [&showing] { return showing; };
        const TChannelStatus &B1 = monitor.Session.B1;
        TChannelRow b1;
        monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
        QCOMPARE(B1.Link, std::string("64K/Sync"));
        QCOMPARE(B1.CLU, 50);
        QCOMPARE(B1.TX, int64_t(0));

        // The web server on (a port the kernel picks): the page needs every field.
        monitor.Settings.BindAddress = "127.0.0.1";
        monitor.SetWebAdminPort("0");
        QVERIFY(!monitor.SetWebAdmin(true));
        monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
        QCOMPARE(B1.TX, int64_t(1234567));

        // Shown, with the server off again.
        QVERIFY(monitor.SetWebAdmin(false));
        b1.tx = "7";
        monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
        QCOMPARE(B1.TX, int64_t(1234567));
        showing = true;
        monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
        QCOMPARE(B1.TX, int64_t(7));
        QVERIFY(caught.errors.empty());
    }

    // Loading the settings opens each listener on its port, and the page takes the loaded colours.
    void loadingSettingsOpensListeners()
    {
        int telnetPort = 0;
        int webPort = 0;
        {
            LoopbackListener telnet;
            LoopbackListener web;
            telnetPort = telnet.port();
            webPort = web.port();
        }
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("linewatch.ini")).toStdString(),
                  "[RemoteAdmin]\r\nTelnet=1\r\nTelnetPort=" + std::to_string(telnetPort) +
                      "\r\nWeb=1\r\nWebPort=" + std::to_string(webPort) +
                      "\r\n[Graphs]\r\nB1CLUBackgroundColor=255\r\nB2GridColor=$FF0000\r\n"
                      "[Network]\r\nBindAddress=127.0.0.1\r\n");
        TErrorCatcher caught;
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.SetAppDir(dir.path().toStdString());
        monitor.LoadSettings();
        monitor.ApplySettings();

        QVERIFY(caught.errors.empty());
        QVERIFY(monitor.Relay.TelnetServerSocket.Active());
        QCOMPARE(monitor.Relay.TelnetServerSocket.Socket()->LocalPort(), telnetPort);
        QVERIFY(monitor.WebServer.WebServerSocket.Active());
        QCOMPARE(monitor.WebServer.WebServerSocket.Socket()->LocalPort(), webPort);
        QVERIFY(monitor.StatusPage().find("\"#FF0000\"") != std::string::npos);

        // Switched off by the user: the port may be edited again.
        QVERIFY(monitor.SetWebAdmin(false));
        QVERIFY(!monitor.WebServer.WebServerSocket.Active());
    }

    // The service names are cached; a reset record, as a disconnection leaves, reads services.ini
    // afresh, so a name the user added shows from then on.
    void resetReadsServiceNamesAfresh()
    {
        QTemporaryDir dir;
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.SetAppDir(dir.path().toStdString());
        QCOMPARE(monitor.ServiceNames.LookupServiceName(0), std::string("?"));
        writeFile(dir.filePath(QStringLiteral("services.ini")).toStdString(), "[tcp]\r\n0=none\r\n");
        QCOMPARE(monitor.ServiceNames.LookupServiceName(0), std::string("?"));
        monitor.Session.sktBrelwickDisconnect(nullptr, nullptr);
        QCOMPARE(monitor.ServiceNames.LookupServiceName(0), std::string("none"));
        QVERIFY(monitor.StatusPage().find("0.0.0.0:0 [none]") != std::string::npos);
    }

    // The check with the real HTTP client, pointed at a server on 127.0.0.1 in place of the update
    // host, which is only compared, never contacted.
    void checkNowFetchesFromLoopbackServer()
    {
        std::string body;
        TServerSocket server;
        server.SetBindAddress("127.0.0.1");
        server.SetPort(0);
        server.OnClientRead = [&body](QObject *, TCustomWinSocket *socket) {
            socket->ReceivePending();
            socket->SendString("HTTP/1.0 200 OK\r\n\r\n" + body);
            socket->CloseConnection();
        };
        server.SetActive(true);
        const int port = server.Socket()->LocalPort();
        std::vector<std::string> urls;
        TMonitor::THooks hooks;
        hooks.FetchVersionFile = [&urls, port](const std::string &url) {
            urls.push_back(url);
            return FetchWithHttpClient("http://127.0.0.1:" + std::to_string(port) + "/linewatch/linewatchver.txt");
        };
        TErrorCatcher caught;
        QTemporaryDir dir;
        TMonitor monitor(std::move(hooks));
        monitor.Timer1->stop();
        monitor.SetAppDir(dir.path().toStdString());
        std::vector<TNewVersionTexts> shown;
        monitor.ShowNewVersion = [&shown](const TNewVersionTexts &texts) { shown.push_back(texts); };
        QStringList messages;
        connect(&monitor, &TMonitor::statusMessage, this, [&messages](const QString &text) { messages << text; });
        QList<bool> enabled;
        connect(&monitor, &TMonitor::checkNowEnabled, this, [&enabled](bool on) { enabled << on; });

        body = "[VERSION]\r\nLatest=1.0.2.0\r\nLocation=http://127.0.0.1/get\r\n[1.0.2.0]\r\nDate=12/1/26\r\n"
               "LINE1=Faster\r\n";
        monitor.CheckNow();
        QCOMPARE(urls, std::vector<std::string>{"http://www.brelwick.example/linewatch/linewatchver.txt"});
        // Check Now is off while the fetch waits, and the panel says what is going on.
        QCOMPARE(messages, (QStringList{QStringLiteral("Checking for new version"),
                                        QStringLiteral("New version found: 1.0.2.0")}));
        QCOMPARE(enabled, (QList<bool>{false, true}));
        QCOMPARE(shown.size(), size_t(1));
        QCOMPARE(shown[0].CurrentVersion, QStringLiteral("1.0.2.0  12/1/26"));
        QCOMPARE(shown[0].ThisVersion, QStringLiteral("1.0.1.3  8/16/00"));
        QCOMPARE(shown[0].Url, QStringLiteral("http://127.0.0.1/get"));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("linewatchver.txt")).toStdString()), body);

        body = "[VERSION]\r\nLatest=1.0.1.3\r\n";
        monitor.CheckNow();
        QCOMPARE(messages.last(), QStringLiteral("No new version found."));
        QCOMPARE(shown.size(), size_t(1));
        QVERIFY(caught.errors.empty());

        // Nobody listens any more: the error is reported once and Check Now can be used again.
        server.SetActive(false);
        monitor.CheckNow();
        QCOMPARE(caught.errors, std::vector<std::string>{"Connection Failed"});
        QCOMPARE(messages.last(), QStringLiteral("Update check failed"));
        QCOMPARE(enabled.last(), true);
    }

    // A fake router on 127.0.0.1 records what the monitor types: the channel commands count only
    // on the status screen, which is told as it comes up; Connect while connected disconnects.
    void channelCommandsTypeTheirTags()
    {
        LoopbackListener listener;
        TErrorCatcher caught;
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.Settings.SetText(SettingControl::edtTelnetAddress, "127.0.0.1");
        monitor.Settings.SetText(SettingControl::edtTelnetPort, std::to_string(listener.port()));
        QSignalSpy connected(&monitor, &TMonitor::connectionChanged);
        QSignalSpy shown(&monitor, &TMonitor::statusScreenShown);
        monitor.Connect();
        LoopbackPeer router = listener.accept();
        QVERIFY(router.isOpen());
        QTRY_VERIFY(monitor.Session.sktBrelwick.Active());
        QCOMPARE(connected.count(), 1);
        QCOMPARE(connected.at(0).at(0).toBool(), true);

        monitor.SendChannelCommand(1);
        monitor.Session.LoginStep = 7;
        monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
        QCOMPARE(shown.count(), 1);
        QCOMPARE(shown.at(0).at(0).toBool(), true);
        for (int tag = 1; tag <= 4; ++tag)
            monitor.SendChannelCommand(tag);
        QVERIFY(router.waitFor("4"));
        QCOMPARE(router.input(), std::string("1234"));

        monitor.Connect();
        QVERIFY(!monitor.Session.sktBrelwick.Active());
        QCOMPARE(connected.count(), 2);
        QCOMPARE(connected.at(1).at(0).toBool(), false);
        QVERIFY(caught.errors.empty());
    }

    // The page's usage figures carry the user's decimal separator, or the point where the page's
    // 8-bit character set cannot carry it.
    void pageWritesTheUsersDecimalSeparator_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("cell");
        QTest::newRow("point") << QLocale::c() << QStringLiteral(">50%  (3.91KB/s)</td>");
        QTest::newRow("comma") << QLocale(QLocale::German, QLocale::Germany) << QStringLiteral(">50%  (3,91KB/s)</td>");
        QTest::newRow("arabic") << QLocale(QLocale::Arabic, QLocale::Egypt) << QStringLiteral(">50%  (3.91KB/s)</td>");
    }
    void pageWritesTheUsersDecimalSeparator()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, cell);
        QLocale::setDefault(locale);
        const auto restore = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.Session.B1.Link = "64K/Sync";
        monitor.Session.B1.Speed = 64;
        monitor.Session.B1.CLU = 50;
        QVERIFY(monitor.StatusPage().find(cell.toStdString()) != std::string::npos);
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

    // The stream carries the status once per tick while something changed and nothing in between;
    // a call logged is an event of its own.
    void streamSendsOnlyChanges()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.Settings.BindAddress = "127.0.0.1";
        monitor.SetWebAdminPort("0");
        QVERIFY(!monitor.SetWebAdmin(true));
        LoopbackPeer browser;
        QVERIFY(browser.connectTo(monitor.WebServer.WebServerSocket.Socket()->LocalPort()));
        QVERIFY(browser.send("GET /events HTTP/1.1\r\n\r\n"));
        QVERIFY(browser.waitFor("event: status\n"));
        QVERIFY(browser.waitFor("\n\n", LoopbackPeer::kWaitMs));
        const auto events = [&browser] {
            // Anything sent on loopback has arrived after a turn of the loop.
            QTest::qWait(50);
            std::string text = browser.input();
            int n = 0;
            for (std::size_t at = text.find("event: "); at != std::string::npos; at = text.find("event: ", at + 1))
                ++n;
            return n;
        };
        monitor.Tick();
        const int first = events();
        QCOMPARE(first, 1);
        for (int k = 0; k < 3; ++k)
            monitor.Tick();
        QCOMPARE(events(), 1);
        monitor.Session.B1.TX = 4242424242;
        monitor.Session.B1.CLID = "5551234";
        monitor.Tick();
        QVERIFY(browser.waitFor("4242424242"));
        // This machine is trusted with the caller's number.
        QVERIFY(browser.input().find("\"clid\":\"5551234\"") != std::string::npos);
        monitor.Tick();
        QCOMPARE(events(), 2);
        emit monitor.historyChanged();
        QVERIFY(browser.waitFor("event: call\ndata: {}\n\n"));
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

    // The info series was labelled "No Data" until the router named itself, and again after
    // each loss; now it waits for the name and keeps it.
    void infoSeriesNamedNoData()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        const auto info = [&] {
            const std::string answer = *monitor.MachineAnswer(TMonitor::kMetricsPath);
            const size_t at = answer.find("\nlinewatch_router_info{");
            return at == std::string::npos ? std::string() : answer.substr(at + 1, answer.find('\n', at + 1) - at - 1);
        };
        QCOMPARE(info(), std::string());
        monitor.Session.Router.Name = "office-gw";
        monitor.Session.Router.Firmware = "V2.1";
        monitor.Session.ScreenChanged(); // the chunk that painted them; no tick yet
        QCOMPARE(info(), std::string(R"(linewatch_router_info{name="office-gw",firmware="V2.1"} 1)"));
        monitor.Session.ResetStatus(); // the connection ended
        monitor.Tick();
        QCOMPARE(info(), std::string(R"(linewatch_router_info{name="office-gw",firmware="V2.1"} 1)"));
        QVERIFY(monitor.MachineAnswer(TMonitor::kMetricsPath)->find("No Data") == std::string::npos);
    }

    // Each call the history logs counts once, under its channel, kind and direction.
    void callsCountedAsLogged()
    {
        QTemporaryDir dir;
        TMonitor monitor;
        monitor.Timer1->stop();
        monitor.SetAppDir(dir.path().toStdString());
        monitor.SetDataDirectory(dir.path().toStdString(), false);
        monitor.ApplySettings();
        const auto count = [&](const char *labels) {
            const std::string answer = *monitor.MachineAnswer(TMonitor::kMetricsPath);
            const std::string name = std::string("\nlinewatch_calls_total{") + labels + "} ";
            const size_t at = answer.find(name);
            return at == std::string::npos ? -1 : std::stoi(answer.substr(at + name.size()));
        };
        const char *const b1Data = R"(channel="B1",kind="data",direction="outgoing")";
        QCOMPARE(count(b1Data), 0);
        monitor.Session.B1.Link = "PPP";
        monitor.Session.B1.TX = 100;
        monitor.Tick();
        monitor.Settings.Logging.Enabled = false;
        monitor.Tick(); // the open call ends as at a stop, and is logged
        QCOMPARE(count(b1Data), 1);
        QCOMPARE(count(R"(channel="B2",kind="voice",direction="incoming")"), 0);
    }

    void answersFollowTheRecord()
    {
        TMonitor monitor;
        monitor.Timer1->stop();
        // The process's figures close the document and move on their own.
        const auto metrics = [&] {
            const std::string answer = *monitor.MachineAnswer(TMonitor::kMetricsPath);
            const std::string built = BuildMetrics(monitor.MachineStatus());
            const size_t process = answer.find("# HELP process_");
            const size_t body = answer.find("\r\n\r\n") + 4;
            return process != std::string::npos && answer.substr(body, process - body) == built;
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
