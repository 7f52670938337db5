// The web status server over loopback: what a browser receives for each kind of request, that
// the connection is always closed after the first data, the idle timeout, and the switching and
// error paths of the settings controls.
#include "loopbackpeer.h"
#include "statuspage.h"
#include "webserver.h"

#include "apperror.h"

#include <QTest>

#include <functional>
#include <memory>

namespace {

const std::string kRequestTail = " HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: text/html\r\n\r\n";

std::string statusAnswer(const std::string &page)
{
    return HttpAnswer(THttpStatus::Ok, page);
}

std::string notFoundAnswer(const std::string &path)
{
    return HttpAnswer(THttpStatus::NotFound, BuildNotFoundPage(path));
}

} // namespace

class TestWebServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusPageWithHeaders();
    void paths_data();
    void paths();
    void closedWithoutAnswer_data();
    void closedWithoutAnswer();
    void twoRequestsInOneRead();
    void getAsLastWord();
    void postBodyHoldingGet();
    void machineEndpointsIgnoredHead_data();
    void machineEndpointsIgnoredHead();
    void manyGetWordsAreCapped();
    void furtherAnswersWaitForBacklog_data();
    void furtherAnswersWaitForBacklog();
    void largeAnswerArrivesWhole();
    void idleConnectionClosed();
    void switchingAndPort();
    void listenFailureKeepsEditEnabled();
    void clientErrorGoesToPanel();

private:
    // Sends request on a new connection and returns all bytes up to the server's close.
    std::string exchange(const std::string &request);

    std::unique_ptr<TWebServer> m_server;
    int m_port = 0;
    int32_t m_pageHits = 0;
    std::string m_page;
    std::vector<std::string> m_errors;
    // Reports of peers' doing: the log's, never a box's.
    std::vector<std::string> m_peerErrors;
    std::vector<std::string> m_statusTexts;
};

void TestWebServer::init()
{
    m_errors.clear();
    m_statusTexts.clear();
    m_pageHits = 0;
    SetErrorReporter([this](const std::string &message) { m_errors.push_back(message); });
    SetPeerErrorReporter([this](const std::string &message) { m_peerErrors.push_back(message); });
    m_server = std::make_unique<TWebServer>();
    m_server->StatusPage = [this] {
        TStatusPageInputs in;
        in.Router.Name = "office-gw";
        m_page = BuildStatusPage(in, m_pageHits);
        return m_page;
    };
    m_server->SetStatusText = [this](const std::string &text) { m_statusTexts.push_back(text); };
    m_server->edtWebAdminPortChange("0");
    QCOMPARE(m_server->chkWebAdminClick(true), false);
    QVERIFY(m_server->WebServerSocket.Active());
    m_port = m_server->WebServerSocket.Socket()->LocalPort();
    QVERIFY(m_port > 0);
}

void TestWebServer::cleanup()
{
    m_server.reset();
    SetErrorReporter({});
    SetPeerErrorReporter({});
}

std::string TestWebServer::exchange(const std::string &request)
{
    LoopbackPeer browser;
    if (!browser.connectTo(m_port) || !browser.send(request))
        return "(no connection)";
    if (!browser.waitClosed())
        return "(not closed)";
    return browser.takeInput();
}

void TestWebServer::statusPageWithHeaders()
{
    const std::string got = exchange("GET /" + kRequestTail);
    QCOMPARE(m_pageHits, 1);
    QVERIFY(m_page.find("<title>office-gw (0.0.0.0)") != std::string::npos);
    QCOMPARE(got, statusAnswer(m_page));
    QVERIFY(got.starts_with("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=ISO-8859-1\r\n"));
    QVERIFY(m_errors.empty());
}

void TestWebServer::paths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("status");

    QTest::newRow("/index.html") << "/index.html" << true;
    QTest::newRow("/index.htm") << "/index.htm" << true;
    QTest::newRow("case matters") << "/INDEX.HTML" << false;
    QTest::newRow("no query string") << "/?x=1" << false;
    QTest::newRow("trailing slash") << "/index.html/" << false;
    QTest::newRow("no decoding") << "/%69ndex.html" << false;
    QTest::newRow("markup is escaped") << "/<script>alert(\"x\")</script>&" << false;
}

void TestWebServer::paths()
{
    QFETCH(QString, path);
    QFETCH(bool, status);

    const std::string got = exchange("GET " + path.toStdString() + kRequestTail);
    if (status) {
        QCOMPARE(got, statusAnswer(m_page));
        QCOMPARE(m_pageHits, 1);
    } else {
        QCOMPARE(got, notFoundAnswer(path.toStdString()));
        QCOMPARE(m_pageHits, 0);
        QVERIFY(got.find("<script>") == std::string::npos);
    }
}

void TestWebServer::closedWithoutAnswer_data()
{
    QTest::addColumn<QString>("request");

    QTest::newRow("lower-case get") << "get / HTTP/1.0\r\n\r\n";
    QTest::newRow("HEAD") << "HEAD / HTTP/1.0\r\n\r\n";
    QTest::newRow("only the letters GE") << "GE";
    QTest::newRow("tab after GET") << "GET\t/ HTTP/1.0\r\n\r\n";
    QTest::newRow("GET inside a word") << "XGET / HTTP/1.0\r\n\r\n";
}

void TestWebServer::closedWithoutAnswer()
{
    QFETCH(QString, request);
    QCOMPARE(exchange(request.toStdString()), std::string());
    QCOMPARE(m_pageHits, 0);
}

void TestWebServer::twoRequestsInOneRead()
{
    const std::string got = exchange("GET /" + kRequestTail + "GET /x" + kRequestTail);
    QCOMPARE(m_pageHits, 1);
    QCOMPARE(got, statusAnswer(m_page) + notFoundAnswer("/x"));
}

void TestWebServer::getAsLastWord()
{
    const std::string got = exchange("GET");
    QCOMPARE(got, notFoundAnswer(""));
    QVERIFY(got.ends_with("The requested URL  was not found\r</body>\r</html>\r"));
}

void TestWebServer::postBodyHoldingGet()
{
    const std::string body = "q= GET /";
    const std::string got =
        exchange("POST /form HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    QCOMPARE(got, statusAnswer(m_page));
    QCOMPARE(m_pageHits, 1);
}

void TestWebServer::machineEndpointsIgnoredHead_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("statusLine"); // empty: no answer at all
    QTest::addColumn<bool>("body");

    QTest::newRow("GET /metrics") << "GET /metrics"
                                  << "HTTP/1.0 200 OK" << true;
    QTest::newRow("HEAD /metrics") << "HEAD /metrics"
                                   << "HTTP/1.0 200 OK" << false;
    QTest::newRow("HEAD with a query") << "HEAD /status.json?x=1"
                                       << "HTTP/1.0 200 OK" << false;
    QTest::newRow("HEAD /calls.json") << "HEAD /calls.json?limit=1"
                                      << "HTTP/1.0 200 OK" << false;
    QTest::newRow("POST /metrics") << "POST /metrics"
                                   << "HTTP/1.0 405 Method Not Allowed" << true;
    QTest::newRow("DELETE /calls.json") << "DELETE /calls.json"
                                        << "HTTP/1.0 405 Method Not Allowed" << true;
    // The page's rules stay: other methods before other paths are words like the rest.
    QTest::newRow("HEAD /") << "HEAD /"
                            << "" << false;
    QTest::newRow("POST /") << "POST /"
                            << "" << false;
    QTest::newRow("HEAD of a 404 path") << "HEAD /metricsx"
                                        << "" << false;
    QTest::newRow("lower-case head") << "head /metrics"
                                     << "" << false;
    QTest::newRow("header naming the path") << "X-Path: /metrics"
                                            << "" << false;
}

void TestWebServer::machineEndpointsIgnoredHead()
{
    QFETCH(QString, request);
    QFETCH(QString, statusLine);
    QFETCH(bool, body);
    const std::string document = "linewatch_up 1\n";
    m_server->IsMachinePath = [](std::string_view path) {
        return path == "/metrics" || path.starts_with("/status.json") || path.starts_with("/calls.json");
    };
    m_server->IsExpensive = [](std::string_view path) { return path.starts_with("/calls.json"); };
    m_server->MachineAnswer = [&](std::string_view path, uint32_t) -> std::optional<std::string> {
        if (path == "/metricsx")
            return std::nullopt;
        return HttpAnswer(THttpStatus::Ok, "text/plain", document);
    };
    const std::string got = exchange(request.toStdString() + kRequestTail);
    QCOMPARE(m_pageHits, 0);
    if (statusLine.isEmpty()) {
        QCOMPARE(got, std::string());
        return;
    }
    QVERIFY2(got.starts_with(statusLine.toStdString() + "\r\n"), got.c_str());
    const size_t end = got.find("\r\n\r\n");
    QVERIFY(end != std::string::npos);
    QCOMPARE(got.size() > end + 4, body);
    if (statusLine.contains(QLatin1String("405")))
        QVERIFY(got.find("\r\nAllow: GET, HEAD\r\n") < end);
    else
        QCOMPARE(got, body ? HttpAnswer(THttpStatus::Ok, "text/plain", document)
                           : HttpAnswer(THttpStatus::Ok, "text/plain", document).substr(0, end + 4));
}

void TestWebServer::manyGetWordsAreCapped()
{
    std::string request;
    for (int k = 0; k < 5000; ++k)
        request += "GET / ";
    const std::string got = exchange(request);
    // The browser reads only after sending, so beyond the first answers the ones still waiting
    // for it stop the rest; the count caps them in any case.
    size_t count = 0;
    for (size_t at = got.find("HTTP/1.0 200 OK"); at != std::string::npos; at = got.find("HTTP/1.0 200 OK", at + 1))
        ++count;
    QVERIFY(count >= size_t(TWebServer::kAnswersAlwaysGiven));
    QVERIFY(count <= size_t(TWebServer::kMaxAnswersPerRead));
    QCOMPARE(size_t(m_pageHits), count);
    QVERIFY(got.ends_with(statusAnswer(m_page)));
}

void TestWebServer::furtherAnswersWaitForBacklog_data()
{
    QTest::addColumn<int>("requests");
    QTest::addColumn<qint64>("backlog"); // -1: the caller knows none
    QTest::addColumn<int>("answers");
    const qint64 full = qint64(TWebServer::kAnswerBacklogBytes);
    QTest::newRow("backlog unknown") << 5000 << qint64(-1) << TWebServer::kMaxAnswersPerRead;
    QTest::newRow("peer takes everything") << 5000 << qint64(0) << TWebServer::kMaxAnswersPerRead;
    QTest::newRow("just below the bound") << 5000 << full - 1 << TWebServer::kMaxAnswersPerRead;
    QTest::newRow("peer takes nothing") << 5000 << full << TWebServer::kAnswersAlwaysGiven;
    QTest::newRow("two requests, peer takes nothing") << 2 << full << 2;
}

void TestWebServer::furtherAnswersWaitForBacklog()
{
    QFETCH(int, requests);
    QFETCH(qint64, backlog);
    QFETCH(int, answers);
    std::string request;
    for (int k = 0; k < requests; ++k)
        request += "GET /x" + kRequestTail;
    int sent = 0;
    std::function<std::size_t()> backlogOf;
    if (backlog >= 0)
        backlogOf = [backlog] { return std::size_t(backlog); };
    m_server->AnswerRequest(
        request, [] { return true; }, [&](const std::string &) { ++sent; }, backlogOf);
    QCOMPARE(sent, answers);
}

void TestWebServer::largeAnswerArrivesWhole()
{
    std::string big;
    for (int k = 0; big.size() < 200 * 1024; ++k)
        big += "<p>line " + std::to_string(k) + "</p>\r";
    m_server->StatusPage = [&] { return big; };

    LoopbackPeer browser;
    QVERIFY(browser.connectTo(m_port));
    QVERIFY(browser.send("GET /" + kRequestTail));
    QVERIFY(browser.waitClosed());
    const std::string got = browser.takeInput();
    QCOMPARE(got.size(), statusAnswer(big).size());
    QVERIFY(got == statusAnswer(big));
    QVERIFY(m_errors.empty());
}

void TestWebServer::idleConnectionClosed()
{
    m_server->SetIdleTimeout(200);
    LoopbackPeer idle;
    QVERIFY(idle.connectTo(m_port));
    QVERIFY(idle.waitClosed());
    QCOMPARE(idle.takeInput(), std::string());

    // The timeout does not disturb a connection that is answered, nor the listener.
    LoopbackPeer browser;
    QVERIFY(browser.connectTo(m_port));
    QVERIFY(browser.send("GET /"));
    QVERIFY(browser.waitClosed());
    QCOMPARE(browser.takeInput(), statusAnswer(m_page));
    QVERIFY(m_server->WebServerSocket.Active());
    QVERIFY(m_errors.empty());
}

void TestWebServer::switchingAndPort()
{
    // A connection still open when the server is switched off is closed with it.
    LoopbackPeer browser;
    QVERIFY(browser.connectTo(m_port));
    QTRY_COMPARE(m_server->WebServerSocket.Socket()->ActiveConnections(), 1);
    QCOMPARE(m_server->chkWebAdminClick(false), true);
    QVERIFY(!m_server->WebServerSocket.Active());
    QVERIFY(browser.waitClosed());

    // The port takes effect at the next switch-on; a bad text is reported and changes nothing.
    m_server->edtWebAdminPortChange("8O80");
    QCOMPARE(m_errors, std::vector<std::string>{"'8O80' is not a valid integer value"});
    m_server->edtWebAdminPortChange("");
    QCOMPARE(m_errors.back(), std::string("'' is not a valid integer value"));
    QCOMPARE(m_server->WebServerSocket.Port(), 0);

    m_server->edtWebAdminPortChange(std::to_string(m_port));
    QCOMPARE(m_server->WebServerSocket.Port(), m_port);
    QCOMPARE(m_server->chkWebAdminClick(true), false);
    QCOMPARE(exchange("GET / "), statusAnswer(m_page));
}

void TestWebServer::listenFailureKeepsEditEnabled()
{
    TWebServer second;
    second.edtWebAdminPortChange(std::to_string(m_port));
    QCOMPARE(second.chkWebAdminClick(true), true);
    QVERIFY(!second.WebServerSocket.Active());
    QCOMPARE(m_errors.size(), size_t(1));
    QVERIFY2(m_errors[0].find("on API 'bind'") != std::string::npos, m_errors[0].c_str());
    QCOMPARE(second.chkWebAdminClick(false), true);
    QCOMPARE(m_errors.size(), size_t(1));
}

void TestWebServer::clientErrorGoesToPanel()
{
    int code = 10054;
    m_server->WebServerSocketClientError(&m_server->WebServerSocket, nullptr, eeReceive, code);
    QCOMPARE(code, 10054);
    QCOMPARE(m_statusTexts, std::vector<std::string>{"HTTP Server Error: 10054"});

    // A browser that resets the connection: the panel names the error and the server listens on.
    m_statusTexts.clear();
    LoopbackPeer browser;
    QVERIFY(browser.connectTo(m_port));
    QTRY_COMPARE(m_server->WebServerSocket.Socket()->ActiveConnections(), 1);
    QVERIFY(browser.send("GE"));
    browser.abort();
    QTRY_VERIFY(m_server->WebServerSocket.Socket()->ActiveConnections() == 0);
    QVERIFY(m_server->WebServerSocket.Active());
    QCOMPARE(exchange("GET /"), statusAnswer(m_page));
}

QTEST_GUILESS_MAIN(TestWebServer)
#include "tst_webserver.moc"
