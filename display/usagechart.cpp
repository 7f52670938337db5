// Painting of the 90-second usage chart.
#include "usagechart.h"

#include "colorpanel.h"
#include "refresh.h"

#include <QEvent>
#include <QPainter>

TUsageChart::TUsageChart(QWidget *parent) : QWidget(parent) {}

void TUsageChart::setTitle(const QString &title)
{
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
    m_lineColor = color;
    update();
}

void TUsageChart::setBackgroundColor(uint32_t color)
{
    m_backgroundColor = color;
    update();
}

void TUsageChart::setGridColor(uint32_t color)
{
    m_gridColor = color;
    update();
}

QRect TUsageChart::plotRect() const
{
    return rect();
}

void TUsageChart::paintEvent(QPaintEvent *) {}

void TUsageChart::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
}
