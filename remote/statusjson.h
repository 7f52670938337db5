// SPDX-License-Identifier: MIT
// The machine-status snapshot (TMachineStatus, session/machinestatus.h) as text: the state words
// that /status.json and /metrics share, and the JSON builder. Plain text work like the status page:
// no sockets, no widgets, no clock; the caller fills in the times. The schema is described in
// docs/status-json.md.
#pragma once

#include "machinestatus.h"
#include "statuspage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// "not_connected", "connecting", "connected", "status_screen", "relaying", "password_rejected",
// "unknown_layout".
std::string_view ConnectionStateText(TConnectionState State);
// "down", "idle", "voice", "data", "no_data".
std::string_view ChannelStateText(TChannelState State);

// At most this many caller-ID entries (the newest) go into one document, so an answer stays
// bounded however long the monitor runs; "caller_ids_omitted" counts the rest.
constexpr std::size_t kStatusJsonMaxCallerIds = 1000;

// "2024-05-01T12:34:56.789Z" for milliseconds since the epoch (UTC).
std::string IsoTimeUtc(int64_t TimeMs);

// Router text (8-bit bytes, not necessarily UTF-8) as UTF-8: each byte read as Latin-1, the
// charset the status page declares for it.
std::string Latin1ToUtf8(std::string_view Text);

// Router text (8-bit bytes, not necessarily UTF-8) as the inside of a JSON string: bytes 0x80 and
// above are read as Latin-1 and written as UTF-8; control characters as \u00XX; quote and
// backslash escaped. The result is always valid UTF-8.
std::string JsonEscape(std::string_view Text);

// The /status.json document, schema 1: one JSON object, ending with a line feed.
std::string BuildStatusJson(const TMachineStatus &Status);
