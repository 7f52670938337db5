// SPDX-License-Identifier: MIT
// INI text from disk through the reader and the writer: every value read is written back, and a
// second reader must find the same values (cut at the first NUL, CR or LF, which a line cannot
// carry). Then one value from the input is written to one key and must read back the same way.
#include "inifile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr size_t kMaxNames = 24;
const std::string kAbsent = std::string(1, 1) + "absent";

std::string scratchPath()
{
    // tmpfs when there is one: the writer flushes every commit to the disk.
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/lw-fuzz-ini-" + std::to_string(getpid()) + ".ini";
}

void writeFile(const std::string &path, std::string_view content)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string cutAtLineBreak(const std::string &value)
{
    return value.substr(0, value.find_first_of(std::string_view("\0\r\n", 3)));
}

// A generous guess at the names in the text; names that are no section or key simply read as
// absent and are left alone.
void collectNames(std::string_view text, std::vector<std::string> &sections, std::vector<std::string> &keys)
{
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        if (const size_t open = line.find('['); open != std::string_view::npos && sections.size() < kMaxNames) {
            const size_t close = line.find(']', open);
            if (close != std::string_view::npos)
                sections.emplace_back(trim(line.substr(open + 1, close - open - 1)));
        }
        if (const size_t eq = line.find('='); eq != std::string_view::npos && keys.size() < kMaxNames)
            keys.emplace_back(trim(line.substr(0, eq)));
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = scratchPath();
    FuzzedDataProvider provider(data, size);
    const std::string newValue = provider.ConsumeRandomLengthString(3000);
    const std::string content = provider.ConsumeRemainingBytesAsString();
    writeFile(path, content);

    std::vector<std::string> sections, keys;
    collectNames(content, sections, keys);

    std::vector<std::pair<std::pair<std::string, std::string>, std::string>> found;
    {
        TIniFile ini(path);
        for (const std::string &section : sections) {
            for (const std::string &key : keys) {
                std::string value = ini.ReadString(section, key, kAbsent);
                if (value.size() > TIniFile::kMaxValueLength && value != kAbsent)
                    std::abort();
                if (value != kAbsent)
                    found.push_back({{section, key}, std::move(value)});
            }
        }
        for (auto &[name, value] : found) {
            try {
                ini.WriteString(name.first, name.second, value);
                value = cutAtLineBreak(value);
            } catch (const std::invalid_argument &) {
                // A name the writer refuses (a control character in it): its line stays as it was.
            }
        }
        ini.UpdateFile();
    }
    TIniFile again(path);
    for (const auto &[name, value] : found)
        if (again.ReadString(name.first, name.second, kAbsent) != value)
            std::abort();

    // A value of any bytes written to a key, new or old, reads back up to its first line break.
    if (!found.empty()) {
        const auto &[section, key] = found.front().first;
        try {
            again.WriteString(section, key, newValue);
        } catch (const std::invalid_argument &) {
            unlink(path.c_str());
            return 0;
        }
        again.UpdateFile();
        const std::string expected = cutAtLineBreak(newValue).substr(0, TIniFile::kMaxValueLength);
        if (TIniFile(path).ReadString(section, key, kAbsent) != expected)
            std::abort();
    }
    unlink(path.c_str());
    return 0;
}
