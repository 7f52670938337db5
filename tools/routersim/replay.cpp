// SPDX-License-Identifier: MIT
// Capture playback. The reader mirrors the writer's fixed form (fixed keys in a fixed order, no
// blanks), so it needs no JSON library; base64 is decoded strictly, padding included.
#include "replay.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr std::string_view kTimeKey = "{\"t\":";
constexpr std::string_view kRouter = ",\"dir\":\"router\",\"data\":\"";
constexpr std::string_view kTyped = ",\"dir\":\"typed\",\"data\":\"";
constexpr std::string_view kEnd = "\"}";
constexpr size_t kMaxTimeDigits = 18; // fits int64_t

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool decodeBase64(std::string_view text, std::string &out)
{
    if (text.size() % 4 != 0)
        return false;
    out.clear();
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (pad == 1 && text[i + 2] == '=')
            return false; // "x=y=" is not padding
        uint32_t group = 0;
        for (int k = 0; k < 4 - pad; ++k) {
            const int value = base64Value(text[i + k]);
            if (value < 0)
                return false;
            group = group << 6 | static_cast<uint32_t>(value);
        }
        group <<= 6 * pad;
        out += static_cast<char>(group >> 16);
        if (pad < 2)
            out += static_cast<char>(group >> 8 & 0xff);
        if (pad < 1)
            out += static_cast<char>(group & 0xff);
    }
    return true;
}

std::string hexText(std::string_view bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        text += kDigits[c >> 4];
        text += kDigits[c & 15];
    }
    return text;
}

// The monitor's password line as a capture holds it: '*' for every character, then Enter.
bool isMaskedPassword(std::string_view typed)
{
    const size_t stars = typed.find_first_not_of('*');
    return stars != std::string_view::npos && typed.substr(stars).find_first_not_of("\r\n") == std::string_view::npos;
}

} // namespace

bool parseCaptureLine(std::string_view line, CaptureChunk &chunk)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (!line.starts_with(kTimeKey) || !line.ends_with(kEnd))
        return false;
    line.remove_prefix(kTimeKey.size());
    line.remove_suffix(kEnd.size());
    int64_t time = 0;
    size_t digits = 0;
    while (digits < line.size() && digits < kMaxTimeDigits && line[digits] >= '0' && line[digits] <= '9')
        time = time * 10 + (line[digits++] - '0');
    if (digits == 0)
        return false;
    line.remove_prefix(digits);
    if (line.starts_with(kRouter))
        chunk.typed = false;
    else if (line.starts_with(kTyped))
        chunk.typed = true;
    else
        return false;
    line.remove_prefix(chunk.typed ? kTyped.size() : kRouter.size());
    chunk.timeMs = time;
    return decodeBase64(line, chunk.bytes);
}

std::vector<CaptureChunk> readCapture(std::istream &in, const std::string &name, std::vector<std::string> &errors)
{
    std::vector<CaptureChunk> chunks;
    std::string line;
    bool router = false;
    for (int number = 1; std::getline(in, line); ++number) {
        CaptureChunk chunk;
        if (!parseCaptureLine(line, chunk)) {
            errors.push_back(name + ":" + std::to_string(number) + ": not a capture line");
            continue;
        }
        router = router || !chunk.typed;
        chunks.push_back(std::move(chunk));
    }
    if (errors.empty() && !router)
        errors.push_back(name + ": holds nothing the router sent");
    return chunks;
}

ReplaySession::ReplaySession(std::shared_ptr<const std::vector<CaptureChunk>> chunks, double speed, EventSink events)
    : m_chunks(std::move(chunks)), m_speed(speed), m_events(std::move(events))
{
}

void ReplaySession::start(int64_t nowMs)
{
    m_stepMs = nowMs;
    advance(nowMs);
}

void ReplaySession::feed(std::string_view bytes, int64_t nowMs)
{
    m_input.append(bytes.substr(0, kMaxInput - std::min(kMaxInput, m_input.size())));
    advance(nowMs);
}

std::string ReplaySession::takeReady(int64_t nowMs, bool &closeAfter)
{
    advance(nowMs);
    closeAfter = false; // the client decides when it has seen enough
    return std::exchange(m_out, {});
}

void ReplaySession::advance(int64_t nowMs)
{
    const std::vector<CaptureChunk> &chunks = *m_chunks;
    m_waitUntilMs.reset();
    while (m_next < chunks.size()) {
        const CaptureChunk &chunk = chunks[m_next];
        if (chunk.typed) {
            if (!takeTyped(chunk))
                return; // waits for the client's next bytes
            m_stepMs = nowMs;
        } else {
            // The recorded gap since the previous chunk; a wall clock set back counts as none.
            const int64_t gap = m_next == 0 ? 0 : std::max<int64_t>(0, chunk.timeMs - chunks[m_next - 1].timeMs);
            const int64_t dueMs = m_speed > 0 ? m_stepMs + std::llround(static_cast<double>(gap) / m_speed) : m_stepMs;
            if (dueMs > nowMs) {
                m_waitUntilMs = dueMs;
                return;
            }
            m_out += chunk.bytes;
            m_stepMs = dueMs;
        }
        if (++m_next == chunks.size())
            m_events("replay done");
    }
}

bool ReplaySession::takeTyped(const CaptureChunk &chunk)
{
    size_t length = chunk.bytes.size();
    if (isMaskedPassword(chunk.bytes)) {
        // Whatever the password: the line up to the client's Enter.
        const size_t enter = m_input.find_first_of("\r\n");
        if (enter == std::string::npos)
            return false;
        length = enter + 1;
    } else if (m_input.size() < length && chunk.bytes.starts_with(m_input)) {
        return false;
    } else if (m_input.empty()) {
        return false;
    }
    const std::string_view typed = std::string_view(m_input).substr(0, std::min(length, m_input.size()));
    if (!isMaskedPassword(chunk.bytes) && typed != chunk.bytes)
        m_events("replay typed " + hexText(typed) + ", the capture has " + hexText(chunk.bytes));
    m_input.erase(0, typed.size());
    return true;
}
