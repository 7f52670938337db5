// SPDX-License-Identifier: MIT
// TLS on a listener over real sockets on 127.0.0.1: curl against a throw-away CA made with the
// openssl command at test time, refused peers, and peers that stall or send garbage.
#include "fdreserve.h"
#include "socketrig.h"
#include "tlscontext.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// A listener that answers every request (up to the empty line) with one fixed HTTP answer and
// closes.
struct TlsServer
{
    ErrorLog errors;
    TServerSocket server;
    std::string answer;
    int reads = 0;

    explicit TlsServer(std::shared_ptr<TTlsServerContext> context, std::string body = "hello over TLS\n")
    {
        answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                 body;
        server.SetBindAddress("127.0.0.1");
        server.SetBacklog(SOMAXCONN);
        server.SetTls(std::move(context));
        server.OnClientRead = [this](QObject *, TCustomWinSocket *s) {
            ++reads;
            if (s->ReceivePending().find("\r\n\r\n") != std::string::npos) {
                s->SendString(answer);
                s->CloseConnection();
            }
        };
        server.SetActive(true);
    }
    int port() const { return server.Socket()->LocalPort(); }
};

// Reads what fd gets until the peer closes or resets; false while it is still open.
bool drainedToEnd(int fd, std::string &received)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
}

} // namespace

class TestTlsLayer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void curlGetsAnswerByteEqual_data();
    void curlGetsAnswerByteEqual();
    void clientCertificatesByAuthType_data();
    void clientCertificatesByAuthType();
    void refusedClientsGetNoAnswer_data();
    void refusedClientsGetNoAnswer();
    void plainHttpOnTlsPortClosedWithoutAnswer();
    void badSettingsRefused_data();
    void badSettingsRefused();
    void keySwappedForSymlinkIsReread();
    void stalledHandshakesDoNotBlockRealClient();
    void tenMegabytesOfGarbageCloseConnection_data();
    void tenMegabytesOfGarbageCloseConnection();

private:
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);
    int curl(int port, const QStringList &extra, QByteArray &body);
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    TTlsSettings settings() const;
    std::shared_ptr<TTlsServerContext> context();

    QTemporaryDir m_dir;
    bool m_haveCurl = false;
};

bool TestTlsLayer::run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(program, arguments);
    if (!process.waitForStarted())
        return false;
    // The server under test runs in this event loop: wait by turning it.
    [&] { QTRY_VERIFY2_WITH_TIMEOUT(process.state() == QProcess::NotRunning, qPrintable(program), 60000); }();
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

int TestTlsLayer::curl(int port, const QStringList &extra, QByteArray &body)
{
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start("curl", QStringList{"-s", "--max-time", "60", "--noproxy", "*"} + extra +
                              QStringList{QString("https://127.0.0.1:%1/").arg(port)});
    if (!process.waitForStarted())
        return -1;
    [&] { QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 90000); }();
    body = process.readAllStandardOutput();
    return process.exitCode();
}

void TestTlsLayer::initTestCase()
{
    if (QStandardPaths::findExecutable("openssl").isEmpty())
        QSKIP("the openssl command is not installed; it makes the test certificates");
    m_haveCurl = !QStandardPaths::findExecutable("curl").isEmpty();
    QVERIFY(m_dir.isValid());
    const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2"};
    QFile ext(path("ext.cnf"));
    QVERIFY(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=IP:127.0.0.1\n");
    ext.close();
    QVERIFY(run("openssl", QStringList{"req", "-x509"} + ec +
                               QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=linewatch test CA"}));
    QVERIFY(run("openssl", QStringList{"req", "-x509"} + ec +
                               QStringList{"-keyout", "other.key", "-out", "other.pem", "-subj", "/CN=other CA"}));
    QVERIFY(run("openssl", QStringList{"req"} + ec +
                               QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"}));
    QVERIFY(run("openssl", {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                            "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf"}));
    // Client certificates: one from our CA, one from the other.
    for (const char *who : {"client", "rogue"}) {
        const QString name = QString::fromLatin1(who);
        QVERIFY(
            run("openssl", QStringList{"req"} + ec +
                               QStringList{"-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name}));
        QVERIFY(run("openssl", {"x509", "-req", "-in", name + ".csr", "-CA", name == "client" ? "ca.pem" : "other.pem",
                                "-CAkey", name == "client" ? "ca.key" : "other.key", "-CAcreateserial", "-out",
                                name + ".pem", "-days", "2"}));
    }
    for (const char *key : {"ca.key", "other.key", "server.key"})
        QCOMPARE(::chmod(qPrintable(path(key)), 0600), 0);
}

TTlsSettings TestTlsLayer::settings() const
{
    TTlsSettings s;
    s.CertFile = path("server.pem").toStdString();
    s.KeyFile = path("server.key").toStdString();
    return s;
}

std::shared_ptr<TTlsServerContext> TestTlsLayer::context()
{
    std::string error;
    auto made = TTlsServerContext::Make(settings(), error);
    if (!made)
        qWarning("%s", error.c_str());
    return made;
}

void TestTlsLayer::curlGetsAnswerByteEqual_data()
{
    QTest::addColumn<QStringList>("versions");
    QTest::addColumn<int>("bodyBytes");
    QTest::newRow("TLS 1.2") << QStringList{"--tlsv1.2", "--tls-max", "1.2"} << 100;
    QTest::newRow("TLS 1.3") << QStringList{"--tlsv1.3"} << 100;
    // Several records and more than the kernel takes at once: the encrypted send queue.
    QTest::newRow("TLS 1.3, 3 MB answer") << QStringList{"--tlsv1.3"} << 3 * 1024 * 1024;
}

void TestTlsLayer::curlGetsAnswerByteEqual()
{
    QFETCH(QStringList, versions);
    QFETCH(int, bodyBytes);
    if (!m_haveCurl)
        QSKIP("curl is not installed");
    std::string body(static_cast<std::size_t>(bodyBytes), '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = char('a' + i * 7 % 26);
    auto made = context();
    QVERIFY(made);
    TlsServer rig(made, body);
    QByteArray received;
    QCOMPARE(curl(rig.port(), QStringList{"--cacert", path("ca.pem"), "-i"} + versions, received), 0);
    QCOMPARE(received.size(), qsizetype(rig.answer.size()));
    QVERIFY(received.toStdString() == rig.answer);
    QCOMPARE(rig.errors.messages.size(), 0u);
}

void TestTlsLayer::clientCertificatesByAuthType_data()
{
    QTest::addColumn<QString>("authType");
    QTest::addColumn<QString>("clientCert");
    QTest::addColumn<bool>("answered");
    QTest::newRow("required and verified: none") << "RequireAndVerifyClientCert"
                                                 << "" << false;
    QTest::newRow("required and verified: ours") << "RequireAndVerifyClientCert"
                                                 << "client" << true;
    QTest::newRow("required and verified: foreign") << "RequireAndVerifyClientCert"
                                                    << "rogue" << false;
    QTest::newRow("required, any: none") << "RequireAnyClientCert"
                                         << "" << false;
    QTest::newRow("required, any: foreign") << "RequireAnyClientCert"
                                            << "rogue" << true;
    QTest::newRow("verified if given: none") << "VerifyClientCertIfGiven"
                                             << "" << true;
    QTest::newRow("verified if given: foreign") << "VerifyClientCertIfGiven"
                                                << "rogue" << false;
    QTest::newRow("requested: foreign") << "RequestClientCert"
                                        << "rogue" << true;
}

void TestTlsLayer::clientCertificatesByAuthType()
{
    QFETCH(QString, authType);
    QFETCH(QString, clientCert);
    QFETCH(bool, answered);
    if (!m_haveCurl)
        QSKIP("curl is not installed");
    TTlsSettings s = settings();
    s.ClientAuthType = authType.toStdString();
    s.ClientCaFile = path("ca.pem").toStdString();
    std::string error;
    auto made = TTlsServerContext::Make(s, error);
    QVERIFY2(made, error.c_str());
    TlsServer rig(made);
    QStringList arguments{"--cacert", path("ca.pem")};
    if (!clientCert.isEmpty())
        arguments << "--cert" << clientCert + ".pem"
                  << "--key" << clientCert + ".key";
    QByteArray received;
    const int exitCode = curl(rig.port(), arguments, received);
    QCOMPARE(exitCode == 0, answered);
    QCOMPARE(received, answered ? QByteArray("hello over TLS\n") : QByteArray());
    QCOMPARE(rig.reads, answered ? 1 : 0);
}

void TestTlsLayer::refusedClientsGetNoAnswer_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("serverSeesError");
    QTest::newRow("certificate of an unknown CA") << QStringList{"--cacert", "other.pem"} << false;
    // The client's own floor is lowered, so the refusal is the server's.
    QTest::newRow("TLS 1.1") << QStringList{"--cacert", "ca.pem",    "--tlsv1.1",         "--tls-max",
                                            "1.1",      "--ciphers", "DEFAULT@SECLEVEL=0"}
                             << true;
}

void TestTlsLayer::refusedClientsGetNoAnswer()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, serverSeesError);
    if (!m_haveCurl)
        QSKIP("curl is not installed");
    TlsServer rig(context());
    QByteArray received;
    QVERIFY(curl(rig.port(), arguments, received) != 0);
    QCOMPARE(received, QByteArray());
    QCOMPARE(rig.reads, 0);
    if (serverSeesError)
        QTRY_COMPARE(rig.errors.peerMessages.size(), 1u);
    // Peers' TLS errors are the log's only.
    QCOMPARE(rig.errors.messages.size(), rig.errors.peerMessages.size());
}

void TestTlsLayer::plainHttpOnTlsPortClosedWithoutAnswer()
{
    TlsServer rig(context());
    const int fd = connectLoopback(rig.port());
    QVERIFY(fd >= 0);
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QCOMPARE(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    std::string received;
    QTRY_VERIFY_WITH_TIMEOUT(drainedToEnd(fd, received), 30000);
    ::close(fd);
    QCOMPARE(received, std::string());
    QCOMPARE(rig.reads, 0);
    QCOMPARE(rig.errors.peerMessages.size(), 1u);
}

void TestTlsLayer::badSettingsRefused_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error");
    QTest::newRow("key readable by others") << "keymode"
                                            << "0644"
                                            << "the private key %1/server.key is readable by others; chmod 600 it";
    QTest::newRow("key readable by group") << "keymode"
                                           << "0640"
                                           << "the private key %1/server.key is readable by others; chmod 600 it";
    QTest::newRow("TLS 1.1 floor")
        << "min"
        << "TLS11"
        << "unsupported TLS versions (min_version \"TLS11\", max_version \"\"): use TLS12 or "
           "TLS13";
    QTest::newRow("CBC suite") << "suite"
                               << "TLS_RSA_WITH_AES_128_CBC_SHA"
                               << "unsupported TLS cipher suite TLS_RSA_WITH_AES_128_CBC_SHA (ECDHE with AES-GCM or "
                                  "ChaCha20-Poly1305 only)";
    QTest::newRow("verifying without CAs") << "auth"
                                           << "RequireAndVerifyClientCert"
                                           << "client_auth_type RequireAndVerifyClientCert needs client_ca_file";
    QTest::newRow("unknown auth type") << "auth"
                                       << "Maybe"
                                       << "unknown client_auth_type \"Maybe\"";
}

void TestTlsLayer::badSettingsRefused()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(QString, error);
    TTlsSettings s = settings();
    if (field == "keymode")
        QCOMPARE(::chmod(s.KeyFile.c_str(), value.toUInt(nullptr, 8)), 0);
    else if (field == "min")
        s.MinVersion = value.toStdString();
    else if (field == "suite")
        s.CipherSuites = {value.toStdString()};
    else
        s.ClientAuthType = value.toStdString();
    std::string message;
    const auto made = TTlsServerContext::Make(s, message);
    ::chmod(s.KeyFile.c_str(), 0600);
    QVERIFY(!made);
    QCOMPARE(QString::fromStdString(message), error.replace("%1", m_dir.path()));
}

void TestTlsLayer::keySwappedForSymlinkIsReread()
{
    // A reload makes a new context from the same names: the link's new target is what counts.
    TTlsSettings s = settings();
    s.KeyFile = path("link.key").toStdString();
    QVERIFY(QFile::link(path("server.key"), path("link.key")));
    std::string error;
    QVERIFY(TTlsServerContext::Make(s, error));
    QVERIFY(QFile::remove(path("link.key")));
    QVERIFY(QFile::link(path("other.key"), path("link.key")));
    QVERIFY(!TTlsServerContext::Make(s, error));
    QCOMPARE(error, "the private key " + s.KeyFile + " does not match the certificate " + s.CertFile);
}

void TestTlsLayer::stalledHandshakesDoNotBlockRealClient()
{
    if (!m_haveCurl)
        QSKIP("curl is not installed");
    TlsServer rig(context());
    rig.server.SetTlsHandshakeTimeout(3000);
    // A handshake record header announcing 512 bytes, and only a few of them.
    const std::string partialHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    // A thousand, as an attacker would open them; the client ends need descriptors of their own.
    constexpr int kStalled = 1000;
    RaiseDescriptorLimit();
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < rlim_t(kStalled + 256))
        QSKIP("the descriptor limit is too low for a thousand stalled handshakes");
    std::vector<int> stalled;
    for (int i = 0; i < kStalled; ++i) {
        const int fd = connectLoopback(rig.port());
        QVERIFY(fd >= 0);
        QCOMPARE(::send(fd, partialHello.data(), partialHello.size(), MSG_NOSIGNAL), ssize_t(partialHello.size()));
        stalled.push_back(fd);
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.Socket()->ActiveConnections() >= kMaxTlsHandshakes, true, 30000);
    QByteArray received;
    QCOMPARE(curl(rig.port(), {"--cacert", path("ca.pem")}, received), 0);
    QCOMPARE(received, QByteArray("hello over TLS\n"));
    // Every stalled peer is closed: the oldest by newcomers, the rest by the time-out.
    for (const int fd : stalled) {
        std::string ignored;
        QTRY_VERIFY_WITH_TIMEOUT(drainedToEnd(fd, ignored), 60000);
        ::close(fd);
    }
    QCOMPARE(rig.reads, 1);
}

void TestTlsLayer::tenMegabytesOfGarbageCloseConnection_data()
{
    QTest::addColumn<std::string>("prefix");
    QTest::newRow("not TLS at all") << std::string();
    QTest::newRow("behind a handshake record header") << std::string("\x16\x03\x01", 3);
}

void TestTlsLayer::tenMegabytesOfGarbageCloseConnection()
{
    QFETCH(std::string, prefix);
    TlsServer rig(context());
    const int fd = connectLoopback(rig.port(), true);
    QVERIFY(fd >= 0);
    std::string garbage = prefix + std::string(10 * 1024 * 1024, '\xff');
    std::size_t sent = 0;
    std::string received;
    // Send until all is gone or the server has closed; either way the connection must end.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const ssize_t n = ::send(fd, garbage.data() + sent, garbage.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            const bool failed = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
            return failed || ((sent == garbage.size() || n < 0) && drainedToEnd(fd, received));
        }(),
        30000);
    ::close(fd);
    // Nothing, or the one alert record that tells a TLS peer why.
    QVERIFY(received.empty() || (received[0] == '\x15' && received.size() <= 7));
    QCOMPARE(rig.reads, 0);
}

QTEST_GUILESS_MAIN(TestTlsLayer)
#include "tst_tlslayer.moc"
