// SPDX-License-Identifier: MIT
// SIGTERM, SIGINT and SIGHUP as events: the handler only writes the signal's number to a
// self-pipe, and the program watches the pipe's read end with a QSocketNotifier, so it ends (or
// reloads) through its event loop with everything saved and logged. Both programs use it.
#pragma once

// Installs the handlers once; returns the pipe's read end, or -1 (errno set) when that failed.
int InstallTerminationSignals();

// What arrived since the last drain.
struct TSignalsReceived
{
    // SIGTERM or SIGINT.
    bool Terminate = false;
    // SIGHUP: the desktop program ends on it (its terminal went away); linewatchd reloads.
    bool Hangup = false;
};

// Reads away what the handler wrote, so the notifier does not fire again for the same signal.
TSignalsReceived DrainTerminationSignals();
