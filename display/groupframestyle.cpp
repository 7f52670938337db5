// SPDX-License-Identifier: MIT
// Fusion's group-box frame without the image plugins; see groupframestyle.h.
#include "groupframestyle.h"

#include <QApplication>
#include <QGroupBox>
#include <QImageReader>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>
#include <qdrawutil.h>

#include <algorithm>

namespace {

const QString kFusion = QStringLiteral("fusion");
// Fusion's frame picture, compiled into Qt Widgets.
const QString kFramePicture = QStringLiteral(":/qt-project.org/styles/commonstyle/images/fusion_groupbox.png");
// How far below the top of its box Fusion starts the frame of a box with neither title nor
// check box, and how far below the title line otherwise.
constexpr int kFrameTopMargin = 3;

} // namespace

TGroupFrameStyle::TGroupFrameStyle(QStyle *Base) : QProxyStyle(Base) {}

void TGroupFrameStyle::drawPrimitive(PrimitiveElement Element, const QStyleOption *Option, QPainter *Painter,
                                     const QWidget *Widget) const
{
    if (Element == PE_FrameGroupBox && Option && baseStyle()->name() == kFusion) {
        if (!m_frameRead) {
            m_frameRead = true;
            QImageReader reader(kFramePicture, "png");
            reader.setAutoDetectImageFormat(false);
            m_frame = QPixmap::fromImage(reader.read());
        }
        if (!m_frame.isNull()) {
            // Where Fusion puts it: the frame starts below the title line.
            int top = kFrameTopMargin;
            const auto *box = qobject_cast<const QGroupBox *>(Widget);
            if (!box || box->isCheckable() || !box->title().isEmpty())
                top += std::max(baseStyle()->pixelMetric(PM_ExclusiveIndicatorHeight), Option->fontMetrics.height());
            qDrawBorderPixmap(Painter, Option->rect.adjusted(0, top, 0, 0), QMargins(6, 6, 6, 6), m_frame);
            return;
        }
    }
    QProxyStyle::drawPrimitive(Element, Option, Painter, Widget);
}

void InstallGroupFrameStyle()
{
    if (QApplication::style()->name() != kFusion)
        return;
    if (QStyle *fusion = QStyleFactory::create(kFusion))
        QApplication::setStyle(new TGroupFrameStyle(fusion));
}

const QStyle *DrawingStyle(const QStyle *Style)
{
    while (const auto *proxy = qobject_cast<const QProxyStyle *>(Style))
        Style = proxy->baseStyle();
    return Style;
}
