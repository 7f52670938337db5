// SPDX-License-Identifier: MIT
// The /status.json document, written by hand into one string: the key order is fixed, integers
// stay integers (a 64-bit counter never passes through a double) and router bytes are escaped
// here, so the answer is the same bytes for the same snapshot.
#include "statusjson.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

void appendInt(std::string &out, int64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// The shortest text that reads back as the same double; JSON has no NaN or infinity, so those
// are written as 0 (a history point is a percentage the refresh stored, never either).
void appendDouble(std::string &out, double value)
{
    if (!std::isfinite(value))
        value = 0;
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendString(std::string &out, std::string_view text)
{
    out += '"';
    out += JsonEscape(text);
    out += '"';
}

// `"key":` — keys are our own ASCII constants and need no escaping.
void appendKey(std::string &out, std::string_view key)
{
    out += '"';
    out += key;
    out += "\":";
}

void appendTime(std::string &out, std::string_view key, int64_t timeMs)
{
    appendKey(out, key);
    if (timeMs == 0)
        out += "null";
    else
        appendString(out, IsoTimeUtc(timeMs));
    out += ',';
    appendKey(out, std::string(key) + "_ms");
    appendInt(out, timeMs);
}

// The router's duration text as it stood, then its value in seconds (null when it is no duration).
void appendDuration(std::string &out, std::string_view textKey, std::string_view secondsKey, const std::string &text)
{
    appendKey(out, textKey);
    appendString(out, text);
    out += ',';
    appendKey(out, secondsKey);
    if (const std::optional<int64_t> seconds = DurationSeconds(text))
        appendInt(out, *seconds);
    else
        out += "null";
}

void appendChannel(std::string &out, std::string_view name, const TChannelStatus &channel, const TUsageSeries &series)
{
    out += '{';
    appendKey(out, "name");
    appendString(out, name);
    out += ',';
    appendKey(out, "link");
    appendString(out, channel.Link);
    out += ',';
    appendKey(out, "state");
    appendString(out, ChannelStateText(ChannelState(channel)));
    out += ',';
    appendKey(out, "speed_kbps");
    appendInt(out, channel.Speed);
    out += ',';
    appendKey(out, "tx");
    appendInt(out, channel.TX);
    out += ',';
    appendKey(out, "rx");
    appendInt(out, channel.RX);
    out += ',';
    appendKey(out, "errors");
    appendInt(out, channel.Errors);
    out += ',';
    appendKey(out, "clu");
    appendInt(out, channel.CLU);
    out += ',';
    appendKey(out, "alu");
    appendInt(out, channel.ALU);
    out += ',';
    appendDuration(out, "up_time", "up_seconds", channel.UpTime);
    out += ',';
    appendKey(out, "ip");
    appendString(out, channel.IP);
    out += ',';
    appendKey(out, "clid");
    appendString(out, channel.CLID);
    out += ',';
    appendKey(out, "usage_history");
    out += '[';
    for (std::size_t i = 0; i < series.size(); ++i) {
        if (i > 0)
            out += ',';
        appendDouble(out, series[i]);
    }
    out += "]}";
}

} // namespace

std::string_view ConnectionStateText(TConnectionState State)
{
    switch (State) {
    case TConnectionState::NotConnected:
        return "not_connected";
    case TConnectionState::Connecting:
        return "connecting";
    case TConnectionState::Connected:
        return "connected";
    case TConnectionState::StatusScreen:
        return "status_screen";
    case TConnectionState::Relaying:
        return "relaying";
    case TConnectionState::PasswordRejected:
        return "password_rejected";
    case TConnectionState::UnknownLayout:
        return "unknown_layout";
    }
    return "not_connected";
}

std::string_view ChannelStateText(TChannelState State)
{
    switch (State) {
    case TChannelState::Down:
        return "down";
    case TChannelState::Idle:
        return "idle";
    case TChannelState::Voice:
        return "voice";
    case TChannelState::Data:
        return "data";
    case TChannelState::NoData:
        return "no_data";
    }
    return "no_data";
}

std::string IsoTimeUtc(int64_t TimeMs)
{
    using namespace std::chrono;
    const sys_time<milliseconds> when{milliseconds{TimeMs}};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{when - day};
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return buffer;
}

std::string Latin1ToUtf8(std::string_view Text)
{
    std::string out;
    out.reserve(Text.size());
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string JsonEscape(std::string_view Text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(Text.size());
    for (const char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else if (byte >= 0x80) {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        } else {
            out += c;
        }
    }
    return out;
}

std::string BuildStatusJson(const TMachineStatus &Status)
{
    const TRouterStatus &router = Status.Router;
    std::string out;
    out.reserve(4096 + 64 * std::min(Status.CallerIds.size(), kStatusJsonMaxCallerIds));

    out += '{';
    appendKey(out, "schema");
    out += "1,";
    appendKey(out, "version");
    appendString(out, Status.Version);
    out += ',';
    appendTime(out, "time", Status.NowMs);
    out += ',';

    appendKey(out, "monitor");
    out += '{';
    appendTime(out, "start_time", Status.StartTimeMs);
    out += ',';
    appendKey(out, "uptime_seconds");
    const bool timesKnown = Status.StartTimeMs != 0 && Status.NowMs >= Status.StartTimeMs;
    appendInt(out, timesKnown ? (Status.NowMs - Status.StartTimeMs) / 1000 : 0);
    out += ',';
    appendKey(out, "page_hits");
    appendInt(out, static_cast<uint32_t>(Status.PageHits));
    out += "},";

    appendKey(out, "connection");
    out += '{';
    appendKey(out, "state");
    appendString(out, ConnectionStateText(Status.Connection));
    out += ',';
    appendKey(out, "router_connected");
    out += IsRouterConnected(Status.Connection) ? "true" : "false";
    out += ',';
    appendKey(out, "relay_attached");
    out += Status.RelayAttached ? "true" : "false";
    out += ',';
    appendKey(out, "layout_check");
    appendString(out, Status.LayoutCheck);
    out += "},";

    const TReconnectStatus &reconnect = Status.Reconnect;
    appendKey(out, "reconnect");
    out += '{';
    appendKey(out, "reconnecting");
    out += reconnect.Reconnecting ? "true" : "false";
    out += ',';
    appendKey(out, "waiting");
    out += reconnect.Waiting ? "true" : "false";
    out += ',';
    appendKey(out, "next_attempt_in_seconds");
    if (reconnect.Waiting)
        appendInt(out, reconnect.NextAttemptSeconds);
    else
        out += "null";
    out += ',';
    appendKey(out, "attempt");
    appendInt(out, reconnect.Attempt);
    out += ',';
    appendKey(out, "reason");
    appendString(out, reconnect.Reason);
    out += ',';
    appendKey(out, "password_rejected");
    out += reconnect.PasswordRejected ? "true" : "false";
    out += "},";

    appendTime(out, "last_change", Status.LastChangeMs);
    out += ',';

    appendKey(out, "channels");
    out += '[';
    appendChannel(out, "B1", Status.B1, Status.Series1);
    out += ',';
    appendChannel(out, "B2", Status.B2, Status.Series2);
    out += "],";

    appendKey(out, "ethernet");
    out += '{';
    appendKey(out, "status");
    appendString(out, router.LANStatus);
    out += ',';
    appendKey(out, "sent");
    appendInt(out, router.LANSent);
    out += ',';
    appendKey(out, "received");
    appendInt(out, router.LANReceived);
    out += ',';
    appendKey(out, "collisions");
    appendInt(out, router.LANCollisions);
    out += "},";

    appendDuration(out, "total_outcall_time", "total_outcall_seconds", router.TotalOutcallTime);
    out += ',';

    appendKey(out, "last_call_trigger");
    out += '{';
    appendKey(out, "source_ip");
    appendString(out, router.TriggerSrcIP);
    out += ',';
    appendKey(out, "source_port");
    appendInt(out, router.TriggerSrcPort);
    out += ',';
    appendKey(out, "destination_ip");
    appendString(out, router.TriggerDestIP);
    out += ',';
    appendKey(out, "destination_port");
    appendInt(out, router.TriggerDestPort);
    out += "},";

    appendKey(out, "router");
    out += '{';
    appendKey(out, "name");
    appendString(out, router.Name);
    out += ',';
    appendKey(out, "firmware");
    appendString(out, router.Firmware);
    out += ',';
    appendKey(out, "ip_address");
    appendString(out, router.IPAddress);
    out += "},";

    const std::size_t omitted =
        Status.CallerIds.size() > kStatusJsonMaxCallerIds ? Status.CallerIds.size() - kStatusJsonMaxCallerIds : 0;
    appendKey(out, "caller_ids");
    out += '[';
    for (std::size_t i = omitted; i < Status.CallerIds.size(); ++i) {
        const TCallerIdEntry &entry = Status.CallerIds[i];
        if (i > omitted)
            out += ',';
        out += '{';
        appendKey(out, "channel");
        appendString(out, entry.Channel);
        out += ',';
        appendTime(out, "time", entry.TimeMs);
        out += ',';
        appendKey(out, "clid");
        appendString(out, entry.CLID);
        out += '}';
    }
    out += "],";
    appendKey(out, "caller_ids_omitted");
    appendInt(out, static_cast<int64_t>(omitted));
    out += ',';
    appendKey(out, "caller_ids_withheld");
    out += Status.CallerIdsWithheld ? "true" : "false";
    out += "}\n";
    return out;
}
