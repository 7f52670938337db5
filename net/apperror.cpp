// The application's error report hook; see apperror.h.
#include "apperror.h"

#include <cstdio>

namespace {
ErrorReporter &reporterSlot()
{
    static ErrorReporter reporter;
    return reporter;
}
} // namespace

ErrorReporter SetErrorReporter(ErrorReporter reporter)
{
    ErrorReporter previous = std::move(reporterSlot());
    reporterSlot() = std::move(reporter);
    return previous;
}

void ReportError(const std::string &message)
{
    try {
        if (reporterSlot()) {
            reporterSlot()(message);
            return;
        }
        std::fprintf(stderr, "linewatch: %s\n", ErrorBoxText(message).c_str());
    } catch (...) {
        // A reporter that fails must not take the event loop down with it.
        std::fprintf(stderr, "linewatch: %s\n", message.c_str());
    }
}

std::string ErrorBoxText(const std::string &message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}
