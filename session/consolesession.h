// SPDX-License-Identifier: MIT
// The router console session: the telnet connection to the router, every received chunk drawn on
// the virtual screen and read into the status record, the prompt-driven login and menu walk to the
// status screen, and the status screen's single-key channel commands. Plain logic over the socket
// layer; the window binds its controls to it through the hooks below.
#pragma once

#include "consolescreen.h"
#include "layoutcheck.h"
#include "socketlayer.h"
#include "statusmodel.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class TConsoleSession : public QObject
{
public:
    explicit TConsoleSession(QObject *Parent = nullptr);
    ~TConsoleSession() override;

    // The connection to the router's console; its connect, read and disconnect events are bound to
    // the handlers below. Its errors go to ConnectionError when that is set; otherwise, or when it
    // leaves the code as it is, the layer reports "Asynchronous socket error %d".
    TClientSocket sktBrelwick;
    TConsoleScreen ConsoleScreen;
    TChannelStatus B1;
    TChannelStatus B2;
    TRouterStatus Router;
    // Step of the prompt automaton, 0..7; 0 on every new connection.
    uint8_t LoginStep = 0;
    // Console input not yet cut into tokens; emptied on every new connection.
    std::string RxBuffer;

    // What the telnet relay provides while a remote user is attached, and empties when it lets go.
    // Set: every chunk read from the router goes to it first, unchanged, and the login walk types
    // nothing of its own. The session never looks at remote connections itself.
    std::function<void(const std::string &chunk)> RelayTap;
    // The router connection ended; runs inside its disconnect handling, after the screen and the
    // record are reset and the window told. Also when an attempt fails (the socket then not
    // connected), before ConnectionError. The relay lets its user go here.
    std::function<void()> ConnectionEnded;

    // What the monitor's reconnecting watches; each may be unset.
    // A socket error on the router connection (a failed attempt, a reset, a failed transfer);
    // setting ErrorCode to 0 keeps it from the error report.
    std::function<void(TErrorEvent Event, int &ErrorCode)> ConnectionError;
    // The router connection ended without this session closing it (btnConnectClick and
    // RemakeConnection close on purpose): the router, the network or a silent router's timeout.
    // Runs inside the disconnect handling, before ConnectionEnded.
    std::function<void()> ConnectionLost;
    // Bytes arrived from the router.
    std::function<void()> DataArrived;
    // The login walk reached the status screen; once per connection.
    std::function<void()> StatusScreenReached;
    // The virtual screen may show something else now: a chunk was drawn or the screen cleared.
    std::function<void()> ScreenChanged;
    // The router asked for the password again right after the walk typed it; once per connection.
    // The walk does not type it again.
    std::function<void()> PasswordRejected;
    // The status screen's layout became one this version does not know (LayoutUnknown), or a
    // screen passed the layout check again. Said once per change, never per pass.
    std::function<void()> LayoutChanged;
    // Every byte passing between the monitor and the router, for a capture: Typed false for what
    // the router sent, true for what the session typed. The password reaches it as '*' of the
    // same length.
    std::function<void(bool Typed, std::string_view Bytes)> Traffic;

    // What the window provides.
    // The text of edtPassword, sent exactly as typed.
    std::function<std::string()> PasswordText;
    // Whether the parser reads every field: the window is visible or the web server is on.
    // Unset: always.
    std::function<bool()> WantFullPass;
    // The connection was made (true) or ended (false); what that looks like is the view's business.
    std::function<void(bool Connected)> ConnectionChanged;
    // The status record went back to its defaults: the window forgets its cached service name.
    std::function<void()> StatusWasReset;

    // btnConnect and mnuConnect: disconnect when connected, else connect to the address and the
    // decimal port given. Errors go to the error report.
    void btnConnectClick(const std::string &addressText, const std::string &portText);

    void sktBrelwickConnect(QObject *Sender, TCustomWinSocket *Socket);
    void sktBrelwickRead(QObject *Sender, TCustomWinSocket *Socket);
    void sktBrelwickDisconnect(QObject *Sender, TCustomWinSocket *Socket);

    // One received chunk: handed to RelayTap first when it is set, then drawn token by token (each
    // token shown to the automaton unless relaying), then one parser pass. A conversion error
    // ends the chunk's handling and propagates; the rest of the chunk waits in RxBuffer for the
    // next one.
    void ProcessConsoleData(const std::string &chunk);
    // The prompt automaton: looks for the current step's prompt inside one token and answers it.
    void AdvanceLogin(std::string_view token);
    // The channel buttons and tray items (Tag 1 drop B1, 2 drop B2, 3 reset, 4 drop all): types
    // the Tag's digit, only while the status screen is shown. Errors go to the error report.
    void SendChannelCommand(int Tag);
    // Whether the virtual screen shows the status screen, where the channel commands mean
    // something.
    bool OnStatusScreen() const;
    // Closes the router connection if it is open (its disconnect handling runs nested), then
    // starts a new attempt to the address and port last set. Used by the relay; throws.
    void RemakeConnection();
    // Closes the router connection on purpose if it is open (its disconnect handling runs nested)
    // and drops an attempt under way. Used by the relay while a new connection must wait.
    void CloseConnection();
    // An attempt is under way and has not connected yet, so no byte has passed on it either way.
    bool ConnectionPending() const;
    // The status record back to its defaults, and the window told so.
    void ResetStatus();
    // Every status screen for the settle time failed the layout check (or, after the walk, none
    // came): its figures are not read. Ends with the first screen that passes, or the connection.
    bool LayoutUnknown() const { return m_layoutUnknown; }
    // The check that failed, while LayoutUnknown.
    const TLayoutVerdict &LayoutFault() const { return m_layoutFault; }
    // How long status screens must fail before the layout counts as unknown: a repaint split
    // across chunks fails for a moment and then passes.
    static constexpr int kLayoutSettleMs = 3000;

protected:
    // Starts a connection attempt to the socket's address and port. A seam for tests that check
    // what would be connected to without connecting.
    virtual void OpenConnection();

private:
    void setConnectionState(bool Connected);
    // Closing and reopening that the session does on purpose; a disconnect meanwhile is no loss.
    template <typename F>
    void onPurpose(F &&Step);

    bool m_closingOnPurpose = false;
    bool m_statusScreenReached = false;
    bool m_passwordRejected = false;
    void send(const std::string &text, bool secret = false);
    // One pass: the parser, unless the status screen fails the layout check.
    void parsePass();
    void noteLayout(const TLayoutVerdict &Verdict);
    void setLayoutUnknown(bool Unknown);
    QTimer m_layoutSettle;
    TLayoutVerdict m_layoutPending;
    TLayoutVerdict m_layoutFault;
    bool m_layoutUnknown = false;
};
