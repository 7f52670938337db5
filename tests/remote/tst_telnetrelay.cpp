// SPDX-License-Identifier: MIT
// The telnet relay over loopback. A fake router (a plain listener in the test) shows exactly what
// the monitor types and when it connects; the router simulator checks the whole road once: a
// remote user logs in through the relay while the monitor reads along, then the monitor logs in
// again by itself.
#include "loopbackpeer.h"
#include "telnetrelay.h"

#include "addressfilter.h"
#include "apperror.h"
#include "consolesession.h"

#include <QProcess>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

const std::string kPrompt = "Password: ";

std::string allByteValues()
{
    std::string bytes;
    for (int c = 0; c < 256; ++c)
        bytes += static_cast<char>(c);
    return bytes;
}

} // namespace

class TestTelnetRelay : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void remoteUserIsRelayed();
    void routerClosingWhileRelayed();
    void uncheckingWhileRelayed();
    void secondRemoteUser();
    void unattachedUserNeverReachesRouter_data();
    void unattachedUserNeverReachesRouter();
    void userBeforeAnyConnect();
    void badPortText();
    void relayServedEveryAddress_data();
    void relayServedEveryAddress();
    void throughTheRouterSimulator();

private:
    // The monitor connects to the fake router and types its password at the prompt.
    void monitorLogsIn();
    // A remote user connects; the monitor's router connection is re-made for them.
    void userConnects(LoopbackPeer &user);
    // Accepts every router connection the monitor makes until it settles and keeps the one still
    // open in m_routerSide: an attempt dropped while connecting is closed at once.
    void settleRouterConnection();
    int relayPort() const { return m_relay->TelnetServerSocket.Socket()->LocalPort(); }

    std::unique_ptr<LoopbackListener> m_router;
    std::unique_ptr<TConsoleSession> m_session;
    std::unique_ptr<TTelnetRelay> m_relay;
    LoopbackPeer m_routerSide; // the router's end of the current console connection
    std::vector<std::string> m_errors;
    // Reports of peers' doing: the log's, never a box's.
    std::vector<std::string> m_peerErrors;
    std::string m_panel0 = "(untouched)";
};

void TestTelnetRelay::init()
{
    m_errors.clear();
    m_panel0 = "(untouched)";
    SetErrorReporter([this](const std::string &message) { m_errors.push_back(message); });
    SetPeerErrorReporter([this](const std::string &message) { m_peerErrors.push_back(message); });
    m_router = std::make_unique<LoopbackListener>();
    m_session = std::make_unique<TConsoleSession>();
    m_session->PasswordText = [] { return std::string("1234"); };
    m_relay = std::make_unique<TTelnetRelay>(*m_session);
    m_relay->SetStatusText = [this](const std::string &text) { m_panel0 = text; };
    QCOMPARE(m_relay->chkTelnetAdminClick(true, "0"), false);
    QVERIFY(m_relay->TelnetServerSocket.Active());
}

void TestTelnetRelay::cleanup()
{
    m_relay.reset();
    m_session.reset();
    m_routerSide.close();
    m_router.reset();
    SetErrorReporter({});
    SetPeerErrorReporter({});
}

void TestTelnetRelay::monitorLogsIn()
{
    m_session->btnConnectClick("127.0.0.1", std::to_string(m_router->port()));
    m_routerSide = m_router->accept();
    QVERIFY(m_routerSide.isOpen());
    QTRY_VERIFY(m_session->sktBrelwick.Active());
    QVERIFY(m_routerSide.send(kPrompt));
    QVERIFY(m_routerSide.waitFor("1234\r"));
    QCOMPARE(m_routerSide.takeInput(), std::string("1234\r"));
}

void TestTelnetRelay::userConnects(LoopbackPeer &user)
{
    LoopbackPeer previous = std::move(m_routerSide);
    QVERIFY(user.connectTo(relayPort()));
    m_routerSide = m_router->accept();
    QVERIFY(m_routerSide.isOpen());
    QTRY_VERIFY(m_session->sktBrelwick.Active());
    QVERIFY(m_relay->RemoteClientConnected());
    QCOMPARE(m_panel0, std::string(TTelnetRelay::kRelayingText));
    if (previous.isOpen())
        QVERIFY(previous.waitClosed()); // the monitor's own session ended first
}

void TestTelnetRelay::settleRouterConnection()
{
    std::vector<LoopbackPeer> made;
    for (LoopbackPeer next = m_router->accept(); next.isOpen(); next = m_router->accept(200))
        made.push_back(std::move(next));
    // The superseded ones are closed by the monitor, on a busy machine a while later.
    const auto open = [&made] {
        return int(std::count_if(made.begin(), made.end(), [](LoopbackPeer &c) { return !c.closedByPeer(); }));
    };
    QTRY_COMPARE_WITH_TIMEOUT(open(), 1, LoopbackPeer::kWaitMs);
    for (LoopbackPeer &connection : made)
        if (!connection.closedByPeer())
            m_routerSide = std::move(connection);
    QTRY_VERIFY(m_session->sktBrelwick.Active());
}

void TestTelnetRelay::remoteUserIsRelayed()
{
    monitorLogsIn();
    m_session->B1.Link = "Voice";
    LoopbackPeer user;
    userConnects(user);
    QCOMPARE(m_session->B1.Link, std::string("No Data")); // the monitor's session ended

    // The remote user sees the new connection's password prompt; the monitor does not answer it.
    QVERIFY(m_routerSide.send(kPrompt));
    QVERIFY(user.waitFor(kPrompt));
    QCOMPARE(user.takeInput(), kPrompt);
    QCOMPARE(m_session->LoginStep, uint8_t(0));

    // Bytes pass unchanged both ways; the router hears the user's keys and nothing else.
    const std::string bytes = allByteValues();
    QVERIFY(user.send(bytes));
    QVERIFY(m_routerSide.waitFor(bytes));
    QCOMPARE(m_routerSide.takeInput(), bytes);
    QVERIFY(m_routerSide.send(bytes + kPrompt));
    QVERIFY(user.waitFor(bytes + kPrompt));
    QCOMPARE(user.takeInput(), bytes + kPrompt);
    QCOMPARE(m_routerSide.takeInput(), std::string());

    // The user leaves: the router connection is made again and the monitor logs in by itself.
    LoopbackPeer relayed = std::move(m_routerSide);
    user.close();
    m_routerSide = m_router->accept();
    QVERIFY(m_routerSide.isOpen());
    QVERIFY(relayed.waitClosed());
    QVERIFY(!m_relay->RemoteClientConnected());
    QCOMPARE(m_panel0, std::string());
    QTRY_VERIFY(m_session->sktBrelwick.Active());
    QVERIFY(m_routerSide.send(kPrompt));
    QVERIFY(m_routerSide.waitFor("1234\r"));
    QVERIFY(m_errors.empty());
}

void TestTelnetRelay::routerClosingWhileRelayed()
{
    monitorLogsIn();
    LoopbackPeer user;
    userConnects(user);

    m_routerSide.close();
    QVERIFY(user.waitClosed());
    QVERIFY(!m_relay->RemoteClientConnected());
    QCOMPARE(m_panel0, std::string());
    // The re-make ran nested in the router connection's own disconnect and made no attempt.
    QVERIFY(!m_session->sktBrelwick.Active());
    QVERIFY(!m_router->pending());
    QVERIFY(m_relay->TelnetServerSocket.Active());
}

void TestTelnetRelay::uncheckingWhileRelayed()
{
    monitorLogsIn();
    LoopbackPeer user;
    userConnects(user);

    LoopbackPeer relayed = std::move(m_routerSide);
    QCOMPARE(m_relay->chkTelnetAdminClick(false, "0"), true);
    QVERIFY(!m_relay->TelnetServerSocket.Active());
    QVERIFY(!m_relay->RemoteClientConnected());
    QCOMPARE(m_panel0, std::string());
    QVERIFY(user.waitClosed());
    QVERIFY(relayed.waitClosed());

    m_routerSide = m_router->accept();
    QVERIFY(m_routerSide.isOpen());
    QTRY_VERIFY(m_session->sktBrelwick.Active());
    QVERIFY(m_routerSide.send(kPrompt));
    QVERIFY(m_routerSide.waitFor("1234\r"));

    // Unchecking while nobody is relayed leaves the router connection alone.
    QCOMPARE(m_relay->chkTelnetAdminClick(true, "0"), false);
    QCOMPARE(m_relay->chkTelnetAdminClick(false, "0"), true);
    QVERIFY(m_session->sktBrelwick.Active());
    QVERIFY(!m_router->pending());
}

void TestTelnetRelay::secondRemoteUser()
{
    monitorLogsIn();
    LoopbackPeer first;
    userConnects(first);

    // The second user takes over: the first goes with the old router connection.
    LoopbackPeer second;
    userConnects(second);
    QVERIFY(first.waitClosed());

    QVERIFY(m_routerSide.send(kPrompt));
    QVERIFY(second.waitFor(kPrompt));
    QVERIFY(second.send("1234\r"));
    QVERIFY(m_routerSide.waitFor("1234\r"));
    QCOMPARE(m_routerSide.takeInput(), std::string("1234\r"));
    QCOMPARE(m_session->LoginStep, uint8_t(0));
}

void TestTelnetRelay::unattachedUserNeverReachesRouter_data()
{
    QTest::addColumn<bool>("secondLeaves");
    QTest::addColumn<bool>("whileConnecting");
    QTest::newRow("back to back, second leaves") << true << false;
    QTest::newRow("second leaves while connecting") << true << true;
    QTest::newRow("replaced user's late bytes") << false << false;
}

void TestTelnetRelay::unattachedUserNeverReachesRouter()
{
    // Two users arrive back to back, the second while the router connection for the first is
    // still being made. The second replaces the first, who is closed at once: nothing the first
    // types ever reaches the router, neither the second's session nor the monitor's own.
    QFETCH(bool, secondLeaves);
    QFETCH(bool, whileConnecting);
    monitorLogsIn();
    LoopbackPeer first, second;
    QVERIFY(first.connectTo(relayPort()));
    QVERIFY(second.connectTo(relayPort()));
    if (whileConnecting)
        second.close();
    settleRouterConnection();
    QVERIFY(m_routerSide.send(kPrompt));

    if (!secondLeaves) {
        QVERIFY(second.waitFor(kPrompt));
    } else if (!whileConnecting) {
        QVERIFY(second.waitFor(kPrompt));
        second.close();
        settleRouterConnection();
        QVERIFY(m_routerSide.send(kPrompt));
    }
    if (secondLeaves) {
        // The monitor logs in again by itself.
        QVERIFY(m_routerSide.waitFor("1234\r"));
        QCOMPARE(m_routerSide.takeInput(), std::string("1234\r"));
        QCOMPARE(m_panel0, std::string());
    }
    QVERIFY(first.waitClosed());
    QCOMPARE(first.input(), std::string());

    first.send("B1 dropped by a stranger\r"); // fails once the close has reached it
    if (!secondLeaves) {
        QVERIFY(second.send("1234\r"));
        QVERIFY(m_routerSide.waitFor("1234\r"));
    }
    QTest::qWait(50);
    QCOMPARE(m_routerSide.takeInput(), secondLeaves ? std::string() : std::string("1234\r"));
    QCOMPARE(m_relay->RemoteClientConnected(), !secondLeaves);
    QCOMPARE(m_relay->TelnetServerSocket.Socket()->ActiveConnections(), secondLeaves ? 0 : 1);
    QVERIFY(m_errors.empty());
}

void TestTelnetRelay::relayServedEveryAddress_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<int>("badEntries");
    QTest::newRow("empty: everyone") << QString() << QStringLiteral("203.0.113.9") << true << 0;
    QTest::newRow("only separators") << QStringLiteral(" , ") << QStringLiteral("127.0.0.1") << true << 0;
    QTest::newRow("in the block") << QStringLiteral("192.168.1.0/24 10.0.0.5") << QStringLiteral("192.168.1.77") << true
                                  << 0;
    QTest::newRow("single address") << QStringLiteral("192.168.1.0/24,10.0.0.5") << QStringLiteral("10.0.0.5") << true
                                    << 0;
    QTest::newRow("next to it") << QStringLiteral("192.168.1.0/24, 10.0.0.5") << QStringLiteral("10.0.0.6") << false
                                << 0;
    QTest::newRow("block's edge") << QStringLiteral("192.168.1.0/24") << QStringLiteral("192.168.2.0") << false << 0;
    QTest::newRow("host bits set") << QStringLiteral("192.168.1.9/24") << QStringLiteral("192.168.1.200") << true << 0;
    QTest::newRow("/0: everyone") << QStringLiteral("0.0.0.0/0") << QStringLiteral("203.0.113.9") << true << 0;
    QTest::newRow("loopback listed") << QStringLiteral("127.0.0.0/8") << QStringLiteral("127.0.0.1") << true << 0;
    QTest::newRow("loopback left out") << QStringLiteral("10.0.0.0/8") << QStringLiteral("127.0.0.1") << false << 0;
    // Bad entries are reported and left out; the good ones still apply.
    QTest::newRow("bad entries") << QStringLiteral("10.0.0/8 10.0.0.1/33 host 1.2.3.256 127.0.0.1")
                                 << QStringLiteral("127.0.0.1") << true << 4;
    QTest::newRow("all bad") << QStringLiteral("127.0.0.1/ /8") << QStringLiteral("127.0.0.1") << true << 2;
}

void TestTelnetRelay::relayServedEveryAddress()
{
    QFETCH(QString, list);
    QFETCH(QString, peer);
    QFETCH(bool, allowed);
    QFETCH(int, badEntries);
    std::vector<std::string> rejected;
    const TAddressFilter filter = TAddressFilter::Parse(list.toStdString(), &rejected);
    QCOMPARE(int(rejected.size()), badEntries);
    QCOMPARE(filter.Allows(*ParseIPv4(peer.toStdString())), allowed);
    if (peer != QStringLiteral("127.0.0.1"))
        return;

    // The one address a test can come from, through the relay itself.
    monitorLogsIn();
    m_relay->SetAllowList(list.toStdString());
    QCOMPARE(int(m_errors.size()), badEntries);
    LoopbackPeer user;
    if (allowed) {
        userConnects(user);
        return;
    }
    // Refused: closed at once, nothing told, and the monitor's own session never let go.
    QVERIFY(user.connectTo(relayPort()));
    QVERIFY(user.waitClosed());
    QCOMPARE(user.input(), std::string());
    QVERIFY(!m_router->accept(200).isOpen());
    QVERIFY(!m_relay->RemoteClientConnected());
    QVERIFY(!m_routerSide.closedByPeer());
    QVERIFY(m_session->sktBrelwick.Active());
    QCOMPARE(m_routerSide.takeInput(), std::string());
}

void TestTelnetRelay::userBeforeAnyConnect()
{
    // Without the Settings page's fields the router connection has no address: reported, and
    // the user is told in one line and let go without being relayed.
    LoopbackPeer unrelayed;
    QVERIFY(unrelayed.connectTo(relayPort()));
    QTRY_COMPARE(m_peerErrors, std::vector<std::string>{"No address specified"});
    QVERIFY(m_errors.empty());
    QVERIFY(!m_relay->RemoteClientConnected());
    QCOMPARE(m_panel0, std::string("(untouched)"));
    QVERIFY(unrelayed.waitClosed());
    QCOMPARE(unrelayed.input(), std::string(TTelnetRelay::kFailedLine));
    unrelayed.close();
    QTRY_COMPARE(m_relay->TelnetServerSocket.Socket()->ActiveConnections(), 0);
    m_errors.clear();

    // With them, the user is relayed to the address and port they hold.
    m_relay->ConnectionFields = [this] {
        return TTelnetRelay::TConnectionFields{"127.0.0.1", std::to_string(m_router->port())};
    };
    LoopbackPeer user;
    userConnects(user);
    QVERIFY(m_routerSide.send(kPrompt));
    QVERIFY(user.waitFor(kPrompt));
    QCOMPARE(m_session->sktBrelwick.Address(), std::string("127.0.0.1"));
    QVERIFY(m_errors.empty());
}

void TestTelnetRelay::badPortText()
{
    QCOMPARE(m_relay->chkTelnetAdminClick(false, "0"), true);
    // The edit is disabled before the conversion fails, and nothing listens.
    QCOMPARE(m_relay->chkTelnetAdminClick(true, "23x"), false);
    QCOMPARE(m_errors, std::vector<std::string>{"'23x' is not a valid integer value"});
    QVERIFY(!m_relay->TelnetServerSocket.Active());
    QCOMPARE(m_relay->chkTelnetAdminClick(false, "23x"), true);
    QCOMPARE(m_errors.size(), size_t(1));
}

void TestTelnetRelay::throughTheRouterSimulator()
{
    const QString simulator = QStringLiteral(LW_BINARY_DIR "/linewatch-routersim");
    if (!QFile::exists(simulator))
        QSKIP("linewatch-routersim is not built");
    QProcess sim;
    sim.start(simulator, {"--port", "0", "--seed", "7"});
    QVERIFY(sim.waitForStarted());
    const auto cleanupSim = qScopeGuard([&] {
        sim.kill();
        sim.waitForFinished();
    });
    int port = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            sim.waitForReadyRead(10);
            while (sim.canReadLine()) {
                const QByteArray line = sim.readLine().trimmed();
                if (line.startsWith("listening on 127.0.0.1:"))
                    port = line.mid(line.lastIndexOf(':') + 1).toInt();
            }
            return port > 0;
        }(),
        10000);

    // The monitor walks to the status screen by itself.
    m_session->btnConnectClick("127.0.0.1", std::to_string(port));
    QTRY_COMPARE_WITH_TIMEOUT(m_session->LoginStep, uint8_t(7), 10000);

    // A remote user logs in through the relay and opens the status screen; the monitor reads it.
    LoopbackPeer user;
    QVERIFY(user.connectTo(relayPort()));
    QTRY_VERIFY(m_relay->RemoteClientConnected());
    QVERIFY(user.waitFor("Password: "));
    QCOMPARE(m_session->LoginStep, uint8_t(0));
    QVERIFY(user.send("1234\r"));
    QVERIFY(user.waitFor("Enter Menu Selection Number: "));
    user.takeInput();
    QVERIFY(user.send("24\r"));
    QVERIFY(user.waitFor("Enter Menu Selection Number: "));
    QVERIFY(user.send("1\r"));
    QVERIFY(user.waitFor("Menu 24.1"));
    QTRY_VERIFY_WITH_TIMEOUT(m_session->B1.Link != "No Data", 10000);
    QCOMPARE(m_session->LoginStep, uint8_t(0));

    // The user leaves; the monitor logs in again on a new connection.
    user.close();
    QTRY_VERIFY(!m_relay->RemoteClientConnected());
    QTRY_COMPARE_WITH_TIMEOUT(m_session->LoginStep, uint8_t(7), 10000);
    QVERIFY(m_errors.empty());
}

QTEST_GUILESS_MAIN(TestTelnetRelay)
#include "tst_telnetrelay.moc"
