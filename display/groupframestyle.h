// SPDX-License-Identifier: MIT
// The application style with Fusion's group-box frame drawn from its picture read as PNG alone.
// Fusion reads that picture through an image reader that asks every installed image plugin
// whether it can read it, which maps three decoders the monitor never uses (some 200 KiB).
#pragma once

#include <QPixmap>
#include <QProxyStyle>

class TGroupFrameStyle : public QProxyStyle
{
public:
    // Wraps Base and takes it over.
    explicit TGroupFrameStyle(QStyle *Base);

    void drawPrimitive(PrimitiveElement Element, const QStyleOption *Option, QPainter *Painter,
                       const QWidget *Widget = nullptr) const override;

private:
    mutable QPixmap m_frame;
    mutable bool m_frameRead = false;
};

// Puts the style over the application's own when that is Fusion; any other style stays as it is.
void InstallGroupFrameStyle();

// The style that draws for Style: through any proxies to the style they wrap.
const QStyle *DrawingStyle(const QStyle *Style);
