// The clickable colour panel.
#include "colorpanel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

QColor ColorFromBGR(uint32_t color)
{
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

uint32_t ColorToBGR(const QColor &color)
{
    return uint32_t(color.red()) | (uint32_t(color.green()) << 8) | (uint32_t(color.blue()) << 16);
}

TColorPanel::TColorPanel(QWidget *parent) : QWidget(parent) {}

void TColorPanel::setText(const QString &text)
{
    m_text = text;
    update();
}

void TColorPanel::setColor(uint32_t color)
{
    m_color = color;
    update();
}

QSize TColorPanel::sizeHint() const
{
    return {41, 21};
}

void TColorPanel::paintEvent(QPaintEvent *) {}

void TColorPanel::mousePressEvent(QMouseEvent *) {}

void TColorPanel::mouseReleaseEvent(QMouseEvent *) {}

void TColorPanel::keyPressEvent(QKeyEvent *event)
{
    QWidget::keyPressEvent(event);
}
