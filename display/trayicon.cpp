// The notification-area icon and its menu.
#include "trayicon.h"

#include "traypictures.h"

#include <QMenu>
#include <QSystemTrayIcon>

TTrayIcon::TTrayIcon(QObject *parent) : QObject(parent)
{
    createMenu();
    m_tray = new QSystemTrayIcon(this);
}

TTrayIcon::~TTrayIcon() = default;

void TTrayIcon::createMenu()
{
    m_menu = std::make_unique<QMenu>();
    pupTray = m_menu.get();
    mnuStatus = pupTray->addAction(tr("&Status"));
    mnuGraph = pupTray->addAction(tr("&Graph"));
    mnuSettings = pupTray->addAction(tr("S&ettings"));
    mnuN1 = pupTray->addSeparator();
    mnuConnect = pupTray->addAction(tr("&Connect"));
    Drop1 = pupTray->addMenu(tr("&Drop"));
    mnuDropB1 = Drop1->addAction(tr("B1"));
    mnuDropB2 = Drop1->addAction(tr("B2"));
    mnuN3 = Drop1->addSeparator();
    mnuDropAll = Drop1->addAction(tr("All"));
    mnuDropB1->setData(1);
    mnuDropB2->setData(2);
    mnuDropAll->setData(4);
    mnuN4 = pupTray->addSeparator();
    mnuAbout = pupTray->addAction(tr("&About"));
    mnuN2 = pupTray->addSeparator();
    mnuExit = pupTray->addAction(tr("E&xit"));
}

void TTrayIcon::show()
{
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
    m_picture = index;
}

void TTrayIcon::setTip(const QString &tip)
{
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
