// SPDX-License-Identifier: MIT
// Number conversions; see convert.h.
#include "convert.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

// Digit values of every byte; 0xFF for a byte that is no hexadecimal digit. A table, because
// the screen parser converts a few dozen fields after every received chunk.
struct DigitTable
{
    unsigned char value[256];
    constexpr DigitTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = 0xFF;
        for (int c = '0'; c <= '9'; ++c)
            value[c] = static_cast<unsigned char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c)
            value[c] = static_cast<unsigned char>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c)
            value[c] = static_cast<unsigned char>(c - 'A' + 10);
    }
};
constexpr DigitTable kDigits;

// Accumulates the digits of s in the given base into magnitude; false on a foreign character or,
// when Checked, an overflow.
template <bool Checked>
bool gatherDigits(std::string_view s, unsigned base, uint64_t &magnitude)
{
    for (char c : s) {
        const unsigned digit = kDigits.value[static_cast<unsigned char>(c)];
        if (digit >= base)
            return false;
        if constexpr (Checked) {
            if (__builtin_mul_overflow(magnitude, base, &magnitude) ||
                __builtin_add_overflow(magnitude, digit, &magnitude))
                return false;
        } else {
            magnitude = magnitude * base + digit;
        }
    }
    return true;
}

// Parses an optional sign and digits in the given base into a value within [lo, hi] (lo < 0 < hi).
// Returns false on an empty digit run, a foreign character or an overflow.
bool parseSigned(std::string_view s, unsigned base, int64_t lo, int64_t hi, int64_t &out)
{
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return false;
    // The magnitude is gathered unsigned, so the most negative value fits too. Up to 15 digits
    // cannot overflow in any base used here, so screen fields (all shorter) skip the checks.
    uint64_t magnitude = 0;
    if (!(s.size() <= 15 ? gatherDigits<false>(s, base, magnitude) : gatherDigits<true>(s, base, magnitude)))
        return false;
    const uint64_t limit = negative ? static_cast<uint64_t>(-(lo + 1)) + 1 : static_cast<uint64_t>(hi);
    if (magnitude > limit)
        return false;
    // -magnitude in two's complement, without overflowing at the most negative value.
    out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

} // namespace

void RaiseNotInteger(std::string_view text)
{
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

std::string_view TrimControlsView(std::string_view text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32)
        --end;
    return text.substr(begin, end - begin);
}

std::string TrimControls(std::string_view text)
{
    return std::string(TrimControlsView(text));
}

int32_t StrToInt(std::string_view text)
{
    std::string_view s = text;
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    std::string_view sign;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        sign = s.substr(0, 1);
        s.remove_prefix(1);
    }
    int base = 10;
    if (!s.empty() && s.front() == '$') {
        base = 16;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    std::string digits(sign);
    digits += s;
    int64_t value = 0;
    if (!parseSigned(digits, base, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), value))
        RaiseNotInteger(text);
    return static_cast<int32_t>(value);
}

int32_t DecimalToInt(std::string_view text)
{
    int64_t value = 0;
    if (!parseSigned(text, 10, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), value))
        RaiseNotInteger(text);
    return static_cast<int32_t>(value);
}

int32_t TrimToInt(std::string_view field)
{
    const std::string_view t = TrimControlsView(field);
    if (t.empty())
        return 0;
    int64_t value = 0;
    if (!parseSigned(t, 10, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), value))
        RaiseNotInteger(t);
    return static_cast<int32_t>(value);
}

int64_t TrimToInt64(std::string_view field)
{
    const std::string_view t = TrimControlsView(field);
    if (t.empty())
        return 0;
    int64_t value = 0;
    if (!parseSigned(t, 10, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), value))
        RaiseNotInteger(t);
    return value;
}

int HexDigitValue(char c)
{
    const unsigned value = kDigits.value[static_cast<unsigned char>(c)];
    return value < 16 ? static_cast<int>(value) : -1;
}

int32_t HexToInt(std::string_view field)
{
    const std::string_view t = TrimControlsView(field);
    if (t.empty())
        return 0;
    // Hex fields on the console are at most two digits; anything that does not fit 32 bits is
    // as foreign as a non-digit.
    int64_t value = 0;
    if (t.front() == '-' || t.front() == '+' ||
        !parseSigned(t, 16, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max(), value))
        RaiseNotInteger("$" + std::string(t));
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

std::string GroupThousands(int64_t Value)
{
    // The magnitude as unsigned, so the most negative value has no overflow on the way.
    const uint64_t magnitude = Value < 0 ? 0 - static_cast<uint64_t>(Value) : static_cast<uint64_t>(Value);
    const std::string digits = std::to_string(magnitude);
    std::string text;
    text.reserve(digits.size() + digits.size() / 3 + 1);
    if (Value < 0)
        text += '-';
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

double UsageRate(int32_t percent, int32_t speed)
{
    // The product is a 32-bit integer on the window's labels too; wrap it rather than overflow.
    const auto product = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(percent) * speed));
    return product / 819.2;
}

std::string DefaultUsageText(int32_t percent, int32_t speed)
{
    // Rounded by hand: printf rounds an exact half to even, which would show 3.90625 as 3.90.
    const double rate = UsageRate(percent, speed);
    const long long hundredths = std::llround(rate * 100);
    const unsigned long long magnitude = hundredths < 0 ? 0ULL - hundredths : hundredths;
    char text[96];
    std::snprintf(text, sizeof text, "%d%%  (%s%llu.%02lluKB/s)", percent, hundredths < 0 ? "-" : "", magnitude / 100,
                  magnitude % 100);
    return text;
}
