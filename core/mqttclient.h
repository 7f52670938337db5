// SPDX-License-Identifier: MIT
// TMqttClient: the Mosquitto client library driven from our own event loop. Its socket sits in the
// readiness set (read always, write while the library has bytes queued or a connect is under way),
// mosquitto_loop_misc runs on a coarse timer for the keep-alive, and the connect is
// non-blocking. A lost or refused connection is tried again on the router's back-off (1 to 60 s).
#pragma once

#include "readiness.h"
#include "reconnect.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <string>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
class QTimer;

class TMqttClient : public QObject, private TReadinessClient
{
public:
    struct TOptions
    {
        // A numeric IPv4 or IPv6 address ("localhost" counts as 127.0.0.1): the library resolves
        // names with a blocking getaddrinfo, which would stall the event loop.
        std::string Host;
        int Port = 1883;
        std::string User;
        std::string Password;
        std::string ClientId;
        bool Tls = false;
        std::string CaFile;
        // The last will: published by the broker when we vanish without a DISCONNECT.
        std::string WillTopic;
        std::string WillPayload;
        int KeepAliveSeconds = 60;
        // How long the broker may take to answer CONNECT before the attempt counts as failed.
        int ConnackTimeoutMs = 10 * 1000;
        // The back-off's base and cap (tests shorten them).
        int BackoffBaseMs = 1000;
        int BackoffMaxMs = 60 * 1000;
    };

    explicit TMqttClient(QObject *Parent = nullptr);
    ~TMqttClient() override;

    // Starts connecting; false with Error set when the options cannot work (such as a host name).
    bool Start(const TOptions &Options, std::string &Error);
    // Publishes PublishFirst (the retained "offline") when connected, then disconnects cleanly.
    void Stop(const std::string &Topic = {}, const std::string &Payload = {});
    bool Connected() const { return m_connected; }

    // False when not connected or the library refused it.
    bool Publish(const std::string &Topic, const std::string &Payload, int Qos, bool Retain);
    bool Subscribe(const std::string &Pattern, int Qos);
    // Between Batch(true) and Batch(false) publishes leave in as few TCP segments as fit (TCP_CORK),
    // so the broker's acknowledgements come back together: one wake-up a tick, not one a topic.
    void Batch(bool On);
    // For a caller that wakes once a second anyway: takes the keep-alive's look (a PINGREQ when
    // due; the end of a connection whose broker stopped answering) when one is due, and pushes
    // back the coarse timer that otherwise takes it, so an idle monitor wakes for nothing else.
    void Housekeeping();

    // The broker accepted us: subscribe and publish everything now.
    std::function<void()> OnConnected;
    std::function<void()> OnDisconnected;
    // A fault worth a log line; Kind groups repeats ("refused", "auth", "lost", "tls") so that each
    // is said once until a connection succeeds.
    std::function<void(const std::string &Kind, const std::string &Text)> OnProblem;
    // A message on a subscribed topic; Sender is the publisher's client id where the message
    // carries one (an MQTT 5 user property "client_id"), else "".
    std::function<void(const std::string &Topic, const std::string &Payload, const std::string &Sender)> OnMessage;

    // Milliseconds until the next attempt while one is waited for, -1 otherwise.
    int RetryInMs() const;

private:
    void ReadinessReport(bool Readable, bool Writable) override;
    void attempt();
    void watchSocket();
    void updateWrite();
    void keepAlive();
    void failed(const std::string &Kind, const std::string &Text);
    void dropConnection();
    void problem(const std::string &Kind, const std::string &Text);
    std::string tlsFailure() const;

    static void onConnect(mosquitto *M, void *Self, int Rc, int Flags, const mqtt5__property *Props);
    static void onDisconnect(mosquitto *M, void *Self, int Rc, const mqtt5__property *Props);
    static void onMessage(mosquitto *M, void *Self, const mosquitto_message *Message, const mqtt5__property *Props);

    TOptions m_options;
    mosquitto *m_mosq = nullptr;
    TReadinessWatch m_watch;
    int m_fd = -1;
    bool m_running = false;
    bool m_connected = false;
    // The broker answered CONNECT with a refusal: the connection's end that follows says no more.
    bool m_refused = false;
    QTimer *m_misc = nullptr;
    // Since the keep-alive's look was last taken, and how often Housekeeping takes it.
    QElapsedTimer m_looked;
    int m_lookMs = 20 * 1000;
    QTimer *m_retry = nullptr;
    QTimer *m_connack = nullptr;
    TBackoff m_backoff;
    // The kind of the last fault said, so a fault that repeats on every retry is said once.
    std::string m_lastProblem;
};
