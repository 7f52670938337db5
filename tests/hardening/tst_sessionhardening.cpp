// SPDX-License-Identifier: MIT
// The console session against a router on 127.0.0.1 that misbehaves: it resets the connection or
// closes it half-way through a screen, sends endless escape sequences, puts the cursor far off the
// grid, or has a field that is not a number on every repaint. The session must report what is
// wrong, keep its input bounded, give its descriptors back, and read the next good screen.
#include "consolesession.h"
#include "probe.h"

#include "apperror.h"

#include <QFile>
#include <QTest>

#include <ctime>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// The status screen of the session fixtures as one repaint: erase, then every row positioned.
std::string statusRepaint(const std::string &tx = "3141592653")
{
    QFile file(QStringLiteral(LW_TEST_DATA_DIR "/session/menu24_1.screen"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> rows = file.readAll().split('\n');
    std::string out = "\x1b[2J";
    for (int r = 0; r < 24 && r < rows.size(); ++r) {
        std::string row = rows[r].toStdString();
        if (const size_t at = row.find("3141592653"); at != std::string::npos)
            row.replace(at, tx.size(), tx);
        out += "\x1b[" + std::to_string(r + 1) + ";1H" + row;
    }
    return out;
}

// The router's end: a listener on 127.0.0.1 and the one connection the session makes to it.
class FakeRouter
{
public:
    FakeRouter() { m_listener = listenLoopback(m_port); }
    ~FakeRouter()
    {
        closeConnection();
        ::close(m_listener);
    }

    int port() const { return m_port; }

    bool accept()
    {
        closeConnection();
        return probe::waitUntil(
            [this] {
                if (!probe::readable(m_listener))
                    return false;
                m_fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                return m_fd >= 0;
            },
            5000);
    }
    bool send(const std::string &bytes) { return probe::sendAll(m_fd, bytes); }
    // An abortive close: the session receives a reset.
    void reset()
    {
        const linger abort{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        closeConnection();
    }
    void shutdownSending() { ::shutdown(m_fd, SHUT_WR); }
    void closeConnection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_listener = -1;
    int m_fd = -1;
    int m_port = 0;
};

} // namespace

class TestSessionHardening : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void resetMidScreen_data();
    void resetMidScreen();
    void closedHalfWay();
    void endlessEscapeSequences();
    void cursorFarOffTheGrid();
    void badNumberEveryRepaint();

private:
    void connectSession();
    bool connected() const { return m_panel == "Connected"; }
    // Sends bytes as the router and waits until the session has drawn all of them.
    void routerSends(const std::string &bytes);
    void expectGoodScreenRead();

    std::unique_ptr<FakeRouter> m_router;
    std::unique_ptr<TConsoleSession> m_session;
    std::vector<std::string> m_errors;
    // Reports of peers' doing: the log's, never a box's.
    std::vector<std::string> m_peerErrors;
    std::string m_panel;
    int m_baseDescriptors = 0;
};

void TestSessionHardening::init()
{
    m_errors.clear();
    m_panel.clear();
    SetErrorReporter([this](const std::string &message) { m_errors.push_back(message); });
    SetPeerErrorReporter([this](const std::string &message) { m_peerErrors.push_back(message); });
    m_baseDescriptors = probe::openDescriptors();
    m_router = std::make_unique<FakeRouter>();
    m_session = std::make_unique<TConsoleSession>();
    m_session->ConnectionChanged = [this](bool connected) { m_panel = connected ? "Connected" : "Not Connected"; };
    connectSession();
}

void TestSessionHardening::cleanup()
{
    m_session.reset();
    m_router.reset();
    SetErrorReporter(nullptr);
    SetPeerErrorReporter({});
    QVERIFY(probe::waitUntil([this] { return probe::openDescriptors() == m_baseDescriptors; }, 5000));
}

void TestSessionHardening::connectSession()
{
    m_session->btnConnectClick("127.0.0.1", std::to_string(m_router->port()));
    QVERIFY(m_router->accept());
    QVERIFY(probe::waitUntil([this] { return connected(); }, 5000));
}

void TestSessionHardening::routerSends(const std::string &bytes)
{
    // A marker the screen never holds otherwise shows when everything before it has been drawn.
    static int serial = 0;
    const std::string marker = "#" + std::to_string(++serial) + "#";
    QVERIFY(m_router->send(bytes + "\x1b[24;1H" + marker));
    QVERIFY(probe::waitUntil([&] { return m_session->ConsoleScreen.Row(24).starts_with(marker); }, 20000));
}

void TestSessionHardening::expectGoodScreenRead()
{
    routerSends(statusRepaint());
    QCOMPARE(m_session->B1.Link, std::string("SYNC-PPP"));
    QCOMPARE(m_session->B1.TX, int64_t(3141592653));
    QCOMPARE(m_session->Router.LANCollisions, int64_t(42));
}

void TestSessionHardening::resetMidScreen_data()
{
    QTest::addColumn<bool>("drawnFirst");
    QTest::newRow("after the half screen is drawn") << true;
    QTest::newRow("with the half screen unread") << false;
}

void TestSessionHardening::resetMidScreen()
{
    QFETCH(bool, drawnFirst);
    const std::string screen = statusRepaint();
    QVERIFY(m_router->send(screen.substr(0, screen.size() / 2)));
    if (drawnFirst)
        QVERIFY(probe::waitUntil(
            [this] { return m_session->ConsoleScreen.Row(3).find("Menu 24.1") != std::string_view::npos; }, 5000));
    m_router->reset();
    // The reset is reported once.
    QVERIFY(probe::waitUntil([this] { return !m_errors.empty() || m_panel == "Not Connected"; }, 5000));
    QTest::qWait(200);
    QVERIFY(m_errors.size() <= 1);
    if (!m_errors.empty())
        QVERIFY(m_errors.front().starts_with("Asynchronous socket error"));

    // A dead connection costs no CPU while nothing happens on it. CPU time, not wall-clock time:
    // a busy machine gives a spinning loop less of it, never a waiting one more.
    const std::clock_t cpuBefore = std::clock();
    QTest::qWait(1000);
    const double cpuSeconds = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    QVERIFY2(cpuSeconds < 0.5, qPrintable(QString::number(cpuSeconds)));

    // The session sees that the router is gone.
    QVERIFY(probe::waitUntil([this] { return m_panel == "Not Connected"; }, 5000));

    // The user's way out: Connect closes what is left, the next Connect starts afresh and the
    // whole screen is read.
    if (m_session->sktBrelwick.Active()) {
        m_session->btnConnectClick("127.0.0.1", std::to_string(m_router->port()));
        QCOMPARE(m_panel, std::string("Not Connected"));
    }
    m_errors.clear();
    connectSession();
    expectGoodScreenRead();
    QVERIFY(m_errors.empty());
}

void TestSessionHardening::closedHalfWay()
{
    const std::string screen = statusRepaint();
    QVERIFY(m_router->send(screen.substr(0, screen.size() / 2)));
    m_router->shutdownSending();
    QVERIFY(probe::waitUntil([this] { return m_panel == "Not Connected"; }, 5000));
    QVERIFY(m_errors.empty());
    m_router->closeConnection();

    connectSession();
    expectGoodScreenRead();
    QVERIFY(m_errors.empty());
}

void TestSessionHardening::endlessEscapeSequences()
{
    constexpr size_t kPiece = 64 * 1024;
    constexpr int kPieces = 64; // 4 MiB each way
    probe::TickWatch tick;
    const long residentBefore = probe::residentBytes();

    // One sequence that never ends: the input buffer must stay within the escape length cap.
    QVERIFY(m_router->send("\x1b["));
    size_t largestBuffer = 0;
    for (int k = 0; k < kPieces; ++k) {
        QVERIFY(m_router->send(std::string(kPiece, '7')));
        probe::turnEventLoop();
        largestBuffer = std::max(largestBuffer, m_session->RxBuffer.size());
    }
    // Its final character ends it; then a flood of complete sequences.
    QVERIFY(m_router->send("H"));
    std::string flood;
    while (flood.size() < kPiece)
        flood += "\x1b[1;1H\x1b[0m\x1b[?25l";
    for (int k = 0; k < kPieces; ++k) {
        QVERIFY(m_router->send(flood));
        probe::turnEventLoop();
        largestBuffer = std::max(largestBuffer, m_session->RxBuffer.size());
    }
    expectGoodScreenRead();

    QVERIFY2(largestBuffer < kMaxEscapeLength, qPrintable(QString::number(largestBuffer)));
    QVERIFY(connected());
    QVERIFY(m_errors.empty());
    qInfo("8 MiB of escape sequences: input buffer at most %zu bytes, resident growth %ld bytes, longest tick "
          "gap %lld ms",
          largestBuffer, probe::residentBytes() - residentBefore, static_cast<long long>(tick.longestGapMs()));
    QVERIFY(tick.longestGapMs() <= probe::kStuckTickGapMs);
}

void TestSessionHardening::cursorFarOffTheGrid()
{
    routerSends("\x1b[999;999HX\x1b[0;0HY\x1b[-3;-7HZ\x1b[65535;65535H\x1b[2147483647;2147483647HW\x1b[;H"
                "\x1b[999H\r\r\r\r\n\n\b\b\b\bU\x1b[1;200H\x1b[200;1HV");
    QVERIFY(m_errors.empty());
    const TConsoleScreen &screen = m_session->ConsoleScreen;
    QVERIFY(screen.CursorRow >= 1 && screen.CursorRow <= 25 && screen.CursorCol >= 1 && screen.CursorCol <= 81);

    // Numbers past 32 bits and parameters that are no numbers are conversion errors, reported one
    // by one; the rest of a chunk is drawn with the next one, and the connection stays.
    const std::string bad[] = {"\x1b[99999999999;1H", "\x1b[1;-99999999999H", "\x1b[;;;H", "\x1b[1;2;3H"};
    for (const std::string &sequence : bad) {
        const size_t before = m_errors.size();
        QVERIFY(m_router->send(sequence));
        QVERIFY(probe::waitUntil([&] { return m_errors.size() == before + 1; }, 5000));
        QVERIFY(m_errors.back().find("is not a valid integer value") != std::string::npos);
        QVERIFY(screen.CursorRow >= 1 && screen.CursorRow <= 25 && screen.CursorCol >= 1 && screen.CursorCol <= 81);
    }
    QVERIFY(connected());
    for (int r = 1; r <= 24; ++r)
        QCOMPARE(screen.Row(r).size(), size_t(80));
    m_errors.clear();
    expectGoodScreenRead();
    QVERIFY(m_errors.empty());
}

void TestSessionHardening::badNumberEveryRepaint()
{
    // A repaint a second for a minute, without the waits. Every chunk read while the bad field is
    // on the screen reports it once; a repaint arrives in one chunk or a few.
    constexpr int kRepaints = 60;
    probe::TickWatch tick;
    for (int k = 0; k < kRepaints; ++k)
        routerSends(statusRepaint("31415x2653"));
    QVERIFY(m_errors.size() >= size_t(kRepaints) && m_errors.size() <= size_t(3 * kRepaints));
    for (const std::string &error : m_errors)
        QCOMPARE(error, m_errors.front());
    QVERIFY(m_errors.front().find("31415x2653") != std::string::npos);
    // The fields before the bad one were read; the connection stays up.
    QCOMPARE(m_session->B1.Link, std::string("SYNC-PPP"));
    QVERIFY(connected());
    m_errors.clear();
    expectGoodScreenRead();
    QVERIFY(m_errors.empty());
    QVERIFY(tick.longestGapMs() <= probe::kStuckTickGapMs);
}

QTEST_GUILESS_MAIN(TestSessionHardening)
#include "tst_sessionhardening.moc"
