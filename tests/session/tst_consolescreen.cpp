// SPDX-License-Identifier: MIT
// The virtual console screen: scripts of console bytes in, screen and cursor out, whole, split at
// every point and one byte at a time; the tokeniser's cuts; the hostile cases (cursor values far
// off the grid, endless CRs, escape sequences that never end, numbers that overflow).
#include "consolescreen.h"
#include "convert.h"

#include <string>
#include <vector>

#include <QFile>
#include <QTest>

namespace {

QByteArray readFixture(const QString &name)
{
    QFile file(QStringLiteral(LW_TEST_DATA_DIR "/session/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

std::string bytes(const QByteArray &a)
{
    return std::string(a.constData(), static_cast<size_t>(a.size()));
}

// The screen and cursor in the fixtures' form: 24 rows, then "cursor <row> <col>".
QByteArray dump(const TConsoleScreen &screen)
{
    const std::string text = screen.Text();
    return QByteArray(text.data(), static_cast<qsizetype>(text.size())) +
           QStringLiteral("cursor %1 %2\n").arg(screen.CursorRow).arg(screen.CursorCol).toLatin1();
}

QByteArray row(const TConsoleScreen &screen, int r)
{
    const std::string_view v = screen.Row(r);
    return QByteArray(v.data(), static_cast<qsizetype>(v.size()));
}

void feed(TConsoleScreen &screen, std::string &buffer, const std::string &chunk)
{
    screen.DrawChunk(buffer, chunk);
}

const std::string kEsc = "\x1b";

} // namespace

class TestConsoleScreen : public QObject
{
    Q_OBJECT

private slots:
    void goldenStreams_data();
    void goldenStreams();
    void drawing_data();
    void drawing();
    void tokens_data();
    void tokens();
    void conversionErrors_data();
    void conversionErrors();
    void conversionErrorKeepsRestOfChunk();
    void hostileCursor_data();
    void hostileCursor();
    void endlessReturnsNeverWrap();
    void directlySetCursorIsClampedBeforeDrawing();
    void escapeLengthCap_data();
    void escapeLengthCap();
    void unterminatedEscapeWithMegabyteOfDigits();
    void newConnectionForgetsDiscardedSequence();
    void fastPathMatchesTokenPath_data();
    void fastPathMatchesTokenPath();
    void fastPathMatchesTokenPathOnRandomStreams();
};

void TestConsoleScreen::goldenStreams_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("status screen, painted bottom-up") << "menu24_1";
    QTest::newRow("system information screen") << "menu24_2_1";
    QTest::newRow("reversed CR/LF, wrap and scroll") << "textflow";
}

// The same bytes give the same screen however the network cuts them.
void TestConsoleScreen::goldenStreams()
{
    QFETCH(QString, name);
    const std::string stream = bytes(readFixture(name + ".bin"));
    const QByteArray expected = readFixture(name + ".screen");

    {
        TConsoleScreen screen;
        std::string buffer;
        feed(screen, buffer, stream);
        QCOMPARE(dump(screen), expected);
        QVERIFY(buffer.empty());
    }
    {
        TConsoleScreen screen;
        std::string buffer;
        for (char c : stream)
            feed(screen, buffer, std::string(1, c));
        QCOMPARE(dump(screen), expected);
        QVERIFY(buffer.empty());
    }
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        TConsoleScreen screen;
        std::string buffer;
        feed(screen, buffer, stream.substr(0, cut));
        feed(screen, buffer, stream.substr(cut));
        if (dump(screen) != expected)
            QFAIL(qPrintable(QStringLiteral("split at byte %1 draws a different screen").arg(cut)));
    }
}

void TestConsoleScreen::drawing_data()
{
    // Chunks separated by "|", drawn from a cursor start; then text expected at a row and column,
    // and the cursor.
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("startRow");
    QTest::addColumn<int>("startCol");
    QTest::addColumn<int>("checkRow");
    QTest::addColumn<int>("checkCol");
    QTest::addColumn<QByteArray>("checkText");
    QTest::addColumn<int>("cursorRow");
    QTest::addColumn<int>("cursorCol");
    QTest::addColumn<int>("drawn"); // non-blank cells on the whole screen afterwards

    QTest::newRow("position then text") << QByteArray("\x1b[5;10HHello") << 1 << 1 << 5 << 10 << QByteArray("Hello")
                                        << 5 << 15 << 5;
    QTest::newRow("wrap at column 80") << QByteArray("ABC") << 3 << 79 << 3 << 79 << QByteArray("AB") << 4 << 2 << 3;
    QTest::newRow("wrapped character on the next row")
        << QByteArray("ABC") << 3 << 79 << 4 << 1 << QByteArray("C ") << 4 << 2 << 3;
    QTest::newRow("position split inside the sequence")
        << QByteArray("\x1b[1|2;5HZ") << 1 << 1 << 12 << 5 << QByteArray("Z") << 12 << 6 << 1;
    QTest::newRow("text split inside a run")
        << QByteArray("\x1b[2;3HHel|lo") << 1 << 1 << 2 << 3 << QByteArray("Hello") << 2 << 8 << 5;
    QTest::newRow("split between ESC and bracket")
        << QByteArray("x\x1b|[7;7Hy") << 1 << 1 << 7 << 7 << QByteArray("y") << 7 << 8 << 2;
    QTest::newRow("empty position changes nothing")
        << QByteArray("\x1b[Hq") << 9 << 9 << 9 << 9 << QByteArray("q") << 9 << 10 << 1;
    QTest::newRow("lone number is the column")
        << QByteArray("\x1b[7Hq") << 9 << 9 << 9 << 7 << QByteArray("q") << 9 << 8 << 1;
    QTest::newRow("empty row part keeps the row")
        << QByteArray("\x1b[;20Hq") << 9 << 9 << 9 << 20 << QByteArray("q") << 9 << 21 << 1;
    QTest::newRow("empty column part keeps the column")
        << QByteArray("\x1b[4;Hq") << 9 << 9 << 4 << 9 << QByteArray("q") << 4 << 10 << 1;
    QTest::newRow("CR moves down, LF back to column 1")
        << QByteArray("ab\rc\nd") << 2 << 5 << 3 << 1 << QByteArray("d   ") << 3 << 2 << 4;
    QTest::newRow("CR alone keeps the column")
        << QByteArray("ab\rc") << 2 << 5 << 3 << 7 << QByteArray("c") << 3 << 8 << 3;
    QTest::newRow("BS at column 1 stays") << QByteArray("\b\bx") << 6 << 1 << 6 << 1 << QByteArray("x") << 6 << 2 << 1;
    QTest::newRow("BS steps back over a character")
        << QByteArray("ab\bc") << 6 << 1 << 6 << 1 << QByteArray("ac ") << 6 << 3 << 2;
    QTest::newRow("TAB and BEL do not move") << QByteArray("a\t\x07"
                                                           "b")
                                             << 6 << 1 << 6 << 1 << QByteArray("ab") << 6 << 3 << 2;
    QTest::newRow("other control bytes are drawn") << QByteArray("a\x01\x7f\xff"
                                                                 "b",
                                                                 5)
                                                   << 6 << 1 << 6 << 1
                                                   << QByteArray("a\x01\x7f\xff"
                                                                 "b",
                                                                 5)
                                                   << 6 << 6 << 5;
    QTest::newRow("ignored sequences leave grid and cursor") << QByteArray("\x1b[0m\x1b[K\x1b[?25l\x1b"
                                                                           "7\x1b"
                                                                           "c\x1b[1;24r\x1b[2A\x1b"
                                                                           "8z")
                                                             << 8 << 8 << 8 << 8 << QByteArray("z") << 8 << 9 << 1;
    QTest::newRow("7 after a bracket is a parameter")
        << QByteArray("\x1b[7mz") << 8 << 8 << 8 << 8 << QByteArray("z") << 8 << 9 << 1;
    QTest::newRow("17 and more attribute parameters")
        << QByteArray("\x1b[0;1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20mz") << 8 << 8 << 8 << 8
        << QByteArray("z") << 8 << 9 << 1;
    QTest::newRow("leading zeros") << QByteArray("\x1b[0003;0004Hq") << 1 << 1 << 3 << 4 << QByteArray("q") << 3 << 5
                                   << 1;
}

void TestConsoleScreen::drawing()
{
    QFETCH(QByteArray, script);
    QFETCH(int, startRow);
    QFETCH(int, startCol);
    QFETCH(int, checkRow);
    QFETCH(int, checkCol);
    QFETCH(QByteArray, checkText);
    QFETCH(int, cursorRow);
    QFETCH(int, cursorCol);

    TConsoleScreen screen;
    screen.CursorRow = startRow;
    screen.CursorCol = startCol;
    std::string buffer;
    for (const QByteArray &chunk : script.split('|'))
        feed(screen, buffer, bytes(chunk));
    QCOMPARE(row(screen, checkRow).mid(checkCol - 1, checkText.size()), checkText);
    QCOMPARE(screen.CursorRow, cursorRow);
    QCOMPARE(screen.CursorCol, cursorCol);
    QVERIFY(buffer.empty());
    // Nothing else on the screen was touched.
    QFETCH(int, drawn);
    int written = 0;
    for (int r = 1; r <= 24; ++r)
        for (char c : row(screen, r))
            written += c != ' ';
    QCOMPARE(written, drawn);
}

void TestConsoleScreen::tokens_data()
{
    // Input, then the tokens NextToken returns until it returns empty, joined by "|", and what is
    // left in the buffer.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("tokens");
    QTest::addColumn<QByteArray>("rest");

    QTest::newRow("text, sequence, text")
        << QByteArray("abc\x1b[1;2Hdef") << QByteArray("abc|\x1b[1;2H|def") << QByteArray();
    QTest::newRow("text stops before ESC") << QByteArray("ab\x1b[K") << QByteArray("ab|\x1b[K") << QByteArray();
    QTest::newRow("7 ends a sequence without bracket") << QByteArray("\x1b"
                                                                     "7x")
                                                       << QByteArray("\x1b"
                                                                     "7|x")
                                                       << QByteArray();
    QTest::newRow("8 inside a bracketed sequence does not end it")
        << QByteArray("\x1b[38;5;1mx") << QByteArray("\x1b[38;5;1m|x") << QByteArray();
    QTest::newRow("second ESC ends the sequence and belongs to it")
        << QByteArray("\x1b(\x1b[2J") << QByteArray("\x1b(\x1b|[2J") << QByteArray();
    QTest::newRow("unfinished sequence stays") << QByteArray("ab\x1b[12") << QByteArray("ab") << QByteArray("\x1b[12");
    QTest::newRow("lone ESC stays") << QByteArray("\x1b") << QByteArray() << QByteArray("\x1b");
    QTest::newRow("every final character")
        << QByteArray(
               "\x1b[A\x1b[B\x1b[C\x1b[D\x1b[E\x1b[H\x1b[J\x1b[K\x1b[M\x1b[c\x1b[f\x1b[g\x1b[h\x1b[l\x1b[m\x1b[r")
        << QByteArray("\x1b[A|\x1b[B|\x1b[C|\x1b[D|\x1b[E|\x1b[H|\x1b[J|\x1b[K|\x1b[M|\x1b[c|\x1b[f|\x1b[g|\x1b[h|"
                      "\x1b[l|\x1b[m|\x1b[r")
        << QByteArray();
}

void TestConsoleScreen::tokens()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, tokens);
    QFETCH(QByteArray, rest);

    TConsoleScreen screen;
    std::string buffer = bytes(input);
    QList<QByteArray> got;
    for (std::string token = screen.NextToken(buffer); !token.empty(); token = screen.NextToken(buffer))
        got.append(QByteArray::fromStdString(token));
    QCOMPARE(got.join('|'), tokens);
    QCOMPARE(QByteArray::fromStdString(buffer), rest);
}

void TestConsoleScreen::conversionErrors_data()
{
    QTest::addColumn<QByteArray>("sequence");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("cursorRow"); // the row is stored before the column is converted

    QTest::newRow("letter as row") << QByteArray("\x1b[x;1H") << "'x' is not a valid integer value" << 9;
    QTest::newRow("letter as column") << QByteArray("\x1b[3;1xH") << "'1x' is not a valid integer value" << 3;
    QTest::newRow("17 position parameters")
        << QByteArray("\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17H")
        << "'2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17' is not a valid integer value" << 1;
    QTest::newRow("row beyond 32 bits") << QByteArray("\x1b[99999999999;1H")
                                        << "'99999999999' is not a valid integer value" << 9;
    QTest::newRow("column beyond 32 bits")
        << QByteArray("\x1b[5;2147483648H") << "'2147483648' is not a valid integer value" << 5;
    QTest::newRow("private mode on erase") << QByteArray("\x1b[?J") << "'?' is not a valid integer value" << 9;
}

void TestConsoleScreen::conversionErrors()
{
    QFETCH(QByteArray, sequence);
    QFETCH(QString, message);
    QFETCH(int, cursorRow);

    TConsoleScreen screen;
    screen.CursorRow = 9;
    screen.CursorCol = 9;
    try {
        screen.HandleEscape(bytes(sequence));
        QFAIL("no conversion error");
    } catch (const EConvertError &e) {
        QCOMPARE(QString::fromLatin1(e.what()), message);
    }
    QCOMPARE(screen.CursorRow, cursorRow);
    QCOMPARE(screen.CursorCol, 9);
}

// The offending token is dropped, the text after it waits for the next chunk.
void TestConsoleScreen::conversionErrorKeepsRestOfChunk()
{
    TConsoleScreen screen;
    std::string buffer;
    QVERIFY_THROWS_EXCEPTION(EConvertError, feed(screen, buffer, "A\x1b[x;1HB\x1b[2;2HC"));
    QCOMPARE(row(screen, 1).left(2), QByteArray("A "));
    QCOMPARE(QByteArray::fromStdString(buffer), QByteArray("B\x1b[2;2HC"));
    feed(screen, buffer, "");
    QCOMPARE(row(screen, 1).left(3), QByteArray("AB "));
    QCOMPARE(row(screen, 2).left(3), QByteArray(" C "));
    QVERIFY(buffer.empty());

    // Only the first parameter character of an erase counts.
    screen.HandleEscape("\x1b[2xJ");
    QCOMPARE(row(screen, 1), QByteArray(80, ' '));
}

void TestConsoleScreen::hostileCursor_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("col");
    QTest::addColumn<bool>("scrolls");

    // Where the next character lands. Anything past the edge behaves like one past it: a single
    // wrap, a single scroll.
    QTest::newRow("row and column 0") << QByteArray("\x1b[0;0HX") << 1 << 1 << false;
    QTest::newRow("negative") << QByteArray("\x1b[-5;-7HX") << 1 << 1 << false;
    QTest::newRow("999;999") << QByteArray("\x1b[999;999HX") << 24 << 1 << true;
    QTest::newRow("255;255") << QByteArray("\x1b[255;255HX") << 24 << 1 << true;
    QTest::newRow("99999 row") << QByteArray("\x1b[99999;5HX") << 24 << 5 << true;
    QTest::newRow("largest 32-bit values") << QByteArray("\x1b[2147483647;2147483647HX") << 24 << 1 << true;
    QTest::newRow("column 81 wraps") << QByteArray("\x1b[10;81HX") << 11 << 1 << false;
    QTest::newRow("column 300 wraps once") << QByteArray("\x1b[10;300HX") << 11 << 1 << false;
    QTest::newRow("row 25 scrolls once") << QByteArray("\x1b[25;3HX") << 24 << 3 << true;
}

void TestConsoleScreen::hostileCursor()
{
    QFETCH(QByteArray, script);
    QFETCH(int, row);
    QFETCH(int, col);

    TConsoleScreen screen;
    std::string buffer;
    // A marker on row 1 shows whether the screen scrolled, and how far.
    feed(screen, buffer, "\x1b[1;40HM\x1b[2;40HN");
    feed(screen, buffer, bytes(script));
    QFETCH(bool, scrolls);
    QCOMPARE(::row(screen, row).at(col - 1), 'X');
    QCOMPARE(::row(screen, 1).at(39), scrolls ? 'N' : 'M');
    QVERIFY(screen.CursorRow >= 1 && screen.CursorRow <= 24);
    QVERIFY(screen.CursorCol >= 2 && screen.CursorCol <= 81);
}

// 100,000 CRs: the row stops one past the bottom rather than running on or wrapping (as a byte
// would at 256), and the next character scrolls exactly once.
void TestConsoleScreen::endlessReturnsNeverWrap()
{
    TConsoleScreen screen;
    std::string buffer;
    feed(screen, buffer, "top\x1b[2;1Hsecond\x1b[5;5H");
    feed(screen, buffer, std::string(100000, '\r'));
    QCOMPARE(screen.CursorRow, 25);
    feed(screen, buffer, "x");
    QCOMPARE(row(screen, 1).left(6), QByteArray("second"));
    QCOMPARE(row(screen, 24).at(4), 'x');
    QCOMPARE(screen.CursorRow, 24);
    QCOMPARE(screen.CursorCol, 6);
}

void TestConsoleScreen::directlySetCursorIsClampedBeforeDrawing()
{
    TConsoleScreen screen;
    screen.CursorRow = -3;
    screen.CursorCol = 100000;
    screen.PutText("ab");
    // Column past the edge wraps from row 1 to row 2.
    QCOMPARE(row(screen, 2).left(2), QByteArray("ab"));
    screen.CursorRow = 1000000;
    screen.CursorCol = 0;
    screen.PutText("z");
    QCOMPARE(row(screen, 24).at(0), 'z');
}

void TestConsoleScreen::escapeLengthCap_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("honoured");
    QTest::newRow("just under the cap") << int(kMaxEscapeLength - 1) << true;
    QTest::newRow("at the cap") << int(kMaxEscapeLength) << true;
    QTest::newRow("one over the cap") << int(kMaxEscapeLength + 1) << false;
    QTest::newRow("far over the cap") << int(4 * kMaxEscapeLength) << false;
}

// A position sequence padded with leading zeros to a given total length: within the cap it is
// honoured, beyond it it is dropped whole (its final character included) and drawing goes on.
void TestConsoleScreen::escapeLengthCap()
{
    QFETCH(int, length);
    QFETCH(bool, honoured);
    const std::string sequence = "\x1b[" + std::string(static_cast<size_t>(length) - 6, '0') + "7;7H";
    QCOMPARE(sequence.size(), size_t(length));

    for (size_t step : {sequence.size() + 2, size_t(1), size_t(100)}) {
        TConsoleScreen screen;
        std::string buffer;
        const std::string stream = sequence + "z";
        for (size_t at = 0; at < stream.size(); at += step) {
            feed(screen, buffer, stream.substr(at, step));
            QVERIFY(buffer.size() <= kMaxEscapeLength);
        }
        if (honoured)
            QCOMPARE(row(screen, 7).at(6), 'z');
        else
            QCOMPARE(row(screen, 1).at(0), 'z');
        QVERIFY(buffer.empty());
    }
}

// ESC [ and a megabyte of digits in network-sized chunks: the buffer never holds more than the
// cap, nothing is drawn, no conversion of a million digits is tried, and the sequence's final
// character ends the skipping.
void TestConsoleScreen::unterminatedEscapeWithMegabyteOfDigits()
{
    TConsoleScreen screen;
    std::string buffer;
    feed(screen, buffer, "\x1b[3;4H\x1b[");
    const std::string digits(1460, '7');
    for (int i = 0; i < 1 << 20; i += 1460) {
        feed(screen, buffer, digits);
        QVERIFY(buffer.size() <= kMaxEscapeLength);
    }
    QCOMPARE(screen.Text(), TConsoleScreen().Text());
    QCOMPARE(screen.CursorRow, 3);
    QCOMPARE(screen.CursorCol, 4);

    feed(screen, buffer, ";9Hafter");
    QCOMPARE(row(screen, 3).mid(3, 5), QByteArray("after"));
    QVERIFY(buffer.empty());

    // All of it in one chunk, too.
    TConsoleScreen whole;
    std::string wholeBuffer;
    feed(whole, wholeBuffer, "\x1b[" + std::string(1 << 20, '1') + "Hafter");
    QCOMPARE(row(whole, 1).left(5), QByteArray("after"));
    QVERIFY(wholeBuffer.empty());
}

void TestConsoleScreen::newConnectionForgetsDiscardedSequence()
{
    TConsoleScreen screen;
    std::string buffer;
    feed(screen, buffer, "\x1b[" + std::string(kMaxEscapeLength * 2, '0'));
    QVERIFY(buffer.empty());
    buffer.clear();
    screen.ResetInput();
    feed(screen, buffer, "Password:");
    QCOMPARE(row(screen, 1).left(9), QByteArray("Password:"));
}

namespace {

// What feeding a stream in the given chunks leaves: screen, cursor, pending bytes and the messages
// of the conversion errors on the way (each error drops its token; the rest is fed again).
struct Outcome
{
    std::string text;
    int row = 0;
    int col = 0;
    std::string pending;
    std::vector<std::string> errors;
    bool operator==(const Outcome &) const = default;
};

Outcome drawStream(std::string_view stream, size_t chunkSize, bool tokenByToken, int startRow = 1, int startCol = 1)
{
    TConsoleScreen screen;
    screen.CursorRow = startRow; // set from outside, perhaps off the grid
    screen.CursorCol = startCol;
    std::string buffer;
    Outcome out;
    size_t tokens = 0;
    const auto count = [&tokens](std::string_view) { ++tokens; };
    for (size_t at = 0; at <= stream.size(); at += chunkSize) {
        std::string_view chunk = stream.substr(at, chunkSize);
        for (;;) {
            try {
                if (tokenByToken)
                    screen.DrawChunk(buffer, chunk, count); // a listener makes it cut every token
                else
                    screen.DrawChunk(buffer, chunk);
                break;
            } catch (const EConvertError &e) {
                out.errors.emplace_back(e.what());
                chunk = {};
            }
        }
    }
    out.text = screen.Text();
    out.row = screen.CursorRow;
    out.col = screen.CursorCol;
    out.pending = buffer;
    return out;
}

} // namespace

// Without a token listener the screen draws straight through the usual text and sequences and
// leaves the rest to the tokeniser; the screen must come out the same either way, for every cut.
void TestConsoleScreen::fastPathMatchesTokenPath_data()
{
    QTest::addColumn<QByteArray>("stream");
    const auto add = [](const char *name, const std::string &s) {
        QTest::newRow(name) << QByteArray(s.data(), static_cast<qsizetype>(s.size()));
    };
    add("positions", "\x1b[5;10HAB\x1b[;3HC\x1b[7;HD\x1b[12HE\x1b[HF\x1b[0;0HG\x1b[99;999HH");
    add("five digits", "\x1b[12345;00001HX\x1b[00002;3HY\x1b[0000000000000000000009;9HZ");
    add("ignored sequences", "\x1b[?25l\x1b[0m\x1b[1mA\x1b[K\x1b[2K\x1b[3;4rB\x1b[5;5\x1b"
                             "C\x1b(BD\x1b"
                             "7E\x1b"
                             "8F\x1b[7;8H");
    add("erase", "XYZ\x1b[2J\x1b[1;1HA\x1b[J\x1b[0JB\x1b[2xJ");
    add("bad numbers", "A\x1b[x;1HB\x1b[1;2;3HC\x1b[-1;5HD\x1b[+2HE\x1b[2;99999999999HF\x1b[;J\x1b[?J");
    add("controls", std::string("ab\x07"
                                "c\x09"
                                "d\x08\x08"
                                "e\rf\ng\0h\x01\x0b\x0c\x7f\x80\xff",
                                21) +
                        std::string(100, 'w'));
    add("wrap and scroll", std::string(24 * 80 + 5, 'x') + "\r\r\r\ry" + std::string(3000, '\r') + "z");
    add("over-long", "\x1b[" + std::string(300, '1') + "HA\x1b" + std::string(255, ';') + "m" + "B\x1b[" +
                         std::string(254, '2') + "HC\x1b[" + std::string(253, '3') + "H");
    add("unfinished", "A\x1b[1;2");
    add("no text", "\x1b[?25l\x1b[0m\x1b[K");
}

void TestConsoleScreen::fastPathMatchesTokenPath()
{
    QFETCH(QByteArray, stream);
    const std::string_view s(stream.constData(), static_cast<size_t>(stream.size()));
    for (size_t chunk : {s.size() + 1, size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}}) {
        const Outcome fast = drawStream(s, chunk, false);
        const Outcome tokens = drawStream(s, chunk, true);
        QVERIFY2(fast == tokens, qPrintable(QStringLiteral("chunks of %1").arg(chunk)));
    }
    for (const auto &[row, col] : {std::pair{0, 0}, std::pair{1000, -5}, std::pair{-7, 99999}}) {
        const Outcome fast = drawStream(s, s.size() + 1, false, row, col);
        const Outcome tokens = drawStream(s, s.size() + 1, true, row, col);
        QVERIFY2(fast == tokens, qPrintable(QStringLiteral("cursor set to %1;%2").arg(row).arg(col)));
    }
}

void TestConsoleScreen::fastPathMatchesTokenPathOnRandomStreams()
{
    // Streams made of the pieces that matter: digits, separators, finals, controls, ESCs.
    static const std::string_view pieces[] = {"\x1b", "\x1b[", "[",    ";",    "0",
                                              "1",    "7",     "8",    "9",    "24",
                                              "81",   "H",     "J",    "K",    "m",
                                              "?",    "x",     " ",    "Text", "\r",
                                              "\n",   "\x08",  "\x07", "\x09", std::string_view("\0", 1),
                                              "\x80", "12345", "2J"};
    uint32_t seed = 7;
    const auto next = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    for (int round = 0; round < 3000; ++round) {
        std::string stream;
        const uint32_t length = 1 + next(60);
        for (uint32_t i = 0; i < length; ++i)
            stream += pieces[next(std::size(pieces))];
        const size_t chunk = 1 + next(static_cast<uint32_t>(stream.size()) + 1);
        const Outcome fast = drawStream(stream, chunk, false);
        const Outcome tokens = drawStream(stream, chunk, true);
        if (!(fast == tokens))
            QFAIL(qPrintable(QStringLiteral("round %1: %2")
                                 .arg(round)
                                 .arg(QString::fromLatin1(QByteArray::fromStdString(stream).toPercentEncoding()))));
    }
}

QTEST_APPLESS_MAIN(TestConsoleScreen)
#include "tst_consolescreen.moc"
