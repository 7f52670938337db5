// SPDX-License-Identifier: MIT
// The library's callbacks run inside mosquitto_loop_read/write/misc, on our thread. They only note
// what happened; the handler that called into the library acts on it afterwards, since a
// mosquitto handle must not be destroyed from inside its own callback.
#include "mqttclient.h"

#include <QTimer>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

bool numericAddress(const std::string &Host)
{
    in6_addr v6{};
    in_addr v4{};
    return ::inet_pton(AF_INET, Host.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, Host.c_str(), &v6) == 1;
}

// The CONNACK reason codes of MQTT 5 and 3.1.1 that mean the credentials are wrong.
bool credentialsRefused(int Rc)
{
    return Rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || Rc == MQTT_RC_NOT_AUTHORIZED || Rc == 4 || Rc == 5;
}

} // namespace

TMqttClient::TMqttClient(QObject *Parent) : QObject(Parent)
{
    static const bool initialised = (mosquitto_lib_init(), true);
    (void)initialised;
    m_misc = new QTimer(this);
    // A coarse look at a third of the keep-alive (set by Start) is plenty: the PINGREQ leaves
    // between one and 1 1/3 keep-alives after our last message, well inside the 1 1/2 the broker
    // waits. Each look of this timer is a wake-up of an otherwise idle monitor, so a caller that
    // ticks takes the looks (Housekeeping) and the timer, a little slower, only stands in when the
    // ticks stop.
    m_misc->setTimerType(Qt::VeryCoarseTimer);
    connect(m_misc, &QTimer::timeout, this, [this] { keepAlive(); });
    m_looked.start();
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [this] { attempt(); });
    m_connack = new QTimer(this);
    m_connack->setSingleShot(true);
    connect(m_connack, &QTimer::timeout, this,
            [this] { failed("silent", "the MQTT broker accepted the connection but never answered"); });
}

TMqttClient::~TMqttClient()
{
    m_running = false;
    dropConnection();
}

bool TMqttClient::Start(const TOptions &Options, std::string &Error)
{
    Stop();
    m_options = Options;
    if (m_options.Host == "localhost")
        m_options.Host = "127.0.0.1";
    if (!numericAddress(m_options.Host)) {
        Error = "MQTT Host '" + Options.Host + "' is no IP address (names are not looked up)";
        return false;
    }
    if (m_options.Port < 1 || m_options.Port > 65535) {
        Error = "MQTT Port " + std::to_string(Options.Port) + " is out of range";
        return false;
    }
    m_backoff.BaseMs = Options.BackoffBaseMs;
    m_backoff.MaxMs = Options.BackoffMaxMs;
    m_backoff.Reset();
    m_lastProblem.clear();
    m_connack->setInterval(Options.ConnackTimeoutMs);
    m_lookMs = std::max(1, Options.KeepAliveSeconds / 3) * 1000;
    m_misc->setInterval(m_lookMs + m_lookMs / 4);
    m_running = true;
    attempt();
    return true;
}

void TMqttClient::Stop(const std::string &Topic, const std::string &Payload)
{
    m_running = false;
    m_retry->stop();
    if (m_mosq && m_connected) {
        if (!Topic.empty())
            mosquitto_publish(m_mosq, nullptr, Topic.c_str(), int(Payload.size()), Payload.data(), 1, true);
        // Written at once (we are outside any callback), so the broker drops the will.
        mosquitto_disconnect(m_mosq);
    }
    dropConnection();
}

int TMqttClient::RetryInMs() const
{
    return m_retry->isActive() ? m_retry->remainingTime() : -1;
}

void TMqttClient::attempt()
{
    if (!m_running)
        return;
    dropConnection();
    m_refused = false;
    m_mosq = mosquitto_new(m_options.ClientId.empty() ? nullptr : m_options.ClientId.c_str(), true, this);
    if (!m_mosq) {
        failed("setup", std::string("cannot set up the MQTT client: ") + std::strerror(errno));
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Small messages at once: a figure should not wait for Nagle's delayed acknowledgement.
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(m_mosq, &TMqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(m_mosq, &TMqttClient::onDisconnect);
    mosquitto_message_v5_callback_set(m_mosq, &TMqttClient::onMessage);
    if (!m_options.WillTopic.empty())
        mosquitto_will_set(m_mosq, m_options.WillTopic.c_str(), int(m_options.WillPayload.size()),
                           m_options.WillPayload.data(), 1, true);
    if (!m_options.User.empty())
        mosquitto_username_pw_set(m_mosq, m_options.User.c_str(),
                                  m_options.Password.empty() ? nullptr : m_options.Password.c_str());
    if (m_options.Tls) {
        const int rc =
            mosquitto_tls_set(m_mosq, m_options.CaFile.empty() ? nullptr : m_options.CaFile.c_str(),
                              m_options.CaFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            failed("cafile", "MQTT TLS cannot use CAFile '" + m_options.CaFile + "': " + mosquitto_strerror(rc));
            return;
        }
    }
    const int rc = mosquitto_connect_bind_async(m_mosq, m_options.Host.c_str(), m_options.Port,
                                                m_options.KeepAliveSeconds, nullptr);
    if (rc == MOSQ_ERR_TLS) {
        failed("tls", tlsFailure());
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        failed("refused", "cannot connect to the MQTT broker at " + m_options.Host + ":" +
                              std::to_string(m_options.Port) + ": " +
                              (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
        return;
    }
    watchSocket();
    m_connack->start();
}

void TMqttClient::watchSocket()
{
    const int fd = m_mosq ? mosquitto_socket(m_mosq) : -1;
    if (fd != m_fd) {
        m_watch.Detach();
        m_fd = fd;
        if (fd >= 0) {
            m_watch.Attach(fd, this);
            m_watch.SetRead(true);
        }
    }
    updateWrite();
}

void TMqttClient::updateWrite()
{
    if (m_fd >= 0)
        m_watch.SetWrite(mosquitto_want_write(m_mosq));
}

void TMqttClient::ReadinessReport(bool Readable, bool Writable)
{
    if (!m_mosq)
        return;
    int rc = MOSQ_ERR_SUCCESS;
    // One packet per report: a flood on a subscribed topic cannot hold the loop, and the
    // level-triggered set brings us back for the rest.
    if (Readable)
        rc = mosquitto_loop_read(m_mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && Writable && m_mosq && m_fd >= 0)
        rc = mosquitto_loop_write(m_mosq, 1);
    if (m_fd < 0 || rc != MOSQ_ERR_SUCCESS || m_refused) {
        // The disconnect callback has run, or the library gave up without it.
        if (m_refused)
            failed("auth", {});
        else if (rc == MOSQ_ERR_TLS && !m_connected)
            failed("tls", tlsFailure());
        else if (m_fd >= 0 || !m_retry->isActive())
            failed(m_connected ? "lost" : "refused",
                   std::string(m_connected ? "the connection to the MQTT broker was lost: "
                                           : "cannot connect to the MQTT broker: ") +
                       (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
        return;
    }
    watchSocket();
}

std::string TMqttClient::tlsFailure() const
{
    // The library says only "A TLS error occurred"; the usual causes are the user's to fix.
    const std::string ca = m_options.CaFile.empty() ? std::string("the system's certificate authorities")
                                                    : "[MQTT] CAFile '" + m_options.CaFile + "'";
    return "the TLS handshake with the MQTT broker at " + m_options.Host + ":" + std::to_string(m_options.Port) +
           " failed: its certificate is not signed by " + ca + ", does not name " + m_options.Host +
           ", or the port does not speak TLS";
}

void TMqttClient::failed(const std::string &Kind, const std::string &Text)
{
    const bool wasConnected = m_connected;
    if (!Text.empty())
        problem(Kind, Text);
    dropConnection();
    if (wasConnected && OnDisconnected)
        OnDisconnected();
    if (m_running && !m_retry->isActive())
        m_retry->start(m_backoff.NextDelayMs());
}

void TMqttClient::dropConnection()
{
    m_connack->stop();
    m_misc->stop();
    m_watch.Detach();
    m_fd = -1;
    m_connected = false;
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
}

void TMqttClient::problem(const std::string &Kind, const std::string &Text)
{
    if (Kind == m_lastProblem)
        return;
    m_lastProblem = Kind;
    if (OnProblem)
        OnProblem(Kind, Text);
}

bool TMqttClient::Publish(const std::string &Topic, const std::string &Payload, int Qos, bool Retain)
{
    if (!m_mosq || !m_connected)
        return false;
    const bool ok = mosquitto_publish(m_mosq, nullptr, Topic.c_str(), int(Payload.size()), Payload.data(), Qos,
                                      Retain) == MOSQ_ERR_SUCCESS;
    updateWrite();
    return ok;
}

void TMqttClient::Batch(bool On)
{
    if (m_fd < 0)
        return;
    const int on = On ? 1 : 0;
    (void)::setsockopt(m_fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

bool TMqttClient::Subscribe(const std::string &Pattern, int Qos)
{
    if (!m_mosq || !m_connected)
        return false;
    const bool ok = mosquitto_subscribe(m_mosq, nullptr, Pattern.c_str(), Qos) == MOSQ_ERR_SUCCESS;
    updateWrite();
    return ok;
}

void TMqttClient::keepAlive()
{
    m_looked.start();
    if (!m_mosq || m_fd < 0)
        return;
    // A PINGREQ when due, and the end of a connection whose broker stopped answering them.
    const int rc = mosquitto_loop_misc(m_mosq);
    if (rc != MOSQ_ERR_SUCCESS && m_fd >= 0)
        failed("lost", std::string("the MQTT broker stopped answering: ") + mosquitto_strerror(rc));
    else
        updateWrite();
}

void TMqttClient::Housekeeping()
{
    if (!m_connected || m_looked.elapsed() < m_lookMs)
        return;
    m_misc->start();
    keepAlive();
}

void TMqttClient::onConnect(mosquitto *, void *Self, int Rc, int, const mqtt5__property *)
{
    auto *self = static_cast<TMqttClient *>(Self);
    self->m_connack->stop();
    if (Rc != 0) {
        // Said once, then retried on the back-off: the broker's password file may be fixed
        // meanwhile. The library ends the connection after this callback.
        const std::string why = credentialsRefused(Rc) ? "the MQTT broker refused the user name or password"
                                                       : std::string("the MQTT broker refused the connection: ") +
                                                             mosquitto_reason_string(Rc);
        self->problem(credentialsRefused(Rc) ? "auth" : "connack", why);
        self->m_refused = true;
        return;
    }
    self->m_connected = true;
    self->m_backoff.Reset();
    self->m_lastProblem.clear();
    self->m_misc->start();
    if (self->OnConnected)
        self->OnConnected();
}

void TMqttClient::onDisconnect(mosquitto *, void *Self, int, const mqtt5__property *)
{
    // The library closes the socket after this returns: out of the readiness set first.
    auto *self = static_cast<TMqttClient *>(Self);
    self->m_watch.Detach();
    self->m_fd = -1;
}

void TMqttClient::onMessage(mosquitto *, void *Self, const mosquitto_message *Message, const mqtt5__property *Props)
{
    auto *self = static_cast<TMqttClient *>(Self);
    if (!self->OnMessage || !Message || !Message->topic)
        return;
    std::string sender;
    char *name = nullptr;
    char *value = nullptr;
    for (const mosquitto_property *p =
             mosquitto_property_read_string_pair(Props, MQTT_PROP_USER_PROPERTY, &name, &value, false);
         p; p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, true)) {
        if (sender.empty() && name && value && std::strcmp(name, "client_id") == 0)
            sender = value;
        std::free(name);
        std::free(value);
        name = value = nullptr;
    }
    const std::string payload(static_cast<const char *>(Message->payload),
                              Message->payload ? std::size_t(Message->payloadlen) : 0);
    self->OnMessage(Message->topic, payload, sender);
}
