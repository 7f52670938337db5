// SPDX-License-Identifier: MIT
// The refresh's helpers: number and rate texts, the tray picture rule and blink, the tip, the
// caller-ID logging rule, the service-name cache over a real services.ini, the usage history.
#include "refresh.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

namespace {

TChannelStatus Channel(const std::string &link, int32_t clu)
{
    TChannelStatus c;
    c.Link = link;
    c.CLU = clu;
    return c;
}

void WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestRefresh : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void cleanupTestCase() { QLocale::setDefault(QLocale::system()); }

    void groupThousands_data();
    void groupThousands();
    void formatPhoneNumber_data();
    void formatPhoneNumber();
    void callerIdShownAlike_data();
    void callerIdShownAlike();
    void usageText_data();
    void usageText();
    void usageTextFollowsTheLocaleButNeverGroups();
    void trayIconIndex_data();
    void trayIconIndex();
    void chooseTrayPicture_data();
    void chooseTrayPicture();
    void chooseTrayPictureStaysInsideThePictureTable();
    void downBlinksThroughTag();
    void trayTip();
    void callerIdItemUsesLocaleDateAndTime();
    void callerIdLoggedOncePerCall();
    void serviceNamesFromFileWithCache();
    void serviceNamesWithoutFile();
    void usageHistoryShifts();
};

void TestRefresh::groupThousands_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("0") << qint64(0) << "0";
    QTest::newRow("999") << qint64(999) << "999";
    QTest::newRow("1000") << qint64(1000) << "1,000";
    QTest::newRow("1234") << qint64(1234) << "1,234";
    QTest::newRow("100000") << qint64(100000) << "100,000";
    QTest::newRow("1234567") << qint64(1234567) << "1,234,567";
    QTest::newRow("past 2^31") << qint64(2147483648LL) << "2,147,483,648";
    QTest::newRow("11 digits") << qint64(99999999999LL) << "99,999,999,999";
    QTest::newRow("int64 max") << std::numeric_limits<qint64>::max() << "9,223,372,036,854,775,807";
    QTest::newRow("negative") << qint64(-1234) << "-1,234";
    QTest::newRow("negative 3 digits") << qint64(-123) << "-123";
    QTest::newRow("int64 min") << std::numeric_limits<qint64>::min() << "-9,223,372,036,854,775,808";
}

void TestRefresh::groupThousands()
{
    QFETCH(qint64, value);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(GroupThousands(value)), expected);
}

void TestRefresh::formatPhoneNumber_data()
{
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QString>("expected");
    QTest::newRow("7") << "5551234"
                       << "555-1234";
    QTest::newRow("10") << "5035551234"
                        << "(503) 555-1234";
    QTest::newRow("8 unchanged") << "12345678"
                                 << "12345678";
    QTest::newRow("11 unchanged") << "15035551234"
                                  << "15035551234";
    QTest::newRow("6 unchanged") << "123456"
                                 << "123456";
    QTest::newRow("empty") << ""
                           << "";
}

void TestRefresh::formatPhoneNumber()
{
    QFETCH(QString, digits);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(FormatPhoneNumber(digits.toStdString())), expected);
}

void TestRefresh::callerIdShownAlike_data()
{
    // The router's caller-ID field -> what the list, the bubble and the History tab show.
    QTest::addColumn<QByteArray>("router");
    QTest::addColumn<QString>("shown");
    QTest::newRow("7 digits") << QByteArray("5551234") << "555-1234";
    QTest::newRow("10 digits") << QByteArray("5035551234") << "(503) 555-1234";
    QTest::newRow("11 digits") << QByteArray("49301234567") << "49301234567";
    QTest::newRow("international") << QByteArray("+4930123") << "+4930123";
    QTest::newRow("8-bit byte") << QByteArray("M\xfcller") << QString::fromLatin1("M\xfcller");
}

void TestRefresh::callerIdShownAlike()
{
    QFETCH(QByteArray, router);
    QFETCH(QString, shown);
    QCOMPARE(CallerIdText(router.toStdString()), shown);
    QVERIFY(CallerIdItem(QDateTime::currentDateTime(), router.toStdString()).endsWith(" - " + shown));
}

void TestRefresh::usageText_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("speed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("50 at 64") << 50 << 64 << "50%  (3.91KB/s)";
    QTest::newRow("100 at 64") << 100 << 64 << "100%  (7.81KB/s)";
    QTest::newRow("0 at 64") << 0 << 64 << "0%  (0.00KB/s)";
    QTest::newRow("start") << 0 << 0 << "0%  (0.00KB/s)";
    QTest::newRow("speed 0") << 30 << 0 << "30%  (0.00KB/s)";
    QTest::newRow("1 at 56") << 1 << 56 << "1%  (0.07KB/s)";
    QTest::newRow("3 digits") << 999 << 99 << "999%  (120.73KB/s)";
}

void TestRefresh::usageText()
{
    QFETCH(int, percent);
    QFETCH(int, speed);
    QFETCH(QString, expected);
    QCOMPARE(UsageText(percent, speed), expected);
}

void TestRefresh::usageTextFollowsTheLocaleButNeverGroups()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(UsageText(50, 64), QStringLiteral("50%  (3,91KB/s)"));
    // A rate of thousands gets no group separator, as "%f" never had one.
    QCOMPARE(UsageText(100000, 64), QStringLiteral("100000%  (7812,50KB/s)"));
    // A product past 32 bits wraps instead of overflowing; the text is still formed.
    QVERIFY(UsageText(std::numeric_limits<int32_t>::max(), 99).startsWith(QStringLiteral("2147483647%  (")));
}

void TestRefresh::trayIconIndex_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("expected");
    QTest::newRow("D0D0") << "D0D0" << 0;
    QTest::newRow("D3O0") << "D3O0" << 22;
    QTest::newRow("O0V0") << "O0V0" << 29;
    QTest::newRow("O0D2") << "O0D2" << 26;
    QTest::newRow("D1D0") << "D1D0" << 6;
    QTest::newRow("V0V0") << "V0V0" << 35;
    QTest::newRow("idle B1 above level 0") << "O3D0" << 24;
    QTest::newRow("voice B1 above level 0") << "V3D0" << 30;
    QTest::newRow("idle B2 above level 0") << "D0O2" << 4;
    QTest::newRow("level past 3") << "D9D9" << 21;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("short") << "V" << 30;
}

void TestRefresh::trayIconIndex()
{
    QFETCH(QString, code);
    QFETCH(int, expected);
    QCOMPARE(TrayIconIndex(code.toStdString()), expected);
}

void TestRefresh::chooseTrayPicture_data()
{
    QTest::addColumn<QString>("b1Link");
    QTest::addColumn<int>("b1Clu");
    QTest::addColumn<QString>("b2Link");
    QTest::addColumn<int>("b2Clu");
    QTest::addColumn<int>("expected");
    QTest::newRow("no data") << "No Data" << 0 << "Idle" << 0 << 38;
    QTest::newRow("O0D2") << "Idle" << 0 << "64K/Sync" << 60 << 26;
    QTest::newRow("D1D0 at the level edges") << "64K/Sync" << 26 << "64K/Sync" << 25 << 6;
    QTest::newRow("D3O0") << "64K/Sync" << 100 << "Idle" << 0 << 22;
    QTest::newRow("O0V0") << "Idle" << 0 << "Voice" << 0 << 29;
    QTest::newRow("levels 50/51") << "X" << 50 << "X" << 51 << 8;
    QTest::newRow("levels 75/76") << "X" << 75 << "X" << 76 << 15;
    QTest::newRow("B2 no data is a data letter") << "Idle" << 0 << "No Data" << 0 << 24;
    QTest::newRow("B2 down is a data letter") << "Idle" << 0 << "Down" << 0 << 24;
    QTest::newRow("case matters") << "idle" << 0 << "voice" << 0 << 0;
    QTest::newRow("idle at high usage") << "Idle" << 90 << "Voice" << 100 << 29;
    QTest::newRow("voice at high usage") << "Voice" << 100 << "Voice" << 100 << 35;
    QTest::newRow("usage past 100") << "X" << 999 << "X" << 999 << 21;
    QTest::newRow("negative usage") << "X" << -50 << "X" << -50 << 0;
}

void TestRefresh::chooseTrayPicture()
{
    QFETCH(QString, b1Link);
    QFETCH(int, b1Clu);
    QFETCH(QString, b2Link);
    QFETCH(int, b2Clu);
    QFETCH(int, expected);
    int tag = 0;
    QCOMPARE(ChooseTrayPicture(Channel(b1Link.toStdString(), b1Clu), Channel(b2Link.toStdString(), b2Clu), tag),
             expected);
    QCOMPARE(tag, 0); // only "Down" touches the blink toggle
}

void TestRefresh::chooseTrayPictureStaysInsideThePictureTable()
{
    const char *links[] = {"Idle", "Voice", "64K/Sync", "", "Down", "No Data"};
    const int usages[] = {std::numeric_limits<int32_t>::min(), -1, 0, 25, 26, 100, 101, 999,
                          std::numeric_limits<int32_t>::max()};
    for (const char *l1 : links)
        for (const char *l2 : links)
            for (const int u1 : usages)
                for (const int u2 : usages) {
                    int tag = 0;
                    const int picture = ChooseTrayPicture(Channel(l1, u1), Channel(l2, u2), tag);
                    QVERIFY2(
                        picture >= 0 && picture <= 38,
                        qPrintable(QStringLiteral("%1 %2 %3 %4 -> %5").arg(l1).arg(u1).arg(l2).arg(u2).arg(picture)));
                }
}

void TestRefresh::downBlinksThroughTag()
{
    const TChannelStatus down = Channel("Down", 0);
    const TChannelStatus idle = Channel("Idle", 0);
    int tag = 0;
    QList<int> pictures;
    for (int second = 0; second < 5; ++second)
        pictures << ChooseTrayPicture(down, idle, tag);
    QCOMPARE(pictures, (QList<int>{36, 37, 36, 37, 36}));
    // The toggle is never reset: after a pause B1 picks up with the picture that is due.
    QCOMPARE(ChooseTrayPicture(idle, idle, tag), 28);
    QCOMPARE(tag, 1);
    QCOMPARE(ChooseTrayPicture(down, idle, tag), 37);
}

void TestRefresh::trayTip()
{
    TRouterStatus router;
    TChannelStatus b1, b2;
    QCOMPARE(TrayTip(router, b1, b2), std::string("No Data - B1[No Data 0%] B2[No Data 0%]"));

    router.Name = "office";
    b1 = Channel("Idle", 0);
    b2 = Channel("64K/Sync", 45);
    QCOMPARE(TrayTip(router, b1, b2), std::string("office - B1[Idle 0%] B2[64K/Sync 45%]"));

    // Router bytes pass as they are, and the tip never exceeds the notification area's 63.
    router.Name = std::string(40, '\xE9');
    b1 = Channel(std::string(30, 'x'), 100);
    const std::string tip = TrayTip(router, b1, b2);
    QCOMPARE(tip.size(), std::size_t(63));
    QCOMPARE(tip.substr(0, 43), std::string(40, '\xE9') + " - ");
}

void TestRefresh::callerIdItemUsesLocaleDateAndTime()
{
    const QDateTime when(QDate(2026, 12, 7), QTime(15, 4, 5));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(CallerIdItem(when, "5035551234"), QStringLiteral("07.12.26 15:04:05 - (503) 555-1234"));
    QCOMPARE(CallerIdItem(when, "12345678"), QStringLiteral("07.12.26 15:04:05 - 12345678"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString us = CallerIdItem(when, "5551234");
    QVERIFY2(us.startsWith(QStringLiteral("12/7/26 3:04:05")), qPrintable(us));
    QVERIFY2(us.endsWith(QStringLiteral("PM - 555-1234")), qPrintable(us));
}

void TestRefresh::callerIdLoggedOncePerCall()
{
    TChannelStatus channel;
    QStringList list;
    const TCallerIdAppend append = [&list](const QString &item) { list << item; };
    const QDateTime now(QDate(2026, 12, 7), QTime(9, 0, 0));

    QVERIFY(!LogCallerId(channel, append, now)); // no call: nothing
    channel.CLID = "5551234";
    for (int second = 0; second < 60; ++second)
        LogCallerId(channel, append, now);
    QCOMPARE(list.size(), 1);
    QVERIFY(list.first().endsWith(QStringLiteral(" - 555-1234")));
    QVERIFY(channel.CLIDLogged);

    // The caller ID disappears for a tick, then the same number calls again: a second item.
    channel.CLID.clear();
    QVERIFY(!LogCallerId(channel, append, now));
    QVERIFY(!channel.CLIDLogged);
    channel.CLID = "5551234";
    QVERIFY(LogCallerId(channel, append, now));
    QCOMPARE(list.size(), 2);

    // An empty callback is allowed: the flag still follows the caller ID.
    TChannelStatus other;
    other.CLID = "1";
    QVERIFY(LogCallerId(other, TCallerIdAppend{}, now));
    QVERIFY(other.CLIDLogged);
}

void TestRefresh::serviceNamesFromFileWithCache()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("services.ini"));
    WriteFile(path, "[udp]\r\n53=dns-udp\r\n[tcp]\r\n25=smtp\r\n80=\r\n0=reserved\r\n");

    TServiceNames names;
    names.SetFileName(path.toStdString());
    QCOMPARE(names.LookupServiceName(0), std::string("reserved")); // starts invalid: the file is read
    QCOMPARE(names.LookupServiceName(25), std::string("smtp"));
    QCOMPARE(names.LookupServiceName(80), std::string("?")); // key with an empty value
    QCOMPARE(names.LookupServiceName(53), std::string("?")); // only in another section
    QCOMPARE(names.LookupServiceName(-1), std::string("?")); // missing key

    // Same port: the cached name, even after the file changed; another port reads it again.
    QCOMPARE(names.LookupServiceName(25), std::string("smtp"));
    WriteFile(path, "[tcp]\r\n25=mail\r\n110=pop3\r\n");
    QCOMPARE(names.LookupServiceName(25), std::string("smtp"));
    QCOMPARE(names.LookupServiceName(110), std::string("pop3"));
    QCOMPARE(names.LookupServiceName(25), std::string("mail"));

    // A reset of the status record invalidates the cache: the same port reads the file.
    WriteFile(path, "[tcp]\r\n25=post\r\n");
    QCOMPARE(names.LookupServiceName(25), std::string("mail"));
    names.Invalidate();
    QCOMPARE(names.LookupServiceName(25), std::string("post"));

    // The file goes away: "?" once the name is read again.
    QVERIFY(QFile::remove(path));
    names.Invalidate();
    QCOMPARE(names.LookupServiceName(25), std::string("?"));
}

void TestRefresh::serviceNamesWithoutFile()
{
    TServiceNames names;
    QCOMPARE(names.LookupServiceName(0), std::string("?"));
    QCOMPARE(names.LookupServiceName(25), std::string("?"));
    QTemporaryDir dir;
    names.SetFileName(dir.filePath(QStringLiteral("services.ini")).toStdString());
    QCOMPARE(names.LookupServiceName(25), std::string("?"));
}

void TestRefresh::usageHistoryShifts()
{
    TUsageHistory history;
    QCOMPARE(TUsageHistory::X(0), -90);
    QCOMPARE(TUsageHistory::X(90), 0);
    for (int i = 0; i < TUsageHistory::kPointCount; ++i)
        QCOMPARE(history.Y(i), 0.0);

    // A channel going from 0 to 100 %: the step starts at x = 0 and moves left a point a tick.
    history.Step(100);
    QCOMPARE(history.Y(90), 100.0);
    QCOMPARE(history.Y(89), 0.0);
    for (int tick = 0; tick < 45; ++tick)
        history.Step(100);
    QCOMPARE(history.Y(45), 100.0); // x = -45
    QCOMPARE(history.Y(44), 0.0);
    for (int tick = 0; tick < 45; ++tick)
        history.Step(100);
    for (int i = 0; i < TUsageHistory::kPointCount; ++i)
        QCOMPARE(history.Values()[static_cast<std::size_t>(i)], 100.0);

    // Order is kept exactly: the newest value of each tick lands at point 90.
    for (int v = 1; v <= 3; ++v)
        history.Step(v);
    QCOMPARE(history.Y(88), 1.0);
    QCOMPARE(history.Y(89), 2.0);
    QCOMPARE(history.Y(90), 3.0);
    QCOMPARE(history.Y(87), 100.0);
    QCOMPARE(history.Y(-1), 0.0);
    QCOMPARE(history.Y(91), 0.0);
}

QTEST_GUILESS_MAIN(TestRefresh)
#include "tst_refresh.moc"
