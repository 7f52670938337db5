// SPDX-License-Identifier: MIT
// The /metrics document: the machine snapshot in Prometheus's text exposition format 0.0.4.
// Every family has HELP and TYPE lines; the only labels are bounded ones (channel, channel
// state, connection state, call kind and direction, and one info series each for the router and
// the build). Caller IDs
// and addresses are left out: they would make a series per value.
#pragma once

#include "statusjson.h"

#include <string>
#include <string_view>

// The content type a scraper expects for this document.
constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value as the format wants it: router bytes read as Latin-1 and written as UTF-8,
// then backslash, double quote and line feed escaped.
std::string MetricsLabelEscape(std::string_view Text);

// The /metrics document, one family after another, ending with a line feed; the process_*
// families last, when the snapshot carries them.
std::string BuildMetrics(const TMachineStatus &Status);

// The process_* families the Prometheus client libraries export (CPU time, memory, descriptors,
// start time), for the figures that could be read.
std::string BuildProcessMetrics(const TProcessStats &Stats);

// This process's figures from /proc/self/stat, /proc/stat's boot time, /proc/self/fd and
// getrlimit: a few small reads, cheap enough for every scrape.
TProcessStats ReadProcessStats();
