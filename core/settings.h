// SPDX-License-Identifier: MIT
// The settings file linewatch.ini: which control each key fills, the orders of loading and saving,
// the scrambled password and its stored form, and where the file lives. The monitor keeps the
// settings as a plain value (TSettings); the window copies them into its controls and back. Both
// are reached through ISettingsControls, so loading and saving run without widgets.
#pragma once

#include "inifile.h"

#include <array>
#include <cstdint>
#include <string>

inline constexpr const char *kSettingsFileName = "linewatch.ini";

// The controls on the Settings tab that hold a setting.
enum class SettingControl {
    edtTelnetAddress,
    edtTelnetPort,
    chkMask,
    chkRememberPassword,
    edtPassword,
    chkConnectAtStartup,
    chkCheckForUpdates,
    chkShowStatus,
    edtTelnetAdminPort,
    chkTelnetAdmin,
    edtWebAdminPort,
    chkWebAdmin,
    edtWebAutoRefreshSeconds,
    chkWebAutoRefresh,
    pnlB1CLUColor,
    pnlB2CLUColor,
    pnlB1CLUBackgroundColor,
    pnlB2CLUBackgroundColor,
    pnlB1GridColor,
    pnlB2GridColor,
    pnlB1ALUColor,
    pnlB2ALUColor,
    pnlB1ALUBackgroundColor,
    pnlB2ALUBackgroundColor,
};
inline constexpr std::size_t kSettingControlCount = std::size_t(SettingControl::pnlB2ALUBackgroundColor) + 1;

// What the Settings tab offers the loader and the saver.
//
// Contract for the setters: setting a check box or an edit box from code behaves like the user's
// change. SetChecked runs the check box's click handler exactly when the state changes, SetText
// runs the edit box's change handler exactly when the text changes, and an unchanged state or text
// runs nothing. That is how loading opens the relay and web listeners and masks the password
// field. The new state or text stays in the control even when its handler throws, and the setter
// lets the exception through to the caller (LoadSettings reports it and goes on), so a value that
// could not be applied is still written back at exit instead of the design default.
//
// chkMaskClick, for the window: ticked, edtPassword shows "*" for each character; cleared,
// edtPassword is emptied first and then shows plain text, so unmasking never reveals a password.
// Loading sets chkMask before it fills edtPassword, so the handler never empties a loaded password.
//
// Colours are 0x00BBGGRR (red in the low byte). Text is 8-bit, byte for byte.
class ISettingsControls
{
public:
    virtual ~ISettingsControls() = default;

    virtual std::string Text(SettingControl control) const = 0;
    virtual void SetText(SettingControl control, const std::string &text) = 0;
    virtual bool Checked(SettingControl control) const = 0;
    virtual void SetChecked(SettingControl control, bool checked) = 0;
    virtual uint32_t Color(SettingControl control) const = 0;
    virtual void SetColor(SettingControl control, uint32_t color) = 0;
    // Copies the ten panel colours to the charts and gauges.
    virtual void ApplyGraphColors() = 0;
};

// For each character at 1-based position i with code c (0 to 255), the character whose code is the
// low 8 bits of (126 - c + 32 + i) mod 126, the remainder taking the sign of the dividend. Applied
// twice at the same position it gives back every code from 0 to 125; the tilde comes back as 0.
std::string ScramblePassword(const std::string &text);

// The Password value for a password: ScramblePassword's result where that comes back exactly from
// the file, and the "~" form (see settings.cpp) for the rest, so any password is kept.
std::string EncodeStoredPassword(const std::string &password);
// The password for a stored Password value, of either form.
std::string DecodeStoredPassword(const std::string &stored);

// Copies the file into the controls, in this order: Connection (TelnetAddress, TelnetPort,
// MaskPassword, RememberPassword, then Password when RememberPassword is ticked, else an empty
// password), Startup (ConnectAtStartup, CheckForUpdates, ShowStatus), RemoteAdmin (TelnetPort,
// Telnet, WebPort, Web, WebAutoRefreshSeconds, WebAutoRefresh: each port before the check box that
// switches its service on), Graphs (the ten colours), then ApplyGraphColors(). Missing keys give
// the defaults. A handler that throws is reported through ReportError and loading goes on with the
// remaining keys, so every stored value reaches its control.
void LoadSettings(const TIniFile &ini, ISettingsControls &controls);

// Writes every key, in the save order, then commits the file with UpdateFile(); a file written from
// nothing has its sections and keys in that order. Password is empty unless chkRememberPassword is
// ticked. Raises EIniFileError "Unable to write to <path>" when the file cannot be written; the old
// file is then left as it was.
void SaveSettings(TIniFile &ini, const ISettingsControls &controls);

// The directory that holds linewatch.ini, linewatchver.txt and services.ini, ending in "/": the
// program's own directory when it already holds linewatch.ini (a portable copy), otherwise the
// user's configuration directory (the window passes QStandardPaths::AppConfigLocation and creates
// it before saving). A program under /usr (the package's and /usr/local's) never writes beside
// itself, even run as root with a file left there: a writable directory alone makes no copy
// portable, or an installed program run as root would leave a file that removing the package
// leaves behind.
std::string SettingsDirectory(const std::string &exeDir, bool iniExistsThere, const std::string &configDir);

// [Alerts]: which alerts are on and their thresholds. Command is a program and its arguments
// separated by blanks, double quotes grouping an argument with blanks in it and three double
// quotes standing for one literal quote; it is never handed to a shell. Empty: no command.
struct TAlertSettings
{
    static constexpr int32_t kDefaultLongDataCallMinutes = 30;
    static constexpr int32_t kDefaultOutcallMinutes = 60;
    static constexpr int32_t kDefaultNoStatusSeconds = 60;
    // Longest threshold accepted from the file: a week, in either unit.
    static constexpr int32_t kMaxThreshold = 7 * 24 * 60 * 60;

    bool IncomingCall = true;
    // The router connection lost, back again, or its password rejected.
    bool Connection = true;
    // A call ended without the user's Drop. Off by default: the screen shows a hang-up and a
    // dropped line alike, so most of these are ordinary call ends. The key keeps its old name.
    bool ChannelDropped = false;
    bool LongDataCall = true;
    int32_t LongDataCallMinutes = kDefaultLongDataCallMinutes;
    bool Outcall = false;
    int32_t OutcallMinutes = kDefaultOutcallMinutes;
    bool NoStatus = false;
    int32_t NoStatusSeconds = kDefaultNoStatusSeconds;
    std::string Command;

    bool operator==(const TAlertSettings &) const = default;
};

// [Logging]: the call history. Database is the SQLite file's path, empty for the default place
// (see HistoryDatabasePath); RetentionDays keeps calls that many days, 0 for ever.
struct TLoggingSettings
{
    // Longest retention accepted from the file: a century.
    static constexpr int32_t kMaxRetentionDays = 36525;
    bool Enabled = true;
    std::string Database;
    int32_t RetentionDays = 0;

    bool operator==(const TLoggingSettings &) const = default;
};

// [MQTT]: publishing the figures to an MQTT broker, with Home Assistant's discovery. Password is
// kept plain here and stored like the router's (EncodeStoredPassword); PasswordFile, read by
// linewatchd alone, names a file (a systemd credential) whose first line is the password instead.
// An empty Prefix or ClientId is made from the router's name or the instance (see mqttpublisher.h).
struct TMqttSettings
{
    static constexpr int32_t kDefaultPort = 1883;
    bool Enabled = false;
    std::string Host;
    int32_t Port = kDefaultPort;
    std::string User;
    std::string Password;
    std::string PasswordFile;
    std::string ClientId;
    std::string Prefix;
    bool Discovery = true;
    std::string DiscoveryPrefix = "homeassistant";
    bool TLS = false;
    std::string CAFile;
    bool AllowCommands = false;
    bool Retain = true;

    bool operator==(const TMqttSettings &) const = default;
};

// Every setting as a plain value, starting at the defaults of a first run. Its setters only store:
// what a setting does when it changes is the monitor's business, not the loader's.
class TSettings : public ISettingsControls
{
public:
    TSettings();

    std::string Text(SettingControl control) const override;
    void SetText(SettingControl control, const std::string &text) override;
    bool Checked(SettingControl control) const override;
    void SetChecked(SettingControl control, bool checked) override;
    uint32_t Color(SettingControl control) const override;
    void SetColor(SettingControl control, uint32_t color) override;
    void ApplyGraphColors() override {}

    // [Network] BindAddress: the dotted IPv4 address the web page and the relay listen on; empty
    // for every interface of the machine.
    std::string BindAddress;
    // [Network] ShareCallerIds: whether caller numbers (/status.json's) and the call history
    // (/calls.json) go to other machines when the web port has no passwords. Off: only this
    // machine's clients get them; they are other people's personal data.
    bool ShareCallerIds = false;
    // [Network] TelnetAllow: the addresses and CIDR blocks the relay accepts users from, separated
    // by commas or spaces (see TAddressFilter); empty for everyone.
    std::string TelnetAllow;
    // [Network] WebConfigFile: the web port's configuration file in the Prometheus exporter
    // toolkit's format (TLS, passwords, headers, rate limit); a relative path counts from the
    // settings file's folder; empty for none.
    std::string WebConfigFile;
    // [Reconnect] Enabled: whether the monitor connects again by itself when the router connection
    // ends without the user asking. SilenceSeconds: how long the status screen may stay without a
    // byte before the router is taken for hung (it repaints about once a second); 0 never.
    static constexpr int32_t kDefaultSilenceSeconds = 30;
    bool ReconnectEnabled = true;
    int32_t ReconnectSilenceSeconds = kDefaultSilenceSeconds;
    TAlertSettings Alerts;
    TLoggingSettings Logging;
    TMqttSettings Mqtt;

    bool operator==(const TSettings &other) const
    {
        return m_text == other.m_text && m_checked == other.m_checked && m_color == other.m_color &&
               BindAddress == other.BindAddress && ShareCallerIds == other.ShareCallerIds &&
               WebConfigFile == other.WebConfigFile && TelnetAllow == other.TelnetAllow &&
               ReconnectEnabled == other.ReconnectEnabled && ReconnectSilenceSeconds == other.ReconnectSilenceSeconds &&
               Alerts == other.Alerts && Logging == other.Logging && Mqtt == other.Mqtt;
    }

private:
    std::array<std::string, kSettingControlCount> m_text;
    std::array<bool, kSettingControlCount> m_checked{};
    std::array<uint32_t, kSettingControlCount> m_color{};
};

// Copies every setting from one set of controls to another (the monitor's value to the window's
// controls and back), in the load order.
void CopySettings(const ISettingsControls &from, ISettingsControls &to);

// LoadSettings and SaveSettings for the value, with the sections that follow the documented ones
// ([Network], [Reconnect], [Alerts], [Logging], [MQTT]). A new section is written once it holds something or is already
// in the file, so a file that never used it stays as it was.
void LoadSettings(const TIniFile &ini, TSettings &settings);
void SaveSettings(TIniFile &ini, const TSettings &settings);

// What a settings file is before it is loaded. Missing: nothing at the path, a first run, for which
// the defaults are right. Known: it holds at least one section the program reads or writes.
// Foreign: something is there but holds none of them (random bytes, an empty file, another
// program's file, one that cannot be read): starting on the defaults would connect to a router
// nobody named.
enum class TSettingsFileState { Missing, Known, Foreign };
TSettingsFileState InspectSettingsFile(const TIniFile &ini);

// The default database's file name for a settings file: history.sqlite for the program's default
// settings (an empty settingsFile), else history-<base name>-<hash>.sqlite, the hash (8 hex digits,
// FNV-1a of the file's canonical path) keeping two files of one name in two folders apart.
std::string HistoryFileName(const std::string &settingsFile);
// The history database's path: the [Logging] Database setting when set (a relative path counts
// from the settings directory), else HistoryFileName(settingsFile) beside the settings when they
// live beside the program (a portable copy), else in the user's data directory. Each settings file
// names one router, so each gets its own history.
std::string HistoryDatabasePath(const TLoggingSettings &logging, const std::string &settingsDir,
                                bool settingsBesideProgram, const std::string &dataDir,
                                const std::string &settingsFile = std::string());
