// The desktop notifier: shows each alert as a bubble of the freedesktop notification service on
// the session bus (org.freedesktop.Notifications), one bubble per kind that a repeat updates, and
// falls back to the tray icon's message when no service answers. The calls are asynchronous: the
// window never waits for the bus.
#pragma once

#include "reconnect.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <array>
#include <functional>

class TNotifier : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *kService = "org.freedesktop.Notifications";
    static constexpr const char *kPath = "/org/freedesktop/Notifications";
    static constexpr const char *kInterface = "org.freedesktop.Notifications";
    // How long a call may wait for the service before the tray shows the alert instead.
    static constexpr int kCallTimeoutMs = 5000;

    // Bus: where the service is looked for; unset, the session bus, opened at the first alert.
    explicit TNotifier(std::function<QDBusConnection()> Bus = {}, QObject *Parent = nullptr);

    // Shows the alert when the service cannot: the tray icon's message.
    std::function<void(const QString &Title, const QString &Text)> Fallback;

    void Notify(TAlertKind Kind, const QString &Title, const QString &Text);

    // 2 (critical) for what needs the user now, 1 (normal) for the rest.
    static unsigned char Urgency(TAlertKind Kind);

signals:
    // The service took the notification and gave it this id; or it did not and the fallback ran.
    void shown(TAlertKind Kind, uint Id);
    void fellBack(TAlertKind Kind, const QString &Error);

private:
    void fallBack(TAlertKind Kind, const QString &Title, const QString &Text, const QString &Error);

    std::function<QDBusConnection()> m_bus;
    // The id the service gave each kind's last bubble: its replaces_id, so a repeat updates it.
    std::array<uint, kAlertKindCount> m_ids{};
};
