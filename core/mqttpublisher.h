// SPDX-License-Identifier: MIT
// The monitor over MQTT: which topics carry which figure, Home Assistant's discovery documents,
// publishing on change at most once a second per topic, and the opt-in commands. The documents
// and the command rules are plain functions and small classes without sockets; TMqttPublisher
// puts them on a TMqttClient. Topics and payloads are described in docs/mqtt.md.
#pragma once

#include "mqttclient.h"
#include "reconnect.h"
#include "settings.h"
#include "statusjson.h"
#include "tokenbucket.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Home Assistant's MQTT platforms we announce.
enum class TMqttComponent { Sensor, BinarySensor, Button, Switch, Event };
std::string_view MqttComponentName(TMqttComponent Component);

// One entity of the discovery: its object id, name, topics (suffixes below the prefix) and the
// documented keys that apply to it.
struct TMqttEntity
{
    TMqttComponent Component = TMqttComponent::Sensor;
    std::string ObjectId;
    std::string Name;
    std::string StateSuffix;   // empty for buttons
    std::string CommandSuffix; // buttons and the switch
    std::string DeviceClass;
    std::string StateClass;
    std::string Unit;
    std::vector<std::string> Options; // an enum sensor's states, an event's types
    bool Diagnostic = false;
    // Announced only with AllowCommands=1; cleared otherwise.
    bool IsCommand() const { return !CommandSuffix.empty(); }
};
const std::vector<TMqttEntity> &MqttEntities();

// Who we are on the broker: the topic prefix, Home Assistant's node id and the device block.
struct TMqttIdentity
{
    std::string Prefix;          // "linewatch/<node>", no trailing "/"
    std::string NodeId;          // the prefix as a slug ("linewatch_<node>"): only [a-z0-9_]
    std::string DiscoveryPrefix; // "homeassistant"
    std::string RouterName;      // router text (Latin-1); empty until a status screen named it
    std::string Firmware;
    std::string MonitorVersion;
    std::string AvailabilityTopic() const { return Prefix + "/availability"; }
};
// Text cut to what every topic level and Home Assistant's ids accept: lower-case letters, digits
// and "_" ("192.168.0.1" gives "192_168_0_1"); "router" for nothing left.
std::string MqttSlug(std::string_view Text);
// The identity for the [MQTT] settings and the instance (the router's address): an empty Prefix
// becomes "linewatch/<slug of Instance>".
TMqttIdentity MqttIdentity(const TMqttSettings &Settings, std::string_view Instance);
// An empty ClientId becomes "linewatch-<slug of Instance>".
std::string MqttClientId(const TMqttSettings &Settings, std::string_view Instance);

// "<DiscoveryPrefix>/<component>/<node id>/<object id>/config".
std::string MqttDiscoveryTopic(const TMqttIdentity &Identity, const TMqttEntity &Entity);
// The entity's discovery document: one JSON object (see docs/mqtt.md for its keys).
std::string MqttDiscoveryPayload(const TMqttIdentity &Identity, const TMqttEntity &Entity);

// The day's totals from the call history, summed over both channels; unknown while it is off.
struct TMqttDayTotals
{
    bool Known = false;
    std::string Day;
    int64_t ConnectedSeconds = 0;
    int64_t OutcallSeconds = 0;
    bool operator==(const TMqttDayTotals &) const = default;
};
// What the state topics are made of, read in place from the monitor's own state each tick.
struct TMqttFigures
{
    const TChannelStatus &B1;
    const TChannelStatus &B2;
    TConnectionState Connection;
    const std::optional<TRouterInfo> &Router;
    std::string_view LastCaller; // the newest caller ID logged, "" when none
    const TMqttDayTotals &Day;
    int64_t NowMs;
    // The figures of a machine status snapshot (its newest CallerIds entry is the last caller).
    static TMqttFigures Of(const TMachineStatus &Status, const TMqttDayTotals &Day);
};
// Every state topic (suffix) and its payload, in a fixed order.
std::vector<std::pair<std::string, std::string>> MqttStateValues(const TMqttFigures &Figures);
inline std::vector<std::pair<std::string, std::string>> MqttStateValues(const TMachineStatus &Status,
                                                                        const TMqttDayTotals &Day)
{
    return MqttStateValues(TMqttFigures::Of(Status, Day));
}
// The event documents for an incoming call and an alert (Home Assistant's event platform reads
// "event_type").
std::string MqttCallEvent(int Channel, const std::string &Clid);
std::string MqttAlertEvent(TAlertKind Kind, const std::string &Title, const std::string &Text, int Channel);

// How a state topic is paced. Every QoS 1 publish costs a broker acknowledgement and so a wake-up;
// on a line in a call a dozen figures move every second, which would double an idle monitor's CPU.
//  - State: what a dashboard reacts to (connection, channel state, caller IDs, address, speed):
//    QoS 1, on change, at most once a second.
//  - Live: the line usage, the one figure meant to move on a dashboard each second: QoS 0, as a
//    value lost in transit is replaced a second later (Home Assistant subscribes at QoS 0 anyway).
//  - Slow: figures that grow with the clock or the traffic (call times, packet counters, the
//    day's seconds): QoS 1, growth at most once a minute; a fall (a call ended, counters reset)
//    and the first growth from 0 (a call began) go out at once.
enum class TMqttPace { State, Live, Slow };
TMqttPace MqttTopicPace(std::string_view Suffix);
int MqttTopicQos(std::string_view Suffix);

// Publishing on change: a topic goes out when its payload differs from the one last sent, and at
// most once per MinIntervalMs (SlowIntervalMs for a Slow topic's growth); a change held back goes
// out at the first call after that.
class TMqttChangeFilter
{
public:
    int MinIntervalMs = 1000;
    int SlowIntervalMs = 60 * 1000;
    std::vector<std::pair<std::string, std::string>> Due(const std::vector<std::pair<std::string, std::string>> &Values,
                                                         int64_t NowMs);
    // After a new connection: everything is sent again.
    void Forget() { m_sent.clear(); }
    // The last Due held back a changed value for its pace: it is due again later without a change.
    bool Holding() const { return m_holding; }

private:
    struct TSent
    {
        std::string Payload;
        int64_t AtMs = 0;
    };
    std::map<std::string, TSent> m_sent;
    bool m_holding = false;
};

// What a command asks of the monitor.
enum class TMqttAction { None, DropB1 = 1, DropB2 = 2, ResetCounters = 3, DropAll = 4, Connect, Disconnect };

// The command topics' rules: each command's payload, AllowCommands, a rate of kCommandsPerSecond
// (a burst of kCommandBurst), and a payload or topic we do not know said once per topic.
class TMqttCommands
{
public:
    static constexpr double kCommandBurst = 5;
    static constexpr double kCommandsPerSecond = 1;
    // Topics whose fault has been said are remembered up to this many; past it nothing more is said.
    static constexpr std::size_t kMaxToldTopics = 64;

    struct TResult
    {
        TMqttAction Action = TMqttAction::None;
        std::string Log; // a line for the log, or ""
    };
    // Command: the topic below "<prefix>/command/". RouterConnected decides what the switch does.
    TResult Handle(std::string_view Command, std::string_view Payload, const std::string &Sender, bool Allowed,
                   bool RouterConnected, int64_t NowMs);

private:
    std::string tellOnce(std::string_view Command, std::string Text);
    std::set<std::string, std::less<>> m_told;
    TTokenBucket m_rate{kCommandBurst, kCommandsPerSecond};
};

// The MQTT side of the monitor: connects with [MQTT], announces the device, publishes each tick's
// changes and the events, and hands accepted commands to Command.
class TMqttPublisher : public QObject
{
public:
    explicit TMqttPublisher(QObject *Parent = nullptr);
    ~TMqttPublisher() override;

    // Instance names the router (its address) for the default prefix and client id. False with
    // Error when the settings cannot work.
    bool Start(const TMqttSettings &Settings, std::string_view Instance, std::string &Error,
               const TMqttClient::TOptions &Timing = {});
    // "offline" published, then a clean disconnect.
    void Stop();
    // Once a second with the figures.
    void Tick(const TMqttFigures &Figures);
    void Tick(const TMachineStatus &Status, const TMqttDayTotals &Day) { Tick(TMqttFigures::Of(Status, Day)); }
    void IncomingCall(int Channel, const std::string &Clid);
    void Alert(TAlertKind Kind, const std::string &Title, const std::string &Text, int Channel);

    std::function<void(TMqttAction Action, const std::string &Sender)> Command;
    std::function<bool()> RouterConnected;
    // A line for the log: Priority a syslog level; Stranger for what other clients of the broker
    // caused (rate-limited with the peers' budget).
    std::function<void(int Priority, const std::string &Text, bool Stranger)> Log;

    // The monitor's version, for the discovery's "origin".
    std::string MonitorVersion = "1";
    TMqttClient Client;
    const TMqttIdentity &Identity() const { return m_identity; }

private:
    void connected();
    void announce();
    void publishStates(int64_t NowMs);
    void message(const std::string &Topic, const std::string &Payload, const std::string &Sender);
    void log(int Priority, const std::string &Text, bool Stranger = false);

    TMqttSettings m_settings;
    TMqttIdentity m_identity;
    TMqttChangeFilter m_filter;
    TMqttCommands m_commands;
    std::vector<std::pair<std::string, std::string>> m_values;
    // What the last tick's state topics were made of. An idle router repaints the same figures
    // every second: then there is nothing to make or compare.
    struct TSeen
    {
        TChannelStatus B1, B2;
        TConnectionState Connection = TConnectionState::NotConnected;
        std::optional<TRouterInfo> Router;
        std::string LastCaller;
        TMqttDayTotals Day;
    };
    bool seen(const TMqttFigures &Figures) const;
    TSeen m_seen;
    bool m_seenKnown = false;
    // The device block last announced, so a router that names itself later is announced again.
    std::string m_announcedName;
    std::string m_announcedFirmware;
};
