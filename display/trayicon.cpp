// The notification-area icon and its menu. Only the picture showing exists, and it is drawn only
// at the sizes the notification area asks for (none without one); the refresh picks one per
// second, and an unchanged picture or tip is not sent to the desktop again (some notification
// areas flicker on every change).
#include "trayicon.h"

#include "traypictures.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include <utility>

namespace {

constexpr int kNoDataPicture = 38;
const char *const kStartTip = "B1[No Data] B2[No Data]";

} // namespace

TTrayIcon::TTrayIcon(QObject *parent) : QObject(parent)
{
    createMenu();

    m_tray = new QSystemTrayIcon(this);
    m_tray->setIcon(TrayPicture(kNoDataPicture));
    m_tray->setToolTip(QString::fromLatin1(kStartTip));
    m_tray->setContextMenu(pupTray);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The right button opens pupTray by itself.
        if (reason == QSystemTrayIcon::DoubleClick)
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

void TTrayIcon::createMenu()
{
    m_menu = std::make_unique<QMenu>();
    pupTray = m_menu.get();
    pupTray->setObjectName(QStringLiteral("pupTray"));

    mnuStatus = pupTray->addAction(tr("&Status"));
    QFont bold = mnuStatus->font();
    bold.setBold(true);
    mnuStatus->setFont(bold);
    pupTray->setDefaultAction(mnuStatus);
    mnuGraph = pupTray->addAction(tr("&Graph"));
    mnuSettings = pupTray->addAction(tr("S&ettings"));
    mnuN1 = pupTray->addSeparator();
    mnuConnect = pupTray->addAction(tr("&Connect"));
    Drop1 = pupTray->addMenu(tr("&Drop"));
    mnuDropB1 = Drop1->addAction(tr("B1"));
    mnuDropB1->setData(1);
    mnuDropB2 = Drop1->addAction(tr("B2"));
    mnuDropB2->setData(2);
    mnuN3 = Drop1->addSeparator();
    mnuDropAll = Drop1->addAction(tr("All"));
    mnuDropAll->setData(4);
    mnuN4 = pupTray->addSeparator();
    mnuAbout = pupTray->addAction(tr("&About"));
    mnuN2 = pupTray->addSeparator();
    mnuExit = pupTray->addAction(tr("E&xit"));

    const std::pair<QAction *, const char *> names[] = {{mnuStatus, "mnuStatus"},     {mnuGraph, "mnuGraph"},
                                                        {mnuSettings, "mnuSettings"}, {mnuN1, "mnuN1"},
                                                        {mnuConnect, "mnuConnect"},   {mnuDropB1, "mnuDropB1"},
                                                        {mnuDropB2, "mnuDropB2"},     {mnuN3, "mnuN3"},
                                                        {mnuDropAll, "mnuDropAll"},   {mnuN4, "mnuN4"},
                                                        {mnuAbout, "mnuAbout"},       {mnuN2, "mnuN2"},
                                                        {mnuExit, "mnuExit"},         {Drop1->menuAction(), "Drop1"}};
    for (const auto &[action, name] : names)
        action->setObjectName(QLatin1String(name));
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
