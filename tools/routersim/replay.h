// SPDX-License-Identifier: MIT
// Plays a router session capture (docs/capture.md) back to one client: the router's chunks are
// sent as recorded, each after its recorded gap scaled by the speed, and every chunk the monitor
// typed is waited for before the chunks recorded after it. The typed password is masked in a
// capture, so any password line is taken in its place.
#pragma once

#include "servedsession.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

struct CaptureChunk
{
    int64_t timeMs = 0;
    bool typed = false;
    std::string bytes;
};

// Reads a whole capture; every line that is not a chunk is reported as "NAME:LINE: message" in
// errors. A capture without a router chunk is an error too.
std::vector<CaptureChunk> readCapture(std::istream &in, const std::string &name, std::vector<std::string> &errors);
// One capture line, without its line feed; false for a line that is none.
bool parseCaptureLine(std::string_view line, CaptureChunk &chunk);

class ReplaySession : public ServedSession
{
public:
    // Input kept while it does not yet match what the capture typed; more is dropped.
    static constexpr size_t kMaxInput = 4096;

    // speed 2 halves every gap, 0 sends without waiting.
    ReplaySession(std::shared_ptr<const std::vector<CaptureChunk>> chunks, double speed, EventSink events);

    void start(int64_t nowMs) override;
    void feed(std::string_view bytes, int64_t nowMs) override;
    void tick(int64_t) override {}
    void wake(int64_t nowMs) override { advance(nowMs); }
    std::optional<int64_t> nextWakeMs() const override { return m_waitUntilMs; }
    std::string takeReady(int64_t nowMs, bool &closeAfter) override;

private:
    void advance(int64_t nowMs);
    // Whether the input holds the typed chunk, taking it if so; a different input is reported
    // and taken in its place, so the replay goes on.
    bool takeTyped(const CaptureChunk &chunk);

    std::shared_ptr<const std::vector<CaptureChunk>> m_chunks;
    double m_speed;
    EventSink m_events;
    size_t m_next = 0;
    int64_t m_stepMs = 0; // when the previous chunk was sent or typed
    std::optional<int64_t> m_waitUntilMs;
    std::string m_input;
    std::string m_out;
};
