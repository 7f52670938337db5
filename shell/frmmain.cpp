// SPDX-License-Identifier: MIT
// The main window; see frmmain.h. The design's controls come from frmmain.ui and the lazy tabs'
// *page.ui; every handler is connected here by hand and runs inside Guarded, so no exception ever
// reaches the event loop.
// The window follows the monitor's signals; TSettingsTab keeps the monitor's settings value in step
// with the Settings tab's controls.
#include "frmmain.h"

#include "frmmaincontrols.h"

#include "apperror.h"
#include "errorbox.h"
#include "fdreserve.h"
#include "frmnewversion.h"
#include "gauge.h"
#include "historytab.h"
#include "inifile.h"
#include "livepage.h"
#include "notifier.h"
#include "programicon.h"
#include "settingstab.h"
#include "statuslabels.h"
#include "trayicon.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmapCache>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <limits>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// The window's size and place, after the documented sections.
const std::string kWindowSection = "Window";

// Calls each caller-ID list shows; the oldest give way (a month of calls at the desk).
constexpr int kCallerIdListLimit = 1000;

QString fromBytes(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace

TfrmMain::TfrmMain(THooks Hooks, QWidget *Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<TfrmMainControls>()), m_hooks(std::move(Hooks)),
      Monitor(TMonitor::THooks{m_hooks.StartConnect, m_hooks.FetchVersionFile, std::nullopt})
{
    ui->Ui::TfrmMain::setupUi(this);
    // Recorded from the start: the bytes that show a fault have passed before anyone asks.
    Monitor.Session.Traffic = [this](bool Typed, std::string_view Bytes) { m_capture.Record(Typed, Bytes); };
    m_statusLabels = std::make_unique<TStatusLabels>(*ui, this);
    ui->PageControl1->setCurrentWidget(ui->tabStatus);
    connect(ui->PageControl1, &QTabWidget::currentChanged, this,
            [this](int Index) { Guarded([this, Index] { makePage(ui->PageControl1->widget(Index)); }); });
    createStatusBar();
    createTray();
    createHistoryTab();
    createSettingsTab();
    wireMonitor();
    connectHandlers();
    reserveWidths();
    // The error box's detail names this window's connections.
    m_previousErrorContext = SetErrorContextProvider([this] {
        TErrorContext context;
        context.RouterAddress = Monitor.Session.sktBrelwick.Address();
        context.RouterPort = Monitor.Session.sktBrelwick.Port();
        context.TelnetRelayPort = Monitor.Relay.TelnetServerSocket.Port();
        context.WebPort = Monitor.WebServer.WebServerSocket.Port();
        context.UpdateServer = QUrl(QString::fromStdString(Monitor.VersionCheck.VersionFileUrl)).host().toStdString();
        return context;
    });

    FormCreate();
    fixWindowSize();
    restoreWindowPlace();
    // After FormCreate: loading the settings changes no control through its signals, and what it
    // sets going is no change of the user's.
    followSettingChanges();
}

TfrmMain::~TfrmMain()
{
    FormDestroy();
    Monitor.Timer1->stop();
    SetErrorContextProvider(std::move(m_previousErrorContext));
}

void TfrmMain::createStatusBar()
{
    // Two panels as in the design: a 450-pixel message line and the connection state. Long
    // messages are cut at the panel's edge rather than widening the fixed-size window.
    m_panel0 = new QLabel(this);
    m_panel0->setObjectName(QStringLiteral("StatusPanel0"));
    m_panel0->setTextFormat(Qt::PlainText);
    m_panel0->setMinimumWidth(450);
    m_panel0->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_panel1 = new QLabel(tr("Not Connected"), this);
    m_panel1->setObjectName(QStringLiteral("StatusPanel1"));
    m_panel1->setTextFormat(Qt::PlainText);
    int width = 0;
    for (const QString &text : {tr("Not Connected"), tr("Connected"), tr("Password rejected")})
        width = std::max(width, m_panel1->fontMetrics().horizontalAdvance(text));
    m_panel1->setMinimumWidth(width + 8);
    ui->StatusBar->addWidget(m_panel0, 1);
    ui->StatusBar->addWidget(m_panel1);
    ui->StatusBar->setSizeGripEnabled(true);
}

void TfrmMain::createTray()
{
    TrayIcon = new TTrayIcon(this);
    Notifier = new TNotifier({}, this);
    Notifier->Fallback = [this](const QString &Title, const QString &Text) { TrayIcon->showMessage(Title, Text); };
    connect(&Monitor, &TMonitor::alertRaised, Notifier, &TNotifier::Notify);
    connect(&Monitor, &TMonitor::alertEnded, Notifier, &TNotifier::Close);
    connect(TrayIcon, &TTrayIcon::activationRequested, this, [this] { Guarded([this] { ShowWindow(); }); });
    // A single click shows or hides the window, as Linux trays do.
    connect(TrayIcon, &TTrayIcon::toggleRequested, this, [this] {
        Guarded([this] {
            if (isVisible() && !isMinimized())
                hide();
            else
                ShowWindow();
        });
    });
    connect(TrayIcon->mnuStatus, &QAction::triggered, this, [this] { Guarded([this] { mnuStatusClick(); }); });
    connect(TrayIcon->mnuGraph, &QAction::triggered, this, [this] { Guarded([this] { mnuGraphClick(); }); });
    connect(TrayIcon->mnuSettings, &QAction::triggered, this, [this] { Guarded([this] { mnuSettingsClick(); }); });
    connect(TrayIcon->mnuConnect, &QAction::triggered, this, [this] { Guarded([this] { btnConnectClick(); }); });
    for (QAction *item : {TrayIcon->mnuDropB1, TrayIcon->mnuDropB2, TrayIcon->mnuDropAll})
        connect(item, &QAction::triggered, this, [this, item] { Guarded([this, item] { mnuDropB1Click(item); }); });
    connect(TrayIcon->mnuOpenInBrowser, &QAction::triggered, this,
            [this] { Guarded([this] { mnuOpenInBrowserClick(); }); });
    connect(TrayIcon->mnuSaveCapture, &QAction::triggered, this,
            [this] { Guarded([this] { mnuSaveCaptureClick(); }); });
    connect(TrayIcon->mnuAbout, &QAction::triggered, this, [this] { Guarded([this] { mnuAboutClick(); }); });
    connect(TrayIcon->mnuExit, &QAction::triggered, this, [this] { Guarded([this] { mnuExitClick(); }); });
    // Ctrl+Q, the desktop's usual way out, runs Exit as the tray menu's entry does.
    auto *quit = new QAction(this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q)); // QKeySequence::Quit is empty on some platforms
    quit->setShortcutContext(Qt::ApplicationShortcut);
    addAction(quit);
    connect(quit, &QAction::triggered, this, [this] { Guarded([this] { mnuExitClick(); }); });
}

void TfrmMain::wireMonitor()
{
    Monitor.ViewShowing = [this] { return isVisible(); };
    // While reconnecting the button stands for Disconnect, which stops it.
    const auto showConnectCaption = [this](bool Disconnect) {
        ui->btnConnect->setText(Disconnect ? tr("Disconnect") : tr("Connect"));
        TrayIcon->mnuConnect->setText(Disconnect ? tr("Dis&connect") : tr("&Connect"));
    };
    connect(&Monitor, &TMonitor::connectionChanged, this, [this, showConnectCaption](bool Connected) {
        showConnectCaption(Connected || Monitor.Reconnect.Reconnecting());
        showConnectionState();
    });
    connect(&Monitor, &TMonitor::reconnectingChanged, this, [this, showConnectCaption](bool Reconnecting) {
        showConnectCaption(Reconnecting || Monitor.Session.sktBrelwick.Active());
    });
    connect(&Monitor, &TMonitor::statusMessage, this, [this](const QString &Text) { SetPanelText(0, Text); });
    // The alert command is the user's own setting: its failure is told here and in the log, never
    // in a box per alert.
    connect(&Monitor, &TMonitor::alertCommandFailed, this, [this](const QString &Text) {
        SetPanelText(0, Text);
        WriteLogLine(Text.toLocal8Bit().toStdString(), kLogWarning);
    });
    // The panel is shared: the end of reconnecting empties it only if nobody wrote over its text.
    connect(&Monitor, &TMonitor::reconnectStatus, this, [this, shown = QString()](const QString &Text) mutable {
        if (!Text.isEmpty() || PanelText(0) == shown)
            SetPanelText(0, Text);
        shown = Text;
        // The text comes and goes with a refused password, which panel 1 names too.
        showConnectionState();
    });
    // The history's report shares the panel the same way: its "over" empties only its own text.
    connect(&Monitor, &TMonitor::historyProblem, this, [this, shown = QString()](const QString &Text) mutable {
        if (!Text.isEmpty() || PanelText(0) == shown)
            SetPanelText(0, Text);
        shown = Text;
    });
    connect(&Monitor, &TMonitor::checkNowEnabled, this,
            [this](bool Enabled) { m_settingsTab->showCheckNowEnabled(Enabled); });
    // Buttons that can do nothing are off: the channel commands need the status screen.
    const auto showCommands = [this](bool Shown) {
        for (QWidget *button : {ui->btnDropB1, ui->btnDropB2, ui->btnDropAll, ui->btnReset})
            button->setEnabled(Shown);
        TrayIcon->setDropEnabled(Shown);
    };
    showCommands(Monitor.StatusScreenShown());
    connect(&Monitor, &TMonitor::statusScreenShown, this, showCommands);
    connect(&Monitor, &TMonitor::callerIdLogged, this, [this](int Channel, const QString &Item) {
        // The window keeps the newest calls only, so a list never grows with uptime.
        QListWidget *list = Channel == 1 ? ui->listB1CLID : ui->listB2CLID;
        list->addItem(Item);
        while (list->count() > kCallerIdListLimit)
            delete list->takeItem(0);
    });
    connect(&Monitor, &TMonitor::ticked, this, [this] { refreshView(); });
    Monitor.ShowNewVersion = [this](const TNewVersionTexts &Texts) {
        if (m_hooks.ShowNewVersion)
            m_hooks.ShowNewVersion(Texts);
        else
            ShowNewVersionDialog(this, Texts);
    };
}

void TfrmMain::showConnectionState()
{
    // A refused password ends its connection: the panel says why there is none.
    if (Monitor.Reconnect.PasswordRejected())
        SetPanelText(1, tr("Password rejected"));
    else
        SetPanelText(1, Monitor.Session.sktBrelwick.Active() ? tr("Connected") : tr("Not Connected"));
}

void TfrmMain::connectHandlers()
{
    connect(ui->btnConnect, &QPushButton::clicked, this, [this] { Guarded([this] { btnConnectClick(); }); });
    for (QPushButton *button : {ui->btnDropB1, ui->btnDropB2, ui->btnDropAll, ui->btnReset})
        connect(button, &QPushButton::clicked, this,
                [this, button] { Guarded([this, button] { btnDropB1Click(button); }); });
}

bool TfrmMain::eventFilter(QObject *Watched, QEvent *Event)
{
    if (Event->type() == QEvent::Paint && Watched == ui->Image1) {
        QPainter painter(ui->Image1);
        PaintMakerBadge(painter);
        return true;
    }
    if (Event->type() == QEvent::MouseButtonRelease) {
        auto *mouse = static_cast<QMouseEvent *>(Event);
        auto *label = qobject_cast<QLabel *>(Watched);
        if (label && mouse->button() == Qt::LeftButton && label->rect().contains(mouse->position().toPoint())) {
            Guarded([this, label] {
                if (label == ui->Label38)
                    btnCheckNowClick();
                else if (label == ui->Image1)
                    Image1Click();
                else if (label == ui->Label48)
                    Label49Click(label);
                else if (label == ui->lblHomePage)
                    lblHomePageClick(label);
                else if (label == ui->lblLivePage)
                    mnuOpenInBrowserClick();
                else if (label == ui->lblSaveCapture)
                    mnuSaveCaptureClick();
            });
            return true;
        }
    }
    return QWidget::eventFilter(Watched, Event);
}

void TfrmMain::reserveWidths()
{
    ensurePolished();
    // The window has a fixed size, so each value label keeps room for the longest text its field
    // can hold; otherwise live figures would be cut off.
    auto reserve = [](QLabel *label, const QString &sample) {
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(sample) + 2);
    };
    const QString word10 = QString(10, QLatin1Char('n')) + QStringLiteral("MW");
    const QString count11 = QStringLiteral("99,999,999,999");
    const QString usage = QStringLiteral("100%  (12.08KB/s)");
    const QString address = QStringLiteral("255.255.255.255");
    for (QLabel *label : {ui->lblB1Link, ui->lblB2Link, ui->lblName, ui->lblFirmware})
        reserve(label, word10);
    for (QLabel *label : {ui->lblB1Speed, ui->lblB2Speed})
        reserve(label, QStringLiteral("99Kbps"));
    for (QLabel *label : {ui->lblB1TX, ui->lblB1RX, ui->lblB1Errors, ui->lblB2TX, ui->lblB2RX, ui->lblB2Errors})
        reserve(label, count11);
    for (QLabel *label : {ui->lblB1CLU, ui->lblB1ALU, ui->lblB2CLU, ui->lblB2ALU})
        reserve(label, usage);
    for (QLabel *label : {ui->lblB1UpTime, ui->lblB2UpTime, ui->lblTotalOutcallTime})
        reserve(label, QStringLiteral("999:59:59"));
    for (QLabel *label : {ui->lblB1IP, ui->lblB2IP, ui->lblIPAddress})
        reserve(label, address);
    for (QLabel *label : {ui->lblLANSent, ui->lblLANReceived, ui->lblLANCollisions})
        reserve(label, QStringLiteral("9,999,999,999"));
    reserve(ui->lblLANStatus, QStringLiteral("100M/Full Duplex"));
    reserve(ui->lblTriggerSrc, QStringLiteral("255.255.255.255:65535"));
    reserve(ui->lblTriggerDest, QStringLiteral("255.255.255.255:65535 [netbios-ssn]"));
    // The caller-ID lists show at least two calls and take the height the page has to spare.
    for (QListWidget *list : {ui->listB1CLID, ui->listB2CLID}) {
        list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
        list->setMinimumHeight(list->fontMetrics().lineSpacing() * 2 + 2 * list->frameWidth() + 4);
    }
}

void TfrmMain::fixWindowSize()
{
    // The smallest size: never smaller than the original 578 x 452 client area, larger where the
    // desktop's font needs it. Extra room goes to the graphs, the gauges and the caller-ID lists.
    // The style's margins and the fonts only count once the widgets are polished, and the
    // layouts of widgets never shown yet still hold the size hints from before the reserved
    // widths were set.
    ensurePolished();
    for (QLayout *childLayout : findChildren<QLayout *>())
        childLayout->invalidate();
    if (layout())
        layout()->activate();
    const QSize size = sizeHint().expandedTo(QSize(578, 452));
    setMinimumSize(size);
    resize(size);
}

void TfrmMain::growToFit()
{
    // A tab made after start-up may need more room than the window has: it grows to fit, never
    // shrinks, and keeps whatever size the user gave it beyond that.
    for (QLayout *childLayout : findChildren<QLayout *>())
        childLayout->invalidate();
    if (layout())
        layout()->activate();
    const QSize needed = sizeHint().expandedTo(minimumSize());
    if (needed == minimumSize())
        return;
    setMinimumSize(needed);
    resize(size().expandedTo(needed));
}

std::string TfrmMain::settingsFilePath() const
{
    return Monitor.SettingsFile.empty() ? Monitor.AppDir() + kSettingsFileName : Monitor.SettingsFile;
}

void TfrmMain::restoreWindowPlace()
{
    // The [Window] section: the size and place the window had when the settings were last saved.
    Guarded([this] {
        const TIniFile ini(settingsFilePath());
        const int width = ini.ReadInteger(kWindowSection, "Width", 0);
        const int height = ini.ReadInteger(kWindowSection, "Height", 0);
        if (width > 0 && height > 0)
            resize(QSize(width, height).expandedTo(minimumSize()).boundedTo(QSize(16384, 16384)));
        constexpr int32_t kUnset = std::numeric_limits<int32_t>::min();
        const int left = ini.ReadInteger(kWindowSection, "Left", kUnset);
        const int top = ini.ReadInteger(kWindowSection, "Top", kUnset);
        // Only a place on a screen there is now: a monitor unplugged since must not hide the window.
        if (left != kUnset && top != kUnset) {
            const QRect place(QPoint(left, top), size());
            for (const QScreen *screen : QGuiApplication::screens())
                if (screen->availableGeometry().intersects(place)) {
                    move(left, top);
                    m_centred = true;
                    break;
                }
        }
        if (ini.ReadBool(kWindowSection, "Maximized", false))
            setWindowState(windowState() | Qt::WindowMaximized);
    });
}

void TfrmMain::saveWindowPlace() const
{
    // Not shown yet (started in the tray): the window has no place of its own to keep.
    if (!m_centred)
        return;
    const bool maximized = isMaximized();
    const QRect normal = maximized ? normalGeometry() : QRect(pos(), size());
    TIniFile ini(settingsFilePath());
    ini.WriteInteger(kWindowSection, "Left", normal.x());
    ini.WriteInteger(kWindowSection, "Top", normal.y());
    ini.WriteInteger(kWindowSection, "Width", normal.width());
    ini.WriteInteger(kWindowSection, "Height", normal.height());
    ini.WriteBool(kWindowSection, "Maximized", maximized);
    ini.UpdateFile();
}

void TfrmMain::showEvent(QShowEvent *Event)
{
    QWidget::showEvent(Event);
    // The program's icon is read from its PNGs at every size for each native window made while it
    // is set (the tray's too), some 15 ms each: it comes once the window is on the screen. Every
    // window of the program takes it from the application.
    if (!m_iconSet) {
        m_iconSet = true;
        QTimer::singleShot(0, this, [] { QGuiApplication::setWindowIcon(ProgramIcon()); });
    }
    if (m_centred)
        return;
    m_centred = true;
    // Centred on the desktop when first shown.
    if (QScreen *screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TfrmMain::hideEvent(QHideEvent *Event)
{
    QWidget::hideEvent(Event);
    // Only a hide of ours (to the tray): a minimised window keeps what its task bar entry shows.
    // The release waits for the event loop, since the native window is still being unmapped here.
    if (Event->spontaneous() || m_releaseQueued)
        return;
    m_releaseQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_releaseQueued = false;
        Guarded([this] { releaseWhileHidden(); });
    });
}

void TfrmMain::releaseWhileHidden()
{
    if (!isHidden() || m_exiting || m_destroyed || !testAttribute(Qt::WA_WState_Created))
        return;
    // A dialog of ours still open (a colour chooser, an error box) stays tied to this window.
    for (const QWidget *other : QApplication::topLevelWidgets())
        if (other != this && other->isVisible() && isAncestorOf(other))
            return;
    // The backing store holds the whole window's pixels (some 1.5 MB at 750 x 470) for as long as
    // the native window lives; a window hidden for days needs neither. Its widgets, their
    // figures and the graphs' histories stay: show() makes a native window and paints them anew.
    destroy(true, false);
    // The style's gradients and frames for buttons, tabs and group boxes.
    QPixmapCache::clear();
#ifdef __GLIBC__
    // What the window and the caches let go of lies in free heap pages that glibc would keep.
    malloc_trim(0);
#endif
}

void TfrmMain::FormCreate()
{
    // Each step is guarded by itself: a step that fails (a listener whose port is taken) is
    // reported, the later steps still run and the window is still shown.
    Guarded([this] { setWindowTitle(QString::fromLatin1(kWindowCaption)); });
    Guarded([this] {
        if (!m_hooks.SettingsFile.empty()) {
            const QFileInfo file(QString::fromStdString(m_hooks.SettingsFile));
            Monitor.SettingsFile = file.absoluteFilePath().toStdString();
            Monitor.SetAppDir(file.absolutePath().toStdString());
        } else {
            Monitor.SetAppDir(m_hooks.AppDir.empty() ? DefaultSettingsDirectory() : m_hooks.AppDir);
        }
        if (!m_hooks.DataDir.empty()) {
            const std::string programDir = QDir(QCoreApplication::applicationDirPath()).absolutePath().toStdString();
            // A --config file of its own names a router of its own: it gets a history of its own.
            const QString ownFile = QFileInfo(QString::fromStdString(Monitor.SettingsFile)).canonicalFilePath();
            const QString defaultFile =
                QFileInfo(QString::fromStdString(DefaultSettingsDirectory()) + QString::fromLatin1(kSettingsFileName))
                    .canonicalFilePath();
            Monitor.SetDataDirectory(m_hooks.DataDir, Monitor.AppDir() == programDir + "/",
                                     !Monitor.SettingsFile.empty() && (ownFile.isEmpty() || ownFile != defaultFile));
        }
    });
    Monitor.Create();
    // The Graph tab is made at start, unlike Settings and About: its fixed chart sizes set the
    // window's height, and its few controls are drawn by this program.
    Guarded([this] { makeGraphPage(); });
    Guarded([this] {
        TrayIcon->setPicture(38);
        TrayIcon->setTip(QStringLiteral("B1[No Data] B2[No Data]"));
        TrayIcon->show();
    });
    loadSettings();
    Guarded([this] { Monitor.Session.ResetStatus(); });
    Guarded([this] {
        // Defaults standing in for a file nobody recognises name no router worth calling.
        if (m_settingsTab->Checked(SettingControl::chkConnectAtStartup) &&
            Monitor.SettingsFileState() != TSettingsFileState::Foreign) {
            const TErrorPlaceScope place(TErrorPlace::RouterConnection);
            Monitor.Connect(true);
        }
    });
    Guarded([this] {
        if (m_settingsTab->Checked(SettingControl::chkCheckForUpdates))
            btnCheckNowClick();
    });
}

QString AboutVersionText(const QLocale &Locale)
{
    if (Locale.language() == QLocale::C)
        return QString::fromLatin1(ThisVersionCaption);
    return QString::fromLatin1(ThisVersion) + QStringLiteral("  ") +
           Locale.toString(QDate::fromString(QString::fromLatin1(ThisVersionDate), Qt::ISODate), QLocale::ShortFormat);
}

QString LivePageUrl(const TServerSocket &Server)
{
    if (!Server.Active())
        return {};
    const std::string &bound = Server.BindAddress();
    const bool everyAddress = bound.empty() || bound == "0.0.0.0";
    // Port 0 asked the kernel for one: the listener knows which.
    const int port = Server.Port() != 0 || !Server.Socket() ? Server.Port() : Server.Socket()->LocalPort();
    return QStringLiteral("%1://%2:%3%4")
        .arg(Server.Tls() ? QStringLiteral("https") : QStringLiteral("http"),
             everyAddress ? QStringLiteral("127.0.0.1") : QString::fromStdString(bound), QString::number(port),
             QString::fromLatin1(kLivePath.data(), qsizetype(kLivePath.size())));
}

std::string DefaultSettingsDirectory()
{
    const QString exeDir = QCoreApplication::applicationDirPath();
    const bool iniThere = QFileInfo::exists(QDir(exeDir).filePath(QString::fromLatin1(kSettingsFileName)));
    const QString configDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    return SettingsDirectory(QDir(exeDir).absolutePath().toStdString() + "/", iniThere,
                             configDir.isEmpty() ? std::string() : configDir.toStdString() + "/");
}

void TfrmMain::FormDestroy()
{
    if (m_destroyed)
        return;
    m_destroyed = true;
    if (m_saveTimer)
        m_saveTimer->stop();
    // The tray icon leaves the notification area even when saving failed.
    m_settingsSaveFailed = true;
    Guarded([this] {
        QDir().mkpath(QString::fromStdString(Monitor.AppDir()));
        CopySettings(*m_settingsTab, Monitor.Settings);
        const TSpareDescriptor spare; // a flood of connections cannot make the save fail
        Monitor.SaveSettings();
        saveWindowPlace();
        m_settingsSaveFailed = false;
    });
    Monitor.Session.Traffic = nullptr;
    if (!m_hooks.CaptureFile.isEmpty()) {
        Guarded([this] {
            QString error;
            if (!m_capture.Save(m_hooks.CaptureFile, error))
                throw EOriginError(
                    tr("Cannot save the router session to %1: %2").arg(m_hooks.CaptureFile, error).toStdString());
        });
    }
    Guarded([this] { TrayIcon->hide(); });
}

void TfrmMain::closeEvent(QCloseEvent *Event)
{
    if (m_exiting || m_destroyed) {
        Event->accept();
        return;
    }
    // FormClose: the window goes to the tray and the program goes on; the first time, the tray
    // says so. Without a notification area there would be no way back, so closing the window
    // ends the program as Exit does, settings saved.
    Event->ignore();
    Guarded([this] {
        const bool trayAvailable = m_hooks.TrayAvailable ? m_hooks.TrayAvailable() : TTrayIcon::isAvailable();
        if (!trayAvailable) {
            mnuExitClick();
            return;
        }
        hide();
        if (!m_toldKeepsRunning) {
            m_toldKeepsRunning = true;
            TrayIcon->showMessage(QString::fromLatin1(kApplicationTitle),
                                  tr("The monitor keeps running here. Right-click for its menu; "
                                     "Exit ends it."));
        }
    });
}

void TfrmMain::RefreshStatus()
{
    Monitor.Tick();
}

void TfrmMain::refreshView()
{
    // A window hidden in the tray has no way back once the tray's host goes (the panel restarted
    // without one, or was removed): it shows itself. Qt tells no change of the tray's
    // availability, so the tick looks, only while the window is hidden after it was shown.
    if (m_centred && isHidden() && !m_exiting && !m_destroyed &&
        !(m_hooks.TrayAvailable ? m_hooks.TrayAvailable() : TTrayIcon::isAvailable()))
        ShowWindow();

    // 1. Tray picture and tip, and the live page's entry: the web page is switched by the
    // Settings tab, a reloaded settings file or a failed listen, and the tick sees each.
    TrayIcon->setPicture(Monitor.TrayPicture());
    TrayIcon->setTip(fromBytes(Monitor.TrayTipText()));
    showLivePageLinks();

    // 2. Usage history, stepped by the monitor, and 3. the gauges, once their tab is made.
    if (ui->Chart1) {
        ui->Chart1->update();
        ui->Chart2->update();
        ui->Gauge1->setValue(Monitor.Session.B1.ALU);
        ui->Gauge2->setValue(Monitor.Session.B2.ALU);
    }

    // 4. Caller ID: the monitor's callerIdLogged has added the new items.

    // 5. Labels only while the window is shown; they catch up at the first tick after showing.
    if (!isVisible())
        return;
    m_statusLabels->show(Monitor.Session, Monitor.ServiceNames);
}

void TfrmMain::changeEvent(QEvent *Event)
{
    // Another style, palette or font draws the page anew: the value labels let go of their
    // fixed sizes and backgrounds, and the next refresh fixes them again.
    const QEvent::Type type = Event->type();
    if (m_statusLabels && (type == QEvent::StyleChange || type == QEvent::PaletteChange || type == QEvent::FontChange))
        m_statusLabels->release();
    QWidget::changeEvent(Event);
}

void TfrmMain::ApplyGraphColors()
{
    // The panels' colours, or the settings' while the Settings tab is not made.
    if (!ui->Chart1)
        return;
    ui->Chart1->setLineColor(m_settingsTab->Color(SettingControl::pnlB1CLUColor));
    ui->Chart2->setLineColor(m_settingsTab->Color(SettingControl::pnlB2CLUColor));
    ui->Chart1->setBackgroundColor(m_settingsTab->Color(SettingControl::pnlB1CLUBackgroundColor));
    ui->Chart2->setBackgroundColor(m_settingsTab->Color(SettingControl::pnlB2CLUBackgroundColor));
    ui->Chart1->setGridColor(m_settingsTab->Color(SettingControl::pnlB1GridColor));
    ui->Chart2->setGridColor(m_settingsTab->Color(SettingControl::pnlB2GridColor));
    ui->Gauge1->setBarColor(m_settingsTab->Color(SettingControl::pnlB1ALUColor));
    ui->Gauge2->setBarColor(m_settingsTab->Color(SettingControl::pnlB2ALUColor));
    ui->Gauge1->setBackgroundColor(m_settingsTab->Color(SettingControl::pnlB1ALUBackgroundColor));
    ui->Gauge2->setBackgroundColor(m_settingsTab->Color(SettingControl::pnlB2ALUBackgroundColor));
}

TfrmMainControls *TfrmMain::Form()
{
    for (QWidget *page : {ui->tabGraph, ui->tabSettings, ui->tabAbout})
        makePage(page);
    return ui.get();
}

void TfrmMain::makePage(QWidget *Page)
{
    const bool made = Page == ui->tabGraph      ? ui->Chart1 != nullptr
                      : Page == ui->tabSettings ? ui->edtTelnetAddress != nullptr
                      : Page == ui->tabAbout    ? ui->Image1 != nullptr
                                                : true;
    if (made)
        return;
    if (Page == ui->tabGraph)
        makeGraphPage();
    else if (Page == ui->tabSettings)
        makeSettingsPage();
    else
        makeAboutPage();
    // Children made in a page on screen wait for the event loop to show themselves; shown now,
    // the page's first paint has them.
    if (Page->isVisible())
        for (QWidget *child : Page->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (!(child->isHidden() && child->testAttribute(Qt::WA_WState_ExplicitShowHide)))
                child->show();
    growToFit();
}

void TfrmMain::makeGraphPage()
{
    ui->Ui::TGraphPage::setupUi(ui->tabGraph);
    ui->Chart1->setHistory(&Monitor.Series1);
    ui->Chart2->setHistory(&Monitor.Series2);
    // The gauges stand as tall as their graphs.
    for (TGauge *gauge : {ui->Gauge1, ui->Gauge2}) {
        gauge->setMaximumHeight(QWIDGETSIZE_MAX);
        gauge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        ui->gridGraph->setAlignment(gauge, Qt::Alignment());
    }
    ApplyGraphColors();
    ui->Gauge1->setValue(Monitor.Session.B1.ALU);
    ui->Gauge2->setValue(Monitor.Session.B2.ALU);
}

void TfrmMain::makeSettingsPage()
{
    m_settingsTab->make();
    connect(ui->btnCheckNow, &QPushButton::clicked, this, [this] { Guarded([this] { btnCheckNowClick(); }); });
    // A label that acts as a link: its clicks arrive through eventFilter.
    ui->Label38->installEventFilter(this);
    ui->Label38->setCursor(Qt::PointingHandCursor);
}

void TfrmMain::makeAboutPage()
{
    ui->Ui::TAboutPage::setupUi(ui->tabAbout);
    ui->tabAbout->ensurePolished();
    // The note wraps at a fixed width; a wrapped label in a centred layout cell would otherwise be
    // given the height of one line.
    ui->lblNote->setFixedWidth(ui->lblNote->fontMetrics().horizontalAdvance(QString(60, QLatin1Char('n'))));
    ui->lblNote->setMinimumHeight(ui->lblNote->heightForWidth(ui->lblNote->width()));
    // The badge is painted on each paint of its label (see eventFilter): no pixmap is kept for a
    // tab that is seldom open.
    ui->Image1->setFixedSize(MakerBadgeSize());
    ui->Image1->setToolTip(QString::fromLatin1(kRouterMakerSite));
    ui->lblVersion->setText(AboutVersionText(QLocale()));
    ui->lblHomePage->setText(QString::fromLatin1(kHomePage));
    // Labels that act as links: their clicks arrive through eventFilter.
    for (QLabel *label : {ui->Image1, ui->Label48, ui->lblHomePage, ui->lblLivePage, ui->lblSaveCapture})
        label->installEventFilter(this);
    showLivePageLinks();
}

void TfrmMain::showLivePageLinks()
{
    const QString url = LivePageUrl(Monitor.WebServer.WebServerSocket);
    TrayIcon->mnuOpenInBrowser->setVisible(!url.isEmpty());
    if (ui->lblLivePage) {
        ui->lblLivePage->setVisible(!url.isEmpty());
        ui->lblLivePage->setToolTip(url);
    }
}

void TfrmMain::btnConnectClick()
{
    // Reported here, while the place still says that the router connection failed.
    const TErrorPlaceScope place(TErrorPlace::RouterConnection);
    Guarded([this] { Monitor.Connect(); });
}

void TfrmMain::btnDropB1Click(QObject *Sender)
{
    Monitor.SendChannelCommand(Sender->property("Tag").toInt());
}

void TfrmMain::mnuDropB1Click(QAction *Sender)
{
    Monitor.SendChannelCommand(Sender->data().toInt());
}

void TfrmMain::ShowWindow()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void TfrmMain::showPage(QWidget *Page)
{
    ShowWindow();
    ui->PageControl1->setCurrentWidget(Page);
}

void TfrmMain::mnuStatusClick()
{
    showPage(ui->tabStatus);
}

void TfrmMain::mnuGraphClick()
{
    showPage(ui->tabGraph);
}

void TfrmMain::mnuSettingsClick()
{
    showPage(ui->tabSettings);
}

void TfrmMain::mnuAboutClick()
{
    showPage(ui->tabAbout);
}

void TfrmMain::mnuExitClick()
{
    // exit() rather than quit(): quit() first asks every window to close, and this one would
    // only hide or minimise itself. FormDestroy runs as the program unwinds.
    m_exiting = true;
    QCoreApplication::exit(0);
}

void TfrmMain::chkMaskClick()
{
    m_settingsTab->chkMaskClick();
}

void TfrmMain::chkTelnetAdminClick()
{
    m_settingsTab->chkTelnetAdminClick();
}

void TfrmMain::chkWebAdminClick()
{
    m_settingsTab->chkWebAdminClick();
}

void TfrmMain::edtWebAdminPortChange()
{
    m_settingsTab->edtWebAdminPortChange();
}

void TfrmMain::pnlB1CLUColorClick(TColorPanel *Sender)
{
    m_settingsTab->pnlB1CLUColorClick(Sender);
}

void TfrmMain::btnCheckNowClick()
{
    Monitor.CheckNow();
}

void TfrmMain::Image1Click()
{
    OpenTarget(QString::fromLatin1(kRouterMakerSite));
}

void TfrmMain::Label49Click(QLabel *Sender)
{
    OpenTarget(QStringLiteral("mailto:") + Sender->text());
}

void TfrmMain::lblHomePageClick(QLabel *Sender)
{
    OpenTarget(Sender->text());
}

void TfrmMain::mnuOpenInBrowserClick()
{
    const QString url = LivePageUrl(Monitor.WebServer.WebServerSocket);
    if (!url.isEmpty())
        OpenTarget(url);
}

void TfrmMain::mnuSaveCaptureClick()
{
    const QString path =
        m_hooks.AskCaptureFile
            ? m_hooks.AskCaptureFile()
            : QFileDialog::getSaveFileName(this, tr("Save Router Session for a Bug Report"),
                                           QDir::home().filePath(QStringLiteral("linewatch-session.capture")),
                                           tr("Router sessions (*.capture);;All files (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!m_capture.Save(path, error))
        throw EOriginError(tr("Cannot save the router session to %1: %2").arg(path, error).toStdString());
}

void TfrmMain::OpenTarget(const QString &Target)
{
    if (m_hooks.OpenTarget)
        m_hooks.OpenTarget(Target);
    else
        QDesktopServices::openUrl(QUrl(Target));
}

QString TfrmMain::PanelText(int Panel) const
{
    return Panel == 0 ? m_panel0->text() : m_panel1->text();
}

void TfrmMain::SetPanelText(int Panel, const QString &Text)
{
    (Panel == 0 ? m_panel0 : m_panel1)->setText(Text);
}

void TfrmMain::createHistoryTab()
{
    HistoryTab = new THistoryTab(ui->PageControl1);
    ui->PageControl1->insertTab(ui->PageControl1->indexOf(ui->tabGraph) + 1, HistoryTab, tr("History"));
    connect(HistoryTab, &THistoryTab::statusMessage, this, [this](const QString &Text) { SetPanelText(0, Text); });
    connect(&Monitor, &TMonitor::historyChanged, HistoryTab, &THistoryTab::scheduleRefresh);
    // The monitor opens another file, or none, at the tick after [Logging] changed.
    connect(&Monitor, &TMonitor::ticked, HistoryTab, [this] { m_settingsTab->showHistorySource(); });
}

void TfrmMain::createSettingsTab()
{
    // Only the tab's logic: its controls are made when it is first shown (makeSettingsPage).
    TSettingsTab::THooks hooks;
    hooks.ChooseColor = m_hooks.ChooseColor;
    hooks.ShowMessage = [this](const QString &Text) { SetPanelText(0, Text); };
    hooks.ApplyGraphColors = [this] { ApplyGraphColors(); };
    hooks.Changed = [this] {
        if (m_saveTimer)
            m_saveTimer->start();
    };
    m_settingsTab = std::make_unique<TSettingsTab>(*ui, Monitor, *HistoryTab, this, std::move(hooks));
}

void TfrmMain::loadSettings()
{
    // The file into the monitor's value, the value into the controls (which only show it), then
    // what the settings set going: the password field's mask, the colours, the listeners.
    Monitor.LoadSettings();
    Guarded([this] { m_settingsTab->showSettingValues(); });
    Guarded([this] { ApplyGraphColors(); });
    Monitor.ApplySettings();
    Guarded([this] { m_settingsTab->showListenerPorts(); });
}

void TfrmMain::followSettingChanges()
{
    // Every control of the Settings tab, whatever it holds: a change restarts the wait, and the
    // file is written once the user has stopped for a moment.
    m_saveTimer = new QTimer(this);
    m_saveTimer->setSingleShot(true);
    m_saveTimer->setInterval(kSettingsSaveDelayMs);
    connect(m_saveTimer, &QTimer::timeout, this, [this] { saveSettingsNow(); });
    // The Settings tab's controls start the wait once the tab is made (makeSettingsPage).
}

void TfrmMain::saveSettingsNow()
{
    if (m_destroyed)
        return;
    // Nobody asked for this save, so its failure raises no box: the status bar and the log say
    // it once. The save at the program's end reports as before.
    std::string failure;
    try {
        QDir().mkpath(QString::fromStdString(Monitor.AppDir()));
        CopySettings(*m_settingsTab, Monitor.Settings);
        const TSpareDescriptor spare;
        Monitor.SaveSettings();
        saveWindowPlace();
    } catch (const std::exception &e) {
        failure = e.what();
    } catch (...) {
        failure = "Unknown error";
    }
    if (failure.empty()) {
        m_saveFailureTold = false;
    } else if (!m_saveFailureTold) {
        m_saveFailureTold = true;
        const std::string text = "Settings not saved: " + failure;
        SetPanelText(0, tr("Settings not saved: %1").arg(MessageToDisplayText(failure)));
        WriteLogLine(text);
    }
    emit settingsSaved(failure.empty());
}
