// SPDX-License-Identifier: MIT
// The status screen's layout check: every screen the parser reads as the router meant passes,
// whatever its labels; screens of other firmwares (moved columns, wider counters, an extra row, a
// different title) are refused, or pass only where the parser still reads every figure right.
#include "convert.h"
#include "layoutcheck.h"
#include "routerscreens.h"
#include "screenparser.h"

#include <QFile>
#include <QTest>

#include <functional>
#include <tuple>

namespace {

using TRows = std::vector<std::string>;

void draw(TConsoleScreen &screen, const std::string &bytes)
{
    std::string buffer;
    screen.DrawChunk(buffer, bytes);
}

TConsoleScreen screenOf(const TRows &rows)
{
    TConsoleScreen screen;
    std::string bytes = "\x1b[2J";
    for (int r = 1; r <= 24; ++r)
        bytes += "\x1b[" + std::to_string(r) + ";1H" + rows[r - 1];
    draw(screen, bytes);
    return screen;
}

TRows rowsOf(const TConsoleScreen &screen)
{
    TRows rows;
    for (int r = 1; r <= 24; ++r)
        rows.emplace_back(screen.Row(r));
    return rows;
}

std::string fixture(const char *name)
{
    QFile file(QStringLiteral(LW_TEST_DATA_DIR "/session/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return file.readAll().toStdString();
}

// Figures at their extremes and at their smallest: a moved field must not slip through with
// either.
struct TFigures
{
    std::string tx, clu, upTime, ip, outcall, lanSent;
};
const TFigures kFigureSets[] = {
    {"3141592653", "87", "1:02:33", "10.0.0.2", "123:45:06", "98765432109"},
    {"99999999999", "100", "9999:59:59", "192.168.100.200", "99999:59:59", "9999999999999"},
    {"0", "0", "0:00:00", "0.0.0.0", "0:00:00", "0"},
    {"12345", "7", "12:00:01", "172.16.5.44", "0:00:09", "42"},
};

void place(std::string &row, int col, const std::string &text)
{
    row.replace(static_cast<size_t>(col - 1), text.size(), text);
}

void right(std::string &row, int col, int width, const std::string &text)
{
    place(row, col + width - static_cast<int>(text.size()), text);
}

// A status screen as this firmware paints it, labels and all.
TRows paintStatus(const TFigures &f)
{
    TRows rows(24, std::string(80, ' '));
    place(rows[2], 22, "Menu 24.1 - System Maintenance - Status");
    place(rows[4], 2, "Ch State     Speed  TX Pkts     RX Pkts     Errors     CLU  ALU   Up Time");
    for (int r : {6, 7}) {
        std::string &row = rows[r - 1];
        place(row, 2, r == 6 ? "B1" : "B2");
        place(row, 6, "SYNC-PPP");
        place(row, 16, "64Kbps");
        right(row, 23, 11, f.tx);
        right(row, 35, 11, "27182818");
        right(row, 47, 11, "12");
        right(row, 59, 3, f.clu);
        place(row, 62, "%");
        right(row, 64, 3, "45");
        place(row, 67, "%");
        right(row, 70, 10, f.upTime);
    }
    place(rows[8], 3, "Total Outcall Time :");
    right(rows[8], 25, 12, f.outcall);
    place(rows[11], 3, "Status    :  10M/Half Duplex");
    place(rows[11], 47, "B1");
    place(rows[11], 52, f.ip);
    place(rows[12], 3, "TX Pkts   :");
    right(rows[12], 16, 13, f.lanSent);
    place(rows[12], 47, "B2");
    place(rows[12], 52, f.ip);
    place(rows[13], 3, "RX Pkts   :");
    right(rows[13], 16, 13, "1234567");
    place(rows[14], 3, "Collisions   :");
    right(rows[14], 19, 10, "42");
    place(rows[18], 3, "IP:45 00 00 3C 1C 46 40 00 40 06 B1 E6 C0 A8 00 01 0A 14 1E 28 04 01 00 50");
    return rows;
}

// Ways a firmware may paint the same screen differently.
void shiftColumns(TRows &rows, int firstRow, int lastRow, int col, int by)
{
    for (int r = firstRow; r <= lastRow; ++r) {
        std::string &row = rows[r - 1];
        if (by > 0)
            row.insert(static_cast<size_t>(col - 1), static_cast<size_t>(by), ' ');
        else
            row.erase(static_cast<size_t>(col - 1), static_cast<size_t>(-by)).append(static_cast<size_t>(-by), ' ');
        row.resize(80, ' ');
    }
}

struct TRecord
{
    TChannelStatus B1, B2;
    TRouterStatus Router;
    bool operator==(const TRecord &) const = default;
};

TRecord parsed(const TConsoleScreen &screen)
{
    TRecord record;
    ParseScreen(screen, true, record.B1, record.B2, record.Router);
    return record;
}

QString describe(const TLayoutVerdict &verdict)
{
    return QString::fromStdString(DescribeLayoutFault(verdict));
}

} // namespace

Q_DECLARE_METATYPE(TRows)

class TestLayoutCheck : public QObject
{
    Q_OBJECT

private slots:
    void readableScreensPass_data();
    void readableScreensPass();
    void otherFirmwares_data();
    void otherFirmwares();
    void checkedReadMatchesCheckThenParse_data();
    void checkedReadMatchesCheckThenParse();
};

void TestLayoutCheck::readableScreensPass_data()
{
    QTest::addColumn<TRows>("rows");

    TConsoleScreen fixtureScreen;
    draw(fixtureScreen, fixture("menu24_1.bin"));
    const TRows known = rowsOf(fixtureScreen);
    QTest::newRow("fixture") << known;
    TConsoleScreen routerScreen;
    TChannelRow idle;
    idle.link = "Idle";
    idle.speed = idle.tx = idle.clu = idle.alu = "0";
    draw(routerScreen, statusScreen({}, idle));
    QTest::newRow("left-aligned fields") << rowsOf(routerScreen);
    for (const TFigures &f : kFigureSets)
        QTest::addRow("painted, usage %s", f.clu.c_str()) << paintStatus(f);

    // What a screen holds at a place the parser reads, over the fixture: blanks and texts that
    // are no number (the parser's conversion error stays the answer to those).
    const std::string blankRow(80, ' ');
    const struct
    {
        const char *name;
        int row, col;
        const char *text;
    } edits[] = {
        {"blank channel numbers", 6, 3, " "},
        {"other channel digits", 7, 3, "4"},
        {"usage blank then 12", 6, 59, " 12"},
        {"usage three blanks", 6, 59, "   "},
        {"usage 1%2", 6, 59, "1%2"},
        {"usage control bytes", 6, 59,
         "\x01"
         "7\x01"},
        {"usage DEL", 6, 59, " 7\x7f"},
        {"speed --", 6, 16, "--"},
        {"errors n/a", 6, 47, "        n/a"},
        {"average usage 4.5", 7, 64, "4.5"},
        {"LAN sent with commas", 13, 16, "   12,345,678"},
        {"collisions x", 15, 19, "         x"},
        {"dump G0", 19, 48, "G0"},
        {"dump -1", 19, 69, "-1"},
        {"dump half a byte", 19, 42, " 1"},
        {"dump lower case", 19, 42, "c0 a8 ff ff"},
        {"blank dump", 19, 1, blankRow.c_str()},
        {"counters of 11 digits", 6, 23, "99999999999 99999999999 99999999999"},
        {"relabelled", 5, 1, " Port  Status    Rate     Out         In      Errors   Now  Mean   Connected"},
    };
    for (const auto &e : edits) {
        TRows rows = known;
        place(rows[e.row - 1], e.col, e.text);
        QTest::newRow(e.name) << rows;
    }
}

// A screen the parser reads right is never refused, whatever its labels.
void TestLayoutCheck::readableScreensPass()
{
    QFETCH(TRows, rows);
    const TLayoutVerdict verdict = CheckStatusLayout(screenOf(rows));
    QVERIFY2(verdict.Passed(), qPrintable(describe(verdict)));
}

void TestLayoutCheck::otherFirmwares_data()
{
    QTest::addColumn<QString>("variant");
    QTest::addColumn<QString>("fault");
    QTest::newRow("columns two to the right") << "right"
                                              << "duration";
    QTest::newRow("columns two to the left") << "left"
                                             << "counter";
    QTest::newRow("wider channel counters") << "wide"
                                            << "duration";
    QTest::newRow("an extra row") << "extra-row"
                                  << "channel_number";
    QTest::newRow("another title") << "title"
                                   << "title";
    QTest::newRow("dump a column to the left") << "dump-left"
                                               << "hex_dump";
    QTest::newRow("addresses two to the right") << "ip-right"
                                                << "address";
}

// Each variant, over figures at their extremes: refused, or read exactly as the known layout
// reads; never a wrong figure. With the first figures it is refused by the check named.
void TestLayoutCheck::otherFirmwares()
{
    QFETCH(QString, variant);
    QFETCH(QString, fault);

    const std::function<void(TRows &)> vary = [&variant](TRows &rows) {
        if (variant == "right")
            shiftColumns(rows, 5, 7, 4, 2);
        else if (variant == "left")
            shiftColumns(rows, 5, 7, 4, -2);
        else if (variant == "wide")
            shiftColumns(rows, 5, 7, 23, 2);
        else if (variant == "extra-row")
            rows.insert(rows.begin() + 3, std::string(80, ' ')), rows.pop_back();
        else if (variant == "title")
            rows[2] = std::string(22, ' ') + "Line Status (Menu 24-1)" + std::string(35, ' ');
        else if (variant == "dump-left")
            shiftColumns(rows, 19, 19, 3, -1);
        else if (variant == "ip-right")
            shiftColumns(rows, 12, 13, 50, 2);
    };
    bool first = true;
    for (const TFigures &f : kFigureSets) {
        const TRows known = paintStatus(f);
        TRows rows = known;
        vary(rows);
        const TConsoleScreen screen = screenOf(rows);
        const TLayoutVerdict verdict = CheckStatusLayout(screen);
        if (first)
            QCOMPARE(QString::fromLatin1(LayoutFaultName(verdict.Fault)), fault);
        else if (verdict.Passed())
            QVERIFY2(parsed(screen) == parsed(screenOf(known)), f.tx.c_str());
        first = false;
    }
}

void TestLayoutCheck::checkedReadMatchesCheckThenParse_data()
{
    readableScreensPass_data();
    for (const TFigures &f : kFigureSets) {
        TRows right = paintStatus(f), wide = right, dump = right;
        shiftColumns(right, 5, 7, 4, 2);
        shiftColumns(wide, 5, 7, 23, 2);
        shiftColumns(dump, 19, 19, 3, -1);
        QTest::addRow("columns two to the right, usage %s", f.clu.c_str()) << right;
        QTest::addRow("wider channel counters, usage %s", f.clu.c_str()) << wide;
        QTest::addRow("dump a column to the left, usage %s", f.clu.c_str()) << dump;
    }

    // One cell at a time out of its place over the fixture, and fields that fail to convert
    // alone or before a moved one.
    TConsoleScreen fixtureScreen;
    draw(fixtureScreen, fixture("menu24_1.bin"));
    const struct
    {
        const char *name;
        std::vector<std::tuple<int, int, const char *>> edits;
    } faults[] = {
        {"channel letter", {{7, 3, "B"}}},
        {"sent off both edges", {{6, 23, "  12345    "}}},
        {"usage 250", {{7, 64, "250"}}},
        {"usage off both edges", {{6, 59, " 5 "}}},
        {"up time moved", {{6, 70, " 1:02:33  "}}},
        {"outcall minutes 70", {{9, 25, "12:70:00    "}}},
        {"address moved", {{12, 52, "  10.0.0.2     "}}},
        {"address 300", {{13, 52, "300.1.1.1      "}}},
        {"LAN received off both edges", {{14, 16, "  1234       "}}},
        {"collisions off both edges", {{15, 19, "  42      "}}},
        {"half a dump byte", {{19, 60, "1 "}}},
        {"errors no number", {{7, 47, "        n/a"}}},
        {"dump byte no number", {{19, 66, "G0"}}},
        {"errors no number, then up time moved", {{6, 47, "        n/a"}, {7, 70, " 1:02:33  "}}},
    };
    for (const auto &f : faults) {
        TRows rows = rowsOf(fixtureScreen);
        for (const auto &[row, col, text] : f.edits)
            place(rows[static_cast<size_t>(row - 1)], col, text);
        QTest::newRow(f.name) << rows;
    }
}

// The session's one-pass read gives the verdict the check gives and writes what the parser writes
// for a screen that passed, conversion errors included; nothing for a screen that failed.
void TestLayoutCheck::checkedReadMatchesCheckThenParse()
{
    QFETCH(TRows, rows);
    const TConsoleScreen screen = screenOf(rows);
    for (const bool fullPass : {true, false}) {
        // Figures no screen above holds, so that a field written shows.
        TRecord seeded;
        for (TChannelStatus *channel : {&seeded.B1, &seeded.B2}) {
            channel->TX = channel->RX = channel->Errors = -7;
            channel->CLU = channel->ALU = channel->Speed = -7;
            channel->UpTime = channel->IP = channel->Link = "seed";
        }
        seeded.Router.TriggerSrcPort = seeded.Router.LANSent = -7;
        seeded.Router.TotalOutcallTime = seeded.Router.TriggerSrcIP = "seed";

        TRecord expected = seeded;
        std::string expectedError;
        const TLayoutVerdict verdict = CheckStatusLayout(screen);
        if (verdict.Passed()) {
            try {
                ParseScreen(screen, fullPass, expected.B1, expected.B2, expected.Router);
            } catch (const EConvertError &e) {
                expectedError = e.what();
            }
        }

        TRecord actual = seeded;
        std::string actualError;
        const TCheckedStatusRead read(screen, fullPass);
        QVERIFY(read.StatusScreen());
        QCOMPARE(describe(read.Verdict()), describe(verdict));
        if (read.Verdict().Passed()) {
            try {
                read.CommitTo(actual.B1, actual.B2, actual.Router);
            } catch (const EConvertError &e) {
                actualError = e.what();
            }
        }
        QCOMPARE(actualError, expectedError);
        QVERIFY2(actual == expected, fullPass ? "full pass" : "hidden pass");
    }
}

QTEST_APPLESS_MAIN(TestLayoutCheck)
#include "tst_layoutcheck.moc"
