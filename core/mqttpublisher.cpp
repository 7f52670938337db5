// SPDX-License-Identifier: MIT
// Topics, discovery documents and command rules for MQTT; see docs/mqtt.md. Router text is
// Latin-1 bytes: it reaches JSON through QString::fromLatin1, so every document is valid UTF-8.
#include "mqttpublisher.h"

#include "apperror.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <charconv>

namespace {

QString latin1(std::string_view Text)
{
    return QString::fromLatin1(Text.data(), qsizetype(Text.size()));
}

std::string compact(const QJsonObject &Object)
{
    return QJsonDocument(Object).toJson(QJsonDocument::Compact).toStdString();
}

TMqttEntity sensor(std::string Id, std::string Name, std::string State, std::string DeviceClass = {},
                   std::string StateClass = {}, std::string Unit = {})
{
    TMqttEntity e;
    e.ObjectId = std::move(Id);
    e.Name = std::move(Name);
    e.StateSuffix = std::move(State);
    e.DeviceClass = std::move(DeviceClass);
    e.StateClass = std::move(StateClass);
    e.Unit = std::move(Unit);
    return e;
}

std::vector<std::string> alertKindNames()
{
    std::vector<std::string> names;
    for (int k = 0; k < kAlertKindCount; ++k)
        names.emplace_back(AlertKindName(TAlertKind(k)));
    return names;
}

std::vector<TMqttEntity> makeEntities()
{
    std::vector<TMqttEntity> all;
    TMqttEntity connected = sensor("router_connected", "Router connected", "connected", "connectivity");
    connected.Component = TMqttComponent::BinarySensor;
    all.push_back(connected);
    TMqttEntity connection = sensor("connection_state", "Connection state", "connection", "enum");
    for (int s = 0; s < kConnectionStateCount; ++s)
        connection.Options.emplace_back(ConnectionStateText(TConnectionState(s)));
    all.push_back(connection);
    for (const char *b : {"b1", "b2"}) {
        const std::string id = b;
        const std::string name = id == "b1" ? "B1" : "B2";
        TMqttEntity inCall = sensor(id + "_in_call", name + " in a call", id + "/in_call", "running");
        inCall.Component = TMqttComponent::BinarySensor;
        all.push_back(inCall);
        TMqttEntity state = sensor(id + "_state", name + " state", id + "/state", "enum");
        for (int s = 0; s < kChannelStateCount; ++s)
            state.Options.emplace_back(ChannelStateText(TChannelState(s)));
        all.push_back(state);
        all.push_back(sensor(id + "_usage", name + " line usage", id + "/usage", {}, "measurement", "%"));
        all.push_back(sensor(id + "_speed", name + " speed", id + "/speed", "data_rate", "measurement", "kbit/s"));
        all.push_back(sensor(id + "_packets_sent", name + " packets sent", id + "/packets_sent", {}, "total_increasing",
                             "packets"));
        all.push_back(sensor(id + "_packets_received", name + " packets received", id + "/packets_received", {},
                             "total_increasing", "packets"));
        all.push_back(sensor(id + "_uptime", name + " call time", id + "/uptime", "duration", "measurement", "s"));
        all.push_back(sensor(id + "_address", name + " address", id + "/address"));
        all.push_back(sensor(id + "_caller_id", name + " caller ID", id + "/caller_id"));
    }
    TMqttEntity name = sensor("router_name", "Router name", "router/name");
    name.Diagnostic = true;
    all.push_back(name);
    TMqttEntity firmware = sensor("router_firmware", "Router firmware", "router/firmware");
    firmware.Diagnostic = true;
    all.push_back(firmware);
    all.push_back(
        sensor("today_connected", "Connected today", "today/connected_seconds", "duration", "total_increasing", "s"));
    all.push_back(
        sensor("today_outcall", "Outgoing calls today", "today/outcall_seconds", "duration", "total_increasing", "s"));
    all.push_back(sensor("last_caller", "Last caller", "last_caller"));
    TMqttEntity call = sensor("incoming_call", "Incoming call", "event/call");
    call.Component = TMqttComponent::Event;
    call.Options = {"incoming_call"};
    all.push_back(call);
    TMqttEntity alert = sensor("alert", "Alert", "event/alert");
    alert.Component = TMqttComponent::Event;
    alert.Options = alertKindNames();
    all.push_back(alert);
    const auto button = [](std::string Id, std::string Name) {
        TMqttEntity e;
        e.Component = TMqttComponent::Button;
        e.ObjectId = Id;
        e.Name = std::move(Name);
        e.CommandSuffix = "command/" + Id;
        return e;
    };
    all.push_back(button("drop_b1", "Drop B1"));
    all.push_back(button("drop_b2", "Drop B2"));
    all.push_back(button("drop_all", "Drop all"));
    all.push_back(button("reset_counters", "Reset counters"));
    TMqttEntity reconnect = button("connect", "Reconnect");
    reconnect.Component = TMqttComponent::Switch;
    reconnect.StateSuffix = "connected";
    all.push_back(reconnect);
    return all;
}

} // namespace

std::string_view MqttComponentName(TMqttComponent Component)
{
    switch (Component) {
    case TMqttComponent::Sensor:
        return "sensor";
    case TMqttComponent::BinarySensor:
        return "binary_sensor";
    case TMqttComponent::Button:
        return "button";
    case TMqttComponent::Switch:
        return "switch";
    case TMqttComponent::Event:
        return "event";
    }
    return "sensor";
}

const std::vector<TMqttEntity> &MqttEntities()
{
    static const std::vector<TMqttEntity> entities = makeEntities();
    return entities;
}

std::string MqttSlug(std::string_view Text)
{
    std::string slug;
    for (const char c : Text) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            slug += c;
        else if (c >= 'A' && c <= 'Z')
            slug += char(c - 'A' + 'a');
        else if (!slug.empty() && slug.back() != '_')
            slug += '_';
    }
    while (!slug.empty() && slug.back() == '_')
        slug.pop_back();
    // Long enough to tell routers apart, short enough for every topic and id.
    constexpr std::size_t kMaxSlug = 48;
    if (slug.size() > kMaxSlug)
        slug.resize(kMaxSlug);
    return slug.empty() ? "router" : slug;
}

TMqttIdentity MqttIdentity(const TMqttSettings &Settings, std::string_view Instance)
{
    TMqttIdentity id;
    const std::string slug = MqttSlug(Instance);
    id.Prefix = Settings.Prefix.empty() ? "linewatch/" + slug : Settings.Prefix;
    while (!id.Prefix.empty() && id.Prefix.back() == '/')
        id.Prefix.pop_back();
    id.NodeId = MqttSlug(id.Prefix);
    id.DiscoveryPrefix = Settings.DiscoveryPrefix.empty() ? "homeassistant" : Settings.DiscoveryPrefix;
    return id;
}

std::string MqttClientId(const TMqttSettings &Settings, std::string_view Instance)
{
    return Settings.ClientId.empty() ? "linewatch-" + MqttSlug(Instance) : Settings.ClientId;
}

std::string MqttDiscoveryTopic(const TMqttIdentity &Identity, const TMqttEntity &Entity)
{
    return Identity.DiscoveryPrefix + "/" + std::string(MqttComponentName(Entity.Component)) + "/" + Identity.NodeId +
           "/" + Entity.ObjectId + "/config";
}

std::string MqttDiscoveryPayload(const TMqttIdentity &Identity, const TMqttEntity &Entity)
{
    const QString topic = QString::fromStdString(Identity.Prefix + "/");
    QJsonObject o;
    o.insert(QStringLiteral("name"), QString::fromStdString(Entity.Name));
    o.insert(QStringLiteral("unique_id"), QString::fromStdString(Identity.NodeId + "_" + Entity.ObjectId));
    o.insert(QStringLiteral("availability_topic"), QString::fromStdString(Identity.AvailabilityTopic()));
    o.insert(QStringLiteral("payload_available"), QStringLiteral("online"));
    o.insert(QStringLiteral("payload_not_available"), QStringLiteral("offline"));
    if (!Entity.StateSuffix.empty())
        o.insert(QStringLiteral("state_topic"), topic + QString::fromStdString(Entity.StateSuffix));
    if (!Entity.CommandSuffix.empty())
        o.insert(QStringLiteral("command_topic"), topic + QString::fromStdString(Entity.CommandSuffix));
    if (!Entity.DeviceClass.empty())
        o.insert(QStringLiteral("device_class"), QString::fromStdString(Entity.DeviceClass));
    if (!Entity.StateClass.empty())
        o.insert(QStringLiteral("state_class"), QString::fromStdString(Entity.StateClass));
    if (!Entity.Unit.empty())
        o.insert(QStringLiteral("unit_of_measurement"), QString::fromStdString(Entity.Unit));
    if (Entity.Diagnostic)
        o.insert(QStringLiteral("entity_category"), QStringLiteral("diagnostic"));
    QJsonArray options;
    for (const std::string &option : Entity.Options)
        options.append(QString::fromStdString(option));
    switch (Entity.Component) {
    case TMqttComponent::Sensor:
        if (!Entity.Options.empty())
            o.insert(QStringLiteral("options"), options);
        break;
    case TMqttComponent::BinarySensor:
    case TMqttComponent::Switch:
        o.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
        o.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
        break;
    case TMqttComponent::Button:
        o.insert(QStringLiteral("payload_press"), QStringLiteral("PRESS"));
        break;
    case TMqttComponent::Event:
        o.insert(QStringLiteral("event_types"), options);
        break;
    }
    if (Entity.IsCommand())
        o.insert(QStringLiteral("qos"), 1);
    QJsonObject device;
    device.insert(QStringLiteral("identifiers"), QJsonArray{QString::fromStdString(Identity.NodeId)});
    device.insert(QStringLiteral("name"),
                  Identity.RouterName.empty() ? QStringLiteral("ISDN router") : latin1(Identity.RouterName));
    device.insert(QStringLiteral("model"), QStringLiteral("ISDN router"));
    if (!Identity.Firmware.empty())
        device.insert(QStringLiteral("sw_version"), latin1(Identity.Firmware));
    device.insert(QStringLiteral("via_device"), QString::fromStdString(Identity.NodeId + "_monitor"));
    o.insert(QStringLiteral("device"), device);
    QJsonObject origin;
    origin.insert(QStringLiteral("name"), QStringLiteral("linewatch"));
    origin.insert(QStringLiteral("sw_version"), QString::fromStdString(Identity.MonitorVersion));
    o.insert(QStringLiteral("origin"), origin);
    return compact(o);
}

TMqttFigures TMqttFigures::Of(const TMachineStatus &Status, const TMqttDayTotals &Day)
{
    return {Status.B1,
            Status.B2,
            Status.Connection,
            Status.RouterInfo,
            Status.CallerIds.empty() ? std::string_view() : Status.CallerIds.back().CLID,
            Day,
            Status.NowMs};
}

std::vector<std::pair<std::string, std::string>> MqttStateValues(const TMqttFigures &Status)
{
    const TMqttDayTotals &Day = Status.Day;
    std::vector<std::pair<std::string, std::string>> v;
    const auto onOff = [](bool On) { return std::string(On ? "ON" : "OFF"); };
    const auto text = [](std::string_view Text) { return latin1(Text).toStdString(); };
    v.emplace_back("connection", std::string(ConnectionStateText(Status.Connection)));
    v.emplace_back("connected", onOff(IsRouterConnected(Status.Connection)));
    for (const auto &[id, c] : {std::pair<std::string, const TChannelStatus *>{"b1", &Status.B1}, {"b2", &Status.B2}}) {
        const TChannelState state = ChannelState(*c);
        v.emplace_back(id + "/state", std::string(ChannelStateText(state)));
        v.emplace_back(id + "/in_call", onOff(state == TChannelState::Voice || state == TChannelState::Data));
        v.emplace_back(id + "/usage", std::to_string(c->CLU));
        v.emplace_back(id + "/speed", std::to_string(c->Speed));
        v.emplace_back(id + "/packets_sent", std::to_string(c->TX));
        v.emplace_back(id + "/packets_received", std::to_string(c->RX));
        v.emplace_back(id + "/uptime", std::to_string(DurationSeconds(c->UpTime).value_or(0)));
        v.emplace_back(id + "/address", text(c->IP));
        v.emplace_back(id + "/caller_id", text(c->CLID));
    }
    if (Status.Router) {
        v.emplace_back("router/name", text(Status.Router->Name));
        v.emplace_back("router/firmware", text(Status.Router->Firmware));
    }
    if (Day.Known) {
        v.emplace_back("today/connected_seconds", std::to_string(Day.ConnectedSeconds));
        v.emplace_back("today/outcall_seconds", std::to_string(Day.OutcallSeconds));
    }
    if (!Status.LastCaller.empty())
        v.emplace_back("last_caller", text(Status.LastCaller));
    return v;
}

std::string MqttCallEvent(int Channel, const std::string &Clid)
{
    QJsonObject o;
    o.insert(QStringLiteral("event_type"), QStringLiteral("incoming_call"));
    o.insert(QStringLiteral("channel"), Channel == 2 ? QStringLiteral("B2") : QStringLiteral("B1"));
    o.insert(QStringLiteral("caller"), latin1(Clid));
    return compact(o);
}

std::string MqttAlertEvent(TAlertKind Kind, const std::string &Title, const std::string &Text, int Channel)
{
    QJsonObject o;
    o.insert(QStringLiteral("event_type"), QString::fromLatin1(AlertKindName(Kind)));
    o.insert(QStringLiteral("title"), QString::fromStdString(Title));
    o.insert(QStringLiteral("text"), QString::fromStdString(Text));
    if (Channel == 1 || Channel == 2)
        o.insert(QStringLiteral("channel"), Channel == 2 ? QStringLiteral("B2") : QStringLiteral("B1"));
    return compact(o);
}

TMqttPace MqttTopicPace(std::string_view Suffix)
{
    const auto endsWith = [Suffix](std::string_view End) {
        return Suffix.size() >= End.size() && Suffix.substr(Suffix.size() - End.size()) == End;
    };
    if (endsWith("/usage"))
        return TMqttPace::Live;
    if (endsWith("/uptime") || endsWith("/packets_sent") || endsWith("/packets_received") ||
        Suffix.rfind("today/", 0) == 0)
        return TMqttPace::Slow;
    return TMqttPace::State;
}

int MqttTopicQos(std::string_view Suffix)
{
    return MqttTopicPace(Suffix) == TMqttPace::Live ? 0 : 1;
}

std::vector<std::pair<std::string, std::string>>
TMqttChangeFilter::Due(const std::vector<std::pair<std::string, std::string>> &Values, int64_t NowMs)
{
    const auto number = [](const std::string &Text) {
        int64_t n = 0;
        std::from_chars(Text.data(), Text.data() + Text.size(), n);
        return n;
    };
    std::vector<std::pair<std::string, std::string>> due;
    m_holding = false;
    for (const auto &[topic, payload] : Values) {
        auto found = m_sent.find(topic);
        if (found != m_sent.end()) {
            const TSent &sent = found->second;
            if (sent.Payload == payload)
                continue;
            int interval = MinIntervalMs;
            if (MqttTopicPace(topic) == TMqttPace::Slow) {
                const int64_t before = number(sent.Payload);
                if (before != 0 && number(payload) > before)
                    interval = SlowIntervalMs;
            }
            if (NowMs - sent.AtMs < interval) {
                m_holding = true;
                continue;
            }
        }
        m_sent[topic] = {payload, NowMs};
        due.emplace_back(topic, payload);
    }
    return due;
}

std::string TMqttCommands::tellOnce(std::string_view Command, std::string Text)
{
    if (m_told.size() >= kMaxToldTopics || m_told.count(Command))
        return {};
    m_told.emplace(Command);
    return Text;
}

TMqttCommands::TResult TMqttCommands::Handle(std::string_view Command, std::string_view Payload,
                                             const std::string &Sender, bool Allowed, bool RouterConnected,
                                             int64_t NowMs)
{
    struct TButton
    {
        std::string_view Name;
        TMqttAction Action;
    };
    static constexpr TButton kButtons[] = {{"drop_b1", TMqttAction::DropB1},
                                           {"drop_b2", TMqttAction::DropB2},
                                           {"drop_all", TMqttAction::DropAll},
                                           {"reset_counters", TMqttAction::ResetCounters}};
    const std::string quoted = "MQTT command '" + std::string(Command) + "'";
    TMqttAction action = TMqttAction::None;
    bool known = false;
    for (const TButton &b : kButtons) {
        if (Command == b.Name) {
            known = true;
            if (Payload == "PRESS")
                action = b.Action;
        }
    }
    if (Command == "connect") {
        known = true;
        // The window's Connect button: it connects when there is no connection and disconnects
        // when there is one, so ON and OFF act only when they would change something.
        if (Payload == "ON" || Payload == "OFF")
            action = (Payload == "ON") != RouterConnected
                         ? (Payload == "ON" ? TMqttAction::Connect : TMqttAction::Disconnect)
                         : TMqttAction::None;
    }
    if (!known)
        return {TMqttAction::None, tellOnce(Command, "ignored unknown " + quoted)};
    const bool documented = Payload == "PRESS" || Payload == "ON" || Payload == "OFF";
    if (action == TMqttAction::None && !documented)
        return {TMqttAction::None, tellOnce(Command, "ignored " + quoted + " with an undocumented payload")};
    const std::string who = " from " + (Sender.empty() ? std::string("a client the broker does not name") : Sender);
    if (!Allowed)
        return {TMqttAction::None, quoted + who + " ignored: [MQTT] AllowCommands is off"};
    if (action == TMqttAction::None)
        return {};
    if (!m_rate.Take(NowMs))
        return {TMqttAction::None, "MQTT commands arrive too fast; ignored " + quoted + who};
    return {action, quoted + who};
}

TMqttPublisher::TMqttPublisher(QObject *Parent) : QObject(Parent)
{
    Client.OnConnected = [this] { connected(); };
    Client.OnProblem = [this](const std::string &, const std::string &Text) { log(kLogError, Text); };
    Client.OnMessage = [this](const std::string &Topic, const std::string &Payload, const std::string &Sender) {
        message(Topic, Payload, Sender);
    };
}

TMqttPublisher::~TMqttPublisher()
{
    Stop();
}

bool TMqttPublisher::Start(const TMqttSettings &Settings, std::string_view Instance, std::string &Error,
                           const TMqttClient::TOptions &Timing)
{
    m_settings = Settings;
    m_identity = MqttIdentity(Settings, Instance);
    m_identity.MonitorVersion = MonitorVersion;
    TMqttClient::TOptions options = Timing;
    options.Host = Settings.Host;
    options.Port = Settings.Port;
    options.User = Settings.User;
    options.Password = Settings.Password;
    options.ClientId = MqttClientId(Settings, Instance);
    options.Tls = Settings.TLS;
    options.CaFile = Settings.CAFile;
    options.WillTopic = m_identity.AvailabilityTopic();
    options.WillPayload = "offline";
    return Client.Start(options, Error);
}

void TMqttPublisher::Stop()
{
    Client.Stop(m_identity.AvailabilityTopic(), "offline");
}

void TMqttPublisher::connected()
{
    log(kLogInfo, "connected to the MQTT broker as " + m_identity.Prefix);
    Client.Publish(m_identity.AvailabilityTopic(), "online", 1, true);
    Client.Subscribe(m_identity.Prefix + "/command/+", 1);
    announce();
    m_filter.Forget();
    publishStates(QDateTime::currentMSecsSinceEpoch());
}

void TMqttPublisher::announce()
{
    m_announcedName = m_identity.RouterName;
    m_announcedFirmware = m_identity.Firmware;
    // Discovery off, or commands off for a command entity: the retained document is cleared (an
    // empty retained message), so whatever an earlier run announced goes away.
    for (const TMqttEntity &entity : MqttEntities()) {
        const bool wanted = m_settings.Discovery && (!entity.IsCommand() || m_settings.AllowCommands);
        Client.Publish(MqttDiscoveryTopic(m_identity, entity), wanted ? MqttDiscoveryPayload(m_identity, entity) : "",
                       1, true);
    }
}

bool TMqttPublisher::seen(const TMqttFigures &Figures) const
{
    return m_seenKnown && Figures.B1 == m_seen.B1 && Figures.B2 == m_seen.B2 &&
           Figures.Connection == m_seen.Connection && Figures.Router == m_seen.Router &&
           Figures.LastCaller == m_seen.LastCaller && Figures.Day == m_seen.Day;
}

void TMqttPublisher::Tick(const TMqttFigures &Figures)
{
    Client.Housekeeping();
    if (seen(Figures) && !m_filter.Holding())
        return;
    m_seen = {Figures.B1, Figures.B2, Figures.Connection, Figures.Router, std::string(Figures.LastCaller), Figures.Day};
    m_seenKnown = true;
    if (Figures.Router) {
        m_identity.RouterName = Figures.Router->Name;
        m_identity.Firmware = Figures.Router->Firmware;
    }
    m_values = MqttStateValues(Figures);
    if (!Client.Connected())
        return;
    if (m_settings.Discovery &&
        (m_identity.RouterName != m_announcedName || m_identity.Firmware != m_announcedFirmware))
        announce();
    publishStates(Figures.NowMs ? Figures.NowMs : QDateTime::currentMSecsSinceEpoch());
}

void TMqttPublisher::publishStates(int64_t NowMs)
{
    const auto due = m_filter.Due(m_values, NowMs);
    if (due.empty())
        return;
    // One message needs no cork: two system calls a tick saved on a line in a call.
    const bool batch = due.size() > 1;
    if (batch)
        Client.Batch(true);
    for (const auto &[suffix, payload] : due)
        Client.Publish(m_identity.Prefix + "/" + suffix, payload, MqttTopicQos(suffix), m_settings.Retain);
    if (batch)
        Client.Batch(false);
}

void TMqttPublisher::IncomingCall(int Channel, const std::string &Clid)
{
    Client.Publish(m_identity.Prefix + "/event/call", MqttCallEvent(Channel, Clid), 1, false);
}

void TMqttPublisher::Alert(TAlertKind Kind, const std::string &Title, const std::string &Text, int Channel)
{
    Client.Publish(m_identity.Prefix + "/event/alert", MqttAlertEvent(Kind, Title, Text, Channel), 1, false);
}

void TMqttPublisher::message(const std::string &Topic, const std::string &Payload, const std::string &Sender)
{
    const std::string commands = m_identity.Prefix + "/command/";
    if (Topic.compare(0, commands.size(), commands) != 0)
        return;
    const bool routerConnected = RouterConnected && RouterConnected();
    const TMqttCommands::TResult result =
        m_commands.Handle(std::string_view(Topic).substr(commands.size()), Payload, Sender, m_settings.AllowCommands,
                          routerConnected, QDateTime::currentMSecsSinceEpoch());
    if (!result.Log.empty())
        log(result.Action == TMqttAction::None ? kLogWarning : kLogNotice, result.Log, true);
    if (result.Action != TMqttAction::None && Command)
        Command(result.Action, Sender);
}

void TMqttPublisher::log(int Priority, const std::string &Text, bool Stranger)
{
    if (Log)
        Log(Priority, Text, Stranger);
}
