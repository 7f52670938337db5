// SPDX-License-Identifier: MIT
// The web port's configuration file, in the YAML format and meaning of the Prometheus exporter
// toolkit's web configuration (--web.config.file): TLS settings, extra response headers, Basic
// auth users with bcrypt hashes and a request rate limit. Users reuse the file of their exporters.
// TWebConfigSource re-reads the file when it (or a file it names) changed, keeping the last good one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

// tls_server_config as written, paths made absolute (relative ones count from the file's folder).
// Mapped onto the TLS layer's own settings by whoever opens the listener.
struct TWebTlsConfig
{
    std::string CertFile;
    std::string KeyFile;
    std::string ClientAuthType; // NoClientCert (default), RequestClientCert, ... as the toolkit names them
    std::string ClientCaFile;
    std::string MinVersion; // TLS10 .. TLS13, empty: the toolkit's default (TLS12)
    std::string MaxVersion;
    std::vector<std::string> CipherSuites; // Go's names, e.g. TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256
    bool PreferServerCipherSuites = true;

    bool operator==(const TWebTlsConfig &) const = default;
};

// rate_limit: one request every IntervalMs on average over all clients, Burst at once.
struct TWebRateLimit
{
    int64_t IntervalMs = 0;
    int Burst = 0;

    bool operator==(const TWebRateLimit &) const = default;
};

struct TWebConfig
{
    // Unset when the file has no tls_server_config or one that names no file (plain HTTP).
    std::optional<TWebTlsConfig> Tls;
    // basic_auth_users: user name -> bcrypt hash. Empty: no authentication.
    std::map<std::string, std::string> Users;
    // http_server_config.headers, added to every answer.
    std::vector<std::pair<std::string, std::string>> Headers;
    // Unset or an interval of 0: no limit.
    std::optional<TWebRateLimit> RateLimit;

    bool operator==(const TWebConfig &) const = default;
};

// The highest bcrypt cost taken: each check of an uncached password runs on the event loop, about
// 0.1 s at cost 10 and doubling with each step.
inline constexpr int kMaxBcryptCost = 16;

// A file larger than this is refused: ours are a few hundred bytes.
inline constexpr std::size_t kMaxWebConfigBytes = 256 * 1024;

// Parses the text of a configuration file. FileName names the file in errors and its folder is
// where relative paths count from. On a fault: nothing, and Error holds
// "web config <file> line 7: unknown key 'tls_sever_config'".
std::optional<TWebConfig> ParseWebConfig(std::string_view Text, const std::string &FileName, std::string &Error);
// Reads and parses the file at Path.
std::optional<TWebConfig> LoadWebConfig(const std::string &Path, std::string &Error);

// A Go duration ("1s", "100ms", "1m30s", "1.5s") in milliseconds, rounded down; nothing when it
// is not one, is negative or exceeds a day.
std::optional<int64_t> ParseGoDurationMs(std::string_view Text);

// The configuration file behind the web port and its last good contents.
class TWebConfigSource
{
public:
    explicit TWebConfigSource(std::string Path);

    // Reads the file again when it, or a certificate, key or CA file it names, changed its
    // modification time or size since the last read (a few stat calls otherwise, cheap enough per
    // request). Returns false when that read failed: Error says why and the last good
    // configuration stays in force; the broken file is not read again until it changes.
    bool Refresh(std::string &Error);

    // The last good configuration; nullptr before the first good read.
    const TWebConfig *Config() const { return m_config ? &*m_config : nullptr; }
    // Counts good reads, so that a holder of derived state (a TLS context) knows to rebuild it.
    int64_t Generation() const { return m_generation; }
    const std::string &Path() const { return m_path; }

private:
    struct TStamp
    {
        std::string Path;
        int64_t MtimeNs = -1;
        int64_t Size = -1;
        bool operator==(const TStamp &) const = default;
    };
    static TStamp stamp(const std::string &Path);
    bool changed() const;

    std::string m_path;
    std::optional<TWebConfig> m_config;
    int64_t m_generation = 0;
    // The stamps of the last read: the file first, then the files its TLS settings name.
    std::vector<TStamp> m_stamps;
};
