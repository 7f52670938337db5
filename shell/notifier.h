// SPDX-License-Identifier: MIT
// The desktop notifier: shows each alert as a bubble of the freedesktop notification service on
// the session bus (org.freedesktop.Notifications), one bubble per kind and channel that a repeat
// updates and that goes when its cause is over, and falls back to the tray icon's message when no
// service answers. Nothing here waits for the bus:
// Qt D-Bus connects synchronously, so the bus is first probed with a socket of our own.
#pragma once

#include "reconnect.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <cstddef>
#include <functional>

class TBusProbe;

class TNotifier : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *kService = "org.freedesktop.Notifications";
    static constexpr const char *kPath = "/org/freedesktop/Notifications";
    static constexpr const char *kInterface = "org.freedesktop.Notifications";
    // How long a call may wait for the service before the tray shows the alert instead.
    static constexpr int kCallTimeoutMs = 5000;
    // How long the bus may take to answer the probe's authentication; alerts raised meanwhile
    // wait for the answer.
    static constexpr int kProbeTimeoutMs = 3000;
    // A bus that failed is probed again at the first alert after this long; until then alerts go
    // straight to the tray.
    static constexpr int kProbeRetryMs = 60 * 1000;

    // Address: a D-Bus address ("unix:path=..."); empty, the session bus's
    // (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). Nothing is opened before the first
    // alert.
    explicit TNotifier(const QString &Address = {}, QObject *Parent = nullptr);

    // Shows the alert when the service cannot: the tray icon's message.
    std::function<void(const QString &Title, const QString &Text)> Fallback;

    // Channel: 1 or 2 for a channel's alert, 0 for the others (TAlerts::raised).
    void Notify(TAlertKind Kind, const QString &Title, const QString &Text, int Channel = 0);
    // The cause of Kind's alert on Channel is over (TAlerts::ended): its bubble, if it still
    // shows that kind, is closed.
    void Close(TAlertKind Kind, int Channel = 0);

    // 2 (critical) for what needs the user now, 1 (normal) for the rest.
    static unsigned char Urgency(TAlertKind Kind);

signals:
    // The service took the notification and gave it this id; or it did not and the fallback ran.
    void shown(TAlertKind Kind, uint Id);
    void fellBack(TAlertKind Kind, const QString &Error);

private:
    enum class TBusState { Unknown, Probing, Good, Failed };

    struct TPending
    {
        bool Waiting = false;
        TAlertKind Kind = TAlertKind::PasswordRejected;
        QString Title;
        QString Text;
    };
    // One bubble's place: the connection's kinds share one (channel 0), so "back" replaces "lost";
    // every other kind has one per channel.
    struct TBubble
    {
        // The service's id for it, 0 while there is none; its replaces_id.
        uint Id = 0;
        TAlertKind Kind = TAlertKind::PasswordRejected;
        // Its cause ended while the service had not yet answered with its id.
        bool CloseWhenShown = false;
    };
    static constexpr std::size_t kBubbles = std::size_t(kAlertKindCount) * 3;
    static std::size_t bubbleOf(TAlertKind Kind, int Channel);

    void send(TAlertKind Kind, const QString &Title, const QString &Text, std::size_t Bubble);
    void closeBubble(uint Id);
    void startProbe();
    void probeEnded(const QString &Error);
    void fallBack(TAlertKind Kind, const QString &Title, const QString &Text, const QString &Error);

    QString m_address;
    // The probed entry of the address list, and Qt D-Bus's name for our connection to it.
    QString m_busAddress;
    QString m_connectionName;
    TBusState m_state = TBusState::Unknown;
    QString m_failure;
    QElapsedTimer m_failedAt;
    TBusProbe *m_probe = nullptr;
    // The latest alert of each bubble raised while the probe runs.
    std::array<TPending, kBubbles> m_pending{};
    std::array<TBubble, kBubbles> m_bubbles{};
};
