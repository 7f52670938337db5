// Painting of the average-usage gauge.
#include "gauge.h"

#include "colorpanel.h"

#include <QPainter>

TGauge::TGauge(QWidget *parent) : QWidget(parent) {}

void TGauge::setValue(int value)
{
    m_value = value;
}

void TGauge::setBarColor(uint32_t color)
{
    m_barColor = color;
}

void TGauge::setBackgroundColor(uint32_t color)
{
    m_backgroundColor = color;
}

void TGauge::paintEvent(QPaintEvent *) {}
