// SPDX-License-Identifier: MIT
// The monitor's copy of the router's console screen: 24 rows of 80 bytes and a cursor, drawn from
// the console's text runs and the two escape sequences it positions and erases with. The screen
// parser reads fixed rows and columns of it; the console session feeds it every received chunk.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

constexpr int kScreenRows = 24;
constexpr int kScreenCols = 80;
// An escape sequence longer than this never ended: it is dropped as ignored (and the rest of it up
// to its final character with it), so the input buffer stays bounded and drawing goes on.
constexpr size_t kMaxEscapeLength = 256;

class TConsoleScreen
{
public:
    TConsoleScreen();

    // 1-based. CursorCol may stand at 81 and CursorRow at 25 ("one past the edge") until the next
    // character wraps or scrolls; every move goes through ClampCursor, so they never leave
    // 1..25 x 1..81 whatever the router sends.
    int CursorRow = 1;
    int CursorCol = 1;

    // Removes the next complete token (a text run, or an escape sequence starting with ESC) from
    // the front of the buffer and returns it. Returns an empty text when the buffer is empty or
    // holds only the beginning of an escape sequence, which then stays in the buffer.
    std::string NextToken(std::string &buffer);
    // The same cut without copying: returns a view of the token and advances input past it. A
    // pending escape sequence is left in input.
    std::string_view NextToken(std::string_view &input);

    // Interprets one escape-sequence token: cursor position (H) and erase display (J); every
    // other sequence is ignored. A row, column or mode that is not a decimal number raises
    // EConvertError.
    void HandleEscape(std::string_view token);
    // Draws one text-run token at the cursor with the console's line wrap and scrolling.
    void PutText(std::string_view token);
    // Mode 2 blanks every row; the cursor stays. Other modes do nothing.
    void ClearScreen(int mode);
    // How many times the screen was blanked: a repaint of the router's begins with one.
    uint64_t Erasures() const { return m_erasures; }

    // Appends a received chunk to buffer and draws every complete token in it, calling onToken
    // after each token is drawn. If drawing or onToken throws, the consumed bytes (the offending
    // token included) are gone from buffer and the rest stays for the next chunk.
    void DrawChunk(std::string &buffer, std::string_view chunk,
                   const std::function<void(std::string_view token)> &onToken = {});

    // Forgets an over-long escape sequence being skipped; for a new connection, together with
    // emptying the input buffer.
    void ResetInput();

    // Row r (1..24) as exactly 80 bytes; an empty view for any other r.
    std::string_view Row(int r) const
    {
        if (r < 1 || r > kScreenRows)
            return {};
        return std::string_view(&FCells[static_cast<size_t>(r - 1) * kScreenCols], kScreenCols);
    }
    // All 24 rows joined by line feeds, for tests and diagnostics.
    std::string Text() const;

    // Brings the cursor back into 1..25 x 1..81. Row or column 0 (or below) means the first one.
    // Anything past the edge behaves exactly like one past it (a single wrap, a single scroll), so
    // saturating there keeps a well-behaved router's screens exact while the counters can never
    // run away. Public so that code which sets the cursor directly can keep the invariant.
    void ClampCursor()
    {
        CursorRow = std::clamp(CursorRow, 1, kScreenRows + 1);
        CursorCol = std::clamp(CursorCol, 1, kScreenCols + 1);
    }

private:
    void Scroll();
    // Draws from the front of input for as long as it holds text and the escape sequences a
    // status repaint is made of; stops at the end or at the first escape sequence it leaves to
    // NextToken and HandleEscape (anything unusual, unfinished or erasing). Same screen as the
    // token path, without cutting tokens.
    void DrawFast(std::string_view &input);
    // Applies a control byte (BEL, TAB, BS, LF, CR) to the cursor; false for a byte to draw.
    bool MoveForControl(unsigned char c);
    // Draws a run of drawable bytes at the cursor, wrapping and scrolling as rows fill.
    void DrawRun(const char *p, const char *end);

    std::array<char, kScreenRows * kScreenCols> FCells;
    // Set while the remainder of an over-long escape sequence is being skipped.
    bool FDiscarding = false;
    bool FDiscardBracketSeen = false;
    uint64_t m_erasures = 0;
};
