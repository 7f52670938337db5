// The telnet relay; see telnetrelay.h. The relay knows its user by identity, never by a place in
// the listener's list, and forgets them before it closes anything: closing sockets nests
// handlers, and a disconnect event that finds nobody attached lets nothing go.
#include "telnetrelay.h"

#include "apperror.h"
#include "consolesession.h"
#include "convert.h"

#include <sys/socket.h>
#include <vector>

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
            // Closes every remote connection without a disconnect event.
            TelnetServerSocket.SetActive(false);
            setStatusText("");
            m_session.RemakeConnection();
        } else {
            TelnetServerSocket.SetActive(false);
        }
    });
    return !checked;
}

void TTelnetRelay::TelnetServerSocketAccept(QObject *, TCustomWinSocket *Socket)
{
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
        // over: a burst of users costs one router connection, not one each. When re-making fails
        // the user stays connected to the relay but is not relayed.
        if (!m_session.ConnectionPending())
            m_session.RemakeConnection();
        // Attached before any byte of the new router connection can arrive, so the remote user
        // sees its whole output from the password prompt on.
        attach(Socket);
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
        m_session.RemakeConnection();
    });
}

void TTelnetRelay::routerConnectionEnded()
{
    // The user goes with the router connection, and the monitor stays disconnected until it is
    // told to connect. When the relay itself closes the router connection nobody is attached.
    if (!detach())
        return;
    closeRemoteConnections();
    setStatusText("");
}

void TTelnetRelay::attach(TCustomWinSocket *Socket)
{
    m_attached = dynamic_cast<TServerClientWinSocket *>(Socket);
    if (!m_attached)
        return;
    m_session.RelayTap = [this](const std::string &chunk) {
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
