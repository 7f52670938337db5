// SPDX-License-Identifier: MIT
// HTTP/1.0 GET client on a socket of its own; see httpclient.h. Every wait is a nested QEventLoop
// that ends on socket readiness, the lookup's answer or a QTimer, never a sleep, so the GUI thread
// goes on serving the window, the router session and the listeners during a fetch.
#include "httpclient.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kNullRemoteAddress[] = "Null Remote Address";
const char kConnectionFailed[] = "Connection Failed";
const char kSocketsFailed[] = "Initializaton of windows sockets failed";
const char kInterrupted[] = "The fetch was interrupted because the program is closing";

constexpr int kTimedOut = 10060;
constexpr std::size_t kMaxPathLength = 256;
constexpr std::size_t kMaxHeaderValueLength = 256;

struct SocketError
{
    int code;
    const char *text;
};

// The socket error numbers and descriptions the error box shows, in the Windows Sockets numbering.
constexpr std::array<SocketError, 50> kSocketErrors{{
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Net dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "Valid name, no data record of requested type"},
}};

// POSIX errno values and their Windows Sockets counterparts.
constexpr std::array<std::pair<int, int>, 43> kErrnoCodes{{
    {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},       {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},
    {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},         {EISCONN, 10056},
    {ENOTCONN, 10057},      {ESHUTDOWN, 10058},    {EPIPE, 10058},           {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},        {ESTALE, 10070},       {EREMOTE, 10071},
}};

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The text up to its first CR, LF or NUL: nothing after a line break may reach a request.
std::string cutAtLineBreak(const std::string &text)
{
    return text.substr(0, text.find_first_of(std::string("\r\n\0", 3)));
}

std::string withoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

std::string toLower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string toUpper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// A connect that fails for one of these reasons is reported as "Connection Failed"; anything else
// keeps its number and text.
bool isConnectFailure(int errnoValue)
{
    return errnoValue == ECONNREFUSED || errnoValue == ENETUNREACH || errnoValue == EHOSTUNREACH ||
           errnoValue == ETIMEDOUT || errnoValue == EHOSTDOWN;
}

int parsePort(const std::string &text)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw EHttpError("'" + text + "' is not a valid port number");
    const int port = std::stoi(text);
    if (port < 1 || port > 65535)
        throw EHttpError("'" + text + "' is not a valid port number");
    return port;
}

} // namespace

std::string SocketErrorText(int code)
{
    for (const SocketError &e : kSocketErrors)
        if (e.code == code)
            return std::to_string(code) + ":" + e.text;
    return "Unknown Error No. " + std::to_string(code);
}

int SocketErrorCode(int errnoValue)
{
    for (const auto &[posix, wsa] : kErrnoCodes)
        if (posix == errnoValue)
            return wsa;
    return errnoValue;
}

void DefaultHostResolver(const std::string &host, THostLookupDone done)
{
    std::thread([host, done = std::move(done)]() mutable {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *result = nullptr;
        std::optional<uint32_t> address;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0 && result && result->ai_addr &&
            result->ai_family == AF_INET) {
            sockaddr_in sin{};
            std::copy_n(reinterpret_cast<const char *>(result->ai_addr), sizeof sin, reinterpret_cast<char *>(&sin));
            address = ntohl(sin.sin_addr.s_addr);
        }
        if (result)
            ::freeaddrinfo(result);
        // The answer is handed to the GUI thread; without an application object nobody waits.
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [done = std::move(done), address] { done(address); }, Qt::QueuedConnection);
    }).detach();
}

// Shared between a lookup in progress and the resolver's callback, which may arrive after the
// client stopped waiting or was destroyed.
struct TPowersock::LookupState
{
    bool done = false;
    bool abandoned = false;
    std::optional<uint32_t> address;
    QEventLoop *loop = nullptr;
};

TPowersock::TPowersock(QObject *parent)
    : QObject(parent), m_resolver(DefaultHostResolver), m_buffer(std::make_unique<char[]>(kBufferSize))
{
}

TPowersock::~TPowersock()
{
    if (m_lookup) {
        m_lookup->abandoned = true;
        m_lookup->loop = nullptr;
    }
    Close();
}

void TPowersock::SetResolver(THostResolver resolver)
{
    m_resolver = resolver ? std::move(resolver) : THostResolver(DefaultHostResolver);
}

void TPowersock::openSocket()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw EHttpError(kSocketsFailed);
    // A zero linger time makes closing reset the connection at once instead of lingering.
    const linger noLinger{1, 0};
    if (::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger) != 0) {
        Close();
        throw EHttpError(kSocketsFailed);
    }
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(false);
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
}

void TPowersock::Close()
{
    // Notifiers go before the descriptor so that none watches a closed (or reused) number.
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_pending.clear();
    m_peerClosed = false;
}

void TPowersock::raiseSocketError(int errnoValue)
{
    Close();
    throw EHttpError(SocketErrorText(SocketErrorCode(errnoValue)));
}

namespace {

// Makes timer, once started, end the nested wait in loop and say so in timedOut.
void armTimeout(QTimer &timer, QEventLoop &loop, bool &timedOut)
{
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&loop, &timedOut] {
        timedOut = true;
        loop.quit();
    });
}

} // namespace

uint32_t TPowersock::lookup(const std::string &host)
{
    in_addr dotted{};
    if (::inet_pton(AF_INET, host.c_str(), &dotted) == 1)
        return ntohl(dotted.s_addr);
    if (host.empty())
        throw EHttpError(kNullRemoteAddress);

    const int timeoutMs = stepTimeout(m_timeouts.LookupMs);
    auto state = std::make_shared<LookupState>();
    m_lookup = state;
    QEventLoop loop;
    bool timedOut = false;
    QTimer timer;
    armTimeout(timer, loop, timedOut);
    state->loop = &loop;
    timer.start(timeoutMs);
    m_resolver(host, [state](std::optional<uint32_t> address) {
        if (state->done || state->abandoned)
            return;
        state->done = true;
        state->address = address;
        if (state->loop)
            state->loop->quit();
    });
    // A resolver may answer before returning; then there is nothing to wait for.
    if (!state->done)
        loop.exec();
    state->loop = nullptr;
    m_lookup.reset();
    if (!state->done) {
        state->abandoned = true;
        if (!timedOut)
            throw EHttpInterrupted(kInterrupted);
        if (timeoutMs < m_timeouts.LookupMs)
            raiseDeadlinePassed();
        throw EHttpError(kNullRemoteAddress);
    }
    if (!state->address)
        throw EHttpError(kNullRemoteAddress);
    return *state->address;
}

int TPowersock::stepTimeout(int timeoutMs)
{
    if (m_deadline.isForever())
        return timeoutMs;
    if (m_deadline.hasExpired())
        raiseDeadlinePassed();
    return int(std::min<qint64>(timeoutMs, std::max<qint64>(m_deadline.remainingTime(), 1)));
}

void TPowersock::raiseDeadlinePassed()
{
    Close();
    throw EHttpError(SocketErrorText(kTimedOut));
}

bool TPowersock::waitFor(Readiness what, int timeoutMs)
{
    const int stepMs = stepTimeout(timeoutMs);
    QSocketNotifier *notifier = what == Readiness::Read ? m_readNotifier : m_writeNotifier;
    QEventLoop loop;
    bool ready = false;
    bool timedOut = false;
    QTimer timer;
    armTimeout(timer, loop, timedOut);
    const QMetaObject::Connection readiness = connect(notifier, &QSocketNotifier::activated, &loop, [&] {
        ready = true;
        notifier->setEnabled(false);
        loop.quit();
    });
    notifier->setEnabled(true);
    timer.start(stepMs);
    loop.exec();
    disconnect(readiness);
    notifier->setEnabled(false);
    if (ready)
        return true;
    if (timedOut && stepMs < timeoutMs)
        raiseDeadlinePassed();
    if (timedOut)
        return false;
    // The loop was told to end from outside: the application is quitting.
    Close();
    throw EHttpInterrupted(kInterrupted);
}

void TPowersock::Connect(const std::string &host, int port)
{
    Close();
    const uint32_t address = lookup(host);
    openSocket();

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr.s_addr = htonl(address);
    if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0)
        return;
    // An interrupted non-blocking connect goes on in the background just like one in progress.
    int error = errno;
    if (error == EINPROGRESS || error == EINTR) {
        if (!waitFor(Readiness::Write, m_timeouts.ConnectMs))
            error = ETIMEDOUT;
        else {
            socklen_t length = sizeof error;
            if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
            if (error == 0)
                return;
        }
    }
    if (isConnectFailure(error)) {
        Close();
        throw EHttpError(kConnectionFailed);
    }
    raiseSocketError(error);
}

void TPowersock::SendAll(const std::string &data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(Readiness::Write, m_timeouts.IdleMs)) {
                Close();
                throw EHttpError(SocketErrorText(kTimedOut));
            }
        } else {
            raiseSocketError(n < 0 ? errno : EPIPE);
        }
    }
}

bool TPowersock::receiveMore()
{
    // Never more than the buffer holds; while a line is read, only what is left of it.
    const std::size_t room = m_pending.size() < kBufferSize ? kBufferSize - m_pending.size() : kBufferSize;
    for (;;) {
        const ssize_t n = ::recv(m_fd, m_buffer.get(), room, 0);
        if (n > 0) {
            m_pending.append(m_buffer.get(), static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0) {
            m_peerClosed = true;
            return false;
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            if (!waitFor(Readiness::Read, m_timeouts.IdleMs)) {
                Close();
                throw EHttpError(SocketErrorText(kTimedOut));
            }
            continue;
        }
        // "Socket is not connected" ends the answer as a close does.
        if (error == ENOTCONN) {
            m_peerClosed = true;
            return false;
        }
        raiseSocketError(error);
    }
}

std::string TPowersock::ReadLine()
{
    std::size_t searched = 0;
    for (;;) {
        const std::size_t lf = m_pending.find('\n', searched);
        if (lf != std::string::npos) {
            std::string line = m_pending.substr(0, lf + 1);
            m_pending.erase(0, lf + 1);
            return line;
        }
        searched = m_pending.size();
        if (m_pending.size() >= kBufferSize) {
            Close();
            throw EHttpError("The server sent a line longer than " + std::to_string(kBufferSize) + " bytes");
        }
        if (m_peerClosed || !receiveMore())
            return std::exchange(m_pending, std::string());
    }
}

void TPowersock::ReadToClose(std::string &out, std::size_t maxSize)
{
    for (;;) {
        if (out.size() + m_pending.size() > maxSize) {
            Close();
            throw EHttpError("The server's answer is larger than " + std::to_string(maxSize) + " bytes");
        }
        out += m_pending;
        m_pending.clear();
        if (m_peerClosed || !receiveMore())
            return;
    }
}

void ParseHttpUrl(const std::string &rawUrl, THttpTarget &target)
{
    std::string url = cutAtLineBreak(rawUrl);
    const bool hasDoubleSlash = url.find("//") != std::string::npos;

    std::string path;
    if (hasDoubleSlash) {
        std::size_t slash = std::string::npos;
        for (int i = 0; i < 3; ++i) {
            slash = url.find('/', slash == std::string::npos ? 0 : slash + 1);
            if (slash == std::string::npos)
                break;
        }
        if (slash != std::string::npos)
            path = url.substr(slash);
    } else if (const std::size_t slash = url.find('/'); slash != std::string::npos) {
        path = url.substr(slash);
    }
    path = path.substr(0, kMaxPathLength);

    if (const std::size_t colon = url.find(':'); colon != std::string::npos) {
        const std::string scheme = toLower(url.substr(0, colon));
        if (scheme == "https")
            throw EHttpError("HTTP Secure Socket is not supported");
        target.Port = scheme == "gopher" ? 70 : scheme == "ftp" ? 21 : 80;
    }

    std::string host;
    if (hasDoubleSlash) {
        // The third "/"-separated field: "http:", "", then the host.
        std::size_t start = 0;
        for (int field = 0; field < 2 && start != std::string::npos; ++field) {
            const std::size_t slash = url.find('/', start);
            start = slash == std::string::npos ? std::string::npos : slash + 1;
        }
        if (start != std::string::npos)
            host = url.substr(start, url.find('/', start) - start);
    } else if (!url.starts_with('/')) {
        host = url.substr(0, url.find('/'));
    }
    if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
        const std::string portText = host.substr(colon + 1);
        host.resize(colon);
        if (!portText.empty())
            target.Port = parsePort(portText);
    }
    if (!host.empty())
        target.Host = host;

    if (path.empty()) {
        path = "/";
        url += "/";
    }
    target.Path = path;
    target.Url = url;
}

int16_t ParseStatusCode(const std::string &line)
{
    const std::string text = withoutLineEnd(line);
    std::size_t pos = 0;
    std::string field;
    for (int i = 0; i < 2; ++i) {
        while (pos < text.size() && isBlank(text[pos]))
            ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && !isBlank(text[pos]))
            ++pos;
        field = text.substr(start, pos - start);
    }
    if (field.empty() || field.size() > 5)
        return 0;
    int value = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    // A code that does not fit the 16-bit field is no code at all, never a wrapped one.
    return value <= 32767 ? static_cast<int16_t>(value) : 0;
}

std::optional<std::string> HeaderValue(const std::string &line, const std::string &name)
{
    const std::string text = withoutLineEnd(line);
    std::size_t wordEnd = 0;
    while (wordEnd < text.size() && !isBlank(text[wordEnd]))
        ++wordEnd;
    if (toUpper(text.substr(0, wordEnd)) != name)
        return std::nullopt;
    // The value starts after the name and the one blank that follows it.
    const std::string value = text.size() > name.size() + 1 ? text.substr(name.size() + 1) : std::string();
    return cutAtLineBreak(value).substr(0, kMaxHeaderValueLength);
}

THttpClient::THttpClient(QObject *parent) : TPowersock(parent) {}

std::string BuildHttpRequest(const THttpTarget &target, const std::string &cookie)
{
    std::string request = "GET " + target.Path + " HTTP/1.0\r\n";
    request += "Host: " + target.Host + "\r\n";
    request += "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff\r\n";
    request += "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript\r\n";
    if (!cookie.empty())
        request += "Cookie: " + cookie + "\r\n";
    request += "Content-type: application/x-www-form-urlencoded\r\n";
    request += "\r\n";
    return request;
}

std::string RedirectUrl(const std::string &location, const THttpTarget &target)
{
    // The port is named too, else a server on another port than 80 would send the client to 80.
    if (location.find('/') != std::string::npos)
        return location;
    return "http://" + target.Host + (target.Port == 80 ? "" : ":" + std::to_string(target.Port)) + "/" + location;
}

void THttpClient::FetchUrl(const std::string &url)
{
    if (m_inputFileMode || m_outputFileMode)
        throw EHttpError("Only answers kept in memory are supported");

    m_cookie.clear();
    m_cookieHost.clear();
    StartDeadline();
    std::string next = url;
    for (int redirects = 0;; ++redirects) {
        ParseHttpUrl(next, m_target);
        try {
            Connect(m_target.Host, m_target.Port);
        } catch (const EHttpError &e) {
            // The first host's failed lookup keeps the component's own text; a host that only a
            // redirect named is named in the error, or the user could not tell which one failed.
            if (redirects == 0 || m_target.Host.empty() || std::strcmp(e.what(), kNullRemoteAddress) != 0)
                throw;
            throw EHttpError("cannot find host " + m_target.Host);
        }
        const bool cookieHost = toLower(m_target.Host) == m_cookieHost;
        SendAll(BuildHttpRequest(m_target, cookieHost ? m_cookie : std::string()));
        std::optional<std::string> cookie = readHeaderLines();
        m_body.clear();
        ReadToClose(m_body, m_maxBodySize);
        Close();

        if (m_statusCode < 300 || m_statusCode > 302)
            return;
        if (redirects == kMaxRedirects)
            throw EHttpError("The server redirected more than " + std::to_string(kMaxRedirects) + " times in a row");
        if (m_location.empty())
            throw EHttpError("The server redirected without naming a location");
        if (cookie) {
            m_cookie = *cookie;
            m_cookieHost = toLower(m_target.Host);
        }
        next = RedirectUrl(m_location, m_target);
    }
}

std::optional<std::string> THttpClient::readHeaderLines()
{
    m_header.clear();
    m_location.clear();
    m_statusCode = 0;
    std::optional<std::string> cookie;

    const std::string statusLine = ReadLine();
    if (statusLine.empty())
        return cookie;
    m_header = statusLine;
    m_statusCode = ParseStatusCode(statusLine);
    for (;;) {
        const std::string line = ReadLine();
        if (line.empty() || line == "\n" || line == "\r\n")
            return cookie;
        if (m_header.size() + line.size() > kMaxHeaderSize) {
            Close();
            throw EHttpError("The server's header is larger than " + std::to_string(kMaxHeaderSize) + " bytes");
        }
        m_header += line;
        if (std::optional<std::string> value = HeaderValue(line, "SET-COOKIE:"))
            cookie = std::move(value);
        else if (std::optional<std::string> location = HeaderValue(line, "LOCATION:"))
            m_location = std::move(*location);
    }
}
