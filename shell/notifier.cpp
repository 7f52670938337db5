// The desktop notifier; see notifier.h.
#include "notifier.h"

#include "alerts.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

// Bodies may carry markup on most services: the alert's text shows as it is.
QString escapedBody(const QString &Text)
{
    QString body = Text;
    body.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    body.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    body.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return body;
}

} // namespace

TNotifier::TNotifier(std::function<QDBusConnection()> Bus, QObject *Parent) : QObject(Parent), m_bus(std::move(Bus))
{
    if (!m_bus)
        m_bus = [] { return QDBusConnection::sessionBus(); };
}

unsigned char TNotifier::Urgency(TAlertKind Kind)
{
    return AlertIsUrgent(Kind) ? 2 : 1;
}

void TNotifier::Notify(TAlertKind Kind, const QString &Title, const QString &Text)
{
    QDBusConnection bus = m_bus();
    if (!bus.isConnected()) {
        fallBack(Kind, Title, Text, QStringLiteral("no session bus"));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kInterface), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("linewatch"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(Urgency(Kind)));
    call << QStringLiteral("linewatch") << m_ids[std::size_t(Kind)] << QStringLiteral("linewatch") << Title
         << escapedBody(Text) << QStringList() << hints << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, Kind, Title, Text](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            // A bubble that can no longer be replaced starts afresh next time.
            m_ids[std::size_t(Kind)] = 0;
            fallBack(Kind, Title, Text, reply.error().name());
            return;
        }
        m_ids[std::size_t(Kind)] = reply.value();
        emit shown(Kind, reply.value());
    });
}

void TNotifier::fallBack(TAlertKind Kind, const QString &Title, const QString &Text, const QString &Error)
{
    if (Fallback)
        Fallback(Title, Text);
    emit fellBack(Kind, Error);
}
