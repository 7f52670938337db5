// SPDX-License-Identifier: MIT
// The telnet relay; see telnetrelay.h. The relay knows its user by identity, never by a place in
// the listener's list, and forgets them before it closes anything: closing sockets nests
// handlers, and a disconnect event that finds nobody attached lets nothing go.
#include "telnetrelay.h"

#include "apperror.h"
#include "consolesession.h"
#include "convert.h"

#include <QTimer>

#include <algorithm>
#include <sys/socket.h>
#include <vector>

namespace {

// A user who cannot take even this is let go by the layer; the failure ends here.
void tell(TCustomWinSocket *User, const std::string &Line)
{
    Guarded([&] { User->SendString(Line); });
}

} // namespace

TTelnetRelay::TTelnetRelay(TConsoleSession &Session, QObject *Parent) : QObject(Parent), m_session(Session)
{
    TelnetServerSocket.SetPort(23);
    // Past a short queue, users arriving in a burst sit in half-open handshakes that look
    // connected to them; accepted, each newcomer is attached or let go at once.
    TelnetServerSocket.SetBacklog(SOMAXCONN);
    TelnetServerSocket.OnAccept = [this](QObject *Sender, TCustomWinSocket *Socket) {
        TelnetServerSocketAccept(Sender, Socket);
    };
    TelnetServerSocket.OnClientRead = [this](QObject *Sender, TCustomWinSocket *Socket) {
        TelnetServerSocketClientRead(Sender, Socket);
    };
    TelnetServerSocket.OnClientDisconnect = [this](QObject *Sender, TCustomWinSocket *Socket) {
        TelnetServerSocketClientDisconnect(Sender, Socket);
    };
    m_session.ConnectionEnded = [this] { routerConnectionEnded(); };
    m_connectWait = new QTimer(this);
    m_connectWait->setSingleShot(true);
    connect(m_connectWait, &QTimer::timeout, this, [this] { Guarded([this] { connectWaitEnded(); }); });
}

TTelnetRelay::~TTelnetRelay()
{
    m_session.RelayTap = nullptr;
    m_session.ConnectionEnded = nullptr;
}

bool TTelnetRelay::chkTelnetAdminClick(bool checked, const std::string &portText)
{
    Guarded([&] {
        if (checked) {
            TelnetServerSocket.SetPort(StrToInt(portText));
            TelnetServerSocket.SetActive(true);
        } else if (detach()) {
            // Closes every remote connection without a disconnect event. The user switched the
            // relay off: the monitor's own connection comes back at once.
            TelnetServerSocket.SetActive(false);
            setStatusText("");
            m_connectWait->stop();
            m_session.RemakeConnection();
        } else {
            TelnetServerSocket.SetActive(false);
        }
    });
    return !checked;
}

void TTelnetRelay::SetAllowList(const std::string &Text)
{
    std::vector<std::string> rejected;
    m_allow = TAddressFilter::Parse(Text, &rejected);
    for (const std::string &entry : rejected)
        ReportError("TelnetAllow: \"" + entry + "\" is neither an IPv4 address nor a CIDR block; left out",
                    TErrorOrigin::User);
}

bool TTelnetRelay::admitted(TCustomWinSocket *Socket)
{
    if (m_allow.Empty())
        return true;
    const uint32_t peer = PeerOf(Socket);
    if (m_allow.Allows(peer))
        return true;
    // Strangers choose how often they knock: one line per address a minute, and the table of
    // addresses stays bounded however many of them there are.
    constexpr std::size_t kMaxRemembered = 4096;
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 now = m_clock.elapsed();
    if (m_refusalsLogged.size() >= kMaxRemembered)
        std::erase_if(m_refusalsLogged, [now](const auto &entry) { return now - entry.second >= kRefusalLogMs; });
    if (m_refusalsLogged.size() >= kMaxRemembered)
        m_refusalsLogged.clear();
    const auto [at, fresh] = m_refusalsLogged.try_emplace(peer, now);
    if (fresh || now - at->second >= kRefusalLogMs) {
        at->second = now;
        const TErrorOriginScope origin(TErrorOrigin::Peer);
        WriteLogLine("relay user " + IPv4Text(peer) + " refused: not in [Network] TelnetAllow", kLogNotice);
    }
    return false;
}

void TTelnetRelay::TelnetServerSocketAccept(QObject *, TCustomWinSocket *Socket)
{
    // Checked before anything changes hands: a refused newcomer does not even end the attached
    // user's session.
    if (!admitted(Socket)) {
        Guarded([Socket] { Socket->CloseConnection(); });
        return;
    }
    Guarded([&] {
        // The newcomer replaces whoever was attached, and nobody else stays: the previous user
        // and any connection that was never relayed go before the router connection changes
        // hands, so no byte of theirs can reach it.
        if (detach())
            setStatusText("");
        closeRemoteConnections(Socket);
        // Before any Connect the router connection has no address: use the Settings page's.
        if (m_session.sktBrelwick.Address().empty() && ConnectionFields) {
            const TConnectionFields fields = ConnectionFields();
            m_session.sktBrelwick.SetAddress(fields.Address);
            m_session.sktBrelwick.SetPort(StrToInt(fields.Port));
        }
        // An attempt still under way has carried nothing either way, so the newcomer takes it
        // over, and so a wait for the back-off: a burst of users costs one router connection,
        // not one each. A wait that someone else's connection made moot ends here. The router
        // connection is closed or re-made before the newcomer is attached (its end is not
        // theirs), and they are attached before any byte of the new one can arrive, so they see
        // its whole output from the password prompt on.
        if (m_session.sktBrelwick.Active() || m_session.ConnectionPending())
            m_connectWait->stop();
        try {
            if (!m_session.ConnectionPending() && !m_connectWait->isActive())
                connectRouter();
        } catch (...) {
            // Not even an attempt could start (no address, a bad port): said, and let go
            // without ever being relayed.
            tell(Socket, kFailedLine);
            Socket->CloseConnection();
            throw;
        }
        attach(Socket);
        if (m_connectWait->isActive())
            tellAttached(waitLine(m_connectWait->remainingTime()));
    });
}

void TTelnetRelay::TelnetServerSocketClientRead(QObject *, TCustomWinSocket *Socket)
{
    // While the router connection is not connected the attached user's input is dropped too.
    Guarded([&] {
        const std::string input = Socket->ReceivePending();
        if (Socket == m_attached)
            m_session.sktBrelwick.Socket()->SendString(input);
    });
}

void TTelnetRelay::TelnetServerSocketClientDisconnect(QObject *, TCustomWinSocket *Socket)
{
    Guarded([&] {
        // A replaced user, or one who was never relayed, leaves nothing to let go.
        if (Socket != m_attached)
            return;
        detach();
        // Nobody may hold a remote connection when the monitor logs in again.
        closeRemoteConnections();
        setStatusText("");
        // A wait or an attempt under way carried nothing of theirs: the monitor takes it over.
        if (!m_connectWait->isActive() && !m_session.ConnectionPending())
            connectRouter();
    });
}

void TTelnetRelay::routerConnectionEnded()
{
    // The user goes with the router connection, and the monitor stays disconnected until it is
    // told to connect. When the relay itself closes the router connection nobody is attached.
    // A failed attempt ends here too (the socket then not connected), as does a router that
    // hangs up before saying a word: either way the user hears why they are let go.
    if (!m_attached)
        return;
    if (!m_session.sktBrelwick.Socket()->Connected() || !m_routerSpoke) {
        failAttached();
        return;
    }
    detach();
    closeRemoteConnections();
    setStatusText("");
}

void TTelnetRelay::connectRouter()
{
    const int delayMs = ConnectDelayMs ? ConnectDelayMs() : 0;
    if (delayMs <= 0) {
        m_connectWait->stop();
        m_session.RemakeConnection();
        return;
    }
    // The previous user's session must not pass to the next one, nor stand for the monitor's.
    m_session.CloseConnection();
    m_connectWait->start(delayMs);
}

void TTelnetRelay::connectWaitEnded()
{
    // Someone connected meanwhile (the user's Connect): whoever is attached is relayed on that.
    if (m_session.sktBrelwick.Active() || m_session.ConnectionPending())
        return;
    try {
        m_session.RemakeConnection();
    } catch (...) {
        failAttached();
        throw;
    }
}

std::string TTelnetRelay::waitLine(int remainingMs)
{
    return QString::fromLatin1(kWaitLine).arg(std::max(1, (remainingMs + 999) / 1000)).toStdString();
}

void TTelnetRelay::failAttached()
{
    tellAttached(kFailedLine);
    if (!detach())
        return;
    // Closed with its line still queued: the layer sends it before the descriptor goes.
    closeRemoteConnections();
    setStatusText("");
}

void TTelnetRelay::tellAttached(const std::string &line)
{
    if (m_attached)
        tell(m_attached, line);
}

void TTelnetRelay::attach(TCustomWinSocket *Socket)
{
    m_attached = dynamic_cast<TServerClientWinSocket *>(Socket);
    m_routerSpoke = false;
    if (!m_attached)
        return;
    m_session.RelayTap = [this](const std::string &chunk) {
        m_routerSpoke = true;
        // A user who cannot take more is let go (the layer closes the connection); the chunk is
        // still the monitor's to draw, so the failure ends here.
        const QPointer<TServerClientWinSocket> user = m_attached;
        if (user)
            Guarded([&] { user->SendString(chunk); });
    };
    setStatusText(kRelayingText);
}

bool TTelnetRelay::detach()
{
    const bool wasAttached = !m_attached.isNull();
    m_attached.clear();
    m_session.RelayTap = nullptr;
    return wasAttached;
}

void TTelnetRelay::closeRemoteConnections(const TCustomWinSocket *Keep)
{
    // A copy: the list may change while the disconnect events run.
    const TServerWinSocket *server = TelnetServerSocket.Socket();
    std::vector<QPointer<TServerClientWinSocket>> connections;
    connections.reserve(static_cast<size_t>(server->ActiveConnections()));
    for (int i = 0; i < server->ActiveConnections(); ++i)
        connections.emplace_back(server->ClientConnections(i));
    for (const QPointer<TServerClientWinSocket> &connection : connections)
        if (connection && connection != Keep)
            connection->CloseConnection();
}

void TTelnetRelay::setStatusText(const std::string &text)
{
    if (SetStatusText)
        SetStatusText(text);
}
