// SPDX-License-Identifier: MIT
// Reads the router's two screens off the virtual console screen into the status record: the
// status screen ("Menu 24.1") on every pass and the system-information screen ("Menu 24.2.1")
// while it is shown. Fixed rows and columns; the record is the only thing written.
#pragma once

#include "consolescreen.h"
#include "statusmodel.h"

// One pass over the screen. Row 3 names the screen; anything else leaves the record alone.
// fullPass is "the window is visible or the web server is on": without it the status pass
// stops after the channels' Link, CLU and CLID. A field that is not a number raises
// EConvertError; the fields before it keep their new values, it and all after it their old ones.
void ParseScreen(const TConsoleScreen &screen, bool fullPass, TChannelStatus &B1, TChannelStatus &B2,
                 TRouterStatus &Router);
