// SPDX-License-Identifier: MIT
// Cached glyph painting of plain labels; see labelpainter.h.
#include "labelpainter.h"

#include "groupframestyle.h"

#include <QEvent>
#include <QGlyphRun>
#include <QLabel>
#include <QPainter>
#include <QRawFont>
#include <QStyle>
#include <QTextLayout>
#include <QVarLengthArray>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kCharacters = 128;
constexpr char16_t kFirst = 0x20;
constexpr char16_t kLast = 0x7e;
constexpr std::size_t kPrintable = kLast - kFirst + 1;
constexpr std::size_t kMaxFaces = 8;
// The longest text painted here; the figures are far shorter.
constexpr qsizetype kMaxLength = 64;
// The characters of the figures. Their pairs are laid out together, at the first of them a face
// needs: one line of some 300 characters costs far less than 300 lines of two.
constexpr char16_t kFigureCharacters[] = u"0123456789 .,:-/%()";

enum : std::int8_t { Unknown = 0, Good = 1, Bad = -1 };

// One line laid out as QPainter::drawText lays out a label's plain text: left to right, the
// trailing spaces counted, no wrapping.
struct TLine
{
    explicit TLine(const QString &Text, const QFont &Font, const QLabel *Label) : layout(Text, Font, Label)
    {
        QTextOption option;
        option.setTextDirection(Qt::LeftToRight);
        option.setAlignment(Qt::AlignLeft);
        option.setFlags(QTextOption::IncludeTrailingSpaces);
        layout.setTextOption(option);
        layout.beginLayout();
        line = layout.createLine();
        if (line.isValid()) {
            line.setLineWidth(0x01000000);
            line.setPosition(QPointF(0, 0));
        }
        layout.endLayout();
        if (layout.lineCount() == 1)
            runs = layout.glyphRuns();
    }

    QTextLayout layout;
    QTextLine line;
    QList<QGlyphRun> runs;
};

bool isFigureCharacter(char16_t Character)
{
    return std::u16string_view(kFigureCharacters).find(Character) != std::u16string_view::npos;
}

// Fills the label with its background brush as Qt fills a widget that fills its own background.
void fillBackground(QPainter &Painter, const QLabel *Label)
{
    const QBrush brush = Label->palette().brush(Label->backgroundRole());
    if (brush.style() == Qt::TexturePattern)
        Painter.drawTiledPixmap(Label->rect(), brush.texture());
    else
        Painter.fillRect(Label->rect(), brush);
}

} // namespace

struct TLabelPainter::TFace
{
    QFont font;
    int dpi = 0;
    bool metricsKnown = false;
    QRawFont raw;
    qreal ascent = 0;
    qreal height = 0;
    std::array<std::int8_t, kCharacters> state{};
    std::array<quint32, kCharacters> glyph{};
    std::array<qreal, kCharacters> advance{};
    // The advance of a character followed by another, kerning included (exact: a 64th of a pixel
    // at most some hundred pixels); negative where the pair is left to QLabel, NaN where not yet
    // laid out.
    std::vector<float> pairs = std::vector<float>(kPrintable * kPrintable, std::numeric_limits<float>::quiet_NaN());
    bool figurePairsTried = false;

    float &pair(char16_t Left, char16_t Right)
    {
        return pairs[std::size_t(Left - kFirst) * kPrintable + std::size_t(Right - kFirst)];
    }
};

TLabelPainter::TLabelPainter(QObject *Parent) : QObject(Parent) {}

TLabelPainter::~TLabelPainter() = default;

void TLabelPainter::watch(QLabel *Label)
{
    Label->installEventFilter(this);
}

bool TLabelPainter::eventFilter(QObject *Watched, QEvent *Event)
{
    if (Event->type() != QEvent::Paint || !Watched->isWidgetType())
        return false;
    auto *label = static_cast<QLabel *>(Watched);
    if (paint(label))
        return true;
    // An opaque label QLabel paints has its background filled first, as Qt would.
    if (label->testAttribute(Qt::WA_OpaquePaintEvent)) {
        QPainter painter(label);
        fillBackground(painter, label);
    }
    return false;
}

TLabelPainter::TFace *TLabelPainter::faceFor(const QFont &Font, const QLabel *Label)
{
    const int dpi = Label->logicalDpiY();
    for (const auto &face : m_faces) {
        if (face->dpi == dpi && face->font == Font)
            return face.get();
    }
    if (m_faces.size() >= kMaxFaces)
        m_faces.clear();
    m_faces.push_back(std::make_unique<TFace>());
    m_faces.back()->font = Font;
    m_faces.back()->dpi = dpi;
    return m_faces.back().get();
}

bool TLabelPainter::knowsCharacter(TFace &Face, const QLabel *Label, char16_t Character)
{
    std::int8_t &state = Face.state[Character];
    if (state != Unknown)
        return state == Good;
    state = Bad;
    const TLine line(QString(QChar(Character)), Face.font, Label);
    if (line.runs.size() != 1 || line.runs[0].glyphIndexes().size() != 1)
        return false;
    const QGlyphRun &run = line.runs[0];
    const qreal ascent = line.line.ascent();
    const qreal height = line.line.ascent() + line.line.descent();
    if (!Face.metricsKnown) {
        Face.raw = run.rawFont();
        Face.ascent = ascent;
        Face.height = height;
        Face.metricsKnown = true;
    }
    // A character the font lacks comes from another font, with other metrics: QLabel paints it.
    if (run.rawFont() != Face.raw || ascent != Face.ascent || height != Face.height ||
        run.positions()[0] != QPointF(0, ascent))
        return false;
    Face.glyph[Character] = run.glyphIndexes()[0];
    Face.advance[Character] = line.line.naturalTextWidth();
    state = Good;
    return true;
}

void TLabelPainter::layOutFigurePairs(TFace &Face, const QLabel *Label)
{
    Face.figurePairsTried = true;
    std::u16string alphabet;
    for (const char16_t c : std::u16string_view(kFigureCharacters)) {
        if (knowsCharacter(Face, Label, c))
            alphabet += c;
    }
    // A line in which every ordered pair of the alphabet stands once, a de Bruijn sequence: the
    // Lyndon words of length one and two in order (a, ab, ac, ..., b, bc, ...), then the first
    // character again to close the cycle.
    QString text;
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        text += QChar(alphabet[i]);
        for (std::size_t j = i + 1; j < alphabet.size(); ++j) {
            text += QChar(alphabet[i]);
            text += QChar(alphabet[j]);
        }
    }
    if (text.size() < 2)
        return;
    text += text[0];
    const TLine line(text, Face.font, Label);
    if (line.runs.size() != 1 || line.runs[0].rawFont() != Face.raw)
        return;
    const QList<quint32> glyphs = line.runs[0].glyphIndexes();
    const QList<QPointF> positions = line.runs[0].positions();
    if (glyphs.size() != text.size() || positions.size() != text.size() || positions[0].x() != 0)
        return;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (glyphs[i] != Face.glyph[text[i].unicode()] || positions[i].y() != Face.ascent)
            return;
    }
    // Only a pair the font leaves alone is taken from here: an adjusted pair may also have moved
    // the character after it, which only the pair's own line tells apart.
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        const char16_t left = text[i].unicode();
        if (positions[i + 1].x() - positions[i].x() == Face.advance[left])
            Face.pair(left, text[i + 1].unicode()) = float(Face.advance[left]);
    }
}

bool TLabelPainter::pairAdvance(TFace &Face, const QLabel *Label, char16_t Left, char16_t Right, qreal &Advance)
{
    // The font may kern a pair, which moves the right character; the shaper kerns these
    // characters pair by pair, so a text's positions add up from its pairs. Two characters the
    // font joins or substitutes are left to QLabel.
    float &known = Face.pair(Left, Right);
    if (std::isnan(known) && !Face.figurePairsTried && isFigureCharacter(Left) && isFigureCharacter(Right))
        layOutFigurePairs(Face, Label);
    if (std::isnan(known)) {
        known = -1;
        const QChar pair[] = {QChar(Left), QChar(Right)};
        const TLine line(QString(pair, 2), Face.font, Label);
        if (line.runs.size() == 1 && line.runs[0].rawFont() == Face.raw) {
            const QList<quint32> glyphs = line.runs[0].glyphIndexes();
            const QList<QPointF> positions = line.runs[0].positions();
            if (glyphs == QList<quint32>{Face.glyph[Left], Face.glyph[Right]} && positions.size() == 2 &&
                positions[0] == QPointF(0, Face.ascent) && positions[1].y() == Face.ascent &&
                line.line.naturalTextWidth() == positions[1].x() + Face.advance[Right])
                known = float(positions[1].x());
        }
    }
    Advance = known;
    return known >= 0;
}

bool TLabelPainter::paint(QLabel *Label)
{
    // What QLabel::paintEvent would do for these labels: no frame, the text in the contents
    // rectangle through QStyle::drawItemText, vertically centred, left-aligned (a text of these
    // characters runs left to right in any layout direction). Styles that draw item texts their
    // own way, and any other label, are left to QLabel.
    const QString text = Label->text();
    if (text.isEmpty() || text.size() > kMaxLength || Label->textFormat() != Qt::PlainText || Label->wordWrap() ||
        Label->alignment() != (Qt::AlignLeft | Qt::AlignVCenter) || Label->frameShape() != QFrame::NoFrame ||
        Label->frameWidth() != 0 || Label->margin() != 0 || Label->indent() > 0 || !Label->contentsMargins().isNull() ||
        Label->buddy() != nullptr || !Label->isEnabled() || Label->focusPolicy() != Qt::NoFocus ||
        (Label->textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard)))
        return false;
    const QStyle *style = Label->style();
    const QString styleName = DrawingStyle(style)->name();
    if ((styleName != QLatin1String("fusion") && styleName != QLatin1String("windows")) ||
        style->inherits("QStyleSheetStyle") || Label->testAttribute(Qt::WA_StyleSheet))
        return false;
    const QFont font(Label->font(), Label);
    if (font.underline() || font.overline() || font.strikeOut() || font.letterSpacing() != 0 ||
        font.wordSpacing() != 0 || font.capitalization() != QFont::MixedCase)
        return false;

    TFace &face = *faceFor(font, Label);
    QVarLengthArray<quint32, kMaxLength> glyphs;
    QVarLengthArray<QPointF, kMaxLength> positions;
    qreal x = 0;
    char16_t previous = 0;
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < kFirst || code > kLast || !knowsCharacter(face, Label, code))
            return false;
        if (previous != 0) {
            qreal advance = 0;
            if (!pairAdvance(face, Label, previous, code, advance))
                return false;
            x += advance;
        }
        glyphs.append(face.glyph[code]);
        positions.append(QPointF(x, face.ascent));
        previous = code;
    }
    x += face.advance[previous];
    const QRect r = Label->contentsRect();
    // A text wider or taller than the label would be clipped to it; QLabel does that.
    if (x + 1 > r.width() || face.height > r.height())
        return false;
    // Centred to a 64th of a pixel, where the text layout places its lines.
    const qreal yoff = qRound((r.height() - face.height) / 2 * 64) / 64.0;

    QPainter painter(Label);
    if (Label->testAttribute(Qt::WA_OpaquePaintEvent))
        fillBackground(painter, Label);
    painter.setPen(QPen(Label->palette().brush(Label->foregroundRole()), painter.pen().widthF()));
    QGlyphRun run;
    run.setRawFont(face.raw);
    run.setRawData(glyphs.constData(), positions.constData(), int(glyphs.size()));
    painter.drawGlyphRun(QPointF(r.x(), r.y() + yoff), run);
    return true;
}
