// SPDX-License-Identifier: MIT
// The web port's configuration file; see webconfig.h. Strict like the toolkit's reader: an
// unknown or repeated key is an error, so a misspelt tls_server_config cannot silently turn TLS off.
#include "webconfig.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace {

// A fault found at a line of the file (1-based; 0: none known).
struct TFault
{
    int Line;
    std::string Text;
};

int lineOf(const YAML::Node &Node)
{
    const YAML::Mark mark = Node.Mark();
    return mark.is_null() ? 0 : mark.line + 1;
}

[[noreturn]] void fail(const YAML::Node &Node, std::string Text)
{
    throw TFault{lineOf(Node), std::move(Text)};
}

// Printable and short, for echoing the file's text in an error.
std::string shown(std::string_view Text)
{
    std::string out;
    for (const char c : Text.substr(0, 64))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return Text.size() > 64 ? out + "..." : out;
}

std::string scalar(const YAML::Node &Node, std::string_view Key)
{
    if (Node.IsNull())
        return {};
    if (!Node.IsScalar())
        fail(Node, "'" + std::string(Key) + "' must be a single value");
    return Node.Scalar();
}

// Calls Each(key, value) for every entry of a mapping, refusing keys outside Known (when given)
// and repeated keys. A null node is an empty mapping, as "tls_server_config:" alone is.
template <typename F>
void forEachEntry(const YAML::Node &Map, std::string_view Name, const std::set<std::string_view> *Known, F &&Each)
{
    if (Map.IsNull())
        return;
    if (!Map.IsMap())
        fail(Map, "'" + std::string(Name) + "' must be a mapping");
    std::set<std::string> seen;
    for (const auto &entry : Map) {
        const YAML::Node &key = entry.first;
        if (!key.IsScalar())
            fail(key, "a key of '" + std::string(Name) + "' is not a plain name");
        const std::string &text = key.Scalar();
        if (Known && !Known->contains(text))
            fail(key, "unknown key '" + shown(text) + "'");
        if (!seen.insert(text).second)
            fail(key, "key '" + shown(text) + "' given twice");
        Each(key, text, entry.second);
    }
}

bool isToken(std::string_view Name)
{
    // RFC 9110's token characters: what a header name may hold.
    static constexpr std::string_view kSpecials = "!#$%&'*+-.^_`|~";
    return !Name.empty() && std::all_of(Name.begin(), Name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               kSpecials.find(c) != std::string_view::npos;
    });
}

bool sameLetters(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Headers our server writes itself, or whose meaning a second copy would break.
constexpr std::array<std::string_view, 5> kReservedHeaders = {"Content-Length", "Content-Type", "Connection",
                                                              "Transfer-Encoding", "WWW-Authenticate"};

std::string absolutePath(const std::string &Path, const std::filesystem::path &Folder)
{
    if (Path.empty())
        return Path;
    const std::filesystem::path path(Path);
    return (path.is_absolute() ? path : std::filesystem::absolute(Folder / path)).lexically_normal().string();
}

TWebTlsConfig parseTls(const YAML::Node &Node, const std::filesystem::path &Folder, bool &Used)
{
    static const std::set<std::string_view> kKeys = {
        "cert_file",   "key_file",    "client_auth_type", "client_ca_file",
        "min_version", "max_version", "cipher_suites",    "prefer_server_cipher_suites"};
    TWebTlsConfig tls;
    forEachEntry(Node, "tls_server_config", &kKeys,
                 [&](const YAML::Node &Key, const std::string &Name, const YAML::Node &Value) {
                     if (Name == "cert_file")
                         tls.CertFile = absolutePath(scalar(Value, Name), Folder);
                     else if (Name == "key_file")
                         tls.KeyFile = absolutePath(scalar(Value, Name), Folder);
                     else if (Name == "client_ca_file")
                         tls.ClientCaFile = absolutePath(scalar(Value, Name), Folder);
                     else if (Name == "client_auth_type") {
                         static const std::set<std::string> kTypes = {"NoClientCert", "RequestClientCert",
                                                                      "RequireAnyClientCert", "VerifyClientCertIfGiven",
                                                                      "RequireAndVerifyClientCert"};
                         tls.ClientAuthType = scalar(Value, Name);
                         if (!tls.ClientAuthType.empty() && !kTypes.contains(tls.ClientAuthType))
                             fail(Value, "unknown client_auth_type '" + shown(tls.ClientAuthType) + "'");
                     } else if (Name == "min_version" || Name == "max_version") {
                         static const std::set<std::string> kVersions = {"TLS10", "TLS11", "TLS12", "TLS13"};
                         std::string version = scalar(Value, Name);
                         if (!version.empty() && !kVersions.contains(version))
                             fail(Value, "unknown TLS version '" + shown(version) + "' for '" + Name +
                                             "' (TLS10, TLS11, TLS12 or TLS13)");
                         (Name == "min_version" ? tls.MinVersion : tls.MaxVersion) = std::move(version);
                     } else if (Name == "cipher_suites") {
                         if (!Value.IsNull() && !Value.IsSequence())
                             fail(Value, "'cipher_suites' must be a list");
                         for (const auto &suite : Value)
                             tls.CipherSuites.push_back(scalar(suite, Name));
                     } else {
                         try {
                             tls.PreferServerCipherSuites = Value.as<bool>();
                         } catch (const YAML::Exception &) {
                             fail(Value, "'" + Name + "' must be true or false");
                         }
                     }
                     (void)Key;
                 });
    // As the toolkit has it: a section naming no file and no client policy means plain HTTP.
    Used = !tls.CertFile.empty() || !tls.KeyFile.empty() || !tls.ClientAuthType.empty() || !tls.ClientCaFile.empty();
    if (!Used)
        return tls;
    if (tls.CertFile.empty())
        fail(Node, "'tls_server_config' has no cert_file");
    if (tls.KeyFile.empty())
        fail(Node, "'tls_server_config' has no key_file");
    const bool verifies =
        tls.ClientAuthType.starts_with("Verify") || tls.ClientAuthType.find("AndVerify") != std::string::npos;
    if (!tls.ClientCaFile.empty() && !verifies)
        fail(Node, "'client_ca_file' is set but client_auth_type does not verify client certificates");
    if (tls.ClientCaFile.empty() && verifies)
        fail(Node, "client_auth_type '" + tls.ClientAuthType + "' needs a client_ca_file");
    if (!tls.MinVersion.empty() && !tls.MaxVersion.empty() && tls.MinVersion > tls.MaxVersion)
        fail(Node, "min_version is above max_version");
    return tls;
}

void parseHttp(const YAML::Node &Node, TWebConfig &Config)
{
    static const std::set<std::string_view> kKeys = {"headers", "http2"};
    forEachEntry(
        Node, "http_server_config", &kKeys, [&](const YAML::Node &, const std::string &Name, const YAML::Node &Value) {
            if (Name != "headers")
                return; // http2: we speak HTTP/1.0 only, whatever it says
            forEachEntry(Value, "headers", nullptr,
                         [&](const YAML::Node &Key, const std::string &Header, const YAML::Node &Text) {
                             if (!isToken(Header))
                                 fail(Key, "'" + shown(Header) + "' is not a header name");
                             for (const std::string_view reserved : kReservedHeaders)
                                 if (sameLetters(Header, reserved))
                                     fail(Key, "header '" + Header + "' is set by the server itself");
                             std::string value = scalar(Text, Header);
                             if (std::any_of(value.begin(), value.end(),
                                             [](char c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7f; }))
                                 fail(Text, "the value of header '" + Header + "' holds a control character");
                             Config.Headers.emplace_back(Header, std::move(value));
                         });
        });
}

void parseUsers(const YAML::Node &Node, TWebConfig &Config)
{
    forEachEntry(Node, "basic_auth_users", nullptr,
                 [&](const YAML::Node &Key, const std::string &User, const YAML::Node &Value) {
                     // Basic auth joins user and password with a colon: such a name could never log in.
                     if (User.empty() || User.find(':') != std::string::npos)
                         fail(Key, "user name '" + shown(User) + "' is empty or holds a colon");
                     const std::string hash = scalar(Value, User);
                     const bool bcrypt = hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
                                         (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') && hash[3] == '$';
                     if (!bcrypt)
                         fail(Value, "the password of user '" + shown(User) + "' is not a bcrypt hash ($2b$...)");
                     // bcrypt runs on the event loop: a cost of 17 already takes seconds per check.
                     const int cost = std::isdigit(static_cast<unsigned char>(hash[4])) &&
                                              std::isdigit(static_cast<unsigned char>(hash[5]))
                                          ? (hash[4] - '0') * 10 + (hash[5] - '0')
                                          : -1;
                     if (cost < 4 || cost > kMaxBcryptCost)
                         fail(Value, "the bcrypt cost of user '" + shown(User) + "' is not between 4 and " +
                                         std::to_string(kMaxBcryptCost));
                     Config.Users[User] = hash;
                 });
}

void parseRateLimit(const YAML::Node &Node, TWebConfig &Config)
{
    static const std::set<std::string_view> kKeys = {"interval", "burst"};
    TWebRateLimit limit;
    forEachEntry(Node, "rate_limit", &kKeys, [&](const YAML::Node &, const std::string &Name, const YAML::Node &Value) {
        const std::string text = scalar(Value, Name);
        if (Name == "interval") {
            const std::optional<int64_t> ms = ParseGoDurationMs(text);
            if (!ms)
                fail(Value, "'interval' is not a duration such as 1s or 100ms: '" + shown(text) + "'");
            limit.IntervalMs = *ms;
        } else {
            try {
                limit.Burst = Value.as<int>();
            } catch (const YAML::Exception &) {
                fail(Value, "'burst' must be a whole number");
            }
            if (limit.Burst < 0)
                fail(Value, "'burst' must not be negative");
        }
    });
    if (limit.IntervalMs > 0 && limit.Burst < 1)
        fail(Node, "'rate_limit' needs a burst of at least 1");
    if (limit.IntervalMs > 0)
        Config.RateLimit = limit;
}

} // namespace

std::optional<int64_t> ParseGoDurationMs(std::string_view Text)
{
    // time.ParseDuration: "0" alone, or numbers with units (ns us µs ms s m h), decimals allowed.
    if (Text == "0")
        return 0;
    if (Text.empty())
        return std::nullopt;
    constexpr long double kDayNs = 86400.0L * 1e9L;
    long double totalNs = 0;
    while (!Text.empty()) {
        std::size_t digits = 0;
        long double number = 0, scale = 1;
        bool point = false;
        std::size_t i = 0;
        for (; i < Text.size(); ++i) {
            const char c = Text[i];
            if (c == '.' && !point) {
                point = true;
            } else if (c >= '0' && c <= '9') {
                ++digits;
                if (point)
                    scale /= 10;
                number = number * (point ? 1 : 10) + (c - '0') * (point ? scale : 1);
                if (number > kDayNs)
                    return std::nullopt;
            } else {
                break;
            }
        }
        if (digits == 0)
            return std::nullopt;
        Text.remove_prefix(i);
        static constexpr std::array<std::pair<std::string_view, long double>, 7> kUnits = {
            {{"ns", 1}, {"us", 1e3L}, {"\xC2\xB5s", 1e3L}, {"ms", 1e6L}, {"s", 1e9L}, {"m", 60e9L}, {"h", 3600e9L}}};
        const auto unit = std::find_if(kUnits.begin(), kUnits.end(), [&](const auto &u) {
            return Text.starts_with(u.first) && (u.first != "m" || !Text.starts_with("ms"));
        });
        if (unit == kUnits.end())
            return std::nullopt;
        Text.remove_prefix(unit->first.size());
        totalNs += number * unit->second;
        if (totalNs > kDayNs)
            return std::nullopt;
    }
    return static_cast<int64_t>(totalNs / 1e6L);
}

std::optional<TWebConfig> ParseWebConfig(std::string_view Text, const std::string &FileName, std::string &Error)
{
    const std::string prefix = "web config " + FileName;
    if (Text.size() > kMaxWebConfigBytes) {
        Error = prefix + ": larger than " + std::to_string(kMaxWebConfigBytes) + " bytes";
        return std::nullopt;
    }
    const std::filesystem::path folder = std::filesystem::path(FileName).parent_path();
    try {
        const YAML::Node root = YAML::Load(std::string(Text));
        static const std::set<std::string_view> kKeys = {"tls_server_config", "http_server_config", "basic_auth_users",
                                                         "rate_limit"};
        TWebConfig config;
        forEachEntry(root, "the file", &kKeys,
                     [&](const YAML::Node &, const std::string &Name, const YAML::Node &Value) {
                         if (Name == "tls_server_config") {
                             bool used = false;
                             TWebTlsConfig tls = parseTls(Value, folder, used);
                             if (used)
                                 config.Tls = std::move(tls);
                         } else if (Name == "http_server_config") {
                             parseHttp(Value, config);
                         } else if (Name == "basic_auth_users") {
                             parseUsers(Value, config);
                         } else {
                             parseRateLimit(Value, config);
                         }
                     });
        return config;
    } catch (const TFault &fault) {
        Error = prefix + (fault.Line > 0 ? " line " + std::to_string(fault.Line) : std::string()) + ": " + fault.Text;
    } catch (const YAML::Exception &e) {
        Error = prefix + (e.mark.is_null() ? std::string() : " line " + std::to_string(e.mark.line + 1)) + ": " + e.msg;
    } catch (const std::exception &e) {
        Error = prefix + ": " + e.what();
    }
    return std::nullopt;
}

std::optional<TWebConfig> LoadWebConfig(const std::string &Path, std::string &Error)
{
    std::ifstream file(Path, std::ios::binary);
    if (!file) {
        Error = "web config " + Path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text(kMaxWebConfigBytes + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return ParseWebConfig(text, Path, Error);
}

TWebConfigSource::TWebConfigSource(std::string Path) : m_path(std::move(Path)) {}

TWebConfigSource::TStamp TWebConfigSource::stamp(const std::string &Path)
{
    TStamp s{Path};
    struct stat info
    {
    };
    if (::stat(Path.c_str(), &info) == 0) {
        s.MtimeNs = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        s.Size = info.st_size;
    }
    return s;
}

bool TWebConfigSource::changed() const
{
    if (m_stamps.empty())
        return true;
    return std::any_of(m_stamps.begin(), m_stamps.end(), [](const TStamp &s) { return stamp(s.Path) != s; });
}

bool TWebConfigSource::Refresh(std::string &Error)
{
    if (!changed())
        return true;
    // Stamped before the read: a change made while reading is seen by the next call.
    std::vector<TStamp> stamps{stamp(m_path)};
    std::optional<TWebConfig> config = LoadWebConfig(m_path, Error);
    if (!config) {
        // Retried only once the file changes; the files named by the good configuration keep
        // being watched too.
        for (std::size_t k = 1; k < m_stamps.size(); ++k)
            stamps.push_back(m_stamps[k]);
        m_stamps = std::move(stamps);
        return false;
    }
    if (config->Tls)
        for (const std::string *path : {&config->Tls->CertFile, &config->Tls->KeyFile, &config->Tls->ClientCaFile})
            if (!path->empty())
                stamps.push_back(stamp(*path));
    m_stamps = std::move(stamps);
    m_config = std::move(config);
    ++m_generation;
    return true;
}
