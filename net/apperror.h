// The application's error report: the one place where errors that leave a handler end up.
// Handlers called from the event loop catch at their edge and hand the message here; the shell
// installs a reporter that shows the modal box, tests install one that records the messages.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

using ErrorReporter = std::function<void(const std::string &message)>;

// Installs the reporter and returns the previous one. An empty reporter restores the default,
// which writes one line to standard error.
ErrorReporter SetErrorReporter(ErrorReporter reporter);

// Hands one message to the installed reporter. Never throws.
void ReportError(const std::string &message);

// The text shown in the error box: the message with a full stop appended when its last
// character sorts after "." (so "Connection refused" gains one, "Done." and "(10061)" do not).
std::string ErrorBoxText(const std::string &message);

// Runs f and reports any exception it throws instead of letting it travel on. Every entry point
// that the event loop calls (socket events, timer ticks, clicks) goes through this.
template <typename F>
void Guarded(F &&f) noexcept
{
    try {
        f();
    } catch (const std::exception &e) {
        ReportError(e.what());
    } catch (...) {
        ReportError("Unknown error");
    }
}
