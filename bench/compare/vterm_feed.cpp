// SPDX-License-Identifier: MIT
// Feeds a console stream to libvterm, a general-purpose terminal library, in the same chunks as
// bench_console, so that both are measured on the very same bytes. Not part of the build: libvterm
// is only a yardstick here. Build and run (Debian: apt-get install libvterm-dev):
//   build-release/bench/bench_console --dump-stream /tmp/s.bin --dump-chunks /tmp/c.txt
//   g++ -O2 -std=c++20 bench/compare/vterm_feed.cpp -lvterm -o /tmp/vterm_feed
//   /tmp/vterm_feed /tmp/s.bin /tmp/c.txt
// Prints MB/s for feeding alone, for feeding plus reading the status screen's fields back after
// every chunk (what the monitor's parser reads), and for memchr over the same chunks.
#include <vterm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Field
{
    int row, first, last; // 1-based, inclusive, as on the console
};

// The rectangles the status screen's parser reads.
const Field kFields[] = {{6, 6, 15},   {6, 59, 61},  {7, 6, 15},   {7, 59, 61},  {14, 49, 59}, {15, 49, 59},
                         {6, 16, 17},  {6, 23, 33},  {6, 35, 45},  {6, 47, 57},  {6, 64, 66},  {6, 70, 79},
                         {12, 52, 66}, {7, 16, 17},  {7, 23, 33},  {7, 35, 45},  {7, 47, 57},  {7, 64, 66},
                         {7, 70, 79},  {13, 52, 66}, {12, 16, 38}, {13, 16, 28}, {14, 16, 28}, {15, 19, 28},
                         {9, 25, 36},  {19, 42, 52}, {19, 54, 64}, {19, 66, 70}, {19, 72, 76}, {3, 1, 80}};

double run(const std::string &stream, const std::vector<size_t> &chunks, bool readFields, size_t &checksum)
{
    VTerm *vt = vterm_new(24, 80);
    vterm_set_utf8(vt, 0);
    VTermScreen *screen = vterm_obtain_screen(vt);
    vterm_screen_reset(screen, 1);
    char text[128];
    const auto begin = std::chrono::steady_clock::now();
    size_t offset = 0;
    for (size_t size : chunks) {
        vterm_input_write(vt, stream.data() + offset, size);
        offset += size;
        if (readFields)
            for (const Field &f : kFields) {
                const VTermRect rect{f.row - 1, f.row, f.first - 1, f.last};
                checksum += vterm_screen_get_text(screen, text, sizeof text, rect);
            }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    vterm_free(vt);
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s STREAM CHUNKS [ROUNDS]\n", argv[0]);
        return 2;
    }
    std::ifstream streamFile(argv[1], std::ios::binary);
    std::ostringstream s;
    s << streamFile.rdbuf();
    const std::string stream = s.str();
    std::vector<size_t> chunks;
    std::ifstream chunkFile(argv[2]);
    size_t total = 0;
    for (size_t size; chunkFile >> size && total < stream.size(); total += size)
        chunks.push_back(std::min(size, stream.size() - total));
    if (total < stream.size())
        chunks.push_back(stream.size() - total);
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 20;

    size_t checksum = 0;
    double feed = 1e300, feedAndRead = 1e300, scan = 1e300;
    for (int r = 0; r < rounds; ++r) {
        feed = std::min(feed, run(stream, chunks, false, checksum));
        feedAndRead = std::min(feedAndRead, run(stream, chunks, true, checksum));
        const auto begin = std::chrono::steady_clock::now();
        for (int k = 0; k < 100; ++k) {
            size_t offset = 0;
            for (size_t size : chunks) {
                checksum += std::memchr(stream.data() + offset, '\0', size) != nullptr;
                offset += size;
                asm volatile("" ::: "memory");
            }
        }
        scan = std::min(scan, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / 100);
    }
    const double mb = static_cast<double>(stream.size()) / 1e6;
    std::printf("libvterm feed: %.0f MB/s (1/%.0f of memchr)\n", mb / feed, feed / scan);
    std::printf("libvterm feed + fields read back: %.0f MB/s (1/%.0f of memchr)\n", mb / feedAndRead,
                feedAndRead / scan);
    std::printf("memchr: %.0f MB/s (checksum %zu)\n", mb / scan, checksum);
    return 0;
}
