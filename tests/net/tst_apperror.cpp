// SPDX-License-Identifier: MIT
// The error report's routing and the log's limits: the user's and the router's errors reach the
// reporter (the box), strangers' only the log, and no flood of reports floods standard error.
#include "apperror.h"
#include "loopbacksocket.h"
#include "socketrig.h"

#include <QtTest>

#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

Q_DECLARE_METATYPE(TErrorPlace)

class TestAppError : public QObject
{
    Q_OBJECT

    std::vector<std::string> m_lines;
    std::vector<std::pair<std::string, TErrorOrigin>> m_reported;

private slots:
    void init()
    {
        ResetLogLimits();
        m_lines.clear();
        m_reported.clear();
        SetLogSink([this](const std::string &line) { m_lines.push_back(line); });
        SetErrorReporter([this](const std::string &m) { m_reported.emplace_back(m, CurrentErrorOrigin()); });
    }
    void cleanup()
    {
        SetErrorReporter({});
        SetLogSink({});
        ResetLogLimits();
    }

    void peerErrorsNeverReachTheBox_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<bool>("boxed");
        QTest::addColumn<int>("origin");
        QTest::newRow("reported as the user's") << 0 << true << int(TErrorOrigin::User);
        QTest::newRow("reported as the router's") << 1 << true << int(TErrorOrigin::Router);
        QTest::newRow("reported as a peer's") << 2 << false << 0;
        QTest::newRow("thrown inside a peer's event") << 3 << false << 0;
        QTest::newRow("a peer's error thrown inside the router's event") << 4 << false << 0;
        QTest::newRow("a router's error thrown inside a peer's event") << 5 << true << int(TErrorOrigin::Router);
    }
    void peerErrorsNeverReachTheBox()
    {
        QFETCH(int, how);
        QFETCH(bool, boxed);
        QFETCH(int, origin);
        switch (how) {
        case 0:
            ReportError("boom");
            break;
        case 1:
            ReportError("boom", TErrorOrigin::Router);
            break;
        case 2:
            ReportError("boom", TErrorOrigin::Peer);
            break;
        case 3: {
            const TErrorOriginScope scope(TErrorOrigin::Peer);
            Guarded([] { throw std::runtime_error("boom"); });
            break;
        }
        case 4: {
            const TErrorOriginScope scope(TErrorOrigin::Router);
            Guarded([] { throw EOriginError("boom", TErrorOrigin::Peer); });
            break;
        }
        case 5: {
            const TErrorOriginScope scope(TErrorOrigin::Peer);
            Guarded([] { throw EOriginError("boom", TErrorOrigin::Router); });
            break;
        }
        }
        QCOMPARE(m_reported.size(), size_t(boxed ? 1 : 0));
        if (boxed)
            QCOMPARE(int(m_reported.front().second), origin);
        else
            QCOMPARE(m_lines, std::vector<std::string>{"linewatch: boom."});
        QCOMPARE(CurrentErrorOrigin(), TErrorOrigin::User);
    }

    void floodsAreCollapsedAndBounded()
    {
        // A thousand identical reports: one line now, one with the count later.
        for (int i = 0; i < 1000; ++i)
            WriteLogLine("same");
        QCOMPARE(m_lines, std::vector<std::string>{"linewatch: same"});
        FlushLog();
        QCOMPARE(m_lines.back(), std::string("linewatch: same (repeated 999 times)"));

        // A thousand different ones: a burst's worth, then one line counting the rest.
        ResetLogLimits();
        m_lines.clear();
        for (int i = 0; i < 1000; ++i)
            WriteLogLine("text " + std::to_string(i));
        QCOMPARE(m_lines.size(), size_t(kLogBurstLines));
        FlushLog();
        QCOMPARE(m_lines.size(), size_t(kLogBurstLines + 1));
        QCOMPARE(m_lines.back(),
                 "linewatch: " + std::to_string(1000 - kLogBurstLines) + " further reports not written (too many)");
    }

    void peerFloodCrowdedOutRouterReport()
    {
        // Without a reporter, as in linewatchd's log: a thousand peers' reports, all different,
        // then the router's and the user's.
        SetErrorReporter({});
        for (int i = 0; i < 1000; ++i)
            ReportError("peer " + std::to_string(i), TErrorOrigin::Peer);
        ReportError("Asynchronous socket error 111", TErrorOrigin::Router);
        WriteLogLine("connected");
        QCOMPARE(m_lines.size(), size_t(kLogBurstLines + 2));
        QCOMPARE(m_lines.at(kLogBurstLines), std::string("linewatch: Asynchronous socket error 111."));
        QCOMPARE(m_lines.back(), std::string("linewatch: connected"));
        FlushLog();
        QCOMPARE(m_lines.back(), "linewatch: " + std::to_string(1000 - kLogBurstLines) +
                                     " further reports about network peers not written (too many)");
    }

    void heldBackCountsCameAfterTheLastLine()
    {
        for (int i = 0; i < 100; ++i)
            WriteLogLine("same");
        WriteLastLogLine("stopped", kLogInfo);
        QCOMPARE(m_lines, (std::vector<std::string>{"linewatch: same", "linewatch: same (repeated 99 times)",
                                                    "linewatch: stopped"}));
    }

    // A log with fields (the journal) takes whole lines under the same limits; what it refuses
    // still reaches the plain log.
    void recordSinkRefusalLostTheLine()
    {
        std::vector<std::pair<std::string, int>> records;
        bool accept = true;
        SetLogRecordSink([&](const std::string &text, int priority) {
            if (accept)
                records.emplace_back(text, priority);
            return accept;
        });
        WriteLogLine("two\nlines", kLogWarning);
        for (int i = 0; i < 5; ++i)
            WriteLogLine("same", kLogNotice);
        accept = false;
        WriteLogLine("refused", kLogInfo);
        accept = true;
        FlushLog();
        SetLogRecordSink({});
        QCOMPARE(records,
                 (std::vector<std::pair<std::string, int>>{
                     {"two lines", kLogWarning}, {"same", kLogNotice}, {"same (repeated 4 times)", kLogNotice}}));
        QCOMPARE(m_lines, std::vector<std::string>{"linewatch: refused"});
    }

    void peerResetDidNotSayWhichConnection_data()
    {
        QTest::addColumn<TErrorPlace>("place");
        QTest::addColumn<QString>("kind");
        QTest::newRow("web server") << TErrorPlace::WebServer << "web client";
        QTest::newRow("telnet relay") << TErrorPlace::TelnetRelay << "relay user";
    }
    void peerResetDidNotSayWhichConnection()
    {
        QFETCH(TErrorPlace, place);
        QFETCH(QString, kind);
        SetPeerErrorReporter({});
        TServerSocket server;
        server.OnClientRead = [](QObject *, TCustomWinSocket *s) { s->ReceivePending(); };
        {
            const TErrorPlaceScope scope(place);
            server.SetActive(true);
        }
        const int fd = connectLoopback(server.Socket()->LocalPort());
        QVERIFY(fd >= 0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        QCOMPARE(::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
        QTRY_COMPARE(server.Socket()->ActiveConnections(), 1);
        resetOnClose(fd);
        ::close(fd);
        QTRY_COMPARE(m_lines.size(), size_t(1));
        QCOMPARE(QString::fromStdString(m_lines.front()),
                 QStringLiteral("linewatch: the connection to the %1 at 127.0.0.1:%2 failed: connection reset by peer")
                     .arg(kind)
                     .arg(ntohs(address.sin_port)));
    }

    void resetFloodRaisedABoxPerPeer()
    {
        // Peers that connect, send and reset: the layer's reports are theirs, so no box, and the
        // log holds a few lines whatever their number.
        SetPeerErrorReporter({});
        TServerSocket server;
        server.SetBacklog(SOMAXCONN);
        server.OnClientRead = [](QObject *, TCustomWinSocket *s) { s->ReceivePending(); };
        server.SetActive(true);
        for (int i = 0; i < 300; ++i) {
            const int fd = connectLoopback(server.Socket()->LocalPort());
            QVERIFY(fd >= 0);
            resetOnClose(fd);
            ::close(fd);
            if (i % 50 == 0)
                QCoreApplication::processEvents();
        }
        QTRY_VERIFY(!m_lines.empty());
        QTest::qWait(300);
        QVERIFY(m_reported.empty());
        QVERIFY2(m_lines.size() <= size_t(kLogBurstLines), qPrintable(QString::number(m_lines.size())));
    }
};

QTEST_GUILESS_MAIN(TestAppError)
#include "tst_apperror.moc"
