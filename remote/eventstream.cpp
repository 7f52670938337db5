// SPDX-License-Identifier: MIT
// The Server-Sent Events streams; see eventstream.h. The answer is HTTP/1.0 and ends with the
// close, so the events go out as they are, without chunked encoding.
#include "eventstream.h"

#include "apperror.h"
#include "socketlayer.h"

#include <QRandomGenerator>

#include <algorithm>

#include <sys/socket.h>

TEventStreams::TEventStreams(QObject *Parent) : QObject(Parent)
{
    m_keepAlive.setInterval(kKeepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, [this] { Guarded([this] { keepAlive(); }); });
    m_sinceSent.start();
}

TEventStreams::~TEventStreams() = default;

bool TEventStreams::IsStreamPath(std::string_view Path)
{
    return Path.substr(0, Path.find('?')) == kPath;
}

std::string TEventStreams::Headers()
{
    // no-store: an event stream is never the same twice, and a proxy that buffers it breaks it.
    return "HTTP/1.0 200 OK\r\n"
           "Content-Type: text/event-stream; charset=utf-8\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "Connection: close\r\n\r\n"
           "retry: " +
           std::to_string(kRetryMs) + "\n\n";
}

std::string TEventStreams::Frame(std::string_view Name, std::string_view Data)
{
    std::string event = "event: ";
    event += Name;
    event += '\n';
    // A line break inside the data would end the field: each line gets a field of its own, and
    // the reader joins them with line feeds again.
    while (!Data.empty() && (Data.back() == '\n' || Data.back() == '\r'))
        Data.remove_suffix(1);
    do {
        const std::size_t end = Data.find_first_of("\r\n");
        event += "data: ";
        event += Data.substr(0, end);
        event += '\n';
        if (end == std::string_view::npos)
            break;
        // CR LF is one line break, as the reader takes it.
        Data.remove_prefix(Data.substr(end, 2) == "\r\n" ? end + 2 : end + 1);
    } while (!Data.empty());
    event += '\n';
    return event;
}

void TEventStreams::Attach(TCustomWinSocket *Socket, uint32_t Peer)
{
    Forget(Socket);
    while (Count() >= kMaxStreams)
        evictOldest();
    const bool callerIds = !CallerIdsServedTo || CallerIdsServedTo(Peer);
    const int size = kSendBufferBytes;
    ::setsockopt(Socket->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    m_streams.push_back({Socket, callerIds});
    if (!m_keepAlive.isActive())
        m_keepAlive.start();
    if (CurrentEvent) {
        const std::string event = CurrentEvent(callerIds);
        if (!event.empty() && Socket->Connected())
            Socket->SendString(event);
    }
}

void TEventStreams::Forget(TCustomWinSocket *Socket)
{
    m_forgotten += std::erase_if(m_streams, [Socket](const TStream &s) { return s.Socket == Socket; });
    if (m_streams.empty())
        m_keepAlive.stop();
}

void TEventStreams::ForgetAll()
{
    m_forgotten += m_streams.size();
    m_streams.clear();
    m_keepAlive.stop();
}

bool TEventStreams::Holds(const TCustomWinSocket *Socket) const
{
    return std::any_of(m_streams.begin(), m_streams.end(), [Socket](const TStream &s) { return s.Socket == Socket; });
}

bool TEventStreams::Wants(bool CallerIds) const
{
    return std::any_of(m_streams.begin(), m_streams.end(),
                       [CallerIds](const TStream &s) { return s.CallerIds == CallerIds; });
}

void TEventStreams::Publish(bool CallerIds, const std::string &Event)
{
    sendTo(Event, [CallerIds](const TStream &s) { return s.CallerIds == CallerIds; });
}

void TEventStreams::PublishAll(const std::string &Event)
{
    m_sinceSent.start();
    sendTo(Event, [](const TStream &) { return true; });
}

void TEventStreams::keepAlive()
{
    if (m_sinceSent.elapsed() < m_keepAlive.interval() / 2)
        return;
    m_sinceSent.start();
    // A comment is no event to fall behind by: each stream's backlog is asked of the kernel only
    // when an event goes out, which closes a reader that stopped. Idle, a stream costs one send
    // per interval and nothing else.
    sendTo(
        ": keep-alive\n\n", [](const TStream &) { return true; }, false);
}

template <typename M>
void TEventStreams::sendTo(const std::string &Event, M Match, bool DropBehind)
{
    const std::size_t allowed = std::max(kMinBehindBytes, kMaxEventsBehind * Event.size());
    std::vector<TCustomWinSocket *> behind;
    // A failed send runs the disconnect event, which takes the stream off the list: the loop
    // walks a copy, and once a stream has left looks each one up before it sends.
    const std::vector<TStream> streams = m_streams;
    const uint64_t forgotten = m_forgotten;
    for (const TStream &stream : streams) {
        if (!Match(stream) || (m_forgotten != forgotten && !Holds(stream.Socket)))
            continue;
        if (DropBehind && stream.Socket->OutputBacklog() > allowed) {
            behind.push_back(stream.Socket);
            continue;
        }
        // A peer's failure is the peer's: it goes to the log, the other streams still get theirs.
        Guarded([&] { stream.Socket->SendString(Event); });
    }
    for (TCustomWinSocket *socket : behind) {
        ++m_dropped;
        close(socket);
    }
}

void TEventStreams::SetKeepAliveInterval(int Milliseconds)
{
    m_keepAlive.setInterval(Milliseconds);
}

void TEventStreams::evictOldest()
{
    ++m_evicted;
    TCustomWinSocket *socket = m_streams.front().Socket;
    // Between two events: the field applies at once. Only to a reader that has taken everything
    // so far, and without the lingering drain: a reader that stopped would otherwise hold the
    // closed connection for the whole lingering time-out for these few bytes.
    if (socket->OutputBacklog() == 0) {
        const int retryMs =
            kEvictedRetryMs + static_cast<int>(QRandomGenerator::global()->bounded(kEvictedRetryJitterMs));
        Guarded([&] { socket->SendString("retry: " + std::to_string(retryMs) + "\n\n"); });
        Forget(socket);
        Guarded([&] { socket->CloseWithoutDrain(); });
        return;
    }
    close(socket);
}

void TEventStreams::close(TCustomWinSocket *Socket)
{
    Forget(Socket);
    Guarded([&] { Socket->CloseConnection(); });
}
