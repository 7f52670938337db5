// SPDX-License-Identifier: MIT
// The clickable colour panel: a sunken frame, the colour, and the caption in black or white,
// whichever reads better on that colour. Clicks come from the left mouse button (press and
// release inside) or from Space/Enter when the panel has the keyboard focus.
#include "colorpanel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

QColor ColorFromBGR(uint32_t color)
{
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

uint32_t ColorToBGR(const QColor &color)
{
    const QColor rgb = color.toRgb();
    return uint32_t(rgb.red()) | (uint32_t(rgb.green()) << 8) | (uint32_t(rgb.blue()) << 16);
}

TColorPanel::TColorPanel(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TColorPanel::setText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

void TColorPanel::setColor(uint32_t color)
{
    // Only the three colour bytes are a colour; the top byte is not part of the stored form.
    color &= 0x00FFFFFF;
    if (m_color == color)
        return;
    m_color = color;
    update();
}

QSize TColorPanel::sizeHint() const
{
    const QFontMetrics fm(font());
    return {std::max(41, fm.horizontalAdvance(m_text) + 12), std::max(21, fm.height() + 6)};
}

void TColorPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect r = rect();
    // Sunken bevel: dark on the top and left, light on the bottom and right.
    painter.fillRect(r, palette().color(QPalette::Light));
    painter.fillRect(QRect(r.left(), r.top(), r.width() - 1, 1), palette().color(QPalette::Dark));
    painter.fillRect(QRect(r.left(), r.top(), 1, r.height() - 1), palette().color(QPalette::Dark));
    const QRect inner = r.adjusted(1, 1, -1, -1);
    const QColor fill = ColorFromBGR(m_color);
    painter.fillRect(inner, fill);
    // Perceived brightness decides the caption colour, so "Back" on black stays readable.
    const int luma = (fill.red() * 299 + fill.green() * 587 + fill.blue() * 114) / 1000;
    painter.setPen(luma >= 128 ? Qt::black : Qt::white);
    painter.drawText(inner, Qt::AlignCenter, m_text);
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = inner.adjusted(1, 1, -1, -1);
        option.backgroundColor = fill;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

void TColorPanel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_pressed = true;
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void TColorPanel::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_pressed) {
        m_pressed = false;
        event->accept();
        if (rect().contains(event->position().toPoint()))
            emit clicked();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void TColorPanel::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        emit clicked();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}
