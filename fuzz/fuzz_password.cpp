// SPDX-License-Identifier: MIT
// Passwords of any bytes through the scramble and the stored form, directly and through the
// settings file: the scramble undoes itself for codes 0 to 125, and every password whose stored
// form fits an INI value comes back exactly after a save and a load.
#include "inifile.h"
#include "settings.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string scratchPath()
{
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/lw-fuzz-pw-" + std::to_string(getpid()) + ".ini";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = scratchPath();
    const std::string password(reinterpret_cast<const char *>(data), size);

    const std::string scrambled = ScramblePassword(password);
    if (scrambled.size() != password.size())
        std::abort();
    const std::string twice = ScramblePassword(scrambled);
    for (size_t k = 0; k < password.size(); ++k) {
        const auto c = static_cast<unsigned char>(password[k]);
        if (c <= 125 && static_cast<unsigned char>(twice[k]) != c)
            std::abort();
        if (static_cast<unsigned char>(scrambled[k]) == 126)
            std::abort();
    }

    const std::string stored = EncodeStoredPassword(password);
    if (DecodeStoredPassword(stored) != password)
        std::abort();
    if (stored.size() > TIniFile::kMaxValueLength)
        return 0; // longer than any INI value: not kept, and not promised

    {
        TIniFile ini(path);
        ini.WriteString("Connection", "Password", stored);
        ini.UpdateFile();
    }
    if (DecodeStoredPassword(TIniFile(path).ReadString("Connection", "Password", "")) != password)
        std::abort();
    unlink(path.c_str());
    return 0;
}
