// SPDX-License-Identifier: MIT
// Renders the 39 tray pictures enlarged into one PNG sheet, on a light and on a dark panel, so the
// artwork can be checked by eye: linewatch-traysheet <out.png> [size] [zoom]. Each picture is drawn
// at `size` pixels (default 16) and blown up `zoom` times (default 8) without smoothing.
#include "traypictures.h"

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <out.png> [size] [zoom]\n", argv[0]);
        return 2;
    }
    const int size = argc > 2 ? std::atoi(argv[2]) : 16;
    const int zoom = argc > 3 ? std::atoi(argv[3]) : 8;
    if (size < 8 || size > 256 || zoom < 1 || zoom > 32) {
        std::fprintf(stderr, "size must be 8..256 and zoom 1..32\n");
        return 2;
    }

    constexpr int kColumns = 6;
    constexpr int kRows = 7; // six rows of B1 states, then 36..38, then all of them at their real size
    constexpr int kPad = 12;
    constexpr int kLabelH = 18;
    const int cell = size * zoom;
    const int paneW = kColumns * (cell + kPad) + kPad;
    const int stripY = kRows * (cell + kLabelH + kPad) + kPad;
    const int paneH = stripY + 2 * (size + kPad) + kPad;
    const QColor panes[] = {QColor(0xee, 0xee, 0xee), QColor(0x2b, 0x2b, 0x2b)};

    QImage sheet(2 * paneW, paneH, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&sheet);
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    for (int pane = 0; pane < 2; ++pane) {
        const int x0 = pane * paneW;
        painter.fillRect(x0, 0, paneW, paneH, panes[pane]);
        painter.setPen(pane == 0 ? Qt::black : Qt::white);
        for (int index = 0; index < kTrayPictureCount; ++index) {
            const int row = index / kColumns;
            const int column = index % kColumns;
            const int x = x0 + kPad + column * (cell + kPad);
            const int y = kPad + row * (cell + kLabelH + kPad);
            const QImage picture = TrayPixmap(index, size).toImage();
            painter.drawImage(QRect(x, y + kLabelH, cell, cell), picture.scaled(cell, cell));
            painter.drawText(QRect(x, y, cell, kLabelH), Qt::AlignLeft | Qt::AlignVCenter, QString::number(index));
            // The real size, in two rows under the enlarged ones, as the tray shows them.
            const int perRow = (kTrayPictureCount + 1) / 2;
            painter.drawImage(
                QPoint(x0 + kPad + (index % perRow) * (size + 4), stripY + (index / perRow) * (size + kPad)), picture);
        }
    }
    painter.end();
    if (!sheet.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
