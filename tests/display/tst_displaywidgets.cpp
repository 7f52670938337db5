// SPDX-License-Identifier: MIT
// The display's widgets, checked on their pixels: the gauge's clamping, the chart's grid and
// line colours per chart, the colour panel's clicks, the 39 tray pictures against the picture
// table, the tray icon's menu, labels painted from cached glyphs against QLabel's own, and the
// group-box frames against Fusion's own.
#include "colorpanel.h"
#include "gauge.h"
#include "groupframestyle.h"
#include "labelpainter.h"
#include "programicon.h"
#include "refresh.h"
#include "trayicon.h"
#include "traypictures.h"
#include "usagechart.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QSystemTrayIcon>
#include <QTest>

#include <memory>

namespace {

QColor PixelAt(QWidget &widget, const QPoint &p)
{
    return widget.grab().toImage().pixelColor(p);
}

QString Describe(const QColor &c)
{
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}

// A label that counts the repaints QLabel does itself.
class TCountingLabel : public QLabel
{
public:
    using QLabel::QLabel;
    int plainPaints = 0;

protected:
    void paintEvent(QPaintEvent *Event) override
    {
        ++plainPaints;
        QLabel::paintEvent(Event);
    }
};

// The label's picture at scale 1 and at scale 2, one above the other.
QImage Pictures(QLabel &label)
{
    const QImage one = label.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage two(label.size() * 2, QImage::Format_ARGB32_Premultiplied);
    two.setDevicePixelRatio(2);
    two.fill(Qt::transparent);
    label.render(&two);
    QImage both(two.width(), one.height() + two.height(), QImage::Format_ARGB32_Premultiplied);
    both.fill(Qt::transparent);
    QPainter painter(&both);
    painter.drawImage(QPoint(0, 0), one);
    two.setDevicePixelRatio(1);
    painter.drawImage(QPoint(0, one.height()), two);
    return both;
}

// What a cell of the 16 px picture shows, by the colour at its centre.
enum class Cell { Green, Red, Blue, Unlit };

Cell Classify(const QColor &c)
{
    if (c.alpha() == 255 && c.green() > 150 && c.red() < 120 && c.blue() < 120)
        return Cell::Green;
    if (c.alpha() == 255 && c.red() > 200 && c.green() < 120 && c.blue() < 120)
        return Cell::Red;
    if (c.alpha() == 255 && c.blue() > 200 && c.red() < 120)
        return Cell::Blue;
    return Cell::Unlit;
}

// Cells of one column for a row/column code of the picture table (bottom cell first).
QList<Cell> ExpectedColumn(int code)
{
    QList<Cell> cells(4, Cell::Unlit);
    if (code <= 3) {
        for (int i = 0; i <= code; ++i)
            cells[i] = Cell::Green;
    } else {
        cells[0] = code == 4 ? Cell::Red : Cell::Blue;
    }
    return cells;
}

// Centres of the cells in the 16 px picture: columns at x 4 and 11, cells 3 px high with 1 px
// between them, the bottom one at y 13..15.
QPoint CellCentre16(int column, int cell)
{
    return {column == 0 ? 3 : 11, 14 - 4 * cell};
}

} // namespace

class TestDisplayWidgets : public QObject
{
    Q_OBJECT

private slots:
    // First: the later tests read pictures with the image plugins.
    void groupFramesLoadedEveryImagePlugin();
    void gaugeClampsToItsRange();
    void chartGridColourChangesOnlyThatChart();
    void chartDrawsTheHistoryAsALine();
    void colorPanelClicksAndColour();
    void trayPicturesFollowTheTable();
    void trayPicturesSpecials();
    void trayIconMenuAndState();
    void trayMenuHeldWithoutATray();
    void trayPicturesDrawnWithoutNotificationArea();
    void programIconIsCompiledIn();
    void cachedGlyphLabelsLookLikeQLabels();
};

void TestDisplayWidgets::gaugeClampsToItsRange()
{
    TGauge gauge;
    gauge.resize(gauge.sizeHint());
    QCOMPARE(gauge.size(), QSize(13, 151));
    gauge.setBarColor(0x0000FF00);        // green
    gauge.setBackgroundColor(0x00FF0000); // blue
    const QPoint top(6, 2), bottom(6, 148), quarter(6, 120);

    gauge.setValue(150);
    QCOMPARE(gauge.value(), 100);
    QCOMPARE(PixelAt(gauge, top), QColor(0, 255, 0));
    QCOMPARE(PixelAt(gauge, bottom), QColor(0, 255, 0));

    gauge.setValue(-3);
    QCOMPARE(gauge.value(), 0);
    QCOMPARE(PixelAt(gauge, bottom), QColor(0, 0, 255));
    QCOMPARE(PixelAt(gauge, top), QColor(0, 0, 255));

    gauge.setValue(25);
    QCOMPARE(PixelAt(gauge, quarter), QColor(0, 255, 0));
    QCOMPARE(PixelAt(gauge, QPoint(6, 100)), QColor(0, 0, 255));
    // The frame stays, whatever the value.
    QVERIFY(PixelAt(gauge, QPoint(0, 75)) != QColor(0, 255, 0));
}

void TestDisplayWidgets::chartGridColourChangesOnlyThatChart()
{
    TUsageChart chart1, chart2;
    for (TUsageChart *chart : {&chart1, &chart2}) {
        chart->resize(chart->sizeHint());
        chart->setGridColor(0x00008000);
        chart->setBackgroundColor(0x00000000);
    }
    const QColor green(0, 128, 0), red(255, 0, 0), black(0, 0, 0);
    // x = -45 carries a vertical grid line, y = 50 a horizontal one; (-47, 55) is between lines.
    const QPoint vertical = chart1.plotPoint(-45, 55);
    const QPoint horizontal = chart1.plotPoint(-47, 50);
    const QPoint between = chart1.plotPoint(-47, 55);
    QCOMPARE(PixelAt(chart1, vertical), green);
    QCOMPARE(PixelAt(chart1, horizontal), green);
    QCOMPARE(PixelAt(chart1, between), black);

    chart1.setGridColor(0x000000FF);
    QCOMPARE(PixelAt(chart1, vertical), red);
    QCOMPARE(PixelAt(chart1, horizontal), red);
    QCOMPARE(PixelAt(chart1, between), black);
    QCOMPARE(PixelAt(chart2, vertical), green);
    QCOMPARE(PixelAt(chart2, horizontal), green);

    chart2.setBackgroundColor(0x00FFFFFF);
    QCOMPARE(PixelAt(chart2, between), QColor(255, 255, 255));
    QCOMPARE(PixelAt(chart1, between), black);
}

void TestDisplayWidgets::chartDrawsTheHistoryAsALine()
{
    TUsageHistory history;
    TUsageChart chart;
    chart.resize(chart.sizeHint());
    chart.setHistory(&history);
    chart.setLineColor(0x0000FFFF); // yellow
    chart.setGridColor(0x00404040);
    const QColor yellow(255, 255, 0);

    // 45 ticks at 0 then 46 at 100: the step stands at x = -45.
    for (int tick = 0; tick < 45; ++tick)
        history.Step(0);
    for (int tick = 0; tick < 46; ++tick)
        history.Step(100);
    chart.update();
    QCOMPARE(PixelAt(chart, chart.plotPoint(-62, 0)), yellow);
    QCOMPARE(PixelAt(chart, chart.plotPoint(-22, 100)), yellow);
    QCOMPARE(PixelAt(chart, chart.plotPoint(-22, 0)), QColor(0x40, 0x40, 0x40)); // only the grid
    QCOMPARE(PixelAt(chart, chart.plotPoint(-62, 100)), QColor(0x40, 0x40, 0x40));
    // The rising edge between x = -46 and -45 crosses the middle of the axis.
    const QImage image = chart.grab().toImage();
    const QPoint edge = chart.plotPoint(-45.5, 50);
    QVERIFY(image.pixelColor(edge) == yellow || image.pixelColor(edge + QPoint(1, 0)) == yellow ||
            image.pixelColor(edge - QPoint(1, 0)) == yellow);
    // A value far outside the axis is clipped to the plotting area, not drawn over the title.
    history.Step(1e9);
    const QRect area = chart.plotRect();
    QVERIFY(PixelAt(chart, QPoint(area.right(), area.top() - 2)) != yellow);
}

void TestDisplayWidgets::colorPanelClicksAndColour()
{
    QCOMPARE(ColorFromBGR(0x00FF8040), QColor(0x40, 0x80, 0xFF));
    QCOMPARE(ColorToBGR(QColor(0x40, 0x80, 0xFF)), uint32_t(0x00FF8040));

    TColorPanel panel;
    panel.setText(QStringLiteral("Back"));
    panel.resize(panel.sizeHint());
    panel.setColor(0xFF0000FF); // a stored value with a top byte: only the colour counts
    QCOMPARE(panel.color(), uint32_t(0x000000FF));
    QCOMPARE(PixelAt(panel, QPoint(2, 2)), QColor(255, 0, 0));

    QSignalSpy clicked(&panel, &TColorPanel::clicked);
    QTest::mouseClick(&panel, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QTest::mouseClick(&panel, Qt::RightButton);
    QCOMPARE(clicked.count(), 1);
    // Pressed inside but released outside: no click.
    QTest::mousePress(&panel, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(&panel, Qt::LeftButton, {}, QPoint(500, 5));
    QCOMPARE(clicked.count(), 1);
    QTest::keyClick(&panel, Qt::Key_Space);
    QCOMPARE(clicked.count(), 2);
}

void TestDisplayWidgets::trayPicturesFollowTheTable()
{
    QList<QImage> images;
    for (int index = 0; index < kTrayPictureCount; ++index) {
        const QIcon icon = TrayPicture(index);
        QVERIFY(!icon.isNull());
        // Real pixmaps at each size a tray asks for, not one scaled image.
        for (const int size : {16, 22, 24, 32, 48, 64})
            QVERIFY2(icon.pixmap(size).toImage() == TrayPixmap(index, size).toImage(),
                     qPrintable(QString::number(size)));
        const QImage image = TrayPixmap(index, 16).toImage();
        QCOMPARE(image.size(), QSize(16, 16));
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0); // transparent background
        QVERIFY2(!images.contains(image), qPrintable(QStringLiteral("picture %1 repeats another").arg(index)));
        images << image;
        if (index >= 36)
            continue;
        for (int column = 0; column < 2; ++column) {
            const QList<Cell> expected = ExpectedColumn(column == 0 ? index / 6 : index % 6);
            for (int cell = 0; cell < 4; ++cell) {
                const QColor c = image.pixelColor(CellCentre16(column, cell));
                QVERIFY2(Classify(c) == expected[cell], qPrintable(QStringLiteral("picture %1 column %2 cell %3: %4")
                                                                       .arg(index)
                                                                       .arg(column)
                                                                       .arg(cell)
                                                                       .arg(Describe(c))));
            }
        }
    }
}

void TestDisplayWidgets::trayPicturesSpecials()
{
    const QImage empty = TrayPixmap(36, 16).toImage();
    const QImage exclamation = TrayPixmap(37, 16).toImage();
    const QImage prohibition = TrayPixmap(38, 16).toImage();
    for (int column = 0; column < 2; ++column)
        for (int cell = 0; cell < 4; ++cell)
            QVERIFY(Classify(empty.pixelColor(CellCentre16(column, cell))) == Cell::Unlit);
    // The meter's cells are outlined: the outline is opaque and dark.
    const QColor outline = empty.pixelColor(1, 13);
    QCOMPARE(outline.alpha(), 255);
    QVERIFY(outline.lightness() < 128);
    // The exclamation mark sits on the middle, the prohibition sign's ring at the top.
    QVERIFY(Classify(exclamation.pixelColor(8, 4)) == Cell::Red);
    QVERIFY(Classify(empty.pixelColor(8, 4)) == Cell::Unlit);
    QVERIFY(Classify(prohibition.pixelColor(8, 1)) == Cell::Red);
    QVERIFY(Classify(prohibition.pixelColor(8, 8)) == Cell::Red); // the bar crosses the centre
    // Outside the table the icon is the "no data" picture.
    QCOMPARE(TrayPicture(39).pixmap(16).toImage(), prohibition);
    QCOMPARE(TrayPicture(-1).pixmap(16).toImage(), prohibition);
}

void TestDisplayWidgets::trayIconMenuAndState()
{
    TTrayIcon tray;
    QCOMPARE(tray.picture(), 38);
    QCOMPARE(tray.tip(), QStringLiteral("B1[No Data] B2[No Data]"));

    QStringList captions;
    for (QAction *action : tray.pupTray()->actions())
        if (action->isVisible())
            captions << (action->isSeparator() ? QStringLiteral("-") : action->text());
    QCOMPARE(captions, (QStringList{"&Status", "&Graph", "S&ettings", "-", "&Connect", "&Drop", "-",
                                    "Save Router Session for a Bug Report...", "&About", "-", "E&xit"}));
    QCOMPARE(tray.pupTray()->defaultAction(), tray.mnuStatus);
    QVERIFY(tray.mnuStatus->font().bold());
    QCOMPARE(tray.pupTray()->actions().at(6), tray.Drop1()->menuAction());

    QStringList drops;
    QList<int> tags;
    for (QAction *action : tray.Drop1()->actions()) {
        drops << (action->isSeparator() ? QStringLiteral("-") : action->text());
        if (!action->isSeparator())
            tags << action->data().toInt();
    }
    QCOMPARE(drops, (QStringList{"B1", "B2", "-", "All"}));
    QCOMPARE(tags, (QList<int>{1, 2, 4}));

    tray.setPicture(26);
    QCOMPARE(tray.picture(), 26);
    tray.setPicture(40);
    QCOMPARE(tray.picture(), 38);
    tray.setTip(QStringLiteral("office - B1[Idle 0%] B2[64K/Sync 45%]"));
    QCOMPARE(tray.tip(), QStringLiteral("office - B1[Idle 0%] B2[64K/Sync 45%]"));

    // Only a double-click asks for the window.
    QSignalSpy activation(&tray, &TTrayIcon::activationRequested);
    emit tray.systemTrayIcon()->activated(QSystemTrayIcon::Trigger);
    emit tray.systemTrayIcon()->activated(QSystemTrayIcon::Context);
    QCOMPARE(activation.count(), 0);
    emit tray.systemTrayIcon()->activated(QSystemTrayIcon::DoubleClick);
    QCOMPARE(activation.count(), 1);
}

void TestDisplayWidgets::trayPicturesDrawnWithoutNotificationArea()
{
    // Offscreen there is no notification area: changing the picture draws nothing, while an icon
    // asked for its pictures draws each size once and keeps only a few of them.
    QVERIFY(!TTrayIcon::isAvailable());
    const long before = TrayPixmapsDrawn();
    {
        TTrayIcon tray;
        for (int index = 0; index < kTrayPictureCount; ++index)
            tray.setPicture(index);
        tray.show();
        tray.setPicture(5);
    }
    QCOMPARE(TrayPixmapsDrawn(), before);

    const QIcon icon = TrayPicture(7);
    for (int round = 0; round < 3; ++round)
        for (const int size : {16, 32})
            icon.pixmap(size);
    QCOMPARE(TrayPixmapsDrawn(), before + 2);
    QVERIFY(icon.availableSizes().isEmpty()); // a D-Bus tray then asks for its two defaults only
}

void TestDisplayWidgets::programIconIsCompiledIn()
{
    // The resources live in a static library: without their registration the icon is empty.
    const QIcon icon = ProgramIcon();
    QVERIFY(!icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)));
    QVERIFY(sizes.contains(QSize(256, 256)));
    const QImage big = icon.pixmap(256).toImage();
    QCOMPARE(big.pixelColor(0, 0).alpha(), 0);       // rounded tile on a transparent ground
    QCOMPARE(big.pixelColor(128, 128).alpha(), 255); // the tile itself
    // Sizes between the renderings are scaled from the next larger one, also at a ratio of 2.
    QCOMPARE(icon.pixmap(24).size(), QSize(24, 24));
    QCOMPARE(icon.pixmap(QSize(24, 24), 2.0).size(), QSize(48, 48));
}

void TestDisplayWidgets::trayMenuHeldWithoutATray()
{
    // Without a notification area nothing shows the menu, so none of its widgets are made, until
    // a notification area that came later asks for it with a right-click.
    const auto menus = [] {
        QList<QWidget *> found;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("pupTray"))
                found << widget;
        return found;
    };
    TTrayIcon tray;
    tray.show();
    if (TTrayIcon::isAvailable())
        QSKIP("a notification area shows the icon here");
    QVERIFY(menus().isEmpty());
    emit tray.systemTrayIcon()->activated(QSystemTrayIcon::Context);
    QCOMPARE(menus().size(), 1);
    QTRY_VERIFY(menus().at(0)->isVisible());
    QCOMPARE(tray.systemTrayIcon()->contextMenu(), tray.pupTray());
    tray.pupTray()->hide();
}

void TestDisplayWidgets::cachedGlyphLabelsLookLikeQLabels()
{
    // The status figures are painted from glyphs cached per character; every one must look as
    // QLabel paints it, pixel for pixel, in two font sizes, both layout directions and at scale 2,
    // and the figures must really take that path.
    const QStringList texts{QStringLiteral("0"),
                            QStringLiteral("64K/Sync"),
                            QStringLiteral("64Kbps"),
                            QStringLiteral("12,345,678,901"),
                            QStringLiteral("50%  (3.91KB/s)"),
                            QStringLiteral("1:02:03"),
                            QStringLiteral("10.0.0.1"),
                            QStringLiteral("Idle"),
                            QStringLiteral("10M/Full Duplex"),
                            QStringLiteral("192.168.1.2:1025"),
                            QStringLiteral("10.1.2.3:25 [smtp]"),
                            QStringLiteral("V2.50(AB.1)"),
                            QStringLiteral("AVAWAY To Te"),
                            QStringLiteral("caf\u00e9 \u0627"),
                            QString(40, u'8')};
    QFont bigger = QApplication::font();
    bigger.setPointSizeF(bigger.pointSizeF() + 3.5);
    int fast = 0;
    for (const QFont &font : {QApplication::font(), bigger}) {
        for (const Qt::LayoutDirection direction : {Qt::LeftToRight, Qt::RightToLeft}) {
            QWidget page;
            page.setFont(font);
            page.setLayoutDirection(direction);
            TCountingLabel label(&page);
            label.setTextFormat(Qt::PlainText);
            label.setAutoFillBackground(true);
            const QFontMetrics metrics(label.font());
            // Room for all but the last text, which is clipped.
            label.setGeometry(3, 2, metrics.horizontalAdvance(texts[0].repeated(18)) + 9, metrics.height() + 5);
            page.resize(label.width() + 6, label.height() + 4);
            TLabelPainter painter;
            for (const QString &text : texts) {
                label.setText(text);
                label.removeEventFilter(&painter);
                const QImage plain = Pictures(label);
                painter.watch(&label);
                const int before = label.plainPaints;
                const QImage cached = Pictures(label);
                fast += label.plainPaints == before ? 1 : 0;
                QVERIFY2(cached == plain, qPrintable(text));
            }
        }
    }
    // Other scripts and clipped texts go to QLabel; the figures must not.
    QVERIFY2(fast == 4 * (texts.size() - 2), qPrintable(QString::number(fast)));
}

void TestDisplayWidgets::groupFramesLoadedEveryImagePlugin()
{
    // Fusion's group-box frame, drawn for a box with a title, one without and a checkable one,
    // must look the same through the monitor's style, which must map no image plugin to draw it.
    const auto pluginsMapped = [] {
        QFile maps(QStringLiteral("/proc/self/maps"));
        return maps.open(QIODevice::ReadOnly) ? maps.readAll().count("/imageformats/") : -1;
    };
    const auto draw = [](QStyle *Style) {
        QWidget page;
        page.resize(360, 240);
        const QString titles[] = {QStringLiteral("B1"), QString(), QStringLiteral("Logging")};
        for (int i = 0; i < 3; ++i) {
            auto *box = new QGroupBox(titles[i], &page);
            box->setCheckable(i == 2);
            box->setStyle(Style);
            box->setGeometry(10 + 115 * i, 10, 105, 200);
        }
        return page.grab().toImage();
    };
    TGroupFrameStyle monitorStyle(QStyleFactory::create(QStringLiteral("fusion")));
    const auto before = pluginsMapped();
    const QImage drawn = draw(&monitorStyle);
    QCOMPARE(pluginsMapped(), before);
    std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("fusion")));
    QCOMPARE(drawn, draw(fusion.get()));
}

QTEST_MAIN(TestDisplayWidgets)
#include "tst_displaywidgets.moc"
