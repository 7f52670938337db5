// The web status server: a listener that answers every "GET" word in the first data a browser
// sends with the status page or a 404 page, then closes the connection. Connections that send
// nothing are closed after an idle timeout so they cannot use up the process's descriptors.
#pragma once

#include "socketlayer.h"

#include <QObject>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class QTimer;

class TWebServer : public QObject
{
public:
    // A connection that has sent nothing for this long is closed.
    static constexpr int kIdleTimeoutMs = 30 * 1000;
    // Answers given for one read event at most: every answer is a whole page, so a request made of
    // thousands of "GET" words must not turn into hundreds of megabytes of output.
    static constexpr int kMaxAnswersPerRead = 32;

    explicit TWebServer(QObject *Parent = nullptr);
    ~TWebServer() override;

    TServerSocket WebServerSocket;

    // The status document for one request; the window builds the inputs and calls
    // BuildStatusPage, which counts the page. Unset: a page of the record's defaults.
    std::function<std::string()> StatusPage;
    // The whole answer for a path beside the status page (/status.json, /metrics), or nothing for
    // a path it does not serve, which then gets the 404 page. Unset: only the status page.
    std::function<std::optional<std::string>(std::string_view Path)> MachineAnswer;
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
    // and the path word after it give one answer (the status page or a 404 page), at most
    // kMaxAnswersPerRead, each handed to Send while Connected() holds.
    void AnswerRequest(std::string_view Request, const std::function<bool()> &Connected,
                       const std::function<void(const std::string &Answer)> &Send);

    // For tests: the idle timeout of connections accepted from now on.
    void SetIdleTimeout(int Milliseconds) { m_idleTimeoutMs = Milliseconds; }

private:
    void clientConnect(TCustomWinSocket *Socket);
    void forgetConnection(TCustomWinSocket *Socket);
    void closeIdle(TCustomWinSocket *Socket);
    void forgetAllConnections();
    std::string statusDocument();

    int m_idleTimeoutMs = kIdleTimeoutMs;
    int32_t m_fallbackPageHits = 0;
    // One idle timer per accepted connection that has not sent anything yet. Keys are only
    // compared, never dereferenced, until the listener confirms they are still its connections.
    std::map<TCustomWinSocket *, QTimer *> m_idleTimers;
};
