// SPDX-License-Identifier: MIT
// The web status server: a listener that answers every "GET" word in the first data a browser
// sends with the status page or a 404 page, then closes the connection. What one peer can hold is
// bounded: connections that send nothing are closed after a short time-out and beyond a count,
// answers stop piling up for a peer that does not read, an answer not taken is dropped, and
// answers that cost real work (the call history's) are paid from a budget shared by all peers.
#pragma once

#include "basicauth.h"
#include "eventstream.h"
#include "livepage.h"
#include "socketlayer.h"
#include "tokenbucket.h"
#include "webconfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

class TWebServer : public QObject
{
public:
    // A connection that has sent nothing for this long is closed. A browser sends its request
    // right after connecting (and any data at all ends the exchange), so this is the time-out for
    // the request's first word and can be short.
    static constexpr int kIdleTimeoutMs = 10 * 1000;
    // Answers given for one read event at most: every answer is a whole page, so a request made of
    // thousands of "GET" words must not turn into hundreds of megabytes of output.
    static constexpr int kMaxAnswersPerRead = 32;
    // The first answers of a read are always given (two requests in one read get two answers);
    // each further one only while less than kAnswerBacklogBytes of the answers so far wait for the
    // peer, so a client that sends many requests and reads nothing holds a few pages, not 32.
    static constexpr int kAnswersAlwaysGiven = 2;
    static constexpr std::size_t kAnswerBacklogBytes = 32 * 1024;
    // Connections waiting for their request at most; a newcomer beyond it closes the oldest.
    static constexpr int kMaxConnections = 512;
    // Our answers are a few pages at most: a peer that has not taken them this long after the
    // close loses them, and the descriptor and the kernel's buffers come back.
    static constexpr int kDrainTimeoutMs = 10 * 1000;
    // Answers that cost real work to make (see IsExpensive): one exchange gets at most one, and
    // over all connections they are paid from a bucket of bytes that refills at
    // kExpensiveBytesPerSecond up to kExpensiveBurstBytes, each answer charged at least
    // kExpensiveMinimumCharge so that small ones bound the work too. A request the bucket cannot
    // pay for gets 503 with Retry-After. What peers can make the monitor build is then a few
    // answers a second, and what they can pin here and in the kernel is at most the burst plus the
    // rate times the drain time-out, however many connect.
    static constexpr int64_t kExpensiveBurstBytes = 2 * 1024 * 1024;
    static constexpr int64_t kExpensiveBytesPerSecond = 1024 * 1024;
    static constexpr int64_t kExpensiveMinimumCharge = 16 * 1024;

    explicit TWebServer(QObject *Parent = nullptr);
    ~TWebServer() override;

    TServerSocket WebServerSocket;

    // The status document for one request; the window builds the inputs and calls
    // BuildStatusPage, which counts the page. Unset: a page of the record's defaults.
    std::function<std::string()> StatusPage;
    // The whole answer for a path beside the status page (/status.json, /metrics), or nothing for
    // a path it does not serve, which then gets the 404 page. Peer: the client's IPv4 address in
    // host order, 0 when unknown (some answers are for this machine alone). Unset: only the status
    // page.
    std::function<std::optional<std::string>(std::string_view Path, uint32_t Peer)> MachineAnswer;
    // Whether MachineAnswer's answer for Path costs real work (a database query); unset: none does.
    std::function<bool(std::string_view Path)> IsExpensive;
    // Whether MachineAnswer serves Path. A method word other than GET before such a path gets
    // HTTP's answer (HEAD: the headers alone; any other: 405); before any other path it is read
    // as a word like the rest, as the status page always had it. Unset: no path is.
    std::function<bool(std::string_view Path)> IsMachinePath;
    // The web configuration file's settings in force for the request being answered (called once
    // per read). Unset or nullptr: none, and the answers are exactly those of a server without one.
    // With basic_auth_users every path first needs valid credentials (otherwise 401 with
    // WWW-Authenticate); rate_limit is a token bucket over all requests (beyond it 429); the
    // configured headers go into every answer. With users each request's own header block is read,
    // up to its empty line, and a further request starts only after it; without, a configuration
    // that sets no headers and no limit changes no answer.
    std::function<const TWebConfig *()> WebConfig;
    // The live page's colours and call history for one request from Peer (the language comes from
    // the request); unset: the defaults.
    std::function<void(TLivePageInputs &Inputs, uint32_t Peer)> LivePageInputs;
    // The /events streams: a request for their path that passes the checks above keeps its
    // connection open as a stream.
    TEventStreams Streams;
    // The credential check, its cache and its per-address failure counts.
    TBasicAuth BasicAuth;
    // Writes the status bar's shared message panel (panel 0).
    std::function<void(const std::string &text)> SetStatusText;

    // The "Web Port:" check box changed: listen or stop listening. Returns whether the port edit
    // is enabled afterwards. When listening fails the error goes to the error report and the edit
    // stays enabled (the box stays checked while nothing listens).
    bool chkWebAdminClick(bool checked);
    // The port edit's text changed: converted and used the next time the server is switched on.
    // A text that is not a number is reported and the port keeps its value.
    void edtWebAdminPortChange(const std::string &text);

    void WebServerSocketClientRead(QObject *Sender, TCustomWinSocket *Socket);
    void WebServerSocketClientError(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode);

    // The paths answered with the status page, compared byte for byte.
    static bool IsStatusPath(std::string_view Path);

    // What the read handler does with the bytes of one read, without the socket: every "GET" word
    // and the path word after it give one answer (the status page or a 404 page), and so does
    // every other method word before a machine path (see IsMachinePath), at most
    // kMaxAnswersPerRead, each handed to Send while Connected() holds. Backlog, when set, gives
    // the bytes still waiting for the peer (see kAnswerBacklogBytes). Peer is the client's IPv4
    // address in host order (0: unknown): MachineAnswer gets it, and authentication failures are
    // counted per address. Returns true when the last answer began an event stream (see Streams):
    // the connection stays open and nothing further is answered on it.
    bool AnswerRequest(std::string_view Request, const std::function<bool()> &Connected,
                       const std::function<void(const std::string &Answer)> &Send,
                       const std::function<std::size_t()> &Backlog = {}, uint32_t Peer = 0);

    // For tests: the idle timeout of connections accepted from now on.
    void SetIdleTimeout(int Milliseconds) { m_idleTimeoutMs = Milliseconds; }
    // Expensive answers built, and expensive requests answered 503 for want of budget, so far.
    int64_t ExpensiveAnswers() const { return m_expensiveAnswers; }
    int64_t ExpensiveRefusals() const { return m_expensiveRefusals; }
    // Requests refused by the configuration's rate_limit so far.
    int64_t RateLimited() const { return m_rateLimited; }

private:
    struct TWaiting
    {
        TCustomWinSocket *Socket;
        qint64 Deadline;
    };

    void clientConnect(TCustomWinSocket *Socket);
    void forgetConnection(TCustomWinSocket *Socket);
    void closeWaiting(TCustomWinSocket *Socket);
    void closeExpired();
    void armTimeout();
    void forgetAllConnections();
    std::string statusDocument();
    bool expensiveTurn();
    static bool isMethodWord(std::string_view Word);
    std::optional<std::string> refusal(const TWebConfig &Config, std::string_view Headers, const std::string &Peer);
    bool rateTurn(const TWebRateLimit &Limit);

    TTokenBucket m_expensiveBudget{double(kExpensiveBurstBytes), double(kExpensiveBytesPerSecond)};
    int64_t m_expensiveAnswers = 0;
    int64_t m_expensiveRefusals = 0;

    // rate_limit's bucket, in requests; its rate follows the configuration in force.
    TTokenBucket m_rateBucket{0, 0};
    bool m_rateBucketUsed = false;
    int64_t m_rateLimited = 0;

    int m_idleTimeoutMs = kIdleTimeoutMs;
    int32_t m_fallbackPageHits = 0;
    // Accepted connections that have not sent anything yet, oldest first, with the time on
    // m_clock when they time out; one timer serves them all. The sockets are only compared, never
    // dereferenced, until the listener confirms they are still its connections.
    std::list<TWaiting> m_waiting;
    std::unordered_map<TCustomWinSocket *, std::list<TWaiting>::iterator> m_waitingIndex;
    QTimer m_timeout;
    QElapsedTimer m_clock;
};
