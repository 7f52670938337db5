// SPDX-License-Identifier: MIT
// TCallRecorder: turns the once-a-second status record into the call history's events: each call
// as it ends, the router sessions, and per local day and channel the connected time, the outgoing
// call time and the packets each way. Plain logic on the times it is given; the store writes.
#pragma once

#include "statusmodel.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// One finished call, a row of the calls table. Times are Unix seconds (UTC); Remote is the caller
// ID as the router showed it, or the far end's address for a data call without one (0.0.0.0
// when it had none); empty for an outgoing voice call.
struct THistoryCall
{
    int Channel = 1;
    bool Voice = false;
    bool Incoming = false;
    int64_t StartUtc = 0;
    int64_t EndUtc = 0;
    std::string Remote;
    int64_t TxPackets = 0;
    int64_t RxPackets = 0;
    int32_t PeakUsage = 0;
    double MeanUsage = 0;
    // Still open when the monitor stopped (or logging was switched off): ended at that moment.
    bool ClosedAtStop = false;

    bool operator==(const THistoryCall &) const = default;
};

// The router connection came up (Connected) or ended, and why.
struct THistorySession
{
    bool Connected = false;
    int64_t Utc = 0;
    std::string Reason;

    bool operator==(const THistorySession &) const = default;
};

// Amounts to add to one local day's totals of one channel (never the totals themselves, so
// several runs of the monitor on one day add up).
struct THistoryDaily
{
    std::string Day; // "YYYY-MM-DD", local
    int Channel = 1;
    int64_t ConnectedSeconds = 0;
    int64_t OutcallSeconds = 0;
    int64_t TxPackets = 0;
    int64_t RxPackets = 0;

    bool operator==(const THistoryDaily &) const = default;
};

using THistoryEvent = std::variant<THistoryCall, THistorySession, THistoryDaily>;

class TCallRecorder
{
public:
    // The daily amounts go out at least this often while they grow, so a killed monitor loses at
    // most this much of them.
    static constexpr int64_t kFlushIntervalMs = 60 * 1000;
    // A longer gap between two ticks (a suspended machine, a stalled loop) counts as this much.
    static constexpr int64_t kMaxTickGapMs = 10 * 1000;

    // Where the events go.
    std::function<void(THistoryEvent Event)> Emit;

    // Once a second with the record and the time: UTC in milliseconds, and the local day it is.
    void Tick(const TChannelStatus &B1, const TChannelStatus &B2, int64_t UtcMs, const std::string &LocalDay);
    void SessionConnected(int64_t UtcMs);
    void SessionLost(int64_t UtcMs, const std::string &Reason);
    // The monitor stops: open calls end now, marked so; the totals and the session are closed.
    void Stop(int64_t UtcMs);

    bool CallOpen(int Channel) const { return m_channels.at(Channel - 1).Call.has_value(); }

private:
    // A router counter read as deltas. A value below the last one means the counter started again
    // (router reboot, Reset, a new connection): the new value is all new packets, nothing before it
    // counts again. A 32-bit counter just short of its top that comes back small has wrapped.
    struct TCounter
    {
        bool Known = false;
        int64_t Last = 0;
        int64_t step(int64_t Value);
    };
    struct TCall
    {
        THistoryCall Row;
        int64_t LastSeenMs = 0;
        int64_t UsageSum = 0;
        int64_t Samples = 0;
        // The outgoing time counted for this call per day, taken back if a caller ID shows late.
        std::vector<std::pair<std::string, int64_t>> OutcallMs;
    };
    struct TChannel
    {
        TCounter Tx;
        TCounter Rx;
        std::optional<TCall> Call;
        // The last tick saw the channel's state (not "No Data").
        bool SeenLastTick = false;
    };
    struct TPending
    {
        std::string Day;
        int Channel = 1;
        int64_t ConnectedMs = 0;
        int64_t OutcallMs = 0;
        int64_t TxPackets = 0;
        int64_t RxPackets = 0;
    };

    void tickChannel(int Channel, const TChannelStatus &C, int64_t NowMs, int64_t ElapsedMs, const std::string &Day);
    void endCall(int Channel, int64_t EndMs, bool AtStop);
    TPending &pending(const std::string &Day, int Channel);
    void flush(int64_t NowMs);
    void send(THistoryEvent Event)
    {
        if (Emit)
            Emit(std::move(Event));
    }

    std::array<TChannel, 2> m_channels;
    std::vector<TPending> m_pending;
    std::optional<int64_t> m_lastTickMs;
    std::string m_lastDay;
    int64_t m_lastFlushMs = 0;
    bool m_sessionOpen = false;
};
