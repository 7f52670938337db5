// Web status page throughput: BuildStatusPage pages per second for a busy router (both channels
// in calls, full usage histories, service names looked up) and for the defaults, the two ends of
// what a browser can ask for; bytes per second follow from the page size.
#include "statuspage.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace {

TStatusPageInputs busyInputs()
{
    TStatusPageInputs in;
    in.B1.Link = "PPP";
    in.B1.Speed = 64;
    in.B1.TX = 1234567890123;
    in.B1.RX = 987654321;
    in.B1.Errors = 3;
    in.B1.CLU = 87;
    in.B1.ALU = 45;
    in.B1.UpTime = "12:34:56";
    in.B1.IP = "10.20.30.40";
    in.B1.CLID = "5551234567";
    in.B2 = in.B1;
    in.B2.Link = "Idle";
    in.B2.CLU = 3;
    in.Router.LANStatus = "100M/Full Duplex";
    in.Router.LANSent = 4000000000;
    in.Router.LANReceived = 3000000000;
    in.Router.LANCollisions = 17;
    in.Router.TotalOutcallTime = "1234:56:07";
    in.Router.TriggerSrcIP = "192.0.2.10";
    in.Router.TriggerSrcPort = 1025;
    in.Router.TriggerDestIP = "198.51.100.7";
    in.Router.TriggerDestPort = 80;
    in.Router.Name = "office-gw";
    in.Router.Firmware = "V2.50(AB.3) | 5/5/2000";
    in.Router.IPAddress = "192.0.2.1";
    for (size_t i = 0; i < in.Series1.size(); ++i) {
        in.Series1[i] = 50 + 45 * std::sin(static_cast<double>(i) / 7);
        in.Series2[i] = static_cast<double>(i % 100);
    }
    in.WebAutoRefresh = true;
    in.WebAutoRefreshSeconds = "5";
    in.LookupServiceName = [](int32_t port) { return port == 80 ? std::string("http") : std::string("?"); };
    return in;
}

void runPages(benchmark::State &state, const TStatusPageInputs &in)
{
    int32_t hits = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        std::string page = BuildStatusPage(in, hits);
        bytes += page.size();
        benchmark::DoNotOptimize(page);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["page_bytes"] = state.iterations() ? static_cast<double>(bytes) / state.iterations() : 0;
}

void BM_StatusPageBusy(benchmark::State &state)
{
    runPages(state, busyInputs());
}

void BM_StatusPageDefaults(benchmark::State &state)
{
    runPages(state, TStatusPageInputs{});
}

// The answer as it goes on the wire: page, escaping of the 404 path and the HTTP framing.
void BM_NotFoundAnswer(benchmark::State &state)
{
    const std::string path = "/cgi-bin/<script>alert(\"x\")</script>&" + std::string(200, 'a');
    for (auto _ : state) {
        std::string answer = HttpAnswer(THttpStatus::NotFound, BuildNotFoundPage(path));
        benchmark::DoNotOptimize(answer);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_StatusPageBusy);
BENCHMARK(BM_StatusPageDefaults);
BENCHMARK(BM_NotFoundAnswer);
BENCHMARK_MAIN();
