// SPDX-License-Identifier: MIT
// The rules the machine-status types carry: which connection states stand, a channel's Link word
// as a state, the router's duration texts in seconds.
#include "machinestatus.h"

#include <charconv>
#include <limits>

bool IsRouterConnected(TConnectionState State)
{
    return State == TConnectionState::Connected || State == TConnectionState::StatusScreen ||
           State == TConnectionState::Relaying || State == TConnectionState::UnknownLayout;
}

TChannelState ChannelState(const TChannelStatus &Channel)
{
    if (Channel.Link == "Down")
        return TChannelState::Down;
    if (Channel.Link == "Idle")
        return TChannelState::Idle;
    if (Channel.Link == "Voice")
        return TChannelState::Voice;
    if (Channel.Link == "No Data")
        return TChannelState::NoData;
    return TChannelState::Data;
}

std::optional<int64_t> DurationSeconds(std::string_view Text)
{
    // Hours of any length (the total outcall time passes 99), then exactly two digits each for
    // minutes and seconds, below 60.
    const std::size_t firstColon = Text.find(':');
    if (firstColon == 0 || firstColon == std::string_view::npos || Text.size() != firstColon + 6 ||
        Text[firstColon + 3] != ':' || Text[0] < '0' || Text[0] > '9')
        return std::nullopt;
    int64_t hours = 0;
    const auto parsed = std::from_chars(Text.data(), Text.data() + firstColon, hours);
    if (parsed.ec != std::errc{} || parsed.ptr != Text.data() + firstColon ||
        hours > std::numeric_limits<int64_t>::max() / 3600 - 1)
        return std::nullopt;
    const auto twoDigits = [&](std::size_t at) -> int {
        const char tens = Text[at], ones = Text[at + 1];
        if (tens < '0' || tens > '5' || ones < '0' || ones > '9')
            return -1;
        return (tens - '0') * 10 + (ones - '0');
    };
    const int minutes = twoDigits(firstColon + 1);
    const int seconds = twoDigits(firstColon + 4);
    if (minutes < 0 || seconds < 0)
        return std::nullopt;
    return hours * 3600 + minutes * 60 + seconds;
}
