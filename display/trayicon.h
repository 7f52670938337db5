// SPDX-License-Identifier: MIT
// The notification-area icon: the chosen tray picture, the tip, and the right-click menu pupTray
// with the window's entries. It only reports intent (activationRequested on a double-click, the
// menu's actions); the main window decides what to show. The menu's widgets are made only when a
// notification area can show them, so a monitor without one never loads them.
#pragma once

#include "traypictures.h"

#include <QIcon>
#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

class TTrayIcon : public QObject
{
    Q_OBJECT

public:
    explicit TTrayIcon(QObject *parent = nullptr);
    ~TTrayIcon() override;

    // Adds the icon to the notification area, and removes it.
    void show();
    void hide();
    bool isVisible() const;

    // The picture (0..38, anything else shows 38) and the tip. Unchanged values are not sent
    // to the desktop again.
    void setPicture(int index);
    int picture() const { return m_picture; }
    void setTip(const QString &tip);
    // A short message from the icon (nothing without a notification area).
    void showMessage(const QString &title, const QString &text);
    QString tip() const;

    // Whether the desktop has a notification area at all.
    static bool isAvailable();

    QSystemTrayIcon *systemTrayIcon() const { return m_tray; }

    // The menu and its Drop submenu, made on first use: when the icon shows in a notification
    // area, when the user first asks for the menu there, or when code asks here.
    QMenu *pupTray();
    QMenu *Drop1();
    // The Drop entry, off while the channel commands can do nothing; kept for a menu made later.
    void setDropEnabled(bool enabled);

    // The menu's entries, top to bottom; they exist before the menu. mnuStatus is the default
    // entry (bold).
    QAction *mnuStatus = nullptr;
    QAction *mnuGraph = nullptr;
    QAction *mnuSettings = nullptr;
    // The live page in the desktop's browser; hidden while the web page is off.
    QAction *mnuOpenInBrowser = nullptr;
    QAction *mnuN1 = nullptr;
    QAction *mnuConnect = nullptr;
    QAction *mnuDropB1 = nullptr; // data() is the channel command's Tag: 1
    QAction *mnuDropB2 = nullptr; // 2
    QAction *mnuN3 = nullptr;
    QAction *mnuDropAll = nullptr; // 4
    QAction *mnuN4 = nullptr;
    QAction *mnuSaveCapture = nullptr; // the router session for a bug report
    QAction *mnuAbout = nullptr;
    QAction *mnuN2 = nullptr;
    QAction *mnuExit = nullptr;

signals:
    // The user double-clicked the icon: the window should show itself.
    void activationRequested();
    // The user clicked the icon once: the window should show itself, or hide when shown.
    void toggleRequested();

private:
    void createActions();

    std::unique_ptr<QMenu> m_menu;
    QMenu *m_drop = nullptr;
    bool m_dropEnabled = true;
    QSystemTrayIcon *m_tray = nullptr;
    int m_picture = 38;
};
