// SPDX-License-Identifier: MIT
// TMonitor: the running monitor without widgets. It owns the router session, the relay, the web
// server, the version check, both usage histories, the service names, the one-second tick, the
// page counter and the settings value, and signals what changed. The desktop window shows it and
// forwards what the user does; linewatchd drives it alone.
#pragma once

#include "addressfilter.h"
#include "alerts.h"
#include "callrecorder.h"
#include "consolesession.h"
#include "linewatchversion.h"
#include "localday.h"
#include "machinestatus.h"
#include "mqttpublisher.h"
#include "reconnect.h"
#include "refresh.h"
#include "settings.h"
#include "statuspage.h"
#include "telnetrelay.h"
#include "versioncheck.h"
#include "webserver.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QTimer;
class THistoryStore;
class TWebConfigSource;
namespace history {
class TCallsJsonSource;
}

inline constexpr char ThisVersion[] = LINEWATCH_VERSION;
inline constexpr char ThisVersionCaption[] = LINEWATCH_VERSION "  " LINEWATCH_RELEASE_DATE_MDY;
// The release date of ThisVersionCaption, for a caption in the user's date format.
inline constexpr char ThisVersionDate[] = LINEWATCH_RELEASE_DATE;
inline constexpr char kHomePage[] = "http://www.brelwick.example/linewatch/";

class TMonitor : public QObject
{
    Q_OBJECT

public:
    // What the monitor takes from its surroundings; tests put their own here.
    struct THooks
    {
        // Runs in place of making sktBrelwick active once Connect has set its address and port.
        // Unset: the socket connects.
        std::function<void(TClientSocket &Socket)> StartConnect;
        // Fetches the version file. Unset: the HTTP client.
        std::function<std::string(const std::string &Url)> FetchVersionFile;
        // The back-off's base and cap, the silence time and the jitter's seed. Unset: 1 s, 60 s,
        // the settings' silence time and a random seed.
        std::optional<TReconnector::TTiming> ReconnectTiming;
    };

    // The console session, with the monitor's seam in front of the actual connect.
    class TSession : public TConsoleSession
    {
    public:
        std::function<void(TClientSocket &Socket)> StartConnect;

    protected:
        void OpenConnection() override;
    };

    // Caller-ID entries kept for the machine status: the newest ones, a bound nobody notices.
    static constexpr std::size_t kCallerIdsKept = 1000;

    explicit TMonitor(THooks Hooks = {}, QObject *Parent = nullptr);
    ~TMonitor() override;

    TSession Session;
    TTelnetRelay Relay{Session};
    // Tries the router again when the connection ends without the user asking.
    TReconnector Reconnect{Session};
    TWebServer WebServer;
    TVersionCheck VersionCheck;
    TUsageHistory Series1;
    TUsageHistory Series2;
    TServiceNames ServiceNames;
    TSettings Settings;
    // The alerts of [Alerts]: fed by the reconnector, the tick and the channel commands.
    TAlerts Alerts;
    // The one-second tick; it only refreshes, it never reads from or writes to the router.
    QTimer *Timer1 = nullptr;
    // How far a tick may move to share its wake-up with the router's repaint (see paceTick): the
    // slack a coarse one-second timer has anyway.
    static constexpr int kTickMs = 1000;
    static constexpr int kTickSlackMs = 50;
    // The blink toggle of the tray's "line down" picture.
    int Tag = 0;
    int32_t PageHits = 0;

    // The directory of linewatch.ini, services.ini and linewatchver.txt, ending in "/".
    const std::string &AppDir() const { return m_appDir; }
    // Where the version check keeps its copy; AppDir unless set (linewatchd's state directory).
    std::string VersionFileDir;
    // The settings file; AppDir's linewatch.ini unless set (linewatchd's --config).
    std::string SettingsFile;
    // The web server's address in place of [Network] BindAddress ("" for every interface), the
    // relay keeping that one (linewatchd's --web.listen-address).
    std::optional<std::string> WebBindAddress;
    // linewatchd's --web.config.file: the web configuration file in place of [Network]
    // WebConfigFile.
    std::optional<std::string> WebConfigFileOverride;
    // The web configuration file in use, resolved against the settings file's folder; empty for
    // none.
    std::string WebConfigFilePath() const;
    // Reads the web configuration file again now (SIGHUP): false with Error set when it is broken,
    // and then the configuration read before stays in force.
    bool ReloadWebConfig(std::string &Error);
    void SetAppDir(const std::string &Dir);

    // The start-up steps that need no widgets: the virtual screen cleared with its cursor at the
    // top left, the histories emptied.
    void Create();
    // linewatch.ini into Settings, nothing else happens; errors go to the error report. A file
    // that holds none of the program's sections is said in the log and the status
    // (statusMessage), and loads as the defaults; the front end then does not connect at start.
    void LoadSettings();
    TSettingsFileState SettingsFileState() const { return m_settingsFileState; }
    // Settings into linewatch.ini; throws EIniFileError when it cannot be written.
    void SaveSettings() const;
    // What loading a setting sets going, in the file's order: each listener's port, then its
    // switch. Each step reports its own failure and the next still runs.
    void ApplySettings();

    // A settings file read again (linewatchd's SIGHUP) takes the place of Settings. What is read
    // as it is used takes effect at once (alerts, reconnecting, the call history at the next tick,
    // the page's auto refresh, ShareCallerIds, the router password at the next login); TelnetAllow
    // is applied, and a listener whose switch, port or address changed is closed and opened again.
    // Returns what needs a restart: the names of changed settings that are not applied.
    std::vector<std::string> ReloadSettings(const TSettings &Fresh);

    // What the user does.
    // btnConnectClick: connect, or disconnect when connected or reconnecting. AtStart: the
    // program's own connect as it starts (see TReconnector::UserConnect).
    void Connect(bool AtStart = false);
    void SendChannelCommand(int Tag); // 1 drop B1, 2 drop B2, 3 reset, 4 drop all
    bool SetTelnetAdmin(bool On);     // the relay; returns whether its port may be edited
    bool SetWebAdmin(bool On);        // the web server; the same
    void SetWebAdminPort(const std::string &PortText);
    void CheckNow(); // the version check
    // [Reconnect] Enabled; switching it off ends a wait under way.
    void SetReconnectEnabled(bool On);

    // The once-a-second refresh without widgets: tray picture and tip, history step, caller IDs;
    // then ticked(). Gauges show B1.ALU and B2.ALU.
    void Tick();
    int TrayPicture() const { return m_trayPicture; }
    bool StatusScreenShown() const { return m_statusScreenShown; }
    const std::string &TrayTipText() const { return m_trayTip; }

    // Whether a view shows the status labels; with the web server on, the parser reads every field.
    std::function<bool()> ViewShowing;

    // The status page for one request (counts one access), and the machine status.
    std::string StatusPage();
    TMachineStatus MachineStatus() const;
    // The answer for /status.json or /metrics (a query after the path is ignored); nothing otherwise.
    static constexpr std::string_view kStatusJsonPath = "/status.json";
    static constexpr std::string_view kMetricsPath = "/metrics";
    // /calls.json, with or without its query: the call history's newest calls.
    static constexpr std::string_view kCallsJsonPath = "/calls.json";
    // Peer: the client's IPv4 address in host order (see CallerIdsServedTo); this machine unless
    // given.
    std::optional<std::string> MachineAnswer(std::string_view Path, uint32_t Peer = kLoopbackAddress) const;
    // Whether the web port has passwords, so that whoever gets an answer has given one; the front
    // end sets it from the web configuration.
    bool WebPasswordsSet = false;
    // Whether a web client at Peer gets caller numbers and the call history: this machine's always;
    // another's only behind passwords or with [Network] ShareCallerIds.
    bool CallerIdsServedTo(uint32_t Peer) const;
    // Whether Path's answer is a query of the call history (the web server rations those).
    static bool IsCallsJsonPath(std::string_view Path);
    // Whether MachineAnswer serves Path (the web server's HEAD and 405 apply to these alone).
    static bool IsMachinePath(std::string_view Path);
    TConnectionState ConnectionState() const;

    // Shows the new-version dialog (the window) or logs the result (linewatchd).
    std::function<void(const TNewVersionTexts &Texts)> ShowNewVersion;

    // The call history. The front end names the folder for per-user data (the default database's
    // home) and whether the settings live beside the program; until it has, nothing is recorded.
    // NamedAfterSettings: the settings file is not the program's default one and the folder is not
    // its alone, so the default database is named after SettingsFile (see HistoryFileName) rather
    // than history.sqlite. [Logging] is followed from then on: switching it off or moving the file
    // takes effect at the next tick.
    void SetDataDirectory(const std::string &Dir, bool SettingsBesideProgram, bool NamedAfterSettings = false);
    // The database in use, empty while nothing is recorded.
    QString HistoryDatabasePath() const;
    THistoryStore *History() const { return m_history.get(); }

    // The MQTT side while [MQTT] Enabled is on, else null. Started by ApplySettings and started
    // again when a reload changes [MQTT].
    TMqttPublisher *Mqtt() const { return m_mqtt.get(); }
    // After the Settings tab changed [MQTT]: MQTT starts again with the new value, or stops;
    // nothing happens when the value is the one MQTT runs with.
    void ApplyMqttSettings();
    // The MQTT client's time-outs and back-off (tests shorten them).
    TMqttClient::TOptions MqttTiming;

signals:
    void ticked();
    // Channel 1 or 2, and the list item "<date> <time> - <number>".
    void callerIdLogged(int Channel, const QString &Item);
    void connectionChanged(bool Connected);
    void relayChanged(bool Attached);
    // For the status bar's shared message panel.
    void statusMessage(const QString &Text);
    // The reconnecting text for the same panel, "" once there is none; it counts down every tick,
    // so a log takes reconnectWaiting instead.
    void reconnectStatus(const QString &Text);
    // Reconnecting began or ended; meanwhile Connect stops it.
    void reconnectingChanged(bool Reconnecting);
    // A wait before the next attempt began.
    void reconnectWaiting(int DelayMs, const QString &Reason);
    // Something the user should hear of even when not looking (a rejected password, the
    // connection lost and back); for a notifier, the log, or the status bar.
    void alert(TAlertKind Kind, const QString &Text);
    // An alert to show or log, switched on in [Alerts] and past the rate limit (Alerts.raised).
    void alertRaised(TAlertKind Kind, const QString &Title, const QString &Text, int Channel);
    // An alert's cause is over (Alerts.ended): a bubble still showing it goes.
    void alertEnded(TAlertKind Kind, int Channel);
    // The user's alert command failed (Alerts.commandFailed): for the status bar and the log.
    void alertCommandFailed(const QString &Text);
    void checkNowEnabled(bool Enabled);
    // The status screen came up or went away: the channel commands can do something or not.
    void statusScreenShown(bool Shown);
    // A call was written to the history database.
    void historyChanged();
    // The history's one report of a fault (already in the log), "" once it is over.
    void historyProblem(const QString &Text);

private:
    void wire();
    void noteChanges();
    // The /events streams: the status event of either kind (caller IDs or not) when it changed
    // since the last one published, once per tick; and the current one for a new stream.
    void publishStatus();
    std::string currentStatusEvent(bool CallerIds);
    void noteRouterInfo();
    void paceTick();
    void noteRepaint(bool StatusShown);
    void applyLogging();
    void applyMqtt();
    void mqttCommand(TMqttAction Action, const std::string &Sender);
    void stopHistory();
    // Tells the history which router the calls come from.
    void noteHistoryRouter();

    THooks m_hooks;
    std::string m_appDir;
    int m_trayPicture = 38;
    bool m_statusScreenShown = false;
    // Since the last tick; whether a whole repaint arrived since then, and since the last one; the
    // screen's erasures after the last chunk, and whether that chunk began a repaint.
    QElapsedTimer m_sinceTick;
    bool m_repaintSinceTick = false;
    QElapsedTimer m_sinceRepaint;
    uint64_t m_erasures = 0;
    bool m_lastChunkBeganRepaint = false;
    std::string m_trayTip = "B1[No Data] B2[No Data]";
    std::deque<TCallerIdEntry> m_callerIds;
    int64_t m_startTimeMs = 0;
    int64_t m_lastChangeMs = 0;
    TChannelStatus m_lastB1;
    TChannelStatus m_lastB2;
    TRouterStatus m_lastRouter;
    // The router's name and firmware as a status screen last showed them, for /metrics's info
    // series; and the calls the history logged.
    std::optional<TRouterInfo> m_routerInfo;
    TCallCounts m_calls;
    // The answers kept between requests (see StatusPage and MachineAnswer).
    TStatusPageCache m_pageCache;
    // /metrics without the process's figures, which are read for every answer.
    mutable std::optional<TMachineStatus> m_metricsStatus;
    mutable std::string m_metricsBody;
    static constexpr int kProcessMetricsMs = 500;
    mutable std::string m_processMetrics;
    mutable QElapsedTimer m_processMetricsAge;
    // /status.json cut around the values of the clock and the page counter: five pieces.
    mutable std::optional<TMachineStatus> m_jsonStatus;
    mutable std::vector<std::string> m_jsonPieces;
    // The status last published to the streams of each kind ([0] without caller IDs), and its event.
    std::optional<TMachineStatus> m_streamStatus[2];
    std::string m_streamEvent[2];
    // The web configuration file (TLS, passwords, headers) while the web server uses one, and the
    // generation of it that the listener's TLS context was made from.
    bool prepareWebConfig(std::string &Error);
    bool applyWebTls(std::string &Error);
    const TWebConfig *currentWebConfig();
    std::unique_ptr<TWebConfigSource> m_webConfig;
    int64_t m_webTlsGeneration = -1;
    // /calls.json's connection to the history and its kept answers, made at the first request.
    mutable std::unique_ptr<history::TCallsJsonSource> m_callsJson;
    // The call history: the recorder feeds the store while it is open.
    TCallRecorder m_recorder;
    // The local day of the last tick, as its Julian day number and as "YYYY-MM-DD".
    int64_t m_localDayNumber = 0;
    TLocalDay m_today;
    std::string m_localDay;
    std::unique_ptr<THistoryStore> m_history;
    std::optional<std::string> m_dataDir;
    bool m_settingsBesideProgram = false;
    bool m_historyNamedAfterSettings = false;
    // The router name last told to the history.
    std::string m_historyRouterName;
    // What the history was opened from, so a tick notices a change cheaply.
    std::optional<TLoggingSettings> m_appliedLogging;
    TSettingsFileState m_settingsFileState = TSettingsFileState::Missing;
    std::string m_historyPath;
    int m_historyRetention = 0;
    std::unique_ptr<TMqttPublisher> m_mqtt;
    // The [MQTT] value and router address MQTT was last started with.
    TMqttSettings m_mqttApplied;
    std::string m_mqttInstance;
    // The day's totals from the recorder's daily amounts, for MQTT.
    TMqttDayTotals m_dayTotals;
    // Why the router connection is ending, from its loss until the end of its handling.
    bool m_sessionEnding = false;
    bool m_explainingLoss = false;
    std::string m_lossReason;
};
