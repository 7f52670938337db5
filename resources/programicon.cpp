// Registration of the compiled-in resources and the program icon built from them.
#include "programicon.h"

#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>

// Q_INIT_RESOURCE must be used outside any namespace; it also makes the linker keep the
// resource object file of this static library.
static void InitResources()
{
    Q_INIT_RESOURCE(resources);
}

QIcon ProgramIcon()
{
    InitResources();
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/linewatch/linewatch-%1.png").arg(size), QSize(size, size));
    if (QImageReader::supportedImageFormats().contains("svg"))
        icon.addFile(QStringLiteral(":/linewatch/linewatch.svg"));
    return icon;
}

// The router maker's badge on the About tab, drawn here rather than shipped as an image.
QPixmap MakerBadge()
{
    const qreal ratio = 2.0;
    QPixmap pixmap(QSize(176, 52) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 52);
    fill.setColorAt(0, QColor(0x1f, 0x4e, 0x8c));
    fill.setColorAt(1, QColor(0x0b, 0x25, 0x4a));
    p.setPen(QPen(QColor(0x0b, 0x25, 0x4a), 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(0.5, 0.5, 175, 51), 8, 8);
    QFont name;
    name.setPixelSize(24);
    name.setBold(true);
    p.setFont(name);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 2, 176, 32), Qt::AlignCenter, QStringLiteral("Brelwick"));
    QFont line;
    line.setPixelSize(11);
    p.setFont(line);
    p.setPen(QColor(0xc8, 0xd8, 0xf0));
    p.drawText(QRectF(0, 30, 176, 18), Qt::AlignCenter, QStringLiteral("ISDN routers"));
    return pixmap;
}
