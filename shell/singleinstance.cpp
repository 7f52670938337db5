// SPDX-License-Identifier: MIT
// One monitor per settings file; see singleinstance.h. A lock file next to the socket makes the
// look for a running monitor and the start of listening one step, so two programs started at
// once cannot both become the monitor. The socket is a plain AF_UNIX stream socket watched by a
// notifier: the few bytes it carries do not justify a network library in the desktop program.
#include "singleinstance.h"

#include "apperror.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <functional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Local clients are the user's own programs, but none may hold the monitor: a few at a time, each
// for a moment, each with a few bytes.
constexpr int kClientLimit = 4;
constexpr int kClientTimeoutMs = 2000;
constexpr qsizetype kRequestLimit = 64;
constexpr int kConnectWaitMs = 1000;
// What a socket's path may hold (sockaddr_un's sun_path, with its terminating zero).
constexpr qsizetype kSocketPathLimit = qsizetype(sizeof(sockaddr_un::sun_path)) - 1;

QString canonicalPath(const QString &File)
{
    const QFileInfo info(File);
    QString path = info.canonicalFilePath();
    if (!path.isEmpty())
        return path;
    // Not written yet: the directory's canonical path and the file's name.
    const QString dir = QFileInfo(info.absolutePath()).canonicalFilePath();
    return dir.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : dir + QLatin1Char('/') + info.fileName();
}

sockaddr_un socketAddress(const QByteArray &Path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, Path.constData(), std::size_t(Path.size()));
    return address;
}

// Waits for Events on Fd until the deadline; false when it passed (or poll failed).
bool waitFor(int Fd, short Events, const QElapsedTimer &Since, int LimitMs)
{
    for (;;) {
        const qint64 left = LimitMs - Since.elapsed();
        if (left <= 0)
            return false;
        pollfd entry{Fd, Events, 0};
        const int ready = ::poll(&entry, 1, int(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// One local client of the running monitor: a request line read within the time-out, the answer
// written, the connection closed. Owned by the listener's object; deletes itself when done.
class TShowClient : public QObject
{
public:
    TShowClient(int Fd, QObject *Parent, std::function<void()> OnShow)
        : QObject(Parent), m_fd(Fd), m_onShow(std::move(OnShow))
    {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readRequest(); });
        QTimer::singleShot(kClientTimeoutMs, this, [this] { finish(); });
    }

    ~TShowClient() override { close(); }

private:
    void readRequest()
    {
        char buffer[kRequestLimit + 1];
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (got <= 0 || m_request.size() + got > kRequestLimit) {
            finish();
            return;
        }
        m_request.append(buffer, got);
        const qsizetype end = m_request.indexOf('\n');
        if (end < 0)
            return;
        if (m_request.left(end + 1) == TSingleInstance::kShowRequest) {
            m_onShow();
            // A few bytes into an empty socket buffer: never a short write.
            ::send(m_fd, TSingleInstance::kShowAnswer, sizeof TSingleInstance::kShowAnswer - 1, MSG_NOSIGNAL);
        }
        finish();
    }

    void finish()
    {
        close();
        deleteLater();
    }

    void close()
    {
        if (m_fd < 0)
            return;
        delete m_notifier;
        m_notifier = nullptr;
        ::close(m_fd);
        m_fd = -1;
    }

    int m_fd;
    std::function<void()> m_onShow;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_request;
};

} // namespace

TSingleInstance::TSingleInstance(QObject *Parent) : QObject(Parent) {}

TSingleInstance::~TSingleInstance()
{
    if (m_listener < 0)
        return;
    delete m_listenerNotifier;
    ::close(m_listener);
    ::unlink(m_path.constData());
}

QString TSingleInstance::ServerPath(const QString &SettingsFile)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        return {};
    const QByteArray hash =
        QCryptographicHash::hash(canonicalPath(SettingsFile).toUtf8(), QCryptographicHash::Sha256).toHex().left(24);
    return dir + QStringLiteral("/linewatch-") + QString::fromLatin1(hash);
}

bool TSingleInstance::claim(const QString &SettingsFile, int AnswerWaitMs)
{
    const QString path = ServerPath(SettingsFile);
    if (path.isEmpty() || path.toLocal8Bit().size() > kSocketPathLimit) {
        WriteLogLine("No runtime directory for the single-instance socket; running unguarded", kLogWarning);
        return true;
    }
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(5000))
        WriteLogLine("The single-instance lock " + lock.fileName().toStdString() + " stays taken; going on",
                     kLogWarning);
    if (askRunning(path, AnswerWaitMs))
        return false;
    if (!listenOn(path))
        WriteLogLine("Cannot listen on " + path.toStdString() + ": " + std::strerror(errno) +
                         "; a second start will not find this monitor",
                     kLogWarning);
    return true;
}

bool TSingleInstance::askRunning(const QString &Path, int AnswerWaitMs)
{
    const QByteArray name = Path.toLocal8Bit();
    const sockaddr_un address = socketAddress(name);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    QElapsedTimer waited;
    waited.start();
    // A local connect completes at once or fails at once; EAGAIN means the monitor's queue is
    // full for the moment.
    int result;
    while ((result = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address)) < 0 &&
           (errno == EAGAIN || errno == EINTR) && waited.elapsed() < kConnectWaitMs)
        ::poll(nullptr, 0, 20);
    if (result < 0) {
        ::close(fd);
        return false;
    }
    ::send(fd, kShowRequest, sizeof kShowRequest - 1, MSG_NOSIGNAL);
    // The answer only says the window came up; without it the monitor still runs.
    QByteArray answer;
    waited.restart();
    while (!answer.contains('\n') && answer.size() < kRequestLimit && waitFor(fd, POLLIN, waited, AnswerWaitMs)) {
        char buffer[kRequestLimit];
        const ssize_t got = ::recv(fd, buffer, std::size_t(kRequestLimit - answer.size()), 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            break;
        answer.append(buffer, got);
    }
    ::close(fd);
    if (answer != kShowAnswer)
        WriteLogLine("The running monitor did not confirm showing its window", kLogNotice);
    return true;
}

bool TSingleInstance::listenOn(const QString &Path)
{
    const QByteArray name = Path.toLocal8Bit();
    const sockaddr_un address = socketAddress(name);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Nobody answered: a monitor that crashed left its socket file behind.
    ::unlink(name.constData());
    // Only the user may ask: the mode is set before listen(), so nobody connects in between.
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0 ||
        ::chmod(name.constData(), S_IRUSR | S_IWUSR) < 0 || ::listen(fd, kClientLimit) < 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(name.constData());
        errno = error;
        return false;
    }
    m_listener = fd;
    m_path = name;
    m_listenerNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_listenerNotifier, &QSocketNotifier::activated, this, [this] { acceptClients(); });
    return true;
}

void TSingleInstance::acceptClients()
{
    for (;;) {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN) {
                // Out of descriptors: the waiting client stays queued, and the notifier would
                // fire at once again; a second start can wait a moment.
                m_listenerNotifier->setEnabled(false);
                QTimer::singleShot(kClientTimeoutMs / 4, this, [this] { m_listenerNotifier->setEnabled(true); });
            }
            return;
        }
        if (m_clients >= kClientLimit) {
            ::close(client);
            continue;
        }
        ++m_clients;
        auto *handler = new TShowClient(client, this, [this] { emit showRequested(); });
        connect(handler, &QObject::destroyed, this, [this] { --m_clients; });
    }
}
