// SPDX-License-Identifier: MIT
// HTTP/1.0 GET client for the version check: a non-blocking IPv4 socket of its own whose waits
// (name lookup, connect, send, reads) run a nested Qt event loop, so FetchUrl is synchronous for
// its caller while the window, the timers and the other sockets keep working.
#pragma once

#include <QDeadlineTimer>
#include <QObject>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

class QSocketNotifier;

// Every failure of a fetch, carrying the text the error box shows.
class EHttpError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A fetch cut short because the application is quitting while it waits.
class EHttpInterrupted : public EHttpError
{
public:
    using EHttpError::EHttpError;
};

// The answer to a name lookup: the IPv4 address in host byte order, or nothing when the name
// does not resolve.
using THostLookupDone = std::function<void(std::optional<uint32_t> address)>;

// Starts looking up a host name and calls done on the GUI thread once it is known, later or at
// once. The client may have stopped waiting by then; done copes with that.
using THostResolver = std::function<void(const std::string &host, THostLookupDone done)>;

// The default resolver: getaddrinfo (IPv4 only) on a thread of its own, the answer posted back
// to the GUI thread through the application object.
void DefaultHostResolver(const std::string &host, THostLookupDone done);

// "<number>:<text>" for the socket error numbers the program reports (the Windows Sockets
// numbering, which the error box has always shown), "Unknown Error No. <number>" for others.
std::string SocketErrorText(int code);

// The Windows Sockets number of a POSIX errno value, or the errno value itself when there is none.
int SocketErrorCode(int errnoValue);

struct TPowersockTimeouts
{
    int LookupMs = 15000;  // name lookup
    int ConnectMs = 15000; // from the connect call to the connection being up
    int IdleMs = 30000;    // without a byte moving while sending or reading
    // The whole fetch, redirects included: a server that trickles a byte now and then never lets
    // the other time-outs run out, yet must not hold the check back for longer than this.
    int TotalMs = 60000;
};

// A TCP client socket whose operations each wait for their end inside a nested event loop:
// readiness comes from QSocketNotifiers and every wait is bounded by a QTimer. Closing resets the
// connection at once (linger on, linger time 0). Other handlers run during a wait, so the object
// must be owned by the code that waits (a local of the fetch), never freed by a handler.
class TPowersock : public QObject
{
    Q_OBJECT

public:
    // The size of the buffer that an answer line must fit in.
    static constexpr std::size_t kBufferSize = 65536;

    explicit TPowersock(QObject *parent = nullptr);
    ~TPowersock() override;

    void SetResolver(THostResolver resolver);
    void SetTimeouts(const TPowersockTimeouts &timeouts) { m_timeouts = timeouts; }
    const TPowersockTimeouts &Timeouts() const { return m_timeouts; }

protected:
    // Looks up Host (a dotted IPv4 address is used as it stands) and connects to it on a new
    // socket. Raises "Null Remote Address" when the name does not resolve or the lookup takes too
    // long, "Connection Failed" when the connection is refused, unreachable or not up in time,
    // and "Initializaton of windows sockets failed" when no socket can be made.
    void Connect(const std::string &host, int port);
    void SendAll(const std::string &data);
    // The next line including its LF. When the server closes, what is left (possibly nothing)
    // comes back without an LF. A line that does not fit the buffer raises an error.
    std::string ReadLine();
    // Every byte up to the server's close, appended to out; at most maxSize bytes in all.
    void ReadToClose(std::string &out, std::size_t maxSize);
    void Close();
    // From now on every wait ends by the overall time-out at the latest.
    void StartDeadline() { m_deadline.setRemainingTime(m_timeouts.TotalMs); }

private:
    enum class Readiness { Read, Write };
    struct LookupState;

    void openSocket();
    uint32_t lookup(const std::string &host);
    // Waits for the socket to become readable or writable; false when the step's time-out runs
    // out first. Raises "10060:Connection timed out" when the overall time-out runs out.
    bool waitFor(Readiness what, int timeoutMs);
    // The time a step may wait: its own time-out, cut to what is left of the overall one.
    int stepTimeout(int timeoutMs);
    [[noreturn]] void raiseDeadlinePassed();
    // Receives into m_pending; false once the server has closed.
    bool receiveMore();
    [[noreturn]] void raiseSocketError(int errnoValue);

    THostResolver m_resolver;
    TPowersockTimeouts m_timeouts;
    QDeadlineTimer m_deadline{QDeadlineTimer::Forever};
    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    std::unique_ptr<char[]> m_buffer;
    std::string m_pending; // received, not yet handed out
    bool m_peerClosed = false;
    std::shared_ptr<LookupState> m_lookup;
};

// Where a fetch goes; the fields keep their values from one URL to the next, so a redirect to a
// bare path stays on the same host and port.
struct THttpTarget
{
    std::string Url;
    std::string Host;
    int Port = 80;
    std::string Path;
};

// Parses Url into Target: the scheme's port (gopher 70, ftp 21, https refused with "HTTP Secure
// Socket is not supported", else 80), the host and an optional ":port" after it (an empty host
// keeps the previous one), and the path from the third "/" (or the first, without "//"), cut to
// 256 characters; an empty path becomes "/" and a "/" is appended to the URL.
void ParseHttpUrl(const std::string &url, THttpTarget &target);

// The status code of a status line: its second blank-separated field when that is a decimal
// number that fits 16 bits signed, else 0.
int16_t ParseStatusCode(const std::string &line);

// The value of a header line whose first word is name (upper case, with its colon), compared
// without regard to case: the line after the name and one blank, cut at the first CR, LF or
// NUL and to 256 characters. Nothing when the line is another header.
std::optional<std::string> HeaderValue(const std::string &line, const std::string &name);

// The request sent for target: the GET line, Host, the two Accept lines, Cookie when cookie is not
// empty, Content-type, and the empty line, each ending in CR LF.
std::string BuildHttpRequest(const THttpTarget &target, const std::string &cookie);

// The URL a redirect's Location leads to from target: a bare name (no "/") is a file on the same
// host and port; anything else is used as it stands.
std::string RedirectUrl(const std::string &location, const THttpTarget &target);

// Fetches one resource with GET over HTTP/1.0, following redirects (300, 301, 302) up to
// kMaxRedirects in a row. Every other answer is final and returns normally, whatever its code.
// A cookie that a redirect sets goes only to the host that set it (names compared without regard
// to case, any port), so a redirect to another host never hands that host the first one's cookie.
// A name that only a redirect gave and that does not resolve fails as "cannot find host NAME".
class THttpClient : public TPowersock
{
    Q_OBJECT

public:
    static constexpr int kMaxRedirects = 10;
    static constexpr std::size_t kMaxHeaderSize = 1024 * 1024;
    static constexpr std::size_t kMaxBodySize = 16 * 1024 * 1024;

    explicit THttpClient(QObject *parent = nullptr);

    // When set, the body and the header would go to files; only in-memory answers are
    // supported, so FetchUrl refuses to run with either set.
    bool InputFileMode() const { return m_inputFileMode; }
    void SetInputFileMode(bool on) { m_inputFileMode = on; }
    bool OutputFileMode() const { return m_outputFileMode; }
    void SetOutputFileMode(bool on) { m_outputFileMode = on; }

    // A longer body ends the fetch with an error; at most kMaxBodySize.
    void SetMaxBodySize(std::size_t bytes) { m_maxBodySize = std::min(bytes, kMaxBodySize); }

    // Synchronous for the caller; the event loop turns while it waits. Raises EHttpError, also
    // when the whole fetch takes longer than Timeouts().TotalMs.
    void FetchUrl(const std::string &url);

    const std::string &Body() const { return m_body; }
    // The final answer's status line and header lines, each with its line end.
    const std::string &Header() const { return m_header; }
    int16_t StatusCode() const { return m_statusCode; }

private:
    // Reads the status line and the header lines; returns the answer's Set-Cookie value.
    std::optional<std::string> readHeaderLines();

    bool m_inputFileMode = false;
    bool m_outputFileMode = false;
    THttpTarget m_target;
    std::string m_cookie;
    std::string m_cookieHost; // the host that set m_cookie; only requests to it carry the cookie
    std::string m_location;
    std::string m_header;
    std::string m_body;
    int16_t m_statusCode = 0;
    std::size_t m_maxBodySize = kMaxBodySize;
};
