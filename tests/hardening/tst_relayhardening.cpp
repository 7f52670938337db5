// The telnet relay on 127.0.0.1 between a test router and a remote user, both served by a thread
// of their own while the monitor's event loop runs here: 64 MiB each way arrive byte for byte,
// and a remote user who stops reading costs bounded memory and is let go with one report.
#include "consolesession.h"
#include "patternstream.h"
#include "probe.h"
#include "telnetrelay.h"

#include "apperror.h"

#include <QTest>

#include <atomic>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMiB = 1024 * 1024;

} // namespace

class TestRelayHardening : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sixtyFourMiBEachWayArriveWhole();
    void stalledRemoteUserCostsBoundedMemory();

private:
    // The remote user connects and the relay makes the router connection.
    void attach();

    std::unique_ptr<TConsoleSession> m_session;
    std::unique_ptr<TTelnetRelay> m_relay;
    std::vector<std::string> m_errors;
    // Reports of peers' doing: the log's, never a box's.
    std::vector<std::string> m_peerErrors;
    int m_routerListener = -1;
    int m_router = -1;
    int m_client = -1;
    int m_baseDescriptors = 0;
};

void TestRelayHardening::init()
{
    m_errors.clear();
    SetErrorReporter([this](const std::string &message) { m_errors.push_back(message); });
    SetPeerErrorReporter([this](const std::string &message) { m_peerErrors.push_back(message); });
    m_baseDescriptors = probe::openDescriptors();
    int routerPort = 0;
    m_routerListener = listenLoopback(routerPort);
    QVERIFY(m_routerListener >= 0);
    m_session = std::make_unique<TConsoleSession>();
    m_relay = std::make_unique<TTelnetRelay>(*m_session);
    m_relay->ConnectionFields = [routerPort] {
        return TTelnetRelay::TConnectionFields{"127.0.0.1", std::to_string(routerPort)};
    };
    QCOMPARE(m_relay->chkTelnetAdminClick(true, "0"), false);
    attach();
}

void TestRelayHardening::cleanup()
{
    for (int *fd : {&m_client, &m_router, &m_routerListener}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_relay.reset();
    m_session.reset();
    SetErrorReporter(nullptr);
    SetPeerErrorReporter({});
    QVERIFY(probe::waitUntil([this] { return probe::openDescriptors() == m_baseDescriptors; }, 5000));
}

void TestRelayHardening::attach()
{
    std::atomic<bool> done{false};
    std::thread peers([&] {
        m_client = connectLoopback(m_relay->TelnetServerSocket.Socket()->LocalPort());
        m_router = ::accept4(m_routerListener, nullptr, nullptr, SOCK_CLOEXEC);
        done = true;
    });
    const bool attached = probe::waitUntil([&] { return done.load(); }, 10000);
    if (!attached)
        ::shutdown(m_routerListener, SHUT_RDWR); // lets the thread's accept return
    peers.join();
    QVERIFY(attached && m_client >= 0 && m_router >= 0);
    QVERIFY(probe::waitUntil([this] { return m_session->RemoteClientConnected; }, 5000));
}

void TestRelayHardening::sixtyFourMiBEachWayArriveWhole()
{
    constexpr size_t kTotal = 64 * kMiB;
    constexpr size_t kWindow = 4 * kMiB;
    for (const bool towardsClient : {true, false}) {
        const int from = towardsClient ? m_router : m_client;
        const int to = towardsClient ? m_client : m_router;
        std::atomic<size_t> received{0};
        std::atomic<bool> sentOk{false}, receivedOk{false}, done{false};
        std::thread sender([&] { sentOk = sendPattern(from, kTotal, &received, kWindow); });
        std::thread receiver([&] {
            receivedOk = receivePattern(to, kTotal, received);
            done = true;
        });
        const bool finished = probe::waitUntil([&] { return done.load(); }, 120000);
        if (!finished) {
            ::shutdown(m_client, SHUT_RDWR);
            ::shutdown(m_router, SHUT_RDWR);
        }
        sender.join();
        receiver.join();
        QVERIFY2(finished && sentOk && receivedOk, towardsClient ? "router to remote user" : "remote user to router");
    }
    QVERIFY(m_session->RemoteClientConnected);
    QVERIFY(m_errors.empty());
}

void TestRelayHardening::stalledRemoteUserCostsBoundedMemory()
{
    // The remote user reads nothing while the router sends 64 MiB. What the kernel cannot take
    // waits in the relay's send queue, which is bounded; past it the user is let go.
    constexpr size_t kTotal = 64 * kMiB;
    constexpr long kAllowedGrowth = static_cast<long>(kSendQueueLimit + 16 * kMiB);
    const long residentBefore = probe::residentBytes();
    long largest = 0;
    std::atomic<bool> done{false};
    std::thread router([&] {
        sendPattern(m_router, kTotal, nullptr, 0);
        done = true;
    });
    const bool finished = probe::waitUntil(
        [&] {
            largest = std::max(largest, probe::residentBytes() - residentBefore);
            return done.load();
        },
        120000);
    if (!finished)
        ::shutdown(m_router, SHUT_RDWR);
    router.join();
    QVERIFY(finished);
    QVERIFY(probe::waitUntil([this] { return !m_session->RemoteClientConnected; }, 5000));
    qInfo("stalled remote user: resident growth at most %ld bytes; reports: %zu (%s)", largest, m_peerErrors.size(),
          m_peerErrors.empty() ? "" : m_peerErrors.front().c_str());
    if (!probe::kSanitized)
        QVERIFY2(largest <= kAllowedGrowth, qPrintable(QString::number(largest)));
    // The full queue is the remote user's doing: logged, never a box.
    QVERIFY(m_errors.empty());
    QCOMPARE(m_peerErrors.size(), size_t(1));
    QVERIFY(m_peerErrors.front().find("'send'") != std::string::npos);
}

QTEST_GUILESS_MAIN(TestRelayHardening)
#include "tst_relayhardening.moc"
