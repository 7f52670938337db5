// SPDX-License-Identifier: MIT
// The /events streams of the web server on 127.0.0.1: the bound on streams, a reader that falls
// behind, the keep-alive, caller IDs per stream, and the live page's files and headers.
#include "loopbackpeer.h"
#include "webserver.h"

#include <QtTest>

#include <memory>
#include <vector>

class TestEventStream : public QObject
{
    Q_OBJECT

    std::unique_ptr<TWebServer> m_server;
    int m_port = 0;

    // A browser's EventSource: connected, asked, and the answer's head read.
    std::unique_ptr<LoopbackPeer> openStream()
    {
        auto peer = std::make_unique<LoopbackPeer>();
        if (!peer->connectTo(m_port) || !peer->send("GET /events HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n") ||
            !peer->waitFor("retry: "))
            return nullptr;
        return peer;
    }

    // One stream more than the bound, oldest first; empty if one failed to open.
    std::vector<std::unique_ptr<LoopbackPeer>> openBeyondBound()
    {
        std::vector<std::unique_ptr<LoopbackPeer>> peers;
        for (int k = 0; k < TEventStreams::kMaxStreams + 1; ++k) {
            peers.push_back(openStream());
            if (!peers.back())
                return {};
        }
        return peers;
    }

    static int count(const std::string &Text, const std::string &Word)
    {
        int n = 0;
        for (std::size_t at = Text.find(Word); at != std::string::npos; at = Text.find(Word, at + 1))
            ++n;
        return n;
    }

private slots:
    void init()
    {
        m_server = std::make_unique<TWebServer>();
        m_server->WebServerSocket.SetBindAddress("127.0.0.1");
        m_server->WebServerSocket.SetPort(0);
        QCOMPARE(m_server->chkWebAdminClick(true), false);
        m_port = m_server->WebServerSocket.Socket()->LocalPort();
    }

    void cleanup() { m_server.reset(); }

    void streamsBoundedOldestClosed()
    {
        const auto peers = openBeyondBound();
        QVERIFY(!peers.empty());
        QVERIFY(peers.front()->waitClosed());
        QCOMPARE(m_server->Streams.Count(), TEventStreams::kMaxStreams);
        QCOMPARE(m_server->Streams.Evicted(), 1);
        // The others still get every event.
        m_server->Streams.PublishAll(TEventStreams::Frame("status", "{\"n\":1}"));
        for (std::size_t k = 1; k < peers.size(); ++k)
            QVERIFY(peers[k]->waitFor("data: {\"n\":1}\n\n"));
        QVERIFY(peers[1]->input().starts_with("HTTP/1.0 200 OK\r\nContent-Type: text/event-stream"));
    }

    // The stream closed for the bound came back after the usual retry and closed the next oldest,
    // so that more browsers than the bound kept each other reconnecting every few seconds.
    void evictedStreamReconnectedAtOnce()
    {
        const auto peers = openBeyondBound();
        QVERIFY(!peers.empty());
        QVERIFY(peers.front()->waitClosed());
        const std::string &last = peers.front()->input();
        const std::size_t at = last.rfind("retry: ");
        QVERIFY(at != std::string::npos && last.ends_with("\n\n"));
        const int retryMs = std::stoi(last.substr(at + 7));
        QVERIFY(retryMs >= TEventStreams::kEvictedRetryMs);
        QVERIFY(retryMs < TEventStreams::kEvictedRetryMs + TEventStreams::kEvictedRetryJitterMs);
        // The streams kept were told the usual wait only.
        QCOMPARE(count(peers.back()->input(), "retry: "), 1);
        QVERIFY(peers.back()->input().find("retry: " + std::to_string(TEventStreams::kRetryMs) + "\n") !=
                std::string::npos);
    }

    void slowReaderDroppedOthersServed()
    {
        auto slow = openStream(), reader = openStream();
        QVERIFY(slow && reader);
        const std::string event = TEventStreams::Frame("status", std::string(8 * 1024, 'x'));
        int published = 0;
        // The slow one never reads: its kernel buffers fill, then it falls behind and is closed.
        while (m_server->Streams.Dropped() == 0 && published < 2000) {
            m_server->Streams.PublishAll(event);
            ++published;
            reader->takeInput();
            QCoreApplication::processEvents();
        }
        QCOMPARE(m_server->Streams.Dropped(), 1);
        QCOMPARE(m_server->Streams.Count(), 1);
        QVERIFY(m_server->Streams.Holds(m_server->WebServerSocket.Socket()->ClientConnections(
            m_server->WebServerSocket.Socket()->ActiveConnections() - 1)));
        m_server->Streams.PublishAll(TEventStreams::Frame("status", "last"));
        QVERIFY(reader->waitFor("data: last\n\n"));
    }

    void keepAliveOnlyWhenQuiet()
    {
        m_server->Streams.SetKeepAliveInterval(100);
        auto peer = openStream();
        QVERIFY(peer);
        QVERIFY(peer->waitFor(": keep-alive\n\n"));
        // A stream that gets nothing is still one stream, answered with nothing else.
        QCOMPARE(count(peer->input(), "event:"), 0);
    }

    void callerIdsWithheldPerStream()
    {
        bool served = false;
        m_server->Streams.CallerIdsServedTo = [&served](uint32_t) { return served; };
        m_server->Streams.CurrentEvent = [](bool CallerIds) {
            return TEventStreams::Frame("status", CallerIds ? "with 5551234" : "withheld");
        };
        auto stranger = openStream();
        served = true;
        auto trusted = openStream();
        QVERIFY(stranger && trusted);
        QVERIFY(stranger->waitFor("data: withheld\n\n"));
        QVERIFY(trusted->waitFor("data: with 5551234\n\n"));
        m_server->Streams.Publish(true, TEventStreams::Frame("status", "5551235"));
        m_server->Streams.Publish(false, TEventStreams::Frame("status", "none"));
        QVERIFY(stranger->waitFor("data: none\n\n"));
        QVERIFY(trusted->waitFor("data: 5551235\n\n"));
        QVERIFY(stranger->input().find("555") == std::string::npos);
    }

    void frameCrLfMadeEmptyLine()
    {
        QCOMPARE(TEventStreams::Frame("call", "a\nb\r\nc\n"),
                 std::string("event: call\ndata: a\ndata: b\ndata: c\n\n"));
        QCOMPARE(TEventStreams::Frame("call", ""), std::string("event: call\ndata: \n\n"));
    }

    void livePageLanguageAndHeaders_data()
    {
        QTest::addColumn<QString>("acceptLanguage");
        QTest::addColumn<QString>("lang");
        QTest::newRow("none") << ""
                              << "en";
        QTest::newRow("german") << "de-DE,de;q=0.9,en;q=0.8"
                                << "de";
        QTest::newRow("english first") << "en-US,en;q=0.9,de;q=0.8"
                                       << "en";
        QTest::newRow("german weighted higher") << "fr, en;q=0.3, DE;q=0.7"
                                                << "de";
        QTest::newRow("neither") << "fr-FR,fr"
                                 << "en";
    }

    void livePageLanguageAndHeaders()
    {
        QFETCH(QString, acceptLanguage);
        QFETCH(QString, lang);
        LoopbackPeer browser;
        QVERIFY(browser.connectTo(m_port));
        std::string request = "GET /live HTTP/1.1\r\nHost: x\r\n";
        if (!acceptLanguage.isEmpty())
            request += "Accept-Language: " + acceptLanguage.toStdString() + "\r\n";
        QVERIFY(browser.send(request + "\r\n"));
        QVERIFY(browser.waitClosed());
        const std::string page = browser.input();
        QVERIFY(page.starts_with("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"));
        QVERIFY(page.find("<html lang=\"" + lang.toStdString() + "\">") != std::string::npos);
        QVERIFY(page.find("Content-Security-Policy: default-src 'none'; script-src 'self';") != std::string::npos);
        QVERIFY(page.find("X-Content-Type-Options: nosniff\r\n") != std::string::npos);
        // No marker left, nothing inline: the script and the style come by their versioned URLs.
        QVERIFY(page.find('@') == std::string::npos);
        QVERIFY(page.find("<script>") == std::string::npos && page.find("style=") == std::string::npos);
        const std::size_t at = page.find("/live/live.js?v=");
        QVERIFY(at != std::string::npos);
        const std::string scriptUrl = page.substr(at, page.find('"', at) - at);
        LoopbackPeer script;
        QVERIFY(script.connectTo(m_port) && script.send("GET " + scriptUrl + " HTTP/1.0\r\n\r\n"));
        QVERIFY(script.waitClosed());
        QVERIFY(script.input().find("Cache-Control: public, max-age=31536000, immutable\r\n") != std::string::npos);
        QVERIFY(script.input().find("new EventSource('/events')") != std::string::npos);
    }
};

QTEST_GUILESS_MAIN(TestEventStream)
#include "tst_eventstream.moc"
