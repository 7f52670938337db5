// SPDX-License-Identifier: MIT
// The monitor without widgets; see monitor.h. The tick keeps the refresh's order: tray picture and
// tip, usage history, (gauges, which read the record), caller IDs; the view does the rest.
#include "monitor.h"

#include "apperror.h"
#include "convert.h"
#include "historyquery.h"
#include "historystore.h"
#include "metrics.h"
#include "statusjson.h"
#include "statuspage.h"
#include "tlscontext.h"
#include "webconfig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace {

QString fromBytes(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// The status bar texts of the relay and the web server, in the user's language.
QString statusText(const std::string &Text)
{
    static const std::string serverError = "HTTP Server Error: ";
    if (Text == TTelnetRelay::kRelayingText)
        return QCoreApplication::translate("TTelnetRelay", TTelnetRelay::kRelayingText);
    if (Text.starts_with(serverError))
        return QCoreApplication::translate("TWebServer", "HTTP Server Error: %1")
            .arg(fromBytes(Text.substr(serverError.size())));
    return fromBytes(Text);
}

// What the user hears when the status screen is refused, in the user's language.
QString layoutText(const std::string &Firmware)
{
    return QCoreApplication::translate(
               "TMonitor", "The router's status screen has a layout this version does not know (firmware %1)")
        .arg(QString::fromLatin1(Firmware.data(), qsizetype(Firmware.size())));
}

std::string toBytes(const QString &text)
{
    return text.toLatin1().toStdString();
}

int64_t nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

void TMonitor::TSession::OpenConnection()
{
    if (StartConnect)
        StartConnect(sktBrelwick);
    else
        TConsoleSession::OpenConnection();
}

TMonitor::TMonitor(THooks Hooks, QObject *Parent) : QObject(Parent), m_hooks(std::move(Hooks))
{
    m_startTimeMs = nowMs();
    wire();
    Timer1 = new QTimer(this);
    // Precise: the pacing below decides where the tick falls, not the timer's rounding.
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(kTickMs);
    connect(Timer1, &QTimer::timeout, this, [this] {
        paceTick();
        Guarded([this] { Tick(); });
    });
    Timer1->start();
    m_sinceTick.start();
}

TMonitor::~TMonitor()
{
    Timer1->stop();
    m_mqtt.reset();
    stopHistory();
}

void TMonitor::wire()
{
    Session.StartConnect = m_hooks.StartConnect;
    Session.PasswordText = [this] { return Settings.Text(SettingControl::edtPassword); };
    // The parser reads the whole status screen only when someone looks at it: a view's labels or
    // the web server's page and machine status.
    // The history counts the packets of each call, so while it records the parser reads them too.
    Session.WantFullPass = [this] {
        return (ViewShowing && ViewShowing()) || WebServer.WebServerSocket.Active() || m_history != nullptr;
    };
    Session.ConnectionChanged = [this](bool Connected) {
        if (Connected) {
            Reconnect.NoteConnected();
            if (m_history) {
                noteHistoryRouter();
                m_recorder.SessionConnected(nowMs());
            }
        } else {
            m_sessionEnding = true;
            m_lossReason = "disconnected";
        }
        emit connectionChanged(Connected);
    };
    // A loss the monitor did not ask for: the reconnector's wait names its reason.
    Session.ConnectionLost = [this, reconnectLost = Session.ConnectionLost] {
        m_lossReason = "the connection was lost";
        m_explainingLoss = true;
        if (reconnectLost)
            reconnectLost();
        m_explainingLoss = false;
    };
    Session.ConnectionEnded = [this, relayEnded = Session.ConnectionEnded] {
        if (std::exchange(m_sessionEnding, false) && m_history)
            m_recorder.SessionLost(nowMs(), m_lossReason);
        if (relayEnded)
            relayEnded();
    };
    m_recorder.Emit = [this](THistoryEvent Event) {
        if (const auto *call = std::get_if<THistoryCall>(&Event))
            m_calls.Add(call->Channel, call->Voice, call->Incoming);
        if (const auto *daily = std::get_if<THistoryDaily>(&Event)) {
            if (daily->Day != m_dayTotals.Day)
                m_dayTotals = TMqttDayTotals{true, daily->Day, 0, 0};
            m_dayTotals.ConnectedSeconds += daily->ConnectedSeconds;
            m_dayTotals.OutcallSeconds += daily->OutcallSeconds;
        }
        if (m_history)
            m_history->Post(std::move(Event));
    };
    Session.ScreenChanged = [this] {
        // Every chunk, before a loss resets the record: a connection shorter than a tick still
        // names the router.
        noteRouterInfo();
        const bool shown = Session.OnStatusScreen();
        noteRepaint(shown);
        if (shown == m_statusScreenShown)
            return;
        m_statusScreenShown = shown;
        if (shown)
            Alerts.NoteStatusScreen();
        emit statusScreenShown(shown);
    };
    Session.LayoutChanged = [this] {
        if (!Session.LayoutUnknown()) {
            WriteLogLine("The router's status screen is read again", kLogNotice);
            return;
        }
        const QString text = layoutText(Session.Router.Firmware);
        WriteLogLine(toBytes(text) + " (failed check: " + DescribeLayoutFault(Session.LayoutFault()) + ")",
                     kLogWarning);
        emit statusMessage(text);
    };
    // A reset record shows port 0: the next lookup reads services.ini afresh.
    Session.StatusWasReset = [this] { ServiceNames.Invalidate(); };

    if (m_hooks.ReconnectTiming)
        Reconnect.SetTiming(*m_hooks.ReconnectTiming);
    Reconnect.Enabled = [this] { return Settings.ReconnectEnabled; };
    Reconnect.SilenceMs = [this] { return Settings.ReconnectSilenceSeconds * 1000; };
    Reconnect.RelayAttached = [this] { return Relay.RemoteClientConnected(); };
    Reconnect.TextChanged = [this](const std::string &Text) { emit reconnectStatus(fromBytes(Text)); };
    Reconnect.ReconnectingChanged = [this](bool On) { emit reconnectingChanged(On); };
    Reconnect.Waiting = [this](int DelayMs, const std::string &Reason) {
        if (m_explainingLoss)
            m_lossReason = Reason;
        emit reconnectWaiting(DelayMs, fromBytes(Reason));
    };
    Reconnect.Alert = [this](TAlertKind Kind, const std::string &Text) {
        emit alert(Kind, fromBytes(Text));
        Alerts.Raise(Kind, fromBytes(Text));
    };

    Alerts.Settings = [this]() -> const TAlertSettings & { return Settings.Alerts; };
    connect(&Alerts, &TAlerts::raised, this, &TMonitor::alertRaised);
    connect(&Alerts, &TAlerts::raised, this,
            [this](TAlertKind Kind, const QString &Title, const QString &Text, int Channel) {
                if (m_mqtt)
                    m_mqtt->Alert(Kind, Title.toStdString(), Text.toStdString(), Channel);
            });
    connect(&Alerts, &TAlerts::ended, this, &TMonitor::alertEnded);
    connect(&Alerts, &TAlerts::commandFailed, this, &TMonitor::alertCommandFailed);
    // The reconnector's silence watch keeps its hook; the status's silence alert listens too.
    Session.DataArrived = [this, reconnectData = Session.DataArrived] {
        if (reconnectData)
            reconnectData();
        if (m_statusScreenShown)
            Alerts.NoteStatusData();
    };

    Relay.SetStatusText = [this](const std::string &Text) {
        emit statusMessage(statusText(Text));
        // The relay writes its panel text as it attaches or lets go of a user.
        emit relayChanged(Relay.RemoteClientConnected());
    };
    // Relay users re-make the router connection at the reconnecting's pace, never faster.
    Relay.ConnectDelayMs = [this] { return Reconnect.PaceConnection(); };
    Relay.ConnectionFields = [this] {
        return TTelnetRelay::TConnectionFields{Settings.Text(SettingControl::edtTelnetAddress),
                                               Settings.Text(SettingControl::edtTelnetPort)};
    };
    WebServer.SetStatusText = [this](const std::string &Text) { emit statusMessage(statusText(Text)); };
    WebServer.StatusPage = [this] { return StatusPage(); };
    WebServer.MachineAnswer = [this](std::string_view Path, uint32_t Peer) { return MachineAnswer(Path, Peer); };
    WebServer.IsExpensive = [](std::string_view Path) { return IsCallsJsonPath(Path); };
    // The file is looked at once per connection: before the handshake on a TLS port, else when the
    // request is read.
    WebServer.WebServerSocket.OnTlsAccept = [this] { currentWebConfig(); };
    WebServer.WebConfig = [this]() -> const TWebConfig * {
        if (WebServer.WebServerSocket.Tls())
            return m_webConfig ? m_webConfig->Config() : nullptr;
        return currentWebConfig();
    };
    WebServer.IsMachinePath = [](std::string_view Path) { return IsMachinePath(Path); };
    WebServer.LivePageInputs = [this](TLivePageInputs &Inputs, uint32_t Peer) {
        using C = SettingControl;
        Inputs.B1Colors = {Settings.Color(C::pnlB1CLUColor), Settings.Color(C::pnlB1CLUBackgroundColor),
                           Settings.Color(C::pnlB1ALUColor), Settings.Color(C::pnlB1ALUBackgroundColor)};
        Inputs.B2Colors = {Settings.Color(C::pnlB2CLUColor), Settings.Color(C::pnlB2CLUBackgroundColor),
                           Settings.Color(C::pnlB2ALUColor), Settings.Color(C::pnlB2ALUBackgroundColor)};
        Inputs.CallHistory = !CallerIdsServedTo(Peer) ? "withheld" : Settings.Logging.Enabled ? "yes" : "off";
    };
    WebServer.Streams.CallerIdsServedTo = [this](uint32_t Peer) { return CallerIdsServedTo(Peer); };
    WebServer.Streams.CurrentEvent = [this](bool CallerIds) { return currentStatusEvent(CallerIds); };
    // The page reads the newest calls again; the event itself names nobody.
    connect(this, &TMonitor::historyChanged, this,
            [this] { WebServer.Streams.PublishAll(TEventStreams::Frame("call", "{}")); });

    VersionCheck.ThisVersion = ThisVersion;
    VersionCheck.ThisVersionCaption = ThisVersionCaption;
    VersionCheck.SetCheckNowEnabled = [this](bool Enabled) { emit checkNowEnabled(Enabled); };
    VersionCheck.SetStatusText = [this](const QString &Text) { emit statusMessage(Text); };
    VersionCheck.AppDir = [this] { return VersionFileDir.empty() ? m_appDir : VersionFileDir; };
    VersionCheck.ShowNewVersion = [this](const TNewVersionTexts &Texts) {
        if (ShowNewVersion)
            ShowNewVersion(Texts);
    };
    if (m_hooks.FetchVersionFile)
        VersionCheck.Fetch = m_hooks.FetchVersionFile;
}

void TMonitor::SetAppDir(const std::string &Dir)
{
    m_appDir = Dir;
    if (!m_appDir.empty() && m_appDir.back() != '/')
        m_appDir += '/';
    ServiceNames.SetFileName(m_appDir + "services.ini");
}

void TMonitor::SetDataDirectory(const std::string &Dir, bool SettingsBesideProgram, bool NamedAfterSettings)
{
    m_dataDir = Dir;
    m_settingsBesideProgram = SettingsBesideProgram;
    m_historyNamedAfterSettings = NamedAfterSettings;
    m_appliedLogging.reset();
}

QString TMonitor::HistoryDatabasePath() const
{
    return m_history ? m_history->Path() : QString();
}

void TMonitor::applyLogging()
{
    if (!m_dataDir || (m_appliedLogging && *m_appliedLogging == Settings.Logging))
        return;
    m_appliedLogging = Settings.Logging;
    const std::string path =
        Settings.Logging.Enabled
            ? ::HistoryDatabasePath(Settings.Logging, m_appDir, m_settingsBesideProgram, *m_dataDir,
                                    m_historyNamedAfterSettings ? SettingsFile : std::string())
            : std::string();
    if ((m_history ? m_historyPath : std::string()) == path && m_historyRetention == Settings.Logging.RetentionDays)
        return;
    // Another file (or none): the calls under way are closed in the old one as at a stop and
    // recorded from now on in the new one.
    stopHistory();
    m_historyRetention = Settings.Logging.RetentionDays;
    if (path.empty())
        return;
    THistoryStore::TOptions options;
    options.RetentionDays = Settings.Logging.RetentionDays;
    m_history = std::make_unique<THistoryStore>(QFile::decodeName(path.c_str()), options);
    m_historyPath = path;
    connect(m_history.get(), &THistoryStore::callWritten, this, [this] { emit historyChanged(); });
    connect(m_history.get(), &THistoryStore::problem, this, [this](const QString &Text) {
        if (Text.isEmpty())
            WriteLogLine("The call history " + m_historyPath + " is written again", kLogNotice);
        else
            WriteLogLine(Text.toStdString(), kLogWarning);
        emit historyProblem(Text);
    });
    if (Session.sktBrelwick.Active()) {
        noteHistoryRouter();
        m_recorder.SessionConnected(nowMs());
    }
}

void TMonitor::noteHistoryRouter()
{
    // The name only once the status screen shows it: "No Data" is no router's name.
    const std::string &name = Session.Router.Name;
    m_historyRouterName = name == "No Data" ? std::string() : name;
    m_history->SetRouter(QString::fromStdString(Session.sktBrelwick.Address()), Session.sktBrelwick.Port(),
                         QString::fromLatin1(m_historyRouterName.data(), qsizetype(m_historyRouterName.size())));
}

void TMonitor::stopHistory()
{
    if (!m_history)
        return;
    m_recorder.Stop(nowMs());
    // Close writes what waits; what still cannot be written is said here, the user's last word
    // on those calls (the window may be closing: the log, not the status bar).
    const QString lost = m_history->Close();
    if (!lost.isEmpty())
        WriteLogLine(lost.toStdString(), kLogError);
    m_history.reset();
    m_historyPath.clear();
}

void TMonitor::Create()
{
    Guarded([this] { Session.ConsoleScreen.ClearScreen(2); });
    Guarded([this] {
        Series1 = TUsageHistory{};
        Series2 = TUsageHistory{};
    });
    Guarded([this] {
        Session.ConsoleScreen.CursorCol = 1;
        Session.ConsoleScreen.CursorRow = 1;
    });
}

void TMonitor::LoadSettings()
{
    const TIniFile ini(SettingsFile.empty() ? m_appDir + kSettingsFileName : SettingsFile);
    m_settingsFileState = InspectSettingsFile(ini);
    if (m_settingsFileState == TSettingsFileState::Foreign) {
        const QString text = tr("%1 holds none of linewatch's settings sections; not connecting at start")
                                 .arg(QFile::decodeName(ini.FileName().c_str()));
        WriteLogLine(text.toStdString(), kLogError);
        emit statusMessage(text);
    }
    ::LoadSettings(ini, Settings);
}

void TMonitor::SaveSettings() const
{
    TIniFile ini(SettingsFile.empty() ? m_appDir + kSettingsFileName : SettingsFile);
    ::SaveSettings(ini, Settings);
}

void TMonitor::ApplySettings()
{
    // Who may use the relay is known before it listens.
    Guarded([this] { Relay.SetAllowList(Settings.TelnetAllow); });
    // The file's order: each port before the switch that opens its listener.
    Guarded([this] {
        if (Settings.Checked(SettingControl::chkTelnetAdmin))
            SetTelnetAdmin(true);
    });
    Guarded([this] { SetWebAdminPort(Settings.Text(SettingControl::edtWebAdminPort)); });
    Guarded([this] {
        if (Settings.Checked(SettingControl::chkWebAdmin))
            SetWebAdmin(true);
    });
    Guarded([this] { applyLogging(); });
    Guarded([this] { applyMqtt(); });
}

void TMonitor::ApplyMqttSettings()
{
    if (Settings.Mqtt == m_mqttApplied &&
        (!Settings.Mqtt.Enabled || m_mqttInstance == Settings.Text(SettingControl::edtTelnetAddress)))
        return;
    Guarded([this] { applyMqtt(); });
}

void TMonitor::applyMqtt()
{
    m_mqtt.reset();
    m_mqttApplied = Settings.Mqtt;
    m_mqttInstance = Settings.Text(SettingControl::edtTelnetAddress);
    if (!Settings.Mqtt.Enabled)
        return;
    m_mqtt = std::make_unique<TMqttPublisher>();
    m_mqtt->MonitorVersion = ThisVersion;
    m_mqtt->RouterConnected = [this] { return IsRouterConnected(ConnectionState()); };
    m_mqtt->Command = [this](TMqttAction Action, const std::string &Sender) { mqttCommand(Action, Sender); };
    // The broker's faults are the user's to fix: the status bar hears of them. What other clients
    // of the broker send is theirs: the log alone, on the peers' budget.
    m_mqtt->Log = [this](int Priority, const std::string &Text, bool Stranger) {
        if (Stranger) {
            const TErrorOriginScope origin(TErrorOrigin::Peer);
            WriteLogLine(Text, Priority);
            return;
        }
        WriteLogLine(Text, Priority);
        // The window's status bar too; linewatchd logs status messages, and has this line already.
        if (Priority <= kLogError && ViewShowing)
            emit statusMessage(fromBytes(Text));
    };
    std::string error;
    if (!m_mqtt->Start(Settings.Mqtt, Settings.Text(SettingControl::edtTelnetAddress), error, MqttTiming)) {
        m_mqtt.reset();
        ReportError("MQTT stays off: " + error, TErrorOrigin::User);
    }
}

void TMonitor::mqttCommand(TMqttAction Action, const std::string &)
{
    switch (Action) {
    case TMqttAction::DropB1:
    case TMqttAction::DropB2:
    case TMqttAction::ResetCounters:
    case TMqttAction::DropAll:
        SendChannelCommand(int(Action));
        break;
    case TMqttAction::Connect:
    case TMqttAction::Disconnect:
        // The window's Connect button: it connects, or disconnects when connected.
        Connect();
        break;
    case TMqttAction::None:
        break;
    }
}

std::vector<std::string> TMonitor::ReloadSettings(const TSettings &Fresh)
{
    using C = SettingControl;
    const TSettings old = std::exchange(Settings, Fresh);
    const auto changed = [&](std::initializer_list<C> Controls) {
        return std::any_of(Controls.begin(), Controls.end(), [&](C c) {
            return old.Text(c) != Settings.Text(c) || old.Checked(c) != Settings.Checked(c);
        });
    };
    std::vector<std::string> needRestart;
    // The router connection keeps the address it was made to; reconnecting re-makes that one.
    if (changed({C::edtTelnetAddress, C::edtTelnetPort}))
        needRestart.emplace_back("[Connection] TelnetAddress, TelnetPort");
    Guarded([this] { Relay.SetAllowList(Settings.TelnetAllow); });
    // Switched off and on: a relay user attached now is let go only when the relay really moves.
    if (changed({C::chkTelnetAdmin, C::edtTelnetAdminPort}) || old.BindAddress != Settings.BindAddress) {
        const bool on = Settings.Checked(C::chkTelnetAdmin);
        Guarded([this] { SetTelnetAdmin(false); });
        if (on)
            Guarded([this] { SetTelnetAdmin(true); });
    }
    const bool webMoved =
        changed({C::chkWebAdmin, C::edtWebAdminPort}) || (!WebBindAddress && old.BindAddress != Settings.BindAddress);
    if (webMoved) {
        const bool on = Settings.Checked(C::chkWebAdmin);
        Guarded([this] { SetWebAdmin(false); });
        Guarded([this] { SetWebAdminPort(Settings.Text(C::edtWebAdminPort)); });
        if (on)
            Guarded([this] { SetWebAdmin(true); });
    }
    if (old.Mqtt != Settings.Mqtt || (Settings.Mqtt.Enabled && changed({C::edtTelnetAddress})))
        Guarded([this] { applyMqtt(); });
    return needRestart;
}

void TMonitor::Connect(bool AtStart)
{
    Reconnect.UserConnect(
        [this] {
            Session.btnConnectClick(Settings.Text(SettingControl::edtTelnetAddress),
                                    Settings.Text(SettingControl::edtTelnetPort));
        },
        AtStart);
}

void TMonitor::SendChannelCommand(int CommandTag)
{
    // A call that ends now is one the user asked to end: no dropped-call alert.
    Alerts.NoteUserDrop(CommandTag);
    Session.SendChannelCommand(CommandTag);
}

bool TMonitor::SetTelnetAdmin(bool On)
{
    const TErrorPlaceScope place(TErrorPlace::TelnetRelay);
    Settings.SetChecked(SettingControl::chkTelnetAdmin, On);
    Relay.TelnetServerSocket.SetBindAddress(Settings.BindAddress);
    return Relay.chkTelnetAdminClick(On, Settings.Text(SettingControl::edtTelnetAdminPort));
}

bool TMonitor::SetWebAdmin(bool On)
{
    const TErrorPlaceScope place(TErrorPlace::WebServer);
    Settings.SetChecked(SettingControl::chkWebAdmin, On);
    Guarded([this] { WebServer.WebServerSocket.SetBindAddress(WebBindAddress.value_or(Settings.BindAddress)); });
    // A web configuration the user asked for that cannot be read keeps the port closed: never
    // open without the protection asked for.
    std::string error;
    if (On && !WebServer.WebServerSocket.Active() && !prepareWebConfig(error)) {
        ReportError("The web page stays off: " + error);
        return true;
    }
    return WebServer.chkWebAdminClick(On);
}

std::string TMonitor::WebConfigFilePath() const
{
    const std::string file = WebConfigFileOverride.value_or(Settings.WebConfigFile);
    if (file.empty() || file.front() == '/')
        return file;
    // A relative name counts from the settings file's folder.
    const std::string settings = SettingsFile.empty() ? m_appDir + kSettingsFileName : SettingsFile;
    const std::size_t slash = settings.rfind('/');
    return (slash == std::string::npos ? std::string() : settings.substr(0, slash + 1)) + file;
}

bool TMonitor::prepareWebConfig(std::string &Error)
{
    const std::string path = WebConfigFilePath();
    if (path.empty()) {
        m_webConfig.reset();
        m_webTlsGeneration = -1;
        WebPasswordsSet = false;
        WebServer.WebServerSocket.SetTls(nullptr);
        return true;
    }
    if (!m_webConfig || m_webConfig->Path() != path) {
        m_webConfig = std::make_unique<TWebConfigSource>(path);
        m_webTlsGeneration = -1;
    }
    if (!m_webConfig->Refresh(Error) || m_webConfig->Config() == nullptr) {
        m_webConfig.reset();
        return false;
    }
    return applyWebTls(Error);
}

bool TMonitor::applyWebTls(std::string &Error)
{
    const TWebConfig *config = m_webConfig ? m_webConfig->Config() : nullptr;
    if (config == nullptr || m_webTlsGeneration == m_webConfig->Generation())
        return config != nullptr;
    std::shared_ptr<TTlsServerContext> context;
    if (config->Tls) {
        const TWebTlsConfig &tls = *config->Tls;
        context = TTlsServerContext::Make(TTlsSettings{tls.CertFile, tls.KeyFile, tls.ClientAuthType, tls.ClientCaFile,
                                                       tls.MinVersion, tls.MaxVersion, tls.CipherSuites},
                                          Error);
        if (!context)
            return false;
    }
    // Connections under way keep the context they were accepted with.
    WebServer.WebServerSocket.SetTls(std::move(context));
    WebPasswordsSet = !config->Users.empty();
    m_webTlsGeneration = m_webConfig->Generation();
    return true;
}

const TWebConfig *TMonitor::currentWebConfig()
{
    if (!m_webConfig)
        return nullptr;
    // A renewed certificate or a changed password takes effect at the next request; a broken
    // file or certificate leaves the last good ones in force, and the log says why once.
    std::string error;
    const int64_t before = m_webConfig->Generation();
    if (!m_webConfig->Refresh(error) || (m_webConfig->Generation() != before && !applyWebTls(error)))
        WriteLogLine("the web configuration " + m_webConfig->Path() + " was not applied: " + error, kLogWarning);
    return m_webConfig->Config();
}

bool TMonitor::ReloadWebConfig(std::string &Error)
{
    if (!WebServer.WebServerSocket.Active())
        return true;
    const std::string path = WebConfigFilePath();
    if (path.empty() != (m_webConfig == nullptr) || (m_webConfig && m_webConfig->Path() != path)) {
        // Another file, or one now or no longer named: takes effect when the port is opened again.
        Error = "the web configuration file changed its name; it applies when the web port is opened again";
        return false;
    }
    if (!m_webConfig)
        return true;
    const int64_t before = m_webConfig->Generation();
    if (!m_webConfig->Refresh(Error))
        return false;
    return m_webConfig->Generation() == before || applyWebTls(Error);
}

void TMonitor::SetWebAdminPort(const std::string &PortText)
{
    Settings.SetText(SettingControl::edtWebAdminPort, PortText);
    WebServer.edtWebAdminPortChange(PortText);
}

void TMonitor::CheckNow()
{
    const TErrorPlaceScope place(TErrorPlace::UpdateServer);
    VersionCheck.btnCheckNowClick();
}

void TMonitor::SetReconnectEnabled(bool On)
{
    Settings.ReconnectEnabled = On;
    Reconnect.EnabledChanged();
}

void TMonitor::Tick()
{
    TChannelStatus &B1 = Session.B1;
    TChannelStatus &B2 = Session.B2;

    applyLogging();

    // 1. Tray picture and tip.
    m_trayPicture = ChooseTrayPicture(B1, B2, Tag);
    m_trayTip = TrayTip(Session.Router, B1, B2);
    // While reconnecting, or after a refused password, the tip says so instead of "No Data".
    Reconnect.Tick();
    if (std::string reconnecting = Reconnect.Text(); !reconnecting.empty()) {
        m_trayTip = std::move(reconnecting);
        if (m_trayTip.size() > kTrayTipMax)
            m_trayTip.resize(kTrayTipMax);
    } else if (Session.LayoutUnknown()) {
        // No figure is read, so the tip's would be stale: it says why instead.
        m_trayTip = toBytes(layoutText(Session.Router.Firmware));
        if (m_trayTip.size() > kTrayTipMax)
            m_trayTip.resize(kTrayTipMax);
    }

    // 2. Usage history: one step left, the current usage at x = 0.
    Series1.Step(B1.CLU);
    Series2.Step(B2.CLU);

    // 3. Gauges read B1.ALU and B2.ALU as they stand.

    // 4. Caller ID: each call once, when its number first shows. The local time is looked up only
    // for a number to log: a time-zone lookup costs more than the rest of the tick.
    const QDateTime now = CallerIdDue(B1) || CallerIdDue(B2) ? QDateTime::currentDateTime() : QDateTime();
    const auto logged = [this, &now](int Channel, TChannelStatus &C) {
        LogCallerId(
            C,
            [&](const QString &Item) {
                m_callerIds.push_back({Channel == 1 ? "B1" : "B2", now.toMSecsSinceEpoch(), C.CLID});
                if (m_callerIds.size() > kCallerIdsKept)
                    m_callerIds.pop_front();
                emit callerIdLogged(Channel, Item);
                // Grouped as the window's caller-ID list shows it.
                Alerts.NoteIncomingCall(Channel, CallerIdText(C.CLID));
                if (m_mqtt)
                    m_mqtt->IncomingCall(Channel, C.CLID);
            },
            now);
    };
    logged(1, B1);
    logged(2, B2);
    if (m_history) {
        const int64_t utcMs = QDateTime::currentMSecsSinceEpoch();
        // The day's text is made once a day: formatting a date costs more than the rest of the tick.
        if (const QDate today = m_today.at(utcMs); today.toJulianDay() != m_localDayNumber) {
            m_localDayNumber = today.toJulianDay();
            m_localDay = today.toString(Qt::ISODate).toStdString();
        }
        m_recorder.Tick(B1, B2, utcMs, m_localDay);
        if (Session.Router.Name != m_historyRouterName && Session.Router.Name != "No Data")
            noteHistoryRouter();
    }

    noteChanges();
    // 5. Alerts: calls, the outcall time and the status's silence. A remote relay user leaves the
    // status screen at will: no silence counts meanwhile.
    const bool watching = (Session.sktBrelwick.Active() && !Relay.RemoteClientConnected()) || Reconnect.Reconnecting();
    Alerts.Check(B1, B2, Session.Router, watching, m_statusScreenShown);
    publishStatus();
    if (m_mqtt)
        m_mqtt->Tick({B1, B2, ConnectionState(), m_routerInfo,
                      m_callerIds.empty() ? std::string_view() : m_callerIds.back().CLID, m_dayTotals, nowMs()});
    emit ticked();
}

// Waking once a second for the router's repaint and once more for the tick costs an idle monitor
// about twice what the tick alone would. So while the router paints its screen in whole chunks the
// tick moves next to the repaint, kTickSlackMs a second towards the nearer side, which takes ten
// seconds at most; from then on a repaint that arrives within kTickSlackMs of the second runs the
// tick at once. Ticks stay kTickMs +- kTickSlackMs apart, and a router that splits its repaints
// keeps the plain second: a tick between two halves would show figures of two screens.
void TMonitor::paceTick()
{
    m_sinceTick.start();
    int next = kTickMs;
    if (std::exchange(m_repaintSinceTick, false)) {
        // The next repaint is due this long after this tick; the tick waits for it if it is near
        // the second, else it moves towards it.
        const int64_t due = kTickMs - m_sinceRepaint.elapsed();
        next = due >= kTickMs / 2 && due < kTickMs - kTickSlackMs ? kTickMs - kTickSlackMs : kTickMs + kTickSlackMs;
    }
    if (Timer1->interval() != next)
        Timer1->start(next);
}

void TMonitor::noteRepaint(bool StatusShown)
{
    const uint64_t erasures = Session.ConsoleScreen.Erasures();
    const bool began = erasures != m_erasures;
    m_erasures = erasures;
    // One chunk per repaint: this one and the one before each began a repaint.
    const bool whole = began && m_lastChunkBeganRepaint;
    m_lastChunkBeganRepaint = began;
    if (!whole || !StatusShown || !Timer1->isActive())
        return;
    m_repaintSinceTick = true;
    m_sinceRepaint.start();
    // A zero timer runs the tick in this same wake-up, after the socket's handler has returned.
    if (m_sinceTick.elapsed() >= kTickMs - kTickSlackMs && Timer1->interval() != 0)
        Timer1->start(0);
}

void TMonitor::noteChanges()
{
    const TChannelStatus &B1 = Session.B1;
    const TChannelStatus &B2 = Session.B2;
    const TRouterStatus &R = Session.Router;
    if (B1 == m_lastB1 && B2 == m_lastB2 && R == m_lastRouter)
        return;
    m_lastB1 = B1;
    m_lastB2 = B2;
    m_lastRouter = R;
    m_lastChangeMs = nowMs();
    noteRouterInfo();
}

void TMonitor::noteRouterInfo()
{
    // The record's default name: the router has not named itself since the last reset.
    const TRouterStatus &R = Session.Router;
    if (R.Name == TRouterStatus{}.Name ||
        (m_routerInfo && m_routerInfo->Name == R.Name && m_routerInfo->Firmware == R.Firmware))
        return;
    m_routerInfo = TRouterInfo{R.Name, R.Firmware};
}

std::string TMonitor::StatusPage()
{
    TStatusPageInputs inputs;
    inputs.B1 = Session.B1;
    inputs.B2 = Session.B2;
    inputs.Router = Session.Router;
    inputs.Series1 = Series1.Values();
    inputs.Series2 = Series2.Values();
    using C = SettingControl;
    inputs.B1Colors = {Settings.Color(C::pnlB1CLUColor), Settings.Color(C::pnlB1CLUBackgroundColor),
                       Settings.Color(C::pnlB1ALUColor), Settings.Color(C::pnlB1ALUBackgroundColor)};
    inputs.B2Colors = {Settings.Color(C::pnlB2CLUColor), Settings.Color(C::pnlB2CLUBackgroundColor),
                       Settings.Color(C::pnlB2ALUColor), Settings.Color(C::pnlB2ALUBackgroundColor)};
    inputs.WebAutoRefresh = Settings.Checked(C::chkWebAutoRefresh);
    inputs.WebAutoRefreshSeconds = Settings.Text(C::edtWebAutoRefreshSeconds);
    inputs.LookupServiceName = [this](int32_t Port) { return ServiceNames.LookupServiceName(Port); };
    // The usage figures as the window's labels show them, with the user's decimal separator; one
    // that the page's 8-bit character set cannot carry gives way to the point.
    inputs.UsageText = [](int32_t Percent, int32_t Speed) {
        const QString text = UsageText(Percent, Speed);
        for (const QChar c : text) {
            if (c.unicode() > 0xFF)
                return DefaultUsageText(Percent, Speed);
        }
        return toBytes(text);
    };
    // The counters' separator as the window's too, unless the page's character set lacks it.
    if (const QString group = QLocale().groupSeparator(); group.size() == 1 && group[0].unicode() <= 0xFF)
        inputs.GroupSeparator = static_cast<char>(group[0].unicode());
    inputs.HomePage = kHomePage;
    // Built again when the record, the histories or the settings changed, and once a second for
    // the service names and usage texts, which the cache cannot compare.
    return m_pageCache.Document(inputs, static_cast<uint64_t>(nowMs() / 1000), PageHits);
}

TConnectionState TMonitor::ConnectionState() const
{
    const bool pending = Session.sktBrelwick.Socket()->SocketHandle() >= 0;
    if (Session.sktBrelwick.Active() && Relay.RemoteClientConnected())
        return TConnectionState::Relaying;
    // A refused password ends its connection at once (see TReconnector); until the next Connect
    // that is what the monitor is, not merely disconnected.
    if (Reconnect.PasswordRejected() && (Session.sktBrelwick.Active() || !pending))
        return TConnectionState::PasswordRejected;
    if (Session.sktBrelwick.Active() && Session.LayoutUnknown())
        return TConnectionState::UnknownLayout;
    if (Session.sktBrelwick.Active())
        return Session.LoginStep >= 7 ? TConnectionState::StatusScreen : TConnectionState::Connected;
    return pending ? TConnectionState::Connecting : TConnectionState::NotConnected;
}

TMachineStatus TMonitor::MachineStatus() const
{
    TMachineStatus status;
    status.B1 = Session.B1;
    status.B2 = Session.B2;
    status.Router = Session.Router;
    status.Series1 = Series1.Values();
    status.Series2 = Series2.Values();
    status.CallerIds.assign(m_callerIds.begin(), m_callerIds.end());
    status.Connection = ConnectionState();
    status.RelayAttached = Relay.RemoteClientConnected();
    if (status.Connection == TConnectionState::UnknownLayout)
        status.LayoutCheck = DescribeLayoutFault(Session.LayoutFault());
    TReconnectStatus &reconnect = status.Reconnect;
    reconnect.Reconnecting = Reconnect.Reconnecting();
    const int waitMs = Reconnect.WaitRemainingMs();
    reconnect.Waiting = waitMs >= 0;
    reconnect.NextAttemptSeconds = reconnect.Waiting ? std::max(1, (waitMs + 999) / 1000) : 0;
    reconnect.Attempt = reconnect.Reconnecting ? Reconnect.Backoff().Failures() : 0;
    if (reconnect.Reconnecting)
        reconnect.Reason = Reconnect.Reason();
    reconnect.PasswordRejected = Reconnect.PasswordRejected();
    status.LastChangeMs = m_lastChangeMs;
    status.StartTimeMs = m_startTimeMs;
    status.NowMs = nowMs();
    status.PageHits = PageHits;
    status.Version = ThisVersion;
    status.RouterInfo = m_routerInfo;
    status.Calls = m_calls;
    return status;
}

namespace {

// Whether the metrics of two snapshots are the same: they read neither the clock, the histories
// nor the caller IDs.
bool sameMetrics(const TMachineStatus &a, const TMachineStatus &b)
{
    return a.B1 == b.B1 && a.B2 == b.B2 && a.Router == b.Router && a.Connection == b.Connection &&
           a.LayoutCheck == b.LayoutCheck && a.RelayAttached == b.RelayAttached &&
           a.Reconnect.Reconnecting == b.Reconnect.Reconnecting && a.LastChangeMs == b.LastChangeMs &&
           a.StartTimeMs == b.StartTimeMs && a.PageHits == b.PageHits && a.Version == b.Version &&
           a.RouterInfo == b.RouterInfo && a.Calls == b.Calls;
}

// Whether the status documents of two snapshots differ at most in the time, the uptime and the
// page counter.
bool sameJson(const TMachineStatus &a, const TMachineStatus &b)
{
    return sameMetrics(a, b) && a.Reconnect == b.Reconnect && a.Series1 == b.Series1 && a.Series2 == b.Series2 &&
           a.CallerIdsWithheld == b.CallerIdsWithheld &&
           std::equal(a.CallerIds.begin(), a.CallerIds.end(), b.CallerIds.begin(), b.CallerIds.end(),
                      [](const TCallerIdEntry &x, const TCallerIdEntry &y) {
                          return x.TimeMs == y.TimeMs && x.Channel == y.Channel && x.CLID == y.CLID;
                      });
}

// The values that change between two equal snapshots, in document order: "time", "time_ms",
// "uptime_seconds" and "page_hits". Each is named by the text in front of it and ends at the
// text given after it.
constexpr std::pair<std::string_view, std::string_view> kJsonValues[] = {
    {"\"time\":", ",\"time_ms\":"},
    {",\"time_ms\":", ","},
    {"\"uptime_seconds\":", ","},
    {"\"page_hits\":", "}"},
};

// Cuts a status document around those values: the text before the first, between them and after
// the last. False if one is missing.
bool cutJson(const std::string &Document, std::vector<std::string> &Pieces)
{
    Pieces.clear();
    size_t from = 0;
    for (const auto &[before, after] : kJsonValues) {
        const size_t at = Document.find(before, from);
        if (at == std::string::npos)
            return false;
        const size_t value = at + before.size();
        const size_t end = Document.find(after, value);
        if (end == std::string::npos)
            return false;
        Pieces.emplace_back(Document, from, value - from);
        from = end;
    }
    Pieces.emplace_back(Document, from);
    return true;
}

// The document for Status from the pieces of an equal snapshot's.
std::string spliceJson(const std::vector<std::string> &Pieces, const TMachineStatus &Status)
{
    const bool timesKnown = Status.StartTimeMs != 0 && Status.NowMs >= Status.StartTimeMs;
    const std::string values[] = {
        Status.NowMs == 0 ? std::string("null") : "\"" + IsoTimeUtc(Status.NowMs) + "\"",
        std::to_string(Status.NowMs),
        std::to_string(timesKnown ? (Status.NowMs - Status.StartTimeMs) / 1000 : 0),
        std::to_string(static_cast<uint32_t>(Status.PageHits)),
    };
    size_t length = 0;
    for (const std::string &piece : Pieces)
        length += piece.size() + 24;
    std::string document;
    document.reserve(length);
    for (size_t k = 0; k < Pieces.size(); ++k) {
        document += Pieces[k];
        if (k < std::size(values))
            document += values[k];
    }
    return document;
}

// Caller numbers are personal data of the callers: an empty list and CLIDs for strangers.
void withholdCallerIds(TMachineStatus &Status)
{
    Status.CallerIds.clear();
    Status.B1.CLID.clear();
    Status.B2.CLID.clear();
    Status.CallerIdsWithheld = true;
}

} // namespace

void TMonitor::publishStatus()
{
    for (const bool callerIds : {false, true}) {
        if (!WebServer.Streams.Wants(callerIds)) {
            m_streamStatus[callerIds].reset();
            continue;
        }
        TMachineStatus status = MachineStatus();
        if (!callerIds)
            withholdCallerIds(status);
        std::optional<TMachineStatus> &published = m_streamStatus[callerIds];
        // The clock and the uptime move every tick; the page counts those itself.
        if (published && sameJson(*published, status))
            continue;
        m_streamEvent[callerIds] = TEventStreams::Frame("status", BuildStatusJson(status));
        published = std::move(status);
        WebServer.Streams.Publish(callerIds, m_streamEvent[callerIds]);
    }
}

std::string TMonitor::currentStatusEvent(bool CallerIds)
{
    TMachineStatus status = MachineStatus();
    if (!CallerIds)
        withholdCallerIds(status);
    std::optional<TMachineStatus> &published = m_streamStatus[CallerIds];
    if (published && sameJson(*published, status))
        return m_streamEvent[CallerIds];
    std::string event = TEventStreams::Frame("status", BuildStatusJson(status));
    // The first stream of its kind: what it got is what the next tick compares with. Otherwise
    // the streams already open may not have this one yet, and the tick gives it to all.
    if (!published) {
        m_streamEvent[CallerIds] = event;
        published = std::move(status);
    }
    return event;
}

bool TMonitor::IsCallsJsonPath(std::string_view Path)
{
    return Path.substr(0, kCallsJsonPath.size()) == kCallsJsonPath &&
           (Path.size() == kCallsJsonPath.size() || Path[kCallsJsonPath.size()] == '?');
}

bool TMonitor::IsMachinePath(std::string_view Path)
{
    if (IsCallsJsonPath(Path))
        return true;
    Path = Path.substr(0, Path.find('?'));
    return Path == kStatusJsonPath || Path == kMetricsPath;
}

bool TMonitor::CallerIdsServedTo(uint32_t Peer) const
{
    return IsLoopback(Peer) || WebPasswordsSet || Settings.ShareCallerIds;
}

std::optional<std::string> TMonitor::MachineAnswer(std::string_view Path, uint32_t Peer) const
{
    if (IsCallsJsonPath(Path)) {
        if (!CallerIdsServedTo(Peer))
            return HttpAnswer(
                THttpStatus::Forbidden, "application/json",
                R"json({"error":"call history is only served to this machine without passwords; )json"
                R"json(set basic_auth_users in the web configuration file or [Network] ShareCallerIds=1"})json");
        if (!Settings.Logging.Enabled)
            return HttpAnswer(THttpStatus::ServiceUnavailable, "application/json",
                              R"json({"error":"the call history is off ([Logging] Enabled=0)"})json");
        if (!m_callsJson)
            m_callsJson = std::make_unique<history::TCallsJsonSource>();
        const history::TJsonAnswer answer =
            m_callsJson->answer(HistoryDatabasePath(), Path.substr(std::min(Path.size(), kCallsJsonPath.size() + 1)));
        const THttpStatus status = answer.Status == 200   ? THttpStatus::Ok
                                   : answer.Status == 400 ? THttpStatus::BadRequest
                                                          : THttpStatus::ServiceUnavailable;
        return HttpAnswer(status, "application/json", answer.Document);
    }
    // Scrapers and cache-busters add a query; these answers take no parameters.
    Path = Path.substr(0, Path.find('?'));
    if (Path == kStatusJsonPath) {
        TMachineStatus status = MachineStatus();
        if (!CallerIdsServedTo(Peer))
            withholdCallerIds(status);
        if (m_jsonStatus && sameJson(*m_jsonStatus, status))
            return HttpAnswer(THttpStatus::Ok, "application/json", spliceJson(m_jsonPieces, status));
        std::string document = BuildStatusJson(status);
        if (cutJson(document, m_jsonPieces))
            m_jsonStatus = std::move(status);
        else
            m_jsonStatus.reset();
        return HttpAnswer(THttpStatus::Ok, "application/json", document);
    }
    if (Path == kMetricsPath) {
        TMachineStatus status = MachineStatus();
        if (!m_metricsStatus || !sameMetrics(*m_metricsStatus, status)) {
            m_metricsBody = BuildMetrics(status);
            status.CallerIds.clear();
            m_metricsStatus = std::move(status);
        }
        // The process's figures are read from /proc at most once in kProcessMetricsMs: a scrape
        // sees them at most that old, and a burst of scrapes does not walk /proc each time.
        if (!m_processMetricsAge.isValid() || m_processMetricsAge.elapsed() >= kProcessMetricsMs) {
            m_processMetrics = BuildProcessMetrics(ReadProcessStats());
            m_processMetricsAge.start();
        }
        return HttpAnswer(THttpStatus::Ok, kMetricsContentType, m_metricsBody + m_processMetrics);
    }
    return std::nullopt;
}
