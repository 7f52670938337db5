// The telnet relay; see telnetrelay.h. The order of the steps matters because closing sockets
// nests handlers: the flag is written before the panel and the router connection, so the session
// never closes a remote connection that the relay is already letting go.
#include "telnetrelay.h"

#include "apperror.h"
#include "consolesession.h"
#include "convert.h"

TTelnetRelay::TTelnetRelay(TConsoleSession &Session, QObject *Parent) : QObject(Parent), m_session(Session)
{
    TelnetServerSocket.SetPort(23);
    TelnetServerSocket.OnAccept = [this](QObject *Sender, TCustomWinSocket *Socket) {
        TelnetServerSocketAccept(Sender, Socket);
    };
    TelnetServerSocket.OnClientRead = [this](QObject *Sender, TCustomWinSocket *Socket) {
        TelnetServerSocketClientRead(Sender, Socket);
    };
    TelnetServerSocket.OnClientDisconnect = [this](QObject *Sender, TCustomWinSocket *Socket) {
        TelnetServerSocketClientDisconnect(Sender, Socket);
    };
    m_session.RelayListener = &TelnetServerSocket;
}

TTelnetRelay::~TTelnetRelay()
{
    if (m_session.RelayListener == &TelnetServerSocket) {
        m_session.RelayListener = nullptr;
        m_session.RemoteClientConnected = false;
    }
}

bool TTelnetRelay::chkTelnetAdminClick(bool checked, const std::string &portText)
{
    Guarded([&] {
        if (checked) {
            TelnetServerSocket.SetPort(StrToInt(portText));
            TelnetServerSocket.SetActive(true);
        } else if (m_session.RemoteClientConnected) {
            m_session.RemoteClientConnected = false;
            // Closes every remote connection without a disconnect event.
            TelnetServerSocket.SetActive(false);
            setStatusText("");
            remakeRouterConnection();
        } else {
            TelnetServerSocket.SetActive(false);
        }
    });
    return !checked;
}

void TTelnetRelay::TelnetServerSocketAccept(QObject *, TCustomWinSocket *)
{
    Guarded([&] {
        // Before any Connect the router connection has no address: use the Settings page's.
        if (m_session.sktBrelwick.Address().empty() && ConnectionFields) {
            const TConnectionFields fields = ConnectionFields();
            m_session.sktBrelwick.SetAddress(fields.Address);
            m_session.sktBrelwick.SetPort(StrToInt(fields.Port));
        }
        // When this fails the user stays connected to the relay but is not relayed.
        remakeRouterConnection();
        // Set before any byte of the new router connection can arrive, so the remote user sees
        // its whole output from the password prompt on.
        m_session.RemoteClientConnected = true;
        setStatusText(kRelayingText);
    });
}

void TTelnetRelay::TelnetServerSocketClientRead(QObject *, TCustomWinSocket *Socket)
{
    // Any remote connection's input goes to the router; while the router connection is not
    // connected it is dropped.
    Guarded([&] { m_session.sktBrelwick.Socket()->SendString(Socket->ReceivePending()); });
}

void TTelnetRelay::TelnetServerSocketClientDisconnect(QObject *, TCustomWinSocket *)
{
    Guarded([&] {
        m_session.RemoteClientConnected = false;
        setStatusText("");
        // Nested in the router connection's own disconnect this has no effect, and the monitor
        // stays disconnected; after the remote user left it logs in again by itself.
        remakeRouterConnection();
    });
}

void TTelnetRelay::remakeRouterConnection()
{
    m_session.RemakeConnection();
}

void TTelnetRelay::setStatusText(const std::string &text)
{
    if (SetStatusText)
        SetStatusText(text);
}
