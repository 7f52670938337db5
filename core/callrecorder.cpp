// SPDX-License-Identifier: MIT
// The call recorder; see callrecorder.h. A channel's state word decides: "Down" and "Idle" are no
// call, "No Data" (no status screen: before the first one, or while the router connection is
// down) says nothing either way, so an open call waits for the next screen that shows the channel.
#include "callrecorder.h"

#include <algorithm>

namespace {

enum class TLinkState { Unknown, Idle, Call };

TLinkState linkState(const std::string &Link)
{
    if (Link.empty() || Link == "No Data")
        return TLinkState::Unknown;
    if (Link == "Down" || Link == "Idle")
        return TLinkState::Idle;
    return TLinkState::Call;
}

constexpr int64_t kWrap32 = int64_t(1) << 32;
// How close to its top a 32-bit counter must have been, and how small it must come back, to be
// taken for wrapped rather than started again: far more than an ISDN channel moves in a tick.
constexpr int64_t kWrapMargin = int64_t(1) << 24;

constexpr const char *kNoAddress = "0.0.0.0";

} // namespace

int64_t TCallRecorder::TCounter::step(int64_t Value)
{
    if (!Known) {
        Known = true;
        Last = Value;
        return 0;
    }
    int64_t delta = Value - Last;
    if (Value < Last)
        delta =
            (Last < kWrap32 && Last >= kWrap32 - kWrapMargin && Value < kWrapMargin) ? kWrap32 - Last + Value : Value;
    Last = Value;
    return std::max<int64_t>(delta, 0);
}

void TCallRecorder::Tick(const TChannelStatus &B1, const TChannelStatus &B2, int64_t UtcMs, const std::string &LocalDay)
{
    const int64_t elapsed = m_lastTickMs ? std::clamp<int64_t>(UtcMs - *m_lastTickMs, 0, kMaxTickGapMs) : 0;
    m_lastTickMs = UtcMs;
    if (m_lastFlushMs == 0)
        m_lastFlushMs = UtcMs;
    const bool dayChanged = !m_lastDay.empty() && m_lastDay != LocalDay;
    m_lastDay = LocalDay;
    tickChannel(1, B1, UtcMs, elapsed, LocalDay);
    tickChannel(2, B2, UtcMs, elapsed, LocalDay);
    if (dayChanged || UtcMs - m_lastFlushMs >= kFlushIntervalMs)
        flush(UtcMs);
}

void TCallRecorder::tickChannel(int Channel, const TChannelStatus &C, int64_t NowMs, int64_t ElapsedMs,
                                const std::string &Day)
{
    TChannel &ch = m_channels[Channel - 1];
    const TLinkState state = linkState(C.Link);
    if (state == TLinkState::Unknown) {
        ch.SeenLastTick = false;
        return;
    }
    const bool continuous = ch.SeenLastTick;
    ch.SeenLastTick = true;
    const int64_t tx = ch.Tx.step(C.TX);
    const int64_t rx = ch.Rx.step(C.RX);
    TPending &day = pending(Day, Channel);
    day.TxPackets += tx;
    day.RxPackets += rx;

    if (state == TLinkState::Idle) {
        if (ch.Call) {
            // Watched without a gap: the call ended since the last tick, which still counts.
            if (continuous) {
                day.ConnectedMs += ElapsedMs;
                if (!ch.Call->Row.Incoming)
                    day.OutcallMs += ElapsedMs;
                ch.Call->Row.TxPackets += tx;
                ch.Call->Row.RxPackets += rx;
            }
            endCall(Channel, continuous ? NowMs : ch.Call->LastSeenMs, false);
        }
        return;
    }

    const bool opened = !ch.Call;
    if (opened) {
        ch.Call.emplace();
        THistoryCall &row = ch.Call->Row;
        row.Channel = Channel;
        row.Voice = C.Link == "Voice";
        row.StartUtc = NowMs / 1000;
    }
    TCall &call = *ch.Call;
    THistoryCall &row = call.Row;
    row.TxPackets += tx;
    row.RxPackets += rx;
    if (!opened && continuous) {
        day.ConnectedMs += ElapsedMs;
        if (!row.Incoming) {
            day.OutcallMs += ElapsedMs;
            if (call.OutcallMs.empty() || call.OutcallMs.back().first != Day)
                call.OutcallMs.emplace_back(Day, 0);
            call.OutcallMs.back().second += ElapsedMs;
        }
    }
    if (!C.CLID.empty() && !row.Incoming) {
        // A caller ID makes it an incoming call from its start: the outgoing time goes back.
        row.Incoming = true;
        row.Remote = C.CLID;
        for (const auto &[d, ms] : call.OutcallMs)
            pending(d, Channel).OutcallMs -= ms;
        call.OutcallMs.clear();
    }
    // A voice call has no address: the router's screen shows 0.0.0.0 for it, and the number
    // dialled out is nowhere on the screen, so an outgoing voice call names no remote.
    if (!row.Incoming && !row.Voice && C.IP != kNoAddress && !C.IP.empty())
        row.Remote = C.IP;
    row.PeakUsage = std::max(row.PeakUsage, C.CLU);
    call.UsageSum += C.CLU;
    ++call.Samples;
    call.LastSeenMs = NowMs;
}

void TCallRecorder::endCall(int Channel, int64_t EndMs, bool AtStop)
{
    TChannel &ch = m_channels[Channel - 1];
    THistoryCall row = std::move(ch.Call->Row);
    row.EndUtc = std::max(row.StartUtc, EndMs / 1000);
    row.MeanUsage = ch.Call->Samples ? double(ch.Call->UsageSum) / double(ch.Call->Samples) : 0.0;
    if (row.Remote.empty() && !row.Voice)
        row.Remote = kNoAddress;
    row.ClosedAtStop = AtStop;
    ch.Call.reset();
    send(std::move(row));
    if (!AtStop)
        flush(EndMs);
}

TCallRecorder::TPending &TCallRecorder::pending(const std::string &Day, int Channel)
{
    for (TPending &p : m_pending) {
        if (p.Channel == Channel && p.Day == Day)
            return p;
    }
    TPending &p = m_pending.emplace_back();
    p.Day = Day;
    p.Channel = Channel;
    return p;
}

void TCallRecorder::flush(int64_t NowMs)
{
    m_lastFlushMs = NowMs;
    std::vector<TPending> kept;
    for (TPending &p : m_pending) {
        THistoryDaily daily{p.Day, p.Channel, p.ConnectedMs / 1000, p.OutcallMs / 1000, p.TxPackets, p.RxPackets};
        if (daily.ConnectedSeconds != 0 || daily.OutcallSeconds != 0 || daily.TxPackets != 0 || daily.RxPackets != 0)
            send(std::move(daily));
        // Today's parts of a second wait for the next flush; an earlier day's are too small to keep.
        if (p.Day == m_lastDay) {
            p.ConnectedMs %= 1000;
            p.OutcallMs %= 1000;
            p.TxPackets = p.RxPackets = 0;
            kept.push_back(std::move(p));
        }
    }
    m_pending = std::move(kept);
}

void TCallRecorder::SessionConnected(int64_t UtcMs)
{
    if (m_sessionOpen)
        SessionLost(UtcMs, "connected again");
    m_sessionOpen = true;
    send(THistorySession{true, UtcMs / 1000, {}});
}

void TCallRecorder::SessionLost(int64_t UtcMs, const std::string &Reason)
{
    flush(UtcMs);
    if (!m_sessionOpen)
        return;
    m_sessionOpen = false;
    send(THistorySession{false, UtcMs / 1000, Reason});
}

void TCallRecorder::Stop(int64_t UtcMs)
{
    for (int channel = 1; channel <= 2; ++channel) {
        if (m_channels[channel - 1].Call)
            endCall(channel, UtcMs, true);
    }
    SessionLost(UtcMs, "the monitor stopped");
    m_channels = {};
    m_lastTickMs.reset();
}
