// SPDX-License-Identifier: MIT
// The virtual console screen: tokenising, the two escape sequences, text drawing with the
// console's reversed CR/LF, wrap and scroll. Hot path of every received chunk: runs of text are
// found sixteen bytes at a time and copied a row piece at once, and once the login walk is over a
// chunk is drawn straight through without cutting tokens.
#include "consolescreen.h"

#include "convert.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char kEsc = 27;
constexpr int kRowBeyond = kScreenRows + 1; // the next character scrolls, however far below it was

// What a byte does inside an escape sequence.
enum class ByteClass : unsigned char {
    Plain,
    Final,   // ends any sequence: A B C D E H J K M c f g h l m r, and a second ESC
    Save,    // 7 and 8 end a sequence that has no "[" (save / restore cursor)
    Bracket, // "[" turns 7 and 8 into parameter digits
};

// What a byte does inside a text run.
enum class TextClass : unsigned char {
    Draw,
    Ignore,    // BEL, TAB
    Backspace, // BS
    LineFeed,  // LF: back to column 1 on this console
    Return,    // CR: down one row on this console
};

struct Tables
{
    std::array<ByteClass, 256> escape{};
    std::array<TextClass, 256> text{};

    constexpr Tables()
    {
        for (unsigned char c : std::string_view("ABCDEHJKMcfghlmr"))
            escape[c] = ByteClass::Final;
        escape[static_cast<unsigned char>(kEsc)] = ByteClass::Final;
        escape['7'] = ByteClass::Save;
        escape['8'] = ByteClass::Save;
        escape['['] = ByteClass::Bracket;
        text[7] = TextClass::Ignore;
        text[9] = TextClass::Ignore;
        text[8] = TextClass::Backspace;
        text[10] = TextClass::LineFeed;
        text[13] = TextClass::Return;
    }
};

constexpr Tables kTables;

// Whether byte c ends an escape sequence; a "[" is remembered in bracketSeen.
inline bool endsEscape(unsigned char c, bool &bracketSeen)
{
    switch (kTables.escape[c]) {
    case ByteClass::Final:
        return true;
    case ByteClass::Save:
        return !bracketSeen;
    case ByteClass::Bracket:
        bracketSeen = true;
        return false;
    case ByteClass::Plain:
        break;
    }
    return false;
}

// Whether byte c ends a run of text: an ESC, or a control that moves the cursor.
inline bool endsText(char c)
{
    return c == kEsc || kTables.text[static_cast<unsigned char>(c)] != TextClass::Draw;
}

// The end of the run of drawable bytes starting at p that also stops at an ESC: the text part of
// a token and the run within it in one pass. Sixteen bytes at a time with SSE2, then eight in a
// word, each byte tested exactly (no carries between bytes), so the first candidate is found
// without a byte loop.
const char *textRunEnd(const char *p, const char *end)
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    constexpr uint64_t kEscs = kOnes * static_cast<unsigned char>(kEsc);
#if defined(__SSE2__)
    // Sixteen bytes at a time where the processor has it (every x86-64 does).
    const __m128i escs = _mm_set1_epi8(kEsc);
    const __m128i thirteens = _mm_set1_epi8(13);
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i below14 = _mm_cmpeq_epi8(_mm_min_epu8(bytes, thirteens), bytes);
        auto candidates = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(below14, _mm_cmpeq_epi8(bytes, escs))));
        while (candidates != 0) {
            const char *at = p + __builtin_ctz(candidates);
            if (endsText(*at))
                return at;
            candidates &= candidates - 1;
        }
        p += 16;
    }
#endif
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        // High bit of a byte set when the byte is below 14, or is an ESC.
        const uint64_t below14 = ~(((word & kLow7) + (0x80 - 14) * kOnes) | word) & kHighBits;
        const uint64_t esc = word ^ kEscs;
        const uint64_t isEsc = ~(((esc & kLow7) + kLow7) | esc) & kHighBits;
        uint64_t candidates = below14 | isEsc;
        while (candidates != 0) {
            const char *at = p + (__builtin_ctzll(candidates) >> 3);
            // Little-endian: the lowest set byte is the first in memory.
            if (endsText(*at))
                return at;
            candidates &= candidates - 1; // NUL and the like are drawn: on to the next candidate
        }
        p += 8;
    }
    while (p < end && !endsText(*p))
        ++p;
    return p;
}

// Copies n bytes without a library call: console rows are short and a call costs more than the
// copy. Overlapping fixed-size moves cover every length.
inline void copySmall(char *to, const char *from, size_t n)
{
    if (n >= 16) {
        for (size_t i = 0; i + 16 <= n; i += 16)
            std::memcpy(to + i, from + i, 16);
        std::memcpy(to + n - 16, from + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else {
        for (size_t i = 0; i < n; ++i)
            to[i] = from[i];
    }
}

// A row or column number. Routers send one to three plain digits, read here directly; anything
// else takes the full conversion, which also raises the error for what is not a number.
int cursorParameter(std::string_view text)
{
    if (text.size() <= 4) {
        int value = 0;
        for (char c : text) {
            if (c < '0' || c > '9')
                return DecimalToInt(text);
            value = value * 10 + (c - '0');
        }
        return value;
    }
    return DecimalToInt(text);
}

} // namespace

TConsoleScreen::TConsoleScreen()
{
    FCells.fill(' ');
}

std::string TConsoleScreen::NextToken(std::string &buffer)
{
    std::string_view input(buffer);
    const std::string token(NextToken(input));
    buffer.erase(0, buffer.size() - input.size());
    return token;
}

std::string_view TConsoleScreen::NextToken(std::string_view &input)
{
    for (;;) {
        if (FDiscarding) {
            // The rest of an over-long sequence: skip up to and including its final character.
            size_t i = 0;
            while (i < input.size() && !endsEscape(static_cast<unsigned char>(input[i]), FDiscardBracketSeen))
                ++i;
            if (i == input.size()) {
                input = {};
                return {};
            }
            input.remove_prefix(i + 1);
            FDiscarding = false;
        }
        if (input.empty())
            return {};

        if (input.front() != kEsc) {
            // A text run reaches up to the next ESC, which starts the next token.
            const void *esc = std::memchr(input.data(), kEsc, input.size());
            const size_t length =
                esc ? static_cast<size_t>(static_cast<const char *>(esc) - input.data()) : input.size();
            const std::string_view token = input.substr(0, length);
            input.remove_prefix(length);
            return token;
        }

        // An escape sequence ends with (and includes) its final character or a second ESC.
        bool bracketSeen = false;
        const size_t limit = std::min(input.size(), kMaxEscapeLength);
        for (size_t i = 1; i < limit; ++i) {
            if (endsEscape(static_cast<unsigned char>(input[i]), bracketSeen)) {
                const std::string_view token = input.substr(0, i + 1);
                input.remove_prefix(i + 1);
                return token;
            }
        }
        if (input.size() < kMaxEscapeLength)
            return {}; // unfinished: wait for the next chunk

        // Never ended within the cap: drop what we have and skip the rest as it arrives.
        input.remove_prefix(kMaxEscapeLength);
        FDiscarding = true;
        FDiscardBracketSeen = bracketSeen;
    }
}

void TConsoleScreen::HandleEscape(std::string_view token)
{
    // ESC "[" parameters command; anything shorter, or without the bracket, is ignored.
    if (token.size() < 3 || token[1] != '[')
        return;
    const char command = token.back();
    const std::string_view params = token.substr(2, token.size() - 3);
    switch (command) {
    case 'H': { // CUP: "row;col", or a lone column; an empty part leaves its coordinate alone
        const size_t semicolon = params.find(';');
        const std::string_view row =
            semicolon == std::string_view::npos ? std::string_view() : params.substr(0, semicolon);
        const std::string_view col = semicolon == std::string_view::npos ? params : params.substr(semicolon + 1);
        if (!row.empty()) {
            CursorRow = cursorParameter(row);
            ClampCursor();
        }
        if (!col.empty()) {
            CursorCol = cursorParameter(col);
            ClampCursor();
        }
        break;
    }
    case 'J': // ED: only the first parameter character counts, and only 2 erases
        if (!params.empty())
            ClearScreen(DecimalToInt(params.substr(0, 1)));
        break;
    default: // attributes, erase in line, modes, scroll regions...: consumed, no effect
        break;
    }
}

void TConsoleScreen::PutText(std::string_view token)
{
    ClampCursor();
    const char *p = token.data();
    const char *const end = p + token.size();
    while (p < end) {
        if (MoveForControl(static_cast<unsigned char>(*p))) {
            ++p;
            continue;
        }
        // A run stops at an ESC too, which a text token never holds (drawn like any byte if it did).
        const char *runEnd = textRunEnd(p + 1, end);
        DrawRun(p, runEnd);
        p = runEnd;
    }
}

bool TConsoleScreen::MoveForControl(unsigned char c)
{
    switch (kTables.text[c]) {
    case TextClass::Ignore:
        return true;
    case TextClass::Backspace:
        CursorCol = std::max(CursorCol - 1, 1);
        return true;
    case TextClass::LineFeed:
        CursorCol = 1;
        return true;
    case TextClass::Return:
        // Down one row; nothing scrolls until a character is written there.
        CursorRow = std::min(CursorRow + 1, kRowBeyond);
        return true;
    case TextClass::Draw:
        break;
    }
    return false;
}

void TConsoleScreen::DrawRun(const char *p, const char *end)
{
    // Wrap and scroll as each row fills; a row piece is copied at once.
    while (p < end) {
        if (CursorCol > kScreenCols) {
            CursorCol = 1;
            ++CursorRow;
        }
        if (CursorRow > kScreenRows)
            Scroll();
        const size_t room = static_cast<size_t>(kScreenCols - CursorCol + 1);
        const size_t n = std::min(room, static_cast<size_t>(end - p));
        copySmall(&FCells[static_cast<size_t>(CursorRow - 1) * kScreenCols + static_cast<size_t>(CursorCol - 1)], p, n);
        CursorCol += static_cast<int>(n);
        p += n;
    }
}

void TConsoleScreen::ClearScreen(int mode)
{
    if (mode == 2) {
        FCells.fill(' ');
        ++m_erasures;
    }
}

void TConsoleScreen::DrawChunk(std::string &buffer, std::string_view chunk,
                               const std::function<void(std::string_view token)> &onToken)
{
    // Tokens are cut from a local view: straight from the chunk when nothing is pending (the usual
    // case), else from the pending bytes joined with it. A callback may send to the router and so
    // nest other events; nothing here points into buffer while it runs.
    std::string joined;
    if (!buffer.empty()) {
        joined = std::move(buffer);
        joined.append(chunk);
        chunk = joined;
    }
    buffer.clear();
    std::string_view input = chunk;
    // Whatever happens, the bytes not yet consumed (an unfinished sequence, or the rest of a chunk
    // whose handling failed) wait in buffer for the next chunk.
    struct KeepRest
    {
        std::string &buffer;
        std::string_view &input;
        ~KeepRest() { buffer.insert(0, input); }
    } keepRest{buffer, input};

    for (;;) {
        // Nobody needs the tokens one by one: draw straight through, and cut a token only where
        // the fast path leaves one.
        if (!onToken && !FDiscarding)
            DrawFast(input);
        const std::string_view token = NextToken(input);
        if (token.empty())
            break;
        if (token.front() == kEsc)
            HandleEscape(token);
        else
            PutText(token);
        if (onToken)
            onToken(token);
    }
}

void TConsoleScreen::DrawFast(std::string_view &input)
{
    const char *p = input.data();
    const char *const end = p + input.size();
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        if (c != static_cast<unsigned char>(kEsc)) {
            // Text starts from a cursor on the grid, as PutText does, even one set from outside.
            ClampCursor();
            if (MoveForControl(c)) {
                ++p;
                continue;
            }
            const char *runEnd = textRunEnd(p + 1, end);
            DrawRun(p, runEnd);
            p = runEnd;
            continue;
        }

        // ESC "[" parameters final, as the token path would cut it: the final character is the
        // first one that ends a sequence after the bracket, within the length cap.
        if (end - p < 3 || p[1] != '[')
            break;
        const char *const limit = p + std::min<ptrdiff_t>(end - p, static_cast<ptrdiff_t>(kMaxEscapeLength));
        // "row;col" with parts of at most four digits is read here; any other parameter text
        // makes the sequence go the token way, should it turn out to matter. Digits past the
        // fourth are only counted.
        const auto readPart = [limit](const char *&q, int &value) {
            const char *const start = q;
            for (; q < limit && static_cast<unsigned>(*q - '0') < 10u; ++q)
                if (q - start < 4)
                    value = value * 10 + (*q - '0');
            return q - start;
        };
        const char *q = p + 2;
        int first = 0;
        const ptrdiff_t firstDigits = readPart(q, first);
        bool twoParts = false;
        int second = 0;
        ptrdiff_t secondDigits = 0;
        if (q < limit && *q == ';') {
            twoParts = true;
            ++q;
            secondDigits = readPart(q, second);
        }
        bool plain = firstDigits <= 4 && secondDigits <= 4;
        // The final character: the first byte that ends a sequence.
        for (; q < limit && kTables.escape[static_cast<unsigned char>(*q)] != ByteClass::Final; ++q)
            plain = false;
        if (q == limit || *q == 'J')
            break; // unfinished, over-long, or an erase: the token path decides
        if (*q == 'H') {
            if (!plain)
                break;
            // "row;col", or a lone column; an empty part leaves its coordinate alone.
            if (twoParts) {
                if (firstDigits > 0)
                    CursorRow = first;
                if (secondDigits > 0)
                    CursorCol = second;
            } else if (firstDigits > 0) {
                CursorCol = first;
            }
            ClampCursor();
        }
        // Any other final (attributes, erase in line, modes, a second ESC): consumed, no effect.
        p = q + 1;
    }
    input.remove_prefix(static_cast<size_t>(p - input.data()));
}

void TConsoleScreen::ResetInput()
{
    FDiscarding = false;
    FDiscardBracketSeen = false;
}

std::string TConsoleScreen::Text() const
{
    std::string text;
    text.reserve(kScreenRows * (kScreenCols + 1));
    for (int r = 1; r <= kScreenRows; ++r) {
        text += Row(r);
        text += '\n';
    }
    return text;
}

void TConsoleScreen::Scroll()
{
    // Up by exactly one row, however far below the screen the cursor stood.
    std::memmove(FCells.data(), FCells.data() + kScreenCols, (kScreenRows - 1) * kScreenCols);
    std::fill(FCells.end() - kScreenCols, FCells.end(), ' ');
    CursorRow = kScreenRows;
}
