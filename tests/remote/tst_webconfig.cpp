// SPDX-License-Identifier: MIT
// The web configuration file: what a good file gives, each fault with its line and key, Go
// durations, and re-reading on a change while a broken file keeps the last good settings.
#include "webconfig.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const std::string kHash = "$2b$10$" + std::string(53, 'a');

void writeFile(const QString &Path, const std::string &Text)
{
    QFile file(Path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(Text.data(), qint64(Text.size())), qint64(Text.size()));
}

void setMtime(const QString &Path, time_t Seconds)
{
    const timespec times[2] = {{Seconds, 0}, {Seconds, 0}};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(Path).constData(), times, 0), 0);
}

} // namespace

class TestWebConfig : public QObject
{
    Q_OBJECT

private slots:
    void goodFile();
    void emptyFileIsNoConfig();
    void faults_data();
    void faults();
    void goDuration_data();
    void goDuration();
    void refreshOnChange();
    void brokenReloadKeepsOldConfig();
};

void TestWebConfig::goodFile()
{
    const std::string text = "# an exporter's file\n"
                             "tls_server_config:\n"
                             "  cert_file: certs/server.crt\n"
                             "  key_file: /etc/keys/server.key\n"
                             "  client_auth_type: RequireAndVerifyClientCert\n"
                             "  client_ca_file: ../ca.pem\n"
                             "  min_version: TLS13\n"
                             "  cipher_suites: [TLS_AES_128_GCM_SHA256, TLS_AES_256_GCM_SHA384]\n"
                             "  prefer_server_cipher_suites: false\n"
                             "http_server_config:\n"
                             "  http2: false\n"
                             "  headers:\n"
                             "    Strict-Transport-Security: max-age=31536000\n"
                             "    X-Frame-Options: deny\n"
                             "basic_auth_users:\n"
                             "  prometheus: " +
                             kHash +
                             "\n"
                             "rate_limit:\n"
                             "  interval: 100ms\n"
                             "  burst: 20\n";
    std::string error;
    const std::optional<TWebConfig> config = ParseWebConfig(text, "/srv/lw/web.yml", error);
    QVERIFY2(config, error.c_str());
    QVERIFY(config->Tls);
    QCOMPARE(config->Tls->CertFile, "/srv/lw/certs/server.crt");
    QCOMPARE(config->Tls->KeyFile, "/etc/keys/server.key");
    QCOMPARE(config->Tls->ClientCaFile, "/srv/ca.pem");
    QCOMPARE(config->Tls->ClientAuthType, "RequireAndVerifyClientCert");
    QCOMPARE(config->Tls->MinVersion, "TLS13");
    QCOMPARE(config->Tls->CipherSuites, (std::vector<std::string>{"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384"}));
    QCOMPARE(config->Tls->PreferServerCipherSuites, false);
    QCOMPARE(config->Headers.size(), 2u);
    QCOMPARE(config->Headers[0].first, "Strict-Transport-Security");
    QCOMPARE(config->Headers[1].second, "deny");
    QCOMPARE(config->Users.at("prometheus"), kHash);
    QVERIFY(config->RateLimit);
    QCOMPARE(config->RateLimit->IntervalMs, 100);
    QCOMPARE(config->RateLimit->Burst, 20);
}

void TestWebConfig::emptyFileIsNoConfig()
{
    // An empty file, or a TLS section naming no file, is plain HTTP with nothing else, as the
    // toolkit has it.
    for (const std::string text : {"", "tls_server_config:\n", "tls_server_config: {}\nrate_limit: {interval: 0}\n"}) {
        std::string error;
        const std::optional<TWebConfig> config = ParseWebConfig(text, "web.yml", error);
        QVERIFY2(config, error.c_str());
        QCOMPARE(*config, TWebConfig{});
    }
}

void TestWebConfig::faults_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error"); // what follows "web config web.yml"

    const QString hash = QString::fromStdString(kHash);
    QTest::newRow("misspelt section") << "# comment\ntls_sever_config:\n  cert_file: a\n"
                                      << " line 2: unknown key 'tls_sever_config'";
    QTest::newRow("unknown nested key") << "tls_server_config:\n  cert_file: a\n  key_fil: b\n"
                                        << " line 3: unknown key 'key_fil'";
    QTest::newRow("cert without key") << "\ntls_server_config:\n  cert_file: a\n"
                                      << " line 3: 'tls_server_config' has no key_file";
    QTest::newRow("key without cert") << "tls_server_config:\n  key_file: b\n"
                                      << " line 2: 'tls_server_config' has no cert_file";
    QTest::newRow("client CA without verification")
        << "tls_server_config:\n  cert_file: a\n  key_file: b\n  client_ca_file: c\n"
        << " line 2: 'client_ca_file' is set but client_auth_type does not verify client certificates";
    QTest::newRow("unknown client auth") << "tls_server_config:\n  client_auth_type: Always\n"
                                         << " line 2: unknown client_auth_type 'Always'";
    QTest::newRow("unknown TLS version") << "tls_server_config:\n  min_version: TLS9\n"
                                         << " line 2: unknown TLS version 'TLS9' for 'min_version' (TLS10, TLS11, "
                                            "TLS12 or TLS13)";
    QTest::newRow("framing header") << "http_server_config:\n  headers:\n    content-length: 5\n"
                                    << " line 3: header 'content-length' is set by the server itself";
    QTest::newRow("auth header") << "http_server_config:\n  headers:\n    WWW-Authenticate: x\n"
                                 << " line 3: header 'WWW-Authenticate' is set by the server itself";
    QTest::newRow("header injection") << "http_server_config:\n  headers:\n    X-A: \"a\\r\\nSet-Cookie: b\"\n"
                                      << " line 3: the value of header 'X-A' holds a control character";
    QTest::newRow("header name with space") << "http_server_config:\n  headers:\n    \"X A\": b\n"
                                            << " line 3: 'X A' is not a header name";
    QTest::newRow("plain password") << "basic_auth_users:\n  alice: secret\n"
                                    << " line 2: the password of user 'alice' is not a bcrypt hash ($2b$...)";
    QTest::newRow("bcrypt cost too high") << "basic_auth_users:\n  alice: $2b$20$" + QString(53, 'a') + "\n"
                                          << " line 2: the bcrypt cost of user 'alice' is not between 4 and 16";
    QTest::newRow("colon in user") << "basic_auth_users:\n  \"a:b\": " + hash + "\n"
                                   << " line 2: user name 'a:b' is empty or holds a colon";
    QTest::newRow("user twice") << "basic_auth_users:\n  bob: " + hash + "\n  bob: " + hash + "\n"
                                << " line 3: key 'bob' given twice";
    QTest::newRow("bad interval") << "rate_limit:\n  interval: 1 sec\n  burst: 1\n"
                                  << " line 2: 'interval' is not a duration such as 1s or 100ms: '1 sec'";
    QTest::newRow("burst not a number") << "rate_limit:\n  interval: 1s\n  burst: many\n"
                                        << " line 3: 'burst' must be a whole number";
    QTest::newRow("no burst") << "rate_limit:\n  interval: 1s\n"
                              << " line 2: 'rate_limit' needs a burst of at least 1";
    QTest::newRow("list at the top") << "- a\n- b\n"
                                     << " line 1: 'the file' must be a mapping";
    QTest::newRow("section as a list") << "basic_auth_users:\n  - alice\n"
                                       << " line 2: 'basic_auth_users' must be a mapping";
    QTest::newRow("YAML syntax") << "rate_limit:\n  interval: [1s\n"
                                 << " line 3: end of sequence flow not found";
}

void TestWebConfig::faults()
{
    QFETCH(QString, text);
    QFETCH(QString, error);

    std::string got;
    QVERIFY(!ParseWebConfig(text.toStdString(), "web.yml", got));
    QCOMPARE(QString::fromStdString(got), "web config web.yml" + error);
}

void TestWebConfig::goDuration_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("ms"); // -1: refused

    QTest::newRow("1s") << "1s" << qint64(1000);
    QTest::newRow("100ms") << "100ms" << qint64(100);
    QTest::newRow("1m30s") << "1m30s" << qint64(90000);
    QTest::newRow("1.5s") << "1.5s" << qint64(1500);
    QTest::newRow("2h") << "2h" << qint64(7200000);
    QTest::newRow("1500us") << "1500us" << qint64(1);
    QTest::newRow("bare 0") << "0" << qint64(0);
    QTest::newRow("bare number") << "5" << qint64(-1);
    QTest::newRow("unit alone") << "s" << qint64(-1);
    QTest::newRow("negative") << "-1s" << qint64(-1);
    QTest::newRow("unknown unit") << "1d" << qint64(-1);
    QTest::newRow("over a day") << "25h" << qint64(-1);
    QTest::newRow("huge number") << QString(400, '9') + "s" << qint64(-1);
}

void TestWebConfig::goDuration()
{
    QFETCH(QString, text);
    QFETCH(qint64, ms);
    QCOMPARE(ParseGoDurationMs(text.toStdString()).value_or(-1), ms);
}

void TestWebConfig::refreshOnChange()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("web.yml");
    const QString cert = dir.filePath("server.crt");
    writeFile(cert, "cert");
    writeFile(path, "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n");
    setMtime(path, 1000000000);
    TWebConfigSource source(path.toStdString());
    std::string error;
    QVERIFY(source.Refresh(error));
    QCOMPARE(source.Generation(), 1);
    QCOMPARE(source.Config()->Tls->CertFile, QDir(dir.path()).filePath("server.crt").toStdString());

    QVERIFY(source.Refresh(error));
    QCOMPARE(source.Generation(), 1); // nothing changed: not read again

    setMtime(path, 1000000001); // same size, new time
    QVERIFY(source.Refresh(error));
    QCOMPARE(source.Generation(), 2);

    writeFile(cert, "new cert"); // a file the configuration names
    QVERIFY(source.Refresh(error));
    QCOMPARE(source.Generation(), 3);

    const std::string grown = "tls_server_config:\n  cert_file: server.crt\n  key_file: other.key\n";
    writeFile(path, grown);
    setMtime(path, 1000000001); // same time, new size
    QVERIFY(source.Refresh(error));
    QCOMPARE(source.Generation(), 4);
    QCOMPARE(source.Config()->Tls->KeyFile, QDir(dir.path()).filePath("other.key").toStdString());
}

void TestWebConfig::brokenReloadKeepsOldConfig()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("web.yml");
    writeFile(path, "basic_auth_users:\n  alice: " + kHash + "\n");
    TWebConfigSource source(path.toStdString());
    std::string error;
    QVERIFY(source.Refresh(error));

    writeFile(path, "basic_auth_users:\n  alice: " + kHash + "\nbasic_auth_user:\n");
    setMtime(path, 1000000002);
    QVERIFY(!source.Refresh(error));
    QCOMPARE(error, "web config " + path.toStdString() + " line 3: unknown key 'basic_auth_user'");
    QVERIFY(source.Config());
    QCOMPARE(source.Config()->Users.size(), 1u);
    // Reported once: the broken file is not read again until it changes.
    error.clear();
    QVERIFY(source.Refresh(error));
    QVERIFY(error.empty());

    QFile::remove(path);
    QVERIFY(!source.Refresh(error));
    QCOMPARE(source.Config()->Users.count("alice"), 1u);
    QCOMPARE(source.Generation(), 1);

    writeFile(path, "");
    QVERIFY(source.Refresh(error));
    QCOMPARE(source.Generation(), 2);
    QVERIFY(source.Config()->Users.empty());
}

QTEST_GUILESS_MAIN(TestWebConfig)
#include "tst_webconfig.moc"
