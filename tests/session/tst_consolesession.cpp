// SPDX-License-Identifier: MIT
// The console session over 127.0.0.1: against a fake router driven byte by byte (the prompt
// automaton, channel commands, the relay copy, errors inside a chunk, connect and disconnect
// paths), and end to end against the router simulator (the walk, the record, a rejected
// password, a split prompt, reconnecting, a connection cut mid-screen).
#include "apperror.h"
#include "consolesession.h"
#include "loopbackpeer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <memory>

namespace {

// Turns the event loop until done() holds or the bound passes; returns done().
template <typename F>
bool waitUntil(F &&done, int ms = LoopbackPeer::kWaitMs)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(1);
    }
    return true;
}

const std::string kMarker = "#END";

std::string fixture(const char *name)
{
    QFile file(QStringLiteral(LW_TEST_DATA_DIR "/session/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return file.readAll().toStdString();
}

std::string row(const TConsoleScreen &screen, int r)
{
    return std::string(screen.Row(r));
}

// Stands in for the window: the password box, the captions and panel, the error box.
struct Window
{
    std::string password = "1234";
    bool fullPass = true;
    QStringList states; // "button|menu|panel" per change
    int resets = 0;
    QStringList errors;
    ErrorReporter previousReporter;

    explicit Window(TConsoleSession &session)
    {
        session.PasswordText = [this] { return password; };
        session.WantFullPass = [this] { return fullPass; };
        // The captions the window shows for each state.
        session.ConnectionChanged = [this](bool connected) {
            states << (connected ? QStringLiteral("Disconnect|Dis&connect|Connected")
                                 : QStringLiteral("Connect|&Connect|Not Connected"));
        };
        session.StatusWasReset = [this] { ++resets; };
        previousReporter =
            SetErrorReporter([this](const std::string &message) { errors << QString::fromStdString(message); });
    }
    ~Window() { SetErrorReporter(previousReporter); }
};

// A session whose connection attempts are only recorded: what would be connected to, never a
// connection.
class RecordingSession : public TConsoleSession
{
public:
    int opens = 0;
    std::string openedAddress;
    int openedPort = -1;

protected:
    void OpenConnection() override
    {
        ++opens;
        openedAddress = sktBrelwick.Address();
        openedPort = sktBrelwick.Port();
    }
};

// The router simulator as a child process on a free port of 127.0.0.1, logging every chunk it
// receives so a test can see exactly what was typed.
class Simulator
{
public:
    ~Simulator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    static QString program() { return QStringLiteral(LW_BINARY_DIR "/linewatch-routersim"); }

    bool start(const QByteArray &script)
    {
        if (!m_script.open())
            return false;
        m_script.write(script);
        m_script.flush();
        m_process.setProgram(program());
        m_process.setArguments({"--port", "0", "--seed", "7", "--log-input", "--script", m_script.fileName()});
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        return waitUntil([&] {
                   const QRegularExpressionMatch match = listening.match(output());
                   m_port = match.hasMatch() ? match.captured(1).toInt() : 0;
                   return m_port > 0 || m_process.state() == QProcess::NotRunning;
               }) &&
               m_port > 0;
    }

    int port() const { return m_port; }

    // Everything the simulator printed so far.
    QString output()
    {
        m_output += QString::fromLatin1(m_process.readAllStandardOutput());
        return m_output;
    }

    // The bytes connection n received, in order, whatever the reads' boundaries.
    QByteArray typed(int n)
    {
        QByteArray bytes;
        const QString prefix = QStringLiteral("conn %1 input ").arg(n);
        for (const QString &line : output().split('\n'))
            if (line.startsWith(prefix))
                bytes += QByteArray::fromHex(line.mid(prefix.size()).trimmed().toLatin1());
        return bytes;
    }

    bool printed(const QString &line) { return output().split('\n').contains(line); }

private:
    QProcess m_process;
    QTemporaryFile m_script;
    QString m_output;
    int m_port = 0;
};

constexpr char kWalk[] = "1234\r24\r2\r1\r\x1b\x1b"
                         "1\r";

} // namespace

class TestConsoleSession : public QObject
{
    Q_OBJECT

private slots:
    // Connecting and disconnecting.
    void connectWithDefaultsHandsAddressAndPortToSocket();
    void portThatIsNoNumberIsReported();
    void emptyAddressRunsDisconnectThenReports();
    void refusedConnectionIsReportedCaptionsStay();
    void secondClickWhileConnectingUsesSecondValues();
    void clickWhileConnectedDisconnects();

    // The prompt automaton and the commands, over a fake router.
    void promptAutomaton_data();
    void promptAutomaton();
    void channelCommandOnlyOnStatusScreen();
    void errorInsideChunkEndsOnlyThatChunk();
    void shortPassWhileWindowHidden();

    // The relay's side of the session.
    void relayGetsRouterBytesAndSessionTypesNothing();
    void disconnectWhileRelayingClosesRemoteUser();

    // End to end against the router simulator.
    void simulatorWalkAndRecord();
    void simulatorRejectedPasswordNotRetried();
    void simulatorSplitPromptNotRecognised();
    void simulatorReconnectStartsAfresh();
    void simulatorCloseMidScreenClearsEverything();

private:
    // Connects session to a fake router; peer is the router's end.
    bool connectToFake(TConsoleSession &session, Window &window, LoopbackListener &router, LoopbackPeer &peer);
    // Sends a marker through the session's socket and returns everything the router received up
    // to it, markers left out: all that was typed, with nothing still in flight.
    std::string typedSoFar(TConsoleSession &session, LoopbackPeer &peer);
    bool startSimulator(Simulator &sim, const QByteArray &script);
    // What the relay does when a remote user arrives, without re-making the router connection.
    bool attachRemoteUser(TConsoleSession &session, TServerSocket &relay, LoopbackPeer &remote);
};

bool TestConsoleSession::attachRemoteUser(TConsoleSession &session, TServerSocket &relay, LoopbackPeer &remote)
{
    relay.SetBindAddress("127.0.0.1");
    relay.SetPort(0);
    relay.SetActive(true);
    if (!remote.connectTo(relay.Socket()->LocalPort()) ||
        !waitUntil([&] { return relay.Socket()->ActiveConnections() == 1; }))
        return false;
    TServerClientWinSocket *user = relay.Socket()->ClientConnections(0);
    session.RelayTap = [user](const std::string &chunk) { user->SendString(chunk); };
    session.ConnectionEnded = [user] { user->CloseConnection(); };
    return true;
}

bool TestConsoleSession::connectToFake(TConsoleSession &session, Window &window, LoopbackListener &router,
                                       LoopbackPeer &peer)
{
    session.btnConnectClick("127.0.0.1", std::to_string(router.port()));
    peer = router.accept();
    return peer.isOpen() && waitUntil([&] { return session.sktBrelwick.Active(); }) &&
           window.states.endsWith("Disconnect|Dis&connect|Connected");
}

std::string TestConsoleSession::typedSoFar(TConsoleSession &session, LoopbackPeer &peer)
{
    const size_t before = peer.input().size();
    session.sktBrelwick.Socket()->SendString(kMarker);
    if (!waitUntil([&] { return peer.input().find(kMarker, before) != std::string::npos; }))
        return "<marker lost>";
    std::string typed = peer.input();
    for (size_t at = typed.find(kMarker); at != std::string::npos; at = typed.find(kMarker, at))
        typed.erase(at, kMarker.size());
    return typed;
}

bool TestConsoleSession::startSimulator(Simulator &sim, const QByteArray &script)
{
    if (!QFile::exists(Simulator::program()))
        return false;
    return sim.start(script);
}

void TestConsoleSession::connectWithDefaultsHandsAddressAndPortToSocket()
{
    RecordingSession session;
    Window window(session);
    session.btnConnectClick("192.168.0.1", "23");
    QCOMPARE(session.opens, 1);
    QCOMPARE(session.openedAddress, "192.168.0.1");
    QCOMPARE(session.openedPort, 23);
    QVERIFY(!session.sktBrelwick.Active());
    QVERIFY(window.errors.isEmpty());
}

void TestConsoleSession::portThatIsNoNumberIsReported()
{
    RecordingSession session;
    Window window(session);
    session.btnConnectClick("127.0.0.1", "telnet");
    QCOMPARE(window.errors, QStringList{"'telnet' is not a valid integer value"});
    QCOMPARE(session.opens, 0);
    QCOMPARE(session.sktBrelwick.Address(), "127.0.0.1"); // set before the port was converted
}

void TestConsoleSession::emptyAddressRunsDisconnectThenReports()
{
    TConsoleSession session;
    Window window(session);
    std::string buffer;
    session.ConsoleScreen.DrawChunk(buffer, "\x1b[3;1HMenu 24.1");
    session.B1.Link = "Voice";
    session.btnConnectClick("", "23");
    QCOMPARE(window.states, QStringList{"Connect|&Connect|Not Connected"});
    QCOMPARE(window.errors, QStringList{"No address specified"});
    QCOMPARE(row(session.ConsoleScreen, 3), std::string(80, ' '));
    QCOMPARE(session.B1.Link, "No Data");
    QCOMPARE(window.resets, 1);
}

void TestConsoleSession::refusedConnectionIsReportedCaptionsStay()
{
    int port = 0;
    {
        LoopbackListener closed;
        port = closed.port();
    }
    TConsoleSession session;
    Window window(session);
    session.btnConnectClick("127.0.0.1", std::to_string(port));
    QVERIFY(waitUntil([&] { return !window.errors.isEmpty(); }));
    QVERIFY2(window.errors.first().startsWith("Asynchronous socket error"), qPrintable(window.errors.first()));
    QVERIFY(window.states.isEmpty());
    QVERIFY(!session.sktBrelwick.Active());
}

// Two clicks before the router answers: the second attempt replaces the first.
void TestConsoleSession::secondClickWhileConnectingUsesSecondValues()
{
    LoopbackListener first, second;
    TConsoleSession session;
    Window window(session);
    session.btnConnectClick("127.0.0.1", std::to_string(first.port()));
    session.btnConnectClick("127.0.0.1", std::to_string(second.port()));
    LoopbackPeer peer = second.accept();
    QVERIFY(peer.isOpen());
    QVERIFY(waitUntil([&] { return session.sktBrelwick.Active(); }));
    QCOMPARE(window.states, QStringList{"Disconnect|Dis&connect|Connected"});
    QVERIFY(peer.send("Password: "));
    QVERIFY(peer.waitFor("1234\r"));
    // The dropped attempt may have completed in the kernel, but it carries nothing and is closed.
    LoopbackPeer dropped = first.accept(200);
    if (dropped.isOpen()) {
        QVERIFY(dropped.waitClosed());
        QCOMPARE(dropped.input(), "");
    }
    QCOMPARE(session.sktBrelwick.Port(), second.port());
}

void TestConsoleSession::clickWhileConnectedDisconnects()
{
    LoopbackListener router;
    LoopbackPeer peer;
    TConsoleSession session;
    Window window(session);
    QVERIFY(connectToFake(session, window, router, peer));
    session.btnConnectClick("ignored", "ignored");
    QCOMPARE(window.states.last(), "Connect|&Connect|Not Connected"); // nested in the click
    QVERIFY(window.errors.isEmpty());
    QVERIFY(peer.waitClosed());
}

void TestConsoleSession::promptAutomaton_data()
{
    // Router chunks separated by "|" and, after each, the bytes the session types in answer
    // (separated the same way); the password is "pw".
    QTest::addColumn<QByteArray>("chunks");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<int>("finalStep");

    QTest::newRow("the whole walk") << QByteArray("Password: |Enter Menu Selection Number: |Enter Menu Selection "
                                                  "Number: |Enter Selection: |Press ESC or ENTER to exit: |Enter "
                                                  "Selection: |Enter Menu Selection Number: |Enter Menu Selection "
                                                  "Number: |Password: ")
                                    << QByteArray("pw\r|24\r|2\r|1\r|\x1b|\x1b|1\r||") << 7;
    QTest::newRow("menu prompt before the password")
        << QByteArray("Enter Menu Selection Number: |Password: ") << QByteArray("|pw\r") << 1;
    QTest::newRow("prompt split across chunks") << QByteArray("Pass|word: |Password: ") << QByteArray("||pw\r") << 1;
    QTest::newRow("prompt cut by an attribute") << QByteArray("Pass\x1b[0mword: ") << QByteArray("") << 0;
    QTest::newRow("prompt after the screen's sequences")
        << QByteArray("\x1b[2J\x1b[12;28HPassword: ") << QByteArray("pw\r") << 1;
    QTest::newRow("search is case-sensitive") << QByteArray("PASSWORD: ") << QByteArray("") << 0;
    QTest::newRow("one step per token") << QByteArray("Password: Number: Number: |Number: ") << QByteArray("pw\r|24\r")
                                        << 2;
    QTest::newRow("rejected password is not retried")
        << QByteArray("Password: |Login incorrect\x1b[12;1HPassword: |Password: ") << QByteArray("pw\r||") << 1;
}

void TestConsoleSession::promptAutomaton()
{
    QFETCH(QByteArray, chunks);
    QFETCH(QByteArray, replies);
    QFETCH(int, finalStep);

    LoopbackListener router;
    LoopbackPeer peer;
    TConsoleSession session;
    Window window(session);
    window.password = "pw";
    QVERIFY(connectToFake(session, window, router, peer));

    // Chunks go in as the read handler would hand them over, so the cuts are exactly these.
    std::string expected;
    const QList<QByteArray> replyList = replies.split('|');
    const QList<QByteArray> chunkList = chunks.split('|');
    QCOMPARE(chunkList.size(), replyList.size());
    for (qsizetype i = 0; i < chunkList.size(); ++i) {
        session.ProcessConsoleData(chunkList[i].toStdString());
        expected += replyList[i].toStdString();
        QCOMPARE(typedSoFar(session, peer), expected);
    }
    QCOMPARE(int(session.LoginStep), finalStep);
    QVERIFY(window.errors.isEmpty());
}

void TestConsoleSession::channelCommandOnlyOnStatusScreen()
{
    LoopbackListener router;
    LoopbackPeer peer;
    TConsoleSession session;
    Window window(session);
    QVERIFY(connectToFake(session, window, router, peer));

    session.SendChannelCommand(2); // blank screen
    QVERIFY(peer.send("\x1b[2J\x1b[3;20HMenu 24 - System Maintenance"));
    QVERIFY(waitUntil([&] { return row(session.ConsoleScreen, 3).find("Menu 24") != std::string::npos; }));
    session.SendChannelCommand(2);
    QCOMPARE(typedSoFar(session, peer), "");

    QVERIFY(peer.send("\x1b[2J\x1b[3;20HMenu 24.1 - System Maintenance - Status"));
    QVERIFY(waitUntil([&] { return row(session.ConsoleScreen, 3).find("Menu 24.1") != std::string::npos; }));
    for (int tag : {2, 1, 4, 3})
        session.SendChannelCommand(tag);
    QCOMPARE(typedSoFar(session, peer), "2143");

    // Menu 24.2.1 is not the status screen.
    QVERIFY(peer.send("\x1b[3;20HMenu 24.2.1 - Information       "));
    QVERIFY(waitUntil([&] { return row(session.ConsoleScreen, 3).find("24.2.1") != std::string::npos; }));
    session.SendChannelCommand(4);
    QCOMPARE(typedSoFar(session, peer), "2143");
    QVERIFY(window.errors.isEmpty());
}

// A bad number while drawing or parsing ends that chunk's handling: reported, no parser pass for
// it, the rest of it handled with the next chunk, the connection up.
void TestConsoleSession::errorInsideChunkEndsOnlyThatChunk()
{
    LoopbackListener router;
    LoopbackPeer peer;
    TConsoleSession session;
    Window window(session);
    QVERIFY(connectToFake(session, window, router, peer));
    QVERIFY(peer.send(fixture("menu24_1.bin")));
    QVERIFY(waitUntil([&] { return session.B1.Link == "SYNC-PPP"; }));

    QVERIFY(peer.send("\x1b[6;6HDown      \x1b[x;1H\x1b[7;6HIdle      "));
    QVERIFY(waitUntil([&] { return !window.errors.isEmpty(); }));
    QCOMPARE(window.errors, QStringList{"'x' is not a valid integer value"});
    QCOMPARE(session.B1.Link, "SYNC-PPP"); // drawn, but this chunk got no parser pass
    QCOMPARE(session.RxBuffer, "\x1b[7;6HIdle      ");

    QVERIFY(peer.send("\x1b[22;62H"));
    QVERIFY(waitUntil([&] { return session.B1.Link == "Down"; }));
    QCOMPARE(session.B2.Link, "Idle");
    QVERIFY(session.RxBuffer.empty());

    // A field the parser cannot read: the fields before it are stored.
    QVERIFY(peer.send("\x1b[6;6HVoice     \x1b[6;59H1%2"));
    QVERIFY(waitUntil([&] { return window.errors.size() == 2; }));
    QCOMPARE(window.errors.last(), "'1%2' is not a valid integer value");
    QCOMPARE(session.B1.Link, "Voice");
    QCOMPARE(session.B1.CLU, 87);
    QVERIFY(session.sktBrelwick.Active());
    QCOMPARE(window.states.size(), 1);
}

void TestConsoleSession::shortPassWhileWindowHidden()
{
    TConsoleSession session;
    Window window(session);
    window.fullPass = false;
    session.ProcessConsoleData(fixture("menu24_1.bin"));
    QCOMPARE(session.B1.Link, "SYNC-PPP");
    QCOMPARE(session.B1.CLU, 87);
    QCOMPARE(session.B1.TX, int64_t(0));
    window.fullPass = true;
    session.ProcessConsoleData("");
    QCOMPARE(session.B1.TX, int64_t(3141592653));
}

void TestConsoleSession::relayGetsRouterBytesAndSessionTypesNothing()
{
    LoopbackListener router;
    LoopbackPeer peer;
    TConsoleSession session;
    Window window(session);
    QVERIFY(connectToFake(session, window, router, peer));

    TServerSocket relay;
    LoopbackPeer remote;
    QVERIFY(attachRemoteUser(session, relay, remote));

    std::string bytes = "Password: ";
    for (int c = 0; c < 256; ++c)
        bytes += static_cast<char>(c);
    bytes += fixture("menu24_1.bin");
    QVERIFY(peer.send(bytes));
    QVERIFY(waitUntil([&] { return remote.input().size() >= bytes.size(); }));
    QCOMPARE(remote.input(), bytes);
    QCOMPARE(int(session.LoginStep), 0);
    QCOMPARE(typedSoFar(session, peer), "");
    // The record still follows the screens the remote user opens.
    QVERIFY(waitUntil([&] { return session.B1.Link == "SYNC-PPP"; }));
    // The channel commands still work.
    session.SendChannelCommand(4);
    QCOMPARE(typedSoFar(session, peer), "4");
}

void TestConsoleSession::disconnectWhileRelayingClosesRemoteUser()
{
    LoopbackListener router;
    LoopbackPeer peer;
    TConsoleSession session;
    Window window(session);
    QVERIFY(connectToFake(session, window, router, peer));
    TServerSocket relay;
    LoopbackPeer remote;
    QVERIFY(attachRemoteUser(session, relay, remote));
    QVERIFY(peer.send(fixture("menu24_1.bin")));
    QVERIFY(waitUntil([&] { return session.B1.Link == "SYNC-PPP"; }));

    peer.close();
    QVERIFY(waitUntil([&] { return window.states.size() == 2; }));
    QCOMPARE(window.states.last(), "Connect|&Connect|Not Connected");
    QVERIFY(remote.waitClosed());
    QCOMPARE(session.ConsoleScreen.Text(), TConsoleScreen().Text());
    QCOMPARE(session.B1.Link, "No Data");
    QCOMPARE(session.Router.LANSent, int64_t(0));
    QVERIFY(session.RelayTap); // the relay's to clear
    QVERIFY(window.errors.isEmpty());
}

void TestConsoleSession::simulatorWalkAndRecord()
{
    Simulator sim;
    if (!startSimulator(sim, "live off\ninterval-ms 100\ncall b1 data\ncall b2 voice 5551234\n"
                             "set b1.state PPP/64K\nset b1.tx 3000000001\nset b1.clu 42\nset b1.ip 10.9.8.7\n"
                             "set name brelwick9\nset firmware V9.99(X.01)\nset ip 127.0.0.9\n"
                             "set lan.sent 12345678901\nset outcall 1:23:45\nset trigger.src 192.168.0.7\n"
                             "set trigger.dst 10.1.2.3\nset trigger.sport 1025\nset trigger.dport 80\n"))
        QFAIL("the router simulator did not start");
    TConsoleSession session;
    Window window(session);
    session.btnConnectClick("127.0.0.1", std::to_string(sim.port()));

    QVERIFY(waitUntil([&] { return session.LoginStep == 7 && session.B1.Link == "PPP/64K"; }));
    QVERIFY(waitUntil([&] { return sim.typed(1) == QByteArray(kWalk); }));
    QCOMPARE(session.Router.Name, "brelwick9");
    QCOMPARE(session.Router.Firmware, "V9.99(X.01)");
    QCOMPARE(session.Router.IPAddress, "127.0.0.9");
    QCOMPARE(session.B1.TX, int64_t(3000000001));
    QCOMPARE(session.B1.CLU, 42);
    QCOMPARE(session.B1.IP, "10.9.8.7");
    QCOMPARE(session.B2.Link, "Voice");
    QCOMPARE(session.B2.CLID, "5551234");
    QCOMPARE(session.Router.LANSent, int64_t(12345678901));
    QCOMPARE(session.Router.TotalOutcallTime, "1:23:45");
    QCOMPARE(session.Router.TriggerSrcIP, "192.168.0.7");
    QCOMPARE(session.Router.TriggerDestIP, "10.1.2.3");
    QCOMPARE(session.Router.TriggerSrcPort, 1025);
    QCOMPARE(session.Router.TriggerDestPort, 80);

    // Several repaints later nothing more has been typed; a drop is typed on the status screen.
    QTest::qWait(400);
    session.SendChannelCommand(2);
    QVERIFY(waitUntil([&] { return sim.printed("conn 1 command drop-b2"); }));
    QCOMPARE(sim.typed(1), QByteArray(kWalk) + "2");
    QVERIFY(window.errors.isEmpty());
}

void TestConsoleSession::simulatorRejectedPasswordNotRetried()
{
    Simulator sim;
    if (!startSimulator(sim, "password-tries 0\nreprompt-ms 100\n"))
        QFAIL("the router simulator did not start");
    TConsoleSession session;
    Window window(session);
    window.password = "wrong";
    session.btnConnectClick("127.0.0.1", std::to_string(sim.port()));

    QVERIFY(waitUntil([&] { return sim.printed("conn 1 login failed"); }));
    // The password prompt comes again, by itself and on the re-prompt timer; nothing answers it.
    QTest::qWait(500);
    QCOMPARE(sim.typed(1), QByteArray("wrong\r"));
    QCOMPARE(int(session.LoginStep), 1);
    session.SendChannelCommand(1); // not on the status screen
    QTest::qWait(100);
    QCOMPARE(sim.typed(1), QByteArray("wrong\r"));
    QVERIFY(session.sktBrelwick.Active());
}

// The main menu's prompt arrives as "Enter Menu Selection Numb" and, later, "er: ": neither token
// holds "umber:", so the walk waits until the prompt comes again whole.
void TestConsoleSession::simulatorSplitPromptNotRecognised()
{
    Simulator sim;
    if (!startSimulator(sim, "split-prompt main 25\nsplit-delay-ms 100\nreprompt-ms 1500\n"))
        QFAIL("the router simulator did not start");
    TConsoleSession session;
    Window window(session);
    session.btnConnectClick("127.0.0.1", std::to_string(sim.port()));

    QVERIFY(waitUntil([&] { return session.LoginStep == 1; }));
    QVERIFY(waitUntil([&] { return row(session.ConsoleScreen, 20).find("Number: ") != std::string::npos; }));
    QTest::qWait(300);
    QCOMPARE(int(session.LoginStep), 1);
    QCOMPARE(sim.typed(1), QByteArray("1234\r"));

    QVERIFY(waitUntil([&] { return session.LoginStep == 7; }));
    QVERIFY(waitUntil([&] { return sim.typed(1) == QByteArray(kWalk); }));
}

void TestConsoleSession::simulatorReconnectStartsAfresh()
{
    Simulator sim;
    if (!startSimulator(sim, "live off\ninterval-ms 100\ncall b1 voice\nset name brelwick9\n"))
        QFAIL("the router simulator did not start");
    TConsoleSession session;
    Window window(session);
    // What the session holds the moment a connection starts.
    QStringList atConnect;
    session.ConnectionChanged = [&](bool connected) {
        window.states << (connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
        if (connected)
            atConnect << QStringLiteral("%1 %2 %3 %4")
                             .arg(session.LoginStep)
                             .arg(QString::fromStdString(session.B1.Link), QString::fromStdString(session.Router.Name))
                             .arg(session.RxBuffer.size());
    };
    session.btnConnectClick("127.0.0.1", std::to_string(sim.port()));
    QVERIFY(waitUntil([&] { return session.LoginStep == 7 && session.B1.Link == "Voice"; }));

    // The relay's way: close and open again at once.
    const int resets = window.resets;
    session.RemakeConnection();
    QCOMPARE(session.B1.Link, "No Data"); // the nested disconnect handling already ran
    QVERIFY(waitUntil([&] { return atConnect.size() == 2; }));
    QVERIFY(waitUntil([&] { return session.LoginStep == 7 && session.B1.Link == "Voice"; }));
    QVERIFY(waitUntil([&] { return sim.typed(2) == QByteArray(kWalk); }));
    QCOMPARE(session.Router.Name, "brelwick9");
    QVERIFY(window.resets >= resets + 2);

    // The user's way: Connect while connected disconnects, the next Connect connects.
    session.btnConnectClick("127.0.0.1", std::to_string(sim.port()));
    QCOMPARE(window.states.last(), "Connect");
    session.btnConnectClick("127.0.0.1", std::to_string(sim.port()));
    QVERIFY(waitUntil([&] { return atConnect.size() == 3; }));
    QVERIFY(waitUntil([&] { return sim.typed(3) == QByteArray(kWalk); }));
    for (const QString &state : atConnect)
        QCOMPARE(state, "0 No Data No Data 0");
    QCOMPARE(sim.typed(1), QByteArray(kWalk));
    QVERIFY(window.errors.isEmpty());
}

void TestConsoleSession::simulatorCloseMidScreenClearsEverything()
{
    Simulator sim;
    if (!startSimulator(sim, "live off\ninterval-ms 100\ncall b1 voice\nclose-mid-screen 24.1 600 3\n"))
        QFAIL("the router simulator did not start");
    TConsoleSession session;
    Window window(session);
    session.btnConnectClick("127.0.0.1", std::to_string(sim.port()));
    QVERIFY(waitUntil([&] { return session.B1.Link == "Voice"; }));
    QVERIFY(waitUntil([&] { return window.states.size() == 2; }));
    QCOMPARE(window.states.last(), "Connect|&Connect|Not Connected");
    QCOMPARE(session.ConsoleScreen.Text(), TConsoleScreen().Text());
    QCOMPARE(session.B1.Link, "No Data");
    QCOMPARE(session.Router.Name, "No Data");
    QCOMPARE(session.Router.IPAddress, "0.0.0.0");
    QCOMPARE(int(session.LoginStep), 7); // kept until the next connection starts
    QVERIFY(!session.sktBrelwick.Active());
    QVERIFY(window.errors.isEmpty());
}

QTEST_GUILESS_MAIN(TestConsoleSession)
#include "tst_consolesession.moc"
