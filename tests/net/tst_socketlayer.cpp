// The socket layer's event contract over real sockets on 127.0.0.1: when each handler runs, what
// it sees, which reports never reach a handler, and the errors raised and reported.
#include "rawpeer.h"
#include "socketlayer.h"

#include <QtTest>

#include <memory>

namespace {

// A client component with handlers that log what they see.
struct LoggedClient
{
    TClientSocket client;
    std::vector<std::string> log;
    int connects = 0;
    int disconnects = 0;
    std::string received;

    LoggedClient()
    {
        client.OnConnect = [this](QObject *, TCustomWinSocket *) {
            ++connects;
            log.push_back("connect");
        };
        client.OnRead = [this](QObject *, TCustomWinSocket *socket) { received += socket->ReceivePending(); };
        client.OnDisconnect = [this](QObject *, TCustomWinSocket *) {
            ++disconnects;
            log.push_back(client.Active() ? "disconnect active" : "disconnect inactive");
        };
    }

    void open(int port)
    {
        client.SetAddress("127.0.0.1");
        client.SetPort(port);
        client.SetActive(true);
    }
};

// A listener on an ephemeral port with handlers that count.
struct LoggedServer
{
    TServerSocket server;
    std::vector<TCustomWinSocket *> accepted;
    std::vector<TCustomWinSocket *> disconnected;

    LoggedServer()
    {
        server.OnAccept = [this](QObject *, TCustomWinSocket *socket) { accepted.push_back(socket); };
        server.OnClientDisconnect = [this](QObject *, TCustomWinSocket *socket) { disconnected.push_back(socket); };
        server.SetActive(true);
    }
    int port() const { return server.Socket()->LocalPort(); }
};

// A port on which nothing listens (until someone else takes it, which the tests accept).
int closedPort()
{
    TServerSocket probe;
    probe.SetActive(true);
    return probe.Socket()->LocalPort();
}

} // namespace

class TestSocketLayer : public QObject
{
    Q_OBJECT

private slots:
    void readJoinsPendingSegments();
    void unreadDataDoesNotSpin();
    void closingNestsDisconnectWithActiveFalse();
    void secondActivateDropsPendingAttempt_data();
    void secondActivateDropsPendingAttempt();
    void activateInsideDisconnectIsIgnored_data();
    void activateInsideDisconnectIsIgnored();
    void idleClientSendsNothing();
    void clientConnectionsKeepClosingPeerUntilNextTurn();
    void closingListenerOrComponentsIsSilent_data();
    void closingListenerOrComponentsIsSilent();
    void errorHandlerControlsAsyncReport_data();
    void errorHandlerControlsAsyncReport();
    void refusedConnectReportsAndAllowsRetry();
    void openingErrors_data();
    void openingErrors();
    void busyPortThenLaterOpen();
    void propertiesLockedWhileActive();
    void peerHalfCloseDeliversDataThenDisconnect();
    void throwingHandlerIsReported();
};

void TestSocketLayer::readJoinsPendingSegments()
{
    RawListener listener;
    LoggedClient c;
    std::vector<std::string> reads;
    c.client.OnRead = [&](QObject *, TCustomWinSocket *socket) {
        reads.push_back(socket->ReceivePending());
        reads.push_back(socket->ReceivePending()); // nothing is left: empty, and no wait
    };
    c.open(listener.port);
    QTRY_COMPARE(c.connects, 1);
    std::unique_ptr<RawPeer> peer(listener.accept());
    // Three writes with Nagle off are three segments; the loop does not turn in between.
    peer->send("one ");
    peer->send("two ");
    peer->send("three");
    QTRY_COMPARE(reads.size(), std::size_t(2));
    QCOMPARE(reads[0], std::string("one two three"));
    QCOMPARE(reads[1], std::string());
    QCOMPARE(c.client.Socket()->ReceivePending(), std::string());

    peer->send("four");
    QTRY_COMPARE(reads.size(), std::size_t(4));
    QCOMPARE(reads[2], std::string("four"));
}

void TestSocketLayer::unreadDataDoesNotSpin()
{
    LoggedServer s;
    int reads = 0;
    TCustomWinSocket *connection = nullptr;
    s.server.OnClientRead = [&](QObject *, TCustomWinSocket *socket) {
        ++reads;
        connection = socket;
    };
    std::unique_ptr<RawPeer> peer(RawPeer::connectTo(s.port()));
    peer->send("left unread");
    QTRY_COMPARE(reads, 1);
    // A level-triggered notifier left on would report the same bytes on every turn.
    for (int turn = 0; turn < 50; ++turn)
        QCoreApplication::processEvents();
    QCOMPARE(reads, 1);
    QCOMPARE(connection->ReceivePending(), std::string("left unread"));
    peer->send("more");
    QTRY_COMPARE(reads, 2);
}

void TestSocketLayer::closingNestsDisconnectWithActiveFalse()
{
    RawListener listener;
    LoggedClient c;
    c.open(listener.port);
    QTRY_COMPARE(c.connects, 1);
    QVERIFY(c.client.Active());
    std::unique_ptr<RawPeer> peer(listener.accept());

    // From a read handler: the disconnect handler runs inside the write of Active.
    c.client.OnRead = [&](QObject *, TCustomWinSocket *socket) {
        socket->ReceivePending();
        c.log.push_back("read begins");
        c.client.SetActive(false);
        c.log.push_back("read ends");
    };
    peer->send("x");
    QTRY_COMPARE(c.disconnects, 1);
    QCOMPARE(c.log, (std::vector<std::string>{"connect", "read begins", "disconnect inactive", "read ends"}));
    QVERIFY(!c.client.Active());
    QVERIFY(!c.client.Socket()->Connected());
    QCOMPARE(c.client.Socket()->SocketHandle(), -1);
    QTRY_VERIFY(peer->eof);

    // Writing false again does nothing.
    c.client.SetActive(false);
    QCOMPARE(c.disconnects, 1);

    // Directly, and reusing the same endpoint for a second connection.
    c.open(listener.port);
    QTRY_COMPARE(c.connects, 2);
    std::unique_ptr<RawPeer> second(listener.accept());
    c.client.SetActive(false);
    QCOMPARE(c.disconnects, 2);
    QCOMPARE(c.log.back(), std::string("disconnect inactive"));
    QTRY_VERIFY(second->eof);
}

void TestSocketLayer::secondActivateDropsPendingAttempt_data()
{
    QTest::addColumn<bool>("firstWouldSucceed");
    QTest::newRow("first attempt would connect") << true;
    QTest::newRow("first attempt would be refused") << false;
}

void TestSocketLayer::secondActivateDropsPendingAttempt()
{
    QFETCH(bool, firstWouldSucceed);
    ErrorLog errors;
    LoggedServer first;
    LoggedServer second;
    LoggedClient c;
    int clientErrors = 0;
    c.client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent, int &) { ++clientErrors; };
    int peerAtConnect = 0;
    c.client.OnConnect = [&](QObject *, TCustomWinSocket *socket) {
        ++c.connects;
        peerAtConnect = peerPort(socket->SocketHandle());
    };

    c.open(firstWouldSucceed ? first.port() : closedPort());
    QVERIFY(!c.client.Active());
    c.client.SetPort(second.port()); // allowed: not active while connecting
    c.client.SetActive(true);
    QTRY_COMPARE(c.connects, 1);
    QCOMPARE(peerAtConnect, second.port());
    if (firstWouldSucceed) {
        // The dropped attempt's connection reaches the first listener and ends there.
        QTRY_COMPARE(first.disconnected.size(), std::size_t(1));
    }
    QTRY_COMPARE(second.accepted.size(), std::size_t(1));
    QCoreApplication::processEvents();
    QCOMPARE(c.connects, 1);
    QCOMPARE(c.disconnects, 0);
    QCOMPARE(clientErrors, 0);
    QCOMPARE(errors.messages, std::vector<std::string>());
    QVERIFY(c.client.Active());
}

void TestSocketLayer::activateInsideDisconnectIsIgnored_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("directly, closed by us") << "direct";
    QTest::newRow("from a nested handler") << "nested";
    QTest::newRow("directly, closed by the peer") << "peer";
}

void TestSocketLayer::activateInsideDisconnectIsIgnored()
{
    QFETCH(QString, how);
    ErrorLog errors;
    LoggedServer s;
    LoggedClient c;
    c.open(s.port());
    QTRY_COMPARE(c.connects, 1);
    QTRY_COMPARE(s.accepted.size(), std::size_t(1));
    TCustomWinSocket *serverSide = s.accepted[0];

    const int connectedHandle = c.client.Socket()->SocketHandle();
    int handleAfterReopen = -2;
    auto reopen = [&] {
        c.client.SetActive(true);
        handleAfterReopen = c.client.Socket()->SocketHandle();
    };
    if (how == "nested") {
        s.server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *) { reopen(); };
        c.client.OnDisconnect = [&](QObject *, TCustomWinSocket *) {
            ++c.disconnects;
            serverSide->CloseConnection();
        };
    } else {
        c.client.OnDisconnect = [&](QObject *, TCustomWinSocket *) {
            ++c.disconnects;
            reopen();
        };
    }
    if (how == "peer") {
        serverSide->CloseConnection();
        QTRY_COMPARE(c.disconnects, 1);
    } else {
        c.client.SetActive(false);
        QCOMPARE(c.disconnects, 1);
    }
    // A new attempt would have replaced the descriptor straight away.
    QCOMPARE(handleAfterReopen, connectedHandle);
    QCOMPARE(c.client.Socket()->SocketHandle(), -1);
    QVERIFY(!c.client.Active());
    QTRY_COMPARE(s.server.Socket()->ActiveConnections(), 0);
    QCOMPARE(s.accepted.size(), std::size_t(1));
    QCOMPARE(c.connects, 1);
    QCOMPARE(errors.messages, std::vector<std::string>());

    // Once the event has returned the component is idle and opens normally.
    c.client.SetActive(true);
    QTRY_COMPARE(c.connects, 2);
}

void TestSocketLayer::idleClientSendsNothing()
{
    ErrorLog errors;
    LoggedClient c;
    QCOMPARE(c.client.Socket()->SendString("never opened"), 0);
    QCOMPARE(c.client.Socket()->ReceivePending(), std::string());
    c.client.Socket()->CloseConnection();
    QCOMPARE(c.disconnects, 0);

    LoggedServer s;
    c.open(s.port());
    QCOMPARE(c.client.Socket()->SendString("still connecting"), 0);
    QTRY_COMPARE(c.connects, 1);
    c.client.SetActive(false);
    QCOMPARE(c.client.Socket()->SendString("closed again"), 0);
    QCOMPARE(c.client.Socket()->ReceivePending(), std::string());
    QCOMPARE(errors.messages, std::vector<std::string>());

    // A listening endpoint is never connected either.
    QCOMPARE(s.server.Socket()->SendString("listener"), 0);
}

void TestSocketLayer::clientConnectionsKeepClosingPeerUntilNextTurn()
{
    LoggedServer s;
    TServerWinSocket *listener = s.server.Socket();
    TCustomWinSocket *atIndex0 = nullptr;
    int countDuring = 0;
    s.server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *socket) {
        s.disconnected.push_back(socket);
        atIndex0 = listener->ClientConnections(0);
        countDuring = listener->ActiveConnections();
    };
    std::unique_ptr<RawPeer> first(RawPeer::connectTo(s.port()));
    QTRY_COMPARE(s.accepted.size(), std::size_t(1));
    std::unique_ptr<RawPeer> second(RawPeer::connectTo(s.port()));
    QTRY_COMPARE(s.accepted.size(), std::size_t(2));
    QCOMPARE(listener->ClientConnections(0), s.accepted[0]);
    QCOMPARE(listener->ClientConnections(1), s.accepted[1]);

    first->close();
    QTRY_COMPARE(s.disconnected.size(), std::size_t(1));
    QCOMPARE(s.disconnected[0], s.accepted[0]);
    QCOMPARE(atIndex0, s.accepted[0]);
    QCOMPARE(countDuring, 2);
    QTRY_COMPARE(listener->ActiveConnections(), 1);
    QCOMPARE(listener->ClientConnections(0), s.accepted[1]);

    for (int index : {1, -1}) {
        try {
            listener->ClientConnections(index);
            QFAIL("no error for an index out of bounds");
        } catch (const ESocketError &e) {
            QCOMPARE(std::string(e.what()), "List index out of bounds (" + std::to_string(index) + ")");
        }
    }
}

void TestSocketLayer::closingListenerOrComponentsIsSilent_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("listener made inactive") << "inactive";
    QTest::newRow("listener destroyed") << "destroy listener";
    QTest::newRow("client destroyed") << "destroy client";
}

void TestSocketLayer::closingListenerOrComponentsIsSilent()
{
    QFETCH(QString, how);
    ErrorLog errors;
    auto s = std::make_unique<LoggedServer>();
    const int port = s->port();
    int serverDisconnects = 0;
    s->server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *) { ++serverDisconnects; };
    std::unique_ptr<RawPeer> peer(RawPeer::connectTo(port));
    auto c = std::make_unique<TClientSocket>();
    int clientDisconnects = 0;
    c->OnDisconnect = [&](QObject *, TCustomWinSocket *) { ++clientDisconnects; };
    c->SetAddress("127.0.0.1");
    c->SetPort(port);
    c->SetActive(true);
    QTRY_VERIFY(c->Active());
    QTRY_COMPARE(s->accepted.size(), std::size_t(2));

    if (how == "inactive") {
        s->server.SetActive(false);
        QVERIFY(!s->server.Active());
        QCOMPARE(s->server.Socket()->ActiveConnections(), 0);
        QCOMPARE(s->server.Socket()->SocketHandle(), -1);
    } else if (how == "destroy listener") {
        s.reset();
    } else {
        c.reset();
    }
    if (how == "destroy client") {
        // Only the far side hears of it.
        QTRY_COMPARE(serverDisconnects, 1);
        QCOMPARE(clientDisconnects, 0);
    } else {
        // The peers see their connections end; the listener's handlers hear nothing.
        QTRY_VERIFY(peer->eof);
        QTRY_COMPARE(clientDisconnects, 1);
        QCoreApplication::processEvents();
        QCOMPARE(serverDisconnects, 0);
    }
    QCOMPARE(errors.messages, std::vector<std::string>());
    if (how == "inactive") {
        s->server.SetPort(port);
        s->server.SetActive(true);
        QCOMPARE(s->server.Socket()->LocalPort(), port);
    }
}

void TestSocketLayer::errorHandlerControlsAsyncReport_data()
{
    QTest::addColumn<int>("setTo"); // -1: leave the code as it came
    QTest::addColumn<bool>("reported");
    QTest::newRow("left unchanged") << -1 << true;
    QTest::newRow("cleared") << 0 << false;
    QTest::newRow("changed") << 4242 << true;
}

void TestSocketLayer::errorHandlerControlsAsyncReport()
{
    QFETCH(int, setTo);
    QFETCH(bool, reported);
    ErrorLog errors;
    LoggedServer s;
    std::vector<std::string> order;
    s.server.OnClientError = [&](QObject *sender, TCustomWinSocket *socket, TErrorEvent event, int &code) {
        QCOMPARE(sender, &s.server);
        QCOMPARE(socket, s.accepted.at(0));
        order.push_back("handler " + std::to_string(event) + " " + std::to_string(code));
        // The handler's own effect lands in the same report before the layer's message.
        ReportError("HTTP Server Error: " + std::to_string(code));
        if (setTo >= 0)
            code = setTo;
    };
    std::unique_ptr<RawPeer> peer(RawPeer::connectTo(s.port()));
    QTRY_COMPARE(s.accepted.size(), std::size_t(1));
    peer->reset();

    QTRY_COMPARE(order.size(), std::size_t(1));
    QCOMPARE(order[0], "handler " + std::to_string(eeDisconnect) + " " + std::to_string(ECONNRESET));
    std::vector<std::string> expected{"HTTP Server Error: " + std::to_string(ECONNRESET)};
    if (reported)
        expected.push_back("Asynchronous socket error " + std::to_string(setTo < 0 ? ECONNRESET : setTo));
    QCOMPARE(errors.messages, expected);
    // The reset connection then ends with its disconnect event instead of holding its descriptor.
    QTRY_COMPARE(s.disconnected.size(), std::size_t(1));
    QTRY_COMPARE(s.server.Socket()->ActiveConnections(), 0);
    QCOMPARE(order.size(), std::size_t(1));
}

void TestSocketLayer::refusedConnectReportsAndAllowsRetry()
{
    ErrorLog errors;
    LoggedClient c;
    std::vector<std::string> handled;
    c.client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent event, int &code) {
        handled.push_back(std::to_string(event) + " " + std::to_string(code));
    };
    c.open(closedPort());
    QTRY_COMPARE(handled.size(), std::size_t(1));
    QCOMPARE(handled[0], std::to_string(eeConnect) + " " + std::to_string(ECONNREFUSED));
    QCOMPARE(errors.messages, std::vector<std::string>{"Asynchronous socket error " + std::to_string(ECONNREFUSED)});
    QCOMPARE(c.connects, 0);
    QCOMPARE(c.disconnects, 0);
    QVERIFY(!c.client.Active());
    QCOMPARE(c.client.Socket()->SocketHandle(), -1);

    // Retrying from the error handler itself works: the failed attempt is already gone.
    LoggedServer s;
    c.client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent, int &code) {
        code = 0;
        c.client.SetPort(s.port());
        c.client.SetActive(true);
    };
    c.client.SetPort(closedPort());
    c.client.SetActive(true);
    QTRY_COMPARE(c.connects, 1);
    QCOMPARE(errors.messages.size(), std::size_t(1));
}

void TestSocketLayer::openingErrors_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");
    QTest::newRow("no address") << "" << 23 << "No address specified";
    QTest::newRow("host name") << "localhost" << 23 << "Windows socket error: Invalid argument (22), on API 'connect'";
    QTest::newRow("short form") << "127.1" << 23 << "Windows socket error: Invalid argument (22), on API 'connect'";
    QTest::newRow("port too large") << "127.0.0.1" << 70000
                                    << "Windows socket error: Invalid argument (22), on API 'connect'";
}

void TestSocketLayer::openingErrors()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, message);
    LoggedClient c;
    c.client.SetAddress(address.toStdString());
    c.client.SetPort(port);
    try {
        c.client.SetActive(true);
        QFAIL("opening did not raise");
    } catch (const ESocketError &e) {
        QCOMPARE(QString::fromLatin1(e.what()), message);
    }
    // The disconnect handler ran before the error reached the writer.
    QCOMPARE(c.log, std::vector<std::string>{"disconnect inactive"});
    QVERIFY(!c.client.Active());
    QCOMPARE(c.client.Socket()->SocketHandle(), -1);
}

void TestSocketLayer::busyPortThenLaterOpen()
{
    LoggedServer holder;
    const int port = holder.port();
    TServerSocket second;
    second.SetPort(port);
    try {
        second.SetActive(true);
        QFAIL("bind on a busy port did not raise");
    } catch (const ESocketError &e) {
        QCOMPARE(std::string(e.what()), "Windows socket error: " + std::string(std::strerror(EADDRINUSE)) + " (" +
                                            std::to_string(EADDRINUSE) + "), on API 'bind'");
    }
    QVERIFY(!second.Active());
    QCOMPARE(second.Socket()->SocketHandle(), -1);

    holder.server.SetActive(false);
    second.SetActive(true);
    QVERIFY(second.Active());
    int accepted = 0;
    second.OnAccept = [&](QObject *, TCustomWinSocket *) { ++accepted; };
    std::unique_ptr<RawPeer> peer(RawPeer::connectTo(port));
    QVERIFY(peer);
    QTRY_COMPARE(accepted, 1);
}

void TestSocketLayer::propertiesLockedWhileActive()
{
    LoggedServer s;
    s.server.SetPort(s.server.Port()); // the same value is always accepted
    QVERIFY_THROWS_EXCEPTION(ESocketError, s.server.SetPort(81));
    QCOMPARE(s.server.Port(), 0);

    LoggedClient c;
    c.open(s.port());
    c.client.SetAddress("127.0.0.2"); // connecting is not active yet
    c.client.SetAddress("127.0.0.1");
    QTRY_COMPARE(c.connects, 1);
    c.client.SetAddress("127.0.0.1");
    c.client.SetPort(s.port());
    try {
        c.client.SetAddress("127.0.0.2");
        QFAIL("changing the address while active did not raise");
    } catch (const ESocketError &e) {
        QCOMPARE(std::string(e.what()), std::string("Can't change value while socket is active"));
    }
    QVERIFY_THROWS_EXCEPTION(ESocketError, c.client.SetPort(s.port() + 1));
    QCOMPARE(c.client.Address(), std::string("127.0.0.1"));
    QCOMPARE(c.client.Port(), s.port());
}

void TestSocketLayer::peerHalfCloseDeliversDataThenDisconnect()
{
    RawListener listener;
    LoggedClient c;
    std::vector<std::string> events;
    c.client.OnRead = [&](QObject *, TCustomWinSocket *socket) {
        events.push_back("read " + socket->ReceivePending());
    };
    c.client.OnDisconnect = [&](QObject *, TCustomWinSocket *socket) {
        events.push_back("disconnect");
        // Still connected while the handler runs, so a last word still goes out.
        QVERIFY(socket->Connected());
        socket->SendString("goodbye");
    };
    c.open(listener.port);
    QTRY_COMPARE(c.connects, 1);
    std::unique_ptr<RawPeer> peer(listener.accept());
    peer->send("last words");
    peer->shutdownWrite();
    QTRY_COMPARE(events.size(), std::size_t(2));
    QCOMPARE(events, (std::vector<std::string>{"read last words", "disconnect"}));
    QTRY_VERIFY(peer->eof);
    QCOMPARE(peer->received, std::string("goodbye"));
}

void TestSocketLayer::throwingHandlerIsReported()
{
    ErrorLog errors;
    LoggedServer s;
    s.server.OnClientRead = [](QObject *, TCustomWinSocket *socket) {
        socket->ReceivePending();
        throw ESocketError("'x' is not a valid integer value");
    };
    s.server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *socket) {
        s.disconnected.push_back(socket);
        throw std::runtime_error("from the disconnect handler");
    };
    std::unique_ptr<RawPeer> peer(RawPeer::connectTo(s.port()));
    peer->send("x");
    QTRY_COMPARE(errors.messages.size(), std::size_t(1));
    QCOMPARE(errors.messages[0], std::string("'x' is not a valid integer value"));

    // A throwing disconnect handler still lets the close finish and the removal happen.
    QTRY_COMPARE(s.accepted.size(), std::size_t(1));
    s.accepted[0]->CloseConnection();
    QCOMPARE(errors.messages.size(), std::size_t(2));
    QCOMPARE(s.accepted[0]->SocketHandle(), -1);
    QTRY_COMPARE(s.server.Socket()->ActiveConnections(), 0);
    QTRY_VERIFY(peer->eof);
}

QTEST_GUILESS_MAIN(TestSocketLayer)
#include "tst_socketlayer.moc"
