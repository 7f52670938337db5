// SPDX-License-Identifier: MIT
// Tests of the version check: the ordinal version comparison, the version file's keys and the
// feature list, the stored copy, failures, and a second check started while one waits. The
// network is a scripted server on 127.0.0.1 or a fetch hook.
#include "apperror.h"
#include "httpclient.h"
#include "testhttpserver.h"
#include "versioncheck.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QChar kBullet(0x2022);

// A check wired to recording hooks, storing its copy in a temporary directory.
struct CheckRig
{
    QTemporaryDir dir;
    TVersionCheck check;
    QList<bool> buttonStates;
    QStringList statusTexts;
    QList<TNewVersionTexts> dialogs;
    QStringList errors;
    ErrorReporter previousReporter;

    explicit CheckRig(std::function<std::string(const std::string &)> fetch = {})
    {
        check.SetCheckNowEnabled = [this](bool on) { buttonStates << on; };
        check.SetStatusText = [this](const QString &text) { statusTexts << text; };
        check.AppDir = [this] { return (dir.path() + "/").toStdString(); };
        check.ShowNewVersion = [this](const TNewVersionTexts &texts) { dialogs << texts; };
        check.Fetch = std::move(fetch);
        previousReporter = SetErrorReporter([this](const std::string &m) { errors << QString::fromStdString(m); });
    }
    ~CheckRig() { SetErrorReporter(previousReporter); }

    QByteArray stored() const
    {
        QFile file(dir.filePath(kVersionFileName));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
};

std::function<std::string(const std::string &)> answer(const QByteArray &body)
{
    return [body](const std::string &) { return body.toStdString(); };
}

QByteArray versionFile(const QByteArray &latest, const QByteArray &release = {})
{
    return "[VERSION]\r\nLatest=" + latest + "\r\nLocation=http://www.brelwick.example/linewatch/\r\n\r\n[" + latest +
           "]\r\n" + release;
}

} // namespace

class TestVersionCheck : public QObject
{
    Q_OBJECT

private slots:
    void comparesVersionsByBytes_data();
    void comparesVersionsByBytes();
    void dialogTexts_data();
    void dialogTexts();
    void featureListIsBounded();
    void storesBodyByteForByte();
    void storedCopyWroteThroughSymlink_data();
    void storedCopyWroteThroughSymlink();
    void errorPageMeansNoNewVersion();
    void failedFetchIsReported_data();
    void failedFetchIsReported();
    void unwritableDirectoryIsReported();
    void secondCheckWhileWaitingDoesNothing();
};

void TestVersionCheck::comparesVersionsByBytes_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("status");
    const QString none = QStringLiteral("No new version found.");
    QTest::newRow("same") << versionFile("1.0.1.3") << none;
    QTest::newRow("1.0.2.0") << versionFile("1.0.2.0") << "New version found: 1.0.2.0";
    QTest::newRow("1.0.10.0") << versionFile("1.0.10.0") << "New version found: 1.0.10.0";
    QTest::newRow("1.1") << versionFile("1.1") << "New version found: 1.1";
    QTest::newRow("2") << versionFile("2") << "New version found: 2";
    QTest::newRow("1.0.1.10 sorts first") << versionFile("1.0.1.10") << none;
    QTest::newRow("longer text after prefix") << versionFile("1.0.1.3a") << "New version found: 1.0.1.3a";
    QTest::newRow("older") << versionFile("1.0.0.9") << none;
    // A byte above 127 sorts after "3"; compared as signed chars it would sort first.
    QTest::newRow("high byte") << versionFile("1.0.1.\xe9") << QStringLiteral("New version found: 1.0.1.\u00e9");
    QTest::newRow("empty Latest") << versionFile("") << none;
    QTest::newRow("empty answer") << QByteArray() << none;
    QTest::newRow("lower-case keys") << QByteArray("[version]\nlatest=1.0.2.0\n") << "New version found: 1.0.2.0";
}

void TestVersionCheck::comparesVersionsByBytes()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, status);
    CheckRig rig(answer(body));
    rig.check.btnCheckNowClick();
    QCOMPARE(rig.statusTexts, (QStringList{"Checking for new version", status}));
    QCOMPARE(rig.buttonStates, (QList<bool>{false, true}));
    QCOMPARE(rig.dialogs.size(), status.startsWith("New") ? 1 : 0);
    QVERIFY(rig.errors.isEmpty());
    QVERIFY(!rig.check.Running());
}

void TestVersionCheck::dialogTexts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("currentVersion");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("features");
    const QString site = QStringLiteral("http://www.brelwick.example/linewatch/");
    QTest::newRow("gap after LINE2") << versionFile("1.0.2.0", "Date=3/1/01\r\nLINE1=First\r\nLINE2=Second\r\n"
                                                               "LINE4=Never read\r\n")
                                     << "1.0.2.0  3/1/01" << site
                                     << QStringList{"1.0.2.0:", QStringLiteral("  ") + kBullet + "First",
                                                    QStringLiteral("  ") + kBullet + "Second"};
    QTest::newRow("LINE1 is a star") << versionFile("1.0.2.0", "Date=3/1/01\r\nLINE1=*\r\nLINE2=Hidden\r\n")
                                     << "1.0.2.0  3/1/01" << site << QStringList{"1.0.2.0:"};
    QTest::newRow("no Date") << versionFile("1.0.2.0", "LINE1=Faster\r\n") << "1.0.2.0  1/1/00" << site
                             << QStringList{"1.0.2.0:", QStringLiteral("  ") + kBullet + "Faster"};
    QTest::newRow("no Location") << QByteArray("[VERSION]\r\nLatest=2\r\n[2]\r\nDate=1/2/03\r\n") << "2  1/2/03"
                                 << "Location Not Found" << QStringList{"2:"};
    QTest::newRow("Latin-1 feature") << versionFile("1.1", "LINE1=Caf\xe9 \"quoted\" <b>\r\n") << "1.1  1/1/00" << site
                                     << QStringList{"1.1:", QStringLiteral("  ") + kBullet +
                                                                QStringLiteral("Caf\u00e9 \"quoted\" <b>")};
}

void TestVersionCheck::dialogTexts()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, currentVersion);
    QFETCH(QString, url);
    QFETCH(QStringList, features);
    CheckRig rig(answer(body));
    rig.check.btnCheckNowClick();
    QCOMPARE(rig.dialogs.size(), 1);
    const TNewVersionTexts &texts = rig.dialogs[0];
    QCOMPARE(texts.ThisVersion, QStringLiteral("1.0.1.3  8/16/00"));
    QCOMPARE(texts.CurrentVersion, currentVersion);
    QCOMPARE(texts.Url, url);
    QCOMPARE(texts.Features, features);
}

void TestVersionCheck::featureListIsBounded()
{
    QByteArray release;
    for (int n = 1; n <= 150; ++n)
        release += "LINE" + QByteArray::number(n) + "=Feature " + QByteArray::number(n) + "\r\n";
    CheckRig rig(answer(versionFile("3", release)));
    rig.check.btnCheckNowClick();
    QCOMPARE(rig.dialogs.size(), 1);
    QCOMPARE(rig.dialogs[0].Features.size(), qsizetype(1 + kMaxFeatureLines));
    QCOMPARE(rig.dialogs[0].Features.last(), QStringLiteral("  ") + kBullet + "Feature 100");
}

void TestVersionCheck::storesBodyByteForByte()
{
    const QByteArray body = versionFile("1.0.1.3") + QByteArray("\0\x01\xff\r\n\n\rend", 10);
    TestHttpServer server(TestHttpServer::Always("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body));
    CheckRig rig;
    rig.check.VersionFileUrl = server.Url().toStdString();
    // A longer copy from an earlier check must not leave its tail behind.
    {
        QFile old(rig.dir.filePath(kVersionFileName));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(4096, 'x'));
    }
    rig.check.btnCheckNowClick();
    QVERIFY2(rig.errors.isEmpty(), qPrintable(rig.errors.join('\n')));
    QCOMPARE(rig.stored(), body);
    QCOMPARE(rig.statusTexts.last(), QStringLiteral("No new version found."));
}

void TestVersionCheck::storedCopyWroteThroughSymlink_data()
{
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("link to a file outside") << true;
    QTest::newRow("dangling link") << false;
}

void TestVersionCheck::storedCopyWroteThroughSymlink()
{
    QFETCH(bool, targetExists);
    QTemporaryDir outside;
    const QString victim = outside.filePath("victim.txt");
    if (targetExists) {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("mine");
    }
    CheckRig rig(answer(versionFile("1.0.1.3")));
    QVERIFY(QFile::link(victim, rig.dir.filePath(kVersionFileName)));
    rig.check.btnCheckNowClick();
    QVERIFY2(rig.errors.isEmpty(), qPrintable(rig.errors.join('\n')));
    QVERIFY(!QFileInfo(rig.dir.filePath(kVersionFileName)).isSymLink());
    QCOMPARE(rig.stored(), versionFile("1.0.1.3"));
    QFile file(victim);
    QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>"),
             targetExists ? QByteArray("mine") : QByteArray("<missing>"));
}

void TestVersionCheck::errorPageMeansNoNewVersion()
{
    const QByteArray page = "<html><head><title>404 Not Found</title></head><body>Not Found</body></html>";
    TestHttpServer server(TestHttpServer::Always("HTTP/1.0 404 Not Found\r\n\r\n" + page));
    CheckRig rig;
    rig.check.VersionFileUrl = server.Url().toStdString();
    rig.check.btnCheckNowClick();
    QVERIFY(rig.errors.isEmpty());
    QCOMPARE(rig.statusTexts, (QStringList{"Checking for new version", "No new version found."}));
    QVERIFY(rig.dialogs.isEmpty());
    QCOMPARE(rig.stored(), page);
}

void TestVersionCheck::failedFetchIsReported_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("error");
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        closedPort = probe.serverPort();
    }
    QTest::newRow("closed port") << QStringLiteral("http://127.0.0.1:%1/v.txt").arg(closedPort) << "Connection Failed";
    // An empty host name fails before any lookup.
    QTest::newRow("no host") << "http:///v.txt"
                             << "Null Remote Address";
    QTest::newRow("https") << "https://127.0.0.1/v.txt"
                           << "HTTP Secure Socket is not supported";
}

void TestVersionCheck::failedFetchIsReported()
{
    QFETCH(QString, url);
    QFETCH(QString, error);
    CheckRig rig;
    rig.check.VersionFileUrl = url.toStdString();
    rig.check.btnCheckNowClick();
    QCOMPARE(rig.errors, QStringList{error});
    QCOMPARE(rig.statusTexts, (QStringList{"Checking for new version", "Update check failed"}));
    QCOMPARE(rig.buttonStates, (QList<bool>{false, true}));
    QVERIFY(rig.dialogs.isEmpty());
    QVERIFY(!QFile::exists(rig.dir.filePath(kVersionFileName)));
    QVERIFY(!rig.check.Running());
}

void TestVersionCheck::unwritableDirectoryIsReported()
{
    CheckRig rig(answer(versionFile("9.9")));
    const std::string missingDir = (rig.dir.path() + "/no/such/dir/").toStdString();
    rig.check.AppDir = [missingDir] { return missingDir; };
    rig.check.btnCheckNowClick();
    QCOMPARE(rig.errors, QStringList{QString::fromStdString("Unable to write to " + missingDir + kVersionFileName)});
    QCOMPARE(rig.statusTexts.last(), QStringLiteral("Update check failed"));
    QCOMPARE(rig.buttonStates.last(), true);
    QVERIFY(rig.dialogs.isEmpty());
}

void TestVersionCheck::secondCheckWhileWaitingDoesNothing()
{
    // The second click arrives from a timer while the first check's fetch waits for the server.
    TestHttpServer server([](int, const QByteArray &) {
        return TestAnswer{{"HTTP/1.0 200 OK\r\n\r\n", "[VERSION]\r\n", "Latest=1.0.5\r\n"}};
    });
    CheckRig rig;
    rig.check.VersionFileUrl = server.Url().toStdString();
    bool clickedDuringFetch = false;
    QTimer::singleShot(0, [&] {
        clickedDuringFetch = rig.check.Running();
        rig.check.btnCheckNowClick();
    });
    rig.check.btnCheckNowClick();
    QVERIFY(clickedDuringFetch);
    QCOMPARE(server.Requests().size(), 1);
    QCOMPARE(rig.statusTexts, (QStringList{"Checking for new version", "New version found: 1.0.5"}));
    QCOMPARE(rig.dialogs.size(), 1);

    // Once the check has ended, a new one runs.
    rig.check.btnCheckNowClick();
    QCOMPARE(server.Requests().size(), 2);
}

QTEST_GUILESS_MAIN(TestVersionCheck)
#include "tst_versioncheck.moc"
