// SPDX-License-Identifier: MIT
// The console's behaviour per connection. Menus take a number and Enter (CR, LF or CR LF), the
// status screen takes single keys, ESC goes back one menu. Scripted faults (split prompts,
// hang-ups part-way through a screen, rejected passwords) are applied where the screens are sent.
#include "simsession.h"

#include <algorithm>

namespace {

constexpr unsigned char kEsc = 27;
constexpr unsigned char kBackspace = 8;
constexpr unsigned char kDelete = 127;

} // namespace

SimSession::SimSession(RouterModel &model, const SimScript &script, std::string password, EventSink events)
    : m_model(model), m_script(script), m_password(std::move(password)), m_events(std::move(events)),
      m_rejectsLeft(script.passwordRejects)
{
}

void SimSession::start(int64_t nowMs)
{
    show(ScreenId::Password, nowMs);
}

void SimSession::queue(std::string bytes, int64_t releaseMs, bool closeAfter)
{
    // Writes leave in order: one never overtakes a delayed write queued before it.
    if (!m_out.empty())
        releaseMs = std::max(releaseMs, m_out.back().releaseMs);
    m_out.push_back({std::move(bytes), releaseMs, closeAfter});
}

std::string SimSession::takeReady(int64_t nowMs, bool &closeAfter)
{
    std::string ready;
    closeAfter = false;
    while (!m_out.empty() && m_out.front().releaseMs <= nowMs) {
        ready += m_out.front().bytes;
        closeAfter = m_out.front().closeAfter;
        m_out.pop_front();
        if (closeAfter) {
            m_out.clear();
            break;
        }
    }
    return ready;
}

std::optional<int64_t> SimSession::nextWakeMs() const
{
    std::optional<int64_t> wake;
    if (!m_out.empty())
        wake = m_out.front().releaseMs;
    if (m_script.repromptMs > 0 && hasPrompt() && !m_hungUp) {
        const int64_t reprompt = m_promptSentMs + m_script.repromptMs;
        wake = wake ? std::min(*wake, reprompt) : reprompt;
    }
    return wake;
}

void SimSession::wake(int64_t nowMs)
{
    if (m_hungUp || m_script.repromptMs <= 0 || !hasPrompt())
        return;
    if (nowMs >= m_promptSentMs + m_script.repromptMs)
        sendPrompt(paintPromptAgain(m_screen), nowMs);
}

bool SimSession::hasPrompt() const
{
    return m_screen != ScreenId::Status;
}

const SplitPrompt *SimSession::splitFor(ScreenId screen, int paintNumber) const
{
    for (const SplitPrompt &split : m_script.splits)
        if (split.screen == screen && (split.times == 0 || paintNumber <= split.times))
            return &split;
    return nullptr;
}

void SimSession::show(ScreenId screen, int64_t nowMs)
{
    m_screen = screen;
    m_line.clear();
    m_events("screen " + std::string(screenName(screen)));
    switch (screen) {
    case ScreenId::Password:
        sendPaint(paintPassword(), nowMs);
        break;
    case ScreenId::Main:
        sendPaint(paintMainMenu(), nowMs);
        break;
    case ScreenId::Menu24:
        sendPaint(paintMenu24(), nowMs);
        break;
    case ScreenId::Menu242:
        sendPaint(paintMenu242(), nowMs);
        break;
    case ScreenId::SystemInfo:
        sendPaint(paintSystemInfo(m_model, m_script.fields), nowMs);
        break;
    case ScreenId::Status:
        sendPaint(paintStatus(m_model, m_script.fields, m_script.raws, m_script.swapRows, m_script.layout), nowMs);
        break;
    }
}

void SimSession::sendPaint(const Paint &paint, int64_t nowMs)
{
    const int number = ++m_paints[m_screen];
    for (const CloseMidScreen &close : m_script.closes) {
        if (close.screen == m_screen && close.paint == number) {
            const std::string whole = paint.body + paint.prompt;
            queue(whole.substr(0, std::min(close.bytes, whole.size())), nowMs, true);
            m_hungUp = true;
            return;
        }
    }
    const SplitPrompt *split = splitFor(m_screen, number);
    if (!split || paint.prompt.size() < 2) {
        queue(paint.body + paint.prompt, nowMs);
        m_promptSentMs = nowMs;
        return;
    }
    const int size = static_cast<int>(paint.prompt.size());
    const size_t at = static_cast<size_t>(std::clamp(split->at < 0 ? size / 2 : split->at, 1, size - 1));
    queue(paint.body + paint.prompt.substr(0, at), nowMs);
    queue(paint.prompt.substr(at), nowMs + m_script.splitDelayMs);
    m_promptSentMs = m_out.back().releaseMs;
}

void SimSession::sendPrompt(const Paint &paint, int64_t nowMs)
{
    queue(paint.body + paint.prompt, nowMs);
    m_promptSentMs = std::max(nowMs, m_out.back().releaseMs);
}

void SimSession::hangUp(std::string_view message, int64_t nowMs)
{
    queue("\x1b[22;1H\x1b[K\x1b[22;20H" + std::string(message), nowMs, true);
    m_hungUp = true;
}

void SimSession::tick(int64_t nowMs)
{
    if (m_screen == ScreenId::Status && !m_hungUp && !m_script.hold)
        sendPaint(paintStatus(m_model, m_script.fields, m_script.raws, m_script.swapRows, m_script.layout), nowMs);
}

void SimSession::feed(std::string_view bytes, int64_t nowMs)
{
    for (const char byte : bytes) {
        if (m_hungUp)
            return;
        const unsigned char c = static_cast<unsigned char>(byte);
        // Enter arrives as CR, LF, CR LF or CR NUL depending on the client; each counts once.
        if (m_lastWasCr && (c == '\n' || c == '\0')) {
            m_lastWasCr = false;
            continue;
        }
        m_lastWasCr = c == '\r';
        key(c, nowMs);
    }
}

void SimSession::key(unsigned char c, int64_t nowMs)
{
    m_promptSentMs = std::max(m_promptSentMs, nowMs); // typing postpones the repeated prompt
    const bool enter = c == '\r' || c == '\n';
    switch (m_screen) {
    case ScreenId::Status:
        statusKey(c, nowMs);
        return;
    case ScreenId::SystemInfo:
        if (enter || c == kEsc)
            show(ScreenId::Menu242, nowMs);
        return;
    case ScreenId::Password:
    case ScreenId::Main:
    case ScreenId::Menu24:
    case ScreenId::Menu242:
        break;
    }
    const bool echo = m_screen != ScreenId::Password;
    if (c == kEsc) {
        m_line.clear();
        if (m_screen == ScreenId::Menu24)
            show(ScreenId::Main, nowMs);
        else if (m_screen == ScreenId::Menu242)
            show(ScreenId::Menu24, nowMs);
    } else if (enter) {
        submit(nowMs);
    } else if (c == kBackspace || c == kDelete) {
        if (!m_line.empty()) {
            m_line.pop_back();
            if (echo)
                queue("\b \b", nowMs);
        }
    } else if (c >= 0x20 && m_line.size() < kMaxLine) {
        m_line += static_cast<char>(c);
        if (echo)
            queue(std::string(1, static_cast<char>(c)), nowMs);
    }
}

void SimSession::submit(int64_t nowMs)
{
    const std::string line = m_line;
    m_line.clear();
    switch (m_screen) {
    case ScreenId::Password: {
        const bool rejected = m_rejectsLeft > 0;
        if (rejected)
            --m_rejectsLeft;
        if (!rejected && line == m_password) {
            m_events("login ok");
            show(ScreenId::Main, nowMs);
            return;
        }
        m_events("login failed");
        ++m_failures;
        if (m_script.passwordTries > 0 && m_failures >= m_script.passwordTries)
            hangUp("Too many wrong passwords. Goodbye.", nowMs);
        else
            sendPrompt(paintMessage(ScreenId::Password, "Wrong password, please try again."), nowMs);
        return;
    }
    case ScreenId::Main:
        if (line == "24")
            show(ScreenId::Menu24, nowMs);
        else if (line == "99")
            hangUp("Logged out. Goodbye.", nowMs);
        else if (line.empty())
            sendPrompt(paintPromptAgain(m_screen), nowMs);
        else
            sendPrompt(paintMessage(m_screen, "That menu is not available on this console."), nowMs);
        return;
    case ScreenId::Menu24:
        if (line == "1")
            show(ScreenId::Status, nowMs);
        else if (line == "2")
            show(ScreenId::Menu242, nowMs);
        else if (line.empty())
            sendPrompt(paintPromptAgain(m_screen), nowMs);
        else
            sendPrompt(paintMessage(m_screen, "That item is not available on this console."), nowMs);
        return;
    case ScreenId::Menu242:
        if (line == "1")
            show(ScreenId::SystemInfo, nowMs);
        else if (line.empty())
            sendPrompt(paintPromptAgain(m_screen), nowMs);
        else
            sendPrompt(paintMessage(m_screen, "That item is not available on this console."), nowMs);
        return;
    case ScreenId::SystemInfo:
    case ScreenId::Status:
        return;
    }
}

void SimSession::statusKey(unsigned char c, int64_t nowMs)
{
    if (c == kEsc) {
        show(ScreenId::Menu24, nowMs);
        return;
    }
    switch (c) {
    case '1':
        m_model.drop(0);
        m_events("command drop-b1");
        break;
    case '2':
        m_model.drop(1);
        m_events("command drop-b2");
        break;
    case '3':
        m_model.resetCounters();
        m_events("command reset");
        break;
    case '4':
        m_model.dropAll();
        m_events("command drop-all");
        break;
    default:
        return;
    }
    // A held screen would never show the command's effect, so it repaints once now.
    if (m_script.hold)
        sendPaint(paintStatus(m_model, m_script.fields, m_script.raws, m_script.swapRows, m_script.layout), nowMs);
}
