// SPDX-License-Identifier: MIT
// The graph page's 90-second usage chart (Chart1, Chart2): one small self-painting widget with a
// title, fixed axes (-90..0 s across, -1.5..101 % up), grid, a filled plotting area and the
// history drawn as a plain line. It only reads the history; the refresh steps it and calls update().
#pragma once

#include <QWidget>

#include <cstdint>

class TUsageHistory;

class TUsageChart : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString title READ title WRITE setTitle)
    Q_PROPERTY(uint lineColor READ lineColor WRITE setLineColor)
    Q_PROPERTY(uint backgroundColor READ backgroundColor WRITE setBackgroundColor)
    Q_PROPERTY(uint gridColor READ gridColor WRITE setGridColor)

public:
    explicit TUsageChart(QWidget *parent = nullptr);

    QString title() const { return m_title; }
    void setTitle(const QString &title);

    // The history to draw; not owned, may be null (then nothing is plotted).
    void setHistory(const TUsageHistory *history);
    const TUsageHistory *history() const { return m_history; }

    // Colours are 0x00BBGGRR, the form the settings file stores.
    uint32_t lineColor() const { return m_lineColor; }
    void setLineColor(uint32_t color);
    uint32_t backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(uint32_t color);
    uint32_t gridColor() const { return m_gridColor; }
    void setGridColor(uint32_t color);

    // The plotting area in widget coordinates, and the pixel where the value (x s, y %) lands.
    QRect plotRect() const;
    QPoint plotPoint(double x, double y) const;

    QSize sizeHint() const override { return {541, 197}; }
    QSize minimumSizeHint() const override { return {200, 100}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // The pixel of (x s, y %) in a plotting area; plotPoint() and the painting share it.
    static QPoint mapToArea(const QRect &area, double x, double y);

    QString m_title;
    const TUsageHistory *m_history = nullptr;
    uint32_t m_lineColor = 0x0000FF00;
    uint32_t m_backgroundColor = 0x00000000;
    uint32_t m_gridColor = 0x00008000;
};
