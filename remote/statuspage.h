// SPDX-License-Identifier: MIT
// The web status page: one HTML document built from the status record, the two 90-second usage
// histories and the graph colours, plus the 404 page and the HTTP framing that carries either.
// Everything here is plain text work: no sockets, no widgets, and no state but the caller's page
// counter.
#pragma once

#include "convert.h"
#include "machinestatus.h"
#include "statusmodel.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Colours are 0x00BBGGRR (red in the low byte), as the colour panels store them.
constexpr uint32_t kColorWhite = 0xFFFFFF;
constexpr uint32_t kColorLight = 0xC0C0C0; // labels, axis labels, empty filler cells
constexpr uint32_t kColorDark = 0x808080;  // values and section headers
constexpr uint32_t kColorBrightGreen = 0x00FF00;
constexpr uint32_t kColorBlack = 0x000000;

// The four colours one channel's chart and gauge are drawn in, named after their colour panels.
struct TChannelColors
{
    uint32_t CLUColor = kColorBrightGreen;     // line of the usage series
    uint32_t CLUBackgroundColor = kColorBlack; // the chart's plotting area
    uint32_t ALUColor = kColorBrightGreen;     // the gauge's bar
    uint32_t ALUBackgroundColor = kColorBlack; // the gauge's background

    bool operator==(const TChannelColors &) const = default;
};

// "%d%%  (%fKB/s)" of a percentage and the channel speed it applies to.
using TUsageTextFn = std::function<std::string(int32_t percent, int32_t speed)>;
using TServiceNameFn = std::function<std::string(int32_t port)>;

// Everything the page shows, gathered by the window for one request.
struct TStatusPageInputs
{
    TChannelStatus B1;
    TChannelStatus B2;
    TRouterStatus Router;
    TUsageSeries Series1{};
    TUsageSeries Series2{};
    TChannelColors B1Colors;
    TChannelColors B2Colors;
    bool WebAutoRefresh = false;
    std::string WebAutoRefreshSeconds = "10"; // written as typed (escaped), never validated
    TServiceNameFn LookupServiceName;         // unset: every port is "?"
    TUsageTextFn UsageText;                   // unset: DefaultUsageText
    char GroupSeparator = ',';                // between thousands in the counters, as the window has it
    std::string HomePage = "http://www.brelwick.example/linewatch/";
};

// "&", "<", ">" and the double quote as entities; every other byte unchanged.
std::string HtmlEscape(std::string_view text);

// The quoted attribute text of a colour: a double quote, "#RRGGBB" in upper case, a double quote.
// Only the low 24 bits are used.
std::string ColorToHtml(uint32_t color);

// One table row of Count cells read in parallel from the three lists (which may be longer).
// A span of 1 or less writes no colspan attribute.
std::string BuildTableRow(int Count, const std::vector<std::string> &Cells, const std::vector<uint32_t> &Colors,
                          const std::vector<int> &Spans);

// The twelve rows of one channel: header, link row, nine chart levels (90 at the top) and the
// axis row. ChannelName is "B1" or "B2".
std::string BuildChannelSection(const std::string &ChannelName, const TChannelStatus &Channel,
                                const TUsageSeries &Series, const TChannelColors &Colors, const TUsageTextFn &UsageText,
                                char GroupSeparator = ',');

// The five rows of the Ethernet and General section.
std::string BuildEthernetSection(const TRouterStatus &Router, const TServiceNameFn &LookupServiceName,
                                 char GroupSeparator = ',');

// The complete status document. Increases PageHits by one first (wrapping, never overflowing).
std::string BuildStatusPage(const TStatusPageInputs &Inputs, int32_t &PageHits);

// The status document kept between requests: what it shows changes about once a second, its hit
// counter with every request, so the document is kept as the text before and after the counter.
// Document(Inputs, Generation, PageHits) gives exactly what BuildStatusPage(Inputs, PageHits)
// gives, and builds the page again only when the inputs differ from the last ones or Generation
// moved on. The functions in the inputs cannot be compared: a caller whose service names or
// usage texts may change changes Generation (for example every second).
class TStatusPageCache
{
public:
    std::string Document(const TStatusPageInputs &Inputs, uint64_t Generation, int32_t &PageHits);

private:
    bool sameInputs(const TStatusPageInputs &Inputs) const;

    bool m_valid = false;
    uint64_t m_generation = 0;
    TStatusPageInputs m_inputs;  // the last inputs, functions left unset
    std::string m_beforeCounter; // the counter and the page's fixed end follow
};

// The "404 File Not Found" document naming the requested path.
std::string BuildNotFoundPage(const std::string &Path);

// The words of an HTTP request are separated by space, CR and LF (not tab). Cuts the next word
// from the front of Source; the separator that ended it stays in front. An empty or all-separator
// Source gives an empty word and is left empty.
std::string ExtractWord(std::string &Source);
// The same over a view, advancing it: linear in the word's length, for long request buffers.
std::string_view ExtractWord(std::string_view &Source);

enum class THttpStatus {
    Ok,
    BadRequest,
    Unauthorized,
    Forbidden,
    NotFound,
    MethodNotAllowed,
    TooManyRequests,
    ServiceUnavailable
};

// An answer as the browser receives it: "HTTP/1.0 200 OK" or "HTTP/1.0 404 Not Found", the
// content type with the 8-bit charset of router text, Content-Length, "Connection: close", an
// empty line, then the document byte for byte.
std::string HttpAnswer(THttpStatus Status, const std::string &Document);
// The same with another content type (the machine status's JSON and metrics).
std::string HttpAnswer(THttpStatus Status, std::string_view ContentType, const std::string &Document);
// The same with further header lines (each ending in CR LF) before "Connection: close".
std::string HttpAnswer(THttpStatus Status, std::string_view ContentType, const std::string &Document,
                       std::string_view ExtraHeaders);
