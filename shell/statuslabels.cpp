// SPDX-License-Identifier: MIT
// The Status tab's value labels; see statuslabels.h.
#include "statuslabels.h"

#include "ui_frmmain.h"

#include <QCoreApplication>
#include <QImage>
#include <QLocale>
#include <QPixmap>

namespace {

QString fromBytes(const std::string &text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// A plain colour where the backdrop is one, which most are: it costs no memory and fills fastest.
QBrush backdropBrush(const QPixmap &backdrop)
{
    const QImage image = backdrop.toImage();
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != first)
                return QBrush(backdrop);
        }
    }
    return QBrush(QColor::fromRgb(first));
}

} // namespace

TStatusLabels::TStatusLabels(Ui::TfrmMain &Ui, QWidget *Window) : m_ui(Ui), m_window(Window)
{
    for (QLabel *label : labels())
        m_painter.watch(label);
}

std::array<QLabel *, TStatusLabels::kCount> TStatusLabels::labels() const
{
    return {m_ui.lblB1Link,
            m_ui.lblB1Speed,
            m_ui.lblB1TX,
            m_ui.lblB1RX,
            m_ui.lblB1Errors,
            m_ui.lblB1CLU,
            m_ui.lblB1ALU,
            m_ui.lblB1UpTime,
            m_ui.lblB1IP,
            m_ui.lblB2Link,
            m_ui.lblB2Speed,
            m_ui.lblB2TX,
            m_ui.lblB2RX,
            m_ui.lblB2Errors,
            m_ui.lblB2CLU,
            m_ui.lblB2ALU,
            m_ui.lblB2UpTime,
            m_ui.lblB2IP,
            m_ui.lblLANStatus,
            m_ui.lblLANSent,
            m_ui.lblLANReceived,
            m_ui.lblLANCollisions,
            m_ui.lblTotalOutcallTime,
            m_ui.lblTriggerSrc,
            m_ui.lblTriggerDest,
            m_ui.lblName,
            m_ui.lblFirmware,
            m_ui.lblIPAddress};
}

void TStatusLabels::fix()
{
    // A label given a new text asks its layouts for room; the request climbs to the tab widget,
    // which then repaints the whole page, and a tick changes several figures. The window has a
    // fixed size and each value label already has room for its longest text (reserveWidths), so
    // once the page is laid out their sizes are final; fixed there, a new figure repaints only
    // its own label.
    if (m_fixed || !m_ui.tabStatus->isVisible())
        return;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    const auto labels = this->labels();
    std::array<QString, kCount> texts;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        m_minimum[i] = labels[i]->minimumSize();
        labels[i]->setFixedSize(labels[i]->size());
        texts[i] = labels[i]->text();
        labels[i]->setText(QString());
    }
    // A label that is not opaque still has its group box, the tab's frame and the window drawn
    // beneath it at every repaint (the group box lays out its title's text each time). Each label
    // instead fills its background with what those draw there, taken once with the labels empty;
    // that makes it opaque, and the picture on screen stays the same.
    for (std::size_t i = 0; i < labels.size(); ++i) {
        QLabel *label = labels[i];
        const QPixmap backdrop = m_window->grab(QRect(label->mapTo(m_window, QPoint()), label->size()));
        if (!backdrop.isNull() && !backdrop.hasAlphaChannel()) {
            QPalette palette;
            palette.setBrush(QPalette::Window, backdropBrush(backdrop));
            label->setPalette(palette);
            label->setAutoFillBackground(true);
            // Filled by the label painter in the same pass as its text: one painter, not two.
            label->setAttribute(Qt::WA_OpaquePaintEvent);
        }
        label->setText(texts[i]);
    }
    m_fixed = true;
}

void TStatusLabels::release()
{
    m_shown.reset();
    if (!m_fixed)
        return;
    const auto labels = this->labels();
    for (std::size_t i = 0; i < labels.size(); ++i) {
        labels[i]->setAttribute(Qt::WA_OpaquePaintEvent, false);
        labels[i]->setAutoFillBackground(false);
        labels[i]->setPalette(QPalette());
        labels[i]->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        labels[i]->setMinimumSize(m_minimum[i]);
    }
    m_fixed = false;
}

void TStatusLabels::show(const TConsoleSession &Session, TServiceNames &ServiceNames)
{
    fix();
    // Only the figures that changed are written: from one second to the next most stand still,
    // and even an unchanged text costs its formatting and the label's comparison.
    // Counters and rates both follow the locale: a German "178,451" beside "5,31KB/s" reads as
    // 178 and a fraction.
    const QLocale locale;
    TShown now{Session.B1,
               Session.B2,
               Session.Router,
               ServiceNames.LookupServiceName(Session.Router.TriggerDestPort),
               locale.decimalPoint(),
               locale.groupSeparator()};
    const bool all =
        !m_shown || m_shown->DecimalPoint != now.DecimalPoint || m_shown->GroupSeparator != now.GroupSeparator;
    const auto channel = [all, &locale](const TChannelStatus &C, const TChannelStatus &Was, QLabel *Link, QLabel *Speed,
                                        QLabel *TX, QLabel *RX, QLabel *Errors, QLabel *CLU, QLabel *ALU,
                                        QLabel *UpTime, QLabel *IP) {
        if (all || C.Link != Was.Link)
            Link->setText(fromBytes(C.Link));
        if (all || C.Speed != Was.Speed)
            Speed->setText(QString::number(C.Speed) + QStringLiteral("Kbps"));
        if (all || C.TX != Was.TX)
            TX->setText(GroupThousands(C.TX, locale));
        if (all || C.RX != Was.RX)
            RX->setText(GroupThousands(C.RX, locale));
        if (all || C.Errors != Was.Errors)
            Errors->setText(GroupThousands(C.Errors, locale));
        if (all || C.CLU != Was.CLU || C.Speed != Was.Speed)
            CLU->setText(UsageText(C.CLU, C.Speed, locale));
        if (all || C.ALU != Was.ALU || C.Speed != Was.Speed)
            ALU->setText(UsageText(C.ALU, C.Speed, locale));
        if (all || C.UpTime != Was.UpTime)
            UpTime->setText(fromBytes(C.UpTime));
        if (all || C.IP != Was.IP)
            IP->setText(fromBytes(C.IP));
    };
    const TShown &was = m_shown ? *m_shown : now;
    channel(now.B1, was.B1, m_ui.lblB1Link, m_ui.lblB1Speed, m_ui.lblB1TX, m_ui.lblB1RX, m_ui.lblB1Errors,
            m_ui.lblB1CLU, m_ui.lblB1ALU, m_ui.lblB1UpTime, m_ui.lblB1IP);
    channel(now.B2, was.B2, m_ui.lblB2Link, m_ui.lblB2Speed, m_ui.lblB2TX, m_ui.lblB2RX, m_ui.lblB2Errors,
            m_ui.lblB2CLU, m_ui.lblB2ALU, m_ui.lblB2UpTime, m_ui.lblB2IP);

    const TRouterStatus &R = now.Router;
    const TRouterStatus &Was = was.Router;
    if (all || R.LANStatus != Was.LANStatus)
        m_ui.lblLANStatus->setText(fromBytes(R.LANStatus));
    if (all || R.LANSent != Was.LANSent)
        m_ui.lblLANSent->setText(GroupThousands(R.LANSent, locale));
    if (all || R.LANReceived != Was.LANReceived)
        m_ui.lblLANReceived->setText(GroupThousands(R.LANReceived, locale));
    if (all || R.LANCollisions != Was.LANCollisions)
        m_ui.lblLANCollisions->setText(GroupThousands(R.LANCollisions, locale));
    if (all || R.TotalOutcallTime != Was.TotalOutcallTime)
        m_ui.lblTotalOutcallTime->setText(fromBytes(R.TotalOutcallTime));
    if (all || R.TriggerSrcIP != Was.TriggerSrcIP || R.TriggerSrcPort != Was.TriggerSrcPort)
        m_ui.lblTriggerSrc->setText(fromBytes(R.TriggerSrcIP) + QLatin1Char(':') + QString::number(R.TriggerSrcPort));
    if (all || R.TriggerDestIP != Was.TriggerDestIP || R.TriggerDestPort != Was.TriggerDestPort ||
        now.ServiceName != was.ServiceName)
        m_ui.lblTriggerDest->setText(fromBytes(R.TriggerDestIP) + QLatin1Char(':') +
                                     QString::number(R.TriggerDestPort) + QStringLiteral(" [") +
                                     fromBytes(now.ServiceName) + QLatin1Char(']'));
    if (all || R.Name != Was.Name)
        m_ui.lblName->setText(fromBytes(R.Name));
    if (all || R.Firmware != Was.Firmware)
        m_ui.lblFirmware->setText(fromBytes(R.Firmware));
    if (all || R.IPAddress != Was.IPAddress)
        m_ui.lblIPAddress->setText(fromBytes(R.IPAddress));
    m_shown = std::move(now);
}
