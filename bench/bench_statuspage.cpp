// SPDX-License-Identifier: MIT
// Web status page throughput: BuildStatusPage pages per second for a busy router (both channels
// in calls, full usage histories, service names looked up) and for the defaults, the two ends of
// what a browser can ask for; bytes per second follow from the page size.
#include "statusinputs.h"
#include "statuspage.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

namespace {

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
    runPages(state, busyStatusInputs());
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
