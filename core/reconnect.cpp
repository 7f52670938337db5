// SPDX-License-Identifier: MIT
// Keeping the router connection; see reconnect.h. The session tells what happened (an error, a
// loss, the status screen, a refused password); the decisions about trying again are made here,
// and each one first asks whether a relay user holds the connection.
#include "reconnect.h"

#include "apperror.h"
#include "consolesession.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

// A text in the user's language as the Latin-1 bytes the monitor's texts are made of (German
// fits). linewatchd installs no translator, so its log keeps the English.
std::string translated(const QString &Text)
{
    return Text.toLatin1().toStdString();
}

// An errno text as part of a sentence: "connection refused". The C library's text comes in the
// locale's encoding.
std::string describeError(int Code)
{
    std::string text = translated(QString::fromLocal8Bit(std::strerror(Code)));
    if (!text.empty())
        text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string durationText(int Ms)
{
    return Ms % 1000 == 0 ? std::to_string(Ms / 1000) + " s" : std::to_string(Ms) + " ms";
}

} // namespace

int TBackoff::NominalMs(int Failures) const
{
    int ms = BaseMs;
    for (int i = 0; i < Failures && ms < MaxMs; ++i)
        ms = ms > MaxMs / 2 ? MaxMs : ms * 2;
    return std::min(ms, MaxMs);
}

int TBackoff::NextDelayMs()
{
    const int nominal = NominalMs(m_failures);
    // The doubling has stopped at the cap long before the count could overflow.
    if (m_failures < 64)
        ++m_failures;
    std::uniform_real_distribution<double> factor(1.0 - Jitter, 1.0 + Jitter);
    return std::max(1, int(std::lround(nominal * factor(m_random))));
}

const char *AlertKindName(TAlertKind Kind)
{
    switch (Kind) {
    case TAlertKind::PasswordRejected:
        return "password-rejected";
    case TAlertKind::ConnectionLost:
        return "connection-lost";
    case TAlertKind::ConnectionRestored:
        return "connection-restored";
    case TAlertKind::IncomingCall:
        return "incoming-call";
    case TAlertKind::ChannelDropped:
        return "channel-dropped";
    case TAlertKind::LongDataCall:
        return "long-data-call";
    case TAlertKind::OutcallTime:
        return "outcall-time";
    case TAlertKind::NoStatus:
        return "no-status";
    }
    return "unknown";
}

TReconnector::TReconnector(TConsoleSession &Session, QObject *Parent) : QObject(Parent), m_session(Session)
{
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [this] { Guarded([this] { attempt(); }); });
    m_silence = new QTimer(this);
    m_silence->setSingleShot(true);
    connect(m_silence, &QTimer::timeout, this, [this] { Guarded([this] { silenceCheck(); }); });
    m_lastData.start();
    m_clock.start();

    m_session.ConnectionError = [this](TErrorEvent Event, int &ErrorCode) { connectionError(Event, ErrorCode); };
    m_session.ConnectionLost = [this] { lost(); };
    // One clock read per chunk: the silence timer is not restarted for every one.
    m_session.DataArrived = [this] { m_lastData.restart(); };
    m_session.StatusScreenReached = [this] { statusScreenReached(); };
    m_session.PasswordRejected = [this] { passwordRejected(); };
}

TReconnector::~TReconnector()
{
    m_session.ConnectionError = nullptr;
    m_session.ConnectionLost = nullptr;
    m_session.DataArrived = nullptr;
    m_session.StatusScreenReached = nullptr;
    m_session.PasswordRejected = nullptr;
}

void TReconnector::SetTiming(const TTiming &Timing)
{
    m_backoff.BaseMs = Timing.BaseMs;
    m_backoff.MaxMs = Timing.MaxMs;
    if (Timing.Seed != 0)
        m_backoff.Seed(Timing.Seed);
    m_silenceOverrideMs = Timing.SilenceMs;
}

int TReconnector::silenceMs() const
{
    if (m_silenceOverrideMs > 0)
        return m_silenceOverrideMs;
    return SilenceMs ? SilenceMs() : 0;
}

bool TReconnector::UserConnect(const std::function<void()> &Click, bool AtStart)
{
    if (m_session.sktBrelwick.Active()) {
        // The user's Disconnect: nothing is tried again.
        stop();
        Click();
        return true;
    }
    if (m_reconnecting) {
        // The button stands for Disconnect while reconnecting: stop, and drop an attempt under way.
        stop();
        m_session.sktBrelwick.CancelAttempt();
        return false;
    }
    m_wanted = true;
    m_passwordRejected = false;
    resetBackoff();
    m_lossReason.clear();
    Click();
    // An attempt that could not even start (no address, a port that is no number) waits for the
    // user to fix a setting; trying again would only fail the same way.
    m_userAttempt = m_session.sktBrelwick.Socket()->SocketHandle() >= 0;
    m_startAttempt = m_userAttempt && AtStart;
    if (!m_userAttempt && !m_session.sktBrelwick.Active())
        m_wanted = false;
    updateText();
    return true;
}

std::string TReconnector::Text() const
{
    if (m_passwordRejected)
        return translated(QCoreApplication::translate("TReconnector", kPasswordRejectedText));
    if (m_retry->isActive()) {
        const int seconds = std::max(1, (m_retry->remainingTime() + 999) / 1000);
        return translated(QCoreApplication::translate("TReconnector", "Reconnecting in %1 s (%2)")
                              .arg(seconds)
                              .arg(QString::fromLatin1(m_reason.data(), qsizetype(m_reason.size()))));
    }
    if (m_attempting)
        return translated(QCoreApplication::translate("TReconnector", "Reconnecting now"));
    return {};
}

int TReconnector::WaitRemainingMs() const
{
    return m_retry->isActive() ? std::max(0, m_retry->remainingTime()) : -1;
}

void TReconnector::Tick()
{
    updateText();
}

void TReconnector::connectionError(TErrorEvent Event, int &ErrorCode)
{
    if (Event == eeConnect) {
        const bool userAttempt = std::exchange(m_userAttempt, false);
        const bool startAttempt = std::exchange(m_startAttempt, false);
        m_attempting = false;
        if (!m_wanted || relayAttached() || !enabled())
            return;
        const std::string reason = describeError(ErrorCode ? ErrorCode : ECONNREFUSED);
        if (startAttempt)
            WriteLogLine(translated(QCoreApplication::translate("TReconnector", "Connecting to the router failed: ")) +
                             reason,
                         kLogNotice);
        // The user's own attempt is reported as always; the start's and the back-off's are only
        // shown.
        if (!userAttempt || startAttempt)
            ErrorCode = 0;
        scheduleRetry(reason);
        return;
    }
    // A reset or a failed transfer on an open connection: its disconnect event follows, and the
    // loss is told there instead of in an error box.
    if (m_wanted && enabled() && !relayAttached() && ErrorCode != 0) {
        m_lossReason = describeError(ErrorCode);
        ErrorCode = 0;
    }
}

int TReconnector::PaceConnection()
{
    const qint64 now = m_clock.elapsed();
    const qint64 at = std::max(now, m_nextAttemptAt);
    m_nextAttemptAt = at + m_backoff.NextDelayMs();
    return int(at - now);
}

void TReconnector::NoteConnected()
{
    m_attempting = false;
    m_userAttempt = false;
    if (!relayAttached())
        m_wanted = true;
    m_lossReason.clear();
    // A router that takes the connection and then says nothing is as hung as a silent status
    // screen: the watch runs from the connect on.
    m_statusShown = false;
    m_lastData.restart();
    if (silenceMs() > 0)
        m_silence->start(silenceMs());
    updateText();
}

void TReconnector::EnabledChanged()
{
    if (enabled() || !m_reconnecting)
        return;
    stop();
    if (!m_session.sktBrelwick.Active())
        m_session.sktBrelwick.CancelAttempt();
}

void TReconnector::lost()
{
    m_silence->stop();
    const std::string reason =
        m_lossReason.empty()
            ? translated(QCoreApplication::translate("TReconnector", "the router closed the connection"))
            : std::exchange(m_lossReason, {});
    if (relayAttached()) {
        // The relay's rule: its user goes with the connection and the monitor stays disconnected.
        stop();
        return;
    }
    if (!m_wanted || !enabled() || m_passwordRejected)
        return;
    if (!m_reconnecting && Alert)
        Alert(TAlertKind::ConnectionLost,
              translated(QCoreApplication::translate("TReconnector", "The connection to the router was lost: ")) +
                  reason);
    scheduleRetry(reason);
}

void TReconnector::statusScreenReached()
{
    resetBackoff();
    m_statusShown = true;
    if (m_reconnecting) {
        setReconnecting(false);
        if (Alert)
            Alert(TAlertKind::ConnectionRestored,
                  translated(QCoreApplication::translate("TReconnector", "The connection to the router is back")));
    }
    m_lastData.restart();
    if (silenceMs() > 0)
        m_silence->start(silenceMs());
    updateText();
}

void TReconnector::passwordRejected()
{
    m_passwordRejected = true;
    m_wanted = false;
    m_retry->stop();
    m_silence->stop();
    m_attempting = false;
    setReconnecting(false);
    // The connection is of no use any more: the walk types nothing after a refusal, and a console
    // left at its password prompt looks connected to everyone watching. It is closed on purpose,
    // so no loss is told, once the chunk that held the prompt is done with: the session is still
    // drawing it here.
    QTimer::singleShot(0, this, [this] {
        Guarded([this] {
            if (m_passwordRejected && !relayAttached())
                m_session.CloseConnection();
        });
    });
    updateText();
    if (Alert)
        Alert(TAlertKind::PasswordRejected,
              translated(QCoreApplication::translate("TReconnector", kPasswordRejectedText)));
}

void TReconnector::silenceCheck()
{
    const int limit = silenceMs();
    if (!m_session.sktBrelwick.Active() || limit <= 0)
        return;
    const qint64 quiet = m_lastData.elapsed();
    if (quiet < limit) {
        m_silence->start(int(limit - quiet));
        return;
    }
    // A relay user may sit on a screen that never repaints, and hears a hung router for
    // themselves; the watch resumes when they leave. Without reconnecting a silent router is
    // left as it is.
    if (relayAttached() || !enabled() || !m_wanted) {
        m_silence->start(limit);
        return;
    }
    const QString duration = QString::fromStdString(durationText(limit));
    m_lossReason =
        m_statusShown
            ? translated(QCoreApplication::translate("TReconnector", "no data from the router for %1").arg(duration))
            : translated(QCoreApplication::translate("TReconnector", "no answer from the router for %1").arg(duration));
    // Not on purpose: the disconnect event counts as a loss.
    m_session.sktBrelwick.SetActive(false);
}

void TReconnector::attempt()
{
    // Someone else has connected meanwhile (a relay user's connection): their rules hold.
    if (relayAttached() || m_session.sktBrelwick.Active() || m_session.ConnectionPending()) {
        setReconnecting(false);
        updateText();
        return;
    }
    m_attempting = true;
    updateText();
    try {
        m_session.RemakeConnection();
    } catch (const std::exception &e) {
        m_attempting = false;
        scheduleRetry(e.what());
    }
}

void TReconnector::scheduleRetry(const std::string &Reason)
{
    m_reason = Reason;
    m_attempting = false;
    const int delay = m_backoff.NextDelayMs();
    m_retry->start(delay);
    m_nextAttemptAt = m_clock.elapsed() + delay;
    setReconnecting(true);
    if (Waiting)
        Waiting(delay, Reason);
    updateText();
}

void TReconnector::resetBackoff()
{
    m_backoff.Reset();
    m_nextAttemptAt = 0;
}

void TReconnector::stop()
{
    m_retry->stop();
    m_attempting = false;
    m_userAttempt = false;
    m_startAttempt = false;
    m_wanted = false;
    setReconnecting(false);
    updateText();
}

void TReconnector::setReconnecting(bool On)
{
    if (m_reconnecting == On)
        return;
    m_reconnecting = On;
    if (ReconnectingChanged)
        ReconnectingChanged(On);
}

void TReconnector::updateText()
{
    std::string text = Text();
    if (text == m_text)
        return;
    m_text = std::move(text);
    if (TextChanged)
        TextChanged(m_text);
}
