// SPDX-License-Identifier: MIT
// The Settings tab's logic: copies the monitor's settings value into the tab's controls and every
// change of them back, runs the tab's click handlers, and keeps what the controls show beside the
// settings (which ports may be edited, whether Check Now is on) for a tab made later. The window
// owns it and makes the tab's controls; the settings themselves live in the monitor.
#pragma once

#include "settings.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>

struct TfrmMainControls;
class QTimer;
class QWidget;
class TColorPanel;
class THistoryTab;
class TMonitor;

class TSettingsTab : public QObject, public ISettingsControls
{
    Q_OBJECT

public:
    // What the tab takes from the window around it.
    struct THooks
    {
        // The colour chooser (the window's hook): starts at Color, returns true with the chosen
        // colour in Color when the user confirms. Unset: QColorDialog.
        std::function<bool(uint32_t &Color)> ChooseColor;
        // Shows a line in the status bar's message panel.
        std::function<void(const QString &Text)> ShowMessage;
        // Copies the panel colours to the charts and gauges.
        std::function<void()> ApplyGraphColors;
        // A control of the tab changed: the settings are to be saved once the user stops.
        std::function<void()> Changed;
    };

    // Ui's Settings tab controls may be null until make(); Window parents the tab's dialogs.
    TSettingsTab(TfrmMainControls &Ui, TMonitor &Monitor, THistoryTab &History, QWidget *Window, THooks Hooks);

    // Gives the Settings tab its controls, shows the settings in them and follows their changes.
    void make();

    // The monitor's settings value in the controls once the tab is made; the History tab follows
    // the value either way.
    void showSettingValues();
    // After the settings set the listeners going: which of their ports may be edited.
    void showListenerPorts();
    void showCheckNowEnabled(bool Enabled);
    // The History tab shows the database the monitor keeps, or says that logging is off.
    void showHistorySource();

    // The tab's handlers; the window's handlers of the same names run them.
    void chkMaskClick();
    void chkTelnetAdminClick();
    void chkWebAdminClick();
    void edtWebAdminPortChange();
    void pnlB1CLUColorClick(TColorPanel *Sender);

    // ISettingsControls: the tab's controls, or the monitor's value while the tab is not made. The
    // setters only show a value (the monitor's settings copied in); what a change does is the
    // handlers' business.
    std::string Text(SettingControl Control) const override;
    void SetText(SettingControl Control, const std::string &Value) override;
    bool Checked(SettingControl Control) const override;
    void SetChecked(SettingControl Control, bool Value) override;
    uint32_t Color(SettingControl Control) const override;
    void SetColor(SettingControl Control, uint32_t Value) override;
    void ApplyGraphColors() override;

private:
    void reserveWidths();
    void followSettingControls();
    // The Administrative Alerts group: the monitor's [Alerts] value into its controls, and every
    // change of them back into the value.
    void showAlertSettings();
    void followAlertControls();
    // The Logging group likewise, and the History tab it feeds.
    void showLoggingSettings();
    void followLoggingControls();
    // The MQTT group likewise; the monitor restarts MQTT once the user stops changing it.
    void showMqttSettings();
    void followMqttControls();
    void showPortsEditable();
    void connectHandlers();
    void followChanges();
    void checkRouterAddress();

    TfrmMainControls &m_ui;
    TMonitor &m_monitor;
    THistoryTab &m_history;
    QWidget *m_window;
    THooks m_hooks;
    // The router address as last accepted, for a refused entry to return to.
    QString m_routerAddress;
    // What the controls show beside the settings, kept for a tab made later.
    bool m_checkNowEnabled = true;
    bool m_telnetAdminPortEditable = true;
    bool m_webAdminPortEditable = true;
    // Started by every change of the MQTT group: MQTT is restarted once, after the last one.
    QTimer *m_mqttApply = nullptr;
};
