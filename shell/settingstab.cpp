// SPDX-License-Identifier: MIT
// The Settings tab's logic; see settingstab.h. Its texts keep the window's translation context
// ("TfrmMain"), where they were translated. Every handler runs inside Guarded, so no exception ever
// reaches the event loop.
#include "settingstab.h"

#include "frmmaincontrols.h"

#include "apperror.h"
#include "colorpanel.h"
#include "historytab.h"
#include "monitor.h"

#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>

#include <array>
#include <cstddef>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

QString fromBytes(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

std::string toBytes(const QString &text)
{
    return text.toLatin1().toStdString();
}

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

TSettingsTab::TSettingsTab(TfrmMainControls &Ui, TMonitor &Monitor, THistoryTab &History, QWidget *Window, THooks Hooks)
    : m_ui(Ui), m_monitor(Monitor), m_history(History), m_window(Window), m_hooks(std::move(Hooks))
{
}

void TSettingsTab::make()
{
    m_ui.Ui::TSettingsPage::setupUi(m_ui.tabSettings);
    reserveWidths();
    // The monitor's settings into the controls first, as loading shows them; then every change of
    // them is followed.
    Guarded([this] { showSettingValues(); });
    showPortsEditable();
    m_ui.btnCheckNow->setEnabled(m_checkNowEnabled);
    followSettingControls();
    followAlertControls();
    followLoggingControls();
    followMqttControls();
    connectHandlers();
    m_routerAddress = m_ui.edtTelnetAddress->text();
    followChanges();
}

void TSettingsTab::reserveWidths()
{
    m_ui.tabSettings->ensurePolished();
    // Edit boxes as wide as the longest sensible entry, so the Settings tab stays compact.
    const auto editWidth = [](QLineEdit *edit, const QString &sample) {
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(sample) + 16);
    };
    for (QLineEdit *edit :
         {m_ui.edtTelnetPort, m_ui.edtTelnetAdminPort, m_ui.edtWebAdminPort, m_ui.edtWebAutoRefreshSeconds})
        editWidth(edit, QStringLiteral("000000"));
    editWidth(m_ui.edtTelnetAddress, QStringLiteral("255.255.255.255"));
    m_ui.edtPassword->setFixedWidth(m_ui.edtTelnetAddress->width());
    // The groups scroll up and down in a window no taller than the other tabs need, never
    // sideways: the page is as wide as its groups and the scroll bar beside them.
    m_ui.scrSettingsContents->ensurePolished();
    m_ui.scrSettings->setMinimumWidth(m_ui.scrSettingsContents->minimumSizeHint().width() +
                                      m_ui.scrSettings->verticalScrollBar()->sizeHint().width());
}

void TSettingsTab::connectHandlers()
{
    // A check box's handler runs on every change of its state, the user's or the code's; the
    // settings loader goes through SetChecked, which runs it unguarded so failures reach it.
    connect(m_ui.chkMask, &QCheckBox::toggled, this, [this] { Guarded([this] { chkMaskClick(); }); });
    connect(m_ui.chkTelnetAdmin, &QCheckBox::toggled, this, [this] { Guarded([this] { chkTelnetAdminClick(); }); });
    connect(m_ui.chkWebAdmin, &QCheckBox::toggled, this, [this] { Guarded([this] { chkWebAdminClick(); }); });
    connect(m_ui.edtWebAdminPort, &QLineEdit::textChanged, this,
            [this] { Guarded([this] { edtWebAdminPortChange(); }); });

    for (TColorPanel *panel :
         {m_ui.pnlB1CLUColor, m_ui.pnlB2CLUColor, m_ui.pnlB1CLUBackgroundColor, m_ui.pnlB2CLUBackgroundColor,
          m_ui.pnlB1GridColor, m_ui.pnlB2GridColor, m_ui.pnlB1ALUColor, m_ui.pnlB2ALUColor,
          m_ui.pnlB1ALUBackgroundColor, m_ui.pnlB2ALUBackgroundColor})
        connect(panel, &TColorPanel::clicked, this,
                [this, panel] { Guarded([this, panel] { pnlB1CLUColorClick(panel); }); });

    connect(m_ui.edtTelnetAddress, &QLineEdit::editingFinished, this,
            [this] { Guarded([this] { checkRouterAddress(); }); });
}

void TSettingsTab::followChanges()
{
    // Every control of the tab, whatever it holds: a change restarts the save's wait. Connected
    // after the handlers, so the wait starts once a change has done what it does.
    const auto changed = [this] { m_hooks.Changed(); };
    for (QLineEdit *edit : m_ui.tabSettings->findChildren<QLineEdit *>())
        connect(edit, &QLineEdit::textChanged, this, changed);
    for (QAbstractButton *button : m_ui.tabSettings->findChildren<QAbstractButton *>())
        if (button->isCheckable())
            connect(button, &QAbstractButton::toggled, this, changed);
    for (QSpinBox *box : m_ui.tabSettings->findChildren<QSpinBox *>())
        connect(box, &QSpinBox::valueChanged, this, changed);
    for (QComboBox *box : m_ui.tabSettings->findChildren<QComboBox *>())
        connect(box, &QComboBox::currentIndexChanged, this, changed);
}

std::string TSettingsTab::Text(SettingControl Control) const
{
    if (!m_ui.edtTelnetAddress)
        return m_monitor.Settings.Text(Control);
    const TSettingWidgets w = settingWidgets(m_ui, Control);
    return w.Edit ? toBytes(w.Edit->text()) : std::string();
}

void TSettingsTab::SetText(SettingControl Control, const std::string &Value)
{
    const TSettingWidgets w = settingWidgets(m_ui, Control);
    const QString text = fromBytes(Value);
    if (!w.Edit || w.Edit->text() == text)
        return;
    const QSignalBlocker blocker(w.Edit);
    w.Edit->setText(text);
}

bool TSettingsTab::Checked(SettingControl Control) const
{
    if (!m_ui.edtTelnetAddress)
        return m_monitor.Settings.Checked(Control);
    const TSettingWidgets w = settingWidgets(m_ui, Control);
    return w.Check && w.Check->isChecked();
}

void TSettingsTab::SetChecked(SettingControl Control, bool Value)
{
    const TSettingWidgets w = settingWidgets(m_ui, Control);
    if (!w.Check || w.Check->isChecked() == Value)
        return;
    const QSignalBlocker blocker(w.Check);
    w.Check->setChecked(Value);
}

uint32_t TSettingsTab::Color(SettingControl Control) const
{
    if (!m_ui.edtTelnetAddress)
        return m_monitor.Settings.Color(Control);
    const TSettingWidgets w = settingWidgets(m_ui, Control);
    return w.Panel ? w.Panel->color() : 0;
}

void TSettingsTab::SetColor(SettingControl Control, uint32_t Value)
{
    const TSettingWidgets w = settingWidgets(m_ui, Control);
    if (w.Panel)
        w.Panel->setColor(Value);
}

void TSettingsTab::ApplyGraphColors()
{
    m_hooks.ApplyGraphColors();
}

void TSettingsTab::followSettingControls()
{
    // Every change of a setting's control reaches the monitor's value; connected before the
    // handlers, so it is there before a handler runs.
    for (std::size_t k = 0; k < kSettingControlCount; ++k) {
        const auto control = SettingControl(k);
        const TSettingWidgets w = settingWidgets(m_ui, control);
        if (w.Edit)
            connect(w.Edit, &QLineEdit::textChanged, this,
                    [this, control] { m_monitor.Settings.SetText(control, Text(control)); });
        if (w.Check)
            connect(w.Check, &QCheckBox::toggled, this,
                    [this, control] { m_monitor.Settings.SetChecked(control, Checked(control)); });
    }
}

void TSettingsTab::showAlertSettings()
{
    const TAlertSettings a = m_monitor.Settings.Alerts;
    m_ui.chkAlertIncomingCall->setChecked(a.IncomingCall);
    m_ui.chkAlertConnection->setChecked(a.Connection);
    m_ui.chkAlertChannelDropped->setChecked(a.ChannelDropped);
    m_ui.chkAlertLongDataCall->setChecked(a.LongDataCall);
    m_ui.spnAlertLongDataCallMinutes->setValue(a.LongDataCallMinutes);
    m_ui.chkAlertOutcall->setChecked(a.Outcall);
    m_ui.spnAlertOutcallMinutes->setValue(a.OutcallMinutes);
    m_ui.chkAlertNoStatus->setChecked(a.NoStatus);
    m_ui.spnAlertNoStatusSeconds->setValue(a.NoStatusSeconds);
    m_ui.edtAlertCommand->setText(QString::fromLocal8Bit(a.Command.data(), qsizetype(a.Command.size())));
    // A threshold the spin box could not hold stays as loaded until the user changes it.
    m_monitor.Settings.Alerts = a;
    m_ui.chkReconnect->setChecked(m_monitor.Settings.ReconnectEnabled);
}

void TSettingsTab::followAlertControls()
{
    TAlertSettings &a = m_monitor.Settings.Alerts;
    const auto flag = [this](QCheckBox *Check, bool &Field, QWidget *Threshold) {
        connect(Check, &QCheckBox::toggled, this, [&Field, Threshold](bool On) {
            Field = On;
            if (Threshold)
                Threshold->setEnabled(On);
        });
        if (Threshold)
            Threshold->setEnabled(Check->isChecked());
    };
    flag(m_ui.chkAlertIncomingCall, a.IncomingCall, nullptr);
    flag(m_ui.chkAlertConnection, a.Connection, nullptr);
    flag(m_ui.chkAlertChannelDropped, a.ChannelDropped, nullptr);
    flag(m_ui.chkAlertLongDataCall, a.LongDataCall, m_ui.spnAlertLongDataCallMinutes);
    flag(m_ui.chkAlertOutcall, a.Outcall, m_ui.spnAlertOutcallMinutes);
    flag(m_ui.chkAlertNoStatus, a.NoStatus, m_ui.spnAlertNoStatusSeconds);
    const auto number = [this](QSpinBox *Spin, int32_t &Field) {
        connect(Spin, &QSpinBox::valueChanged, this, [&Field](int Value) { Field = Value; });
    };
    number(m_ui.spnAlertLongDataCallMinutes, a.LongDataCallMinutes);
    number(m_ui.spnAlertOutcallMinutes, a.OutcallMinutes);
    number(m_ui.spnAlertNoStatusSeconds, a.NoStatusSeconds);
    connect(m_ui.edtAlertCommand, &QLineEdit::textChanged, this,
            [&a](const QString &Text) { a.Command = Text.toLocal8Bit().toStdString(); });
    // Unticked during a wait, the wait ends at once.
    m_ui.chkReconnect->setChecked(m_monitor.Settings.ReconnectEnabled);
    connect(m_ui.chkReconnect, &QCheckBox::toggled, this, [this](bool On) { m_monitor.SetReconnectEnabled(On); });
}

void TSettingsTab::showLoggingSettings()
{
    const TLoggingSettings l = m_monitor.Settings.Logging;
    m_ui.chkLoggingEnabled->setChecked(l.Enabled);
    m_ui.edtLoggingDatabase->setText(QString::fromStdString(l.Database));
    m_ui.spnLoggingRetentionDays->setValue(l.RetentionDays);
    m_monitor.Settings.Logging = l;
    showHistorySource();
}

void TSettingsTab::followLoggingControls()
{
    TLoggingSettings &l = m_monitor.Settings.Logging;
    connect(m_ui.chkLoggingEnabled, &QCheckBox::toggled, this, [this, &l](bool On) {
        l.Enabled = On;
        showHistorySource();
    });
    connect(m_ui.edtLoggingDatabase, &QLineEdit::textChanged, this, [this, &l](const QString &Text) {
        l.Database = Text.toStdString();
        showHistorySource();
    });
    connect(m_ui.spnLoggingRetentionDays, &QSpinBox::valueChanged, this, [&l](int Days) { l.RetentionDays = Days; });
    connect(m_ui.btnLoggingBrowse, &QToolButton::clicked, this, [this] {
        Guarded([this] {
            // The file need not exist yet: the monitor makes it.
            const QString file = QFileDialog::getSaveFileName(
                m_window, QCoreApplication::translate("TfrmMain", "Call History Database"),
                m_monitor.HistoryDatabasePath(),
                QCoreApplication::translate("TfrmMain", "SQLite databases (*.sqlite *.db);;All files (*)"), nullptr,
                QFileDialog::DontConfirmOverwrite);
            if (!file.isEmpty())
                m_ui.edtLoggingDatabase->setText(file);
        });
    });
}

void TSettingsTab::showMqttSettings()
{
    const TMqttSettings m = m_monitor.Settings.Mqtt;
    const auto text = [](const std::string &Value) { return QString::fromUtf8(Value.data(), qsizetype(Value.size())); };
    m_ui.chkMqttEnabled->setChecked(m.Enabled);
    m_ui.edtMqttHost->setText(text(m.Host));
    m_ui.spnMqttPort->setValue(m.Port);
    m_ui.edtMqttUser->setText(text(m.User));
    m_ui.edtMqttPassword->setText(text(m.Password));
    m_ui.edtMqttClientId->setText(text(m.ClientId));
    m_ui.edtMqttPrefix->setText(text(m.Prefix));
    m_ui.chkMqttDiscovery->setChecked(m.Discovery);
    m_ui.edtMqttDiscoveryPrefix->setText(text(m.DiscoveryPrefix));
    m_ui.chkMqttTls->setChecked(m.TLS);
    m_ui.edtMqttCaFile->setText(text(m.CAFile));
    m_ui.chkMqttAllowCommands->setChecked(m.AllowCommands);
    m_ui.chkMqttRetain->setChecked(m.Retain);
    // The controls' signals have written the value back on the way; what was loaded stays.
    m_monitor.Settings.Mqtt = m;
}

void TSettingsTab::followMqttControls()
{
    // A restart per keystroke would connect to every half-typed address: the monitor hears of
    // the group once the user has stopped for a moment.
    m_mqttApply = new QTimer(this);
    m_mqttApply->setSingleShot(true);
    m_mqttApply->setInterval(1500);
    connect(m_mqttApply, &QTimer::timeout, this, [this] { Guarded([this] { m_monitor.ApplyMqttSettings(); }); });
    TMqttSettings &m = m_monitor.Settings.Mqtt;
    const auto text = [this](QLineEdit *Edit, std::string &Field) {
        connect(Edit, &QLineEdit::textChanged, this, [this, &Field](const QString &Text) {
            Field = Text.toUtf8().toStdString();
            m_mqttApply->start();
        });
    };
    const auto flag = [this](QCheckBox *Check, bool &Field) {
        connect(Check, &QCheckBox::toggled, this, [this, &Field](bool On) {
            Field = On;
            m_mqttApply->start();
        });
    };
    flag(m_ui.chkMqttEnabled, m.Enabled);
    text(m_ui.edtMqttHost, m.Host);
    connect(m_ui.spnMqttPort, &QSpinBox::valueChanged, this, [this, &m](int Port) {
        m.Port = Port;
        m_mqttApply->start();
    });
    text(m_ui.edtMqttUser, m.User);
    text(m_ui.edtMqttPassword, m.Password);
    text(m_ui.edtMqttClientId, m.ClientId);
    text(m_ui.edtMqttPrefix, m.Prefix);
    flag(m_ui.chkMqttDiscovery, m.Discovery);
    text(m_ui.edtMqttDiscoveryPrefix, m.DiscoveryPrefix);
    flag(m_ui.chkMqttTls, m.TLS);
    text(m_ui.edtMqttCaFile, m.CAFile);
    flag(m_ui.chkMqttAllowCommands, m.AllowCommands);
    flag(m_ui.chkMqttRetain, m.Retain);
    connect(m_ui.btnMqttCaBrowse, &QToolButton::clicked, this, [this] {
        Guarded([this] {
            const QString file = QFileDialog::getOpenFileName(
                m_window, QCoreApplication::translate("TfrmMain", "CA File"), m_ui.edtMqttCaFile->text(),
                QCoreApplication::translate("TfrmMain", "Certificates (*.pem *.crt);;All files (*)"));
            if (!file.isEmpty())
                m_ui.edtMqttCaFile->setText(file);
        });
    });
}

void TSettingsTab::showHistorySource()
{
    m_history.setDatabase(m_monitor.HistoryDatabasePath(), m_monitor.Settings.Logging.Enabled);
}

void TSettingsTab::showSettingValues()
{
    // Without the Settings tab only the History tab follows the settings.
    if (!m_ui.edtTelnetAddress) {
        showHistorySource();
        return;
    }
    CopySettings(m_monitor.Settings, *this);
    showAlertSettings();
    showLoggingSettings();
    showMqttSettings();
    m_ui.edtPassword->setEchoMode(m_ui.chkMask->isChecked() ? QLineEdit::Password : QLineEdit::Normal);
}

void TSettingsTab::showListenerPorts()
{
    m_telnetAdminPortEditable = !Checked(SettingControl::chkTelnetAdmin);
    m_webAdminPortEditable = !m_monitor.WebServer.WebServerSocket.Active();
    showPortsEditable();
}

void TSettingsTab::showPortsEditable()
{
    if (!m_ui.edtTelnetAdminPort)
        return;
    m_ui.edtTelnetAdminPort->setEnabled(m_telnetAdminPortEditable);
    m_ui.edtWebAdminPort->setEnabled(m_webAdminPortEditable);
}

void TSettingsTab::showCheckNowEnabled(bool Enabled)
{
    m_checkNowEnabled = Enabled;
    if (m_ui.btnCheckNow)
        m_ui.btnCheckNow->setEnabled(Enabled);
}

void TSettingsTab::checkRouterAddress()
{
    // The connection takes dotted IPv4 only and looks no name up: a name is refused here, where
    // it was typed, rather than by an error box at the next Connect.
    const QString text = m_ui.edtTelnetAddress->text();
    in_addr address{};
    if (text.isEmpty() || ::inet_pton(AF_INET, text.toLatin1().constData(), &address) == 1) {
        m_routerAddress = text;
        return;
    }
    m_ui.edtTelnetAddress->setText(m_routerAddress);
    m_hooks.ShowMessage(QCoreApplication::translate("TfrmMain", "'%1' is not an IPv4 address: type the router's "
                                                                "address as four numbers, such as 192.168.0.1.")
                            .arg(text));
}

void TSettingsTab::chkMaskClick()
{
    if (m_ui.chkMask->isChecked()) {
        m_ui.edtPassword->setEchoMode(QLineEdit::Password);
    } else {
        // Unmasking never reveals a password: the field is emptied first.
        m_ui.edtPassword->clear();
        m_ui.edtPassword->setEchoMode(QLineEdit::Normal);
    }
}

void TSettingsTab::chkTelnetAdminClick()
{
    m_telnetAdminPortEditable = m_monitor.SetTelnetAdmin(m_ui.chkTelnetAdmin->isChecked());
    m_ui.edtTelnetAdminPort->setEnabled(m_telnetAdminPortEditable);
}

void TSettingsTab::chkWebAdminClick()
{
    m_webAdminPortEditable = m_monitor.SetWebAdmin(m_ui.chkWebAdmin->isChecked());
    m_ui.edtWebAdminPort->setEnabled(m_webAdminPortEditable);
}

void TSettingsTab::edtWebAdminPortChange()
{
    m_monitor.SetWebAdminPort(toBytes(m_ui.edtWebAdminPort->text()));
}

void TSettingsTab::pnlB1CLUColorClick(TColorPanel *Sender)
{
    uint32_t color = Sender->color();
    bool confirmed = false;
    if (m_hooks.ChooseColor) {
        confirmed = m_hooks.ChooseColor(color);
    } else {
        const QColor chosen = QColorDialog::getColor(ColorFromBGR(color), m_window);
        confirmed = chosen.isValid();
        if (confirmed)
            color = ColorToBGR(chosen);
    }
    if (confirmed) {
        Sender->setColor(color);
        CopySettings(*this, m_monitor.Settings);
        m_hooks.Changed();
    }
    ApplyGraphColors();
}
