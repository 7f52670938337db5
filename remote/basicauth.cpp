// SPDX-License-Identifier: MIT
// HTTP Basic authentication; see basicauth.h. The password is only ever handed to crypt and to the
// keyed cache hash, never to a log line.
#include "basicauth.h"

#include "apperror.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <crypt.h>

#include <algorithm>
#include <cstring>

namespace {

std::string_view trimmed(std::string_view Text)
{
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
        Text.remove_prefix(1);
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t' || Text.back() == '\r'))
        Text.remove_suffix(1);
    return Text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A user name from the network, made fit for one log line.
std::string shownUser(std::string_view User)
{
    std::string out;
    for (const char c : User.substr(0, 32))
        out += (c >= 0x20 && c < 0x7f && c != '\'') ? c : '?';
    return User.size() > 32 ? out + "..." : out;
}

} // namespace

std::optional<TBasicCredentials> ParseBasicAuthorization(std::string_view HeaderBlock)
{
    while (!HeaderBlock.empty()) {
        const std::size_t end = HeaderBlock.find('\n');
        const std::string_view line = HeaderBlock.substr(0, end);
        HeaderBlock.remove_prefix(end == std::string_view::npos ? HeaderBlock.size() : end + 1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !equalsIgnoringCase(trimmed(line.substr(0, colon)), "Authorization"))
            continue;
        std::string_view value = trimmed(line.substr(colon + 1));
        if (value.size() > kMaxAuthorizationBytes || value.size() < 6 ||
            !equalsIgnoringCase(value.substr(0, 5), "Basic") || (value[5] != ' ' && value[5] != '\t'))
            return std::nullopt;
        value = trimmed(value.substr(5));
        const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
            QByteArray(value.data(), static_cast<qsizetype>(value.size())), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return std::nullopt;
        const std::string text = decoded.decoded.toStdString();
        const std::size_t split = text.find(':');
        // crypt takes a C string: a password holding NUL could only match by being cut short.
        if (split == std::string::npos || text.find('\0') != std::string::npos)
            return std::nullopt;
        return TBasicCredentials{text.substr(0, split), text.substr(split + 1)};
    }
    return std::nullopt;
}

bool ConstantTimeEqual(std::string_view a, std::string_view b)
{
    // Every byte is looked at whatever the first difference; volatile keeps the compiler from
    // ending the loop early.
    volatile unsigned char difference = a.size() == b.size() ? 0 : 1;
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < n; ++k)
        difference = difference | (static_cast<unsigned char>(a[k]) ^ static_cast<unsigned char>(b[k]));
    return difference == 0;
}

struct TBasicAuth::TCryptData : crypt_data
{
};

TBasicAuth::TBasicAuth() : m_cryptData(std::make_unique<TCryptData>())
{
    quint32 secret[8];
    QRandomGenerator::system()->fillRange(secret);
    m_cacheSecret.assign(reinterpret_cast<const char *>(secret), sizeof secret);
    Crypt = [this](const std::string &Phrase, const std::string &Setting) { return cryptRn(Phrase, Setting); };
}

TBasicAuth::~TBasicAuth() = default;

std::optional<std::string> TBasicAuth::cryptRn(const std::string &Phrase, const std::string &Setting)
{
    std::memset(static_cast<crypt_data *>(m_cryptData.get()), 0, sizeof(crypt_data));
    const char *hash = crypt_rn(Phrase.c_str(), Setting.c_str(), m_cryptData.get(), sizeof(crypt_data));
    // libxcrypt marks a failure with a string starting with '*' (or nullptr for crypt_rn).
    if (!hash || hash[0] == '*')
        return std::nullopt;
    return std::string(hash);
}

std::string TBasicAuth::cacheKey(const TBasicCredentials &Credentials, const std::string &Hash) const
{
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, QByteArray::fromStdString(m_cacheSecret));
    for (const std::string *part : {&Credentials.User, &Credentials.Password, &Hash}) {
        mac.addData(QByteArray::number(qsizetype(part->size())) + ':');
        mac.addData(part->data(), qsizetype(part->size()));
    }
    return mac.result().toStdString();
}

bool TBasicAuth::cached(const std::string &Key)
{
    const auto found = m_cache.find(Key);
    if (found == m_cache.end())
        return false;
    m_recent.splice(m_recent.begin(), m_recent, found->second);
    return true;
}

void TBasicAuth::remember(const std::string &Key)
{
    if (cached(Key))
        return;
    m_recent.push_front(Key);
    m_cache[Key] = m_recent.begin();
    while (m_recent.size() > kCacheEntries) {
        m_cache.erase(m_recent.back());
        m_recent.pop_back();
    }
}

TBasicAuth::TVerdict TBasicAuth::Check(const std::map<std::string, std::string> &Users, std::string_view HeaderBlock,
                                       const std::string &Peer, int64_t NowMs)
{
    const auto failures = m_failures.find(Peer);
    if (failures != m_failures.end()) {
        if (NowMs - failures->second.WindowStart >= kFailureWindowMs)
            m_failures.erase(failures);
        else if (failures->second.Count >= kFailuresBeforeRefusal)
            return TVerdict::TooManyFailures;
    }
    const std::optional<TBasicCredentials> credentials = ParseBasicAuthorization(HeaderBlock);
    if (!credentials || Users.empty())
        return TVerdict::NoCredentials;
    const auto user = Users.find(credentials->User);
    if (user != Users.end() && cached(cacheKey(*credentials, user->second)))
        return TVerdict::Allowed;
    // An unknown user costs the same bcrypt as a known one: a salt of our own at the cost of the
    // first user's hash, so the time taken does not tell which names exist.
    const std::string &someHash = Users.begin()->second;
    const std::string setting = user != Users.end() ? user->second : someHash.substr(0, 7) + "abcdefghijklmnopqrstuu";
    const std::optional<std::string> hash = Crypt(credentials->Password, setting);
    if (user != Users.end() && hash && ConstantTimeEqual(*hash, user->second)) {
        remember(cacheKey(*credentials, user->second));
        return TVerdict::Allowed;
    }
    recordFailure(Peer, NowMs,
                  user == Users.end() ? "unknown user '" + shownUser(credentials->User) + "'"
                                      : "wrong password for user '" + shownUser(credentials->User) + "'");
    return TVerdict::Denied;
}

void TBasicAuth::recordFailure(const std::string &Peer, int64_t NowMs, const std::string &Why)
{
    if (m_failures.size() >= kMaxTrackedAddresses && !m_failures.contains(Peer)) {
        std::erase_if(m_failures,
                      [NowMs](const auto &entry) { return NowMs - entry.second.WindowStart >= kFailureWindowMs; });
        if (m_failures.size() >= kMaxTrackedAddresses)
            m_failures.erase(std::min_element(m_failures.begin(), m_failures.end(), [](const auto &a, const auto &b) {
                return a.second.WindowStart < b.second.WindowStart;
            }));
    }
    auto [entry, added] = m_failures.try_emplace(Peer, TFailures{NowMs, 0});
    ++entry->second.Count;
    // One line per address and window: a password guesser cannot flood the log.
    if (entry->second.Count == 1)
        ReportError("Basic authentication from " + Peer + " failed: " + Why +
                        " (further failures from this address within a minute are not logged; after " +
                        std::to_string(kFailuresBeforeRefusal) + " it is refused)",
                    TErrorOrigin::Peer);
}

int TBasicAuth::RetryAfterSeconds(const std::string &Peer, int64_t NowMs) const
{
    const auto found = m_failures.find(Peer);
    if (found == m_failures.end())
        return 1;
    const int64_t left = found->second.WindowStart + kFailureWindowMs - NowMs;
    return static_cast<int>(std::max<int64_t>(1, (left + 999) / 1000));
}
