// SPDX-License-Identifier: MIT
// The History tab's bar chart of daily totals: one bar per day (connected time), the outgoing
// share drawn in the bar's darker lower part, an hour or minute scale that fits the largest day,
// and the day of the month below. Frame, texts and bars follow the palette, so a dark theme works.
#pragma once

#include <QDate>
#include <QWidget>

#include <cstdint>
#include <vector>

class TDailyChart : public QWidget
{
    Q_OBJECT

public:
    // One day's bar: the whole (seconds) and the part of it drawn darker (seconds, at most Total).
    struct TBar
    {
        QDate Day;
        int64_t Total = 0;
        int64_t Part = 0;
    };

    explicit TDailyChart(QWidget *parent = nullptr);

    void setBars(std::vector<TBar> bars);
    const std::vector<TBar> &bars() const { return m_bars; }
    // Title above the bars, and the legend's names of the whole and the darker part.
    void setTexts(const QString &title, const QString &totalName, const QString &partName);
    // Shown instead of the bars (no history, or it cannot be read); empty to show the bars.
    void setMessage(const QString &message);

    // Where bar Index stands, in widget coordinates (for tests and tool tips).
    QRect barRect(int index) const;
    QRect plotRect() const;

    QSize sizeHint() const override { return {541, 150}; }
    QSize minimumSizeHint() const override { return {200, 90}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    // The axis's top value and step in seconds, and the unit's length and name.
    struct TScale
    {
        int64_t Top;
        int64_t Step;
        int64_t Unit;
        QString UnitName;
    };
    TScale scale() const;

    std::vector<TBar> m_bars;
    QString m_title;
    QString m_totalName;
    QString m_partName;
    QString m_message;
};
