// SPDX-License-Identifier: MIT
// The simulated router behind the console: two ISDN B channels whose calls come and go, the
// Ethernet counters, the running total of outgoing call time and the packet that triggered the
// last outgoing call. Plain C++, driven by whole seconds of router time.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>

enum class LineState { Down, Idle, Data, Voice };

struct ChannelModel
{
    LineState state = LineState::Idle;
    std::string dataWord = "64K/Sync"; // state word shown while a data call is up
    int64_t tx = 0;
    int64_t rx = 0;
    int64_t errors = 0;
    int clu = 0;                  // current line usage, percent
    int alu = 0;                  // average usage over the current call, percent
    int64_t upSeconds = 0;        // length of the current call
    int64_t remainingSeconds = 0; // planned rest of the call, or of a line-down spell
    int64_t quietSeconds = 0;     // no new call starts before this runs out (after a drop)
    bool outgoing = false;
    std::string ip;   // far end of a data call
    std::string clid; // caller ID of an incoming call
    int64_t usageSum = 0;
    int64_t usageSamples = 0;
};

class RouterModel
{
public:
    static constexpr int kChannels = 2;
    static constexpr int kTriggerBytes = 24; // IPv4 header plus the two port fields
    // The channel counters stay below this so that every figure fits its column and 32 bits.
    static constexpr int64_t kCounterWrap = 2'000'000'000;

    explicit RouterModel(uint32_t seed);

    // Advances router time; figures move once per whole second that passes.
    void advance(int milliseconds);
    void stepSecond();

    void startCall(int channel, LineState kind, const std::string &clid);
    void drop(int channel);
    void dropAll();
    void resetCounters();

    const ChannelModel &channel(int index) const { return m_channels.at(index); }
    std::string stateWord(int index) const;
    int speed(int index) const;

    const std::string &lanStatus() const { return m_lanStatus; }
    int64_t lanSent() const { return m_lanSent; }
    int64_t lanReceived() const { return m_lanReceived; }
    int64_t lanCollisions() const { return m_lanCollisions; }
    int64_t outcallSeconds() const { return m_outcallSeconds; }
    const std::array<uint8_t, kTriggerBytes> &trigger() const { return m_trigger; }

    const std::string &systemName() const { return m_systemName; }
    const std::string &firmware() const { return m_firmware; }
    const std::string &ipAddress() const { return m_ipAddress; }

private:
    int uniform(int low, int high);
    bool chance(double probability);
    std::string randomClid();
    std::string randomRemoteAddress();
    void newTrigger();
    void stepChannel(ChannelModel &channel);
    void endCall(ChannelModel &channel, int64_t quietSeconds);

    std::mt19937 m_rng;
    std::array<ChannelModel, kChannels> m_channels;
    int m_pendingMs = 0;
    std::string m_lanStatus = "10M/Half Duplex";
    int64_t m_lanSent = 0;
    int64_t m_lanReceived = 0;
    int64_t m_lanCollisions = 0;
    int64_t m_outcallSeconds = 0;
    uint16_t m_packetId = 0;
    std::array<uint8_t, kTriggerBytes> m_trigger{};
    std::string m_systemName = "office-gw";
    std::string m_firmware = "V3.12(BW.4)";
    std::string m_ipAddress = "192.168.1.1";
};

// "h:mm:ss", hours unbounded, as the console prints durations.
std::string formatDuration(int64_t seconds);
