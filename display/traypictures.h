// SPDX-License-Identifier: MIT
// The tray's 39 pictures, drawn by us: a meter of two columns (B1 left, B2 right) of four cells.
// 0..35 = 6 * r + c with r for B1 and c for B2 (0..3 data level: bottom 1..4 cells green; 4 idle:
// bottom cell red; 5 voice: bottom cell blue); 36 all unlit; 37 red "!"; 38 red prohibition sign.
#pragma once

#include <QIcon>

class QPainter;

constexpr int kTrayPictureCount = 39;

// The picture as an icon that draws itself at whatever size it is asked for, only when asked
// (a notification area asks for one or two sizes; none is asked without one), and keeps the last
// few sizes it drew. An index outside 0..38 gives picture 38.
QIcon TrayPicture(int index);

// Draws picture index into a size x size square at the painter's origin, on a transparent
// background. Small sizes are snapped to whole pixels so 16 px stays crisp.
void PaintTrayPicture(QPainter &painter, int index, int size);

// The picture as one pixmap of size x size device pixels.
QPixmap TrayPixmap(int index, int size);

// How many pixmaps TrayPixmap and the icons have drawn since start: what the tray pictures cost.
long TrayPixmapsDrawn();
