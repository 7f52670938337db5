// SPDX-License-Identifier: MIT
// MQTT without a broker: the discovery documents held to Home Assistant's documented keys, the
// state topics, publishing on change at most once a second, the command rules, and [MQTT] in the
// settings file. tests/daemon/mqtt_check.sh drives the same code against a real broker.
#include "mqttpublisher.h"
#include "settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <set>
#include <sstream>

namespace {

// The keys Home Assistant documents for its MQTT platforms (integrations/sensor.mqtt,
// binary_sensor.mqtt, button.mqtt, switch.mqtt, event.mqtt, and the shared device and
// availability keys). A document may hold these and nothing else, so a misspelt key shows.
const std::set<QString> kCommonKeys = {
    "name",   "unique_id", "availability_topic", "payload_available", "payload_not_available",
    "device", "origin",    "device_class",       "entity_category",   "qos"};
const std::map<TMqttComponent, std::set<QString>> kComponentKeys = {
    {TMqttComponent::Sensor, {"state_topic", "state_class", "unit_of_measurement", "options"}},
    {TMqttComponent::BinarySensor, {"state_topic", "payload_on", "payload_off"}},
    {TMqttComponent::Button, {"command_topic", "payload_press"}},
    {TMqttComponent::Switch, {"command_topic", "state_topic", "payload_on", "payload_off"}},
    {TMqttComponent::Event, {"state_topic", "event_types"}},
};
// The required keys: sensor, binary sensor and event need state_topic; button and switch need
// command_topic; event needs event_types.
const std::map<TMqttComponent, std::set<QString>> kRequiredKeys = {
    {TMqttComponent::Sensor, {"state_topic"}},
    {TMqttComponent::BinarySensor, {"state_topic"}},
    {TMqttComponent::Button, {"command_topic"}},
    {TMqttComponent::Switch, {"command_topic"}},
    {TMqttComponent::Event, {"state_topic", "event_types"}},
};
// The documented device classes we may use, per platform, and the sensor state classes.
const std::map<TMqttComponent, std::set<QString>> kDeviceClasses = {
    {TMqttComponent::Sensor, {"enum", "data_rate", "duration"}},
    {TMqttComponent::BinarySensor, {"connectivity", "running"}},
};
const std::set<QString> kStateClasses = {"measurement", "total", "total_increasing"};
// The device block's documented keys.
const std::set<QString> kDeviceKeys = {"identifiers", "name", "model", "sw_version", "via_device"};

TMqttIdentity identity()
{
    TMqttSettings settings;
    TMqttIdentity id = MqttIdentity(settings, "192.168.0.1");
    // Router text is Latin-1: "\xe9" must come out as UTF-8, the quote escaped.
    id.RouterName = "Caf\xe9 \"gw\"";
    id.Firmware = "V3.12";
    id.MonitorVersion = "1.0.1.3";
    return id;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

using TValues = std::vector<std::pair<std::string, std::string>>;

} // namespace

class tst_mqtt : public QObject
{
    Q_OBJECT

private slots:
    void discoveryHoldsDocumentedKeys();
    void stateTopicsFollowTheRecord();
    void changeOnlyAtMostOnceASecond();
    void callTimePublishedEverySecond();
    void commands_data();
    void commands();
    void badPayloadLoggedOnce();
    void commandFloodBounded();
    void settingsSectionLastAndScrambled();
};

void tst_mqtt::discoveryHoldsDocumentedKeys()
{
    const TMqttIdentity id = identity();
    QCOMPARE(id.Prefix, std::string("linewatch/192_168_0_1"));
    std::set<QString> uniqueIds;
    std::set<std::string> stateTopics;
    for (const auto &[suffix, payload] : MqttStateValues(TMachineStatus{}, TMqttDayTotals{true, "", 0, 0}))
        stateTopics.insert(id.Prefix + "/" + suffix);
    stateTopics.insert(id.Prefix + "/last_caller");
    stateTopics.insert(id.Prefix + "/router/name");
    stateTopics.insert(id.Prefix + "/router/firmware");
    for (const TMqttEntity &entity : MqttEntities()) {
        const QString where = QString::fromStdString(MqttDiscoveryTopic(id, entity));
        QCOMPARE(where, QStringLiteral("homeassistant/%1/linewatch_192_168_0_1/%2/config")
                            .arg(QString::fromLatin1(MqttComponentName(entity.Component)),
                                 QString::fromStdString(entity.ObjectId)));
        QJsonParseError error{};
        const QByteArray text = QByteArray::fromStdString(MqttDiscoveryPayload(id, entity));
        const QJsonObject doc = QJsonDocument::fromJson(text, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(where));
        for (const QString &key : doc.keys())
            QVERIFY2(kCommonKeys.count(key) || kComponentKeys.at(entity.Component).count(key),
                     qPrintable(where + ": " + key));
        for (const QString &key : kRequiredKeys.at(entity.Component))
            QVERIFY2(doc.contains(key), qPrintable(where + ": " + key));
        QVERIFY2(uniqueIds.insert(doc["unique_id"].toString()).second, qPrintable(where));
        QCOMPARE(doc["availability_topic"].toString(), QStringLiteral("linewatch/192_168_0_1/availability"));
        if (doc.contains("device_class"))
            QVERIFY2(kDeviceClasses.at(entity.Component).count(doc["device_class"].toString()), qPrintable(where));
        if (doc.contains("state_class"))
            QVERIFY(kStateClasses.count(doc["state_class"].toString()));
        // A sensor with options is an enum sensor and needs no unit; a counter has no device class
        // that would forbid total_increasing.
        if (doc.contains("options"))
            QCOMPARE(doc["device_class"].toString(), QStringLiteral("enum"));
        if (doc["unit_of_measurement"].toString() == QLatin1String("packets"))
            QCOMPARE(doc["state_class"].toString(), QStringLiteral("total_increasing"));
        // Every state topic a document names is one we publish.
        if (doc.contains("state_topic") && entity.Component != TMqttComponent::Event)
            QVERIFY2(stateTopics.count(doc["state_topic"].toString().toStdString()), qPrintable(where));
        const QJsonObject device = doc["device"].toObject();
        for (const QString &key : device.keys())
            QVERIFY2(kDeviceKeys.count(key), qPrintable(key));
        QCOMPARE(device["name"].toString(), QStringLiteral("Caf\u00e9 \"gw\""));
        QCOMPARE(device["model"].toString(), QStringLiteral("ISDN router"));
        QCOMPARE(device["sw_version"].toString(), QStringLiteral("V3.12"));
        QCOMPARE(device["identifiers"].toArray().first().toString(), QStringLiteral("linewatch_192_168_0_1"));
    }
    // The entities the dashboard is promised.
    for (const char *required : {"linewatch_192_168_0_1_router_connected", "linewatch_192_168_0_1_b1_in_call",
                                 "linewatch_192_168_0_1_b2_in_call", "linewatch_192_168_0_1_drop_all",
                                 "linewatch_192_168_0_1_connect", "linewatch_192_168_0_1_last_caller"})
        QVERIFY2(uniqueIds.count(QString::fromLatin1(required)), required);
}

void tst_mqtt::stateTopicsFollowTheRecord()
{
    TMachineStatus status;
    status.Connection = TConnectionState::StatusScreen;
    status.B1.Link = "PPP";
    status.B1.CLU = 50;
    status.B1.TX = 5'000'000'000;
    status.B1.UpTime = "1:02:03";
    status.B2.Link = "Down";
    status.RouterInfo = TRouterInfo{"gw\xe9", "V3"};
    status.CallerIds.push_back({"B2", 0, "0301234"});
    const TValues values = MqttStateValues(status, TMqttDayTotals{true, "2026-01-01", 3600, 60});
    const std::map<std::string, std::string> got(values.begin(), values.end());
    QCOMPARE(got.size(), values.size());
    const std::map<std::string, std::string> expected = {
        {"connection", "status_screen"},
        {"connected", "ON"},
        {"b1/state", "data"},
        {"b1/in_call", "ON"},
        {"b1/usage", "50"},
        {"b1/packets_sent", "5000000000"},
        {"b1/uptime", "3723"},
        {"b2/state", "down"},
        {"b2/in_call", "OFF"},
        {"router/name", "gw\xc3\xa9"},
        {"today/connected_seconds", "3600"},
        {"today/outcall_seconds", "60"},
        {"last_caller", "0301234"},
    };
    for (const auto &[topic, payload] : expected)
        QCOMPARE(got.at(topic), payload);
    // Without the history or a router name, those topics are not published at all.
    const TValues bare = MqttStateValues(TMachineStatus{}, TMqttDayTotals{});
    for (const auto &[topic, payload] : bare)
        QVERIFY(topic.rfind("today/", 0) != 0 && topic.rfind("router/", 0) != 0 && topic != "last_caller");
}

void tst_mqtt::changeOnlyAtMostOnceASecond()
{
    TMqttChangeFilter filter;
    const int64_t t0 = 1'000'000;
    QCOMPARE(filter.Due({{"a", "1"}, {"b", "1"}}, t0).size(), 2u);
    QCOMPARE(filter.Due({{"a", "1"}, {"b", "1"}}, t0 + 5000).size(), 0u);
    // A change within the second waits; the newest value goes once the second is over.
    QCOMPARE(filter.Due({{"a", "2"}}, t0 + 5000 + 0).size(), 1u);
    QVERIFY(!filter.Holding());
    QCOMPARE(filter.Due({{"a", "3"}}, t0 + 5300).size(), 0u);
    QCOMPARE(filter.Due({{"a", "4"}}, t0 + 5600).size(), 0u);
    // The publisher skips unchanged figures only while nothing is held, so the held "4" still goes
    // out though the figures stopped changing.
    QVERIFY(filter.Holding());
    QCOMPARE(filter.Due({{"a", "4"}}, t0 + 6000), (TValues{{"a", "4"}}));
    QVERIFY(!filter.Holding());
    // Back to a value sent before still counts as a change.
    QCOMPARE(filter.Due({{"a", "2"}}, t0 + 7000), (TValues{{"a", "2"}}));
    filter.Forget();
    QCOMPARE(filter.Due({{"a", "2"}}, t0 + 7001).size(), 1u);
}

void tst_mqtt::callTimePublishedEverySecond()
{
    // A call's time, its counters and the day's seconds grow every second; each growth is a QoS 1
    // message and a broker acknowledgement, so they go at most once a minute. A call's start and
    // end, and a counter reset, go at once. The usage alone moves each second, at QoS 0.
    TMqttChangeFilter filter;
    const int64_t t0 = 1'000'000;
    QCOMPARE(filter.Due({{"b1/uptime", "0"}, {"b1/packets_sent", "500"}}, t0).size(), 2u);
    QCOMPARE(filter.Due({{"b1/uptime", "1"}, {"b1/packets_sent", "510"}}, t0 + 1000), (TValues{{"b1/uptime", "1"}}));
    int sent = 0;
    for (int s = 2; s < 60; ++s)
        sent += int(filter.Due({{"b1/uptime", std::to_string(s)}}, t0 + s * 1000).size());
    QCOMPARE(sent, 0);
    QCOMPARE(filter.Due({{"b1/uptime", "61"}, {"b1/packets_sent", "900"}}, t0 + 61'000),
             (TValues{{"b1/uptime", "61"}, {"b1/packets_sent", "900"}}));
    QCOMPARE(filter.Due({{"b1/uptime", "0"}, {"b1/packets_sent", "0"}}, t0 + 62'000),
             (TValues{{"b1/uptime", "0"}, {"b1/packets_sent", "0"}}));
    QCOMPARE(filter.Due({{"today/connected_seconds", "7"}}, t0 + 62'000).size(), 1u);
    QCOMPARE(filter.Due({{"today/connected_seconds", "9"}}, t0 + 64'000).size(), 0u);
    for (const auto &[topic, payload] : MqttStateValues(TMachineStatus{}, TMqttDayTotals{true, "", 0, 0}))
        QCOMPARE(MqttTopicQos(topic), topic.find("usage") != std::string::npos ? 0 : 1);
}

void tst_mqtt::commands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("action");
    QTest::addColumn<bool>("logged");
    using A = TMqttAction;
    QTest::newRow("drop b1") << "drop_b1"
                             << "PRESS" << true << true << int(A::DropB1) << true;
    QTest::newRow("drop b2") << "drop_b2"
                             << "PRESS" << true << true << int(A::DropB2) << true;
    QTest::newRow("drop all") << "drop_all"
                              << "PRESS" << true << true << int(A::DropAll) << true;
    QTest::newRow("reset") << "reset_counters"
                           << "PRESS" << true << true << int(A::ResetCounters) << true;
    QTest::newRow("not allowed") << "drop_b1"
                                 << "PRESS" << false << true << int(A::None) << true;
    QTest::newRow("switch on, down") << "connect"
                                     << "ON" << true << false << int(A::Connect) << true;
    QTest::newRow("switch on, up") << "connect"
                                   << "ON" << true << true << int(A::None) << false;
    QTest::newRow("switch off, up") << "connect"
                                    << "OFF" << true << true << int(A::Disconnect) << true;
    QTest::newRow("switch off, down") << "connect"
                                      << "OFF" << true << false << int(A::None) << false;
    QTest::newRow("switch not allowed") << "connect"
                                        << "OFF" << false << true << int(A::None) << true;
    QTest::newRow("lower case") << "drop_b1"
                                << "press" << true << true << int(A::None) << true;
    QTest::newRow("button given ON") << "drop_b1"
                                     << "ON" << true << true << int(A::None) << false;
    QTest::newRow("unknown topic") << "reboot"
                                   << "PRESS" << true << true << int(A::None) << true;
}

void tst_mqtt::commands()
{
    QFETCH(QString, command);
    QFETCH(QString, payload);
    QFETCH(bool, allowed);
    QFETCH(bool, connected);
    QFETCH(int, action);
    QFETCH(bool, logged);
    TMqttCommands commands;
    const auto result =
        commands.Handle(command.toStdString(), payload.toStdString(), "ha-1", allowed, connected, 1'000'000);
    QCOMPARE(int(result.Action), action);
    QCOMPARE(!result.Log.empty(), logged);
    if (action != int(TMqttAction::None))
        QVERIFY2(result.Log.find("from ha-1") != std::string::npos, result.Log.c_str());
}

void tst_mqtt::badPayloadLoggedOnce()
{
    TMqttCommands commands;
    int logs = 0;
    for (int k = 0; k < 10; ++k) {
        logs += !commands.Handle("drop_b1", "garbage", "", true, true, 1'000'000 + k).Log.empty();
        logs += !commands.Handle("drop_b2", "garbage", "", true, true, 1'000'000 + k).Log.empty();
    }
    QCOMPARE(logs, 2);
    // Distinct unknown topics are said up to a bound, not without end.
    for (int k = 0; k < 1000; ++k)
        logs += !commands.Handle("x" + std::to_string(k), "PRESS", "", true, true, 1'000'000).Log.empty();
    QCOMPARE(size_t(logs), TMqttCommands::kMaxToldTopics);
    // A good command still works after all that.
    QCOMPARE(commands.Handle("drop_b1", "PRESS", "", true, true, 1'000'000).Action, TMqttAction::DropB1);
}

void tst_mqtt::commandFloodBounded()
{
    TMqttCommands commands;
    int accepted = 0;
    for (int k = 0; k < 1000; ++k)
        accepted += commands.Handle("drop_b1", "PRESS", "", true, true, 1'000'000).Action != TMqttAction::None;
    QCOMPARE(accepted, int(TMqttCommands::kCommandBurst));
    // Ten seconds later ten more are due (one a second), never the whole flood.
    for (int k = 0; k < 1000; ++k)
        accepted += commands.Handle("drop_b1", "PRESS", "", true, true, 1'010'000).Action != TMqttAction::None;
    QCOMPARE(accepted, int(TMqttCommands::kCommandBurst) * 2);
}

void tst_mqtt::settingsSectionLastAndScrambled()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("linewatch.ini").toStdString();
    {
        TIniFile ini(path);
        TSettings settings;
        settings.Logging.RetentionDays = 5;
        SaveSettings(ini, settings);
    }
    // A file that never used MQTT gains no section.
    QVERIFY(readFile(path).find("[MQTT]") == std::string::npos);
    TSettings settings;
    settings.Logging.RetentionDays = 5;
    settings.Mqtt.Enabled = true;
    settings.Mqtt.Host = "127.0.0.1";
    settings.Mqtt.Port = 8883;
    settings.Mqtt.Password = "s3cret pass";
    settings.Mqtt.AllowCommands = true;
    settings.Mqtt.Retain = false;
    {
        TIniFile ini(path);
        SaveSettings(ini, settings);
    }
    const std::string text = readFile(path);
    QVERIFY(text.find("[MQTT]") > text.find("[Logging]"));
    QVERIFY(text.find("s3cret") == std::string::npos);
    TSettings loaded;
    LoadSettings(TIniFile(path), loaded);
    QCOMPARE(loaded.Mqtt, settings.Mqtt);
    QCOMPARE(loaded.Logging.RetentionDays, 5);
}

QTEST_GUILESS_MAIN(tst_mqtt)
#include "tst_mqtt.moc"
