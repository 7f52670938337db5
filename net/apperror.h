// SPDX-License-Identifier: MIT
// The application's error report: the one place where errors that leave a handler end up.
// Handlers called from the event loop catch at their edge and hand the message here. Errors of the
// user's own actions and of the router reach the installed reporter (the shell's error box);
// errors caused by strangers on the network (web clients, relay users) only reach the log.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

// Whose doing an error is. The socket layer sets it while it runs the handlers of an endpoint:
// the router connection's events are the router's, accepted connections' events the peer's;
// everything else (clicks, timers, start-up) is the user's.
enum class TErrorOrigin { User, Router, Peer };

// The origin of whatever runs now.
TErrorOrigin CurrentErrorOrigin();

// Sets the current origin for its lifetime, then restores the previous one.
class TErrorOriginScope
{
public:
    explicit TErrorOriginScope(TErrorOrigin Origin);
    ~TErrorOriginScope();
    TErrorOriginScope(const TErrorOriginScope &) = delete;
    TErrorOriginScope &operator=(const TErrorOriginScope &) = delete;

private:
    TErrorOrigin m_previous;
};

// What the program was doing when an error arose, so a report can name the connection or the
// listener it concerns: the monitor sets it around connecting, opening a listener and checking
// for a new version.
enum class TErrorPlace { None, RouterConnection, TelnetRelay, WebServer, UpdateServer };

TErrorPlace CurrentErrorPlace();

// Sets the current place for its lifetime, then restores the previous one.
class TErrorPlaceScope
{
public:
    explicit TErrorPlaceScope(TErrorPlace Place);
    ~TErrorPlaceScope();
    TErrorPlaceScope(const TErrorPlaceScope &) = delete;
    TErrorPlaceScope &operator=(const TErrorPlaceScope &) = delete;

private:
    TErrorPlace m_previous;
};

// The connection whose events run now, so that a log line can say which one a report is about:
// what it is ("router", "web client", "relay user") and its peer's address ("127.0.0.1:5555").
// The socket layer sets it around each endpoint's events; it names a report of the same origin
// only (a relay user's error found while the router's output is handled is not the router's).
struct TErrorConnection
{
    TErrorOrigin Origin = TErrorOrigin::User;
    std::string Kind;
    std::string Address;
};

const TErrorConnection &CurrentErrorConnection();

// Sets the current connection for its lifetime, then restores the previous one.
class TErrorConnectionScope
{
public:
    explicit TErrorConnectionScope(TErrorConnection Connection);
    ~TErrorConnectionScope();
    TErrorConnectionScope(const TErrorConnectionScope &) = delete;
    TErrorConnectionScope &operator=(const TErrorConnectionScope &) = delete;

private:
    TErrorConnection m_previous;
};

// What failed, in this system's own words, beside a message whose text is fixed by the design
// ("Windows socket error: ... on API 'bind'" names neither the address nor the port). Text is the
// log's line: "cannot listen on 0.0.0.0:80 for the web page: address already in use". Endpoint is
// the address and port concerned ("0.0.0.0:80"), for the error box's detail. Both may be empty.
struct TErrorDescription
{
    std::string Text;
    std::string Endpoint;
};

// An error that knows where it came from, whatever runs when it is caught: a remote user's full
// send queue found while the router's output is handled is still the peer's.
class EOriginError : public std::runtime_error
{
public:
    explicit EOriginError(const std::string &Message, TErrorOrigin Origin = TErrorOrigin::User,
                          TErrorDescription Description = {})
        : std::runtime_error(Message), m_origin(Origin), m_description(std::move(Description))
    {
    }
    TErrorOrigin Origin() const { return m_origin; }
    const TErrorDescription &Description() const { return m_description; }

private:
    TErrorOrigin m_origin;
    TErrorDescription m_description;
};

using ErrorReporter = std::function<void(const std::string &message)>;

// Installs the reporter and returns the previous one. An empty reporter restores the default,
// which writes one log line. While a reporter runs, CurrentErrorOrigin() tells whose error it is
// (User or Router; peer errors never reach a reporter).
ErrorReporter SetErrorReporter(ErrorReporter reporter);

// Where peer errors go; returns the previous one. Empty: the log (WriteLogLine). Tests that watch
// what the socket layer reports record both.
ErrorReporter SetPeerErrorReporter(ErrorReporter reporter);

// Hands one message to the installed reporter, or for Origin Peer to the peer error reporter,
// which never shows a box. Never throws.
void ReportError(const std::string &message, TErrorOrigin origin);
// The same with what failed in our words; CurrentErrorDescription() gives it to the reporter.
void ReportError(const std::string &message, TErrorOrigin origin, const TErrorDescription &description);
// The same with the current origin.
void ReportError(const std::string &message);
// Reports a caught exception as Guarded does: an EOriginError with its origin and description.
void ReportException(const std::exception &e);

// The description of the report being handed to a reporter now; empty outside one and for
// reports that carry none.
const TErrorDescription &CurrentErrorDescription();

// The text shown in the error box: the message with a full stop appended when its last
// character sorts after "." (so "Connection refused" gains one, "Done." and "(10061)" do not).
std::string ErrorBoxText(const std::string &message);

// Writes a report to the log: its description's text when it has one (the message's fixed text
// says less), otherwise the message as ErrorBoxText makes it. When it is about the current connection,
// that connection comes first and a bare "Asynchronous socket error N" gains the code's meaning:
// "web client 127.0.0.1:5555: Asynchronous socket error 104. (Connection reset by peer)". Repeats
// collapse per kind of connection, whatever the peer's address.
void LogReport(const std::string &message, int priority, TErrorOrigin origin);

// The log: one line per report on standard error, "linewatch: " and the text, line breaks made
// spaces. A flood cannot flood it: a text repeated within kLogCollapseSeconds of its last line is
// counted and later written once as "<text> (repeated N times)", and at most kLogBurstLines lines
// are written at once, kLogLinesPerSecond a second after that; what is held back is counted too.
// Each origin of reports (the current one as the line is written) has a budget of its own, so a
// flood of peers' resets cannot crowd out the router's or the user's reports.
inline constexpr int kLogCollapseSeconds = 10;
inline constexpr int kLogBurstLines = 8;
inline constexpr int kLogLinesPerSecond = 3;
// Priority is a syslog level (3 error, 4 warning, 5 notice, 6 info), written as "<N>" before the
// line when priorities are switched on (journald reads them; a terminal needs none).
inline constexpr int kLogError = 3;
inline constexpr int kLogWarning = 4;
inline constexpr int kLogNotice = 5;
inline constexpr int kLogInfo = 6;
void WriteLogLine(const std::string &text, int priority = kLogError);
void SetLogPriorities(bool on);
// Writes the counts held back now (the program calls it as it ends; a timer does it meanwhile).
void FlushLog();
// The program's last line ("stopped"): the held-back counts first, then the line, whatever the
// limits.
void WriteLastLogLine(const std::string &text, int priority);
// Where finished lines go (without their line end); returns the previous sink. Empty: standard
// error. The prefix ("linewatch: ") is written before each line.
using LogSink = std::function<void(const std::string &line)>;
LogSink SetLogSink(LogSink sink);
// A log that keeps fields of its own (the journal): it is offered each finished line's text
// without the prefix, the "<N>" and line breaks, with its priority, and says whether it took the
// line. A line it does not take goes on as without it. Returns the previous one.
using LogRecordSink = std::function<bool(const std::string &text, int priority)>;
LogRecordSink SetLogRecordSink(LogRecordSink sink);
void SetLogPrefix(const std::string &prefix);
// Forgets all counts and limits (for tests).
void ResetLogLimits();

// Runs f and reports any exception it throws instead of letting it travel on. Every entry point
// that the event loop calls (socket events, timer ticks, clicks) goes through this.
template <typename F>
void Guarded(F &&f) noexcept
{
    try {
        f();
    } catch (const std::exception &e) {
        ReportException(e);
    } catch (...) {
        ReportError("Unknown error");
    }
}
