// The socket layer under load and failure on 127.0.0.1: large sends closed at once, peers that
// reset under a pending send, the send queue's bound, a listener out of descriptors, and
// thousands of connections that must give every descriptor back.
#include "lingeringclose.h"
#include "rawpeer.h"
#include "socketlayer.h"

#include <QAbstractEventDispatcher>
#include <QtTest>

#include <csignal>
#include <memory>
#include <poll.h>
#include <sys/resource.h>

namespace {

// Kernel send buffers this small make the layer queue almost everything it is given.
void shrinkSendBuffer(int handle)
{
    const int size = 4096;
    ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
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
    void initTestCase();
    void closeRightAfterSendDeliversEverything_data();
    void closeRightAfterSendDeliversEverything();
    void peerResetUnderPendingSend_data();
    void peerResetUnderPendingSend();
    void sendQueueBoundFailsLikeASend_data();
    void sendQueueBoundFailsLikeASend();
    void listenerOutOfDescriptorsRecovers();
    void thousandsOfConnectionsGiveBackDescriptors();
};

void TestSocketLoad::initTestCase()
{
    // A write to a reset connection must not kill the process, whatever the default action is.
    std::signal(SIGPIPE, SIG_DFL);
}

void TestSocketLoad::closeRightAfterSendDeliversEverything_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("size");
    QTest::newRow("listener's connection, 1 MB from the accept") << "accept" << 1024 * 1024;
    QTest::newRow("listener's connection, 1 MB after a request") << "request" << 1024 * 1024;
    QTest::newRow("short answer, request left unread") << "unread" << 100;
    QTest::newRow("client made inactive, 1 MB") << "client" << 1024 * 1024;
}

void TestSocketLoad::closeRightAfterSendDeliversEverything()
{
    QFETCH(QString, how);
    QFETCH(int, size);
    ErrorLog errors;
    const std::string payload = pattern(static_cast<std::size_t>(size));
    TServerSocket server;
    int sent = 0;
    auto answer = [&](TCustomWinSocket *socket) {
        shrinkSendBuffer(socket->SocketHandle());
        sent = socket->SendString(payload);
        socket->CloseConnection();
    };
    std::string serverReceived;
    bool serverSawClose = false;
    if (how == "accept")
        server.OnAccept = [&](QObject *, TCustomWinSocket *socket) { answer(socket); };
    server.OnClientRead = [&](QObject *, TCustomWinSocket *socket) {
        if (how == "unread") {
            answer(socket); // answers without taking the request: closing must not reset
            return;
        }
        serverReceived += socket->ReceivePending();
        if (how == "request")
            answer(socket);
    };
    server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *) { serverSawClose = true; };
    server.SetActive(true);

    if (how == "client") {
        TClientSocket client;
        client.SetAddress("127.0.0.1");
        client.SetPort(server.Socket()->LocalPort());
        client.SetActive(true);
        QTRY_VERIFY(client.Active());
        shrinkSendBuffer(client.Socket()->SocketHandle());
        sent = client.Socket()->SendString(payload);
        client.SetActive(false);
        QCOMPARE(client.Socket()->SocketHandle(), -1);
        QVERIFY(sent < size); // the rest really went through the queue
        QTRY_VERIFY_WITH_TIMEOUT(serverSawClose, 30000);
        QCOMPARE(serverReceived.size(), payload.size());
        QVERIFY(serverReceived == payload);
    } else {
        std::unique_ptr<RawPeer> peer(RawPeer::connectTo(server.Socket()->LocalPort()));
        if (how != "accept")
            peer->send("GET / HTTP/1.0\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(peer->eof || peer->error != 0, 30000);
        QCOMPARE(peer->error, 0); // an orderly close, not a reset
        QCOMPARE(peer->received.size(), payload.size());
        QVERIFY(peer->received == payload);
        if (size > 64 * 1024)
            QVERIFY(sent < size);
    }
    QTRY_COMPARE(LingeringCloseCount(), 0);
    QCOMPARE(errors.messages, std::vector<std::string>());
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
    ErrorLog errors;
    RawListener listener;
    TClientSocket client;
    int disconnects = 0;
    std::vector<TErrorEvent> kinds;
    client.OnDisconnect = [&](QObject *, TCustomWinSocket *) { ++disconnects; };
    client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent kind, int &) { kinds.push_back(kind); };
    client.SetAddress("127.0.0.1");
    client.SetPort(listener.port);
    client.SetActive(true);
    QTRY_VERIFY(client.Active());
    std::unique_ptr<RawPeer> peer(listener.accept());
    peer->setReading(false);
    const int handle = client.Socket()->SocketHandle();
    shrinkSendBuffer(handle);
    const std::string payload = pattern(4 * 1024 * 1024);
    QVERIFY(client.Socket()->SendString(payload) < static_cast<int>(payload.size()));

    peer->reset();
    if (sendAgain) {
        // Wait outside the event loop until the reset has reached our end.
        pollfd watch{handle, POLLIN, 0};
        QVERIFY(::poll(&watch, 1, 10000) == 1);
        try {
            client.Socket()->SendString("more");
            QFAIL("a send on a reset connection did not raise");
        } catch (const ESocketError &e) {
            QVERIFY2(isSendFailure(e.what()), e.what());
        }
        QCOMPARE(disconnects, 1); // nested in the failing call
        QCOMPARE(kinds, std::vector<TErrorEvent>{eeSend});
    } else {
        QTRY_COMPARE(disconnects, 1);
        QVERIFY(!errors.messages.empty());
        for (const std::string &message : errors.messages)
            QVERIFY2(isSendFailure(message) || message == "Asynchronous socket error " + std::to_string(ECONNRESET),
                     message.c_str());
    }
    QVERIFY(!client.Active());
    QCOMPARE(client.Socket()->SocketHandle(), -1);
    QCoreApplication::processEvents();
    QCOMPARE(disconnects, 1);
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
    ErrorLog errors;
    RawListener listener;
    TClientSocket client;
    std::vector<std::string> events;
    client.OnDisconnect = [&](QObject *, TCustomWinSocket *) { events.push_back("disconnect"); };
    client.OnError = [&](QObject *, TCustomWinSocket *, TErrorEvent kind, int &code) {
        events.push_back("error " + std::to_string(kind) + " " + std::to_string(code));
        if (clearCode)
            code = 0;
    };
    client.SetAddress("127.0.0.1");
    client.SetPort(listener.port);
    client.SetActive(true);
    QTRY_VERIFY(client.Active());
    std::unique_ptr<RawPeer> peer(listener.accept());
    peer->setReading(false);
    shrinkSendBuffer(client.Socket()->SocketHandle());

    // The peer reads nothing, so the kernel holds little more than its receive window (well under
    // a megabyte) and nearly all of this stays queued, within the bound.
    client.Socket()->SendString(pattern(kSendQueueLimit * 3 / 4));
    QVERIFY(events.empty());
    try {
        client.Socket()->SendString(pattern(kSendQueueLimit / 2)); // together beyond it
        QVERIFY(clearCode);
    } catch (const ESocketError &e) {
        QVERIFY(!clearCode);
        QCOMPARE(std::string(e.what()), "Windows socket error: " + std::string(std::strerror(ENOBUFS)) + " (" +
                                            std::to_string(ENOBUFS) + "), on API 'send'");
    }
    QCOMPARE(events, (std::vector<std::string>{"error " + std::to_string(eeSend) + " " + std::to_string(ENOBUFS),
                                               "disconnect"}));
    QVERIFY(!client.Active());
    QCOMPARE(client.Socket()->SocketHandle(), -1);
    QCOMPARE(LingeringCloseCount(), 0); // a broken connection's queue is dropped, not drained
}

void TestSocketLoad::listenerOutOfDescriptorsRecovers()
{
    QTRY_COMPARE(LingeringCloseCount(), 0); // nothing may free a descriptor while the table is full
    ErrorLog errors;
    TServerSocket server;
    int accepted = 0;
    server.OnAccept = [&](QObject *, TCustomWinSocket *) { ++accepted; };
    server.SetActive(true);
    const sockaddr_in address = loopback(server.Socket()->LocalPort());
    // The peers' descriptors exist before the table is filled; connecting needs none.
    int peers[2] = {::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};

    // The undefined-behaviour sanitizer needs a descriptor to look up a type it has not seen
    // yet; let it meet the event loop's types while descriptors are still free.
    {
        QEventLoop warmUp;
        QTimer::singleShot(0, &warmUp, &QEventLoop::quit);
        warmUp.exec();
    }

    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(openDescriptorCount() + 16);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(peers[0])) >= 0;)
        fillers.push_back(fd);
    auto giveBack = [&] {
        for (int fd : fillers)
            ::close(fd);
        fillers.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved);
    };
    for (int peer : peers)
        QVERIFY(::connect(peer, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);

    // Count turns of the event loop over a few retry periods: a listener that kept watching a
    // backlog it cannot accept from would make the loop turn without pause.
    int turns = 0;
    const QMetaObject::Connection counter =
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this, [&] { ++turns; });
    QEventLoop loop;
    QTimer::singleShot(kAcceptRetryMs * 3, &loop, &QEventLoop::quit);
    loop.exec();
    disconnect(counter);
    const std::vector<std::string> messages = errors.messages;
    const int acceptedWhileOut = accepted;
    giveBack();

    QVERIFY2(turns < 200, std::to_string(turns).c_str());
    QCOMPARE(acceptedWhileOut, 0);
    QCOMPARE(messages, std::vector<std::string>{"Windows socket error: " + std::string(std::strerror(EMFILE)) + " (" +
                                                std::to_string(EMFILE) + "), on API 'accept'"});
    QVERIFY(server.Active());
    // Descriptors are free again: the waiting peers are accepted.
    QTRY_COMPARE(accepted, 2);
    QCOMPARE(server.Socket()->ActiveConnections(), 2);
    for (int peer : peers)
        ::close(peer);
    QTRY_COMPARE(server.Socket()->ActiveConnections(), 0);
    QCOMPARE(errors.messages.size(), std::size_t(1));
}

void TestSocketLoad::thousandsOfConnectionsGiveBackDescriptors()
{
    ErrorLog errors;
    const int before = openDescriptorCount();
    {
        // No more peers at once than the backlog of 5 holds, so no handshake waits for a retry.
        constexpr int kClients = 5;
        constexpr int kRounds = 600;
        const std::string answer = pattern(64 * 1024);
        TServerSocket server;
        server.SetActive(true);
        int reset = 0;
        server.OnClientError = [&](QObject *, TCustomWinSocket *, TErrorEvent, int &) { ++reset; };
        std::vector<std::unique_ptr<TClientSocket>> clients;
        std::vector<std::size_t> received(kClients);
        for (int i = 0; i < kClients; ++i) {
            auto client = std::make_unique<TClientSocket>();
            client->SetAddress("127.0.0.1");
            client->SetPort(server.Socket()->LocalPort());
            client->OnRead = [&received, i](QObject *, TCustomWinSocket *socket) {
                received[i] += socket->ReceivePending().size();
            };
            clients.push_back(std::move(client));
        }
        auto countActive = [&] {
            int active = 0;
            for (const auto &client : clients)
                active += client->Active() ? 1 : 0;
            return active;
        };
        for (int round = 0; round < kRounds; ++round) {
            for (auto &client : clients)
                client->SetActive(true);
            QTRY_COMPARE(countActive(), kClients);
            QTRY_COMPARE(server.Socket()->ActiveConnections(), kClients);
            std::fill(received.begin(), received.end(), 0);
            switch (round % 3) {
            case 0: // the clients close
                for (auto &client : clients)
                    client->SetActive(false);
                break;
            case 1: // the listener's side closes
                for (int i = 0; i < kClients; ++i)
                    server.Socket()->ClientConnections(i)->CloseConnection();
                break;
            case 2: // the listener's side answers and closes at once: the lingering set drains
                for (int i = 0; i < kClients; ++i) {
                    TCustomWinSocket *connection = server.Socket()->ClientConnections(i);
                    shrinkSendBuffer(connection->SocketHandle());
                    connection->SendString(answer);
                    connection->CloseConnection();
                }
                break;
            }
            QTRY_COMPARE(countActive(), 0);
            QTRY_COMPARE(server.Socket()->ActiveConnections(), 0);
            if (round % 3 == 2) {
                for (std::size_t bytes : received)
                    QCOMPARE(bytes, answer.size());
            }
        }
        QCOMPARE(reset, 0);
    }
    QTRY_COMPARE(LingeringCloseCount(), 0);
    QTRY_COMPARE(openDescriptorCount(), before);
    QCOMPARE(errors.messages, std::vector<std::string>());
}

QTEST_GUILESS_MAIN(TestSocketLoad)
#include "tst_socketload.moc"
