// Drawing of the 39 tray pictures.
#include "traypictures.h"

#include <QPainter>
#include <QPixmap>

QIcon TrayPicture(int)
{
    return {};
}

void PaintTrayPicture(QPainter &, int, int) {}

QPixmap TrayPixmap(int, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}
