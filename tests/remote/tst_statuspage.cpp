// SPDX-License-Identifier: MIT
// The status page, the 404 page and the HTTP framing, compared with hand-written expected
// documents and checked for the 25-column table, the escaping of inserted text and the word
// splitting of requests.
#include "statuspage.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <climits>

namespace {

std::string golden(const char *name)
{
    QFile file(QStringLiteral(LW_TEST_DATA_DIR "/remote/") + QString::fromLatin1(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing golden file %s", name);
    std::string text = file.readAll().toStdString();
    // Stored with line feeds for readability; the page itself breaks lines with CR alone.
    for (char &c : text)
        if (c == '\n')
            c = '\r';
    return text;
}

std::string serviceNames(int32_t port)
{
    return port == 25 ? "smtp" : "?";
}

TStatusPageInputs liveInputs()
{
    TStatusPageInputs in;
    in.B1.Link = "PPP";
    in.B1.Speed = 64;
    in.B1.TX = 1234567;
    in.B1.RX = 98765;
    in.B1.Errors = 3;
    in.B1.CLU = 100;
    in.B1.ALU = 50;
    in.B1.UpTime = "0:12:34";
    in.B1.IP = "10.0.0.2";
    in.B1.CLID = "5551234"; // never shown
    in.B2.Link = "Idle";
    in.B2.TX = 1000;
    in.B2.RX = 999;
    in.B2.CLU = 30;
    in.Router.LANStatus = "10M/Half";
    in.Router.LANSent = 5123456789LL;
    in.Router.LANReceived = 1000000;
    in.Router.LANCollisions = 12;
    in.Router.TotalOutcallTime = "12:34:56";
    in.Router.TriggerSrcIP = "10.0.0.33";
    in.Router.TriggerSrcPort = 1025;
    in.Router.TriggerDestIP = "10.9.8.7";
    in.Router.TriggerDestPort = 25;
    in.Router.Name = "office-gw";
    in.Router.Firmware = "V2.50(AP.0) | 06/15/00";
    in.Router.IPAddress = "10.0.0.1";
    for (int i = 0; i <= 90; ++i)
        in.Series1[i] = i;
    in.LookupServiceName = serviceNames;
    return in;
}

TStatusPageInputs colourInputs()
{
    TStatusPageInputs in;
    in.B1.ALU = 95;
    in.B2.ALU = 100;
    for (int i = 1; i <= 45; ++i)
        in.Series1[i] = in.Series2[i] = 100;
    in.B1Colors = {0x0000FF, 0x000000, 0xFF0000, 0x000000};
    in.B2Colors = {0x563412, 0xFFFFFF, 0x00FFFF, 0xFFFFFF};
    return in;
}

TStatusPageInputs gridInputs()
{
    TStatusPageInputs in;
    in.B1.ALU = 9;
    in.B2.ALU = 10;
    const double b1[25] = {89,  90,  90,  90,  90,  90,  90,  90, 90, 90, 100, 100, 100,
                           100, 100, 9.9, 9.9, 9.9, 9.9, 9.9, 10, 10, 10, 10,  10};
    for (int k = 0; k < 25; ++k)
        in.Series1[k + 1] = b1[k];
    const double b2[5] = {50, 50, 50, 50, 49};
    for (int k = 0; k < 5; ++k)
        in.Series2[k + 1] = b2[k];
    for (int i = 86; i <= 90; ++i)
        in.Series2[i] = 100;
    in.Series1[0] = in.Series2[0] = 100;
    return in;
}

// Splits a document into its table rows and adds up the columns each row spans.
std::vector<int> rowWidths(const std::string &doc)
{
    std::vector<int> widths;
    for (size_t row = doc.find("<tr>"); row != std::string::npos; row = doc.find("<tr>", row + 1)) {
        const size_t end = doc.find("</tr>", row);
        if (end == std::string::npos)
            break;
        int width = 0;
        for (size_t cell = doc.find("<td", row); cell < end; cell = doc.find("<td", cell + 1)) {
            const size_t close = doc.find('>', cell);
            const size_t span = doc.find(" colspan=", cell);
            width += span < close ? std::stoi(doc.substr(span + 9, close - span - 9)) : 1;
        }
        widths.push_back(width);
    }
    return widths;
}

} // namespace

class TestStatusPage : public QObject
{
    Q_OBJECT

private slots:
    void wholeDocuments_data();
    void wholeDocuments();
    void oldestSecondNeverShows();
    void pageCounter();
    void pageCounterEdges_data();
    void pageCounterEdges();
    void cachedPageMatchesBuiltPage();
    void insertedTextIsEscaped();
    void colorToHtml_data();
    void colorToHtml();
    void groupThousands_data();
    void groupThousands();
    void usageText_data();
    void usageText();
    void tableRowReadsListsInParallel();
    void notFoundPage();
    void extractWord();
    void httpAnswer();
};

void TestStatusPage::wholeDocuments_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("hitsBefore");

    QTest::newRow("defaults before any data") << "defaults.html" << 0;
    QTest::newRow("auto refresh head") << "refresh.html" << 0;
    QTest::newRow("live record") << "live.html" << 41;
    QTest::newRow("B1 on black, B2 on white, ALU 95 and 100") << "colours.html" << 0;
    QTest::newRow("grid levels, ALU 9 and 10") << "grid.html" << 0;
}

void TestStatusPage::wholeDocuments()
{
    QFETCH(QString, file);
    QFETCH(int, hitsBefore);

    TStatusPageInputs in;
    if (file == "refresh.html") {
        in.WebAutoRefresh = true;
        in.WebAutoRefreshSeconds = "10";
    } else if (file == "live.html") {
        in = liveInputs();
    } else if (file == "colours.html") {
        in = colourInputs();
    } else if (file == "grid.html") {
        in = gridInputs();
    }
    int32_t hits = hitsBefore;
    const std::string doc = BuildStatusPage(in, hits);
    QCOMPARE(hits, hitsBefore + 1);

    const std::string expected = golden(file.toLatin1().constData());
    QCOMPARE(doc.find('\n'), std::string::npos);
    if (doc != expected) {
        const auto diff = std::mismatch(doc.begin(), doc.end(), expected.begin(), expected.end());
        const size_t at = diff.first - doc.begin();
        QFAIL(qPrintable(QString("first difference at byte %1:\n got: %2\nwant: %3")
                             .arg(at)
                             .arg(QString::fromLatin1(doc.substr(at > 40 ? at - 40 : 0, 100)))
                             .arg(QString::fromLatin1(expected.substr(at > 40 ? at - 40 : 0, 100)))));
    }

    // 12 rows per channel, 2 spacers, 5 Ethernet rows; every one spans the 25 columns.
    const std::vector<int> widths = rowWidths(doc);
    QCOMPARE(widths.size(), size_t(31));
    for (size_t k = 0; k < widths.size(); ++k)
        QVERIFY2(widths[k] == 25, qPrintable(QString("row %1 spans %2 columns").arg(k + 1).arg(widths[k])));
}

void TestStatusPage::oldestSecondNeverShows()
{
    TStatusPageInputs in = gridInputs();
    int32_t hits = 0;
    const std::string withOld = BuildStatusPage(in, hits);
    in.Series1[0] = 0;
    in.Series2[0] = 55;
    hits = 0;
    QCOMPARE(BuildStatusPage(in, hits), withOld);
}

void TestStatusPage::pageCounter()
{
    TStatusPageInputs in;
    int32_t hits = 0;
    const std::string endOfFirst = "Accessed 1 times.</font>\r</font>\r</body>\r</html>";
    QVERIFY(BuildStatusPage(in, hits).ends_with(endOfFirst));
    QVERIFY(BuildStatusPage(in, hits).ends_with("Accessed 2 times.</font>\r</font>\r</body>\r</html>"));
    QCOMPARE(hits, 2);

    // The counter is never reset; past the top of its range it wraps instead of overflowing.
    hits = INT32_MAX;
    QVERIFY(BuildStatusPage(in, hits).ends_with("Accessed -2147483648 times.</font>\r</font>\r</body>\r</html>"));
}

void TestStatusPage::pageCounterEdges_data()
{
    // Ten years of a page refreshed every second by one browser is 315 million pages; the
    // counter's whole cycle (4,294,967,296 pages, as status.json and /metrics read it) comes
    // after a century of that. Its edges: signed on the page, then around to 0.
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("shown");
    QTest::newRow("first page") << 0 << 1 << "1";
    QTest::newRow("last positive") << INT32_MAX - 1 << INT32_MAX << "2147483647";
    QTest::newRow("past the top") << INT32_MAX << INT32_MIN << "-2147483648";
    QTest::newRow("end of the cycle") << -2 << -1 << "-1";
    QTest::newRow("round to zero") << -1 << 0 << "0";
}

void TestStatusPage::pageCounterEdges()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(QString, shown);
    int32_t hits = before;
    const std::string page = BuildStatusPage(TStatusPageInputs{}, hits);
    QCOMPARE(hits, after);
    QVERIFY(page.ends_with("Accessed " + shown.toStdString() + " times.</font>\r</font>\r</body>\r</html>"));
}

void TestStatusPage::cachedPageMatchesBuiltPage()
{
    TStatusPageCache cache;
    TStatusPageInputs in = liveInputs();
    int32_t cachedHits = 0;
    int32_t builtHits = 0;
    const auto same = [&](uint64_t generation) {
        const std::string cached = cache.Document(in, generation, cachedHits);
        return cached == BuildStatusPage(in, builtHits) && cachedHits == builtHits;
    };
    // The counter's width changes under the kept text, and it wraps.
    for (const int32_t start : {0, 8, 98, 999999, INT32_MAX - 1, -2}) {
        cachedHits = builtHits = start;
        for (int k = 0; k < 3; ++k)
            QVERIFY2(same(1), qPrintable(QString("counter from %1, request %2").arg(start).arg(k + 1)));
    }
    // A change of the record, the histories, the colours or the settings shows at once.
    in.B1.TX += 1;
    QVERIFY(same(1));
    in.Router.Name = "other-gw";
    QVERIFY(same(1));
    in.Series2[90] = 42;
    QVERIFY(same(1));
    in.B2Colors.ALUColor = 0x123456;
    QVERIFY(same(1));
    in.WebAutoRefresh = true;
    QVERIFY(same(1));
    // What the functions give is asked again with the next generation.
    in.LookupServiceName = [](int32_t) { return std::string("mail"); };
    QVERIFY(same(2));
    QVERIFY(cache.Document(in, 2, cachedHits).find("[mail]") != std::string::npos);
}

void TestStatusPage::insertedTextIsEscaped()
{
    TStatusPageInputs in;
    in.Router.Name = "<script>alert(\"gw\")</script> & Co";
    in.Router.IPAddress = "1.2.3.4\"";
    in.Router.Firmware = "<b>V2</b>";
    in.Router.LANStatus = "<i>";
    in.Router.TriggerDestIP = "a&b";
    in.B2.Link = "<blink>";
    in.LookupServiceName = [](int32_t) { return std::string("<svc>"); };
    int32_t hits = 0;
    const std::string doc = BuildStatusPage(in, hits);

    const std::string name = "&lt;script&gt;alert(&quot;gw&quot;)&lt;/script&gt; &amp; Co";
    QVERIFY(doc.find("<title>" + name + " (1.2.3.4&quot;) - Brelwick Router Monitor</title>") != std::string::npos);
    QVERIFY(doc.find("Router Status: " + name + " (1.2.3.4&quot;)</b></font><br>" + name +
                     " is running RAS S/W &lt;b&gt;V2&lt;/b&gt;\r") != std::string::npos);
    QVERIFY(doc.find(">&lt;i&gt;</td>") != std::string::npos);
    QVERIFY(doc.find(">&lt;blink&gt;</td>") != std::string::npos);
    QVERIFY(doc.find(">a&amp;b:0 [&lt;svc&gt;]</td>") != std::string::npos);
    QVERIFY(doc.find("<script") == std::string::npos);
    QVERIFY(doc.find("<blink") == std::string::npos);

    // The auto-refresh seconds are written as typed, not validated, but escaped.
    in.WebAutoRefresh = true;
    in.WebAutoRefreshSeconds = " abc";
    QVERIFY(BuildStatusPage(in, hits).starts_with(
        "<html>\r<head>\r<meta http-equiv=\"REFRESH\" content=\" abc\">\r<title>"));
    in.WebAutoRefreshSeconds = "1\"><script>";
    QVERIFY(BuildStatusPage(in, hits).find("content=\"1&quot;&gt;&lt;script&gt;\">\r") != std::string::npos);

    // Texts without markup characters, 8-bit bytes included, are written unchanged.
    QCOMPARE(HtmlEscape("Caf\xE9 ISDN-1 (x)"), std::string("Caf\xE9 ISDN-1 (x)"));
    QCOMPARE(HtmlEscape("&amp;"), std::string("&amp;amp;"));
}

void TestStatusPage::colorToHtml_data()
{
    QTest::addColumn<uint>("color");
    QTest::addColumn<QString>("html");

    QTest::newRow("green") << 0x00FF00u << "\"#00FF00\"";
    QTest::newRow("red is the low byte") << 0x0000FFu << "\"#FF0000\"";
    QTest::newRow("pairs reordered") << 0x563412u << "\"#123456\"";
    QTest::newRow("top byte ignored") << 0x80FFFFFFu << "\"#FFFFFF\"";
}

void TestStatusPage::colorToHtml()
{
    QFETCH(uint, color);
    QFETCH(QString, html);
    QCOMPARE(QString::fromStdString(ColorToHtml(color)), html);
}

void TestStatusPage::groupThousands_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("999") << qint64(999) << "999";
    QTest::newRow("1000") << qint64(1000) << "1,000";
    QTest::newRow("1234567") << qint64(1234567) << "1,234,567";
    QTest::newRow("int64 max") << qint64(INT64_MAX) << "9,223,372,036,854,775,807";
    QTest::newRow("negative grouped") << qint64(-1234) << "-1,234";
    QTest::newRow("int64 min") << qint64(INT64_MIN) << "-9,223,372,036,854,775,808";
}

void TestStatusPage::groupThousands()
{
    QFETCH(qint64, value);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(GroupThousands(value)), text);
}

void TestStatusPage::usageText_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("speed");
    QTest::addColumn<QString>("text");

    QTest::newRow("half rounds up") << 50 << 64 << "50%  (3.91KB/s)";
    QTest::newRow("full") << 100 << 64 << "100%  (7.81KB/s)";
    QTest::newRow("both channels bundled") << 100 << 128 << "100%  (15.63KB/s)";
    QTest::newRow("speed 0") << 30 << 0 << "30%  (0.00KB/s)";
    // The product wraps as a 32-bit integer: 2^31 becomes -2^31.
    QTest::newRow("product wraps") << 65536 << 32768 << "65536%  (-2621440.00KB/s)";
}

void TestStatusPage::usageText()
{
    QFETCH(int, percent);
    QFETCH(int, speed);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(DefaultUsageText(percent, speed)), text);
}

void TestStatusPage::tableRowReadsListsInParallel()
{
    QCOMPARE(BuildTableRow(1, {"64Kbps", "unused"}, {kColorDark, kColorLight}, {1, 7}),
             std::string("  <tr>\r    <td bgcolor=\"#808080\">64Kbps</td>\r  </tr>\r"));
    // A count beyond the shortest list stops at its end instead of reading past it.
    QCOMPARE(BuildTableRow(5, {"a", "b"}, {kColorLight}, {1, 1, 1}),
             std::string("  <tr>\r    <td bgcolor=\"#C0C0C0\">a</td>\r  </tr>\r"));
    QCOMPARE(BuildTableRow(-1, {}, {}, {}), std::string("  <tr>\r  </tr>\r"));
}

void TestStatusPage::notFoundPage()
{
    const std::string head =
        "<html>\r<head>\r<title>404 File Not Found</title>\r</head>\r<body>\r<h1>404 File Not Found</h1>\r";
    QCOMPARE(BuildNotFoundPage(""), head + "The requested URL  was not found\r</body>\r</html>\r");
    QCOMPARE(BuildNotFoundPage("/<script>x=\"1\"&y</script>"),
             head + "The requested URL /&lt;script&gt;x=&quot;1&quot;&amp;y&lt;/script&gt; was not found\r</body>\r"
                    "</html>\r");
}

void TestStatusPage::extractWord()
{
    std::string source = "GET /index.html HTTP/1.0\r\nHost: x\r\n\r\n";
    QCOMPARE(ExtractWord(source), std::string("GET"));
    QCOMPARE(source, std::string(" /index.html HTTP/1.0\r\nHost: x\r\n\r\n")); // separator stays in front
    QCOMPARE(ExtractWord(source), std::string("/index.html"));
    source = "\r\n\r\n";
    QCOMPARE(ExtractWord(source), std::string());
    QCOMPARE(source, std::string());

    // The tab is not a separator: GET and its path form one word.
    source = "\r\n GET\t/ x";
    QCOMPARE(ExtractWord(source), std::string("GET\t/"));
    QCOMPARE(ExtractWord(source), std::string("x"));
    QVERIFY(source.empty());

    std::string_view view = "  a\nb";
    QCOMPARE(ExtractWord(view), std::string_view("a"));
    QCOMPARE(view, std::string_view("\nb"));
}

void TestStatusPage::httpAnswer()
{
    QCOMPARE(HttpAnswer(THttpStatus::Ok, "<html>\r</html>"),
             std::string("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=ISO-8859-1\r\nContent-Length: 14\r\n"
                         "Connection: close\r\n\r\n<html>\r</html>"));
    QVERIFY(HttpAnswer(THttpStatus::NotFound, "x").starts_with("HTTP/1.0 404 Not Found\r\nContent-Type: text/html"));
}

QTEST_GUILESS_MAIN(TestStatusPage)
#include "tst_statuspage.moc"
