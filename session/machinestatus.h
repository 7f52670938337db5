// SPDX-License-Identifier: MIT
// The machine-status snapshot (TMachineStatus) and its types: what the core gathers about the
// monitor for one request, with the connection and channel states it is read in. Plain values and
// a few rules over the router's words; remote/ renders the snapshot as /status.json and /metrics.
#pragma once

#include "statusmodel.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One usage history: point 0 is the oldest second, point 90 the newest.
using TUsageSeries = std::array<double, 91>;

// Where the monitor stands with the router's console. Its texts (ConnectionStateText) are stable:
// scripts and dashboards match on them.
enum class TConnectionState {
    NotConnected,     // no connection and none being made
    Connecting,       // the connection is being made
    Connected,        // connected, logging in or walking the menus
    StatusScreen,     // on the status screen: the figures are live
    Relaying,         // a remote telnet user has the console; the figures are live while the router repaints
    PasswordRejected, // the router refused the password; the monitor ended that connection
    UnknownLayout,    // connected, but the status screen has a layout this version does not read
};
constexpr int kConnectionStateCount = 7;

// Whether the console connection stands (connected, on the status screen, relaying, or on a status
// screen whose layout is not known).
bool IsRouterConnected(TConnectionState State);

// A channel's Link word reduced to a bounded set: "Down", "Idle", "Voice" and the default
// "No Data" by name, any other word is a data call (the rule the tray picture follows).
enum class TChannelState { Down, Idle, Voice, Data, NoData };
constexpr int kChannelStateCount = 5;
TChannelState ChannelState(const TChannelStatus &Channel);

// The router's duration text "h:mm:ss" (hours may have any number of digits) in seconds; none
// for any other text, or one whose value does not fit.
std::optional<int64_t> DurationSeconds(std::string_view Text);

// One caller-ID list entry as the refresh logged it.
struct TCallerIdEntry
{
    std::string Channel; // "B1" or "B2"
    int64_t TimeMs = 0;  // when it was logged, milliseconds since 1970-01-01 UTC
    std::string CLID;    // the router's caller-ID digits, ungrouped
};

// Where the monitor stands with getting the router connection back by itself.
struct TReconnectStatus
{
    bool Reconnecting = false;      // from a loss until the status screen is back or reconnecting stops
    bool Waiting = false;           // a wait before the next attempt runs
    int32_t NextAttemptSeconds = 0; // while waiting: seconds until the next attempt, rounded up
    int32_t Attempt = 0;            // the attempt under way or coming next, 1 for the first; 0: not reconnecting
    std::string Reason;             // why the connection or the last attempt ended; "" when not reconnecting
    bool PasswordRejected = false;  // the router refused the password: nothing is tried until Connect

    bool operator==(const TReconnectStatus &) const = default;
};

// The router's system name and firmware as its status screen last named them.
struct TRouterInfo
{
    std::string Name;
    std::string Firmware;

    bool operator==(const TRouterInfo &) const = default;
};

// Calls ended, as the call history logged them, per channel, kind and direction; every
// combination is there from the start (at 0), as Prometheus asks of a known label set.
struct TCallCounts
{
    // [channel - 1][voice][incoming]
    int64_t Count[2][2][2] = {};

    void Add(int Channel, bool Voice, bool Incoming) { ++Count[Channel == 2 ? 1 : 0][Voice][Incoming]; }
    bool operator==(const TCallCounts &) const = default;
};

// The figures the Prometheus client libraries export for their process, read from /proc and
// getrlimit; each group is left out when it cannot be read.
struct TProcessStats
{
    std::optional<double> CpuSeconds;       // user and system time
    std::optional<int64_t> ResidentBytes;   // resident set
    std::optional<int64_t> VirtualBytes;    // address space
    std::optional<double> StartTimeSeconds; // since the Unix epoch
    std::optional<int64_t> OpenFds;
    std::optional<int64_t> MaxFds; // the soft limit
};

// Everything a machine may ask about the monitor, gathered by the core for one request.
struct TMachineStatus
{
    TChannelStatus B1;
    TChannelStatus B2;
    TRouterStatus Router;
    TUsageSeries Series1{}; // B1's 90-second history, point 0 the oldest
    TUsageSeries Series2{};
    std::vector<TCallerIdEntry> CallerIds; // both channels, oldest first
    // The caller IDs (the list and each channel's CLID) were left out for this client: empty.
    bool CallerIdsWithheld = false;
    TConnectionState Connection = TConnectionState::NotConnected;
    bool RelayAttached = false; // a remote telnet user is attached
    // While UnknownLayout: which check the status screen failed, "usage, row 6, columns 59-61".
    std::string LayoutCheck;
    TReconnectStatus Reconnect;
    int64_t LastChangeMs = 0; // when the status record last changed, ms since the epoch (UTC); 0: never
    int64_t StartTimeMs = 0;  // when the monitor started, ms since the epoch (UTC)
    int64_t NowMs = 0;        // when this snapshot was taken, ms since the epoch (UTC)
    int32_t PageHits = 0;     // the status page's counter; read as unsigned 32 bits, as it wraps
    std::string Version;      // the program's version, "1.0.1.3"
    // The router's name and firmware once a status screen showed them; kept across a loss, so a
    // scraper's series keeps its labels. None before.
    std::optional<TRouterInfo> RouterInfo;
    TCallCounts Calls;
    // Only /metrics reads the process's figures; none in other snapshots.
    std::optional<TProcessStats> Process;
};
