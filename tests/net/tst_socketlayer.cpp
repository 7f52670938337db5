// SPDX-License-Identifier: MIT
// The socket layer's event contract over real sockets on 127.0.0.1: when each handler runs, what
// it sees, which reports never reach a handler, and the errors raised and reported.
#include "readiness.h"
#include "socketrig.h"

#include <QtTest>

#include <algorithm>

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A port on which nothing listens.
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
    void fastPeerBacklogReadInBoundedPieces();
    void closingNestsDisconnectWithActiveFalse();
    void secondActivateDropsPendingAttempt_data();
    void secondActivateDropsPendingAttempt();
    void activateInsideDisconnectIsIgnored_data();
    void activateInsideDisconnectIsIgnored();
    void idleClientSendsNothing();
    void clientConnectionsKeepClosingPeerUntilNextTurn();
    void connectionClosedInNestedLoopOutlivesItsHandler();
    void socketHeardWithoutDescriptorForReadinessSet();
    void closingListenerOrComponentsIsSilent_data();
    void closingListenerOrComponentsIsSilent();
    void errorHandlerControlsAsyncReport_data();
    void errorHandlerControlsAsyncReport();
    void refusedConnectReportsAndAllowsRetry();
    void openingErrors_data();
    void openingErrors();
    void bindErrorSaidWindowsWithoutPort_data();
    void bindErrorSaidWindowsWithoutPort();
    void busyPortThenLaterOpen();
    void peerHalfCloseDeliversDataThenDisconnect();
    void throwingHandlerIsReported();
    void backlogHoldsBurstUntilAccepted();
};

void TestSocketLayer::readJoinsPendingSegments()
{
    Rig r;
    std::vector<std::string> reads;
    r.client.OnRead = [&](QObject *, TCustomWinSocket *socket) {
        reads.push_back(socket->ReceivePending());
        reads.push_back(socket->ReceivePending()); // nothing left: empty, and no wait
    };
    QVERIFY(r.connect());
    const int peer = r.accepted[0]->SocketHandle();
    setOption(peer, IPPROTO_TCP, TCP_NODELAY, 1); // three writes, three segments
    for (const std::string part : {"one ", "two ", "three"})
        ::send(peer, part.data(), part.size(), 0);
    QTRY_COMPARE(reads.size(), std::size_t(2));
    QCOMPARE(reads, (std::vector<std::string>{"one two three", ""}));
    r.accepted[0]->SendString("four");
    QTRY_COMPARE(reads.size(), std::size_t(4));
    QCOMPARE(reads[2], std::string("four"));
}

void TestSocketLayer::unreadDataDoesNotSpin()
{
    Rig r;
    int reads = 0;
    r.server.OnClientRead = [&](QObject *, TCustomWinSocket *) { ++reads; };
    QVERIFY(r.connect());
    r.client.Socket()->SendString("left unread");
    QTRY_COMPARE(reads, 1);
    // A notifier left watching would report the same bytes on every turn of the loop.
    for (int turn = 0; turn < 50; ++turn)
        QCoreApplication::processEvents();
    QCOMPARE(reads, 1);
    QCOMPARE(r.accepted[0]->ReceivePending(), std::string("left unread"));
    r.client.Socket()->SendString("more");
    QTRY_COMPARE(reads, 2);
}

void TestSocketLayer::fastPeerBacklogReadInBoundedPieces()
{
    // A backlog larger than one piece, then the peer's close: every byte arrives, in order, in
    // pieces of at most kReceiveLimit, and the close comes after the last of them.
    Rig r;
    std::string received;
    std::size_t largest = 0;
    r.client.OnRead = [&](QObject *, TCustomWinSocket *socket) {
        const std::string piece = socket->ReceivePending();
        largest = std::max(largest, piece.size());
        received += piece;
    };
    QVERIFY(r.connect());
    const int peer = r.accepted[0]->SocketHandle();
    const int client = r.client.Socket()->SocketHandle();
    setOption(client, SOL_SOCKET, SO_RCVBUF, 1 << 20);
    std::string sent;
    for (int n = 0; sent.size() < 4 * kReceiveLimit; ++n)
        sent += std::to_string(n) + ' ';
    std::size_t offset = 0;
    // Queue what the kernel takes before the client gets a turn, so the backlog is real.
    while (offset < sent.size()) {
        const ssize_t n = ::send(peer, sent.data() + offset, sent.size() - offset, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        offset += static_cast<std::size_t>(n);
    }
    QVERIFY2(offset > kReceiveLimit, "the kernel took too little for a backlog");
    while (offset < sent.size()) {
        QCoreApplication::processEvents();
        const ssize_t n = ::send(peer, sent.data() + offset, sent.size() - offset, MSG_NOSIGNAL);
        if (n > 0)
            offset += static_cast<std::size_t>(n);
    }
    r.accepted[0]->CloseConnection();
    QTRY_COMPARE(r.count("disconnect") + r.count("disconnect, active"), 1L);
    QVERIFY(largest <= kReceiveLimit);
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received == sent);
}

void TestSocketLayer::closingNestsDisconnectWithActiveFalse()
{
    Rig r;
    r.client.OnRead = [&](QObject *, TCustomWinSocket *socket) {
        socket->ReceivePending();
        r.log.push_back("read");
        r.client.SetActive(false);
        r.log.push_back("read done");
    };
    QVERIFY(r.connect());
    r.accepted[0]->SendString("x");
    QTRY_COMPARE(r.count("server disconnect"), 1L);
    QCOMPARE(r.log, (std::vector<std::string>{"connect", "read", "disconnect", "read done", "server disconnect"}));
    QCOMPARE(r.client.Socket()->SocketHandle(), -1);
    r.client.SetActive(false); // already inactive: nothing
    QCOMPARE(r.count("disconnect"), 1L);
}

void TestSocketLayer::secondActivateDropsPendingAttempt_data()
{
    QTest::addColumn<bool>("firstWouldConnect");
    QTest::newRow("first attempt would connect") << true;
    QTest::newRow("first attempt would be refused") << false;
}

void TestSocketLayer::secondActivateDropsPendingAttempt()
{
    QFETCH(bool, firstWouldConnect);
    Rig r;
    TServerSocket other;
    int otherClosed = 0;
    other.OnClientDisconnect = [&](QObject *, TCustomWinSocket *) { ++otherClosed; };
    other.SetActive(true);
    r.client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent, int &) { r.log.push_back("error"); };
    r.client.SetPort(firstWouldConnect ? other.Socket()->LocalPort() : closedPort());
    r.client.SetActive(true);
    r.client.SetPort(r.port()); // still allowed: connecting is not active
    r.client.SetActive(true);
    QTRY_VERIFY(!r.accepted.empty());
    if (firstWouldConnect)
        QTRY_COMPARE(otherClosed, 1); // the dropped connection reached the other listener and ended
    QTRY_COMPARE(r.count("connect"), 1L);
    QCoreApplication::processEvents();
    QCOMPARE(r.log, std::vector<std::string>{"connect"});
    QCOMPARE(r.accepted.size(), std::size_t(1));
    QCOMPARE(r.errors.messages, std::vector<std::string>());
}

void TestSocketLayer::activateInsideDisconnectIsIgnored_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("directly, closed by us") << "direct";
    QTest::newRow("from a handler nested in it") << "nested";
    QTest::newRow("directly, closed by the peer") << "peer";
}

void TestSocketLayer::activateInsideDisconnectIsIgnored()
{
    QFETCH(QString, how);
    Rig r;
    QVERIFY(r.connect());
    const int connectedHandle = r.client.Socket()->SocketHandle();
    int handleAfterReopen = -2;
    auto reopen = [&] {
        r.client.SetActive(true);
        handleAfterReopen = r.client.Socket()->SocketHandle(); // a new attempt replaces it at once
    };
    if (how == "nested")
        r.server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *) { reopen(); };
    r.client.OnDisconnect = [&](QObject *, TCustomWinSocket *) {
        r.log.push_back("disconnect");
        if (how == "nested")
            r.accepted[0]->CloseConnection();
        else
            reopen();
    };
    if (how == "peer")
        r.accepted[0]->CloseConnection();
    else
        r.client.SetActive(false);
    QTRY_COMPARE(r.count("disconnect"), 1L);
    QCOMPARE(handleAfterReopen, connectedHandle);
    QCOMPARE(r.client.Socket()->SocketHandle(), -1);
    QTRY_COMPARE(r.server.Socket()->ActiveConnections(), 0);
    QCOMPARE(r.accepted.size(), std::size_t(1));
    QVERIFY(!r.client.Active());
    // Once the event has returned the component is idle and opens normally.
    r.client.SetActive(true);
    QTRY_COMPARE(r.count("connect"), 2L);
    QCOMPARE(r.errors.messages, std::vector<std::string>());
}

void TestSocketLayer::idleClientSendsNothing()
{
    Rig r;
    QCOMPARE(r.client.Socket()->SendString("never opened"), 0);
    QCOMPARE(r.client.Socket()->ReceivePending(), std::string());
    r.client.Socket()->CloseConnection();
    r.client.SetActive(true);
    QCOMPARE(r.client.Socket()->SendString("still connecting"), 0);
    QTRY_VERIFY(r.client.Active());
    r.client.SetActive(false);
    QCOMPARE(r.client.Socket()->SendString("closed again"), 0);
    QCOMPARE(r.log, (std::vector<std::string>{"connect", "disconnect"}));
    QCOMPARE(r.errors.messages, std::vector<std::string>());
}

void TestSocketLayer::clientConnectionsKeepClosingPeerUntilNextTurn()
{
    Rig r;
    TServerWinSocket *listener = r.server.Socket();
    std::vector<TCustomWinSocket *> seen;
    r.server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *socket) {
        seen = {socket, listener->ClientConnections(0), listener->ClientConnections(1)};
    };
    QVERIFY(r.connect());
    TClientSocket second;
    second.SetAddress("127.0.0.1");
    second.SetPort(r.port());
    second.SetActive(true);
    QTRY_COMPARE(r.accepted.size(), std::size_t(2));
    r.client.SetActive(false);
    QTRY_COMPARE(seen.size(), std::size_t(3));
    QCOMPARE(seen, (std::vector<TCustomWinSocket *>{r.accepted[0], r.accepted[0], r.accepted[1]}));
    QTRY_COMPARE(listener->ActiveConnections(), 1);
    QCOMPARE(listener->ClientConnections(0), r.accepted[1]);
    for (int index : {1, -1}) {
        try {
            listener->ClientConnections(index);
            QFAIL("no error for an index out of bounds");
        } catch (const ESocketError &e) {
            QCOMPARE(std::string(e.what()), "List index out of bounds (" + std::to_string(index) + ")");
        }
    }
}

// A read handler that closes its connection and then turns a nested event loop (a modal dialog,
// a wait) sees the listener let go of the connection, but the connection itself stays alive
// until the handler has returned.
void TestSocketLayer::connectionClosedInNestedLoopOutlivesItsHandler()
{
    Rig r;
    TServerWinSocket *listener = r.server.Socket();
    int listedAfterNestedLoop = -1;
    int sentAfterNestedLoop = -1;
    r.server.OnClientRead = [&](QObject *, TCustomWinSocket *socket) {
        socket->ReceivePending();
        socket->CloseConnection();
        QTest::qWait(50);
        listedAfterNestedLoop = listener->ActiveConnections();
        sentAfterNestedLoop = socket->SendString("too late");
    };
    QVERIFY(r.connect());
    QVERIFY(r.client.Socket()->SendString("request") > 0);
    QTRY_COMPARE(sentAfterNestedLoop, 0);
    QCOMPARE(listedAfterNestedLoop, 0);
    QTRY_COMPARE(r.count("disconnect"), 1L);
    QCOMPARE(r.errors.messages, std::vector<std::string>());
}

// With no descriptor left for the thread's readiness set, a socket gets notifiers of its own
// instead of never hearing of its data.
void TestSocketLayer::socketHeardWithoutDescriptorForReadinessSet()
{
    struct TClient : TReadinessClient
    {
        int reads = 0;
        void ReadinessReport(bool Readable, bool) override { reads += Readable ? 1 : 0; }
    } client;
    int pair[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0);
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(std::max(pair[0], pair[1]) + 1);
    TReadinessWatch watch;
    {
        // Every descriptor number from here up is out of reach while the watch starts.
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
        watch.Attach(pair[0], &client);
        watch.SetRead(true);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
    }
    QVERIFY(::write(pair[1], "x", 1) == 1);
    QTRY_VERIFY(client.reads > 0);
    watch.Detach();
    ::close(pair[0]);
    ::close(pair[1]);
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
    auto r = std::make_unique<Rig>();
    int serverEvents = 0, clientEvents = 0;
    auto *server = new TServerSocket; // the listener under test, beside the rig's
    server->OnClientDisconnect = [&](QObject *, TCustomWinSocket *) { ++serverEvents; };
    server->SetActive(true);
    auto *client = new TClientSocket;
    client->OnDisconnect = [&](QObject *, TCustomWinSocket *) { ++clientEvents; };
    client->SetAddress("127.0.0.1");
    client->SetPort(server->Socket()->LocalPort());
    client->SetActive(true);
    r->client.SetPort(server->Socket()->LocalPort());
    r->client.SetActive(true);
    QTRY_VERIFY(client->Active() && r->client.Active() && server->Socket()->ActiveConnections() == 2);

    if (how == "inactive") {
        server->SetActive(false);
        QCOMPARE(server->Socket()->ActiveConnections(), 0);
        QCOMPARE(server->Socket()->SocketHandle(), -1);
    } else if (how == "destroy listener") {
        delete std::exchange(server, nullptr);
    } else {
        delete std::exchange(client, nullptr);
    }
    if (client) { // the peers hear their connections end; the listener's handlers hear nothing
        QTRY_COMPARE(clientEvents + static_cast<int>(r->count("disconnect")), 2);
        QCoreApplication::processEvents();
        QCOMPARE(serverEvents, 0);
    } else {
        QTRY_COMPARE(serverEvents, 1); // only the far side hears of it
        QCOMPARE(clientEvents, 0);
    }
    QCOMPARE(r->errors.messages, std::vector<std::string>());
    if (how == "inactive") {
        server->SetActive(true);
        QVERIFY(server->Socket()->LocalPort() != 0);
    }
    delete server;
    delete client;
}

void TestSocketLayer::errorHandlerControlsAsyncReport_data()
{
    QTest::addColumn<int>("setTo"); // -1: leave the code as it came
    QTest::newRow("left unchanged") << -1;
    QTest::newRow("cleared") << 0;
    QTest::newRow("changed") << 4242;
}

void TestSocketLayer::errorHandlerControlsAsyncReport()
{
    QFETCH(int, setTo);
    Rig r;
    r.server.OnClientError = [&](QObject *sender, TCustomWinSocket *socket, TErrorEvent event, int &code) {
        QVERIFY(sender == &r.server && socket == r.accepted.at(0) && event == eeDisconnect);
        ReportError("HTTP Server Error: " + std::to_string(code)); // the handler's own effect
        if (setTo >= 0)
            code = setTo;
    };
    QVERIFY(r.connect());
    resetOnClose(r.client.Socket()->SocketHandle());
    r.client.SetActive(false); // the listener's connection is reset

    std::vector<std::string> expected{"HTTP Server Error: " + std::to_string(ECONNRESET)};
    if (setTo != 0)
        expected.push_back("Asynchronous socket error " + std::to_string(setTo < 0 ? ECONNRESET : setTo));
    QTRY_COMPARE(r.errors.messages, expected);
    // The reset connection then ends with its disconnect event instead of holding its descriptor.
    QTRY_COMPARE(r.count("server disconnect"), 1L);
    QTRY_COMPARE(r.server.Socket()->ActiveConnections(), 0);
    QCOMPARE(r.errors.messages, expected);
}

void TestSocketLayer::refusedConnectReportsAndAllowsRetry()
{
    Rig r;
    r.client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent event, int &code) {
        r.log.push_back("error " + std::to_string(event) + " " + std::to_string(code));
        if (r.count("error " + std::to_string(eeConnect) + " " + std::to_string(ECONNREFUSED)) == 2) {
            code = 0; // the second time: retry from inside the handler, to the live port
            r.client.SetPort(r.port());
            r.client.SetActive(true);
        }
    };
    r.client.SetPort(closedPort());
    r.client.SetActive(true);
    QTRY_COMPARE(r.log.size(), std::size_t(1));
    QCOMPARE(r.errors.messages, std::vector<std::string>{"Asynchronous socket error " + std::to_string(ECONNREFUSED)});
    QVERIFY(!r.client.Active());
    QCOMPARE(r.client.Socket()->SocketHandle(), -1);
    r.client.SetActive(true);
    QTRY_COMPARE(r.count("connect"), 1L);
    QCOMPARE(r.log.size(), std::size_t(3));
    QCOMPARE(r.errors.messages.size(), std::size_t(1));
}

void TestSocketLayer::openingErrors_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("message");
    const QString invalid = QString::fromStdString(winSocketError(EINVAL, "connect"));
    QTest::newRow("no address") << "" << 23 << "No address specified";
    QTest::newRow("host name") << "localhost" << 23 << invalid;
    QTest::newRow("short form") << "127.1" << 23 << invalid;
    QTest::newRow("port too large") << "127.0.0.1" << 70000 << invalid;
}

void TestSocketLayer::openingErrors()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, message);
    Rig r;
    r.client.SetAddress(address.toStdString());
    r.client.SetPort(port);
    try {
        r.client.SetActive(true);
        QFAIL("opening did not raise");
    } catch (const ESocketError &e) {
        QCOMPARE(QString::fromLatin1(e.what()), message);
    }
    QCOMPARE(r.log, std::vector<std::string>{"disconnect"}); // before the error reached the writer
    QCOMPARE(r.client.Socket()->SocketHandle(), -1);

    // Properties are locked while active, except to the value they already have.
    r.client.SetAddress("127.0.0.1");
    r.client.SetPort(r.port());
    QVERIFY(r.connect());
    r.client.SetAddress("127.0.0.1");
    QVERIFY_THROWS_EXCEPTION(ESocketError, r.client.SetAddress("127.0.0.2"));
    QVERIFY_THROWS_EXCEPTION(ESocketError, r.client.SetPort(1));
    QVERIFY_THROWS_EXCEPTION(ESocketError, r.server.SetPort(1));
    QVERIFY_THROWS_EXCEPTION(ESocketError, r.server.SetBacklog(1));
    QCOMPARE(r.client.Address() + ":" + std::to_string(r.client.Port()), "127.0.0.1:" + std::to_string(r.port()));
}

Q_DECLARE_METATYPE(TErrorPlace)

void TestSocketLayer::bindErrorSaidWindowsWithoutPort_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<TErrorPlace>("place");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("logged"); // %1: the port
    QTest::newRow("bind in use") << "bind" << TErrorPlace::WebServer << EADDRINUSE
                                 << "Windows socket error: Address already in use (98), on API 'bind'"
                                 << "cannot listen on 127.0.0.1:%1 for the web page: address already in use";
    QTest::newRow("bind permission denied")
        << "bind" << TErrorPlace::TelnetRelay << EACCES << "Windows socket error: Permission denied (13), on API 'bind'"
        << "cannot listen on 127.0.0.1:%1 for the telnet relay: permission denied";
    QTest::newRow("connect refused") << "connect" << TErrorPlace::RouterConnection << ECONNREFUSED
                                     << "Asynchronous socket error 111"
                                     << "cannot connect to the router at 127.0.0.1:%1: connection refused";
}

void TestSocketLayer::bindErrorSaidWindowsWithoutPort()
{
    QFETCH(QString, kind);
    QFETCH(TErrorPlace, place);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, logged);
    // The daemon's report: every message to the log, the box's endpoint kept for the check.
    std::vector<std::string> lines;
    std::vector<std::string> messages;
    std::string endpoint;
    const LogSink previousSink = SetLogSink([&](const std::string &line) { lines.push_back(line); });
    const ErrorReporter previous = SetErrorReporter([&](const std::string &m) {
        messages.push_back(m);
        endpoint = CurrentErrorDescription().Endpoint;
        LogReport(m, kLogError, CurrentErrorOrigin());
    });
    ResetLogLimits();

    int port = 0;
    int held = -1;
    TServerSocket server;
    TClientSocket client;
    if (code == EADDRINUSE) {
        held = listenLoopback(port);
        QVERIFY(held >= 0);
    } else if (code == EACCES) {
        if (::geteuid() == 0)
            QSKIP("root may listen on any port, so a low port cannot be refused here");
        port = 1;
    } else {
        port = closedPort();
    }
    if (kind == "bind") {
        server.SetBindAddress("127.0.0.1");
        server.SetPort(port);
        const TErrorPlaceScope scope(place);
        Guarded([&] { server.SetActive(true); });
    } else {
        client.SetAddress("127.0.0.1");
        client.SetPort(port);
        const TErrorPlaceScope scope(place);
        client.SetActive(true);
        QTRY_COMPARE(messages.size(), std::size_t(1));
    }
    if (held >= 0)
        ::close(held);
    SetErrorReporter(previous);
    SetLogSink(previousSink);
    ResetLogLimits();

    // The headline keeps the fixed text; the log says what failed, where and what for.
    QCOMPARE(messages, std::vector<std::string>{message.toStdString()});
    QCOMPARE(lines, std::vector<std::string>{"linewatch: " + logged.arg(port).toStdString()});
    QCOMPARE(endpoint, "127.0.0.1:" + std::to_string(port));
}

void TestSocketLayer::busyPortThenLaterOpen()
{
    Rig holder;
    TServerSocket second;
    second.SetPort(holder.port());
    try {
        second.SetActive(true);
        QFAIL("bind on a busy port did not raise");
    } catch (const ESocketError &e) {
        QCOMPARE(std::string(e.what()), winSocketError(EADDRINUSE, "bind"));
    }
    QVERIFY(!second.Active());
    QCOMPARE(second.Socket()->SocketHandle(), -1);
    holder.server.SetActive(false);
    second.SetActive(true);
    int accepted = 0;
    second.OnAccept = [&](QObject *, TCustomWinSocket *) { ++accepted; };
    holder.client.SetActive(true);
    QTRY_COMPARE(accepted, 1);
}

void TestSocketLayer::peerHalfCloseDeliversDataThenDisconnect()
{
    Rig r;
    std::string serverData;
    r.server.OnClientRead = [&](QObject *, TCustomWinSocket *socket) { serverData += socket->ReceivePending(); };
    r.client.OnDisconnect = [&](QObject *, TCustomWinSocket *socket) {
        r.log.push_back("disconnect after " + r.clientData);
        socket->SendString("goodbye"); // still connected while the handler runs
    };
    QVERIFY(r.connect());
    r.accepted[0]->SendString("last words");
    ::shutdown(r.accepted[0]->SocketHandle(), SHUT_WR);
    QTRY_COMPARE(r.count("server disconnect"), 1L);
    QCOMPARE(r.log, (std::vector<std::string>{"connect", "disconnect after last words", "server disconnect"}));
    QCOMPARE(serverData, std::string("goodbye"));
}

void TestSocketLayer::throwingHandlerIsReported()
{
    Rig r;
    r.server.OnClientRead = [](QObject *, TCustomWinSocket *socket) {
        socket->ReceivePending();
        throw ESocketError("'x' is not a valid integer value");
    };
    r.server.OnClientDisconnect = [](QObject *, TCustomWinSocket *) { throw std::runtime_error("disconnect"); };
    QVERIFY(r.connect());
    r.client.Socket()->SendString("x");
    QTRY_COMPARE(r.errors.messages, std::vector<std::string>{"'x' is not a valid integer value"});
    // A throwing disconnect handler still lets the close and the removal happen.
    r.accepted[0]->CloseConnection();
    QCOMPARE(r.errors.messages.size(), std::size_t(2));
    QCOMPARE(r.accepted[0]->SocketHandle(), -1);
    QTRY_COMPARE(r.server.Socket()->ActiveConnections(), 0);
    QTRY_COMPARE(r.count("disconnect"), 1L);
}

// The backlog reaches the kernel: while nothing accepts (the event loop does not run), a burst of
// handshakes completes only as far as the listener's queue holds them; the rest wait for a
// retransmission a second later.
void TestSocketLayer::backlogHoldsBurstUntilAccepted()
{
    constexpr int kBurst = 32;
    for (const int backlog : {kDefaultBacklog, 64}) {
        TServerSocket server;
        server.SetBacklog(backlog);
        server.SetActive(true);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(server.Socket()->LocalPort()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<pollfd> peers;
        for (int i = 0; i < kBurst; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            QVERIFY(fd >= 0);
            ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
            peers.push_back({fd, POLLOUT, 0});
        }
        // Well under the first retransmission: only the queued handshakes are done.
        int connected = 0;
        for (int waited = 0; waited < 300 && connected < kBurst; waited += 20) {
            ::poll(peers.data(), peers.size(), 20);
            connected = 0;
            for (const pollfd &p : peers)
                connected += (p.revents & POLLOUT) != 0;
        }
        for (const pollfd &p : peers)
            ::close(p.fd);
        if (backlog == kDefaultBacklog)
            QVERIFY2(connected <= backlog + 1, qPrintable(QString::number(connected)));
        else
            QCOMPARE(connected, kBurst);
    }
}

QTEST_GUILESS_MAIN(TestSocketLayer)
#include "tst_socketlayer.moc"
