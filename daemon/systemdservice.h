// SPDX-License-Identifier: MIT
// linewatchd under systemd: readiness, a one-line state and the watchdog over sd_notify, and log
// lines to the journal with fields of their own. Without NOTIFY_SOCKET nothing is sent, and with
// standard error not the journal's stream the log stays the "<N>" lines it is when run by hand.
#pragma once

#include <QDate>
#include <QTimer>

#include <string>

// What the log lines written meanwhile are about, for `journalctl LINEWATCH_EVENT=alert`
// ("connect", "reconnect", "alert", "call", "reload", ...); restores the previous one.
class TLogEventScope
{
public:
    explicit TLogEventScope(const char *Event);
    ~TLogEventScope();
    TLogEventScope(const TLogEventScope &) = delete;
    TLogEventScope &operator=(const TLogEventScope &) = delete;

private:
    const char *m_previous;
};

// When standard error is the journal's stream (systemd names it in JOURNAL_STREAM as
// "<device>:<inode>"), log lines go to the journal natively: MESSAGE, PRIORITY,
// SYSLOG_IDENTIFIER, LINEWATCH_ROUTER (see SetJournalRouter) and LINEWATCH_EVENT. A line the
// journal refuses goes to standard error as before; without the journal's socket nothing changes.
// Returns whether the journal is used.
bool InstallJournalLog();
// The router the lines are about ("192.168.0.1:23"), once the settings name it.
void SetJournalRouter(const std::string &Router);

// The service's messages to systemd (sd_notify). The watchdog's keep-alive comes from the event
// loop at half of WATCHDOG_USEC, so a loop that hangs stops it and systemd restarts the service.
class TServiceNotifier
{
public:
    TServiceNotifier();
    // The listeners are open: systemd may start what waits for the service.
    void Ready();
    // The one-line state for `systemctl status`; sent only when it changed.
    void Status(const std::string &Text);
    // SIGTERM or SIGINT arrived: the service is on its way out.
    void Stopping();

private:
    void send(const std::string &State);

    bool m_enabled = false;
    std::string m_status;
    QTimer m_watchdog;
};

// The state behind STATUS=: where the router connection stands and the calls written to the
// history today ("status screen live, 2 calls today").
class TServiceStatus
{
public:
    enum class TLink { Connecting, LoggingIn, StatusScreen, RelayUser, Reconnecting, Disconnected };

    void SetRouter(const std::string &Router) { m_router = Router; }
    void SetLink(TLink Link, const std::string &Detail = {});
    TLink Link() const { return m_link; }
    // A call was written to the history on Today.
    void CallWritten(QDate Today);
    std::string Text(QDate Today) const;

private:
    TLink m_link = TLink::Connecting;
    std::string m_detail;
    std::string m_router;
    QDate m_callsDay;
    int m_calls = 0;
};
