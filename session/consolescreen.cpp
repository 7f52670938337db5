// The virtual console screen: tokenising, the two escape sequences, text drawing with the
// console's reversed CR/LF, wrap and scroll. Hot path of every received chunk, so runs of text
// are found with memchr and copied a row piece at a time.
#include "consolescreen.h"

#include "convert.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

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

// The end of the run of drawable bytes starting at p. Console text is mostly printable, so eight
// bytes at a time are tested for any byte below 14 (the only ones with a meaning) and only a word
// that holds one is looked at byte by byte.
const char *drawableRunEnd(const char *p, const char *end)
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    for (;;) {
        while (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, sizeof word);
            // Non-zero exactly when some byte is below 14.
            if (((word - 14 * kOnes) & ~word & kHighBits) != 0)
                break;
            p += 8;
        }
        // Byte by byte through the word that may hold one; NUL and the like are drawn, so go on.
        const char *const stop = end - p > 8 ? p + 8 : end;
        while (p < stop && kTables.text[static_cast<unsigned char>(*p)] == TextClass::Draw)
            ++p;
        if (p < stop || p == end)
            return p;
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
        switch (kTables.text[static_cast<unsigned char>(*p)]) {
        case TextClass::Ignore:
            ++p;
            continue;
        case TextClass::Backspace:
            CursorCol = std::max(CursorCol - 1, 1);
            ++p;
            continue;
        case TextClass::LineFeed:
            CursorCol = 1;
            ++p;
            continue;
        case TextClass::Return:
            // Down one row; nothing scrolls until a character is written there.
            CursorRow = std::min(CursorRow + 1, kRowBeyond);
            ++p;
            continue;
        case TextClass::Draw:
            break;
        }
        // A run of drawable bytes: wrap and scroll as each row fills, copy a row piece at once.
        const char *runEnd = drawableRunEnd(p + 1, end);
        while (p < runEnd) {
            if (CursorCol > kScreenCols) {
                CursorCol = 1;
                ++CursorRow;
            }
            if (CursorRow > kScreenRows)
                Scroll();
            const size_t room = static_cast<size_t>(kScreenCols - CursorCol + 1);
            const size_t n = std::min(room, static_cast<size_t>(runEnd - p));
            std::memcpy(&FCells[static_cast<size_t>(CursorRow - 1) * kScreenCols + static_cast<size_t>(CursorCol - 1)],
                        p, n);
            CursorCol += static_cast<int>(n);
            p += n;
        }
    }
}

void TConsoleScreen::ClearScreen(int mode)
{
    if (mode == 2)
        FCells.fill(' ');
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

    for (std::string_view token = NextToken(input); !token.empty(); token = NextToken(input)) {
        if (token.front() == kEsc)
            HandleEscape(token);
        else
            PutText(token);
        if (onToken)
            onToken(token);
    }
}

void TConsoleScreen::ResetInput()
{
    FDiscarding = false;
    FDiscardBracketSeen = false;
}

std::string_view TConsoleScreen::Row(int r) const
{
    if (r < 1 || r > kScreenRows)
        return {};
    return std::string_view(&FCells[static_cast<size_t>(r - 1) * kScreenCols], kScreenCols);
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
