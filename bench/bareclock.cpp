// SPDX-License-Identifier: MIT
// The yardstick for the monitor's idle cost: a bare Qt Widgets window whose one label is
// rewritten once a second, and nothing else. It takes the monitor window's size (WIDTHxHEIGHT, as
// bench/idlecost.sh reads it from the X server), since a smaller window costs less to draw, and
// its label holds text from the first paint on, as the monitor's do. Closed, it hides its window
// and goes on, as the monitor does into the tray.
#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QTime>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSize size(320, 80);
    if (argc > 1) {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)$")).match(QString::fromLocal8Bit(argv[1]));
        if (match.hasMatch())
            size = QSize(match.captured(1).toInt(), match.captured(2).toInt());
    }
    QLabel label;
    label.setWindowTitle(QStringLiteral("lw_bareclock"));
    label.setAlignment(Qt::AlignCenter);
    label.setText(QTime::currentTime().toString());
    label.resize(size);
    label.show();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &label, [&label] { label.setText(QTime::currentTime().toString()); });
    tick.start(1000);
    return app.exec();
}
