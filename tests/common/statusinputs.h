// SPDX-License-Identifier: MIT
// The record behind a busy web status page: both channels in calls, full usage histories, every
// router field filled and service names looked up. The status page benchmark and the web server's
// load program serve it, so their figures speak of the same page.
#pragma once

#include "statuspage.h"

#include <cmath>
#include <cstdint>
#include <string>

inline TStatusPageInputs busyStatusInputs()
{
    TStatusPageInputs in;
    in.B1.Link = "PPP";
    in.B1.Speed = 64;
    in.B1.TX = 1234567890123;
    in.B1.RX = 987654321;
    in.B1.Errors = 3;
    in.B1.CLU = 87;
    in.B1.ALU = 45;
    in.B1.UpTime = "12:34:56";
    in.B1.IP = "10.20.30.40";
    in.B1.CLID = "5551234567";
    in.B2 = in.B1;
    in.B2.Link = "Idle";
    in.B2.CLU = 3;
    in.Router.LANStatus = "100M/Full Duplex";
    in.Router.LANSent = 4000000000;
    in.Router.LANReceived = 3000000000;
    in.Router.LANCollisions = 17;
    in.Router.TotalOutcallTime = "1234:56:07";
    in.Router.TriggerSrcIP = "192.0.2.10";
    in.Router.TriggerSrcPort = 1025;
    in.Router.TriggerDestIP = "198.51.100.7";
    in.Router.TriggerDestPort = 80;
    in.Router.Name = "office-gw";
    in.Router.Firmware = "V2.50(AB.3) | 5/5/2000";
    in.Router.IPAddress = "192.0.2.1";
    for (size_t i = 0; i < in.Series1.size(); ++i) {
        in.Series1[i] = 50 + 45 * std::sin(static_cast<double>(i) / 7);
        in.Series2[i] = static_cast<double>(i % 100);
    }
    in.WebAutoRefresh = true;
    in.WebAutoRefreshSeconds = "5";
    in.LookupServiceName = [](int32_t port) { return port == 80 ? std::string("http") : std::string("?"); };
    return in;
}
