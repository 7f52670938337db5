// One monitor per settings file; see singleinstance.h. A lock file next to the socket makes the
// look for a running monitor and the start of listening one step, so two programs started at
// once cannot both become the monitor.
#include "singleinstance.h"

#include "apperror.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

namespace {

// Local clients are the user's own programs, but none may hold the monitor: a few at a time, each
// for a moment, each with a few bytes.
constexpr int kClientLimit = 4;
constexpr int kClientTimeoutMs = 2000;
constexpr qint64 kRequestLimit = 64;
// What a socket's path may hold (sockaddr_un's sun_path, with its terminating zero).
constexpr qsizetype kSocketPathLimit = 107;

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

} // namespace

TSingleInstance::TSingleInstance(QObject *Parent) : QObject(Parent) {}

TSingleInstance::~TSingleInstance()
{
    if (m_server)
        m_server->close(); // removes the socket file
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
    // Nobody answers: a monitor that crashed left its socket file behind.
    QLocalServer::removeServer(path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(kClientLimit);
    if (!m_server->listen(path)) {
        WriteLogLine("Cannot listen on " + path.toStdString() + ": " + m_server->errorString().toStdString() +
                         "; a second start will not find this monitor",
                     kLogWarning);
        delete m_server;
        m_server = nullptr;
        return true;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *client = m_server->nextPendingConnection())
            serve(client);
    });
    return true;
}

bool TSingleInstance::askRunning(const QString &Path, int AnswerWaitMs)
{
    QLocalSocket socket;
    socket.connectToServer(Path);
    if (!socket.waitForConnected(1000))
        return false;
    socket.write(kShowRequest);
    socket.waitForBytesWritten(AnswerWaitMs);
    // The answer only says the window came up; without it the monitor still runs.
    QByteArray answer;
    QElapsedTimer waited;
    waited.start();
    while (!answer.contains('\n') && waited.elapsed() < AnswerWaitMs &&
           socket.waitForReadyRead(int(AnswerWaitMs - waited.elapsed())))
        answer += socket.read(kRequestLimit);
    if (answer != kShowAnswer)
        WriteLogLine("The running monitor did not confirm showing its window", kLogNotice);
    return true;
}

void TSingleInstance::serve(QLocalSocket *Client)
{
    if (m_clients >= kClientLimit) {
        Client->abort();
        Client->deleteLater();
        return;
    }
    ++m_clients;
    connect(Client, &QObject::destroyed, this, [this] { --m_clients; });
    connect(Client, &QLocalSocket::disconnected, Client, &QObject::deleteLater);
    QTimer::singleShot(kClientTimeoutMs, Client, [Client] {
        Client->abort();
        Client->deleteLater();
    });
    connect(Client, &QLocalSocket::readyRead, this, [this, Client] {
        if (Client->bytesAvailable() > kRequestLimit) {
            Client->abort();
            return;
        }
        if (!Client->canReadLine())
            return;
        if (Client->readLine(kRequestLimit) == kShowRequest) {
            emit showRequested();
            Client->write(kShowAnswer);
        }
        Client->disconnectFromServer();
    });
}
