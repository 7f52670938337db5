// SPDX-License-Identifier: MIT
// One console session of the simulator on a fake clock: the monitor's walk, Enter in its
// several forms, password rejection, split and repeated prompts, hang-ups part-way through a
// screen, and the status screen's command keys.
#include "consolegrid.h"
#include "simsession.h"

#include <QTest>

#include <memory>
#include <random>
#include <sstream>

namespace {

// A session with its script, router and the screen its output paints.
struct Rig
{
    explicit Rig(const std::string &scriptText = "")
    {
        std::istringstream in(scriptText);
        std::vector<std::string> errors;
        script = parseScript(in, "rig", errors);
        if (!errors.empty())
            qFatal("%s", errors.front().c_str());
        for (const ScriptCall &call : script.calls)
            model.startCall(call.channel, call.kind, call.clid);
        session = std::make_unique<SimSession>(model, script, "1234",
                                               [this](const std::string &event) { events.push_back(event); });
        session->start(0);
        take(0);
    }

    std::string take(int64_t now)
    {
        bool closeAfter = false;
        const std::string out = session->takeReady(now, closeAfter);
        closed = closed || closeAfter;
        grid.feed(out);
        return out;
    }

    std::string type(const std::string &bytes, int64_t now = 0)
    {
        session->feed(bytes, now);
        return take(now);
    }

    void walkToStatus()
    {
        for (const char *reply : {"1234\r", "24\r", "1\r"})
            type(reply);
    }

    bool rowHas(int row, const char *text) const { return grid.row(row).find(text) != std::string::npos; }

    SimScript script;
    RouterModel model{1};
    std::vector<std::string> events;
    std::unique_ptr<SimSession> session;
    ConsoleGrid grid;
    bool closed = false;
};

using Events = std::vector<std::string>;

} // namespace

class TestSimSession : public QObject
{
    Q_OBJECT

private slots:
    void monitorWalkReachesStatusScreen();
    void enterCountsOnce_data();
    void enterCountsOnce();
    void wrongPasswordRepromptsThenHangsUp();
    void scriptedRejectionOfTheRightPassword();
    void splitPromptLeavesInTwoWrites();
    void promptRepeatedAfterSilence();
    void closedPartWayThroughARepaint();
    void statusKeysDropAndReset();
    void overlongAndRandomInputIsHarmless();
};

void TestSimSession::monitorWalkReachesStatusScreen()
{
    Rig rig;
    QVERIFY(rig.rowHas(12, "Password: "));
    const std::pair<const char *, const char *> steps[] = {
        {"1234\r", "Main Menu"}, {"24\r", "Menu 24 "}, {"2\r", "Menu 24.2 "}, {"1\r", "Menu 24.2.1"},
        {"\x1b", "Menu 24.2 "},  {"\x1b", "Menu 24 "}, {"1\r", "Menu 24.1"},
    };
    for (const auto &[reply, title] : steps) {
        rig.type(reply);
        QVERIFY2(rig.rowHas(3, title), rig.grid.row(3).c_str());
    }
    QCOMPARE(rig.events, (Events{"screen password", "login ok", "screen main", "screen 24", "screen 24.2",
                                 "screen 24.2.1", "screen 24.2", "screen 24", "screen 24.1"}));
    rig.type("\x1b");
    rig.type("\x1b");
    QCOMPARE(rig.session->screen(), ScreenId::Main);
    QVERIFY(!rig.closed);
}

void TestSimSession::enterCountsOnce_data()
{
    QTest::addColumn<QByteArray>("enter");
    QTest::newRow("CR") << QByteArray("\r");
    QTest::newRow("LF") << QByteArray("\n");
    QTest::newRow("CR LF") << QByteArray("\r\n");
    QTest::newRow("CR NUL") << QByteArray("\r\0", 2);
}

void TestSimSession::enterCountsOnce()
{
    QFETCH(QByteArray, enter);
    Rig rig("password-tries 0");
    const std::string key = enter.toStdString();
    rig.type("bad" + key + "1234" + key + "24" + key);
    QCOMPARE(rig.events, (Events{"screen password", "login failed", "login ok", "screen main", "screen 24"}));
}

void TestSimSession::wrongPasswordRepromptsThenHangsUp()
{
    Rig rig("password-tries 2");
    const std::string first = rig.type("12345\r");
    QVERIFY(first.find("Password: ") != std::string::npos);
    QVERIFY(first.find("12345") == std::string::npos); // passwords are never echoed
    QVERIFY(!rig.closed);
    rig.type("abc\r");
    QVERIFY(rig.closed);
    QVERIFY(rig.session->hungUp());
    rig.type("1234\r");
    QCOMPARE(rig.events, (Events{"screen password", "login failed", "login failed"}));
}

void TestSimSession::scriptedRejectionOfTheRightPassword()
{
    Rig rig("password-reject 1");
    rig.type("1234\r");
    rig.type("1234\r");
    QCOMPARE(rig.events, (Events{"screen password", "login failed", "login ok", "screen main"}));
}

void TestSimSession::splitPromptLeavesInTwoWrites()
{
    Rig rig; // the rig has taken the whole first screen already; this one starts its own
    SimScript script;
    script.splits.push_back({ScreenId::Password, 4, 1});
    script.splits.push_back({ScreenId::Main, -1, 1});
    script.splitDelayMs = 150;
    Events events;
    SimSession session(rig.model, script, "1234", [&](const std::string &e) { events.push_back(e); });
    bool closeAfter = false;
    session.start(1000);
    QVERIFY(session.takeReady(1000, closeAfter).ends_with("Pass"));
    QCOMPARE(session.nextWakeMs().value_or(-1), int64_t(1150));
    QCOMPARE(session.takeReady(1149, closeAfter), std::string());
    QCOMPARE(session.takeReady(1150, closeAfter), std::string("word: "));

    // Typing during the gap waits behind the delayed half.
    session.feed("1234\r", 1200);
    QVERIFY(session.takeReady(1200, closeAfter).ends_with("Enter Menu Sel"));
    session.feed("2", 1210);
    QCOMPARE(session.takeReady(1349, closeAfter), std::string());
    QCOMPARE(session.takeReady(1350, closeAfter), std::string("ection Number: 2"));

    // Only the first paint is split: the main menu comes back whole.
    session.feed("4\r\x1b", 1400);
    QVERIFY(session.takeReady(1400, closeAfter).ends_with("Enter Menu Selection Number: "));
}

void TestSimSession::promptRepeatedAfterSilence()
{
    Rig rig("reprompt-ms 1000");
    QCOMPARE(rig.session->nextWakeMs().value_or(-1), int64_t(1000));
    rig.session->wake(999);
    QCOMPARE(rig.take(999), std::string());
    rig.session->wake(1000);
    const std::string again = rig.take(1000);
    QVERIFY(again.ends_with("Password: "));
    QVERIFY(again.find("\x1b[2J") == std::string::npos);
    rig.type("12", 1500); // typing postpones the next repeat
    rig.session->wake(2499);
    QCOMPARE(rig.take(2499), std::string());
    rig.session->wake(2500);
    QVERIFY(rig.take(2500).ends_with("Password: "));
}

void TestSimSession::closedPartWayThroughARepaint()
{
    Rig rig("live off\nclose-mid-screen 24.1 100 2");
    rig.walkToStatus();
    QVERIFY(rig.rowHas(3, "Menu 24.1"));
    QVERIFY(!rig.closed);
    rig.session->tick(5000);
    QCOMPARE(rig.take(5000).size(), size_t(100));
    QVERIFY(rig.closed);
    rig.type("1");
    rig.session->tick(6000);
    QCOMPARE(rig.take(6000), std::string());
    QVERIFY(std::find(rig.events.begin(), rig.events.end(), "command drop-b1") == rig.events.end());
}

void TestSimSession::statusKeysDropAndReset()
{
    Rig rig("live off\nhold\ncall b1 data\ncall b2 voice 5551234");
    rig.walkToStatus();
    QCOMPARE(rig.grid.field(7, 6, 15), std::string("Voice"));
    QCOMPARE(rig.grid.field(15, 49, 59), std::string("5551234"));
    rig.session->tick(1000);
    QCOMPARE(rig.take(1000), std::string()); // held: no repaint by itself

    rig.type("2");
    QCOMPARE(rig.events.back(), std::string("command drop-b2"));
    QCOMPARE(rig.grid.field(7, 6, 15), std::string("Idle"));
    QCOMPARE(rig.grid.field(15, 49, 59), std::string());
    QCOMPARE(rig.grid.field(6, 6, 15), rig.model.stateWord(0));
    QVERIFY(rig.grid.field(6, 6, 15).starts_with("64K/"));

    rig.type("3");
    QCOMPARE(rig.grid.field(6, 23, 33), std::string("0"));
    QCOMPARE(rig.grid.field(13, 16, 28), std::string("0"));
    rig.type("4");
    QCOMPARE(rig.grid.field(6, 6, 15), std::string("Idle"));
    QCOMPARE(rig.type("9x\r"), std::string());
    QCOMPARE(rig.events.back(), std::string("command drop-all"));
}

void TestSimSession::overlongAndRandomInputIsHarmless()
{
    Rig rig("password-tries 0");
    rig.type("1234\r");
    const std::string echo = rig.type(std::string(1000, '7'));
    QCOMPARE(echo, std::string(SimSession::kMaxLine, '7'));
    rig.type("\r");
    QVERIFY(rig.rowHas(22, "not available"));

    std::mt19937 random(4);
    std::string noise(200'000, '\0');
    for (char &c : noise)
        c = static_cast<char>(random());
    for (size_t at = 0; at < noise.size(); at += 997)
        rig.type(noise.substr(at, 997), static_cast<int64_t>(at));
    rig.session->tick(1'000'000);
    rig.take(1'000'000);
}

QTEST_GUILESS_MAIN(TestSimSession)
#include "tst_simsession.moc"
