// SPDX-License-Identifier: MIT
// Painting of the 90-second usage chart: title on top, the left axis's labels 0..100 every 10 and
// the bottom axis's -90..0 every 5 outside the plotting area, grid lines at the labels inside it,
// axis lines hidden. The frame and texts follow the widget's palette so a dark desktop theme
// keeps them readable; the plotting area uses the user's chosen colours.
#include "usagechart.h"

#include "colorpanel.h"
#include "refresh.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kXMin = -90.0;
constexpr double kXMax = 0.0;
constexpr double kXLabelStep = 5.0;
constexpr int kXMinorTicks = 4; // between two labels
constexpr double kYMin = -1.5;
constexpr double kYMax = 101.0;
constexpr double kYLabelStep = 10.0;
constexpr double kYFirstLabel = 0.0;
constexpr double kYLastLabel = 100.0;
constexpr int kYMinorTicks = 1;

constexpr int kMajorTick = 4;
constexpr int kMinorTick = 2;
constexpr int kLabelGap = 2; // between a tick and its label
constexpr int kMargin = 4;

QFont LabelFont(const QFont &base)
{
    // Nineteen labels share the bottom axis, so they use a slightly smaller face than the title.
    QFont font(base);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(std::max(6.0, font.pointSizeF() * 0.85));
    else
        font.setPixelSize(std::max(8, font.pixelSize() * 85 / 100));
    return font;
}

QFont TitleFont(const QFont &base)
{
    QFont font(base);
    font.setBold(true);
    return font;
}

QString AxisNumber(double value)
{
    return QString::number(static_cast<int>(std::lround(value)));
}

} // namespace

TUsageChart::TUsageChart(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TUsageChart::setTitle(const QString &title)
{
    if (m_title == title)
        return;
    m_title = title;
    update();
}

void TUsageChart::setHistory(const TUsageHistory *history)
{
    m_history = history;
    update();
}

void TUsageChart::setLineColor(uint32_t color)
{
    if (m_lineColor == color)
        return;
    m_lineColor = color;
    update();
}

void TUsageChart::setBackgroundColor(uint32_t color)
{
    if (m_backgroundColor == color)
        return;
    m_backgroundColor = color;
    update();
}

void TUsageChart::setGridColor(uint32_t color)
{
    if (m_gridColor == color)
        return;
    m_gridColor = color;
    update();
}

QRect TUsageChart::plotRect() const
{
    const QFontMetrics title(TitleFont(font()));
    const QFontMetrics labels(LabelFont(font()));
    const int titleH = m_title.isEmpty() ? 0 : title.height() + kMargin;
    // Room on the left for the widest label ("100"), on the right for half of the last bottom
    // label ("0", centred on the right edge), below for one row of labels.
    const int leftRoom = labels.horizontalAdvance(QStringLiteral("100")) + kLabelGap + kMajorTick + kMargin;
    const int rightRoom = labels.horizontalAdvance(QStringLiteral("-0")) / 2 + kMargin + 2;
    const int bottomRoom = kMajorTick + kLabelGap + labels.height() + kMargin / 2;
    const int top = kMargin + titleH + labels.height() / 2;
    return QRect(QPoint(leftRoom, top), QPoint(width() - 1 - rightRoom, height() - 1 - bottomRoom));
}

QPoint TUsageChart::plotPoint(double x, double y) const
{
    return mapToArea(plotRect(), x, y);
}

QPoint TUsageChart::mapToArea(const QRect &area, double x, double y)
{
    const double fx = (x - kXMin) / (kXMax - kXMin);
    const double fy = (y - kYMin) / (kYMax - kYMin);
    return {area.left() + static_cast<int>(std::lround(fx * (area.width() - 1))),
            area.bottom() - static_cast<int>(std::lround(fy * (area.height() - 1)))};
}

void TUsageChart::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());

    const QRect area = plotRect();
    if (area.width() < 2 || area.height() < 2)
        return;
    const QColor textColor = palette().color(QPalette::WindowText);
    const QColor tickColor = palette().color(QPalette::WindowText);

    if (!m_title.isEmpty()) {
        painter.setFont(TitleFont(font()));
        painter.setPen(textColor);
        const QFontMetrics fm(painter.font());
        painter.drawText(QRect(0, kMargin, width(), fm.height()), Qt::AlignHCenter | Qt::AlignVCenter, m_title);
    }

    painter.fillRect(area, ColorFromBGR(m_backgroundColor));

    // Grid lines at every label, both axes, in the grid colour.
    painter.setPen(QPen(ColorFromBGR(m_gridColor), 0));
    for (double x = kXMin; x <= kXMax + 1e-9; x += kXLabelStep) {
        const int px = mapToArea(area, x, 0).x();
        painter.drawLine(px, area.top(), px, area.bottom());
    }
    for (double y = kYFirstLabel; y <= kYLastLabel + 1e-9; y += kYLabelStep) {
        const int py = mapToArea(area, kXMin, y).y();
        painter.drawLine(area.left(), py, area.right(), py);
    }

    // Ticks and labels outside the plotting area; the axis lines themselves stay hidden.
    const QFont labelFont = LabelFont(font());
    painter.setFont(labelFont);
    const QFontMetrics fm(labelFont);
    painter.setPen(QPen(tickColor, 0));
    const double xMinorStep = kXLabelStep / (kXMinorTicks + 1);
    for (double x = kXMin; x <= kXMax + 1e-9; x += xMinorStep) {
        const int px = mapToArea(area, x, 0).x();
        const bool major = std::fmod(std::fabs(x - kXMin) + 1e-6, kXLabelStep) < 1e-3;
        painter.drawLine(px, area.bottom() + 1, px, area.bottom() + (major ? kMajorTick : kMinorTick));
    }
    const double yMinorStep = kYLabelStep / (kYMinorTicks + 1);
    for (double y = kYFirstLabel; y <= kYLastLabel + 1e-9; y += yMinorStep) {
        const int py = mapToArea(area, kXMin, y).y();
        const bool major = std::fmod(y - kYFirstLabel + 1e-6, kYLabelStep) < 1e-3;
        painter.drawLine(area.left() - (major ? kMajorTick : kMinorTick), py, area.left() - 1, py);
    }
    painter.setPen(textColor);
    for (double x = kXMin; x <= kXMax + 1e-9; x += kXLabelStep) {
        const int px = mapToArea(area, x, 0).x();
        const QString text = AxisNumber(x);
        const int w = fm.horizontalAdvance(text);
        painter.drawText(QRect(px - w, area.bottom() + kMajorTick + kLabelGap, 2 * w, fm.height()),
                         Qt::AlignHCenter | Qt::AlignTop, text);
    }
    for (double y = kYFirstLabel; y <= kYLastLabel + 1e-9; y += kYLabelStep) {
        const int py = mapToArea(area, kXMin, y).y();
        const int right = area.left() - kMajorTick - kLabelGap;
        painter.drawText(QRect(0, py - fm.height() / 2, right, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                         AxisNumber(y));
    }

    // The series: a plain line through the 91 points, no markers, clipped to the plotting area
    // (a value above 101 or below -1.5 leaves the chart rather than drawing over the labels).
    if (m_history) {
        painter.setClipRect(area);
        painter.setPen(QPen(ColorFromBGR(m_lineColor), 0));
        QPolygon line;
        line.reserve(TUsageHistory::kPointCount);
        for (int i = 0; i < TUsageHistory::kPointCount; ++i) {
            const double value = m_history->Y(i);
            const double y = std::isfinite(value) ? std::clamp(value, -1000.0, 1000.0) : 0.0; // pixels stay ints
            line << mapToArea(area, TUsageHistory::X(i), y);
        }
        painter.drawPolyline(line);
    }
}

void TUsageChart::changeEvent(QEvent *event)
{
    // A new font or palette (theme change) moves the plotting area and recolours the texts.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange)
        update();
    QWidget::changeEvent(event);
}
