// SPDX-License-Identifier: MIT
// Console pipeline throughput: status-screen repaints cut into 1,460-byte chunks (one TCP segment)
// go through tokenising, drawing and one ParseScreen per chunk, as the session does, beside a plain
// memchr pass over the same chunks. --stream FILE --chunks FILE (one decimal size a line) feed
// given bytes instead; --dump-stream FILE --dump-chunks FILE write the built-in ones out.
#include "consolescreen.h"
#include "screenparser.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t kSegmentSize = 1460;
constexpr int kRepaints = 600;

struct Input
{
    std::string stream;
    std::vector<size_t> chunks;
};

Input &input()
{
    static Input in;
    return in;
}

std::string at(int row, int col)
{
    return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "H";
}

std::string rjust(const std::string &s, size_t width)
{
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// The status screen as a router repaints it once a second: every row positioned, titles bold,
// erase to end of line, the cursor hidden meanwhile; calls come and go and counters grow.
std::string buildStream()
{
    uint32_t seed = 12345;
    const auto rnd = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    int64_t tx[2] = {1000000, 5}, rx[2] = {2000000, 7}, lanSent = 123456789, lanReceived = 98765432;
    std::string out = "\x1b[?25l\x1b[0m\x1b[2J";
    for (int n = 0; n < kRepaints; ++n) {
        out += "\x1b[?25l" + at(3, 1) + "\x1b[1m" + std::string(25, ' ') +
               "Menu 24.1 - System Maintenance - Status\x1b[0m\x1b[K";
        out += at(5, 1) + "  Port Status    Speed  TXPkts      RXPkts      Errors     CLU  ALU   Up Time\x1b[K";
        for (int ch = 0; ch < 2; ++ch) {
            static const char *const links[] = {"SYNC-PPP", "Idle", "Voice", "Down"};
            const char *link = links[rnd(4)];
            tx[ch] += rnd(4000);
            rx[ch] += rnd(9000);
            std::string line = "  " + std::to_string(ch + 1) + "  " + std::string(link) +
                               std::string(10 - std::strlen(link), ' ') + "64Kbps " +
                               rjust(std::to_string(tx[ch]), 11) + " " + rjust(std::to_string(rx[ch]), 11) + " " +
                               rjust(std::to_string(rnd(20)), 11) + " " + rjust(std::to_string(rnd(101)), 3) + "% " +
                               rjust(std::to_string(rnd(101)), 3) + "%  " +
                               rjust(std::to_string(n / 3600) + ":" + std::to_string(n / 60 % 60 + 10) + ":" +
                                         std::to_string(n % 60 + 10),
                                     10);
            out += at(6 + ch, 1) + line + "\x1b[K";
        }
        out += at(9, 1) + "  Total Outcall Time :" + rjust("12:" + std::to_string(10 + n % 50) + ":07", 14) + "\x1b[K";
        out += at(11, 1) + "  Ethernet:" + std::string(35, ' ') + "Channel IP Address:\x1b[K";
        lanSent += rnd(100000);
        lanReceived += rnd(100000);
        out += at(12, 1) + "  Status    :  10M/Half Duplex" + std::string(16, ' ') + "B1   10.0.0.2\x1b[K";
        out += at(13, 1) + "  TX Pkts   :" + rjust(std::to_string(lanSent), 15) + std::string(18, ' ') +
               "B2   0.0.0.0\x1b[K";
        out += at(14, 1) + "  RX Pkts   :" + rjust(std::to_string(lanReceived), 15) +
               "    B1 Caller ID:   " + (rnd(2) ? "5551234" : "       ") + "\x1b[K";
        out += at(15, 1) + "  Collisions   :" + rjust(std::to_string(rnd(50)), 12) +
               "    B2 Caller ID:   " + (rnd(2) ? "0123456789" : "          ") + "\x1b[K";
        out += at(17, 1) + "  Last Call Triggered By Packet:\x1b[K";
        out += at(19, 1) + "  IP:45 00 00 3C 1C 46 40 00 40 06 B1 E6 C0 A8 00 01 0A 14 1E 28 04 01 00 50\x1b[K";
        out +=
            at(22, 1) + "  Press Command (1=Drop B1, 2=Drop B2, 3=Reset, 4=Drop All):\x1b[K" + at(22, 62) + "\x1b[?25h";
    }
    return out;
}

bool readFile(const char *path, std::string &out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream s;
    s << file.rdbuf();
    out = s.str();
    return true;
}

void pipeline(benchmark::State &state, bool fullPass)
{
    const Input &in = input();
    size_t errors = 0;
    for (auto _ : state) {
        TConsoleScreen screen;
        std::string buffer;
        TChannelStatus B1, B2;
        TRouterStatus Router;
        size_t offset = 0;
        for (size_t size : in.chunks) {
            const std::string_view chunk(in.stream.data() + offset, size);
            offset += size;
            try {
                screen.DrawChunk(buffer, chunk);
                // The session reads a status screen only once it passes the layout check.
                const TCheckedStatusRead read(screen, fullPass);
                if (read.StatusScreen()) {
                    if (read.Verdict().Passed())
                        read.CommitTo(B1, B2, Router);
                    continue;
                }
                ParseScreen(screen, fullPass, B1, B2, Router);
            } catch (const std::exception &) {
                ++errors; // a foreign stream may hold fields the parser rejects; the session reports them
            }
        }
        benchmark::DoNotOptimize(B1.TX);
        benchmark::DoNotOptimize(Router.LANSent);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.stream.size()));
    state.counters["chunks"] = static_cast<double>(in.chunks.size());
    state.counters["errors"] = static_cast<double>(errors / std::max<size_t>(1, state.iterations()));
}

void BM_ConsolePipeline(benchmark::State &state)
{
    pipeline(state, true);
}

void BM_ConsolePipelineHidden(benchmark::State &state)
{
    pipeline(state, false);
}

// The parser alone, on the screen the stream leaves: what one ParseScreen per chunk costs.
void BM_ParseScreen(benchmark::State &state)
{
    const Input &in = input();
    TConsoleScreen screen;
    std::string buffer;
    try {
        screen.DrawChunk(buffer, in.stream);
    } catch (const std::exception &) {
    }
    TChannelStatus B1, B2;
    TRouterStatus Router;
    for (auto _ : state) {
        try {
            ParseScreen(screen, true, B1, B2, Router);
        } catch (const std::exception &) {
        }
        benchmark::DoNotOptimize(B1.TX);
    }
}

// The yardstick: one memchr over every chunk for a byte the stream does not hold.
void BM_Memchr(benchmark::State &state)
{
    const Input &in = input();
    for (auto _ : state) {
        size_t offset = 0;
        for (size_t size : in.chunks) {
            benchmark::DoNotOptimize(std::memchr(in.stream.data() + offset, '\0', size));
            offset += size;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.stream.size()));
}

// Prints the pipeline's speed as a fraction of memchr's after the usual table.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    // Colour only on a terminal, so that a saved report stays plain text.
    RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.run_type == Run::RT_Iteration)
                speeds[run.benchmark_name()] = it->second.value;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const double memchrSpeed = speeds["BM_Memchr"];
        for (const auto &[name, speed] : speeds) {
            if (name == "BM_Memchr" || memchrSpeed <= 0 || speed <= 0)
                continue;
            std::printf("%s: %.0f MB/s, memchr %.0f MB/s: 1/%.1f of memchr\n", name.c_str(), speed / 1e6,
                        memchrSpeed / 1e6, memchrSpeed / speed);
        }
    }

private:
    std::map<std::string, double> speeds;
};

} // namespace

BENCHMARK(BM_ConsolePipeline);
BENCHMARK(BM_ConsolePipelineHidden);
BENCHMARK(BM_Memchr);
BENCHMARK(BM_ParseScreen);

int main(int argc, char **argv)
{
    const char *streamPath = nullptr, *chunksPath = nullptr, *dumpStream = nullptr, *dumpChunks = nullptr;
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char **target = arg == "--stream"        ? &streamPath
                              : arg == "--chunks"      ? &chunksPath
                              : arg == "--dump-stream" ? &dumpStream
                              : arg == "--dump-chunks" ? &dumpChunks
                                                       : nullptr;
        if (target && i + 1 < argc)
            *target = argv[++i];
        else
            rest.push_back(argv[i]);
    }

    Input &in = input();
    if (streamPath) {
        if (!readFile(streamPath, in.stream)) {
            std::fprintf(stderr, "cannot read %s\n", streamPath);
            return 2;
        }
    } else {
        in.stream = buildStream();
    }
    if (chunksPath) {
        std::ifstream file(chunksPath);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", chunksPath);
            return 2;
        }
        size_t total = 0;
        for (unsigned long long size; file >> size && total < in.stream.size();) {
            size = std::min<unsigned long long>(size, in.stream.size() - total);
            in.chunks.push_back(static_cast<size_t>(size));
            total += static_cast<size_t>(size);
        }
        if (total < in.stream.size())
            in.chunks.push_back(in.stream.size() - total); // the rest as one last chunk
    } else {
        for (size_t offset = 0; offset < in.stream.size(); offset += kSegmentSize)
            in.chunks.push_back(std::min(kSegmentSize, in.stream.size() - offset));
    }
    if (dumpStream) {
        std::ofstream(dumpStream, std::ios::binary) << in.stream;
        if (dumpChunks) {
            std::ofstream out(dumpChunks);
            for (size_t size : in.chunks)
                out << size << '\n';
        }
        return 0;
    }

    int restArgc = static_cast<int>(rest.size());
    benchmark::Initialize(&restArgc, rest.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
