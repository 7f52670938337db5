// SPDX-License-Identifier: MIT
// Program entry: the application object, the error box, the main window and the event loop. The
// program ends only the way the tray menu's Exit ends it, with the settings saved and the tray
// icon removed; SIGTERM, SIGINT, SIGHUP and the end of the desktop session take the same road,
// but never wait for a person: their reports go to the log, and a failed save ends with status 1.
#include "apperror.h"
#include "errorbox.h"
#include "fdreserve.h"
#include "frmmain.h"
#include "frmmaincontrols.h"
#include "groupframestyle.h"
#include "settings.h"
#include "singleinstance.h"
#include "terminationsignals.h"
#include "translation.h"
#include "trayicon.h"
#include "traypictures.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QRect>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

// An exit that nobody watches: reports from now on go to the log only, never to a box.
void reportToLogOnly()
{
    SetErrorReporter([](const std::string &message) { LogReport(message, kLogError, CurrentErrorOrigin()); });
}

// A part of the screen as LINEWATCH_SCREENSHOT_SCREEN gives it, "x,y,width,height"; none when
// unset or not four numbers.
std::optional<QRect> screenshotRegion()
{
    const QStringList parts = qEnvironmentVariable("LINEWATCH_SCREENSHOT_SCREEN").split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    int values[4] = {};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return std::nullopt;
    }
    return QRect(values[0], values[1], values[2], values[3]);
}

// For the screenshot script: LINEWATCH_SCREENSHOT_DIR names a directory; after
// LINEWATCH_SCREENSHOT_DELAY seconds (default 6) each tab, the Alerts group and the tray picture
// are saved there as PNG files (errorbox.png too when an error box is open), with screen.png, the
// part of the whole screen (other programs' windows too, such as a notification bubble) that
// LINEWATCH_SCREENSHOT_SCREEN names, and the program exits as through the tray menu.
void scheduleScreenshots(TfrmMain &window)
{
    const QString dir = qEnvironmentVariable("LINEWATCH_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    bool ok = false;
    int delay = qEnvironmentVariableIntValue("LINEWATCH_SCREENSHOT_DELAY", &ok);
    if (!ok || delay < 0)
        delay = 6;
    QTimer::singleShot(delay * 1000, &window, [&window, dir] {
        QDir().mkpath(dir);
        QTabWidget *pages = window.Form()->PageControl1;
        const char *names[] = {"status", "graph", "history", "settings", "about"};
        for (int i = 0; i < pages->count() && i < 5; ++i) {
            pages->setCurrentIndex(i);
            // A page made when first shown lays itself out at a later turn of the loop, as the
            // user sees it; the picture waits for that.
            QEventLoop settle;
            QTimer::singleShot(300, &settle, &QEventLoop::quit);
            settle.exec();
            window.grab().save(QDir(dir).filePath(QString::fromLatin1(names[i]) + QStringLiteral(".png")));
            if (pages->currentWidget() == window.Form()->tabSettings)
                window.Form()->grpAlerts->grab().save(QDir(dir).filePath(QStringLiteral("alerts.png")));
        }
        // An error box open at this moment (the script's run against a router that is not there).
        if (QWidget *box = QApplication::activeModalWidget())
            box->grab().save(QDir(dir).filePath(QStringLiteral("errorbox.png")));
        if (const std::optional<QRect> region = screenshotRegion(); region && window.screen())
            window.screen()
                ->grabWindow(0, region->x(), region->y(), region->width(), region->height())
                .save(QDir(dir).filePath(QStringLiteral("screen.png")));
        pages->setCurrentIndex(0);
        TrayPixmap(window.TrayIcon->picture(), 128).save(QDir(dir).filePath(QStringLiteral("tray.png")));
        window.mnuExitClick();
    });
}

// The command line. --help and --version print and end the program before any window, display
// or file is touched.
struct TOptions
{
    std::string SettingsFile;
    bool Minimized = false;
    QString CaptureFile;
};

void describeOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QCoreApplication::translate(
        "main",
        "Brelwick ISDN Router Monitor: watches the router's console and shows its lines in a window and the tray."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringList{QStringLiteral("c"), QStringLiteral("config")},
                      QCoreApplication::translate("main", "The settings file to use (default: linewatch.ini beside "
                                                          "the program, or in ~/.config/linewatch/)."),
                      QCoreApplication::translate("main", "FILE")});
    parser.addOption(
        {QStringLiteral("minimized"), QCoreApplication::translate("main", "Start in the notification area.")});
    parser.addOption({QStringLiteral("capture"),
                      QCoreApplication::translate("main", "Write what the router sent and the monitor typed (the "
                                                          "password masked) to FILE when the program ends, for a "
                                                          "bug report."),
                      QCoreApplication::translate("main", "FILE")});
}

bool asksForHelpOrVersion(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-v" || arg == "--version")
            return true;
    }
    return false;
}

TOptions parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(app);
    TOptions options;
    options.SettingsFile = parser.value(QStringLiteral("config")).toStdString();
    options.Minimized = parser.isSet(QStringLiteral("minimized"));
    if (parser.isSet(QStringLiteral("capture")))
        options.CaptureFile = QFileInfo(parser.value(QStringLiteral("capture"))).absoluteFilePath();
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    if (asksForHelpOrVersion(argc, argv)) {
        // No display needed to say what the program is.
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("linewatch"));
        QCoreApplication::setApplicationVersion(QString::fromLatin1(ThisVersion));
        InstallTranslations();
        parseOptions(app); // prints and exits
        return 0;
    }
    // Standard error may be a pipe whose reader has gone (the launching terminal closed): a write
    // must fail there, not kill the program (sockets already send with MSG_NOSIGNAL).
    ::signal(SIGPIPE, SIG_IGN);
    // With TZ unset, glibc stats /etc/localtime at every tzset(), which Qt calls for each local
    // time (QDateTime::currentDateTime, the style's pixmap cache checking a resource's date): some
    // twenty system calls a second. Naming the same file makes glibc read it once; Qt takes
    // ":/etc/localtime" for the system zone. A zone changed while we run shows after a restart.
    ::setenv("TZ", ":/etc/localtime", 0);
    // Peers cannot take the descriptors the settings save needs at exit (see fdreserve.h).
    RaiseDescriptorLimit();
    TakeReserveDescriptor();
    QApplication app(argc, argv);
    InstallGroupFrameStyle();
    // The application title ("Brelwick ISDN Router Monitor") is the window caption's start and
    // every error box's caption. It is not set as the display name, which Qt would append to
    // the window caption a second time.
    QCoreApplication::setApplicationName(QStringLiteral("linewatch"));
    QGuiApplication::setDesktopFileName(QStringLiteral("linewatch"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(ThisVersion));
    // The user's language (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), before any text is made.
    InstallTranslations();
    const TOptions options = parseOptions(app);
    // The window hides in the tray when closed; dialogs closing while it is hidden must not end
    // the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // One monitor per settings file, decided before the window logs in to the router or opens a
    // port: a second start shows the running monitor's window and ends.
    const std::string appDir = options.SettingsFile.empty() ? DefaultSettingsDirectory() : std::string();
    const QString settingsFile =
        QString::fromStdString(options.SettingsFile.empty() ? appDir + kSettingsFileName : options.SettingsFile);
    TSingleInstance instance;
    if (!instance.claim(settingsFile)) {
        WriteLogLine("A monitor already runs with " + settingsFile.toStdString() + "; its window was shown",
                     kLogNotice);
        FlushLog();
        return 0;
    }
    InstallErrorBox();

    const int signalFd = InstallTerminationSignals();
    if (signalFd < 0)
        std::perror("linewatch: termination signals");

    // Watched before the window exists: FormCreate may wait a long time inside an event loop of
    // its own (the start-up update check, or an error box that nobody is there to close), and a
    // signal must end that wait too rather than stay in the pipe until a user clicks.
    TfrmMain *window = nullptr;
    bool terminationRequested = false;
    // A second start while the window is being made: shown once it exists.
    bool showRequested = false;
    QObject::connect(&instance, &TSingleInstance::showRequested, [&window, &showRequested] {
        if (window)
            window->ShowWindow();
        else
            showRequested = true;
    });
    std::unique_ptr<QSocketNotifier> terminationNotifier;
    if (signalFd >= 0) {
        terminationNotifier = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
        QObject::connect(terminationNotifier.get(), &QSocketNotifier::activated, [&window, &terminationRequested] {
            DrainTerminationSignals();
            terminationRequested = true;
            reportToLogOnly();
            if (window)
                window->mnuExitClick();
            else
                QCoreApplication::exit(0); // ends every wait of FormCreate; the window is not shown
        });
    }

    int exitCode = 0;
    {
        TfrmMain::THooks hooks;
        hooks.SettingsFile = options.SettingsFile;
        hooks.AppDir = appDir;
        hooks.CaptureFile = options.CaptureFile;
        hooks.DataDir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
        if (!hooks.DataDir.empty())
            hooks.DataDir += "/linewatch";
        TfrmMain frmMain(std::move(hooks));
        window = &frmMain;
        // The desktop session is ending: save now, as Exit would, since the session manager may
        // end the process before the event loop returns.
        QObject::connect(&app, &QGuiApplication::commitDataRequest, &frmMain, [&frmMain](QSessionManager &) {
            reportToLogOnly();
            frmMain.FormDestroy();
            frmMain.mnuExitClick();
        });
        QObject::connect(&app, &QCoreApplication::aboutToQuit, &frmMain, [&frmMain] { frmMain.FormDestroy(); });

        scheduleScreenshots(frmMain);
        // Exit chosen from the tray, or a termination signal, while FormCreate waited: that ended
        // only the wait, so the event loop is not started at all.
        if (!frmMain.ExitRequested() && !terminationRequested) {
            if (!options.Minimized)
                frmMain.show();
            else if (showRequested)
                frmMain.ShowWindow();
            else if (!TTrayIcon::isAvailable())
                frmMain.showMinimized(); // no tray to start in

            exitCode = app.exec();
        }
        window = nullptr;
        frmMain.FormDestroy();
        // Nobody was there to read a box about the lost settings: the status says it.
        if (terminationRequested && frmMain.SettingsSaveFailed())
            exitCode = 1;
    }
    RemoveErrorBox();
    FlushLog();
    return exitCode;
}
