// SPDX-License-Identifier: MIT
// The status screen's layout check: before its figures are read, the cells the parser reads must
// have the shape the router gives them. A firmware that moves a column makes those cells hold
// pieces of other fields; such a screen is refused rather than read into plausible, wrong figures.
#pragma once

#include "consolescreen.h"

#include <cstdint>
#include <string>
#include <string_view>

// Which shape a refused cell broke.
enum class TLayoutFault : uint8_t {
    None,
    Title,         // row 3 does not name the status screen
    ChannelNumber, // column 3 of a channel row holds neither a digit nor a blank
    Counter,       // digits that do not reach either edge of their field
    Usage,         // a usage above 100, or one not reaching either edge of its field
    Duration,      // an up time or the outcall time that is not h:mm:ss reaching one edge
    Address,       // a channel address that is not a dotted quad from the field's first column
    HexDump,       // a byte of the trigger dump that is a digit and a blank: moved by a column
};

struct TLayoutVerdict
{
    TLayoutFault Fault = TLayoutFault::None;
    int Row = 0;
    int FirstCol = 0;
    int LastCol = 0;

    bool Passed() const { return Fault == TLayoutFault::None; }
    bool operator==(const TLayoutVerdict &) const = default;
};

// "title", "channel_number", "counter", "usage", "duration", "address", "hex_dump"; "" for None.
std::string_view LayoutFaultName(TLayoutFault Fault);
// "usage, row 6, columns 59-61"; "" for a screen that passed.
std::string DescribeLayoutFault(const TLayoutVerdict &Verdict);

// Checks a screen whose row 3 should name the status screen. Blank cells always pass (a blank
// field reads as empty or 0, and a repaint under way leaves blanks). A number field holding text
// that is no number passes too: the parser's conversion error deals with that as before.
TLayoutVerdict CheckStatusLayout(const TConsoleScreen &Screen);
