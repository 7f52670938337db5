// SPDX-License-Identifier: MIT
// HTTP Basic authentication for the web port against the bcrypt hashes of the web configuration
// file. Verified credentials are cached so that a scrape every second pays bcrypt once; an address
// that keeps failing is refused for a while (429, never a sleep) and logged once a minute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

struct TBasicCredentials
{
    std::string User;
    std::string Password;
};

// The longest Authorization value taken: a name and password of a few hundred bytes, in base64.
inline constexpr std::size_t kMaxAuthorizationBytes = 1024;

// The credentials of the first "Authorization: Basic <base64>" line of a request's header block
// (name case-insensitive, spaces around the value and after the scheme tolerated); nothing when
// there is none, it is longer than kMaxAuthorizationBytes or it does not decode to "user:password".
std::optional<TBasicCredentials> ParseBasicAuthorization(std::string_view HeaderBlock);

// Whether a and b are equal, in a time that depends on their lengths only.
bool ConstantTimeEqual(std::string_view a, std::string_view b);

class TBasicAuth
{
public:
    // Credentials remembered as verified, least recently used dropped first.
    static constexpr std::size_t kCacheEntries = 64;
    // An address with this many failures within kFailureWindowMs is refused until the window ends.
    static constexpr int kFailuresBeforeRefusal = 5;
    static constexpr int64_t kFailureWindowMs = 60 * 1000;
    // Addresses whose failures are counted at most; beyond it the oldest counts are forgotten.
    static constexpr std::size_t kMaxTrackedAddresses = 4096;

    enum class TVerdict {
        Allowed,
        NoCredentials,   // no usable Authorization line: 401, not counted as a failure
        Denied,          // wrong user or password: 401
        TooManyFailures, // 429 with Retry-After
    };

    TBasicAuth();
    ~TBasicAuth();

    // Judges one request's header block from Peer (an address without port) at NowMs on a
    // monotonic clock. Users is basic_auth_users (name -> bcrypt hash).
    TVerdict Check(const std::map<std::string, std::string> &Users, std::string_view HeaderBlock,
                   const std::string &Peer, int64_t NowMs);
    // For a TooManyFailures verdict: the seconds until Peer is heard again (at least 1).
    int RetryAfterSeconds(const std::string &Peer, int64_t NowMs) const;

    // The hashing, replaceable for tests: crypt(3) of Phrase with Setting, nothing on failure.
    // Default: libxcrypt's crypt_rn.
    std::function<std::optional<std::string>(const std::string &Phrase, const std::string &Setting)> Crypt;

private:
    struct TFailures
    {
        int64_t WindowStart = 0;
        int Count = 0;
    };

    std::string cacheKey(const TBasicCredentials &Credentials, const std::string &Hash) const;
    bool cached(const std::string &Key);
    void remember(const std::string &Key);
    void recordFailure(const std::string &Peer, int64_t NowMs, const std::string &Why);
    std::optional<std::string> cryptRn(const std::string &Phrase, const std::string &Setting);

    // A random key for the cache's keyed hashes: passwords are never held, nor plain digests of them.
    std::string m_cacheSecret;
    std::list<std::string> m_recent; // most recent first
    std::unordered_map<std::string, std::list<std::string>::iterator> m_cache;
    std::unordered_map<std::string, TFailures> m_failures;
    struct TCryptData;
    std::unique_ptr<TCryptData> m_cryptData;
};
