// SPDX-License-Identifier: MIT
// The telnet relay: a listener through which one remote user reaches the router's console by way
// of the monitor. Accepting a user re-makes the router connection and from then on the bytes pass
// unchanged both ways while the console session types nothing of its own; when the user leaves,
// the router connection is made again and the monitor logs in by itself. Those re-makes keep the
// monitor's back-off, so users arriving in a flood cannot set how often the router is dialled.
#pragma once

#include "addressfilter.h"
#include "socketlayer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

class QTimer;

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

class TConsoleSession;

class TTelnetRelay : public QObject
{
public:
    static constexpr const char *kRelayingText =
        QT_TRANSLATE_NOOP("TTelnetRelay", "Remote client connected, logging suspended");
    // The relay's only words to a remote user, each one line of plain ASCII ending CR LF; the
    // router's bytes follow unchanged. %1: whole seconds.
    static constexpr const char *kWaitLine =
        "linewatch: the router connection is being re-made; connecting in %1 s\r\n";
    static constexpr const char *kFailedLine = "linewatch: the router refused the connection; closing\r\n";

    // The address and port texts of the Settings page's connection fields.
    struct TConnectionFields
    {
        std::string Address;
        std::string Port;
    };

    // Listens for the session's end of the router connection; taps its output only while a user
    // is attached.
    explicit TTelnetRelay(TConsoleSession &Session, QObject *Parent = nullptr);
    ~TTelnetRelay() override;

    TServerSocket TelnetServerSocket;

    // Writes the status bar's shared message panel (panel 0).
    std::function<void(const std::string &text)> SetStatusText;
    // The Settings page's current router address and port: where a remote user who arrives before
    // the monitor has ever connected is relayed. Unset: such a user is not relayed.
    std::function<TConnectionFields()> ConnectionFields;
    // A router connection for a remote user, or for the monitor after one left, is due: how many
    // milliseconds it must wait (0: now); each call counts one connection in the monitor's
    // back-off. Unset: never a wait.
    std::function<int()> ConnectDelayMs;

    // [Network] TelnetAllow: the addresses and CIDR blocks users may come from, empty for
    // everyone. The relay is plain telnet (the router speaks nothing else), so this keeps it to an
    // admin network. A bad entry is reported as the user's error and left out. A connection from
    // elsewhere is closed at once, before anything reaches the router, and logged once per address
    // a minute.
    void SetAllowList(const std::string &Text);
    // A refused address is logged at most once in this long.
    static constexpr int kRefusalLogMs = 60 * 1000;

    // A remote user is attached: router output goes to them, their input to the router, and the
    // session types nothing. At most one remote connection is ever attached.
    bool RemoteClientConnected() const { return !m_attached.isNull(); }

    // The "Telnet Port:" check box changed. Returns whether the port edit is enabled afterwards:
    // exactly when the box is unchecked, also when the port text is not a number or listening
    // fails (those errors go to the error report and nothing listens).
    bool chkTelnetAdminClick(bool checked, const std::string &portText);

    // A newcomer replaces the attached user: every other remote connection is closed at once.
    void TelnetServerSocketAccept(QObject *Sender, TCustomWinSocket *Socket);
    // Only the attached user's input reaches the router; any other connection's is dropped.
    void TelnetServerSocketClientRead(QObject *Sender, TCustomWinSocket *Socket);
    // Only the attached user's leaving lets the router connection go back to the monitor.
    void TelnetServerSocketClientDisconnect(QObject *Sender, TCustomWinSocket *Socket);

private:
    void attach(TCustomWinSocket *Socket);
    // Forgets the attached user and gives the session back its own login; true if one was attached.
    bool detach();
    // Closes every remote connection but Keep; their disconnect events find nobody to let go.
    void closeRemoteConnections(const TCustomWinSocket *Keep = nullptr);
    void routerConnectionEnded();
    // Re-makes the router connection now or, when the back-off says wait, closes it and re-makes
    // it when the wait ends. Runs with nobody attached; throws as RemakeConnection.
    void connectRouter();
    static std::string waitLine(int remainingMs);
    void connectWaitEnded();
    // The attached user hears one line, is let go and every remote connection closed.
    void failAttached();
    void tellAttached(const std::string &line);
    void setStatusText(const std::string &text);

    // Whether the newcomer may use the relay; a refused one is logged (see SetAllowList).
    bool admitted(TCustomWinSocket *Socket);

    TConsoleSession &m_session;
    TAddressFilter m_allow;
    // When each refused address was last logged, on m_clock; pruned as it grows.
    std::unordered_map<uint32_t, qint64> m_refusalsLogged;
    QElapsedTimer m_clock;
    // Who the relay serves, by identity: the order of the listener's list says nothing about it.
    QPointer<TServerClientWinSocket> m_attached;
    // Runs while a router connection waits for the back-off; a newcomer takes the wait over.
    QTimer *m_connectWait = nullptr;
    // The router has sent the attached user something on this connection.
    bool m_routerSpoke = false;
};
