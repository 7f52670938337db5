// SPDX-License-Identifier: MIT
// Tests of the HTTP GET client against scripted servers on 127.0.0.1: answers in pieces, redirects
// with cookies, broken and silent servers, and the parsers of URLs, status lines and headers.
// Host names are looked up by a resolver the test controls; no test leaves the loopback address.
#include "httpclient.h"
#include "testhttpserver.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <map>

namespace {

const QByteArray kRequestLines = "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff\r\n"
                                 "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript\r\n";

QByteArray hundredBytes()
{
    QByteArray body;
    for (int i = 0; i < 100; ++i)
        body += char('A' + i % 26);
    return body;
}

// Looks names up in a table, answering on a later event-loop turn as a real lookup would, and
// remembers what it was asked.
struct TableResolver
{
    std::map<std::string, uint32_t> table;
    std::shared_ptr<QStringList> asked = std::make_shared<QStringList>();

    THostResolver operator()() const
    {
        return [table = table, asked = asked](const std::string &host, THostLookupDone done) {
            *asked << QString::fromStdString(host);
            std::optional<uint32_t> address;
            if (auto it = table.find(host); it != table.end())
                address = it->second;
            QTimer::singleShot(0, [done, address] { done(address); });
        };
    }
};

constexpr uint32_t kLoopback = 0x7F000001;

// Runs a fetch and returns the error text, or an empty string when it succeeded.
QString fetch(THttpClient &client, const QString &url)
{
    try {
        client.FetchUrl(url.toStdString());
        return {};
    } catch (const EHttpError &e) {
        return QString::fromStdString(e.what());
    }
}

TPowersockTimeouts shortTimeouts()
{
    TPowersockTimeouts t;
    t.LookupMs = 300;
    t.ConnectMs = 2000;
    t.IdleMs = 300;
    return t;
}

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void requestLines();
    void bodyInPieces_data();
    void bodyInPieces();
    void shortContentLength();
    void finalStatusCodes_data();
    void finalStatusCodes();
    void redirectToOtherHostAndPath();
    void redirectCarriesCookie();
    void redirectCookieLeakedToOtherHost_data();
    void redirectCookieLeakedToOtherHost();
    void cookieWithLineBreakStaysOneLine();
    void relativeRedirects();
    void redirectLoopStops();
    void redirectToUnknownHostSaidNullRemoteAddress();
    void serverClosingAtOnce();
    void closedPort();
    void failedLookup();
    void lookupThatNeverAnswers();
    void silentServerTimesOutWhileTimersRun();
    void tricklingServerHeldFetchForever_data();
    void tricklingServerHeldFetchForever();
    void resetDuringBody();
    void answerLineFitsBuffer_data();
    void answerLineFitsBuffer();
    void defaultResolverAnswersOnGuiThread();
    void parseUrl_data();
    void parseUrl();
    void headerValue_data();
    void headerValue();
    void socketErrorTexts();
};

void TestHttpClient::requestLines()
{
    TestHttpServer server(TestHttpServer::Always("HTTP/1.0 200 OK\r\n\r\nversion"));
    THttpClient client;
    bool resolverCalled = false;
    client.SetResolver([&](const std::string &, THostLookupDone done) {
        resolverCalled = true;
        done(std::nullopt);
    });
    QCOMPARE(fetch(client, server.Url()), QString());
    QVERIFY2(!resolverCalled, "a dotted address needs no lookup");
    QCOMPARE(server.Requests().size(), 1);
    QCOMPARE(server.Requests()[0], "GET /linewatch/linewatchver.txt HTTP/1.0\r\n"
                                   "Host: 127.0.0.1\r\n" +
                                       kRequestLines +
                                       "Content-type: application/x-www-form-urlencoded\r\n"
                                       "\r\n");
    QCOMPARE(QByteArray::fromStdString(client.Body()), "version");
    QCOMPARE(QByteArray::fromStdString(client.Header()), "HTTP/1.0 200 OK\r\n");
}

void TestHttpClient::bodyInPieces_data()
{
    QTest::addColumn<QList<int>>("sizes");
    QTest::newRow("whole") << QList<int>{};
    QTest::newRow("header and body apart") << QList<int>{19};
    QTest::newRow("pieces down to one byte") << QList<int>{5, 10, 4, 40, 30, 20, 9, 1};
    QTest::newRow("header line split") << QList<int>{3, 1, 1, 12};
    QList<int> ones;
    for (int i = 0; i < 140; ++i)
        ones << 1;
    QTest::newRow("one byte at a time") << ones;
}

void TestHttpClient::bodyInPieces()
{
    QFETCH(QList<int>, sizes);
    const QByteArray answer = "HTTP/1.0 200 OK\r\nServer: test\r\n\r\n" + hundredBytes();
    TestHttpServer server([&](int, const QByteArray &) { return TestAnswer{SplitInto(answer, sizes)}; });
    THttpClient client;
    QCOMPARE(fetch(client, server.Url()), QString());
    QCOMPARE(client.StatusCode(), 200);
    QCOMPARE(QByteArray::fromStdString(client.Body()), hundredBytes());
    QCOMPARE(QByteArray::fromStdString(client.Header()), "HTTP/1.0 200 OK\r\nServer: test\r\n");
}

void TestHttpClient::shortContentLength()
{
    TestHttpServer server(TestHttpServer::Always("HTTP/1.0 200 OK\r\nContent-Length: 500\r\n\r\n" + hundredBytes()));
    THttpClient client;
    QCOMPARE(fetch(client, server.Url()), QString());
    QCOMPARE(QByteArray::fromStdString(client.Body()), hundredBytes());
}

void TestHttpClient::finalStatusCodes_data()
{
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<int>("code");
    QTest::newRow("404 page") << QByteArray("HTTP/1.0 404 Not Found") << 404;
    QTest::newRow("500") << QByteArray("HTTP/1.1 500 Internal Server Error") << 500;
    QTest::newRow("299") << QByteArray("HTTP/1.0 299 Odd") << 299;
    QTest::newRow("303") << QByteArray("HTTP/1.0 303 See Other") << 303;
    QTest::newRow("399") << QByteArray("HTTP/1.0 399 Odd") << 399;
    // 65838 wraps to 302 in 16 bits; it must not turn into a redirect.
    QTest::newRow("wrapped 302") << QByteArray("HTTP/1.0 65838 Wrapped") << 0;
    QTest::newRow("too large") << QByteArray("HTTP/1.0 32768 Big") << 0;
    QTest::newRow("huge") << QByteArray("HTTP/1.0 99999999999999999999 Big") << 0;
    QTest::newRow("two blanks") << QByteArray("HTTP/1.0  404 Not Found") << 404;
    QTest::newRow("no number") << QByteArray("HTTP/1.0 OK") << 0;
    QTest::newRow("no status line") << QByteArray("") << 0;
}

void TestHttpClient::finalStatusCodes()
{
    QFETCH(QByteArray, statusLine);
    QFETCH(int, code);
    const QByteArray page = "<html><body>Not here</body></html>";
    TestHttpServer server(TestHttpServer::Always(statusLine + "\r\nLocation: /elsewhere\r\n\r\n" + page));
    THttpClient client;
    QCOMPARE(fetch(client, server.Url()), QString());
    QCOMPARE(server.Requests().size(), 1);
    QCOMPARE(int(client.StatusCode()), code);
    QCOMPARE(QByteArray::fromStdString(client.Body()), page);
}

void TestHttpClient::redirectToOtherHostAndPath()
{
    TestHttpServer target(TestHttpServer::Always("HTTP/1.0 200 OK\r\n\r\n[VERSION]\r\nLatest=1.0.2.0\r\n"));
    TestHttpServer first(TestHttpServer::Always(
        QStringLiteral("HTTP/1.0 302 Found\r\nLocation: http://localhost:%1/linewatch/linewatchver.txt\r\n\r\nmoved")
            .arg(target.Port())
            .toLatin1()));
    TableResolver resolver{{{"localhost", kLoopback}}};
    THttpClient client;
    client.SetResolver(resolver());
    QCOMPARE(fetch(client, first.Url("/old/path.txt")), QString());
    QCOMPARE(*resolver.asked, QStringList{"localhost"});
    QCOMPARE(first.Requests().size(), 1);
    QCOMPARE(target.Requests().size(), 1);
    QVERIFY(target.Requests()[0].startsWith("GET /linewatch/linewatchver.txt HTTP/1.0\r\nHost: localhost\r\n"));
    QCOMPARE(client.StatusCode(), 200);
    QCOMPARE(QByteArray::fromStdString(client.Body()), "[VERSION]\r\nLatest=1.0.2.0\r\n");
}

void TestHttpClient::redirectCarriesCookie()
{
    TestHttpServer server([](int index, const QByteArray &) {
        if (index == 0)
            return TestAnswer{{"HTTP/1.0 302 Found\r\nSet-Cookie: session=42; path=/\r\nLocation: /second\r\n\r\n"}};
        if (index == 1)
            return TestAnswer{{"HTTP/1.0 301 Moved\r\nLocation: /third\r\n\r\n"}};
        return TestAnswer{{"HTTP/1.0 200 OK\r\nSet-Cookie: late=1\r\n\r\ndone"}};
    });
    THttpClient client;
    QCOMPARE(fetch(client, server.Url("/first")), QString());
    const QList<QByteArray> &requests = server.Requests();
    QCOMPARE(requests.size(), 3);
    QVERIFY(!requests[0].contains("Cookie"));
    QVERIFY(requests[1].startsWith("GET /second HTTP/1.0\r\n"));
    QVERIFY(requests[1].endsWith("Cookie: session=42; path=/\r\n"
                                 "Content-type: application/x-www-form-urlencoded\r\n\r\n"));
    // A redirect without a cookie of its own keeps the one already given.
    QVERIFY(requests[2].startsWith("GET /third HTTP/1.0\r\n"));
    QVERIFY(requests[2].contains("\r\nCookie: session=42; path=/\r\n"));
    QCOMPARE(QByteArray::fromStdString(client.Body()), "done");
}

void TestHttpClient::redirectCookieLeakedToOtherHost_data()
{
    QTest::addColumn<QString>("location"); // %1: the second server's port
    QTest::addColumn<bool>("cookieSent");
    QTest::newRow("same host in other case, other port") << "http://LocalHost:%1/second" << true;
    QTest::newRow("other host with the same address") << "http://127.0.0.1:%1/second" << false;
}

void TestHttpClient::redirectCookieLeakedToOtherHost()
{
    QFETCH(QString, location);
    QFETCH(bool, cookieSent);
    TestHttpServer second(TestHttpServer::Always("HTTP/1.0 200 OK\r\n\r\nok"));
    TestHttpServer first(TestHttpServer::Always("HTTP/1.0 302 Found\r\nSet-Cookie: session=42\r\nLocation: " +
                                                location.arg(second.Port()).toLatin1() + "\r\n\r\n"));
    TableResolver resolver{{{"localhost", kLoopback}, {"LocalHost", kLoopback}}};
    THttpClient client;
    client.SetResolver(resolver());
    QCOMPARE(fetch(client, QStringLiteral("http://localhost:%1/first").arg(first.Port())), QString());
    QCOMPARE(second.Requests().size(), 1);
    QCOMPARE(second.Requests()[0].contains("\r\nCookie: session=42\r\n"), cookieSent);
}

void TestHttpClient::cookieWithLineBreakStaysOneLine()
{
    TestHttpServer server([](int index, const QByteArray &) {
        if (index == 0)
            return TestAnswer{{"HTTP/1.0 302 Found\r\nSet-Cookie: id=7\rX-Injected: yes\r\n"
                               "Location: /next\rX-Other: 1\r\n\r\n"}};
        return TestAnswer{{"HTTP/1.0 200 OK\r\n\r\nok"}};
    });
    THttpClient client;
    QCOMPARE(fetch(client, server.Url("/")), QString());
    QCOMPARE(server.Requests().size(), 2);
    const QByteArray second = server.Requests()[1];
    QVERIFY(second.startsWith("GET /next HTTP/1.0\r\n"));
    QVERIFY(second.contains("\r\nCookie: id=7\r\nContent-type"));
    QVERIFY(!second.contains("X-Injected"));
    QVERIFY(!second.contains("X-Other"));
}

void TestHttpClient::relativeRedirects()
{
    // A bare file name stays on the same host and port; a path without a host does too.
    TestHttpServer server([](int index, const QByteArray &) {
        if (index == 0)
            return TestAnswer{{"HTTP/1.0 302 Found\r\nLocation: file.txt\r\n\r\n"}};
        if (index == 1)
            return TestAnswer{{"HTTP/1.0 302 Found\r\nLocation: /dir/last.txt\r\n\r\n"}};
        return TestAnswer{{"HTTP/1.0 200 OK\r\n\r\nlast"}};
    });
    TableResolver resolver;
    THttpClient client;
    client.SetResolver(resolver());
    QCOMPARE(fetch(client, server.Url("/a/b")), QString());
    QCOMPARE(server.Requests().size(), 3);
    QVERIFY(server.Requests()[1].startsWith("GET /file.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n"));
    QVERIFY(server.Requests()[2].startsWith("GET /dir/last.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n"));
    QVERIFY(resolver.asked->isEmpty());
    QCOMPARE(QByteArray::fromStdString(client.Body()), "last");
}

void TestHttpClient::redirectLoopStops()
{
    TestHttpServer server(TestHttpServer::Always("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n"));
    THttpClient client;
    QCOMPARE(fetch(client, server.Url("/loop")), QStringLiteral("The server redirected more than 10 times in a row"));
    QCOMPARE(server.Requests().size(), 1 + THttpClient::kMaxRedirects);
}

void TestHttpClient::serverClosingAtOnce()
{
    TestHttpServer server;
    server.SetCloseAtOnce(true);
    THttpClient client;
    QCOMPARE(fetch(client, server.Url()), QString());
    QCOMPARE(client.StatusCode(), 0);
    QVERIFY(client.Body().empty());
    QVERIFY(client.Header().empty());
}

void TestHttpClient::closedPort()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    THttpClient client;
    QCOMPARE(fetch(client, QStringLiteral("http://127.0.0.1:%1/").arg(port)), QStringLiteral("Connection Failed"));
}

void TestHttpClient::failedLookup()
{
    TableResolver resolver;
    THttpClient client;
    client.SetResolver(resolver());
    QCOMPARE(fetch(client, QStringLiteral("http://www.brelwick.example/linewatch/linewatchver.txt")),
             QStringLiteral("Null Remote Address"));
    QCOMPARE(*resolver.asked, QStringList{"www.brelwick.example"});
}

void TestHttpClient::redirectToUnknownHostSaidNullRemoteAddress()
{
    TestHttpServer first(
        TestHttpServer::Always("HTTP/1.0 302 Found\r\nLocation: http://nowhere.example/v.txt\r\n\r\n"));
    TableResolver resolver;
    THttpClient client;
    client.SetResolver(resolver());
    QCOMPARE(fetch(client, first.Url("/v.txt")), QStringLiteral("cannot find host nowhere.example"));
    QCOMPARE(*resolver.asked, QStringList{"nowhere.example"});
}

void TestHttpClient::lookupThatNeverAnswers()
{
    // The resolver keeps the callback and answers only after the client gave up; the late answer
    // must land harmlessly.
    THostLookupDone kept;
    {
        THttpClient client;
        client.SetTimeouts(shortTimeouts());
        client.SetResolver([&](const std::string &, THostLookupDone done) { kept = std::move(done); });
        QCOMPARE(fetch(client, QStringLiteral("http://slow.example/")), QStringLiteral("Null Remote Address"));
    }
    QVERIFY(kept);
    kept(kLoopback);
}

void TestHttpClient::silentServerTimesOutWhileTimersRun()
{
    TestHttpServer server([](int, const QByteArray &) { return TestAnswer{{}, TestAnswer::End::Silent}; });
    QTimer ticker;
    int ticks = 0;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    THttpClient client;
    client.SetTimeouts(shortTimeouts());
    QCOMPARE(fetch(client, server.Url()), QStringLiteral("10060:Connection timed out"));
    QCOMPARE(server.Requests().size(), 1);
    QVERIFY2(ticks > 0, "the timer must keep firing while the client waits");
}

void TestHttpClient::tricklingServerHeldFetchForever_data()
{
    // Each row would take a few seconds; every single wait is well within the idle time-out.
    QTest::addColumn<int>("redirects");
    QTest::addColumn<int>("bodyBytes");
    QTest::newRow("body a byte at a time") << 0 << 30;
    QTest::newRow("slow redirects") << 8 << 0;
}

void TestHttpClient::tricklingServerHeldFetchForever()
{
    QFETCH(int, redirects);
    QFETCH(int, bodyBytes);
    TestHttpServer server([&](int index, const QByteArray &) {
        if (index < redirects)
            return TestAnswer{{"HTTP/1.0 302 Found\r\n", "Location: /next\r\n", "\r\n"}, TestAnswer::End::Close, 150};
        return TestAnswer{QList<QByteArray>{"HTTP/1.0 200 OK\r\n\r\n"} + QList<QByteArray>(bodyBytes, "x"),
                          TestAnswer::End::Close, 100};
    });
    THttpClient client;
    TPowersockTimeouts timeouts = shortTimeouts();
    timeouts.IdleMs = 1000;
    timeouts.TotalMs = 1000;
    client.SetTimeouts(timeouts);
    QCOMPARE(fetch(client, server.Url()), QStringLiteral("10060:Connection timed out"));
}

void TestHttpClient::resetDuringBody()
{
    TestHttpServer server([](int, const QByteArray &) {
        return TestAnswer{{"HTTP/1.0 200 OK\r\n\r\npart of"}, TestAnswer::End::Reset};
    });
    THttpClient client;
    QCOMPARE(fetch(client, server.Url()), QStringLiteral("10054:Connection reset by peer"));
}

void TestHttpClient::answerLineFitsBuffer_data()
{
    QTest::addColumn<int>("lineLength");
    QTest::addColumn<QString>("error");
    QTest::newRow("exactly the buffer") << int(TPowersock::kBufferSize) << QString();
    QTest::newRow("one byte more") << int(TPowersock::kBufferSize) + 1
                                   << QStringLiteral("The server sent a line longer than 65536 bytes");
    QTest::newRow("a megabyte") << 1024 * 1024 << QStringLiteral("The server sent a line longer than 65536 bytes");
}

void TestHttpClient::answerLineFitsBuffer()
{
    QFETCH(int, lineLength);
    QFETCH(QString, error);
    // "X-Long: aaa...a\r\n" of exactly lineLength bytes, line end included.
    const QByteArray line = "X-Long: " + QByteArray(lineLength - 10, 'a') + "\r\n";
    QCOMPARE(line.size(), lineLength);
    TestHttpServer server(TestHttpServer::Always("HTTP/1.0 200 OK\r\n" + line + "\r\nbody"));
    THttpClient client;
    QCOMPARE(fetch(client, server.Url()), error);
    if (error.isEmpty())
        QCOMPARE(QByteArray::fromStdString(client.Body()), "body");
}

void TestHttpClient::defaultResolverAnswersOnGuiThread()
{
    // A numeric name, so getaddrinfo answers without asking any name server.
    std::optional<uint32_t> address;
    bool called = false;
    bool onGuiThread = false;
    DefaultHostResolver("127.0.0.1", [&](std::optional<uint32_t> a) {
        called = true;
        address = a;
        onGuiThread = QThread::currentThread() == qApp->thread();
    });
    QTRY_VERIFY(called);
    QVERIFY(onGuiThread);
    QCOMPARE(address, std::optional<uint32_t>(kLoopback));
}

void TestHttpClient::parseUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fullUrl");
    QTest::addColumn<QString>("error");
    // The target starts out at previous.example:8080, as after an earlier fetch.
    const QString prevHost = QStringLiteral("previous.example");
    QTest::newRow("version file") << "http://www.brelwick.example/linewatch/linewatchver.txt"
                                  << "www.brelwick.example" << 80 << "/linewatch/linewatchver.txt"
                                  << "http://www.brelwick.example/linewatch/linewatchver.txt"
                                  << "";
    QTest::newRow("port") << "http://127.0.0.1:8081/a?b=c"
                          << "127.0.0.1" << 8081 << "/a?b=c"
                          << "http://127.0.0.1:8081/a?b=c"
                          << "";
    QTest::newRow("no path") << "http://host"
                             << "host" << 80 << "/"
                             << "http://host/"
                             << "";
    QTest::newRow("gopher") << "gopher://host/1"
                            << "host" << 70 << "/1"
                            << "gopher://host/1"
                            << "";
    QTest::newRow("ftp upper case") << "FTP://host/f"
                                    << "host" << 21 << "/f"
                                    << "FTP://host/f"
                                    << "";
    QTest::newRow("path only keeps host and port") << "/new/place" << prevHost << 8080 << "/new/place"
                                                   << "/new/place"
                                                   << "";
    QTest::newRow("host and port without scheme") << "other:81/f"
                                                  << "other" << 81 << "/f"
                                                  << "other:81/f"
                                                  << "";
    QTest::newRow("bare host keeps port") << "bare"
                                          << "bare" << 8080 << "/"
                                          << "bare/"
                                          << "";
    QTest::newRow("long path cut") << "http://h/" + QString(300, 'p') << "h" << 80 << "/" + QString(255, 'p')
                                   << "http://h/" + QString(300, 'p') << "";
    QTest::newRow("line break cut") << "http://h/a\r\nX-Injected: 1"
                                    << "h" << 80 << "/a"
                                    << "http://h/a"
                                    << "";
    QTest::newRow("https") << "HTTPS://host/"
                           << "" << 0 << ""
                           << ""
                           << "HTTP Secure Socket is not supported";
    QTest::newRow("bad port") << "http://host:http/"
                              << "" << 0 << ""
                              << ""
                              << "'http' is not a valid port number";
}

void TestHttpClient::parseUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, path);
    QFETCH(QString, fullUrl);
    QFETCH(QString, error);
    THttpTarget target{"", "previous.example", 8080, "/"};
    try {
        ParseHttpUrl(url.toStdString(), target);
    } catch (const EHttpError &e) {
        QCOMPARE(QString::fromStdString(e.what()), error);
        return;
    }
    QCOMPARE(QString(), error);
    QCOMPARE(QString::fromStdString(target.Host), host);
    QCOMPARE(target.Port, port);
    QCOMPARE(QString::fromStdString(target.Path), path);
    QCOMPARE(QString::fromStdString(target.Url), fullUrl);
}

void TestHttpClient::headerValue_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("cookie") << QByteArray("Set-Cookie: a=b; path=/\r\n") << QByteArray("SET-COOKIE:") << true
                            << QByteArray("a=b; path=/");
    QTest::newRow("lower case") << QByteArray("location: /x\n") << QByteArray("LOCATION:") << true << QByteArray("/x");
    QTest::newRow("no blank after name") << QByteArray("Location:/x\r\n") << QByteArray("LOCATION:") << false
                                         << QByteArray();
    QTest::newRow("cut to 256") << "Location: " + QByteArray(300, 'x') + "\r\n"
                                << QByteArray("LOCATION:") << true << QByteArray(256, 'x');
    QTest::newRow("inner CR") << QByteArray("Location: /a\rX: y\r\n") << QByteArray("LOCATION:") << true
                              << QByteArray("/a");
    QTest::newRow("NUL") << QByteArray("Set-Cookie: a\0b\r\n", 17) << QByteArray("SET-COOKIE:") << true
                         << QByteArray("a");
}

void TestHttpClient::headerValue()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, name);
    QFETCH(bool, found);
    QFETCH(QByteArray, value);
    const std::optional<std::string> result = HeaderValue(line.toStdString(), name.toStdString());
    QCOMPARE(result.has_value(), found);
    if (found)
        QCOMPARE(QByteArray::fromStdString(*result), value);
}

void TestHttpClient::socketErrorTexts()
{
    QCOMPARE(SocketErrorText(SocketErrorCode(ECONNRESET)), std::string("10054:Connection reset by peer"));
    QCOMPARE(SocketErrorText(SocketErrorCode(ETIMEDOUT)), std::string("10060:Connection timed out"));
    QCOMPARE(SocketErrorText(SocketErrorCode(ECONNREFUSED)), std::string("10061:Connection refused"));
    QCOMPARE(SocketErrorText(SocketErrorCode(EHOSTUNREACH)), std::string("10065:No route to Host"));
    QCOMPARE(SocketErrorText(11001), std::string("11001:Host not found"));
    QCOMPARE(SocketErrorText(10072), std::string("Unknown Error No. 10072"));
}

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
