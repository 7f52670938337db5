// SPDX-License-Identifier: MIT
// A colour panel of the settings page's "Graph" group (pnlB1CLUColor and its nine siblings): a
// small sunken panel filled with its colour, a caption ("Line", "Back", "Grid") drawn in a
// contrasting colour, and a click that the window answers with the colour chooser.
#pragma once

#include <QColor>
#include <QWidget>

#include <cstdint>

class TColorPanel : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
    Q_PROPERTY(uint color READ color WRITE setColor)

public:
    explicit TColorPanel(QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);

    // 0x00BBGGRR, the form the settings file stores.
    uint32_t color() const { return m_color; }
    void setColor(uint32_t color);

    QSize sizeHint() const override;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QString m_text;
    uint32_t m_color = 0;
    bool m_pressed = false;
};

// Conversions between the stored 0x00BBGGRR form and QColor.
QColor ColorFromBGR(uint32_t color);
uint32_t ColorToBGR(const QColor &color);
