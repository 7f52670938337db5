// SPDX-License-Identifier: MIT
// The application's error report hook and the rate-limited log; see apperror.h. Everything runs
// on the GUI thread, like the handlers that report.
#include "apperror.h"

#include "tokenbucket.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Texts remembered for collapsing; a flood of ever new texts is counted, not remembered.
constexpr std::size_t kRememberedTexts = 64;

TErrorOrigin currentOrigin = TErrorOrigin::User;
TErrorPlace currentPlace = TErrorPlace::None;
TErrorConnection currentConnection;
TErrorDescription currentDescription;

ErrorReporter &reporterSlot()
{
    static ErrorReporter reporter;
    return reporter;
}

ErrorReporter &peerReporterSlot()
{
    static ErrorReporter reporter;
    return reporter;
}

struct TRemembered
{
    Clock::time_point lastWritten;
    long long heldBack = 0;
    int priority = kLogError;
};

// The limits of one origin's lines.
struct TBudget
{
    std::map<std::string, TRemembered> recent;
    long long dropped = 0; // lines of texts not remembered, held back for want of budget
    TTokenBucket lines{kLogBurstLines, kLogLinesPerSecond};
};

struct TLogState
{
    LogSink sink;
    LogRecordSink recordSink;
    std::string prefix = "linewatch: ";
    bool priorities = false;
    std::array<TBudget, 3> budgets; // by TErrorOrigin
    QPointer<QTimer> flushTimer;
};

TLogState &logState()
{
    static TLogState state;
    return state;
}

void emitLine(const std::string &text, int priority)
{
    TLogState &state = logState();
    std::string oneLine = text;
    for (char &c : oneLine) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    if (state.recordSink && state.recordSink(oneLine, priority))
        return;
    std::string line = state.prefix + oneLine;
    if (state.priorities)
        line = "<" + std::to_string(priority) + ">" + line;
    if (state.sink) {
        state.sink(line);
        return;
    }
    line += '\n';
    // A closed standard error (its reader gone) must not matter: SIGPIPE is ignored and the
    // failed write is simply lost.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

TBudget &budgetOf(TErrorOrigin origin)
{
    return logState().budgets[std::size_t(origin)];
}

bool takeToken(TBudget &state, Clock::time_point now)
{
    return state.lines.Take(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
}

std::string repeatedText(const std::string &text, long long count)
{
    return text + " (repeated " + std::to_string(count) + (count == 1 ? " time)" : " times)");
}

// Writes the held-back counts whose collapse window has passed (all of them when Force), while
// the budget lasts (whatever the budget when Force); forgets texts that went quiet.
void flushHeldBack(TBudget &state, const char *dropped, bool Force)
{
    const Clock::time_point now = Clock::now();
    const auto window = std::chrono::seconds(kLogCollapseSeconds);
    for (auto it = state.recent.begin(); it != state.recent.end();) {
        TRemembered &entry = it->second;
        const bool expired = now - entry.lastWritten >= window;
        if (entry.heldBack > 0 && (Force || expired)) {
            if (!takeToken(state, now) && !Force) {
                ++it;
                continue;
            }
            emitLine(repeatedText(it->first, entry.heldBack), entry.priority);
            entry.heldBack = 0;
            entry.lastWritten = now;
            ++it;
        } else if (entry.heldBack == 0 && expired) {
            it = state.recent.erase(it);
        } else {
            ++it;
        }
    }
    if (state.dropped > 0 && (takeToken(state, now) || Force)) {
        emitLine(std::to_string(state.dropped) + dropped, kLogWarning);
        state.dropped = 0;
    }
}

void flushHeldBack(bool Force)
{
    flushHeldBack(budgetOf(TErrorOrigin::User), " further reports not written (too many)", Force);
    flushHeldBack(budgetOf(TErrorOrigin::Router), " further reports about the router not written (too many)", Force);
    flushHeldBack(budgetOf(TErrorOrigin::Peer), " further reports about network peers not written (too many)", Force);
}

bool anythingHeldBack()
{
    for (const TBudget &state : logState().budgets) {
        if (state.dropped > 0)
            return true;
        for (const auto &[text, entry] : state.recent) {
            if (entry.heldBack > 0)
                return true;
        }
    }
    return false;
}

void scheduleFlush()
{
    TLogState &state = logState();
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    if (!state.flushTimer) {
        state.flushTimer = new QTimer(app);
        state.flushTimer->setSingleShot(true);
        state.flushTimer->setInterval(1000);
        QObject::connect(state.flushTimer.data(), &QTimer::timeout, [] {
            flushHeldBack(false);
            if (anythingHeldBack())
                scheduleFlush();
        });
    }
    if (!state.flushTimer->isActive())
        state.flushTimer->start();
}

// One line under Origin's limits: Key collapses repeats and names the line in its count, Line is
// what is written.
void writeLog(const std::string &Key, const std::string &Line, int Priority, TErrorOrigin Origin)
{
    TBudget &state = budgetOf(Origin);
    const Clock::time_point now = Clock::now();
    auto found = state.recent.find(Key);
    if (found != state.recent.end() && now - found->second.lastWritten < std::chrono::seconds(kLogCollapseSeconds)) {
        ++found->second.heldBack;
        scheduleFlush();
        return;
    }
    if (found == state.recent.end() && state.recent.size() >= kRememberedTexts) {
        flushHeldBack(false);
        if (state.recent.size() >= kRememberedTexts) {
            ++state.dropped;
            scheduleFlush();
            return;
        }
    }
    if (!takeToken(state, now)) {
        if (found != state.recent.end())
            ++found->second.heldBack;
        else
            ++state.dropped;
        scheduleFlush();
        return;
    }
    emitLine(Line, Priority);
    TRemembered &entry = state.recent[Key];
    entry.lastWritten = now;
    entry.priority = Priority;
}

} // namespace

const TErrorConnection &CurrentErrorConnection()
{
    return currentConnection;
}

TErrorConnectionScope::TErrorConnectionScope(TErrorConnection Connection) : m_previous(std::move(currentConnection))
{
    currentConnection = std::move(Connection);
}

TErrorConnectionScope::~TErrorConnectionScope()
{
    currentConnection = std::move(m_previous);
}

TErrorOrigin CurrentErrorOrigin()
{
    return currentOrigin;
}

TErrorOriginScope::TErrorOriginScope(TErrorOrigin Origin) : m_previous(currentOrigin)
{
    currentOrigin = Origin;
}

TErrorOriginScope::~TErrorOriginScope()
{
    currentOrigin = m_previous;
}

TErrorPlace CurrentErrorPlace()
{
    return currentPlace;
}

TErrorPlaceScope::TErrorPlaceScope(TErrorPlace Place) : m_previous(currentPlace)
{
    currentPlace = Place;
}

TErrorPlaceScope::~TErrorPlaceScope()
{
    currentPlace = m_previous;
}

ErrorReporter SetPeerErrorReporter(ErrorReporter reporter)
{
    ErrorReporter previous = std::move(peerReporterSlot());
    peerReporterSlot() = std::move(reporter);
    return previous;
}

ErrorReporter SetErrorReporter(ErrorReporter reporter)
{
    ErrorReporter previous = std::move(reporterSlot());
    reporterSlot() = std::move(reporter);
    return previous;
}

void ReportError(const std::string &message)
{
    ReportError(message, currentOrigin);
}

void ReportError(const std::string &message, TErrorOrigin origin)
{
    ReportError(message, origin, TErrorDescription{});
}

void ReportException(const std::exception &e)
{
    if (const auto *origin = dynamic_cast<const EOriginError *>(&e)) {
        ReportError(e.what(), origin->Origin() != TErrorOrigin::User ? origin->Origin() : CurrentErrorOrigin(),
                    origin->Description());
        return;
    }
    ReportError(e.what());
}

const TErrorDescription &CurrentErrorDescription()
{
    return currentDescription;
}

void ReportError(const std::string &message, TErrorOrigin origin, const TErrorDescription &description)
{
    try {
        const TErrorOriginScope scope(origin);
        // The description belongs to this report only: a report made by its reporter has its own.
        struct TDescriptionScope
        {
            TErrorDescription previous;
            explicit TDescriptionScope(const TErrorDescription &Description)
                : previous(std::exchange(currentDescription, Description))
            {
            }
            ~TDescriptionScope() { currentDescription = std::move(previous); }
        } describing(description);
        // A stranger on the network must not be able to raise a box in front of the user.
        if (origin == TErrorOrigin::Peer) {
            if (peerReporterSlot())
                peerReporterSlot()(message);
            else
                LogReport(message, kLogError, origin);
            return;
        }
        if (reporterSlot()) {
            reporterSlot()(message);
            return;
        }
        LogReport(message, kLogError, origin);
    } catch (...) {
        // A reporter that fails must not take the event loop down with it.
        try {
            WriteLogLine(message);
        } catch (...) {
        }
    }
}

std::string ErrorBoxText(const std::string &message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}

void SetLogPriorities(bool on)
{
    logState().priorities = on;
}

void LogReport(const std::string &message, int priority, TErrorOrigin origin)
{
    std::string text = ErrorBoxText(message);
    const TErrorConnection &connection = currentConnection;
    const bool aboutConnection = !connection.Kind.empty() && connection.Origin == origin;
    if (!currentDescription.Text.empty()) {
        // Repeats still collapse per kind of connection, whatever the peer's address.
        writeLog(aboutConnection ? connection.Kind + ": " + text : currentDescription.Text, currentDescription.Text,
                 priority, origin);
        return;
    }
    if (!aboutConnection) {
        writeLog(text, text, priority, origin);
        return;
    }
    // Only the layer's own "Asynchronous socket error N" is bare; other texts say what they mean.
    constexpr std::string_view kAsync = "Asynchronous socket error ";
    if (message.starts_with(kAsync) && message.size() > kAsync.size() && message.size() - kAsync.size() <= 4 &&
        message.find_first_not_of("0123456789", kAsync.size()) == std::string::npos)
        text += " (" + std::string(std::strerror(std::stoi(message.substr(kAsync.size())))) + ")";
    const std::string where = connection.Address.empty() ? connection.Kind : connection.Kind + " " + connection.Address;
    writeLog(connection.Kind + ": " + text, where + ": " + text, priority, origin);
}

void WriteLogLine(const std::string &text, int priority)
{
    writeLog(text, text, priority, currentOrigin);
}

void FlushLog()
{
    flushHeldBack(true);
}

void WriteLastLogLine(const std::string &text, int priority)
{
    flushHeldBack(true);
    emitLine(text, priority);
}

LogSink SetLogSink(LogSink sink)
{
    LogSink previous = std::move(logState().sink);
    logState().sink = std::move(sink);
    return previous;
}

LogRecordSink SetLogRecordSink(LogRecordSink sink)
{
    LogRecordSink previous = std::move(logState().recordSink);
    logState().recordSink = std::move(sink);
    return previous;
}

void SetLogPrefix(const std::string &prefix)
{
    logState().prefix = prefix;
}

void ResetLogLimits()
{
    TLogState &state = logState();
    state.budgets = {};
    if (state.flushTimer)
        state.flushTimer->stop();
}
