// SPDX-License-Identifier: MIT
// Reads the router's two screens off the virtual console screen into the status record: the
// status screen ("Menu 24.1") on every pass and the system-information screen ("Menu 24.2.1")
// while it is shown. Fixed rows and columns; the record is the only thing written.
#pragma once

#include "consolescreen.h"
#include "layoutcheck.h"
#include "statusmodel.h"

#include <array>
#include <cstdint>
#include <string_view>

// One pass over the screen. Row 3 names the screen; anything else leaves the record alone.
// fullPass is "the window is visible or the web server is on": without it the status pass
// stops after the channels' Link, CLU and CLID. A field that is not a number raises
// EConvertError; the fields before it keep their new values, it and all after it their old ones.
void ParseScreen(const TConsoleScreen &screen, bool fullPass, TChannelStatus &B1, TChannelStatus &B2,
                 TRouterStatus &Router);

// The status screen read behind its layout check in one pass over the fields: each field is
// loaded once, its shape checked (layoutcheck.h) and its figure converted into this scratch
// record, which reaches the status record only for a screen that passed. Checking first and
// reading again after every chunk cost as much as a tenth of the console pipeline. Holds views
// into the screen: valid while the screen is unchanged.
class TCheckedStatusRead
{
public:
    TCheckedStatusRead(const TConsoleScreen &Screen, bool FullPass);

    // Whether row 3 names the status screen; the rest means something only then.
    bool StatusScreen() const { return m_statusScreen; }
    // The verdict CheckStatusLayout gives the screen.
    const TLayoutVerdict &Verdict() const { return m_verdict; }
    // For a screen that passed: writes the record exactly as ParseScreen does, an EConvertError
    // and the fields it leaves included.
    void CommitTo(TChannelStatus &B1, TChannelStatus &B2, TRouterStatus &Router) const;

private:
    struct TChannelFields
    {
        // upTime and ip trimmed already.
        std::string_view link, upTime, ip, clid;
        int32_t speed = 0, clu = 0, alu = 0;
        int64_t tx = 0, rx = 0, errors = 0;
    };

    bool readChecked();

    const TConsoleScreen &m_screen;
    bool m_fullPass;
    bool m_statusScreen;
    // Whether the scratch record below holds the whole pass; otherwise CommitTo reads again.
    bool m_read = false;
    TLayoutVerdict m_verdict;
    TChannelFields m_channels[2];
    std::string_view m_lanStatus, m_outcallTime; // the outcall time trimmed already
    int64_t m_lanSent = 0, m_lanReceived = 0, m_lanCollisions = 0;
    // Bytes 12-23 of the trigger dump: the two addresses and the two ports.
    std::array<int32_t, 12> m_dump{};
};
