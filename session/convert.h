// SPDX-License-Identifier: MIT
// Number conversions shared by the screen parser, the console session and the remote services.
// They follow the console's conventions: failures raise EConvertError with the text
// "'%s' is not a valid integer value", never undefined behaviour on overflow.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

class EConvertError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// "'<text>' is not a valid integer value"
[[noreturn]] void RaiseNotInteger(std::string_view text);

// Removes every character with code 32 or below from both ends.
std::string TrimControls(std::string_view text);

// The same trim as a view into the caller's text, for readers that copy the result once.
std::string_view TrimControlsView(std::string_view text);

// The standard decimal conversion of an edit box's text (ports and the like): optional leading
// blanks, an optional sign, then decimal digits, or hexadecimal digits after "$", "0x" or "0X".
// Anything else, or a value outside 32 bits, raises EConvertError naming the whole text.
int32_t StrToInt(std::string_view text);

// Screen field conversions: trim as TrimControls; empty gives 0; otherwise a signed decimal
// number that must fit the result type, else EConvertError with the trimmed text.
int32_t TrimToInt(std::string_view field);
int64_t TrimToInt64(std::string_view field);

// A bare decimal number as the console's escape sequences carry it: an optional sign and decimal
// digits, nothing else, fitting 32 bits; else EConvertError naming the text as given.
int32_t DecimalToInt(std::string_view text);

// Decimal text with "," between groups of three digits: 1234567 -> "1,234,567", 999 -> "999".
// Counters from the router are 64-bit, so the whole range is accepted; a sign stays in front
// of the grouped digits. Shared by the window's labels and the web status page.
std::string GroupThousands(int64_t Value);

// The usage rate of a channel's percentage in KB/s: percent x speed (Kbit/s, as a 32-bit
// product) / 819.2. Shared by the window's labels and the web status page.
double UsageRate(int32_t percent, int32_t speed);

// "%d%%  (%fKB/s)" with the rate to the nearest hundredth (halves away from zero) and "." as the
// decimal separator: "50%  (3.91KB/s)". The window puts the user's decimal point in its place.
std::string DefaultUsageText(int32_t percent, int32_t speed);

// Hexadecimal screen field: trim; empty gives 0; otherwise hexadecimal digits of either case.
// Failures raise EConvertError whose text is the trimmed field with "$" in front.
int32_t HexToInt(std::string_view field);
// The value of one hexadecimal digit (either case), or -1 for any other byte.
int HexDigitValue(char c);
