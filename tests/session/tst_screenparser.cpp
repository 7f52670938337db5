// SPDX-License-Identifier: MIT
// The screen parser: both router screens read into the record from drawn console bytes, the
// channel-row swap, the trigger packet's hex dump, the short pass for a hidden window, and where a
// field that is not a number stops the pass.
#include "convert.h"
#include "screenparser.h"

#include <QFile>
#include <QTest>

namespace {

std::string fixture(const char *name)
{
    QFile file(QStringLiteral(LW_TEST_DATA_DIR "/session/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return file.readAll().toStdString();
}

void draw(TConsoleScreen &screen, const std::string &bytes)
{
    std::string buffer;
    screen.DrawChunk(buffer, bytes);
}

// A status-screen channel row: number in column 3, state word 6-15, speed 16-17, counters
// right-aligned in 23-33, 35-45 and 47-57, usages in 59-61 and 64-66, up time in 70-79.
std::string channelRow(char number, const std::string &link, int speed, int64_t tx, int64_t rx, int64_t errors, int clu,
                       int alu, const std::string &upTime)
{
    std::string line(80, ' ');
    const auto place = [&line](int col, const std::string &text) { line.replace(col - 1, text.size(), text); };
    const auto right = [&place](int col, int width, const std::string &text) {
        place(col + width - static_cast<int>(text.size()), text);
    };
    line[2] = number;
    place(6, link);
    place(16, std::to_string(speed) + "Kbps");
    right(23, 11, std::to_string(tx));
    right(35, 11, std::to_string(rx));
    right(47, 11, std::to_string(errors));
    right(59, 3, std::to_string(clu));
    place(62, "%");
    right(64, 3, std::to_string(alu));
    place(67, "%");
    right(70, 10, upTime);
    return line;
}

// Writes text at row r, column c of the screen, as the router would.
void put(TConsoleScreen &screen, int r, int c, const std::string &text)
{
    draw(screen, "\x1b[" + std::to_string(r) + ";" + std::to_string(c) + "H" + text);
}

// A record whose every field differs from what any screen here shows, to see which were written.
void poison(TChannelStatus &B1, TChannelStatus &B2, TRouterStatus &Router)
{
    for (TChannelStatus *c : {&B1, &B2}) {
        c->Link = c->UpTime = c->IP = c->CLID = "old";
        c->Speed = c->CLU = c->ALU = -1;
        c->TX = c->RX = c->Errors = -1;
    }
    Router.LANStatus = Router.TotalOutcallTime = Router.TriggerSrcIP = Router.TriggerDestIP = "old";
    Router.Name = Router.Firmware = Router.IPAddress = "old";
    Router.LANSent = Router.LANReceived = Router.LANCollisions = -1;
    Router.TriggerSrcPort = Router.TriggerDestPort = -1;
}

} // namespace

class TestScreenParser : public QObject
{
    Q_OBJECT

private slots:
    void statusScreen();
    void statusScreenShortPass();
    void systemInformationScreen();
    void otherScreensWriteNothing();
    void statusTitleWinsOverSystemTitle();
    void channelRows_data();
    void channelRows();
    void currentUsageField_data();
    void currentUsageField();
    void triggerDump_data();
    void triggerDump();
    void failingFieldStopsThePass_data();
    void failingFieldStopsThePass();
    void countersBeyond32Bits();
    void fieldConversions_data();
    void fieldConversions();
};

void TestScreenParser::statusScreen()
{
    TConsoleScreen screen;
    draw(screen, fixture("menu24_1.bin"));
    TChannelStatus B1, B2;
    TRouterStatus Router;
    poison(B1, B2, Router);
    B1.CLIDLogged = true;
    ParseScreen(screen, true, B1, B2, Router);

    QCOMPARE(B1.Link, "SYNC-PPP");
    QCOMPARE(B1.Speed, 64);
    QCOMPARE(B1.TX, int64_t(3141592653));
    QCOMPARE(B1.RX, int64_t(27182818));
    QCOMPARE(B1.Errors, int64_t(12));
    QCOMPARE(B1.CLU, 87);
    QCOMPARE(B1.ALU, 45);
    QCOMPARE(B1.UpTime, "1:02:33");
    QCOMPARE(B1.IP, "10.0.0.2");
    QCOMPARE(B1.CLID, "5551234");
    QVERIFY(B1.CLIDLogged); // the refresh's flag, never the parser's

    QCOMPARE(B2.Link, "Voice");
    QCOMPARE(B2.Speed, 64);
    QCOMPARE(B2.TX, int64_t(0));
    QCOMPARE(B2.CLU, 100);
    QCOMPARE(B2.ALU, 3);
    QCOMPARE(B2.UpTime, "0:00:17");
    QCOMPARE(B2.IP, "0.0.0.0");
    QCOMPARE(B2.CLID, "0123456789");

    QCOMPARE(Router.LANStatus, "10M/Half Duplex");
    QCOMPARE(Router.LANSent, int64_t(98765432109));
    QCOMPARE(Router.LANReceived, int64_t(1234567));
    QCOMPARE(Router.LANCollisions, int64_t(42));
    QCOMPARE(Router.TotalOutcallTime, "123:45:06");
    QCOMPARE(Router.TriggerSrcIP, "192.168.0.1");
    QCOMPARE(Router.TriggerSrcPort, 1025);
    QCOMPARE(Router.TriggerDestIP, "10.20.30.40");
    QCOMPARE(Router.TriggerDestPort, 80);
    // The system-information fields belong to the other screen.
    QCOMPARE(Router.Name, "old");
    QCOMPARE(Router.Firmware, "old");
    QCOMPARE(Router.IPAddress, "old");
}

// Window hidden and web server off: only Link, CLU and CLID of the two channels follow the screen.
void TestScreenParser::statusScreenShortPass()
{
    TConsoleScreen screen;
    draw(screen, fixture("menu24_1.bin"));
    TChannelStatus B1, B2;
    TRouterStatus Router;
    poison(B1, B2, Router);
    ParseScreen(screen, false, B1, B2, Router);

    QCOMPARE(B1.Link, "SYNC-PPP");
    QCOMPARE(B1.CLU, 87);
    QCOMPARE(B1.CLID, "5551234");
    QCOMPARE(B2.Link, "Voice");
    QCOMPARE(B2.CLU, 100);
    QCOMPARE(B2.CLID, "0123456789");
    for (const TChannelStatus *c : {&B1, &B2}) {
        QCOMPARE(c->Speed, -1);
        QCOMPARE(c->TX, int64_t(-1));
        QCOMPARE(c->RX, int64_t(-1));
        QCOMPARE(c->Errors, int64_t(-1));
        QCOMPARE(c->ALU, -1);
        QCOMPARE(c->UpTime, "old");
        QCOMPARE(c->IP, "old");
    }
    QCOMPARE(Router.LANStatus, "old");
    QCOMPARE(Router.LANSent, int64_t(-1));
    QCOMPARE(Router.TotalOutcallTime, "old");
    QCOMPARE(Router.TriggerSrcIP, "old");
    QCOMPARE(Router.TriggerDestPort, -1);
}

void TestScreenParser::systemInformationScreen()
{
    TConsoleScreen screen;
    draw(screen, fixture("menu24_2_1.bin"));
    TChannelStatus B1, B2;
    TRouterStatus Router;
    poison(B1, B2, Router);
    ParseScreen(screen, false, B1, B2, Router);
    QCOMPARE(Router.Name, "brelwick1");
    QCOMPARE(Router.Firmware, "V2.50(E.01)");
    QCOMPARE(Router.IPAddress, "192.168.0.1");
    QCOMPARE(Router.LANStatus, "old");
    QCOMPARE(B1.Link, "old");
    QCOMPARE(B2.CLU, -1);
}

void TestScreenParser::otherScreensWriteNothing()
{
    TConsoleScreen screen;
    put(screen, 3, 20, "Menu 24 - System Maintenance");
    put(screen, 6, 3, "1  Idle");
    put(screen, 4, 20, "Menu 24.1"); // the title counts on row 3 only
    put(screen, 3, 75, "Menu 2");    // cut at the row's end, never joined with the next row
    put(screen, 4, 1, "4.1");
    TChannelStatus B1, B2;
    TRouterStatus Router;
    poison(B1, B2, Router);
    ParseScreen(screen, true, B1, B2, Router);
    QCOMPARE(B1.Link, "old");
    QCOMPARE(Router.Name, "old");
}

void TestScreenParser::statusTitleWinsOverSystemTitle()
{
    TConsoleScreen screen;
    put(screen, 3, 1, "Menu 24.2.1 then Menu 24.1");
    put(screen, 5, 27, "brelwick1");
    put(screen, 6, 6, "Idle");
    TChannelStatus B1, B2;
    TRouterStatus Router;
    poison(B1, B2, Router);
    ParseScreen(screen, true, B1, B2, Router);
    QCOMPARE(B1.Link, "Idle");
    QCOMPARE(Router.Name, "old");
}

void TestScreenParser::channelRows_data()
{
    QTest::addColumn<char>("row6Number");
    QTest::addColumn<char>("row7Number");
    QTest::addColumn<bool>("swapped");
    QTest::newRow("1 above 2") << '1' << '2' << false;
    QTest::newRow("2 above 1") << '2' << '1' << true;
    QTest::newRow("2 above anything") << '2' << ' ' << true;
    QTest::newRow("anything above 1") << '3' << '1' << true;
    QTest::newRow("blank numbers") << ' ' << ' ' << false;
    QTest::newRow("other digits") << '3' << '4' << false;
}

// Every channel-row field follows the swap; the address and caller-ID rows do not.
void TestScreenParser::channelRows()
{
    QFETCH(char, row6Number);
    QFETCH(char, row7Number);
    QFETCH(bool, swapped);

    TConsoleScreen screen;
    put(screen, 3, 20, "Menu 24.1");
    put(screen, 6, 1, channelRow(row6Number, "Down", 56, 1, 2, 3, 4, 5, "1:11:11"));
    put(screen, 7, 1, channelRow(row7Number, "Idle", 64, 11, 12, 13, 14, 15, "2:22:22"));
    put(screen, 12, 52, "10.0.0.1");
    put(screen, 13, 52, "10.0.0.2");
    put(screen, 14, 49, "111");
    put(screen, 15, 49, "222");
    TChannelStatus B1, B2;
    TRouterStatus Router;
    ParseScreen(screen, true, B1, B2, Router);

    const TChannelStatus &row6 = swapped ? B2 : B1;
    const TChannelStatus &row7 = swapped ? B1 : B2;
    QCOMPARE(row6.Link, "Down");
    QCOMPARE(row6.Speed, 56);
    QCOMPARE(row6.TX, int64_t(1));
    QCOMPARE(row6.RX, int64_t(2));
    QCOMPARE(row6.Errors, int64_t(3));
    QCOMPARE(row6.CLU, 4);
    QCOMPARE(row6.ALU, 5);
    QCOMPARE(row6.UpTime, "1:11:11");
    QCOMPARE(row7.Link, "Idle");
    QCOMPARE(row7.Speed, 64);
    QCOMPARE(row7.TX, int64_t(11));
    QCOMPARE(row7.RX, int64_t(12));
    QCOMPARE(row7.Errors, int64_t(13));
    QCOMPARE(row7.CLU, 14);
    QCOMPARE(row7.ALU, 15);
    QCOMPARE(row7.UpTime, "2:22:22");
    QCOMPARE(B1.IP, "10.0.0.1");
    QCOMPARE(B2.IP, "10.0.0.2");
    QCOMPARE(B1.CLID, "111");
    QCOMPARE(B2.CLID, "222");
}

void TestScreenParser::currentUsageField_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("clu");
    QTest::addColumn<bool>("fails");
    QTest::newRow("blank then 12") << QByteArray(" 12") << 12 << false;
    QTest::newRow("three blanks") << QByteArray("   ") << 0 << false;
    QTest::newRow("100") << QByteArray("100") << 100 << false;
    QTest::newRow("1%2") << QByteArray("1%2") << 0 << true;
    QTest::newRow("control bytes trimmed") << QByteArray("\x01"
                                                         "7\x00",
                                                         3)
                                           << 7 << false;
    QTest::newRow("DEL is not trimmed") << QByteArray(" 7\x7f") << 0 << true;
}

void TestScreenParser::currentUsageField()
{
    QFETCH(QByteArray, text);
    QFETCH(int, clu);
    QFETCH(bool, fails);

    TConsoleScreen screen;
    put(screen, 3, 20, "Menu 24.1");
    put(screen, 6, 3, "1  Idle");
    put(screen, 6, 59, text.toStdString());
    TChannelStatus B1, B2;
    TRouterStatus Router;
    B1.CLU = -1;
    if (fails) {
        try {
            ParseScreen(screen, true, B1, B2, Router);
            QFAIL("no conversion error");
        } catch (const EConvertError &e) {
            QCOMPARE(QByteArray(e.what()), "'" + text.trimmed() + "' is not a valid integer value");
        }
        QCOMPARE(B1.Link, "Idle"); // stored before the failing field
        QCOMPARE(B1.CLU, -1);
    } else {
        ParseScreen(screen, true, B1, B2, Router);
        QCOMPARE(B1.CLU, clu);
    }
}

void TestScreenParser::triggerDump_data()
{
    QTest::addColumn<QByteArray>("row19");
    QTest::addColumn<QString>("srcIP");
    QTest::addColumn<int>("srcPort");
    QTest::addColumn<QString>("destIP");
    QTest::addColumn<int>("destPort");

    QTest::newRow("blank row") << QByteArray() << "0.0.0.0" << 0 << "0.0.0.0" << 0;
    QTest::newRow("web request") << QByteArray(
                                        "45 00 00 3C 1C 46 40 00 40 06 B1 E6 C0 A8 00 01 D4 1B 30 0A 04 01 00 50")
                                 << "192.168.0.1" << 1025 << "212.27.48.10" << 80;
    QTest::newRow("lower case, highest values")
        << QByteArray("45 00 00 3c 1c 46 40 00 40 11 b1 e6 ff ff ff ff 0a 00 00 ff ff ff fe dc") << "255.255.255.255"
        << 65535 << "10.0.0.255" << 65244;
    QTest::newRow("half a byte") << QByteArray(
                                        "45 00 00 3C 1C 46 40 00 40 06 B1 E6  1 A8 00 01 0A 00 00 01 00  7 01 BB")
                                 << "1.168.0.1" << 7 << "10.0.0.1" << 443;
}

void TestScreenParser::triggerDump()
{
    QFETCH(QByteArray, row19);
    QFETCH(QString, srcIP);
    QFETCH(int, srcPort);
    QFETCH(QString, destIP);
    QFETCH(int, destPort);

    TConsoleScreen screen;
    put(screen, 3, 20, "Menu 24.1");
    put(screen, 19, 6, row19.toStdString());
    TChannelStatus B1, B2;
    TRouterStatus Router;
    Router.TriggerSrcIP = Router.TriggerDestIP = "old";
    ParseScreen(screen, true, B1, B2, Router);
    QCOMPARE(QString::fromStdString(Router.TriggerSrcIP), srcIP);
    QCOMPARE(Router.TriggerSrcPort, srcPort);
    QCOMPARE(QString::fromStdString(Router.TriggerDestIP), destIP);
    QCOMPARE(Router.TriggerDestPort, destPort);
}

void TestScreenParser::failingFieldStopsThePass_data()
{
    // A bad text at a field's place: the message, and the last field that still takes its new
    // value (fields are read in a fixed order).
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("col");
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("lastWritten");

    QTest::newRow("B1 speed") << 6 << 16 << QByteArray("--") << "'--' is not a valid integer value"
                              << "B2.CLID";
    QTest::newRow("B1 errors") << 6 << 47 << QByteArray("        n/a") << "'n/a' is not a valid integer value"
                               << "B1.RX";
    QTest::newRow("B2 speed") << 7 << 16 << QByteArray("6K") << "'6K' is not a valid integer value"
                              << "B1.IP";
    QTest::newRow("B2 average usage") << 7 << 64 << QByteArray("4.5") << "'4.5' is not a valid integer value"
                                      << "B2.Errors";
    QTest::newRow("LAN sent") << 13 << 16 << QByteArray("   12,345,678") << "'12,345,678' is not a valid integer value"
                              << "LANStatus";
    QTest::newRow("LAN collisions") << 15 << 19 << QByteArray("         x") << "'x' is not a valid integer value"
                                    << "LANReceived";
    QTest::newRow("source address byte") << 19 << 48 << QByteArray("G0") << "'$G0' is not a valid integer value"
                                         << "TotalOutcallTime";
    QTest::newRow("source port low byte") << 19 << 69 << QByteArray("-1") << "'$-1' is not a valid integer value"
                                          << "TriggerSrcIP";
    QTest::newRow("destination port high byte") << 19 << 72 << QByteArray("zz") << "'$zz' is not a valid integer value"
                                                << "TriggerDestIP";
}

// The order matters: fields before the failing one take their new values, it and every later one
// keep their old ones.
void TestScreenParser::failingFieldStopsThePass()
{
    QFETCH(int, row);
    QFETCH(int, col);
    QFETCH(QByteArray, bad);
    QFETCH(QString, message);
    QFETCH(QString, lastWritten);

    TConsoleScreen screen;
    draw(screen, fixture("menu24_1.bin"));
    put(screen, row, col, bad.toStdString());
    TChannelStatus B1, B2;
    TRouterStatus Router;
    poison(B1, B2, Router);
    try {
        ParseScreen(screen, true, B1, B2, Router);
        QFAIL("no conversion error");
    } catch (const EConvertError &e) {
        QCOMPARE(QString::fromLatin1(e.what()), message);
    }

    // Whether each field, in reading order, took a value from the screen.
    const std::pair<const char *, bool> fields[] = {
        {"B1.Link", B1.Link != "old"},
        {"B1.CLU", B1.CLU != -1},
        {"B2.Link", B2.Link != "old"},
        {"B2.CLU", B2.CLU != -1},
        {"B1.CLID", B1.CLID != "old"},
        {"B2.CLID", B2.CLID != "old"},
        {"B1.Speed", B1.Speed != -1},
        {"B1.TX", B1.TX != -1},
        {"B1.RX", B1.RX != -1},
        {"B1.Errors", B1.Errors != -1},
        {"B1.ALU", B1.ALU != -1},
        {"B1.UpTime", B1.UpTime != "old"},
        {"B1.IP", B1.IP != "old"},
        {"B2.Speed", B2.Speed != -1},
        {"B2.TX", B2.TX != -1},
        {"B2.RX", B2.RX != -1},
        {"B2.Errors", B2.Errors != -1},
        {"B2.ALU", B2.ALU != -1},
        {"B2.UpTime", B2.UpTime != "old"},
        {"B2.IP", B2.IP != "old"},
        {"LANStatus", Router.LANStatus != "old"},
        {"LANSent", Router.LANSent != -1},
        {"LANReceived", Router.LANReceived != -1},
        {"LANCollisions", Router.LANCollisions != -1},
        {"TotalOutcallTime", Router.TotalOutcallTime != "old"},
        {"TriggerSrcIP", Router.TriggerSrcIP != "old"},
        {"TriggerSrcPort", Router.TriggerSrcPort != -1},
        {"TriggerDestIP", Router.TriggerDestIP != "old"},
        {"TriggerDestPort", Router.TriggerDestPort != -1},
    };
    bool before = true;
    for (const auto &[name, written] : fields) {
        if (written != before)
            QFAIL(qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(name), written ? "written" : "not written")));
        if (lastWritten == QLatin1String(name))
            before = false;
    }
    QVERIFY(!before);
}

// Counters the router shows past 2^31 are read whole; only text beyond 64 bits fails.
void TestScreenParser::countersBeyond32Bits()
{
    TConsoleScreen screen;
    put(screen, 3, 20, "Menu 24.1");
    put(screen, 6, 23, "99999999999 99999999999 99999999999");
    put(screen, 13, 16, "9999999999999");
    TChannelStatus B1, B2;
    TRouterStatus Router;
    ParseScreen(screen, true, B1, B2, Router);
    QCOMPARE(B1.TX, int64_t(99999999999));
    QCOMPARE(B1.RX, int64_t(99999999999));
    QCOMPARE(B1.Errors, int64_t(99999999999));
    QCOMPARE(Router.LANSent, int64_t(9999999999999));
}

void TestScreenParser::fieldConversions_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("how");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("error");

    QTest::newRow("decimal, negative") << QByteArray("-7") << "dec" << qint64(-7) << QString();
    QTest::newRow("decimal, 32-bit limit") << QByteArray("2147483647") << "dec" << qint64(2147483647) << QString();
    QTest::newRow("decimal, past 32 bits")
        << QByteArray(" 2147483648") << "dec" << qint64(0) << "'2147483648' is not a valid integer value";
    QTest::newRow("decimal, hex text") << QByteArray("$10") << "dec" << qint64(0)
                                       << "'$10' is not a valid integer value";
    QTest::newRow("decimal64, past 64 bits") << QByteArray("9223372036854775808") << "dec64" << qint64(0)
                                             << "'9223372036854775808' is not a valid integer value";
    QTest::newRow("decimal64, limit") << QByteArray("9223372036854775807") << "dec64" << qint64(9223372036854775807)
                                      << QString();
    QTest::newRow("hex, sign") << QByteArray("+1") << "hex" << qint64(0) << "'$+1' is not a valid integer value";
    QTest::newRow("edit box, most negative")
        << QByteArray("-2147483648") << "str" << qint64(-2147483648LL) << QString();
    QTest::newRow("edit box, hexadecimal") << QByteArray("  $1f") << "str" << qint64(31) << QString();
    QTest::newRow("edit box, past 32 bits")
        << QByteArray("4294967296") << "str" << qint64(0) << "'4294967296' is not a valid integer value";
    QTest::newRow("escape number, blank inside")
        << QByteArray(" 1") << "esc" << qint64(0) << "' 1' is not a valid integer value";
    QTest::newRow("escape number, sign alone")
        << QByteArray("-") << "esc" << qint64(0) << "'-' is not a valid integer value";
}

void TestScreenParser::fieldConversions()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, how);
    QFETCH(qint64, value);
    QFETCH(QString, error);

    const std::string t = text.toStdString();
    try {
        qint64 got = 0;
        if (how == "dec")
            got = TrimToInt(t);
        else if (how == "dec64")
            got = TrimToInt64(t);
        else if (how == "hex")
            got = HexToInt(t);
        else if (how == "str")
            got = StrToInt(t);
        else
            got = DecimalToInt(t);
        QVERIFY2(error.isEmpty(), "no conversion error");
        QCOMPARE(got, value);
    } catch (const EConvertError &e) {
        QCOMPARE(QString::fromLatin1(e.what()), error);
    }
}

QTEST_APPLESS_MAIN(TestScreenParser)
#include "tst_screenparser.moc"
