// SPDX-License-Identifier: MIT
// Drawing of the 39 tray pictures. Every size gets its own whole-pixel layout (cell sizes, gaps
// and outlines rounded per size rather than one drawing scaled), so the meter stays sharp at
// 16 px and at the doubled sizes of high-density screens; only the round sign is antialiased.
// A picture is drawn only at the sizes a notification area asks for, when it asks.
#include "traypictures.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

namespace {

constexpr int kCellsPerColumn = 4;
constexpr int kPicturesPerChannel = 6; // data levels 0..3, idle, voice
constexpr int kEmptyMeter = 36;
constexpr int kExclamation = 37;
constexpr int kProhibition = 38;

// Sizes an icon keeps drawn: a notification area asks for one or two (16 and 32 px over D-Bus,
// its own height over XEmbed), so a third covers a change of panel size without redrawing.
constexpr std::size_t kKeptSizes = 3;

std::atomic<long> g_pixmapsDrawn{0};

struct TCellColors
{
    QColor fill;
};

const TCellColors kGreen{QColor(0x2e, 0xd1, 0x3e)};
const TCellColors kRed{QColor(0xf0, 0x30, 0x28)};
const TCellColors kBlue{QColor(0x30, 0x80, 0xff)};
// Unlit: a dark outline with a faint fill, so the empty meter still reads on a dark panel.
const QColor kUnlitEdge(0x55, 0x55, 0x55);
const QColor kUnlitFill(0x80, 0x80, 0x80, 0x40);
const QColor kSignRed(0xe0, 0x10, 0x10);
// Marks are set off from the cells by cutting the meter away around them (DestinationOut), so the
// panel's own colour forms the gap on a light and on a dark desktop alike.
const QColor kCut(0, 0, 0, 0xff);

// The whole-pixel layout of the meter in a size x size square.
struct TMeterLayout
{
    int unit;  // outline width, vertical gap: one pixel per 16
    int cellW; // width of a cell (one column)
    int cellH; // height of a cell
    int gapX;  // between the two columns
    int left;  // x of the left column
    int top;   // y of the top cell
};

TMeterLayout MeterLayout(int size)
{
    TMeterLayout m{};
    m.unit = std::max(1, static_cast<int>(std::lround(size / 16.0)));
    const int marginX = m.unit;
    m.gapX = std::max(2, static_cast<int>(std::lround(size * 2 / 16.0)));
    m.cellW = (size - 2 * marginX - m.gapX) / 2;
    m.cellH = (size - (kCellsPerColumn - 1) * m.unit) / kCellsPerColumn;
    const int meterW = 2 * m.cellW + m.gapX;
    const int meterH = kCellsPerColumn * m.cellH + (kCellsPerColumn - 1) * m.unit;
    m.left = (size - meterW) / 2;
    m.top = size - meterH - (size - meterH) / 2; // any spare row goes to the top
    return m;
}

// The rectangle of cell `cell` (0 = bottom) of column `column` (0 = B1, 1 = B2).
QRect CellRect(const TMeterLayout &m, int column, int cell)
{
    const int x = m.left + column * (m.cellW + m.gapX);
    const int y = m.top + (kCellsPerColumn - 1 - cell) * (m.cellH + m.unit);
    return {x, y, m.cellW, m.cellH};
}

void PaintCell(QPainter &painter, const QRect &r, int edgeWidth, const QColor &fill, const QColor &edge)
{
    // Outline as filled bands rather than a stroked pen: exact pixels at every size.
    painter.fillRect(r, edge);
    const QRect inner = r.adjusted(edgeWidth, edgeWidth, -edgeWidth, -edgeWidth);
    if (inner.isValid()) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(inner, fill);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
}

// How many cells of a column are lit and in which colour, for a row/column code 0..5.
void PaintColumn(QPainter &painter, const TMeterLayout &m, int column, int code)
{
    int lit = 0;
    const TCellColors *colors = &kGreen;
    if (code >= 0 && code <= 3) {
        lit = code + 1;
    } else if (code == 4) {
        lit = 1;
        colors = &kRed;
    } else if (code == 5) {
        lit = 1;
        colors = &kBlue;
    }
    for (int cell = 0; cell < kCellsPerColumn; ++cell) {
        const QRect r = CellRect(m, column, cell);
        if (cell < lit)
            painter.fillRect(r, colors->fill); // solid: a lit cell of 6 x 3 pixels has no room for an edge
        else
            PaintCell(painter, r, m.unit, kUnlitFill, kUnlitEdge);
    }
}

void PaintExclamation(QPainter &painter, int size, const TMeterLayout &m)
{
    // A bar and a dot centred on the gap between the columns.
    const int barW = 2 * std::max(1, static_cast<int>(std::lround(size * 1.5 / 16.0)));
    const int x = (size - barW) / 2;
    const int dotH = std::max(2, static_cast<int>(std::lround(size * 3 / 16.0)));
    const int gap = std::max(1, static_cast<int>(std::lround(size / 16.0)));
    const int top = m.unit;
    const int dotTop = size - m.unit - dotH;
    const QRect bar(x, top, barW, dotTop - gap - top);
    const QRect dot(x, dotTop, barW, dotH);
    const int halo = m.unit;
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.fillRect(bar.adjusted(-halo, -halo, halo, halo), kCut);
    painter.fillRect(dot.adjusted(-halo, -halo, halo, halo), kCut);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.fillRect(bar, kSignRed);
    painter.fillRect(dot, kSignRed);
}

void PaintProhibition(QPainter &painter, int size, const TMeterLayout &m)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double stroke = std::max(2.0, std::round(size * 2 / 16.0));
    const double inset = stroke / 2 + m.unit * 0.5;
    const QRectF circle(inset, inset, size - 2 * inset, size - 2 * inset);
    // The bar runs from upper left to lower right, inside the ring.
    const double r = circle.width() / 2;
    const QPointF c = circle.center();
    const double d = r * std::sqrt(0.5);
    QPainterPath sign;
    sign.addEllipse(circle);
    sign.moveTo(c.x() - d, c.y() - d);
    sign.lineTo(c.x() + d, c.y() + d);
    painter.setBrush(Qt::NoBrush);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
    painter.setPen(QPen(kCut, stroke + 2 * m.unit, Qt::SolidLine, Qt::FlatCap));
    painter.drawPath(sign);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setPen(QPen(kSignRed, stroke, Qt::SolidLine, Qt::FlatCap));
    painter.drawPath(sign);
    painter.restore();
}

} // namespace

void PaintTrayPicture(QPainter &painter, int index, int size)
{
    if (index < 0 || index >= kTrayPictureCount)
        index = kProhibition;
    const TMeterLayout m = MeterLayout(size);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    if (index < kEmptyMeter) {
        PaintColumn(painter, m, 0, index / kPicturesPerChannel);
        PaintColumn(painter, m, 1, index % kPicturesPerChannel);
    } else {
        PaintColumn(painter, m, 0, -1);
        PaintColumn(painter, m, 1, -1);
        if (index == kExclamation)
            PaintExclamation(painter, size, m);
        else if (index == kProhibition)
            PaintProhibition(painter, size, m);
    }
    painter.restore();
}

QPixmap TrayPixmap(int index, int size)
{
    g_pixmapsDrawn.fetch_add(1, std::memory_order_relaxed);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        PaintTrayPicture(painter, index, size);
    }
    return QPixmap::fromImage(image);
}

long TrayPixmapsDrawn()
{
    return g_pixmapsDrawn.load(std::memory_order_relaxed);
}

namespace {

// Draws the picture at the size asked, the first time it is asked. It names no sizes of its own
// (availableSizes is empty), so a D-Bus notification area takes its two defaults rather than
// every size an icon could carry.
class TTrayPictureEngine : public QIconEngine
{
public:
    explicit TTrayPictureEngine(int index) : m_index(index) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QSize side = QSize(std::min(rect.width(), rect.height()), std::min(rect.width(), rect.height()));
        const QPixmap picture = pixmap(side * ratio, mode, state);
        const QRect target(rect.x() + (rect.width() - side.width()) / 2, rect.y() + (rect.height() - side.height()) / 2,
                           side.width(), side.height());
        painter->drawPixmap(target, picture);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        // Square pictures: a wide request gets the largest square that fits.
        const int side = std::max(1, std::min(size.width(), size.height()));
        const auto kept =
            std::find_if(m_kept.begin(), m_kept.end(), [side](const QPixmap &p) { return p.width() == side; });
        if (kept != m_kept.end()) {
            std::rotate(m_kept.begin(), kept, kept + 1);
            return m_kept.front();
        }
        if (m_kept.size() == kKeptSizes)
            m_kept.pop_back();
        m_kept.insert(m_kept.begin(), TrayPixmap(m_index, side));
        return m_kept.front();
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {}; }
    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("linewatch-traypicture"); }
    QIconEngine *clone() const override { return new TTrayPictureEngine(m_index); }

private:
    int m_index;
    std::vector<QPixmap> m_kept; // most recently used first, at most kKeptSizes
};

} // namespace

QIcon TrayPicture(int index)
{
    if (index < 0 || index >= kTrayPictureCount)
        index = kProhibition;
    return QIcon(new TTrayPictureEngine(index));
}
