// SPDX-License-Identifier: MIT
// The /metrics document, written family by family: all samples of a family follow its HELP and
// TYPE lines, as the text format requires. Names follow Prometheus's habits: base units
// (seconds, ratios, bytes per second), `_total` on counters. The router's channel and Ethernet
// counters count packets (its status screen heads those columns "TX Pkts" and "RX Pkts"), so they
// are named for packets, not bytes.
#include "metrics.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr std::string_view kChannelNames[] = {"B1", "B2"};

class TMetricsWriter
{
public:
    // Starts a family: its HELP and TYPE lines. Help texts are our own constants without
    // backslashes or line feeds.
    void family(std::string_view name, std::string_view type, std::string_view help)
    {
        m_name = name;
        m_out += "# HELP ";
        m_out += name;
        m_out += ' ';
        m_out += help;
        m_out += "\n# TYPE ";
        m_out += name;
        m_out += ' ';
        m_out += type;
        m_out += '\n';
    }

    // One sample of the current family. Labels is the inside of the braces, already escaped;
    // empty for none.
    void sample(std::string_view labels, int64_t value)
    {
        beginSample(labels);
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        m_out.append(buffer, result.ptr);
        m_out += '\n';
    }

    void sample(std::string_view labels, double value)
    {
        beginSample(labels);
        if (std::isnan(value)) {
            m_out += "NaN";
        } else if (std::isinf(value)) {
            m_out += value > 0 ? "+Inf" : "-Inf";
        } else {
            char buffer[32];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
            m_out.append(buffer, result.ptr);
        }
        m_out += '\n';
    }

    std::string take() { return std::move(m_out); }

private:
    void beginSample(std::string_view labels)
    {
        m_out += m_name;
        if (!labels.empty()) {
            m_out += '{';
            m_out += labels;
            m_out += '}';
        }
        m_out += ' ';
    }

    std::string m_out;
    std::string_view m_name;
};

std::string channelLabel(std::string_view channel)
{
    return "channel=\"" + std::string(channel) + "\"";
}

// One counter or gauge per channel, read from the channel record by Field.
template <typename Field>
void perChannel(TMetricsWriter &writer, const TMachineStatus &status, Field field)
{
    writer.sample(channelLabel(kChannelNames[0]), field(status.B1));
    writer.sample(channelLabel(kChannelNames[1]), field(status.B2));
}

double seconds(int64_t timeMs)
{
    return static_cast<double>(timeMs) / 1000.0;
}

} // namespace

std::string MetricsLabelEscape(std::string_view Text)
{
    const std::string utf8 = Latin1ToUtf8(Text);
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string BuildMetrics(const TMachineStatus &Status)
{
    TMetricsWriter w;

    // The exporters' habit: up is whether the thing watched can be reached, not whether the
    // exporter runs (an answer at all says that).
    w.family("linewatch_up", "gauge", "1 while the monitor is connected to the router's console, 0 otherwise.");
    w.sample({}, int64_t{IsRouterConnected(Status.Connection)});

    w.family("linewatch_build_info", "gauge", "Always 1, labelled with the monitor's version.");
    w.sample("version=\"" + MetricsLabelEscape(Status.Version) + "\"", int64_t{1});

    w.family("linewatch_monitor_start_time_seconds", "gauge",
             "When the monitor started, in seconds since the Unix epoch.");
    w.sample({}, seconds(Status.StartTimeMs));

    w.family("linewatch_page_hits_total", "counter", "Status pages served (wraps at 2^32).");
    w.sample({}, int64_t{static_cast<uint32_t>(Status.PageHits)});

    w.family("linewatch_router_connected", "gauge", "1 while the console connection to the router stands.");
    w.sample({}, int64_t{IsRouterConnected(Status.Connection)});

    w.family("linewatch_connection_state", "gauge",
             "1 for the state the console connection is in, 0 for the other states.");
    for (int i = 0; i < kConnectionStateCount; ++i) {
        const auto state = static_cast<TConnectionState>(i);
        w.sample("state=\"" + std::string(ConnectionStateText(state)) + "\"", int64_t{Status.Connection == state});
    }

    w.family("linewatch_relay_attached", "gauge", "1 while a remote telnet user is attached through the relay.");
    w.sample({}, int64_t{Status.RelayAttached});

    w.family("linewatch_reconnecting", "gauge",
             "1 while the monitor tries to get a lost router connection back by itself.");
    w.sample({}, int64_t{Status.Reconnect.Reconnecting});

    w.family("linewatch_status_last_change_timestamp_seconds", "gauge",
             "When the router's status last changed, in seconds since the Unix epoch; 0 if never.");
    w.sample({}, seconds(Status.LastChangeMs));

    // No series until the router named itself: a series labelled with the record's "No Data"
    // would be a second router to every dashboard, and one more at each loss.
    w.family("linewatch_router_info", "gauge", "Always 1, labelled with the router's system name and firmware.");
    if (Status.RouterInfo)
        w.sample("name=\"" + MetricsLabelEscape(Status.RouterInfo->Name) + "\",firmware=\"" +
                     MetricsLabelEscape(Status.RouterInfo->Firmware) + "\"",
                 int64_t{1});

    w.family("linewatch_calls_total", "counter", "Calls ended, as the call history logged them.");
    for (int channel = 0; channel < 2; ++channel) {
        for (const bool voice : {false, true}) {
            for (const bool incoming : {true, false}) {
                w.sample(channelLabel(kChannelNames[channel]) + ",kind=\"" + (voice ? "voice" : "data") +
                             "\",direction=\"" + (incoming ? "incoming" : "outgoing") + "\"",
                         Status.Calls.Count[channel][voice][incoming]);
            }
        }
    }

    w.family("linewatch_channel_state", "gauge", "1 for the state the B channel is in, 0 for the other states.");
    for (const std::string_view channel : kChannelNames) {
        const TChannelState current = ChannelState(channel == "B1" ? Status.B1 : Status.B2);
        for (int i = 0; i < kChannelStateCount; ++i) {
            const auto state = static_cast<TChannelState>(i);
            w.sample(channelLabel(channel) + ",state=\"" + std::string(ChannelStateText(state)) + "\"",
                     int64_t{current == state});
        }
    }

    w.family("linewatch_channel_line_usage_ratio", "gauge", "Current line usage of the B channel, 0 to 1.");
    perChannel(w, Status, [](const TChannelStatus &c) { return c.CLU / 100.0; });

    w.family("linewatch_channel_average_line_usage_ratio", "gauge",
             "Average line usage of the B channel as the router computes it, 0 to 1.");
    perChannel(w, Status, [](const TChannelStatus &c) { return c.ALU / 100.0; });

    // Bytes, not bits: Prometheus's base unit for data (a 64 Kbit/s channel is 8000 bytes/s).
    w.family("linewatch_channel_speed_bytes_per_second", "gauge", "Speed of the B channel's call.");
    perChannel(w, Status, [](const TChannelStatus &c) { return int64_t{c.Speed} * 1000 / 8; });

    w.family("linewatch_channel_up_seconds", "gauge", "How long the B channel's call has been up.");
    for (const std::string_view channel : kChannelNames) {
        const TChannelStatus &record = channel == "B1" ? Status.B1 : Status.B2;
        // A text that is no duration leaves the series out rather than inventing a value.
        if (const std::optional<int64_t> up = DurationSeconds(record.UpTime))
            w.sample(channelLabel(channel), *up);
    }

    w.family("linewatch_channel_transmitted_packets_total", "counter",
             "Packets sent on the B channel, as the router counts them.");
    perChannel(w, Status, [](const TChannelStatus &c) { return c.TX; });

    w.family("linewatch_channel_received_packets_total", "counter",
             "Packets received on the B channel, as the router counts them.");
    perChannel(w, Status, [](const TChannelStatus &c) { return c.RX; });

    w.family("linewatch_channel_errors_total", "counter", "Errors on the B channel, as the router counts them.");
    perChannel(w, Status, [](const TChannelStatus &c) { return c.Errors; });

    w.family("linewatch_ethernet_transmitted_packets_total", "counter", "Packets the router sent on its Ethernet.");
    w.sample({}, Status.Router.LANSent);

    w.family("linewatch_ethernet_received_packets_total", "counter", "Packets the router received on its Ethernet.");
    w.sample({}, Status.Router.LANReceived);

    w.family("linewatch_ethernet_collisions_total", "counter", "Collisions on the router's Ethernet.");
    w.sample({}, Status.Router.LANCollisions);

    w.family("linewatch_outcall_seconds_total", "counter", "Total time of the router's outgoing calls.");
    if (const std::optional<int64_t> outcall = DurationSeconds(Status.Router.TotalOutcallTime))
        w.sample({}, *outcall);

    std::string out = w.take();
    if (Status.Process)
        out += BuildProcessMetrics(*Status.Process);
    return out;
}

std::string BuildProcessMetrics(const TProcessStats &Stats)
{
    TMetricsWriter w;
    // Names and help texts as the client libraries write them, so their dashboards fit; a figure
    // that could not be read is left out.
    const auto write = [&w](const auto &Value, const char *Name, const char *Type, const char *Help) {
        if (!Value)
            return;
        w.family(Name, Type, Help);
        w.sample({}, *Value);
    };
    write(Stats.CpuSeconds, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    write(Stats.OpenFds, "process_open_fds", "gauge", "Number of open file descriptors.");
    write(Stats.MaxFds, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
    write(Stats.VirtualBytes, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    write(Stats.ResidentBytes, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    write(Stats.StartTimeSeconds, "process_start_time_seconds", "gauge",
          "Start time of the process since unix epoch in seconds.");
    return w.take();
}

namespace {

// A small file of /proc whole; empty when it cannot be read.
std::string readProcFile(const char *path)
{
    std::string text;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(fd);
    return text;
}

// The boot time from /proc/stat's "btime" line, in seconds since the epoch; 0 if not found.
int64_t bootTimeSeconds()
{
    const std::string stat = readProcFile("/proc/stat");
    const size_t at = stat.find("\nbtime ");
    return at == std::string::npos ? 0 : std::strtoll(stat.c_str() + at + 7, nullptr, 10);
}

} // namespace

TProcessStats ReadProcessStats()
{
    TProcessStats stats;
    // /proc/self/stat: the name in parentheses may hold blanks and parentheses of its own, so the
    // fields are counted from the last ')'; the first after it is field 3 (the state).
    const std::string stat = readProcFile("/proc/self/stat");
    const size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::vector<std::string_view> fields;
        std::string_view rest = std::string_view(stat).substr(close + 1);
        while (!rest.empty()) {
            const size_t begin = rest.find_first_not_of(" \n");
            if (begin == std::string_view::npos)
                break;
            rest.remove_prefix(begin);
            const size_t end = std::min(rest.find_first_of(" \n"), rest.size());
            fields.push_back(rest.substr(0, end));
            rest.remove_prefix(end);
        }
        const auto field = [&fields](size_t number) -> std::optional<int64_t> {
            int64_t value = 0;
            if (number < 3 || number - 3 >= fields.size())
                return std::nullopt;
            const std::string_view text = fields[number - 3];
            const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
            return result.ec == std::errc() ? std::optional<int64_t>(value) : std::nullopt;
        };
        const long ticks = ::sysconf(_SC_CLK_TCK);
        const long pageSize = ::sysconf(_SC_PAGESIZE);
        const auto utime = field(14), stime = field(15), start = field(22), vsize = field(23), rss = field(24);
        if (ticks > 0 && utime && stime)
            stats.CpuSeconds = static_cast<double>(*utime + *stime) / static_cast<double>(ticks);
        if (vsize)
            stats.VirtualBytes = *vsize;
        if (rss && pageSize > 0)
            stats.ResidentBytes = *rss * pageSize;
        // The boot time never changes while we run: read once.
        static const int64_t bootTime = bootTimeSeconds();
        if (ticks > 0 && start && bootTime > 0)
            stats.StartTimeSeconds =
                static_cast<double>(bootTime) + static_cast<double>(*start) / static_cast<double>(ticks);
    }
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        int64_t count = 0;
        while (const dirent *entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ++count;
        }
        ::closedir(dir);
        // The directory's own descriptor was open while counting; the client libraries count it
        // too, and so do we.
        stats.OpenFds = count;
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        stats.MaxFds = static_cast<int64_t>(limit.rlim_cur);
    return stats;
}
