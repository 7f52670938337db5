// SPDX-License-Identifier: MIT
// Paints plain one-line labels of short ASCII figures from glyphs cached per character, without
// laying the text out anew at each repaint; anything it cannot reproduce exactly (another style,
// alignment, frame, font effect, a character the font shapes with its neighbour) QLabel paints.
#pragma once

#include <QObject>

#include <memory>
#include <vector>

class QFont;
class QLabel;

class TLabelPainter : public QObject
{
public:
    explicit TLabelPainter(QObject *Parent = nullptr);
    ~TLabelPainter() override;

    // The label is then painted here where possible.
    void watch(QLabel *Label);
    // Paints the label's text as QLabel would, if it can; false leaves the label to QLabel.
    bool paint(QLabel *Label);

protected:
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    struct TFace;

    TFace *faceFor(const QFont &Font, const QLabel *Label);
    bool pairAdvance(TFace &Face, const QLabel *Label, char16_t Left, char16_t Right, qreal &Advance);
    bool knowsCharacter(TFace &Face, const QLabel *Label, char16_t Character);
    void layOutFigurePairs(TFace &Face, const QLabel *Label);

    std::vector<std::unique_ptr<TFace>> m_faces;
};
