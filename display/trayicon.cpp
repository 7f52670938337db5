// SPDX-License-Identifier: MIT
// The notification-area icon and its menu. Only the picture showing exists, and it is drawn only
// at the sizes the notification area asks for (none without one); the refresh picks one per
// second, and an unchanged picture or tip is not sent to the desktop again (some notification
// areas flicker on every change).
#include "trayicon.h"

#include "traypictures.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include <utility>

namespace {

constexpr int kNoDataPicture = 38;
const char *const kStartTip = "B1[No Data] B2[No Data]";

} // namespace

TTrayIcon::TTrayIcon(QObject *parent) : QObject(parent)
{
    createActions();

    m_tray = new QSystemTrayIcon(this);
    m_tray->setIcon(TrayPicture(kNoDataPicture));
    m_tray->setToolTip(QString::fromLatin1(kStartTip));
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The right button opens pupTray by itself once it is made; a notification area that came
        // after the icon asks for it first.
        if (reason == QSystemTrayIcon::Context && !m_menu)
            pupTray()->popup(QCursor::pos());
        else if (reason == QSystemTrayIcon::DoubleClick)
            emit activationRequested();
        else if (reason == QSystemTrayIcon::Trigger)
            emit toggleRequested();
    });
}

TTrayIcon::~TTrayIcon()
{
    // The menu is no QObject child of ours (a QMenu needs a widget parent); detach it from the
    // tray icon before it goes.
    if (m_tray)
        m_tray->setContextMenu(nullptr);
}

void TTrayIcon::createActions()
{
    const auto entry = [this](const QString &text) { return new QAction(text, this); };
    const auto separator = [this] {
        auto *action = new QAction(this);
        action->setSeparator(true);
        return action;
    };
    mnuStatus = entry(tr("&Status"));
    QFont bold = mnuStatus->font();
    bold.setBold(true);
    mnuStatus->setFont(bold);
    mnuGraph = entry(tr("&Graph"));
    mnuSettings = entry(tr("S&ettings"));
    mnuOpenInBrowser = entry(tr("Open in &Browser"));
    mnuOpenInBrowser->setVisible(false);
    mnuN1 = separator();
    mnuConnect = entry(tr("&Connect"));
    mnuDropB1 = entry(tr("B1"));
    mnuDropB1->setData(1);
    mnuDropB2 = entry(tr("B2"));
    mnuDropB2->setData(2);
    mnuN3 = separator();
    mnuDropAll = entry(tr("All"));
    mnuDropAll->setData(4);
    mnuN4 = separator();
    mnuSaveCapture = entry(tr("Save Router Session for a Bug Report..."));
    mnuAbout = entry(tr("&About"));
    mnuN2 = separator();
    mnuExit = entry(tr("E&xit"));

    const std::pair<QAction *, const char *> names[] = {{mnuStatus, "mnuStatus"},
                                                        {mnuGraph, "mnuGraph"},
                                                        {mnuSettings, "mnuSettings"},
                                                        {mnuOpenInBrowser, "mnuOpenInBrowser"},
                                                        {mnuN1, "mnuN1"},
                                                        {mnuConnect, "mnuConnect"},
                                                        {mnuDropB1, "mnuDropB1"},
                                                        {mnuDropB2, "mnuDropB2"},
                                                        {mnuN3, "mnuN3"},
                                                        {mnuDropAll, "mnuDropAll"},
                                                        {mnuN4, "mnuN4"},
                                                        {mnuSaveCapture, "mnuSaveCapture"},
                                                        {mnuAbout, "mnuAbout"},
                                                        {mnuN2, "mnuN2"},
                                                        {mnuExit, "mnuExit"}};
    for (const auto &[action, name] : names)
        action->setObjectName(QLatin1String(name));
}

QMenu *TTrayIcon::pupTray()
{
    if (m_menu)
        return m_menu.get();
    m_menu = std::make_unique<QMenu>();
    m_menu->setObjectName(QStringLiteral("pupTray"));
    m_menu->addActions({mnuStatus, mnuGraph, mnuSettings, mnuOpenInBrowser, mnuN1, mnuConnect});
    m_menu->setDefaultAction(mnuStatus);
    m_drop = m_menu->addMenu(tr("&Drop"));
    m_drop->menuAction()->setObjectName(QStringLiteral("Drop1"));
    m_drop->addActions({mnuDropB1, mnuDropB2, mnuN3, mnuDropAll});
    m_drop->setEnabled(m_dropEnabled);
    m_menu->addActions({mnuN4, mnuSaveCapture, mnuAbout, mnuN2, mnuExit});
    m_tray->setContextMenu(m_menu.get());
    return m_menu.get();
}

QMenu *TTrayIcon::Drop1()
{
    pupTray();
    return m_drop;
}

void TTrayIcon::setDropEnabled(bool enabled)
{
    m_dropEnabled = enabled;
    if (m_drop)
        m_drop->setEnabled(enabled);
}

void TTrayIcon::show()
{
    // Where a notification area shows the icon, its menu is there before the first right-click.
    if (isAvailable())
        pupTray();
    m_tray->show();
}

void TTrayIcon::hide()
{
    m_tray->hide();
}

bool TTrayIcon::isVisible() const
{
    return m_tray->isVisible();
}

void TTrayIcon::setPicture(int index)
{
    if (index < 0 || index >= kTrayPictureCount)
        index = kNoDataPicture;
    if (index == m_picture)
        return;
    m_picture = index;
    m_tray->setIcon(TrayPicture(index));
}

void TTrayIcon::setTip(const QString &tip)
{
    if (tip == m_tray->toolTip())
        return;
    m_tray->setToolTip(tip);
}

QString TTrayIcon::tip() const
{
    return m_tray->toolTip();
}

bool TTrayIcon::isAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayIcon::showMessage(const QString &title, const QString &text)
{
    if (m_tray && QSystemTrayIcon::isSystemTrayAvailable())
        m_tray->showMessage(title, text, QSystemTrayIcon::Information, 8000);
}
