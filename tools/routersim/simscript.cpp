// SPDX-License-Identifier: MIT
// Line-based script reader: one keyword per line, arguments split at blanks, the last argument
// of "set", "raw" and "password" running to the end of the line (quotes keep outer blanks).
#include "simscript.h"

#include <charconv>
#include <limits>
#include <sstream>

namespace {

std::string_view trim(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Splits off the next blank-separated word.
std::string_view nextWord(std::string_view &rest)
{
    rest = trim(rest);
    const size_t end = rest.find_first_of(" \t");
    const std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    return word;
}

// The rest of the line as one value; surrounding double quotes are removed and keep blanks.
std::string restText(std::string_view rest)
{
    rest = trim(rest);
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
        rest = rest.substr(1, rest.size() - 2);
    return std::string(rest);
}

bool toNumber(std::string_view word, int64_t low, int64_t high, int64_t &value)
{
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc() && end == word.data() + word.size() && !word.empty() && value >= low && value <= high;
}

class LineReader
{
public:
    LineReader(SimScript &script, std::vector<std::string> &errors, const std::string &name)
        : m_script(script), m_errors(errors), m_name(name)
    {
    }

    void read(int lineNumber, std::string_view line);

private:
    void fail(const std::string &message)
    {
        m_errors.push_back(m_name + ":" + std::to_string(m_line) + ": " + message);
    }
    bool number(std::string_view word, int64_t low, int64_t high, int64_t &value, const char *what);
    bool noMore(std::string_view rest);
    std::optional<ScreenId> screen(std::string_view word);

    SimScript &m_script;
    std::vector<std::string> &m_errors;
    const std::string &m_name;
    int m_line = 0;
};

bool LineReader::number(std::string_view word, int64_t low, int64_t high, int64_t &value, const char *what)
{
    if (toNumber(word, low, high, value))
        return true;
    fail(std::string(what) + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) +
         ", not '" + std::string(word) + "'");
    return false;
}

bool LineReader::noMore(std::string_view rest)
{
    if (trim(rest).empty())
        return true;
    fail("unexpected '" + std::string(trim(rest)) + "'");
    return false;
}

std::optional<ScreenId> LineReader::screen(std::string_view word)
{
    const std::optional<ScreenId> id = screenFromName(word);
    if (!id)
        fail("unknown screen '" + std::string(word) + "' (password, main, 24, 24.2, 24.2.1, 24.1)");
    return id;
}

void LineReader::read(int lineNumber, std::string_view line)
{
    m_line = lineNumber;
    std::string_view rest = trim(line);
    if (rest.empty() || rest.front() == '#')
        return;
    const std::string_view keyword = nextWord(rest);
    int64_t value = 0;
    if (keyword == "seed") {
        if (number(nextWord(rest), 0, std::numeric_limits<uint32_t>::max(), value, "seed") && noMore(rest))
            m_script.seed = static_cast<uint32_t>(value);
    } else if (keyword == "password") {
        m_script.password = restText(rest);
    } else if (keyword == "interval-ms") {
        if (number(nextWord(rest), 10, 60'000, value, "interval-ms") && noMore(rest))
            m_script.intervalMs = static_cast<int>(value);
    } else if (keyword == "hold") {
        if (noMore(rest))
            m_script.hold = true;
    } else if (keyword == "live") {
        const std::string_view word = nextWord(rest);
        if (word != "on" && word != "off")
            fail("live takes on or off");
        else if (noMore(rest))
            m_script.live = word == "on";
    } else if (keyword == "swap-rows") {
        if (noMore(rest))
            m_script.swapRows = true;
    } else if (keyword == "layout") {
        const std::string_view word = nextWord(rest);
        if (const auto layout = statusLayoutFromName(word); !layout)
            fail("layout takes known, shifted, wide, extra-row or title");
        else if (noMore(rest))
            m_script.layout = *layout;
    } else if (keyword == "password-reject") {
        if (number(nextWord(rest), 0, 1000, value, "password-reject") && noMore(rest))
            m_script.passwordRejects = static_cast<int>(value);
    } else if (keyword == "password-tries") {
        if (number(nextWord(rest), 0, 1000, value, "password-tries") && noMore(rest))
            m_script.passwordTries = static_cast<int>(value);
    } else if (keyword == "split-delay-ms") {
        if (number(nextWord(rest), 0, 10'000, value, "split-delay-ms") && noMore(rest))
            m_script.splitDelayMs = static_cast<int>(value);
    } else if (keyword == "reprompt-ms") {
        if (number(nextWord(rest), 0, 600'000, value, "reprompt-ms") && noMore(rest))
            m_script.repromptMs = static_cast<int>(value);
    } else if (keyword == "split-prompt") {
        SplitPrompt split;
        const std::optional<ScreenId> id = screen(nextWord(rest));
        if (!id)
            return;
        if (*id == ScreenId::Status) {
            fail("the status screen has no prompt to split");
            return;
        }
        split.screen = *id;
        const std::string_view at = nextWord(rest);
        if (!at.empty()) {
            if (!number(at, 1, 200, value, "split point"))
                return;
            split.at = static_cast<int>(value);
        }
        const std::string_view times = nextWord(rest);
        if (!times.empty()) {
            if (!number(times, 0, 1'000'000, value, "split count"))
                return;
            split.times = static_cast<int>(value);
        }
        if (noMore(rest))
            m_script.splits.push_back(split);
    } else if (keyword == "close-mid-screen") {
        CloseMidScreen close;
        const std::optional<ScreenId> id = screen(nextWord(rest));
        if (!id || !number(nextWord(rest), 0, 1'000'000, value, "byte count"))
            return;
        close.screen = *id;
        close.bytes = static_cast<size_t>(value);
        const std::string_view paint = nextWord(rest);
        if (!paint.empty()) {
            if (!number(paint, 1, 1'000'000, value, "paint number"))
                return;
            close.paint = static_cast<int>(value);
        }
        if (noMore(rest))
            m_script.closes.push_back(close);
    } else if (keyword == "call") {
        ScriptCall call;
        const std::string_view channel = nextWord(rest);
        const std::string_view kind = nextWord(rest);
        if (channel != "b1" && channel != "b2") {
            fail("call takes b1 or b2, not '" + std::string(channel) + "'");
            return;
        }
        call.channel = channel == "b1" ? 0 : 1;
        if (kind == "data")
            call.kind = LineState::Data;
        else if (kind == "voice")
            call.kind = LineState::Voice;
        else if (kind == "idle")
            call.kind = LineState::Idle;
        else if (kind == "down")
            call.kind = LineState::Down;
        else {
            fail("call kind must be data, voice, idle or down, not '" + std::string(kind) + "'");
            return;
        }
        call.clid = std::string(nextWord(rest));
        if (!call.clid.empty() && call.kind != LineState::Data && call.kind != LineState::Voice) {
            fail("only data and voice calls carry a caller ID");
            return;
        }
        if (call.clid.size() > 11) {
            fail("a caller ID has at most 11 characters");
            return;
        }
        if (noMore(rest))
            m_script.calls.push_back(call);
    } else if (keyword == "set") {
        const std::string field(nextWord(rest));
        const std::string text = restText(rest);
        const std::optional<FieldKind> kind = fieldKind(field);
        uint8_t address[4];
        if (!kind)
            fail("unknown field '" + field + "'");
        else if (*kind == FieldKind::Address && !parseAddress(text, address))
            fail(field + " takes a dotted address, not '" + text + "'");
        else if (*kind == FieldKind::Port && !toNumber(text, 0, 65535, value))
            fail(field + " takes a port from 0 to 65535, not '" + text + "'");
        else
            m_script.fields[field] = text;
    } else if (keyword == "raw") {
        RawText raw;
        if (!number(nextWord(rest), 1, kSimRows, value, "row"))
            return;
        raw.row = static_cast<int>(value);
        if (!number(nextWord(rest), 1, kSimCols, value, "column"))
            return;
        raw.col = static_cast<int>(value);
        raw.text = restText(rest);
        m_script.raws.push_back(raw);
    } else {
        fail("unknown keyword '" + std::string(keyword) + "'");
    }
}

} // namespace

SimScript parseScript(std::istream &in, const std::string &name, std::vector<std::string> &errors)
{
    SimScript script;
    LineReader reader(script, errors, name);
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.size() > kMaxScriptLine) {
            errors.push_back(name + ":" + std::to_string(lineNumber) + ": line longer than " +
                             std::to_string(kMaxScriptLine) + " characters");
            continue;
        }
        reader.read(lineNumber, line);
    }
    return script;
}
