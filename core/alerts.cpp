// SPDX-License-Identifier: MIT
// The alert engine; see alerts.h. Every decision reads the settings afresh, so a change on the
// Settings tab holds from the next second on.
#include "alerts.h"

#include "apperror.h"
#include "machinestatus.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <csignal>
#include <memory>
#include <unistd.h>
#include <utility>

namespace {

QString fromBytes(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString channelName(int Channel)
{
    return Channel == 1 ? QStringLiteral("B1") : QStringLiteral("B2");
}

QString duration(int64_t Seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(Seconds / 3600)
        .arg(Seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(Seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

bool AlertIsUrgent(TAlertKind Kind)
{
    return Kind == TAlertKind::PasswordRejected;
}

TAlerts::TAlerts(QObject *Parent) : QObject(Parent) {}

TAlerts::~TAlerts()
{
    endGroups();
}

const TAlertSettings &TAlerts::settings() const
{
    static const TAlertSettings defaults;
    return Settings ? Settings() : defaults;
}

int64_t TAlerts::now() const
{
    return NowMs ? NowMs() : QDateTime::currentMSecsSinceEpoch();
}

bool TAlerts::enabled(TAlertKind Kind) const
{
    const TAlertSettings &s = settings();
    switch (Kind) {
    case TAlertKind::PasswordRejected:
    case TAlertKind::ConnectionLost:
    case TAlertKind::ConnectionRestored:
        return s.Connection;
    case TAlertKind::IncomingCall:
        return s.IncomingCall;
    case TAlertKind::ChannelDropped:
        return s.ChannelDropped;
    case TAlertKind::LongDataCall:
        return s.LongDataCall;
    case TAlertKind::OutcallTime:
        return s.Outcall;
    case TAlertKind::NoStatus:
        return s.NoStatus;
    }
    return false;
}

QString TAlerts::Title(TAlertKind Kind)
{
    switch (Kind) {
    case TAlertKind::PasswordRejected:
        return tr("Password rejected");
    case TAlertKind::ConnectionLost:
        return tr("Router connection lost");
    case TAlertKind::ConnectionRestored:
        return tr("Router connection restored");
    case TAlertKind::IncomingCall:
        return tr("Incoming call");
    case TAlertKind::ChannelDropped:
        // The screen shows a hang-up and a dropped line alike.
        return tr("Call ended");
    case TAlertKind::LongDataCall:
        return tr("Long data call");
    case TAlertKind::OutcallTime:
        return tr("Outgoing call time");
    case TAlertKind::NoStatus:
        return tr("No status");
    }
    return QString();
}

// English and German both say one thing for 1 and another for every other count, so the English
// text is picked by that rule; each is a plural text of its own, so a translation with more forms
// gives all of them for either.
QString TAlerts::Minutes(int64_t N)
{
    const int n = int(std::clamp<int64_t>(N, INT_MIN, INT_MAX));
    return n == 1 ? tr("%n minute", nullptr, n) : tr("%n minutes", nullptr, n);
}

QString TAlerts::Seconds(int64_t N)
{
    const int n = int(std::clamp<int64_t>(N, INT_MIN, INT_MAX));
    return n == 1 ? tr("%n second", nullptr, n) : tr("%n seconds", nullptr, n);
}

QStringList TAlerts::SplitCommand(const QString &Command)
{
    return QProcess::splitCommand(Command);
}

void TAlerts::Raise(TAlertKind Kind, const QString &Text)
{
    // The connection is back, or will not be retried: the loss is over either way.
    if (Kind == TAlertKind::ConnectionRestored || Kind == TAlertKind::PasswordRejected)
        end(TAlertKind::ConnectionLost);
    raise(Kind, Text, 0);
}

void TAlerts::raise(TAlertKind Kind, const QString &Text, int Channel)
{
    if (enabled(Kind))
        emitAlert(Kind, Text, Channel);
}

void TAlerts::end(TAlertKind Kind, int Channel)
{
    // A repeat held back for the minute's end would show a cause that is gone.
    TKindState &k = m_kinds[slot(Kind, Channel)];
    k.Folded = 0;
    k.LastFoldedText.clear();
    emit ended(Kind, Channel);
}

void TAlerts::emitAlert(TAlertKind Kind, const QString &Text, int Channel)
{
    TKindState &k = m_kinds[slot(Kind, Channel)];
    const int64_t t = now();
    // A clock set back counts as the minute being over.
    if (k.EverRaised && t >= k.LastRaisedMs && t - k.LastRaisedMs < kRateLimitMs) {
        ++k.Folded;
        k.LastFoldedText = Text;
        return;
    }
    QString shown = Text;
    if (k.Folded > 0)
        shown += tr(" (%n more in the last minute)", nullptr, k.Folded);
    k.Folded = 0;
    k.LastFoldedText.clear();
    k.EverRaised = true;
    k.LastRaisedMs = t;
    const QString title = Title(Kind);
    emit raised(Kind, title, shown, Channel);
    runCommand(Kind, title + QStringLiteral(": ") + shown);
}

void TAlerts::flushFolded()
{
    const int64_t t = now();
    for (std::size_t i = 0; i < m_kinds.size(); ++i) {
        TKindState &k = m_kinds[i];
        if (k.Folded == 0 || (t >= k.LastRaisedMs && t - k.LastRaisedMs < kRateLimitMs))
            continue;
        // The last one held back is shown, with the count of the others.
        const QString text = k.LastFoldedText;
        k.Folded -= 1;
        k.EverRaised = false;
        emitAlert(TAlertKind(i / 3), text, int(i % 3));
    }
}

void TAlerts::runCommand(TAlertKind Kind, const QString &Text)
{
    const std::string &command = settings().Command;
    if (command.empty())
        return;
    QStringList parts = SplitCommand(QString::fromLocal8Bit(command.data(), qsizetype(command.size())));
    if (parts.isEmpty())
        return;
    const QString program = parts.takeFirst();
    if (StartCommand) {
        const bool started = StartCommand(program, parts, Kind, Text);
        commandEnded(started ? QString() : tr("The alert command %1 did not start").arg(program));
        return;
    }
    startCommand(program, parts, Kind, Text);
}

bool TAlerts::startCommand(const QString &Program, const QStringList &Arguments, TAlertKind Kind, const QString &Text)
{
    if (m_runningCommands >= kMaxRunningCommands) {
        // Every alert that finds the commands busy is told, with its own text, so none passes
        // unheard; the log's limits keep a flood of them short.
        WriteLogLine(tr("The alert command %1 was not run for \"%2\": %3 earlier ones are still running")
                         .arg(Program, Text)
                         .arg(m_runningCommands)
                         .toStdString(),
                     kLogWarning);
        return false;
    }
    auto *process = new QProcess(this);
    process->setProgram(Program);
    process->setArguments(Arguments);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LINEWATCH_ALERT_KIND"), QString::fromLatin1(AlertKindName(Kind)));
    env.insert(QStringLiteral("LINEWATCH_ALERT_TEXT"), Text);
    process->setProcessEnvironment(env);
    process->setStandardInputFile(QProcess::nullDevice());
    // Its output goes where ours does (the terminal, the journal) instead of piling up unread.
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    // A group of its own, so the deadline and the monitor's end reach what the command leaves
    // running too ("sleep 300 &"). setpgid is async-signal-safe, as the child needs here.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
    ++m_runningCommands;
    // Shared with the handlers: the group (the child's id, once started) and whether the deadline
    // stopped it.
    struct TRun
    {
        qint64 Group = 0;
        bool Stopped = false;
    };
    const auto run = std::make_shared<TRun>();
    // A process that never started emits no finished; one that crashed emits both signals and is
    // told in finished.
    connect(process, &QProcess::errorOccurred, this, [this, process, Program, run](QProcess::ProcessError Error) {
        if (Error != QProcess::FailedToStart)
            return;
        --m_runningCommands;
        m_groups.removeOne(run->Group);
        process->deleteLater();
        commandEnded(tr("The alert command %1 did not start: %2").arg(Program, process->errorString()));
    });
    connect(process, &QProcess::finished, this,
            [this, process, Program, run](int ExitCode, QProcess::ExitStatus Status) {
                --m_runningCommands;
                process->deleteLater();
                // Nothing the command started lives on: its group is done with.
                if (run->Group > 1 && ::kill(pid_t(-run->Group), 0) != 0)
                    m_groups.removeOne(run->Group);
                if (run->Stopped)
                    commandEnded(tr("The alert command %1 did not end within %2 seconds and was stopped")
                                     .arg(Program)
                                     .arg(CommandDeadlineMs / 1000.0));
                else if (Status == QProcess::CrashExit)
                    commandEnded(tr("The alert command %1 crashed").arg(Program));
                else if (ExitCode != 0)
                    commandEnded(tr("The alert command %1 ended with exit status %2").arg(Program).arg(ExitCode));
                else
                    commandEnded(QString());
            });
    process->start();
    // The child is its group's leader: the group has the child's id, and that id is not given to
    // another process while anything of the group lives.
    const qint64 group = process->processId();
    if (group <= 1)
        return true;
    run->Group = group;
    m_groups.append(group);
    QTimer::singleShot(CommandDeadlineMs, this, [this, group, run] {
        if (!m_groups.contains(group))
            return;
        run->Stopped = true;
        signalGroup(group, SIGTERM);
        QTimer::singleShot(CommandKillGraceMs, this, [this, group] {
            signalGroup(group, SIGKILL);
            m_groups.removeOne(group);
        });
    });
    return true;
}

void TAlerts::signalGroup(qint64 Group, int Signal)
{
    // Never 0 or 1: kill(0) and kill(-1) would reach our own group or every process we may signal.
    if (Group > 1)
        ::kill(pid_t(-Group), Signal);
}

void TAlerts::endGroups()
{
    // The commands still running are told nothing more: the monitor is going.
    const QList<QProcess *> processes = findChildren<QProcess *>(Qt::FindDirectChildrenOnly);
    for (QProcess *process : processes)
        process->disconnect(this);
    if (m_groups.isEmpty())
        return;
    for (const qint64 group : std::as_const(m_groups))
        signalGroup(group, SIGTERM);
    // The event loop is over when the monitor ends, so this short wait holds up nothing but the
    // exit. The commands are our children: reaping them lets their groups empty.
    const auto anyAlive = [this] {
        return std::any_of(m_groups.cbegin(), m_groups.cend(),
                           [](qint64 group) { return ::kill(pid_t(-group), 0) == 0; });
    };
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        for (QProcess *process : processes) {
            if (process->state() != QProcess::NotRunning)
                process->waitForFinished(10);
        }
        if (!anyAlive() || waited.elapsed() >= kStopGraceMs)
            break;
        QThread::msleep(10);
    }
    for (const qint64 group : std::as_const(m_groups))
        signalGroup(group, SIGKILL);
    for (QProcess *process : processes)
        process->waitForFinished(kStopGraceMs);
    m_groups.clear();
}

void TAlerts::commandEnded(const QString &Failure)
{
    if (Failure == m_lastCommandFailure)
        return;
    m_lastCommandFailure = Failure;
    if (!Failure.isEmpty())
        emit commandFailed(Failure);
}

void TAlerts::NoteIncomingCall(int Channel, const QString &Number)
{
    raise(TAlertKind::IncomingCall, tr("%1 on %2").arg(Number, channelName(Channel)), Channel);
}

void TAlerts::NoteUserDrop(int CommandTag)
{
    const int64_t t = now();
    if (CommandTag == 1 || CommandTag >= 3)
        m_channels[0].UserDropMs = t;
    if (CommandTag == 2 || CommandTag >= 3)
        m_channels[1].UserDropMs = t;
}

void TAlerts::NoteStatusData()
{
    m_lastStatusMs = now();
    if (std::exchange(m_silenceAlerted, false))
        end(TAlertKind::NoStatus);
}

void TAlerts::NoteStatusScreen()
{
    end(TAlertKind::ConnectionLost);
    end(TAlertKind::PasswordRejected);
}

void TAlerts::Check(const TChannelStatus &B1, const TChannelStatus &B2, const TRouterStatus &Router, bool Watching,
                    bool StatusShown)
{
    flushFolded();
    if (StatusShown) {
        checkChannel(1, B1);
        checkChannel(2, B2);
        checkOutcall(Router);
    } else {
        // A record left over from the last connection says nothing about calls.
        for (TChannelWatch &w : m_channels)
            w.InCall = false;
        m_lastOutcallTotal = -1;
    }
    checkSilence(Watching);
}

void TAlerts::checkChannel(int Channel, const TChannelStatus &C)
{
    TChannelWatch &w = m_channels[std::size_t(Channel - 1)];
    const TChannelState state = ChannelState(C);
    if (state == TChannelState::Voice || state == TChannelState::Data) {
        const int64_t up = DurationSeconds(C.UpTime).value_or(0);
        // An up time that went back is the next call.
        if (w.InCall && up < w.LastUpSeconds && w.LongCallAlerted)
            end(TAlertKind::LongDataCall, Channel);
        if (!w.InCall || up < w.LastUpSeconds)
            w.LongCallAlerted = false;
        w.InCall = true;
        w.Data = state == TChannelState::Data;
        w.LastUpSeconds = up;
        const int64_t limit = int64_t(settings().LongDataCallMinutes) * 60;
        if (w.Data && !w.LongCallAlerted && up >= limit && enabled(TAlertKind::LongDataCall)) {
            w.LongCallAlerted = true;
            emitAlert(TAlertKind::LongDataCall,
                      tr("The data call on %1 has been up for %2 (limit %3)")
                          .arg(channelName(Channel), fromBytes(C.UpTime), Minutes(settings().LongDataCallMinutes)),
                      Channel);
        }
        return;
    }
    if (w.InCall && (state == TChannelState::Idle || state == TChannelState::Down)) {
        if (std::exchange(w.LongCallAlerted, false))
            end(TAlertKind::LongDataCall, Channel);
        const int64_t t = now();
        const bool asked = w.UserDropMs >= 0 && t >= w.UserDropMs && t - w.UserDropMs <= kUserDropGraceMs;
        if (!asked)
            raise(TAlertKind::ChannelDropped,
                  (w.Data ? tr("Data call on %1 ended after %2") : tr("Voice call on %1 ended after %2"))
                      .arg(channelName(Channel), duration(w.LastUpSeconds)),
                  Channel);
    }
    w.InCall = false;
}

void TAlerts::checkOutcall(const TRouterStatus &Router)
{
    const std::optional<int64_t> total = DurationSeconds(Router.TotalOutcallTime);
    if (!total)
        return;
    const int64_t day = m_today.at(now()).toJulianDay();
    if (day != m_outcallDay) {
        m_outcallDay = day;
        m_outcallToday = 0;
        if (std::exchange(m_outcallAlerted, false))
            end(TAlertKind::OutcallTime);
    }
    // The first record after connecting, and a total that fell (the router restarted), only set
    // where the counting goes on from.
    if (m_lastOutcallTotal >= 0 && *total >= m_lastOutcallTotal)
        m_outcallToday += *total - m_lastOutcallTotal;
    m_lastOutcallTotal = *total;
    const int64_t limit = int64_t(settings().OutcallMinutes) * 60;
    if (!m_outcallAlerted && m_outcallToday >= limit && enabled(TAlertKind::OutcallTime)) {
        m_outcallAlerted = true;
        emitAlert(TAlertKind::OutcallTime, tr("Outgoing calls today: %1 (limit %2)")
                                               .arg(duration(m_outcallToday), Minutes(settings().OutcallMinutes)));
    }
}

void TAlerts::checkSilence(bool Watching)
{
    const int64_t t = now();
    if (Watching && !m_watching)
        m_lastStatusMs = t;
    m_watching = Watching;
    if (!Watching) {
        if (std::exchange(m_silenceAlerted, false))
            end(TAlertKind::NoStatus);
        return;
    }
    const int64_t limit = int64_t(settings().NoStatusSeconds) * 1000;
    if (!m_silenceAlerted && t - m_lastStatusMs >= limit && enabled(TAlertKind::NoStatus)) {
        m_silenceAlerted = true;
        emitAlert(TAlertKind::NoStatus,
                  tr("No status from the router for %1").arg(Seconds((t - m_lastStatusMs) / 1000)));
    }
}
