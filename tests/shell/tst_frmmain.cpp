// SPDX-License-Identifier: MIT
// The main window driven as the user and the router would: console bytes fed to the session,
// refresh ticks run by hand, clicks on the design's controls. Nothing here touches the network
// except a fake router on 127.0.0.1; the update check's fetch and the desktop's link handler are
// replaced so no test leaves the machine.
#include "apperror.h"
#include "capture.h"
#include "colorpanel.h"
#include "errorbox.h"
#include "frmmain.h"
#include "frmmaincontrols.h"
#include "gauge.h"
#include "historytab.h"
#include "pagefit.h"
#include "programicon.h"
#include "routerscreens.h"
#include "trayicon.h"
#include "usagechart.h"

#include <QAction>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Counts the paint events each watched widget receives: what a new figure costs on screen.
class TPaintCounter : public QObject
{
public:
    explicit TPaintCounter(std::initializer_list<QWidget *> widgets)
    {
        for (QWidget *w : widgets) {
            w->installEventFilter(this);
            m_counts[w] = 0;
        }
    }

    int count(QWidget *w) const { return m_counts.at(w); }

    void clear()
    {
        for (auto &entry : m_counts)
            entry.second = 0;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            auto it = m_counts.find(watched);
            if (it != m_counts.end())
                ++it->second;
        }
        return false;
    }

private:
    std::map<QObject *, int> m_counts;
};

// Lets the window finish what the last change asked for: layout passes, then the repaint.
void settle()
{
    QCoreApplication::processEvents();
    QTest::qWait(20);
    QCoreApplication::processEvents();
}

// One window per test, with its own directory and with every way out of the machine stubbed.
struct TFixture
{
    QTemporaryDir dir;
    std::vector<std::string> errors;
    std::vector<QString> opened;
    int fetches = 0;
    ErrorReporter previousReporter;
    std::unique_ptr<TfrmMain> window;

    explicit TFixture(TfrmMain::THooks hooks = {})
    {
        previousReporter = SetErrorReporter([this](const std::string &message) { errors.push_back(message); });
        if (hooks.AppDir.empty())
            hooks.AppDir = dir.path().toStdString() + "/";
        if (!hooks.OpenTarget)
            hooks.OpenTarget = [this](const QString &target) { opened.push_back(target); };
        if (!hooks.FetchVersionFile)
            hooks.FetchVersionFile = [this](const std::string &) -> std::string {
                ++fetches;
                throw std::runtime_error("Connection Failed");
            };
        if (!hooks.TrayAvailable)
            hooks.TrayAvailable = [] { return true; };
        if (!hooks.StartConnect)
            hooks.StartConnect = [](TClientSocket &) { throw std::logic_error("no connection expected"); };
        window = std::make_unique<TfrmMain>(std::move(hooks));
    }

    ~TFixture()
    {
        window.reset();
        SetErrorReporter(previousReporter);
    }

    void writeFile(const char *name, const std::string &text)
    {
        QFile file(QDir(dir.path()).filePath(QString::fromLatin1(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.data(), qint64(text.size()));
    }

    TfrmMainControls &ui() { return *window->Form(); }

    // Shown in the top left corner: the offscreen screen is small, and simulated clicks only
    // reach the parts of the window that lie on it.
    void show()
    {
        window->show();
        window->move(0, 0);
    }
};

} // namespace

class TestFrmMain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void labelsShowParsedStatusScreen();
    void hiddenWindowFreezesOnlyTheLabels();
    void fullPassWhileShown();
    void resetReadsServiceNamesAfresh();
    void pageShowsTheWindowsFigures_data();
    void pageShowsTheWindowsFigures();
    void germanWindowMixedSeparators_data();
    void germanWindowMixedSeparators();
    void versionTextsAgree_data();
    void versionTextsAgree();
    void trayPictureFollowsChannels();
    void callerIdListsGrowWithUptime();
    void colourPanelChoice();
    void connectWithDefaultsTargetsRouterDefaults();
    void channelButtonsSendTheirTags();
    void rejectedPasswordStillSaidConnected();
    void savedSessionHoldsRouterBytesNotPassword();
    void loadingSettingsOpensListenersAndMasks();
    void alertsGroupFollowsTheAlertsSection();
    void loggingGroupFollowsTheLoggingSection();
    void mqttGroupFollowsTheMqttSection();
    void foreignSettingsFileConnectedToDefaultRouter_data();
    void foreignSettingsFileConnectedToDefaultRouter();
    void startupConnectsThenChecksBeforeShowing();
    void startConnectFailureOpenedBox_data();
    void startConnectFailureOpenedBox();
    void closeHidesAndExitSavesThenRemovesTray();
    void ctrlQRunsExit();
    void failedSaveStillRemovesTray();
    void changesSavedOnceAfterABurst();
    void routerNameRefusedWhereTyped();
    void resizedWindowGrowsGraphsAndComesBackSo();
    void linksOpenTheirTargets();
    void liveEntryOnlyWhileWebPageOn();
    void errorBoxShowsOneAtATime();
    void errorBoxCaptionFitsAndDetailShows();
    void checkNowFetchesFromLoopbackServer();
    void everyTextFitsWithLongestFigures();
    void newFigureRepaintsOnlyItsLabel();
    void opaqueLabelsLookTheSame();
    void unopenedTabsHeldMemoryFromStart();
    void windowInTrayHeldItsPixels();
};

void TestFrmMain::labelsShowParsedStatusScreen()
{
    TFixture f;
    f.writeFile("services.ini", "[tcp]\r\n25=smtp\r\n");
    f.show();
    // Router text is data: markup in the router's name must reach the label as characters.
    f.window->Monitor.Session.ProcessConsoleData(systemInfoScreen("<b>R</b>"));
    TChannelRow b1;
    TChannelRow b2;
    b2.link = "Idle";
    b2.speed = "0";
    b2.tx = "12345678901";
    b2.clu = "0";
    b2.alu = "0";
    f.window->Monitor.Session.ProcessConsoleData(statusScreen(b1, b2));
    f.window->RefreshStatus();

    TfrmMainControls &ui = f.ui();
    QCOMPARE(ui.lblB1Link->text(), QStringLiteral("64K/Sync"));
    QCOMPARE(ui.lblB1Speed->text(), QStringLiteral("64Kbps"));
    QCOMPARE(ui.lblB1TX->text(), QStringLiteral("1,234,567"));
    QCOMPARE(ui.lblB1RX->text(), QStringLiteral("7,654,321"));
    QCOMPARE(ui.lblB1Errors->text(), QStringLiteral("3"));
    QCOMPARE(ui.lblB1CLU->text(), QStringLiteral("50%  (3.91KB/s)"));
    QCOMPARE(ui.lblB1ALU->text(), QStringLiteral("25%  (1.95KB/s)"));
    QCOMPARE(ui.lblB1UpTime->text(), QStringLiteral("1:02:03"));
    QCOMPARE(ui.lblB1IP->text(), QStringLiteral("10.0.0.1"));
    QCOMPARE(ui.lblB2Link->text(), QStringLiteral("Idle"));
    QCOMPARE(ui.lblB2TX->text(), QStringLiteral("12,345,678,901")); // past 2^31
    QCOMPARE(ui.lblB2IP->text(), QStringLiteral("10.0.0.2"));
    QCOMPARE(ui.lblLANStatus->text(), QStringLiteral("10M/Full Duplex"));
    QCOMPARE(ui.lblLANSent->text(), QStringLiteral("1,000"));
    QCOMPARE(ui.lblLANCollisions->text(), QStringLiteral("3"));
    QCOMPARE(ui.lblTotalOutcallTime->text(), QStringLiteral("12:34:56"));
    QCOMPARE(ui.lblTriggerSrc->text(), QStringLiteral("192.168.1.2:1025"));
    QCOMPARE(ui.lblTriggerDest->text(), QStringLiteral("10.1.2.3:25 [smtp]"));
    QCOMPARE(ui.lblName->text(), QStringLiteral("<b>R</b>"));
    QCOMPARE(ui.lblName->textFormat(), Qt::PlainText);
    QCOMPARE(ui.lblFirmware->text(), QStringLiteral("V2.50(AB.1)"));
    QVERIFY(f.errors.empty());
}

void TestFrmMain::hiddenWindowFreezesOnlyTheLabels()
{
    TFixture f;
    f.show();
    f.window->Monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
    f.window->RefreshStatus();
    f.window->hide();

    TChannelStatus &B1 = f.window->Monitor.Session.B1;
    B1.Link = "Voice";
    B1.CLU = 80;
    B1.ALU = 70;
    B1.CLID = "5551234";
    f.window->RefreshStatus();

    TfrmMainControls &ui = f.ui();
    QCOMPARE(ui.lblB1Link->text(), QStringLiteral("64K/Sync"));
    QCOMPARE(ui.lblB1CLU->text(), QStringLiteral("50%  (3.91KB/s)"));
    QVERIFY(f.window->TrayIcon->tip().contains(QStringLiteral("B1[Voice 80%]")));
    QCOMPARE(ui.Gauge1->value(), 70);
    QCOMPARE(ui.listB1CLID->count(), 1);

    // The labels catch up at the first tick after the window is shown again.
    f.show();
    f.window->RefreshStatus();
    QCOMPARE(ui.lblB1Link->text(), QStringLiteral("Voice"));
    QCOMPARE(ui.lblB1CLU->text(), QStringLiteral("80%  (6.25KB/s)"));
}

void TestFrmMain::fullPassWhileShown()
{
    // Hidden: only what the tray and the caller-ID lists need is read; shown, every field.
    TFixture f;
    TfrmMain &w = *f.window;
    w.Monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
    QCOMPARE(w.Monitor.Session.B1.CLU, 50);
    QCOMPARE(w.Monitor.Session.B1.TX, int64_t(0));
    f.show();
    w.Monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
    QCOMPARE(w.Monitor.Session.B1.TX, int64_t(1234567));
    QVERIFY(f.errors.empty());
}

void TestFrmMain::resetReadsServiceNamesAfresh()
{
    TFixture f;
    f.show();
    f.window->RefreshStatus();
    QCOMPARE(f.ui().lblTriggerDest->text(), QStringLiteral("0.0.0.0:0 [?]"));

    // The user adds a name for port 0; the cache still holds "?" for the same port until the
    // record is reset, as a disconnection does.
    f.writeFile("services.ini", "[tcp]\r\n0=none\r\n");
    f.window->RefreshStatus();
    QCOMPARE(f.ui().lblTriggerDest->text(), QStringLiteral("0.0.0.0:0 [?]"));
    f.window->Monitor.Session.sktBrelwickDisconnect(nullptr, nullptr);
    f.window->RefreshStatus();
    QCOMPARE(f.ui().lblTriggerDest->text(), QStringLiteral("0.0.0.0:0 [none]"));
}

void TestFrmMain::pageShowsTheWindowsFigures_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("usage");
    QTest::newRow("point") << QLocale::c() << QStringLiteral("50%  (3.91KB/s)");
    // Regression: the page wrote the point while the labels showed the user's comma.
    QTest::newRow("comma") << QLocale(QLocale::German, QLocale::Germany) << QStringLiteral("50%  (3,91KB/s)");
    // A separator outside the page's 8-bit character set: the label keeps it all the same.
    QTest::newRow("arabic") << QLocale(QLocale::Arabic, QLocale::Egypt) << QString();
}

void TestFrmMain::pageShowsTheWindowsFigures()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, usage);
    QLocale::setDefault(locale);
    const auto restore = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });
    TFixture f;
    f.show();
    f.window->Monitor.Session.ProcessConsoleData(systemInfoScreen("office-gw"));
    f.window->Monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
    f.window->RefreshStatus();
    const QString page = QString::fromLatin1(f.window->Monitor.WebServer.StatusPage());

    TfrmMainControls &ui = f.ui();
    if (usage.isEmpty()) {
        QVERIFY(ui.lblB1CLU->text().contains(locale.decimalPoint()));
        return;
    }
    QCOMPARE(ui.lblB1CLU->text(), usage);
    // Each figure the window shows stands in a cell of the page, as the window shows it.
    for (QLabel *label :
         {ui.lblB1Speed, ui.lblB1TX, ui.lblB1RX, ui.lblB1Errors, ui.lblB1CLU, ui.lblB1ALU, ui.lblB1UpTime, ui.lblB1IP,
          ui.lblB2CLU, ui.lblB2ALU, ui.lblLANStatus, ui.lblLANSent, ui.lblLANReceived, ui.lblLANCollisions,
          ui.lblTotalOutcallTime, ui.lblTriggerSrc, ui.lblTriggerDest})
        QVERIFY2(page.contains(QLatin1Char('>') + label->text() + QStringLiteral("</td>")),
                 qPrintable(label->objectName() + QStringLiteral(": ") + label->text()));
}

void TestFrmMain::germanWindowMixedSeparators_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("tx");
    QTest::addColumn<QString>("usage");
    QTest::addColumn<QString>("version");
    // German grouped with the English comma beside its own decimal comma: 178,451 read as 178.
    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "178.451"
                            << "68%  (5,31KB/s)"
                            << "1.0.1.3  16.08.00";
    QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedStates) << "178,451"
                             << "68%  (5.31KB/s)"
                             << "1.0.1.3  8/16/00";
    QTest::newRow("C") << QLocale::c() << "178,451"
                       << "68%  (5.31KB/s)"
                       << "1.0.1.3  8/16/00";
}

void TestFrmMain::germanWindowMixedSeparators()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, tx);
    QFETCH(QString, usage);
    QFETCH(QString, version);
    QLocale::setDefault(locale);
    const auto restore = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });
    TFixture f;
    f.show();
    TChannelRow b1;
    b1.tx = "178451";
    b1.clu = "68";
    f.window->Monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
    f.window->RefreshStatus();
    TfrmMainControls &ui = f.ui();
    QCOMPARE(ui.lblB1TX->text(), tx);
    QCOMPARE(ui.lblB1CLU->text(), usage);
    // The machines' documents stay as they were, whatever the locale.
    QVERIFY(f.window->Monitor.MachineAnswer(TMonitor::kMetricsPath)
                ->find("linewatch_channel_transmitted_packets_total{channel=\"B1\"} 178451\n") != std::string::npos);
    QCOMPARE(AboutVersionText(locale), version);
}

// Where the program shows its version.
enum class TVersionPlace { Caption, PageFooter, StatusJson, AboutTab, VersionCheck, VersionOption };

void TestFrmMain::versionTextsAgree_data()
{
    QTest::addColumn<int>("place");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("caption") << int(TVersionPlace::Caption) << R"(^Brelwick ISDN Router Monitor \[(.+)\]$)";
    QTest::newRow("page footer") << int(TVersionPlace::PageFooter) << R"(Brelwick Router Monitor ([^<]+)</a>)";
    QTest::newRow("/status.json") << int(TVersionPlace::StatusJson) << R"re("version":"([^"]+)")re";
    QTest::newRow("About tab") << int(TVersionPlace::AboutTab) << R"(^(\S+)  \d+/\d+/\d\d$)";
    QTest::newRow("version check") << int(TVersionPlace::VersionCheck) << R"(^(\S+)  \d+/\d+/\d\d$)";
    QTest::newRow("--version") << int(TVersionPlace::VersionOption) << R"(^linewatch (\S+)\n$)";
}

void TestFrmMain::versionTextsAgree()
{
    QFETCH(int, place);
    QFETCH(QString, pattern);
    TFixture f;
    f.show();
    QString text;
    switch (TVersionPlace(place)) {
    case TVersionPlace::Caption:
        text = f.window->windowTitle();
        break;
    case TVersionPlace::PageFooter:
        text = QString::fromStdString(f.window->Monitor.StatusPage());
        break;
    case TVersionPlace::StatusJson:
        text = QString::fromStdString(*f.window->Monitor.MachineAnswer(TMonitor::kStatusJsonPath));
        break;
    case TVersionPlace::AboutTab:
        f.ui().PageControl1->setCurrentWidget(f.ui().tabAbout);
        text = f.ui().lblVersion->text();
        break;
    case TVersionPlace::VersionCheck:
        text = QString::fromStdString(f.window->Monitor.VersionCheck.ThisVersionCaption);
        break;
    case TVersionPlace::VersionOption: {
        QProcess program;
        program.start(QStringLiteral(LW_LINEWATCH_PROGRAM), {QStringLiteral("--version")});
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitCode(), 0);
        text = QString::fromLocal8Bit(program.readAllStandardOutput());
        break;
    }
    }
    const QRegularExpressionMatch match = QRegularExpression(pattern).match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text.left(2000)));
    QCOMPARE(match.captured(1), QStringLiteral(LW_PROJECT_VERSION));
}

void TestFrmMain::trayPictureFollowsChannels()
{
    // The tray shows the monitor's picture and tip from the start and after each tick.
    TFixture f;
    QCOMPARE(f.window->TrayIcon->picture(), 38);
    QCOMPARE(f.window->TrayIcon->tip(), QStringLiteral("B1[No Data] B2[No Data]"));
    f.window->Monitor.Session.B1.Link = "Down";
    std::vector<int> pictures;
    for (int i = 0; i < 2; ++i) {
        f.window->RefreshStatus();
        pictures.push_back(f.window->TrayIcon->picture());
    }
    QCOMPARE(pictures, (std::vector<int>{36, 37}));
    QCOMPARE(f.window->TrayIcon->tip(), QString::fromStdString(f.window->Monitor.TrayTipText()));
}

void TestFrmMain::callerIdListsGrowWithUptime()
{
    // A month of calls: each list keeps the newest 1,000, oldest first.
    TFixture f;
    for (int call = 0; call < 1005; ++call)
        emit f.window->Monitor.callerIdLogged(2, QStringLiteral("call %1").arg(call));
    emit f.window->Monitor.callerIdLogged(1, QStringLiteral("B1 call"));
    QListWidget *list = f.ui().listB2CLID;
    QCOMPARE(list->count(), 1000);
    QCOMPARE(list->item(0)->text(), QStringLiteral("call 5"));
    QCOMPARE(list->item(999)->text(), QStringLiteral("call 1004"));
    QCOMPARE(f.ui().listB1CLID->count(), 1);
}

void TestFrmMain::colourPanelChoice()
{
    bool confirm = false;
    TfrmMain::THooks hooks;
    hooks.ChooseColor = [&confirm](uint32_t &color) {
        color = 0x0000FF; // what the chooser showed; only a confirmation may keep it
        return confirm;
    };
    TFixture f(std::move(hooks));
    TfrmMainControls &ui = f.ui();
    f.show();
    const uint32_t gridBefore = ui.pnlB1GridColor->color();

    QTest::mouseClick(ui.pnlB1GridColor, Qt::LeftButton);
    QCOMPARE(ui.pnlB1GridColor->color(), gridBefore);
    QCOMPARE(ui.Chart1->gridColor(), gridBefore);

    confirm = true;
    QTest::mouseClick(ui.pnlB1GridColor, Qt::LeftButton);
    QCOMPARE(ui.pnlB1GridColor->color(), 0x0000FFu);
    QCOMPARE(ui.Chart1->gridColor(), 0x0000FFu);
    QCOMPARE(ui.Chart2->gridColor(), gridBefore);
}

void TestFrmMain::connectWithDefaultsTargetsRouterDefaults()
{
    // The seam stands in for the connect itself, so the router's default address is only
    // inspected, never contacted.
    std::vector<std::pair<std::string, int>> attempts;
    TfrmMain::THooks hooks;
    hooks.StartConnect = [&attempts](TClientSocket &socket) { attempts.emplace_back(socket.Address(), socket.Port()); };
    TFixture f(std::move(hooks));
    f.show();

    QTest::mouseClick(f.ui().btnConnect, Qt::LeftButton);
    f.window->TrayIcon->mnuConnect->trigger();
    QCOMPARE(attempts.size(), size_t(2));
    QCOMPARE(attempts[0].first, std::string("192.168.0.1"));
    QCOMPARE(attempts[0].second, 23);
    QCOMPARE(attempts[1], attempts[0]);
    QVERIFY(!f.window->Monitor.Session.sktBrelwick.Active());
}

void TestFrmMain::channelButtonsSendTheirTags()
{
    // A fake router on 127.0.0.1 that records what the monitor types.
    TServerSocket router;
    router.SetBindAddress("127.0.0.1");
    router.SetPort(0);
    std::string typed;
    router.OnClientRead = [&typed](QObject *, TCustomWinSocket *socket) { typed += socket->ReceivePending(); };
    router.SetActive(true);

    TfrmMain::THooks hooks;
    hooks.StartConnect = [](TClientSocket &socket) { socket.SetActive(true); };
    TFixture f(std::move(hooks));
    f.show();
    TfrmMainControls &ui = f.ui();
    ui.edtTelnetAddress->setText(QStringLiteral("127.0.0.1"));
    ui.edtTelnetPort->setText(QString::number(router.Socket()->LocalPort()));
    QTest::mouseClick(ui.btnConnect, Qt::LeftButton);
    QTRY_VERIFY(f.window->Monitor.Session.sktBrelwick.Active());
    QCOMPARE(f.window->PanelText(1), QStringLiteral("Connected"));
    QCOMPARE(ui.btnConnect->text(), QStringLiteral("Disconnect"));

    // Commands count only on the status screen; until it shows, they are off.
    QVERIFY(!ui.btnDropB1->isEnabled() && !ui.btnReset->isEnabled() && !f.window->TrayIcon->Drop1()->isEnabled());
    f.window->Monitor.Session.LoginStep = 7;
    f.window->Monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
    QVERIFY(ui.btnDropB1->isEnabled() && ui.btnReset->isEnabled() && f.window->TrayIcon->Drop1()->isEnabled());
    for (QPushButton *button : {ui.btnDropB1, ui.btnDropB2, ui.btnReset, ui.btnDropAll})
        QTest::mouseClick(button, Qt::LeftButton);
    for (QAction *item : {f.window->TrayIcon->mnuDropB1, f.window->TrayIcon->mnuDropB2, f.window->TrayIcon->mnuDropAll})
        item->trigger();
    QTRY_COMPARE(typed, std::string("1234124"));

    QTest::mouseClick(ui.btnConnect, Qt::LeftButton);
    QVERIFY(!f.window->Monitor.Session.sktBrelwick.Active());
    QCOMPARE(f.window->PanelText(1), QStringLiteral("Not Connected"));
    QCOMPARE(f.window->TrayIcon->mnuConnect->text(), QStringLiteral("&Connect"));
    QVERIFY(f.errors.empty());
}

// The panel and the button said "Connected" and "Disconnect" beside "The router rejected the
// password", as the console sat at its prompt.
void TestFrmMain::rejectedPasswordStillSaidConnected()
{
    // A fake router on 127.0.0.1 that asks for the password again whatever is typed.
    TServerSocket router;
    router.SetBindAddress("127.0.0.1");
    router.SetPort(0);
    router.OnClientConnect = [](QObject *, TCustomWinSocket *socket) { socket->SendString("Password: "); };
    router.OnClientRead = [](QObject *, TCustomWinSocket *socket) {
        if (socket->ReceivePending().find('\r') != std::string::npos)
            socket->SendString("\r\nPassword: ");
    };
    router.SetActive(true);

    TfrmMain::THooks hooks;
    hooks.StartConnect = [](TClientSocket &socket) { socket.SetActive(true); };
    TFixture f(std::move(hooks));
    TfrmMainControls &ui = f.ui();
    ui.edtTelnetAddress->setText(QStringLiteral("127.0.0.1"));
    ui.edtTelnetPort->setText(QString::number(router.Socket()->LocalPort()));
    f.window->btnConnectClick();
    QTRY_VERIFY(f.window->Monitor.Reconnect.PasswordRejected());
    QTRY_VERIFY(!f.window->Monitor.Session.sktBrelwick.Active());
    QCOMPARE(f.window->PanelText(1), QStringLiteral("Password rejected"));
    QCOMPARE(ui.btnConnect->text(), QStringLiteral("Connect"));
    QCOMPARE(f.window->TrayIcon->mnuConnect->text(), QStringLiteral("&Connect"));
    QCOMPARE(f.window->PanelText(0), QStringLiteral("The router rejected the password"));
    QVERIFY(f.errors.empty());
}

void TestFrmMain::savedSessionHoldsRouterBytesNotPassword()
{
    // A router on 127.0.0.1 that asks for the password and paints the status screen once typed.
    const std::string screen = statusScreen(TChannelRow{}, TChannelRow{});
    std::string typedAtRouter;
    TServerSocket router;
    router.SetBindAddress("127.0.0.1");
    router.SetPort(0);
    router.OnClientConnect = [](QObject *, TCustomWinSocket *socket) { socket->SendString("Password: "); };
    router.OnClientRead = [&](QObject *, TCustomWinSocket *socket) {
        typedAtRouter += socket->ReceivePending();
        if (typedAtRouter.find('\r') != std::string::npos)
            socket->SendString(screen);
    };
    router.SetActive(true);

    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("session.capture"));
    QStringList asked = {QString(), QDir(dir.path()).filePath(QStringLiteral("no-such-folder/x")), path};
    TfrmMain::THooks hooks;
    hooks.StartConnect = [](TClientSocket &socket) { socket.SetActive(true); };
    hooks.AskCaptureFile = [&asked] { return asked.takeFirst(); };
    TFixture f(std::move(hooks));
    TfrmMainControls &ui = f.ui();
    ui.edtTelnetAddress->setText(QStringLiteral("127.0.0.1"));
    ui.edtTelnetPort->setText(QString::number(router.Socket()->LocalPort()));
    ui.edtPassword->setText(QStringLiteral("s3cret"));
    f.window->btnConnectClick();
    QTRY_VERIFY(f.window->Monitor.Session.OnStatusScreen());
    QCOMPARE(typedAtRouter, std::string("s3cret\r"));

    // Cancelled: nothing written, nothing said. A folder that is not there: said once. Then
    // saved from the About tab's link.
    f.window->TrayIcon->mnuSaveCapture->trigger();
    f.window->TrayIcon->mnuSaveCapture->trigger();
    QCOMPARE(f.errors.size(), size_t(1));
    f.window->mnuAboutClick();
    QTest::mouseClick(ui.lblSaveCapture, Qt::LeftButton);
    QCOMPARE(QFile::permissions(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    std::string routerBytes, typed;
    while (!file.atEnd()) {
        TCaptureChunk chunk;
        QVERIFY(ParseCaptureLine(file.readLine().toStdString(), chunk));
        (chunk.Typed ? typed : routerBytes) += chunk.Bytes;
    }
    QCOMPARE(routerBytes, "Password: " + screen);
    QCOMPARE(typed, std::string("******\r"));
    QVERIFY(file.seek(0));
    QVERIFY(!file.readAll().contains("s3cret"));
}

void TestFrmMain::loadingSettingsOpensListenersAndMasks()
{
    // Two free ports: listen on port 0 and note what the kernel chose.
    TServerSocket probe1;
    TServerSocket probe2;
    probe1.SetBindAddress("127.0.0.1");
    probe2.SetBindAddress("127.0.0.1");
    probe1.SetPort(0);
    probe2.SetPort(0);
    probe1.SetActive(true);
    probe2.SetActive(true);
    const int telnetPort = probe1.Socket()->LocalPort();
    const int webPort = probe2.Socket()->LocalPort();
    probe1.SetActive(false);
    probe2.SetActive(false);

    QTemporaryDir dir;
    const std::string ini =
        "[Connection]\r\nMaskPassword=1\r\nRememberPassword=1\r\nPassword=" + EncodeStoredPassword("1234") +
        "\r\n[RemoteAdmin]\r\nTelnet=1\r\nTelnetPort=" + std::to_string(telnetPort) +
        "\r\nWeb=1\r\nWebPort=" + std::to_string(webPort) +
        "\r\n[Graphs]\r\nB1CLUBackgroundColor=255\r\nB2GridColor=$FF0000\r\n"
        "[Network]\r\nBindAddress=127.0.0.1\r\n";
    {
        QFile file(QDir(dir.path()).filePath(QStringLiteral("linewatch.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini.data(), qint64(ini.size()));
    }
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString();
    TFixture f(std::move(hooks));
    TfrmMain &w = *f.window;
    TfrmMainControls &ui = f.ui();

    QVERIFY(f.errors.empty());
    // The listeners are open: their ports cannot be edited.
    QVERIFY(!ui.edtTelnetAdminPort->isEnabled());
    QVERIFY(!ui.edtWebAdminPort->isEnabled());
    QVERIFY(ui.chkWebAutoRefresh->isChecked());
    // Masking was switched on before the password arrived, so the password survived it.
    QCOMPARE(ui.edtPassword->echoMode(), QLineEdit::Password);
    QCOMPARE(ui.edtPassword->text(), QStringLiteral("1234"));
    QCOMPARE(ui.Chart1->backgroundColor(), 255u);
    QCOMPARE(ui.Chart2->gridColor(), 0xFF0000u);

    // Unticking Mask never reveals the password.
    ui.chkMask->setChecked(false);
    QCOMPARE(ui.edtPassword->text(), QString());
    QCOMPARE(ui.edtPassword->echoMode(), QLineEdit::Normal);

    // Switched off by the user: the port may be edited again.
    ui.chkWebAdmin->setChecked(false);
    QVERIFY(!w.Monitor.WebServer.WebServerSocket.Active());
    QVERIFY(ui.edtWebAdminPort->isEnabled());
}

void TestFrmMain::alertsGroupFollowsTheAlertsSection()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("linewatch.ini"));
    {
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // A silence beyond what the spin box holds is kept as loaded until the user changes it.
        file.write("[Alerts]\r\nLongDataCall=0\r\nOutcallMinutes=90\r\nNoStatusSeconds=500000\r\n"
                   "Command=/usr/bin/logger \"a b\"\r\n[Reconnect]\r\nEnabled=0\r\n");
    }
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString() + "/";
    TFixture f(std::move(hooks));
    TfrmMainControls &ui = f.ui();
    QVERIFY(ui.grpAlerts->isEnabled());
    QVERIFY(!ui.chkAlertLongDataCall->isChecked());
    QVERIFY(!ui.spnAlertLongDataCallMinutes->isEnabled());
    QCOMPARE(ui.spnAlertOutcallMinutes->value(), 90);
    QCOMPARE(ui.edtAlertCommand->text(), QStringLiteral("/usr/bin/logger \"a b\""));
    QCOMPARE(f.window->Monitor.Settings.Alerts.NoStatusSeconds, 500000);
    QVERIFY(!ui.chkReconnect->isChecked());

    ui.chkReconnect->setChecked(true);
    ui.chkAlertLongDataCall->setChecked(true);
    QVERIFY(ui.spnAlertLongDataCallMinutes->isEnabled());
    ui.spnAlertLongDataCallMinutes->setValue(45);
    ui.chkAlertIncomingCall->setChecked(false);
    ui.edtAlertCommand->setText(QStringLiteral("notify-me"));
    const TAlertSettings &a = f.window->Monitor.Settings.Alerts;
    QVERIFY(a.LongDataCall && !a.IncomingCall);
    QCOMPARE(a.LongDataCallMinutes, 45);
    QCOMPARE(a.Command, std::string("notify-me"));
    f.window->FormDestroy();
    TSettings saved;
    LoadSettings(TIniFile(ini.toStdString()), saved);
    QVERIFY(saved.Alerts == a);
    QVERIFY(saved.ReconnectEnabled);
}

void TestFrmMain::loggingGroupFollowsTheLoggingSection()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("linewatch.ini"));
    {
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Logging]\r\nEnabled=0\r\nDatabase=calls.sqlite\r\nRetentionDays=400\r\n");
    }
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString() + "/";
    TFixture f(std::move(hooks));
    TfrmMainControls &ui = f.ui();
    QVERIFY(ui.grpLogging->isEnabled());
    QVERIFY(!ui.chkLoggingEnabled->isChecked());
    QCOMPARE(ui.edtLoggingDatabase->text(), QStringLiteral("calls.sqlite"));
    QCOMPARE(ui.spnLoggingRetentionDays->value(), 400);
    // With logging off the History tab says so rather than showing an empty list.
    QVERIFY(ui.PageControl1->indexOf(f.window->HistoryTab) > ui.PageControl1->indexOf(ui.tabGraph));
    f.window->HistoryTab->refresh();
    QVERIFY(f.window->HistoryTab->messageLabel()->isVisibleTo(f.window->HistoryTab));

    ui.chkLoggingEnabled->setChecked(true);
    ui.edtLoggingDatabase->setText(QStringLiteral("/var/tmp/elsewhere.sqlite"));
    ui.spnLoggingRetentionDays->setValue(0);
    const TLoggingSettings &l = f.window->Monitor.Settings.Logging;
    QVERIFY(l.Enabled);
    QCOMPARE(l.Database, std::string("/var/tmp/elsewhere.sqlite"));
    QCOMPARE(l.RetentionDays, 0);
    // Switched on, the tab no longer says the history is off (this window records nowhere yet).
    f.window->HistoryTab->refresh();
    QVERIFY(!f.window->HistoryTab->messageLabel()->text().contains(QLatin1String("Keep a call history")));
    f.window->FormDestroy();
    TSettings saved;
    LoadSettings(TIniFile(ini.toStdString()), saved);
    QVERIFY(saved.Logging == l);
}

void TestFrmMain::mqttGroupFollowsTheMqttSection()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("linewatch.ini"));
    {
        TSettings loaded;
        loaded.Mqtt.Host = "127.0.0.1";
        loaded.Mqtt.Port = 1884;
        loaded.Mqtt.User = "ha";
        loaded.Mqtt.Password = "s3cret";
        loaded.Mqtt.Prefix = "home/isdn";
        loaded.Mqtt.Discovery = false;
        loaded.Mqtt.CAFile = "/etc/ssl/ca.pem";
        TIniFile file(ini.toStdString());
        SaveSettings(file, loaded);
    }
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString() + "/";
    TFixture f(std::move(hooks));
    TfrmMainControls &ui = f.ui();
    QVERIFY(!ui.chkMqttEnabled->isChecked() && !ui.chkMqttDiscovery->isChecked() && ui.chkMqttRetain->isChecked());
    QCOMPARE(ui.edtMqttHost->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(ui.spnMqttPort->value(), 1884);
    QCOMPARE(ui.edtMqttPassword->text(), QStringLiteral("s3cret"));
    QCOMPARE(ui.edtMqttPrefix->text(), QStringLiteral("home/isdn"));
    QCOMPARE(ui.edtMqttDiscoveryPrefix->text(), QStringLiteral("homeassistant"));
    QCOMPARE(ui.edtMqttCaFile->text(), QStringLiteral("/etc/ssl/ca.pem"));
    QVERIFY(!f.window->Monitor.Mqtt());

    // Switched on in the tab: MQTT starts once the user stops (port 1 on loopback refuses, and
    // the client waits to try again).
    ui.edtMqttClientId->setText(QStringLiteral("desk"));
    ui.chkMqttAllowCommands->setChecked(true);
    ui.chkMqttRetain->setChecked(false);
    ui.spnMqttPort->setValue(1);
    ui.chkMqttEnabled->setChecked(true);
    const TMqttSettings &m = f.window->Monitor.Settings.Mqtt;
    QVERIFY(m.Enabled && m.AllowCommands && !m.Retain);
    QCOMPARE(m.ClientId, std::string("desk"));
    QTRY_VERIFY_WITH_TIMEOUT(f.window->Monitor.Mqtt() != nullptr, 30000);
    ui.chkMqttEnabled->setChecked(false);
    QTRY_VERIFY_WITH_TIMEOUT(f.window->Monitor.Mqtt() == nullptr, 30000);
    f.window->FormDestroy();
    TSettings saved;
    LoadSettings(TIniFile(ini.toStdString()), saved);
    QVERIFY(saved.Mqtt == m);
}

void TestFrmMain::startupConnectsThenChecksBeforeShowing()
{
    QTemporaryDir dir;
    {
        QFile file(QDir(dir.path()).filePath(QStringLiteral("linewatch.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=2323\r\n"
                   "[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=1\r\n");
    }
    std::vector<std::string> steps;
    TfrmMain *window = nullptr;
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString();
    hooks.StartConnect = [&steps](TClientSocket &socket) {
        steps.push_back("connect " + socket.Address() + ":" + std::to_string(socket.Port()));
    };
    hooks.FetchVersionFile = [&steps](const std::string &) -> std::string {
        steps.push_back("fetch");
        return "[VERSION]\r\nLatest=1.0.2.0\r\n";
    };
    // The start-up check's dialog comes before the window is first shown.
    hooks.ShowNewVersion = [&steps, &window](const TNewVersionTexts &) {
        steps.push_back(window ? "dialog after" : "dialog before");
    };
    TFixture f(std::move(hooks));
    window = f.window.get();
    QCOMPARE(steps, (std::vector<std::string>{"connect 127.0.0.1:2323", "fetch", "dialog before"}));
    QCOMPARE(window->PanelText(0), QStringLiteral("New version found: 1.0.2.0"));
    QCOMPARE(window->PanelText(1), QStringLiteral("Not Connected"));
    QVERIFY(f.errors.empty());
}

// A router that was not there at start opened an error box while "Reconnecting in 1 s" counted
// down behind it. Without reconnecting the box is all there is, and it stays.
void TestFrmMain::startConnectFailureOpenedBox_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("reconnecting") << true;
    QTest::newRow("not reconnecting") << false;
}

void TestFrmMain::startConnectFailureOpenedBox()
{
    QFETCH(bool, reconnect);
    TServerSocket closed;
    closed.SetBindAddress("127.0.0.1");
    closed.SetPort(0);
    closed.SetActive(true);
    const int port = closed.Socket()->LocalPort();
    closed.SetActive(false);
    QTemporaryDir dir;
    {
        QFile file(QDir(dir.path()).filePath(QStringLiteral("linewatch.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=" + QByteArray::number(port) +
                   "\r\n[Startup]\r\nConnectAtStartup=1\r\n[Reconnect]\r\nEnabled=" + (reconnect ? "1" : "0") + "\r\n");
    }
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString() + "/";
    hooks.StartConnect = [](TClientSocket &socket) { socket.SetActive(true); };
    TFixture f(std::move(hooks));
    if (reconnect) {
        QTRY_VERIFY(f.window->PanelText(0).startsWith(QStringLiteral("Reconnecting in ")));
        QVERIFY(f.errors.empty());
    } else {
        QTRY_COMPARE(f.errors.size(), size_t(1));
    }
}

void TestFrmMain::ctrlQRunsExit()
{
    TFixture f;
    TfrmMain &w = *f.window;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(w.ExitRequested());
    // Exit asked the application to leave its event loop while none ran, which would end the
    // next test's nested loops at once; a turn of the application's own loop clears that.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

void TestFrmMain::closeHidesAndExitSavesThenRemovesTray()
{
    bool trayAvailable = true;
    TfrmMain::THooks hooks;
    hooks.TrayAvailable = [&trayAvailable] { return trayAvailable; };
    TFixture f(std::move(hooks));
    TfrmMain &w = *f.window;
    w.show();
    w.mnuGraphClick();

    QVERIFY(!w.close());
    QVERIFY(w.isHidden());
    QVERIFY(w.TrayIcon->isVisible());
    QVERIFY(w.Monitor.Timer1->isActive());

    // Back from the tray on the page it was on; a menu entry picks its page.
    emit w.TrayIcon->activationRequested();
    QVERIFY(w.isVisible());
    QCOMPARE(f.ui().PageControl1->currentWidget(), f.ui().tabGraph);
    w.TrayIcon->mnuSettings->trigger();
    QCOMPARE(f.ui().PageControl1->currentWidget(), f.ui().tabSettings);

    // A single click on the icon hides the shown window and shows the hidden one.
    emit w.TrayIcon->toggleRequested();
    QVERIFY(w.isHidden());
    emit w.TrayIcon->toggleRequested();
    QVERIFY(w.isVisible());

    // The tray's host went away while the window was hidden in it: the window came back by itself.
    emit w.TrayIcon->toggleRequested();
    QVERIFY(w.isHidden());
    w.RefreshStatus();
    QVERIFY(w.isHidden());
    trayAvailable = false;
    w.RefreshStatus();
    QVERIFY(w.isVisible());

    // Without a notification area the window could not come back: closing it is Exit.
    f.ui().edtTelnetAddress->setText(QStringLiteral("127.0.0.1"));
    QVERIFY(!w.ExitRequested());
    w.close();
    QVERIFY(w.ExitRequested());
    w.FormDestroy();
    QVERIFY(!w.TrayIcon->isVisible());
    QFile file(QDir(f.dir.path()).filePath(QStringLiteral("linewatch.ini")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    QVERIFY(saved.startsWith("[Connection]\r\nTelnetAddress=127.0.0.1\r\n"));
    QVERIFY(saved.contains("WebAutoRefresh=1\r\n"));
    QVERIFY(f.errors.empty());

    // Exit's request to end stays pending until an application loop takes it, and until then
    // every nested loop (the update check's wait, a modal box) returns at once. Let one take it.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

void TestFrmMain::failedSaveStillRemovesTray()
{
    TFixture f;
    // A directory where the settings file should be: the save cannot replace it.
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("linewatch.ini")));
    f.window->FormDestroy();
    QCOMPARE(f.errors.size(), size_t(1));
    QVERIFY(QString::fromStdString(f.errors[0]).startsWith(QStringLiteral("Unable to write to ")));
    QVERIFY(!f.window->TrayIcon->isVisible());
}

void TestFrmMain::changesSavedOnceAfterABurst()
{
    TFixture f;
    TfrmMainControls &ui = f.ui();
    QSignalSpy saves(f.window.get(), &TfrmMain::settingsSaved);
    const QString path = QDir(f.dir.path()).filePath(QStringLiteral("linewatch.ini"));
    const auto saved = [&path] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    // A port typed digit by digit, a box ticked: one write, with all of it, in the file's order.
    for (const char *text : {"2", "23", "232", "2323"})
        ui.edtTelnetPort->setText(QString::fromLatin1(text));
    ui.chkConnectAtStartup->setChecked(true);
    QTRY_COMPARE(saves.count(), 1);
    QVERIFY(saved().startsWith("[Connection]\r\nTelnetAddress="));
    QVERIFY(saved().contains("\r\nTelnetPort=2323\r\n"));
    QVERIFY(saved().contains("[Startup]\r\nConnectAtStartup=1\r\n"));
    QTest::qWait(TfrmMain::kSettingsSaveDelayMs + 300);
    QCOMPARE(saves.count(), 1);

    // A save that fails while the program runs raises no box and is told once, not per attempt.
    std::vector<std::string> lines;
    SetLogSink([&lines](const std::string &line) { lines.push_back(line); });
    const auto restoreLog = qScopeGuard([] {
        SetLogSink({});
        ResetLogLimits();
    });
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("linewatch.ini")));
    ui.edtTelnetPort->setText(QStringLiteral("2324"));
    QTRY_COMPARE(saves.count(), 2);
    f.window->SetPanelText(0, QString());
    ui.edtTelnetPort->setText(QStringLiteral("2325"));
    QTRY_COMPARE(saves.count(), 3);
    QCOMPARE(saves.at(2).at(0).toBool(), false);
    QVERIFY(f.errors.empty());
    QCOMPARE(lines.size(), size_t(1));
    QVERIFY(QString::fromStdString(lines[0]).contains(QStringLiteral("Settings not saved: Unable to write to ")));
    QCOMPARE(f.window->PanelText(0), QString());
}

void TestFrmMain::routerNameRefusedWhereTyped()
{
    TFixture f;
    QLineEdit *edit = f.ui().edtTelnetAddress;
    edit->setText(QStringLiteral("10.0.0.138"));
    emit edit->editingFinished();
    for (const char *typed : {"localhost", "router.lan", "10.0.0", "10.0.0.300"}) {
        edit->setText(QString::fromLatin1(typed));
        emit edit->editingFinished();
        QCOMPARE(edit->text(), QStringLiteral("10.0.0.138"));
        QCOMPARE(f.window->Monitor.Settings.Text(SettingControl::edtTelnetAddress), std::string("10.0.0.138"));
        QVERIFY(f.window->PanelText(0).contains(QStringLiteral("is not an IPv4 address")));
    }
    QVERIFY(f.errors.empty());
}

void TestFrmMain::resizedWindowGrowsGraphsAndComesBackSo()
{
    QTemporaryDir dir;
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString() + "/";
    QSize smallest;
    QSize chart;
    QSize gauge;
    QSize list;
    {
        TFixture f(hooks);
        TfrmMain &w = *f.window;
        f.show();
        settle();
        smallest = w.size();
        QCOMPARE(w.minimumSize(), smallest);
        QVERIFY(w.maximumWidth() > smallest.width());
        chart = f.ui().Chart1->size();
        gauge = f.ui().Gauge1->size();
        f.ui().PageControl1->setCurrentWidget(f.ui().tabStatus);
        settle();
        list = f.ui().listB1CLID->size();
        w.resize(smallest + QSize(200, 150));
        w.move(10, 20);
        settle();
        // The extra room goes to the caller-ID lists, the graphs and the gauges.
        QVERIFY(f.ui().listB1CLID->width() > list.width());
        QVERIFY(f.ui().listB1CLID->height() > list.height());
        f.ui().PageControl1->setCurrentWidget(f.ui().tabGraph);
        settle();
        QVERIFY(f.ui().Chart1->width() > chart.width());
        QVERIFY(f.ui().Chart1->height() > chart.height());
        QVERIFY(f.ui().Gauge1->height() > gauge.height());
        w.FormDestroy();
        QVERIFY(f.errors.empty());
    }
    QFile file(QDir(dir.path()).filePath(QStringLiteral("linewatch.ini")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    // A section of its own after the documented ones, which keep their order.
    QVERIFY(saved.startsWith("[Connection]\r\n"));
    QVERIFY(saved.indexOf("[Window]\r\n") > saved.indexOf("[Graphs]\r\n"));
    QVERIFY(saved.contains(QStringLiteral("Width=%1\r\n").arg(smallest.width() + 200).toLatin1()));

    // The next start comes back at that size and place.
    TFixture again(hooks);
    QCOMPARE(again.window->size(), smallest + QSize(200, 150));
    QCOMPARE(again.window->pos(), QPoint(10, 20));
}

void TestFrmMain::linksOpenTheirTargets()
{
    TFixture f;
    f.show();
    f.window->mnuAboutClick();
    TfrmMainControls &ui = f.ui();
    QTest::mouseClick(ui.Label48, Qt::LeftButton);
    QTest::mouseClick(ui.lblHomePage, Qt::LeftButton);
    // The maker's badge is painted on its label, which holds no pixmap: drawn, not blank.
    QCOMPARE(ui.Image1->size(), MakerBadgeSize());
    const QColor inside = ui.Image1->grab().toImage().pixelColor(8, 26);
    QVERIFY2(inside.blue() > inside.red() + 0x30, qPrintable(inside.name()));
    QTest::mouseClick(ui.Image1, Qt::LeftButton);
    QCOMPARE(f.opened, (std::vector<QString>{QStringLiteral("mailto:linewatch@brelwick.example"),
                                             QStringLiteral("http://www.brelwick.example/linewatch/"),
                                             QStringLiteral("http://www.brelwick.example/")}));

    // "Current Line Use Color:" runs the update check, as Check Now does.
    f.window->mnuSettingsClick();
    QTest::mouseClick(ui.Label38, Qt::LeftButton);
    QCOMPARE(f.fetches, 1);
    QVERIFY(ui.btnCheckNow->isEnabled());
    QCOMPARE(f.errors.size(), size_t(1));
}

void TestFrmMain::liveEntryOnlyWhileWebPageOn()
{
    // The web page off: neither the tray entry nor the About link shows, and the entry opens nothing.
    {
        TFixture off;
        off.window->mnuAboutClick();
        off.window->RefreshStatus();
        QVERIFY(!off.window->TrayIcon->mnuOpenInBrowser->isVisible());
        QVERIFY(off.ui().lblLivePage->isHidden());
        off.window->TrayIcon->mnuOpenInBrowser->trigger();
        QVERIFY(off.opened.empty());
    }

    TServerSocket probe;
    probe.SetBindAddress("127.0.0.1");
    probe.SetPort(0);
    probe.SetActive(true);
    const int port = probe.Socket()->LocalPort();
    probe.SetActive(false);
    QTemporaryDir dir;
    QFile ini(QDir(dir.path()).filePath(QStringLiteral("linewatch.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QStringLiteral("[RemoteAdmin]\r\nWeb=1\r\nWebPort=%1\r\n[Network]\r\nBindAddress=127.0.0.1\r\n")
                  .arg(port)
                  .toLatin1());
    ini.close();
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString() + "/";
    TFixture f(std::move(hooks));
    QVERIFY(f.window->Monitor.WebServer.WebServerSocket.Active());
    f.show();
    f.window->mnuAboutClick();
    f.window->RefreshStatus();
    const QString url = QStringLiteral("http://127.0.0.1:%1/live").arg(port);
    QVERIFY(f.window->TrayIcon->mnuOpenInBrowser->isVisible());
    QVERIFY(f.ui().lblLivePage->isVisible());
    f.window->TrayIcon->mnuOpenInBrowser->trigger();
    QTest::mouseClick(f.ui().lblLivePage, Qt::LeftButton);
    QCOMPARE(f.opened, (std::vector<QString>{url, url}));

    // Switched off in the Settings tab: gone by the next tick.
    f.ui().chkWebAdmin->setChecked(false);
    f.window->RefreshStatus();
    QVERIFY(!f.window->TrayIcon->mnuOpenInBrowser->isVisible());
    QVERIFY(f.ui().lblLivePage->isHidden());
    QVERIFY(f.errors.empty());
}

void TestFrmMain::errorBoxShowsOneAtATime()
{
    // The box's own event loop lets the router's next bad field arrive while the box is open:
    // that report must not open a second box.
    std::vector<QString> shown;
    InstallErrorBox([&shown](const QString &title, const QString &text) {
        shown.push_back(title + QLatin1Char('|') + text);
        QVERIFY(ErrorBoxOpen());
        ReportError("'1%2' is not a valid integer value");
    });
    ReportError("Asynchronous socket error 111");
    QVERIFY(!ErrorBoxOpen());
    ReportError("Done.");
    RemoveErrorBox();
    QCOMPARE(shown, (std::vector<QString>{QStringLiteral("Brelwick ISDN Router Monitor|Asynchronous socket error 111."),
                                          QStringLiteral("Brelwick ISDN Router Monitor|Done.")}));
}

void TestFrmMain::errorBoxCaptionFitsAndDetailShows()
{
    // The real box: a short message must not make it narrower than its caption, which a window
    // manager would cut; the detail shows without a click.
    SetErrorContextProvider([] {
        TErrorContext context;
        context.RouterAddress = "10.0.0.138";
        context.RouterPort = 23;
        return context;
    });
    InstallErrorBox();
    QString informative;
    int width = 0;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        informative = box->informativeText();
        width = box->width();
        box->accept();
    });
    ReportError("Asynchronous socket error 111", TErrorOrigin::Router);
    RemoveErrorBox();
    SetErrorContextProvider({});
    ResetLogLimits();
    QVERIFY(informative.contains(QStringLiteral("router at 10.0.0.138:23")));
    QFont caption = QApplication::font();
    caption.setBold(true);
    QVERIFY(width > QFontMetrics(caption).horizontalAdvance(QString::fromLatin1(kApplicationTitle)) + 100);
}

void TestFrmMain::checkNowFetchesFromLoopbackServer()
{
    // The window's check with the real HTTP client, pointed at a server on 127.0.0.1 in place of
    // the update host, which is only compared, never contacted.
    std::string body;
    TServerSocket server;
    server.SetBindAddress("127.0.0.1");
    server.SetPort(0);
    server.SetActive(true);
    const int port = server.Socket()->LocalPort();
    std::vector<TNewVersionTexts> shown;
    TfrmMain::THooks hooks;
    hooks.FetchVersionFile = [&port](const std::string &) {
        return FetchWithHttpClient("http://127.0.0.1:" + std::to_string(port) + "/linewatch/linewatchver.txt");
    };
    hooks.ShowNewVersion = [&shown](const TNewVersionTexts &texts) { shown.push_back(texts); };
    TFixture f(std::move(hooks));
    TfrmMain &w = *f.window;
    TfrmMainControls &ui = f.ui();
    // While the fetch waits, the button is off and panel 0 says what is going on.
    QString panelDuringFetch;
    bool buttonDuringFetch = true;
    server.OnClientRead = [&](QObject *, TCustomWinSocket *socket) {
        socket->ReceivePending();
        panelDuringFetch = w.PanelText(0);
        buttonDuringFetch = ui.btnCheckNow->isEnabled();
        socket->SendString("HTTP/1.0 200 OK\r\n\r\n" + body);
        socket->CloseConnection();
    };

    body = "[VERSION]\r\nLatest=1.0.2.0\r\nLocation=http://127.0.0.1/get\r\n[1.0.2.0]\r\nDate=12/1/26\r\n"
           "LINE1=Faster\r\n";
    QTest::mouseClick(ui.btnCheckNow, Qt::LeftButton);
    QCOMPARE(panelDuringFetch, QStringLiteral("Checking for new version"));
    QVERIFY(!buttonDuringFetch);
    QCOMPARE(w.PanelText(0), QStringLiteral("New version found: 1.0.2.0"));
    QCOMPARE(shown.size(), size_t(1));
    QVERIFY(ui.btnCheckNow->isEnabled());

    body = "[VERSION]\r\nLatest=1.0.1.3\r\n";
    QTest::mouseClick(ui.btnCheckNow, Qt::LeftButton);
    QCOMPARE(w.PanelText(0), QStringLiteral("No new version found."));
    QCOMPARE(shown.size(), size_t(1));
    QVERIFY(f.errors.empty());

    // Nobody listens any more: the error is reported once and the button can be used again.
    server.SetActive(false);
    QTest::mouseClick(ui.btnCheckNow, Qt::LeftButton);
    QCOMPARE(f.errors, std::vector<std::string>{"Connection Failed"});
    QCOMPARE(w.PanelText(0), QStringLiteral("Update check failed"));
    QVERIFY(ui.btnCheckNow->isEnabled());
}

void TestFrmMain::everyTextFitsWithLongestFigures()
{
    // The window has a fixed size: a caption or a figure that outgrows its place is cut off
    // rather than widening the window, so every text is checked against the room it was given.
    TFixture f;
    f.writeFile("services.ini", "[tcp]\r\n65535=netbios-ssn\r\n");
    TfrmMain &w = *f.window;
    for (TChannelStatus *c : {&w.Monitor.Session.B1, &w.Monitor.Session.B2}) {
        c->Link = "Connecting";
        c->Speed = 99;
        c->TX = c->RX = c->Errors = 99999999999;
        c->CLU = c->ALU = 100;
        c->UpTime = "999:59:59";
        c->IP = "255.255.255.255";
    }
    TRouterStatus &r = w.Monitor.Session.Router;
    r.LANStatus = "100M/Full Duplex";
    r.LANSent = r.LANReceived = r.LANCollisions = 9999999999;
    r.TotalOutcallTime = "999:59:59";
    r.TriggerSrcIP = r.TriggerDestIP = r.IPAddress = "255.255.255.255";
    r.TriggerSrcPort = r.TriggerDestPort = 65535;
    r.Name = "Brelwick10";
    r.Firmware = "V2.50(AB.1)";
    w.show();
    w.RefreshStatus();
    w.SetPanelText(1, QStringLiteral("Not Connected"));

    const QString cut = lwtest::firstCutWidget(f.ui().PageControl1);
    QVERIFY2(cut.isEmpty(), qPrintable(cut));
    QLabel *panel1 = w.findChild<QLabel *>(QStringLiteral("StatusPanel1"));
    QVERIFY(panel1->width() >= panel1->sizeHint().width());
}

void TestFrmMain::newFigureRepaintsOnlyItsLabel()
{
    // The monitor idles on the status page: once it is laid out, a new figure must repaint only
    // its own label, never the group box, the tab or the window around it.
    TFixture f;
    TfrmMain &w = *f.window;
    TfrmMainControls &ui = f.ui();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(ui.PageControl1->currentWidget(), ui.tabStatus);
    w.Monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
    w.RefreshStatus();
    settle();

    TPaintCounter paints{ui.lblB1TX, ui.grpB1, ui.tabStatus, ui.PageControl1, &w};
    TChannelRow b1;
    b1.tx = "98765432109"; // longer than before: the label's wish for room grows
    w.Monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
    w.RefreshStatus();
    settle();

    QCOMPARE(ui.lblB1TX->text(), QStringLiteral("98,765,432,109"));
    QVERIFY(paints.count(ui.lblB1TX) > 0);
    QCOMPARE(paints.count(ui.grpB1), 0);
    QCOMPARE(paints.count(ui.tabStatus), 0);
    QCOMPARE(paints.count(ui.PageControl1), 0);
    QCOMPARE(paints.count(&w), 0);

    // An unchanged figure costs nothing at all.
    paints.clear();
    w.RefreshStatus();
    settle();
    QCOMPARE(paints.count(ui.lblB1TX), 0);
    QVERIFY(f.errors.empty());
}

void TestFrmMain::opaqueLabelsLookTheSame()
{
    // The value labels paint their own background with what lay beneath them; the page must look
    // the same as with plain labels, also after a new palette has had them taken again.
    TFixture f;
    TfrmMain &w = *f.window;
    TfrmMainControls &ui = f.ui();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.Monitor.Session.ProcessConsoleData(systemInfoScreen("Brelwick10"));
    w.Monitor.Session.ProcessConsoleData(statusScreen(TChannelRow{}, TChannelRow{}));
    w.RefreshStatus();
    settle();
    QVERIFY(ui.lblB1TX->autoFillBackground());

    // A new palette gives the labels back the page's own background until the next refresh.
    QPalette palette = w.palette();
    palette.setColor(QPalette::Window, QColor(0xc8, 0xdc, 0xf0));
    w.setPalette(palette);
    settle();
    for (QLabel *label : {ui.lblB1TX, ui.lblB2Link, ui.lblLANStatus, ui.lblName, ui.lblIPAddress})
        QVERIFY2(!label->autoFillBackground(), qPrintable(label->objectName()));
    const QImage plain = w.grab().toImage();

    w.RefreshStatus();
    settle();
    for (QLabel *label : {ui.lblB1TX, ui.lblB2Link, ui.lblLANStatus, ui.lblName, ui.lblIPAddress})
        QVERIFY2(label->autoFillBackground(), qPrintable(label->objectName()));
    const QImage opaque = w.grab().toImage();
    QCOMPARE(opaque.size(), plain.size());
    QVERIFY(opaque == plain);
    QVERIFY(f.errors.empty());
}

// A file of another program, random bytes or an empty file loaded as the defaults without a word;
// the window now says so and does not connect at start. No file (a first run) and the program's
// own saved file load as before.
void TestFrmMain::foreignSettingsFileConnectedToDefaultRouter_data()
{
    QTest::addColumn<QByteArray>("content"); // "-": no file
    QTest::addColumn<bool>("foreign");
    QByteArray random(4096, '\0');
    for (int i = 0; i < random.size(); ++i)
        random[i] = char((i * 7919 + 13) % 251 == '[' ? 0 : (i * 7919 + 13) % 251);
    QTest::newRow("another program's file") << QByteArray("[Desktop Entry]\nName=Other\nConnectAtStartup=1\n") << true;
    QTest::newRow("empty file") << QByteArray() << true;
    QTest::newRow("random bytes") << random << true;
    QTest::newRow("no file") << QByteArray("-") << false;
    QTest::newRow("own saved file") << QByteArray("saved") << false;
}

void TestFrmMain::foreignSettingsFileConnectedToDefaultRouter()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, foreign);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("linewatch.ini"));
    if (content == "saved") {
        TSettings settings;
        settings.SetChecked(SettingControl::chkConnectAtStartup, true);
        TIniFile ini(file.toStdString());
        SaveSettings(ini, settings);
    } else if (content != "-") {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
    }
    int attempts = 0;
    TfrmMain::THooks hooks;
    hooks.SettingsFile = file.toStdString();
    // The seam stands in for the connect: nothing leaves the machine.
    hooks.StartConnect = [&attempts](TClientSocket &) { ++attempts; };
    TFixture f(std::move(hooks));
    QCOMPARE(attempts, content == "saved" ? 1 : 0);
    QCOMPARE(
        f.window->PanelText(0).contains(QStringLiteral("%1 holds none of linewatch's settings sections").arg(file)),
        foreign);
}

QTEST_MAIN(TestFrmMain)
void TestFrmMain::unopenedTabsHeldMemoryFromStart()
{
    // The Settings and About tabs' controls cost memory for as long as the monitor runs: none
    // exist until the tab is first opened, and then it shows what the monitor holds, in a window
    // of the same size.
    const std::string ini = "[Connection]\r\nTelnetAddress=10.0.0.9\r\n[Graphs]\r\nB1CLUColor=255\r\n";
    QTemporaryDir dir;
    {
        QFile file(QDir(dir.path()).filePath(QStringLiteral("linewatch.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini.data(), qint64(ini.size()));
    }
    TfrmMain::THooks hooks;
    hooks.AppDir = dir.path().toStdString() + "/";
    TFixture f(std::move(hooks));
    TfrmMain &w = *f.window;
    QVERIFY(!w.findChild<QLineEdit *>(QStringLiteral("edtTelnetAddress")));
    QVERIFY(!w.findChild<QLabel *>(QStringLiteral("Image1")));
    const QSize startSize = w.size();
    f.show();

    QCOMPARE(w.findChild<TUsageChart *>(QStringLiteral("Chart1"))->lineColor(), 255u);
    w.mnuSettingsClick();
    settle();
    auto *address = w.findChild<QLineEdit *>(QStringLiteral("edtTelnetAddress"));
    QVERIFY(address && address->isVisible());
    QCOMPARE(address->text(), QStringLiteral("10.0.0.9"));
    w.mnuAboutClick();
    settle();
    QVERIFY(w.findChild<QLabel *>(QStringLiteral("Image1"))->isVisible());
    QCOMPARE(w.size(), startSize);
}

void TestFrmMain::windowInTrayHeldItsPixels()
{
    // Closed into the tray, the window gave back its native window and backing store; shown
    // again, it looks as it did, figures and graphs included, and the ticks it spent hidden are
    // in its graphs and labels. Hidden, a tick paints nothing.
    TFixture f;
    TfrmMain &w = *f.window;
    TfrmMainControls &ui = f.ui();
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    TChannelRow b1;
    for (const char *usage : {"20", "90", "40"}) {
        b1.clu = usage;
        w.Monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
        w.RefreshStatus();
    }
    settle();
    ui.PageControl1->setCurrentWidget(ui.tabGraph);
    settle();
    const QImage graphBefore = w.grab().toImage();
    ui.PageControl1->setCurrentWidget(ui.tabStatus);
    settle();
    const QImage statusBefore = w.grab().toImage();

    QVERIFY(!w.close());
    settle();
    QVERIFY(w.isHidden());
    QCOMPARE(w.windowHandle(), nullptr);

    emit w.TrayIcon->activationRequested();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    settle();
    QCOMPARE(w.grab().toImage(), statusBefore);
    ui.PageControl1->setCurrentWidget(ui.tabGraph);
    settle();
    QCOMPARE(w.grab().toImage(), graphBefore);

    emit w.TrayIcon->toggleRequested();
    settle();
    QCOMPARE(w.windowHandle(), nullptr);
    TPaintCounter paints{ui.lblB1CLU, ui.Chart1, ui.Gauge1, ui.tabStatus, &w};
    b1.clu = "70";
    b1.tx = "12345";
    w.Monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
    w.RefreshStatus();
    w.RefreshStatus();
    settle();
    QVERIFY(w.TrayIcon->tip().contains(QStringLiteral("B1[")));
    for (QWidget *widget : {static_cast<QWidget *>(ui.lblB1CLU), static_cast<QWidget *>(ui.Chart1),
                            static_cast<QWidget *>(ui.Gauge1), ui.tabStatus, static_cast<QWidget *>(&w)})
        QCOMPARE(paints.count(widget), 0);

    // Back on screen, the router's next repaint is read in full.
    emit w.TrayIcon->toggleRequested();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.Monitor.Session.ProcessConsoleData(statusScreen(b1, TChannelRow{}));
    w.RefreshStatus();
    QCOMPARE(ui.lblB1TX->text(), QStringLiteral("12,345"));
    QCOMPARE(ui.lblB1CLU->text(), QStringLiteral("70%  (5.47KB/s)"));
    // The graph went on while hidden: 20, 90, 40 shown, then 70 at each of the three later ticks.
    QCOMPARE(w.Monitor.Series1.Y(86), 90.0);
    QCOMPARE(w.Monitor.Series1.Y(87), 40.0);
    QCOMPARE(w.Monitor.Series1.Y(90), 70.0);
    QVERIFY(f.errors.empty());
}

#include "tst_frmmain.moc"
