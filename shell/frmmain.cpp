// The main window; see frmmain.h. The design's controls come from frmmain.ui and the lazy tabs'
// *page.ui; every handler is connected here by hand and runs inside Guarded, so no exception ever
// reaches the event loop.
// The window follows the monitor's signals and keeps the monitor's settings value in step with
// the Settings tab's controls.
#include "frmmain.h"

#include "frmmaincontrols.h"

#include "apperror.h"
#include "colorpanel.h"
#include "errorbox.h"
#include "fdreserve.h"
#include "frmnewversion.h"
#include "gauge.h"
#include "historytab.h"
#include "inifile.h"
#include "notifier.h"
#include "programicon.h"
#include "statuslabels.h"
#include "trayicon.h"

#include <QAction>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <limits>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

// The window's size and place, after the documented sections.
const std::string kWindowSection = "Window";

// Calls each caller-ID list shows; the oldest give way (a month of calls at the desk).
constexpr int kCallerIdListLimit = 1000;

QString fromBytes(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

std::string toBytes(const QString &text)
{
    return text.toLatin1().toStdString();
}

} // namespace

TfrmMain::TfrmMain(THooks Hooks, QWidget *Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<TfrmMainControls>()), m_hooks(std::move(Hooks)),
      Monitor(TMonitor::THooks{m_hooks.StartConnect, m_hooks.FetchVersionFile, std::nullopt})
{
    ui->Ui::TfrmMain::setupUi(this);
    m_statusLabels = std::make_unique<TStatusLabels>(*ui, this);
    setWindowIcon(ProgramIcon());
    ui->PageControl1->setCurrentWidget(ui->tabStatus);
    connect(ui->PageControl1, &QTabWidget::currentChanged, this,
            [this](int Index) { Guarded([this, Index] { makePage(ui->PageControl1->widget(Index)); }); });
    createStatusBar();
    createTray();
    createHistoryTab();
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
    m_panel1->setMinimumWidth(m_panel1->fontMetrics().horizontalAdvance(tr("Not Connected")) + 8);
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
        SetPanelText(1, Connected ? tr("Connected") : tr("Not Connected"));
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
    });
    // The history's report shares the panel the same way: its "over" empties only its own text.
    connect(&Monitor, &TMonitor::historyProblem, this, [this, shown = QString()](const QString &Text) mutable {
        if (!Text.isEmpty() || PanelText(0) == shown)
            SetPanelText(0, Text);
        shown = Text;
    });
    connect(&Monitor, &TMonitor::checkNowEnabled, this, [this](bool Enabled) {
        m_checkNowEnabled = Enabled;
        if (ui->btnCheckNow)
            ui->btnCheckNow->setEnabled(Enabled);
    });
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

void TfrmMain::connectHandlers()
{
    connect(ui->btnConnect, &QPushButton::clicked, this, [this] { Guarded([this] { btnConnectClick(); }); });
    for (QPushButton *button : {ui->btnDropB1, ui->btnDropB2, ui->btnDropAll, ui->btnReset})
        connect(button, &QPushButton::clicked, this,
                [this, button] { Guarded([this, button] { btnDropB1Click(button); }); });
}

void TfrmMain::connectSettingsHandlers()
{
    // A check box's handler runs on every change of its state, the user's or the code's; the
    // settings loader goes through SetChecked, which runs it unguarded so failures reach it.
    connect(ui->chkMask, &QCheckBox::toggled, this, [this] { Guarded([this] { chkMaskClick(); }); });
    connect(ui->chkTelnetAdmin, &QCheckBox::toggled, this, [this] { Guarded([this] { chkTelnetAdminClick(); }); });
    connect(ui->chkWebAdmin, &QCheckBox::toggled, this, [this] { Guarded([this] { chkWebAdminClick(); }); });
    connect(ui->edtWebAdminPort, &QLineEdit::textChanged, this,
            [this] { Guarded([this] { edtWebAdminPortChange(); }); });

    for (TColorPanel *panel : {ui->pnlB1CLUColor, ui->pnlB2CLUColor, ui->pnlB1CLUBackgroundColor,
                               ui->pnlB2CLUBackgroundColor, ui->pnlB1GridColor, ui->pnlB2GridColor, ui->pnlB1ALUColor,
                               ui->pnlB2ALUColor, ui->pnlB1ALUBackgroundColor, ui->pnlB2ALUBackgroundColor})
        connect(panel, &TColorPanel::clicked, this,
                [this, panel] { Guarded([this, panel] { pnlB1CLUColorClick(panel); }); });

    connect(ui->edtTelnetAddress, &QLineEdit::editingFinished, this,
            [this] { Guarded([this] { checkRouterAddress(); }); });

    connect(ui->btnCheckNow, &QPushButton::clicked, this, [this] { Guarded([this] { btnCheckNowClick(); }); });

    // A label that acts as a link: its clicks arrive through eventFilter.
    ui->Label38->installEventFilter(this);
    ui->Label38->setCursor(Qt::PointingHandCursor);
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

void TfrmMain::reserveSettingsWidths()
{
    ui->tabSettings->ensurePolished();
    // Edit boxes as wide as the longest sensible entry, so the Settings tab stays compact.
    const auto editWidth = [](QLineEdit *edit, const QString &sample) {
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(sample) + 16);
    };
    for (QLineEdit *edit :
         {ui->edtTelnetPort, ui->edtTelnetAdminPort, ui->edtWebAdminPort, ui->edtWebAutoRefreshSeconds})
        editWidth(edit, QStringLiteral("000000"));
    editWidth(ui->edtTelnetAddress, QStringLiteral("255.255.255.255"));
    ui->edtPassword->setFixedWidth(ui->edtTelnetAddress->width());
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
            Monitor.SetDataDirectory(m_hooks.DataDir, Monitor.AppDir() == programDir + "/");
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
        if (Checked(SettingControl::chkConnectAtStartup))
            btnConnectClick();
    });
    Guarded([this] {
        if (Checked(SettingControl::chkCheckForUpdates))
            btnCheckNowClick();
    });
}

std::string DefaultSettingsDirectory()
{
    const QString exeDir = QCoreApplication::applicationDirPath();
    const QFileInfo dirInfo(exeDir);
    const bool iniThere = QFileInfo::exists(QDir(exeDir).filePath(QString::fromLatin1(kSettingsFileName)));
    const QString configDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    return SettingsDirectory(QDir(exeDir).absolutePath().toStdString() + "/", dirInfo.isWritable(), iniThere,
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
        CopySettings(*this, Monitor.Settings);
        const TSpareDescriptor spare; // a flood of connections cannot make the save fail
        Monitor.SaveSettings();
        saveWindowPlace();
        m_settingsSaveFailed = false;
    });
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
    // 1. Tray picture and tip.
    TrayIcon->setPicture(Monitor.TrayPicture());
    TrayIcon->setTip(fromBytes(Monitor.TrayTipText()));

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
    ui->Chart1->setLineColor(Color(SettingControl::pnlB1CLUColor));
    ui->Chart2->setLineColor(Color(SettingControl::pnlB2CLUColor));
    ui->Chart1->setBackgroundColor(Color(SettingControl::pnlB1CLUBackgroundColor));
    ui->Chart2->setBackgroundColor(Color(SettingControl::pnlB2CLUBackgroundColor));
    ui->Chart1->setGridColor(Color(SettingControl::pnlB1GridColor));
    ui->Chart2->setGridColor(Color(SettingControl::pnlB2GridColor));
    ui->Gauge1->setBarColor(Color(SettingControl::pnlB1ALUColor));
    ui->Gauge2->setBarColor(Color(SettingControl::pnlB2ALUColor));
    ui->Gauge1->setBackgroundColor(Color(SettingControl::pnlB1ALUBackgroundColor));
    ui->Gauge2->setBackgroundColor(Color(SettingControl::pnlB2ALUBackgroundColor));
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
    ui->Ui::TSettingsPage::setupUi(ui->tabSettings);
    reserveSettingsWidths();
    // The monitor's settings into the controls first, as loadSettings shows them; then every
    // change of them is followed.
    Guarded([this] { showSettingValues(); });
    showPortsEditable();
    ui->btnCheckNow->setEnabled(m_checkNowEnabled);
    followSettingControls();
    followAlertControls();
    followLoggingControls();
    connectSettingsHandlers();
    // Every control of the tab, whatever it holds: a change restarts the save's wait.
    m_routerAddress = ui->edtTelnetAddress->text();
    const auto changed = [this] { m_saveTimer->start(); };
    for (QLineEdit *edit : ui->tabSettings->findChildren<QLineEdit *>())
        connect(edit, &QLineEdit::textChanged, m_saveTimer, changed);
    for (QAbstractButton *button : ui->tabSettings->findChildren<QAbstractButton *>())
        if (button->isCheckable())
            connect(button, &QAbstractButton::toggled, m_saveTimer, changed);
    for (QSpinBox *box : ui->tabSettings->findChildren<QSpinBox *>())
        connect(box, &QSpinBox::valueChanged, m_saveTimer, changed);
    for (QComboBox *box : ui->tabSettings->findChildren<QComboBox *>())
        connect(box, &QComboBox::currentIndexChanged, m_saveTimer, changed);
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
    ui->lblVersion->setText(QString::fromLatin1(ThisVersionCaption));
    ui->lblHomePage->setText(QString::fromLatin1(kHomePage));
    // Labels that act as links: their clicks arrive through eventFilter.
    for (QLabel *label : {ui->Image1, ui->Label48, ui->lblHomePage})
        label->installEventFilter(this);
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
    if (ui->chkMask->isChecked()) {
        ui->edtPassword->setEchoMode(QLineEdit::Password);
    } else {
        // Unmasking never reveals a password: the field is emptied first.
        ui->edtPassword->clear();
        ui->edtPassword->setEchoMode(QLineEdit::Normal);
    }
}

void TfrmMain::chkTelnetAdminClick()
{
    m_telnetAdminPortEditable = Monitor.SetTelnetAdmin(ui->chkTelnetAdmin->isChecked());
    ui->edtTelnetAdminPort->setEnabled(m_telnetAdminPortEditable);
}

void TfrmMain::chkWebAdminClick()
{
    m_webAdminPortEditable = Monitor.SetWebAdmin(ui->chkWebAdmin->isChecked());
    ui->edtWebAdminPort->setEnabled(m_webAdminPortEditable);
}

void TfrmMain::edtWebAdminPortChange()
{
    Monitor.SetWebAdminPort(toBytes(ui->edtWebAdminPort->text()));
}

void TfrmMain::pnlB1CLUColorClick(TColorPanel *Sender)
{
    uint32_t color = Sender->color();
    bool confirmed = false;
    if (m_hooks.ChooseColor) {
        confirmed = m_hooks.ChooseColor(color);
    } else {
        const QColor chosen = QColorDialog::getColor(ColorFromBGR(color), this);
        confirmed = chosen.isValid();
        if (confirmed)
            color = ColorToBGR(chosen);
    }
    if (confirmed) {
        Sender->setColor(color);
        CopySettings(*this, Monitor.Settings);
        if (m_saveTimer)
            m_saveTimer->start();
    }
    ApplyGraphColors();
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

namespace {

struct TSettingWidgets
{
    QLineEdit *Edit = nullptr;
    QCheckBox *Check = nullptr;
    TColorPanel *Panel = nullptr;
};

// The controls in SettingControl's order; all null while the Settings tab is not made, and then
// the settings value stands in for them.
TSettingWidgets settingWidgets(const TfrmMainControls &ui, SettingControl Control)
{
    const std::array<TSettingWidgets, kSettingControlCount> widgets{{
        {ui.edtTelnetAddress},
        {ui.edtTelnetPort},
        {nullptr, ui.chkMask},
        {nullptr, ui.chkRememberPassword},
        {ui.edtPassword},
        {nullptr, ui.chkConnectAtStartup},
        {nullptr, ui.chkCheckForUpdates},
        {nullptr, ui.chkShowStatus},
        {ui.edtTelnetAdminPort},
        {nullptr, ui.chkTelnetAdmin},
        {ui.edtWebAdminPort},
        {nullptr, ui.chkWebAdmin},
        {ui.edtWebAutoRefreshSeconds},
        {nullptr, ui.chkWebAutoRefresh},
        {nullptr, nullptr, ui.pnlB1CLUColor},
        {nullptr, nullptr, ui.pnlB2CLUColor},
        {nullptr, nullptr, ui.pnlB1CLUBackgroundColor},
        {nullptr, nullptr, ui.pnlB2CLUBackgroundColor},
        {nullptr, nullptr, ui.pnlB1GridColor},
        {nullptr, nullptr, ui.pnlB2GridColor},
        {nullptr, nullptr, ui.pnlB1ALUColor},
        {nullptr, nullptr, ui.pnlB2ALUColor},
        {nullptr, nullptr, ui.pnlB1ALUBackgroundColor},
        {nullptr, nullptr, ui.pnlB2ALUBackgroundColor},
    }};
    return widgets[std::size_t(Control)];
}

} // namespace

std::string TfrmMain::Text(SettingControl Control) const
{
    if (!ui->edtTelnetAddress)
        return Monitor.Settings.Text(Control);
    const TSettingWidgets w = settingWidgets(*ui, Control);
    return w.Edit ? toBytes(w.Edit->text()) : std::string();
}

void TfrmMain::SetText(SettingControl Control, const std::string &Value)
{
    const TSettingWidgets w = settingWidgets(*ui, Control);
    const QString text = fromBytes(Value);
    if (!w.Edit || w.Edit->text() == text)
        return;
    const QSignalBlocker blocker(w.Edit);
    w.Edit->setText(text);
}

bool TfrmMain::Checked(SettingControl Control) const
{
    if (!ui->edtTelnetAddress)
        return Monitor.Settings.Checked(Control);
    const TSettingWidgets w = settingWidgets(*ui, Control);
    return w.Check && w.Check->isChecked();
}

void TfrmMain::SetChecked(SettingControl Control, bool Value)
{
    const TSettingWidgets w = settingWidgets(*ui, Control);
    if (!w.Check || w.Check->isChecked() == Value)
        return;
    const QSignalBlocker blocker(w.Check);
    w.Check->setChecked(Value);
}

uint32_t TfrmMain::Color(SettingControl Control) const
{
    if (!ui->edtTelnetAddress)
        return Monitor.Settings.Color(Control);
    const TSettingWidgets w = settingWidgets(*ui, Control);
    return w.Panel ? w.Panel->color() : 0;
}

void TfrmMain::SetColor(SettingControl Control, uint32_t Value)
{
    const TSettingWidgets w = settingWidgets(*ui, Control);
    if (w.Panel)
        w.Panel->setColor(Value);
}

void TfrmMain::followSettingControls()
{
    // Every change of a setting's control reaches the monitor's value; connected before the
    // handlers, so it is there before a handler runs.
    for (std::size_t k = 0; k < kSettingControlCount; ++k) {
        const auto control = SettingControl(k);
        const TSettingWidgets w = settingWidgets(*ui, control);
        if (w.Edit)
            connect(w.Edit, &QLineEdit::textChanged, this,
                    [this, control] { Monitor.Settings.SetText(control, Text(control)); });
        if (w.Check)
            connect(w.Check, &QCheckBox::toggled, this,
                    [this, control] { Monitor.Settings.SetChecked(control, Checked(control)); });
    }
}

void TfrmMain::showAlertSettings()
{
    const TAlertSettings a = Monitor.Settings.Alerts;
    ui->chkAlertIncomingCall->setChecked(a.IncomingCall);
    ui->chkAlertConnection->setChecked(a.Connection);
    ui->chkAlertChannelDropped->setChecked(a.ChannelDropped);
    ui->chkAlertLongDataCall->setChecked(a.LongDataCall);
    ui->spnAlertLongDataCallMinutes->setValue(a.LongDataCallMinutes);
    ui->chkAlertOutcall->setChecked(a.Outcall);
    ui->spnAlertOutcallMinutes->setValue(a.OutcallMinutes);
    ui->chkAlertNoStatus->setChecked(a.NoStatus);
    ui->spnAlertNoStatusSeconds->setValue(a.NoStatusSeconds);
    ui->edtAlertCommand->setText(QString::fromLocal8Bit(a.Command.data(), qsizetype(a.Command.size())));
    // A threshold the spin box could not hold stays as loaded until the user changes it.
    Monitor.Settings.Alerts = a;
    ui->chkReconnect->setChecked(Monitor.Settings.ReconnectEnabled);
}

void TfrmMain::followAlertControls()
{
    TAlertSettings &a = Monitor.Settings.Alerts;
    const auto flag = [this](QCheckBox *Check, bool &Field, QWidget *Threshold) {
        connect(Check, &QCheckBox::toggled, this, [&Field, Threshold](bool On) {
            Field = On;
            if (Threshold)
                Threshold->setEnabled(On);
        });
        if (Threshold)
            Threshold->setEnabled(Check->isChecked());
    };
    flag(ui->chkAlertIncomingCall, a.IncomingCall, nullptr);
    flag(ui->chkAlertConnection, a.Connection, nullptr);
    flag(ui->chkAlertChannelDropped, a.ChannelDropped, nullptr);
    flag(ui->chkAlertLongDataCall, a.LongDataCall, ui->spnAlertLongDataCallMinutes);
    flag(ui->chkAlertOutcall, a.Outcall, ui->spnAlertOutcallMinutes);
    flag(ui->chkAlertNoStatus, a.NoStatus, ui->spnAlertNoStatusSeconds);
    const auto number = [this](QSpinBox *Spin, int32_t &Field) {
        connect(Spin, &QSpinBox::valueChanged, this, [&Field](int Value) { Field = Value; });
    };
    number(ui->spnAlertLongDataCallMinutes, a.LongDataCallMinutes);
    number(ui->spnAlertOutcallMinutes, a.OutcallMinutes);
    number(ui->spnAlertNoStatusSeconds, a.NoStatusSeconds);
    connect(ui->edtAlertCommand, &QLineEdit::textChanged, this,
            [&a](const QString &Text) { a.Command = Text.toLocal8Bit().toStdString(); });
    // Unticked during a wait, the wait ends at once.
    ui->chkReconnect->setChecked(Monitor.Settings.ReconnectEnabled);
    connect(ui->chkReconnect, &QCheckBox::toggled, this, [this](bool On) { Monitor.SetReconnectEnabled(On); });
}

void TfrmMain::createHistoryTab()
{
    HistoryTab = new THistoryTab(ui->PageControl1);
    ui->PageControl1->insertTab(ui->PageControl1->indexOf(ui->tabGraph) + 1, HistoryTab, tr("History"));
    connect(HistoryTab, &THistoryTab::statusMessage, this, [this](const QString &Text) { SetPanelText(0, Text); });
    connect(&Monitor, &TMonitor::historyChanged, HistoryTab, &THistoryTab::scheduleRefresh);
    // The monitor opens another file, or none, at the tick after [Logging] changed.
    connect(&Monitor, &TMonitor::ticked, HistoryTab, [this] { showHistorySource(); });
}

void TfrmMain::showLoggingSettings()
{
    const TLoggingSettings l = Monitor.Settings.Logging;
    ui->chkLoggingEnabled->setChecked(l.Enabled);
    ui->edtLoggingDatabase->setText(QString::fromStdString(l.Database));
    ui->spnLoggingRetentionDays->setValue(l.RetentionDays);
    Monitor.Settings.Logging = l;
    showHistorySource();
}

void TfrmMain::followLoggingControls()
{
    TLoggingSettings &l = Monitor.Settings.Logging;
    connect(ui->chkLoggingEnabled, &QCheckBox::toggled, this, [this, &l](bool On) {
        l.Enabled = On;
        showHistorySource();
    });
    connect(ui->edtLoggingDatabase, &QLineEdit::textChanged, this, [this, &l](const QString &Text) {
        l.Database = Text.toStdString();
        showHistorySource();
    });
    connect(ui->spnLoggingRetentionDays, &QSpinBox::valueChanged, this, [&l](int Days) { l.RetentionDays = Days; });
    connect(ui->btnLoggingBrowse, &QToolButton::clicked, this, [this] {
        Guarded([this] {
            // The file need not exist yet: the monitor makes it.
            const QString file = QFileDialog::getSaveFileName(
                this, tr("Call History Database"), Monitor.HistoryDatabasePath(),
                tr("SQLite databases (*.sqlite *.db);;All files (*)"), nullptr, QFileDialog::DontConfirmOverwrite);
            if (!file.isEmpty())
                ui->edtLoggingDatabase->setText(file);
        });
    });
}

void TfrmMain::showHistorySource()
{
    HistoryTab->setDatabase(Monitor.HistoryDatabasePath(), Monitor.Settings.Logging.Enabled);
}

void TfrmMain::loadSettings()
{
    // The file into the monitor's value, the value into the controls (which only show it), then
    // what the settings set going: the password field's mask, the colours, the listeners.
    Monitor.LoadSettings();
    Guarded([this] { showSettingValues(); });
    Guarded([this] { ApplyGraphColors(); });
    Monitor.ApplySettings();
    Guarded([this] {
        m_telnetAdminPortEditable = !Checked(SettingControl::chkTelnetAdmin);
        m_webAdminPortEditable = !Monitor.WebServer.WebServerSocket.Active();
        showPortsEditable();
    });
}

void TfrmMain::showSettingValues()
{
    // Without the Settings tab only the History tab follows the settings.
    if (!ui->edtTelnetAddress) {
        showHistorySource();
        return;
    }
    CopySettings(Monitor.Settings, *this);
    showAlertSettings();
    showLoggingSettings();
    ui->edtPassword->setEchoMode(ui->chkMask->isChecked() ? QLineEdit::Password : QLineEdit::Normal);
}

void TfrmMain::showPortsEditable()
{
    if (!ui->edtTelnetAdminPort)
        return;
    ui->edtTelnetAdminPort->setEnabled(m_telnetAdminPortEditable);
    ui->edtWebAdminPort->setEnabled(m_webAdminPortEditable);
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

void TfrmMain::checkRouterAddress()
{
    // The connection takes dotted IPv4 only and looks no name up: a name is refused here, where
    // it was typed, rather than by an error box at the next Connect.
    const QString text = ui->edtTelnetAddress->text();
    in_addr address{};
    if (text.isEmpty() || ::inet_pton(AF_INET, text.toLatin1().constData(), &address) == 1) {
        m_routerAddress = text;
        return;
    }
    ui->edtTelnetAddress->setText(m_routerAddress);
    SetPanelText(0, tr("'%1' is not an IPv4 address: type the router's address as four numbers, such as "
                       "192.168.0.1.")
                        .arg(text));
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
        CopySettings(*this, Monitor.Settings);
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
