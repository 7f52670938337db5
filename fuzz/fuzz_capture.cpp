// SPDX-License-Identifier: MIT
// A capture line read by both of its readers: the core's (TCapture's own format) and the router
// simulator's replay. Whatever the simulator's strict reader takes, the core's takes alike; and
// the input's bytes recorded as a chunk read back unchanged through both.
#include "capture.h"
#include "replay.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);

    TCaptureChunk core;
    CaptureChunk replay;
    const bool coreTook = ParseCaptureLine(input, core);
    const std::string_view line = input.substr(0, input.find('\n'));
    if (parseCaptureLine(line, replay) && line.size() == input.size()) {
        if (!coreTook || core.TimeMs != replay.timeMs || core.Typed != replay.typed || core.Bytes != replay.bytes)
            std::abort();
    }

    TCapture capture;
    capture.Clock = [] { return int64_t{1765195200123}; };
    const bool typed = size % 2 == 1;
    capture.Record(typed, input);
    if (capture.Lines().size() != 1 || capture.Size() != capture.Lines().front().size())
        std::abort();
    const std::string &written = capture.Lines().front();
    if (!ParseCaptureLine(written, core) || core.Bytes != input || core.Typed != typed)
        std::abort();
    if (!parseCaptureLine(std::string_view(written).substr(0, written.size() - 1), replay) || replay.bytes != input ||
        replay.typed != typed || replay.timeMs != core.TimeMs)
        std::abort();
    return 0;
}
