// SPDX-License-Identifier: MIT
// The telnet relay on 127.0.0.1 between a test router and a remote user, both served by a thread
// of their own while the monitor's event loop runs here: 64 MiB each way arrive byte for byte,
// a remote user who stops reading costs bounded memory and is let go with one report, 300
// users arriving at once leave one attached user on one router connection, a flood of users
// keeps the monitor's back-off and a refused user is told so and let go.
#include "consolesession.h"
#include "loopbackpeer.h"
#include "monitor.h"
#include "patternstream.h"
#include "probe.h"
#include "telnetrelay.h"

#include "apperror.h"

#include <QTest>

#include <QElapsedTimer>

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMiB = 1024 * 1024;

// The whole monitor with its relay listening on 127.0.0.1, the router at RouterPort, on short
// reconnect timings; error reports recorded.
struct MonitorRig
{
    static constexpr int kBaseMs = 100;
    static constexpr int kMaxMs = 1600;
    std::unique_ptr<TMonitor> monitor;
    std::vector<std::string> errors;

    explicit MonitorRig(int RouterPort)
    {
        TMonitor::THooks hooks;
        hooks.ReconnectTiming = TReconnector::TTiming{kBaseMs, kMaxMs, 0, 7};
        monitor = std::make_unique<TMonitor>(hooks);
        monitor->Timer1->stop();
        monitor->Settings.SetText(SettingControl::edtTelnetAddress, "127.0.0.1");
        monitor->Settings.SetText(SettingControl::edtTelnetPort, std::to_string(RouterPort));
        monitor->Settings.SetText(SettingControl::edtTelnetAdminPort, "0");
        monitor->Settings.BindAddress = "127.0.0.1";
        SetErrorReporter([this](const std::string &message) { errors.push_back(message); });
        monitor->SetTelnetAdmin(true);
    }
    ~MonitorRig() { SetErrorReporter(nullptr); }
    int relayPort() const { return monitor->Relay.TelnetServerSocket.Socket()->LocalPort(); }
};

// The most attempts the back-off allows in ElapsedMs: the first at once, then each after the
// shortest jittered wait.
int backoffAttempts(qint64 ElapsedMs)
{
    int attempts = 1;
    double at = 0;
    for (int nominal = MonitorRig::kBaseMs;; nominal = std::min(nominal * 2, MonitorRig::kMaxMs)) {
        at += nominal * 0.8;
        if (at > double(ElapsedMs))
            return attempts;
        ++attempts;
    }
}

bool isOneAsciiLine(const std::string &Text)
{
    return Text.size() > 2 && Text.find("\r\n") == Text.size() - 2 &&
           std::all_of(Text.begin(), Text.end() - 2, [](char c) { return c >= 0x20 && c < 0x7f; });
}

} // namespace

class TestRelayHardening : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sixtyFourMiBEachWayArriveWhole();
    void stalledRemoteUserCostsBoundedMemory();
    void threeHundredUsersAtOnceLeaveOneAttached();
    void relayFloodSetRouterConnectRate();
    void refusedRouterHeldRelayUserSilently_data();
    void refusedRouterHeldRelayUserSilently();

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
    QVERIFY(probe::waitUntil([this] { return m_relay->RemoteClientConnected(); }, 5000));
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
    QVERIFY(m_relay->RemoteClientConnected());
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
    QVERIFY(probe::waitUntil([this] { return !m_relay->RemoteClientConnected(); }, 5000));
    qInfo("stalled remote user: resident growth at most %ld bytes; reports: %zu (%s)", largest, m_peerErrors.size(),
          m_peerErrors.empty() ? "" : m_peerErrors.front().c_str());
    if (!probe::kSanitized)
        QVERIFY2(largest <= kAllowedGrowth, qPrintable(QString::number(largest)));
    // The full queue is the remote user's doing: logged, never a box.
    QVERIFY(m_errors.empty());
    QCOMPARE(m_peerErrors.size(), size_t(1));
    QVERIFY(m_peerErrors.front().find("'send'") != std::string::npos);
}

void TestRelayHardening::threeHundredUsersAtOnceLeaveOneAttached()
{
    // Each newcomer replaces the attached user and every other remote connection is closed at
    // once, so the burst ends with one user on one router connection. The router side counts
    // the connections the monitor made and reads everything that reaches it.
    constexpr int kUsers = 300;
    // An attempt still connecting passes to the next newcomer, so the monitor makes a fresh one
    // at most once per turn of accepts, far fewer than one per user.
    constexpr size_t kMaxRouterConnections = 30;
    const int relayPort = m_relay->TelnetServerSocket.Socket()->LocalPort();
    for (int fd : {m_routerListener, m_router})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::vector<int> routers{std::exchange(m_router, -1)};
    std::vector<std::string> routerInput(1);
    std::vector<int> users;
    std::vector<bool> closed(kUsers, false);
    const auto cleanupFds = qScopeGuard([&] {
        for (int fd : routers)
            ::close(fd);
        for (int fd : users)
            ::close(fd);
    });
    const auto pump = [&] {
        for (int fd; (fd = ::accept4(m_routerListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            routers.push_back(fd);
            routerInput.emplace_back();
        }
        char buffer[4096];
        for (size_t i = 0; i < routers.size(); ++i)
            for (ssize_t n; (n = ::recv(routers[i], buffer, sizeof buffer, 0)) > 0;)
                routerInput[i].append(buffer, static_cast<size_t>(n));
        int open = 0;
        for (int i = 0; i < kUsers; ++i) {
            if (!closed[i]) {
                const ssize_t n = ::recv(users[i], buffer, sizeof buffer, 0);
                closed[i] = n == 0 || (n < 0 && errno != EAGAIN && errno != ENOTCONN);
            }
            open += !closed[i];
        }
        return open;
    };

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kUsers; ++i) {
        users.push_back(connectLoopback(relayPort, true));
        QVERIFY(users.back() >= 0);
    }
    QVERIFY(probe::waitUntil([&] { return pump() == 1 && m_relay->RemoteClientConnected(); }, 30000));
    const qint64 settledMs = clock.elapsed();
    const int attached = int(std::find(closed.begin(), closed.end(), false) - closed.begin());

    // Only the attached user's bytes reach the router, and only on the one router connection
    // still open.
    const auto marker = [](int user) { return "user" + std::to_string(user) + ";"; };
    for (int i = 0; i < kUsers; ++i)
        if (i != attached)
            ::send(users[i], marker(i).data(), marker(i).size(), MSG_NOSIGNAL);
    QVERIFY(probe::sendAll(users[attached], marker(attached)));
    std::string allRouterInput;
    QVERIFY(probe::waitUntil(
        [&] {
            pump();
            allRouterInput.clear();
            for (const std::string &input : routerInput)
                allRouterInput += input;
            return allRouterInput.find(marker(attached)) != std::string::npos;
        },
        5000));
    QTest::qWait(100); // time for anything that should not arrive
    pump();
    allRouterInput.clear();
    int openRouters = 0;
    for (size_t i = 0; i < routers.size(); ++i) {
        allRouterInput += routerInput[i];
        char probeByte;
        const ssize_t n = ::recv(routers[i], &probeByte, 1, MSG_PEEK);
        openRouters += n < 0 && errno == EAGAIN;
    }
    qInfo("300 users at once: settled in %lld ms, router connections seen: %zu, open: %d", settledMs, routers.size(),
          openRouters);
    QCOMPARE(allRouterInput, marker(attached));
    QCOMPARE(openRouters, 1);
    QVERIFY2(routers.size() <= kMaxRouterConnections, qPrintable(QString::number(routers.size())));
    QVERIFY(m_errors.empty());
}

void TestRelayHardening::relayFloodSetRouterConnectRate()
{
    // Users arrive one after another, each once the previous one's router connection could have
    // been made. Each replaces the last, but the router connections they cause keep the
    // back-off's pace: counted on the router's side against the time the flood took.
    constexpr int kUsers = 200;
    LoopbackListener router;
    MonitorRig rig(router.port());
    std::vector<LoopbackPeer> routerSide;
    const auto acceptAll = [&] {
        for (LoopbackPeer next = router.accept(0); next.isOpen(); next = router.accept(0))
            routerSide.push_back(std::move(next));
    };
    std::vector<LoopbackPeer> users(kUsers);
    QElapsedTimer clock;
    clock.start();
    for (LoopbackPeer &user : users) {
        QVERIFY(user.connectTo(rig.relayPort()));
        QTest::qWait(10);
        acceptAll();
    }
    const qint64 floodMs = clock.elapsed();
    const size_t duringFlood = routerSide.size();
    qInfo("%d relay users in %lld ms: %zu router connections", kUsers, floodMs, duringFlood);
    QVERIFY2(int(duringFlood) <= backoffAttempts(floodMs), qPrintable(QString::number(duringFlood)));

    // The last user is told of the wait in one line and relayed when it ends.
    LoopbackPeer &last = users.back();
    QVERIFY(probe::waitUntil(
        [&] {
            acceptAll();
            return routerSide.size() > duringFlood || last.closedByPeer();
        },
        LoopbackPeer::kWaitMs));
    QVERIFY(routerSide.back().send("Password: "));
    QVERIFY(last.waitFor("Password: "));
    const std::string said = last.input().substr(0, last.input().size() - 10);
    QVERIFY2(said.empty() || (isOneAsciiLine(said) && said.starts_with("linewatch: ")), said.c_str());
    QCOMPARE(routerSide.size(), duringFlood + 1);
    QVERIFY(rig.errors.empty());
}

void TestRelayHardening::refusedRouterHeldRelayUserSilently_data()
{
    QTest::addColumn<bool>("listening");
    QTest::newRow("nobody listens") << false;
    QTest::newRow("router hangs up at once") << true;
}

void TestRelayHardening::refusedRouterHeldRelayUserSilently()
{
    QFETCH(bool, listening);
    auto router = std::make_unique<LoopbackListener>();
    const int routerPort = router->port();
    if (!listening)
        router.reset();
    MonitorRig rig(routerPort);
    LoopbackPeer user;
    QVERIFY(user.connectTo(rig.relayPort()));
    if (listening) {
        LoopbackPeer refused = router->accept();
        QVERIFY(refused.isOpen());
        QVERIFY(probe::waitUntil([&] { return rig.monitor->Session.sktBrelwick.Active(); }, LoopbackPeer::kWaitMs));
    }
    QVERIFY(user.waitClosed());
    QVERIFY2(isOneAsciiLine(user.input()) && user.input().starts_with("linewatch: "), user.input().c_str());
    QVERIFY(!rig.monitor->Relay.RemoteClientConnected());
}

QTEST_GUILESS_MAIN(TestRelayHardening)
#include "tst_relayhardening.moc"
