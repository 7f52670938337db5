// SPDX-License-Identifier: MIT
// The local calendar day of a UTC time, looked up again only when the day ends, hourly (for a
// change of time zone) and when the clock goes back: a time-zone lookup costs more than the rest
// of a once-a-second tick, and the monitor asks every tick.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <algorithm>
#include <cstdint>
#include <limits>

class TLocalDay
{
public:
    // The local date at UtcMs (milliseconds since the epoch).
    QDate at(int64_t UtcMs)
    {
        if (UtcMs >= m_endsMs || UtcMs < m_endsMs - kRecheckMs) {
            m_date = QDateTime::fromMSecsSinceEpoch(UtcMs).date();
            const int64_t midnight = QDateTime(m_date.addDays(1), QTime(0, 0)).toMSecsSinceEpoch();
            m_endsMs = std::min(midnight, UtcMs + kRecheckMs);
        }
        return m_date;
    }

private:
    static constexpr int64_t kRecheckMs = 60 * 60 * 1000;
    QDate m_date;
    // Before the first look the first condition holds, so the subtraction is never reached.
    int64_t m_endsMs = std::numeric_limits<int64_t>::min();
};
