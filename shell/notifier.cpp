// SPDX-License-Identifier: MIT
// The desktop notifier; see notifier.h.
#include "notifier.h"

#include "alerts.h"
#include "apperror.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSocketNotifier>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

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

// One unix socket of a D-Bus address list, and the address entry that names it.
struct TBusSocket
{
    QString Entry;
    QByteArray Path;
    bool Abstract = false;
};

// The first entry of a D-Bus address list ("unix:path=/run/user/1000/bus;tcp:...") that is a unix
// socket named by path, abstract name or runtime=yes. Values are %-escaped. Other transports (tcp,
// autolaunch, unixexec) cannot be probed without waiting and are passed over.
std::optional<TBusSocket> probeableSocket(const QString &Addresses)
{
    for (const QString &entry : Addresses.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!entry.startsWith(QLatin1String("unix:")))
            continue;
        TBusSocket socket;
        socket.Entry = entry;
        for (const QString &pair : entry.mid(5).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const qsizetype equals = pair.indexOf(QLatin1Char('='));
            if (equals < 0)
                continue;
            const QString key = pair.left(equals);
            const QByteArray value = QByteArray::fromPercentEncoding(pair.mid(equals + 1).toUtf8());
            if (key == QLatin1String("path") || key == QLatin1String("abstract")) {
                socket.Path = value;
                socket.Abstract = key == QLatin1String("abstract");
            } else if (key == QLatin1String("runtime") && value == "yes" &&
                       qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")) {
                socket.Path = qgetenv("XDG_RUNTIME_DIR") + "/bus";
            }
        }
        if (!socket.Path.isEmpty() && std::size_t(socket.Path.size()) < sizeof(sockaddr_un::sun_path))
            return socket;
    }
    return std::nullopt;
}

// Where the session bus is: DBUS_SESSION_BUS_ADDRESS, else the per-user bus that systemd and
// dbus-broker put in the runtime directory (libdbus's own default).
QString sessionBusAddress()
{
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty() || !qEnvironmentVariableIsSet("XDG_RUNTIME_DIR"))
        return address;
    return QStringLiteral("unix:path=") + qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus");
}

} // namespace

// One look at a bus that Qt D-Bus would otherwise wait for on the calling thread: a non-blocking
// connect and the first step of the D-Bus authentication (a NUL byte, then "AUTH EXTERNAL" with
// our uid in hex digits), done once a line comes back. A bus that takes us says "OK <guid>".
class TBusProbe : public QObject
{
public:
    // Done gets an empty text when the bus said OK, else what went wrong; it runs once, from the
    // event loop, and the probe is finished then.
    TBusProbe(const TBusSocket &Socket, std::function<void(const QString &Error)> Done, QObject *Parent)
        : QObject(Parent), m_done(std::move(Done))
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this,
                [this] { finish(QStringLiteral("no answer within %1 ms").arg(TNotifier::kProbeTimeoutMs)); });
        m_timer.start(TNotifier::kProbeTimeoutMs);
        const QString error = open(Socket);
        if (!error.isEmpty())
            QTimer::singleShot(0, this, [this, error] { finish(error); });
    }
    ~TBusProbe() override { close(); }

private:
    // A reply line longer than this is not the bus.
    static constexpr qsizetype kMaxReply = 512;

    QString open(const TBusSocket &Socket)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        // An abstract name starts with a NUL byte and is not NUL-terminated.
        const std::size_t offset = Socket.Abstract ? 1 : 0;
        std::memcpy(address.sun_path + offset, Socket.Path.constData(), std::size_t(Socket.Path.size()));
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + std::size_t(Socket.Path.size()) +
                                      (Socket.Abstract ? 0 : 1));
        // A unix socket connects at once or not at all; a full backlog (EAGAIN) is a bus that
        // does not keep up, tried again later.
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), length) != 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        const QByteArray request =
            QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(uint(::getuid())).toHex() + "\r\n";
        if (::send(m_fd, request.constData(), std::size_t(request.size()), MSG_NOSIGNAL) != request.size())
            return QString::fromLocal8Bit(std::strerror(errno));
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readReply(); });
        return {};
    }

    void readReply()
    {
        char buffer[256];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (got <= 0) {
            finish(got == 0 ? QStringLiteral("closed by the bus") : QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_reply.append(buffer, got);
        const qsizetype end = m_reply.indexOf("\r\n");
        if (end < 0) {
            if (m_reply.size() > kMaxReply)
                finish(QStringLiteral("not a D-Bus answer"));
            return;
        }
        const QByteArray line = m_reply.left(end);
        finish(line.startsWith("OK ") ? QString() : QStringLiteral("refused: ") + QString::fromLatin1(line.left(80)));
    }

    void finish(const QString &Error)
    {
        if (!m_done)
            return;
        m_timer.stop();
        close();
        std::exchange(m_done, {})(Error);
    }

    void close()
    {
        delete m_notifier;
        m_notifier = nullptr;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    std::function<void(const QString &Error)> m_done;
    QTimer m_timer;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_reply;
};

TNotifier::TNotifier(const QString &Address, QObject *Parent) : QObject(Parent), m_address(Address) {}

unsigned char TNotifier::Urgency(TAlertKind Kind)
{
    return AlertIsUrgent(Kind) ? 2 : 1;
}

std::size_t TNotifier::bubbleOf(TAlertKind Kind, int Channel)
{
    if (Kind == TAlertKind::PasswordRejected || Kind == TAlertKind::ConnectionLost ||
        Kind == TAlertKind::ConnectionRestored)
        return std::size_t(TAlertKind::ConnectionLost) * 3;
    return std::size_t(Kind) * 3 + std::size_t(std::clamp(Channel, 0, 2));
}

void TNotifier::Notify(TAlertKind Kind, const QString &Title, const QString &Text, int Channel)
{
    const std::size_t bubble = bubbleOf(Kind, Channel);
    if (m_state == TBusState::Good) {
        if (QDBusConnection(m_connectionName).isConnected()) {
            send(Kind, Title, Text, bubble);
            return;
        }
        // The bus went away (a restarted session bus): look again before Qt connects anew.
        QDBusConnection::disconnectFromBus(m_connectionName);
        m_state = TBusState::Unknown;
    }
    if (m_state == TBusState::Failed && m_failedAt.isValid() && m_failedAt.elapsed() < kProbeRetryMs) {
        fallBack(Kind, Title, Text, m_failure);
        return;
    }
    m_pending[bubble] = {true, Kind, Title, Text};
    if (m_state != TBusState::Probing)
        startProbe();
}

void TNotifier::Close(TAlertKind Kind, int Channel)
{
    const std::size_t index = bubbleOf(Kind, Channel);
    // Another kind has taken the place meanwhile ("back" after "lost"): it stays.
    if (m_pending[index].Waiting && m_pending[index].Kind == Kind)
        m_pending[index] = {};
    TBubble &bubble = m_bubbles[index];
    if (bubble.Kind != Kind)
        return;
    if (bubble.Id == 0) {
        bubble.CloseWhenShown = true;
        return;
    }
    closeBubble(std::exchange(bubble.Id, 0));
}

void TNotifier::closeBubble(uint Id)
{
    if (m_state != TBusState::Good)
        return;
    // Nothing waits for the answer: a bubble the user closed already is no error worth telling.
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kInterface), QStringLiteral("CloseNotification"));
    call << Id;
    QDBusConnection(m_connectionName).asyncCall(call, kCallTimeoutMs);
}

void TNotifier::startProbe()
{
    const std::optional<TBusSocket> socket = probeableSocket(m_address.isEmpty() ? sessionBusAddress() : m_address);
    m_busAddress = socket ? socket->Entry : QString();
    if (!socket) {
        m_state = TBusState::Probing;
        QTimer::singleShot(0, this, [this] { probeEnded(QStringLiteral("no session bus")); });
        return;
    }
    m_state = TBusState::Probing;
    m_connectionName = QStringLiteral("linewatch-notifier ") + socket->Entry;
    m_probe = new TBusProbe(
        *socket, [this](const QString &Error) { probeEnded(Error); }, this);
}

void TNotifier::probeEnded(const QString &Error)
{
    if (m_probe)
        m_probe->deleteLater();
    m_probe = nullptr;
    QString failure = Error;
    if (failure.isEmpty()) {
        // The bus answers: Qt D-Bus's own connect and Hello now take moments.
        const QDBusConnection bus = QDBusConnection::connectToBus(m_busAddress, m_connectionName);
        if (!bus.isConnected()) {
            failure = bus.lastError().message();
            QDBusConnection::disconnectFromBus(m_connectionName);
        }
    }
    if (failure.isEmpty()) {
        if (m_state == TBusState::Probing && !m_failure.isEmpty())
            WriteLogLine("desktop notifications work again", kLogInfo);
        m_state = TBusState::Good;
        m_failure.clear();
    } else {
        if (failure != m_failure)
            WriteLogLine("desktop notifications: " +
                             (m_busAddress.isEmpty() ? std::string()
                                                     : "the session bus at " + m_busAddress.toStdString() + ": ") +
                             failure.toStdString() + "; alerts show in the tray instead",
                         kLogNotice);
        m_state = TBusState::Failed;
        m_failure = failure;
        m_failedAt.start();
    }
    for (std::size_t bubble = 0; bubble < kBubbles; ++bubble) {
        TPending pending = std::exchange(m_pending[bubble], {});
        if (!pending.Waiting)
            continue;
        if (m_state == TBusState::Good)
            send(pending.Kind, pending.Title, pending.Text, bubble);
        else
            fallBack(pending.Kind, pending.Title, pending.Text, m_failure);
    }
}

void TNotifier::send(TAlertKind Kind, const QString &Title, const QString &Text, std::size_t Bubble)
{
    TBubble &bubble = m_bubbles[Bubble];
    bubble.Kind = Kind;
    bubble.CloseWhenShown = false;
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kInterface), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("linewatch"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(Urgency(Kind)));
    call << QStringLiteral("linewatch") << bubble.Id << QStringLiteral("linewatch") << Title << escapedBody(Text)
         << QStringList() << hints << int(-1);
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection(m_connectionName).asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, Kind, Title, Text, Bubble](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                TBubble &bubble = m_bubbles[Bubble];
                const QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    // A bubble that can no longer be replaced starts afresh next time.
                    bubble.Id = 0;
                    fallBack(Kind, Title, Text, reply.error().name());
                    return;
                }
                bubble.Id = reply.value();
                emit shown(Kind, reply.value());
                if (bubble.Kind == Kind && std::exchange(bubble.CloseWhenShown, false))
                    closeBubble(std::exchange(bubble.Id, 0));
            });
}

void TNotifier::fallBack(TAlertKind Kind, const QString &Title, const QString &Text, const QString &Error)
{
    if (Fallback)
        Fallback(Title, Text);
    emit fellBack(Kind, Error);
}
