// SPDX-License-Identifier: MIT
// Keeping the router connection: when it ends without the user asking (refused, reset, closed by
// the router, or silent at any step of the login or on the status screen) the monitor tries again
// after 1, 2, 4 ... at most 60 seconds with +-20 % jitter, and starts from 1 s again once the
// status screen is back. The relay's router connections keep the same pace. The user's Disconnect
// and a rejected password stop it, and a rejected password ends its connection too; while a
// remote relay user is attached the relay's own rules hold.
#pragma once

#include "socketlayer.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <functional>
#include <random>
#include <string>

class QTimer;
class TConsoleSession;

// The waits between attempts: the nominal wait doubles with each failure from BaseMs up to MaxMs,
// and each wait is the nominal one scaled by a factor drawn evenly from [1 - Jitter, 1 + Jitter],
// so monitors that lost the same router do not all come back in the same second.
class TBackoff
{
public:
    explicit TBackoff(uint32_t Seed = std::random_device{}()) : m_random(Seed) {}

    int BaseMs = 1000;
    int MaxMs = 60 * 1000;
    double Jitter = 0.2;

    // The nominal wait after Failures failures, without jitter.
    int NominalMs(int Failures) const;
    // The next wait, jittered; counts one failure.
    int NextDelayMs();
    int Failures() const { return m_failures; }
    void Reset() { m_failures = 0; }
    void Seed(uint32_t Seed) { m_random.seed(Seed); }

private:
    std::mt19937 m_random;
    int m_failures = 0;
};

// What the alerts tell the user about; the reconnector raises the first three, the alert engine
// (alerts.h) the rest.
enum class TAlertKind {
    PasswordRejected,
    ConnectionLost,
    ConnectionRestored,
    IncomingCall,
    ChannelDropped,
    LongDataCall,
    OutcallTime,
    NoStatus,
};
inline constexpr int kAlertKindCount = int(TAlertKind::NoStatus) + 1;
const char *AlertKindName(TAlertKind Kind);

// The reconnecting state machine over the console session. The monitor forwards the user's
// Connect click through UserConnect and binds the session's hooks here.
class TReconnector : public QObject
{
public:
    // Timings; tests shorten them instead of sleeping seconds.
    struct TTiming
    {
        int BaseMs = 1000;
        int MaxMs = 60 * 1000;
        // 0: take the silence time from Settings (SilenceMs).
        int SilenceMs = 0;
        // 0: a random seed.
        uint32_t Seed = 0;
    };

    TReconnector(TConsoleSession &Session, QObject *Parent = nullptr);
    ~TReconnector() override;

    void SetTiming(const TTiming &Timing);

    // Whether reconnecting is switched on, and how long the router may stay silent before it is
    // taken for hung (0: never), from the connect on; read at each decision.
    std::function<bool()> Enabled;
    std::function<int()> SilenceMs;
    // Whether a remote relay user is attached.
    std::function<bool()> RelayAttached;

    // The status bar's and tray tip's reconnecting text changed ("" when there is none).
    std::function<void(const std::string &Text)> TextChanged;
    // Reconnecting began (true) or ended (false): the Connect button then stands for Disconnect.
    std::function<void(bool Reconnecting)> ReconnectingChanged;
    // A wait began: once per attempt, for the log.
    std::function<void(int DelayMs, const std::string &Reason)> Waiting;
    std::function<void(TAlertKind Kind, const std::string &Text)> Alert;

    // The user's Connect click. Click runs the session's own click; returns whether it ran (while
    // reconnecting without a connection the click stops reconnecting instead). AtStart: the
    // connect the program makes as it starts; while reconnecting is on, its failure is told in
    // the reconnecting text and the log, as the back-off's are, not in the error report: nobody
    // is at the window to close a box yet, and the next attempt is already counting down.
    bool UserConnect(const std::function<void()> &Click, bool AtStart = false);

    // From the back-off's start until the status screen is reached again or it is stopped.
    bool Reconnecting() const { return m_reconnecting; }
    // The router refused the password since the user last clicked Connect.
    bool PasswordRejected() const { return m_passwordRejected; }
    const TBackoff &Backoff() const { return m_backoff; }
    // Milliseconds until the next attempt while a wait runs, -1 otherwise.
    int WaitRemainingMs() const;
    // Why the connection or the last attempt ended, while reconnecting.
    const std::string &Reason() const { return m_reason; }
    // The text for the status bar and the tray tip, "" when there is nothing to say: a wait's
    // countdown, an attempt under way, a rejected password.
    std::string Text() const;
    // Once a second: the countdown moves on.
    void Tick();
    // A router connection made for someone else (the relay's) is due: the milliseconds it must
    // wait so that all attempts keep the back-off's pace (0: now). Counts it as one attempt; the
    // first after the status screen was reached goes at once.
    int PaceConnection();
    // The session's connect event.
    void NoteConnected();
    // Enabled has changed: switched off, a wait or an attempt under way ends as at the user's
    // Disconnect; a connection that stands is kept.
    void EnabledChanged();

    static constexpr const char *kPasswordRejectedText =
        QT_TRANSLATE_NOOP("TReconnector", "The router rejected the password");

private:
    void connectionError(TErrorEvent Event, int &ErrorCode);
    void lost();
    void statusScreenReached();
    void passwordRejected();
    void silenceCheck();
    void attempt();
    void scheduleRetry(const std::string &Reason);
    void resetBackoff();
    void stop();
    void setReconnecting(bool On);
    void updateText();
    bool enabled() const { return !Enabled || Enabled(); }
    bool relayAttached() const { return RelayAttached && RelayAttached(); }
    int silenceMs() const;

    TConsoleSession &m_session;
    TBackoff m_backoff;
    QTimer *m_retry = nullptr;
    QTimer *m_silence = nullptr;
    QElapsedTimer m_lastData;
    // The earliest moment, on m_clock, at which the next paced attempt may start.
    QElapsedTimer m_clock;
    qint64 m_nextAttemptAt = 0;
    // This connection has shown the status screen: its silence is told as such.
    bool m_statusShown = false;
    int m_silenceOverrideMs = 0;
    // The user wants a connection: from Connect (or any connection of the monitor's own) until
    // Disconnect, a rejected password or a loss while a relay user was attached.
    bool m_wanted = false;
    bool m_reconnecting = false;
    // An attempt started by the back-off is under way.
    bool m_attempting = false;
    // The user's own attempt is under way: its failure still reaches the error report.
    bool m_userAttempt = false;
    bool m_startAttempt = false;
    bool m_passwordRejected = false;
    // Why the connection ended, when known before the disconnect event (a reset, silence).
    std::string m_lossReason;
    std::string m_reason;
    std::string m_text;
};
