// SPDX-License-Identifier: MIT
// Registration of the compiled-in resources and the program icon built from them.
#include "programicon.h"

#include <QIconEngine>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>

#include <array>

// Q_INIT_RESOURCE must be used outside any namespace; it also makes the linker keep the
// resource object file of this static library.
static void InitResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

constexpr std::array kIconSizes{16, 32, 48, 64, 128, 256};

QString iconFile(int Side)
{
    return QStringLiteral(":/linewatch/linewatch-%1.png").arg(Side);
}

// Reads a picture in the named format only: without it QImageReader asks every image plugin
// installed whether it knows the data, which maps each plugin and its library for good.
QImage readImage(const QString &File, const char *Format)
{
    QImageReader reader(File, Format);
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

// The PNGs read on demand: the smallest rendering that covers the size asked for, scaled down
// when no rendering has that size exactly. Nothing is cached; window systems ask once per size.
class TProgramIconEngine : public QIconEngine
{
public:
    QIconEngine *clone() const override { return new TProgramIconEngine; }
    QString key() const override { return QStringLiteral("linewatch-program"); }

    void paint(QPainter *Painter, const QRect &Rect, QIcon::Mode Mode, QIcon::State State) override
    {
        const qreal ratio = Painter->device() ? Painter->device()->devicePixelRatioF() : 1.0;
        Painter->drawPixmap(Rect, pixmap(Rect.size() * ratio, Mode, State));
    }

    // Size is in device pixels: QIcon asks for the logical size times the ratio (through
    // QIconEngine::scaledPixmap, which Qt versions fill in differently; so it is left to them).
    QPixmap pixmap(const QSize &Size, QIcon::Mode, QIcon::State) override
    {
        const int want = qMax(Size.width(), Size.height());
        int side = kIconSizes.back();
        for (const int candidate : kIconSizes) {
            if (candidate >= want) {
                side = candidate;
                break;
            }
        }
        QImage image = readImage(iconFile(side), "png");
        if (image.isNull())
            return {};
        if (side != want && want > 0)
            image = image.scaled(want, want, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        return QPixmap::fromImage(std::move(image));
    }

    QSize actualSize(const QSize &Size, QIcon::Mode, QIcon::State) override
    {
        const int side = qMin(Size.width(), Size.height());
        return QSize(side, side);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int side : kIconSizes)
            sizes.append(QSize(side, side));
        return sizes;
    }

    bool isNull() override { return false; }
};

} // namespace

QIcon ProgramIcon()
{
    InitResources();
    return QIcon(new TProgramIconEngine);
}

QSize MakerBadgeSize()
{
    return {176, 52};
}

void PaintMakerBadge(QPainter &Painter)
{
    Painter.save();
    Painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 52);
    fill.setColorAt(0, QColor(0x1f, 0x4e, 0x8c));
    fill.setColorAt(1, QColor(0x0b, 0x25, 0x4a));
    Painter.setPen(QPen(QColor(0x0b, 0x25, 0x4a), 1));
    Painter.setBrush(fill);
    Painter.drawRoundedRect(QRectF(0.5, 0.5, 175, 51), 8, 8);
    QFont name;
    name.setPixelSize(24);
    name.setBold(true);
    Painter.setFont(name);
    Painter.setPen(Qt::white);
    Painter.drawText(QRectF(0, 2, 176, 32), Qt::AlignCenter, QStringLiteral("Brelwick"));
    QFont line;
    line.setPixelSize(11);
    Painter.setFont(line);
    Painter.setPen(QColor(0xc8, 0xd8, 0xf0));
    Painter.drawText(QRectF(0, 30, 176, 18), Qt::AlignCenter, QStringLiteral("ISDN routers"));
    Painter.restore();
}
