// SPDX-License-Identifier: MIT
// lw_historywrite: what the call history costs. (1) One event's write: the time from posting a
// call to its commit being reported back, and the poster's own cost, p50 and p99, over a file on
// disk in a temporary folder. (2) A busy day through the recorder and the store: 86,400 ticks with
// a few thousand calls on both channels, the cost of each tick's recorder step and posts (what the
// monitor's tick pays), and how long the writer took for the whole day.
// Usage: lw_historywrite [--events N] [--calls N]   (defaults 2000 and 4000)
#include "callrecorder.h"
#include "historystore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double us(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

void waitFor(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int events = 2000;
    int calls = 4000;
    const QStringList args = app.arguments();
    for (int k = 1; k + 1 < args.size(); ++k) {
        if (args[k] == QLatin1String("--events"))
            events = args[k + 1].toInt();
        if (args[k] == QLatin1String("--calls"))
            calls = args[k + 1].toInt();
    }
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/historywrite-XXXXXX"));

    // (1) One call at a time, each waited for.
    {
        THistoryStore store(dir.filePath(QStringLiteral("single.sqlite")));
        qint64 written = 0;
        QObject::connect(&store, &THistoryStore::callWritten, [&](qint64) { ++written; });
        std::vector<double> latency, post;
        for (int n = 0; n < events + 100; ++n) {
            THistoryCall call;
            call.StartUtc = 1'700'000'000 + n;
            call.EndUtc = call.StartUtc + 60;
            call.Remote = "5551234";
            const auto start = Clock::now();
            store.Post(call);
            const auto posted = Clock::now();
            const qint64 target = written + 1;
            waitFor([&] { return written >= target; });
            // The first hundred warm the cache and the file.
            if (n >= 100) {
                post.push_back(us(posted - start));
                latency.push_back(us(Clock::now() - start));
            }
        }
        std::printf("one call, post to commit reported: p50 %.0f us, p99 %.0f us (%d calls)\n",
                    percentile(latency, 0.5), percentile(latency, 0.99), events);
        std::printf("one call, the poster's cost:       p50 %.2f us, p99 %.2f us\n", percentile(post, 0.5),
                    percentile(post, 0.99));
    }

    // (2) A busy day: calls of 10 s to 3 min, started at random on either channel.
    {
        const QString path = dir.filePath(QStringLiteral("day.sqlite"));
        THistoryStore store(path);
        qint64 written = 0;
        QObject::connect(&store, &THistoryStore::callWritten, [&](qint64) { ++written; });
        TCallRecorder recorder;
        size_t posted = 0;
        recorder.Emit = [&](THistoryEvent Event) {
            ++posted;
            store.Post(std::move(Event));
        };
        std::mt19937 random(7);
        constexpr int kDay = 86400;
        // Each channel's calls as [start, end) seconds, non-overlapping, about calls/2 each.
        std::vector<std::vector<std::pair<int, int>>> plan(2);
        for (int c = 0; c < 2; ++c) {
            const int count = calls / 2;
            const int gap = kDay / count;
            for (int k = 0; k < count; ++k) {
                const int start = k * gap + int(random() % std::max(1, gap / 4));
                const int length = std::min(gap - gap / 4 - 1, 10 + int(random() % 170));
                plan[c].emplace_back(start, start + std::max(2, length));
            }
        }
        std::vector<size_t> next(2, 0);
        TChannelStatus b[2];
        int64_t tx[2] = {0, 0};
        std::vector<double> tick;
        tick.reserve(kDay);
        const int64_t t0 = 1'772'323'200'000; // a local midnight-ish start; the day string is fixed
        QElapsedTimer wall;
        wall.start();
        for (int s = 0; s < kDay; ++s) {
            for (int c = 0; c < 2; ++c) {
                auto &calls = plan[c];
                while (next[c] < calls.size() && calls[next[c]].second <= s)
                    ++next[c];
                const bool on = next[c] < calls.size() && calls[next[c]].first <= s;
                b[c].Link = on ? (c == 1 && next[c] % 3 == 0 ? "Voice" : "PPP") : "Idle";
                b[c].CLID = on && next[c] % 2 == 0 ? "5551234" : "";
                b[c].IP = on ? "10.0.0.9" : "0.0.0.0";
                b[c].CLU = on ? int(random() % 100) : 0;
                if (on)
                    tx[c] += 1000 + int64_t(random() % 7000);
                b[c].TX = tx[c];
                b[c].RX = tx[c] * 2;
            }
            const auto start = Clock::now();
            recorder.Tick(b[0], b[1], t0 + int64_t(s) * 1000, "2026-03-01");
            tick.push_back(us(Clock::now() - start));
            // Simulated seconds pass far faster than real ones: the writer is let catch up
            // outside the measured step, as a real second would.
            if (store.Pending() > 512)
                waitFor([&] { return store.Pending() < 64; });
        }
        const double tickSeconds = wall.elapsed() / 1000.0;
        recorder.Stop(t0 + int64_t(kDay) * 1000);
        QElapsedTimer drain;
        drain.start();
        waitFor([&] { return store.Pending() == 0; });
        // The last commits' reports are still on their way.
        const qint64 planned = qint64(plan[0].size() + plan[1].size());
        QElapsedTimer late;
        late.start();
        while (late.elapsed() < 1000 && written < planned)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::printf("busy day: %lld calls, %zu events, tick p50 %.2f us, p99 %.2f us, max %.0f us\n",
                    static_cast<long long>(written), posted, percentile(tick, 0.5), percentile(tick, 0.99),
                    *std::max_element(tick.begin(), tick.end()));
        std::printf("busy day: 86,400 ticks ran in %.2f s with the writer beside them (+%.2f s to drain); "
                    "file %.1f KiB\n",
                    tickSeconds, drain.elapsed() / 1000.0, double(QFileInfo(path).size()) / 1024.0);
    }
    return 0;
}
