// SPDX-License-Identifier: MIT
// /status.json read back through Qt's JSON parser figure by figure, and /metrics read back line by
// line against the text format's rules, for the default, busy and hostile snapshots; plus the
// duration and time conversions both documents rest on.
#include "machinestatusinputs.h"
#include "metrics.h"
#include "statusjson.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <optional>

Q_DECLARE_METATYPE(TMachineStatus)
Q_DECLARE_METATYPE(std::optional<int64_t>)
Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(TConnectionState)

namespace {

// Router bytes as the document must carry them: each byte one Latin-1 character.
QString latin1(const std::string &text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void addSnapshots()
{
    QTest::addColumn<TMachineStatus>("status");
    QTest::newRow("defaults") << defaultMachineStatus();
    QTest::newRow("busy") << busyMachineStatus();
    QTest::newRow("hostile") << hostileMachineStatus();
}

// Fails the calling test unless the channel object holds the record's figures.
void checkChannel(const QJsonObject &object, const char *name, const TChannelStatus &channel,
                  const TUsageSeries &series)
{
    QCOMPARE(object.value("name").toString(), QLatin1String(name));
    QCOMPARE(object.value("link").toString(), latin1(channel.Link));
    QCOMPARE(object.value("state").toString(), QString::fromUtf8(ChannelStateText(ChannelState(channel))));
    QCOMPARE(object.value("speed_kbps").toInteger(), channel.Speed);
    QCOMPARE(object.value("tx").toInteger(), channel.TX);
    QCOMPARE(object.value("rx").toInteger(), channel.RX);
    QCOMPARE(object.value("errors").toInteger(), channel.Errors);
    QCOMPARE(object.value("clu").toInteger(), channel.CLU);
    QCOMPARE(object.value("alu").toInteger(), channel.ALU);
    QCOMPARE(object.value("up_time").toString(), latin1(channel.UpTime));
    const std::optional<int64_t> up = DurationSeconds(channel.UpTime);
    QCOMPARE(object.value("up_seconds").isNull(), !up);
    QCOMPARE(object.value("up_seconds").toInteger(), up.value_or(0));
    QCOMPARE(object.value("ip").toString(), latin1(channel.IP));
    QCOMPARE(object.value("clid").toString(), latin1(channel.CLID));
    const QJsonArray history = object.value("usage_history").toArray();
    QCOMPARE(history.size(), qsizetype(series.size()));
    for (std::size_t i = 0; i < series.size(); ++i)
        QCOMPARE(history.at(static_cast<qsizetype>(i)).toDouble(), series[i]);
}

// One parsed sample line of the text format.
struct TSample
{
    QString Name;
    QList<QPair<QString, QString>> Labels;
    double Value = 0;
};

// Reads "name{a="x",b="y"} value" with the format's label escapes; none when it breaks a rule.
std::optional<TSample> parseSample(const QString &line)
{
    static const QRegularExpression nameRx(QStringLiteral("^[a-zA-Z_:][a-zA-Z0-9_:]*"));
    static const QRegularExpression labelRx(QStringLiteral("[a-zA-Z_][a-zA-Z0-9_]*"));
    TSample sample;
    const QRegularExpressionMatch name = nameRx.match(line);
    if (!name.hasMatch())
        return std::nullopt;
    sample.Name = name.captured();
    qsizetype at = name.capturedEnd();
    if (at < line.size() && line[at] == '{') {
        ++at;
        while (at < line.size() && line[at] != '}') {
            const QRegularExpressionMatch label =
                labelRx.match(line, at, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
            if (!label.hasMatch())
                return std::nullopt;
            at = label.capturedEnd();
            if (line.mid(at, 2) != QLatin1String("=\""))
                return std::nullopt;
            at += 2;
            QString value;
            for (;; ++at) {
                if (at >= line.size())
                    return std::nullopt;
                if (line[at] == '"')
                    break;
                if (line[at] == '\\') {
                    const QChar next = at + 1 < line.size() ? line[at + 1] : QChar();
                    if (next == '\\' || next == '"')
                        value += next;
                    else if (next == 'n')
                        value += '\n';
                    else
                        return std::nullopt;
                    ++at;
                } else {
                    value += line[at];
                }
            }
            ++at;
            sample.Labels.append({label.captured(), value});
            if (at < line.size() && line[at] == ',')
                ++at;
        }
        if (at >= line.size())
            return std::nullopt;
        ++at;
    }
    if (at >= line.size() || line[at] != ' ')
        return std::nullopt;
    bool ok = false;
    const QString valueText = line.mid(at + 1);
    sample.Value = valueText == QLatin1String("NaN") ? qQNaN() : valueText.toDouble(&ok);
    if (!ok && valueText != QLatin1String("NaN"))
        return std::nullopt;
    return sample;
}

// The value of the sample whose name and labels are given; none when there is no such sample.
std::optional<double> sampleValue(const std::string &metrics, const QString &name,
                                  const QList<QPair<QString, QString>> &labels = {})
{
    for (const QString &line : QString::fromUtf8(metrics).split('\n')) {
        if (line.startsWith('#') || line.isEmpty())
            continue;
        const std::optional<TSample> sample = parseSample(line);
        if (sample && sample->Name == name && sample->Labels == labels)
            return sample->Value;
    }
    return std::nullopt;
}

} // namespace

class TestMachineStatus : public QObject
{
    Q_OBJECT

private slots:
    void jsonCarriesEveryFigure_data() { addSnapshots(); }
    void jsonCarriesEveryFigure()
    {
        QFETCH(TMachineStatus, status);
        const std::string text = BuildStatusJson(status);
        QVERIFY(QUtf8StringView(text).isValidUtf8());
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject root = document.object();

        QCOMPARE(root.value("schema").toInteger(), 1);
        QCOMPARE(root.value("version").toString(), latin1(status.Version));
        QCOMPARE(root.value("time_ms").toInteger(), status.NowMs);
        const QJsonObject monitor = root.value("monitor").toObject();
        QCOMPARE(monitor.value("start_time_ms").toInteger(), status.StartTimeMs);
        QCOMPARE(monitor.value("uptime_seconds").toInteger(), (status.NowMs - status.StartTimeMs) / 1000);
        QCOMPARE(monitor.value("page_hits").toInteger(), qint64(static_cast<uint32_t>(status.PageHits)));
        const QJsonObject connection = root.value("connection").toObject();
        QCOMPARE(connection.value("state").toString(), QString::fromUtf8(ConnectionStateText(status.Connection)));
        QCOMPARE(connection.value("router_connected").toBool(), IsRouterConnected(status.Connection));
        QCOMPARE(connection.value("relay_attached").toBool(), status.RelayAttached);
        const QJsonObject reconnect = root.value("reconnect").toObject();
        const TReconnectStatus &r0 = status.Reconnect;
        QCOMPARE(reconnect.value("reconnecting").toBool(!r0.Reconnecting), r0.Reconnecting);
        QCOMPARE(reconnect.value("waiting").toBool(!r0.Waiting), r0.Waiting);
        QCOMPARE(reconnect.value("next_attempt_in_seconds").isNull(), !r0.Waiting);
        QCOMPARE(reconnect.value("next_attempt_in_seconds").toInteger(), r0.Waiting ? r0.NextAttemptSeconds : 0);
        QCOMPARE(reconnect.value("attempt").toInteger(-1), r0.Attempt);
        QCOMPARE(reconnect.value("reason").toString(), latin1(r0.Reason));
        QCOMPARE(reconnect.value("password_rejected").toBool(!r0.PasswordRejected), r0.PasswordRejected);
        QCOMPARE(root.value("last_change").isNull(), status.LastChangeMs == 0);
        QCOMPARE(root.value("last_change_ms").toInteger(), status.LastChangeMs);

        const QJsonArray channels = root.value("channels").toArray();
        QCOMPARE(channels.size(), 2);
        checkChannel(channels.at(0).toObject(), "B1", status.B1, status.Series1);
        if (QTest::currentTestFailed())
            return;
        checkChannel(channels.at(1).toObject(), "B2", status.B2, status.Series2);
        if (QTest::currentTestFailed())
            return;

        const TRouterStatus &r = status.Router;
        const QJsonObject ethernet = root.value("ethernet").toObject();
        QCOMPARE(ethernet.value("status").toString(), latin1(r.LANStatus));
        QCOMPARE(ethernet.value("sent").toInteger(), r.LANSent);
        QCOMPARE(ethernet.value("received").toInteger(), r.LANReceived);
        QCOMPARE(ethernet.value("collisions").toInteger(), r.LANCollisions);
        QCOMPARE(root.value("total_outcall_time").toString(), latin1(r.TotalOutcallTime));
        QCOMPARE(root.value("total_outcall_seconds").toInteger(), DurationSeconds(r.TotalOutcallTime).value_or(0));
        const QJsonObject trigger = root.value("last_call_trigger").toObject();
        QCOMPARE(trigger.value("source_ip").toString(), latin1(r.TriggerSrcIP));
        QCOMPARE(trigger.value("source_port").toInteger(), r.TriggerSrcPort);
        QCOMPARE(trigger.value("destination_ip").toString(), latin1(r.TriggerDestIP));
        QCOMPARE(trigger.value("destination_port").toInteger(), r.TriggerDestPort);
        const QJsonObject router = root.value("router").toObject();
        QCOMPARE(router.value("name").toString(), latin1(r.Name));
        QCOMPARE(router.value("firmware").toString(), latin1(r.Firmware));
        QCOMPARE(router.value("ip_address").toString(), latin1(r.IPAddress));

        const QJsonArray callers = root.value("caller_ids").toArray();
        QCOMPARE(callers.size(), qsizetype(status.CallerIds.size()));
        for (qsizetype i = 0; i < callers.size(); ++i) {
            const QJsonObject entry = callers.at(i).toObject();
            const TCallerIdEntry &expected = status.CallerIds[static_cast<std::size_t>(i)];
            QCOMPARE(entry.value("channel").toString(), latin1(expected.Channel));
            QCOMPARE(entry.value("time_ms").toInteger(), expected.TimeMs);
            QCOMPARE(entry.value("time").toString(), QString::fromStdString(IsoTimeUtc(expected.TimeMs)));
            QCOMPARE(entry.value("clid").toString(), latin1(expected.CLID));
        }
        QCOMPARE(root.value("caller_ids_omitted").toInteger(), 0);
    }

    // A JSON reader that takes every number for a double would lose a counter past 2^53; the
    // document writes the digits, never an exponent or a fraction.
    void jsonWritesCountersAsIntegers()
    {
        const TMachineStatus busy = busyMachineStatus();
        QVERIFY(busy.B1.TX > (int64_t{1} << 31));
        const std::string text = BuildStatusJson(busy);
        QVERIFY(text.find("\"tx\":1234567890123,") != std::string::npos);
        QVERIFY(text.find("\"sent\":4000000000,") != std::string::npos);
        QVERIFY(text.find("\"page_hits\":4294967294}") != std::string::npos);
        QVERIFY(BuildStatusJson(hostileMachineStatus()).find("\"tx\":9223372036854775807,") != std::string::npos);
    }

    void jsonKeepsTheNewestCallerIds()
    {
        TMachineStatus status = defaultMachineStatus();
        for (std::size_t i = 0; i < kStatusJsonMaxCallerIds + 5; ++i)
            status.CallerIds.push_back({"B1", static_cast<int64_t>(i) * 1000, std::to_string(i)});
        const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(BuildStatusJson(status))).object();
        const QJsonArray callers = root.value("caller_ids").toArray();
        QCOMPARE(callers.size(), qsizetype(kStatusJsonMaxCallerIds));
        QCOMPARE(callers.first().toObject().value("clid").toString(), QStringLiteral("5"));
        QCOMPARE(callers.last().toObject().value("clid").toString(), QString::number(kStatusJsonMaxCallerIds + 4));
        QCOMPARE(root.value("caller_ids_omitted").toInteger(), 5);
    }

    void durationSeconds_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<int64_t>>("seconds");
        QTest::newRow("default") << QByteArray("0:00:00") << std::optional<int64_t>(0);
        QTest::newRow("h:mm:ss") << QByteArray("12:34:56") << std::optional<int64_t>(45296);
        QTest::newRow("long total") << QByteArray("1234:56:07") << std::optional<int64_t>(4445767);
        QTest::newRow("empty") << QByteArray() << std::optional<int64_t>();
        QTest::newRow("no data") << QByteArray("No Data") << std::optional<int64_t>();
        QTest::newRow("short fields") << QByteArray("1:2:3") << std::optional<int64_t>();
        QTest::newRow("minute 60") << QByteArray("0:60:00") << std::optional<int64_t>();
        QTest::newRow("sign") << QByteArray("-1:00:00") << std::optional<int64_t>();
        QTest::newRow("blank inside") << QByteArray(" 1:00:00") << std::optional<int64_t>();
        QTest::newRow("overflowing hours") << QByteArray("99999999999999999999:00:00") << std::optional<int64_t>();
        QTest::newRow("largest hours") << QByteArray("2562047788015214:59:59")
                                       << std::optional<int64_t>(int64_t{2562047788015214} * 3600 + 3599);
    }
    void durationSeconds()
    {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<int64_t>, seconds);
        QCOMPARE(DurationSeconds(text.toStdString()), seconds);
    }

    void isoTimeUtc_data()
    {
        QTest::addColumn<qint64>("timeMs");
        QTest::addColumn<QString>("text");
        QTest::newRow("epoch") << qint64(0) << QStringLiteral("1970-01-01T00:00:00.000Z");
        QTest::newRow("before epoch") << qint64(-1) << QStringLiteral("1969-12-31T23:59:59.999Z");
        QTest::newRow("leap day") << qint64(951782400123) << QStringLiteral("2000-02-29T00:00:00.123Z");
    }
    void isoTimeUtc()
    {
        QFETCH(qint64, timeMs);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(IsoTimeUtc(timeMs)), text);
        QCOMPARE(QDateTime::fromString(text, Qt::ISODateWithMs).toMSecsSinceEpoch(), timeMs);
    }

    // Every line is a comment or a sample of the family declared last; every family has one
    // HELP and one TYPE line before its samples, a counter's name ends in _total, label values
    // are valid UTF-8 and carry the router's bytes, and no caller ID leaks into a label.
    void metricsFollowTheTextFormat_data() { addSnapshots(); }
    void metricsFollowTheTextFormat()
    {
        QFETCH(TMachineStatus, status);
        const std::string text = BuildMetrics(status);
        QVERIFY(QUtf8StringView(text).isValidUtf8());
        QVERIFY(text.ends_with('\n'));
        static const QRegularExpression helpRx(QStringLiteral("^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \\S.*$"));
        static const QRegularExpression typeRx(QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge)$"));
        QSet<QString> families;
        QString helped, current, type;
        int samples = 0;
        const QStringList lines = QString::fromUtf8(text).split('\n');
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            const QString &line = lines[i];
            if (const QRegularExpressionMatch help = helpRx.match(line); help.hasMatch()) {
                QVERIFY2(!families.contains(help.captured(1)), qPrintable(line));
                helped = help.captured(1);
                current.clear();
            } else if (const QRegularExpressionMatch typed = typeRx.match(line); typed.hasMatch()) {
                QCOMPARE(typed.captured(1), helped);
                current = helped;
                type = typed.captured(2);
                families.insert(current);
                QVERIFY2(type != QLatin1String("counter") || current.endsWith(QLatin1String("_total")),
                         qPrintable(current));
            } else {
                const std::optional<TSample> sample = parseSample(line);
                QVERIFY2(sample, qPrintable(line));
                QVERIFY2(sample->Name == current, qPrintable(line));
                QVERIFY2(type != QLatin1String("counter") || sample->Value >= 0, qPrintable(line));
                for (const auto &[label, value] : sample->Labels)
                    QVERIFY2(label == QLatin1String("channel") || label == QLatin1String("state") ||
                                 label == QLatin1String("name") || label == QLatin1String("firmware") ||
                                 label == QLatin1String("version") || label == QLatin1String("kind") ||
                                 label == QLatin1String("direction"),
                             qPrintable(line));
                ++samples;
            }
        }
        QVERIFY(lines.last().isEmpty());
        QVERIFY(samples >= families.size());

        if (status.RouterInfo)
            QCOMPARE(sampleValue(text, "linewatch_router_info",
                                 {{"name", latin1(status.RouterInfo->Name)},
                                  {"firmware", latin1(status.RouterInfo->Firmware)}}),
                     1.0);
        QCOMPARE(sampleValue(text, "linewatch_build_info", {{"version", latin1(status.Version)}}), 1.0);
        for (const TCallerIdEntry &entry : status.CallerIds)
            QVERIFY(text.find(entry.CLID) == std::string::npos);
    }

    void metricsFigures_data()
    {
        QTest::addColumn<TMachineStatus>("status");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("state");
        QTest::addColumn<std::optional<double>>("value");
        const TMachineStatus none = defaultMachineStatus(), busy = busyMachineStatus(),
                             hostile = hostileMachineStatus();
        const auto row = [](const char *tag, const TMachineStatus &status, const char *name, const char *channel,
                            const char *state, std::optional<double> value) {
            QTest::newRow(tag) << status << QString::fromLatin1(name) << QString::fromLatin1(channel)
                               << QString::fromLatin1(state) << value;
        };
        row("down", none, "linewatch_up", "", "", 0);
        row("not connected", none, "linewatch_router_connected", "", "", 0);
        row("connection state", none, "linewatch_connection_state", "", "not_connected", 1);
        row("no data", none, "linewatch_channel_state", "B1", "no_data", 1);
        row("start time", none, "linewatch_monitor_start_time_seconds", "", "", 1714567890.123);
        row("never changed", none, "linewatch_status_last_change_timestamp_seconds", "", "", 0);
        row("connected", busy, "linewatch_router_connected", "", "", 1);
        row("status screen", busy, "linewatch_connection_state", "", "status_screen", 1);
        row("not relaying", busy, "linewatch_connection_state", "", "relaying", 0);
        row("usage", busy, "linewatch_channel_line_usage_ratio", "B1", "", 0.87);
        row("average usage", busy, "linewatch_channel_average_line_usage_ratio", "B2", "", 0.45);
        row("speed", busy, "linewatch_channel_speed_bytes_per_second", "B1", "", 8000);
        row("up time", busy, "linewatch_channel_up_seconds", "B1", "", 45296);
        row("tx past 2^31", busy, "linewatch_channel_transmitted_packets_total", "B1", "", 1234567890123.0);
        row("rx", busy, "linewatch_channel_received_packets_total", "B2", "", 987654321);
        row("errors", busy, "linewatch_channel_errors_total", "B1", "", 3);
        row("data call", busy, "linewatch_channel_state", "B1", "data", 1);
        row("idle", busy, "linewatch_channel_state", "B2", "idle", 1);
        row("not idle", busy, "linewatch_channel_state", "B1", "idle", 0);
        row("ethernet sent", busy, "linewatch_ethernet_transmitted_packets_total", "", "", 4000000000.0);
        row("collisions", busy, "linewatch_ethernet_collisions_total", "", "", 17);
        row("outcall", busy, "linewatch_outcall_seconds_total", "", "", 1234 * 3600 + 56 * 60 + 7);
        row("last change", busy, "linewatch_status_last_change_timestamp_seconds", "", "", 1714568000.25);
        row("resident memory", busy, "process_resident_memory_bytes", "", "", 48 << 20);
        row("cpu", busy, "process_cpu_seconds_total", "", "", 12.5);
        row("no process figures", none, "process_open_fds", "", "", std::nullopt);
        row("page hits wrapped", busy, "linewatch_page_hits_total", "", "", 4294967294.0);
        row("relay attached", hostile, "linewatch_relay_attached", "", "", 1);
        row("not reconnecting", busy, "linewatch_reconnecting", "", "", 0);
        row("reconnecting", hostile, "linewatch_reconnecting", "", "", 1);
        row("hostile link is data", hostile, "linewatch_channel_state", "B2", "data", 1);
        row("bad up time left out", hostile, "linewatch_channel_up_seconds", "B1", "", std::nullopt);
        row("bad outcall left out", hostile, "linewatch_outcall_seconds_total", "", "", std::nullopt);
    }
    void metricsFigures()
    {
        QFETCH(TMachineStatus, status);
        QFETCH(QString, name);
        QFETCH(QString, channel);
        QFETCH(QString, state);
        QFETCH(std::optional<double>, value);
        QList<QPair<QString, QString>> labels;
        if (!channel.isEmpty())
            labels.append({QStringLiteral("channel"), channel});
        if (!state.isEmpty())
            labels.append({QStringLiteral("state"), state});
        QCOMPARE(sampleValue(BuildMetrics(status), name, labels), value);
    }

    // linewatch_up said 1 whatever the router did: the exporters' "up" is the target's reach.
    void upWasAlwaysOne_data()
    {
        QTest::addColumn<TConnectionState>("connection");
        QTest::addColumn<double>("up");
        QTest::newRow("not connected") << TConnectionState::NotConnected << 0.0;
        QTest::newRow("connecting") << TConnectionState::Connecting << 0.0;
        QTest::newRow("logging in") << TConnectionState::Connected << 1.0;
        QTest::newRow("status screen") << TConnectionState::StatusScreen << 1.0;
        QTest::newRow("relaying") << TConnectionState::Relaying << 1.0;
        QTest::newRow("password rejected") << TConnectionState::PasswordRejected << 0.0;
    }
    void upWasAlwaysOne()
    {
        QFETCH(TConnectionState, connection);
        QFETCH(double, up);
        TMachineStatus status = busyMachineStatus();
        status.Connection = connection;
        QCOMPARE(sampleValue(BuildMetrics(status), QStringLiteral("linewatch_up")), up);
    }

    // Before the router named itself the info series carried the record's "No Data" as its
    // name: a phantom router on every dashboard. The family stays, without a sample.
    void infoSeriesNamedNoData()
    {
        const std::string text = BuildMetrics(defaultMachineStatus());
        QVERIFY(text.find("No Data") == std::string::npos);
        QVERIFY(text.find("# TYPE linewatch_router_info gauge\n") != std::string::npos);
        QVERIFY(text.find("\nlinewatch_router_info{") == std::string::npos);
    }

    // Every channel, kind and direction is there from the start; the counts are the snapshot's.
    void callsCountedPerLabelSet()
    {
        const std::string text = BuildMetrics(busyMachineStatus());
        double total = 0;
        int series = 0;
        for (const char *channel : {"B1", "B2"})
            for (const char *kind : {"data", "voice"})
                for (const char *direction : {"incoming", "outgoing"}) {
                    const std::optional<double> value =
                        sampleValue(text, QStringLiteral("linewatch_calls_total"),
                                    {{"channel", channel}, {"kind", kind}, {"direction", direction}});
                    QVERIFY(value);
                    total += *value;
                    ++series;
                }
        QCOMPARE(series, 8);
        QCOMPARE(total, 3.0);
        QCOMPARE(sampleValue(text, QStringLiteral("linewatch_calls_total"),
                             {{"channel", "B1"}, {"kind", "data"}, {"direction", "outgoing"}}),
                 2.0);
    }

    // This process's own figures, read as they stand: plausible, not exact.
    void processFiguresRead()
    {
        const TProcessStats stats = ReadProcessStats();
        QVERIFY(stats.CpuSeconds && *stats.CpuSeconds >= 0);
        QVERIFY(stats.ResidentBytes && *stats.ResidentBytes > 0);
        QVERIFY(stats.VirtualBytes && *stats.VirtualBytes >= *stats.ResidentBytes);
        QVERIFY(stats.OpenFds && *stats.OpenFds >= 3);
        QVERIFY(!stats.MaxFds || *stats.MaxFds >= *stats.OpenFds);
        const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        QVERIFY(stats.StartTimeSeconds && *stats.StartTimeSeconds <= now + 1 && *stats.StartTimeSeconds > now - 3600);
    }

    void metricsLabelEscape_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("escaped");
        QTest::newRow("plain") << QByteArray("office-gw") << QByteArray("office-gw");
        QTest::newRow("quote, backslash, line feed") << QByteArray("a\"b\\c\nd") << QByteArray("a\\\"b\\\\c\\nd");
        QTest::newRow("latin-1") << QByteArray("\xe9\xff") << QByteArray("\xc3\xa9\xc3\xbf");
        QTest::newRow("backslash n stays two characters") << QByteArray("\\n") << QByteArray("\\\\n");
    }
    void metricsLabelEscape()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, escaped);
        QCOMPARE(QByteArray::fromStdString(MetricsLabelEscape(text.toStdString())), escaped);
    }
};

QTEST_GUILESS_MAIN(TestMachineStatus)
#include "tst_machinestatus.moc"
