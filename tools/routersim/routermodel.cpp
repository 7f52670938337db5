// SPDX-License-Identifier: MIT
// Call traffic and counters of the simulated router. Each second an idle channel may take a
// call, a call may end, usage drifts and the counters grow with it, so that every repaint of the
// status screen looks like a line in use.
#include "routermodel.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr double kCallStartPerSecond = 0.05;
constexpr double kLineDownPerSecond = 0.004;
constexpr double kDataCallShare = 0.65;
constexpr double kOutgoingDataShare = 0.6;
constexpr double kIncomingVoiceShare = 0.8;
constexpr int kDropQuietSeconds = 5;

const char *const kDataWords[] = {"64K/Sync", "64K/PPP", "64K/MP"};
const uint16_t kServicePorts[] = {80, 80, 80, 25, 110, 21, 53, 119, 443, 23};

int64_t wrapCounter(int64_t value)
{
    return value >= RouterModel::kCounterWrap ? value - RouterModel::kCounterWrap : value;
}

} // namespace

std::string formatDuration(int64_t seconds)
{
    if (seconds < 0)
        seconds = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

RouterModel::RouterModel(uint32_t seed) : m_rng(seed)
{
    // A router that has been up for a while: counters part-way up, one call on B1.
    m_lanSent = uniform(100'000, 2'000'000);
    m_lanReceived = uniform(100'000, 3'000'000);
    m_lanCollisions = uniform(0, 900);
    m_outcallSeconds = uniform(3600, 60 * 3600);
    m_packetId = static_cast<uint16_t>(uniform(0, 0xffff));
    for (ChannelModel &channel : m_channels) {
        channel.tx = uniform(1000, 500'000);
        channel.rx = uniform(1000, 800'000);
        channel.errors = uniform(0, 40);
    }
    newTrigger();
    startCall(0, LineState::Data, "");
    m_channels[0].upSeconds = uniform(30, 900);
}

int RouterModel::uniform(int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(m_rng);
}

bool RouterModel::chance(double probability)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < probability;
}

std::string RouterModel::randomClid()
{
    const int length = chance(0.5) ? 7 : 10;
    std::string digits;
    digits += static_cast<char>('2' + uniform(0, 7)); // no leading 0 or 1
    while (static_cast<int>(digits.size()) < length)
        digits += static_cast<char>('0' + uniform(0, 9));
    return digits;
}

std::string RouterModel::randomRemoteAddress()
{
    // Documentation address blocks: plausible on screen, never anybody's real host.
    static const char *const kBlocks[] = {"192.0.2.", "198.51.100.", "203.0.113."};
    return std::string(kBlocks[uniform(0, 2)]) + std::to_string(uniform(1, 254));
}

void RouterModel::newTrigger()
{
    std::array<uint8_t, kTriggerBytes> &p = m_trigger;
    p.fill(0);
    const int totalLength = uniform(40, 60);
    ++m_packetId;
    p[0] = 0x45; // version 4, five header words
    p[2] = static_cast<uint8_t>(totalLength >> 8);
    p[3] = static_cast<uint8_t>(totalLength);
    p[4] = static_cast<uint8_t>(m_packetId >> 8);
    p[5] = static_cast<uint8_t>(m_packetId);
    p[6] = 0x40; // don't fragment
    p[8] = static_cast<uint8_t>(uniform(32, 128));
    const uint16_t port = kServicePorts[uniform(0, std::size(kServicePorts) - 1)];
    p[9] = port == 53 ? 17 : 6; // UDP for names, TCP otherwise
    const uint8_t src[4] = {192, 168, 1, static_cast<uint8_t>(uniform(2, 60))};
    const uint8_t dstPrefix[3][3] = {{192, 0, 2}, {198, 51, 100}, {203, 0, 113}};
    const uint8_t *prefix = dstPrefix[uniform(0, 2)];
    const uint8_t dst[4] = {prefix[0], prefix[1], prefix[2], static_cast<uint8_t>(uniform(1, 254))};
    std::copy(src, src + 4, p.begin() + 12);
    std::copy(dst, dst + 4, p.begin() + 16);
    const int sourcePort = uniform(1024, 65535);
    p[20] = static_cast<uint8_t>(sourcePort >> 8);
    p[21] = static_cast<uint8_t>(sourcePort);
    p[22] = static_cast<uint8_t>(port >> 8);
    p[23] = static_cast<uint8_t>(port);
    // The header checksum, so that the dump is a packet a reader could check by hand.
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum > 0xffff)
        sum = (sum & 0xffff) + (sum >> 16);
    const uint16_t checksum = static_cast<uint16_t>(~sum);
    p[10] = static_cast<uint8_t>(checksum >> 8);
    p[11] = static_cast<uint8_t>(checksum);
}

void RouterModel::startCall(int index, LineState kind, const std::string &clid)
{
    ChannelModel &channel = m_channels.at(index);
    channel.state = kind;
    channel.upSeconds = 0;
    channel.usageSum = 0;
    channel.usageSamples = 0;
    channel.clu = 0;
    channel.alu = 0;
    channel.ip.clear();
    channel.clid.clear();
    channel.outgoing = false;
    switch (kind) {
    case LineState::Idle:
        channel.remainingSeconds = 0;
        return;
    case LineState::Down:
        channel.remainingSeconds = uniform(5, 20);
        return;
    case LineState::Voice:
        channel.remainingSeconds = uniform(15, 180);
        channel.clid = clid;
        return;
    case LineState::Data:
        channel.remainingSeconds = uniform(20, 300);
        channel.dataWord = kDataWords[uniform(0, std::size(kDataWords) - 1)];
        channel.ip = randomRemoteAddress();
        channel.clid = clid;
        channel.outgoing = clid.empty();
        channel.clu = uniform(5, 60);
        if (channel.outgoing)
            newTrigger();
        return;
    }
}

void RouterModel::endCall(ChannelModel &channel, int64_t quietSeconds)
{
    channel.state = LineState::Idle;
    channel.clu = 0;
    channel.alu = 0;
    channel.upSeconds = 0;
    channel.remainingSeconds = 0;
    channel.ip.clear();
    channel.clid.clear();
    channel.outgoing = false;
    channel.quietSeconds = quietSeconds;
}

void RouterModel::drop(int index)
{
    endCall(m_channels.at(index), kDropQuietSeconds);
}

void RouterModel::dropAll()
{
    for (int i = 0; i < kChannels; ++i)
        drop(i);
}

void RouterModel::resetCounters()
{
    for (ChannelModel &channel : m_channels) {
        channel.tx = 0;
        channel.rx = 0;
        channel.errors = 0;
        channel.usageSum = 0;
        channel.usageSamples = 0;
        channel.alu = channel.clu;
    }
    m_lanSent = 0;
    m_lanReceived = 0;
    m_lanCollisions = 0;
}

std::string RouterModel::stateWord(int index) const
{
    const ChannelModel &channel = m_channels.at(index);
    switch (channel.state) {
    case LineState::Down:
        return "Down";
    case LineState::Idle:
        return "Idle";
    case LineState::Voice:
        return "Voice";
    case LineState::Data:
        return channel.dataWord;
    }
    return "Idle";
}

int RouterModel::speed(int index) const
{
    const LineState state = m_channels.at(index).state;
    return state == LineState::Data || state == LineState::Voice ? 64 : 0;
}

void RouterModel::advance(int milliseconds)
{
    m_pendingMs += std::max(milliseconds, 0);
    while (m_pendingMs >= 1000) {
        m_pendingMs -= 1000;
        stepSecond();
    }
}

void RouterModel::stepChannel(ChannelModel &channel)
{
    if (channel.quietSeconds > 0)
        --channel.quietSeconds;
    switch (channel.state) {
    case LineState::Down:
        if (--channel.remainingSeconds <= 0)
            endCall(channel, 0);
        return;
    case LineState::Idle:
        if (channel.quietSeconds > 0)
            return;
        if (chance(kLineDownPerSecond)) {
            channel.state = LineState::Down;
            channel.remainingSeconds = uniform(5, 20);
        } else if (chance(kCallStartPerSecond)) {
            const int index = static_cast<int>(&channel - m_channels.data());
            if (chance(kDataCallShare))
                startCall(index, LineState::Data, chance(kOutgoingDataShare) ? "" : randomClid());
            else
                startCall(index, LineState::Voice, chance(kIncomingVoiceShare) ? randomClid() : "");
        }
        return;
    case LineState::Voice:
        ++channel.upSeconds;
        if (--channel.remainingSeconds <= 0)
            endCall(channel, 0);
        return;
    case LineState::Data:
        break;
    }
    ++channel.upSeconds;
    if (channel.outgoing)
        ++m_outcallSeconds;
    // Usage wanders, with an occasional burst, and the packet counters follow it.
    channel.clu = std::clamp(channel.clu + uniform(-15, 15) + (chance(0.05) ? 50 : 0), 0, 100);
    channel.usageSum += channel.clu;
    ++channel.usageSamples;
    channel.alu = static_cast<int>(channel.usageSum / channel.usageSamples);
    channel.tx = wrapCounter(channel.tx + channel.clu * 8 / 100 + uniform(0, 3));
    channel.rx = wrapCounter(channel.rx + channel.clu * 14 / 100 + uniform(0, 3));
    if (chance(0.01))
        channel.errors = wrapCounter(channel.errors + 1);
    if (--channel.remainingSeconds <= 0)
        endCall(channel, 0);
}

void RouterModel::stepSecond()
{
    for (ChannelModel &channel : m_channels)
        stepChannel(channel);
    m_lanSent = wrapCounter(m_lanSent + uniform(2, 40) + m_channels[0].clu / 4 + m_channels[1].clu / 4);
    m_lanReceived = wrapCounter(m_lanReceived + uniform(2, 60) + m_channels[0].clu / 3 + m_channels[1].clu / 3);
    if (chance(0.02))
        m_lanCollisions = wrapCounter(m_lanCollisions + 1);
    m_outcallSeconds %= 100'000LL * 3600; // five-digit hours keep the total inside its twelve columns
}
