// SPDX-License-Identifier: MIT
// The status screen's layout check; see layoutcheck.h. The table below lists every cell looked
// at and why. Labels, headings and every cell the parser ignores are left alone: routers of the
// same family paint their labels differently, and the parser never reads them.
#include "layoutcheck.h"

#include <array>

namespace {

constexpr int kTitleRow = 3;
constexpr std::string_view kStatusTitle = "Menu 24.1";
constexpr int kChannelRows[] = {6, 7};
constexpr int kChannelNumberCol = 3;
constexpr int kTriggerRow = 19;
// Bytes 12 to 23 of the dump are the ones read (addresses and ports); byte n stands in columns
// 6 + 3n and 7 + 3n.
constexpr int kFirstTriggerByte = 12;
constexpr int kLastTriggerByte = 23;
constexpr int kFirstDumpCol = 6;

struct TCheckedCell
{
    int row; // 0: both channel rows
    int first;
    int last;
    TCellShape shape;
    // Why the cell tells a moved layout from the known one.
    std::string_view why;
};

// The screen parser's checked read (TCheckedStatusRead) asks the same of each of these cells as
// it reads them, so that a screen's fields are loaded once; a debug build checks that the two
// agree on every screen that passes.
// clang-format off
constexpr TCheckedCell kCheckedCells[] = {
    {0, 16, 17, TCellShape::Counter,  "speed: two digits; a shift brings in the Kbps that follows"},
    {0, 23, 33, TCellShape::Counter,  "sent: a shift cuts the number off its edge or adds the next field"},
    {0, 35, 45, TCellShape::Counter,  "received: as sent"},
    {0, 47, 57, TCellShape::Counter,  "errors: as sent"},
    {0, 59, 61, TCellShape::Usage,    "current usage: 0-100; a shift reads the percent sign or errors' digits"},
    {0, 64, 66, TCellShape::Usage,    "average usage: as current usage"},
    {0, 70, 79, TCellShape::Duration, "up time: h:mm:ss ends or starts at the field's edge; any shift breaks it"},
    {9, 25, 36, TCellShape::Duration, "total outcall time: as the up time"},
    {12, 52, 66, TCellShape::Address, "B1 address: starts in its first column; a shift cuts the quad or takes in its label"},
    {13, 52, 66, TCellShape::Address, "B2 address: as B1's"},
    {13, 16, 28, TCellShape::Counter, "Ethernet sent: as the channel counters"},
    {14, 16, 28, TCellShape::Counter, "Ethernet received: as sent"},
    {15, 19, 28, TCellShape::Counter, "Ethernet collisions: as sent"},
};
// clang-format on

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isBlank(char c)
{
    // What the parser trims: code 32 and below.
    return static_cast<unsigned char>(c) <= ' ';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Digits only, at least one.
bool allDigits(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!isDigit(c))
            return false;
    return true;
}

bool isDuration(std::string_view text)
{
    // h:mm:ss, any number of hour digits.
    size_t colon = 0;
    while (colon < text.size() && isDigit(text[colon]))
        ++colon;
    if (colon == 0 || colon == text.size() || text[colon] != ':')
        return false;
    const std::string_view rest = text.substr(colon + 1);
    return rest.size() == 5 && allDigits(rest.substr(0, 2)) && rest[2] == ':' && allDigits(rest.substr(3, 2)) &&
           rest[0] <= '5' && rest[3] <= '5';
}

bool isDottedQuad(std::string_view text)
{
    // Four numbers of one to three digits, none above 255, joined by dots.
    size_t i = 0;
    for (int part = 1;; ++part) {
        unsigned value = 0;
        size_t digits = 0;
        for (; i < text.size() && isDigit(text[i]); ++i, ++digits)
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        if (part == 4)
            return i == text.size();
        if (i == text.size() || text[i] != '.')
            return false;
        ++i;
    }
}

TLayoutFault faultOf(TCellShape shape)
{
    switch (shape) {
    case TCellShape::Counter:
        return TLayoutFault::Counter;
    case TCellShape::Usage:
        return TLayoutFault::Usage;
    case TCellShape::Duration:
        return TLayoutFault::Duration;
    case TCellShape::Address:
        return TLayoutFault::Address;
    }
    return TLayoutFault::None;
}

std::string_view field(const TConsoleScreen &screen, int row, int first, int last)
{
    return screen.Row(row).substr(static_cast<size_t>(first - 1), static_cast<size_t>(last - first + 1));
}

} // namespace

std::string_view LayoutFaultName(TLayoutFault Fault)
{
    switch (Fault) {
    case TLayoutFault::None:
        return {};
    case TLayoutFault::Title:
        return "title";
    case TLayoutFault::ChannelNumber:
        return "channel_number";
    case TLayoutFault::Counter:
        return "counter";
    case TLayoutFault::Usage:
        return "usage";
    case TLayoutFault::Duration:
        return "duration";
    case TLayoutFault::Address:
        return "address";
    case TLayoutFault::HexDump:
        return "hex_dump";
    }
    return {};
}

std::string DescribeLayoutFault(const TLayoutVerdict &Verdict)
{
    if (Verdict.Passed())
        return {};
    std::string text(LayoutFaultName(Verdict.Fault));
    text += ", row " + std::to_string(Verdict.Row);
    if (Verdict.FirstCol == Verdict.LastCol)
        text += ", column " + std::to_string(Verdict.FirstCol);
    else
        text += ", columns " + std::to_string(Verdict.FirstCol) + "-" + std::to_string(Verdict.LastCol);
    return text;
}

bool CellShapeHolds(std::string_view Field, TCellShape Shape)
{
    // A counter flush with an edge, the common case, answers before any trimming.
    if (Shape == TCellShape::Counter && (Field.front() != ' ' || Field.back() != ' '))
        return true;
    size_t begin = 0;
    size_t end = Field.size();
    while (begin < end && isBlank(Field[begin]))
        ++begin;
    while (end > begin && isBlank(Field[end - 1]))
        --end;
    return TrimmedShapeHolds(Field, Field.substr(begin, end - begin), Shape);
}

// A field that is neither blank nor reaches one of its edges sits where another layout put it.
bool TrimmedShapeHolds(std::string_view Field, std::string_view Trimmed, TCellShape Shape)
{
    if (Trimmed.empty())
        return true;
    // Control bytes the parser trims still mark the field's edge: only spaces are the room a
    // moved field leaves.
    const bool reachesEdge = Field.front() != ' ' || Field.back() != ' ';
    switch (Shape) {
    case TCellShape::Counter:
        return reachesEdge || !allDigits(Trimmed);
    case TCellShape::Usage:
        if (!allDigits(Trimmed))
            return true;
        // At most three digits fit; of those, 100 is the largest usage.
        return reachesEdge && (Trimmed.size() < 3 || Trimmed <= "100");
    case TCellShape::Duration:
        return reachesEdge && isDuration(Trimmed);
    case TCellShape::Address:
        // From the field's first column, as the router writes them: a quad of any length that
        // reached only the right edge could be a longer one cut at its end.
        return Field.front() != ' ' && isDottedQuad(Trimmed);
    }
    return true;
}

bool DumpByteHolds(std::string_view Pair)
{
    // A digit then a blank is half of a byte moved one column to the left. A blank then a digit
    // reads as that digit, and text that is no number is the parser's error to raise.
    return !(isHexDigit(Pair[0]) && Pair[1] == ' ');
}

TLayoutVerdict CheckStatusLayout(const TConsoleScreen &Screen)
{
    // The title is what the parser goes by; a firmware that moves it or words it otherwise is
    // told apart here.
    if (Screen.Row(kTitleRow).find(kStatusTitle) == std::string_view::npos)
        return {TLayoutFault::Title, kTitleRow, 1, 80};
    // The channel number decides which row is B1; the parser takes anything but 1 and 2 as the
    // normal order, but a letter there is a label where the channel rows should be.
    for (int row : kChannelRows) {
        if (!ChannelNumberHolds(Screen.Row(row)[kChannelNumberCol - 1]))
            return {TLayoutFault::ChannelNumber, row, kChannelNumberCol, kChannelNumberCol};
    }
    for (const TCheckedCell &cell : kCheckedCells) {
        for (int row : kChannelRows) {
            const int r = cell.row == 0 ? row : cell.row;
            if (!CellShapeHolds(field(Screen, r, cell.first, cell.last), cell.shape))
                return {faultOf(cell.shape), r, cell.first, cell.last};
            if (cell.row != 0)
                break;
        }
    }
    // A dump moved by one or two columns splits each byte across two pairs.
    for (int n = kFirstTriggerByte; n <= kLastTriggerByte; ++n) {
        const int col = kFirstDumpCol + 3 * n;
        if (!DumpByteHolds(field(Screen, kTriggerRow, col, col + 1)))
            return {TLayoutFault::HexDump, kTriggerRow, col, col + 1};
    }
    return {};
}
