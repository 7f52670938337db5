// SPDX-License-Identifier: MIT
// The Status tab's 28 value labels: the router's figures written into them, and the sizes and
// backgrounds fixed once the page is laid out, so that a new figure repaints only its own label.
#pragma once

#include "consolesession.h"
#include "labelpainter.h"
#include "refresh.h"

#include <QSize>
#include <QString>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace Ui {
class TfrmMain;
}
class QLabel;
class QWidget;

class TStatusLabels
{
public:
    static constexpr std::size_t kCount = 28;

    TStatusLabels(Ui::TfrmMain &Ui, QWidget *Window);

    // Writes the record's figures (fixing the labels first, once the page shows).
    void show(const TConsoleSession &Session, TServiceNames &ServiceNames);
    // Another style, palette or font: the labels get back their reserved sizes and the page's own
    // background until the next show().
    void release();

private:
    std::array<QLabel *, kCount> labels() const;
    void fix();

    Ui::TfrmMain &m_ui;
    QWidget *m_window;
    bool m_fixed = false;
    std::array<QSize, kCount> m_minimum;
    // Repaints the figures from cached glyphs: a new figure costs no text layout.
    TLabelPainter m_painter;
    // What the labels show, so that a tick writes only the figures that changed; none after a
    // release(), when every label is written again.
    struct TShown
    {
        TChannelStatus B1, B2;
        TRouterStatus Router;
        std::string ServiceName;
        QString DecimalPoint;
        QString GroupSeparator;
    };
    std::optional<TShown> m_shown;
};
