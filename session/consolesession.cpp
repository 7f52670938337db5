// SPDX-License-Identifier: MIT
// The router console session; see consolesession.h. Step orders matter: closing a socket runs its
// disconnect handling nested inside the call, and a conversion error must leave the rest of a
// chunk in RxBuffer.
#include "consolesession.h"

#include "apperror.h"
#include "convert.h"
#include "screenparser.h"

#include <iterator>

namespace {

constexpr std::string_view kStatusTitle = "Menu 24.1";
constexpr int kTitleRow = 3;

// The automaton's steps: the prompt looked for (a case-sensitive fragment, so that "Password:" and
// "password:" both match) and the reply typed. Replies end in CR alone; ESC goes back one menu.
struct LoginStepText
{
    std::string_view prompt;
    std::string_view reply; // empty: the password, followed by CR
};

constexpr LoginStepText kLoginSteps[] = {
    {"assword:", {}},      // 0: log in
    {"umber:", "24\r"},    // 1: main menu -> menu 24
    {"umber:", "2\r"},     // 2: menu 24 -> menu 24.2
    {"election:", "1\r"},  // 3: menu 24.2 -> "Menu 24.2.1", read while shown
    {"xit:", "\x1b"},      // 4: back to menu 24.2
    {"election:", "\x1b"}, // 5: back to menu 24
    {"umber:", "1\r"},     // 6: menu 24 -> "Menu 24.1", where the session stays
};
constexpr uint8_t kLastLoginStep = std::size(kLoginSteps);

} // namespace

TConsoleSession::TConsoleSession(QObject *Parent) : QObject(Parent)
{
    m_layoutSettle.setSingleShot(true);
    m_layoutSettle.setInterval(kLayoutSettleMs);
    connect(&m_layoutSettle, &QTimer::timeout, this, [this] {
        Guarded([&] {
            if (m_layoutPending.Passed())
                return;
            m_layoutFault = m_layoutPending;
            setLayoutUnknown(true);
        });
    });
    sktBrelwick.OnConnect = [this](QObject *Sender, TCustomWinSocket *Socket) { sktBrelwickConnect(Sender, Socket); };
    sktBrelwick.OnRead = [this](QObject *Sender, TCustomWinSocket *Socket) { sktBrelwickRead(Sender, Socket); };
    sktBrelwick.OnDisconnect = [this](QObject *Sender, TCustomWinSocket *Socket) {
        sktBrelwickDisconnect(Sender, Socket);
    };
    sktBrelwick.OnError = [this](QObject *, TCustomWinSocket *, TErrorEvent Event, int &ErrorCode) {
        // A failed attempt ends what a relay user waits for. Told first, so the reconnecting
        // sees whether the relay still holds the connection.
        if (Event == eeConnect && ConnectionEnded)
            ConnectionEnded();
        if (ConnectionError)
            ConnectionError(Event, ErrorCode);
    };
}

TConsoleSession::~TConsoleSession()
{
    // The socket closes without events as it goes; none of them may reach a half-destroyed session.
    sktBrelwick.OnConnect = nullptr;
    sktBrelwick.OnRead = nullptr;
    sktBrelwick.OnDisconnect = nullptr;
    sktBrelwick.OnError = nullptr;
}

template <typename F>
void TConsoleSession::onPurpose(F &&Step)
{
    const bool outer = m_closingOnPurpose;
    m_closingOnPurpose = true;
    try {
        Step();
    } catch (...) {
        m_closingOnPurpose = outer;
        throw;
    }
    m_closingOnPurpose = outer;
}

void TConsoleSession::btnConnectClick(const std::string &addressText, const std::string &portText)
{
    Guarded([&] {
        onPurpose([&] {
            if (sktBrelwick.Active()) {
                // The disconnect handling runs inside this call.
                sktBrelwick.SetActive(false);
                return;
            }
            // While an attempt is pending the socket is not yet active: this starts a fresh
            // attempt with the current values and drops the pending one.
            sktBrelwick.SetAddress(addressText);
            sktBrelwick.SetPort(StrToInt(portText));
            OpenConnection();
        });
    });
}

void TConsoleSession::sktBrelwickConnect(QObject *, TCustomWinSocket *)
{
    Guarded([&] {
        ResetStatus();
        RxBuffer.clear();
        ConsoleScreen.ResetInput();
        LoginStep = 0;
        m_statusScreenReached = false;
        m_passwordRejected = false;
        m_layoutSettle.stop();
        m_layoutPending = {};
        setLayoutUnknown(false);
        setConnectionState(true);
    });
}

void TConsoleSession::sktBrelwickRead(QObject *, TCustomWinSocket *Socket)
{
    Guarded([&] {
        if (DataArrived)
            DataArrived();
        ProcessConsoleData(Socket->ReceivePending());
    });
}

void TConsoleSession::sktBrelwickDisconnect(QObject *, TCustomWinSocket *)
{
    Guarded([&] {
        ConsoleScreen.ClearScreen(2);
        if (ScreenChanged)
            ScreenChanged();
        ResetStatus();
        m_layoutSettle.stop();
        m_layoutPending = {};
        setLayoutUnknown(false);
        setConnectionState(false);
        // Before the relay lets its user go, so the loss still sees whether one was attached.
        if (!m_closingOnPurpose && ConnectionLost)
            ConnectionLost();
        // The relay's user goes with the router connection.
        if (ConnectionEnded)
            ConnectionEnded();
    });
}

void TConsoleSession::ProcessConsoleData(const std::string &chunk)
{
    // Told also when a bad field ends the chunk's handling: the drawn part counts.
    struct TTellScreenChanged
    {
        const std::function<void()> &hook;
        ~TTellScreenChanged()
        {
            if (hook)
                hook();
        }
    } tell{ScreenChanged};
    // The remote user sees the router's bytes before the monitor does anything with them.
    // A copy: the tap may let its user go, and so unset itself, while it runs.
    if (RelayTap) {
        const std::function<void(const std::string &)> tap = RelayTap;
        tap(chunk);
    }
    if (Traffic)
        Traffic(false, chunk);

    // The login walk looks at every token; once on the status screen nothing is typed any more,
    // and the screen draws the chunk straight through.
    if (LoginStep < kLastLoginStep)
        ConsoleScreen.DrawChunk(RxBuffer, chunk, [this](std::string_view token) {
            if (!RelayTap)
                AdvanceLogin(token);
        });
    else
        ConsoleScreen.DrawChunk(RxBuffer, chunk);
    parsePass();
    // The walk's last reply asked for the status screen; it counts as reached once it shows.
    if (LoginStep >= kLastLoginStep && !m_statusScreenReached && !RelayTap &&
        ConsoleScreen.Row(kTitleRow).find(kStatusTitle) != std::string_view::npos) {
        m_statusScreenReached = true;
        if (StatusScreenReached)
            StatusScreenReached();
    }
}

void TConsoleSession::parsePass()
{
    const bool fullPass = WantFullPass ? WantFullPass() : true;
    const TCheckedStatusRead read(ConsoleScreen, fullPass);
    if (read.StatusScreen()) {
        noteLayout(read.Verdict());
        // The figures keep their values rather than take a moved field's.
        if (read.Verdict().Passed())
            read.CommitTo(B1, B2, Router);
        return;
    }
    if (LoginStep >= kLastLoginStep && !RelayTap &&
        ConsoleScreen.Row(kTitleRow).find("Menu 24.2.1") == std::string_view::npos) {
        // The walk asked for the status screen: a screen that keeps not naming it in row 3 is
        // one whose title this version does not know.
        noteLayout({TLayoutFault::Title, kTitleRow, 1, 80});
    }
    ParseScreen(ConsoleScreen, fullPass, B1, B2, Router);
}

void TConsoleSession::noteLayout(const TLayoutVerdict &Verdict)
{
    m_layoutPending = Verdict;
    if (Verdict.Passed()) {
        m_layoutSettle.stop();
        setLayoutUnknown(false);
    } else if (!m_layoutUnknown && !m_layoutSettle.isActive()) {
        m_layoutSettle.start();
    } else if (m_layoutUnknown) {
        m_layoutFault = Verdict;
    }
}

void TConsoleSession::setLayoutUnknown(bool Unknown)
{
    if (m_layoutUnknown == Unknown)
        return;
    m_layoutUnknown = Unknown;
    if (!Unknown)
        m_layoutFault = {};
    if (LayoutChanged)
        LayoutChanged();
}

void TConsoleSession::AdvanceLogin(std::string_view token)
{
    if (LoginStep >= kLastLoginStep)
        return; // on the status screen: nothing more is typed
    // Right after the password, its prompt again means the router refused it. It is not typed
    // again: a wrong password tried over and over can lock the console.
    if (LoginStep == 1 && !m_passwordRejected && token.find(kLoginSteps[0].prompt) != std::string_view::npos) {
        m_passwordRejected = true;
        if (PasswordRejected)
            PasswordRejected();
        return;
    }
    const LoginStepText &step = kLoginSteps[LoginStep];
    if (token.find(step.prompt) == std::string_view::npos)
        return;
    if (step.reply.empty())
        send((PasswordText ? PasswordText() : std::string()) + "\r", true);
    else
        send(std::string(step.reply));
    ++LoginStep;
}

bool TConsoleSession::OnStatusScreen() const
{
    return ConsoleScreen.Row(kTitleRow).find(kStatusTitle) != std::string_view::npos;
}

void TConsoleSession::SendChannelCommand(int Tag)
{
    Guarded([&] {
        // The single-key commands mean something only on the status screen; elsewhere the key
        // would pick a menu entry.
        if (OnStatusScreen())
            send(std::to_string(Tag));
    });
}

void TConsoleSession::RemakeConnection()
{
    onPurpose([this] {
        if (sktBrelwick.Active())
            sktBrelwick.SetActive(false);
        OpenConnection();
    });
}

void TConsoleSession::CloseConnection()
{
    onPurpose([this] {
        if (sktBrelwick.Active())
            sktBrelwick.SetActive(false);
        sktBrelwick.CancelAttempt();
    });
}

bool TConsoleSession::ConnectionPending() const
{
    // While connecting the socket holds a descriptor but is not connected; the disconnect event
    // runs with the socket still connected.
    return !sktBrelwick.Socket()->Connected() && sktBrelwick.Socket()->SocketHandle() >= 0;
}

void TConsoleSession::ResetStatus()
{
    ::ResetStatus(B1, B2, Router);
    if (StatusWasReset)
        StatusWasReset();
}

void TConsoleSession::OpenConnection()
{
    sktBrelwick.SetActive(true);
}

void TConsoleSession::setConnectionState(bool Connected)
{
    if (ConnectionChanged)
        ConnectionChanged(Connected);
}

void TConsoleSession::send(const std::string &text, bool secret)
{
    if (Traffic) {
        if (secret) {
            // The password's own bytes never reach a capture; its length and the CR do.
            std::string masked(text.size() - 1, '*');
            masked += text.back();
            Traffic(true, masked);
        } else {
            Traffic(true, text);
        }
    }
    // The result (bytes taken now) does not matter: the layer queues the rest.
    sktBrelwick.Socket()->SendString(text);
}
