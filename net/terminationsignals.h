// SIGTERM, SIGINT and SIGHUP as events: the handler only writes a byte to a self-pipe, and the
// program watches the pipe's read end with a QSocketNotifier, so it ends through its event loop
// with everything saved and logged. Both programs use it.
#pragma once

// Installs the handlers once; returns the pipe's read end, or -1 (errno set) when that failed.
int InstallTerminationSignals();

// Reads away what the handler wrote, so the notifier does not fire again for the same signal.
void DrainTerminationSignals();
