// SPDX-License-Identifier: MIT
// The termination signals' self-pipe; see terminationsignals.h.
#include "terminationsignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int Signal)
{
    // Only async-signal-safe calls here; errno belongs to whatever the signal interrupted.
    const int savedErrno = errno;
    const char byte = static_cast<char>(Signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

int InstallTerminationSignals()
{
    if (signalPipe[0] >= 0)
        return signalPipe[0];
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // SIGHUP: the terminal that started the program went away, or a service manager asks for a
    // reload; the program decides which.
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return -1;
    }
    return signalPipe[0];
}

TSignalsReceived DrainTerminationSignals()
{
    TSignalsReceived received;
    char buffer[16];
    ssize_t count = 0;
    while (signalPipe[0] >= 0 && (count = ::read(signalPipe[0], buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (buffer[i] == SIGHUP)
                received.Hangup = true;
            else
                received.Terminate = true;
        }
    }
    return received;
}
