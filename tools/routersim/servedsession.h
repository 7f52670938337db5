// SPDX-License-Identifier: MIT
// What the simulator's server drives per client connection: the simulated console (SimSession)
// or a capture played back (ReplaySession). Input arrives through feed(), output waits until
// takeReady() hands it to the socket.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Receives one event text per line ("login ok", "screen 24.1", "command drop-b1").
using EventSink = std::function<void(const std::string &)>;

class ServedSession
{
public:
    virtual ~ServedSession() = default;

    virtual void start(int64_t nowMs) = 0;
    virtual void feed(std::string_view bytes, int64_t nowMs) = 0;
    // The router's figures moved on.
    virtual void tick(int64_t nowMs) = 0;
    // Runs the session's own timers.
    virtual void wake(int64_t nowMs) = 0;
    virtual std::optional<int64_t> nextWakeMs() const = 0;
    // Removes and returns the output whose time has come. closeAfter is set when the session
    // hangs up once these bytes are sent.
    virtual std::string takeReady(int64_t nowMs, bool &closeAfter) = 0;
};
