// SPDX-License-Identifier: MIT
// The main window TfrmMain: a view of the monitor (core/monitor.h). It shows the four designed tabs
// (the window with its Status tab in shell/frmmain.ui; Graph, Settings and About in shell/*page.ui,
// the last two made when first shown), the status bar and the tray icon, follows the monitor's
// signals, and forwards what the user does; it keeps no state of the monitor's. The Settings tab's
// logic is TSettingsTab's (settingstab.h). Every handler catches at its edge.
#pragma once

#include "capture.h"
#include "errorbox.h"
#include "linewatchversion.h"
#include "monitor.h"
#include "settings.h"

#include <QLocale>
#include <QSize>
#include <QWidget>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct TfrmMainControls;
class QAction;
class QLabel;
class QTimer;
class TColorPanel;
class TStatusLabels;
class THistoryTab;
class TNotifier;
class TSettingsTab;
class TTrayIcon;

inline constexpr char kWindowCaption[] = "Brelwick ISDN Router Monitor [" LINEWATCH_VERSION "]";
inline constexpr char kRouterMakerSite[] = "http://www.brelwick.example/";
inline constexpr char kAuthorMail[] = "linewatch@brelwick.example";

// Where the program keeps linewatch.ini without --config, ending in "/": the program's directory
// when it holds one already and is not under /usr, else the user's configuration directory
// (SettingsDirectory).
std::string DefaultSettingsDirectory();

// The About tab's version line: the version and its date in the locale's short format
// ("1.0.1.3  16.08.00" in German); the C locale keeps ThisVersionCaption as written.
QString AboutVersionText(const QLocale &Locale);

// The address of the live page on Server while it listens, "" otherwise: https with TLS, the
// address it is bound to, or this machine's loopback address when it listens on every one.
QString LivePageUrl(const TServerSocket &Server);

// A plain top-level widget with the status bar at the foot of its layout: a QMainWindow would load
// its dock and tool bar layout code, which this window never uses, for as long as it runs.
class TfrmMain : public QWidget
{
    Q_OBJECT

public:
    // What the window takes from its surroundings. The program leaves everything unset; tests put
    // their own here so that no dialog waits for a user and nothing leaves the machine.
    struct THooks
    {
        // The directory of linewatch.ini, linewatchver.txt and services.ini, ending in "/".
        // Unset: the program's directory when it holds linewatch.ini already, else the user's
        // configuration directory (SettingsDirectory).
        std::string AppDir;
        // The settings file (the command line's --config); its directory then holds the other
        // files. Unset: AppDir's linewatch.ini.
        std::string SettingsFile;
        // The folder for per-user data, the call history's default home (settings that live
        // beside the program keep it beside them). Unset: no call history is kept.
        std::string DataDir;
        // The colour chooser: starts at Color, returns true with the chosen colour in Color when
        // the user confirms. Unset: QColorDialog.
        std::function<bool(uint32_t &Color)> ChooseColor;
        // Hands a web or mail address to the desktop. Unset: QDesktopServices::openUrl.
        std::function<void(const QString &Target)> OpenTarget;
        // Whether the desktop has a notification area to hide the window in. Unset: asks the tray.
        std::function<bool()> TrayAvailable;
        // Fetches the version file. Unset: the HTTP client.
        std::function<std::string(const std::string &Url)> FetchVersionFile;
        // Shows the new-version dialog modally. Unset: TfrmNewVersion.
        std::function<void(const TNewVersionTexts &Texts)> ShowNewVersion;
        // Runs in place of making sktBrelwick active once Connect has set its address and port.
        // Unset: the socket connects.
        std::function<void(TClientSocket &Socket)> StartConnect;
        // --capture: the router session is written here when the program ends. Unset: only on
        // demand.
        QString CaptureFile;
        // Asks where to save the router session; "" when the user cancels. Unset: a file dialog.
        std::function<QString()> AskCaptureFile;
    };

private:
    // Declared ahead of the fields below so that it outlives them: the session's and the
    // services' hooks reach the controls through it. A lazy tab's controls are null until made.
    std::unique_ptr<TfrmMainControls> ui;
    THooks m_hooks;
    // Everything passing to and from the router since the start, bounded, for a bug report;
    // declared ahead of Monitor, whose session writes to it until it goes.
    TCapture m_capture;

public:
    // Builds the window from its design and runs FormCreate; the caller shows it.
    explicit TfrmMain(THooks Hooks = {}, QWidget *Parent = nullptr);
    // Runs FormDestroy unless the program already did at its end.
    ~TfrmMain() override;

    // What the window shows: the router session, the remote services, the update check, the
    // histories behind Chart1 and Chart2, the tick and the settings value.
    TMonitor Monitor;
    TTrayIcon *TrayIcon = nullptr;
    // Shows the monitor's alerts as desktop bubbles, or through TrayIcon without a service.
    TNotifier *Notifier = nullptr;
    // The History tab, after the Graph tab.
    THistoryTab *HistoryTab = nullptr;

    // The monitor's one-second tick, run now: tray, history, gauges, caller-ID lists, then, only
    // while the window is shown, the status page's labels.
    void RefreshStatus();
    // Copies the ten panel colours (the Settings tab's, or the settings' while it is not made) to
    // the charts and gauges.
    void ApplyGraphColors();

    // Handlers, named after the control and event they serve. The ones with a Sender serve several
    // controls and tell them apart by the sender's Tag or caption.
    void btnConnectClick();
    void btnDropB1Click(QObject *Sender);
    void mnuDropB1Click(QAction *Sender);
    void mnuStatusClick();
    void mnuGraphClick();
    void mnuSettingsClick();
    void mnuAboutClick();
    void mnuExitClick();
    void chkMaskClick();
    void chkTelnetAdminClick();
    void chkWebAdminClick();
    void edtWebAdminPortChange();
    void pnlB1CLUColorClick(TColorPanel *Sender);
    void btnCheckNowClick();
    void Image1Click();
    void Label49Click(QLabel *Sender);
    void lblHomePageClick(QLabel *Sender);
    // The tray's "Open in Browser" and the About tab's live page link.
    void mnuOpenInBrowserClick();
    // The tray's and the About tab's "Save Router Session for a Bug Report...": the capture so
    // far, to a file the user picks.
    void mnuSaveCaptureClick();

    // True once mnuExitClick has asked the program to end (possibly before the event loop ran:
    // the start-up update check turns the loop while FormCreate waits for it).
    bool ExitRequested() const { return m_exiting; }

    // Saves the settings and the --capture file, then removes the tray icon; runs once, at the program's end (the tray
    // menu's Exit, a termination signal or the end of the desktop session).
    void FormDestroy();
    // True when FormDestroy ran and could not save the settings.
    bool SettingsSaveFailed() const { return m_settingsSaveFailed; }

    // Hands a web address or a "mailto:" address to the desktop; the outcome is not looked at.
    void OpenTarget(const QString &Target);

    // The status bar's panels: 0 the shared message line, 1 "Connected", "Not Connected" or
    // "Password rejected".
    QString PanelText(int Panel) const;
    void SetPanelText(int Panel, const QString &Text);

    // Brings the window back from the tray (or from its minimised state) without changing the page.
    void ShowWindow();

    // The design's controls, every tab's made first, for the program's screenshot hook and for
    // tests.
    TfrmMainControls *Form();

    // How long the settings wait after the last change of a Settings tab control before they are
    // written, so a crash loses nothing and typing a number writes the file once.
    static constexpr int kSettingsSaveDelayMs = 1000;

signals:
    // A save while the program runs (not the one at its end) is over; Ok is false when it failed.
    void settingsSaved(bool Ok);

protected:
    // FormClose: the window hides in the tray instead of closing.
    void closeEvent(QCloseEvent *Event) override;
    void showEvent(QShowEvent *Event) override;
    void hideEvent(QHideEvent *Event) override;
    void changeEvent(QEvent *Event) override;
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    void FormCreate();
    void createStatusBar();
    void createTray();
    void wireMonitor();
    // Panel 1 from the monitor: "Connected", "Not Connected" or "Password rejected".
    void showConnectionState();
    void createHistoryTab();
    void createSettingsTab();
    // The Settings and About tabs get their controls when first shown (or when Form() asks), so a
    // monitor that stays on its Status tab or in the tray never loads or keeps them.
    void makePage(QWidget *Page);
    void makeGraphPage();
    void makeSettingsPage();
    void makeAboutPage();
    void growToFit();
    void refreshView();
    // The live page's tray entry and About link, shown only while the web page is on.
    void showLivePageLinks();
    void connectHandlers();
    void reserveWidths();
    void fixWindowSize();
    void showPage(QWidget *Page);
    void loadSettings();
    void followSettingChanges();
    void saveSettingsNow();
    std::string settingsFilePath() const;
    void restoreWindowPlace();
    void saveWindowPlace() const;
    // Hidden in the tray, the window gives back what only a shown window needs: its native window
    // and backing store, the style's pixmaps and the heap's free pages. The next show makes them
    // anew.
    void releaseWhileHidden();

    QLabel *m_panel0 = nullptr;
    QLabel *m_panel1 = nullptr;
    bool m_exiting = false;
    bool m_destroyed = false;
    bool m_settingsSaveFailed = false;
    bool m_toldKeepsRunning = false;
    bool m_centred = false;
    bool m_releaseQueued = false;
    bool m_iconSet = false;
    QTimer *m_saveTimer = nullptr;
    ErrorContextProvider m_previousErrorContext;
    // A failing save is told once, until a save succeeds again.
    bool m_saveFailureTold = false;
    std::unique_ptr<TStatusLabels> m_statusLabels;
    // The Settings tab's logic, made with the window; its controls are made with the tab.
    std::unique_ptr<TSettingsTab> m_settingsTab;
};
