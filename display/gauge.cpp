// SPDX-License-Identifier: MIT
// Painting of the average-usage gauge: a one-pixel frame in the palette's dark shade, the
// background colour inside, and the bar colour rising from the bottom in proportion to the value.
#include "gauge.h"

#include "colorpanel.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

TGauge::TGauge(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TGauge::setValue(int value)
{
    const int shown = std::clamp(value, kMinimum, kMaximum);
    if (shown == m_value)
        return;
    m_value = shown;
    update();
}

void TGauge::setBarColor(uint32_t color)
{
    if (m_barColor == color)
        return;
    m_barColor = color;
    update();
}

void TGauge::setBackgroundColor(uint32_t color)
{
    if (m_backgroundColor == color)
        return;
    m_backgroundColor = color;
    update();
}

void TGauge::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect outer = rect();
    painter.fillRect(outer, palette().color(QPalette::Dark));
    const QRect inner = outer.adjusted(1, 1, -1, -1);
    if (!inner.isValid())
        return;
    painter.fillRect(inner, ColorFromBGR(m_backgroundColor));
    const int fill = static_cast<int>(std::lround(inner.height() * double(m_value - kMinimum) / (kMaximum - kMinimum)));
    if (fill > 0)
        painter.fillRect(QRect(inner.left(), inner.bottom() - fill + 1, inner.width(), fill), ColorFromBGR(m_barColor));
}
