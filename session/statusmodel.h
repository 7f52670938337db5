// SPDX-License-Identifier: MIT
// The status record: one snapshot of the router's state, filled by the screen parser and read by
// everything that shows it (window, tray, graphs, web page). Texts are the router's bytes as they
// stood on its screen, never decoded.
#pragma once

#include <cstdint>
#include <string>

// One ISDN B channel, from the status screen's channel rows.
struct TChannelStatus
{
    std::string Link = "No Data"; // state word: "Down", "Idle", "Voice"; anything else is a data call
    int32_t Speed = 0;            // Kbit/s
    int64_t TX = 0;               // counters are 64-bit: the console's 11-digit fields pass 2^31
    int64_t RX = 0;
    int64_t Errors = 0;
    int32_t CLU = 0; // current line usage, percent as the router prints it
    int32_t ALU = 0; // average line usage, percent
    std::string UpTime = "0:00:00";
    std::string IP = "0.0.0.0";
    std::string CLID;        // caller ID of the current call, empty when none
    bool CLIDLogged = false; // written only by the refresh: CLID already added to its list

    bool operator==(const TChannelStatus &) const = default;
};

// Ethernet, last-call trigger, totals and system information.
struct TRouterStatus
{
    std::string LANStatus = "No Data";
    int64_t LANSent = 0;
    int64_t LANReceived = 0;
    int64_t LANCollisions = 0;
    std::string TotalOutcallTime = "0:00:00";
    std::string TriggerSrcIP = "0.0.0.0";
    int32_t TriggerSrcPort = 0;
    std::string TriggerDestIP = "0.0.0.0";
    int32_t TriggerDestPort = 0;
    std::string Name = "No Data";
    std::string Firmware = "No Data";
    std::string IPAddress = "0.0.0.0";

    bool operator==(const TRouterStatus &) const = default;
};

// Puts every field back to its default, except the CLIDLogged flags, which follow the refresh.
void ResetStatus(TChannelStatus &B1, TChannelStatus &B2, TRouterStatus &Router);
