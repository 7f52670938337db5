// SPDX-License-Identifier: MIT
// The alert engine: turns what the monitor sees (calls, channel states, the connection, the
// status record's silence) into alerts the user switched on in [Alerts], at most one bubble per
// kind and channel a minute, says when an alert's cause is over, and runs the user's alert command without a shell, in
// a process group of its own that a deadline and the monitor's end take down whole. Qt Core only, so linewatchd raises
// the same alerts as the window.
#pragma once

#include "localday.h"
#include "reconnect.h"
#include "settings.h"
#include "statusmodel.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

// What needs the user to act now (a critical bubble, a warning in the log) rather than a glance:
// the password rejected, which nothing will retry. A lost connection is tried again by itself.
bool AlertIsUrgent(TAlertKind Kind);

class TAlerts : public QObject
{
    Q_OBJECT

public:
    // A kind raised again on the same channel within this time is counted and folded into its
    // next alert.
    static constexpr int64_t kRateLimitMs = 60 * 1000;
    // A call that ends this soon after the user's Drop, Drop All or Reset is one the user asked
    // to end.
    static constexpr int64_t kUserDropGraceMs = 10 * 1000;

    explicit TAlerts(QObject *Parent = nullptr);
    // Ends the process groups of the commands still running: SIGTERM, then SIGKILL to what is
    // left after kStopGraceMs, so nothing a command started outlives the monitor.
    ~TAlerts() override;

    // The switches and thresholds, read at each decision. Unset: the defaults.
    std::function<const TAlertSettings &()> Settings;
    // Milliseconds of wall-clock time; tests set their own. Unset: the system clock.
    std::function<int64_t()> NowMs;
    // At most this many alert commands run at once; an alert that finds them all busy runs none
    // and says so in the log.
    static constexpr int kMaxRunningCommands = 4;
    // A command's process group gets SIGTERM this long after it started (the command and what it
    // left behind, such as "sleep 300 &"), and SIGKILL kCommandKillGraceMs after that.
    static constexpr int kCommandDeadlineMs = 30 * 1000;
    static constexpr int kCommandKillGraceMs = 3 * 1000;
    // How long the monitor's end waits for the groups to go after SIGTERM before SIGKILL.
    static constexpr int kStopGraceMs = 1000;
    // The deadline and its grace; tests shorten them.
    int CommandDeadlineMs = kCommandDeadlineMs;
    int CommandKillGraceMs = kCommandKillGraceMs;

    // Starts the command's process; returns whether it started. Unset: a process of our own with
    // the alert's kind and text in LINEWATCH_ALERT_KIND and LINEWATCH_ALERT_TEXT, in a process
    // group of its own, watched until it ends so that a failure reaches commandFailed.
    std::function<bool(const QString &Program, const QStringList &Arguments, TAlertKind Kind, const QString &Text)>
        StartCommand;

    // An alert from outside (the reconnector's); it passes the switch and the rate limit.
    void Raise(TAlertKind Kind, const QString &Text);
    // A new incoming call's caller ID on channel 1 or 2.
    void NoteIncomingCall(int Channel, const QString &Number);
    // The user's channel command: 1 drop B1, 2 drop B2, 3 reset, 4 drop all.
    void NoteUserDrop(int CommandTag);
    // A byte from the router while the status screen is shown.
    void NoteStatusData();
    // The status screen came up: a lost connection and a rejected password are over.
    void NoteStatusScreen();
    // Once a second with the status record. Watching: the user wants the router connection
    // (connected or reconnecting); the status's silence counts only then. StatusShown: the record
    // holds the router's figures (the status screen is up), not what was left of them.
    void Check(const TChannelStatus &B1, const TChannelStatus &B2, const TRouterStatus &Router, bool Watching,
               bool StatusShown);

    // Today's outgoing call time as far as the monitor has seen it: the growth of the router's
    // total outcall time between status records since local midnight (a total that falls, after
    // a router restart, counts from zero again).
    int64_t OutcallSecondsToday() const { return m_outcallToday; }

    // Alert commands started and not yet ended.
    int RunningCommands() const { return m_runningCommands; }

    // The bubble's title for a kind: "Incoming call" and so on.
    static QString Title(TAlertKind Kind);
    // "1 minute", "2 minutes"; "1 second", "2 seconds"; in the user's language.
    static QString Minutes(int64_t N);
    static QString Seconds(int64_t N);
    // The command line split into program and arguments: blanks separate, double quotes group,
    // three double quotes make one literal quote; nothing else is special.
    static QStringList SplitCommand(const QString &Command);

signals:
    // An alert to show: after the switch and the rate limit. Channel: 1 or 2 for a channel's
    // alert (incoming call, call ended, long data call), 0 for the others.
    void raised(TAlertKind Kind, const QString &Title, const QString &Text, int Channel);
    // The cause of the kind's alerts on Channel is over (the connection back, the long call ended,
    // the status flowing again, a new day for the outcall time): a bubble that still shows one
    // goes. Told whether or not one was raised.
    void ended(TAlertKind Kind, int Channel);
    // The alert command did not start, exited with a status other than 0, crashed or was stopped
    // at its deadline. Told once per distinct failure: the same failure again stays quiet until
    // the command has succeeded.
    void commandFailed(const QString &Text);

private:
    struct TKindState
    {
        int64_t LastRaisedMs = 0;
        bool EverRaised = false;
        int Folded = 0;
        QString LastFoldedText;
    };
    struct TChannelWatch
    {
        bool InCall = false;
        bool Data = false;
        bool LongCallAlerted = false;
        int64_t LastUpSeconds = 0;
        int64_t UserDropMs = -1;
    };

    const TAlertSettings &settings() const;
    int64_t now() const;
    bool enabled(TAlertKind Kind) const;
    void emitAlert(TAlertKind Kind, const QString &Text, int Channel = 0);
    // Raise, on a channel.
    void raise(TAlertKind Kind, const QString &Text, int Channel);
    void end(TAlertKind Kind, int Channel = 0);
    static std::size_t slot(TAlertKind Kind, int Channel) { return std::size_t(Kind) * 3 + std::size_t(Channel); }
    void flushFolded();
    void checkChannel(int Channel, const TChannelStatus &C);
    void checkOutcall(const TRouterStatus &Router);
    void checkSilence(bool Watching);
    void runCommand(TAlertKind Kind, const QString &Text);
    bool startCommand(const QString &Program, const QStringList &Arguments, TAlertKind Kind, const QString &Text);
    void commandEnded(const QString &Failure);
    void signalGroup(qint64 Group, int Signal);
    void endGroups();

    // Per kind and channel (0, 1, 2): see slot().
    std::array<TKindState, kAlertKindCount * 3> m_kinds;
    std::array<TChannelWatch, 2> m_channels;
    // The day (days since the epoch, local time) the outcall time counts for.
    int64_t m_outcallDay = -1;
    TLocalDay m_today;
    int64_t m_lastOutcallTotal = -1;
    int64_t m_outcallToday = 0;
    bool m_outcallAlerted = false;
    bool m_watching = false;
    int64_t m_lastStatusMs = 0;
    bool m_silenceAlerted = false;
    int m_runningCommands = 0;
    // The process groups of commands started and not yet past their deadline (a group lives on
    // while anything the command started does, after the command itself has ended).
    QList<qint64> m_groups;
    QString m_lastCommandFailure;
};
