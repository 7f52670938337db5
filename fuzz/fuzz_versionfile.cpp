// SPDX-License-Identifier: MIT
// A fetched version file as the check reads it back from disk, then the ordinal comparison with
// our own version. The feature list stays bounded and ends at the first absent or "*" line, and
// the comparison orders by byte codes with a text before any longer text it begins.
#include "versioncheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string scratchPath()
{
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/lw-fuzz-ver-" + std::to_string(getpid()) + ".txt";
}

bool byteOrderBefore(const std::string &a, const std::string &b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

void checkOrder(const std::string &ours, const std::string &theirs)
{
    const bool newer = IsNewerVersion(ours, theirs);
    if (newer != byteOrderBefore(ours, theirs))
        std::abort();
    if (newer && IsNewerVersion(theirs, ours))
        std::abort();
    if (IsNewerVersion(ours, ours))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = scratchPath();
    FuzzedDataProvider provider(data, size);
    const std::string ours = provider.ConsumeRandomLengthString(40);
    const std::string body = provider.ConsumeRemainingBytesAsString();

    StoreVersionFile(path, body);
    const TVersionInfo info = ReadVersionFile(path);
    if (info.Features.size() > kMaxFeatureLines)
        std::abort();
    for (const std::string &feature : info.Features)
        if (feature == "*")
            std::abort();
    const QStringList lines = FeatureLines(info);
    if (static_cast<size_t>(lines.size()) != info.Features.size() + 1)
        std::abort();
    const TNewVersionTexts texts = NewVersionTexts(info, "1.0.1.3  8/16/00");
    if (texts.Features != lines)
        std::abort();

    checkOrder("1.0.1.3", info.Latest);
    checkOrder(ours, info.Latest);
    unlink(path.c_str());
    return 0;
}
