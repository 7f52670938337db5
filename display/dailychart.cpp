// SPDX-License-Identifier: MIT
// Painting of the daily bar chart. The scale's step is a "nice" number of minutes or hours (1, 2,
// 5, 10... of them) so that four to six grid lines fit; every bar is at least a pixel high when its
// day had any traffic, so a short call is never invisible next to a long day.
#include "dailychart.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <array>

namespace {

constexpr int kMargin = 4;
constexpr int kTick = 3;
constexpr int kGridLines = 5;

QFont smallFont(const QFont &base)
{
    QFont font(base);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(std::max(6.0, font.pointSizeF() * 0.85));
    return font;
}

QString clock(int64_t seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

TDailyChart::TDailyChart(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TDailyChart::setBars(std::vector<TBar> bars)
{
    m_bars = std::move(bars);
    update();
}

void TDailyChart::setTexts(const QString &title, const QString &totalName, const QString &partName)
{
    m_title = title;
    m_totalName = totalName;
    m_partName = partName;
    update();
}

void TDailyChart::setMessage(const QString &message)
{
    m_message = message;
    update();
}

TDailyChart::TScale TDailyChart::scale() const
{
    int64_t largest = 0;
    for (const TBar &bar : m_bars)
        largest = std::max(largest, bar.Total);
    const bool hours = largest >= 2 * 3600;
    const int64_t unit = hours ? 3600 : 60;
    const int64_t units = std::max<int64_t>(1, (largest + unit - 1) / unit);
    int64_t step = 1;
    for (int64_t magnitude = 1;; magnitude *= 10) {
        bool found = false;
        for (const int64_t m : {1, 2, 5}) {
            step = m * magnitude;
            if (step * kGridLines >= units) {
                found = true;
                break;
            }
        }
        if (found)
            break;
    }
    const int64_t top = (units + step - 1) / step * step;
    return {top * unit, step * unit, unit, hours ? tr("h") : tr("min")};
}

QRect TDailyChart::plotRect() const
{
    const QFontMetrics title(font());
    const QFontMetrics labels(smallFont(font()));
    const int top = kMargin + (m_title.isEmpty() ? 0 : title.height() + kMargin) + labels.height() / 2;
    const int left = kMargin + labels.horizontalAdvance(QStringLiteral("0000 min")) + kTick;
    const int bottom = height() - 1 - kMargin - 2 * labels.height() - kTick;
    return QRect(QPoint(left, top), QPoint(width() - 1 - kMargin, bottom));
}

QRect TDailyChart::barRect(int index) const
{
    const QRect area = plotRect();
    if (index < 0 || index >= int(m_bars.size()) || area.height() < 2)
        return {};
    const int n = int(m_bars.size());
    const int left = area.left() + index * area.width() / n;
    const int right = area.left() + (index + 1) * area.width() / n;
    const int gap = std::max(1, (right - left) / 5);
    const TBar &bar = m_bars[std::size_t(index)];
    const int64_t top = scale().Top;
    int h = int(int64_t(area.height()) * std::min(bar.Total, top) / top);
    if (bar.Total > 0)
        h = std::max(h, 1);
    return QRect(left + gap / 2, area.bottom() + 1 - h, std::max(1, right - left - gap), h);
}

void TDailyChart::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const QColor text = palette().color(QPalette::WindowText);
    painter.setPen(text);
    if (!m_title.isEmpty())
        painter.drawText(QRect(0, kMargin, width(), fontMetrics().height()), Qt::AlignHCenter | Qt::AlignVCenter,
                         m_title);
    const QRect area = plotRect();
    if (area.width() < 10 || area.height() < 10)
        return;
    painter.fillRect(area, palette().base());
    if (!m_message.isEmpty()) {
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(area.adjusted(kMargin, kMargin, -kMargin, -kMargin), Qt::AlignCenter | Qt::TextWordWrap,
                         m_message);
        return;
    }

    const QFont small = smallFont(font());
    painter.setFont(small);
    const QFontMetrics fm(small);
    const TScale s = scale();
    // Grid and the left axis's labels.
    QColor grid = palette().color(QPalette::Mid);
    for (int64_t v = 0; v <= s.Top; v += s.Step) {
        const int y = area.bottom() - int(int64_t(area.height() - 1) * v / s.Top);
        painter.setPen(grid);
        painter.drawLine(area.left(), y, area.right(), y);
        painter.setPen(text);
        painter.drawLine(area.left() - kTick, y, area.left() - 1, y);
        const QString label = QStringLiteral("%1 %2").arg(v / s.Unit).arg(s.UnitName);
        painter.drawText(QRect(0, y - fm.height() / 2, area.left() - kTick - 2, fm.height()),
                         Qt::AlignRight | Qt::AlignVCenter, label);
    }

    // Bars: the whole in the highlight colour, its darker part below; weekends' labels dimmed.
    const QColor whole = palette().color(QPalette::Highlight);
    const QColor part = whole.darker(170);
    const int n = int(m_bars.size());
    const int labelEvery =
        std::max(1, (fm.horizontalAdvance(QStringLiteral("30")) + 4) * n / std::max(1, area.width()) + 1);
    for (int i = 0; i < n; ++i) {
        const TBar &bar = m_bars[std::size_t(i)];
        const QRect r = barRect(i);
        if (bar.Total > 0) {
            painter.fillRect(r, whole);
            const int partH = int(int64_t(r.height()) * std::min(bar.Part, bar.Total) / bar.Total);
            if (partH > 0)
                painter.fillRect(QRect(r.left(), r.bottom() + 1 - partH, r.width(), partH), part);
        }
        if ((n - 1 - i) % labelEvery != 0)
            continue;
        const int cx = r.center().x();
        painter.setPen(bar.Day.dayOfWeek() >= 6 ? palette().color(QPalette::PlaceholderText) : text);
        painter.drawLine(cx, area.bottom() + 1, cx, area.bottom() + kTick);
        painter.drawText(QRect(cx - 20, area.bottom() + kTick + 1, 40, fm.height()), Qt::AlignHCenter | Qt::AlignTop,
                         QString::number(bar.Day.day()));
    }

    // The legend under the day numbers: two swatches and their names.
    int x = area.left();
    const int y = area.bottom() + kTick + 1 + fm.height();
    for (const auto &[color, name] :
         std::array<std::pair<QColor, QString>, 2>{{{whole, m_totalName}, {part, m_partName}}}) {
        if (name.isEmpty())
            continue;
        const int box = fm.height() - 4;
        painter.fillRect(QRect(x, y + 2, box, box), color);
        painter.setPen(text);
        painter.drawText(QRect(x + box + 4, y, fm.horizontalAdvance(name) + 2, fm.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, name);
        x += box + 4 + fm.horizontalAdvance(name) + 16;
    }
}

bool TDailyChart::event(QEvent *event)
{
    // A day's figures on hovering its bar: date, connected time and the outgoing part.
    if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        for (int i = 0; i < int(m_bars.size()); ++i) {
            QRect column = barRect(i);
            column.setTop(plotRect().top());
            if (!column.contains(help->pos()))
                continue;
            const TBar &bar = m_bars[std::size_t(i)];
            QToolTip::showText(help->globalPos(),
                               QStringLiteral("%1\n%2: %3\n%4: %5")
                                   .arg(QLocale().toString(bar.Day, QLocale::ShortFormat), m_totalName,
                                        clock(bar.Total), m_partName, clock(bar.Part)),
                               this);
            return true;
        }
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    return QWidget::event(event);
}
