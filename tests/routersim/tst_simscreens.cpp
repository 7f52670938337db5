// SPDX-License-Identifier: MIT
// The simulator's screens, traffic model and script reader, without a network: every field at
// the row and columns a monitor reads, prompts that a prompt automaton sees exactly once, and
// an hour of lively traffic that the monitor's own parser reads back exactly.
#include "consolegrid.h"
#include "routermodel.h"
#include "screens.h"
#include "simscript.h"

#include "consolescreen.h"
#include "screenparser.h"

#include <QTest>

#include <set>
#include <sstream>

namespace {

struct ChannelField
{
    const char *name;
    const char *b1;
    const char *b2;
    int first;
    int last;
};

// Full-width values, so a field that spilled over would spoil its neighbour's check.
const ChannelField kChannelFields[] = {
    {"state", "ISDN/Test1", "ISDN/Test2", 6, 15},
    {"speed", "56", "64", 16, 17},
    {"tx", "12345678901", "21234567890", 23, 33},
    {"rx", "31111111111", "42222222222", 35, 45},
    {"errors", "53333333333", "64444444444", 47, 57},
    {"clu", "100", "7", 59, 61},
    {"alu", "999", "88", 64, 66},
    {"uptime", "1234:56:07", "0:00:01", 70, 79},
};

struct FixedField
{
    const char *name;
    const char *value;
    int row;
    int first;
    int last;
};

const FixedField kFixedFields[] = {
    {"outcall", "99999:59:59", 9, 25, 36},   {"lan.status", "100M/Full Duplex LinkUp", 12, 16, 38},
    {"b1.ip", "203.0.113.254", 12, 52, 66},  {"lan.sent", "1234567890123", 13, 16, 28},
    {"b2.ip", "198.51.100.200", 13, 52, 66}, {"lan.received", "9876543210987", 14, 16, 28},
    {"b1.clid", "01234567890", 14, 49, 59},  {"lan.collisions", "1234567890", 15, 19, 28},
    {"b2.clid", "5551234", 15, 49, 59},
};

FieldValues allFieldValues()
{
    FieldValues all;
    for (const ChannelField &f : kChannelFields) {
        all[std::string("b1.") + f.name] = f.b1;
        all[std::string("b2.") + f.name] = f.b2;
    }
    for (const FixedField &f : kFixedFields)
        all[f.name] = f.value;
    return all;
}

ConsoleGrid render(const Paint &paint)
{
    ConsoleGrid grid;
    grid.feed(paint.body + paint.prompt);
    return grid;
}

int occurrences(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

SimScript readScript(const std::string &text, std::vector<std::string> &errors)
{
    std::istringstream in(text);
    return parseScript(in, "t.script", errors);
}

} // namespace

class TestSimScreens : public QObject
{
    Q_OBJECT

private slots:
    void statusFieldsAtTheirColumns_data();
    void statusFieldsAtTheirColumns();
    void overlongValuesStayInTheirField();
    void eachPromptSeenOnce_data();
    void eachPromptSeenOnce();
    void monitorParserReadsWhatWasPainted_data();
    void monitorParserReadsWhatWasPainted();
    void dropsAndResetAffectOnlyTheirChannel();
    void scriptLines_data();
    void scriptLines();
    void scriptReportsEveryBadLine();
};

void TestSimScreens::statusFieldsAtTheirColumns_data()
{
    QTest::addColumn<bool>("swapped");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    for (const bool swapped : {false, true}) {
        const char *suffix = swapped ? " swapped" : "";
        for (const ChannelField &f : kChannelFields) {
            QTest::addRow("b1.%s%s", f.name, suffix) << swapped << f.b1 << (swapped ? 7 : 6) << f.first << f.last;
            QTest::addRow("b2.%s%s", f.name, suffix) << swapped << f.b2 << (swapped ? 6 : 7) << f.first << f.last;
        }
    }
    for (const FixedField &f : kFixedFields)
        QTest::newRow(f.name) << false << f.value << f.row << f.first << f.last;
}

void TestSimScreens::statusFieldsAtTheirColumns()
{
    QFETCH(bool, swapped);
    QFETCH(QString, value);
    QFETCH(int, row);
    QFETCH(int, first);
    QFETCH(int, last);

    const RouterModel model(1);
    const ConsoleGrid grid = render(paintStatus(model, allFieldValues(), {}, swapped));
    QVERIFY(grid.row(3).find("Menu 24.1") != std::string::npos);
    QCOMPARE(grid.row(swapped ? 7 : 6)[2], '1');
    QCOMPARE(grid.row(swapped ? 6 : 7)[2], '2');
    QCOMPARE(grid.row(6).substr(17, 4), std::string("Kbps"));
    QCOMPARE(QString::fromLatin1(grid.field(row, first, last)), value);
}

void TestSimScreens::overlongValuesStayInTheirField()
{
    const RouterModel model(1);
    FieldValues values = allFieldValues();
    values["b1.state"] = "ABCDEFGHIJKLMNOP";
    values["b1.clid"] = "0123456789012345";
    values["name"] = "a-very-long-router-name";
    const ConsoleGrid status = render(paintStatus(model, values, {}, false));
    QCOMPARE(status.field(6, 6, 15), std::string("ABCDEFGHIJ"));
    QCOMPARE(status.field(6, 16, 17), std::string("56"));
    QCOMPARE(status.field(14, 49, 59), std::string("01234567890"));
    QCOMPARE(status.row(14).substr(59), std::string(21, ' '));
    const ConsoleGrid info = render(paintSystemInfo(model, values));
    QCOMPARE(info.field(5, 27, 36), std::string("a-very-lon"));
    QCOMPARE(info.row(5).substr(36, 5), std::string(5, ' '));
}

void TestSimScreens::eachPromptSeenOnce_data()
{
    QTest::addColumn<int>("screen");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QStringList>("absent");
    // A monitor looks for the next prompt in whatever follows the one it answered, so a screen
    // must not also carry a later step's prompt text.
    QTest::newRow("password") << int(ScreenId::Password) << "assword:" << QStringList{"umber:"};
    QTest::newRow("main") << int(ScreenId::Main) << "umber:" << QStringList{"election:", "xit:"};
    QTest::newRow("24") << int(ScreenId::Menu24) << "umber:" << QStringList{"election:", "xit:"};
    QTest::newRow("24.2") << int(ScreenId::Menu242) << "election:" << QStringList{"umber:", "xit:"};
    QTest::newRow("24.2.1") << int(ScreenId::SystemInfo) << "xit:" << QStringList{"umber:", "election:"};
}

void TestSimScreens::eachPromptSeenOnce()
{
    QFETCH(int, screen);
    QFETCH(QString, prompt);
    QFETCH(QStringList, absent);
    const RouterModel model(1);
    const ScreenId id = static_cast<ScreenId>(screen);
    Paint paint;
    switch (id) {
    case ScreenId::Password:
        paint = paintPassword();
        break;
    case ScreenId::Main:
        paint = paintMainMenu();
        break;
    case ScreenId::Menu24:
        paint = paintMenu24();
        break;
    case ScreenId::Menu242:
        paint = paintMenu242();
        break;
    default:
        paint = paintSystemInfo(model, {});
        break;
    }
    const std::string whole = paint.body + paint.prompt;
    QCOMPARE(occurrences(whole, prompt.toStdString()), 1);
    QVERIFY(paint.prompt.find(prompt.toStdString()) != std::string::npos);
    QVERIFY(paint.prompt.find('\x1b') == std::string::npos);
    for (const QString &text : absent)
        QCOMPARE(occurrences(whole, text.toStdString()), 0);
    const Paint again = paintMessage(id, "Try again.");
    QCOMPARE(occurrences(again.body + again.prompt, prompt.toStdString()), 1);
    // Line ends are never sent: the console's CR and LF do not mean what a terminal expects.
    QVERIFY(whole.find_first_of("\r\n") == std::string::npos);
}

void TestSimScreens::monitorParserReadsWhatWasPainted_data()
{
    QTest::addColumn<bool>("swapped");
    QTest::addColumn<uint>("seed");
    QTest::newRow("B1 on row 6") << false << 11u;
    QTest::newRow("B1 on row 7") << true << 12u;
}

void TestSimScreens::monitorParserReadsWhatWasPainted()
{
    QFETCH(bool, swapped);
    QFETCH(uint, seed);
    const auto address = [](const RouterModel &model, int at) {
        const auto &p = model.trigger();
        return std::to_string(p[at]) + "." + std::to_string(p[at + 1]) + "." + std::to_string(p[at + 2]) + "." +
               std::to_string(p[at + 3]);
    };
    RouterModel model(seed);
    TConsoleScreen screen;
    std::string buffer;
    TChannelStatus B1;
    TChannelStatus B2;
    TRouterStatus router;
    screen.DrawChunk(buffer, paintSystemInfo(model, {}).body);
    ParseScreen(screen, true, B1, B2, router);
    QCOMPARE(router.Name, model.systemName());
    QCOMPARE(router.Firmware, model.firmware());
    QCOMPARE(router.IPAddress, model.ipAddress());

    std::set<std::string> links;
    std::set<size_t> clidLengths;
    std::set<std::string> triggerSources;
    for (int second = 0; second < 4000; ++second) {
        model.stepSecond();
        screen.DrawChunk(buffer, paintStatus(model, {}, {}, swapped).body);
        ParseScreen(screen, true, B1, B2, router);
        for (const auto &[index, record] : {std::pair<int, TChannelStatus *>{0, &B1}, {1, &B2}}) {
            const ChannelModel &channel = model.channel(index);
            const bool inCall = channel.state == LineState::Data || channel.state == LineState::Voice;
            QCOMPARE(record->Link, model.stateWord(index));
            QCOMPARE(record->Speed, model.speed(index));
            QCOMPARE(record->TX, channel.tx);
            QCOMPARE(record->RX, channel.rx);
            QCOMPARE(record->Errors, channel.errors);
            QCOMPARE(record->CLU, channel.clu);
            QCOMPARE(record->ALU, channel.alu);
            QCOMPARE(record->UpTime, formatDuration(inCall ? channel.upSeconds : 0));
            QCOMPARE(record->IP, channel.ip.empty() ? std::string("0.0.0.0") : channel.ip);
            QCOMPARE(record->CLID, channel.clid);
            QVERIFY(record->CLU >= 0 && record->CLU <= 100 && record->ALU >= 0 && record->ALU <= 100);
            QVERIFY(record->Link.size() <= 10);
            QVERIFY(record->CLID.empty() || inCall);
            links.insert(record->Link.starts_with("64K/") ? "data" : record->Link);
            if (!record->CLID.empty())
                clidLengths.insert(record->CLID.size());
        }
        QCOMPARE(router.LANStatus, model.lanStatus());
        QCOMPARE(router.LANSent, model.lanSent());
        QCOMPARE(router.LANReceived, model.lanReceived());
        QCOMPARE(router.LANCollisions, model.lanCollisions());
        QCOMPARE(router.TotalOutcallTime, formatDuration(model.outcallSeconds()));
        QCOMPARE(router.TriggerSrcIP, address(model, 12));
        QCOMPARE(router.TriggerDestIP, address(model, 16));
        QCOMPARE(router.TriggerSrcPort, model.trigger()[20] * 256 + model.trigger()[21]);
        QCOMPARE(router.TriggerDestPort, model.trigger()[22] * 256 + model.trigger()[23]);
        triggerSources.insert(router.TriggerSrcIP + ":" + std::to_string(router.TriggerSrcPort));
        // The dump is a real IPv4 header: its checksum adds up.
        uint32_t sum = 0;
        for (int i = 0; i < 20; i += 2)
            sum += static_cast<uint32_t>(model.trigger()[i] << 8 | model.trigger()[i + 1]);
        QCOMPARE((sum & 0xffff) + (sum >> 16), 0xffffu);
    }
    // Over an hour the screen shows every kind of line state, both caller-ID forms and new calls.
    QCOMPARE(links, (std::set<std::string>{"Down", "Idle", "Voice", "data"}));
    QCOMPARE(clidLengths, (std::set<size_t>{7, 10}));
    QVERIFY(triggerSources.size() > 10);
}

void TestSimScreens::dropsAndResetAffectOnlyTheirChannel()
{
    RouterModel model(9);
    model.startCall(0, LineState::Data, "");
    model.startCall(1, LineState::Voice, "5551234");
    model.stepSecond();
    model.drop(1);
    QCOMPARE(model.stateWord(1), std::string("Idle"));
    QVERIFY(model.channel(1).clid.empty());
    QCOMPARE(model.channel(0).state, LineState::Data);
    for (int i = 0; i < 4; ++i) { // a dropped line stays quiet for a few seconds
        model.stepSecond();
        QCOMPARE(model.channel(1).state, LineState::Idle);
    }
    model.resetCounters();
    QCOMPARE(model.channel(0).tx + model.channel(0).rx + model.channel(0).errors, int64_t(0));
    QCOMPARE(model.lanSent() + model.lanReceived() + model.lanCollisions(), int64_t(0));
    model.startCall(1, LineState::Data, "0123456789");
    model.dropAll();
    QCOMPARE(model.channel(0).state, LineState::Idle);
    QCOMPARE(model.channel(1).state, LineState::Idle);
}

void TestSimScreens::scriptLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("error"); // empty: the line is accepted
    const char *const rows[][3] = {
        {"comment", "  # interval-ms 5", ""},
        {"interval", "interval-ms 200", ""},
        {"interval too small", "interval-ms 5", "t.script:1: interval-ms must be a number from 10"},
        {"quoted text", "set b1.clid \" 12 \"", ""},
        {"bad number is fine", "set b1.clu 1%2", ""},
        {"unknown field", "set b3.clu 1", "unknown field 'b3.clu'"},
        {"bad address", "set trigger.src 300.1.1.1", "dotted address"},
        {"bad port", "set trigger.dport 65536", "port from 0 to 65535"},
        {"split", "split-prompt 24.2 3 0", ""},
        {"split status", "split-prompt 24.1", "no prompt"},
        {"unknown screen", "close-mid-screen 25 10", "unknown screen '25'"},
        {"call", "call b2 voice 0123456789", ""},
        {"idle with caller", "call b1 idle 555", "only data and voice"},
        {"trailing word", "hold now", "unexpected 'now'"},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2];
    QTest::newRow("overlong line") << QString(5000, 'x') << "longer than 4096";
}

void TestSimScreens::scriptLines()
{
    QFETCH(QString, line);
    QFETCH(QString, error);
    std::vector<std::string> errors;
    const SimScript script = readScript(line.toStdString() + "\n", errors);
    if (error.isEmpty()) {
        QVERIFY2(errors.empty(), errors.empty() ? "" : errors.front().c_str());
    } else {
        QCOMPARE(errors.size(), size_t(1));
        QVERIFY2(errors.front().find(error.toStdString()) != std::string::npos, errors.front().c_str());
    }
    if (line.startsWith("set b1.clid"))
        QCOMPARE(script.fields.at("b1.clid"), std::string(" 12 "));
    if (line.startsWith("split-prompt 24.2 ")) {
        QCOMPARE(script.splits.size(), size_t(1));
        QCOMPARE(script.splits[0].at, 3);
        QCOMPARE(script.splits[0].times, 0);
    }
}

void TestSimScreens::scriptReportsEveryBadLine()
{
    std::vector<std::string> errors;
    const SimScript script = readScript("live off\nlive maybe\n\nswap-rows please\npassword  two words \n", errors);
    QCOMPARE(errors.size(), size_t(2));
    QVERIFY(errors[0].starts_with("t.script:2: "));
    QVERIFY(errors[1].starts_with("t.script:4: "));
    QVERIFY(!script.live);
    QVERIFY(!script.swapRows);
    QCOMPARE(script.password.value_or(""), std::string("two words"));
}

QTEST_GUILESS_MAIN(TestSimScreens)
#include "tst_simscreens.moc"
