// SPDX-License-Identifier: MIT
// linewatchd: the monitor without a display, for a router in a closet. It reads a settings file
// (never writes it), connects to the router at start and again whenever the connection is lost,
// serves the web page, the machine status and the relay as configured, and writes one line per
// event to standard error, or to the journal with fields of its own; under systemd it tells the
// manager when it is ready, how it stands and that its event loop still turns.
#include "apperror.h"
#include "capture.h"
#include "convert.h"
#include "fdreserve.h"
#include "historyquery.h"
#include "inifile.h"
#include "monitor.h"
#include "privatefile.h"
#include "statusjson.h"
#include "systemdservice.h"
#include "terminationsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Event names the line for the journal's LINEWATCH_EVENT field.
void logLine(int priority, const std::string &text, const char *event = nullptr)
{
    const TLogEventScope scope(event);
    WriteLogLine(text, priority);
}

std::string bytes(const QString &text)
{
    return text.toLatin1().toStdString();
}

// The settings file the desktop program of this user would use when installed.
QString defaultSettingsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/linewatch/linewatch.ini");
}

// Where the version check's copy goes: systemd's state directory, else the user's.
QString stateDirectory()
{
    const QString fromSystemd = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!fromSystemd.isEmpty())
        return fromSystemd;
    // XDG's state home (Qt 6.4 has no name for it).
    QString home = qEnvironmentVariable("XDG_STATE_HOME");
    if (home.isEmpty())
        home = QDir::homePath() + QStringLiteral("/.local/state");
    return home + QStringLiteral("/linewatch");
}

bool isPort(const std::string &text, bool zeroAllowed)
{
    try {
        const int32_t port = StrToInt(text);
        return port <= 65535 && (port > 0 || (zeroAllowed && port == 0));
    } catch (const std::exception &) {
        return false;
    }
}

bool isDottedIPv4(const std::string &text)
{
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// A value that cannot work is logged and its default used, so the service still starts.
void checkValues(TSettings &settings)
{
    const TSettings defaults;
    struct TCheck
    {
        SettingControl control;
        const char *name;
        bool (*valid)(const std::string &);
    };
    const TCheck checks[] = {
        {SettingControl::edtTelnetAddress, "[Connection] TelnetAddress", isDottedIPv4},
        {SettingControl::edtTelnetPort, "[Connection] TelnetPort",
         [](const std::string &t) { return isPort(t, false); }},
        {SettingControl::edtTelnetAdminPort, "[RemoteAdmin] TelnetPort",
         [](const std::string &t) { return isPort(t, true); }},
        {SettingControl::edtWebAdminPort, "[RemoteAdmin] WebPort",
         [](const std::string &t) { return isPort(t, true); }},
    };
    for (const TCheck &check : checks) {
        const std::string value = settings.Text(check.control);
        if (check.valid(value))
            continue;
        logLine(kLogWarning,
                std::string("bad value '") + value + "' for " + check.name + "; using " + defaults.Text(check.control));
        settings.SetText(check.control, defaults.Text(check.control));
    }
    // Falling back to every interface would expose what was meant to stay on one: this machine
    // alone is the safe default here.
    if (!settings.BindAddress.empty() && !isDottedIPv4(settings.BindAddress)) {
        logLine(kLogWarning, "bad value '" + settings.BindAddress + "' for [Network] BindAddress; using 127.0.0.1");
        settings.BindAddress = "127.0.0.1";
    }
}

// [MQTT] PasswordFile: the broker's password from a file, so it need not stand in the settings
// file. A relative name counts from systemd's credentials directory (LoadCredential=) when there
// is one, else from the settings file's folder. The first line is the password. A file that cannot
// be read is said and MQTT runs without a password, which the broker then refuses clearly.
void readMqttPasswordFile(TSettings &settings, const QString &ConfigFile)
{
    const std::string &name = settings.Mqtt.PasswordFile;
    if (name.empty())
        return;
    std::string path = name;
    if (name.front() != '/') {
        const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
        path = (credentials.isEmpty() ? QFileInfo(ConfigFile).absolutePath() : credentials).toStdString() + "/" + name;
    }
    std::ifstream in(path);
    std::string password;
    if (!in || !std::getline(in, password)) {
        logLine(kLogError, "cannot read [MQTT] PasswordFile " + path + ": " + std::strerror(errno ? errno : EIO));
        return;
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    settings.Mqtt.Password = password;
}

// --web.listen-address as the exporters write it: HOST:PORT, HOST a dotted IPv4 address,
// "localhost", or empty for every interface. None when it is no such thing.
std::optional<std::pair<std::string, std::string>> parseListenAddress(const std::string &text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host == "localhost")
        host = "127.0.0.1";
    if ((!host.empty() && !isDottedIPv4(host)) || !isPort(port, true))
        return std::nullopt;
    return std::pair{host, port};
}

// The call history's default home: the service's state directory, else the user's data folder.
QString historyDataDirectory()
{
    const QString fromSystemd = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!fromSystemd.isEmpty())
        return fromSystemd;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/linewatch");
}

// Whether the call history is named after ConfigFile: a service's state directory is its instance's
// alone and the default settings file keeps history.sqlite, but two daemons with settings files of
// their own share the user's data folder and must not share one history.
bool historyNamedAfterSettings(const QString &ConfigFile)
{
    if (!qEnvironmentVariable("STATE_DIRECTORY").isEmpty())
        return false;
    const QString ours = QFileInfo(ConfigFile).canonicalFilePath();
    return ours.isEmpty() || ours != QFileInfo(defaultSettingsFile()).canonicalFilePath();
}

// Why the settings file at Path cannot be used, or "" when it can: it must be a readable regular
// file holding at least one of our sections. stat comes before any open: opening a FIFO would wait
// for a writer. Random bytes, an empty file or another program's file would run on the defaults
// and reach for a router nobody named.
std::string settingsFileProblem(const std::string &Path, bool *Foreign = nullptr)
{
    struct stat st
    {
    };
    if (::stat(Path.c_str(), &st) != 0)
        return "cannot read the settings file " + Path + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return "cannot read the settings file " + Path + ": " + std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode))
        return "cannot read the settings file " + Path + ": not a regular file";
    if (!std::ifstream(Path))
        return "cannot read the settings file " + Path + ": " + std::strerror(errno ? errno : EACCES);
    if (InspectSettingsFile(TIniFile(Path)) == TSettingsFileState::Foreign) {
        if (Foreign)
            *Foreign = true;
        return Path + " holds none of linewatch's settings sections";
    }
    return {};
}

// The web configuration file read again with the settings: a renewed certificate or changed
// passwords at once; a broken file leaves the last good configuration in force.
void reloadWebConfig(TMonitor &Monitor)
{
    std::string error;
    if (!Monitor.ReloadWebConfig(error))
        logLine(kLogError, "web configuration not reloaded, keeping the running one: " + error);
}

// SIGHUP: the settings file read again and applied where that needs no restart (see
// TMonitor::ReloadSettings). A file that cannot be used now leaves the running settings as they
// are. The command line's --web.listen-address still overrides the file's web server.
void reloadSettings(TMonitor &Monitor, const std::string &Path,
                    const std::optional<std::pair<std::string, std::string>> &ListenAddress)
{
    errno = 0;
    if (const std::string problem = settingsFileProblem(Path); !problem.empty()) {
        logLine(kLogError, "not reloaded, keeping the running settings: " + problem, "reload");
        return;
    }
    TSettings fresh;
    ::LoadSettings(TIniFile(Path), fresh);
    checkValues(fresh);
    readMqttPasswordFile(fresh, QString::fromStdString(Path));
    if (ListenAddress) {
        fresh.SetText(SettingControl::edtWebAdminPort, ListenAddress->second);
        fresh.SetChecked(SettingControl::chkWebAdmin, true);
    }
    for (const std::string &setting : Monitor.ReloadSettings(fresh))
        logLine(kLogWarning, setting + " changed: takes effect when linewatchd is restarted", "reload");
    reloadWebConfig(Monitor);
    logLine(kLogInfo, "reloaded " + Path, "reload");
}

// --export-csv: the calls of the settings file's database to File ("-": standard output). A file
// appears whole or not at all, 0600 and never through a link (TPrivateSaveFile), so a failed
// export never leaves half a file behind.
int exportCsv(const QString &ConfigFile, const QString &File, std::optional<int64_t> Since)
{
    TSettings settings;
    ::LoadSettings(TIniFile(ConfigFile.toStdString()), settings);
    // The file the service writes, found as it finds it; exported even with logging now off.
    const QString database = QString::fromStdString(
        ::HistoryDatabasePath(settings.Logging, QFileInfo(ConfigFile).absolutePath().toStdString(), false,
                              historyDataDirectory().toStdString(),
                              historyNamedAfterSettings(ConfigFile) ? ConfigFile.toStdString() : std::string()));
    history::TCallFilter filter;
    if (Since)
        filter.SinceUtc = *Since;
    history::THistoryReader reader(database);
    if (!reader.isOpen()) {
        std::fprintf(stderr, "linewatchd: %s\n", qPrintable(reader.errorText()));
        return 1;
    }
    std::optional<int64_t> rows;
    if (File == QLatin1String("-")) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly)) {
            std::fprintf(stderr, "linewatchd: cannot write to standard output\n");
            return 1;
        }
        rows = reader.exportCsv(filter, out);
        if (rows && !out.flush()) {
            std::fprintf(stderr, "linewatchd: cannot write to standard output: %s\n", qPrintable(out.errorString()));
            return 1;
        }
    } else {
        TPrivateSaveFile out(File);
        if (!out.open()) {
            std::fprintf(stderr, "linewatchd: cannot write %s: %s\n", qPrintable(File), qPrintable(out.errorString()));
            return 1;
        }
        rows = reader.exportCsv(filter, out.device());
        if (rows && !out.commit()) {
            std::fprintf(stderr, "linewatchd: cannot write %s: %s\n", qPrintable(File), qPrintable(out.errorString()));
            return 1;
        }
    }
    if (!rows) {
        std::fprintf(stderr, "linewatchd: %s\n", qPrintable(reader.errorText()));
        return 1;
    }
    if (File != QLatin1String("-"))
        std::fprintf(stderr, "linewatchd: %lld calls from %s written to %s\n", static_cast<long long>(*rows),
                     qPrintable(database), qPrintable(File));
    return 0;
}

// The session's login walk has typed its last reply, as TMonitor::ConnectionState counts it.
constexpr uint8_t kWalkDoneStep = 7;

// Where a replayed session stands after its last chunk. Offline no connection stands and no
// settle time passes, so the state is judged on the last screen alone: the status screen that
// passes the layout check, one that does not (or another screen after the walk), or the walk.
TConnectionState replayedState(const TConsoleSession &Session, std::string &LayoutCheck)
{
    if (!Session.OnStatusScreen() && Session.LoginStep < kWalkDoneStep)
        return TConnectionState::Connected;
    const TLayoutVerdict verdict = CheckStatusLayout(Session.ConsoleScreen);
    if (verdict.Passed())
        return TConnectionState::StatusScreen;
    LayoutCheck = DescribeLayoutFault(verdict);
    return TConnectionState::UnknownLayout;
}

// --replay FILE --status-json: the router's chunks of a capture drawn and read by the session as
// they would be live, with no connection made, then the last /status.json document on standard
// output. The login walk answers the recorded prompts into a closed socket, which takes nothing.
int replayStatusJson(const QString &File)
{
    std::ifstream in(File.toStdString(), std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "linewatchd: cannot read %s: %s\n", qPrintable(File), std::strerror(errno));
        return 1;
    }
    TMonitor monitor;
    // Every field, as for the web server.
    monitor.ViewShowing = [] { return true; };
    monitor.Create();
    monitor.Session.ResetStatus();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        TCaptureChunk chunk;
        if (!ParseCaptureLine(line, chunk)) {
            std::fprintf(stderr, "linewatchd: %s:%d: not a capture line\n", qPrintable(File), number);
            return 1;
        }
        // A bad number ends its chunk's reading as it does live, and is logged.
        if (!chunk.Typed)
            Guarded([&] { monitor.Session.ProcessConsoleData(chunk.Bytes); });
    }
    TMachineStatus status = monitor.MachineStatus();
    status.LayoutCheck.clear();
    status.Connection = replayedState(monitor.Session, status.LayoutCheck);
    const std::string document = BuildStatusJson(status);
    if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "linewatchd: cannot write the status document: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Standard error may be a pipe whose reader has gone: a write must fail, not kill us.
    ::signal(SIGPIPE, SIG_IGN);
    ::setenv("TZ", ":/etc/localtime", 0);
    // Every web client holds a descriptor while it waits: allow as many as the system lets us.
    RaiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("linewatchd"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(ThisVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Brelwick ISDN Router Monitor without a display: watches the router's console and serves "
                       "the status page, /status.json and /metrics as its settings file says."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configOption(QStringList{QStringLiteral("c"), QStringLiteral("config")},
                                          QStringLiteral("The settings file to read; it is never written "
                                                         "(default: %1).")
                                              .arg(defaultSettingsFile()),
                                          QStringLiteral("FILE"), defaultSettingsFile());
    parser.addOption(configOption);
    const QCommandLineOption exportOption(
        QStringLiteral("export-csv"),
        QStringLiteral("Write the call history of the settings file's database as CSV to FILE (- for standard "
                       "output) and exit."),
        QStringLiteral("FILE"));
    parser.addOption(exportOption);
    const QCommandLineOption sinceOption(
        QStringLiteral("since"),
        QStringLiteral("With --export-csv: only calls that started at or after DATE (2026-12-01 is that day's UTC "
                       "midnight, or an ISO 8601 time such as 2026-12-01T08:00:00Z)."),
        QStringLiteral("DATE"));
    parser.addOption(sinceOption);
    const QCommandLineOption listenOption(
        QStringLiteral("web.listen-address"),
        QStringLiteral("Serve the status page, /status.json and /metrics on HOST:PORT (:PORT for every interface), "
                       "in place of the settings file's [Network] BindAddress and [RemoteAdmin] WebPort and Web."),
        QStringLiteral("HOST:PORT"));
    parser.addOption(listenOption);
    const QCommandLineOption webConfigOption(
        QStringLiteral("web.config.file"),
        QStringLiteral("The web port's TLS and password configuration, in the Prometheus exporter toolkit's format, "
                       "in place of the settings file's [Network] WebConfigFile."),
        QStringLiteral("FILE"));
    parser.addOption(webConfigOption);
    const QCommandLineOption captureOption(
        QStringLiteral("capture"),
        QStringLiteral("Record what the router sends and what linewatchd types (the password masked) and write it "
                       "to FILE on exit, for a bug report (docs/capture.md; at most 10 MB, the oldest dropped)."),
        QStringLiteral("FILE"));
    parser.addOption(captureOption);
    const QCommandLineOption replayOption(
        QStringLiteral("replay"),
        QStringLiteral("With --status-json: read the router's side of a capture made with --capture through the "
                       "console screen and parser, without connecting anywhere, and exit."),
        QStringLiteral("FILE"));
    parser.addOption(replayOption);
    const QCommandLineOption statusJsonOption(
        QStringLiteral("status-json"),
        QStringLiteral("With --replay: print the /status.json document as it stood after the capture's last chunk."));
    parser.addOption(statusJsonOption);
    parser.process(app);
    std::optional<std::pair<std::string, std::string>> listenAddress;
    if (parser.isSet(listenOption) && !(listenAddress = parseListenAddress(parser.value(listenOption).toStdString()))) {
        std::fprintf(stderr, "linewatchd: --web.listen-address %s is not HOST:PORT (such as 127.0.0.1:9100)\n",
                     qPrintable(parser.value(listenOption)));
        return 2;
    }
    if (parser.isSet(replayOption) != parser.isSet(statusJsonOption)) {
        std::fprintf(stderr, "linewatchd: --replay and --status-json go together\n");
        return 2;
    }
    if (parser.isSet(sinceOption) && !parser.isSet(exportOption)) {
        std::fprintf(stderr, "linewatchd: --since works with --export-csv only\n");
        return 2;
    }

    SetLogPrefix("linewatchd: ");
    SetLogPriorities(true);
    InstallJournalLog();
    SetErrorReporter([](const std::string &message) {
        const TLogEventScope event(CurrentErrorOrigin() == TErrorOrigin::Router ? "router-error" : "error");
        LogReport(message, kLogError, CurrentErrorOrigin());
    });
    SetPeerErrorReporter([](const std::string &message) {
        const TLogEventScope event("peer-error");
        LogReport(message, kLogWarning, TErrorOrigin::Peer);
    });

    // Offline: no settings file is read and nothing listens.
    if (parser.isSet(replayOption))
        return replayStatusJson(parser.value(replayOption));

    const QString configFile = QFileInfo(parser.value(configOption)).absoluteFilePath();
    // Checked before any signal handler is set: nothing could end a wait for a FIFO's writer.
    bool foreign = false;
    if (const std::string problem = settingsFileProblem(configFile.toStdString(), &foreign); !problem.empty()) {
        logLine(kLogError, foreign ? problem + "; refusing to start on defaults" : problem);
        FlushLog();
        return 1;
    }

    if (parser.isSet(exportOption)) {
        std::optional<int64_t> since;
        if (parser.isSet(sinceOption) && !(since = history::ParseSince(parser.value(sinceOption)))) {
            std::fprintf(stderr, "linewatchd: --since %s is no ISO 8601 date or time (such as 2026-12-01)\n",
                         qPrintable(parser.value(sinceOption)));
            return 2;
        }
        return exportCsv(configFile, parser.value(exportOption), since);
    }

    const int signalFd = InstallTerminationSignals();
    if (signalFd < 0)
        logLine(kLogWarning, std::string("termination signals: ") + std::strerror(errno));
    // SIGTERM or SIGINT during the start-up version check ends that wait; the event loop then
    // never starts. SIGHUP reloads the settings once the monitor runs on them (systemd's
    // ExecReload); before that it has nothing to reload.
    bool terminationRequested = false;
    std::function<void()> reload;
    std::unique_ptr<QSocketNotifier> terminationNotifier;
    TServiceNotifier serviceNotifier;
    if (signalFd >= 0) {
        terminationNotifier = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
        QObject::connect(terminationNotifier.get(), &QSocketNotifier::activated, &app,
                         [&terminationRequested, &reload, &serviceNotifier] {
                             const TSignalsReceived received = DrainTerminationSignals();
                             if (received.Terminate) {
                                 serviceNotifier.Stopping();
                                 terminationRequested = true;
                                 QCoreApplication::exit(0);
                             } else if (received.Hangup && reload) {
                                 reload();
                             } else if (received.Hangup) {
                                 logLine(kLogNotice,
                                         "SIGHUP while starting: the settings are being read now; not reloaded",
                                         "reload");
                             }
                         });
    }

    // Destroyed after the monitor, whose end may still log (calls the history could not keep).
    struct TFlushLogAtEnd
    {
        ~TFlushLogAtEnd() { FlushLog(); }
    } flushLogAtEnd;
    TMonitor monitor;
    TCapture capture;
    const QString captureFile =
        parser.isSet(captureOption) ? QFileInfo(parser.value(captureOption)).absoluteFilePath() : QString();
    if (!captureFile.isEmpty())
        monitor.Session.Traffic = [&capture](bool Typed, std::string_view Bytes) { capture.Record(Typed, Bytes); };
    monitor.SetAppDir(QFileInfo(configFile).absolutePath().toStdString());
    monitor.SettingsFile = configFile.toStdString();
    // The call history's default home: the service's state directory, else the user's data folder.
    // Its fault reports reach the log through the monitor.
    monitor.SetDataDirectory(historyDataDirectory().toStdString(), false, historyNamedAfterSettings(configFile));

    // systemctl status's line follows the connection and the day's calls; the tick carries it past
    // midnight.
    TServiceStatus serviceStatus;
    const auto showStatus = [&serviceNotifier, &serviceStatus] {
        serviceNotifier.Status(serviceStatus.Text(QDate::currentDate()));
    };
    using TLink = TServiceStatus::TLink;
    QObject::connect(&monitor, &TMonitor::ticked, &app, showStatus);
    QObject::connect(&monitor, &TMonitor::connectionChanged, &app, [&](bool Connected) {
        const std::string where =
            monitor.Session.sktBrelwick.Address() + ":" + std::to_string(monitor.Session.sktBrelwick.Port());
        if (Connected)
            logLine(kLogInfo, "connected to the router at " + where, "connect");
        else
            logLine(kLogNotice, "the connection to the router at " + where + " ended", "disconnect");
        serviceStatus.SetLink(Connected ? TLink::LoggingIn : TLink::Disconnected);
        showStatus();
    });
    QObject::connect(&monitor, &TMonitor::statusScreenShown, &app, [&](bool Shown) {
        if (Shown)
            serviceStatus.SetLink(TLink::StatusScreen);
        else if (serviceStatus.Link() == TLink::StatusScreen)
            serviceStatus.SetLink(TLink::LoggingIn);
        showStatus();
    });
    QObject::connect(&monitor, &TMonitor::statusMessage, &app, [](const QString &Text) {
        if (!Text.isEmpty())
            logLine(kLogInfo, bytes(Text), "status");
    });
    QObject::connect(&monitor, &TMonitor::relayChanged, &app, [&](bool Attached) {
        if (!Attached)
            logLine(kLogInfo, "the remote user left; logging in again", "relay");
        serviceStatus.SetLink(Attached ? TLink::RelayUser : TLink::LoggingIn);
        showStatus();
    });
    // One line per wait, not per second of its countdown.
    QObject::connect(&monitor, &TMonitor::reconnectWaiting, &app, [&](int DelayMs, const QString &Reason) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", DelayMs / 1000.0);
        const std::string wait = "in " + std::string(seconds) + " s (" + bytes(Reason) + ")";
        logLine(kLogNotice, "reconnecting " + wait, "reconnect");
        serviceStatus.SetLink(TLink::Reconnecting, wait);
        showStatus();
    });
    QObject::connect(&monitor, &TMonitor::historyChanged, &app, [&] {
        serviceStatus.CallWritten(QDate::currentDate());
        logLine(kLogInfo, "a call was written to the call history", "call");
        showStatus();
    });
    // The alerts switched on in [Alerts], past their rate limit: a warning for what needs someone
    // now, a notice for the rest. No desktop bubbles here.
    QObject::connect(&monitor, &TMonitor::alertCommandFailed, &app,
                     [](const QString &Text) { logLine(kLogWarning, bytes(Text), "alert"); });
    QObject::connect(&monitor, &TMonitor::alertRaised, &app, [](TAlertKind Kind, const QString &, const QString &Text) {
        logLine(AlertIsUrgent(Kind) ? kLogWarning : kLogNotice,
                std::string("alert ") + AlertKindName(Kind) + ": " + bytes(Text), "alert");
    });
    monitor.ShowNewVersion = [](const TNewVersionTexts &Texts) {
        logLine(kLogNotice, "a new version is available: " + bytes(Texts.CurrentVersion) + " at " + bytes(Texts.Url),
                "update");
    };

    monitor.Create();
    monitor.LoadSettings();
    checkValues(monitor.Settings);
    readMqttPasswordFile(monitor.Settings, configFile);
    if (listenAddress) {
        monitor.WebBindAddress = listenAddress->first;
        monitor.Settings.SetText(SettingControl::edtWebAdminPort, listenAddress->second);
        monitor.Settings.SetChecked(SettingControl::chkWebAdmin, true);
    }
    if (parser.isSet(webConfigOption))
        monitor.WebConfigFileOverride = QFileInfo(parser.value(webConfigOption)).absoluteFilePath().toStdString();
    monitor.ApplySettings();
    monitor.Session.ResetStatus();
    const std::string router = monitor.Settings.Text(SettingControl::edtTelnetAddress) + ":" +
                               monitor.Settings.Text(SettingControl::edtTelnetPort);
    SetJournalRouter(router);
    serviceStatus.SetRouter(router);
    logLine(kLogInfo, "started with " + configFile.toStdString(), "start");
    monitor.Connect();
    // A service that was told to listen and cannot is of no use: systemd should hear of it.
    const bool webDown =
        monitor.Settings.Checked(SettingControl::chkWebAdmin) && !monitor.WebServer.WebServerSocket.Active();
    const bool relayDown =
        monitor.Settings.Checked(SettingControl::chkTelnetAdmin) && !monitor.Relay.TelnetServerSocket.Active();
    if (webDown || relayDown) {
        logLine(kLogError, std::string("cannot listen on the ") + (webDown ? "web" : "relay") + " port; stopping",
                "start");
        FlushLog();
        return 1;
    }
    // The listeners are open (or switched off): whatever waits for the service may start.
    showStatus();
    serviceNotifier.Ready();
    reload = [&monitor, &configFile, &listenAddress] {
        const TErrorOriginScope origin(TErrorOrigin::User);
        reloadSettings(monitor, configFile.toStdString(), listenAddress);
    };
    if (monitor.Settings.Checked(SettingControl::chkCheckForUpdates)) {
        const QString state = stateDirectory();
        if (QDir().mkpath(state))
            monitor.VersionFileDir = state.toStdString() + "/";
        monitor.CheckNow();
    }

    const int status = terminationRequested ? 0 : QCoreApplication::exec();
    reload = nullptr;
    monitor.Session.Traffic = nullptr;
    if (!captureFile.isEmpty()) {
        QString error;
        if (capture.Save(captureFile, error))
            logLine(kLogInfo, "router session written to " + captureFile.toStdString(), "capture");
        else
            logLine(kLogError, "cannot write the router session to " + captureFile.toStdString() + ": " + bytes(error),
                    "capture");
    }
    const TLogEventScope stopped("stop");
    WriteLastLogLine("stopped", kLogInfo);
    return status;
}
