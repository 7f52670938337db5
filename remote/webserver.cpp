// SPDX-License-Identifier: MIT
// The web status server; see webserver.h. One exchange per connection: the first read event is
// answered word by word and the connection is closed at its end, whatever happened.
#include "webserver.h"

#include "addressfilter.h"
#include "apperror.h"
#include "convert.h"
#include "statuspage.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <sys/socket.h>

TWebServer::TWebServer(QObject *Parent) : QObject(Parent)
{
    WebServerSocket.SetPort(80);
    // Browsers and monitoring scripts may open many connections at once; a short queue would turn
    // a burst into refused or seconds-late handshakes.
    WebServerSocket.SetBacklog(SOMAXCONN);
    WebServerSocket.SetLingerTimeout(kDrainTimeoutMs);
    WebServerSocket.OnClientRead = [this](QObject *Sender, TCustomWinSocket *Socket) {
        WebServerSocketClientRead(Sender, Socket);
    };
    WebServerSocket.OnClientError = [this](QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent,
                                           int &ErrorCode) {
        WebServerSocketClientError(Sender, Socket, ErrorEvent, ErrorCode);
    };
    // Bookkeeping for the idle timeout and the connection bound only; the exchange itself needs
    // no per-connection state.
    WebServerSocket.OnClientConnect = [this](QObject *, TCustomWinSocket *Socket) { clientConnect(Socket); };
    WebServerSocket.OnClientDisconnect = [this](QObject *, TCustomWinSocket *Socket) {
        forgetConnection(Socket);
        Streams.Forget(Socket);
    };
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] { closeExpired(); });
    m_clock.start();
}

TWebServer::~TWebServer()
{
    forgetAllConnections();
    Streams.ForgetAll();
}

bool TWebServer::chkWebAdminClick(bool checked)
{
    try {
        WebServerSocket.SetActive(checked);
    } catch (const std::exception &e) {
        // Listening failed: the port edit keeps the state it had while the box was unchecked.
        ReportException(e);
        return true;
    }
    if (!checked) {
        // Closed by the listener without disconnect events.
        forgetAllConnections();
        Streams.ForgetAll();
    }
    return !checked;
}

void TWebServer::edtWebAdminPortChange(const std::string &text)
{
    Guarded([&] { WebServerSocket.SetPort(StrToInt(text)); });
}

bool TWebServer::IsStatusPath(std::string_view Path)
{
    return Path == "/" || Path == "/index.html" || Path == "/index.htm";
}

std::string TWebServer::statusDocument()
{
    if (StatusPage)
        return StatusPage();
    return BuildStatusPage(TStatusPageInputs{}, m_fallbackPageHits);
}

void TWebServer::WebServerSocketClientRead(QObject *, TCustomWinSocket *Socket)
{
    forgetConnection(Socket);
    if (Streams.Holds(Socket)) {
        // A stream's reader has nothing more to say; what it sends is read and dropped.
        Guarded([&] { Socket->ReceivePending(); });
        return;
    }
    Guarded([&] {
        const uint32_t peer = PeerOf(Socket);
        bool stream = false;
        try {
            stream = AnswerRequest(
                Socket->ReceivePending(), [Socket] { return Socket->Connected(); },
                [Socket](const std::string &Answer) { Socket->SendString(Answer); },
                [Socket] { return Socket->OutputBacklog(); }, peer);
        } catch (...) {
            Socket->CloseConnection();
            throw;
        }
        if (stream && Socket->Connected()) {
            Streams.Attach(Socket, peer);
            return;
        }
        // Unsent bytes of the answers are still delivered before the close (the socket layer
        // drains them), so a page of any size arrives whole.
        Socket->CloseConnection();
    });
}

bool TWebServer::AnswerRequest(std::string_view Request, const std::function<bool()> &Connected,
                               const std::function<void(const std::string &Answer)> &Send,
                               const std::function<std::size_t()> &Backlog, uint32_t Peer)
{
    // Authentication failures are counted per address, by its text.
    const std::string peerText = Peer != 0 ? IPv4Text(Peer) : std::string();
    const TWebConfig *config = WebConfig ? WebConfig() : nullptr;
    std::string extraHeaders;
    if (config)
        for (const auto &[name, value] : config->Headers)
            extraHeaders += name + ": " + value + "\r\n";
    // Every answer goes out through here: the configured headers follow its status line.
    const auto deliver = [&Send, &extraHeaders](const std::string &Answer) {
        const std::size_t line = Answer.find("\r\n");
        if (extraHeaders.empty() || line == std::string::npos)
            return Send(Answer);
        std::string answer = Answer;
        answer.insert(line + 2, extraHeaders);
        Send(answer);
    };
    std::string_view rest = Request;
    int answers = 0;
    bool expensiveGiven = false;
    // Only the method word matters: versions, headers and bodies are read as words and dropped,
    // except that every further "GET" starts another answer.
    while (!rest.empty() && answers < kMaxAnswersPerRead && Connected()) {
        const std::string_view method = ExtractWord(rest);
        std::string_view path;
        bool head = false;
        if (method == "GET") {
            path = ExtractWord(rest);
        } else {
            // Another method counts only before a machine path; otherwise the path stays a word
            // of its own (it may be a "GET").
            std::string_view after = rest;
            path = ExtractWord(after);
            if (!isMethodWord(method) || !IsMachinePath || !IsMachinePath(path))
                continue;
            rest = after;
            head = method == "HEAD";
        }
        if (answers >= kAnswersAlwaysGiven && Backlog && Backlog() >= kAnswerBacklogBytes)
            break;
        ++answers;
        // HEAD: the GET answer's headers, Content-Length included, without its body.
        const auto send = [&deliver, head](const std::string &Answer) {
            if (!head)
                return deliver(Answer);
            const size_t end = Answer.find("\r\n\r\n");
            deliver(end == std::string::npos ? Answer : Answer.substr(0, end + 4));
        };
        // With users, this request's header block, up to its empty line: its Authorization line is
        // its own. Without, the words are read as they always were.
        std::string_view headers;
        bool headersTaken = false;
        if (config) {
            if (!config->Users.empty()) {
                headersTaken = true;
                const std::size_t crlf = rest.find("\r\n\r\n"), lf = rest.find("\n\n");
                const std::size_t end = std::min(crlf, lf);
                headers = rest.substr(0, end);
                rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + (end == crlf ? 4 : 2));
            }
            if (const std::optional<std::string> refused = refusal(*config, headers, peerText)) {
                send(*refused);
                continue;
            }
        }
        if (method == "GET" && TEventStreams::IsStreamPath(path)) {
            deliver(TEventStreams::Headers());
            return true;
        }
        if (method == "GET" && IsLivePath(path)) {
            TLivePageInputs inputs;
            if (LivePageInputs)
                LivePageInputs(inputs, Peer);
            // The language is the one header the page reads, from this request's block.
            if (!headersTaken)
                headers = rest.substr(0, std::min(rest.find("\r\n\r\n"), rest.find("\n\n")));
            inputs.AcceptLanguage = RequestHeader(headers, "Accept-Language");
            deliver(*LivePageAnswer(path, inputs));
            continue;
        }
        if (method != "GET" && !head) {
            deliver(HttpAnswer(THttpStatus::MethodNotAllowed, "text/plain; charset=utf-8",
                               "405 Method Not Allowed: " + std::string(path) + " takes GET and HEAD\n",
                               "Allow: GET, HEAD\r\n"));
            continue;
        }
        if (IsStatusPath(path)) {
            deliver(HttpAnswer(THttpStatus::Ok, statusDocument()));
            continue;
        }
        const bool expensive = MachineAnswer && IsExpensive && IsExpensive(path);
        if (expensive) {
            // A second expensive request in one exchange ends it: a client that wants more asks
            // again on another connection, and pays from the shared budget again.
            if (std::exchange(expensiveGiven, true))
                break;
            if (!expensiveTurn()) {
                ++m_expensiveRefusals;
                send(HttpAnswer(THttpStatus::ServiceUnavailable, "application/json",
                                R"({"error":"busy: too many expensive answers at once, try again shortly"})",
                                "Retry-After: 1\r\n"));
                continue;
            }
        }
        std::optional<std::string> machine = MachineAnswer ? MachineAnswer(path, Peer) : std::nullopt;
        if (expensive) {
            ++m_expensiveAnswers;
            m_expensiveBudget.Charge(
                double(std::max<int64_t>(kExpensiveMinimumCharge, machine ? int64_t(machine->size()) : 0)));
        }
        if (machine)
            send(*machine);
        else
            deliver(HttpAnswer(THttpStatus::NotFound, BuildNotFoundPage(std::string(path))));
    }
    return false;
}

std::optional<std::string> TWebServer::refusal(const TWebConfig &Config, std::string_view Headers,
                                               const std::string &Peer)
{
    // As the exporter toolkit orders it: the rate limit first, so that refused guesses cost no bcrypt.
    if (Config.RateLimit && !rateTurn(*Config.RateLimit)) {
        ++m_rateLimited;
        const int64_t seconds = std::max<int64_t>(1, (Config.RateLimit->IntervalMs + 999) / 1000);
        return HttpAnswer(THttpStatus::TooManyRequests, "text/plain; charset=utf-8", "429 Too Many Requests\n",
                          "Retry-After: " + std::to_string(seconds) + "\r\n");
    }
    if (Config.Users.empty())
        return std::nullopt;
    const int64_t now = m_clock.elapsed();
    switch (BasicAuth.Check(Config.Users, Headers, Peer, now)) {
    case TBasicAuth::TVerdict::Allowed:
        return std::nullopt;
    case TBasicAuth::TVerdict::TooManyFailures:
        return HttpAnswer(THttpStatus::TooManyRequests, "text/plain; charset=utf-8",
                          "429 Too Many Requests: too many failed logins, try again later\n",
                          "Retry-After: " + std::to_string(BasicAuth.RetryAfterSeconds(Peer, now)) + "\r\n");
    case TBasicAuth::TVerdict::NoCredentials:
    case TBasicAuth::TVerdict::Denied:
        break;
    }
    return HttpAnswer(THttpStatus::Unauthorized, "text/plain; charset=utf-8", "401 Unauthorized\n",
                      "WWW-Authenticate: Basic realm=\"linewatch\"\r\n");
}

bool TWebServer::rateTurn(const TWebRateLimit &Limit)
{
    const double perSecond = 1000.0 / double(Limit.IntervalMs);
    if (!std::exchange(m_rateBucketUsed, true))
        m_rateBucket = TTokenBucket(Limit.Burst, perSecond);
    else
        m_rateBucket.SetRate(Limit.Burst, perSecond);
    return m_rateBucket.Take(m_clock.elapsed());
}

bool TWebServer::isMethodWord(std::string_view Word)
{
    // HTTP's methods are case-sensitive tokens, upper case for all in use; a header name ends in
    // a colon and a version has digits, so neither is taken for one.
    return !Word.empty() && std::all_of(Word.begin(), Word.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

bool TWebServer::expensiveTurn()
{
    // Positive is enough: the answer may overdraw by its own size, which the next ones wait for.
    return m_expensiveBudget.Available(m_clock.elapsed()) > 0;
}

void TWebServer::WebServerSocketClientError(QObject *, TCustomWinSocket *, TErrorEvent, int &ErrorCode)
{
    // ErrorCode stays as it is: the socket layer reports the error itself afterwards.
    Guarded([&] {
        if (SetStatusText)
            SetStatusText("HTTP Server Error: " + std::to_string(ErrorCode));
    });
}

void TWebServer::clientConnect(TCustomWinSocket *Socket)
{
    // A socket still listed belongs to a connection that went away without an event.
    forgetConnection(Socket);
    while (static_cast<int>(m_waiting.size()) >= kMaxConnections)
        closeWaiting(m_waiting.front().Socket);
    m_waiting.push_back({Socket, m_clock.elapsed() + m_idleTimeoutMs});
    m_waitingIndex[Socket] = std::prev(m_waiting.end());
    if (!m_timeout.isActive())
        armTimeout();
}

void TWebServer::forgetConnection(TCustomWinSocket *Socket)
{
    const auto found = m_waitingIndex.find(Socket);
    if (found == m_waitingIndex.end())
        return;
    m_waiting.erase(found->second);
    m_waitingIndex.erase(found);
    if (m_waiting.empty())
        m_timeout.stop();
}

void TWebServer::forgetAllConnections()
{
    m_waiting.clear();
    m_waitingIndex.clear();
    m_timeout.stop();
}

void TWebServer::armTimeout()
{
    if (m_waiting.empty())
        return;
    // The list is in order of acceptance; the time-out of tests may differ between entries.
    const auto first = std::min_element(m_waiting.begin(), m_waiting.end(),
                                        [](const TWaiting &a, const TWaiting &b) { return a.Deadline < b.Deadline; });
    m_timeout.start(static_cast<int>(std::max<qint64>(0, first->Deadline - m_clock.elapsed())));
}

void TWebServer::closeExpired()
{
    const qint64 now = m_clock.elapsed();
    std::vector<TCustomWinSocket *> expired;
    for (const TWaiting &waiting : m_waiting)
        if (waiting.Deadline <= now)
            expired.push_back(waiting.Socket);
    for (TCustomWinSocket *socket : expired)
        closeWaiting(socket);
    armTimeout();
}

void TWebServer::closeWaiting(TCustomWinSocket *Socket)
{
    forgetConnection(Socket);
    Guarded([&] {
        TServerWinSocket *listener = WebServerSocket.Socket();
        for (int k = 0; k < listener->ActiveConnections(); ++k) {
            TServerClientWinSocket *connection = listener->ClientConnections(k);
            if (connection == Socket) {
                connection->CloseConnection();
                return;
            }
        }
    });
}
