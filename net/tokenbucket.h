// SPDX-License-Identifier: MIT
// TTokenBucket: the one rate limit of the program (the log's lines, the web port's requests, its
// expensive answers): at most Capacity tokens, refilled at PerSecond on a monotonic clock in
// milliseconds. A caller may take more than is there (Charge), and the next callers wait for the
// overdraft to be paid back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

class TTokenBucket
{
public:
    TTokenBucket(double Capacity, double PerSecond) : m_capacity(Capacity), m_perSecond(PerSecond), m_tokens(Capacity)
    {
    }

    // Capacity and rate from now on (a reloaded setting); the tokens there stay, up to the capacity.
    void SetRate(double Capacity, double PerSecond)
    {
        m_capacity = Capacity;
        m_perSecond = PerSecond;
        m_tokens = std::min(m_tokens, m_capacity);
    }

    // The tokens there at NowMs.
    double Available(int64_t NowMs)
    {
        if (m_refilledMs != std::numeric_limits<int64_t>::min() && NowMs > m_refilledMs)
            m_tokens = std::min(m_capacity, m_tokens + double(NowMs - m_refilledMs) * m_perSecond / 1000.0);
        m_refilledMs = NowMs;
        return m_tokens;
    }

    // Takes Count tokens when that many are there.
    bool Take(int64_t NowMs, double Count = 1)
    {
        if (Available(NowMs) < Count)
            return false;
        m_tokens -= Count;
        return true;
    }

    // Takes Count whatever is there.
    void Charge(double Count) { m_tokens -= Count; }

private:
    double m_capacity;
    double m_perSecond;
    double m_tokens;
    int64_t m_refilledMs = std::numeric_limits<int64_t>::min();
};
