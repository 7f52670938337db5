// SPDX-License-Identifier: MIT
// The screen parser: field positions of the status and system-information screens, read in a
// fixed order so that a field that fails to convert stops the pass at a known place.
#include "screenparser.h"

#include "convert.h"

#include <charconv>
#include <string>

namespace {

constexpr int kTitleRow = 3;
constexpr int kFirstChannelRow = 6;
constexpr int kSecondChannelRow = 7;
constexpr int kChannelNumberCol = 3;
constexpr int kTriggerRow = 19;

// Columns a..b (1-based, inclusive) of row r.
std::string_view Field(const TConsoleScreen &screen, int r, int a, int b)
{
    return screen.Row(r).substr(static_cast<size_t>(a - 1), static_cast<size_t>(b - a + 1));
}

// Most text fields read the same as after the last chunk; comparing is cheaper than copying.
void assignIfChanged(std::string &target, std::string_view text)
{
    if (std::string_view(target) != text)
        target.assign(text);
}

void AssignText(std::string &target, std::string_view field)
{
    assignIfChanged(target, TrimControlsView(field));
}

// A two-column hexadecimal byte of the trigger dump. Two digits are read directly; blanks and
// anything else take the full conversion, which also raises the error.
int32_t HexPair(const TConsoleScreen &screen, int r, int col)
{
    const std::string_view field = Field(screen, r, col, col + 1);
    const int high = HexDigitValue(field[0]);
    const int low = HexDigitValue(field[1]);
    if (high >= 0 && low >= 0)
        return high * 16 + low;
    return HexToInt(field);
}

// Four two-column hexadecimal bytes at the given first columns, as a dotted quad, into target.
void AssignAddress(std::string &target, const TConsoleScreen &screen, int r, const int (&cols)[4])
{
    char text[4 * 11 + 3];
    char *end = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            *end++ = '.';
        end = std::to_chars(end, text + sizeof text, HexPair(screen, r, cols[i])).ptr;
    }
    assignIfChanged(target, std::string_view(text, static_cast<size_t>(end - text)));
}

// Two two-column hexadecimal bytes, high byte first.
int32_t PortField(const TConsoleScreen &screen, int r, int highCol, int lowCol)
{
    const int32_t high = HexPair(screen, r, highCol);
    const int32_t low = HexPair(screen, r, lowCol);
    return high * 256 + low;
}

void StatusPass(const TConsoleScreen &screen, bool fullPass, TChannelStatus &B1, TChannelStatus &B2,
                TRouterStatus &Router)
{
    // The channel number in column 3 says which row is which channel; a 2 above or a 1 below
    // means the router listed them the other way round.
    int rowB1 = kFirstChannelRow;
    int rowB2 = kSecondChannelRow;
    if (screen.Row(kFirstChannelRow)[kChannelNumberCol - 1] == '2' ||
        screen.Row(kSecondChannelRow)[kChannelNumberCol - 1] == '1')
        std::swap(rowB1, rowB2);

    // What the tray and tooltip need even while nobody looks at the window.
    AssignText(B1.Link, Field(screen, rowB1, 6, 15));
    B1.CLU = TrimToInt(Field(screen, rowB1, 59, 61));
    AssignText(B2.Link, Field(screen, rowB2, 6, 15));
    B2.CLU = TrimToInt(Field(screen, rowB2, 59, 61));
    AssignText(B1.CLID, Field(screen, 14, 49, 59));
    AssignText(B2.CLID, Field(screen, 15, 49, 59));
    if (!fullPass)
        return;

    const struct
    {
        TChannelStatus &channel;
        int row;
        int ipRow;
    } channels[] = {{B1, rowB1, 12}, {B2, rowB2, 13}};
    for (const auto &c : channels) {
        c.channel.Speed = TrimToInt(Field(screen, c.row, 16, 17));
        c.channel.TX = TrimToInt64(Field(screen, c.row, 23, 33));
        c.channel.RX = TrimToInt64(Field(screen, c.row, 35, 45));
        c.channel.Errors = TrimToInt64(Field(screen, c.row, 47, 57));
        c.channel.ALU = TrimToInt(Field(screen, c.row, 64, 66));
        AssignText(c.channel.UpTime, Field(screen, c.row, 70, 79));
        AssignText(c.channel.IP, Field(screen, c.ipRow, 52, 66));
    }

    AssignText(Router.LANStatus, Field(screen, 12, 16, 38));
    Router.LANSent = TrimToInt64(Field(screen, 13, 16, 28));
    Router.LANReceived = TrimToInt64(Field(screen, 14, 16, 28));
    Router.LANCollisions = TrimToInt64(Field(screen, 15, 19, 28));
    AssignText(Router.TotalOutcallTime, Field(screen, 9, 25, 36));

    // Row 19 dumps the triggering IPv4 packet, byte n in columns 6 + 3n and 7 + 3n: addresses
    // are bytes 12-15 and 16-19, ports bytes 20-21 and 22-23.
    AssignAddress(Router.TriggerSrcIP, screen, kTriggerRow, {42, 45, 48, 51});
    Router.TriggerSrcPort = PortField(screen, kTriggerRow, 66, 69);
    AssignAddress(Router.TriggerDestIP, screen, kTriggerRow, {54, 57, 60, 63});
    Router.TriggerDestPort = PortField(screen, kTriggerRow, 72, 75);
}

void SystemInformationPass(const TConsoleScreen &screen, TRouterStatus &Router)
{
    AssignText(Router.Name, Field(screen, 5, 27, 36));
    AssignText(Router.Firmware, Field(screen, 6, 38, 48));
    AssignText(Router.IPAddress, Field(screen, 12, 35, 49));
}

} // namespace

void ParseScreen(const TConsoleScreen &screen, bool fullPass, TChannelStatus &B1, TChannelStatus &B2,
                 TRouterStatus &Router)
{
    const std::string_view title = screen.Row(kTitleRow);
    if (title.find("Menu 24.1") != std::string_view::npos)
        StatusPass(screen, fullPass, B1, B2, Router);
    else if (title.find("Menu 24.2.1") != std::string_view::npos)
        SystemInformationPass(screen, Router);
}
