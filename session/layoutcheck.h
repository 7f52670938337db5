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

// The shapes a read cell may be asked to have; see kCheckedCells in layoutcheck.cpp for which
// cell has which and why.
enum class TCellShape : uint8_t { Counter, Usage, Duration, Address };

// Whether one field's text has the shape, as CheckStatusLayout judges each cell of its table.
bool CellShapeHolds(std::string_view Field, TCellShape Shape);
// The same judgement for a reader that has trimmed the field already: Trimmed is Field without
// blanks and control bytes at either end, as TrimControlsView gives it.
bool TrimmedShapeHolds(std::string_view Field, std::string_view Trimmed, TCellShape Shape);

// The same judgement of a counter or usage field the parser has converted to Value. One that
// reaches an edge of its field, the common case, answers inline: a usage over 100 takes all three
// columns of its field for digits, so it is digits only and too large.
inline bool ConvertedShapeHolds(std::string_view Field, int64_t Value, TCellShape Shape)
{
    if (Field.front() != ' ' || Field.back() != ' ')
        return Shape != TCellShape::Usage || Value <= 100;
    return CellShapeHolds(Field, Shape);
}

// Whether column 3 of a channel row holds a digit or a blank, as the channel number should.
inline bool ChannelNumberHolds(char C)
{
    return (C >= '0' && C <= '9') || static_cast<unsigned char>(C) <= ' ';
}

// Whether one byte of the trigger dump (its two columns) stands where the dump's columns say.
bool DumpByteHolds(std::string_view Pair);

// Checks a screen whose row 3 should name the status screen. Blank cells always pass (a blank
// field reads as empty or 0, and a repaint under way leaves blanks). A number field holding text
// that is no number passes too: the parser's conversion error deals with that as before.
TLayoutVerdict CheckStatusLayout(const TConsoleScreen &Screen);
