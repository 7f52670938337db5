// SPDX-License-Identifier: MIT
// The graph page's average-usage gauge (Gauge1, Gauge2): a thin-framed vertical bar without text,
// range 0..100, filled from the bottom. Out-of-range values are clamped and the widget repaints
// only when the value it shows changes, since the refresh sets it every second.
#pragma once

#include <QWidget>

#include <cstdint>

class TGauge : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int value READ value WRITE setValue)
    Q_PROPERTY(uint barColor READ barColor WRITE setBarColor)
    Q_PROPERTY(uint backgroundColor READ backgroundColor WRITE setBackgroundColor)

public:
    static constexpr int kMinimum = 0;
    static constexpr int kMaximum = 100;

    explicit TGauge(QWidget *parent = nullptr);

    // The shown value, already clamped to 0..100.
    int value() const { return m_value; }
    void setValue(int value);

    // Colours are 0x00BBGGRR.
    uint32_t barColor() const { return m_barColor; }
    void setBarColor(uint32_t color);
    uint32_t backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(uint32_t color);

    QSize sizeHint() const override { return {13, 151}; }
    QSize minimumSizeHint() const override { return {5, 10}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_value = 0;
    uint32_t m_barColor = 0x0000FF00;
    uint32_t m_backgroundColor = 0x00000000;
};
