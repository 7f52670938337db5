// SPDX-License-Identifier: MIT
// The web status page and the 404 page, built by plain concatenation; TStatusPageCache keeps the
// status page between requests. The document's line break is the carriage return alone; no line
// feed is ever written into it.
#include "statuspage.h"

#include "linewatchversion.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

constexpr int kHistoryColumns = 18;
constexpr int kLevels = 9;
constexpr int kTableColumns = 25;
constexpr const char *kNbsp = "&nbsp;";
constexpr const char *kProductVersion = LINEWATCH_VERSION;
// What follows the hit counter, the end of every status page.
constexpr std::string_view kPageEnd = " times.</font>\r</font>\r</body>\r</html>";

const char *const kAxisLabels[kHistoryColumns] = {"-85", "-80", "-75", "-70", "-65", "-60", "-55", "-50", "-45",
                                                  "-40", "-35", "-30", "-25", "-20", "-15", "-10", "-05", "-00"};

// One channel's chart drawn as cell colours: [level][column], columns 0..17 the history and
// column 18 the average line usage bar. Level 0 is the bottom row, labelled 10.
using TUsageGrid = std::array<std::array<uint32_t, kHistoryColumns + 1>, kLevels>;

// Truncates toward zero like the integer conversion of an average, saturating instead of
// overflowing on values no router prints (and giving 0 for NaN).
int64_t truncateAverage(double average)
{
    if (std::isnan(average))
        return 0;
    if (average >= 1e15)
        return static_cast<int64_t>(1e15);
    if (average <= -1e15)
        return static_cast<int64_t>(-1e15);
    return static_cast<int64_t>(average);
}

TUsageGrid buildUsageGrid(const TUsageSeries &Series, int32_t ALU, const TChannelColors &Colors)
{
    TUsageGrid grid{};
    for (int j = 1; j <= kHistoryColumns; ++j) {
        // The five seconds 5j-4 .. 5j; index 0, the oldest second, never shows.
        double sum = 0;
        for (int k = 5 * j - 4; k <= 5 * j; ++k)
            sum += Series[k];
        const int64_t height = truncateAverage(sum / 5) / 10;
        for (int i = 0; i < kLevels; ++i)
            grid[i][j - 1] = i < height ? Colors.CLUColor : Colors.CLUBackgroundColor;
    }
    const int32_t aluHeight = ALU / 10;
    for (int i = 0; i < kLevels; ++i)
        grid[i][kHistoryColumns] = i < aluHeight ? Colors.ALUColor : Colors.ALUBackgroundColor;
    return grid;
}

std::string levelLabel(int level)
{
    return "<font size=1>" + std::to_string((level + 1) * 10) + "</font>";
}

std::string whiteHeader(const std::string &text)
{
    return "<b><font color=" + ColorToHtml(kColorWhite) + ">" + text + "</font></b>";
}

// Appends the chart's part of one level row: the 18 history cells, the light filler, the ALU
// cell and the last light filler.
void appendChartCells(const TUsageGrid &grid, int level, std::vector<std::string> &cells, std::vector<uint32_t> &colors,
                      std::vector<int> &spans)
{
    for (int j = 0; j < kHistoryColumns; ++j) {
        cells.emplace_back(kNbsp);
        colors.push_back(grid[level][j]);
        spans.push_back(1);
    }
    cells.emplace_back(kNbsp);
    colors.push_back(kColorLight);
    spans.push_back(1);
    cells.emplace_back(kNbsp);
    colors.push_back(grid[level][kHistoryColumns]);
    spans.push_back(1);
    cells.emplace_back(kNbsp);
    colors.push_back(kColorLight);
    spans.push_back(1);
}

std::string serviceName(const TServiceNameFn &lookup, int32_t port)
{
    if (!lookup)
        return "?";
    std::string name = lookup(port);
    return name.empty() ? "?" : name;
}

} // namespace

std::string HtmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace {

// The quoted "#RRGGBB" form, appended in place: every cell of the page has one.
void appendColor(std::string &out, uint32_t color)
{
    static const char digits[] = "0123456789ABCDEF";
    char text[9] = {'"', '#'};
    // Red is the low byte of the stored value but comes first on the page.
    for (int k = 0; k < 3; ++k) {
        const unsigned byte = (color >> (8 * k)) & 0xFF;
        text[2 + 2 * k] = digits[byte >> 4];
        text[3 + 2 * k] = digits[byte & 0xF];
    }
    text[8] = '"';
    out.append(text, sizeof text);
}

} // namespace

std::string ColorToHtml(uint32_t color)
{
    std::string out;
    appendColor(out, color);
    return out;
}

std::string BuildTableRow(int Count, const std::vector<std::string> &Cells, const std::vector<uint32_t> &Colors,
                          const std::vector<int> &Spans)
{
    const size_t count = std::min({static_cast<size_t>(std::max(Count, 0)), Cells.size(), Colors.size(), Spans.size()});
    size_t length = 16;
    for (size_t k = 0; k < count; ++k)
        length += 40 + Cells[k].size();
    std::string row;
    row.reserve(length);
    row += "  <tr>\r";
    for (size_t k = 0; k < count; ++k) {
        row += "    <td bgcolor=";
        appendColor(row, Colors[k]);
        if (Spans[k] > 1) {
            row += " colspan=";
            row += std::to_string(Spans[k]);
        }
        row += '>';
        row += Cells[k];
        row += "</td>\r";
    }
    row += "  </tr>\r";
    return row;
}

namespace {

// GroupThousands with another separator than the comma.
std::string grouped(int64_t Value, char Separator)
{
    std::string text = GroupThousands(Value);
    if (Separator != ',')
        std::replace(text.begin(), text.end(), ',', Separator);
    return text;
}

} // namespace

std::string BuildChannelSection(const std::string &ChannelName, const TChannelStatus &Channel,
                                const TUsageSeries &Series, const TChannelColors &Colors, const TUsageTextFn &UsageText,
                                char GroupSeparator)
{
    const TUsageGrid grid = buildUsageGrid(Series, Channel.ALU, Colors);
    const auto usage = [&](int32_t percent) {
        return HtmlEscape(UsageText ? UsageText(percent, Channel.Speed) : DefaultUsageText(percent, Channel.Speed));
    };

    std::string out;
    out.reserve(8192);
    out += BuildTableRow(1, {whiteHeader("ISDN Channel " + HtmlEscape(ChannelName))}, {kColorDark}, {kTableColumns});
    out += BuildTableRow(
        6, {"Link:", HtmlEscape(Channel.Link), "IP Address:", kNbsp, "Channel usage over 90 seconds", kNbsp},
        {kColorLight, kColorDark, kColorLight, kColorLight, kColorLight, kColorLight},
        {1, 1, 1, 1, kHistoryColumns, 3});

    // Levels 90 down to 50 carry the channel's figures in their first three cells.
    struct FigureRow
    {
        std::string label, value, third;
        uint32_t thirdColor;
    };
    const FigureRow figures[5] = {
        {"Speed:", std::to_string(Channel.Speed) + "Kbps", HtmlEscape(Channel.IP), kColorDark},
        {"Up Time:", HtmlEscape(Channel.UpTime), "Current Line Usage:", kColorLight},
        {"Sent:", HtmlEscape(grouped(Channel.TX, GroupSeparator)), usage(Channel.CLU), kColorDark},
        {"Receved:", HtmlEscape(grouped(Channel.RX, GroupSeparator)), "Average Line Usage:", kColorLight},
        {"Errors:", HtmlEscape(grouped(Channel.Errors, GroupSeparator)), usage(Channel.ALU), kColorDark},
    };
    for (int r = 0; r < 5; ++r) {
        const int level = 8 - r;
        std::vector<std::string> cells = {figures[r].label, figures[r].value, figures[r].third, levelLabel(level)};
        std::vector<uint32_t> colors = {kColorLight, kColorDark, figures[r].thirdColor, kColorLight};
        std::vector<int> spans = {1, 1, 1, 1};
        appendChartCells(grid, level, cells, colors, spans);
        out += BuildTableRow(static_cast<int>(cells.size()), cells, colors, spans);
    }

    {
        std::vector<std::string> cells = {kNbsp, levelLabel(3)};
        std::vector<uint32_t> colors = {kColorLight, kColorLight};
        std::vector<int> spans = {3, 1};
        appendChartCells(grid, 3, cells, colors, spans);
        out += BuildTableRow(static_cast<int>(cells.size()), cells, colors, spans);
    }
    for (int level = 2; level >= 0; --level) {
        std::vector<std::string> cells = {kNbsp, kNbsp, levelLabel(level)};
        std::vector<uint32_t> colors = {kColorLight, kColorDark, kColorLight};
        std::vector<int> spans = {1, 2, 1};
        appendChartCells(grid, level, cells, colors, spans);
        out += BuildTableRow(static_cast<int>(cells.size()), cells, colors, spans);
    }

    // The axis row: each history column is labelled with the age of its newest sample. The cell
    // beside "CallerID:" stays empty.
    std::vector<std::string> cells = {"CallerID:", kNbsp, kNbsp};
    std::vector<uint32_t> colors(kHistoryColumns + 6, kColorLight);
    colors[1] = kColorDark;
    std::vector<int> spans(kHistoryColumns + 6, 1);
    spans[1] = 2;
    for (const char *label : kAxisLabels)
        cells.push_back(std::string("<font size=1>") + label + "</font>");
    cells.emplace_back(kNbsp);
    cells.emplace_back("<font size=1>ALU</font>");
    cells.emplace_back(kNbsp);
    out += BuildTableRow(static_cast<int>(cells.size()), cells, colors, spans);
    return out;
}

std::string BuildEthernetSection(const TRouterStatus &Router, const TServiceNameFn &LookupServiceName,
                                 char GroupSeparator)
{
    const uint32_t L = kColorLight;
    const uint32_t D = kColorDark;
    std::string out;
    out += BuildTableRow(2, {whiteHeader("Ethernet"), whiteHeader("General")}, {D, D}, {3, 22});
    out += BuildTableRow(
        4, {"Status:", HtmlEscape(Router.LANStatus), "Total Outcall Time:", HtmlEscape(Router.TotalOutcallTime)},
        {L, D, L, D}, {1, 2, 10, 12});
    out += BuildTableRow(3, {"Sent:", HtmlEscape(grouped(Router.LANSent, GroupSeparator)), "Last Call Triggered By:"},
                         {L, D, L}, {1, 2, 22});
    out += BuildTableRow(5,
                         {"Received:", HtmlEscape(grouped(Router.LANReceived, GroupSeparator)), kNbsp,
                          "Source:", HtmlEscape(Router.TriggerSrcIP) + ":" + std::to_string(Router.TriggerSrcPort)},
                         {L, D, L, L, D}, {1, 2, 1, 5, 16});
    out += BuildTableRow(5,
                         {"Collisions:", HtmlEscape(grouped(Router.LANCollisions, GroupSeparator)), kNbsp, "Dest:",
                          HtmlEscape(Router.TriggerDestIP) + ":" + std::to_string(Router.TriggerDestPort) + " [" +
                              HtmlEscape(serviceName(LookupServiceName, Router.TriggerDestPort)) + "]"},
                         {L, D, L, L, D}, {1, 2, 1, 5, 16});
    return out;
}

std::string BuildStatusPage(const TStatusPageInputs &Inputs, int32_t &PageHits)
{
    PageHits = static_cast<int32_t>(static_cast<uint32_t>(PageHits) + 1U);

    const TRouterStatus &router = Inputs.Router;
    const std::string name = HtmlEscape(router.Name);
    const std::string address = HtmlEscape(router.IPAddress);
    const std::string spacer = "   <tr>\r    <td height=10 colspan=25><font size=1>&nbsp;</font></td>\r   </tr>\r";

    std::string page;
    page.reserve(24 * 1024);
    page += "<html>\r<head>\r";
    if (Inputs.WebAutoRefresh)
        page += "<meta http-equiv=\"REFRESH\" content=\"" + HtmlEscape(Inputs.WebAutoRefreshSeconds) + "\">\r";
    page += "<title>" + name + " (" + address + ") - Brelwick Router Monitor</title>\r</head>\r<body bgcolor=";
    page += ColorToHtml(kColorWhite) + ">\r<font face=\"Arial\">\r";
    page += "<center>\r";
    page += "<font size=6><b>Router Status: " + name + " (" + address + ")</b></font><br>";
    page += name + " is running RAS S/W " + HtmlEscape(router.Firmware) + "\r";
    page += "</center>\r<hr size=1 noshade>\r";
    page += "<center>\r<table border=0 cellspacing=0 cellpadding=1>\r";
    page +=
        BuildChannelSection("B1", Inputs.B1, Inputs.Series1, Inputs.B1Colors, Inputs.UsageText, Inputs.GroupSeparator);
    page += spacer;
    page +=
        BuildChannelSection("B2", Inputs.B2, Inputs.Series2, Inputs.B2Colors, Inputs.UsageText, Inputs.GroupSeparator);
    page += spacer;
    page += BuildEthernetSection(router, Inputs.LookupServiceName, Inputs.GroupSeparator);
    page += "</table>\r</center>\r";
    page += "<hr size=1 noshade>\r<font size=\"-1\">Status report generated by <a href=\"" +
            HtmlEscape(Inputs.HomePage) + "\">Brelwick Router Monitor " + kProductVersion + "</a>. Accessed ";
    page += std::to_string(PageHits);
    page += kPageEnd;
    return page;
}

bool TStatusPageCache::sameInputs(const TStatusPageInputs &Inputs) const
{
    const TStatusPageInputs &a = m_inputs;
    const TStatusPageInputs &b = Inputs;
    return a.B1 == b.B1 && a.B2 == b.B2 && a.Router == b.Router && a.Series1 == b.Series1 && a.Series2 == b.Series2 &&
           a.B1Colors == b.B1Colors && a.B2Colors == b.B2Colors && a.WebAutoRefresh == b.WebAutoRefresh &&
           a.WebAutoRefreshSeconds == b.WebAutoRefreshSeconds && a.HomePage == b.HomePage &&
           a.GroupSeparator == b.GroupSeparator;
}

std::string TStatusPageCache::Document(const TStatusPageInputs &Inputs, uint64_t Generation, int32_t &PageHits)
{
    if (!m_valid || Generation != m_generation || !sameInputs(Inputs)) {
        std::string page = BuildStatusPage(Inputs, PageHits);
        // The page ends with the counter and a fixed text; everything before them is kept.
        const size_t counterAt = page.size() - kPageEnd.size() - std::to_string(PageHits).size();
        m_beforeCounter.assign(page, 0, counterAt);
        m_inputs = Inputs;
        m_inputs.LookupServiceName = nullptr;
        m_inputs.UsageText = nullptr;
        m_generation = Generation;
        m_valid = true;
        return page;
    }
    PageHits = static_cast<int32_t>(static_cast<uint32_t>(PageHits) + 1U);
    char counter[16];
    const auto [end, error] = std::to_chars(counter, counter + sizeof counter, PageHits);
    std::string page;
    page.reserve(m_beforeCounter.size() + static_cast<size_t>(end - counter) + kPageEnd.size());
    page += m_beforeCounter;
    page.append(counter, end);
    page += kPageEnd;
    return page;
}

std::string BuildNotFoundPage(const std::string &Path)
{
    return "<html>\r<head>\r<title>404 File Not Found</title>\r</head>\r<body>\r<h1>404 File Not Found</h1>\r"
           "The requested URL " +
           HtmlEscape(Path) + " was not found\r</body>\r</html>\r";
}

namespace {

bool isWordSeparator(char c)
{
    return c == ' ' || c == '\r' || c == '\n';
}

} // namespace

std::string_view ExtractWord(std::string_view &Source)
{
    size_t begin = 0;
    while (begin < Source.size() && isWordSeparator(Source[begin]))
        ++begin;
    size_t end = begin;
    while (end < Source.size() && !isWordSeparator(Source[end]))
        ++end;
    const std::string_view word = Source.substr(begin, end - begin);
    Source.remove_prefix(end);
    return word;
}

std::string ExtractWord(std::string &Source)
{
    std::string_view view = Source;
    std::string word(ExtractWord(view));
    Source.erase(0, Source.size() - view.size());
    return word;
}

std::string HttpAnswer(THttpStatus Status, const std::string &Document)
{
    return HttpAnswer(Status, "text/html; charset=ISO-8859-1", Document);
}

std::string HttpAnswer(THttpStatus Status, std::string_view ContentType, const std::string &Document)
{
    return HttpAnswer(Status, ContentType, Document, {});
}

std::string HttpAnswer(THttpStatus Status, std::string_view ContentType, const std::string &Document,
                       std::string_view ExtraHeaders)
{
    std::string answer;
    switch (Status) {
    case THttpStatus::Ok:
        answer = "HTTP/1.0 200 OK\r\n";
        break;
    case THttpStatus::BadRequest:
        answer = "HTTP/1.0 400 Bad Request\r\n";
        break;
    case THttpStatus::Forbidden:
        answer = "HTTP/1.0 403 Forbidden\r\n";
        break;
    case THttpStatus::Unauthorized:
        answer = "HTTP/1.0 401 Unauthorized\r\n";
        break;
    case THttpStatus::NotFound:
        answer = "HTTP/1.0 404 Not Found\r\n";
        break;
    case THttpStatus::MethodNotAllowed:
        answer = "HTTP/1.0 405 Method Not Allowed\r\n";
        break;
    case THttpStatus::TooManyRequests:
        answer = "HTTP/1.0 429 Too Many Requests\r\n";
        break;
    case THttpStatus::ServiceUnavailable:
        answer = "HTTP/1.0 503 Service Unavailable\r\n";
        break;
    }
    answer += "Content-Type: ";
    answer += ContentType;
    answer += "\r\n";
    answer += "Content-Length: " + std::to_string(Document.size()) + "\r\n";
    answer += ExtraHeaders;
    answer += "Connection: close\r\n\r\n";
    answer += Document;
    return answer;
}
