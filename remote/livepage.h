// SPDX-License-Identifier: MIT
// The live page (/live): an HTML page, its script and its style sheet, compiled into the program
// as a Qt resource, answered with their security and caching headers. The page reads /events and
// /calls.json itself; here it only gets its language and the user's graph colours.
#pragma once

#include "statuspage.h"

#include <optional>
#include <string>
#include <string_view>

// What the page is served with for one request.
struct TLivePageInputs
{
    // The request's Accept-Language value ("" when it sent none).
    std::string_view AcceptLanguage;
    // Each channel's graph and gauge colours, as the status page has them.
    TChannelColors B1Colors;
    TChannelColors B2Colors;
    // Whether the page may read /calls.json: "yes", "off" (no history kept) or "withheld" (not
    // for this client), so that it neither asks in vain nor fills the console with errors.
    std::string CallHistory = "yes";
};

inline constexpr std::string_view kLivePath = "/live";

// Whether Path (a query ignored) is the page or one of its files.
bool IsLivePath(std::string_view Path);

// "de" when Accept-Language ranks German above English, "en" otherwise (English also for any
// language the page does not have).
std::string_view LiveLanguage(std::string_view AcceptLanguage);

// The whole answer for Path, or nothing for a path that is not the page's.
std::optional<std::string> LivePageAnswer(std::string_view Path, const TLivePageInputs &Inputs);

// The value of header Name (case-insensitive) in a request's header block, trimmed; "" without.
std::string_view RequestHeader(std::string_view Block, std::string_view Name);
