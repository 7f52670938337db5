// SPDX-License-Identifier: MIT
// The simulator program itself, driven over 127.0.0.1 the way the monitor drives a router:
// the menu walk with the exact bytes logged, fields read from the painted screens, a drop
// command, two clients at once, a prompt split across two reads, a hang-up part-way through a
// screen, and its command line.
#include "consolegrid.h"
#include "loopbacksocket.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

namespace {

const QString kProgram = QStringLiteral(LW_BINARY_DIR "/linewatch-routersim");

// The simulator as a child process; its standard output is collected line by line.
class SimProcess
{
public:
    ~SimProcess()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool start(const QStringList &arguments)
    {
        m_process.start(kProgram, arguments);
        static const QRegularExpression listening("^listening on 127\\.0\\.0\\.1:(\\d+)$");
        return waitFor([&] {
            for (const QString &line : m_lines)
                if (const auto match = listening.match(line); match.hasMatch())
                    m_port = match.captured(1).toInt();
            return m_port > 0;
        });
    }

    bool waitForLine(const QString &line)
    {
        return waitFor([&] { return m_lines.contains(line); });
    }
    const QStringList &lines() const { return m_lines; }
    int port() const { return m_port; }

private:
    bool waitFor(const std::function<bool()> &done)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.hasExpired(10'000) || m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(50);
            m_buffer += m_process.readAllStandardOutput();
            for (qsizetype end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
                m_lines << QString::fromLatin1(m_buffer.left(end));
                m_buffer.remove(0, end + 1);
            }
        }
        return true;
    }

    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
    int m_port = 0;
};

// A console client on a plain socket. Each read is kept as a chunk and drawn on a grid.
class Client
{
public:
    explicit Client(int port)
    {
        m_fd = connectLoopback(port);
        m_connected = m_fd >= 0;
    }
    ~Client()
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    bool connected() const { return m_connected; }

    // Sends bytes; later waits look only at what arrives after this.
    void send(const std::string &bytes)
    {
        m_mark = m_all.size();
        QCOMPARE(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }

    bool waitFor(const std::string &text)
    {
        return readUntil([&] { return m_all.find(text, m_mark) != std::string::npos; });
    }

    bool readUntil(const std::function<bool()> &done, int timeoutMs = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (m_closed || timer.hasExpired(timeoutMs))
                return false;
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            char buffer[65536];
            const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                m_closed = true;
                continue;
            }
            m_chunks.emplace_back(buffer, static_cast<size_t>(got));
            m_all += m_chunks.back();
            grid.feed(m_chunks.back());
        }
        return true;
    }

    bool waitForClose()
    {
        readUntil([&] { return m_closed; });
        return m_closed;
    }

    std::string sinceMark() const { return m_all.substr(m_mark); }
    const std::vector<std::string> &chunks() const { return m_chunks; }

    ConsoleGrid grid;

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    size_t m_mark = 0;
    std::string m_all;
    std::vector<std::string> m_chunks;
};

QString writeScript(const QTemporaryDir &dir, const QString &text)
{
    const QString path = dir.filePath(QStringLiteral("sim.script"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(text.toLatin1());
    return path;
}

} // namespace

class TestRouterSim : public QObject
{
    Q_OBJECT

private slots:
    void monitorWalkOverLoopback();
    void clientsHaveTheirOwnSessions();
    void splitPromptArrivesInTwoReads();
    void hangUpPartWayThroughAScreen();
    void commandLine_data();
    void commandLine();
};

void TestRouterSim::monitorWalkOverLoopback()
{
    QTemporaryDir dir;
    const QString script = writeScript(dir, "live off\ninterval-ms 200\ncall b1 data\ncall b2 voice 0123456789\n"
                                            "set name Lab-Router\nset firmware V9.87(QA.1)\nset ip 192.0.2.99\n"
                                            "set b1.tx 4242\nset lan.sent 777\n"
                                            "set trigger.dst 198.51.100.25\nset trigger.dport 110\n");
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--password", "secret", "--log-input", "--script", script}));
    Client client(sim.port());
    QVERIFY(client.connected());

    // The monitor's replies, each sent once its prompt has been seen.
    const std::pair<const char *, const char *> walk[] = {
        {"assword:", "secret\r"}, {"umber:", "24\r"},    {"umber:", "2\r"}, {"election:", "1\r"},
        {"xit:", "\x1b"},         {"election:", "\x1b"}, {"umber:", "1\r"},
    };
    for (const auto &[prompt, reply] : walk) {
        QVERIFY2(client.waitFor(prompt), prompt);
        if (std::string(prompt) == "xit:") {
            QVERIFY(client.grid.row(3).find("Menu 24.2.1") != std::string::npos);
            QCOMPARE(client.grid.field(5, 27, 36), std::string("Lab-Router"));
            QCOMPARE(client.grid.field(6, 38, 48), std::string("V9.87(QA.1)"));
            QCOMPARE(client.grid.field(12, 35, 49), std::string("192.0.2.99"));
        }
        client.send(reply);
    }
    QVERIFY(client.readUntil([&] { return client.grid.row(3).find("Menu 24.1") != std::string::npos; }));
    QCOMPARE(client.grid.field(6, 23, 33), std::string("4242"));
    QCOMPARE(client.grid.field(7, 6, 15), std::string("Voice"));
    QCOMPARE(client.grid.field(15, 49, 59), std::string("0123456789"));
    QCOMPARE(client.grid.field(13, 16, 28), std::string("777"));
    for (const auto &[n, hex] : {std::pair{16, "C6"}, std::pair{17, "33"}, std::pair{18, "64"}, std::pair{19, "19"},
                                 std::pair{22, "00"}, std::pair{23, "6E"}})
        QCOMPARE(client.grid.field(19, 6 + 3 * n, 7 + 3 * n), std::string(hex));

    client.send("2");
    QVERIFY(client.readUntil([&] { return client.grid.field(7, 6, 15) == "Idle"; }));
    QVERIFY(client.grid.field(6, 6, 15).starts_with("64K/"));
    QVERIFY(sim.waitForLine("conn 1 command drop-b2"));

    QStringList typed;
    for (const QString &line : sim.lines())
        if (line.startsWith("conn 1 input "))
            typed << line.mid(13);
    QCOMPARE(typed, (QStringList{"7365637265740d", "32340d", "320d", "310d", "1b", "1b", "310d", "32"}));
    const qsizetype loginAt = sim.lines().indexOf("conn 1 login ok");
    QVERIFY(loginAt > sim.lines().indexOf("conn 1 input 7365637265740d"));
    QVERIFY(sim.lines().indexOf("conn 1 screen 24.1") > loginAt);
}

void TestRouterSim::clientsHaveTheirOwnSessions()
{
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--seed", "5"}));
    Client first(sim.port());
    QVERIFY(first.waitFor("assword:"));
    Client second(sim.port());
    QVERIFY(second.waitFor("assword:"));
    first.send("1234\r");
    second.send("nope\r");
    QVERIFY(first.waitFor("umber:"));
    QVERIFY(second.waitFor("Wrong password"));
    QVERIFY(first.sinceMark().find("Wrong password") == std::string::npos);
    QVERIFY(sim.waitForLine("conn 1 login ok"));
    QVERIFY(sim.waitForLine("conn 2 login failed"));
}

void TestRouterSim::splitPromptArrivesInTwoReads()
{
    QTemporaryDir dir;
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--script", writeScript(dir, "split-prompt password 4\nsplit-delay-ms 300\n")}));
    Client client(sim.port());
    QVERIFY(client.waitFor("Password: "));
    for (const std::string &chunk : client.chunks())
        QVERIFY(chunk.find("assword:") == std::string::npos);
    QVERIFY(client.chunks().back().starts_with("word: "));
}

void TestRouterSim::hangUpPartWayThroughAScreen()
{
    QTemporaryDir dir;
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0", "--script", writeScript(dir, "close-mid-screen 24.2.1 200\n")}));
    Client client(sim.port());
    for (const auto &[prompt, reply] : {std::pair{"assword:", "1234\r"}, std::pair{"umber:", "24\r"},
                                        std::pair{"umber:", "2\r"}, std::pair{"election:", "1\r"}}) {
        QVERIFY(client.waitFor(prompt));
        client.send(reply);
    }
    QVERIFY(client.waitForClose());
    QCOMPARE(client.sinceMark().size(), size_t(1 + 200)); // the echoed "1", then the cut screen
    QVERIFY(sim.waitForLine("conn 1 close by server"));
}

void TestRouterSim::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::newRow("help") << QStringList{"--help"} << "" << 0 << "Usage: linewatch-routersim";
    QTest::newRow("port out of range") << QStringList{"--port", "70000"} << "" << 2 << "--port takes a number";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << "" << 2 << "unknown option '--verbose'";
    QTest::newRow("missing script") << QStringList{"--script", "/nonexistent/x"} << "" << 2 << "cannot read";
    QTest::newRow("bad script") << QStringList{"--port=0"} << "live off\nrepaint sometimes\n"
                                << 2 << "sim.script:2: unknown keyword 'repaint'";
}

void TestRouterSim::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QTemporaryDir dir;
    if (!script.isEmpty())
        arguments << "--script" << writeScript(dir, script);
    QProcess process;
    process.start(kProgram, arguments);
    QVERIFY(process.waitForFinished(10'000));
    QCOMPARE(process.exitCode(), exitCode);
    const QString text = QString::fromLatin1(process.readAllStandardOutput() + process.readAllStandardError());
    QVERIFY2(text.contains(output), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestRouterSim)
#include "tst_routersim.moc"
