// SPDX-License-Identifier: MIT
// The call history's database layout, one place for the writer, the readers and the tests. Each
// step moves PRAGMA user_version from its index to the next; a database opens by running the steps
// past its version in order, so every file made by an earlier program comes forward.
#pragma once

#include <array>

namespace history {

// Times are Unix seconds (UTC). Days in `daily` are the local calendar day "YYYY-MM-DD" the
// seconds fell on, because a tariff and a user's "today" follow the local clock. Packet counts
// are the monitor's own deltas of the router's channel counters (which count packets, whatever
// version 1 called them), never the counters themselves.
inline constexpr std::array<const char *, 2> kMigrations = {
    // Version 0 to 1: calls, router sessions and the per-day totals.
    "CREATE TABLE calls("
    " id INTEGER PRIMARY KEY,"
    " channel INTEGER NOT NULL CHECK(channel IN (1, 2)),"
    " kind TEXT NOT NULL CHECK(kind IN ('data', 'voice')),"
    " direction TEXT NOT NULL CHECK(direction IN ('in', 'out')),"
    " start_utc INTEGER NOT NULL,"
    " end_utc INTEGER NOT NULL,"
    " duration INTEGER NOT NULL,"
    " remote TEXT NOT NULL,"
    " tx_bytes INTEGER NOT NULL,"
    " rx_bytes INTEGER NOT NULL,"
    " peak_usage INTEGER NOT NULL,"
    " mean_usage REAL NOT NULL,"
    " closed_at_stop INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX calls_by_start ON calls(start_utc);"
    "CREATE TABLE sessions("
    " id INTEGER PRIMARY KEY,"
    " connected_utc INTEGER NOT NULL,"
    " ended_utc INTEGER,"
    " reason TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE daily("
    " day TEXT NOT NULL,"
    " channel INTEGER NOT NULL CHECK(channel IN (1, 2)),"
    " connected_seconds INTEGER NOT NULL DEFAULT 0,"
    " outcall_seconds INTEGER NOT NULL DEFAULT 0,"
    " tx_bytes INTEGER NOT NULL DEFAULT 0,"
    " rx_bytes INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY(day, channel)) WITHOUT ROWID;",
    // Version 1 to 2: the counters are named for what they count, and the file names the one
    // router whose calls it holds (one row, written when the monitor first connects), so two
    // routers' calls are never mixed in one file.
    "ALTER TABLE calls RENAME COLUMN tx_bytes TO tx_packets;"
    "ALTER TABLE calls RENAME COLUMN rx_bytes TO rx_packets;"
    "ALTER TABLE daily RENAME COLUMN tx_bytes TO tx_packets;"
    "ALTER TABLE daily RENAME COLUMN rx_bytes TO rx_packets;"
    "CREATE TABLE router("
    " id INTEGER PRIMARY KEY CHECK(id = 1),"
    " address TEXT NOT NULL,"
    " port INTEGER NOT NULL,"
    " name TEXT NOT NULL DEFAULT '');",
};

// The schema version that renamed the byte columns to packets: readers of an older file (one the
// monitor has not opened since) read the old names.
inline constexpr int kPacketsVersion = 2;

// The version this program writes; a file with a higher user_version came from a newer program.
inline constexpr int kSchemaVersion = int(kMigrations.size());

} // namespace history
