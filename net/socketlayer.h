// SPDX-License-Identifier: MIT
// Event-driven, non-blocking IPv4 TCP sockets for the console client and the relay and web
// listeners. Readiness reaches the Qt event loop through one epoll set per thread (readiness.h); the
// components call the std::function handlers their owner assigns, one at a time on the GUI thread, never blocking.
#pragma once

#include "apperror.h"
#include "readiness.h"

#include <QBasicTimer>
#include <QObject>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class QTimer;

// The error the layer raises; what() is the message shown in the error report, in the words the
// original design fixes ("Windows socket error: %s (%d), on API '%s'", "Asynchronous socket error
// %d"); Description() says the same in Linux words with the address, the port and what for.
// Raised by an endpoint, it carries the endpoint's origin (the router connection's errors are the
// router's, an accepted connection's the peer's).
class ESocketError : public EOriginError
{
public:
    using EOriginError::EOriginError;
};

// Which kind of operation failed, handed to an error handler. The order is fixed.
enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept };

class TCustomWinSocket;
struct sockaddr_in;
class TClientWinSocket;
class TServerWinSocket;
class TServerClientWinSocket;
class TClientSocket;
class TServerSocket;
class TTlsServerContext;
class TTlsSession;

// Sender is the component that raised the event; Socket the endpoint concerned. An exception
// thrown by a handler is caught by the layer where it called the handler and goes to ReportError.
using TSocketNotifyEvent = std::function<void(QObject *Sender, TCustomWinSocket *Socket)>;
// ErrorCode is errno; a handler that sets it to 0 stops the layer's own error report.
using TSocketErrorEvent =
    std::function<void(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode)>;

// SendString keeps whatever the kernel does not take at once and sends it, in order, as the
// socket becomes writable. A connection holds at most this many unsent bytes; a SendString that
// would go beyond it fails like a send that failed with ENOBUFS (error handler, disconnect event,
// "Windows socket error" on API 'send'). The bound keeps a peer that stops reading from growing
// the queue without end.
inline constexpr std::size_t kSendQueueLimit = 16 * 1024 * 1024;

// A connection closed by our side while bytes are still unsent (or unread input would turn the
// close into a reset) leaves its descriptor in a lingering set: the rest is sent, the sending
// side shut down, and input discarded until the peer closes. The disconnect event and the "not
// connected" state still come at once. A lingering descriptor is closed after this long at most.
inline constexpr int kLingerTimeoutMs = 30 * 1000;

// While a listener cannot accept for lack of descriptors (EMFILE, ENFILE, ENOBUFS, ENOMEM) it
// stops watching for connections and tries again after this long, so it neither spins nor dies.
// The first failure of such a spell goes to the error report ("Windows socket error" on API
// 'accept'); the retries are silent until a connection is accepted again.
inline constexpr int kAcceptRetryMs = 250;

// The most ReceivePending takes in one call: a few full TCP windows of a console or a request,
// small enough that a peer sending at full speed never makes us hold its whole backlog.
inline constexpr std::size_t kReceiveLimit = 64 * 1024;

// A TLS listener (TServerSocket::SetTls) lets at most this many handshakes run at once; a
// newcomer beyond it closes the oldest unfinished one, so peers that stall half-way through a
// handshake cannot keep a real client out for a whole time-out. Honest bursts stay well below
// it: at 64, a hundred clients handshaking at once lost about one connection in a hundred, since
// the server counts a handshake as unfinished until it has read the client's last message.
// A handshake holds some tens of kilobytes, so the bound is a few megabytes.
inline constexpr int kMaxTlsHandshakes = 256;
// A TLS handshake not finished this long after the accept is closed (the web server's own idle
// time-out may close it sooner: it counts a connection as idle until decrypted bytes arrive).
inline constexpr int kTlsHandshakeTimeoutMs = 10 * 1000;

// One end of a TCP connection, or a listening socket. Endpoints are created and owned by the
// components; handlers receive them as the Socket argument.
class TCustomWinSocket : public QObject, private TReadinessClient
{
public:
    ~TCustomWinSocket() override;

    // One non-blocking send of all of Text. Returns the bytes the kernel accepted now (the rest is
    // queued and sent later), -1 when it accepted nothing now (all of it queued), and 0 with
    // nothing sent when the connection is not connected. A failed send: error handler (eeSend),
    // disconnect event, then ESocketError when the handler left ErrorCode non-zero.
    // On a TLS connection Text is encrypted first (held until the handshake is done) and the
    // result is Text's size when all the ciphertext went to the kernel, -1 otherwise.
    int SendString(const std::string &Text);

    // The bytes readable now, in arrival order, in one receive of at most kReceiveLimit bytes;
    // empty when nothing is pending or the connection is not connected. What is left stays in the
    // kernel and raises the next read event, so a fast peer costs one bounded piece at a time.
    // A failed receive is handled like a failed send (eeReceive, API 'recv'). A read handler that
    // does not call it hears of no further data (nor of the peer's close) until something does.
    // On a TLS connection: the decrypted bytes of the last read, without touching the kernel.
    std::string ReceivePending();

    // Closes a connected connection: its disconnect event runs inside this call, then the
    // descriptor is closed (after a lingering drain, see kLingerTimeoutMs; a TLS connection sends
    // close_notify first). Does nothing when the connection is not open or is already closing.
    void CloseConnection();
    // Closes at once, without the lingering drain: the kernel still sends what it holds and the
    // close, but nothing here waits for the peer to take it (a last few bytes a peer may miss).
    void CloseWithoutDrain();

    // True from the connect (or accept) until the descriptor is closed, including while the
    // disconnect event runs.
    bool Connected() const { return FConnected; }

    // The descriptor, or -1 when there is none.
    int SocketHandle() const { return FHandle; }

    // Bytes handed to SendString that the peer has not yet acknowledged: those still queued here
    // and those the kernel holds (encrypted bytes on a TLS connection). 0 when the connection is
    // not connected.
    std::size_t OutputBacklog() const;

    // The local port the descriptor is bound to (a listener opened on port 0 learns its port
    // here), or 0 when there is no descriptor.
    int LocalPort() const;
    // The local address in dotted form, or empty when there is no descriptor.
    std::string LocalAddress() const;

protected:
    explicit TCustomWinSocket(QObject *Parent);

    // Hand one readiness report to the owner's handlers. The defaults deliver nothing.
    virtual void DoConnect() {}
    virtual void DoRead() {}
    virtual void DoDisconnect() {}
    virtual void DoError(TErrorEvent ErrorEvent, int &ErrorCode);
    virtual void DoAccept() {}

    // Takes ownership of Handle (non-blocking) and watches it. Connecting: wait for the connect
    // to complete. Listening: watch for incoming connections. Connected: connected now.
    enum class TWatch { Connecting, Connected, Listening };
    void AttachHandle(int Handle, TWatch Watch);
    // Stops watching and closes the descriptor without any event. Drain: unsent bytes go to the
    // lingering set first; otherwise they are dropped.
    void ReleaseHandle(bool Drain);
    // Closing a connection: the disconnect event (DoDisconnect) first, then the descriptor is
    // closed. Force runs the event for a socket that never connected.
    void CloseWithEvent(bool Drain, bool Force = false);
    // A failed send or receive: error handler, close with the event, then ESocketError unless the
    // handler cleared the code.
    void FailTransfer(TErrorEvent ErrorEvent, int Code, const char *Api);
    // A report that carries an error: error handler, then "Asynchronous socket error" unless the
    // handler cleared the code.
    void ReportAsyncError(TErrorEvent ErrorEvent, int Code);
    // Whose doing this endpoint's errors are; its events run with this as the current origin.
    virtual TErrorOrigin ErrorOrigin() const { return TErrorOrigin::User; }
    // Which connection this endpoint is, for the log lines of its events' reports.
    virtual TErrorConnection ErrorConnection() const { return {ErrorOrigin(), {}, {}}; }
    // What failed in our words, with the address and port and what the endpoint is for: Api is
    // the failing call ("connect", "send", "recv", "bind", "listen", "accept"), empty for an
    // error the kernel reported on an open connection.
    virtual TErrorDescription Describe(std::string_view Api, int Code) const;
    // Runs one handler call, reporting what it throws; false when this endpoint died inside it.
    template <typename F>
    bool CallHandler(F &&Call);
    void SetReadWatch(bool On);

    bool FClosing = false;
    int FLingerTimeoutMs = kLingerTimeoutMs;

private:
    void ReadinessReport(bool Readable, bool Writable) override;
    void HandleReadable();
    void HandleWritable();
    bool FlushQueue(int &Error);
    int SendRaw(const std::string &Bytes);
    // TLS: one receive into the session, then the read event once decrypted bytes are there.
    void HandleTlsReadable();
    // TLS: sends what the session has to send; false when the connection failed meanwhile.
    bool SendTlsOutput();
    // TLS: a protocol error or a peer that is not speaking TLS at all (no alert, no answer).
    void FailTls();
    void StartTls(std::shared_ptr<TTlsServerContext> Context, int TimeoutMs);
    void EndHandshake();
    void timerEvent(QTimerEvent *Event) override;
    bool TlsHandshaking() const;
    void UpdateWriteWatch();
    void WatchWritable(bool On);
    std::size_t QueuedBytes() const { return FOutput.size() - FOutputSent; }

    int FHandle = -1;
    bool FConnected = false;
    TWatch FWatch = TWatch::Connected;
    TReadinessWatch FReadiness;
    // Reports of this endpoint (readiness, or a new connection's accept events) running now, more
    // than one when a handler turns a nested event loop. A closed connection that its listener
    // lets go of while one runs is deleted when the last one ends, never under a running handler.
    int FReports = 0;
    bool FDeleteWhenIdle = false;
    void BeginReport() { ++FReports; }
    void EndReport();
    std::string FOutput;
    std::size_t FOutputSent = 0;
    // Set by ReceivePending; a read event whose handler leaves data unread stops watching until
    // the next ReceivePending, so unread data never makes the read notifier fire without end.
    bool FReadTaken = false;
    // The TLS session of an accepted connection on a TLS listener; null on the plain path.
    std::unique_ptr<TTlsSession> FTls;
    // Decrypted bytes that ReceivePending has not yet handed out.
    std::string FPlain;
    // Bounds the TLS handshake; a timer of the object's own, so a handshake costs no timer object
    // made and deleted later (a posted event and a wake-up per connection).
    QBasicTimer FHandshakeTimer;

    friend class TClientSocket;
    friend class TServerSocket;
    friend class TServerWinSocket;
};

// The client component's single connection, reused for every attempt.
class TClientWinSocket : public TCustomWinSocket
{
public:
    explicit TClientWinSocket(TClientSocket *Owner);

protected:
    void DoConnect() override;
    void DoRead() override;
    void DoDisconnect() override;
    void DoError(TErrorEvent ErrorEvent, int &ErrorCode) override;
    TErrorOrigin ErrorOrigin() const override { return TErrorOrigin::Router; }
    TErrorConnection ErrorConnection() const override;
    TErrorDescription Describe(std::string_view Api, int Code) const override;

private:
    TClientSocket *FOwner;
    friend class TClientSocket;
};

// One connection accepted by a listener, owned by its TServerWinSocket.
class TServerClientWinSocket : public TCustomWinSocket
{
public:
    // Peer: the address accept gave, in network order; null to ask the descriptor.
    TServerClientWinSocket(TServerWinSocket *Server, int Handle, const sockaddr_in *Peer = nullptr);
    ~TServerClientWinSocket() override;

    // The peer's IPv4 address as a number, taken at the accept; none when it had none.
    std::optional<uint32_t> PeerIPv4() const { return FPeerIPv4; }

    // The listener that accepted this connection; nullptr once it has let go of it.
    TServerWinSocket *ServerWinSocket() const { return FServer; }

protected:
    void DoRead() override;
    void DoDisconnect() override;
    void DoError(TErrorEvent ErrorEvent, int &ErrorCode) override;
    TErrorOrigin ErrorOrigin() const override { return TErrorOrigin::Peer; }
    TErrorConnection ErrorConnection() const override;
    TErrorDescription Describe(std::string_view Api, int Code) const override;

private:
    TServerWinSocket *FServer;
    // The peer's address and port, taken at the accept: a reset connection no longer has one.
    std::string FPeer;
    std::optional<uint32_t> FPeerIPv4;
    friend class TServerWinSocket;
};

// The peer's IPv4 address as a number: an accepted connection's as the accept gave it, another
// socket's from its descriptor; 0 when there is none.
uint32_t PeerOf(const TCustomWinSocket *Socket);

// The listening socket of a TServerSocket, owner of the accepted connections.
class TServerWinSocket : public TCustomWinSocket
{
public:
    explicit TServerWinSocket(TServerSocket *Owner);
    ~TServerWinSocket() override;

    // The Index-th accepted connection in order of acceptance, counted from 0. A closed connection
    // stays listed until a later turn of the event loop. Raises "List index out of bounds (%d)".
    TServerClientWinSocket *ClientConnections(int Index) const;
    int ActiveConnections() const { return static_cast<int>(FConnections.size()); }

protected:
    void DoAccept() override;
    // Accepting is what strangers make happen; listening is the user's doing and raises outside
    // any event.
    TErrorOrigin ErrorOrigin() const override { return TErrorOrigin::Peer; }
    TErrorConnection ErrorConnection() const override;
    TErrorDescription Describe(std::string_view Api, int Code) const override;

private:
    void Listen();
    void CloseListener();
    void ScheduleRemoval(TServerClientWinSocket *Connection);
    // Closes the oldest unfinished TLS handshake when kMaxTlsHandshakes are under way.
    void EvictStalledHandshake();
    void DropRemovals();

    TServerSocket *FOwner;
    std::vector<TServerClientWinSocket *> FConnections;
    // Closed connections to take off the list at the next turn, all with one posted call.
    std::vector<TServerClientWinSocket *> FRemovals;
    QTimer *FAcceptRetry = nullptr;
    bool FOutOfDescriptors = false;
    // What the monitor opened this listener as (the web server, the telnet relay): the place
    // current at the first listen that had one.
    TErrorPlace FPlace = TErrorPlace::None;
    friend class TServerSocket;
    friend class TServerClientWinSocket;
};

// A TCP client: connects to Address:Port when made active.
class TClientSocket : public QObject
{
public:
    explicit TClientSocket(QObject *Parent = nullptr);
    // Closes the connection or drops the pending attempt without any event.
    ~TClientSocket() override;

    // True from the connect event until just before the disconnect event. Writing true starts an
    // attempt (dropping a pending one; ignored while connected or while the disconnect event
    // runs); writing false closes a connected client with its disconnect event nested in the call.
    bool Active() const { return FActive; }
    void SetActive(bool Value);
    // Drops a pending attempt without any event; does nothing while connected or when no attempt
    // is pending.
    void CancelAttempt();

    // Dotted IPv4 text; no name lookup. Changing it while active raises "Can't change value while
    // socket is active".
    const std::string &Address() const { return FAddress; }
    void SetAddress(const std::string &Value);
    int Port() const { return FPort; }
    void SetPort(int Value);

    TClientWinSocket *Socket() const { return FSocket; }

    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnDisconnect;
    TSocketErrorEvent OnError;

private:
    TClientWinSocket *FSocket;
    std::string FAddress;
    int FPort = 0;
    bool FActive = false;
    friend class TClientWinSocket;
};

// How many connections a listener lets wait for acceptance unless told otherwise.
constexpr int kDefaultBacklog = 5;

// A TCP listener on all local IPv4 addresses (or the one set), backlog 5 unless set before opening.
class TServerSocket : public QObject
{
public:
    explicit TServerSocket(QObject *Parent = nullptr);
    // Closes the listener and every accepted connection without any event.
    ~TServerSocket() override;

    // True while listening. Writing false closes every accepted connection without any event.
    bool Active() const { return FActive; }
    void SetActive(bool Value);

    int Port() const { return FPort; }
    void SetPort(int Value);

    // The dotted IPv4 address to listen on; empty (the default) for every local address. A text
    // that is no such address makes listening fail with EINVAL on API 'bind'. Raises like SetPort
    // while active.
    const std::string &BindAddress() const { return FBindAddress; }
    void SetBindAddress(const std::string &Value);

    // Connections the kernel queues before they are accepted. A server that many clients reach at
    // once (the web server) asks for SOMAXCONN; with 5, a burst overflows the queue and clients
    // wait seconds for their retransmitted handshakes. Raises like SetPort while active.
    int Backlog() const { return FBacklog; }
    void SetBacklog(int Value);

    // How long a connection accepted from now on may linger after our close (kLingerTimeoutMs
    // unless set). A server whose answers are small gives a peer that does not take them less.
    int LingerTimeout() const { return FLingerTimeoutMs; }
    void SetLingerTimeout(int Milliseconds) { FLingerTimeoutMs = Milliseconds; }

    // Connections accepted from now on speak TLS with Context; null (the default) for plain TCP.
    // Peers that fail the handshake or send something that is not TLS (plain HTTP included) are
    // closed without any answer; their errors are the peer's, for the log only.
    // Connections already open keep what they were accepted with.
    const std::shared_ptr<TTlsServerContext> &Tls() const { return FTls; }
    void SetTls(std::shared_ptr<TTlsServerContext> Context);
    // Runs before a TLS connection's handshake starts, so that the holder of the settings can
    // swap the context first (a certificate renewed on disk serves the next handshake).
    std::function<void()> OnTlsAccept;
    // How long a TLS handshake may take (kTlsHandshakeTimeoutMs unless set), for connections
    // accepted from now on.
    void SetTlsHandshakeTimeout(int Milliseconds) { FTlsHandshakeTimeoutMs = Milliseconds; }

    TServerWinSocket *Socket() const { return FSocket; }

    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnAccept;
    TSocketNotifyEvent OnClientRead;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketErrorEvent OnClientError;

private:
    TServerWinSocket *FSocket;
    int FPort = 0;
    int FBacklog = kDefaultBacklog;
    std::string FBindAddress;
    int FLingerTimeoutMs = kLingerTimeoutMs;
    std::shared_ptr<TTlsServerContext> FTls;
    int FTlsHandshakeTimeoutMs = kTlsHandshakeTimeoutMs;
    bool FActive = false;
    friend class TServerWinSocket;
    friend class TServerClientWinSocket;
};
