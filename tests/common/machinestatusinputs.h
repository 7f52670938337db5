// SPDX-License-Identifier: MIT
// Machine snapshots for the /status.json and /metrics tests and their external checks: the
// defaults before any connection, the busy page's record with times and callers, and one whose
// router texts are hostile bytes (quotes, backslashes, control and 8-bit bytes).
#pragma once

#include "statusinputs.h"
#include "statusjson.h"

#include <cstdint>
#include <limits>
#include <string>

inline TMachineStatus defaultMachineStatus()
{
    TMachineStatus status;
    status.StartTimeMs = 1714567890123;
    status.NowMs = status.StartTimeMs;
    status.Version = "1.0.1.3";
    return status;
}

inline TMachineStatus busyMachineStatus()
{
    const TStatusPageInputs page = busyStatusInputs();
    TMachineStatus status = defaultMachineStatus();
    status.B1 = page.B1;
    status.B2 = page.B2;
    status.Router = page.Router;
    status.Series1 = page.Series1;
    status.Series2 = page.Series2;
    status.CallerIds = {{"B1", 1714567900000, "5551234567"}, {"B2", 1714567955500, "5557654"}};
    status.Connection = TConnectionState::StatusScreen;
    status.LastChangeMs = 1714568000250;
    status.NowMs = status.StartTimeMs + 3723 * 1000;
    status.PageHits = -2; // wrapped past 2^31: 4294967294 served
    status.RouterInfo = TRouterInfo{status.Router.Name, status.Router.Firmware};
    status.Calls.Add(1, false, false);
    status.Calls.Add(1, false, false);
    status.Calls.Add(2, true, true);
    status.Process = TProcessStats{12.5, 48 << 20, 512 << 20, 1714567000.5, 17, 1024};
    return status;
}

inline TMachineStatus hostileMachineStatus()
{
    using namespace std::string_literals;
    TMachineStatus status = busyMachineStatus();
    status.Connection = TConnectionState::Relaying;
    status.RelayAttached = true;
    status.B1.Link = "\"}],\\"s;
    status.B1.TX = std::numeric_limits<int64_t>::max();
    status.B1.UpTime = "\xff\xfe:00:00"s;
    status.B1.CLID = "55\x01\x1b[2J"s;
    status.B2.Link = "ISDN\xe9\xa0"s;
    status.Router.LANStatus = "\x00\x7f\x80\x9f"s;
    status.Router.TotalOutcallTime = "99999999999999999999:00:00";
    status.Router.Name = "a\"b\\c\nd\te"s;
    status.Router.Firmware = "V\xff\xe9\" } x{y=\"z\""s;
    status.RouterInfo = TRouterInfo{status.Router.Name, status.Router.Firmware};
    status.Version = "1.0\\\"x\n";
    status.CallerIds.push_back({"B1", -1, "\xff\"\\\x02"s});
    status.Reconnect = {true, true, 37, 3, "reset \"}\\\n\xe9"s, false};
    return status;
}
