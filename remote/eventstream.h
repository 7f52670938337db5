// SPDX-License-Identifier: MIT
// The web server's Server-Sent Events streams (/events): connections that stay open after their
// answer's headers and receive one event whenever the monitor publishes one. The event's bytes are
// made once and shared by every stream; a stream costs nothing while nothing is published, apart
// from a comment every kKeepAliveMs that keeps proxies and browsers from calling it dead.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TCustomWinSocket;

class TEventStreams : public QObject
{
public:
    static constexpr std::string_view kPath = "/events";
    // Streams open at once at most; a newcomer beyond it closes the oldest. That one is told to
    // wait kEvictedRetryMs and up to kEvictedRetryJitterMs more before it reconnects (EventSource
    // takes "retry:" at any point of the stream): coming back after kRetryMs, it would close the
    // next oldest in turn, and more browsers than the bound would keep each other cycling.
    static constexpr int kMaxStreams = 64;
    static constexpr int kEvictedRetryMs = 30 * 1000;
    static constexpr int kEvictedRetryJitterMs = 30 * 1000;
    // A stream whose peer has not taken this many events (or kMinBehindBytes, whichever is more)
    // is closed rather than queued further: its browser reconnects and starts from the newest.
    static constexpr int kMaxEventsBehind = 4;
    static constexpr std::size_t kMinBehindBytes = 32 * 1024;
    // The kernel's send buffer of a stream, so that "behind" is counted here and not hidden in
    // megabytes of socket memory.
    static constexpr int kSendBufferBytes = 32 * 1024;
    static constexpr int kKeepAliveMs = 15 * 1000;
    // The browser's wait before it reconnects a lost stream ("retry:").
    static constexpr int kRetryMs = 3000;

    explicit TEventStreams(QObject *Parent = nullptr);
    ~TEventStreams() override;

    // Whether a peer (IPv4 in host order) gets the caller IDs; unset: every peer does.
    std::function<bool(uint32_t Peer)> CallerIdsServedTo;
    // The current event for a new stream of either kind, framed (see Frame); "" for none yet.
    std::function<std::string(bool CallerIds)> CurrentEvent;

    // Whether Path (a query ignored) is the streams' path.
    static bool IsStreamPath(std::string_view Path);
    // The answer's status line and headers, then the retry field; the events follow.
    static std::string Headers();
    // One event: "event:" Name and each line of Data as a "data:" line, ended by an empty line.
    static std::string Frame(std::string_view Name, std::string_view Data);

    // Socket, whose request for the path was answered with Headers, becomes a stream and gets
    // the current event at once.
    void Attach(TCustomWinSocket *Socket, uint32_t Peer);
    // Socket is no longer a stream (its disconnect event); nothing happens for other sockets.
    void Forget(TCustomWinSocket *Socket);
    // The listener closed every connection without events.
    void ForgetAll();
    bool Holds(const TCustomWinSocket *Socket) const;

    int Count() const { return static_cast<int>(m_streams.size()); }
    // Whether a stream of this kind is open, so the monitor builds only events someone gets.
    bool Wants(bool CallerIds) const;
    // Event to every stream of its kind, or to every stream.
    void Publish(bool CallerIds, const std::string &Event);
    void PublishAll(const std::string &Event);

    // Streams closed for falling behind, and for the bound, so far.
    int64_t Dropped() const { return m_dropped; }
    int64_t Evicted() const { return m_evicted; }
    // For tests: the keep-alive interval from now on.
    void SetKeepAliveInterval(int Milliseconds);

private:
    struct TStream
    {
        TCustomWinSocket *Socket;
        bool CallerIds;
    };
    // Sends to the streams Match picks; with DropBehind the ones behind are closed after the loop
    // instead.
    template <typename M>
    void sendTo(const std::string &Event, M Match, bool DropBehind = true);
    void keepAlive();
    void evictOldest();
    void close(TCustomWinSocket *Socket);

    std::vector<TStream> m_streams; // oldest first
    // Streams taken off the list so far: a send loop looks a stream up again only after one left.
    uint64_t m_forgotten = 0;
    int64_t m_dropped = 0;
    int64_t m_evicted = 0;
    QTimer m_keepAlive;
    // Since anything was sent to all streams: a keep-alive is due only after a quiet interval.
    QElapsedTimer m_sinceSent;
};
