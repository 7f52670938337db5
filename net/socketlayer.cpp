// SPDX-License-Identifier: MIT
// The socket event layer's endpoints and components: POSIX non-blocking sockets whose readiness
// arrives through the thread's epoll set (readiness.h), turned into calls of the owner's handlers; see socketlayer.h.
#include "socketlayer.h"

#include "addressfilter.h"
#include "apperror.h"
#include "lingeringclose.h"
#include "tlscontext.h"

#include <QPointer>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Connections accepted per readiness report, so a flood of peers cannot hold the event loop.
constexpr int kAcceptsPerReport = 16;
// A sent prefix of the queue is cut off once it is this large and at least half the buffer.
constexpr std::size_t kQueueCompactBytes = 64 * 1024;

std::string WinSocketErrorText(int Code, const char *Api)
{
    return "Windows socket error: " + std::string(std::strerror(Code)) + " (" + std::to_string(Code) + "), on API '" +
           Api + "'";
}

std::string AsyncSocketErrorText(int Code)
{
    return "Asynchronous socket error " + std::to_string(Code);
}

// The kernel's text for Code as part of a sentence: "address already in use".
std::string Reason(int Code)
{
    std::string text = std::strerror(Code);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && !(text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z'))
        text[0] = char(text[0] - 'A' + 'a');
    return text;
}

// The call an asynchronous report's event stands for.
std::string_view EventApi(TErrorEvent Event)
{
    switch (Event) {
    case eeConnect:
        return "connect";
    case eeSend:
        return "send";
    case eeReceive:
        return "recv";
    case eeAccept:
        return "accept";
    default:
        return {};
    }
}

// An endpoint's errors in our words: "cannot connect to the router at 192.0.2.1:23: connection
// refused". Who is "the router" or "the web client"; Endpoint its address and port.
TErrorDescription DescribeConnection(const std::string &Who, const std::string &Endpoint, std::string_view Api,
                                     int Code)
{
    const std::string at = Who + " at " + Endpoint;
    std::string text;
    if (Api == "connect")
        text = "cannot connect to " + at;
    else if (Api == "send")
        text = "cannot send to " + at;
    else if (Api == "recv")
        text = "cannot receive from " + at;
    else
        text = "the connection to " + at + " failed";
    return {text + ": " + Reason(Code), Endpoint};
}

bool WouldBlock(int Code)
{
    return Code == EAGAIN || Code == EWOULDBLOCK;
}

int PendingInput(int Handle)
{
    int pending = 0;
    if (::ioctl(Handle, FIONREAD, &pending) < 0)
        return 0;
    return pending;
}

int UnacknowledgedOutput(int Handle)
{
    int queued = 0;
    if (::ioctl(Handle, SIOCOUTQ, &queued) < 0)
        return 0;
    return queued;
}

// Fills Address from dotted text and a port; false for anything else (no lookup of any kind).
bool MakeAddress(const std::string &Text, int Port, sockaddr_in &Address)
{
    Address = {};
    Address.sin_family = AF_INET;
    if (Port < 0 || Port > 65535)
        return false;
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    if (Text.empty())
        Address.sin_addr.s_addr = htonl(INADDR_ANY);
    else if (::inet_pton(AF_INET, Text.c_str(), &Address.sin_addr) != 1)
        return false;
    return true;
}

int NewTcpSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TCustomWinSocket

template <typename F>
bool TCustomWinSocket::CallHandler(F &&Call)
{
    QPointer<TCustomWinSocket> self(this);
    Guarded(std::forward<F>(Call));
    return !self.isNull();
}

TCustomWinSocket::TCustomWinSocket(QObject *Parent) : QObject(Parent) {}

TCustomWinSocket::~TCustomWinSocket()
{
    ReleaseHandle(true);
}

std::size_t TCustomWinSocket::OutputBacklog() const
{
    if (!FConnected || FHandle < 0)
        return 0;
    return QueuedBytes() + static_cast<std::size_t>(std::max(0, UnacknowledgedOutput(FHandle)));
}

int TCustomWinSocket::LocalPort() const
{
    if (FHandle < 0)
        return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(FHandle, reinterpret_cast<sockaddr *>(&address), &length) < 0)
        return 0;
    return ntohs(address.sin_port);
}

std::string TCustomWinSocket::LocalAddress() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    char text[INET_ADDRSTRLEN] = {};
    if (FHandle < 0 || ::getsockname(FHandle, reinterpret_cast<sockaddr *>(&address), &length) < 0 ||
        !::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return {};
    return text;
}

void TCustomWinSocket::AttachHandle(int Handle, TWatch Watch)
{
    FHandle = Handle;
    FWatch = Watch;
    FConnected = Watch == TWatch::Connected;
    FReadTaken = false;
    FReadiness.Attach(Handle, this);
    FReadiness.SetRead(Watch != TWatch::Connecting);
    if (Watch == TWatch::Connecting)
        WatchWritable(true);
}

void TCustomWinSocket::ReadinessReport(bool Readable, bool Writable)
{
    const TErrorOriginScope scope(ErrorOrigin());
    const TErrorConnectionScope connection(ErrorConnection());
    QPointer<TCustomWinSocket> self(this);
    BeginReport();
    if (Readable)
        Guarded([this] { HandleReadable(); });
    if (self && Writable && FReadiness.WriteOn())
        Guarded([this] { HandleWritable(); });
    if (self)
        EndReport();
}

void TCustomWinSocket::EndReport()
{
    if (--FReports == 0 && FDeleteWhenIdle)
        delete this;
}

void TCustomWinSocket::WatchWritable(bool On)
{
    FReadiness.SetWrite(On);
}

void TCustomWinSocket::ReleaseHandle(bool Drain)
{
    if (FHandle < 0)
        return;
    // The watch ends before the descriptor number can be reused.
    FReadiness.Detach();
    const int handle = FHandle;
    const bool wasConnected = FConnected;
    FHandle = -1;
    FConnected = false;
    if (FTls) {
        EndHandshake();
        FTls.reset();
        std::string().swap(FPlain);
    }
    std::string unsent = FOutput.substr(FOutputSent);
    std::string().swap(FOutput);
    FOutputSent = 0;
    // Closing with unread input makes the kernel reset the connection and throw away what it
    // still holds for the peer, so that case lingers too. Bytes the kernel took but the peer has
    // not acknowledged linger as well: closed outright they would stay queued in the kernel for
    // as long as it keeps probing a peer that does not read, beyond any time-out of ours.
    if (Drain && wasConnected && (!unsent.empty() || PendingInput(handle) > 0 || UnacknowledgedOutput(handle) > 0))
        StartLingeringClose(handle, std::move(unsent), FLingerTimeoutMs);
    else
        ::close(handle);
}

void TCustomWinSocket::SetReadWatch(bool On)
{
    FReadiness.SetRead(On);
}

void TCustomWinSocket::UpdateWriteWatch()
{
    if (FHandle >= 0 && FWatch == TWatch::Connected)
        WatchWritable(QueuedBytes() > 0 && !FClosing);
}

void TCustomWinSocket::CloseWithEvent(bool Drain, bool Force)
{
    if (FClosing || (!FConnected && !Force))
        return;
    FClosing = true;
    // Nothing more is reported for this connection while its disconnect handler runs, even if
    // that handler turns the event loop.
    SetReadWatch(false);
    WatchWritable(false);
    if (!CallHandler([this] { DoDisconnect(); }))
        return;
    if (Drain && FTls && FHandle >= 0) {
        // close_notify goes behind whatever is still queued and drains with it.
        FTls->Shutdown();
        FTls->TakeOutput(FOutput);
    }
    ReleaseHandle(Drain);
    FClosing = false;
}

void TCustomWinSocket::DoError(TErrorEvent, int &) {}

TErrorDescription TCustomWinSocket::Describe(std::string_view Api, int Code) const
{
    return DescribeConnection("the peer", LocalAddress() + ":" + std::to_string(LocalPort()), Api, Code);
}

void TCustomWinSocket::ReportAsyncError(TErrorEvent ErrorEvent, int Code)
{
    int errorCode = Code;
    CallHandler([&] { DoError(ErrorEvent, errorCode); });
    if (errorCode != 0)
        throw ESocketError(AsyncSocketErrorText(errorCode), ErrorOrigin(), Describe(EventApi(ErrorEvent), errorCode));
}

void TCustomWinSocket::FailTransfer(TErrorEvent ErrorEvent, int Code, const char *Api)
{
    int errorCode = Code;
    if (CallHandler([&] { DoError(ErrorEvent, errorCode); })) {
        // The connection is broken: what waits to be sent can never arrive.
        std::string().swap(FOutput);
        FOutputSent = 0;
        CloseWithEvent(false);
    }
    if (errorCode != 0)
        throw ESocketError(WinSocketErrorText(errorCode, Api), ErrorOrigin(), Describe(Api, errorCode));
}

bool TCustomWinSocket::FlushQueue(int &Error)
{
    while (QueuedBytes() > 0) {
        const ssize_t n = ::send(FHandle, FOutput.data() + FOutputSent, QueuedBytes(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (WouldBlock(errno))
                break;
            Error = errno;
            return false;
        }
        FOutputSent += static_cast<std::size_t>(n);
    }
    if (FOutputSent == FOutput.size()) {
        FOutput.clear();
        FOutputSent = 0;
    } else if (FOutputSent >= kQueueCompactBytes && FOutputSent * 2 >= FOutput.size()) {
        FOutput.erase(0, FOutputSent);
        FOutputSent = 0;
    }
    return true;
}

int TCustomWinSocket::SendString(const std::string &Text)
{
    if (!FConnected || FHandle < 0)
        return 0;
    if (!FTls)
        return SendRaw(Text);
    if (QueuedBytes() + FTls->PendingOutput() + Text.size() > kSendQueueLimit) {
        FailTransfer(eeSend, ENOBUFS, "send");
        return -1;
    }
    if (!FTls->Write(Text)) {
        FailTls();
        return -1;
    }
    std::string cipher;
    FTls->TakeOutput(cipher);
    if (cipher.empty())
        return Text.empty() ? 0 : -1;
    return SendRaw(cipher) == static_cast<int>(cipher.size()) ? static_cast<int>(Text.size()) : -1;
}

int TCustomWinSocket::SendRaw(const std::string &Text)
{
    if (QueuedBytes() > 0) {
        int error = 0;
        if (!FlushQueue(error)) {
            FailTransfer(eeSend, error, "send");
            return -1;
        }
        if (QueuedBytes() > 0) {
            // Earlier bytes still wait, so these go behind them and nothing is sent now.
            if (QueuedBytes() + Text.size() > kSendQueueLimit) {
                FailTransfer(eeSend, ENOBUFS, "send");
                return -1;
            }
            FOutput += Text;
            UpdateWriteWatch();
            return Text.empty() ? 0 : -1;
        }
    }
    if (Text.empty())
        return 0;
    ssize_t sent;
    do {
        sent = ::send(FHandle, Text.data(), Text.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && !WouldBlock(errno)) {
        FailTransfer(eeSend, errno, "send");
        return -1;
    }
    const std::size_t accepted = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    if (accepted < Text.size()) {
        if (Text.size() - accepted > kSendQueueLimit) {
            FailTransfer(eeSend, ENOBUFS, "send");
            return -1;
        }
        FOutput.assign(Text, accepted);
        FOutputSent = 0;
        UpdateWriteWatch();
    }
    return sent < 0 ? -1 : static_cast<int>(std::min<ssize_t>(sent, std::numeric_limits<int>::max()));
}

std::string TCustomWinSocket::ReceivePending()
{
    if (!FConnected || FHandle < 0)
        return {};
    FReadTaken = true;
    if (!FClosing)
        SetReadWatch(true);
    if (FTls) {
        std::string plain;
        plain.swap(FPlain);
        return plain;
    }
    // Straight into a scratch buffer: asking the kernel first how much is pending would cost a
    // call per read, and a string of the limit's size would be filled for nothing.
    char scratch[kReceiveLimit];
    ssize_t received;
    do {
        received = ::recv(FHandle, scratch, sizeof scratch, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        if (!WouldBlock(errno))
            FailTransfer(eeReceive, errno, "recv");
        return {};
    }
    return std::string(scratch, static_cast<std::size_t>(received));
}

void TCustomWinSocket::CloseConnection()
{
    CloseWithEvent(true);
}

void TCustomWinSocket::CloseWithoutDrain()
{
    CloseWithEvent(false);
}

void TCustomWinSocket::HandleReadable()
{
    if (FHandle < 0 || FClosing)
        return;
    if (FWatch == TWatch::Listening) {
        DoAccept();
        return;
    }
    if (!FConnected)
        return;
    if (FTls) {
        HandleTlsReadable();
        return;
    }
    if (PendingInput(FHandle) == 0) {
        // Readable with nothing to read: the peer's close, an error, or a stale report.
        char probe;
        const ssize_t n = ::recv(FHandle, &probe, 1, MSG_PEEK);
        if (n == 0) {
            CloseWithEvent(true);
            return;
        }
        if (n < 0) {
            if (errno == EINTR || WouldBlock(errno))
                return;
            // A reset or a vanished peer. The error is consumed; the ended stream that remains
            // becomes the disconnect event at the next report.
            ReportAsyncError(eeDisconnect, errno);
            return;
        }
    }
    FReadTaken = false;
    if (!CallHandler([this] { DoRead(); }))
        return;
    if (!FReadTaken && FConnected && !FClosing && FHandle >= 0 && PendingInput(FHandle) > 0)
        SetReadWatch(false);
}

void TCustomWinSocket::HandleTlsReadable()
{
    char scratch[kReceiveLimit];
    ssize_t received;
    do {
        received = ::recv(FHandle, scratch, sizeof scratch, 0);
    } while (received < 0 && errno == EINTR);
    if (received == 0) {
        CloseWithEvent(true);
        return;
    }
    if (received < 0) {
        if (!WouldBlock(errno))
            ReportAsyncError(eeDisconnect, errno);
        return;
    }
    const bool wasHandshaking = !FTls->HandshakeDone();
    const TTlsSession::TResult result = FTls->Feed(scratch, static_cast<std::size_t>(received), FPlain);
    if (result == TTlsSession::TResult::Failed) {
        FailTls();
        return;
    }
    if (wasHandshaking && FTls->HandshakeDone())
        EndHandshake();
    if (!SendTlsOutput())
        return;
    if (!FPlain.empty()) {
        FReadTaken = false;
        if (!CallHandler([this] { DoRead(); }))
            return;
        if (!FReadTaken && FConnected && !FClosing && FHandle >= 0 && !FPlain.empty())
            SetReadWatch(false);
    }
    // The peer's close_notify: what it sent before it was delivered above.
    if (result == TTlsSession::TResult::Closed && FConnected && FTls)
        CloseWithEvent(true);
}

bool TCustomWinSocket::SendTlsOutput()
{
    if (FTls->PendingOutput() == 0)
        return true;
    std::string cipher;
    FTls->TakeOutput(cipher);
    QPointer<TCustomWinSocket> self(this);
    SendRaw(cipher);
    return self && FConnected && FTls;
}

void TCustomWinSocket::FailTls()
{
    const bool notTls = FTls->NotTls();
    TErrorDescription description = Describe({}, EPROTO);
    description.Text += " (TLS: " + FTls->Error() + ")";
    const TErrorOrigin origin = ErrorOrigin();
    int errorCode = EPROTO;
    if (CallHandler([&] { DoError(eeReceive, errorCode); }) && FConnected) {
        // A TLS peer hears why (the alert); anything else gets no byte back.
        if (notTls) {
            std::string().swap(FOutput);
            FOutputSent = 0;
        } else {
            FTls->TakeOutput(FOutput);
        }
        CloseWithEvent(!notTls);
    }
    if (errorCode != 0)
        throw ESocketError(AsyncSocketErrorText(errorCode), origin, description);
}

void TCustomWinSocket::StartTls(std::shared_ptr<TTlsServerContext> Context, int TimeoutMs)
{
    FTls = std::make_unique<TTlsSession>(std::move(Context));
    // A TLS exchange is several small flights (the server's hello, then its tickets, the answer,
    // close_notify): without this, a flight can wait for the peer's delayed acknowledgement of the
    // one before.
    const int noDelay = 1;
    (void)::setsockopt(FHandle, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    FHandshakeTimer.start(TimeoutMs, this);
}

void TCustomWinSocket::timerEvent(QTimerEvent *Event)
{
    if (Event->timerId() != FHandshakeTimer.timerId()) {
        QObject::timerEvent(Event);
        return;
    }
    FHandshakeTimer.stop();
    if (!TlsHandshaking())
        return;
    const TErrorOriginScope scope(ErrorOrigin());
    const TErrorConnectionScope connection(ErrorConnection());
    Guarded([this] { CloseWithEvent(false); });
}

void TCustomWinSocket::EndHandshake()
{
    FHandshakeTimer.stop();
}

bool TCustomWinSocket::TlsHandshaking() const
{
    return FTls && !FTls->HandshakeDone() && FConnected && !FClosing;
}

void TCustomWinSocket::HandleWritable()
{
    if (FHandle < 0 || FClosing)
        return;
    if (FWatch == TWatch::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(FHandle, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
            error = errno;
        if (error == EINPROGRESS || error == EALREADY)
            return;
        if (error != 0) {
            // The failed attempt goes first, so an error handler may start a fresh one.
            ReleaseHandle(false);
            ReportAsyncError(eeConnect, error);
            return;
        }
        FWatch = TWatch::Connected;
        FConnected = true;
        WatchWritable(false);
        SetReadWatch(true);
        CallHandler([this] { DoConnect(); });
        return;
    }
    if (!FConnected)
        return;
    int error = 0;
    if (!FlushQueue(error)) {
        FailTransfer(eeSend, error, "send");
        return;
    }
    UpdateWriteWatch();
}

// ---------------------------------------------------------------------------------------------
// TClientWinSocket

TClientWinSocket::TClientWinSocket(TClientSocket *Owner) : TCustomWinSocket(Owner), FOwner(Owner) {}

TErrorConnection TClientWinSocket::ErrorConnection() const
{
    return {TErrorOrigin::Router, "router", FOwner->Address() + ":" + std::to_string(FOwner->Port())};
}

TErrorDescription TClientWinSocket::Describe(std::string_view Api, int Code) const
{
    return DescribeConnection("the router", FOwner->Address() + ":" + std::to_string(FOwner->Port()), Api, Code);
}

void TClientWinSocket::DoConnect()
{
    FOwner->FActive = true;
    if (FOwner->OnConnect)
        FOwner->OnConnect(FOwner, this);
}

void TClientWinSocket::DoRead()
{
    if (FOwner->OnRead)
        FOwner->OnRead(FOwner, this);
}

void TClientWinSocket::DoDisconnect()
{
    FOwner->FActive = false;
    if (FOwner->OnDisconnect)
        FOwner->OnDisconnect(FOwner, this);
}

void TClientWinSocket::DoError(TErrorEvent ErrorEvent, int &ErrorCode)
{
    if (FOwner->OnError)
        FOwner->OnError(FOwner, this, ErrorEvent, ErrorCode);
}

// ---------------------------------------------------------------------------------------------
// TServerClientWinSocket

TServerClientWinSocket::TServerClientWinSocket(TServerWinSocket *Server, int Handle, const sockaddr_in *Peer)
    : TCustomWinSocket(Server), FServer(Server)
{
    FLingerTimeoutMs = Server->FOwner->FLingerTimeoutMs;
    AttachHandle(Handle, TWatch::Connected);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (Peer)
        address = *Peer;
    else if (::getpeername(Handle, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    char text[INET_ADDRSTRLEN] = {};
    if (address.sin_family != AF_INET)
        return;
    FPeerIPv4 = ntohl(address.sin_addr.s_addr);
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        FPeer = std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

uint32_t PeerOf(const TCustomWinSocket *Socket)
{
    if (const auto *accepted = dynamic_cast<const TServerClientWinSocket *>(Socket))
        return accepted->PeerIPv4().value_or(0);
    return Socket ? PeerIPv4(Socket->SocketHandle()).value_or(0) : 0;
}

TErrorConnection TServerClientWinSocket::ErrorConnection() const
{
    const TErrorPlace place = FServer ? FServer->FPlace : TErrorPlace::None;
    return {TErrorOrigin::Peer,
            place == TErrorPlace::WebServer     ? "web client"
            : place == TErrorPlace::TelnetRelay ? "relay user"
                                                : "peer",
            FPeer};
}

TErrorDescription TServerClientWinSocket::Describe(std::string_view Api, int Code) const
{
    return DescribeConnection("the " + ErrorConnection().Kind, FPeer, Api, Code);
}

TServerClientWinSocket::~TServerClientWinSocket()
{
    if (FServer) {
        auto &list = FServer->FConnections;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        auto &removals = FServer->FRemovals;
        removals.erase(std::remove(removals.begin(), removals.end(), this), removals.end());
    }
}

void TServerClientWinSocket::DoRead()
{
    if (FServer && FServer->FOwner->OnClientRead)
        FServer->FOwner->OnClientRead(FServer->FOwner, this);
}

void TServerClientWinSocket::DoDisconnect()
{
    if (!FServer)
        return;
    TServerWinSocket *server = FServer;
    if (server->FOwner->OnClientDisconnect) {
        QPointer<TServerWinSocket> serverAlive(server);
        // Report a throwing handler here, so the removal below is still scheduled.
        if (!CallHandler([&] { server->FOwner->OnClientDisconnect(server->FOwner, this); }) || !serverAlive)
            return;
    }
    if (FServer)
        FServer->ScheduleRemoval(this);
}

void TServerClientWinSocket::DoError(TErrorEvent ErrorEvent, int &ErrorCode)
{
    if (FServer && FServer->FOwner->OnClientError)
        FServer->FOwner->OnClientError(FServer->FOwner, this, ErrorEvent, ErrorCode);
}

// ---------------------------------------------------------------------------------------------
// TServerWinSocket

TServerWinSocket::TServerWinSocket(TServerSocket *Owner) : TCustomWinSocket(Owner), FOwner(Owner) {}

TServerWinSocket::~TServerWinSocket()
{
    const std::vector<TServerClientWinSocket *> connections = std::move(FConnections);
    FConnections.clear();
    FRemovals.clear();
    for (TServerClientWinSocket *connection : connections) {
        connection->FServer = nullptr;
        delete connection;
    }
}

TServerClientWinSocket *TServerWinSocket::ClientConnections(int Index) const
{
    if (Index < 0 || Index >= ActiveConnections())
        throw ESocketError("List index out of bounds (" + std::to_string(Index) + ")");
    return FConnections[static_cast<std::size_t>(Index)];
}

TErrorConnection TServerWinSocket::ErrorConnection() const
{
    return {TErrorOrigin::Peer,
            FPlace == TErrorPlace::WebServer     ? "web server"
            : FPlace == TErrorPlace::TelnetRelay ? "telnet relay"
                                                 : "listener",
            "port " + std::to_string(FOwner->FPort)};
}

TErrorDescription TServerWinSocket::Describe(std::string_view Api, int Code) const
{
    const std::string endpoint = (FOwner->FBindAddress.empty() ? std::string("0.0.0.0") : FOwner->FBindAddress) + ":" +
                                 std::to_string(FOwner->FPort);
    const std::string purpose = FPlace == TErrorPlace::WebServer     ? " for the web page"
                                : FPlace == TErrorPlace::TelnetRelay ? " for the telnet relay"
                                                                     : "";
    const std::string what = Api == "accept" ? "cannot accept connections on " : "cannot listen on ";
    return {what + endpoint + purpose + ": " + Reason(Code), endpoint};
}

void TServerWinSocket::Listen()
{
    if (CurrentErrorPlace() != TErrorPlace::None)
        FPlace = CurrentErrorPlace();
    const int handle = NewTcpSocket();
    if (handle < 0)
        throw ESocketError("Can't create new socket");
    const int reuse = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    const bool valid = MakeAddress(FOwner->FBindAddress, FOwner->FPort, address);
    if (!valid || ::bind(handle, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        const int error = valid ? errno : EINVAL;
        ::close(handle);
        throw ESocketError(WinSocketErrorText(error, "bind"), TErrorOrigin::User, Describe("bind", error));
    }
    AttachHandle(handle, TWatch::Listening);
    FOwner->FActive = true;
    if (::listen(handle, FOwner->FBacklog) < 0) {
        const int error = errno;
        ReleaseHandle(false);
        FOwner->FActive = false;
        throw ESocketError(WinSocketErrorText(error, "listen"), TErrorOrigin::User, Describe("listen", error));
    }
}

void TServerWinSocket::CloseListener()
{
    const std::vector<TServerClientWinSocket *> connections = std::move(FConnections);
    FConnections.clear();
    FRemovals.clear();
    for (TServerClientWinSocket *connection : connections) {
        connection->FServer = nullptr;
        connection->ReleaseHandle(true);
        // A handler of this very connection may be running further up the stack.
        connection->deleteLater();
    }
    if (FAcceptRetry)
        FAcceptRetry->stop();
    FOutOfDescriptors = false;
    ReleaseHandle(false);
    FOwner->FActive = false;
}

void TServerWinSocket::ScheduleRemoval(TServerClientWinSocket *Connection)
{
    // One call takes off every connection closed before it runs: a busy web server closes many
    // connections per turn.
    // Inside a readiness report (the usual case) it runs when the batch's reports are delivered,
    // without waking the loop again.
    if (FRemovals.empty()) {
        QPointer<TServerWinSocket> self(this);
        if (!TReadinessWatch::RunAfterReports([self] {
                if (self)
                    self->DropRemovals();
            }))
            QMetaObject::invokeMethod(
                this, [this] { DropRemovals(); }, Qt::QueuedConnection);
    }
    FRemovals.push_back(Connection);
}

void TServerWinSocket::DropRemovals()
{
    const std::vector<TServerClientWinSocket *> removals = std::move(FRemovals);
    FRemovals.clear();
    for (TServerClientWinSocket *connection : removals) {
        if (connection->FServer != this)
            continue;
        FConnections.erase(std::remove(FConnections.begin(), FConnections.end(), connection), FConnections.end());
        connection->FServer = nullptr;
        // A connection whose report still runs further up the stack (a handler of it turned the
        // nested event loop this runs in) goes when that report ends; deleteLater would not
        // wait for it, since a nested loop also runs the deletes posted inside it.
        if (connection->FReports > 0)
            connection->FDeleteWhenIdle = true;
        else
            delete connection;
    }
}

void TServerWinSocket::EvictStalledHandshake()
{
    int handshaking = 0;
    TServerClientWinSocket *oldest = nullptr;
    for (TServerClientWinSocket *connection : FConnections)
        if (connection->TlsHandshaking()) {
            ++handshaking;
            if (!oldest)
                oldest = connection;
        }
    if (handshaking < kMaxTlsHandshakes || !oldest)
        return;
    const TErrorConnectionScope scope(oldest->ErrorConnection());
    Guarded([oldest] { oldest->CloseWithEvent(false); });
}

void TServerWinSocket::DoAccept()
{
    for (int i = 0; i < kAcceptsPerReport; ++i) {
        // The peer's address comes with the accept: no getpeername per connection.
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const int handle =
            ::accept4(SocketHandle(), reinterpret_cast<sockaddr *>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle < 0) {
            const int error = errno;
            if (WouldBlock(error))
                return;
            // Errors that belong to one incoming connection (it was aborted, or the network
            // reported a pending error for it): skip it and go on.
            if (error == EINTR || error == ECONNABORTED || error == EPROTO || error == ENETDOWN ||
                error == ENOPROTOOPT || error == EHOSTDOWN || error == ENONET || error == EHOSTUNREACH ||
                error == EOPNOTSUPP || error == ENETUNREACH || error == EPERM)
                continue;
            // Out of descriptors or memory (or worse): the pending connection stays readable, so
            // watching on would spin. Look again later; say so once per spell.
            SetReadWatch(false);
            if (!FAcceptRetry) {
                FAcceptRetry = new QTimer(this);
                FAcceptRetry->setSingleShot(true);
                FAcceptRetry->setInterval(kAcceptRetryMs);
                connect(FAcceptRetry, &QTimer::timeout, this, [this] {
                    if (SocketHandle() >= 0)
                        SetReadWatch(true);
                });
            }
            FAcceptRetry->start();
            if (!FOutOfDescriptors) {
                FOutOfDescriptors = true;
                throw ESocketError(WinSocketErrorText(error, "accept"), TErrorOrigin::Peer, Describe("accept", error));
            }
            return;
        }
        FOutOfDescriptors = false;
        auto *connection = new TServerClientWinSocket(
            this, handle, peerLength <= sizeof peer && peer.sin_family == AF_INET ? &peer : nullptr);
        if (FOwner->FTls && FOwner->OnTlsAccept)
            Guarded([&] { FOwner->OnTlsAccept(); });
        if (FOwner->FTls) {
            EvictStalledHandshake();
            connection->StartTls(FOwner->FTls, FOwner->FTlsHandshakeTimeoutMs);
        }
        FConnections.push_back(connection);
        QPointer<TServerWinSocket> self(this);
        QPointer<TServerClientWinSocket> alive(connection);
        TServerSocket *owner = FOwner;
        const TErrorConnectionScope scope(connection->ErrorConnection());
        connection->BeginReport();
        if (owner->OnClientConnect)
            Guarded([&] { owner->OnClientConnect(owner, connection); });
        if (self && SocketHandle() >= 0 && alive && owner->OnAccept)
            Guarded([&] { owner->OnAccept(owner, connection); });
        if (alive)
            connection->EndReport();
        if (!self || SocketHandle() < 0)
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// TClientSocket

TClientSocket::TClientSocket(QObject *Parent) : QObject(Parent), FSocket(new TClientWinSocket(this)) {}

TClientSocket::~TClientSocket()
{
    delete FSocket;
}

void TClientSocket::SetActive(bool Value)
{
    if (!Value) {
        if (FActive)
            FSocket->CloseWithEvent(true);
        return;
    }
    // While the disconnect event runs the connection still counts as connected: no new attempt.
    if (FActive || FSocket->FConnected || FSocket->FClosing)
        return;
    // A pending attempt is dropped without a word.
    FSocket->ReleaseHandle(false);
    const int handle = NewTcpSocket();
    if (handle < 0)
        throw ESocketError("Can't create new socket");
    FSocket->AttachHandle(handle, TCustomWinSocket::TWatch::Connecting);
    if (FAddress.empty()) {
        FSocket->CloseWithEvent(false, true);
        throw ESocketError("No address specified");
    }
    sockaddr_in address{};
    int error = EINVAL; // what a text that is not a dotted IPv4 address, or a bad port, fails with
    if (MakeAddress(FAddress, FPort, address)) {
        if (::connect(handle, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            return;
        error = errno;
        // EINTR: the connect goes on in the background and completes like any other.
        if (error == EINPROGRESS || error == EINTR)
            return;
    }
    FSocket->CloseWithEvent(false, true);
    throw ESocketError(WinSocketErrorText(error, "connect"), TErrorOrigin::User, FSocket->Describe("connect", error));
}

void TClientSocket::CancelAttempt()
{
    if (!FActive && !FSocket->FConnected && !FSocket->FClosing)
        FSocket->ReleaseHandle(false);
}

void TClientSocket::SetAddress(const std::string &Value)
{
    if (Value == FAddress)
        return;
    if (FActive)
        throw ESocketError("Can't change value while socket is active");
    FAddress = Value;
}

void TClientSocket::SetPort(int Value)
{
    if (Value == FPort)
        return;
    if (FActive)
        throw ESocketError("Can't change value while socket is active");
    FPort = Value;
}

// ---------------------------------------------------------------------------------------------
// TServerSocket

TServerSocket::TServerSocket(QObject *Parent) : QObject(Parent), FSocket(new TServerWinSocket(this)) {}

TServerSocket::~TServerSocket()
{
    delete FSocket;
}

void TServerSocket::SetActive(bool Value)
{
    if (Value == FActive)
        return;
    if (Value)
        FSocket->Listen();
    else
        FSocket->CloseListener();
}

void TServerSocket::SetTls(std::shared_ptr<TTlsServerContext> Context)
{
    FTls = std::move(Context);
}

void TServerSocket::SetPort(int Value)
{
    if (Value == FPort)
        return;
    if (FActive)
        throw ESocketError("Can't change value while socket is active");
    FPort = Value;
}

void TServerSocket::SetBindAddress(const std::string &Value)
{
    if (Value == FBindAddress)
        return;
    if (FActive)
        throw ESocketError("Can't change value while socket is active");
    FBindAddress = Value;
}

void TServerSocket::SetBacklog(int Value)
{
    if (Value == FBacklog)
        return;
    if (FActive)
        throw ESocketError("Can't change value while socket is active");
    FBacklog = Value;
}
