// SPDX-License-Identifier: MIT
// The web configuration file and the Authorization header, both from outside: any bytes parse
// without a crash, and what the file parser accepts keeps its promises (absolute paths, header
// values without line breaks, bcrypt-shaped hashes).
#include "basicauth.h"
#include "webconfig.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string error;
    const std::optional<TWebConfig> config = ParseWebConfig(text, "/etc/linewatch/web.yml", error);
    if (config) {
        for (const auto &[name, value] : config->Headers)
            if (name.empty() || value.find_first_of("\r\n") != std::string::npos)
                std::abort();
        for (const auto &[user, hash] : config->Users)
            if (hash.size() != 60 || user.find(':') != std::string::npos)
                std::abort();
        if (config->Tls && (config->Tls->CertFile.front() != '/' || config->Tls->KeyFile.front() != '/'))
            std::abort();
    } else if (!error.starts_with("web config /etc/linewatch/web.yml")) {
        std::abort();
    }
    (void)ParseBasicAuthorization(text);
    (void)ParseGoDurationMs(text.substr(0, 64));
    return 0;
}
