// SPDX-License-Identifier: MIT
// Router bytes through the console pipeline: tokens, drawing and ParseScreen after every chunk, as
// the session runs them. The same bytes are fed whole, split at points taken from the input, and
// one byte at a time through the buffer overload of NextToken, and with a token listener (which
// makes the screen cut every token rather than draw straight through); all must end on one screen.
// Every screen drawn goes through the layout check first, as in the session; one that passes is
// read and may raise nothing but the conversion error of a bad number.
#include "consolescreen.h"
#include "convert.h"
#include "layoutcheck.h"
#include "screenparser.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kMaxSplits = 16;

struct Fed
{
    TConsoleScreen screen;
    std::string buffer;
    TChannelStatus B1, B2;
    TRouterStatus Router;
};

void checkInvariants(const TConsoleScreen &screen)
{
    if (screen.CursorRow < 1 || screen.CursorRow > kScreenRows + 1 || screen.CursorCol < 1 ||
        screen.CursorCol > kScreenCols + 1)
        std::abort();
    for (int r = 1; r <= kScreenRows; ++r)
        if (screen.Row(r).size() != static_cast<size_t>(kScreenCols))
            std::abort();
}

// One received chunk as the session handles it. A conversion error leaves the bytes after the
// offending token in the buffer; the session then meets them with the next chunk.
void feedChunk(Fed &fed, std::string_view chunk, bool fullPass, bool listen = false)
{
    bool drawn = true;
    try {
        // A token listener makes the screen cut every token instead of drawing straight through.
        if (listen)
            fed.screen.DrawChunk(fed.buffer, chunk, [](std::string_view) {});
        else
            fed.screen.DrawChunk(fed.buffer, chunk);
    } catch (const EConvertError &) {
        drawn = false; // the session reads nothing of this chunk
    }
    checkInvariants(fed.screen);
    if (!drawn)
        return;
    // Any screen at all: the check itself never fails to answer.
    const TLayoutVerdict verdict = CheckStatusLayout(fed.screen);
    if (verdict.Passed() != DescribeLayoutFault(verdict).empty())
        std::abort();
    // A refused screen is read too, as before the check existed: ParseScreen must take any screen.
    try {
        ParseScreen(fed.screen, fullPass, fed.B1, fed.B2, fed.Router);
    } catch (const EConvertError &) {
    } catch (...) {
        std::abort();
    }
}

// Draws whatever complete tokens an error left behind, so every mode consumes every token once.
void drain(Fed &fed)
{
    for (;;) {
        try {
            fed.screen.DrawChunk(fed.buffer, {});
            return;
        } catch (const EConvertError &) {
        }
    }
}

// The stream cut at the given points, each piece a chunk, then drained.
void feedSplit(Fed &fed, std::string_view stream, const std::vector<size_t> &splits, bool fullPass, bool listen)
{
    size_t from = 0;
    for (size_t at : splits) {
        feedChunk(fed, stream.substr(from, at - from), fullPass, listen);
        from = at;
    }
    feedChunk(fed, stream.substr(from), fullPass, listen);
    drain(fed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const bool fullPass = provider.ConsumeBool();
    const int splitCount = provider.ConsumeIntegralInRange<int>(0, kMaxSplits);
    std::vector<size_t> splits;
    for (int k = 0; k < splitCount; ++k)
        splits.push_back(provider.ConsumeIntegral<uint16_t>());
    const std::string stream = provider.ConsumeRemainingBytesAsString();
    for (size_t &s : splits)
        s = stream.empty() ? 0 : s % (stream.size() + 1);
    std::sort(splits.begin(), splits.end());

    Fed whole;
    feedChunk(whole, stream, fullPass);
    drain(whole);

    Fed split;
    feedSplit(split, stream, splits, fullPass, false);

    // The same cuts token by token, as during the login walk.
    Fed listened;
    feedSplit(listened, stream, splits, fullPass, true);

    // Byte by byte through the copying NextToken, HandleEscape and PutText directly.
    TConsoleScreen single;
    std::string pending;
    for (char c : stream) {
        pending += c;
        for (std::string token = single.NextToken(pending); !token.empty(); token = single.NextToken(pending)) {
            try {
                if (token.front() == '\x1b')
                    single.HandleEscape(token);
                else
                    single.PutText(token);
            } catch (const EConvertError &) {
            }
        }
        checkInvariants(single);
    }

    const std::string text = whole.screen.Text();
    if (split.screen.Text() != text || split.screen.CursorRow != whole.screen.CursorRow ||
        split.screen.CursorCol != whole.screen.CursorCol)
        std::abort();
    if (listened.screen.Text() != text || listened.screen.CursorRow != whole.screen.CursorRow ||
        listened.screen.CursorCol != whole.screen.CursorCol || listened.buffer != split.buffer)
        std::abort();
    if (listened.B1.TX != split.B1.TX || listened.Router.LANSent != split.Router.LANSent ||
        listened.B2.Link != split.B2.Link)
        std::abort();
    if (single.Text() != text || single.CursorRow != whole.screen.CursorRow ||
        single.CursorCol != whole.screen.CursorCol)
        std::abort();
    // Whatever is left unconsumed is at most one unfinished escape sequence.
    if (whole.buffer != split.buffer || whole.buffer != pending || whole.buffer.size() >= kMaxEscapeLength)
        std::abort();
    return 0;
}
