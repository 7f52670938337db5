// SPDX-License-Identifier: MIT
// One console session of the simulated router: the password prompt, the menu walk, the two
// information screens and the status screen's single-key commands. It knows nothing of sockets:
// input arrives through feed(), output waits in a queue of timed writes for the server to send.
#pragma once

#include "routermodel.h"
#include "screens.h"
#include "servedsession.h"
#include "simscript.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class SimSession : public ServedSession
{
public:
    static constexpr size_t kMaxLine = 64; // typed characters kept per prompt; more are dropped

    SimSession(RouterModel &model, const SimScript &script, std::string password, EventSink events);

    void start(int64_t nowMs) override;
    void feed(std::string_view bytes, int64_t nowMs) override;
    // The status screen repaints unless the script holds it.
    void tick(int64_t nowMs) override;
    // The repeated prompt.
    void wake(int64_t nowMs) override;
    std::optional<int64_t> nextWakeMs() const override;
    std::string takeReady(int64_t nowMs, bool &closeAfter) override;

    ScreenId screen() const { return m_screen; }
    bool hungUp() const { return m_hungUp; }

private:
    struct Write
    {
        std::string bytes;
        int64_t releaseMs = 0;
        bool closeAfter = false;
    };

    void show(ScreenId screen, int64_t nowMs);
    void sendPaint(const Paint &paint, int64_t nowMs);
    void sendPrompt(const Paint &paint, int64_t nowMs);
    void queue(std::string bytes, int64_t releaseMs, bool closeAfter = false);
    void hangUp(std::string_view message, int64_t nowMs);
    void key(unsigned char c, int64_t nowMs);
    void submit(int64_t nowMs);
    void statusKey(unsigned char c, int64_t nowMs);
    bool hasPrompt() const;
    const SplitPrompt *splitFor(ScreenId screen, int paintNumber) const;

    RouterModel &m_model;
    const SimScript &m_script;
    std::string m_password;
    EventSink m_events;
    ScreenId m_screen = ScreenId::Password;
    std::string m_line;
    bool m_lastWasCr = false;
    bool m_hungUp = false;
    int m_failures = 0;
    int m_rejectsLeft = 0;
    int64_t m_promptSentMs = 0;
    std::map<ScreenId, int> m_paints;
    std::deque<Write> m_out;
};
