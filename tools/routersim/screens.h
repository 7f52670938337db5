// SPDX-License-Identifier: MIT
// The console's screens as bytes: a fresh paint of each menu, the system-information screen and
// the status screen, drawn with erase display, cursor positioning and a few attribute sequences.
// The rows and columns of the fields that a monitor reads are fixed here and nowhere else.
#pragma once

#include "routermodel.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class ScreenId { Password, Main, Menu24, Menu242, SystemInfo, Status };

// "password", "main", "24", "24.2", "24.2.1", "24.1": the names used in scripts and event lines.
const char *screenName(ScreenId screen);
std::optional<ScreenId> screenFromName(std::string_view name);

// One paint: the screen itself, then the prompt text, which is sent as a write of its own and
// never contains an escape sequence (a monitor looks for prompts inside single text runs).
struct Paint
{
    std::string body;
    std::string prompt;
};

// Where a field stands. Row 0 means "the row of the field's channel" (6 or 7).
struct FieldSpot
{
    const char *name;
    int row;
    int col;
    int width;
    bool rightAligned;
};

enum class FieldKind { Text, Address, Port };

// Field names a script may set: the spots below plus the trigger packet's
// "trigger.src", "trigger.dst" (dotted addresses) and "trigger.sport", "trigger.dport" (ports).
std::optional<FieldKind> fieldKind(std::string_view name);
const std::vector<FieldSpot> &statusFieldSpots();
const std::vector<FieldSpot> &systemInfoFieldSpots();

using FieldValues = std::map<std::string, std::string, std::less<>>;

struct RawText
{
    int row = 1;
    int col = 1;
    std::string text;
};

// The status screen's row and column constants that are not fields.
constexpr int kFirstChannelRow = 6;
constexpr int kChannelNumberCol = 3;
constexpr int kTriggerRow = 19;
constexpr int kTriggerFirstCol = 6;
constexpr int kSimRows = 24;
constexpr int kSimCols = 80;

Paint paintPassword();
Paint paintMainMenu();
Paint paintMenu24();
Paint paintMenu242();
Paint paintSystemInfo(const RouterModel &model, const FieldValues &overrides);
// How other firmwares might paint the status screen: "known" (this one), "shifted" (the channel
// rows' fields two columns to the right), "wide" (channel counters two columns wider, pushing
// what follows), "extra-row" (a row more under the title, everything below one lower) and
// "title" (the title worded without "Menu 24.1").
enum class StatusLayout { Known, Shifted, WideCounters, ExtraRow, Title };
std::optional<StatusLayout> statusLayoutFromName(std::string_view name);

Paint paintStatus(const RouterModel &model, const FieldValues &overrides, const std::vector<RawText> &raws,
                  bool swapRows, StatusLayout layout = StatusLayout::Known);

// The live values of the status screen's fields, before any override.
FieldValues statusValues(const RouterModel &model);

// A message on the message row, then the screen's prompt again.
Paint paintMessage(ScreenId screen, std::string_view message);
// The screen's prompt alone, positioned and whole.
Paint paintPromptAgain(ScreenId screen);

// Parses "a.b.c.d" into four bytes; false when it is not a dotted IPv4 address.
bool parseAddress(std::string_view text, uint8_t (&bytes)[4]);
