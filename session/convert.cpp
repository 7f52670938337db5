// Number conversions; see convert.h.
#include "convert.h"

#include <limits>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Parses an optional sign and digits in the given base into a value within [lo, hi].
// Returns false on an empty digit run, a foreign character or an overflow.
bool parseSigned(std::string_view s, int base, int64_t lo, int64_t hi, int64_t &out)
{
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return false;
    // Accumulate as a negative number so that the most negative value fits too.
    const int64_t limit = negative ? lo : -hi;
    int64_t value = 0;
    for (char c : s) {
        const int digit = hexValue(c);
        if (digit < 0 || digit >= base)
            return false;
        if (value < (limit + digit) / base)
            return false;
        value = value * base - digit;
        if (value < limit)
            return false;
    }
    out = negative ? value : -value;
    return true;
}

} // namespace

void RaiseNotInteger(std::string_view text)
{
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

std::string TrimControls(std::string_view text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32)
        --end;
    return std::string(text.substr(begin, end - begin));
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

int32_t TrimToInt(std::string_view field)
{
    const std::string t = TrimControls(field);
    if (t.empty())
        return 0;
    int64_t value = 0;
    if (!parseSigned(t, 10, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), value))
        RaiseNotInteger(t);
    return static_cast<int32_t>(value);
}

int64_t TrimToInt64(std::string_view field)
{
    const std::string t = TrimControls(field);
    if (t.empty())
        return 0;
    int64_t value = 0;
    if (!parseSigned(t, 10, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), value))
        RaiseNotInteger(t);
    return value;
}

int32_t HexToInt(std::string_view field)
{
    const std::string t = TrimControls(field);
    if (t.empty())
        return 0;
    // Hex fields on the console are at most two digits; anything that does not fit 32 bits is
    // as foreign as a non-digit.
    int64_t value = 0;
    if (t.front() == '-' || t.front() == '+' ||
        !parseSigned(t, 16, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max(), value))
        RaiseNotInteger("$" + t);
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}
