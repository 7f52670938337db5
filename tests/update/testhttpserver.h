// SPDX-License-Identifier: MIT
// A scripted HTTP server on 127.0.0.1 for the update check's tests: it records each request
// and answers with pieces of bytes sent one event-loop turn (or a set time) apart, then closes, resets or
// stays silent as the script says.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>

#include <sys/socket.h>

struct TestAnswer
{
    enum class End { Close, Reset, Silent };

    QList<QByteArray> pieces; // sent in this order, each in its own write
    End end = End::Close;
    int gapMs = 2; // between two pieces
};

class TestHttpServer : public QObject
{
public:
    // What to answer to the n-th request (counted from 0).
    using Script = std::function<TestAnswer(int index, const QByteArray &request)>;

    explicit TestHttpServer(Script script = {}) : m_script(std::move(script))
    {
        connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    // Answers every request with the same bytes and closes.
    static Script Always(QByteArray answer)
    {
        return [answer](int, const QByteArray &) { return TestAnswer{{answer}}; };
    }

    quint16 Port() const { return m_server.serverPort(); }
    QString Url(const QString &path = QStringLiteral("/linewatch/linewatchver.txt")) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(Port()).arg(path);
    }

    // Half-closes every connection right after accepting it, before any request arrives.
    void SetCloseAtOnce(bool on) { m_closeAtOnce = on; }

    const QList<QByteArray> &Requests() const { return m_requests; }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            if (m_closeAtOnce) {
                // Sends the FIN at once but keeps reading, so the request never turns it into a reset.
                ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
                connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                continue;
            }
            auto received = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
                const bool complete = received->contains("\r\n\r\n");
                *received += socket->readAll();
                if (!complete && received->contains("\r\n\r\n"))
                    answer(socket, *received);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void answer(QTcpSocket *socket, const QByteArray &request)
    {
        const int index = int(m_requests.size());
        m_requests << request;
        const TestAnswer script = m_script ? m_script(index, request) : TestAnswer{};
        sendPiece(socket, script, 0);
    }

    void sendPiece(QTcpSocket *socket, const TestAnswer &script, int next)
    {
        if (next < script.pieces.size()) {
            socket->write(script.pieces[next]);
            socket->flush();
            // One piece per event-loop turn, so that the client sees them arrive apart.
            QTimer::singleShot(script.gapMs, socket,
                               [this, socket, script, next] { sendPiece(socket, script, next + 1); });
            return;
        }
        switch (script.end) {
        case TestAnswer::End::Close:
            socket->disconnectFromHost();
            break;
        case TestAnswer::End::Reset: {
            const linger reset{1, 0};
            ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            socket->abort();
            socket->deleteLater();
            break;
        }
        case TestAnswer::End::Silent:
            break;
        }
    }

    QTcpServer m_server;
    Script m_script;
    bool m_closeAtOnce = false;
    QList<QByteArray> m_requests;
};

// Splits text into pieces of the given sizes; the rest goes into a last piece.
inline QList<QByteArray> SplitInto(const QByteArray &text, const QList<int> &sizes)
{
    QList<QByteArray> pieces;
    int pos = 0;
    for (int size : sizes) {
        if (pos >= text.size())
            break;
        pieces << text.mid(pos, size);
        pos += size;
    }
    if (pos < text.size())
        pieces << text.mid(pos);
    return pieces;
}
