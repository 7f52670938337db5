// SPDX-License-Identifier: MIT
// linewatchd's side of systemd's notification and journal protocols, through libsystemd; see
// systemdservice.h.
#include "systemdservice.h"

#include "apperror.h"

#include <systemd/sd-daemon.h>
// Each line would otherwise carry CODE_FILE and CODE_LINE of the one call below.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

const char *currentEvent = nullptr;
std::string &journalRouter()
{
    static std::string router;
    return router;
}

// JOURNAL_STREAM names the stream journald gave us as "<device>:<inode>"; it is inherited, so it
// counts only while standard error is still that stream (not redirected by whoever started us).
bool standardErrorIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream)
        return false;
    struct stat st
    {
    };
    if (::fstat(STDERR_FILENO, &st) != 0)
        return false;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) == stream;
}

bool sendToJournal(const std::string &Text, int Priority)
{
    std::vector<std::string> fields{"MESSAGE=" + Text, "PRIORITY=" + std::to_string(Priority),
                                    "SYSLOG_IDENTIFIER=linewatchd"};
    if (!journalRouter().empty())
        fields.push_back("LINEWATCH_ROUTER=" + journalRouter());
    if (currentEvent)
        fields.push_back(std::string("LINEWATCH_EVENT=") + currentEvent);
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (std::string &field : fields)
        parts.push_back(iovec{field.data(), field.size()});
    return sd_journal_sendv(parts.data(), int(parts.size())) >= 0;
}

} // namespace

TLogEventScope::TLogEventScope(const char *Event) : m_previous(currentEvent)
{
    currentEvent = Event;
}

TLogEventScope::~TLogEventScope()
{
    currentEvent = m_previous;
}

bool InstallJournalLog()
{
    // libsystemd drops a line without a word when the journal's socket is missing, so the socket
    // must be there too: standard error stays the log of a journald that went away.
    struct stat st
    {
    };
    if (!standardErrorIsJournal() || ::stat("/run/systemd/journal/socket", &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    SetLogRecordSink(sendToJournal);
    return true;
}

void SetJournalRouter(const std::string &Router)
{
    journalRouter() = Router;
}

TServiceNotifier::TServiceNotifier()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    m_enabled = socket && *socket;
    uint64_t usec = 0;
    if (!m_enabled || sd_watchdog_enabled(0, &usec) <= 0)
        return;
    // Half the time-out, as systemd advises, so one late turn of the loop is no restart.
    m_watchdog.setInterval(int(std::clamp<uint64_t>(usec / 2000, 1, 24u * 3600 * 1000)));
    QObject::connect(&m_watchdog, &QTimer::timeout, [this] { send("WATCHDOG=1"); });
    m_watchdog.start();
}

void TServiceNotifier::Ready()
{
    send("READY=1");
}

void TServiceNotifier::Status(const std::string &Text)
{
    if (Text == m_status)
        return;
    m_status = Text;
    send("STATUS=" + Text);
}

void TServiceNotifier::Stopping()
{
    send("STOPPING=1");
}

void TServiceNotifier::send(const std::string &State)
{
    // The manager gone or its socket full: nothing to do about it, and the service runs on.
    if (m_enabled)
        sd_notify(0, State.c_str());
}

void TServiceStatus::SetLink(TLink Link, const std::string &Detail)
{
    m_link = Link;
    m_detail = Detail;
}

void TServiceStatus::CallWritten(QDate Today)
{
    if (Today != m_callsDay) {
        m_callsDay = Today;
        m_calls = 0;
    }
    ++m_calls;
}

std::string TServiceStatus::Text(QDate Today) const
{
    std::string text;
    switch (m_link) {
    case TLink::Connecting:
        text = "connecting to the router at " + m_router;
        break;
    case TLink::LoggingIn:
        text = "connected to " + m_router + ", logging in";
        break;
    case TLink::StatusScreen:
        text = "status screen live";
        break;
    case TLink::RelayUser:
        text = "a remote user has the console";
        break;
    case TLink::Reconnecting:
        text = "reconnecting " + m_detail;
        break;
    case TLink::Disconnected:
        text = "not connected to the router";
        break;
    }
    const int calls = Today == m_callsDay ? m_calls : 0;
    return text + ", " + std::to_string(calls) + (calls == 1 ? " call today" : " calls today");
}
