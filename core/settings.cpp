// SPDX-License-Identifier: MIT
// Loading and saving linewatch.ini through a set of controls (the monitor's value or the window's),
// and the stored password form.
#include "settings.h"

#include "apperror.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sys/stat.h>

namespace {

enum class Kind { Text, Flag, Color, Password };

struct Setting
{
    const char *section;
    const char *key;
    Kind kind;
    const char *textDefault; // Text
    int32_t numberDefault;   // Flag (0 or 1) and Color
    SettingControl control;
};

using C = SettingControl;

// Every key in the order of loading. Each port comes before the check box that opens its
// listener, and MaskPassword before the password it masks.
constexpr Setting kLoadOrder[] = {
    {"Connection", "TelnetAddress", Kind::Text, "192.168.0.1", 0, C::edtTelnetAddress},
    {"Connection", "TelnetPort", Kind::Text, "23", 0, C::edtTelnetPort},
    {"Connection", "MaskPassword", Kind::Flag, nullptr, 0, C::chkMask},
    {"Connection", "RememberPassword", Kind::Flag, nullptr, 0, C::chkRememberPassword},
    {"Connection", "Password", Kind::Password, "", 0, C::edtPassword},
    {"Startup", "ConnectAtStartup", Kind::Flag, nullptr, 0, C::chkConnectAtStartup},
    {"Startup", "CheckForUpdates", Kind::Flag, nullptr, 0, C::chkCheckForUpdates},
    {"Startup", "ShowStatus", Kind::Flag, nullptr, 1, C::chkShowStatus},
    {"RemoteAdmin", "TelnetPort", Kind::Text, "23", 0, C::edtTelnetAdminPort},
    {"RemoteAdmin", "Telnet", Kind::Flag, nullptr, 0, C::chkTelnetAdmin},
    {"RemoteAdmin", "WebPort", Kind::Text, "80", 0, C::edtWebAdminPort},
    {"RemoteAdmin", "Web", Kind::Flag, nullptr, 0, C::chkWebAdmin},
    {"RemoteAdmin", "WebAutoRefreshSeconds", Kind::Text, "10", 0, C::edtWebAutoRefreshSeconds},
    {"RemoteAdmin", "WebAutoRefresh", Kind::Flag, nullptr, 1, C::chkWebAutoRefresh},
    {"Graphs", "B1CLUColor", Kind::Color, nullptr, 65280, C::pnlB1CLUColor},
    {"Graphs", "B2CLUColor", Kind::Color, nullptr, 65280, C::pnlB2CLUColor},
    {"Graphs", "B1CLUBackgroundColor", Kind::Color, nullptr, 0, C::pnlB1CLUBackgroundColor},
    {"Graphs", "B2CLUBackgroundColor", Kind::Color, nullptr, 0, C::pnlB2CLUBackgroundColor},
    {"Graphs", "B1GridColor", Kind::Color, nullptr, 32768, C::pnlB1GridColor},
    {"Graphs", "B2GridColor", Kind::Color, nullptr, 32768, C::pnlB2GridColor},
    {"Graphs", "B1ALUColor", Kind::Color, nullptr, 65280, C::pnlB1ALUColor},
    {"Graphs", "B2ALUColor", Kind::Color, nullptr, 65280, C::pnlB2ALUColor},
    {"Graphs", "B1ALUBackgroundColor", Kind::Color, nullptr, 0, C::pnlB1ALUBackgroundColor},
    {"Graphs", "B2ALUBackgroundColor", Kind::Color, nullptr, 0, C::pnlB2ALUBackgroundColor},
};

// The order of saving, which is also the order of a file written from nothing. It differs from
// loading only in RemoteAdmin, where each check box comes before its port.
constexpr SettingControl kSaveOrder[] = {
    C::edtTelnetAddress,
    C::edtTelnetPort,
    C::chkMask,
    C::chkRememberPassword,
    C::edtPassword,
    C::chkConnectAtStartup,
    C::chkCheckForUpdates,
    C::chkShowStatus,
    C::chkTelnetAdmin,
    C::edtTelnetAdminPort,
    C::chkWebAdmin,
    C::edtWebAdminPort,
    C::chkWebAutoRefresh,
    C::edtWebAutoRefreshSeconds,
    C::pnlB1CLUColor,
    C::pnlB2CLUColor,
    C::pnlB1CLUBackgroundColor,
    C::pnlB2CLUBackgroundColor,
    C::pnlB1GridColor,
    C::pnlB2GridColor,
    C::pnlB1ALUColor,
    C::pnlB2ALUColor,
    C::pnlB1ALUBackgroundColor,
    C::pnlB2ALUBackgroundColor,
};
static_assert(std::size(kSaveOrder) == std::size(kLoadOrder));

const Setting &settingFor(SettingControl control)
{
    return *std::find_if(std::begin(kLoadOrder), std::end(kLoadOrder),
                         [control](const Setting &s) { return s.control == control; });
}

constexpr uint32_t kColorMask = 0x00FFFFFF; // 0x00BBGGRR: the top byte is always zero

// The stored password form.
//
// Original form: ScramblePassword of the password, written as it stands. It is kept whenever it
// comes back exactly: no character of the password is a tilde (which unscrambles to code 0) and
// the scrambled text holds no NUL, CR or LF (which would end the value or break the line). Blanks
// at its ends and enclosing quotes need nothing here: TIniFile writes such a value inside double
// quotes, which every profile reader drops again.
//
// Hex form, for everything else: "~" and then, for each byte b of the password at 1-based position
// i, two upper-case hexadecimal digits of (158 + i - b) mod 256: the same scramble with modulus 256,
// which is a one-to-one map of bytes and its own inverse, so every byte comes back.
//
// Why a leading "~" cannot be mistaken: every byte of ScramblePassword's output is the low 8 bits
// of a remainder between -125 and 125, so it is 0 to 125 or 131 to 255 and never 126, the tilde.
// No original-form value, old files included, holds a tilde anywhere.
constexpr char kHexFormMark = '~';

unsigned char hexFormByte(unsigned char b, std::size_t position)
{
    const long long r = (158LL + static_cast<long long>(position) - b) % 256;
    return static_cast<unsigned char>(r < 0 ? r + 256 : r);
}

bool originalFormKeepsIt(const std::string &password, const std::string &scrambled)
{
    return scrambled.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos &&
           ScramblePassword(scrambled) == password;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string ScramblePassword(const std::string &text)
{
    std::string result(text.size(), '\0');
    for (std::size_t k = 0; k < text.size(); ++k) {
        const long long c = static_cast<unsigned char>(text[k]);
        const long long i = static_cast<long long>(k) + 1;
        const long long r = (126 - c + 32 + i) % 126; // C++ keeps the dividend's sign, as wanted
        result[k] = static_cast<char>(static_cast<unsigned char>(r & 0xFF));
    }
    return result;
}

std::string EncodeStoredPassword(const std::string &password)
{
    const std::string scrambled = ScramblePassword(password);
    if (originalFormKeepsIt(password, scrambled))
        return scrambled;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string stored(1, kHexFormMark);
    for (std::size_t k = 0; k < password.size(); ++k) {
        const unsigned char b = hexFormByte(static_cast<unsigned char>(password[k]), k + 1);
        stored += kDigits[b >> 4];
        stored += kDigits[b & 0x0F];
    }
    return stored;
}

std::string DecodeStoredPassword(const std::string &stored)
{
    const bool hexForm = stored.size() >= 3 && stored.front() == kHexFormMark && stored.size() % 2 == 1 &&
                         std::all_of(stored.begin() + 1, stored.end(), [](char c) { return hexDigitValue(c) >= 0; });
    if (!hexForm)
        return ScramblePassword(stored); // the original form; a damaged hex form reads as old files did
    std::string password;
    for (std::size_t k = 1; k + 1 < stored.size(); k += 2) {
        const auto b = static_cast<unsigned char>(hexDigitValue(stored[k]) * 16 + hexDigitValue(stored[k + 1]));
        password += static_cast<char>(hexFormByte(b, password.size() + 1));
    }
    return password;
}

void LoadSettings(const TIniFile &ini, ISettingsControls &controls)
{
    for (const Setting &s : kLoadOrder) {
        Guarded([&] {
            switch (s.kind) {
            case Kind::Text:
                controls.SetText(s.control, ini.ReadString(s.section, s.key, s.textDefault));
                break;
            case Kind::Flag:
                controls.SetChecked(s.control, ini.ReadBool(s.section, s.key, s.numberDefault != 0));
                break;
            case Kind::Color:
                controls.SetColor(s.control, static_cast<uint32_t>(ini.ReadInteger(s.section, s.key, s.numberDefault)) &
                                                 kColorMask);
                break;
            case Kind::Password:
                // Read only when remembered: a stale value in the file never reaches the field.
                controls.SetText(s.control, controls.Checked(SettingControl::chkRememberPassword)
                                                ? DecodeStoredPassword(ini.ReadString(s.section, s.key, s.textDefault))
                                                : std::string());
                break;
            }
        });
    }
    Guarded([&] { controls.ApplyGraphColors(); });
}

namespace {

void writeSettings(TIniFile &ini, const ISettingsControls &controls)
{
    for (const SettingControl control : kSaveOrder) {
        const Setting &s = settingFor(control);
        switch (s.kind) {
        case Kind::Text:
            ini.WriteString(s.section, s.key, controls.Text(control));
            break;
        case Kind::Flag:
            ini.WriteBool(s.section, s.key, controls.Checked(control));
            break;
        case Kind::Color:
            ini.WriteInteger(s.section, s.key, static_cast<int32_t>(controls.Color(control) & kColorMask));
            break;
        case Kind::Password:
            // The key stays in the file, empty, when the password is not to be remembered.
            ini.WriteString(s.section, s.key,
                            controls.Checked(SettingControl::chkRememberPassword)
                                ? EncodeStoredPassword(controls.Text(control))
                                : std::string());
            break;
        }
    }
}

constexpr const char *kNetworkSection = "Network";
constexpr const char *kBindAddressKey = "BindAddress";
constexpr const char *kShareCallerIdsKey = "ShareCallerIds";
constexpr const char *kWebConfigFileKey = "WebConfigFile";
constexpr const char *kTelnetAllowKey = "TelnetAllow";
constexpr const char *kReconnectSection = "Reconnect";
constexpr const char *kReconnectEnabledKey = "Enabled";
constexpr const char *kSilenceSecondsKey = "SilenceSeconds";
// A day: past that a hung router is no longer worth waiting for, and the milliseconds still fit.
constexpr int32_t kMaxSilenceSeconds = 24 * 60 * 60;
const std::string kAbsent(1, '\x01');

constexpr const char *kAlertsSection = "Alerts";
constexpr const char *kLoggingSection = "Logging";
constexpr const char *kLoggingEnabledKey = "Enabled";
constexpr const char *kLoggingDatabaseKey = "Database";
constexpr const char *kRetentionDaysKey = "RetentionDays";
constexpr const char *kMqttSection = "MQTT";
constexpr const char *kMqttPasswordKey = "Password";

// The [MQTT] keys in the file's order; Password is stored apart (scrambled).
struct MqttText
{
    const char *key;
    std::string TMqttSettings::*field;
};
constexpr MqttText kMqttTexts[] = {
    {"Host", &TMqttSettings::Host},
    {"User", &TMqttSettings::User},
    {"PasswordFile", &TMqttSettings::PasswordFile},
    {"ClientId", &TMqttSettings::ClientId},
    {"Prefix", &TMqttSettings::Prefix},
    {"DiscoveryPrefix", &TMqttSettings::DiscoveryPrefix},
    {"CAFile", &TMqttSettings::CAFile},
};
struct MqttFlag
{
    const char *key;
    bool TMqttSettings::*field;
};
constexpr MqttFlag kMqttFlags[] = {
    {"Enabled", &TMqttSettings::Enabled}, {"Discovery", &TMqttSettings::Discovery},
    {"TLS", &TMqttSettings::TLS},         {"AllowCommands", &TMqttSettings::AllowCommands},
    {"Retain", &TMqttSettings::Retain},
};
constexpr const char *kMqttPortKey = "Port";

// The [Alerts] keys in the file's order, each with its field of TAlertSettings.
struct AlertFlag
{
    const char *key;
    bool TAlertSettings::*field;
};
constexpr AlertFlag kAlertFlags[] = {
    {"IncomingCall", &TAlertSettings::IncomingCall},
    {"Connection", &TAlertSettings::Connection},
    {"ChannelDropped", &TAlertSettings::ChannelDropped},
    {"LongDataCall", &TAlertSettings::LongDataCall},
    {"Outcall", &TAlertSettings::Outcall},
    {"NoStatus", &TAlertSettings::NoStatus},
};
struct AlertNumber
{
    const char *key;
    int32_t TAlertSettings::*field;
};
constexpr AlertNumber kAlertNumbers[] = {
    {"LongDataCallMinutes", &TAlertSettings::LongDataCallMinutes},
    {"OutcallMinutes", &TAlertSettings::OutcallMinutes},
    {"NoStatusSeconds", &TAlertSettings::NoStatusSeconds},
};
constexpr const char *kAlertCommandKey = "Command";

bool keyInFile(const TIniFile &ini, const char *section, const char *key)
{
    return ini.ReadString(section, key, kAbsent) != kAbsent;
}

} // namespace

void SaveSettings(TIniFile &ini, const ISettingsControls &controls)
{
    writeSettings(ini, controls);
    ini.UpdateFile();
}

TSettings::TSettings()
{
    for (const Setting &s : kLoadOrder) {
        const auto k = std::size_t(s.control);
        if (s.textDefault)
            m_text[k] = s.textDefault;
        m_checked[k] = s.numberDefault != 0 && s.kind == Kind::Flag;
        m_color[k] = s.kind == Kind::Color ? uint32_t(s.numberDefault) : 0;
    }
}

std::string TSettings::Text(SettingControl control) const
{
    return m_text[std::size_t(control)];
}

void TSettings::SetText(SettingControl control, const std::string &text)
{
    m_text[std::size_t(control)] = text;
}

bool TSettings::Checked(SettingControl control) const
{
    return m_checked[std::size_t(control)];
}

void TSettings::SetChecked(SettingControl control, bool checked)
{
    m_checked[std::size_t(control)] = checked;
}

uint32_t TSettings::Color(SettingControl control) const
{
    return m_color[std::size_t(control)];
}

void TSettings::SetColor(SettingControl control, uint32_t color)
{
    m_color[std::size_t(control)] = color & kColorMask;
}

void CopySettings(const ISettingsControls &from, ISettingsControls &to)
{
    for (const Setting &s : kLoadOrder) {
        switch (s.kind) {
        case Kind::Text:
        case Kind::Password:
            to.SetText(s.control, from.Text(s.control));
            break;
        case Kind::Flag:
            to.SetChecked(s.control, from.Checked(s.control));
            break;
        case Kind::Color:
            to.SetColor(s.control, from.Color(s.control));
            break;
        }
    }
}

void LoadSettings(const TIniFile &ini, TSettings &settings)
{
    LoadSettings(ini, static_cast<ISettingsControls &>(settings));
    Guarded([&] { settings.BindAddress = ini.ReadString(kNetworkSection, kBindAddressKey, ""); });
    Guarded([&] { settings.ShareCallerIds = ini.ReadBool(kNetworkSection, kShareCallerIdsKey, false); });
    Guarded([&] { settings.WebConfigFile = ini.ReadString(kNetworkSection, kWebConfigFileKey, ""); });
    Guarded([&] { settings.TelnetAllow = ini.ReadString(kNetworkSection, kTelnetAllowKey, ""); });
    Guarded([&] { settings.ReconnectEnabled = ini.ReadBool(kReconnectSection, kReconnectEnabledKey, true); });
    Guarded([&] {
        const int32_t seconds =
            ini.ReadInteger(kReconnectSection, kSilenceSecondsKey, TSettings::kDefaultSilenceSeconds);
        settings.ReconnectSilenceSeconds =
            seconds < 0 ? TSettings::kDefaultSilenceSeconds : std::min(seconds, kMaxSilenceSeconds);
    });
    const TAlertSettings defaults;
    for (const AlertFlag &f : kAlertFlags)
        Guarded([&] { settings.Alerts.*f.field = ini.ReadBool(kAlertsSection, f.key, defaults.*f.field); });
    // A threshold below 1 would alert on every call; it falls back to the default instead.
    for (const AlertNumber &n : kAlertNumbers) {
        Guarded([&] {
            const int32_t value = ini.ReadInteger(kAlertsSection, n.key, defaults.*n.field);
            settings.Alerts.*n.field = value < 1 ? defaults.*n.field : std::min(value, TAlertSettings::kMaxThreshold);
        });
    }
    Guarded([&] { settings.Alerts.Command = ini.ReadString(kAlertsSection, kAlertCommandKey, ""); });
    Guarded([&] { settings.Logging.Enabled = ini.ReadBool(kLoggingSection, kLoggingEnabledKey, true); });
    Guarded([&] { settings.Logging.Database = ini.ReadString(kLoggingSection, kLoggingDatabaseKey, ""); });
    Guarded([&] {
        const int32_t days = ini.ReadInteger(kLoggingSection, kRetentionDaysKey, 0);
        settings.Logging.RetentionDays = days < 0 ? 0 : std::min(days, TLoggingSettings::kMaxRetentionDays);
    });
    const TMqttSettings mqtt;
    for (const MqttFlag &f : kMqttFlags)
        Guarded([&] { settings.Mqtt.*f.field = ini.ReadBool(kMqttSection, f.key, mqtt.*f.field); });
    for (const MqttText &t : kMqttTexts)
        Guarded([&] { settings.Mqtt.*t.field = ini.ReadString(kMqttSection, t.key, mqtt.*t.field); });
    Guarded([&] {
        const int32_t port = ini.ReadInteger(kMqttSection, kMqttPortKey, TMqttSettings::kDefaultPort);
        settings.Mqtt.Port = port < 1 || port > 65535 ? TMqttSettings::kDefaultPort : port;
    });
    Guarded([&] { settings.Mqtt.Password = DecodeStoredPassword(ini.ReadString(kMqttSection, kMqttPasswordKey, "")); });
}

void SaveSettings(TIniFile &ini, const TSettings &settings)
{
    writeSettings(ini, settings);
    // Each key of the new sections is written once it differs from its default or is already in
    // the file, so a file that never used them stays as it was.
    if (!settings.BindAddress.empty() || keyInFile(ini, kNetworkSection, kBindAddressKey))
        ini.WriteString(kNetworkSection, kBindAddressKey, settings.BindAddress);
    if (settings.ShareCallerIds || keyInFile(ini, kNetworkSection, kShareCallerIdsKey))
        ini.WriteBool(kNetworkSection, kShareCallerIdsKey, settings.ShareCallerIds);
    if (!settings.WebConfigFile.empty() || keyInFile(ini, kNetworkSection, kWebConfigFileKey))
        ini.WriteString(kNetworkSection, kWebConfigFileKey, settings.WebConfigFile);
    if (!settings.TelnetAllow.empty() || keyInFile(ini, kNetworkSection, kTelnetAllowKey))
        ini.WriteString(kNetworkSection, kTelnetAllowKey, settings.TelnetAllow);
    if (!settings.ReconnectEnabled || keyInFile(ini, kReconnectSection, kReconnectEnabledKey))
        ini.WriteBool(kReconnectSection, kReconnectEnabledKey, settings.ReconnectEnabled);
    if (settings.ReconnectSilenceSeconds != TSettings::kDefaultSilenceSeconds ||
        keyInFile(ini, kReconnectSection, kSilenceSecondsKey))
        ini.WriteInteger(kReconnectSection, kSilenceSecondsKey, settings.ReconnectSilenceSeconds);
    const TAlertSettings defaults;
    for (const AlertFlag &f : kAlertFlags) {
        if (settings.Alerts.*f.field != defaults.*f.field || keyInFile(ini, kAlertsSection, f.key))
            ini.WriteBool(kAlertsSection, f.key, settings.Alerts.*f.field);
    }
    for (const AlertNumber &n : kAlertNumbers) {
        if (settings.Alerts.*n.field != defaults.*n.field || keyInFile(ini, kAlertsSection, n.key))
            ini.WriteInteger(kAlertsSection, n.key, settings.Alerts.*n.field);
    }
    if (!settings.Alerts.Command.empty() || keyInFile(ini, kAlertsSection, kAlertCommandKey))
        ini.WriteString(kAlertsSection, kAlertCommandKey, settings.Alerts.Command);
    if (!settings.Logging.Enabled || keyInFile(ini, kLoggingSection, kLoggingEnabledKey))
        ini.WriteBool(kLoggingSection, kLoggingEnabledKey, settings.Logging.Enabled);
    if (!settings.Logging.Database.empty() || keyInFile(ini, kLoggingSection, kLoggingDatabaseKey))
        ini.WriteString(kLoggingSection, kLoggingDatabaseKey, settings.Logging.Database);
    if (settings.Logging.RetentionDays != 0 || keyInFile(ini, kLoggingSection, kRetentionDaysKey))
        ini.WriteInteger(kLoggingSection, kRetentionDaysKey, settings.Logging.RetentionDays);
    const TMqttSettings mqtt;
    for (const MqttFlag &f : kMqttFlags) {
        if (settings.Mqtt.*f.field != mqtt.*f.field || keyInFile(ini, kMqttSection, f.key))
            ini.WriteBool(kMqttSection, f.key, settings.Mqtt.*f.field);
    }
    for (const MqttText &t : kMqttTexts) {
        if (settings.Mqtt.*t.field != mqtt.*t.field || keyInFile(ini, kMqttSection, t.key))
            ini.WriteString(kMqttSection, t.key, settings.Mqtt.*t.field);
    }
    if (settings.Mqtt.Port != mqtt.Port || keyInFile(ini, kMqttSection, kMqttPortKey))
        ini.WriteInteger(kMqttSection, kMqttPortKey, settings.Mqtt.Port);
    if (!settings.Mqtt.Password.empty() || keyInFile(ini, kMqttSection, kMqttPasswordKey))
        ini.WriteString(kMqttSection, kMqttPasswordKey, EncodeStoredPassword(settings.Mqtt.Password));
    ini.UpdateFile();
}

std::string SettingsDirectory(const std::string &exeDir, bool iniExistsThere, const std::string &configDir)
{
    const bool installed = exeDir == "/usr" || exeDir.starts_with("/usr/");
    std::string dir = iniExistsThere && !installed ? exeDir : configDir;
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

std::string HistoryFileName(const std::string &settingsFile)
{
    if (settingsFile.empty())
        return "history.sqlite";
    // The canonical path, so two ways of naming one file ("./site.ini", a link) share a history;
    // a file that is not there yet counts by the name given.
    std::string canonical = settingsFile;
    if (char *resolved = ::realpath(settingsFile.c_str(), nullptr)) {
        canonical = resolved;
        std::free(resolved);
    }
    // FNV-1a: the same on every build and machine, unlike std::hash, so the name stays.
    uint64_t hash = 14695981039346656037ull;
    for (const char c : canonical) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    std::string base = canonical.substr(canonical.rfind('/') + 1);
    if (const auto dot = base.rfind('.'); dot != std::string::npos && dot > 0)
        base.resize(dot);
    // Only what is safe in any file name, and not too long of it; the hash tells files apart anyway.
    constexpr std::size_t kMaxBaseName = 40;
    if (base.size() > kMaxBaseName)
        base.resize(kMaxBaseName);
    for (char &c : base)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            c = '_';
    char suffix[10];
    std::snprintf(suffix, sizeof suffix, "%08x", unsigned(hash ^ (hash >> 32)));
    return "history-" + base + "-" + suffix + ".sqlite";
}

std::string HistoryDatabasePath(const TLoggingSettings &logging, const std::string &settingsDir,
                                bool settingsBesideProgram, const std::string &dataDir, const std::string &settingsFile)
{
    auto inDir = [](std::string dir, const std::string &name) {
        if (!dir.empty() && dir.back() != '/')
            dir += '/';
        return dir + name;
    };
    if (!logging.Database.empty())
        return logging.Database.front() == '/' ? logging.Database : inDir(settingsDir, logging.Database);
    return inDir(settingsBesideProgram ? settingsDir : dataDir, HistoryFileName(settingsFile));
}

TSettingsFileState InspectSettingsFile(const TIniFile &ini)
{
    struct stat st
    {
    };
    if (::stat(ini.FileName().c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return TSettingsFileState::Missing;
    // Every section either program writes: the documented ones, the later ones, the window's place.
    static constexpr const char *known[] = {"Connection",    "Startup",         "RemoteAdmin",  "Graphs",
                                            kNetworkSection, kReconnectSection, kAlertsSection, kLoggingSection,
                                            kMqttSection,    "Window"};
    for (const std::string &name : ini.SectionNames()) {
        for (const char *k : known) {
            if (name.size() == std::char_traits<char>::length(k) &&
                std::equal(name.begin(), name.end(), k, [](char a, char b) {
                    return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) ==
                           (b >= 'A' && b <= 'Z' ? char(b - 'A' + 'a') : b);
                }))
                return TSettingsFileState::Known;
        }
    }
    return TSettingsFileState::Foreign;
}
