// SPDX-License-Identifier: MIT
// The socket layer under load and failure on 127.0.0.1: large sends closed at once, peers that
// reset under a pending send, the send queue's bound, a listener out of descriptors, and
// thousands of connections that must give every descriptor back.
#include "lingeringclose.h"
#include "socketrig.h"

#include <QAbstractEventDispatcher>
#include <QtTest>

#include <csignal>
#include <poll.h>
#include <sys/resource.h>

namespace {

// Kernel send buffers this small make the layer queue almost everything it is given.
void shrinkSendBuffer(TCustomWinSocket *socket)
{
    setOption(socket->SocketHandle(), SOL_SOCKET, SO_SNDBUF, 4096);
}

std::string pattern(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return text;
}

bool isSendFailure(const std::string &message)
{
    return message.rfind("Windows socket error: ", 0) == 0 && message.find("on API 'send'") != std::string::npos;
}

} // namespace

class TestSocketLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_DFL); } // a stray SIGPIPE ends the run
    void closeRightAfterSendDeliversEverything_data();
    void closeRightAfterSendDeliversEverything();
    void peerResetUnderPendingSend_data();
    void peerResetUnderPendingSend();
    void sendQueueBoundFailsLikeASend_data();
    void sendQueueBoundFailsLikeASend();
    void listenerOutOfDescriptorsRecovers();
    void thousandsOfConnectionsGiveBackDescriptors();
};

void TestSocketLoad::closeRightAfterSendDeliversEverything_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("size");
    QTest::newRow("listener's connection, from the accept") << "accept" << 1024 * 1024;
    QTest::newRow("listener's connection, after a request") << "request" << 1024 * 1024;
    QTest::newRow("short answer, request left unread") << "unread" << 100;
    QTest::newRow("client made inactive") << "client" << 1024 * 1024;
}

void TestSocketLoad::closeRightAfterSendDeliversEverything()
{
    QFETCH(QString, how);
    QFETCH(int, size);
    const std::string payload = pattern(static_cast<std::size_t>(size));
    Rig r;
    int sent = 0;
    auto answer = [&](TCustomWinSocket *socket) {
        shrinkSendBuffer(socket);
        sent = socket->SendString(payload);
        socket->CloseConnection();
    };
    std::string serverData;
    if (how == "accept")
        r.server.OnAccept = [&](QObject *, TCustomWinSocket *socket) { answer(socket); };
    r.server.OnClientRead = [&](QObject *, TCustomWinSocket *socket) {
        if (how != "unread") // an answer with the request unread must still not end in a reset
            serverData += socket->ReceivePending();
        if (how != "client")
            answer(socket);
    };
    r.client.SetActive(true);
    if (how == "client") {
        QTRY_VERIFY(r.client.Active());
        shrinkSendBuffer(r.client.Socket());
        sent = r.client.Socket()->SendString(payload);
        r.client.SetActive(false);
        QTRY_VERIFY_WITH_TIMEOUT(r.count("server disconnect") == 1, 30000);
        QVERIFY(serverData == payload);
    } else {
        if (how != "accept") {
            QTRY_VERIFY(r.client.Active());
            r.client.Socket()->SendString("GET / HTTP/1.0\r\n\r\n");
        }
        QTRY_VERIFY_WITH_TIMEOUT(r.count("disconnect") == 1, 30000);
        QVERIFY(r.clientData == payload);
    }
    if (size > 64 * 1024)
        QVERIFY(sent < size); // the rest really went through the queue
    QTRY_COMPARE(LingeringCloseCount(), 0);
    QCOMPARE(r.errors.messages, std::vector<std::string>()); // no reset reported
}

void TestSocketLoad::peerResetUnderPendingSend_data()
{
    QTest::addColumn<bool>("sendAgain");
    QTest::newRow("noticed by the layer") << false;
    QTest::newRow("noticed by the next SendString") << true;
}

void TestSocketLoad::peerResetUnderPendingSend()
{
    QFETCH(bool, sendAgain);
    Rig r;
    std::vector<TErrorEvent> kinds;
    r.server.OnClientError = [&](QObject *, TCustomWinSocket *, TErrorEvent kind, int &) { kinds.push_back(kind); };
    const int peer = connectLoopback(r.port()); // a peer that never reads
    QTRY_COMPARE(r.accepted.size(), std::size_t(1));
    TCustomWinSocket *connection = r.accepted[0];
    shrinkSendBuffer(connection);
    const std::string payload = pattern(4 * 1024 * 1024);
    QVERIFY(connection->SendString(payload) < static_cast<int>(payload.size()));
    resetOnClose(peer);
    ::close(peer);
    if (sendAgain) {
        pollfd watch{connection->SocketHandle(), POLLIN, 0}; // the reset has reached our end
        QCOMPARE(::poll(&watch, 1, 10000), 1);
        try {
            connection->SendString("more");
            QFAIL("a send on a reset connection did not raise");
        } catch (const ESocketError &e) {
            QVERIFY2(isSendFailure(e.what()), e.what());
        }
        QCOMPARE(r.count("server disconnect"), 1L); // nested in the failing call
        QCOMPARE(kinds, std::vector<TErrorEvent>{eeSend});
    } else {
        QTRY_COMPARE(r.count("server disconnect"), 1L);
        QVERIFY(!r.errors.messages.empty());
        for (const std::string &message : r.errors.messages)
            QVERIFY2(isSendFailure(message) || message == "Asynchronous socket error " + std::to_string(ECONNRESET),
                     message.c_str());
    }
    QTRY_COMPARE(r.server.Socket()->ActiveConnections(), 0);
    QCOMPARE(r.count("server disconnect"), 1L);
    QCOMPARE(LingeringCloseCount(), 0);
}

void TestSocketLoad::sendQueueBoundFailsLikeASend_data()
{
    QTest::addColumn<bool>("clearCode");
    QTest::newRow("error left to the layer") << false;
    QTest::newRow("error cleared by the handler") << true;
}

void TestSocketLoad::sendQueueBoundFailsLikeASend()
{
    QFETCH(bool, clearCode);
    Rig r; // the listener's side has no read handler, so it stops reading
    r.client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent kind, int &code) {
        r.log.push_back("error " + std::to_string(kind) + " " + std::to_string(code));
        if (clearCode)
            code = 0;
    };
    QVERIFY(r.connect());
    shrinkSendBuffer(r.client.Socket());
    // The kernel holds little more than the peer's receive window (well under a megabyte), so
    // nearly all of this stays queued, within the bound; the next send goes beyond it.
    r.client.Socket()->SendString(pattern(kSendQueueLimit * 3 / 4));
    try {
        r.client.Socket()->SendString(pattern(kSendQueueLimit / 2));
        QVERIFY(clearCode);
    } catch (const ESocketError &e) {
        QVERIFY(!clearCode);
        QCOMPARE(std::string(e.what()), winSocketError(ENOBUFS, "send"));
    }
    const std::string error = "error " + std::to_string(eeSend) + " " + std::to_string(ENOBUFS);
    QCOMPARE(r.log, (std::vector<std::string>{"connect", error, "disconnect"}));
    QCOMPARE(r.client.Socket()->SocketHandle(), -1);
    QCOMPARE(LingeringCloseCount(), 0); // a broken connection's queue is dropped, not drained
}

void TestSocketLoad::listenerOutOfDescriptorsRecovers()
{
    QTRY_COMPARE(LingeringCloseCount(), 0); // nothing may free a descriptor while the table is full
    Rig r;
    const sockaddr_in address = loopbackAddress(r.port());
    // The peers' descriptors exist before the table is filled; connecting needs none.
    const int peers[2] = {::socket(AF_INET, SOCK_STREAM, 0), ::socket(AF_INET, SOCK_STREAM, 0)};
    // The undefined-behaviour sanitizer needs a descriptor to check a type it has not met yet.
    QEventLoop loop;
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();

    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(probe::openDescriptors() + 16);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(peers[0])) >= 0;)
        fillers.push_back(fd);
    for (int peer : peers)
        ::connect(peer, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    // Count turns of the loop over a few retry periods: a listener that kept watching a backlog
    // it cannot accept from would make the loop turn without pause.
    int turns = 0;
    const auto counter =
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this, [&] { ++turns; });
    QTimer::singleShot(kAcceptRetryMs * 3, &loop, &QEventLoop::quit);
    loop.exec();
    disconnect(counter);
    const std::vector<std::string> messages = r.errors.messages;
    const std::size_t acceptedWhileOut = r.accepted.size();
    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    QVERIFY2(turns < 200, std::to_string(turns).c_str());
    QCOMPARE(acceptedWhileOut, std::size_t(0));
    QCOMPARE(messages, std::vector<std::string>{winSocketError(EMFILE, "accept")});
    QTRY_COMPARE(r.accepted.size(), std::size_t(2)); // free again: the waiting peers get in
    for (int peer : peers)
        ::close(peer);
    QTRY_COMPARE(r.server.Socket()->ActiveConnections(), 0);
    QCOMPARE(r.errors.messages.size(), std::size_t(1));
}

void TestSocketLoad::thousandsOfConnectionsGiveBackDescriptors()
{
    const int before = probe::openDescriptors();
    {
        // No more peers at once than the backlog of 5 holds, so no handshake waits for a retry.
        constexpr int kClients = 5;
        const std::string answer = pattern(64 * 1024);
        Rig r;
        std::vector<std::unique_ptr<TClientSocket>> clients;
        std::vector<std::size_t> received(kClients);
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<TClientSocket>());
            clients[i]->SetAddress("127.0.0.1");
            clients[i]->SetPort(r.port());
            clients[i]->OnRead = [&received, i](QObject *, TCustomWinSocket *s) {
                received[i] += s->ReceivePending().size();
            };
        }
        auto active = [&] {
            return std::count_if(clients.begin(), clients.end(), [](const auto &c) { return c->Active(); });
        };
        for (int round = 0; round < 600; ++round) {
            for (auto &client : clients)
                client->SetActive(true);
            QTRY_COMPARE(active(), long(kClients));
            QTRY_COMPARE(r.server.Socket()->ActiveConnections(), kClients);
            std::fill(received.begin(), received.end(), 0);
            for (int i = 0; i < kClients; ++i) {
                TCustomWinSocket *connection = r.server.Socket()->ClientConnections(i);
                if (round % 3 == 0) { // the clients close
                    clients[i]->SetActive(false);
                    continue;
                }
                if (round % 3 == 2) { // an answer closed at once: the lingering set drains it
                    shrinkSendBuffer(connection);
                    connection->SendString(answer);
                }
                connection->CloseConnection();
            }
            QTRY_COMPARE(active(), 0L);
            QTRY_COMPARE(r.server.Socket()->ActiveConnections(), 0);
            if (round % 3 == 2)
                QCOMPARE(received, std::vector<std::size_t>(kClients, answer.size()));
        }
        QCOMPARE(r.errors.messages, std::vector<std::string>());
    }
    QTRY_COMPARE(LingeringCloseCount(), 0);
    QTRY_COMPARE(probe::openDescriptors(), before);
}

QTEST_GUILESS_MAIN(TestSocketLoad)
#include "tst_socketload.moc"
